// Row-wise pieces of the seed kernels that run in vector lanes: extend_seed's checked label
// hand-over, and find_seeds' search for counts above the seed threshold. Each comes as
// a baseline build for any x86-64 and an AVX2 build, chosen at run time; both visit the pixels
// of a row in order and give the same results.
//
// A row: labels (uint32), dy, dx (int16) of row i of an image of ly x lx pixels; for the
// hand-over also the whole planes, to read the targets.
#pragma once

#include <cstdint>

#include "core/cpu_features.h"

namespace pelmarinex::deviverozo_new::sarvo_functions::seed_rows {

struct Planes {
    uint32_t *labels;
    const int16_t *dy, *dx;
    int64_t ly, lx;
};

/* Row i of extend_seed's hand-over, checking as it goes: every unlabelled moving pixel whose
   target lies in [-ly, ly) x [-lx, lx) (a negative target counts once from the end) and is
   settled and labelled takes the target's label, and its bit in `taken` (row i of a bitmap:
   bit j % 8 of byte j / 8) is set. Writes go only to moving pixels and reads only to settled
   ones, so the order of the pixels does not matter. Returns false at an unlabelled moving pixel
   whose target lies outside; pixels of the row before it may have taken labels (their bits are
   set). The vector build needs fits_vector_lanes. */
bool hand_over_row_baseline(const Planes &p, int64_t i, uint8_t *taken);
bool hand_over_row_avx2(const Planes &p, int64_t i, uint8_t *taken);

// Bytes per row of the taken bitmap.
inline int64_t taken_stride(int64_t lx) { return (lx + 7) / 8; }

/* The whole hand-over, in one pass that checks the targets as it reads them. A refusal puts
   back 0 into every pixel it had labelled (all were 0 on entry), so the labels are as they were
   and false is returned. taken: ly * taken_stride(lx) bytes, which it zeroes row by row. */
bool hand_over(const Planes &p, uint8_t *taken, bool vector);

// Row i of the displacements and of the selection, for p_histogram's counting.
struct CountRow {
    const int16_t *dy, *dx;   // the row's entries of the two planes
    const uint8_t *selected;  // the row's selection: a pixel counts where its byte is not 0
    int64_t i, ly, lx;
};

/* Every selected pixel of the row adds one to the count at its target (ly, lx counts), which
   saturates at 255; targets are accepted as for the hand-over. Adds of one commute, so pixels
   may be counted in any order and a run of k pixels with one target as min(count + k, 255).
   Returns false at a selected pixel whose target lies outside; counts for pixels of the row
   before it may have been added. The vector build needs fits_lanes(ly, lx). */
bool count_row_baseline(const CountRow &r, uint8_t *counts);
bool count_row_avx2(const CountRow &r, uint8_t *counts);

// counts[t] = min(counts[t] + k, 255), for k >= 0.
inline void add_saturating(uint8_t *counts, int64_t t, int64_t k) {
    const int64_t sum = counts[t] + k;
    counts[t] = static_cast<uint8_t>(sum < 255 ? sum : 255);
}

/* Columns j of a count row with row[j] > threshold (< 255), in increasing order, written to
   out (room for n); returns how many. */
int64_t above_baseline(const uint8_t *row, int64_t n, uint8_t threshold, int32_t *out);
int64_t above_avx2(const uint8_t *row, int64_t n, uint8_t threshold, int32_t *out);

// The parts of a row from column j0 on, which the vector builds leave to the baseline.
bool hand_over_from(const Planes &p, int64_t i, int64_t j0, uint8_t *taken);
bool count_from(const CountRow &r, int64_t j0, uint8_t *counts);
int64_t above_from(const uint8_t *row, int64_t j0, int64_t n, uint8_t threshold, int32_t *out);

using sarvo::avx2_available;
// 32-bit lanes: ly, lx < 2^30 and ly * lx < 2^31 - 1; dx must be the plane right after dy (as in
// a (2, ly, lx) array), so that two-byte reads past a plane's end stay inside the array.
bool fits_vector_lanes(const Planes &p);
bool fits_lanes(int64_t ly, int64_t lx);
// Targets and their flat indices in 32-bit lanes: ly, lx < 2^30 and ly * lx < 2^31 - 1.
bool fits_lanes(int64_t ly, int64_t lx);

}  // namespace pelmarinex::deviverozo_new::sarvo_functions::seed_rows
