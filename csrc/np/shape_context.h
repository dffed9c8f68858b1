// The ValueError of an element-wise assignment whose value sequence and target differ in
// length. Its message names both shapes and is built at run time, so it travels in a dynamic
// exception record.
#pragma once

#include <cstdint>

#include "cpython/unicode.h"
#include "core/excinfo.h"

namespace sarvo {

// Decimal text of v ("0", "-7", "10"): a new kind-1 string; "0" is a constant.
int32_t decimal_text(UnicodeString *result, ExcSlot exc, int64_t v);

// Text of the one-element shape tuple (v,), e.g. "(5,)".
int32_t tuple_text(UnicodeString *result, ExcSlot exc, int64_t v);

/* Never succeeds: stores a dynamic record for ValueError "cannot assign slice of shape (first,)
   from input of shape (second,)" and returns the user-exception status. If a buffer, the
   argument block or the record cannot be allocated, the static MemoryError record is stored
   instead; a failed concatenation passes its own record on. Nothing is left held except what
   the dynamic record carries (the message's memory record, released by its builder). */
int32_t raise_with_shape_context(ExcSlot exc, int64_t first, int64_t second);

}  // namespace sarvo

extern "C" {
/* Argument builder of the shape-mismatch record (requires the interpreter lock): block is a
   copy of the message's string record. Returns a new 1-tuple (message,) or null with an
   exception set; either way the block is freed and its reference to the message's memory
   record dropped. Its symbol follows the builders' naming rule: the prefix and the SHA-1 of
   the record's static part. */
PyObject *sarvo_shape_message_args(void *block) __asm__("__excinfo_unwrap_argscf783891ef2e078f1dff6bc1ef32835ccee896df");
}
