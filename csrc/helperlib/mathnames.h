/* The C library functions that the helper library wraps one to one, as X-macro lists.
   Each entry X(root, libname) makes `sarvo_<root>` over `<libname>` in double precision and
   `sarvo_<root>f` over `<libname>f` in single precision. The same lists drive the
   declarations, the definitions and the test sweep, so the three cannot drift apart. */
#ifndef SARVO_HELPERLIB_MATHNAMES_H
#define SARVO_HELPERLIB_MATHNAMES_H

#define SARVO_MATH_UNARY(X) \
    X(sin, sin)             \
    X(cos, cos)             \
    X(tan, tan)             \
    X(sinh, sinh)           \
    X(cosh, cosh)           \
    X(tanh, tanh)           \
    X(asin, asin)           \
    X(acos, acos)           \
    X(atan, atan)           \
    X(asinh, asinh)         \
    X(acosh, acosh)         \
    X(atanh, atanh)         \
    X(exp, exp)             \
    X(expm1, expm1)         \
    X(sqrt, sqrt)           \
    X(fabs, fabs)           \
    X(floor, floor)         \
    X(ceil, ceil)           \
    X(trunc, trunc)         \
    X(round, round)         \
    X(log, log)             \
    X(log10, log10)         \
    X(log1p, log1p)         \
    X(gamma, tgamma)        \
    X(lgamma, lgamma)       \
    X(erf, erf)             \
    X(erfc, erfc)

#define SARVO_MATH_BINARY(X) \
    X(pow, pow)              \
    X(fmod, fmod)            \
    X(atan2, atan2)          \
    X(nextafter, nextafter)

#endif
