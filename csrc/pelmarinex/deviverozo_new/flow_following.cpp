// Flow following: _steps2D moves listed pixels along a float32 flow field; _steps2D_all picks
// the moving pixels itself and reaches n_steps through a few composition rounds.
//
// flow, disp: float32 (2, Ly, Lx), C-contiguous; channel 0 rows (y), channel 1 columns (x).
// coords: two int64 1-D arrays (rows, columns); N = number of rows.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

#include "np/arrayobj.h"
#include "pelmarinex/deviverozo_new/flow_walk.h"
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
   and the field is not the output, each pixel may instead take a whole block of steps in turn
   (its update reads only its own displacement and the unchanging field), which is the same
   result at a fraction of the memory traffic. Real is float for the instance Python reaches
   (_steps2D) and double for the rounds of _steps2D_all. */
template <class Real>
void step_routine(const Job &job, int64_t n_steps, Real decay, bool interpolate) {
    const size_t plane_bytes = sizeof(float) * 2 * job.ly * job.lx;
    std::memset(job.disp, 0, plane_bytes);
    const bool pixel_by_pixel = strictly_row_major(job.rows, job.cols, job.n, job.lx) &&
                                !overlap(job.field, plane_bytes, job.disp, plane_bytes);
    Real lengths[kStepBlock];
    for (int64_t k0 = 0; k0 < n_steps; k0 += kStepBlock) {
        const int64_t count = std::min(kStepBlock, n_steps - k0);
        for (int64_t k = 0; k < count; ++k) lengths[k] = walk::step_length<Real>(decay, k0 + k);
        if (pixel_by_pixel) {
            walk::walk(job, lengths, count, interpolate);
            continue;
        }
        for (int64_t k = 0; k < count; ++k) {
            if (interpolate) walk::walk_scalar<Real, true>(job, 0, job.n, &lengths[k], 1);
            else walk::walk_scalar<Real, false>(job, 0, job.n, &lengths[k], 1);
        }
    }
}

bool same_extents(const Array<const float, 3> &a, const Array<float, 3> &b) {
    return a.shape[0] == b.shape[0] && a.shape[1] == b.shape[1] && a.shape[2] == b.shape[2];
}

bool inside(const Array<const int64_t, 1> &rows, const Array<const int64_t, 1> &cols, int64_t n, int64_t ly,
            int64_t lx) {
    for (int64_t j = 0; j < n; ++j) {
        // One unsigned compare checks 0 <= v < extent.
        if (static_cast<uint64_t>(rows(j)) >= static_cast<uint64_t>(ly)) return false;
        if (static_cast<uint64_t>(cols(j)) >= static_cast<uint64_t>(lx)) return false;
    }
    return true;
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
    if (!inside(rows, cols, n, flow.shape[1], flow.shape[2])) return sarvo::raise(exc, records::coords_outside_image);
    const Job job{flow.data, disp.data, flow.shape[1], flow.shape[2], rows.data, cols.data, n};
    step_routine<float>(job, n_steps, decay, interpolate);
    return kOk;
}

int32_t _steps2D_all(Array<float, 3> *result, ExcSlot exc, const Array<float, 3> &flow, int32_t n_steps,
                     bool interpolate) {
    if (flow.shape[0] != 2) return sarvo::raise(exc, records::assert_steps2D_all);
    const int64_t ly = flow.shape[1], lx = flow.shape[2];

    Owned<Array<float, 3>> other;
    if (int32_t st = sarvo::create_array(&other.rec, {2, ly, lx}, Fill::Uninitialised, exc, false)) return st;

    // The moving set: pixels whose squared flow magnitude exceeds 1e-6, in row-major order.
    Owned<Array<uint8_t, 1>> moving;
    if (int32_t st = sarvo::create_array(&moving.rec, {ly * lx}, Fill::Uninitialised, exc, false)) return st;
    const int64_t plane = ly * lx;
    int64_t count = 0;
    for (int64_t i = 0; i < plane; ++i) {
        const float f0 = flow.data[i], f1 = flow.data[plane + i];
        const float m = f0 * f0 + f1 * f1;
        moving.rec.data[i] = static_cast<double>(m) > 1e-6;
        count += moving.rec.data[i];
    }
    Owned<Array<int64_t, 1>> rows, cols;
    if (int32_t st = sarvo::create_array(&rows.rec, {count}, Fill::Uninitialised, exc, false)) return st;
    if (int32_t st = sarvo::create_array(&cols.rec, {count}, Fill::Uninitialised, exc, false)) return st;
    for (int64_t i = 0, j = 0; i < plane; ++i) {
        if (!moving.rec.data[i]) continue;
        rows.rec.data[j] = i / lx;
        cols.rec.data[j] = i % lx;
        ++j;
    }

    if (n_steps < 2) {
        *result = sarvo::share(flow);
        return kOk;
    }

    // a is the field of the next round, b receives its output; they swap after every round.
    float *a = flow.data, *b = other.rec.data;
    for (int64_t t = 1; t < n_steps;) {
        const double decay = std::pow(0.8, static_cast<double>(t) / static_cast<double>(n_steps));
        int64_t r = (t + n_steps - 1) / t;  // ceil(n_steps / t); t >= 1, operands positive
        if (r > 8) r = 4;
        step_routine<double>(Job{a, b, ly, lx, rows.rec.data, cols.rec.data, count}, r, decay, interpolate);
        std::swap(a, b);
        t *= r;
    }
    *result = a == flow.data ? sarvo::share(flow) : other.release();
    return kOk;
}

}  // namespace pelmarinex::deviverozo_new::sarvo_functions
