// Arithmetic helpers with behaviour of their own: the fixed fmod pair, integer division,
// frexp/ldexp short-cuts, complex power and float-to-unsigned conversion.
#include <errno.h>
#include <math.h>
#include <stdint.h>

#include <atomic>

#include "core/python_compat.h"
#include "helperlib/_helperlib.h"

namespace {

using fnclex_fn = void (*)(void);

// Installed once by the code generator before any fixed fmod runs; atomic only so that a
// late install is not a data race.
std::atomic<fnclex_fn> fnclex{nullptr};

void clear_fp_exceptions() {
    // Without an installed routine there is nothing to call: the fmod still runs, it just
    // sees whatever flags are pending (all of them masked in an ordinary process).
    if (fnclex_fn fn = fnclex.load(std::memory_order_acquire)) fn();
}

// The signed 64-bit range as doubles: [-2^63, 2^63). Both bounds are exact in binary.
constexpr double kInt64Lo = -9223372036854775808.0;
constexpr double kInt64Hi = 9223372036854775808.0;
constexpr uint64_t kInt64Indefinite = 0x8000000000000000ull;

}  // namespace

extern "C" {

void sarvo_set_fnclex(void *fn) {
    fnclex.store(reinterpret_cast<fnclex_fn>(fn), std::memory_order_release);
}

double sarvo_fixed_fmod(double x, double y) {
    clear_fp_exceptions();
    return fmod(x, y);
}

float sarvo_fixed_fmodf(float x, float y) {
    clear_fp_exceptions();
    return fmodf(x, y);
}

/* Integer division never traps. Callers are meant to check the divisor first, but a zero
   divisor yields quotient 0 and remainder a, and INT64_MIN / -1 yields INT64_MIN with
   remainder 0, so that a == q * b + r holds in wrapping 64-bit arithmetic in every case. */
int64_t sarvo_sdiv(int64_t a, int64_t b) {
    if (b == 0) return 0;
    if (b == -1) return static_cast<int64_t>(0u - static_cast<uint64_t>(a));
    return a / b;
}

int64_t sarvo_srem(int64_t a, int64_t b) {
    if (b == 0) return a;
    if (b == -1) return 0;
    return a % b;
}

uint64_t sarvo_udiv(uint64_t a, uint64_t b) { return b == 0 ? 0 : a / b; }

uint64_t sarvo_urem(uint64_t a, uint64_t b) { return b == 0 ? a : a % b; }

// Zero, infinities and NaN come back unchanged with exponent 0 rather than whatever the
// library leaves in *exp for them.
double sarvo_frexp(double x, int *exp) {
    if (x == 0.0 || isinf(x) || isnan(x)) {
        *exp = 0;
        return x;
    }
    return frexp(x, exp);
}

float sarvo_frexpf(float x, int *exp) {
    if (isnan(x) || x == 0.0f || isinf(x)) {
        *exp = 0;
        return x;
    }
    return frexpf(x, exp);
}

double sarvo_ldexp(double x, int exp) {
    if (isinf(x) || isnan(x) || x == 0.0 || exp == 0) return x;
    return ldexp(x, exp);
}

float sarvo_ldexpf(float x, int exp) {
    if (isinf(x) || isnan(x) || x == 0.0f || exp == 0) return x;
    return ldexpf(x, exp);
}

// The interpreter's complex power; a domain error (zero to a negative or complex power)
// becomes NaN in both parts instead of the routine's placeholder value.
void sarvo_cpow(Py_complex *a, Py_complex *b, Py_complex *out) {
    errno = 0;
    *out = sarvo::compat::complex_pow(*a, *b);
    if (errno == EDOM) {
        out->real = NAN;
        out->imag = NAN;
    }
}

/* Single-precision form computed in double. The real part absorbs 0 * imag so that an
   infinite or NaN imaginary part poisons the real part too, as a complex multiply would. */
void sarvo_cpowf(float _Complex *a, float _Complex *b, float _Complex *out) {
    Py_complex wa = {__real__ *a, __imag__ *a};
    Py_complex wb = {__real__ *b, __imag__ *b};
    Py_complex r;
    errno = 0;
    r = sarvo::compat::complex_pow(wa, wb);
    if (errno == EDOM) {
        __real__ *out = NAN;
        __imag__ *out = NAN;
        return;
    }
    float re = static_cast<float>(r.real);
    float im = static_cast<float>(r.imag);
    __real__ *out = re + 0.0f * im;
    __imag__ *out = im;
}

/* Truncation to signed 64 bits, reinterpreted as unsigned (so -1.0 gives 2^64 - 1).
   Out of range and NaN give the hardware's "integer indefinite" 2^63 instead of
   undefined behaviour. */
uint64_t sarvo_fptoui(double x) {
    if (!(x >= kInt64Lo && x < kInt64Hi)) return kInt64Indefinite;
    return static_cast<uint64_t>(static_cast<int64_t>(x));
}

uint64_t sarvo_fptouif(float x) { return sarvo_fptoui(static_cast<double>(x)); }

}  // extern "C"
