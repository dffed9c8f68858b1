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
// Lanes consecutive floats of each channel, loaded and stored whole.
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

// Needs a listed pixel at the cursor.
template <int Size, int Lanes>
void next_pixels(const Job &job, Cursor &at, BlockPixels<Size, Lanes> &px) {
    int i = 0;
    if (job.runs) {
        // A run at a time: a row of the moving set fills whole registers with few instructions.
        while (i < Size && at.run < job.n_runs) {
            const Run &run = job.runs[at.run];
            const int64_t take = std::min<int64_t>(run.length - at.offset, Size - i);
            for (int64_t k = 0; k < take; ++k) px.y[i + k] = run.y, px.x[i + k] = run.x + at.offset + k;
            i += static_cast<int>(take);
            at.offset += take;
            if (at.offset == run.length) ++at.run, at.offset = 0;
        }
    } else {
        for (; i < Size && at.j < job.n; ++i, ++at.j) px.y[i] = job.rows[at.j], px.x[i] = job.cols[at.j];
    }
    for (; i < Size; ++i) px.y[i] = px.y[i - 1], px.x[i] = px.x[i - 1];  // i > 0: a pixel was listed
    for (int k = 0; k < Size; ++k) px.p[k] = px.y[k] * job.lx + px.x[k];
    for (int g = 0; g < Size / Lanes; ++g) {
        bool stretch = true;
        for (int k = 1; k < Lanes; ++k)
            stretch &= px.y[g * Lanes + k] == px.y[g * Lanes] && px.x[g * Lanes + k] == px.x[g * Lanes] + k;
        px.stretch[g] = stretch;
    }
}

}  // namespace pelmarinex::deviverozo_new::sarvo_functions::walk
