// First use of one BLAS routine from several threads at once. The routine's address is found
// at first use (importing SciPy's table under the interpreter lock); threads racing to that
// first use must all get a working routine. Run in a fresh process (a death-test child) so
// that no earlier test has resolved it.
#include <Python.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "embedded_python.h"
#include "helperlib/_lapack.h"

namespace {

constexpr int kThreads = 8;
constexpr int kN = 5;

[[noreturn]] void fail(const char *what) {
    std::fprintf(stderr, "failed: %s\n", what);
    std::_Exit(1);
}

bool module_loaded(const char *name) {
    sarvo_test::Gil gil;
    PyObject *modules = PyImport_GetModuleDict();
    return PyDict_GetItemString(modules, name) != nullptr;
}

// C = A * B for column-major kN x kN matrices whose entries depend on the thread, computed by
// gemm and directly (small integers: both are exact).
bool gemm_from(int t) {
    double a[kN * kN], b[kN * kN], c[kN * kN], expected[kN * kN];
    for (int i = 0; i < kN * kN; ++i) {
        a[i] = (i * 7 + t) % 11 - 5;
        b[i] = (i * 3 + 2 * t) % 13 - 6;
    }
    for (int col = 0; col < kN; ++col)
        for (int row = 0; row < kN; ++row) {
            double s = 0;
            for (int k = 0; k < kN; ++k) s += a[row + k * kN] * b[k + col * kN];
            expected[row + col * kN] = s;
        }
    double one = 1, zero = 0;
    if (sarvo_xxgemm('d', 'N', 'N', kN, kN, kN, &one, a, kN, b, kN, &zero, c, kN) != 0) return false;
    for (int i = 0; i < kN * kN; ++i)
        if (c[i] != expected[i]) return false;
    return true;
}

void racing_first_use() {
    if (module_loaded("scipy.linalg.cython_blas")) fail("the BLAS table was imported before the race");
    std::atomic<int> waiting{kThreads}, good{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            // Every thread is started before any of them makes its first call.
            waiting.fetch_sub(1);
            while (waiting.load() > 0) std::this_thread::yield();
            bool ok = true;
            for (int rep = 0; rep < 20 && ok; ++rep) ok = gemm_from(t + rep);
            if (ok) good.fetch_add(1);
        });
    for (auto &th : threads) th.join();
    if (good.load() != kThreads) fail("a thread's products were wrong or its call failed");
    if (!module_loaded("scipy.linalg.cython_blas")) fail("the routine did not come from SciPy's table");
    std::fprintf(stderr, "scenario passed\n");
    std::_Exit(0);
}

TEST(LapackConcurrencyDeathTest, ThreadsRacingToTheFirstUseOfARoutineAllGetIt) {
    EXPECT_EXIT(racing_first_use(), ::testing::ExitedWithCode(0), "scenario passed");
}

}  // namespace
