// Row-wise pieces of the seed kernels that run in vector lanes: extend_seed's input check and
// label hand-over, and find_seeds' search for counts above the seed threshold. Each comes as
// a baseline build for any x86-64 and an AVX2 build, chosen at run time; both visit the pixels
// of a row in order and give the same results.
//
// A row: labels (uint32), dy, dx (int16) of row i of an image of ly x lx pixels; for the
// hand-over also the whole planes, to read the targets.
#pragma once

#include <cstdint>

namespace pelmarinex::deviverozo_new::sarvo_functions::seed_rows {

struct Planes {
    uint32_t *labels;
    const int16_t *dy, *dx;
    int64_t ly, lx;
};

/* True unless an unlabelled moving pixel of row i has a target outside [-ly, ly) x [-lx, lx)
   (a negative target counts once from the end). The vector build needs ly, lx < 2^30. */
bool row_targets_inside_baseline(const Planes &p, int64_t i);
bool row_targets_inside_avx2(const Planes &p, int64_t i);

/* Row i of the hand-over: every unlabelled moving pixel whose (checked) target is settled and
   labelled takes the target's label. Writes go only to moving pixels and reads only to settled
   ones, so the order of the pixels does not matter. The vector build needs ly * lx < 2^31. */
void hand_over_row_baseline(const Planes &p, int64_t i);
void hand_over_row_avx2(const Planes &p, int64_t i);

/* Columns j of a count row with row[j] > threshold (< 255), in increasing order, written to
   out (room for n); returns how many. */
int64_t above_baseline(const uint8_t *row, int64_t n, uint8_t threshold, int32_t *out);
int64_t above_avx2(const uint8_t *row, int64_t n, uint8_t threshold, int32_t *out);

// The parts of a row from column j0 on, which the vector builds leave to the baseline.
bool targets_inside_from(const Planes &p, int64_t i, int64_t j0);
void hand_over_from(const Planes &p, int64_t i, int64_t j0);
int64_t above_from(const uint8_t *row, int64_t j0, int64_t n, uint8_t threshold, int32_t *out);

bool avx2_available();
// 32-bit lanes: ly, lx < 2^30 and ly * lx < 2^31 - 1; dx must be the plane right after dy (as in
// a (2, ly, lx) array), so that two-byte reads past a plane's end stay inside the array.
bool fits_vector_lanes(const Planes &p);

}  // namespace pelmarinex::deviverozo_new::sarvo_functions::seed_rows
