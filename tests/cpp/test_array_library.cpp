// The array routines, the creation rule and the no-copy reshape.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <random>
#include <vector>

#include "core/cpu_features.h"
#include "tests/cpp/guarded_buffer.h"
#include "core/runtime/_srt_python.h"
#include "np/arrayobj.h"
#include "np/old_arraymath.h"
#include "core/pickled_constants.h"

namespace {

using sarvo::Array;
using sarvo::Owned;

template <class T>
Array<const T, 1> view(const std::vector<T> &v) {
    return sarvo::borrowed_view(v.data(), static_cast<int64_t>(v.size()));
}

template <class T>
std::vector<T> values(const Array<T, 1> &a) {
    return std::vector<T>(a.data, a.data + a.shape[0]);
}

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct ArgminCase {
    std::vector<double> input;
    int64_t expected;
};

class Argmin : public ::testing::TestWithParam<ArgminCase> {};

TEST_P(Argmin, FirstMinimumWinsAndNanEndsTheWalk) {
    const ArgminCase &c = GetParam();
    int64_t index = -1;
    const excinfo_t *exc = nullptr;
    ASSERT_EQ(sarvo::array_argmin(&index, &exc, view(c.input)), sarvo::kOk);
    EXPECT_EQ(index, c.expected);
}

INSTANTIATE_TEST_SUITE_P(Examples, Argmin,
                         ::testing::Values(ArgminCase{{3, 1, 1}, 1}, ArgminCase{{2}, 0}, ArgminCase{{kNaN, 0}, 0},
                                           ArgminCase{{1, kNaN, 0}, 1}, ArgminCase{{5, 4, 3, 2, 1, 0}, 5},
                                           ArgminCase{{0, 0, -0.0}, 0}));

// Both builds against each other: few distinct values (ties within and across lanes), signed
// zeros and infinities; a single smallest value at every position, and a NaN at every position
// (before, inside and behind the vector groups).
TEST(ArgminBuilds, Avx2BuildPicksTheIndexOfTheWalkInOrder) {
    if (!sarvo::avx2_available()) GTEST_SKIP() << "no AVX2 on this machine";
    std::mt19937 rng(18);
    const double pool[] = {3.0, 1.0, 0.0, -0.0, 2.0, std::numeric_limits<double>::infinity()};
    auto check = [](const std::vector<double> &v, const char *what, int64_t at) {
        const auto n = static_cast<int64_t>(v.size());
        GuardedBuffer<double> guarded(v.size());  // a read past the end faults
        guarded.assign(v.data(), v.size());
        ASSERT_EQ(sarvo::argmin_avx2(guarded.data(), n), sarvo::argmin_baseline(v.data(), n))
            << what << " n " << n << " at " << at;
    };
    for (int64_t n = 1; n <= 70; ++n) {
        for (int trial = 0; trial < 20; ++trial) {
            std::vector<double> v(n);
            for (double &x : v) x = pool[rng() % (trial < 10 ? 6 : 2)];
            check(v, "ties", trial);
        }
        check(std::vector<double>(n, pool[5]), "all infinite", 0);
        for (int64_t at = 0; at < n; ++at) {
            std::vector<double> v(n, 5.0);
            v[at] = 1.0;
            check(v, "one minimum", at);
            v[n - 1 - at] = kNaN;
            check(v, "a NaN", n - 1 - at);
        }
    }
}

TEST(ArgminEmpty, RaisesTheEmptySequenceRecord) {
    int64_t index = -1;
    const excinfo_t *exc = nullptr;
    std::vector<double> empty;
    EXPECT_EQ(sarvo::array_argmin(&index, &exc, view(empty)), sarvo::kUserError);
    EXPECT_EQ(exc, &sarvo::records::argmin_of_empty);
}

struct CumsumCase {
    std::vector<uint32_t> input, expected;
};

class Cumsum : public ::testing::TestWithParam<CumsumCase> {};

TEST_P(Cumsum, AccumulatesModuloTwoToThe32) {
    Owned<Array<uint32_t, 1>> out;
    const excinfo_t *exc = nullptr;
    ASSERT_EQ(sarvo::array_cumsum(&out.rec, &exc, view(GetParam().input)), sarvo::kOk);
    EXPECT_EQ(values(out.rec), GetParam().expected);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(out.rec.data) % 32, 0u);
}

