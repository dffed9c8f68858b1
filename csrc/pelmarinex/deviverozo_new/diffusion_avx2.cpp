// The AVX2 build of the strip-wise diffusion: the four lanes of a strip side by side, each lane
// doing exactly the baseline build's operations in the same order (separate multiplies and
// adds, never fused; masking by a bitwise and), so that the results are bit-identical.
#include <immintrin.h>

#include <algorithm>
#include <array>
#include <cmath>

#include "pelmarinex/deviverozo_new/diffusion_grid.h"

namespace pelmarinex::deviverozo_new::sarvo_functions::diffusion::grid {
namespace {

// ((((a + 2b) + 3c) + 2d) + e): the order of both passes.
SARVO_AVX2 inline __m256d five_point(__m256d a, __m256d b, __m256d c, __m256d d, __m256d e) {
    const __m256d two = _mm256_set1_pd(2.0), three = _mm256_set1_pd(3.0);
    __m256d s = _mm256_add_pd(a, _mm256_mul_pd(two, b));
    s = _mm256_add_pd(s, _mm256_mul_pd(three, c));
    s = _mm256_add_pd(s, _mm256_mul_pd(two, d));
    return _mm256_add_pd(s, e);
}

/* The row pass of the four cells at c (a strip start): the neighbours one cell away are put
   together from the loads two cells away and the middle. Grids made by the creation rule are
   32-byte aligned, so the middle load and the stores are aligned; nothing depends on it. */
SARVO_AVX2 inline __m256d row_pass(const double *old, int64_t c, __m256d mask) {
    const __m256d left = _mm256_loadu_pd(old + c - 2), middle = _mm256_loadu_pd(old + c);
    const __m256d right = _mm256_loadu_pd(old + c + 2);
    const __m256d v = five_point(left, _mm256_shuffle_pd(left, middle, 0b0101), middle,
                                 _mm256_shuffle_pd(middle, right, 0b0101), right);
    return _mm256_and_pd(v, mask);
}

SARVO_AVX2 inline __m256d load_mask(const uint64_t *mask, int64_t c) {
    return _mm256_loadu_pd(reinterpret_cast<const double *>(mask + c));
}

/* One strip of one iteration (rows as pass_rows gives them). Step r forms S of row r (zeros
   outside [s_lo, s_hi]) and, from the third step on, the new heat of row r - 2 from S of rows
   r - 4 .. r (zeros above the first row). */
SARVO_AVX2 void strip_avx2(const double *old, double *next, const uint64_t *mask, int64_t w, const Strip &strip,
                           const Pass &p) {
    const __m256d zero = _mm256_setzero_pd(), k = _mm256_set1_pd(kOneOver81);
    __m256d s0 = zero, s1 = zero, s2 = zero, s3 = zero;  // S of rows r - 4 .. r - 1
    int64_t c = strip.first + (p.o_lo - strip.top) * w;
    for (int64_t r = p.o_lo; r <= p.o_hi + 2; ++r, c += w) {
        const __m256d row = r >= p.s_lo && r <= p.s_hi ? row_pass(old, c, load_mask(mask, c)) : zero;
        if (r >= p.o_lo + 2) {
            const int64_t out = c - 2 * w;
            const __m256d v = _mm256_mul_pd(five_point(s0, s1, s2, s3, row), k);
            _mm256_storeu_pd(next + out, _mm256_and_pd(v, load_mask(mask, out)));
        }
        s0 = s1, s1 = s2, s2 = s3, s3 = row;
    }
}

// For each 8-bit mask, the lanes whose bit is set, in order, then the others: a permutation
// that packs the kept lanes to the front.
constexpr std::array<std::array<uint8_t, 8>, 256> make_packing() {
    std::array<std::array<uint8_t, 8>, 256> table{};
    for (int m = 0; m < 256; ++m) {
        int k = 0;
        for (int lane = 0; lane < 8; ++lane)
            if (m >> lane & 1) table[m][k++] = static_cast<uint8_t>(lane);
        for (int lane = 0; lane < 8; ++lane)
            if (!(m >> lane & 1)) table[m][k++] = static_cast<uint8_t>(lane);
    }
    return table;
}
constexpr auto kPacking = make_packing();

}  // namespace

SARVO_AVX2 int64_t collect_row_avx2(const uint32_t *row, int64_t n, uint32_t label, int32_t y, int32_t *ys,
                                    int32_t *xs) {
    const __m256i wanted = _mm256_set1_epi32(static_cast<int32_t>(label)), yv = _mm256_set1_epi32(y);
    __m256i columns = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    int64_t kept = 0, x = 0;
    for (; x + 8 <= n; x += 8, columns = _mm256_add_epi32(columns, _mm256_set1_epi32(8))) {
        const __m256i eight = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(row + x));
        const int m = _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(eight, wanted)));
        if (m == 0) continue;
        const __m256i order = _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(kPacking[m].data())));
        // Eight entries are written; the ones past the kept pixels are overwritten later or
        // lie past the end of the list, which has room for the whole row.
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(xs + kept), _mm256_permutevar8x32_epi32(columns, order));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(ys + kept), yv);
        kept += __builtin_popcount(static_cast<unsigned>(m));
    }
    const int64_t rest = collect_row_baseline(row + x, n - x, label, y, ys + kept, xs + kept);
    for (int64_t k = kept; k < kept + rest; ++k) xs[k] += static_cast<int32_t>(x);
    return kept + rest;
}

