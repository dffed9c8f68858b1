// Flow following: _steps2D moves listed pixels along a float32 flow field; _steps2D_all picks
// the moving pixels itself and reaches n_steps through a few composition rounds.
//
// flow, disp: float32 (2, Ly, Lx), C-contiguous; channel 0 rows (y), channel 1 columns (x).
// coords: two int64 1-D arrays (rows, columns); N = number of rows.
#include <cmath>
#include <cstring>
#include <utility>

#include "np/arrayobj.h"
#include "pelmarinex/deviverozo_new/sarvo_functions.h"
#include "tarn/pickled_constants.h"

namespace pelmarinex::deviverozo_new::sarvo_functions {
namespace {

using sarvo::Fill;
using sarvo::kOk;
using sarvo::Owned;
namespace records = sarvo::records;

/* The step routine in two precisions. Real is float for the instance that Python reaches
   (_steps2D) and double for the one inside _steps2D_all: it sets the precision of the step
   length and of the update; samples are always single precision. */
template <class Real>
Real step_length(Real decay, int64_t k) {
    if (k > 65536) return static_cast<Real>(std::pow(static_cast<double>(decay), static_cast<double>(k)));
    // Binary exponentiation from the lowest bit, in the routine's own precision.
    Real result = 1, power = decay;
    for (uint64_t bits = static_cast<uint64_t>(k); bits; bits >>= 1) {
        if (bits & 1) result *= power;
        power *= power;
    }
    return result;
}

struct Field {
    const float *data;
    int64_t ly, lx;
    float at(int c, int64_t y, int64_t x) const { return data[(c * ly + y) * lx + x]; }
};

// Bilinear sample of both channels at (y + dy, x + dx); products left to right, sums in order.
inline void sample_bilinear(const Field &f, int64_t y, int64_t x, float dy, float dx, float s[2]) {
    const float fy = std::floor(dy), fx = std::floor(dx);
    const int64_t y0 = y + static_cast<int64_t>(fy), x0 = x + static_cast<int64_t>(fx);
    const float ty = dy - fy, tx = dx - fx;
    const int64_t y1 = std::min(y0 + 1, f.ly - 1), x1 = std::min(x0 + 1, f.lx - 1);
    for (int c = 0; c < 2; ++c) {
        s[c] = ((f.at(c, y0, x0) * (1 - ty) * (1 - tx) + f.at(c, y0, x1) * (1 - ty) * tx) +
                f.at(c, y1, x0) * ty * (1 - tx)) +
               f.at(c, y1, x1) * ty * tx;
    }
}

inline void sample_nearest(const Field &f, int64_t y, int64_t x, float dy, float dx, float s[2]) {
    const int64_t ry = y + static_cast<int64_t>(std::rint(dy)), rx = x + static_cast<int64_t>(std::rint(dx));
    s[0] = f.at(0, ry, rx);
    s[1] = f.at(1, ry, rx);
}

// Clamped so that the position stays in [0, extent - 1]; a NaN candidate takes the lower bound.
inline float clamp_offset(double candidate, int64_t position, int64_t extent) {
    const double lo = -static_cast<double>(position), hi = static_cast<double>(extent - 1 - position);
    const double v = candidate > lo ? candidate : lo;
    return static_cast<float>(v < hi ? v : hi);
}

template <class Real>
void step_routine(const Field &field, float *disp, const int64_t *rows, const int64_t *cols, int64_t n,
                  int64_t n_steps, Real decay, bool interpolate) {
    const int64_t plane = field.ly * field.lx;
    std::memset(disp, 0, sizeof(float) * 2 * plane);
    for (int64_t k = 0; k < n_steps; ++k) {
        const Real step = step_length<Real>(decay, k);
        for (int64_t j = 0; j < n; ++j) {
            const int64_t y = rows[j], x = cols[j];
            float &dy = disp[y * field.lx + x];
            float &dx = disp[plane + y * field.lx + x];
            float s[2];
            if (interpolate) sample_bilinear(field, y, x, dy, dx, s);
            else sample_nearest(field, y, x, dy, dx, s);
            const Real cy = static_cast<Real>(dy) + static_cast<Real>(s[0]) * step;
            const Real cx = static_cast<Real>(dx) + static_cast<Real>(s[1]) * step;
            dy = clamp_offset(static_cast<double>(cy), y, field.ly);
            dx = clamp_offset(static_cast<double>(cx), x, field.lx);
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
    if (n_steps > 0) {
        if (cols.shape[0] < n) return sarvo::raise(exc, records::coords_columns_short);
        if (!inside(rows, cols, n, flow.shape[1], flow.shape[2])) return sarvo::raise(exc, records::coords_outside_image);
    }
    const Field field{flow.data, flow.shape[1], flow.shape[2]};
    step_routine<float>(field, disp.data, rows.data, cols.data, n, n_steps, decay, interpolate);
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
        step_routine<double>(Field{a, ly, lx}, b, rows.rec.data, cols.rec.data, count, r, decay, interpolate);
        std::swap(a, b);
        t *= r;
    }
    *result = a == flow.data ? sarvo::share(flow) : other.release();
    return kOk;
}

}  // namespace pelmarinex::deviverozo_new::sarvo_functions
