// The AVX2 walk over the paired field: four pixels per register, the row and column channel of
// each side by side ([dy0 dx0 dy1 dx1 | dy2 dx2 dy3 dx3]). The two corners (y0, x0) and
// (y0, x0 + 1) of a bilinear sample are one 16-byte load of the paired field, so a sample of
// both channels costs two loads per pixel instead of eight gathers. Every lane performs the
// scalar walk's operations in the same order (separate multiplies and adds, never fused; the
// double-precision update is rounded to float before its clamp, which gives the same bits:
// see clamp), so the results are bit-identical to walk_scalar on the planar field.
#include <immintrin.h>

#include <cstring>

#include "pelmarinex/deviverozo_new/flow_walk_blocks.h"

namespace pelmarinex::deviverozo_new::sarvo_functions::walk {
namespace {

constexpr int kQuad = 4;    // pixels per register
// Quads walked side by side, so that one's loads hide another's latency: a step waits on its
// samples, which land far apart after the first rounds. Eight walked 1.4-2x faster than four
// at 2048² (16 fewer pixels in flight were not enough to cover the misses; sixteen spill).
constexpr int kQuads = 8;
constexpr int kBlock = kQuad * kQuads;

struct Quad {
    __m256 d;                 // displacements, channels side by side
    __m256i base;             // pair index of each pixel, in the low word of each 64-bit lane
    __m256 lo, hi;            // clamp bounds, in the layout of d
};

SARVO_AVX2 inline __m128 load_pair(const float *p) {
    return _mm_castpd_ps(_mm_load_sd(reinterpret_cast<const double *>(p)));
}

// Both channels at (y + dy, x + dx) for the four pixels, in the layout of d.
template <bool Interpolate>
SARVO_AVX2 inline __m256 sample(const float *pairs, const __m256i scale, int64_t row, const Quad &q) {
    alignas(32) int32_t at[8];
    if constexpr (Interpolate) {
        const __m256 f = _mm256_floor_ps(q.d);
        const __m256i m = _mm256_mullo_epi32(_mm256_cvttps_epi32(f), scale);
        _mm256_store_si256(reinterpret_cast<__m256i *>(at),
                           _mm256_add_epi32(_mm256_add_epi32(m, _mm256_srli_epi64(m, 32)), q.base));
        const __m256 t = _mm256_sub_ps(q.d, f);
        const __m256 u = _mm256_sub_ps(_mm256_set1_ps(1.0f), t);
        const float *p0 = pairs + at[0], *p1 = pairs + at[2], *p2 = pairs + at[4], *p3 = pairs + at[6];
        // a: pixels 0 | 2, b: pixels 1 | 3; each 128-bit half holds (x0 c0, x0 c1, x1 c0, x1 c1).
        const __m256d a0 = _mm256_castps_pd(_mm256_set_m128(_mm_loadu_ps(p2), _mm_loadu_ps(p0)));
        const __m256d b0 = _mm256_castps_pd(_mm256_set_m128(_mm_loadu_ps(p3), _mm_loadu_ps(p1)));
        const __m256d a1 = _mm256_castps_pd(_mm256_set_m128(_mm_loadu_ps(p2 + row), _mm_loadu_ps(p0 + row)));
        const __m256d b1 = _mm256_castps_pd(_mm256_set_m128(_mm_loadu_ps(p3 + row), _mm_loadu_ps(p1 + row)));
        const __m256 f00 = _mm256_castpd_ps(_mm256_unpacklo_pd(a0, b0));
        const __m256 f01 = _mm256_castpd_ps(_mm256_unpackhi_pd(a0, b0));
        const __m256 f10 = _mm256_castpd_ps(_mm256_unpacklo_pd(a1, b1));
        const __m256 f11 = _mm256_castpd_ps(_mm256_unpackhi_pd(a1, b1));
        const __m256 ty = _mm256_moveldup_ps(t), tx = _mm256_movehdup_ps(t);
        const __m256 uy = _mm256_moveldup_ps(u), ux = _mm256_movehdup_ps(u);
        const __m256 s00 = _mm256_mul_ps(_mm256_mul_ps(f00, uy), ux);
        const __m256 s01 = _mm256_mul_ps(_mm256_mul_ps(f01, uy), tx);
        const __m256 s10 = _mm256_mul_ps(_mm256_mul_ps(f10, ty), ux);
        const __m256 s11 = _mm256_mul_ps(_mm256_mul_ps(f11, ty), tx);
        return _mm256_add_ps(_mm256_add_ps(_mm256_add_ps(s00, s01), s10), s11);
    } else {
        constexpr int kNearest = _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC;
        const __m256i m = _mm256_mullo_epi32(_mm256_cvttps_epi32(_mm256_round_ps(q.d, kNearest)), scale);
        _mm256_store_si256(reinterpret_cast<__m256i *>(at),
                           _mm256_add_epi32(_mm256_add_epi32(m, _mm256_srli_epi64(m, 32)), q.base));
        const __m128 low = _mm_movelh_ps(load_pair(pairs + at[0]), load_pair(pairs + at[2]));
        const __m128 high = _mm_movelh_ps(load_pair(pairs + at[4]), load_pair(pairs + at[6]));
        return _mm256_set_m128(high, low);
    }
}

// (c > lo ? c : lo), then (v < hi ? v : hi): NaN takes the lower bound. The bounds are integers
// below 2^24, so floats, and rounding is monotonic: clamping an update already rounded to float
// gives the bits of clamping it in double and rounding after, as the scalar walk does.
SARVO_AVX2 inline __m256 clamp(__m256 c, __m256 lo, __m256 hi) {
    const __m256 v = _mm256_blendv_ps(lo, c, _mm256_cmp_ps(c, lo, _CMP_GT_OQ));
    return _mm256_blendv_ps(hi, v, _mm256_cmp_ps(v, hi, _CMP_LT_OQ));
}

SARVO_AVX2 inline __m256d widen(__m256 v, int half) {
    return _mm256_cvtps_pd(half ? _mm256_extractf128_ps(v, 1) : _mm256_castps256_ps128(v));
}

// One step of four pixels; Real as in the scalar step.
template <class Real, bool Interpolate>
SARVO_AVX2 inline void step4(const float *pairs, const __m256i scale, int64_t row, Quad &q, Real length) {
    const __m256 s = sample<Interpolate>(pairs, scale, row, q);
    __m256 c;
    if constexpr (sizeof(Real) == 4) {
        c = _mm256_add_ps(q.d, _mm256_mul_ps(s, _mm256_set1_ps(length)));
    } else {
        const __m256d l = _mm256_set1_pd(length);
        __m128 half[2];
        for (int h = 0; h < 2; ++h) half[h] = _mm256_cvtpd_ps(_mm256_add_pd(widen(q.d, h), _mm256_mul_pd(widen(s, h), l)));
        c = _mm256_set_m128(half[1], half[0]);
    }
    q.d = clamp(c, q.lo, q.hi);
}

using BlockPixels = walk::BlockPixels<kBlock, kQuad>;

// from_zero: the walk starts from displacements known to be 0, which need not be read. The
// registers are built from scalars with inserts, not through a stack array (whose narrow
// stores a wide load could not forward).
SARVO_AVX2 inline void load_block(const Job &job, bool from_zero, const BlockPixels &px, Quad q[kQuads]) {
    const int64_t plane = job.ly * job.lx, row = 2 * (job.lx + 1);
    const __m256i scale = _mm256_setr_epi32(static_cast<int32_t>(row), 2, static_cast<int32_t>(row), 2,
                                            static_cast<int32_t>(row), 2, static_cast<int32_t>(row), 2);
    const __m256i last = _mm256_setr_epi32(static_cast<int32_t>(job.ly - 1), static_cast<int32_t>(job.lx - 1),
                                           static_cast<int32_t>(job.ly - 1), static_cast<int32_t>(job.lx - 1),
                                           static_cast<int32_t>(job.ly - 1), static_cast<int32_t>(job.lx - 1),
                                           static_cast<int32_t>(job.ly - 1), static_cast<int32_t>(job.lx - 1));
    for (int g = 0; g < kQuads; ++g) {
        const int i = g * kQuad;
        const bool stretch = px.stretch[g];
        const auto c = [&](const int64_t *v, int k) { return static_cast<int32_t>(v[i + k]); };
        const __m256i yx = stretch ? _mm256_add_epi32(_mm256_setr_epi32(c(px.y, 0), c(px.x, 0), c(px.y, 0), c(px.x, 0),
                                                                         c(px.y, 0), c(px.x, 0), c(px.y, 0), c(px.x, 0)),
                                                      _mm256_setr_epi32(0, 0, 0, 1, 0, 2, 0, 3))
                                   : _mm256_setr_epi32(c(px.y, 0), c(px.x, 0), c(px.y, 1), c(px.x, 1), c(px.y, 2),
                                                       c(px.x, 2), c(px.y, 3), c(px.x, 3));
        const __m256i m = _mm256_mullo_epi32(yx, scale);
        q[g].base = _mm256_add_epi32(m, _mm256_srli_epi64(m, 32));
        // 0 - 0 converts to +0.0, the scalar walk's lower bound at the first row and column.
        q[g].lo = _mm256_cvtepi32_ps(_mm256_sub_epi32(_mm256_setzero_si256(), yx));
        q[g].hi = _mm256_cvtepi32_ps(_mm256_sub_epi32(last, yx));
        if (from_zero) {
            q[g].d = _mm256_setzero_ps();
            continue;
        }
        __m256 loaded;
        if (stretch) {
            const __m128 dy = _mm_loadu_ps(job.disp + px.p[i]), dx = _mm_loadu_ps(job.disp + plane + px.p[i]);
            loaded = _mm256_set_m128(_mm_unpackhi_ps(dy, dx), _mm_unpacklo_ps(dy, dx));
        } else {
            const auto d = [&](int k, int ch) { return sarvo::read_once(job.disp[ch * plane + px.p[i + k]]); };
            loaded = _mm256_setr_ps(d(0, 0), d(0, 1), d(1, 0), d(1, 1), d(2, 0), d(2, 1), d(3, 0), d(3, 1));
        }
        // disp may be the caller's, changed by another thread since the walk stored it: the
        // clamp of a step puts any value back inside and leaves every stored one as it is
        // (bounds below 2^24 are floats, and the clamp returns its own results unchanged).
        q[g].d = clamp(loaded, q[g].lo, q[g].hi);
    }
}

SARVO_AVX2 inline void store_block(const Job &job, const BlockPixels &px, const Quad q[kQuads]) {
    const int64_t plane = job.ly * job.lx;
    for (int g = 0; g < kQuads; ++g) {
        const int i = g * kQuad;
        if (px.stretch[g]) {
            const __m128 low = _mm256_castps256_ps128(q[g].d), high = _mm256_extractf128_ps(q[g].d, 1);
            _mm_storeu_ps(job.disp + px.p[i], _mm_shuffle_ps(low, high, _MM_SHUFFLE(2, 0, 2, 0)));
            _mm_storeu_ps(job.disp + plane + px.p[i], _mm_shuffle_ps(low, high, _MM_SHUFFLE(3, 1, 3, 1)));
            continue;
        }
        alignas(32) float d[8];
        _mm256_store_ps(d, q[g].d);
        for (int k = 0; k < kQuad; ++k) {
            job.disp[px.p[i + k]] = d[2 * k];
            job.disp[plane + px.p[i + k]] = d[2 * k + 1];
        }
    }
}

template <class Real, bool Interpolate>
SARVO_AVX2 void walk_blocks(const Job &job, const float *pairs, const Real *lengths, int64_t count, bool from_zero) {
    const int64_t row = 2 * (job.lx + 1);
    const __m256i scale = _mm256_setr_epi32(static_cast<int32_t>(row), 2, static_cast<int32_t>(row), 2,
                                            static_cast<int32_t>(row), 2, static_cast<int32_t>(row), 2);
    Cursor at;
    for (int64_t first = 0; first < job.n; first += kBlock) {
        BlockPixels px;
        Quad q[kQuads];
        next_pixels(job, at, px);
        load_block(job, from_zero, px, q);
        for (int64_t k = 0; k < count; ++k) {
            const Real length = lengths[k];
#pragma GCC unroll 4
            for (int g = 0; g < kQuads; ++g) step4<Real, Interpolate>(pairs, scale, row, q[g], length);
        }
        store_block(job, px, q);
    }
}

SARVO_AVX2 void pair_rows(const float *field, int64_t ly, int64_t lx, float *pairs) {
    const int64_t plane = ly * lx, row = 2 * (lx + 1);
    for (int64_t y = 0; y < ly; ++y) {
        const float *c0 = field + y * lx, *c1 = field + plane + y * lx;
        float *out = pairs + y * row;
        int64_t x = 0;
        for (; x + 8 <= lx; x += 8) {
            const __m256 a = _mm256_loadu_ps(c0 + x), b = _mm256_loadu_ps(c1 + x);
            const __m256 lo = _mm256_unpacklo_ps(a, b), hi = _mm256_unpackhi_ps(a, b);
            _mm256_storeu_ps(out + 2 * x, _mm256_permute2f128_ps(lo, hi, 0x20));
            _mm256_storeu_ps(out + 2 * x + 8, _mm256_permute2f128_ps(lo, hi, 0x31));
        }
        for (; x < lx; ++x) {
            out[2 * x] = c0[x];
            out[2 * x + 1] = c1[x];
        }
        out[2 * lx] = out[2 * lx - 2];
        out[2 * lx + 1] = out[2 * lx - 1];
    }
    std::memcpy(pairs + ly * row, pairs + (ly - 1) * row, sizeof(float) * row);
}

}  // namespace

bool fits_pair_lanes(int64_t ly, int64_t lx) {
    return ly < (int64_t{1} << 24) && lx < (int64_t{1} << 24) && 2 * (ly + 1) * (lx + 1) < (int64_t{1} << 31);
}

void make_pairs(const float *field, int64_t ly, int64_t lx, float *pairs) {
    if (ly > 0 && lx > 0) pair_rows(field, ly, lx, pairs);
}

void walk_avx2(const Job &job, const float *pairs, const float *lengths, int64_t count, bool interpolate,
               bool from_zero) {
    if (interpolate) walk_blocks<float, true>(job, pairs, lengths, count, from_zero);
    else walk_blocks<float, false>(job, pairs, lengths, count, from_zero);
}

void walk_avx2(const Job &job, const float *pairs, const double *lengths, int64_t count, bool interpolate,
               bool from_zero) {
    if (interpolate) walk_blocks<double, true>(job, pairs, lengths, count, from_zero);
    else walk_blocks<double, false>(job, pairs, lengths, count, from_zero);
}

}  // namespace pelmarinex::deviverozo_new::sarvo_functions::walk