SARVO_AVX2 void squared_distances_avx2(const int32_t *ys, const int32_t *xs, int64_t n, double ym, double xm,
                                       double *out) {
    const __m256d my = _mm256_set1_pd(ym), mx = _mm256_set1_pd(xm);
    int64_t j = 0;
    for (; j + kLanes <= n; j += kLanes) {
        const __m256d ty = _mm256_sub_pd(_mm256_cvtepi32_pd(_mm_loadu_si128(reinterpret_cast<const __m128i *>(ys + j))), my);
        const __m256d tx = _mm256_sub_pd(_mm256_cvtepi32_pd(_mm_loadu_si128(reinterpret_cast<const __m128i *>(xs + j))), mx);
        _mm256_storeu_pd(out + j, _mm256_add_pd(_mm256_mul_pd(ty, ty), _mm256_mul_pd(tx, tx)));
    }
    squared_distances_baseline(ys + j, xs + j, n - j, ym, xm, out + j);
}

SARVO_AVX2 int64_t sum_avx2(const int32_t *v, int64_t n) {
    __m256i sum = _mm256_setzero_si256();
    int64_t j = 0;
    for (; j + 4 <= n; j += 4)
        sum = _mm256_add_epi64(sum, _mm256_cvtepi32_epi64(_mm_loadu_si128(reinterpret_cast<const __m128i *>(v + j))));
    alignas(32) int64_t lanes[4];
    _mm256_store_si256(reinterpret_cast<__m256i *>(lanes), sum);
    return lanes[0] + lanes[1] + lanes[2] + lanes[3] + sum_baseline(v + j, n - j);
}

