// The AVX2 builds of the row-wise seed pieces: eight pixels (32 counts) side by side, the same
// tests as the baseline, the rest of a row left to the baseline.
#include <immintrin.h>

#include "pelmarinex/deviverozo_new/seed_rows.h"

namespace pelmarinex::deviverozo_new::sarvo_functions::seed_rows {
namespace {

#define SARVO_AVX2 __attribute__((target("avx2")))

constexpr int64_t kLanes = 8;

struct Lanes8 {
    __m256i labels, dy, dx;
    __m256i reads;  // all ones where the pixel is unlabelled and moving
};

SARVO_AVX2 inline Lanes8 load8(const Planes &p, int64_t q) {
    Lanes8 l;
    l.labels = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p.labels + q));
    l.dy = _mm256_cvtepi16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p.dy + q)));
    l.dx = _mm256_cvtepi16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p.dx + q)));
    const __m256i zero = _mm256_setzero_si256();
    const __m256i settled = _mm256_cmpeq_epi32(_mm256_or_si256(l.dy, l.dx), zero);
    l.reads = _mm256_andnot_si256(settled, _mm256_cmpeq_epi32(l.labels, zero));
    return l;
}

// t in [-extent, extent): t > -extent - 1 and extent > t, as signed 32-bit compares.
SARVO_AVX2 inline __m256i accepted(__m256i t, int64_t extent) {
    const __m256i e = _mm256_set1_epi32(static_cast<int32_t>(extent));
    const __m256i below = _mm256_set1_epi32(static_cast<int32_t>(-extent - 1));
    return _mm256_and_si256(_mm256_cmpgt_epi32(t, below), _mm256_cmpgt_epi32(e, t));
}

// t + extent where t is negative.
SARVO_AVX2 inline __m256i wrap(__m256i t, int64_t extent) {
    return _mm256_add_epi32(t, _mm256_and_si256(_mm256_srai_epi32(t, 31), _mm256_set1_epi32(static_cast<int32_t>(extent))));
}

SARVO_AVX2 inline __m256i columns(int64_t j) {
    return _mm256_add_epi32(_mm256_set1_epi32(static_cast<int32_t>(j)), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
}

}  // namespace

/* The targets of reading lanes are gathered; other lanes gather their own pixel, which is in
   the image. dy[t] is the low half of the 32 bits at dy + t and dx[t] the high half of those at
   dx + t - 1: both reads stay inside the (2, ly, lx) array, dx following dy. A group of eight
   with a reading lane whose target is outside writes nothing and ends the row with false. */
SARVO_AVX2 bool hand_over_row_avx2(const Planes &p, int64_t i, uint8_t *taken) {
    const int64_t row = i * p.lx;
    const __m256i iv = _mm256_set1_epi32(static_cast<int32_t>(i)), lx = _mm256_set1_epi32(static_cast<int32_t>(p.lx));
    const __m256i zero = _mm256_setzero_si256(), low = _mm256_set1_epi32(0xFFFF);
    const auto *dy32 = reinterpret_cast<const int *>(p.dy);
    const auto *dx32 = reinterpret_cast<const int *>(p.dx - 1);
    int64_t j = 0;
    for (; j + kLanes <= p.lx; j += kLanes) {
        const int64_t q = row + j;
        // Labelled pixels read nothing: a group of them needs no displacement.
        const __m256i labels = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p.labels + q));
        if (_mm256_testz_si256(_mm256_cmpeq_epi32(labels, zero), _mm256_cmpeq_epi32(labels, zero))) continue;
        const Lanes8 l = load8(p, q);
        if (_mm256_testz_si256(l.reads, l.reads)) continue;
        const __m256i ry = _mm256_add_epi32(iv, l.dy), rx = _mm256_add_epi32(columns(j), l.dx);
        const __m256i ok = _mm256_and_si256(accepted(ry, p.ly), accepted(rx, p.lx));
        if (!_mm256_testz_si256(l.reads, _mm256_xor_si256(ok, _mm256_set1_epi32(-1)))) return false;
        const __m256i ty = wrap(ry, p.ly), tx = wrap(rx, p.lx);
        const __m256i own = _mm256_add_epi32(_mm256_set1_epi32(static_cast<int32_t>(q)), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
        const __m256i t = _mm256_blendv_epi8(own, _mm256_add_epi32(_mm256_mullo_epi32(ty, lx), tx), l.reads);
        const __m256i target = _mm256_i32gather_epi32(reinterpret_cast<const int *>(p.labels), t, 4);
        const __m256i tdy = _mm256_and_si256(_mm256_i32gather_epi32(dy32, t, 2), low);
        const __m256i tdx = _mm256_srli_epi32(_mm256_i32gather_epi32(dx32, t, 2), 16);
        const __m256i settled = _mm256_cmpeq_epi32(_mm256_or_si256(tdy, tdx), zero);
        const __m256i take = _mm256_andnot_si256(_mm256_cmpeq_epi32(target, zero), _mm256_and_si256(settled, l.reads));
        _mm256_maskstore_epi32(reinterpret_cast<int *>(p.labels + q), take, target);
        taken[j / 8] = static_cast<uint8_t>(_mm256_movemask_ps(_mm256_castsi256_ps(take)));
    }
    return hand_over_from(p, i, j, taken);
}

SARVO_AVX2 int64_t above_avx2(const uint8_t *row, int64_t n, uint8_t threshold, int32_t *out) {
    const __m256i bound = _mm256_set1_epi8(static_cast<char>(threshold + 1));
    int64_t count = 0, j = 0;
    for (; j + 32 <= n; j += 32) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(row + j));
        // v > threshold exactly when max(v, threshold + 1) is v (unsigned bytes).
        auto bits = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_max_epu8(v, bound), v)));
        while (bits) {
            out[count++] = static_cast<int32_t>(j + __builtin_ctz(bits));
            bits &= bits - 1;
        }
    }
    return count + above_from(row, j, n, threshold, out + count);
}

}  // namespace pelmarinex::deviverozo_new::sarvo_functions::seed_rows
