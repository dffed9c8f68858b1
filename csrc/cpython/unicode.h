// Native string values and their concatenation: the one string operation that run-time
// exception messages need.
#pragma once

#include <cstdint>

#include "core/runtime/srt.h"
#include "core/excinfo.h"

typedef struct _object PyObject;

namespace sarvo {

/* A string value as compiled code holds it. data holds `length` code units of `kind` bytes
   each (1, 2 or 4; 0 is the legacy wide-character kind, which is refused). A string made at
   run time owns data through meminfo and has one zero code unit after the last; a constant
   string has no memory record. The same words form the argument block of a dynamic
   exception record, so the layout is fixed. */
struct UnicodeString {
    void *data;
    int64_t length;
    int32_t kind;
    int32_t is_ascii;
    int64_t hash;  // -1: not computed
    SRT_MemInfo *meminfo;
    PyObject *parent;
};
static_assert(sizeof(UnicodeString) == 48, "data, length, kind, is_ascii, hash, meminfo, parent");

// A constant ASCII text: kind 1, no memory record. The text must outlive every use.
UnicodeString constant_string(const char *text);

/* result = a followed by b, in the wider kind of the two, owning a new memory record.
   a and b are borrowed. Fails with the kind assertions (unsupported or unknown kinds) or
   MemoryError; result is untouched on failure. */
int32_t unicode_concat(UnicodeString *result, ExcSlot exc, const UnicodeString &a, const UnicodeString &b);

// Owns one reference to a string's memory record until it is handed on with release().
class OwnedString {
  public:
    UnicodeString rec{};
    OwnedString() = default;
    explicit OwnedString(const UnicodeString &constant) : rec(constant) { SRT_incref(rec.meminfo); }
    OwnedString(const OwnedString &) = delete;
    OwnedString &operator=(const OwnedString &) = delete;
    ~OwnedString() { SRT_decref(rec.meminfo); }

    // Drops the current string and takes over `next`, which already holds its reference.
    void reset(const UnicodeString &next) {
        SRT_decref(rec.meminfo);
        rec = next;
    }
    UnicodeString release() {
        UnicodeString out = rec;
        rec.meminfo = nullptr;
        return out;
    }
};

}  // namespace sarvo
