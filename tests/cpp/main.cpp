// Test runner: one embedded interpreter for the tests that reach Python (raising, NumPy
// adaptation, helpers that take the interpreter lock). The interpreter lock is released
// before the tests run, so every test that needs Python takes it with PyGILState_Ensure.
#include <Python.h>
#include <gtest/gtest.h>

#include "tests/cpp/embedded_python.h"

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::GTEST_FLAG(death_test_style) = "threadsafe";
    sarvo_test::register_embedded_module();
    Py_InitializeEx(0);
    sarvo_test::init_embedded_module();
    PyThreadState *main_state = PyEval_SaveThread();
    int result = RUN_ALL_TESTS();
    PyEval_RestoreThread(main_state);
    return result;
}
