// The AVX2 builds of the array routines.
//
// The index of the minimum, in two reads: the smallest value (and whether a NaN occurs) with
// four independent minimum chains, then the first index holding a value equal to it. Equality
// treats 0.0 and -0.0 alike, as the walk in order does, so both builds return the same index; a
// NaN anywhere ends the walk at the first one, whatever the minimum.
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

// Four maximum chains of eight lanes; the maximum does not depend on the grouping.
SARVO_AVX2 uint32_t largest_avx2(const uint32_t *v, int64_t n) {
    constexpr int kWide = 8;
    __m256i m[kChains];
    for (__m256i &x : m) x = _mm256_setzero_si256();
    int64_t j = 0;
    for (; j + kChains * kWide <= n; j += kChains * kWide)
        for (int c = 0; c < kChains; ++c)
            m[c] = _mm256_max_epu32(m[c], _mm256_loadu_si256(reinterpret_cast<const __m256i *>(v + j + c * kWide)));
    alignas(32) uint32_t lanes[kWide];
    _mm256_store_si256(reinterpret_cast<__m256i *>(lanes),
                       _mm256_max_epu32(_mm256_max_epu32(m[0], m[1]), _mm256_max_epu32(m[2], m[3])));
    uint32_t out = largest_baseline(v + j, n - j);
    for (uint32_t x : lanes) out = x > out ? x : out;
    return out;
}

/* A label mask holds long runs of one value, so the counts are added a run at a time. Groups of
   eight values are compared with the eight before them, one place back (a second, unaligned
   read); only where neighbours differ does a run end. A group with one run end, the usual case,
   writes its run to a short list without a branch (a mispredicted branch per cell border cost
   more than the rest of the pass); the list is added up every few hundred groups. The runs'
   values are taken from the reads and every address is formed as min(value, last), so a value
   another thread changes between the two reads can only move a count between bins. */
SARVO_AVX2 void count_values_avx2(const uint32_t *v, int64_t n, int64_t *c, uint32_t last) {
    constexpr int kWide = 8;
    constexpr int kList = 256;
    if (n < kWide + 1) return count_values_baseline(v, n, c, last);
    const auto bin = [last](uint32_t x) { return x < last ? x : last; };
    struct Run {
        uint32_t bin;
        int64_t length;
    } list[kList];
    int listed = 0;
    int64_t start = 0;  // where the run in progress began
    int64_t j = 1;
    alignas(32) uint32_t before[kWide];
    for (; j + kWide <= n; j += kWide) {
        const __m256i here = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(v + j));
        const __m256i back = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(v + j - 1));
        const auto same = static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(here, back))));
        const unsigned ends = ~same & 0xFFu;  // bit i: the run holding entry j + i - 1 ends there
        _mm256_store_si256(reinterpret_cast<__m256i *>(before), back);
        if (ends & (ends - 1)) {  // two or more run ends: one by one
            for (unsigned e = ends; e != 0; e &= e - 1) {
                const int i = __builtin_ctz(e);
                c[bin(before[i])] += j + i - start;
                start = j + i;
            }
            continue;
        }
        const int i = __builtin_ctz(ends | 0x100u) & (kWide - 1);  // lane 0 when nothing ends
        const int64_t end = j + i;
        list[listed] = Run{bin(before[i]), end - start};
        const bool ended = ends != 0;
        listed += ended;
        start = ended ? end : start;
        if (listed == kList) {
            for (const Run &r : list) c[r.bin] += r.length;
            listed = 0;
        }
    }
    for (int k = 0; k < listed; ++k) c[list[k].bin] += list[k].length;
    uint32_t value = read_once(v[j - 1]);
    for (; j < n; ++j) {
        const uint32_t x = read_once(v[j]);
        if (x == value) continue;
        c[bin(value)] += j - start;
        value = x;
        start = j;
    }
    c[bin(value)] += n - start;
}

}  // namespace sarvo
