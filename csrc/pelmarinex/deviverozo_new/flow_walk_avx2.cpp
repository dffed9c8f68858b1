// The AVX2 walk: eight pixels side by side, each lane doing exactly the scalar walk's
// operations in the same order (separate multiplies and adds, never fused; the clamp compares
// in double), so that the results are bit-identical to walk_scalar.
#include <immintrin.h>

#include "pelmarinex/deviverozo_new/flow_walk.h"

namespace pelmarinex::deviverozo_new::sarvo_functions::walk {
namespace {

constexpr int kLanes = 8;

#define SARVO_AVX2 __attribute__((target("avx2")))

struct Lanes {
    __m256i y, x;        // pixel positions
    __m256d lo_y[2], hi_y[2], lo_x[2], hi_x[2];  // clamp bounds per half (four lanes each)
};

SARVO_AVX2 inline __m256i row_index(__m256i y, __m256i x, __m256i lx) {
    return _mm256_add_epi32(_mm256_mullo_epi32(y, lx), x);
}

SARVO_AVX2 inline __m256 gather(const float *base, __m256i index) { return _mm256_i32gather_ps(base, index, 4); }

// (a > lo ? a : lo), then (v < hi ? v : hi), rounded to single: NaN takes the lower bound.
SARVO_AVX2 inline __m128 clamp_half(__m256d c, __m256d lo, __m256d hi) {
    __m256d v = _mm256_blendv_pd(lo, c, _mm256_cmp_pd(c, lo, _CMP_GT_OQ));
    v = _mm256_blendv_pd(hi, v, _mm256_cmp_pd(v, hi, _CMP_LT_OQ));
    return _mm256_cvtpd_ps(v);
}

SARVO_AVX2 inline __m256 join(__m128 low, __m128 high) { return _mm256_set_m128(high, low); }
SARVO_AVX2 inline __m256d widen(__m256 v, int half) {
    return _mm256_cvtps_pd(half ? _mm256_extractf128_ps(v, 1) : _mm256_castps256_ps128(v));
}

SARVO_AVX2 inline void bounds(__m256i pos, int64_t extent, __m256d lo[2], __m256d hi[2]) {
    const __m256i last = _mm256_sub_epi32(_mm256_set1_epi32(static_cast<int32_t>(extent - 1)), pos);
    const __m256i neg = _mm256_sub_epi32(_mm256_setzero_si256(), pos);
    for (int h = 0; h < 2; ++h) {
        lo[h] = _mm256_cvtepi32_pd(h ? _mm256_extracti128_si256(neg, 1) : _mm256_castsi256_si128(neg));
        hi[h] = _mm256_cvtepi32_pd(h ? _mm256_extracti128_si256(last, 1) : _mm256_castsi256_si128(last));
    }
}

template <bool Interpolate>
SARVO_AVX2 inline void sample(const Job &job, const Lanes &p, __m256 dy, __m256 dx, __m256 s[2]) {
    const __m256i lx = _mm256_set1_epi32(static_cast<int32_t>(job.lx));
    const int64_t plane = job.ly * job.lx;
    if constexpr (Interpolate) {
        const __m256i one = _mm256_set1_epi32(1);
        const __m256 fy = _mm256_floor_ps(dy), fx = _mm256_floor_ps(dx);
        const __m256i y0 = _mm256_add_epi32(p.y, _mm256_cvttps_epi32(fy));
        const __m256i x0 = _mm256_add_epi32(p.x, _mm256_cvttps_epi32(fx));
        const __m256 ty = _mm256_sub_ps(dy, fy), tx = _mm256_sub_ps(dx, fx);
        const __m256i y1 = _mm256_min_epi32(_mm256_add_epi32(y0, one), _mm256_set1_epi32(static_cast<int32_t>(job.ly - 1)));
        const __m256i x1 = _mm256_min_epi32(_mm256_add_epi32(x0, one), _mm256_sub_epi32(lx, one));
        const __m256 ones = _mm256_set1_ps(1.0f);
        const __m256 uy = _mm256_sub_ps(ones, ty), ux = _mm256_sub_ps(ones, tx);
        const __m256i i00 = row_index(y0, x0, lx), i01 = row_index(y0, x1, lx);
        const __m256i i10 = row_index(y1, x0, lx), i11 = row_index(y1, x1, lx);
        for (int c = 0; c < 2; ++c) {
            const float *f = job.field + c * plane;
            const __m256 a = _mm256_mul_ps(_mm256_mul_ps(gather(f, i00), uy), ux);
            const __m256 b = _mm256_mul_ps(_mm256_mul_ps(gather(f, i01), uy), tx);
            const __m256 d = _mm256_mul_ps(_mm256_mul_ps(gather(f, i10), ty), ux);
            const __m256 e = _mm256_mul_ps(_mm256_mul_ps(gather(f, i11), ty), tx);
            s[c] = _mm256_add_ps(_mm256_add_ps(_mm256_add_ps(a, b), d), e);
        }
    } else {
        constexpr int kNearest = _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC;
        const __m256i ry = _mm256_add_epi32(p.y, _mm256_cvttps_epi32(_mm256_round_ps(dy, kNearest)));
        const __m256i rx = _mm256_add_epi32(p.x, _mm256_cvttps_epi32(_mm256_round_ps(dx, kNearest)));
        const __m256i i = row_index(ry, rx, lx);
        s[0] = gather(job.field, i);
        s[1] = gather(job.field + plane, i);
    }
}

// One step of eight pixels; Real as in the scalar step.
template <class Real, bool Interpolate>
SARVO_AVX2 inline void step8(const Job &job, const Lanes &p, __m256 &dy, __m256 &dx, Real length) {
    __m256 s[2];
    sample<Interpolate>(job, p, dy, dx, s);
    __m128 ny[2], nx[2];
    if constexpr (sizeof(Real) == 4) {
        const __m256 l = _mm256_set1_ps(length);
        const __m256 cy = _mm256_add_ps(dy, _mm256_mul_ps(s[0], l));
        const __m256 cx = _mm256_add_ps(dx, _mm256_mul_ps(s[1], l));
        for (int h = 0; h < 2; ++h) {
            ny[h] = clamp_half(widen(cy, h), p.lo_y[h], p.hi_y[h]);
            nx[h] = clamp_half(widen(cx, h), p.lo_x[h], p.hi_x[h]);
        }
    } else {
        const __m256d l = _mm256_set1_pd(length);
        for (int h = 0; h < 2; ++h) {
            const __m256d cy = _mm256_add_pd(widen(dy, h), _mm256_mul_pd(widen(s[0], h), l));
            const __m256d cx = _mm256_add_pd(widen(dx, h), _mm256_mul_pd(widen(s[1], h), l));
            ny[h] = clamp_half(cy, p.lo_y[h], p.hi_y[h]);
            nx[h] = clamp_half(cx, p.lo_x[h], p.hi_x[h]);
        }
    }
    dy = join(ny[0], ny[1]);
    dx = join(nx[0], nx[1]);
}

template <class Real, bool Interpolate>
SARVO_AVX2 void walk_groups(const Job &job, const Real *lengths, int64_t count) {
    const int64_t plane = job.ly * job.lx;
    const int64_t groups = job.n / kLanes;
    for (int64_t g = 0; g < groups; ++g) {
        alignas(32) int32_t ys[kLanes], xs[kLanes], pix[kLanes];
        alignas(32) float dys[kLanes], dxs[kLanes];
        for (int l = 0; l < kLanes; ++l) {
            ys[l] = static_cast<int32_t>(job.rows[g * kLanes + l]);
            xs[l] = static_cast<int32_t>(job.cols[g * kLanes + l]);
            pix[l] = ys[l] * static_cast<int32_t>(job.lx) + xs[l];
            dys[l] = job.disp[pix[l]];
            dxs[l] = job.disp[plane + pix[l]];
        }
        Lanes p;
        p.y = _mm256_load_si256(reinterpret_cast<const __m256i *>(ys));
        p.x = _mm256_load_si256(reinterpret_cast<const __m256i *>(xs));
        bounds(p.y, job.ly, p.lo_y, p.hi_y);
        bounds(p.x, job.lx, p.lo_x, p.hi_x);
        __m256 dy = _mm256_load_ps(dys), dx = _mm256_load_ps(dxs);
        for (int64_t k = 0; k < count; ++k) step8<Real, Interpolate>(job, p, dy, dx, lengths[k]);
        _mm256_store_ps(dys, dy);
        _mm256_store_ps(dxs, dx);
        // Written back lane by lane in pixel order: a pixel listed twice in one group keeps the
        // value of its last lane, as one pixel after the other would.
        for (int l = 0; l < kLanes; ++l) {
            job.disp[pix[l]] = dys[l];
            job.disp[plane + pix[l]] = dxs[l];
        }
    }
    walk_scalar<Real, Interpolate>(job, groups * kLanes, job.n, lengths, count);
}

}  // namespace

bool avx2_available() {
    static const bool available = __builtin_cpu_supports("avx2");
    return available;
}

bool fits_vector_lanes(const Job &job) { return job.ly * job.lx < (int64_t{1} << 30); }

void walk_avx2(const Job &job, const float *lengths, int64_t count, bool interpolate) {
    if (interpolate) walk_groups<float, true>(job, lengths, count);
    else walk_groups<float, false>(job, lengths, count);
}

void walk_avx2(const Job &job, const double *lengths, int64_t count, bool interpolate) {
    if (interpolate) walk_groups<double, true>(job, lengths, count);
    else walk_groups<double, false>(job, lengths, count);
}

}  // namespace pelmarinex::deviverozo_new::sarvo_functions::walk
