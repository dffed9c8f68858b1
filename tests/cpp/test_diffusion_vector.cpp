// The strip-wise diffusion (baseline, AVX2 and AVX-512 builds; strips of four and eight
// columns) and the vector unit gradients give the bits of the plain cell-list iteration, on
// objects of many shapes, including the cells they must leave at 0.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <ostream>
#include <random>
#include <tuple>
#include <vector>

#include "core/runtime/srt.h"
#include "pelmarinex/deviverozo_new/diffusion_grid.h"
#include "pelmarinex/deviverozo_new/diffusion_sparse.h"
#include "pelmarinex/deviverozo_new/sarvo_functions.h"

namespace {

namespace grid = pelmarinex::deviverozo_new::sarvo_functions::diffusion::grid;
namespace sparse = pelmarinex::deviverozo_new::sarvo_functions::diffusion::sparse;

enum class Form { Disc, Ring, Sparse, Dense, Pixel, Diagonal };

struct DiffusionCase {
    int64_t ly, lx;
    Form form;
    int64_t iterations;
    bool start_hot;  // random start values at the object's cells, as the closed form leaves them
};

void PrintTo(const DiffusionCase &c, std::ostream *os) {
    static const char *const forms[] = {"disc", "ring", "sparse", "dense", "pixel", "diagonal"};
    *os << c.ly << "x" << c.lx << " " << forms[static_cast<int>(c.form)] << ", " << c.iterations << " iterations"
        << (c.start_hot ? ", hot start" : ", cold start");
}

std::vector<std::pair<int64_t, int64_t>> object_pixels(const DiffusionCase &c, std::mt19937 &rng) {
    std::vector<std::pair<int64_t, int64_t>> px;
    std::uniform_real_distribution<double> u(0.0, 1.0);
    const double cy = (c.ly - 1) / 2.0, cx = (c.lx - 1) / 2.0;
    for (int64_t y = 0; y < c.ly; ++y) {
        for (int64_t x = 0; x < c.lx; ++x) {
            const double d = std::hypot((y - cy) / std::max(1.0, c.ly / 2.0), (x - cx) / std::max(1.0, c.lx / 2.0));
            bool in = false;
            switch (c.form) {
                case Form::Disc: in = d <= 1.0; break;
                case Form::Ring: in = d <= 1.0 && d >= 0.5; break;
                case Form::Sparse: in = u(rng) < 0.3; break;
                case Form::Dense: in = u(rng) < 0.9; break;
                case Form::Pixel: in = y == c.ly / 2 && x == c.lx / 2; break;
                case Form::Diagonal: in = y * c.lx / std::max<int64_t>(1, c.ly) == x; break;
            }
            if (in) px.emplace_back(y, x);
        }
    }
    if (px.empty()) px.emplace_back(c.ly / 2, c.lx / 2);
    return px;
}

// The iteration as written for one cell at a time: the reference.
void reference(std::vector<double> &H, std::vector<double> &S, const std::vector<int64_t> &cells, int64_t w,
               int64_t centre, int64_t iterations) {
    for (int64_t it = 0; it < iterations; ++it) {
        H[centre] += 1.0;
        for (int64_t c : cells) S[c] = H[c - 2] + 2.0 * H[c - 1] + 3.0 * H[c] + 2.0 * H[c + 1] + H[c + 2];
        for (int64_t c : cells)
            H[c] = (S[c - 2 * w] + 2.0 * S[c - w] + 3.0 * S[c] + 2.0 * S[c + w] + S[c + 2 * w]) * grid::kOneOver81;
    }
}

bool same_bits(const double *a, const double *b, int64_t n) { return std::memcmp(a, b, sizeof(double) * n) == 0; }

class StripDiffusion : public ::testing::TestWithParam<DiffusionCase> {
  protected:
    void SetUp() override {
        const DiffusionCase &c = GetParam();
        std::mt19937 rng(static_cast<unsigned>(c.ly * 977 + c.lx * 31 + static_cast<int>(c.form)));
        ASSERT_TRUE(grid::shape_of(c.ly, c.lx, &shape));
        const auto px = object_pixels(c, rng);
        for (const auto &[y, x] : px) cells.push_back(shape.cell(y, x));
        centre_y = px[px.size() / 2].first;
        centre_x = px[px.size() / 2].second;
        centre = cells[cells.size() / 2];
        start.assign(shape.cells, 0.0);
        std::uniform_real_distribution<double> heat(0.0, 2.0);
        if (c.start_hot)
            for (int64_t cell : cells) start[cell] = heat(rng);
        mask.assign(shape.cells, 0);
        for (int64_t cell : cells) mask[cell] = ~uint64_t{0};

        expected = start;
        std::vector<double> scratch(shape.cells, 0.0);
        reference(expected, scratch, cells, shape.width, centre, c.iterations);
    }

