// The AVX2 builds of the row-wise seed pieces: eight pixels (32 counts) side by side, the same
// tests as the baseline, the rest of a row left to the baseline.
#include <immintrin.h>

#include "pelmarinex/deviverozo_new/seed_rows.h"

namespace pelmarinex::deviverozo_new::sarvo_functions::seed_rows {
namespace {

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

/* Neighbouring pixels mostly end on one pixel, so a group of eight has one target or a few:
   each distinct target of the reading lanes is read once, with scalar loads (which beat
   gathers here), and its label goes to every reading lane that ends on it. The labels go back
   with one full store of the group (lanes that take nothing keep what was loaded; no other
   pixel writes them). A group with a reading lane whose target is outside writes nothing and
   ends the row with false. */
SARVO_AVX2 bool hand_over_row_avx2(const Planes &p, int64_t i, uint8_t *taken) {
    const int64_t row = i * p.lx;
    const __m256i iv = _mm256_set1_epi32(static_cast<int32_t>(i)), lx = _mm256_set1_epi32(static_cast<int32_t>(p.lx));
    const __m256i zero = _mm256_setzero_si256();
    int64_t j = 0;
    for (; j + kLanes <= p.lx; j += kLanes) {
        const int64_t q = row + j;
        // Labelled pixels read nothing: a group of them needs no displacement.
        const __m256i unlabelled = _mm256_cmpeq_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(p.labels + q)), zero);
        if (_mm256_testz_si256(unlabelled, unlabelled)) continue;
        const Lanes8 l = load8(p, q);
        int reading = _mm256_movemask_ps(_mm256_castsi256_ps(l.reads));
        if (reading == 0) continue;
        const __m256i ry = _mm256_add_epi32(iv, l.dy), rx = _mm256_add_epi32(columns(j), l.dx);
        const __m256i ok = _mm256_and_si256(accepted(ry, p.ly), accepted(rx, p.lx));
        if (!_mm256_testc_si256(ok, l.reads)) return false;
        const __m256i t = _mm256_add_epi32(_mm256_mullo_epi32(wrap(ry, p.ly), lx), wrap(rx, p.lx));
        __m256i target = l.labels, take = zero;
        do {
            const __m256i first = _mm256_permutevar8x32_epi32(t, _mm256_set1_epi32(__builtin_ctz(reading)));
            const __m256i same = _mm256_and_si256(_mm256_cmpeq_epi32(t, first), l.reads);
            reading &= ~_mm256_movemask_ps(_mm256_castsi256_ps(same));
            const int64_t t0 = _mm256_cvtsi256_si32(first);
            const uint32_t label = p.labels[t0];
            if (p.dy[t0] != 0 || p.dx[t0] != 0 || label == 0) continue;
            target = _mm256_blendv_epi8(target, _mm256_set1_epi32(static_cast<int32_t>(label)), same);
            take = _mm256_or_si256(take, same);
        } while (reading != 0);
        const int bits = _mm256_movemask_ps(_mm256_castsi256_ps(take));
        if (bits == 0) continue;
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(p.labels + q), target);
        taken[j / 8] = static_cast<uint8_t>(bits);
    }
    return hand_over_from(p, i, j, taken);
}

/* Eight pixels at a time: their targets are checked in lanes; when every selected lane has the
   same target the group adds its count at once, otherwise each selected lane adds one. */
SARVO_AVX2 bool count_row_avx2(const CountRow &r, uint8_t *counts) {
    const __m256i iv = _mm256_set1_epi32(static_cast<int32_t>(r.i)), lx = _mm256_set1_epi32(static_cast<int32_t>(r.lx));
    const __m256i zero = _mm256_setzero_si256();
    alignas(32) int32_t targets[kLanes];
    int64_t j = 0;
    for (; j + kLanes <= r.lx; j += kLanes) {
        const __m256i bytes = _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(r.selected + j)));
        const int bits = _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(bytes, zero))) ^ 0xFF;
        if (bits == 0) continue;
        const __m256i selected = _mm256_xor_si256(_mm256_cmpeq_epi32(bytes, zero), _mm256_set1_epi32(-1));
        const __m256i ry = _mm256_add_epi32(iv, _mm256_cvtepi16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(r.dy + j))));
        const __m256i rx = _mm256_add_epi32(columns(j), _mm256_cvtepi16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(r.dx + j))));
        if (!_mm256_testc_si256(_mm256_and_si256(accepted(ry, r.ly), accepted(rx, r.lx)), selected)) return false;
        const __m256i t = _mm256_add_epi32(_mm256_mullo_epi32(wrap(ry, r.ly), lx), wrap(rx, r.lx));
        const __m256i first = _mm256_permutevar8x32_epi32(t, _mm256_set1_epi32(__builtin_ctz(bits)));
        if (_mm256_testc_si256(_mm256_cmpeq_epi32(t, first), selected)) {
            add_saturating(counts, _mm256_cvtsi256_si32(first), __builtin_popcount(bits));
            continue;
        }
        _mm256_store_si256(reinterpret_cast<__m256i *>(targets), t);
        for (int b = bits; b != 0; b &= b - 1) {
            uint8_t &h = counts[targets[__builtin_ctz(b)]];
            h = static_cast<uint8_t>(h + (h != 255));
        }
    }
    return count_from(r, j, counts);
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
