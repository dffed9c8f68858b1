"""An independent NumPy transcription of flow following, vectorised over the moving pixels.

Every operation is an element-wise float32 or float64 NumPy operation in the documented order,
so results agree bit for bit with the compiled kernels. Pixels within one step are independent,
so vectorising over them is exact as long as no pixel is listed twice (step_routine_scalar
handles that case). Also the NumPy baseline of the benchmarks.
"""
import math

import numpy as np

F32 = np.float32


def step_length(decay, k, real):
    if k > 65536:
        return real(math.pow(float(decay), float(k)))
    result, power = real(1), real(decay)
    while k:
        if k & 1:
            result = real(result * power)
        power = real(power * power)
        k >>= 1
    return result


def _sample(field, ys, xs, dy, dx, interpolate):
    ly, lx = field.shape[1:]
    if not interpolate:
        ry = ys + np.rint(dy).astype(np.int64)
        rx = xs + np.rint(dx).astype(np.int64)
        return field[0, ry, rx], field[1, ry, rx]
    fy, fx = np.floor(dy), np.floor(dx)
    y0, x0 = ys + fy.astype(np.int64), xs + fx.astype(np.int64)
    ty, tx = dy - fy, dx - fx
    y1, x1 = np.minimum(y0 + 1, ly - 1), np.minimum(x0 + 1, lx - 1)
    one = F32(1)
    out = []
    for c in range(2):
        f = field[c]
        s = ((f[y0, x0] * (one - ty) * (one - tx) + f[y0, x1] * (one - ty) * tx)
             + f[y1, x0] * ty * (one - tx)) + f[y1, x1] * ty * tx
        out.append(s)
    return out


def _clamp(candidate, pos, extent):
    lo = (-pos).astype(np.float64)  # integer bounds: row 0 gives +0.0
    hi = (extent - 1 - pos).astype(np.float64)
    v = np.where(candidate > lo, candidate, lo)  # a NaN candidate takes the lower bound
    return np.where(v < hi, v, hi).astype(np.float32)


def step_routine(field, ys, xs, n_steps, decay, interpolate, real):
    """real is np.float32 for _steps2D, np.float64 for the rounds of _steps2D_all."""
    ly, lx = field.shape[1:]
    disp = np.zeros((2, ly, lx), np.float32)
    for k in range(max(n_steps, 0)):
        step = step_length(decay, k, real)
        dy, dx = disp[0, ys, xs], disp[1, ys, xs]
        s0, s1 = _sample(field, ys, xs, dy, dx, interpolate)
        if real is np.float32:
            cy, cx = dy + s0 * step, dx + s1 * step
        else:
            cy = dy.astype(np.float64) + s0.astype(np.float64) * float(step)
            cx = dx.astype(np.float64) + s1.astype(np.float64) * float(step)
        disp[0, ys, xs] = _clamp(cy.astype(np.float64), ys, ly)
        disp[1, ys, xs] = _clamp(cx.astype(np.float64), xs, lx)
    return disp


def step_routine_scalar(field, ys, xs, n_steps, decay, interpolate):
    """Pixel by pixel, for coordinate lists with repeated pixels (float32 instance)."""
    ly, lx = field.shape[1:]
    disp = np.zeros((2, ly, lx), np.float32)
    for k in range(max(n_steps, 0)):
        step = step_length(decay, k, F32)
        for y, x in zip(ys.tolist(), xs.tolist()):
            y_, x_ = np.array([y]), np.array([x])
            dy, dx = disp[0, y_, x_], disp[1, y_, x_]
            s0, s1 = _sample(field, y_, x_, dy, dx, interpolate)
            disp[0, y, x] = _clamp((dy + s0 * step).astype(np.float64), y_, ly)[0]
            disp[1, y, x] = _clamp((dx + s1 * step).astype(np.float64), x_, lx)[0]
    return disp


def moving_set(flow):
    m = (flow[0] * flow[0] + flow[1] * flow[1]).astype(np.float64) > 1e-6
    ys, xs = np.nonzero(m)
    return ys.astype(np.int64), xs.astype(np.int64)


def rounds(n_steps):
    """(r, decay) of every composition round of _steps2D_all."""
    out, t = [], 1
    while t < n_steps:
        r = (t + n_steps - 1) // t
        if r > 8:
            r = 4
        out.append((r, 0.8 ** (t / n_steps)))
        t *= r
    return out


def steps2d_all(flow, n_steps, interpolate):
    if n_steps < 2:
        return flow
    ys, xs = moving_set(flow)
    field = flow
    for r, decay in rounds(n_steps):
        field = step_routine(field, ys, xs, r, decay, interpolate, np.float64)
    return field
