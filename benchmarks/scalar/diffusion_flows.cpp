// Baseline for the benchmarks: a plain transcription of the diffusion-flow kernels' loops
// (_extend_centers, _masks_to_flow and the diffusion branch of compute_flow_error_cell_size),
// as a compiler produces them from the kernels' source: per object a fresh zeroed heat grid and
// scratch grid, the cell list, the closed form, the row and column passes over the cell list,
// log1p of the whole grid and the gradient. No input checks: the runner feeds well-formed
// masks and boxes. Built by benchmarks/scalar_lib.py with g++ -O2 -ffp-contract=off.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

namespace {

constexpr double kThreeOverFourPi = 0.238732414637843;
constexpr double kOneOver81 = 0.012345679012345678;

int64_t trunc_int64(double v) {
    if (!(v >= -9223372036854775808.0 && v < 9223372036854775808.0)) return INT64_MIN;
    return static_cast<int64_t>(v);
}

int64_t square_through_double(int64_t v) { return trunc_int64(static_cast<double>(v * v)); }

// Closed form of niter iterations for the offsets (dy[j], dx[j]); false on a division error.
bool approximate_diffusion(const int32_t *dy, const int32_t *dx, int64_t n, int32_t niter, double *out) {
    for (int64_t j = 0; j < n; ++j) {
        const double r = 0.75 * static_cast<double>(square_through_double(dy[j]) + square_through_double(dx[j]));
        double v;
        if (r == 0) {
            v = std::log1p(static_cast<double>(niter));
        } else {
            if (niter == -1) return false;
            const double e = r / static_cast<double>(int64_t{niter} + 1);
            if (e == 0) return false;
            v = std::log1p(1 / e) * std::exp(-e) - std::log1p(1 / r) * std::exp(-r);
        }
        out[j] = v * kThreeOverFourPi;
    }
    return true;
}

// One object: n pixels (ys, xs) in a (ly, lx) box; out is (n, 2). 0 on success.
int extend_centers(const int32_t *ys, const int32_t *xs, int64_t n, int32_t ly, int32_t lx, double approx_frac,
                   double *out) {
    if (n == 0) return 1;
    double sy = 0, sx = 0;
    for (int64_t j = 0; j < n; ++j) sy += ys[j];
    for (int64_t j = 0; j < n; ++j) sx += xs[j];
    const double ym = sy / n, xm = sx / n;
    int64_t j0 = 0;
    double best = 0;
    for (int64_t j = 0; j < n; ++j) {
        const double d = (ys[j] - ym) * (ys[j] - ym) + (xs[j] - xm) * (xs[j] - xm);
        if (j == 0 || d < best) best = d, j0 = j;
    }
    const int32_t yc = ys[j0], xc = xs[j0];

    const int64_t w = int64_t{lx} + 2;
    const int64_t size = (int64_t{ly} + 4) * w + 2;
    double *H = static_cast<double *>(std::calloc(size, sizeof(double)));
    double *S = static_cast<double *>(std::calloc(size, sizeof(double)));
    int64_t *cell = static_cast<int64_t *>(std::malloc(n * sizeof(int64_t)));
    for (int64_t j = 0; j < n; ++j) cell[j] = (int64_t{ys[j]} + 2) * w + xs[j] + 2;
    const int64_t cc = (int64_t{yc} + 2) * w + xc + 2;

    const int64_t niter = int64_t{ly} + lx;
    const int64_t n0 = trunc_int64(static_cast<double>(niter) * approx_frac);
    int64_t m = niter;
    int status = 0;
    if (n0 > 0) {
        std::vector<int32_t> dy(n), dx(n);
        std::vector<double> values(n);
        for (int64_t j = 0; j < n; ++j) dy[j] = ys[j] - yc, dx[j] = xs[j] - xc;
        if (!approximate_diffusion(dy.data(), dx.data(), n, static_cast<int32_t>(n0), values.data())) status = 1;
        for (int64_t j = 0; j < n; ++j) H[cell[j]] = values[j];
        m = niter - n0;
    }
    for (int64_t it = 0; it < m; ++it) {
        H[cc] += 1.0;
        for (int64_t j = 0; j < n; ++j) {
            const int64_t c = cell[j];
            S[c] = H[c - 2] + 2 * H[c - 1] + 3 * H[c] + 2 * H[c + 1] + H[c + 2];
        }
        for (int64_t j = 0; j < n; ++j) {
            const int64_t c = cell[j];
            H[c] = (S[c - 2 * w] + 2 * S[c - w] + 3 * S[c] + 2 * S[c + w] + S[c + 2 * w]) * kOneOver81;
        }
    }
    for (int64_t c = 0; c < size; ++c) H[c] = std::log1p(H[c]);
    for (int64_t j = 0; j < n; ++j) {
        const int64_t c = cell[j];
        const double gy = H[c + w] - H[c - w];
        const double gx = H[c + 1] - H[c - 1];
        const double norm = std::sqrt(gx * gx + gy * gy) + 1e-60;
        if (norm == 0) status = 1;
        const double q = 1.0 / norm;
        out[2 * j] = gy * q;
        out[2 * j + 1] = gx * q;
    }
    std::free(H);
    std::free(S);
    std::free(cell);
    return status;
}

struct Region {
    int32_t y0, y1, x0, x1;
    int64_t ry0, ry1, rx0, rx1;
};

int64_t resolve(int64_t b, int64_t extent) {
    if (b < 0) b += extent;
    return b < 0 ? 0 : (b > extent ? extent : b);
}

Region region_of(const int32_t *slices, int64_t k, int64_t ly, int64_t lx) {
    const int32_t *s = slices + 4 * k;
    return Region{s[0], s[1], s[2], s[3], resolve(s[0], ly), resolve(s[1], ly), resolve(s[2], lx), resolve(s[3], lx)};
}

// The box-local pixels of `label` in row-major order.
void collect(const uint32_t *masks, int64_t lx, const Region &r, int64_t label, std::vector<int32_t> &ys,
             std::vector<int32_t> &xs) {
    ys.clear();
    xs.clear();
    for (int64_t y = r.ry0; y < r.ry1; ++y)
        for (int64_t x = r.rx0; x < r.rx1; ++x)
            if (masks[y * lx + x] == label) ys.push_back(static_cast<int32_t>(y - r.ry0)), xs.push_back(static_cast<int32_t>(x - r.rx0));
}

}  // namespace

