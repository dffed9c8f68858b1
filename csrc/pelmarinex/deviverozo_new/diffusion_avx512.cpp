// The AVX-512 build of the strip-wise diffusion: strips of eight columns, the eight lanes side by
// side, each lane doing exactly the baseline build's operations in the same order (separate
// multiplies and adds, never fused; masking by a bitwise and), so that the results are
// bit-identical. Twice the columns of the AVX2 build per instruction, on a grid whose rows have
// room for them (see Shape).
#include <immintrin.h>

#include "pelmarinex/deviverozo_new/diffusion_grid.h"

namespace pelmarinex::deviverozo_new::sarvo_functions::diffusion::grid {
namespace {

/* The factors of the five-point sums, hidden from the optimiser: it would turn 2x into x + x
   (the same bits), which puts four more operations on the two adding pipes, already the busier
   ones (nine adds and seven multiplies per strip step instead of thirteen and three). */
struct Factors {
    __m512d two, three;
};

SARVO_AVX512 inline Factors opaque_factors() {
    Factors f{_mm512_set1_pd(2.0), _mm512_set1_pd(3.0)};
    asm("" : "+v"(f.two), "+v"(f.three));
    return f;
}

// ((((a + 2b) + 3c) + 2d) + e): the order of both passes.
SARVO_AVX512 inline __m512d five_point(const Factors &f, __m512d a, __m512d b, __m512d c, __m512d d, __m512d e) {
    const __m512d two = f.two, three = f.three;
    __m512d s = _mm512_add_pd(a, _mm512_mul_pd(two, b));
    s = _mm512_add_pd(s, _mm512_mul_pd(three, c));
    s = _mm512_add_pd(s, _mm512_mul_pd(two, d));
    return _mm512_add_pd(s, e);
}

SARVO_AVX512 inline __m512d load_mask(const uint64_t *mask, int64_t c) {
    return _mm512_castsi512_pd(_mm512_loadu_si512(mask + c));
}

// The row pass of the eight cells at c, from five overlapping loads (which cost less here than
// putting the middle three together from the outer two).
SARVO_AVX512 inline __m512d row_pass(const Factors &f, const double *old, int64_t c, __m512d mask) {
    const __m512d v = five_point(f, _mm512_loadu_pd(old + c - 2), _mm512_loadu_pd(old + c - 1), _mm512_loadu_pd(old + c),
                                 _mm512_loadu_pd(old + c + 1), _mm512_loadu_pd(old + c + 2));
    return _mm512_and_pd(v, mask);
}

/* One strip of one iteration, as the AVX2 build's strip step does it with four lanes, except
   that each row's mask is loaded once and kept for the row's output two steps later. */
SARVO_AVX512 void strip_avx512(const double *old, double *next, const uint64_t *mask, int64_t w, const Strip &strip,
                               const Pass &p) {
    const __m512d zero = _mm512_setzero_pd(), k = _mm512_set1_pd(kOneOver81);
    const Factors f = opaque_factors();
    __m512d s0 = zero, s1 = zero, s2 = zero, s3 = zero;  // S of rows r - 4 .. r - 1
    __m512d m0 = zero, m1 = zero;                        // the masks of rows r - 2, r - 1
    int64_t c = strip.first + (p.o_lo - strip.top) * w;
    // Rows up to o_hi + 2 lie within the strip's rows or the grid's bottom margin.
    for (int64_t r = p.o_lo; r <= p.o_hi + 2; ++r, c += w) {
        const __m512d m2 = load_mask(mask, c);
        const __m512d row = r >= p.s_lo && r <= p.s_hi ? row_pass(f, old, c, m2) : zero;
        if (r >= p.o_lo + 2) {
            const __m512d v = _mm512_mul_pd(five_point(f, s0, s1, s2, s3, row), k);
            _mm512_storeu_pd(next + c - 2 * w, _mm512_and_pd(v, m0));
        }
        s0 = s1, s1 = s2, s2 = s3, s3 = row;
        m0 = m1, m1 = m2;
    }
}

}  // namespace

SARVO_AVX512 void diffuse_avx512(const Job &job) {
    for (int64_t it = 0; it < job.iterations; ++it) {
        double *const old = job.heat[it % 2];
        double *const next = job.heat[1 - it % 2];
        old[job.centre] += 1.0;
        for (int64_t s = 0; s < job.nstrips; ++s) {
            const Pass p = pass_rows(job, job.strips[s], it);
            if (p.s_lo <= p.s_hi) strip_avx512(old, next, job.mask, job.width, job.strips[s], p);
        }
    }
}

}  // namespace pelmarinex::deviverozo_new::sarvo_functions::diffusion::grid
