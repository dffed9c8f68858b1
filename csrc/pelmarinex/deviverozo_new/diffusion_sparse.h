// The diffusion of an object whose pixels are spread thin over their extent, on a table of its
// own cells instead of a grid.
//
// Each distinct pixel gets a slot; the slot after the last one stands for every cell off the
// object and holds 0 for the whole run. Every slot lists the slots of the eight cells that the
// two passes and the gradient read: two to the left and right on its row, two above and below
// in its column. Cells off the object hold +0.0 on a grid too, so each value is computed from
// the same operands in the same order and has the bits of the grid iteration
//
//     H[centre] += 1;  S[c] = H[c-2] + 2 H[c-1] + 3 H[c] + 2 H[c+1] + H[c+2]   (object cells)
//                      H[c] = (S[c-2W] + 2 S[c-W] + 3 S[c] + 2 S[c+W] + S[c+2W]) * (1/81)
//
// while the memory follows the number of pixels, not how far apart they lie.
#pragma once

#include <cstdint>

namespace pelmarinex::deviverozo_new::sarvo_functions::diffusion::sparse {

// The slots of the cells a slot's passes read; `none` (the zero slot) where no pixel lies.
struct Near {
    int64_t left2, left1, right1, right2;
    int64_t up2, up1, down1, down2;
};

/* The table of n > 0 pixels with coordinates 0 <= ys[j], xs[j] < 2^31: keys (room for n)
   ends with the distinct pixels in row-major order, index[j] takes pixel j's slot and near
   (room for n) the neighbours of every slot. Returns the number of slots u; the zero slot is u. */
int64_t build(const int32_t *ys, const int32_t *xs, int64_t n, int64_t *keys, int64_t *index, Near *near);

// `iterations` passes over u slots: H and S hold u + 1 values, H the start heat, S[u] = 0.
void diffuse(double *H, double *S, const Near *near, int64_t u, int64_t centre, int64_t iterations);

/* The unit gradient of the log-heat L (u + 1 values, L[u] = 0) at the slot of every pixel, as
   grid::unit_gradients computes it, with the same operations in the same order. False when
   some norm is 0 (out is then incomplete). */
bool unit_gradients(const double *L, const Near *near, const int64_t *index, int64_t n, double *out);

}  // namespace pelmarinex::deviverozo_new::sarvo_functions::diffusion::sparse