    // Runs one build on fresh grids, in strips of `lanes` columns; returns the grid that holds
    // the final heat.
    std::vector<double> run(void (*build)(const grid::Job &), int64_t lanes) {
        std::vector<grid::Strip> strips(shape.strips(lanes));
        int64_t rows;
        const int64_t nstrips = grid::strips_of(shape, mask.data(), lanes, strips.data(), &rows);
        grids[0] = start;
        grids[1].assign(shape.cells, 0.0);
        // A cold start is 0 everywhere: the passes may leave out the cells the heat cannot have
        // reached yet. A hot start may hold heat anywhere.
        build(grid::Job{{grids[0].data(), grids[1].data()}, mask.data(), shape.width, strips.data(), nstrips, lanes,
                        centre, GetParam().iterations, GetParam().start_hot ? -1 : 0, centre_y, centre_x});
        return grids[GetParam().iterations > 0 ? GetParam().iterations % 2 : 0];
    }

    grid::Shape shape;
    std::vector<int64_t> cells;
    int64_t centre = 0, centre_y = 0, centre_x = 0;
    std::vector<double> start, expected;
    std::vector<uint64_t> mask;
    std::vector<double> grids[2];
};

TEST_P(StripDiffusion, BaselineBuildGivesTheCellListBits) {
    for (int64_t lanes : {grid::kLanes, grid::kWideLanes}) {
        const auto heat = run(grid::diffuse_baseline, lanes);
        EXPECT_TRUE(same_bits(heat.data(), expected.data(), shape.cells)) << lanes << " lanes";
    }
}

TEST_P(StripDiffusion, Avx2BuildGivesTheCellListBits) {
    if (!grid::avx2_available()) GTEST_SKIP() << "no AVX2 on this machine";
    const auto heat = run(grid::diffuse_avx2, grid::kLanes);
    EXPECT_TRUE(same_bits(heat.data(), expected.data(), shape.cells));
}

TEST_P(StripDiffusion, Avx512BuildGivesTheCellListBits) {
    if (!grid::avx512_available()) GTEST_SKIP() << "no AVX-512 on this machine";
    const auto heat = run(grid::diffuse_avx512, grid::kWideLanes);
    EXPECT_TRUE(same_bits(heat.data(), expected.data(), shape.cells));
}

TEST_P(StripDiffusion, BothGridsStayZeroOffTheObject) {
    run(grid::diffuse, grid::strip_lanes());
    for (int64_t c = 0; c < shape.cells; ++c) {
        if (mask[c]) continue;
        ASSERT_EQ(std::signbit(grids[0][c]) || grids[0][c] != 0.0, false) << "cell " << c;
        ASSERT_EQ(std::signbit(grids[1][c]) || grids[1][c] != 0.0, false) << "cell " << c;
    }
}

TEST_P(StripDiffusion, CellListFormGivesTheSameBits) {
    std::vector<double> H = start, S(shape.cells, 0.0);
    grid::diffuse_cells(H.data(), S.data(), cells.data(), static_cast<int64_t>(cells.size()), shape.width, centre,
                        GetParam().iterations);
    EXPECT_TRUE(same_bits(H.data(), expected.data(), shape.cells));
}

// The same pixels on a table of their own cells, listed out of order and one of them twice.
TEST_P(StripDiffusion, TableOfTheObjectsCellsGivesTheSameBits) {
    std::vector<int32_t> ys, xs;
    for (int64_t j = static_cast<int64_t>(cells.size()) - 1; j >= 0; --j) {
        const int64_t c = cells[j];
        ys.push_back(static_cast<int32_t>(c / shape.width - grid::kMarginRows));
        xs.push_back(static_cast<int32_t>(c % shape.width - grid::kMarginLeft));
    }
    ys.push_back(ys[0]);
    xs.push_back(xs[0]);
    const auto n = static_cast<int64_t>(ys.size());
    std::vector<int64_t> keys(n), slot(n);
    std::vector<sparse::Near> near(n);
    const int64_t u = sparse::build(ys.data(), xs.data(), n, keys.data(), slot.data(), near.data());
    ASSERT_EQ(u, static_cast<int64_t>(cells.size()));
    std::vector<double> H(u + 1, 0.0), S(u + 1, 0.0);
    int64_t centre_slot = -1;
    for (int64_t j = 0; j < n; ++j) {
        const int64_t c = shape.cell(ys[j], xs[j]);
        H[slot[j]] = start[c];
        if (c == centre) centre_slot = slot[j];
    }
    sparse::diffuse(H.data(), S.data(), near.data(), u, centre_slot, GetParam().iterations);
    for (int64_t j = 0; j < n; ++j) {
        const double want = expected[shape.cell(ys[j], xs[j])];
        ASSERT_EQ(std::memcmp(&H[slot[j]], &want, sizeof(double)), 0) << "pixel " << ys[j] << ", " << xs[j];
    }
    EXPECT_EQ(std::signbit(H[u]) || H[u] != 0.0, false);
}

INSTANTIATE_TEST_SUITE_P(
    Objects, StripDiffusion,
    ::testing::Values(DiffusionCase{1, 1, Form::Pixel, 3, false}, DiffusionCase{1, 9, Form::Dense, 10, true},
                      DiffusionCase{9, 1, Form::Dense, 10, true}, DiffusionCase{2, 2, Form::Dense, 4, false},
                      DiffusionCase{5, 3, Form::Disc, 8, false}, DiffusionCase{7, 5, Form::Disc, 12, true},
                      DiffusionCase{35, 35, Form::Disc, 70, false}, DiffusionCase{36, 33, Form::Disc, 69, true},
                      DiffusionCase{40, 41, Form::Ring, 81, false}, DiffusionCase{30, 29, Form::Sparse, 59, true},
                      DiffusionCase{23, 17, Form::Dense, 1, true}, DiffusionCase{23, 17, Form::Dense, 2, false},
                      DiffusionCase{60, 7, Form::Diagonal, 67, false}, DiffusionCase{12, 12, Form::Disc, 0, true},
                      DiffusionCase{57, 61, Form::Disc, 5, false}, DiffusionCase{64, 9, Form::Dense, 3, false},
                      DiffusionCase{9, 64, Form::Ring, 7, false}));

// Unit gradients: random log-heat grids, every lane position in a group of four, and a norm of 0.
class VectorGradients : public ::testing::TestWithParam<int64_t> {};

TEST_P(VectorGradients, Avx2LanesGiveTheBaselineBits) {
    if (!grid::avx2_available()) GTEST_SKIP() << "no AVX2 on this machine";
    const int64_t n = GetParam();
    grid::Shape shape;
    ASSERT_TRUE(grid::shape_of(13, 11, &shape));
    std::mt19937 rng(static_cast<unsigned>(n));
    std::uniform_real_distribution<double> value(0.0, 3.0);
    std::vector<double> L(shape.cells, 0.0);
    std::vector<int64_t> cells;
    // Random cells, and runs of neighbouring cells as pixels collected in row order give.
    for (int64_t j = 0; j < n; ++j) {
        const int64_t y = rng() % 13, x = rng() % 11;
        if (j % 3 == 0 && x + 5 <= 11) {
            for (int64_t k = 0; k < 5 && j < n; ++k, ++j) cells.push_back(shape.cell(y, x + k));
            --j;
        } else {
            cells.push_back(shape.cell(y, x));
        }
    }
    for (int64_t c : cells) L[c] = value(rng);
    std::vector<double> a(2 * n + 1, -7.0), b(2 * n + 1, -7.0);
    ASSERT_TRUE(grid::unit_gradients_baseline(L.data(), cells.data(), n, shape.width, a.data()));
    ASSERT_TRUE(grid::unit_gradients_avx2(L.data(), cells.data(), n, shape.width, b.data()));
    EXPECT_TRUE(same_bits(a.data(), b.data(), 2 * n + 1));
}

INSTANTIATE_TEST_SUITE_P(Lengths, VectorGradients, ::testing::Values(1, 3, 4, 5, 8, 11, 64, 143));

// A one-pixel object (all neighbours 0) gets (0, 0); an infinite neighbour gives inf * 0 = NaN
// in one component and 0 or the sign in the other. Both builds must agree on every bit.
TEST(VectorGradientsEdges, ZeroAndInfiniteNeighboursGiveTheSameBitsInBothBuilds) {
    if (!grid::avx2_available()) GTEST_SKIP() << "no AVX2 on this machine";
    grid::Shape shape;
    ASSERT_TRUE(grid::shape_of(5, 5, &shape));
    std::vector<double> L(shape.cells, 0.0);
    L[shape.cell(0, 2)] = std::numeric_limits<double>::infinity();
    L[shape.cell(3, 4)] = -std::numeric_limits<double>::infinity();
    std::vector<int64_t> cells = {shape.cell(1, 2), shape.cell(4, 0), shape.cell(3, 3), shape.cell(2, 4),
                                  shape.cell(2, 2)};
    std::vector<double> a(10), b(10);
    ASSERT_TRUE(grid::unit_gradients_baseline(L.data(), cells.data(), 5, shape.width, a.data()));
    ASSERT_TRUE(grid::unit_gradients_avx2(L.data(), cells.data(), 5, shape.width, b.data()));
    EXPECT_TRUE(same_bits(a.data(), b.data(), 10));
    EXPECT_EQ(a[2], 0.0);  // the isolated pixel (4, 0)
    EXPECT_EQ(a[3], 0.0);
}

// Collecting a label's pixels from a mask row: the same columns, in order, from both builds.
class RowCollection : public ::testing::TestWithParam<int64_t> {};

TEST_P(RowCollection, Avx2BuildKeepsTheSameColumnsInOrder) {
    if (!grid::avx2_available()) GTEST_SKIP() << "no AVX2 on this machine";
    const int64_t n = GetParam();
    std::mt19937 rng(static_cast<unsigned>(n * 3 + 1));
    std::vector<uint32_t> row(n);
    // Runs of the label, other labels, background, and the label at both ends.
    for (int64_t x = 0; x < n; ++x) row[x] = (x / 5) % 3 == 0 ? 7u : static_cast<uint32_t>(rng() % 9);
    if (n > 0) row[0] = row[n - 1] = 7;
    std::vector<int32_t> ya(n + 1, -1), xa(n + 1, -1), yb(n + 1, -1), xb(n + 1, -1);
    const int64_t ka = grid::collect_row_baseline(row.data(), n, 7, 42, ya.data(), xa.data());
    const int64_t kb = grid::collect_row_avx2(row.data(), n, 7, 42, yb.data(), xb.data());
    ASSERT_EQ(ka, kb);
    int64_t expected = 0;
    for (int64_t x = 0; x < n; ++x) {
        if (row[x] != 7) continue;
        ASSERT_EQ(xa[expected], x);
        ASSERT_EQ(xb[expected], x);
        ASSERT_EQ(yb[expected], 42);
        ++expected;
    }
    EXPECT_EQ(ka, expected);
}

INSTANTIATE_TEST_SUITE_P(Lengths, RowCollection, ::testing::Values(1, 7, 8, 9, 16, 37, 64, 250));

// The centre search's distances and sums: the same bits from both builds.
class CentreSearch : public ::testing::TestWithParam<int64_t> {};

TEST_P(CentreSearch, Avx2BuildGivesTheSameDistancesAndSum) {
    if (!grid::avx2_available()) GTEST_SKIP() << "no AVX2 on this machine";
    const int64_t n = GetParam();
    std::mt19937 rng(static_cast<unsigned>(n + 11));
    std::vector<int32_t> ys(n), xs(n);
    for (int64_t j = 0; j < n; ++j)
        ys[j] = static_cast<int32_t>(rng()) - (1 << 30), xs[j] = static_cast<int32_t>(rng() % 5000);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (double ym : {2.0, 2.5e8, -1.0 / 3, nan}) {
        std::vector<double> a(n + 1, -1.0), b(n + 1, -1.0);  // the entry past n must stay untouched
        grid::squared_distances_baseline(ys.data(), xs.data(), n, ym, 1.25, a.data());
        grid::squared_distances_avx2(ys.data(), xs.data(), n, ym, 1.25, b.data());
        EXPECT_TRUE(same_bits(a.data(), b.data(), n + 1)) << "ym " << ym;
        EXPECT_EQ(b[n], -1.0);
    }
    EXPECT_EQ(grid::sum_baseline(ys.data(), n), grid::sum_avx2(ys.data(), n));
}

INSTANTIATE_TEST_SUITE_P(Lengths, CentreSearch, ::testing::Values(1, 3, 8, 9, 15, 16, 17, 64, 333));

// The per-pixel passes of one object (extent, cells, squared offsets from the centre): the same
// results from both builds, including an offset too large for the table at each place.
class PixelPasses : public ::testing::TestWithParam<int64_t> {};

TEST_P(PixelPasses, Avx2BuildGivesTheBaselineResults) {
    if (!grid::avx2_available()) GTEST_SKIP() << "no AVX2 on this machine";
    const int64_t n = GetParam();
    std::mt19937 rng(static_cast<unsigned>(n * 7 + 5));
    std::vector<int32_t> ys(n), xs(n);
    for (int64_t j = 0; j < n; ++j)
        ys[j] = static_cast<int32_t>(rng() % 300) + 1000, xs[j] = static_cast<int32_t>(rng() % 90);
    const grid::Extent a = grid::extent_baseline(ys.data(), xs.data(), n), b = grid::extent_avx2(ys.data(), xs.data(), n);
    EXPECT_EQ(std::make_tuple(a.y0, a.y1, a.x0, a.x1), std::make_tuple(b.y0, b.y1, b.x0, b.x1));
    EXPECT_EQ(a.y0, *std::min_element(ys.begin(), ys.end()));
    EXPECT_EQ(a.x1, *std::max_element(xs.begin(), xs.end()));

    grid::Shape shape;
    ASSERT_TRUE(grid::shape_of(a.y1 - a.y0 + 1, a.x1 - a.x0 + 1, &shape));
    std::vector<int64_t> ca(n + 1, -1), cb(n + 1, -1);
    grid::cells_baseline(ys.data(), xs.data(), n, a, shape.width, ca.data());
    grid::cells_avx2(ys.data(), xs.data(), n, a, shape.width, cb.data());
    EXPECT_EQ(ca, cb);
    EXPECT_EQ(ca[n - 1], shape.cell(ys[n - 1] - a.y0, xs[n - 1] - a.x0));

    std::vector<int64_t> sa(n, -1), sb(n, -1);
    const int32_t cy = ys[n / 2], cx = xs[n / 2];
    const int64_t bound = grid::squared_offsets_baseline(ys.data(), xs.data(), n, cy, cx, sa.data());
    EXPECT_EQ(bound, grid::squared_offsets_avx2(ys.data(), xs.data(), n, cy, cx, sb.data()));
    EXPECT_EQ(sa, sb);
    EXPECT_EQ(bound, *std::max_element(sa.begin(), sa.end()) + 1);
    // One offset of 2^26 rows or columns, either sign, anywhere: no table.
    for (int64_t j : {int64_t{0}, n / 2, n - 1}) {
        for (int32_t far : {cy + (1 << 26), cy - (1 << 26)}) {
            auto y2 = ys;
            y2[j] = far;
            EXPECT_EQ(grid::squared_offsets_baseline(y2.data(), xs.data(), n, cy, cx, sa.data()), 0);
            EXPECT_EQ(grid::squared_offsets_avx2(y2.data(), xs.data(), n, cy, cx, sb.data()), 0) << j;
        }
        auto x2 = xs;
        x2[j] = cx + (1 << 26) - 1;  // the largest offset the table takes
        EXPECT_EQ(grid::squared_offsets_avx2(ys.data(), x2.data(), n, cy, cx, sb.data()),
                  grid::squared_offsets_baseline(ys.data(), x2.data(), n, cy, cx, sa.data()));
        EXPECT_EQ(sa, sb);
    }
}

INSTANTIATE_TEST_SUITE_P(Lengths, PixelPasses, ::testing::Values(1, 3, 4, 8, 9, 15, 16, 17, 333));

// ---------------------------------------------------------------------------------------------
// The kernel as a whole: the closed form by distance or per pixel, the strips or the cell list,
// against a plain transcription of the documented steps (cell-list layout: w = lx + 2).

namespace K = pelmarinex::deviverozo_new::sarvo_functions;

std::vector<double> transcribed_extend_centers(const std::vector<int32_t> &ys, const std::vector<int32_t> &xs,
                                               int32_t ly, int32_t lx, double approx_frac) {
    const auto n = static_cast<int64_t>(ys.size());
    double sy = 0, sx = 0;
    for (int32_t v : ys) sy += v;
    for (int32_t v : xs) sx += v;
    const double ym = sy / n, xm = sx / n;
    int64_t j0 = 0;
    double best = 0;
    for (int64_t j = 0; j < n; ++j) {
        const double d = (ys[j] - ym) * (ys[j] - ym) + (xs[j] - xm) * (xs[j] - xm);
        if (j == 0 || d < best) best = d, j0 = j;
    }
    const int64_t w = lx + 2, size = (int64_t{ly} + 4) * w + 2;
    std::vector<double> H(size, 0.0), S(size, 0.0);
    std::vector<int64_t> cell(n);
    for (int64_t j = 0; j < n; ++j) cell[j] = (int64_t{ys[j]} + 2) * w + xs[j] + 2;
    const int64_t cc = (int64_t{ys[j0]} + 2) * w + xs[j0] + 2;
    const int64_t niter = int64_t{ly} + lx;
    const auto n0 = static_cast<int64_t>(static_cast<double>(niter) * approx_frac);
    int64_t m = niter;
    if (n0 > 0) {
        for (int64_t j = 0; j < n; ++j) {
            const int64_t dy = ys[j] - ys[j0], dx = xs[j] - xs[j0];
            const double r = 0.75 * static_cast<double>(dy * dy + dx * dx);
            const double e = r / static_cast<double>(n0 + 1);
            const double v = r == 0 ? std::log1p(static_cast<double>(n0))
                                    : std::log1p(1 / e) * std::exp(-e) - std::log1p(1 / r) * std::exp(-r);
            H[cell[j]] = v * 0.238732414637843;
        }
        m = niter - n0;
    }
    reference(H, S, cell, w, cc, m);
    for (double &v : H) v = std::log1p(v);
    std::vector<double> out(2 * n);
    for (int64_t j = 0; j < n; ++j) {
        const int64_t c = cell[j];
        const double gy = H[c + w] - H[c - w], gx = H[c + 1] - H[c - 1];
        const double q = 1.0 / (std::sqrt(gx * gx + gy * gy) + 1e-60);
        out[2 * j] = gy * q;
        out[2 * j + 1] = gx * q;
    }
    return out;
}

struct ObjectCase {
    const char *name;
    int32_t ly, lx;
    std::vector<std::pair<int32_t, int32_t>> pixels;
};

std::vector<ObjectCase> object_cases() {
    std::vector<ObjectCase> cases;
    ObjectCase disc{"disc", 31, 29, {}};
    for (int32_t y = 0; y < 31; ++y)
        for (int32_t x = 0; x < 29; ++x)
            if ((y - 15) * (y - 15) + (x - 14) * (x - 14) <= 196) disc.pixels.emplace_back(y, x);
    cases.push_back(disc);
    // Two far pixels in a long box: a distance table would be far larger than the object, and
    // the strips nearly empty, so the per-pixel closed form and the cell list run.
    cases.push_back(ObjectCase{"long_sparse", 2, 400, {{0, 0}, {1, 399}, {1, 200}}});
    ObjectCase comb{"comb", 12, 40, {}};  // thin teeth: many short strips
    for (int32_t y = 0; y < 12; ++y)
        for (int32_t x = 0; x < 40; ++x)
            if (y == 0 || x % 5 == 0) comb.pixels.emplace_back(y, x);
    cases.push_back(comb);
    // Pixels listed twice and out of order, as a Python caller may pass them.
    ObjectCase repeated{"repeated", 9, 13, {}};
    for (int32_t y = 8; y >= 0; --y)
        for (int32_t x = 0; x < 13; ++x)
            if ((y + x) % 4 != 0) repeated.pixels.emplace_back(y, x);
    repeated.pixels.insert(repeated.pixels.end(), repeated.pixels.begin(), repeated.pixels.begin() + 20);
    cases.push_back(repeated);
    return cases;
}

class KernelPaths : public ::testing::TestWithParam<double> {};

TEST_P(KernelPaths, ExtendCentersGivesTheTranscribedBits) {
    for (const ObjectCase &c : object_cases()) {
        std::vector<int32_t> ys, xs;
        for (const auto &[y, x] : c.pixels) ys.push_back(y), xs.push_back(x);
        const auto n = static_cast<int64_t>(ys.size());
        const K::Array<const int32_t, 1> ya{nullptr, nullptr, n, 4, ys.data(), {n}, {4}};
        const K::Array<const int32_t, 1> xa{nullptr, nullptr, n, 4, xs.data(), {n}, {4}};
        K::Array<double, 2> out{};
        const excinfo_t *exc = nullptr;
        ASSERT_EQ(K::_extend_centers(&out, &exc, ya, xa, c.ly, c.lx, GetParam()), sarvo::kOk) << c.name;
        const auto expected = transcribed_extend_centers(ys, xs, c.ly, c.lx, GetParam());
        EXPECT_TRUE(same_bits(out.data, expected.data(), 2 * n)) << c.name;
        SRT_decref(out.meminfo);
    }
}

INSTANTIATE_TEST_SUITE_P(Shares, KernelPaths, ::testing::Values(0.0, 0.3, 0.5, 0.999, 1.0, 2.5));

}  // namespace
