// The baseline build of the strip-wise diffusion, the cell list form, strips and dispatch.
#include "pelmarinex/deviverozo_new/diffusion_grid.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

namespace pelmarinex::deviverozo_new::sarvo_functions::diffusion::grid {
namespace {

// v where the mask is all ones, +0.0 where it is 0: the bits of v, or no bits.
inline double masked(double v, uint64_t mask) { return std::bit_cast<double>(std::bit_cast<uint64_t>(v) & mask); }

inline bool any_in_strip(const uint64_t *mask, int64_t c, int64_t lanes) {
    uint64_t any = 0;
    for (int64_t l = 0; l < lanes; ++l) any |= mask[c + l];
    return any != 0;
}

}  // namespace

bool shape_of(int64_t ly, int64_t lx, Shape *out) {
    if (ly < 0 || lx < 0 || lx > std::numeric_limits<int64_t>::max() / 2 || ly > std::numeric_limits<int64_t>::max() / 2)
        return false;
    // Rows of whole strips of eight: strips of four fit them too.
    const int64_t width = (lx + kWideLanes - 1) / kWideLanes * kWideLanes + 2 * kMarginLeft;
    int64_t cells;
    if (__builtin_mul_overflow(ly + 2 * kMarginRows, width, &cells)) return false;
    *out = Shape{ly, lx, width, cells};
    return true;
}

int64_t strips_of(const Shape &shape, const uint64_t *mask, int64_t lanes, Strip *out, int64_t *total_rows) {
    int64_t count = 0, rows = 0;
    for (int64_t s = 0; s < shape.strips(lanes); ++s) {
        const int64_t x0 = s * lanes;
        int64_t top = 0, bottom = shape.ly - 1;
        while (top < shape.ly && !any_in_strip(mask, shape.cell(top, x0), lanes)) ++top;
        if (top == shape.ly) continue;
        while (!any_in_strip(mask, shape.cell(bottom, x0), lanes)) --bottom;
        out[count++] = Strip{shape.cell(top, x0), bottom - top + 1, top, x0};
        rows += bottom - top + 1;
    }
    *total_rows = rows;
    return count;
}

void diffuse_baseline(const Job &job) {
    const int64_t w = job.width, lanes = job.lanes;
    for (int64_t it = 0; it < job.iterations; ++it) {
        const double *const old = job.heat[it % 2];
        double *const next = job.heat[1 - it % 2];
        job.heat[it % 2][job.centre] += 1.0;
        for (int64_t s = 0; s < job.nstrips; ++s) {
            const Strip &strip = job.strips[s];
            const Pass p = pass_rows(job, strip, it);
            if (p.s_lo > p.s_hi) continue;
            // S of rows r - 4 .. r - 1 (zeros above the first row), lanes side by side.
            double window[4][kWideLanes] = {};
            int64_t c = strip.first + (p.o_lo - strip.top) * w;
            for (int64_t r = p.o_lo; r <= p.o_hi + 2; ++r, c += w) {
                double row[kWideLanes] = {};  // zeros outside [s_lo, s_hi]
                if (r >= p.s_lo && r <= p.s_hi) {
                    for (int64_t l = 0; l < lanes; ++l) {
                        const double v = old[c + l - 2] + 2.0 * old[c + l - 1] + 3.0 * old[c + l] +
                                         2.0 * old[c + l + 1] + old[c + l + 2];
                        row[l] = masked(v, job.mask[c + l]);
                    }
                }
                if (r >= p.o_lo + 2) {
                    const int64_t out = c - 2 * w;
                    for (int64_t l = 0; l < lanes; ++l) {
                        const double v = (window[0][l] + 2.0 * window[1][l] + 3.0 * window[2][l] + 2.0 * window[3][l] +
                                          row[l]) * kOneOver81;
                        next[out + l] = masked(v, job.mask[out + l]);
                    }
                }
                for (int64_t l = 0; l < lanes; ++l) {
                    window[0][l] = window[1][l];
                    window[1][l] = window[2][l];
                    window[2][l] = window[3][l];
                    window[3][l] = row[l];
                }
            }
        }
    }
}

void diffuse_cells(double *H, double *S, const int64_t *cells, int64_t n, int64_t width, int64_t centre,
                   int64_t iterations) {
    for (int64_t it = 0; it < iterations; ++it) {
        H[centre] += 1.0;
        for (int64_t j = 0; j < n; ++j) {
            const int64_t c = cells[j];
            S[c] = H[c - 2] + 2.0 * H[c - 1] + 3.0 * H[c] + 2.0 * H[c + 1] + H[c + 2];
        }
        for (int64_t j = 0; j < n; ++j) {
            const int64_t c = cells[j];
            H[c] = (S[c - 2 * width] + 2.0 * S[c - width] + 3.0 * S[c] + 2.0 * S[c + width] + S[c + 2 * width]) *
                   kOneOver81;
        }
    }
}

bool unit_gradients_baseline(const double *L, const int64_t *cells, int64_t n, int64_t width, double *out) {
    for (int64_t j = 0; j < n; ++j) {
        const int64_t c = cells[j];
        const double gy = L[c + width] - L[c - width];
        const double gx = L[c + 1] - L[c - 1];
        if (!unit_vector(gy, gx, out + 2 * j)) return false;
    }
    return true;
}

int64_t collect_row_baseline(const uint32_t *row, int64_t n, uint32_t label, int32_t y, int32_t *ys, int32_t *xs) {
    // Every pixel is written at the next free place and kept only when it carries the label,
    // which needs no branch.
    int64_t kept = 0;
    for (int64_t x = 0; x < n; ++x) {
        ys[kept] = y;
        xs[kept] = static_cast<int32_t>(x);
        kept += row[x] == label;
    }
    return kept;
}

void squared_distances_baseline(const int32_t *ys, const int32_t *xs, int64_t n, double ym, double xm, double *out) {
    for (int64_t j = 0; j < n; ++j) out[j] = squared_distance(ys[j], xs[j], ym, xm);
}

void squared_distances(const int32_t *ys, const int32_t *xs, int64_t n, double ym, double xm, double *out) {
    if (avx2_available()) squared_distances_avx2(ys, xs, n, ym, xm, out);
    else squared_distances_baseline(ys, xs, n, ym, xm, out);
}

int64_t sum_baseline(const int32_t *v, int64_t n) {
    int64_t sum = 0;
    for (int64_t j = 0; j < n; ++j) sum += v[j];
    return sum;
}

Extent extent_baseline(const int32_t *ys, const int32_t *xs, int64_t n) {
    Extent e{ys[0], ys[0], xs[0], xs[0]};
    for (int64_t j = 1; j < n; ++j) {
        e.y0 = std::min<int64_t>(e.y0, ys[j]);
        e.y1 = std::max<int64_t>(e.y1, ys[j]);
        e.x0 = std::min<int64_t>(e.x0, xs[j]);
        e.x1 = std::max<int64_t>(e.x1, xs[j]);
    }
    return e;
}

Extent extent_of(const int32_t *ys, const int32_t *xs, int64_t n) {
    return avx2_available() ? extent_avx2(ys, xs, n) : extent_baseline(ys, xs, n);
}

void cells_baseline(const int32_t *ys, const int32_t *xs, int64_t n, const Extent &e, int64_t width, int64_t *cells) {
    for (int64_t j = 0; j < n; ++j) cells[j] = (ys[j] - e.y0 + kMarginRows) * width + (xs[j] - e.x0 + kMarginLeft);
}

void cells_of(const int32_t *ys, const int32_t *xs, int64_t n, const Extent &e, int64_t width, int64_t *cells) {
    if (avx2_available()) cells_avx2(ys, xs, n, e, width, cells);
    else cells_baseline(ys, xs, n, e, width, cells);
}

int64_t squared_offsets_baseline(const int32_t *ys, const int32_t *xs, int64_t n, int32_t cy, int32_t cx,
                                 int64_t *squared) {
    return squared_offsets_by(n, [&](int64_t j, int64_t *dy, int64_t *dx) {
        *dy = int64_t{ys[j]} - cy;
        *dx = int64_t{xs[j]} - cx;
    }, squared);
}

int64_t squared_offsets(const int32_t *ys, const int32_t *xs, int64_t n, int32_t cy, int32_t cx, int64_t *squared) {
    return avx2_available() ? squared_offsets_avx2(ys, xs, n, cy, cx, squared)
                            : squared_offsets_baseline(ys, xs, n, cy, cx, squared);
}

int64_t strip_lanes() { return avx512_available() ? kWideLanes : kLanes; }

void diffuse(const Job &job) {
    if (job.lanes == kWideLanes && avx512_available()) diffuse_avx512(job);
    else if (job.lanes == kLanes && avx2_available()) diffuse_avx2(job);
    else diffuse_baseline(job);
}

bool unit_gradients(const double *L, const int64_t *cells, int64_t n, int64_t width, double *out) {
    return avx2_available() ? unit_gradients_avx2(L, cells, n, width, out)
                            : unit_gradients_baseline(L, cells, n, width, out);
}

}  // namespace pelmarinex::deviverozo_new::sarvo_functions::diffusion::grid