INSTANTIATE_TEST_SUITE_P(Examples, Cumsum,
                         ::testing::Values(CumsumCase{{1, 0, 1, 1}, {1, 1, 2, 3}},
                                           CumsumCase{{4294967295u, 1}, {4294967295u, 0}}, CumsumCase{{}, {}}));

struct BincountCase {
    std::vector<uint32_t> input;
    uint32_t minlength;
    std::vector<int64_t> expected;
};

class Bincount : public ::testing::TestWithParam<BincountCase> {};

TEST_P(Bincount, CountsEveryValueOverAtLeastMinlengthBins) {
    const BincountCase &c = GetParam();
    Owned<Array<int64_t, 1>> out;
    const excinfo_t *exc = nullptr;
    ASSERT_EQ(sarvo::np_bincount(&out.rec, &exc, view(c.input), c.minlength), sarvo::kOk);
    EXPECT_EQ(values(out.rec), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Examples, Bincount,
                         ::testing::Values(BincountCase{{0, 2, 2}, 0, {1, 0, 2}},
                                           BincountCase{{0, 2, 2}, 5, {1, 0, 2, 0, 0}},
                                           BincountCase{{}, 3, {0, 0, 0}}, BincountCase{{}, 0, {}},
                                           BincountCase{{7}, 0, {0, 0, 0, 0, 0, 0, 0, 1}}));

// Against counting one by one, through the routine and through each build of its two passes
// (the AVX2 ones on a buffer whose end faults): lengths around the groups of eight and the four
// chains of the vector maximum, runs of one value that do and do not fill a group or cross
// groups, the largest value in every lane of the four-wide maximum, and a last value that must
// not displace the first lane's; and long arrays, whose runs outnumber the AVX2 build's list.
TEST(BincountOracle, AgreesWithCountingOneByOne) {
    std::mt19937 rng(18);
    std::vector<int> lengths(76);
    std::iota(lengths.begin(), lengths.end(), 0);
    lengths.insert(lengths.end(), {2100, 4099, 20000});
    for (int n : lengths) {
        for (int pattern = 0; pattern < 5; ++pattern) {
            std::vector<uint32_t> v(n);
            for (int i = 0, run = 0; i < n; ++i)  // pattern 3: the largest only in the first lane, a middling last value
                v[i] = pattern == 0   ? rng() % 5
                       : pattern == 1 ? static_cast<uint32_t>(i / 8 % 3)
                       : pattern == 2 ? (i == n - 1 ? 9 : 1)
                       : pattern == 3 ? (i == n - 1 ? 5 : i % 4 == 0 ? 9 : 1)
                                      : (run = rng() % 6 == 0 ? static_cast<int>(rng() % 7) : run);  // random runs
            std::vector<int64_t> expected(n ? *std::max_element(v.begin(), v.end()) + 1 : 0, 0);
            for (uint32_t x : v) ++expected[x];
            Owned<Array<int64_t, 1>> out;
            const excinfo_t *exc = nullptr;
            ASSERT_EQ(sarvo::np_bincount(&out.rec, &exc, view(v), 0), sarvo::kOk);
            EXPECT_EQ(values(out.rec), expected) << "n " << n << " pattern " << pattern;
            if (n == 0) continue;
            const auto largest = static_cast<uint32_t>(expected.size() - 1);
            std::vector<int64_t> counts(expected.size(), 0);
            sarvo::count_values_baseline(v.data(), n, counts.data(), largest);
            EXPECT_EQ(counts, expected) << "baseline, n " << n << " pattern " << pattern;
            EXPECT_EQ(sarvo::largest_baseline(v.data(), n), largest) << "n " << n << " pattern " << pattern;
            if (!sarvo::avx2_available()) continue;
            GuardedBuffer<uint32_t> guarded(v.size());
            guarded.assign(v.data(), v.size());
            std::fill(counts.begin(), counts.end(), 0);
            sarvo::count_values_avx2(guarded.data(), n, counts.data(), largest);
            EXPECT_EQ(counts, expected) << "AVX2, n " << n << " pattern " << pattern;
            EXPECT_EQ(sarvo::largest_avx2(guarded.data(), n), largest) << "AVX2, n " << n << " pattern " << pattern;
        }
    }
}

// A value above the largest the caller found (raised since by another thread) counts in the
// last bin, alone, in a mixed group of eight and in a group of eight equal values.
TEST(BincountOracle, AValueAboveTheGivenLargestCountsInTheLastBin) {
    for (int n : {1, 8, 9, 16}) {
        for (bool all : {false, true}) {
            std::vector<uint32_t> v(n, all ? 4000000000u : 1u);
            v[n - 1] = 4000000000u;
            Owned<Array<int64_t, 1>> out;
            const excinfo_t *exc = nullptr;
            ASSERT_EQ(sarvo::np_bincount_upto(&out.rec, &exc, view(v), 2, 0), sarvo::kOk);
            const std::vector<int64_t> expected = all ? std::vector<int64_t>{0, 0, n} : std::vector<int64_t>{0, n - 1, 1};
            EXPECT_EQ(values(out.rec), expected) << "n " << n << " all " << all;
        }
    }
}

struct CreateCase {
    std::vector<int64_t> shape;
    int64_t itemsize;
    const excinfo_t *expected;  // null: success
};

class CreationRule : public ::testing::TestWithParam<CreateCase> {};

TEST_P(CreationRule, ChecksExtentsThenBytesThenAllocates) {
    const CreateCase &c = GetParam();
    alignas(8) unsigned char storage[8 * 11] = {};
    auto *rec = reinterpret_cast<arystruct_t *>(storage);
    const excinfo_t *exc = nullptr;
    int32_t status = sarvo::create_array_record(rec, static_cast<int>(c.shape.size()), c.shape.data(), c.itemsize,
                                                sarvo::Fill::Zeros, true, &exc);
    if (c.expected) {
        EXPECT_EQ(status, sarvo::kUserError);
        EXPECT_EQ(exc, c.expected);
        EXPECT_EQ(rec->meminfo, nullptr);
        return;
    }
    ASSERT_EQ(status, sarvo::kOk);
    int64_t n = 1;
    for (int64_t e : c.shape) n *= e;
    EXPECT_EQ(rec->nitems, n);
    EXPECT_EQ(rec->itemsize, c.itemsize);
    EXPECT_EQ(rec->parent, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(rec->data) % 32, 0u);
    // C-order strides, last axis the item size.
    int64_t stride = c.itemsize;
    for (int d = static_cast<int>(c.shape.size()) - 1; d >= 0; --d) {
        EXPECT_EQ(rec->shape_and_strides[c.shape.size() + d], stride);
        stride *= c.shape[d];
    }
    const auto *bytes = static_cast<const unsigned char *>(rec->data);
    for (int64_t i = 0; i < n * c.itemsize; ++i) ASSERT_EQ(bytes[i], 0);
    SRT_decref(static_cast<SRT_MemInfo *>(rec->meminfo));
}

constexpr int64_t kHuge = int64_t{1} << 62;

// A zero extent beside a huge one: no element, and the outer stride that would pass 2^63 is 0.
TEST(CreationRuleStrides, ZeroExtentBesideAHugeOneGivesNoWrappedStride) {
    alignas(8) unsigned char storage[8 * 11] = {};
    auto *rec = reinterpret_cast<arystruct_t *>(storage);
    const excinfo_t *exc = nullptr;
    const int64_t shape[] = {0, (int64_t{1} << 61) + 1};
    ASSERT_EQ(sarvo::create_array_record(rec, 2, shape, 8, sarvo::Fill::Zeros, true, &exc), sarvo::kOk);
    EXPECT_EQ(rec->nitems, 0);
    EXPECT_EQ(rec->shape_and_strides[2], 0);
    EXPECT_EQ(rec->shape_and_strides[3], 8);
    SRT_decref(static_cast<SRT_MemInfo *>(rec->meminfo));
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, CreationRule,
    ::testing::Values(CreateCase{{3, 4}, 8, nullptr}, CreateCase{{0, 5}, 4, nullptr}, CreateCase{{2, 3, 5}, 2, nullptr},
                      CreateCase{{-1, 5}, 4, &sarvo::records::negative_dimensions},
                      CreateCase{{kHuge, 4}, 1, &sarvo::records::array_too_big},
                      CreateCase{{kHuge}, 8, &sarvo::records::array_too_big},
                      CreateCase{{int64_t{1} << 40, 1 << 20}, 1, &sarvo::records::allocation_failed}));

struct ReshapeCase {
    std::vector<npy_intp> dims, strides, newdims;
    int expected;
    std::vector<npy_intp> newstrides;
    int f_order = 0;
};

class NoCopyReshape : public ::testing::TestWithParam<ReshapeCase> {};

TEST_P(NoCopyReshape, MatchesTheWorkedExamples) {
    const ReshapeCase &c = GetParam();
    std::vector<npy_intp> out(c.newdims.size(), -1);
    int ok = sarvo_attempt_nocopy_reshape(static_cast<npy_intp>(c.dims.size()), c.dims.data(), c.strides.data(),
                                          static_cast<npy_intp>(c.newdims.size()), c.newdims.data(), out.data(), 8, c.f_order);
    EXPECT_EQ(ok, c.expected);
    if (ok) EXPECT_EQ(out, c.newstrides);
}

INSTANTIATE_TEST_SUITE_P(Examples, NoCopyReshape,
                         ::testing::Values(ReshapeCase{{2, 3}, {24, 8}, {3, 2}, 1, {16, 8}},
                                           ReshapeCase{{2, 3}, {24, 8}, {6}, 1, {8}},
                                           ReshapeCase{{2, 3}, {8, 16}, {6}, 0, {}},
                                           ReshapeCase{{0, 3}, {24, 8}, {3, 0}, 1, {8, 8}},
                                           ReshapeCase{{2, 3}, {24, 8}, {7}, 0, {}},
                                           ReshapeCase{{}, {}, {1}, 1, {8}},
                                           ReshapeCase{{2, 1, 3}, {24, 24, 8}, {6, 1}, 1, {8, 8}},
                                           ReshapeCase{{2, 3}, {8, 16}, {6, 1}, 1, {8, 48}, 1},
                                           // a trailing new axis of extent 1 takes the last stride
                                           ReshapeCase{{3}, {16}, {3, 1}, 1, {16, 16}},
                                           ReshapeCase{{3}, {16}, {3, 1}, 1, {16, 48}, 1}));

// Independent oracle: walk both arrays in the same flat order (C or Fortran) and demand equal
// byte offsets. A view exists exactly when the strides read off the first step along each new
// axis reproduce every offset.
npy_intp offset_at(npy_intp flat, const std::vector<npy_intp> &dims, const std::vector<npy_intp> &strides, bool f) {
    npy_intp off = 0;
    for (size_t n = 0; n < dims.size(); ++n) {
        size_t k = f ? n : dims.size() - 1 - n;
        off += (flat % dims[k]) * strides[k];
        flat /= dims[k];
    }
    return off;
}

TEST(NoCopyReshapeOracle, AgreesWithOffsetsForRandomViews) {
    std::mt19937 gen(18);
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(gen); };
    for (int round = 0; round < 3000; ++round) {
        bool f = pick(0, 1);
        std::vector<npy_intp> dims(pick(0, 4)), strides(dims.size());
        npy_intp total = 1;
        for (auto &d : dims) total *= d = pick(1, 4);
        npy_intp step = 8 * pick(1, 2);  // sometimes every other element
        for (size_t n = 0; n < dims.size(); ++n) {
            size_t k = (f == (pick(0, 4) != 0)) ? n : dims.size() - 1 - n;  // mostly the asked order
            strides[k] = step;
            step *= dims[k] + (pick(0, 5) == 0);  // sometimes a gap after an axis
        }
        std::vector<npy_intp> newdims;
        for (npy_intp rest = total; rest > 1 || (newdims.size() < 2 && pick(0, 1));) {
            npy_intp d = 1;
            for (npy_intp c = pick(1, 4); c >= 1; --c)
                if (rest % c == 0) { d = c; break; }
            newdims.push_back(d);
            rest /= d;
        }
        std::vector<npy_intp> got(newdims.size(), -1), want(newdims.size(), 0);
        int ok = sarvo_attempt_nocopy_reshape(dims.size(), dims.data(), strides.data(), newdims.size(), newdims.data(),
                                              got.data(), 8, f);
        bool possible = true;
        for (size_t k = 0, unit = 1; k < newdims.size(); ++k) {
            size_t a = f ? k : newdims.size() - 1 - k;
            if (newdims[a] > 1) want[a] = offset_at(unit, dims, strides, f) - offset_at(0, dims, strides, f);
            unit *= newdims[a];
        }
        for (npy_intp i = 0; i < total && possible; ++i) {
            std::vector<npy_intp> used = got;
            for (size_t a = 0; a < newdims.size(); ++a) used[a] = newdims[a] > 1 ? want[a] : 0;
            possible = offset_at(i, newdims, used, f) == offset_at(i, dims, strides, f);
        }
        ASSERT_EQ(ok, possible) << "round " << round;
        if (ok)
            for (npy_intp i = 0; i < total; ++i)
                ASSERT_EQ(offset_at(i, newdims, got, f), offset_at(i, dims, strides, f)) << "round " << round;
    }
}

}  // namespace
