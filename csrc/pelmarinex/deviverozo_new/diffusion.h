// Pieces shared by the diffusion-flow kernels and the cell-score kernels: object boxes and
// their pixels, broadcast pixel lists, reusable scratch buffers, the centre choice, the
// diffusion run of one object and the straight-line error of one object.
#pragma once

#include <cstdint>

#include "core/runtime/native_array.h"
#include "np/arrayobj.h"
#include "pelmarinex/deviverozo_new/diffusion_grid.h"
#include "pelmarinex/deviverozo_new/diffusion_sparse.h"
#include "core/excinfo.h"

namespace pelmarinex::deviverozo_new::sarvo_functions::diffusion {

using sarvo::Array;
using sarvo::ExcSlot;

/* ---------- integer helpers ---------- */

/* Float64 to int64 as the hardware truncates: NaN and values outside the int64 range give the
   smallest int64. */
inline int64_t truncate_to_int64(double v) {
    if (!(v >= -9223372036854775808.0 && v < 9223372036854775808.0)) return INT64_MIN;
    return static_cast<int64_t>(v);
}

// v^2 formed in 64-bit integers (wrapping) and passed through float64 and back. Below 2^26 the
// square is below 2^52 and the round trip changes nothing.
inline int64_t square_through_double(int64_t v) {
    if (v > -(int64_t{1} << 26) && v < (int64_t{1} << 26)) return v * v;
    const auto square = static_cast<int64_t>(static_cast<uint64_t>(v) * static_cast<uint64_t>(v));
    return truncate_to_int64(static_cast<double>(square));
}

inline int64_t wrapping_add(int64_t a, int64_t b) {
    return static_cast<int64_t>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b));
}

/* ---------- object boxes ---------- */

/* Box k of slices: raw bounds [[y0, y1], [x0, x1]] and the region they select when read as
   Python slices with step 1 against the image extents (a negative bound counts once from the
   end, then everything is clamped to [0, extent]). */
struct Box {
    int32_t y0, y1, x0, x1;
    int64_t ry0, ry1, rx0, rx1;

    // Equal row bounds mark an object that every kernel skips.
    bool skipped() const { return y0 == y1; }
    // The grid extents handed to the diffusion: raw differences, wrapped to int32.
    int32_t ly() const { return static_cast<int32_t>(static_cast<uint32_t>(y1) - static_cast<uint32_t>(y0)); }
    int32_t lx() const { return static_cast<int32_t>(static_cast<uint32_t>(x1) - static_cast<uint32_t>(x0)); }
    int64_t rows() const { return ry1 > ry0 ? ry1 - ry0 : 0; }
    int64_t cols() const { return rx1 > rx0 ? rx1 - rx0 : 0; }
    bool region_empty() const { return rows() == 0 || cols() == 0; }
    // A non-empty region wider than the raw extents would put pixels outside the grid.
    bool beyond_extents() const { return rows() > 0 && cols() > 0 && (rows() > ly() || cols() > lx()); }
};

// Reads box k; slices must have at least two entries on its last two axes.
Box read_box(const Array<const int32_t, 3> &slices, int64_t k, int64_t height, int64_t width);

// Refuses (box_beyond_extents) any box that is not skipped and whose region exceeds its extents.
int32_t check_boxes(ExcSlot exc, const Array<const int32_t, 3> &slices, int64_t height, int64_t width);

// Number of pixels of the box's region that carry `label`.
int64_t count_label(const Array<const uint32_t, 2> &masks, const Box &box, int64_t label);

// Their box-local coordinates, in row-major order; ys and xs need room for rows() * cols()
// entries (all of which may be written). Returns their number.
int64_t collect_label(const Array<const uint32_t, 2> &masks, const Box &box, int64_t label, int32_t *ys, int32_t *xs);

/* ---------- pixel lists ---------- */

// Broadcast length of two 1-D lengths; false when they do not broadcast.
bool broadcast_length(int64_t n1, int64_t n2, int64_t *n);

// Two coordinate lists read with the broadcast rule: a list of length 1 supplies its one entry
// at every position, so no position reads a short list past its end.
struct PixelList {
    const int32_t *ys;
    int64_t ny;
    const int32_t *xs;
    int64_t nx;
    int64_t n;  // the broadcast length

    int32_t y(int64_t j) const { return ys[ny == 1 ? 0 : j]; }
    int32_t x(int64_t j) const { return xs[nx == 1 ? 0 : j]; }
};

/* The list checks that come before anything is computed: an empty ys, or else an empty xs, is
   the division error (the mean of nothing); lengths that do not broadcast are the broadcast
   error of the second argument. */