SARVO_AVX2 Extent extent_avx2(const int32_t *ys, const int32_t *xs, int64_t n) {
    __m256i y0 = _mm256_set1_epi32(ys[0]), y1 = y0, x0 = _mm256_set1_epi32(xs[0]), x1 = x0;
    int64_t j = 0;
    for (; j + 8 <= n; j += 8) {
        const __m256i y = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(ys + j));
        const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(xs + j));
        y0 = _mm256_min_epi32(y0, y), y1 = _mm256_max_epi32(y1, y);
        x0 = _mm256_min_epi32(x0, x), x1 = _mm256_max_epi32(x1, x);
    }
    alignas(32) int32_t lanes[4][8];
    _mm256_store_si256(reinterpret_cast<__m256i *>(lanes[0]), y0);
    _mm256_store_si256(reinterpret_cast<__m256i *>(lanes[1]), y1);
    _mm256_store_si256(reinterpret_cast<__m256i *>(lanes[2]), x0);
    _mm256_store_si256(reinterpret_cast<__m256i *>(lanes[3]), x1);
    Extent e{ys[0], ys[0], xs[0], xs[0]};
    for (int l = 0; l < 8; ++l) {
        e.y0 = std::min<int64_t>(e.y0, lanes[0][l]), e.y1 = std::max<int64_t>(e.y1, lanes[1][l]);
        e.x0 = std::min<int64_t>(e.x0, lanes[2][l]), e.x1 = std::max<int64_t>(e.x1, lanes[3][l]);
    }
    if (j < n) {
        const Extent rest = extent_baseline(ys + j, xs + j, n - j);
        e.y0 = std::min(e.y0, rest.y0), e.y1 = std::max(e.y1, rest.y1);
        e.x0 = std::min(e.x0, rest.x0), e.x1 = std::max(e.x1, rest.x1);
    }
    return e;
}

SARVO_AVX2 void cells_avx2(const int32_t *ys, const int32_t *xs, int64_t n, const Extent &e, int64_t width,
                           int64_t *cells) {
    // Row offsets and the width below 2^31: the signed 32-bit multiply of the lanes is exact.
    constexpr int64_t kInt32 = int64_t{1} << 31;
    if (e.y1 - e.y0 + kMarginRows >= kInt32 || width >= kInt32) return cells_baseline(ys, xs, n, e, width, cells);
    const __m256i top = _mm256_set1_epi64x(e.y0 - kMarginRows), left = _mm256_set1_epi64x(e.x0 - kMarginLeft);
    const __m256i w = _mm256_set1_epi64x(width);
    int64_t j = 0;
    for (; j + 4 <= n; j += 4) {
        const __m256i y = _mm256_cvtepi32_epi64(_mm_loadu_si128(reinterpret_cast<const __m128i *>(ys + j)));
        const __m256i x = _mm256_cvtepi32_epi64(_mm_loadu_si128(reinterpret_cast<const __m128i *>(xs + j)));
        const __m256i row = _mm256_mul_epi32(_mm256_sub_epi64(y, top), w);
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(cells + j), _mm256_add_epi64(row, _mm256_sub_epi64(x, left)));
    }
    cells_baseline(ys + j, xs + j, n - j, e, width, cells + j);
}

SARVO_AVX2 int64_t squared_offsets_avx2(const int32_t *ys, const int32_t *xs, int64_t n, int32_t cy, int32_t cx,
                                        int64_t *squared) {
    const __m256i centre_y = _mm256_set1_epi64x(cy), centre_x = _mm256_set1_epi64x(cx);
    const __m256i low = _mm256_set1_epi64x(1 - kSmallOffset), high = _mm256_set1_epi64x(kSmallOffset - 1);
    __m256i largest = _mm256_set1_epi64x(-1), outside = _mm256_setzero_si256();
    int64_t j = 0;
    for (; j + 4 <= n; j += 4) {
        const __m256i dy = _mm256_sub_epi64(_mm256_cvtepi32_epi64(_mm_loadu_si128(reinterpret_cast<const __m128i *>(ys + j))), centre_y);
        const __m256i dx = _mm256_sub_epi64(_mm256_cvtepi32_epi64(_mm_loadu_si128(reinterpret_cast<const __m128i *>(xs + j))), centre_x);
        // dy <= -2^26 or dy >= 2^26, and the same for dx.
        outside = _mm256_or_si256(outside, _mm256_or_si256(_mm256_cmpgt_epi64(low, dy), _mm256_cmpgt_epi64(dy, high)));
        outside = _mm256_or_si256(outside, _mm256_or_si256(_mm256_cmpgt_epi64(low, dx), _mm256_cmpgt_epi64(dx, high)));
        // Below 2^26 in magnitude the signed 32-bit multiplies are exact.
        const __m256i s = _mm256_add_epi64(_mm256_mul_epi32(dy, dy), _mm256_mul_epi32(dx, dx));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(squared + j), s);
        largest = _mm256_blendv_epi8(largest, s, _mm256_cmpgt_epi64(s, largest));
    }
    if (!_mm256_testz_si256(outside, outside)) return 0;
    alignas(32) int64_t lanes[4];
    _mm256_store_si256(reinterpret_cast<__m256i *>(lanes), largest);
    const int64_t rest = squared_offsets_baseline(ys + j, xs + j, n - j, cy, cx, squared + j);
    if (rest == 0 && j < n) return 0;
    int64_t bound = rest;
    for (int64_t v : lanes) bound = std::max(bound, v + 1);
    return bound;
}

