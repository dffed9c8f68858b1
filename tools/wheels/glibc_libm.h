/* Force-included into every source of a wheel build (zig-toolchain.cmake). zig's compiler
   runtime carries exp, log, sin… of its own, and once the link takes the runtime in for anything
   else, its definitions win over the C library's: the module would compute with other functions
   than a GCC build and differ from it in the last bit. Binding each reference to the version of
   the symbol in glibc's libm keeps the system's functions, as a GCC build has them. */
#if defined(__x86_64__)
#define SARVO_LIBM_VERSION "GLIBC_2.2.5"
#elif defined(__aarch64__)
#define SARVO_LIBM_VERSION "GLIBC_2.17"
#else
#error "no glibc base version known for this architecture"
#endif
#define SARVO_FROM_LIBM(name) __asm__(".symver " #name "," #name "@" SARVO_LIBM_VERSION);
SARVO_FROM_LIBM(exp) SARVO_FROM_LIBM(expf) SARVO_FROM_LIBM(exp2) SARVO_FROM_LIBM(exp2f)
SARVO_FROM_LIBM(log) SARVO_FROM_LIBM(logf) SARVO_FROM_LIBM(log2) SARVO_FROM_LIBM(log2f)
SARVO_FROM_LIBM(log10) SARVO_FROM_LIBM(log10f) SARVO_FROM_LIBM(sin) SARVO_FROM_LIBM(sinf)
SARVO_FROM_LIBM(cos) SARVO_FROM_LIBM(cosf) SARVO_FROM_LIBM(tan) SARVO_FROM_LIBM(tanf)
SARVO_FROM_LIBM(sincos) SARVO_FROM_LIBM(sincosf)
/* The runtime's sqrt and fmod give glibc's values but never set errno: sqrt of a negative number
   and fmod by zero would lose the EDOM that the math wrappers report. */
SARVO_FROM_LIBM(sqrt) SARVO_FROM_LIBM(sqrtf) SARVO_FROM_LIBM(fmod) SARVO_FROM_LIBM(fmodf)
#undef SARVO_FROM_LIBM
#undef SARVO_LIBM_VERSION
