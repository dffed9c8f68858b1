// Concatenation of native strings.
#include "cpython/unicode.h"

#include <cstring>

#include "core/pickled_constants.h"

namespace sarvo {
namespace {

namespace records = sarvo::records;

/* The result kind of a concatenation, tested in this order: the legacy kind 0 on either side
   is refused first; a kind-1 left side takes the right side's kind, which must then be a real
   width; a kind-2 left side widens only for a kind-4 right side; kind 4 absorbs everything. */
int32_t pick_kind(int32_t *kind, ExcSlot exc, int32_t a, int32_t b) {
    if (a == 0 || b == 0) return raise(exc, records::unicode_wchar_kind);
    switch (a) {
        case 1:
            if (b != 1 && b != 2 && b != 4) return raise(exc, records::unicode_byte_width);
            *kind = b;
            return kOk;
        case 2:
            *kind = b == 4 ? 4 : 2;
            return kOk;
        case 4:
            *kind = 4;
            return kOk;
        default:
            return raise(exc, records::unicode_pick_kind);
    }
}

// A source of any kind other than 1, 2 or 4 reads as code point 0.
uint32_t get_code_point(const void *data, int32_t kind, int64_t i) {
    switch (kind) {
        case 1: return static_cast<const uint8_t *>(data)[i];
        case 2: return static_cast<const uint16_t *>(data)[i];
        case 4: return static_cast<const uint32_t *>(data)[i];
        default: return 0;
    }
}

bool set_code_point(void *data, int32_t kind, int64_t i, uint32_t cp) {
    switch (kind) {
        case 1: static_cast<uint8_t *>(data)[i] = static_cast<uint8_t>(cp); return true;
        case 2: static_cast<uint16_t *>(data)[i] = static_cast<uint16_t>(cp); return true;
        case 4: static_cast<uint32_t *>(data)[i] = cp; return true;
        default: return false;
    }
}

// Copies the code points of src to dst from position `at` on, re-encoding to dst's kind.
int32_t copy_code_points(ExcSlot exc, const UnicodeString &dst, int64_t at, const UnicodeString &src) {
    for (int64_t i = 0; i < src.length; ++i)
        if (!set_code_point(dst.data, dst.kind, at + i, get_code_point(src.data, src.kind, i)))
            return raise(exc, records::unicode_set_code_point);
    return kOk;
}

}  // namespace

UnicodeString constant_string(const char *text) {
    return UnicodeString{const_cast<char *>(text), static_cast<int64_t>(std::strlen(text)), 1, 1, -1, nullptr,
                         nullptr};
}

int32_t unicode_concat(UnicodeString *result, ExcSlot exc, const UnicodeString &a, const UnicodeString &b) {
    int32_t kind = 0;
    if (int32_t st = pick_kind(&kind, exc, a.kind, b.kind)) return st;

    // kind * (n + 1) bytes: the code units and one terminating zero unit.
    int64_t n = 0, units = 0, bytes = 0;
    if (__builtin_add_overflow(a.length, b.length, &n) || __builtin_add_overflow(n, int64_t{1}, &units) ||
        __builtin_mul_overflow(units, int64_t{kind}, &bytes) || bytes < 0)
        return raise(exc, records::allocation_failed);
    SRT_MemInfo *mi = SRT_MemInfo_alloc(static_cast<size_t>(bytes));
    if (!mi) return raise(exc, records::allocation_failed);

    OwnedString out;
    out.rec = UnicodeString{mi->data, n, kind, a.is_ascii == 1 && b.is_ascii == 1, -1, mi, nullptr};
    set_code_point(out.rec.data, kind, n, 0);
    if (int32_t st = copy_code_points(exc, out.rec, 0, a)) return st;
    if (int32_t st = copy_code_points(exc, out.rec, a.length, b)) return st;
    *result = out.release();
    return kOk;
}

}  // namespace sarvo
