// The pixels of one block of the vector walks: a block walks side by side, then the next block
// starts where it ended. Shared by the AVX2 and AVX-512 builds; plain C++, no vector code.
#pragma once

#include <algorithm>
#include <cstdint>

#include "pelmarinex/deviverozo_new/flow_walk.h"

namespace pelmarinex::deviverozo_new::sarvo_functions::walk {

// Pixel i of a block; the last block repeats the last pixel, whose copies all compute the same
// value from the same start and store it in turn.
template <int Size>
struct BlockPixels {
    static constexpr int kSize = Size;
    int64_t y[Size], x[Size], p[Size];
};

// Where the next block starts: a listed pixel's index, or a run and the offset in it.
struct Cursor {
    int64_t j = 0, run = 0, offset = 0;
};

template <int Size>
void next_pixels(const Job &job, Cursor &at, BlockPixels<Size> &px) {
    if (job.runs) {
        for (int i = 0; i < Size; ++i) {
            while (at.run < job.n_runs && at.offset == job.runs[at.run].length) ++at.run, at.offset = 0;
            if (at.run == job.n_runs) {  // past the end: the last pixel again (i > 0, as n > 0)
                px.y[i] = px.y[i - 1], px.x[i] = px.x[i - 1];
                continue;
            }
            px.y[i] = job.runs[at.run].y;
            px.x[i] = job.runs[at.run].x + at.offset++;
        }
    } else {
        for (int i = 0; i < Size; ++i) {
            const int64_t j = std::min(at.j + i, job.n - 1);
            px.y[i] = job.rows[j];
            px.x[i] = job.cols[j];
        }
        at.j += Size;
    }
    for (int i = 0; i < Size; ++i) px.p[i] = px.y[i] * job.lx + px.x[i];
}

// True when pixels i .. i + Lanes - 1 are neighbours in one row, left to right: their
// displacements are then Lanes consecutive floats of each channel, loaded and stored whole.
template <int Lanes, int Size>
bool row_stretch(const BlockPixels<Size> &px, int i) {
    for (int k = 1; k < Lanes; ++k)
        if (px.y[i + k] != px.y[i] || px.x[i + k] != px.x[i] + k) return false;
    return true;
}

}  // namespace pelmarinex::deviverozo_new::sarvo_functions::walk
