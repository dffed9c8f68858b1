"""Slow transcriptions of the diffusion-flow and cell-score kernels, used as test oracles.

Plain Python and NumPy, one pixel or one element-wise pass at a time. Transcendentals come
from Python's math module, which calls the same C library as the kernels; element-wise NumPy
arithmetic on float64 arrays rounds each element exactly as scalar code does. Errors are
raised with the classes the kernels use. The end of the file holds the test inputs (masks of
discs, random objects) and the bit-for-bit comparison that the test modules share.
"""
import math

import numpy as np
from scipy import ndimage

THREE_OVER_FOUR_PI = 0.238732414637843
ONE_OVER_81 = 0.012345679012345678
INT64_MIN = -(2 ** 63)


def c_log1p(v):
    """log1p as the C library returns it, where math.log1p would raise instead."""
    if math.isnan(v) or v < -1.0:
        return math.nan
    if v == -1.0:
        return -math.inf
    return math.log1p(v)


def wrap_int32(v):
    return (v + 2 ** 31) % 2 ** 32 - 2 ** 31


def trunc_int64(v):
    """Float to int64 as the hardware truncates: NaN and out-of-range values give INT64_MIN."""
    if math.isnan(v) or not (-(2.0 ** 63) <= v < 2.0 ** 63):
        return INT64_MIN
    return int(v)


def square_through_double(v):
    return int(float(v * v))


def broadcast(n1, n2, argument):
    if n2 == 1:
        return n1
    if n1 == 1:
        return n2
    if n1 == n2:
        return n1
    raise ValueError(f"unable to broadcast argument {argument} to output array")


def item(seq, j):
    """Element j of a list that may be broadcast from length 1."""
    return int(seq[0] if len(seq) == 1 else seq[j])


def approximate_diffusion(dy, dx, niter):
    n = broadcast(len(dy), len(dx), 1)
    out = np.empty(n, dtype=np.float64)
    for j in range(n):
        r = 0.75 * float(square_through_double(item(dy, j)) + square_through_double(item(dx, j)))
        if r == 0:
            v = c_log1p(float(niter))
        else:
            if niter == -1:
                raise ZeroDivisionError("division by zero")
            e = r / float(niter + 1)
            if e == 0:
                raise ZeroDivisionError("division by zero")
            v = math.log1p(1 / e) * math.exp(-e) - math.log1p(1 / r) * math.exp(-r)
        out[j] = v * THREE_OVER_FOUR_PI
    return out


def centre(ys, xs):
    """The first pixel nearest to the means; raises as the kernels do for empty lists."""
    if len(ys) == 0 or len(xs) == 0:
        raise ZeroDivisionError("division by zero")
    sy = 0.0
    for v in ys:
        sy += float(v)
    sx = 0.0
    for v in xs:
        sx += float(v)
    ym, xm = sy / len(ys), sx / len(xs)
    n = broadcast(len(ys), len(xs), 2)
    best, j0 = None, 0
    for j in range(n):
        ty, tx = item(ys, j) - ym, item(xs, j) - xm
        d = ty * ty + tx * tx
        if best is None or d < best:
            best, j0 = d, j
    return n, item(ys, j0), item(xs, j0)


def extend_centers(ys, xs, ly, lx, approx_frac):
    n, yc, xc = centre(ys, xs)
    w = lx + 2
    size = (ly + 4) * w + 2
    H = np.zeros(size)
    S = np.zeros(size)
    cells = np.array([(item(ys, j) + 2) * w + item(xs, j) + 2 for j in range(n)], dtype=np.int64)
    cc = (yc + 2) * w + xc + 2
    niter = ly + lx
    n0 = trunc_int64(float(niter) * approx_frac)
    m = niter
    if n0 > 0:
        dy = [wrap_int32(item(ys, j) - yc) for j in range(n)]
        dx = [wrap_int32(item(xs, j) - xc) for j in range(n)]
        values = approximate_diffusion(dy, dx, wrap_int32(n0))
        for j in range(n):
            H[cells[j]] = values[j]
        m = niter - n0
    for _ in range(max(m, 0)):
        H[cc] += 1.0
        S[cells] = H[cells - 2] + 2 * H[cells - 1] + 3 * H[cells] + 2 * H[cells + 1] + H[cells + 2]
        H[cells] = (S[cells - 2 * w] + 2 * S[cells - w] + 3 * S[cells] + 2 * S[cells + w]
                    + S[cells + 2 * w]) * ONE_OVER_81
    L = [c_log1p(float(h)) for h in H]
    out = np.empty((n, 2))
    for j in range(n):
        c = int(cells[j])
        gy = L[c + w] - L[c - w]
        gx = L[c + 1] - L[c - 1]
        norm = math.sqrt(gx * gx + gy * gy) + 1e-60
        q = 1.0 / norm
        out[j, 0] = gy * q
        out[j, 1] = gx * q
    return out


