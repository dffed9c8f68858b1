// The pixels of one block of the vector walks: a block walks side by side, then the next block
// starts where it ended. Shared by the AVX2 and AVX-512 builds; plain C++, no vector code.
#pragma once

#include <algorithm>
#include <cstdint>

#include "pelmarinex/deviverozo_new/flow_walk.h"

namespace pelmarinex::deviverozo_new::sarvo_functions::walk {

// Pixel i of a block, walked Lanes to a register; the last block repeats the last pixel, whose
// copies all compute the same value from the same start and store it in turn. stretch[g]: the
// pixels of register g are neighbours in one row, left to right, so their displacements are
// Lanes consecutive floats of each channel, loaded and stored whole; only its first pixel is set.
template <int Size, int Lanes>
struct BlockPixels {
    static_assert(Size % Lanes == 0);
    int64_t y[Size], x[Size], p[Size];
    bool stretch[Size / Lanes];
};

// Where the next block starts: a listed pixel's index, or a run and the offset in it.
struct Cursor {
    int64_t j = 0, run = 0, offset = 0;
};

// The next pixel, or the last one again past the end; false when past the end.
inline bool next_pixel(const Job &job, Cursor &at, int64_t &y, int64_t &x) {
    if (!job.runs) {
        if (at.j == job.n) return false;
        y = job.rows[at.j], x = job.cols[at.j];
        ++at.j;
        return true;
    }
    while (at.run < job.n_runs && at.offset == job.runs[at.run].length) ++at.run, at.offset = 0;
    if (at.run == job.n_runs) return false;
    y = job.runs[at.run].y, x = job.runs[at.run].x + at.offset++;
    return true;
}

// Needs a listed pixel at the cursor. A register that a run fills is set from the run at once;
// any other pixel by pixel.
template <int Size, int Lanes>
void next_pixels(const Job &job, Cursor &at, BlockPixels<Size, Lanes> &px) {
    int64_t y = 0, x = 0;
    for (int g = 0; g < Size / Lanes; ++g) {
        const int i = g * Lanes;
        if (job.runs && at.run < job.n_runs && job.runs[at.run].length - at.offset >= Lanes) {
            const Run &run = job.runs[at.run];
            px.y[i] = run.y, px.x[i] = run.x + at.offset;
            px.p[i] = px.y[i] * job.lx + px.x[i];
            px.stretch[g] = true;
            y = run.y, x = px.x[i] + Lanes - 1;  // the last pixel so far
            at.offset += Lanes;
            if (at.offset == run.length) ++at.run, at.offset = 0;
            continue;
        }
        bool stretch = true;
        for (int k = 0; k < Lanes; ++k) {
            next_pixel(job, at, y, x);  // past the end, y and x keep the last pixel
            px.y[i + k] = y, px.x[i + k] = x, px.p[i + k] = y * job.lx + x;
            stretch &= y == px.y[i] && x == px.x[i] + k;
        }
        px.stretch[g] = stretch;
    }
}

}  // namespace pelmarinex::deviverozo_new::sarvo_functions::walk