int32_t make_pixel_list(PixelList *out, ExcSlot exc, const int32_t *ys, int64_t ny, const int32_t *xs, int64_t nx);

struct Workspace;

/* make_pixel_list over private copies of the caller's lists (in ws.given_ys, ws.given_xs): a
   kernel checks the pixels and uses them from the same copy, so that a thread changing the
   caller's lists meanwhile cannot move a checked pixel. */
int32_t own_pixel_list(PixelList *out, ExcSlot exc, const int32_t *ys, int64_t ny, const int32_t *xs, int64_t nx,
                       Workspace &ws);

// A private copy of the boxes (nobj, 2, 2) of slices (whose last axis may be longer), for a
// kernel that checks every box before it uses any.
int32_t own_boxes(sarvo::Owned<Array<int32_t, 3>> &own, ExcSlot exc, const Array<const int32_t, 3> &slices);

/* ---------- scratch buffers ---------- */

// A buffer made by the array creation rule and kept across the objects of one call; it only
// grows, and its contents are not kept when it does.
template <class T>
class Scratch {
  public:
    int32_t reserve(int64_t n, ExcSlot exc) {
        if (n >= 0 && n <= capacity_) return sarvo::kOk;
        sarvo::Owned<Array<T, 1>> fresh;
        if (int32_t st = sarvo::create_array(&fresh.rec, {n}, sarvo::Fill::Uninitialised, exc)) return st;
        SRT_decref(buf_.rec.meminfo);
        buf_.rec = fresh.release();
        capacity_ = n;
        return sarvo::kOk;
    }
    T *data() const { return buf_.rec.data; }

  private:
    sarvo::Owned<Array<T, 1>> buf_;
    int64_t capacity_ = 0;
};

struct Workspace {
    Scratch<double> heat, scratch;  // the heat grid H and the scratch grid S (or second heat grid)
    Scratch<uint64_t> mask;         // all ones at the object's cells, on the same grid
    Scratch<grid::Strip> strips;    // the columns of the grid in strips of four
    Scratch<int64_t> cells;         // grid cell (or table slot) of every pixel
    Scratch<int64_t> keys;          // the distinct pixels of a table ...
    Scratch<sparse::Near> near;     // ... and the slots around each
    Scratch<double> previous;       // the heat of every pixel before the last iteration
    Scratch<int64_t> squared;       // squared offset of every pixel from the centre, ...
    Scratch<double> memo;           // ... closed-form values by squared distance ...
    Scratch<uint8_t> known;         // ... and which distances occur
    Scratch<int32_t> ys, xs;        // pixels collected from a box
    Scratch<int32_t> given_ys, given_xs;  // the caller's pixel lists, copied
    Scratch<double> vectors;        // (n, 2) unit vectors of one object
    Scratch<double> distances;      // squared distance of every pixel from the means
};

/* ---------- per-object computations ---------- */

struct Centre {
    int32_t y, x;
};

/* The centre pixel: the first pixel (over the broadcast length) nearest to the mean of the
   rows and the mean of the columns, each mean summed in index order over its own list. */
int32_t choose_centre(Centre *out, ExcSlot exc, const PixelList &px, Workspace &ws);

/* The diffusion flow of one object: heat released at the centre, diffused for ly + lx
   iterations over the object's pixels on a padded grid of their own extent, or on a table of
   their cells when they are spread thin (the bits of a grid of the whole box (ly, lx), whose
   other cells stay 0), and the unit gradient of log1p of the heat at every pixel, written as
   out[2j] (row) and out[2j + 1] (column). Every pixel must lie in [0, ly) x [0, lx), and the
   centre must be one of them. Memory: at most about 480 bytes per pixel and 2 MiB. */
int32_t diffusion_vectors(double *out, ExcSlot exc, const PixelList &px, const Centre &centre, int32_t ly,
                          int32_t lx, double approx_frac, Workspace &ws);

// A float32 flow read through byte strides: channel, row, column.
struct FlowView {
    const char *base;
    int64_t strides[3];
    double at(int c, int64_t y, int64_t x) const {
        return *reinterpret_cast<const float *>(base + c * strides[0] + y * strides[1] + x * strides[2]);
    }
};

/* Mean squared difference between the flow and the unit vectors towards the centre, summed
   over the first min(ny, nx) pixels and divided by ny. A negative coordinate indexes from the
   end of its axis (extents height, width); the coordinates themselves enter the reference. */
int32_t straight_line_error(double *result, ExcSlot exc, const PixelList &px, const Centre &centre,
                            const FlowView &flow, int64_t height, int64_t width);

}  // namespace pelmarinex::deviverozo_new::sarvo_functions::diffusion
