// The vector walks of flow following, over the paired field, give the scalar walk's bits on the
// planar field, lane for lane.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "guarded_buffer.h"
#include "pelmarinex/deviverozo_new/flow_walk.h"
#include "pelmarinex/deviverozo_new/flow_walk_blocks.h"

namespace {

namespace walk = pelmarinex::deviverozo_new::sarvo_functions::walk;

struct WalkCase {
    int64_t ly, lx;
    bool interpolate;
    bool nan_in_field;
    int steps;
    bool dense = false;  // every pixel but the first listed, in rows of long runs
};

class VectorWalk : public ::testing::TestWithParam<WalkCase> {};

// The same pixels as runs along the rows.
std::vector<walk::Run> runs_of(const std::vector<int64_t> &rows, const std::vector<int64_t> &cols) {
    std::vector<walk::Run> runs;
    for (size_t j = 0; j < rows.size(); ++j) {
        if (!runs.empty() && runs.back().y == rows[j] && runs.back().x + runs.back().length == cols[j]) ++runs.back().length;
        else runs.push_back({rows[j], cols[j], 1});
    }
    return runs;
}

// The skip comes first: on other architectures it leaves no call to the vector walks behind.
// Every build available here, given the pixels as a list and as runs, gives the scalar walk's
// bits on the list.
template <class Real>
void compare(const WalkCase &c) {
    if (!walk::avx2_available()) GTEST_SKIP() << "no AVX2 on this machine";
    std::mt19937 rng(static_cast<unsigned>(c.ly * 131 + c.lx));
    std::normal_distribution<float> normal(0.0f, 1.5f);
    const int64_t plane = c.ly * c.lx;
    std::vector<float> field(2 * plane);
    for (float &v : field) v = normal(rng);
    if (c.nan_in_field) field[plane / 2] = std::numeric_limits<float>::quiet_NaN();
    std::vector<int64_t> rows, cols;
    for (int64_t y = 0; y < c.ly; ++y)
        for (int64_t x = 0; x < c.lx; ++x)
            if (c.dense ? y + x > 0 : rng() % 4 != 0) {
                rows.push_back(y);
                cols.push_back(x);
            }
    const std::vector<walk::Run> runs = runs_of(rows, cols);
    std::vector<Real> lengths(c.steps);
    for (int k = 0; k < c.steps; ++k) lengths[k] = walk::step_length<Real>(Real(0.93), k);
    // Walks start from the displacements found in disp, some pointing outside the image.
    std::vector<float> start(2 * plane);
    for (float &v : start) v = 2.0f * normal(rng);
    std::vector<float> scalar = start;
    const int64_t n = static_cast<int64_t>(rows.size());
    walk::Job a{field.data(), scalar.data(), c.ly, c.lx, rows.data(), cols.data(), n};
    if (c.interpolate) walk::walk_scalar<Real, true>(a, lengths.data(), c.steps);
    else walk::walk_scalar<Real, false>(a, lengths.data(), c.steps);
    // The field and its pairs end at a guard page: the pairing reads and writes nothing past them.
    GuardedBuffer<float> guarded_field(field.size()), pairs(walk::pair_floats(c.ly, c.lx));
    guarded_field.assign(field.data(), field.size());
    walk::make_pairs(guarded_field.data(), c.ly, c.lx, pairs.data());
    for (const bool wide : {false, true}) {
        if (wide && !(c.interpolate && walk::avx512_available())) continue;  // bilinear only
        for (const bool as_runs : {false, true}) {
            std::vector<float> vector = start;
            walk::Job b{field.data(), vector.data(), c.ly, c.lx, rows.data(), cols.data(), n};
            if (as_runs) b = {field.data(), vector.data(), c.ly, c.lx, nullptr, nullptr, n, runs.data(),
                              static_cast<int64_t>(runs.size())};
            if (wide) walk::walk_avx512(b, pairs.data(), lengths.data(), c.steps);
            else walk::walk_avx2(b, pairs.data(), lengths.data(), c.steps, c.interpolate);
            ASSERT_EQ(std::memcmp(scalar.data(), vector.data(), scalar.size() * sizeof(float)), 0)
                << (wide ? "AVX-512" : "AVX2") << (as_runs ? ", runs" : ", list");
        }
    }
}

TEST_P(VectorWalk, SinglePrecisionLanesMatchTheScalarWalk) {
    compare<float>(GetParam());
}

TEST_P(VectorWalk, DoublePrecisionLanesMatchTheScalarWalk) {
    compare<double>(GetParam());
}

INSTANTIATE_TEST_SUITE_P(Fields, VectorWalk,
                         ::testing::Values(WalkCase{1, 1, true, false, 3}, WalkCase{1, 37, true, false, 9},
                                           WalkCase{29, 1, false, false, 9}, WalkCase{40, 33, true, false, 16},
                                           WalkCase{40, 33, false, false, 16}, WalkCase{17, 19, true, true, 8},
                                           WalkCase{17, 19, false, true, 8}, WalkCase{64, 64, true, false, 1},
                                           WalkCase{3, 70, false, false, 5}, WalkCase{5, 41, true, false, 4, true},
                                           WalkCase{5, 41, false, false, 4, true}));

// The vector walks' blocks hold the listed pixels in order, then the last one again, whether
// they come as runs or as a list; a register is marked a row stretch exactly when its pixels
// are row neighbours, left to right (then only its first pixel need be set).
TEST(BlockCursor, BlocksHoldTheListedPixelsInOrder) {
    // Runs shorter than, as long as and longer than a register, an empty one, two that touch.
    const std::vector<walk::Run> runs = {{0, 1, 3}, {0, 5, 4}, {1, 0, 0}, {1, 2, 11}, {2, 0, 4}, {2, 4, 4}, {3, 7, 1}};
    std::vector<int64_t> rows, cols;
    for (const walk::Run &r : runs)
        for (int64_t k = 0; k < r.length; ++k) rows.push_back(r.y), cols.push_back(r.x + k);
    const int64_t n = static_cast<int64_t>(rows.size()), lx = 16;
    const walk::Job as_list{nullptr, nullptr, 4, lx, rows.data(), cols.data(), n};
    const walk::Job as_runs{nullptr, nullptr, 4, lx, nullptr, nullptr, n, runs.data(), static_cast<int64_t>(runs.size())};
    for (const walk::Job &job : {as_list, as_runs}) {
        walk::Cursor at;
        walk::BlockPixels<8, 4> px;
        int stretches = 0;
        for (int64_t first = 0; first < n; first += 8) {
            walk::next_pixels(job, at, px);
            for (int g = 0; g < 2; ++g) {
                const auto listed = [&](int k) { return std::min<int64_t>(first + 4 * g + k, n - 1); };
                bool neighbours = true;
                for (int k = 1; k < 4; ++k)
                    neighbours &= rows[listed(k)] == rows[listed(0)] && cols[listed(k)] == cols[listed(0)] + k;
                ASSERT_EQ(px.stretch[g], neighbours) << "pixel " << first + 4 * g << (job.runs ? ", runs" : ", list");
                stretches += neighbours;
                for (int k = 0; k < (neighbours ? 1 : 4); ++k) {
                    EXPECT_EQ(px.y[4 * g + k], rows[listed(k)]);
                    EXPECT_EQ(px.x[4 * g + k], cols[listed(k)]);
                    EXPECT_EQ(px.p[4 * g + k], rows[listed(k)] * lx + cols[listed(k)]);
                }
            }
        }
        EXPECT_EQ(stretches, 3);  // (1, 3..6), (1, 7..10) and (2, 2..5), across the touching runs
    }
}

// Beyond 2^24 a clamp bound need not be a float: a clamped offset still leaves the position
// inside the image, and an offset that does is admitted back unchanged.
class ClampBeyondFloats : public ::testing::TestWithParam<int64_t> {};

TEST_P(ClampBeyondFloats, KeepsThePositionInside) {
    const int64_t extent = GetParam();
    for (int64_t position : {int64_t{0}, int64_t{1}, int64_t{2}, extent / 2, extent - 2, extent - 1}) {
        const double lo = static_cast<double>(-position), hi = static_cast<double>(extent - 1 - position);
        for (double c : {-HUGE_VAL, HUGE_VAL, std::nan(""), lo - 0.5, lo + 0.75, hi - 0.25, hi, hi + 1.0}) {
            const float d = walk::clamp_offset(c, position, extent);
            EXPECT_GE(static_cast<double>(d), lo) << "extent " << extent << " position " << position << " c " << c;
            EXPECT_LE(static_cast<double>(d), hi) << "extent " << extent << " position " << position << " c " << c;
            EXPECT_EQ(walk::admit_offset(d, position, extent), d);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Extents, ClampBeyondFloats,
                         ::testing::Values(int64_t{100}, (int64_t{1} << 24) + 3, (int64_t{1} << 24) + 6,
                                           (int64_t{1} << 26) + 7));

}  // namespace
