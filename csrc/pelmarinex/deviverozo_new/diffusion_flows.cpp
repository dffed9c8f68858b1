// Diffusion flows from masks: _approximate_diffusion (closed form of the first iterations),
// _extend_centers (the flow of one object given as a pixel list) and _masks_to_flow (the flow
// of every object of a label mask).
//
// dy, dx, ys, xs: int32 1-D, C-contiguous; a list of length 1 is broadcast against the other.
// masks: uint32 (Ly, Lx), C-contiguous; object k carries label k + 1.
// slices: int32 (nobj, 2, >= 2), C-contiguous; slices[k] = [[y0, y1], [x0, x1]].
// Results: float64 (n,) closed-form values; float64 (n, 2) unit vectors, column 0 the row
// component; float64 (2, Ly, Lx) flow field, channel 0 the row component.
//
// One implementation serves the kernels that Python calls and the runs that _masks_to_flow and
// compute_flow_error_cell_size make, so both give the same bits.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#include "np/old_arraymath.h"
#include "np/shape_context.h"
#include "pelmarinex/deviverozo_new/diffusion.h"
#include "pelmarinex/deviverozo_new/diffusion_sparse.h"
#include "pelmarinex/deviverozo_new/fresh_array.h"
#include "pelmarinex/deviverozo_new/sarvo_functions.h"
#include "core/pickled_constants.h"

