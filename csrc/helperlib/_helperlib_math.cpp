// One-to-one wrappers over the C library's math functions. They call the library routine
// itself (never a builtin shortcut that skips errno), so special values and errno are the
// library's: sqrt of a negative number, for instance, reaches the library and sets EDOM.
#include <math.h>

#include "helperlib/_helperlib.h"

extern "C" {

#define SARVO_DEFINE_UNARY(root, lib)                        \
    double sarvo_##root(double x) { return ::lib(x); }       \
    float sarvo_##root##f(float x) { return ::lib##f(x); }
#define SARVO_DEFINE_BINARY(root, lib)                                      \
    double sarvo_##root(double x, double y) { return ::lib(x, y); }         \
    float sarvo_##root##f(float x, float y) { return ::lib##f(x, y); }
SARVO_MATH_UNARY(SARVO_DEFINE_UNARY)
SARVO_MATH_BINARY(SARVO_DEFINE_BINARY)
#undef SARVO_DEFINE_UNARY
#undef SARVO_DEFINE_BINARY

}  // extern "C"
