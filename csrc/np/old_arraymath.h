// Array routines shared by the kernels: index of the minimum, cumulative sum, bin count.
#pragma once

#include <cstdint>

#include "core/runtime/native_array.h"
#include "core/excinfo.h"

namespace sarvo {

// Index of the first smallest element; a NaN ends the walk and is the answer.
int32_t array_argmin(int64_t *result, ExcSlot exc, const Array<const double, 1> &a);

// The same walk over n > 0 contiguous values, in the build for any x86-64 and the AVX2 build,
// which array_argmin picks at run time. Both return the same index for every input.
int64_t argmin_baseline(const double *v, int64_t n);
int64_t argmin_avx2(const double *v, int64_t n);

// result[k] = a[0] + ... + a[k], wrapping modulo 2^32.
int32_t array_cumsum(Array<uint32_t, 1> *result, ExcSlot exc, const Array<const uint32_t, 1> &a);

// The largest element, 0 for an empty array.
uint32_t largest_element(const Array<const uint32_t, 1> &a);
uint32_t largest_baseline(const uint32_t *v, int64_t n);
uint32_t largest_avx2(const uint32_t *v, int64_t n);

// Counts of each value, over max(largest + 1, minlength) bins (minlength for an empty array).
int32_t np_bincount(Array<int64_t, 1> *result, ExcSlot exc, const Array<const uint32_t, 1> &a, uint32_t minlength);

// The same, for a caller that already knows the largest element.
int32_t np_bincount_upto(Array<int64_t, 1> *result, ExcSlot exc, const Array<const uint32_t, 1> &a,
                         uint32_t largest, uint32_t minlength);

/* c[min(v[j], last)] += 1 for the n values; every value is read once. The AVX2 build adds each
   run of equal neighbours at once; both builds give the same counts. */
void count_values_baseline(const uint32_t *v, int64_t n, int64_t *c, uint32_t last);
void count_values_avx2(const uint32_t *v, int64_t n, int64_t *c, uint32_t last);

}  // namespace sarvo
