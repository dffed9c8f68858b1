// Which vector builds this processor runs. Every routine with an AVX2 build keeps a baseline
// build; callers pick one at run time with avx2_available(), so one binary serves every x86-64.
#pragma once

// Compiles one function for AVX2 without raising the whole file's target.
#define SARVO_AVX2 __attribute__((target("avx2")))

namespace sarvo {

inline bool avx2_available() {
    static const bool available = __builtin_cpu_supports("avx2");
    return available;
}

}  // namespace sarvo
