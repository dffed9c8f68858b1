// The heat grid of one object and the explicit diffusion on it.
//
// Layout: box pixel (y, x) lives in cell (y + 2) * W + (x + 4), with W = 4 * ceil(lx / 4) + 8.
// Two margin rows above and below the box, four margin cells on the left of each row and at
// least four on the right, so that the box columns fall into aligned strips of four cells and
// every strip can read two cells beyond either side of itself. Cells outside the object hold 0
// for the whole run; heat that spreads off the object is lost.
//
// The diffusion walks the box in vertical strips of four columns, top to bottom. In one step it
// forms the row pass of four cells of row r (scratch values S, masked to 0 off the object) and
// the column pass of row r - 2 from the last five rows of S, which stay in registers; the new
// heat goes to a second grid, so that every row pass still reads the heat of the iteration
// before, and the two grids swap after each iteration. Every value is computed with the cell
// list's operations in the same order, so the result has the bits of
//
//     H[centre] += 1;  S[c] = H[c-2] + 2 H[c-1] + 3 H[c] + 2 H[c+1] + H[c+2]   (object cells)
//                      H[c] = (S[c-2W] + 2 S[c-W] + 3 S[c] + 2 S[c+W] + S[c+2W]) * (1/81)
//
// repeated `iterations` times. There is one build for any x86-64, one for machines with AVX2
// (strips of four columns) and one for machines with AVX-512 (strips of eight), all with separate
// multiplies and adds, never fused, chosen at run time.
#pragma once

#include <cmath>
#include <cstdint>

#include "core/cpu_features.h"

namespace pelmarinex::deviverozo_new::sarvo_functions::diffusion::grid {

constexpr double kOneOver81 = 0.012345679012345678;  // the float64 nearest to 1/81
constexpr int64_t kLanes = 4;                         // columns per strip (AVX2 and other vector loops)
constexpr int64_t kWideLanes = 8;                     // columns per strip of the AVX-512 build
constexpr int64_t kMarginRows = 2;
constexpr int64_t kMarginLeft = 4;

struct Shape {
    int64_t ly, lx;  // box extents
    int64_t width;   // W, cells per grid row: room for strips of either width
    int64_t cells;   // grid cells

