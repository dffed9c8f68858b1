// Result arrays of many megabytes. A fresh buffer that size comes straight from the kernel and
// costs one page fault per 4 KiB page on its first touch, which for a 64 MiB field is most of
// the time it takes to write it; asking for 2 MiB pages before the first touch cuts the faults
// 512-fold. The request is a hint: where the kernel cannot or will not oblige, nothing changes.
#pragma once

#include <cstdint>
#include <cstring>

#include "core/runtime/native_array.h"
#include "np/arrayobj.h"
#include "core/excinfo.h"

namespace pelmarinex::deviverozo_new::sarvo_functions {

// Asks for huge pages on the whole 2 MiB pages inside [data, data + nbytes), if there are any.
void prefer_huge_pages(void *data, int64_t nbytes);

/* Zeroes [data, data + nbytes) of a block the runtime just allocated. A block of 32 MiB or more
   from the C library's malloc is a fresh mapping: its whole pages are handed back to the system,
   which maps zeroed pages on their first touch, so the system's clearing is the only zeroing;
   only the partial pages at either end are written. Otherwise, and if the system refuses, the
   block is written. */
void zero_fresh_block(void *data, int64_t nbytes);

// create_array with the same checks and errors, asking for huge pages before the buffer is
// first written (zeroed here for Fill::Zeros).
template <class T, int N>
int32_t create_large_array(sarvo::Array<T, N> *out, const int64_t (&shape)[N], sarvo::Fill fill, sarvo::ExcSlot exc,
                           bool check_negative = true) {
    if (int32_t st = sarvo::create_array(out, shape, sarvo::Fill::Uninitialised, exc, check_negative)) return st;
    const int64_t nbytes = out->nitems * static_cast<int64_t>(sizeof(T));
    if (fill == sarvo::Fill::Zeros) zero_fresh_block(out->data, nbytes);
    prefer_huge_pages(out->data, nbytes);
    return sarvo::kOk;
}

}  // namespace pelmarinex::deviverozo_new::sarvo_functions