namespace pelmarinex::deviverozo_new::sarvo_functions {
namespace diffusion {
namespace {

using sarvo::kOk;
namespace records = sarvo::records;

constexpr double kThreeOverFourPi = 0.238732414637843;  // the float64 nearest to 3/(4 pi)

// Python slice resolution of one bound with step 1.
int64_t resolve_bound(int64_t bound, int64_t extent) {
    if (bound < 0) bound += extent;
    if (bound < 0) return 0;
    return bound > extent ? extent : bound;
}

/* Closed form of niter smoothing iterations at squared distance r = 0.75 (dy^2 + dx^2):
   g(r / (niter + 1)) - g(r) with g(z) = exp(-z) log1p(1/z), or log1p(niter) at the source
   itself, times 3/(4 pi). offset(j, &dy, &dx) supplies the offsets and store(j, value) takes
   each value, in index order. */
template <class Offset, class Store>
int32_t closed_form(ExcSlot exc, int64_t n, int32_t niter, Offset offset, Store store) {
    const double at_source = std::log1p(static_cast<double>(niter));
    const double steps = static_cast<double>(int64_t{niter} + 1);
    for (int64_t j = 0; j < n; ++j) {
        int32_t dy, dx;
        offset(j, &dy, &dx);
        const double r = 0.75 * static_cast<double>(wrapping_add(square_through_double(dy), square_through_double(dx)));
        double v;
        if (r == 0) {
            v = at_source;
        } else {
            if (niter == -1) return sarvo::raise(exc, records::division_by_zero);
            const double e = r / steps;
            if (e == 0) return sarvo::raise(exc, records::division_by_zero);
            v = std::log1p(1.0 / e) * std::exp(-e) - std::log1p(1.0 / r) * std::exp(-r);
        }
        store(j, v * kThreeOverFourPi);
    }
    return kOk;
}

/* The closed form's value at one squared distance s (r = 0.75 s) for niter >= 1, where no
   division error can occur: r is 0 or at least 0.75, so e = r / (niter + 1) > 0. */
double closed_form_at(int64_t s, int32_t niter) {
    const double r = 0.75 * static_cast<double>(s);
    if (r == 0) return std::log1p(static_cast<double>(niter)) * kThreeOverFourPi;
    const double e = r / static_cast<double>(int64_t{niter} + 1);
    return (std::log1p(1.0 / e) * std::exp(-e) - std::log1p(1.0 / r) * std::exp(-r)) * kThreeOverFourPi;
}

/* Whether the closed form goes by distance (below) for n offsets with this bound: the table
   pays when it is not much larger than the list (a few pixels far apart would need a table far
   larger than themselves). */
bool by_distance_pays(int32_t niter, int64_t bound, int64_t n) {
    return niter >= 1 && bound > 0 && bound <= std::max<int64_t>(8 * n, 1 << 16);
}

/* The closed form by distance: a value depends on the squared offset s and niter alone, the
   library functions are deterministic, and offsets repeat their distance often (an object holds
   up to eight pixels at each one: signs and swapped offsets). So every distance that occurs is
   marked, each marked one computed once, and every offset takes its value from the table, in
   index order through store(j, value): the same bits as a computation per offset. Needs
   niter >= 1 and the n squared offsets, all below bound, from grid::squared_offsets_by. */
template <class Store>
int32_t closed_form_by_distance(ExcSlot exc, int64_t n, int32_t niter, int64_t bound, const int64_t *squared,
                                Store store, Workspace &ws) {
    if (int32_t st = ws.memo.reserve(bound, exc)) return st;
    if (int32_t st = ws.known.reserve(bound, exc)) return st;
    double *const values = ws.memo.data();
    uint8_t *const known = ws.known.data();
    std::memset(known, 0, static_cast<size_t>(bound));
    for (int64_t j = 0; j < n; ++j) known[squared[j]] = 1;
    for (int64_t s = 0; s < bound; ++s)
        if (known[s]) values[s] = closed_form_at(s, niter);
    for (int64_t j = 0; j < n; ++j) store(j, values[squared[j]]);
    return kOk;
}

// Whether grid[cells[j]] has the bits of values[j] for every j.
bool same_bits_at(const double *grid, const int64_t *cells, int64_t n, const double *values) {
    for (int64_t j = 0; j < n; ++j)
        if (std::bit_cast<uint64_t>(grid[cells[j]]) != std::bit_cast<uint64_t>(values[j])) return false;
    return true;
}

/* Runs m iterations as step(k, done, cur) runs them: k iterations after the first `done`, the
   heat in heat[cur] before them; step returns the grid that holds it after them.

   An iteration reads nothing but the heat at the object's cells (the scratch values are formed
   afresh from it, and every other cell holds 0), so one that leaves that heat as it was, bit
   for bit, leaves it so for good, and so does every later one. The iterations therefore run in
   rounds whose last iteration is compared with the heat before it, and the run ends at the
   first round that changes nothing: a few pixels in a box of huge extents settle within some
   dozens of iterations instead of running for as many as the extents ask. previous needs room
   for n values. Returns the grid that ends with the heat. */
template <class Step>
int settle(int64_t m, const int64_t *cells, int64_t n, double *previous, double *const heat[2], Step step) {
    constexpr int64_t kRound = 32;
    int cur = 0;
    for (int64_t done = 0; done < m;) {
        const int64_t k = std::min(m - done, kRound);
        if (k > 1) cur = step(k - 1, done, cur);
        for (int64_t j = 0; j < n; ++j) previous[j] = heat[cur][cells[j]];
        cur = step(1, done + k - 1, cur);
        done += k;
        if (same_bits_at(heat[cur], cells, n, previous)) break;
    }
    return cur;
}

/* m iterations of the diffusion on heat[0], using heat[1] (zeros) as the second grid; sets
   *final to the grid that ends with the heat. reach as in grid::Job. Objects that fill their
   strips well enough go strip by strip in vector lanes; sparse ones, for which the strips would
   be mostly empty, visit their cell list. Both give the same bits. */
int32_t run_diffusion(int *final, ExcSlot exc, const grid::Shape &shape, double *const heat[2], const int64_t *cells,
                      int64_t n, const Centre &box_centre, int64_t reach, int64_t m, Workspace &ws) {
    const int64_t centre_y = box_centre.y, centre_x = box_centre.x;
    const int64_t centre = shape.cell(centre_y, centre_x);
    if (int32_t st = ws.mask.reserve(shape.cells, exc)) return st;
    const int64_t lanes = grid::strip_lanes();
    if (int32_t st = ws.strips.reserve(shape.strips(lanes), exc)) return st;
    if (int32_t st = ws.previous.reserve(n, exc)) return st;
    uint64_t *const mask = ws.mask.data();
    std::memset(mask, 0, sizeof(uint64_t) * shape.cells);
    for (int64_t j = 0; j < n; ++j) mask[cells[j]] = ~uint64_t{0};
    int64_t rows;
    const int64_t nstrips = grid::strips_of(shape, mask, lanes, ws.strips.data(), &rows);
    // A strip step costs about as much as one cell of the cell list.
    if ((rows + 2 * nstrips) > n) {
        *final = settle(m, cells, n, ws.previous.data(), heat, [&](int64_t k, int64_t, int) {
            grid::diffuse_cells(heat[0], heat[1], cells, n, shape.width, centre, k);
            return 0;
        });
        return kOk;
    }
    *final = settle(m, cells, n, ws.previous.data(), heat, [&](int64_t k, int64_t done, int cur) {
        // The heat has spread 2 * done cells farther than reach by now.
        grid::diffuse(grid::Job{{heat[cur], heat[1 - cur]}, mask, shape.width, ws.strips.data(), nstrips, lanes, centre,
                                k, reach < 0 ? -1 : reach + 2 * done, centre_y, centre_x});
        return static_cast<int>((cur + k) % 2);
    });
    return kOk;
}

/* A grid of the pixels' extent costs 24 bytes per cell (two heat grids and the mask), the
   table about 100 bytes per pixel; the grid, which the strip-wise passes run fastest on, is
   kept while it has at most this many cells per pixel, and beyond a small floor. */
constexpr int64_t kDenseCellsPerPixel = 16;
constexpr int64_t kDenseCellsExtra = int64_t{1} << 16;

// The index of the first pixel at the centre (which is one of them).
int64_t centre_index(const PixelList &px, const Centre &centre) {
    int64_t j = 0;
    while (px.ys[j] != centre.y || px.xs[j] != centre.x) ++j;
    return j;
}

/* The mean of n > 0 int32 values, summed as float64 in index order. Below 2^22 values every
   partial sum is an integer of magnitude under 2^53, which float64 holds exactly, so the sum in
   int64 converted once gives the same bits. */
double mean_of(const int32_t *v, int64_t n) {
    double sum = 0.0;
    if (n < (int64_t{1} << 22)) {
        sum = static_cast<double>(grid::avx2_available() ? grid::sum_avx2(v, n) : grid::sum_baseline(v, n));
    } else {
        for (int64_t j = 0; j < n; ++j) sum += static_cast<double>(v[j]);
    }
    return sum / static_cast<double>(n);
}

}  // namespace

Box read_box(const Array<const int32_t, 3> &slices, int64_t k, int64_t height, int64_t width) {
    Box b;
    b.y0 = sarvo::read_once(slices(k, 0, 0));
    b.y1 = sarvo::read_once(slices(k, 0, 1));
    b.x0 = sarvo::read_once(slices(k, 1, 0));
    b.x1 = sarvo::read_once(slices(k, 1, 1));
    b.ry0 = resolve_bound(b.y0, height);
    b.ry1 = resolve_bound(b.y1, height);
    b.rx0 = resolve_bound(b.x0, width);
    b.rx1 = resolve_bound(b.x1, width);
    return b;
}

int32_t check_boxes(ExcSlot exc, const Array<const int32_t, 3> &slices, int64_t height, int64_t width) {
    for (int64_t k = 0; k < slices.shape[0]; ++k) {
        const Box box = read_box(slices, k, height, width);
        if (!box.skipped() && box.beyond_extents()) return sarvo::raise(exc, records::box_beyond_extents);
    }
    return kOk;
}

// The uint32 mask value and the label are compared as 64-bit integers.
int64_t count_label(const Array<const uint32_t, 2> &masks, const Box &box, int64_t label) {
    int64_t count = 0;
    if (box.region_empty()) return 0;  // a tall box over no column would walk its rows for nothing
    for (int64_t y = box.ry0; y < box.ry1; ++y) {
        const uint32_t *row = &masks(y, 0);
        for (int64_t x = box.rx0; x < box.rx1; ++x) count += int64_t{row[x]} == label;
    }
    return count;
}

int64_t collect_label(const Array<const uint32_t, 2> &masks, const Box &box, int64_t label, int32_t *ys, int32_t *xs) {
    // The uint32 mask value and the label are compared as 64-bit integers: a label beyond the
    // uint32 range is on no pixel.
    if (label < 0 || label > UINT32_MAX || box.region_empty()) return 0;
    const bool vector = grid::avx2_available();
    int64_t j = 0;
    for (int64_t y = box.ry0; y < box.ry1; ++y) {
        const uint32_t *row = &masks(y, box.rx0);
        const auto local_y = static_cast<int32_t>(y - box.ry0);
        const auto l = static_cast<uint32_t>(label);
        j += vector ? grid::collect_row_avx2(row, box.cols(), l, local_y, ys + j, xs + j)
                    : grid::collect_row_baseline(row, box.cols(), l, local_y, ys + j, xs + j);
    }
    return j;
}

bool broadcast_length(int64_t n1, int64_t n2, int64_t *n) {
    if (n2 == 1) *n = n1;
    else if (n1 == 1) *n = n2;
    else if (n1 == n2) *n = n1;
    else return false;
    return true;
}

int32_t make_pixel_list(PixelList *out, ExcSlot exc, const int32_t *ys, int64_t ny, const int32_t *xs, int64_t nx) {
    if (ny == 0 || nx == 0) return sarvo::raise(exc, records::division_by_zero);
    int64_t n;
    if (!broadcast_length(ny, nx, &n)) return sarvo::raise(exc, records::broadcast_argument_2);
    *out = PixelList{ys, ny, xs, nx, n};
    return kOk;
}

int32_t own_pixel_list(PixelList *out, ExcSlot exc, const int32_t *ys, int64_t ny, const int32_t *xs, int64_t nx,
                       Workspace &ws) {
    if (int32_t st = make_pixel_list(out, exc, ys, ny, xs, nx)) return st;
    if (int32_t st = ws.given_ys.reserve(ny, exc)) return st;
    if (int32_t st = ws.given_xs.reserve(nx, exc)) return st;
    std::memcpy(ws.given_ys.data(), ys, sizeof(int32_t) * ny);
    std::memcpy(ws.given_xs.data(), xs, sizeof(int32_t) * nx);
    out->ys = ws.given_ys.data();
    out->xs = ws.given_xs.data();
    return kOk;
}

int32_t own_boxes(sarvo::Owned<Array<int32_t, 3>> &own, ExcSlot exc, const Array<const int32_t, 3> &slices) {
    const int64_t nobj = slices.shape[0];
    if (int32_t st = sarvo::create_array(&own.rec, {nobj, 2, 2}, sarvo::Fill::Uninitialised, exc, false)) return st;
    for (int64_t k = 0; k < nobj; ++k)
        for (int a = 0; a < 2; ++a)
            for (int b = 0; b < 2; ++b) own.rec(k, a, b) = sarvo::read_once(slices(k, a, b));
    return kOk;
}

int32_t choose_centre(Centre *out, ExcSlot exc, const PixelList &px, Workspace &ws) {
    const double ym = mean_of(px.ys, px.ny), xm = mean_of(px.xs, px.nx);
    const int64_t n = px.n;
    if (int32_t st = ws.distances.reserve(n, exc)) return st;
    double *const d = ws.distances.data();
    if (px.ny == n && px.nx == n) grid::squared_distances(px.ys, px.xs, n, ym, xm, d);
    else
        for (int64_t j = 0; j < n; ++j) d[j] = grid::squared_distance(px.y(j), px.x(j), ym, xm);
    int64_t j0;
    if (int32_t st = sarvo::array_argmin(&j0, exc, sarvo::borrowed_view(d, n))) return st;
    *out = Centre{px.y(j0), px.x(j0)};
    return kOk;
}

int32_t diffusion_vectors(double *out, ExcSlot exc, const PixelList &given, const Centre &centre, int32_t ly,
                          int32_t lx, double approx_frac, Workspace &ws) {
    const int64_t n = given.n;
    // A list of length 1 broadcast against a longer one is spelled out, so that every loop
    // below reads both lists plainly. (Collected lists never broadcast, so ws.ys and ws.xs
    // are free whenever this copy is needed.)
    PixelList px = given;
    if (given.ny != n || given.nx != n) {
        if (int32_t st = ws.ys.reserve(n, exc)) return st;
        if (int32_t st = ws.xs.reserve(n, exc)) return st;
        for (int64_t j = 0; j < n; ++j) ws.ys.data()[j] = given.y(j), ws.xs.data()[j] = given.x(j);
        px = PixelList{ws.ys.data(), n, ws.xs.data(), n, n};
    }
    /* The grid covers the pixels' own extent, not the box: cells off the object hold +0.0 for
       the whole run and the object's cells see the same neighbourhoods, so the bits are those
       of a grid of the whole box. The centre, where heat is released, is one of the pixels;
       the box extents still fix the number of iterations. Pixels spread so thin that even
       that grid would dwarf their list go on a table of their own cells instead. */
    const grid::Extent ext = grid::extent_of(px.ys, px.xs, n);
    grid::Shape shape;
    const bool dense = grid::shape_of(ext.y1 - ext.y0 + 1, ext.x1 - ext.x0 + 1, &shape) &&
                       shape.cells <= kDenseCellsPerPixel * n + kDenseCellsExtra;
    const int64_t slots_or_cells = dense ? shape.cells : n + 1;  // at most n slots and the zero slot
    if (int32_t st = ws.heat.reserve(slots_or_cells, exc)) return st;
    if (int32_t st = ws.scratch.reserve(slots_or_cells, exc)) return st;
    if (int32_t st = ws.cells.reserve(n, exc)) return st;
    double *const heat[2] = {ws.heat.data(), ws.scratch.data()};
    // cells[j]: pixel j's grid cell, or its slot in the table.
    int64_t *cells = ws.cells.data();
    int64_t slots = 0;
    const Centre grid_centre{static_cast<int32_t>(centre.y - ext.y0), static_cast<int32_t>(centre.x - ext.x0)};
    if (dense) {
        grid::cells_of(px.ys, px.xs, n, ext, shape.width, cells);
        std::memset(heat[0], 0, sizeof(double) * shape.cells);
        std::memset(heat[1], 0, sizeof(double) * shape.cells);
    } else {
        if (int32_t st = ws.keys.reserve(n, exc)) return st;
        if (int32_t st = ws.near.reserve(n, exc)) return st;
        slots = sparse::build(px.ys, px.xs, n, ws.keys.data(), cells, ws.near.data());
        std::memset(heat[0], 0, sizeof(double) * (slots + 1));
        std::memset(heat[1], 0, sizeof(double) * (slots + 1));
    }

    const int64_t niter = int64_t{ly} + lx;
    const int64_t n0 = truncate_to_int64(static_cast<double>(niter) * approx_frac);
    int64_t m = niter;
    if (n0 > 0) {
        // n0 is handed on as int32, as the closed form takes it. Pixels inside a box of int32
        // extents have offsets below 2^31, far from wrapping; only an n0 that wraps to a
        // negative int32 can make the closed form fail, and goes the way of the Python call.
        const auto niter32 = static_cast<int32_t>(n0);
        double *const H = heat[0];
        if (int32_t st = ws.squared.reserve(n, exc)) return st;
        const int64_t bound = grid::squared_offsets(px.ys, px.xs, n, centre.y, centre.x, ws.squared.data());
        if (by_distance_pays(niter32, bound, n)) {
            auto store = [&](int64_t j, double v) { H[cells[j]] = v; };
            if (int32_t st = closed_form_by_distance(exc, n, niter32, bound, ws.squared.data(), store, ws)) return st;
        } else {
            auto offset = [&](int64_t j, int32_t *dy, int32_t *dx) {
                *dy = static_cast<int32_t>(static_cast<uint32_t>(px.y(j)) - static_cast<uint32_t>(centre.y));
                *dx = static_cast<int32_t>(static_cast<uint32_t>(px.x(j)) - static_cast<uint32_t>(centre.x));
            };
            int64_t stored = 0;
            auto store = [&](int64_t j, double v) {
                H[cells[j]] = v;
                ++stored;
            };
            if (int32_t st = closed_form(exc, n, niter32, offset, store)) return st;
            // One value per cell by construction; a mismatch would be a broken invariant.
            if (stored != n) return sarvo::raise_with_shape_context(exc, stored, n);
        }
        m = niter - n0;
    }

    if (!dense) {
        // The centre is a pixel; its slot is found like any other's.
        const int64_t centre_slot = cells[centre_index(px, centre)];
        if (int32_t st = ws.previous.reserve(n, exc)) return st;
        settle(m, cells, n, ws.previous.data(), heat, [&](int64_t k, int64_t, int) {
            sparse::diffuse(heat[0], heat[1], ws.near.data(), slots, centre_slot, k);
            return 0;
        });
        // The scratch values are done with; the zero slot keeps log1p(0) = 0.
        for (int64_t i = 0; i < slots; ++i) heat[1][i] = std::log1p(heat[0][i]);
        if (!sparse::unit_gradients(heat[1], ws.near.data(), cells, n, out))
            return sarvo::raise(exc, records::division_by_zero);
        return kOk;
    }
    int final_heat = 0;
    if (m > 0) {
        // Without the closed form the heat starts as 0 everywhere but at the centre.
        const int64_t reach = n0 > 0 ? -1 : 0;
        if (int32_t st = run_diffusion(&final_heat, exc, shape, heat, cells, n, grid_centre, reach, m, ws)) return st;
    }

    // log1p of the whole grid: cells off the object hold 0 in both grids and log1p(0) = 0, so
    // the other grid, no longer needed, takes the logarithm at the object's cells only.
    const double *const H = heat[final_heat];
    double *const L = heat[1 - final_heat];
    for (int64_t j = 0; j < n; ++j) L[cells[j]] = std::log1p(H[cells[j]]);
    if (!grid::unit_gradients(L, cells, n, shape.width, out)) return sarvo::raise(exc, records::division_by_zero);
    return kOk;
}

}  // namespace diffusion

namespace {

using sarvo::Fill;
using sarvo::kOk;
using sarvo::Owned;
namespace records = sarvo::records;
using namespace diffusion;

/* Zeroes the rows of both channels of a fresh (2, height, width) field in order: up_to(end)
   zeroes the rows from the last end given to end. Rows are zeroed before anything is written to
   them and never again, whatever order the ends come in. */
struct RowZeroing {
    double *field;
    int64_t height, width;
    int64_t done = 0;

