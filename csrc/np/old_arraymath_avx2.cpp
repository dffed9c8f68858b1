// The AVX2 build of the index of the minimum, in two reads: the smallest value (and whether a
// NaN occurs) with four independent minimum chains, then the first index holding a value equal
// to it. Equality treats 0.0 and -0.0 alike, as the walk in order does, so both builds return
// the same index; a NaN anywhere ends the walk at the first one, whatever the minimum.
#include <immintrin.h>

#include <cmath>

#include "core/cpu_features.h"
#include "np/old_arraymath.h"

namespace sarvo {
namespace {

constexpr int kLanes = 4, kChains = 4, kStep = kLanes * kChains;

int64_t first_nan(const double *v) {  // a NaN is known to occur
    int64_t j = 0;
    while (!std::isnan(v[j])) ++j;
    return j;
}

SARVO_AVX2 int64_t first_equal(const double *v, int64_t n, double value) {
    const __m256d m = _mm256_set1_pd(value);
    int64_t j = 0;
    for (; j + kLanes <= n; j += kLanes)
        if (int bits = _mm256_movemask_pd(_mm256_cmp_pd(_mm256_loadu_pd(v + j), m, _CMP_EQ_OQ)))
            return j + __builtin_ctz(static_cast<unsigned>(bits));
    while (v[j] != value) ++j;  // the minimum occurs, so the walk stops inside the array
    return j;
}

}  // namespace

SARVO_AVX2 int64_t argmin_avx2(const double *v, int64_t n) {
    if (n < 2 * kStep) return argmin_baseline(v, n);
    __m256d low[kChains], nan = _mm256_setzero_pd();
    for (int c = 0; c < kChains; ++c) low[c] = _mm256_loadu_pd(v + c * kLanes);
    int64_t j = 0;
    for (; j + kStep <= n; j += kStep) {
        for (int c = 0; c < kChains; ++c) {
            const __m256d a = _mm256_loadu_pd(v + j + c * kLanes);
            nan = _mm256_or_pd(nan, _mm256_cmp_pd(a, a, _CMP_UNORD_Q));
            low[c] = _mm256_min_pd(low[c], a);
        }
    }
    // The last values, read again from the end so that no lane reads past n.
    for (int c = 0; c < kChains; ++c) {
        const __m256d a = _mm256_loadu_pd(v + n - kStep + c * kLanes);
        nan = _mm256_or_pd(nan, _mm256_cmp_pd(a, a, _CMP_UNORD_Q));
        low[c] = _mm256_min_pd(low[c], a);
    }
    if (_mm256_movemask_pd(nan)) return first_nan(v);
    alignas(32) double lanes[kLanes];
    _mm256_store_pd(lanes, _mm256_min_pd(_mm256_min_pd(low[0], low[1]), _mm256_min_pd(low[2], low[3])));
    const double value = std::fmin(std::fmin(lanes[0], lanes[1]), std::fmin(lanes[2], lanes[3]));
    return first_equal(v, n, value);
}

}  // namespace sarvo
