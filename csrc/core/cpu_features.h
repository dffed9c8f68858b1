// Which vector builds this processor runs. Every routine with an AVX2 build keeps a baseline
// build; callers pick one at run time with avx2_available(), so one binary serves every x86-64,
// and on every other architecture the baseline builds run.
#pragma once

#include <cstdlib>
#include <cstring>

// Compiles one function for AVX2 (or AVX-512) without raising the whole file's target.
#define SARVO_AVX2 __attribute__((target("avx2")))
#define SARVO_AVX512 __attribute__((target("avx512f,avx512vl,avx512bw,avx512dq,avx2")))

namespace sarvo {

/* SARVO_NO_AVX2 set to anything but "" or "0" keeps every routine on its baseline build, as on a
   processor without AVX2: the tests compare the two builds through the whole module that way.
   Read once, at the first call. */
inline bool avx2_allowed(const char *setting) { return !setting || !*setting || std::strcmp(setting, "0") == 0; }

#if defined(__x86_64__)
// Whether this build holds the AVX2 routines at all; a caller handed its choice as a flag tests
// it too, so that other architectures' builds drop the call.
inline constexpr bool avx2_builds = true;

inline bool avx2_available() {
    static const bool available = __builtin_cpu_supports("avx2") && avx2_allowed(std::getenv("SARVO_NO_AVX2"));
    return available;
}

/* The AVX-512 builds sit above the AVX2 ones: SARVO_NO_AVX2 turns both off, SARVO_NO_AVX512
   only the wider one, so the tests can compare all three builds of a routine. */
inline bool avx512_available() {
    static const bool available = avx2_available() && __builtin_cpu_supports("avx512f") &&
                                  __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512bw") &&
                                  __builtin_cpu_supports("avx512dq") && avx2_allowed(std::getenv("SARVO_NO_AVX512"));
    return available;
}
#else
/* Other architectures build no AVX2 routine (the build leaves those sources out): the constant
   lets the compiler drop every call to one, so the module has no reference to them to resolve. */
inline constexpr bool avx2_builds = false;
constexpr bool avx2_available() { return false; }
constexpr bool avx512_available() { return false; }
#endif

}  // namespace sarvo