    void up_to(int64_t end) {
        if (end <= done) return;
        for (int64_t c = 0; c < 2; ++c)
            std::memset(field + (c * height + done) * width, 0, sizeof(double) * static_cast<size_t>((end - done) * width));
        done = end;
    }
};

// Every pixel inside [0, ly) x [0, lx) (one unsigned compare per bound), extents non-negative.
int32_t check_pixels_in_box(ExcSlot exc, const PixelList &px, int32_t ly, int32_t lx) {
    if (ly < 0 || lx < 0) return sarvo::raise(exc, records::negative_box_extent);
    for (int64_t j = 0; j < px.ny; ++j)
        if (static_cast<uint32_t>(px.ys[j]) >= static_cast<uint32_t>(ly)) return sarvo::raise(exc, records::pixels_outside_box);
    for (int64_t j = 0; j < px.nx; ++j)
        if (static_cast<uint32_t>(px.xs[j]) >= static_cast<uint32_t>(lx)) return sarvo::raise(exc, records::pixels_outside_box);
    return kOk;
}

}  // namespace

int32_t _approximate_diffusion(Array<double, 1> *result, ExcSlot exc, const Array<const int32_t, 1> &dy,
                               const Array<const int32_t, 1> &dx, int32_t niter) {
    const int64_t ny = dy.shape[0], nx = dx.shape[0];
    int64_t n;
    if (!broadcast_length(ny, nx, &n)) return sarvo::raise(exc, records::broadcast_argument_1);
    Owned<Array<double, 1>> out;
    if (int32_t st = sarvo::create_array(&out.rec, {n}, Fill::Uninitialised, exc)) return st;
    double *values = out.rec.data;
    auto store = [values](int64_t j, double v) { values[j] = v; };
    // Offsets usually repeat their distance (they come from objects): by distance then, from
    // squared offsets read once into a private list, so that a thread changing the caller's
    // lists meanwhile cannot move a table index. Otherwise one value per offset.
    Workspace ws;
    int64_t bound = 0;
    if (niter >= 1 && n > 0) {
        if (int32_t st = ws.squared.reserve(n, exc)) return st;
        bound = grid::squared_offsets_by(n, [&](int64_t j, int64_t *y, int64_t *x) {
            *y = sarvo::read_once(dy(ny == 1 ? 0 : j));
            *x = sarvo::read_once(dx(nx == 1 ? 0 : j));
        }, ws.squared.data());
    }
    if (by_distance_pays(niter, bound, n)) {
        if (int32_t st = closed_form_by_distance(exc, n, niter, bound, ws.squared.data(), store, ws)) return st;
        *result = out.release();
        return kOk;
    }
    auto offset = [&](int64_t j, int32_t *y, int32_t *x) {
        *y = dy(ny == 1 ? 0 : j);
        *x = dx(nx == 1 ? 0 : j);
    };
    if (int32_t st = closed_form(exc, n, niter, offset, store)) return st;
    *result = out.release();
    return kOk;
}

int32_t _extend_centers(Array<double, 2> *result, ExcSlot exc, const Array<const int32_t, 1> &ys,
                        const Array<const int32_t, 1> &xs, int32_t ly, int32_t lx, double approx_frac) {
    // The pixels are checked and used from one copy.
    Workspace ws;
    PixelList px;
    if (int32_t st = own_pixel_list(&px, exc, ys.data, ys.shape[0], xs.data, xs.shape[0], ws)) return st;
    if (int32_t st = check_pixels_in_box(exc, px, ly, lx)) return st;
    Centre centre;
    if (int32_t st = choose_centre(&centre, exc, px, ws)) return st;
    Owned<Array<double, 2>> out;
    if (int32_t st = sarvo::create_array(&out.rec, {px.n, 2}, Fill::Uninitialised, exc)) return st;
    if (int32_t st = diffusion_vectors(out.rec.data, exc, px, centre, ly, lx, approx_frac, ws)) return st;
    *result = out.release();
    return kOk;
}

int32_t _masks_to_flow(Array<double, 3> *result, ExcSlot exc, const Array<const uint32_t, 2> &masks,
                       const Array<const int32_t, 3> &slices, double approx_frac) {
    const int64_t height = masks.shape[0], width = masks.shape[1];
    Owned<Array<double, 3>> mu;
    if (int32_t st = create_large_array(&mu.rec, {2, height, width}, Fill::Uninitialised, exc, false)) return st;
    // The field is zeroed row band by row band, just before the first object that writes there,
    // so that the band is still in cache when the object's vectors land in it.
    RowZeroing zero_rows{mu.rec.data, height, width};
    const int64_t nobj = slices.shape[0];
    if (nobj <= 0) {
        zero_rows.up_to(height);
        *result = mu.release();
        return kOk;
    }
    if (slices.shape[1] != 2) return sarvo::raise(exc, records::unpack_masks_to_flow);
    // Only [k, :, 0] and [k, :, 1] are read; a narrower last axis would be read past its end.
    if (slices.shape[2] < 2) return sarvo::raise(exc, records::box_bounds_missing);
    // The boxes are checked and used from one copy.
    Owned<Array<int32_t, 3>> own;
    if (int32_t st = own_boxes(own, exc, slices)) return st;
    const Array<const int32_t, 3> boxes = sarvo::read_only(own.rec);
    if (int32_t st = check_boxes(exc, boxes, height, width)) return st;

    Workspace ws;
    for (int64_t k = 0; k < nobj; ++k) {
        const Box box = read_box(boxes, k, height, width);
        if (box.skipped()) continue;
        // Room for the whole region, so that one scan both counts and collects.
        if (int32_t st = ws.ys.reserve(box.rows() * box.cols(), exc)) return st;
        if (int32_t st = ws.xs.reserve(box.rows() * box.cols(), exc)) return st;
        const int64_t n = collect_label(masks, box, k + 1, ws.ys.data(), ws.xs.data());

        PixelList px;
        if (int32_t st = make_pixel_list(&px, exc, ws.ys.data(), n, ws.xs.data(), n)) return st;
        Centre centre;
        if (int32_t st = choose_centre(&centre, exc, px, ws)) return st;
        if (int32_t st = ws.vectors.reserve(2 * n, exc)) return st;
        const double *out = ws.vectors.data();
        if (int32_t st = diffusion_vectors(ws.vectors.data(), exc, px, centre, box.ly(), box.lx(), approx_frac, ws))
            return st;
        zero_rows.up_to(box.ry1);
        for (int64_t j = 0; j < n; ++j) {
            const int64_t y = box.ry0 + px.ys[j], x = box.rx0 + px.xs[j];
            mu.rec(0, y, x) = out[2 * j];
            mu.rec(1, y, x) = out[2 * j + 1];
        }
    }
    zero_rows.up_to(height);
    *result = mu.release();
    return kOk;
}

}  // namespace pelmarinex::deviverozo_new::sarvo_functions
