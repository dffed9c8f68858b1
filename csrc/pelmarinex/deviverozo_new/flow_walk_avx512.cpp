// The AVX-512 walk over the paired field, bilinear sampling: the AVX2 walk's layout and
// operations, eight pixels per register ([dy0 dx0 dy1 dx1 ... dy7 dx7]) instead of four, so each
// step's arithmetic, the update in double included, costs half the instructions per pixel; the
// samples are the same 16-byte loads of the paired field. Nearest sampling has little arithmetic
// to halve and measured 5-8 % slower at eight lanes than at four, so it stays on the AVX2 walk. Every lane performs the scalar walk's operations in
// the same order (separate multiplies and adds, never fused; the double-precision update rounded
// to float before its clamp, whose bounds are floats), so the results are bit-identical to
// walk_scalar on the planar field.
#include <immintrin.h>

#include "pelmarinex/deviverozo_new/flow_walk_blocks.h"

// GCC 12's AVX-512 headers fill the unused merge source of the unmasked intrinsics from a
// deliberately uninitialised variable, and warn about it where those are inlined.
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

namespace pelmarinex::deviverozo_new::sarvo_functions::walk {
namespace {

constexpr int kOctet = 8;   // pixels per register
// Walked side by side: as many pixels in flight as the AVX2 walk. Four, eight and twelve
// measured the same at 4096², so more in flight does not pay here.
constexpr int kOctets = 4;
constexpr int kBlock = kOctet * kOctets;

using BlockPixels = walk::BlockPixels<kBlock, kOctet>;

struct Octet {
    __m512 d;      // displacements, channels side by side
    __m512i base;  // pair index of each pixel, in the low word of each 64-bit lane
    __m512 lo, hi; // clamp bounds, in the layout of d
};

// Pair indices of the offsets (ry, rx) in the layout of d, plus base: ry * row + rx * 2 in each
// 64-bit lane's low word.
SARVO_AVX512 inline __m512i pair_index(__m512i offsets, __m512i scale, __m512i base) {
    const __m512i m = _mm512_mullo_epi32(offsets, scale);
    return _mm512_add_epi32(_mm512_add_epi32(m, _mm512_srli_epi64(m, 32)), base);
}

// Four 128-bit pieces, the first in the lowest lane.
SARVO_AVX512 inline __m512 join(__m128 a, __m128 b, __m128 c, __m128 d) {
    const __m256 low = _mm256_set_m128(b, a), high = _mm256_set_m128(d, c);
    return _mm512_insertf32x8(_mm512_castps256_ps512(low), high, 1);
}

// Both channels at (y + dy, x + dx) for the eight pixels, bilinear, in the layout of d.
SARVO_AVX512 inline __m512 sample(const float *pairs, const __m512i scale, int64_t row, const Octet &q) {
    alignas(64) int32_t at[16];
    const __m512 f = _mm512_roundscale_ps(q.d, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
    _mm512_store_si512(at, pair_index(_mm512_cvttps_epi32(f), scale, q.base));
    const __m512 t = _mm512_sub_ps(q.d, f);
    const __m512 u = _mm512_sub_ps(_mm512_set1_ps(1.0f), t);
    const float *p[kOctet];
    for (int k = 0; k < kOctet; ++k) p[k] = pairs + at[2 * k];
    // a: pixels 0 | 2 | 4 | 6, b: pixels 1 | 3 | 5 | 7; each 128-bit lane holds
    // (x0 c0, x0 c1, x1 c0, x1 c1).
    const auto at_row = [&](int k, int64_t r) { return _mm_loadu_ps(p[k] + r); };
    const __m512d a0 = _mm512_castps_pd(join(at_row(0, 0), at_row(2, 0), at_row(4, 0), at_row(6, 0)));
    const __m512d b0 = _mm512_castps_pd(join(at_row(1, 0), at_row(3, 0), at_row(5, 0), at_row(7, 0)));
    const __m512d a1 = _mm512_castps_pd(join(at_row(0, row), at_row(2, row), at_row(4, row), at_row(6, row)));
    const __m512d b1 = _mm512_castps_pd(join(at_row(1, row), at_row(3, row), at_row(5, row), at_row(7, row)));
    const __m512 f00 = _mm512_castpd_ps(_mm512_unpacklo_pd(a0, b0));
    const __m512 f01 = _mm512_castpd_ps(_mm512_unpackhi_pd(a0, b0));
    const __m512 f10 = _mm512_castpd_ps(_mm512_unpacklo_pd(a1, b1));
    const __m512 f11 = _mm512_castpd_ps(_mm512_unpackhi_pd(a1, b1));
    const __m512 ty = _mm512_moveldup_ps(t), tx = _mm512_movehdup_ps(t);
    const __m512 uy = _mm512_moveldup_ps(u), ux = _mm512_movehdup_ps(u);
    const __m512 s00 = _mm512_mul_ps(_mm512_mul_ps(f00, uy), ux);
    const __m512 s01 = _mm512_mul_ps(_mm512_mul_ps(f01, uy), tx);
    const __m512 s10 = _mm512_mul_ps(_mm512_mul_ps(f10, ty), ux);
    const __m512 s11 = _mm512_mul_ps(_mm512_mul_ps(f11, ty), tx);
    return _mm512_add_ps(_mm512_add_ps(_mm512_add_ps(s00, s01), s10), s11);
}

// (c > lo ? c : lo), then (v < hi ? v : hi): NaN takes the lower bound; as in the AVX2 walk,
// clamping in float gives the bits of clamping in double.
SARVO_AVX512 inline __m512 clamp(__m512 c, __m512 lo, __m512 hi) {
    const __m512 v = _mm512_mask_blend_ps(_mm512_cmp_ps_mask(c, lo, _CMP_GT_OQ), lo, c);
    return _mm512_mask_blend_ps(_mm512_cmp_ps_mask(v, hi, _CMP_LT_OQ), hi, v);
}

SARVO_AVX512 inline __m512d widen(__m512 v, int half) {
    return _mm512_cvtps_pd(half ? _mm512_extractf32x8_ps(v, 1) : _mm512_castps512_ps256(v));
}

template <class Real>
SARVO_AVX512 inline void step8(const float *pairs, const __m512i scale, int64_t row, Octet &q, Real length) {
    const __m512 s = sample(pairs, scale, row, q);
    __m512 c;
    if constexpr (sizeof(Real) == 4) {
        c = _mm512_add_ps(q.d, _mm512_mul_ps(s, _mm512_set1_ps(length)));
    } else {
        const __m512d l = _mm512_set1_pd(length);
        const __m256 low = _mm512_cvtpd_ps(_mm512_add_pd(widen(q.d, 0), _mm512_mul_pd(widen(s, 0), l)));
        const __m256 high = _mm512_cvtpd_ps(_mm512_add_pd(widen(q.d, 1), _mm512_mul_pd(widen(s, 1), l)));
        c = _mm512_insertf32x8(_mm512_castps256_ps512(low), high, 1);
    }
    q.d = clamp(c, q.lo, q.hi);
}

// (v0, v1) repeated in the layout of d.
SARVO_AVX512 inline __m512i pairs_of(int64_t v0, int64_t v1) {
    return _mm512_set1_epi64(static_cast<int64_t>((static_cast<uint64_t>(v1) << 32) | static_cast<uint32_t>(v0)));
}

// Channel-major [dy0 .. dy7 dx0 .. dx7] to the layout of d and back.
SARVO_AVX512 inline __m512i interleaving() {
    return _mm512_setr_epi32(0, 8, 1, 9, 2, 10, 3, 11, 4, 12, 5, 13, 6, 14, 7, 15);
}
SARVO_AVX512 inline __m512i deinterleaving() {
    return _mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 1, 3, 5, 7, 9, 11, 13, 15);
}

// As the AVX2 walk's load_block, eight pixels a register.
SARVO_AVX512 inline void load_block(const Job &job, bool from_zero, const BlockPixels &px, Octet q[kOctets]) {
    const int64_t plane = job.ly * job.lx;
    const __m512i last = pairs_of(job.ly - 1, job.lx - 1);
    for (int g = 0; g < kOctets; ++g) {
        const int i = g * kOctet;
        const bool stretch = px.stretch[g];
        __m512i yx;
        if (stretch) {
            yx = _mm512_add_epi32(pairs_of(px.y[i], px.x[i]),
                                  _mm512_setr_epi32(0, 0, 0, 1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6, 0, 7));
        } else {
            alignas(64) int32_t v[2 * kOctet];
            for (int k = 0; k < kOctet; ++k) v[2 * k] = static_cast<int32_t>(px.y[i + k]), v[2 * k + 1] = static_cast<int32_t>(px.x[i + k]);
            yx = _mm512_load_si512(v);
        }
        const int64_t row = 2 * (job.lx + 1);
        q[g].base = pair_index(yx, pairs_of(row, 2), _mm512_setzero_si512());
        // 0 - 0 converts to +0.0, the scalar walk's lower bound at the first row and column.
        q[g].lo = _mm512_cvtepi32_ps(_mm512_sub_epi32(_mm512_setzero_si512(), yx));
        q[g].hi = _mm512_cvtepi32_ps(_mm512_sub_epi32(last, yx));
        if (from_zero) {
            q[g].d = _mm512_setzero_ps();
            continue;
        }
        __m512 loaded;
        if (stretch) {
            const __m256 dy = _mm256_loadu_ps(job.disp + px.p[i]), dx = _mm256_loadu_ps(job.disp + plane + px.p[i]);
            loaded = _mm512_permutexvar_ps(interleaving(), _mm512_insertf32x8(_mm512_castps256_ps512(dy), dx, 1));
        } else {
            alignas(64) float v[2 * kOctet];
            for (int k = 0; k < kOctet; ++k)
                v[2 * k] = sarvo::read_once(job.disp[px.p[i + k]]), v[2 * k + 1] = sarvo::read_once(job.disp[plane + px.p[i + k]]);
            loaded = _mm512_load_ps(v);
        }
        // As in the AVX2 walk: any value read back is put inside, every stored one kept.
        q[g].d = clamp(loaded, q[g].lo, q[g].hi);
    }
}

SARVO_AVX512 inline void store_block(const Job &job, const BlockPixels &px, const Octet q[kOctets]) {
    const int64_t plane = job.ly * job.lx;
    for (int g = 0; g < kOctets; ++g) {
        const int i = g * kOctet;
        if (px.stretch[g]) {
            const __m512 channels = _mm512_permutexvar_ps(deinterleaving(), q[g].d);
            _mm256_storeu_ps(job.disp + px.p[i], _mm512_castps512_ps256(channels));
            _mm256_storeu_ps(job.disp + plane + px.p[i], _mm512_extractf32x8_ps(channels, 1));
            continue;
        }
        alignas(64) float d[2 * kOctet];
        _mm512_store_ps(d, q[g].d);
        for (int k = 0; k < kOctet; ++k) {
            job.disp[px.p[i + k]] = d[2 * k];
            job.disp[plane + px.p[i + k]] = d[2 * k + 1];
        }
    }
}

template <class Real>
SARVO_AVX512 void walk_blocks(const Job &job, const float *pairs, const Real *lengths, int64_t count, bool from_zero) {
    const int64_t row = 2 * (job.lx + 1);
    const __m512i scale = pairs_of(row, 2);
    Cursor at;
    for (int64_t first = 0; first < job.n; first += kBlock) {
        BlockPixels px;
        Octet q[kOctets];
        next_pixels(job, at, px);
        load_block(job, from_zero, px, q);
        for (int64_t k = 0; k < count; ++k) {
            const Real length = lengths[k];
#pragma GCC unroll 4
            for (int g = 0; g < kOctets; ++g) step8<Real>(pairs, scale, row, q[g], length);
        }
        store_block(job, px, q);
    }
}

}  // namespace

void walk_avx512(const Job &job, const float *pairs, const float *lengths, int64_t count, bool from_zero) {
    walk_blocks<float>(job, pairs, lengths, count, from_zero);
}

void walk_avx512(const Job &job, const float *pairs, const double *lengths, int64_t count, bool from_zero) {
    walk_blocks<double>(job, pairs, lengths, count, from_zero);
}

}  // namespace pelmarinex::deviverozo_new::sarvo_functions::walk
