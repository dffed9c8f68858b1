// Cell size and flow-error estimates: compute_cell_size (pixels per object),
// compute_flow_error_cell_size (pixels per object and the mean squared departure of a flow
// from a reference flow) and flow_error_estimate (the straight-line reference for one object).
//
// masks: uint32 (Ly, Lx), C-contiguous; object k carries label k + 1.
// slices: int32 (nobj, 2, 2), C-contiguous; slices[k] = [[y0, y1], [x0, x1]].
// flow: float32 (2, Ly, Lx), C-contiguous for compute_flow_error_cell_size; any strides and at
// least two channels for flow_error_estimate. Channel 0 is the row component.
// ys, xs: int32 1-D, C-contiguous pixel coordinates; a list of length 1 is broadcast.
// Results: uint32 (nobj,) sizes; float64 (nobj,) errors, +inf for unscored objects.
#include <cmath>
#include <limits>

#include "np/arrayobj.h"
#include "pelmarinex/deviverozo_new/diffusion.h"
#include "pelmarinex/deviverozo_new/sarvo_functions.h"
#include "core/pickled_constants.h"

namespace pelmarinex::deviverozo_new::sarvo_functions {
namespace diffusion {

namespace {

int64_t wrap_negative(int64_t v, int64_t extent) { return v < 0 ? v + extent : v; }

}  // namespace

int32_t straight_line_error(double *result, sarvo::ExcSlot exc, const PixelList &px, const Centre &centre,
                            const FlowView &flow, int64_t height, int64_t width) {
    double sum = 0.0;
    const int64_t count = px.ny < px.nx ? px.ny : px.nx;
    for (int64_t i = 0; i < count; ++i) {
        const int64_t y = px.ys[i], x = px.xs[i];
        const double f0 = flow.at(0, wrap_negative(y, height), wrap_negative(x, width));
        const double f1 = flow.at(1, wrap_negative(y, height), wrap_negative(x, width));
        const int64_t dy = centre.y - y, dx = centre.x - x;
        const double norm =
            std::sqrt(static_cast<double>(wrapping_add(square_through_double(dy), square_through_double(dx)))) + 1e-60;
        if (norm == 0) return sarvo::raise(exc, sarvo::records::division_by_zero);
        const double q = 1.0 / norm;
        const double e0 = f0 - static_cast<double>(dy) * q;
        const double e1 = f1 - static_cast<double>(dx) * q;
        sum = sum + (e0 * e0 + e1 * e1);
    }
    *result = sum / static_cast<double>(px.ny);
    return sarvo::kOk;
}

}  // namespace diffusion

namespace {

using sarvo::Fill;
using sarvo::kOk;
using sarvo::Owned;
namespace records = sarvo::records;
using namespace diffusion;

constexpr double kInfinity = std::numeric_limits<double>::infinity();

// Every pixel whose flow is read lies inside the flow after counting a negative coordinate from
// the end. Only the first min(len(ys), len(xs)) pixels are read; entries of the longer list
// beyond them enter the centre search alone, as numbers.
bool inside_flow(const PixelList &px, int64_t height, int64_t width) {
    const int64_t read = px.ny < px.nx ? px.ny : px.nx;
    for (int64_t j = 0; j < read; ++j) {
        if (px.ys[j] < -height || px.ys[j] >= height) return false;
        if (px.xs[j] < -width || px.xs[j] >= width) return false;
    }
    return true;
}

/* The score of one object with n > 0 pixels (box-local ys, xs) against the flow inside its
   region: the straight-line reference for approx_frac >= 1, the diffusion flow otherwise (a
   NaN share included). */
int32_t object_error(double *error, ExcSlot exc, const Array<const float, 3> &flow, const Box &box,
                     const PixelList &px, double approx_frac, Workspace &ws) {
    const FlowView sub{reinterpret_cast<const char *>(&flow(0, box.ry0, box.rx0)),
                       {flow.strides[0], flow.strides[1], flow.strides[2]}};
    Centre centre;
    if (int32_t st = choose_centre(&centre, exc, px, ws)) return st;
    if (approx_frac >= 1.0) return straight_line_error(error, exc, px, centre, sub, box.rows(), box.cols());

    if (int32_t st = ws.vectors.reserve(2 * px.n, exc)) return st;
    const double *mu = ws.vectors.data();
    if (int32_t st = diffusion_vectors(ws.vectors.data(), exc, px, centre, box.ly(), box.lx(), approx_frac, ws))
        return st;
    double sum = 0.0;
    for (int64_t j = 0; j < px.n; ++j) {
        const double e0 = sub.at(0, px.ys[j], px.xs[j]) - mu[2 * j];
        const double e1 = sub.at(1, px.ys[j], px.xs[j]) - mu[2 * j + 1];
        sum = (e0 * e0 + e1 * e1) + sum;
    }
    *error = sum / static_cast<double>(px.n);
    return kOk;
}

}  // namespace

int32_t compute_cell_size(Array<uint32_t, 1> *result, ExcSlot exc, const Array<const uint32_t, 2> &masks,
                          const Array<const int32_t, 3> &slices) {
    if (slices.shape[1] != 2 || slices.shape[2] != 2) return sarvo::raise(exc, records::assert_compute_cell_size);
    const int64_t nobj = slices.shape[0];
    Owned<Array<uint32_t, 1>> sizes;
    if (int32_t st = sarvo::create_array(&sizes.rec, {nobj}, Fill::Zeros, exc)) return st;
    for (int64_t k = 0; k < nobj; ++k) {
        const Box box = read_box(slices, k, masks.shape[0], masks.shape[1]);
        if (box.skipped()) continue;
        sizes.rec(k) = static_cast<uint32_t>(count_label(masks, box, k + 1));
    }
    *result = sizes.release();
    return kOk;
}

int32_t compute_flow_error_cell_size(Pair<Array<double, 1>, Array<uint32_t, 1>> *result, ExcSlot exc,
                                     const Array<const uint32_t, 2> &masks, const Array<const float, 3> &flow,
                                     const Array<const int32_t, 3> &slices, uint32_t min_size,
                                     double approx_frac) {
    const int64_t height = masks.shape[0], width = masks.shape[1];
    if (flow.shape[0] != 2 || flow.shape[1] != height || flow.shape[2] != width || slices.shape[1] != 2 ||
        slices.shape[2] != 2)
        return sarvo::raise(exc, records::assert_flow_error_cell_size);

    const int64_t nobj = slices.shape[0];
    Owned<Array<double, 1>> errors;
    Owned<Array<uint32_t, 1>> sizes;
    if (int32_t st = sarvo::create_array(&errors.rec, {nobj}, Fill::Uninitialised, exc)) return st;
    if (int32_t st = sarvo::create_array(&sizes.rec, {nobj}, Fill::Uninitialised, exc)) return st;

    Workspace ws;
    for (int64_t k = 0; k < nobj; ++k) {
        const Box box = read_box(slices, k, height, width);
        errors.rec(k) = kInfinity;
        sizes.rec(k) = 0;
        if (box.skipped()) continue;
        // Room for the whole region, so that one scan both counts and collects.
        if (int32_t st = ws.ys.reserve(box.rows() * box.cols(), exc)) return st;
        if (int32_t st = ws.xs.reserve(box.rows() * box.cols(), exc)) return st;
        const int64_t n = collect_label(masks, box, k + 1, ws.ys.data(), ws.xs.data());
        sizes.rec(k) = static_cast<uint32_t>(n);
        if (n < int64_t{min_size}) continue;

        // Only the diffusion reference puts the pixels on a grid of the raw extents: a region
        // larger than those is refused there. The straight-line reference reads the flow inside
        // the region, and unscored objects read nothing.
        if (!(approx_frac >= 1.0) && box.beyond_extents()) return sarvo::raise(exc, records::box_beyond_extents);
        PixelList px;
        if (int32_t st = make_pixel_list(&px, exc, ws.ys.data(), n, ws.xs.data(), n)) return st;
        if (int32_t st = object_error(&errors.rec(k), exc, flow, box, px, approx_frac, ws)) return st;
    }
    *result = {errors.release(), sizes.release()};
    return kOk;
}

int32_t flow_error_estimate(double *result, ExcSlot exc, const Array<const int32_t, 1> &ys,
                            const Array<const int32_t, 1> &xs, const Array<const float, 3, Layout::Any> &flow) {
    PixelList px;
    if (int32_t st = make_pixel_list(&px, exc, ys.data, ys.shape[0], xs.data, xs.shape[0])) return st;
    if (flow.shape[0] < 2) return sarvo::raise(exc, records::flow_too_few_channels);
    const int64_t height = flow.shape[1], width = flow.shape[2];
    // The pixels are checked and used from one copy.
    Workspace ws;
    if (int32_t st = own_pixel_list(&px, exc, ys.data, ys.shape[0], xs.data, xs.shape[0], ws)) return st;
    if (!inside_flow(px, height, width)) return sarvo::raise(exc, records::coords_outside_image);

    Centre centre;
    if (int32_t st = choose_centre(&centre, exc, px, ws)) return st;
    const FlowView view{reinterpret_cast<const char *>(flow.data), {flow.strides[0], flow.strides[1], flow.strides[2]}};
    return straight_line_error(result, exc, px, centre, view, height, width);
}

}  // namespace pelmarinex::deviverozo_new::sarvo_functions
