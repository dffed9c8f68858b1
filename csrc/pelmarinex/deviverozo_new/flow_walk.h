// The per-pixel walk shared by _steps2D and _steps2D_all: each listed pixel takes a block of
// steps along an unchanging float32 field, starting from the displacement stored in disp and
// writing back the one it reaches. Pixels are independent, so a pixel may take all its steps
// before the next one starts, and several pixels may walk side by side in vector lanes; every
// lane performs exactly the scalar operations, so all paths give the same bits.
//
// field, disp: float32 (2, ly, lx), C-contiguous, distinct buffers.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "core/cpu_features.h"
#include "core/runtime/native_array.h"

namespace pelmarinex::deviverozo_new::sarvo_functions::walk {

// Listed pixels (y, x), (y, x + 1), ..., (y, x + length - 1) of one row.
struct Run {
    int64_t y, x, length;
};

struct Job {
    const float *field;
    float *disp;
    int64_t ly, lx;
    const int64_t *rows, *cols;  // pixel j is (rows[j], cols[j]), inside the image
    int64_t n;                   // pixels listed
    // When set, the pixels are these runs in turn instead, and n is their total length: a moving
    // set in row-major order costs 24 bytes per run instead of 16 per pixel.
    const Run *runs = nullptr;
    int64_t n_runs = 0;
};

// f(y, x) for every listed pixel, in order.
template <class F>
inline void for_each_pixel(const Job &job, F &&f) {
    if (job.runs) {
        for (int64_t r = 0; r < job.n_runs; ++r)
            for (int64_t x = job.runs[r].x, end = x + job.runs[r].length; x < end; ++x) f(job.runs[r].y, x);
    } else {
        for (int64_t j = 0; j < job.n; ++j) f(job.rows[j], job.cols[j]);
    }
}

// decay^k in the walk's own precision: binary exponentiation from the lowest bit up to 65536,
// the double-precision power function beyond.
template <class Real>
Real step_length(Real decay, int64_t k) {
    if (k > 65536) return static_cast<Real>(std::pow(static_cast<double>(decay), static_cast<double>(k)));
    Real result = 1, power = decay;
    for (uint64_t bits = static_cast<uint64_t>(k); bits; bits >>= 1) {
        if (bits & 1) result *= power;
        power *= power;
    }
    return result;
}

inline float at(const Job &job, int c, int64_t y, int64_t x) { return job.field[(c * job.ly + y) * job.lx + x]; }

// Bilinear sample of both channels at (y + dy, x + dx); products left to right, sums in order.
inline void sample_bilinear(const Job &job, int64_t y, int64_t x, float dy, float dx, float s[2]) {
    const float fy = std::floor(dy), fx = std::floor(dx);
    const int64_t y0 = y + static_cast<int64_t>(fy), x0 = x + static_cast<int64_t>(fx);
    const float ty = dy - fy, tx = dx - fx;
    const int64_t y1 = std::min(y0 + 1, job.ly - 1), x1 = std::min(x0 + 1, job.lx - 1);
    for (int c = 0; c < 2; ++c) {
        s[c] = ((at(job, c, y0, x0) * (1 - ty) * (1 - tx) + at(job, c, y0, x1) * (1 - ty) * tx) +
                at(job, c, y1, x0) * ty * (1 - tx)) +
               at(job, c, y1, x1) * ty * tx;
    }
}

// Nearest sample: the displacement rounded to nearest, ties to even.
inline void sample_nearest(const Job &job, int64_t y, int64_t x, float dy, float dx, float s[2]) {
    const int64_t ry = y + static_cast<int64_t>(std::rint(dy)), rx = x + static_cast<int64_t>(std::rint(dx));
    s[0] = at(job, 0, ry, rx);
    s[1] = at(job, 1, ry, rx);
}

// Clamped in double against the exact integer bounds so that the position stays in
// [0, extent - 1]; a NaN candidate takes the lower bound.
inline float clamp_offset(double candidate, int64_t position, int64_t extent) {
    // The bounds are the integers -position and extent - 1 - position: 0 is +0.0, never -0.0.
    const double lo = static_cast<double>(-position), hi = static_cast<double>(extent - 1 - position);
    const double v = candidate > lo ? candidate : lo;
    const float f = static_cast<float>(v < hi ? v : hi);
    // Beyond 2^24 a bound need not be a float, and rounding to one may step past it: one float
    // back inside. Below that the bounds are floats and these tests never hold.
    if (static_cast<double>(f) > hi) return std::nextafter(f, -INFINITY);
    if (static_cast<double>(f) < lo) return std::nextafter(f, INFINITY);
    return f;
}

/* A displacement read from disp, which the caller owns and another thread may change between
   blocks of steps: kept, bit for bit, when it leaves the position inside the image (every value
   the walk stores does), clamped like a step's result otherwise. */
inline float admit_offset(float d, int64_t position, int64_t extent) {
    const double v = d;
    if (v >= static_cast<double>(-position) && v <= static_cast<double>(extent - 1 - position)) return d;
    return clamp_offset(v, position, extent);
}

// One step of one pixel. Real float: the update is single precision (the _steps2D instance);
// Real double: the sample is widened and the update is double (the rounds of _steps2D_all).
template <class Real, bool Interpolate>
inline void step(const Job &job, int64_t y, int64_t x, float &dy, float &dx, Real length) {
    float s[2];
    if constexpr (Interpolate) sample_bilinear(job, y, x, dy, dx, s);
    else sample_nearest(job, y, x, dy, dx, s);
    const Real cy = static_cast<Real>(dy) + static_cast<Real>(s[0]) * length;
    const Real cx = static_cast<Real>(dx) + static_cast<Real>(s[1]) * length;
    dy = clamp_offset(static_cast<double>(cy), y, job.ly);
    dx = clamp_offset(static_cast<double>(cx), x, job.lx);
}

// Every listed pixel takes the steps lengths[0 .. count) in turn.
template <class Real, bool Interpolate>
void walk_scalar(const Job &job, const Real *lengths, int64_t count) {
    const int64_t plane = job.ly * job.lx;
    for_each_pixel(job, [&](int64_t y, int64_t x) {
        const int64_t p = y * job.lx + x;
        float dy = admit_offset(sarvo::read_once(job.disp[p]), y, job.ly);
        float dx = admit_offset(sarvo::read_once(job.disp[plane + p]), x, job.lx);
        for (int64_t k = 0; k < count; ++k) step<Real, Interpolate>(job, y, x, dy, dx, lengths[k]);
        job.disp[p] = dy;
        job.disp[plane + p] = dx;
    });
}

// The vector walk, for machines with AVX2. It samples the paired field: both channels of each
// pixel side by side, (ly + 1) rows of (lx + 1) pairs, the extra row and column repeating the
// last ones, so that a bilinear sample's clamped neighbour reads the same value from the copy.
// make_pairs builds it from a planar field; pixels need not be distinct from job.field, which
// the vector walk never reads. Needs fits_pair_lanes (32-bit pair indices; clamp bounds exact).
using sarvo::avx2_available;
bool fits_pair_lanes(int64_t ly, int64_t lx);
inline int64_t pair_floats(int64_t ly, int64_t lx) { return 2 * (ly + 1) * (lx + 1); }
void make_pairs(const float *field, int64_t ly, int64_t lx, float *pairs);
// from_zero: every listed pixel's displacement is known to be 0, so it is not read.
void walk_avx2(const Job &job, const float *pairs, const float *lengths, int64_t count, bool interpolate,
               bool from_zero = false);
void walk_avx2(const Job &job, const float *pairs, const double *lengths, int64_t count, bool interpolate,
               bool from_zero = false);
// The same walk with bilinear sampling, eight pixels a register, for machines with AVX-512
// (avx512_available()).
using sarvo::avx512_available;
void walk_avx512(const Job &job, const float *pairs, const float *lengths, int64_t count, bool from_zero = false);
void walk_avx512(const Job &job, const float *pairs, const double *lengths, int64_t count, bool from_zero = false);

}  // namespace pelmarinex::deviverozo_new::sarvo_functions::walk
