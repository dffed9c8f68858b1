// The baseline builds of the row-wise seed pieces.
#include "pelmarinex/deviverozo_new/seed_rows.h"

namespace pelmarinex::deviverozo_new::sarvo_functions::seed_rows {
namespace {

// A target t is accepted in [-extent, extent), which is one unsigned compare of t + extent
// against 2 * extent.
inline bool accepted(int64_t t, int64_t extent) {
    return static_cast<uint64_t>(t + extent) < static_cast<uint64_t>(2 * extent);
}
inline int64_t wrap(int64_t t, int64_t extent) { return t < 0 ? t + extent : t; }

}  // namespace

// Columns [j0, lx) of row i; without branches, so that the compiler may use vector lanes.
bool targets_inside_from(const Planes &p, int64_t i, int64_t j0) {
    const int64_t row = i * p.lx;
    const uint32_t *labels = p.labels + row;
    const int16_t *dy = p.dy + row, *dx = p.dx + row;
    bool outside = false;
    for (int64_t j = j0; j < p.lx; ++j) {
        const bool reads = (labels[j] == 0) & ((dy[j] | dx[j]) != 0);
        outside |= reads & !(accepted(i + dy[j], p.ly) & accepted(j + dx[j], p.lx));
    }
    return !outside;
}

void hand_over_from(const Planes &p, int64_t i, int64_t j0) {
    // Local copies: the label stores would otherwise make the compiler reload the planes.
    uint32_t *const labels = p.labels;
    const int16_t *const dy = p.dy, *const dx = p.dx;
    const int64_t ly = p.ly, lx = p.lx, row = i * lx;
    for (int64_t j = j0; j < lx; ++j) {
        const int64_t q = row + j;
        if (labels[q] != 0) continue;
        const int64_t oy = dy[q], ox = dx[q];
        if (oy == 0 && ox == 0) continue;
        const int64_t t = wrap(i + oy, ly) * lx + wrap(j + ox, lx);
        if (dy[t] == 0 && dx[t] == 0 && labels[t] != 0) labels[q] = labels[t];
    }
}

bool row_targets_inside_baseline(const Planes &p, int64_t i) { return targets_inside_from(p, i, 0); }

void hand_over_row_baseline(const Planes &p, int64_t i) { hand_over_from(p, i, 0); }

int64_t above_from(const uint8_t *row, int64_t j0, int64_t n, uint8_t threshold, int32_t *out) {
    int64_t count = 0;
    for (int64_t j = j0; j < n; ++j) {
        out[count] = static_cast<int32_t>(j);
        count += row[j] > threshold;
    }
    return count;
}

int64_t above_baseline(const uint8_t *row, int64_t n, uint8_t threshold, int32_t *out) {
    return above_from(row, 0, n, threshold, out);
}

bool avx2_available() {
    static const bool available = __builtin_cpu_supports("avx2");
    return available;
}

bool fits_vector_lanes(const Planes &p) {
    return p.ly < (int64_t{1} << 30) && p.lx < (int64_t{1} << 30) && p.ly * p.lx < (int64_t{1} << 31) - 1 &&
           p.dx == p.dy + p.ly * p.lx;
}

}  // namespace pelmarinex::deviverozo_new::sarvo_functions::seed_rows
