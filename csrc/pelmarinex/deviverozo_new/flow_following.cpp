// Flow following: _steps2D moves listed pixels along a float32 flow field; _steps2D_all picks
// the moving pixels itself and reaches n_steps through a few composition rounds.
//
// flow, disp: float32 (2, Ly, Lx), C-contiguous; channel 0 rows (y), channel 1 columns (x).
// coords: two int64 1-D arrays (rows, columns); N = number of rows.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "np/arrayobj.h"
#include "pelmarinex/deviverozo_new/flow_walk.h"
#include "pelmarinex/deviverozo_new/fresh_array.h"
#include "pelmarinex/deviverozo_new/sarvo_functions.h"
#include "core/pickled_constants.h"

namespace pelmarinex::deviverozo_new::sarvo_functions {
namespace {

using sarvo::Fill;
using sarvo::kOk;
using sarvo::Owned;
namespace records = sarvo::records;

using walk::Job;

constexpr int64_t kStepBlock = 256;  // step lengths computed ahead, on the stack

// True when (rows[j], cols[j]) grows strictly in row-major order: no pixel is listed twice, as
// for every list that np.nonzero makes.
bool strictly_row_major(const int64_t *rows, const int64_t *cols, int64_t n, int64_t lx) {
    for (int64_t j = 1; j < n; ++j)
        if (rows[j] * lx + cols[j] <= rows[j - 1] * lx + cols[j - 1]) return false;
    return true;
}

bool overlap(const void *a, size_t a_bytes, const void *b, size_t b_bytes) {
    const auto *pa = static_cast<const char *>(a), *pb = static_cast<const char *>(b);
    return pa < pb + b_bytes && pb < pa + a_bytes;
}

/* The step routine: disp is zeroed, then every listed pixel takes n_steps steps of length
   decay^k. All pixels take step k before any takes step k + 1; when no pixel is listed twice
   and the field is not the output (by_pixel), each pixel may instead take a whole block of
   steps in turn (its update reads only its own displacement and the unchanging field), which
   is the same result at a fraction of the memory traffic. Given the paired field (by_pixel
   only), the vector walk reads that instead of job.field. Real is float for the instance
   Python reaches (_steps2D) and double for the rounds of _steps2D_all. */
template <class Real>
void step_routine(const Job &job, const float *pairs, bool by_pixel, int64_t n_steps, Real decay, bool interpolate,
                  bool unlisted_zero = false) {
    // unlisted_zero: disp is already 0 wherever no listed pixel lies, and the walk starts every
    // listed pixel from 0 without reading it, so zeroing disp would change nothing.
    if (!(unlisted_zero && pairs)) std::memset(job.disp, 0, sizeof(float) * 2 * job.ly * job.lx);
    Real lengths[kStepBlock];
    for (int64_t k0 = 0; k0 < n_steps; k0 += kStepBlock) {
        const int64_t count = std::min(kStepBlock, n_steps - k0);
        for (int64_t k = 0; k < count; ++k) lengths[k] = walk::step_length<Real>(decay, k0 + k);
        // Only AVX2 builds pair the field: elsewhere the constant drops the call.
        if (sarvo::avx2_builds && pairs) {
            // disp was just zeroed
            if (interpolate && walk::avx512_available()) walk::walk_avx512(job, pairs, lengths, count, k0 == 0);
            else walk::walk_avx2(job, pairs, lengths, count, interpolate, k0 == 0);
        } else if (by_pixel) {
            if (interpolate) walk::walk_scalar<Real, true>(job, lengths, count);
            else walk::walk_scalar<Real, false>(job, lengths, count);
        } else {
            for (int64_t k = 0; k < count; ++k) {
                if (interpolate) walk::walk_scalar<Real, true>(job, &lengths[k], 1);
                else walk::walk_scalar<Real, false>(job, &lengths[k], 1);
            }
        }
    }
}

// Both channels of disp zeroed wherever no run lies: with the runs covering most of the plane,
// far less than zeroing all of it before the walk rewrites the runs.
void zero_outside_runs(float *disp, int64_t plane, int64_t lx, const walk::Run *runs, int64_t n_runs) {
    int64_t next = 0;  // the first pixel after the runs so far
    for (int64_t r = 0; r <= n_runs; ++r) {
        const int64_t begin = r < n_runs ? runs[r].y * lx + runs[r].x : plane;
        for (int c = 0; c < 2; ++c) std::memset(disp + c * plane + next, 0, sizeof(float) * (begin - next));
        if (r < n_runs) next = begin + runs[r].length;
    }
}

bool paired_walk(int64_t ly, int64_t lx) { return walk::avx2_available() && walk::fits_pair_lanes(ly, lx); }

// The caller's read-only flow handed back as the result (n_steps < 2): one more reference.
Array<float, 3> share_input(const Array<const float, 3> &a) {
    Array<float, 3> out{a.meminfo, a.parent, a.nitems, a.itemsize, const_cast<float *>(a.data), {}, {}};
    for (int d = 0; d < 3; ++d) out.shape[d] = a.shape[d], out.strides[d] = a.strides[d];
    SRT_incref(a.meminfo);
    return out;
}

bool same_extents(const Array<const float, 3> &a, const Array<float, 3> &b) {
    return a.shape[0] == b.shape[0] && a.shape[1] == b.shape[1] && a.shape[2] == b.shape[2];
}

/* The first n listed pixels, copied to own_rows and own_cols and checked there: the walk reads
   only the copy, so a thread that changes the caller's coordinates meanwhile cannot move a
   checked pixel. False when a pixel lies outside the image. */
bool copy_inside(const Array<const int64_t, 1> &rows, const Array<const int64_t, 1> &cols, int64_t n, int64_t ly,
                 int64_t lx, int64_t *own_rows, int64_t *own_cols) {
    bool inside = true;
    for (int64_t j = 0; j < n; ++j) {
        const int64_t y = sarvo::read_once(rows(j)), x = sarvo::read_once(cols(j));
        own_rows[j] = y;
        own_cols[j] = x;
        // One unsigned compare checks 0 <= v < extent.
        inside &= static_cast<uint64_t>(y) < static_cast<uint64_t>(ly) && static_cast<uint64_t>(x) < static_cast<uint64_t>(lx);
    }
    return inside;
}

}  // namespace

int32_t _steps2D(NoResult *result, ExcSlot exc, const Array<const float, 3> &flow, const Coords &coords,
                 const Array<float, 3> &disp, int32_t n_steps, float decay, bool interpolate) {
    if (flow.shape[0] != 2 || disp.shape[0] != 2) return sarvo::raise(exc, records::assert_steps2D);
    // Refused before disp is touched, so that a rejected call loses nothing.
    if (!same_extents(flow, disp)) return sarvo::raise(exc, records::flow_disp_mismatch);
    const auto &rows = coords.first;
    const auto &cols = coords.second;
    const int64_t n = rows.shape[0];
    // Without a step or a pixel, disp just becomes zeros: the coordinates are never read.
    if (n_steps <= 0 || n == 0) {
        std::memset(disp.data, 0, sizeof(float) * disp.nitems);
        return kOk;
    }
    if (cols.shape[0] < n) return sarvo::raise(exc, records::coords_columns_short);
    const int64_t ly = flow.shape[1], lx = flow.shape[2];
    Owned<Array<int64_t, 1>> own_rows, own_cols;
    if (int32_t st = sarvo::create_array(&own_rows.rec, {n}, Fill::Uninitialised, exc, false)) return st;
    if (int32_t st = sarvo::create_array(&own_cols.rec, {n}, Fill::Uninitialised, exc, false)) return st;
    if (!copy_inside(rows, cols, n, ly, lx, own_rows.rec.data, own_cols.rec.data))
        return sarvo::raise(exc, records::coords_outside_image);
    const Job job{flow.data, disp.data, ly, lx, own_rows.rec.data, own_cols.rec.data, n};
    const size_t plane_bytes = sizeof(float) * 2 * ly * lx;
    const bool by_pixel = strictly_row_major(job.rows, job.cols, n, lx) &&
                          !overlap(flow.data, plane_bytes, disp.data, plane_bytes);
    // The paired field speeds the walk up; without memory for it the plain walk does the job.
    std::unique_ptr<float[]> pairs;
    if (by_pixel && paired_walk(ly, lx)) {
        pairs.reset(new (std::nothrow) float[walk::pair_floats(ly, lx)]);
        if (pairs) walk::make_pairs(flow.data, ly, lx, pairs.get());
    }
    step_routine<float>(job, pairs.get(), by_pixel, n_steps, decay, interpolate);
    return kOk;
}

int32_t _steps2D_all(Array<float, 3> *result, ExcSlot exc, const Array<const float, 3> &flow, int32_t n_steps,
                     bool interpolate) {
    if (flow.shape[0] != 2) return sarvo::raise(exc, records::assert_steps2D_all);
    const int64_t ly = flow.shape[1], lx = flow.shape[2];

    Owned<Array<float, 3>> out;
    if (int32_t st = create_large_array(&out.rec, {2, ly, lx}, Fill::Uninitialised, exc, false)) return st;

    // The moving set: pixels whose squared flow magnitude exceeds 1e-6, in row-major order, as
    // runs along the rows.
    Owned<Array<uint8_t, 1>> moving;
    if (int32_t st = create_large_array(&moving.rec, {ly * lx}, Fill::Uninitialised, exc, false)) return st;
    const int64_t plane = ly * lx;
    uint8_t *const mask = moving.rec.data;
    int64_t count = 0, n_runs = 0;
    for (int64_t i = 0; i < plane; ++i) {
        const float f0 = flow.data[i], f1 = flow.data[plane + i];
        const float m = f0 * f0 + f1 * f1;
        mask[i] = static_cast<double>(m) > 1e-6;
        count += mask[i];
    }
    // A run starts at a moving pixel whose left neighbour in the row does not move.
    for (int64_t y = 0; count > 0 && y < ly; ++y) {
        const uint8_t *row = mask + y * lx;
        n_runs += row[0];
        for (int64_t x = 1; x < lx; ++x) n_runs += row[x] > row[x - 1];
    }
    Owned<Array<int64_t, 1>> run_fields;  // n_runs records of three int64
    if (int32_t st = create_large_array(&run_fields.rec, {3 * n_runs}, Fill::Uninitialised, exc, false)) return st;
    static_assert(sizeof(walk::Run) == 3 * sizeof(int64_t) && alignof(walk::Run) == alignof(int64_t));
    auto *runs = reinterpret_cast<walk::Run *>(run_fields.rec.data);
    for (int64_t y = 0, r = 0; r < n_runs && y < ly; ++y) {
        const uint8_t *row = mask + y * lx;
        for (int64_t x = 0; x < lx;) {
            if (!row[x]) {
                ++x;
                continue;
            }
            const int64_t start = x;
            while (x < lx && row[x]) ++x;
            runs[r++] = walk::Run{y, start, x - start};
        }
    }

    if (n_steps < 2) {
        *result = share_input(flow);
        return kOk;
    }

    /* The caller's flow is only read: every round after the first follows the output of the one
       before, which the vector walk reads from its paired copy (so the output can be rewritten
       in place) and the plain walk from a second planar buffer (the two swap every round). */
    const bool paired = count > 0 && paired_walk(ly, lx);  // the pairs pad the plane by a row and a column
    Owned<Array<float, 3>> scratch;
    const int64_t scratch_shape[3] = {paired ? ly + 1 : 2, paired ? lx + 1 : ly, paired ? 2 : lx};
    if (int32_t st = create_large_array(&scratch.rec, scratch_shape, Fill::Uninitialised, exc, false)) return st;

    const float *field = flow.data;
    float *into = out.rec.data, *spare = scratch.rec.data;
    if (paired) zero_outside_runs(into, plane, lx, runs, n_runs);
    for (int64_t t = 1; t < n_steps;) {
        const double decay = std::pow(0.8, static_cast<double>(t) / static_cast<double>(n_steps));
        int64_t r = (t + n_steps - 1) / t;  // ceil(n_steps / t); t >= 1, operands positive
        if (r > 8) r = 4;
        const Job job{field, into, ly, lx, nullptr, nullptr, count, runs, n_runs};
        if (paired) {
            // Copied before into is rewritten. into holds 0 wherever no pixel moves (zeroed
            // above), and the moving set never changes.
            walk::make_pairs(field, ly, lx, spare);
            step_routine<double>(job, spare, true, r, decay, interpolate, true);
            field = into;
        } else {
            step_routine<double>(job, nullptr, true, r, decay, interpolate);
            field = into;
            std::swap(into, spare);
        }
        t *= r;
    }
    *result = field == out.rec.data ? out.release() : scratch.release();
    return kOk;
}

}  // namespace pelmarinex::deviverozo_new::sarvo_functions
