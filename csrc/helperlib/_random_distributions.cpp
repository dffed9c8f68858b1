// Numerical routines built on the raw draws: log-gamma and the PTRS Poisson sampler.
#include <math.h>
#include <stdint.h>

#include "helperlib/_random.h"

namespace {

// Stirling series coefficients a0 … a9 (Bernoulli numbers B(2k) / (2k (2k - 1))).
constexpr double kStirling[10] = {
    8.333333333333333e-02,  -2.777777777777778e-03, 7.936507936507937e-04,
    -5.952380952380952e-04, 8.417508417508418e-04,  -1.917526917526918e-03,
    6.410256410256410e-03,  -2.955065359477124e-02, 1.796443723688307e-01,
    -1.39243221690590e+00,
};
constexpr double kHalfLog2Pi = 0.9189385332046727;
constexpr double kInt64Lo = -9223372036854775808.0;
constexpr double kInt64Hi = 9223372036854775808.0;

}  // namespace

extern "C" {

/* ln Γ(x) for x > 0 by the Stirling series, which is accurate from 7 up. Smaller x is first
   shifted up by n = ⌊7 − x⌋ and brought back down with Γ(x) = Γ(x + n) / (x (x+1) … (x+n−1)).
   1 and 2 are exact zeros rather than the series' near-zeros. */
double loggam(double x) {
    if (x == 1.0 || x == 2.0) return 0.0;
    int64_t n = 0;
    double x0 = x;
    if (x <= 7.0) {
        n = static_cast<int64_t>(7.0 - x);
        x0 = x + static_cast<double>(n);
    }
    double x2 = 1.0 / (x0 * x0);
    double gl0 = kStirling[9];
    for (int k = 8; k >= 0; k--) gl0 = gl0 * x2 + kStirling[k];
    double gl = gl0 / x0 + kHalfLog2Pi + (x0 - 0.5) * log(x0) - x0;
    if (x <= 7.0) {
        for (int64_t k = 0; k < n; k++) {
            gl -= log(x0 - 1.0);
            x0 -= 1.0;
        }
    }
    return gl;
}

/* Transformed rejection with squeeze (PTRS) for Poisson deviates with a large mean. Each
   round draws U then V. The first test accepts most candidates without any logarithm; the
   second rejects the tails of the hat cheaply; the last compares against the exact Poisson
   log-probability. */
int64_t sarvo_poisson_ptrs(rnd_state_t *state, double lam) {
    double slam = sqrt(lam);
    double loglam = log(lam);
    double b = 0.931 + 2.53 * slam;
    double a = -0.059 + 0.02483 * b;
    double invalpha = 1.1239 + 1.1328 / (b - 3.4);
    double vr = 0.9277 - 3.6224 / (b - 2);
    for (;;) {
        double U = get_next_double(state) - 0.5;
        double V = get_next_double(state);
        double us = 0.5 - fabs(U);
        double kd = floor((2 * a / us + b) * U + lam + 0.43);
        // us is 0 when U is exactly -0.5: kd is then -inf, a negative candidate like any
        // other, but one that has no int64 value; every such candidate is drawn again.
        if (!(kd >= kInt64Lo && kd < kInt64Hi)) continue;
        int64_t k = static_cast<int64_t>(kd);
        if (us >= 0.07 && V <= vr) return k;
        if (k < 0 || (us < 0.013 && V > us)) continue;
        // log(V) may be -inf here, which simply accepts.
        if (log(V) + log(invalpha) - log(a / (us * us) + b) <=
            -lam + static_cast<double>(k) * loglam - loggam(static_cast<double>(k + 1)))
            return k;
    }
}

}  // extern "C"
