// Baseline for the benchmarks: a plain transcription of the flow-following kernels' loops
// (_steps2D and _steps2D_all), as a compiler produces them from the kernels' source: all
// listed pixels take step k before any takes step k + 1, one pixel after the other. No input
// checks: the runner feeds in-image coordinates. Built by benchmarks/scalar_lib.py with
// g++ -O2 -ffp-contract=off.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

namespace {

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

float clamp(double v, int64_t position, int64_t extent) {
    const double lo = static_cast<double>(-position), hi = static_cast<double>(extent - 1 - position);
    v = v > lo ? v : lo;
    return static_cast<float>(v < hi ? v : hi);
}

template <class Real>
void step_routine(const float *flow, float *disp, int64_t ly, int64_t lx, const int64_t *rows, const int64_t *cols,
                  int64_t n, int64_t n_steps, Real decay, bool interpolate) {
    const int64_t plane = ly * lx;
    std::memset(disp, 0, sizeof(float) * 2 * plane);
    for (int64_t k = 0; k < n_steps; ++k) {
        const Real step = step_length<Real>(decay, k);
        for (int64_t j = 0; j < n; ++j) {
            const int64_t y = rows[j], x = cols[j], p = y * lx + x;
            const float dy = disp[p], dx = disp[plane + p];
            float s0, s1;
            if (interpolate) {
                const float fy = std::floor(dy), fx = std::floor(dx);
                const int64_t y0 = y + static_cast<int64_t>(fy), x0 = x + static_cast<int64_t>(fx);
                const float ty = dy - fy, tx = dx - fx;
                const int64_t y1 = std::min(y0 + 1, ly - 1), x1 = std::min(x0 + 1, lx - 1);
                float s[2];
                for (int c = 0; c < 2; ++c) {
                    const float *f = flow + c * plane;
                    s[c] = ((f[y0 * lx + x0] * (1 - ty) * (1 - tx) + f[y0 * lx + x1] * (1 - ty) * tx) +
                            f[y1 * lx + x0] * ty * (1 - tx)) +
                           f[y1 * lx + x1] * ty * tx;
                }
                s0 = s[0], s1 = s[1];
            } else {
                const int64_t ry = y + static_cast<int64_t>(std::rint(dy)), rx = x + static_cast<int64_t>(std::rint(dx));
                s0 = flow[ry * lx + rx];
                s1 = flow[plane + ry * lx + rx];
            }
            const Real cy = static_cast<Real>(dy) + static_cast<Real>(s0) * step;
            const Real cx = static_cast<Real>(dx) + static_cast<Real>(s1) * step;
            disp[p] = clamp(static_cast<double>(cy), y, ly);
            disp[plane + p] = clamp(static_cast<double>(cx), x, lx);
        }
    }
}

}  // namespace

extern "C" {

void scalar_steps2D(const float *flow, float *disp, int64_t ly, int64_t lx, const int64_t *rows, const int64_t *cols,
                    int64_t n, int32_t n_steps, float decay, int interpolate) {
    step_routine<float>(flow, disp, ly, lx, rows, cols, n, n_steps, decay, interpolate != 0);
}

/* The floor of flow following: per pixel, `passes` bilinear samples of both channels at points
   along the straight path from the pixel to where disp says it ends (sample k at fraction
   (k + 1) / passes), summed into out. The same gathers a walk of `passes` steps makes, without
   its chain from one step to the next, its update or its clamping. */
void scalar_gather_floor(const float *field, const float *disp, int64_t ly, int64_t lx, int32_t passes, float *out) {
    const int64_t plane = ly * lx;
    for (int64_t y = 0; y < ly; ++y)
        for (int64_t x = 0; x < lx; ++x) {
            const int64_t p = y * lx + x;
            float sum = 0;
            for (int32_t k = 0; k < passes; ++k) {
                const float f = static_cast<float>(k + 1) / static_cast<float>(passes);
                const float dy = disp[p] * f, dx = disp[plane + p] * f;
                const float fy = std::floor(dy), fx = std::floor(dx);
                const int64_t y0 = y + static_cast<int64_t>(fy), x0 = x + static_cast<int64_t>(fx);
                const float ty = dy - fy, tx = dx - fx;
                const int64_t y1 = std::min(y0 + 1, ly - 1), x1 = std::min(x0 + 1, lx - 1);
                for (int c = 0; c < 2; ++c) {
                    const float *g = field + c * plane;
                    sum += ((g[y0 * lx + x0] * (1 - ty) * (1 - tx) + g[y0 * lx + x1] * (1 - ty) * tx) +
                            g[y1 * lx + x0] * ty * (1 - tx)) +
                           g[y1 * lx + x1] * ty * tx;
                }
            }
            out[p] = sum;
        }
}

// Returns 0 when the result is in flow (the caller's buffer), 1 when it is in other.
int scalar_steps2D_all(float *flow, float *other, int64_t ly, int64_t lx, int32_t n_steps, int interpolate) {
    const int64_t plane = ly * lx;
    std::vector<uint8_t> moving(plane);
    int64_t count = 0;
    for (int64_t i = 0; i < plane; ++i) {
        const float m = flow[i] * flow[i] + flow[plane + i] * flow[plane + i];
        moving[i] = static_cast<double>(m) > 1e-6;
        count += moving[i];
    }
    std::vector<int64_t> rows(count), cols(count);
    for (int64_t i = 0, j = 0; i < plane; ++i)
        if (moving[i]) rows[j] = i / lx, cols[j] = i % lx, ++j;
    if (n_steps < 2) return 0;
    float *a = flow, *b = other;
    for (int64_t t = 1; t < n_steps;) {
        const double decay = std::pow(0.8, static_cast<double>(t) / static_cast<double>(n_steps));
        int64_t r = (t + n_steps - 1) / t;
        if (r > 8) r = 4;
        step_routine<double>(a, b, ly, lx, rows.data(), cols.data(), count, r, decay, interpolate != 0);
        std::swap(a, b);
        t *= r;
    }
    return a == flow ? 0 : 1;
}

}  // extern "C"
