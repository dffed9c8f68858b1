// C-ABI entries: spread records in, native results out, failures through the unraisable hook.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "pelmarinex/deviverozo_new/sarvo_functions.h"
#include "tarn/cabi_entry.h"
#include "tests/cpp/embedded_python.h"

namespace {

namespace K = pelmarinex::deviverozo_new::sarvo_functions;

std::string flushed_stderr() {
    {
        sarvo_test::Gil gil;
        PyRun_SimpleString("import sys; sys.stderr.flush()");
    }
    return ::testing::internal::GetCapturedStderr();
}

struct Flow {
    std::vector<float> data;
    int64_t c, ly, lx;
    Flow(int64_t c_, int64_t ly_, int64_t lx_) : data(c_ * ly_ * lx_, 0.5f), c(c_), ly(ly_), lx(lx_) {}
};

sarvo::Array<float, 3> call_steps2d_all(Flow &f, int32_t n_steps) {
    return sarvo::cabi::entry<K::_steps2D_all>(nullptr, nullptr, f.c * f.ly * f.lx, 4, f.data.data(), f.c, f.ly,
                                                f.lx, 4 * f.ly * f.lx, 4 * f.lx, 4, n_steps, true);
}

TEST(CabiEntry, SuccessReturnsTheNativeResultByValue) {
    Flow f(2, 3, 4);
    sarvo::Array<float, 3> out = call_steps2d_all(f, 1);  // fewer than two steps: the input itself
    EXPECT_EQ(out.data, f.data.data());
    EXPECT_EQ(out.shape[1], 3);
    EXPECT_EQ(out.strides[0], 4 * 12);
    sarvo::Array<float, 3> moved = call_steps2d_all(f, 4);  // one round: a new buffer
    EXPECT_NE(moved.data, f.data.data());
    ASSERT_NE(moved.meminfo, nullptr);
    EXPECT_EQ(SRT_MemInfo_refcount(moved.meminfo), 1u);
    SRT_decref(moved.meminfo);
}

TEST(CabiEntry, FailureIsPrintedWithTheContextAndLeavesNothingPending) {
    Flow f(3, 2, 2);
    ::testing::internal::CaptureStderr();
    sarvo::Array<float, 3> out = call_steps2d_all(f, 5);
    std::string printed = flushed_stderr();
    EXPECT_EQ(out.data, nullptr);
    EXPECT_EQ(out.meminfo, nullptr);
    EXPECT_NE(printed.find("<sarvo.core.cpu.CPUContext object at 0x"), std::string::npos) << printed;
    EXPECT_NE(printed.find("AssertionError"), std::string::npos) << printed;
    sarvo_test::Gil gil;
    EXPECT_FALSE(PyErr_Occurred());
    EXPECT_EQ(PyGILState_Check(), 1);
}

TEST(CabiEntry, CalledFromAThreadThatHoldsNoLock) {
    Flow f(3, 2, 2);
    ::testing::internal::CaptureStderr();
    std::thread worker([&] { call_steps2d_all(f, 5); });
    worker.join();
    EXPECT_NE(flushed_stderr().find("AssertionError"), std::string::npos);
}

}  // namespace
