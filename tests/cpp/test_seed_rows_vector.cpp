// The AVX2 builds of extend_seed's checked hand-over, p_histogram's counting and find_seeds'
// count search give the baseline builds' results on the same rows: random labels, settled and
// moving pixels, targets inside and outside the image, rows of every length around the lane count.
#include <gtest/gtest.h>

#include <ostream>
#include <random>
#include <vector>

#include "pelmarinex/deviverozo_new/seed_rows.h"

namespace {

namespace rows = pelmarinex::deviverozo_new::sarvo_functions::seed_rows;

struct Image {
    int64_t ly, lx;
    std::vector<uint32_t> labels;
    std::vector<int16_t> pos;  // (2, ly, lx): dy plane, then dx plane

    rows::Planes planes() {
        return rows::Planes{labels.data(), pos.data(), pos.data() + ly * lx, ly, lx};
    }
};

// settled_share: pixels with (0, 0); outside: targets allowed up to this far beyond the image.
Image random_image(int64_t ly, int64_t lx, double settled_share, int64_t outside, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    Image im{ly, lx, std::vector<uint32_t>(ly * lx), std::vector<int16_t>(2 * ly * lx)};
    for (int64_t y = 0; y < ly; ++y) {
        for (int64_t x = 0; x < lx; ++x) {
            const int64_t p = y * lx + x;
            im.labels[p] = u(rng) < 0.5 ? 0 : static_cast<uint32_t>(rng() % 5);
            if (u(rng) < settled_share) continue;
            // Targets in [-ly - outside, ly + outside): negative ones count from the end.
            const int64_t ty = static_cast<int64_t>(rng() % (2 * ly + 2 * outside)) - ly - outside;
            const int64_t tx = static_cast<int64_t>(rng() % (2 * lx + 2 * outside)) - lx - outside;
            im.pos[p] = static_cast<int16_t>(ty - y);
            im.pos[ly * lx + p] = static_cast<int16_t>(tx - x);
        }
    }
    return im;
}

struct RowCase {
    int64_t ly, lx;
    int64_t outside;
};

void PrintTo(const RowCase &c, std::ostream *os) {
    *os << c.ly << "x" << c.lx << ", targets up to " << c.outside << " beyond the image";
}

class SeedRows : public ::testing::TestWithParam<RowCase> {
  protected:
    void SetUp() override {
        if (!rows::avx2_available()) GTEST_SKIP() << "no AVX2 on this machine";
    }
};

// Both builds hand on the same labels and mark the same pixels; with a target outside the
// image both refuse and leave every label as it was on entry.
TEST_P(SeedRows, CheckedHandOverAgrees) {
    const RowCase c = GetParam();
    // Many settled pixels, so that many targets are settled and labelled.
    const Image original = random_image(c.ly, c.lx, 0.6, c.outside, static_cast<unsigned>(c.ly * 13 + c.lx));
    Image a = original, b = original;
    const rows::Planes pa = a.planes(), pb = b.planes();
    ASSERT_TRUE(rows::fits_vector_lanes(pb));
    // The bitmap arrives uninitialised in the kernel: set bits must not survive into the result.
    std::vector<uint8_t> ta(c.ly * rows::taken_stride(c.lx), 0xFF), tb(ta.size(), 0xA5);
    const bool ok = rows::hand_over(pa, ta.data(), false);
    ASSERT_EQ(ok, rows::hand_over(pb, tb.data(), true));
    EXPECT_EQ(ok, c.outside == 0);
    EXPECT_EQ(a.labels, b.labels);
    EXPECT_EQ(a.pos, original.pos);
    if (!ok) {
        EXPECT_EQ(a.labels, original.labels);
        return;
    }
    EXPECT_EQ(ta, tb);
    int64_t changed = 0;
    for (int64_t q = 0; q < c.ly * c.lx; ++q) {
        const bool marked = ta[(q / c.lx) * rows::taken_stride(c.lx) + (q % c.lx) / 8] >> ((q % c.lx) % 8) & 1;
        EXPECT_EQ(marked, a.labels[q] != original.labels[q]) << "pixel " << q;
        changed += marked;
    }
    if (c.ly * c.lx >= 64) EXPECT_GT(changed, 0);

    // The same image refused at its very last pixel: every label handed on before it, in every
    // row and column, is taken back.
    Image late = original;
    const int64_t last = c.ly * c.lx - 1;
    late.labels[last] = 0;
    late.pos[last] = static_cast<int16_t>(c.ly);  // row 2 ly - 1: outside
    const Image before = late;
    for (const bool vector : {false, true}) {
        Image d = before;
        std::vector<uint8_t> td(ta.size(), 0x5A);
        EXPECT_FALSE(rows::hand_over(d.planes(), td.data(), vector));
        EXPECT_EQ(d.labels, before.labels) << (vector ? "vector" : "baseline");
    }
}

// Both builds count like a plain loop of saturating increments, on runs of pixels that end on
// one pixel too; with a selected target outside, both refuse the same row.
TEST_P(SeedRows, CountingAgreesWithPlainIncrements) {
    const RowCase c = GetParam();
    const unsigned seed = static_cast<unsigned>(c.ly * 31 + c.lx);
    Image im = random_image(c.ly, c.lx, 0.2, c.outside, seed);
    const int64_t plane = c.ly * c.lx;
    std::mt19937 rng(seed);
    std::vector<uint8_t> selected(plane), counts(plane);
    for (int64_t p = 0; p < plane; ++p) {
        if (p % c.lx > 0 && rng() % 4 != 0) {  // ends where its left neighbour ends
            im.pos[p] = im.pos[p - 1];
            im.pos[plane + p] = static_cast<int16_t>(im.pos[plane + p - 1] - 1);
        }
        selected[p] = static_cast<uint8_t>(rng() % 3 == 0 ? 0 : 1 + rng() % 7);
        counts[p] = static_cast<uint8_t>(rng() % 2 == 0 ? 0 : 240 + rng() % 16);  // near saturation
    }
    std::vector<uint8_t> expected = counts, base = counts, vec = counts;
    int64_t refused_at = -1;
    for (int64_t i = 0; i < c.ly && refused_at < 0; ++i) {
        const rows::CountRow row{im.pos.data() + i * c.lx, im.pos.data() + plane + i * c.lx,
                                 selected.data() + i * c.lx, i, c.ly, c.lx};
        const bool ok = rows::count_row_baseline(row, base.data());
        ASSERT_EQ(ok, rows::count_row_avx2(row, vec.data())) << "row " << i;
        if (!ok) refused_at = i;
        for (int64_t j = 0; j < c.lx && ok; ++j) {
            if (!selected[i * c.lx + j]) continue;
            const int64_t ty = i + im.pos[i * c.lx + j], tx = j + im.pos[plane + i * c.lx + j];
            uint8_t &h = expected[(ty < 0 ? ty + c.ly : ty) * c.lx + (tx < 0 ? tx + c.lx : tx)];
            h = static_cast<uint8_t>(h < 255 ? h + 1 : 255);
        }
    }
    if (c.outside > 0) {
        EXPECT_GE(refused_at, 0);
        return;
    }
    EXPECT_EQ(refused_at, -1);
    EXPECT_EQ(base, expected);
    EXPECT_EQ(vec, expected);
}

INSTANTIATE_TEST_SUITE_P(Images, SeedRows,
                         ::testing::Values(RowCase{1, 1, 0}, RowCase{3, 7, 0}, RowCase{5, 8, 0}, RowCase{9, 9, 0},
                                           RowCase{17, 31, 0}, RowCase{40, 67, 0}, RowCase{64, 64, 0},
                                           RowCase{9, 9, 3}, RowCase{40, 67, 20}));

// The last pixel of the image as a target reads the last entry of the dx plane.
// Each bound of the 32-bit lanes alone: either extent up to 2^30 - 1, and ly * lx below 2^31 - 1.
TEST(SeedRowsEdges, LanesFitUpToEachBound) {
    constexpr int64_t k30 = int64_t{1} << 30, k31 = (int64_t{1} << 31) - 1;
    EXPECT_TRUE(rows::fits_lanes(1, k30 - 1));
    EXPECT_TRUE(rows::fits_lanes(k30 - 1, 1));
    EXPECT_FALSE(rows::fits_lanes(1, k30));
    EXPECT_FALSE(rows::fits_lanes(k30, 1));
    EXPECT_TRUE(rows::fits_lanes(2, (k31 - 1) / 2));
    EXPECT_FALSE(rows::fits_lanes(k31 / 4 + 1, 4));  // 2^31: below both extent bounds, too many pixels
    EXPECT_FALSE(rows::fits_lanes(4, k31 / 4 + 1));
}

TEST(SeedRowsEdges, TargetsAtTheImageCornersAreRead) {
    if (!rows::avx2_available()) GTEST_SKIP() << "no AVX2 on this machine";
    for (const auto &[ty, tx] : {std::pair<int64_t, int64_t>{0, 0}, {11, 15}, {-1, -1}, {0, 15}, {11, 0}}) {
        Image im{12, 16, std::vector<uint32_t>(12 * 16, 0), std::vector<int16_t>(2 * 12 * 16, 0)};
        const int64_t plane = 12 * 16;
        const int64_t sy = ty < 0 ? ty + 12 : ty, sx = tx < 0 ? tx + 16 : tx;
        im.labels[sy * 16 + sx] = 9;  // the settled, labelled target
        for (int64_t p = 0; p < plane; ++p) {
            if (p == sy * 16 + sx) continue;
            im.pos[p] = static_cast<int16_t>(ty - p / 16);
            im.pos[plane + p] = static_cast<int16_t>(tx - p % 16);
        }
        Image other = im;
        std::vector<uint8_t> ta(12 * rows::taken_stride(16)), tb(ta.size());
        ASSERT_TRUE(rows::hand_over(im.planes(), ta.data(), false));
        ASSERT_TRUE(rows::hand_over(other.planes(), tb.data(), true));
        EXPECT_EQ(im.labels, other.labels);
        // Every pixel that moves onto the target takes its label.
        for (int64_t p = 0; p < plane; ++p) EXPECT_EQ(other.labels[p], 9u) << "pixel " << p;
    }
}

class CountSearch : public ::testing::TestWithParam<int64_t> {};

TEST_P(CountSearch, ColumnsAboveTheThresholdInOrder) {
    if (!rows::avx2_available()) GTEST_SKIP() << "no AVX2 on this machine";
    const int64_t n = GetParam();
    std::mt19937 rng(static_cast<unsigned>(n));
    std::vector<uint8_t> row(n);
    for (auto &v : row) v = static_cast<uint8_t>(rng() % 4 == 0 ? rng() % 256 : rng() % 12);
    if (n > 0) row[n - 1] = 11;  // just above the threshold of 10, at the very end
    std::vector<int32_t> a(n + 1, -1), b(n + 1, -1);
    const int64_t ka = rows::above_baseline(row.data(), n, 10, a.data());
    const int64_t kb = rows::above_avx2(row.data(), n, 10, b.data());
    ASSERT_EQ(ka, kb);
    a.resize(ka);
    b.resize(kb);
    EXPECT_EQ(a, b);
    int64_t expected = 0;
    for (uint8_t v : row) expected += v > 10;
    EXPECT_EQ(ka, expected);
}

INSTANTIATE_TEST_SUITE_P(Lengths, CountSearch, ::testing::Values(1, 31, 32, 33, 64, 100, 4097));

}  // namespace
