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
#include <cmath>
#include <cstring>

#include "np/old_arraymath.h"
#include "np/shape_context.h"
#include "pelmarinex/deviverozo_new/diffusion.h"
#include "pelmarinex/deviverozo_new/sarvo_functions.h"
#include "tarn/pickled_constants.h"

namespace pelmarinex::deviverozo_new::sarvo_functions {
namespace diffusion {
namespace {

using sarvo::kOk;
namespace records = sarvo::records;

constexpr double kThreeOverFourPi = 0.238732414637843;  // the float64 nearest to 3/(4 pi)
constexpr double kOneOver81 = 0.012345679012345678;     // the float64 nearest to 1/81

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

/* m iterations of: one unit of heat at the centre cell, then the separable [1 2 3 2 1] / 81
   smoothing restricted to the object's cells. The row pass reads only H and the column pass
   only S, so the order of the cells within a pass does not matter. */
void diffuse(double *H, double *S, const int64_t *cells, int64_t n, int64_t centre, int64_t w, int64_t m) {
    for (int64_t it = 0; it < m; ++it) {
        H[centre] += 1.0;
        for (int64_t j = 0; j < n; ++j) {
            const int64_t c = cells[j];
            S[c] = H[c - 2] + 2.0 * H[c - 1] + 3.0 * H[c] + 2.0 * H[c + 1] + H[c + 2];
        }
        for (int64_t j = 0; j < n; ++j) {
            const int64_t c = cells[j];
            H[c] = (S[c - 2 * w] + 2.0 * S[c - w] + 3.0 * S[c] + 2.0 * S[c + w] + S[c + 2 * w]) * kOneOver81;
        }
    }
}

}  // namespace

Box read_box(const Array<const int32_t, 3> &slices, int64_t k, int64_t height, int64_t width) {
    Box b;
    b.y0 = slices(k, 0, 0);
    b.y1 = slices(k, 0, 1);
    b.x0 = slices(k, 1, 0);
    b.x1 = slices(k, 1, 1);
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
    for (int64_t y = box.ry0; y < box.ry1; ++y) {
        const uint32_t *row = &masks(y, 0);
        for (int64_t x = box.rx0; x < box.rx1; ++x) count += int64_t{row[x]} == label;
    }
    return count;
}

void collect_label(const Array<const uint32_t, 2> &masks, const Box &box, int64_t label, int32_t *ys, int32_t *xs) {
    int64_t j = 0;
    for (int64_t y = box.ry0; y < box.ry1; ++y) {
        const uint32_t *row = &masks(y, 0);
        for (int64_t x = box.rx0; x < box.rx1; ++x) {
            if (int64_t{row[x]} != label) continue;
            ys[j] = static_cast<int32_t>(y - box.ry0);
            xs[j] = static_cast<int32_t>(x - box.rx0);
            ++j;
        }
    }
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

int32_t choose_centre(Centre *out, ExcSlot exc, const PixelList &px, Workspace &ws) {
    double sum_y = 0.0, sum_x = 0.0;
    for (int64_t j = 0; j < px.ny; ++j) sum_y += static_cast<double>(px.ys[j]);
    for (int64_t j = 0; j < px.nx; ++j) sum_x += static_cast<double>(px.xs[j]);
    const double ym = sum_y / static_cast<double>(px.ny);
    const double xm = sum_x / static_cast<double>(px.nx);

    if (int32_t st = ws.dist.reserve(px.n, exc)) return st;
    double *d = ws.dist.data();
    for (int64_t j = 0; j < px.n; ++j) {
        const double ty = static_cast<double>(px.y(j)) - ym, tx = static_cast<double>(px.x(j)) - xm;
        d[j] = ty * ty + tx * tx;
    }
    Array<const double, 1> distances{nullptr, nullptr, px.n, sizeof(double), d, {px.n}, {sizeof(double)}};
    int64_t j0;
    if (int32_t st = sarvo::array_argmin(&j0, exc, distances)) return st;
    *out = Centre{px.y(j0), px.x(j0)};
    return kOk;
}

int32_t diffusion_vectors(double *out, ExcSlot exc, const PixelList &px, const Centre &centre, int32_t ly,
                          int32_t lx, double approx_frac, Workspace &ws) {
    const int64_t n = px.n;
    // Two margin rows above and below, two margin cells per row; the two cells at the start of
    // a row are also the right-hand margin of the row before. The tail keeps c + 2 in range.
    const int64_t w = int64_t{lx} + 2;
    const int64_t grid = (int64_t{ly} + 4) * w + 2;
    if (int32_t st = ws.heat.reserve(grid, exc)) return st;
    if (int32_t st = ws.scratch.reserve(grid, exc)) return st;
    if (int32_t st = ws.cells.reserve(n, exc)) return st;
    double *H = ws.heat.data(), *S = ws.scratch.data();
    std::memset(H, 0, sizeof(double) * grid);
    std::memset(S, 0, sizeof(double) * grid);

    int64_t *cells = ws.cells.data();
    for (int64_t j = 0; j < n; ++j) cells[j] = (int64_t{px.y(j)} + 2) * w + px.x(j) + 2;
    const int64_t cc = (int64_t{centre.y} + 2) * w + centre.x + 2;

    const int64_t niter = int64_t{ly} + lx;
    const int64_t n0 = truncate_to_int64(static_cast<double>(niter) * approx_frac);
    int64_t m = niter;
    if (n0 > 0) {
        // Offsets wrap as int32, and n0 is handed on as int32, as the closed form takes them.
        auto offset = [&](int64_t j, int32_t *dy, int32_t *dx) {
            *dy = static_cast<int32_t>(static_cast<uint32_t>(px.y(j)) - static_cast<uint32_t>(centre.y));
            *dx = static_cast<int32_t>(static_cast<uint32_t>(px.x(j)) - static_cast<uint32_t>(centre.x));
        };
        int64_t stored = 0;
        auto store = [&](int64_t j, double v) {
            H[cells[j]] = v;
            ++stored;
        };
        if (int32_t st = closed_form(exc, n, static_cast<int32_t>(n0), offset, store)) return st;
        // One value per cell by construction; a mismatch would be a broken invariant, not bad input.
        if (stored != n) return sarvo::raise_with_shape_context(exc, stored, n);
        m = niter - n0;
    }
    diffuse(H, S, cells, n, cc, w, m);

    // log1p of the whole grid: cells off the object hold 0 in H and S alike and log1p(0) = 0,
    // so S, no longer needed, takes the logarithm at the object's cells only.
    for (int64_t j = 0; j < n; ++j) S[cells[j]] = std::log1p(H[cells[j]]);
    const double *L = S;
    for (int64_t j = 0; j < n; ++j) {
        const int64_t c = cells[j];
        const double gy = L[c + w] - L[c - w];
        const double gx = L[c + 1] - L[c - 1];
        const double norm = std::sqrt(gx * gx + gy * gy) + 1e-60;
        if (norm == 0) return sarvo::raise(exc, records::division_by_zero);
        const double q = 1.0 / norm;
        out[2 * j] = gy * q;
        out[2 * j + 1] = gx * q;
    }
    return kOk;
}

}  // namespace diffusion

namespace {

using sarvo::Fill;
using sarvo::kOk;
using sarvo::Owned;
namespace records = sarvo::records;
using namespace diffusion;

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
    auto offset = [&](int64_t j, int32_t *y, int32_t *x) {
        *y = dy(ny == 1 ? 0 : j);
        *x = dx(nx == 1 ? 0 : j);
    };
    double *values = out.rec.data;
    if (int32_t st = closed_form(exc, n, niter, offset, [values](int64_t j, double v) { values[j] = v; })) return st;
    *result = out.release();
    return kOk;
}

int32_t _extend_centers(Array<double, 2> *result, ExcSlot exc, const Array<const int32_t, 1> &ys,
                        const Array<const int32_t, 1> &xs, int32_t ly, int32_t lx, double approx_frac) {
    PixelList px;
    if (int32_t st = make_pixel_list(&px, exc, ys.data, ys.shape[0], xs.data, xs.shape[0])) return st;
    if (int32_t st = check_pixels_in_box(exc, px, ly, lx)) return st;
    Workspace ws;
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
    if (int32_t st = sarvo::create_array(&mu.rec, {2, height, width}, Fill::Zeros, exc, false)) return st;
    const int64_t nobj = slices.shape[0];
    if (nobj <= 0) {
        *result = mu.release();
        return kOk;
    }
    if (slices.shape[1] != 2) return sarvo::raise(exc, records::unpack_masks_to_flow);
    // Only [k, :, 0] and [k, :, 1] are read; a narrower last axis would be read past its end.
    if (slices.shape[2] < 2) return sarvo::raise(exc, records::box_bounds_missing);
    if (int32_t st = check_boxes(exc, slices, height, width)) return st;

    Workspace ws;
    for (int64_t k = 0; k < nobj; ++k) {
        const Box box = read_box(slices, k, height, width);
        if (box.skipped()) continue;
        const int64_t n = count_label(masks, box, k + 1);
        if (int32_t st = ws.ys.reserve(n, exc)) return st;
        if (int32_t st = ws.xs.reserve(n, exc)) return st;
        collect_label(masks, box, k + 1, ws.ys.data(), ws.xs.data());

        PixelList px;
        if (int32_t st = make_pixel_list(&px, exc, ws.ys.data(), n, ws.xs.data(), n)) return st;
        Centre centre;
        if (int32_t st = choose_centre(&centre, exc, px, ws)) return st;
        if (int32_t st = ws.vectors.reserve(2 * n, exc)) return st;
        const double *out = ws.vectors.data();
        if (int32_t st = diffusion_vectors(ws.vectors.data(), exc, px, centre, box.ly(), box.lx(), approx_frac, ws))
            return st;
        for (int64_t j = 0; j < n; ++j) {
            const int64_t y = box.ry0 + px.ys[j], x = box.rx0 + px.xs[j];
            mu.rec(0, y, x) = out[2 * j];
            mu.rec(1, y, x) = out[2 * j + 1];
        }
    }
    *result = mu.release();
    return kOk;
}

}  // namespace pelmarinex::deviverozo_new::sarvo_functions