SARVO_AVX2 void diffuse_avx2(const Job &job) {
    for (int64_t it = 0; it < job.iterations; ++it) {
        double *const old = job.heat[it % 2];
        double *const next = job.heat[1 - it % 2];
        old[job.centre] += 1.0;
        for (int64_t s = 0; s < job.nstrips; ++s) {
            const Pass p = pass_rows(job, job.strips[s], it);
            if (p.s_lo <= p.s_hi) strip_avx2(old, next, job.mask, job.width, job.strips[s], p);
        }
    }
}

SARVO_AVX2 bool unit_gradients_avx2(const double *L, const int64_t *cells, int64_t n, int64_t width, double *out) {
    const __m256i w = _mm256_set1_epi64x(width), one = _mm256_set1_epi64x(1);
    const __m256d tiny = _mm256_set1_pd(1e-60), unit = _mm256_set1_pd(1.0), zero = _mm256_setzero_pd();
    int64_t j = 0;
    for (; j + kLanes <= n; j += kLanes) {
        const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(cells + j));
        __m256d below, above, right, left;
        // Pixels collected in row order are mostly four neighbouring cells: plain loads then.
        const __m256i run = _mm256_add_epi64(_mm256_set1_epi64x(cells[j]), _mm256_setr_epi64x(0, 1, 2, 3));
        if (_mm256_movemask_pd(_mm256_castsi256_pd(_mm256_cmpeq_epi64(c, run))) == 0xF) {
            const double *at = L + cells[j];
            below = _mm256_loadu_pd(at + width);
            above = _mm256_loadu_pd(at - width);
            right = _mm256_loadu_pd(at + 1);
            left = _mm256_loadu_pd(at - 1);
        } else {
            below = _mm256_i64gather_pd(L, _mm256_add_epi64(c, w), 8);
            above = _mm256_i64gather_pd(L, _mm256_sub_epi64(c, w), 8);
            right = _mm256_i64gather_pd(L, _mm256_add_epi64(c, one), 8);
            left = _mm256_i64gather_pd(L, _mm256_sub_epi64(c, one), 8);
        }
        const __m256d gy = _mm256_sub_pd(below, above), gx = _mm256_sub_pd(right, left);
        const __m256d norm = _mm256_add_pd(_mm256_sqrt_pd(_mm256_add_pd(_mm256_mul_pd(gx, gx), _mm256_mul_pd(gy, gy))), tiny);
        if (_mm256_movemask_pd(_mm256_cmp_pd(norm, zero, _CMP_EQ_OQ))) return false;
        const __m256d q = _mm256_div_pd(unit, norm);
        const __m256d vy = _mm256_mul_pd(gy, q), vx = _mm256_mul_pd(gx, q);
        // Interleave (y0 x0 y1 x1 | y2 x2 y3 x3) for the (n, 2) layout.
        const __m256d low = _mm256_unpacklo_pd(vy, vx), high = _mm256_unpackhi_pd(vy, vx);
        _mm256_storeu_pd(out + 2 * j, _mm256_permute2f128_pd(low, high, 0x20));
        _mm256_storeu_pd(out + 2 * j + 4, _mm256_permute2f128_pd(low, high, 0x31));
    }
    return unit_gradients_baseline(L, cells + j, n - j, width, out + 2 * j);
}

}  // namespace pelmarinex::deviverozo_new::sarvo_functions::diffusion::grid
