// The baseline builds of the row-wise seed pieces.
#include <cstring>

#include "core/runtime/native_array.h"
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

bool hand_over_from(const Planes &p, int64_t i, int64_t j0, uint8_t *taken) {
    // Local copies: the label stores would otherwise make the compiler reload the planes.
    uint32_t *const labels = p.labels;
    const int16_t *const dy = p.dy, *const dx = p.dx;
    const int64_t ly = p.ly, lx = p.lx, row = i * lx;
    for (int64_t j = j0; j < lx; ++j) {
        const int64_t q = row + j;
        if (labels[q] != 0) continue;
        // The target is checked and followed from one read of the caller's displacements.
        const int64_t oy = sarvo::read_once(dy[q]), ox = sarvo::read_once(dx[q]);
        if (oy == 0 && ox == 0) continue;
        if (!accepted(i + oy, ly) || !accepted(j + ox, lx)) return false;
        const int64_t t = wrap(i + oy, ly) * lx + wrap(j + ox, lx);
        if (dy[t] == 0 && dx[t] == 0 && labels[t] != 0) {
            labels[q] = labels[t];
            taken[j / 8] |= static_cast<uint8_t>(1u << (j % 8));
        }
    }
    return true;
}

bool hand_over_row_baseline(const Planes &p, int64_t i, uint8_t *taken) { return hand_over_from(p, i, 0, taken); }

bool hand_over(const Planes &p, uint8_t *taken, bool vector) {
    const int64_t stride = taken_stride(p.lx);
    for (int64_t i = 0; i < p.ly; ++i) {
        uint8_t *row = taken + i * stride;
        std::memset(row, 0, static_cast<size_t>(stride));  // here, while the row is in cache
        if (sarvo::avx2_builds && vector ? hand_over_row_avx2(p, i, row) : hand_over_row_baseline(p, i, row)) continue;
        // Only rows up to i can hold bits; most bytes are 0, so whole bytes are skipped.
        for (int64_t y = 0; y <= i; ++y)
            for (int64_t b = 0; b < stride; ++b)
                for (unsigned bits = taken[y * stride + b]; bits != 0; bits &= bits - 1)
                    p.labels[y * p.lx + b * 8 + __builtin_ctz(bits)] = 0;
        return false;
    }
    return true;
}

bool count_from(const CountRow &r, int64_t j0, uint8_t *counts) {
    // Neighbouring pixels mostly end on the same pixel: runs are added at once.
    int64_t run_target = 0, run = 0;
    for (int64_t j = j0; j < r.lx; ++j) {
        if (!r.selected[j]) continue;
        const int64_t ty = r.i + sarvo::read_once(r.dy[j]), tx = j + sarvo::read_once(r.dx[j]);
        if (!accepted(ty, r.ly) || !accepted(tx, r.lx)) return false;
        const int64_t target = wrap(ty, r.ly) * r.lx + wrap(tx, r.lx);
        if (target == run_target) {
            ++run;
            continue;
        }
        if (run > 0) add_saturating(counts, run_target, run);
        run_target = target;
        run = 1;
    }
    if (run > 0) add_saturating(counts, run_target, run);
    return true;
}

bool count_row_baseline(const CountRow &r, uint8_t *counts) { return count_from(r, 0, counts); }

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

bool fits_lanes(int64_t ly, int64_t lx) {
    return ly < (int64_t{1} << 30) && lx < (int64_t{1} << 30) && ly * lx < (int64_t{1} << 31) - 1;
}

bool fits_vector_lanes(const Planes &p) { return fits_lanes(p.ly, p.lx) && p.dx == p.dy + p.ly * p.lx; }

}  // namespace pelmarinex::deviverozo_new::sarvo_functions::seed_rows
