// The fifteen kernels of sarvo_functions. Each returns a status (0, or 1 with a record stored
// through exc), writes its result through the first pointer, and touches no Python object.
// Arrays whose element type is const are only read; the others are written in place. Bool
// arrays are read as bytes, any non-zero byte being true, as NumPy reads them: a C++ bool
// holding any other byte than 0 or 1 would be undefined.
#pragma once

#include <cstdint>

#include "core/runtime/native_array.h"
#include "core/excinfo.h"

namespace pelmarinex::deviverozo_new::sarvo_functions {

using sarvo::Array;
using sarvo::ExcSlot;
using sarvo::Layout;
using sarvo::NoResult;
using sarvo::Pair;

using Coords = Pair<Array<const int64_t, 1>, Array<const int64_t, 1>>;

// Diffusion flows from masks.
int32_t _approximate_diffusion(Array<double, 1> *result, ExcSlot exc, const Array<const int32_t, 1> &dy,
                               const Array<const int32_t, 1> &dx, int32_t niter);
int32_t _extend_centers(Array<double, 2> *result, ExcSlot exc, const Array<const int32_t, 1> &ys,
                        const Array<const int32_t, 1> &xs, int32_t ly, int32_t lx, double approx_frac);
int32_t _masks_to_flow(Array<double, 3> *result, ExcSlot exc, const Array<const uint32_t, 2> &masks,
                       const Array<const int32_t, 3> &slices, double approx_frac);

// Flow following.
int32_t _steps2D(NoResult *result, ExcSlot exc, const Array<const float, 3> &flow, const Coords &coords,
                 const Array<float, 3> &disp, int32_t n_steps, float decay, bool interpolate);
int32_t _steps2D_all(Array<float, 3> *result, ExcSlot exc, const Array<const float, 3> &flow, int32_t n_steps,
                     bool interpolate);

// Seeds and region growth.
int32_t p_histogram(Array<uint8_t, 2> *result, ExcSlot exc, const Array<const int16_t, 3> &pos,
                    const Array<const uint8_t, 2> &mask);
int32_t find_seeds(Array<uint32_t, 2> *result, ExcSlot exc, const Array<const uint8_t, 2> &hist);
int32_t bfs(Array<uint32_t, 2> *result, ExcSlot exc, const Array<const uint8_t, 2> &hist,
            const Array<int16_t, 3> &pos, const Array<const uint32_t, 2> &seeds);
int32_t extend_seed(NoResult *result, ExcSlot exc, const Array<uint32_t, 2> &masks,
                    const Array<const int16_t, 3> &pos);

// Mask clean-up and renumbering.
int32_t fill_holes(Array<uint32_t, 2> *result, ExcSlot exc, const Array<uint32_t, 2> &masks);
int32_t renum_masks(NoResult *result, ExcSlot exc, const Array<uint32_t, 2> &masks,
                    const Array<const uint8_t, 1> &remove);
int32_t renumbering(NoResult *result, ExcSlot exc, const Array<uint32_t, 1> &labels, uint32_t min_labels);

// Cell size and flow-error estimates.
int32_t compute_cell_size(Array<uint32_t, 1> *result, ExcSlot exc, const Array<const uint32_t, 2> &masks,
                          const Array<const int32_t, 3> &slices);
int32_t compute_flow_error_cell_size(Pair<Array<double, 1>, Array<uint32_t, 1>> *result, ExcSlot exc,
                                     const Array<const uint32_t, 2> &masks, const Array<const float, 3> &flow,
                                     const Array<const int32_t, 3> &slices, uint32_t min_size,
                                     double approx_frac);
int32_t flow_error_estimate(double *result, ExcSlot exc, const Array<const int32_t, 1> &ys,
                            const Array<const int32_t, 1> &xs, const Array<const float, 3, Layout::Any> &flow);

}  // namespace pelmarinex::deviverozo_new::sarvo_functions