extern "C" {

// 0 on success, 1 on the division error.
int scalar_approximate_diffusion(const int32_t *dy, const int32_t *dx, int64_t n, int32_t niter, double *out) {
    return approximate_diffusion(dy, dx, n, niter, out) ? 0 : 1;
}

int scalar_extend_centers(const int32_t *ys, const int32_t *xs, int64_t n, int32_t ly, int32_t lx,
                          double approx_frac, double *out) {
    return extend_centers(ys, xs, n, ly, lx, approx_frac, out);
}

// Objects k = 0 .. nobj - 1, pixels [start[k], start[k + 1]) of ys and xs, in one call (so
// that the benchmark times the loops, not the calls); out holds the (n, 2) rows of all objects.
int scalar_extend_centers_many(const int32_t *ys, const int32_t *xs, const int64_t *start, const int32_t *ly,
                               const int32_t *lx, int64_t nobj, double approx_frac, double *out) {
    for (int64_t k = 0; k < nobj; ++k)
        if (extend_centers(ys + start[k], xs + start[k], start[k + 1] - start[k], ly[k], lx[k], approx_frac,
                           out + 2 * start[k]))
            return 1;
    return 0;
}

// mu: (2, ly, lx) float64, zero-filled here.
int scalar_masks_to_flow(const uint32_t *masks, int64_t ly, int64_t lx, const int32_t *slices, int64_t nobj,
                         double approx_frac, double *mu) {
    std::memset(mu, 0, sizeof(double) * 2 * ly * lx);
    std::vector<int32_t> ys, xs;
    for (int64_t k = 0; k < nobj; ++k) {
        const Region r = region_of(slices, k, ly, lx);
        if (r.y0 == r.y1) continue;
        collect(masks, lx, r, k + 1, ys, xs);
        const int64_t n = static_cast<int64_t>(ys.size());
        std::vector<double> out(2 * n);
        if (extend_centers(ys.data(), xs.data(), n, r.y1 - r.y0, r.x1 - r.x0, approx_frac, out.data())) return 1;
        for (int64_t j = 0; j < n; ++j) {
            mu[(r.ry0 + ys[j]) * lx + r.rx0 + xs[j]] = out[2 * j];
            mu[ly * lx + (r.ry0 + ys[j]) * lx + r.rx0 + xs[j]] = out[2 * j + 1];
        }
    }
    return 0;
}

// The diffusion branch (approx_frac < 1) of compute_flow_error_cell_size; flow is (2, ly, lx).
int scalar_flow_error_cell_size(const uint32_t *masks, const float *flow, int64_t ly, int64_t lx,
                                const int32_t *slices, int64_t nobj, uint32_t min_size, double approx_frac,
                                double *errors, uint32_t *sizes) {
    std::vector<int32_t> ys, xs;
    for (int64_t k = 0; k < nobj; ++k) {
        const Region r = region_of(slices, k, ly, lx);
        errors[k] = std::numeric_limits<double>::infinity();
        sizes[k] = 0;
        if (r.y0 == r.y1) continue;
        collect(masks, lx, r, k + 1, ys, xs);
        const int64_t n = static_cast<int64_t>(ys.size());
        sizes[k] = static_cast<uint32_t>(n);
        if (n < int64_t{min_size}) continue;
        std::vector<double> mu(2 * n);
        if (extend_centers(ys.data(), xs.data(), n, r.y1 - r.y0, r.x1 - r.x0, approx_frac, mu.data())) return 1;
        double sum = 0;
        for (int64_t j = 0; j < n; ++j) {
            const int64_t p = (r.ry0 + ys[j]) * lx + r.rx0 + xs[j];
            const double e0 = static_cast<double>(flow[p]) - mu[2 * j];
            const double e1 = static_cast<double>(flow[ly * lx + p]) - mu[2 * j + 1];
            sum = (e0 * e0 + e1 * e1) + sum;
        }
        errors[k] = sum / static_cast<double>(n);
    }
    return 0;
}

}  // extern "C"