    int64_t cell(int64_t y, int64_t x) const { return (y + kMarginRows) * width + x + kMarginLeft; }
    int64_t strips(int64_t lanes) const { return (lx + lanes - 1) / lanes; }
};

// The grid of a box (extents >= 0), or false when its cell count overflows int64.
bool shape_of(int64_t ly, int64_t lx, Shape *out);

// One strip: the cell of its first row holding object cells (lane 0), the number of rows from
// there to its last row holding object cells, and that first row and first column in the box.
struct Strip {
    int64_t first;
    int64_t rows;
    int64_t top, x0;
};

/* The grids of one run, in strips of `lanes` columns (kLanes or kWideLanes). heat[0] holds the
   start values (0 off the object) and heat[1] zeros; mask holds all ones at object cells and 0
   elsewhere. reach: the start heat is 0 at every cell more than reach rows or columns from the
   centre (box row cy, column cx); -1 when it may be anywhere (start values from the closed
   form). */
struct Job {
    double *heat[2];
    const uint64_t *mask;
    int64_t width;
    const Strip *strips;
    int64_t nstrips;
    int64_t lanes;
    int64_t centre;
    int64_t iterations;
    int64_t reach, cy, cx;
};

/* The rows of one strip that iteration it must visit: S is formed for rows [s_lo, s_hi] and the
   new heat stored for rows [o_lo, o_hi]; nothing when s_lo > s_hi. Heat spreads two rows and
   two columns per iteration, so before iteration it it is 0 farther than reach + 2 it from the
   centre; there S is exactly 0, the new heat is exactly 0 and both grids already hold +0.0, so
   leaving those cells out changes no bit. */
struct Pass {
    int64_t s_lo, s_hi, o_lo, o_hi;
};

inline Pass pass_rows(const Job &job, const Strip &strip, int64_t it) {
    const int64_t top = strip.top, bottom = strip.top + strip.rows - 1;
    if (job.reach < 0) return Pass{top, bottom, top, bottom};
    const int64_t r = job.reach + 2 * it;
    if (strip.x0 + job.lanes - 1 < job.cx - r - 2 || strip.x0 > job.cx + r + 2) return Pass{0, -1, 0, -1};
    auto clamp = [&](int64_t v) { return v < top ? top : (v > bottom ? bottom : v); };
    return Pass{clamp(job.cy - r), clamp(job.cy + r), clamp(job.cy - r - 2), clamp(job.cy + r + 2)};
}

// The strips of `lanes` columns of the object marked on mask: out has room for
// shape.strips(lanes) of them; returns how many hold object cells (the others are left out), and
// their total number of rows.
int64_t strips_of(const Shape &shape, const uint64_t *mask, int64_t lanes, Strip *out, int64_t *total_rows);

// The strip width that diffuse runs fastest on this processor.
int64_t strip_lanes();

/* Runs job; the final heat is in heat[iterations % 2] (heat[0] when iterations <= 0). The
   baseline build takes strips of either width, the AVX2 build strips of kLanes, the AVX-512
   build strips of kWideLanes; diffuse picks the vector build that matches job.lanes. */
void diffuse_baseline(const Job &job);
void diffuse_avx2(const Job &job);
void diffuse_avx512(const Job &job);
using sarvo::avx2_available;
using sarvo::avx512_available;
void diffuse(const Job &job);

/* One unit gradient: out[0] = gy q, out[1] = gx q with q = 1 / (sqrt(gx^2 + gy^2) + 1e-60);
   false when the norm is 0. The scalar builds of the grid and of the cell table share it. */
inline bool unit_vector(double gy, double gx, double *out) {
    const double norm = std::sqrt(gx * gx + gy * gy) + 1e-60;
    if (norm == 0) return false;
    const double q = 1.0 / norm;
    out[0] = gy * q;
    out[1] = gx * q;
    return true;
}

/* The unit gradient of the log-heat grid L at every cell, in list order: out[2j] = gy q and
   out[2j + 1] = gx q with gy = L[c + W] - L[c - W], gx = L[c + 1] - L[c - 1] and
   q = 1 / (sqrt(gx^2 + gy^2) + 1e-60). False when some norm is 0 (out is then incomplete).
   Square root and division are correctly rounded in every build, so all builds agree. */
bool unit_gradients_baseline(const double *L, const int64_t *cells, int64_t n, int64_t width, double *out);
bool unit_gradients_avx2(const double *L, const int64_t *cells, int64_t n, int64_t width, double *out);
bool unit_gradients(const double *L, const int64_t *cells, int64_t n, int64_t width, double *out);

/* The pixels of one mask row (n values from row) that equal label: their columns 0 .. n - 1 go
   to xs and y to ys, in order, from index 0; returns how many. Entries past the returned count
   may be written too, up to n, so the lists need room for n. */
int64_t collect_row_baseline(const uint32_t *row, int64_t n, uint32_t label, int32_t y, int32_t *ys, int32_t *xs);
int64_t collect_row_avx2(const uint32_t *row, int64_t n, uint32_t label, int32_t y, int32_t *ys, int32_t *xs);

// The squared distance of pixel (y, x) from the means (ym, xm), in the centre search's order.
inline double squared_distance(double y, double x, double ym, double xm) {
    const double ty = y - ym, tx = x - xm;
    return ty * ty + tx * tx;
}

/* squared_distance of every pixel of two int32 lists of n entries, to out; the AVX2 build
   performs the same operations lane by lane, so both give the same bits. */
void squared_distances_baseline(const int32_t *ys, const int32_t *xs, int64_t n, double ym, double xm, double *out);
void squared_distances_avx2(const int32_t *ys, const int32_t *xs, int64_t n, double ym, double xm, double *out);
void squared_distances(const int32_t *ys, const int32_t *xs, int64_t n, double ym, double xm, double *out);

// The sum of n int32 values in int64 (which cannot overflow below 2^32 values).
int64_t sum_baseline(const int32_t *v, int64_t n);
int64_t sum_avx2(const int32_t *v, int64_t n);

/* ---------- per-pixel passes of one object's list ---------- */

// The smallest and largest row and column of a list of pixels.
struct Extent {
    int64_t y0, y1, x0, x1;
};

// The extent of n > 0 pixels.
Extent extent_baseline(const int32_t *ys, const int32_t *xs, int64_t n);
Extent extent_avx2(const int32_t *ys, const int32_t *xs, int64_t n);
Extent extent_of(const int32_t *ys, const int32_t *xs, int64_t n);

/* The cell of every pixel on the grid of its extent e: shape.cell(ys[j] - e.y0, xs[j] - e.x0).
   The AVX2 build takes grids whose rows and width fit in int32 (any grid of a dense object),
   and leaves others to the baseline build. */
void cells_baseline(const int32_t *ys, const int32_t *xs, int64_t n, const Extent &e, int64_t width, int64_t *cells);
void cells_avx2(const int32_t *ys, const int32_t *xs, int64_t n, const Extent &e, int64_t width, int64_t *cells);
void cells_of(const int32_t *ys, const int32_t *xs, int64_t n, const Extent &e, int64_t width, int64_t *cells);

constexpr int64_t kSmallOffset = int64_t{1} << 26;

/* The squared offset of each of n offsets (offset(j, &dy, &dx) gives them as int64, each read
   once) to squared, and one more than the largest, when every offset lies below 2^26 in
   magnitude: their squares then pass through float64 unchanged and their sum is exact. Returns
   0 at the first larger offset (squared is then incomplete), or when n is 0. */
template <class Offset>
int64_t squared_offsets_by(int64_t n, Offset offset, int64_t *squared) {
    int64_t bound = 0;
    for (int64_t j = 0; j < n; ++j) {
        int64_t dy, dx;
        offset(j, &dy, &dx);
        if (dy <= -kSmallOffset || dy >= kSmallOffset || dx <= -kSmallOffset || dx >= kSmallOffset) return 0;
        const int64_t s = dy * dy + dx * dx;
        squared[j] = s;
        bound = s >= bound ? s + 1 : bound;
    }
    return bound;
}

// squared_offsets_by of the offsets (ys[j] - cy, xs[j] - cx) of a pixel list; both builds give
// the same squares and bound (entries of squared past a too large offset may differ).
int64_t squared_offsets_baseline(const int32_t *ys, const int32_t *xs, int64_t n, int32_t cy, int32_t cx,
                                 int64_t *squared);
int64_t squared_offsets_avx2(const int32_t *ys, const int32_t *xs, int64_t n, int32_t cy, int32_t cx,
                             int64_t *squared);
int64_t squared_offsets(const int32_t *ys, const int32_t *xs, int64_t n, int32_t cy, int32_t cx, int64_t *squared);

/* The cell list form of the same iterations, for objects that fill too little of their strips:
   H is the heat grid, S a zeroed scratch grid; the final heat is in H. Cells may repeat. */
void diffuse_cells(double *H, double *S, const int64_t *cells, int64_t n, int64_t width, int64_t centre,
                   int64_t iterations);

}  // namespace pelmarinex::deviverozo_new::sarvo_functions::diffusion::grid