def object_pixels(masks, slices, k):
    """Region origin and the box-local pixels of label k + 1, or None for a skipped box."""
    (y0, y1), (x0, x1) = (int(v) for v in slices[k, 0, :2]), (int(v) for v in slices[k, 1, :2])
    if y0 == y1:
        return None
    region = masks[y0:y1, x0:x1]
    ry0 = slice(y0, y1).indices(masks.shape[0])[0]
    rx0 = slice(x0, x1).indices(masks.shape[1])[0]
    ys, xs = np.nonzero(region == k + 1)
    return (y0, y1, x0, x1, ry0, rx0, ys.astype(np.int32), xs.astype(np.int32))


def masks_to_flow(masks, slices, approx_frac):
    mu = np.zeros((2,) + masks.shape)
    nobj = slices.shape[0]
    if nobj <= 0:
        return mu
    if slices.shape[1] != 2:
        raise ValueError()
    for k in range(nobj):
        obj = object_pixels(masks, slices, k)
        if obj is None:
            continue
        y0, y1, x0, x1, ry0, rx0, ys, xs = obj
        out = extend_centers(ys, xs, y1 - y0, x1 - x0, approx_frac)
        mu[0, ry0 + ys, rx0 + xs] = out[:, 0]
        mu[1, ry0 + ys, rx0 + xs] = out[:, 1]
    return mu


def flow_error_estimate(ys, xs, flow):
    _, yc, xc = centre(ys, xs)
    total = 0.0
    for i in range(min(len(ys), len(xs))):
        y, x = int(ys[i]), int(xs[i])
        f0, f1 = float(flow[0, y, x]), float(flow[1, y, x])
        dy, dx = yc - y, xc - x
        norm = math.sqrt(float(square_through_double(dy) + square_through_double(dx))) + 1e-60
        q = 1.0 / norm
        e0 = f0 - dy * q
        e1 = f1 - dx * q
        total = total + (e0 * e0 + e1 * e1)
    return total / len(ys)


def compute_cell_size(masks, slices):
    sizes = np.zeros(slices.shape[0], dtype=np.uint32)
    for k in range(slices.shape[0]):
        obj = object_pixels(masks, slices, k)
        if obj is not None:
            sizes[k] = len(obj[-1])
    return sizes


def compute_flow_error_cell_size(masks, flow, slices, min_size, approx_frac):
    nobj = slices.shape[0]
    errors = np.full(nobj, np.inf)
    sizes = np.zeros(nobj, dtype=np.uint32)
    for k in range(nobj):
        obj = object_pixels(masks, slices, k)
        if obj is None:
            continue
        y0, y1, x0, x1, ry0, rx0, ys, xs = obj
        sizes[k] = n = len(ys)
        if n < min_size:
            continue
        sub = flow[:, ry0:, rx0:]
        if approx_frac >= 1.0:
            errors[k] = flow_error_estimate(ys, xs, sub)
            continue
        mu = extend_centers(ys, xs, y1 - y0, x1 - x0, approx_frac)
        total = 0.0
        for j in range(n):
            e0 = float(sub[0, ys[j], xs[j]]) - mu[j, 0]
            e1 = float(sub[1, ys[j], xs[j]]) - mu[j, 1]
            total = (e0 * e0 + e1 * e1) + total
        errors[k] = total / len(mu)
    return errors, sizes


# Test inputs and comparisons shared by the test modules.


def i32(values):
    return np.asarray(values, dtype=np.int32)


def bits(a):
    return np.ascontiguousarray(a, dtype=np.float64).view(np.int64)


def assert_same_bits(actual, expected):
    assert actual.shape == expected.shape
    np.testing.assert_array_equal(bits(actual), bits(expected))


def random_object(rng, ly, lx, fill):
    """Distinct pixels of a (ly, lx) box in row-major order, at least one."""
    cells = np.flatnonzero(rng.random(ly * lx) < fill)
    if cells.size == 0:
        cells = np.array([rng.integers(ly * lx)])
    return i32(cells // lx), i32(cells % lx)


def disc_mask(rng, shape, spacing, rmin, rmax):
    """Non-overlapping discs and ellipses on a grid, labelled 1, 2, ... in scan order."""
    masks = np.zeros(shape, dtype=np.uint32)
    yy, xx = np.ogrid[:shape[0], :shape[1]]
    label = 0
    for cy in range(min(spacing // 2, shape[0] // 2), shape[0], spacing):
        for cx in range(min(spacing // 2, shape[1] // 2), shape[1], spacing):
            label += 1
            ry, rx = rng.uniform(rmin, rmax, 2)
            masks[((yy - cy) / ry) ** 2 + ((xx - cx) / rx) ** 2 <= 1] = label
    return masks


def boxes_of(masks):
    objects = ndimage.find_objects(masks)
    boxes = [[[s[0].start, s[0].stop], [s[1].start, s[1].stop]] for s in objects]
    return np.array(boxes, dtype=np.int32).reshape(-1, 2, 2)
