// The one rule by which kernels create arrays: C-contiguous, no parent, a fresh memory record
// whose payload is aligned to 32 bytes.
#pragma once

#include <cstdint>

#include "core/runtime/native_array.h"
#include "core/excinfo.h"

namespace sarvo {

enum class Fill { Uninitialised, Zeros };

// Fills rec (meminfo, nitems, itemsize, data, C-order extents and strides) for an array of
// ndim extents with the given item size. Fails with the generic records: negative extent
// (only when check_negative; kernels whose extents come from existing arrays skip it),
// element or byte count overflow, allocator refusal. rec is untouched on failure.
int32_t create_array_record(arystruct_t *rec, int ndim, const int64_t *shape, int64_t itemsize, Fill fill,
                            bool check_negative, ExcSlot exc);

template <class T, int N>
int32_t create_array(Array<T, N> *out, const int64_t (&shape)[N], Fill fill, ExcSlot exc,
                     bool check_negative = true) {
    return create_array_record(reinterpret_cast<arystruct_t *>(out), N, shape, sizeof(T), fill, check_negative,
                               exc);
}

}  // namespace sarvo
