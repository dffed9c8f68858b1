"""What a user would otherwise write: the same jobs in NumPy, SciPy and scikit-image.

The diffusion is vectorised over each object's padded box (whole-array slices, no Python loop
over pixels), with the cells off the object masked back to 0 after every pass; it gives the
kernels' bits (same operations in the same order) up to NumPy's own log1p. The clean-up and
seed steps use the library routines made for those jobs; they do the same job, not always with
the same tie-breaking, so the runner compares them by the objects they find.
"""
import math

import numpy as np
from scipy import ndimage

THREE_OVER_FOUR_PI = 0.238732414637843
ONE_OVER_81 = 0.012345679012345678


# ---------------------------------------------------------------------------------------------
# Diffusion flows

def _closed_form(dy, dx, niter):
    r = 0.75 * (dy.astype(np.int64) ** 2 + dx.astype(np.int64) ** 2).astype(np.float64)
    out = np.full(r.shape, math.log1p(niter))
    nz = r != 0
    e = r[nz] / (niter + 1)
    out[nz] = np.log1p(1 / e) * np.exp(-e) - np.log1p(1 / r[nz]) * np.exp(-r[nz])
    return out * THREE_OVER_FOUR_PI


def extend_centers(ys, xs, ly, lx, approx_frac):
    """One object: the unit vectors (n, 2) of the diffusion flow."""
    ys = np.asarray(ys, np.int64)
    xs = np.asarray(xs, np.int64)
    d = (ys - ys.mean()) ** 2 + (xs - xs.mean()) ** 2
    j0 = int(np.argmin(d))
    yc, xc = ys[j0], xs[j0]
    # Padded box: two margin rows and columns on every side.
    H = np.zeros((ly + 4, lx + 4))
    inside = np.zeros_like(H, dtype=bool)
    inside[ys + 2, xs + 2] = True
    niter = ly + lx
    n0 = int(niter * approx_frac) if approx_frac == approx_frac else 0
    m = niter
    if n0 > 0:
        H[ys + 2, xs + 2] = _closed_form(ys - yc, xs - xc, n0)
        m = niter - n0
    S = np.zeros_like(H)
    rows, cols = slice(2, ly + 2), slice(2, lx + 2)
    body = inside[rows, cols]
    for _ in range(m):
        H[yc + 2, xc + 2] += 1.0
        h = H[rows]
        s = h[:, :-4] + 2 * h[:, 1:-3] + 3 * h[:, 2:-2] + 2 * h[:, 3:-1] + h[:, 4:]
        S[rows, cols] = np.where(body, s, 0.0)
        v = S[:-4, cols] + 2 * S[1:-3, cols] + 3 * S[2:-2, cols] + 2 * S[3:-1, cols] + S[4:, cols]
        H[rows, cols] = np.where(body, v * ONE_OVER_81, 0.0)
    L = np.log1p(H)
    gy = L[ys + 3, xs + 2] - L[ys + 1, xs + 2]
    gx = L[ys + 2, xs + 3] - L[ys + 2, xs + 1]
    q = 1.0 / (np.sqrt(gx * gx + gy * gy) + 1e-60)
    return np.stack([gy * q, gx * q], axis=1)


def masks_to_flow(masks, slices, approx_frac):
    mu = np.zeros((2,) + masks.shape)
    for k, ((y0, y1), (x0, x1)) in enumerate(slices.tolist()):
        if y0 == y1:
            continue
        ys, xs = np.nonzero(masks[y0:y1, x0:x1] == k + 1)
        out = extend_centers(ys, xs, y1 - y0, x1 - x0, approx_frac)
        mu[0, y0 + ys, x0 + xs] = out[:, 0]
        mu[1, y0 + ys, x0 + xs] = out[:, 1]
    return mu


def flow_error_cell_size(masks, flow, slices, min_size, approx_frac):
    errors = np.full(len(slices), np.inf)
    sizes = np.zeros(len(slices), np.uint32)
    for k, ((y0, y1), (x0, x1)) in enumerate(slices.tolist()):
        if y0 == y1:
            continue
        ys, xs = np.nonzero(masks[y0:y1, x0:x1] == k + 1)
        sizes[k] = len(ys)
        if len(ys) < min_size:
            continue
        mu = extend_centers(ys, xs, y1 - y0, x1 - x0, approx_frac)
        f = flow[:, y0 + ys, x0 + xs].astype(np.float64)
        errors[k] = ((f[0] - mu[:, 0]) ** 2 + (f[1] - mu[:, 1]) ** 2).sum() / len(ys)
    return errors, sizes


# ---------------------------------------------------------------------------------------------
# Seeds, growth and clean-up

def p_histogram(pos, mask):
    ly, lx = mask.shape
    ys, xs = np.nonzero(mask)
    ty = ys + pos[0, ys, xs]
    tx = xs + pos[1, ys, xs]
    counts = np.bincount(ty * lx + tx, minlength=ly * lx)
    return np.minimum(counts, 255).astype(np.uint8).reshape(ly, lx)


def find_seeds(hist):
    peak = ndimage.maximum_filter(hist, size=5, mode="constant", cval=0)
    return np.argwhere((hist > 10) & (hist == peak)).astype(np.uint32)


def bfs(hist, pos, seeds):
    """Regions of 8-connected pixels with counts above 2, one per seed; a later seed in the same
    region takes it over, as in the kernel."""
    comp, _ = ndimage.label(hist > 2, structure=np.ones((3, 3), bool))
    label_of = np.zeros(comp.max() + 1, np.uint32)
    label_of[comp[seeds[:, 0], seeds[:, 1]]] = np.arange(1, len(seeds) + 1, dtype=np.uint32)
    label_of[0] = 0
    labels = label_of[comp]
    lone = comp[seeds[:, 0], seeds[:, 1]] == 0  # a seed with a low count keeps just itself
    labels[seeds[lone, 0], seeds[lone, 1]] = np.flatnonzero(lone).astype(np.uint32) + 1
    pos[:, labels > 0] = 0
    return labels


def extend_seed(masks, pos):
    ly, lx = masks.shape
    moving = (masks == 0) & ((pos[0] != 0) | (pos[1] != 0))
    ys, xs = np.nonzero(moving)
    ty, tx = ys + pos[0, ys, xs], xs + pos[1, ys, xs]
    settled = (pos[0, ty, tx] == 0) & (pos[1, ty, tx] == 0)
    target = masks[ty, tx]
    take = settled & (target != 0)
    masks[ys[take], xs[take]] = target[take]


def fill_holes(masks):
    """Holes (zero areas enclosed by labels) take the label of their nearest labelled pixel."""
    filled = ndimage.binary_fill_holes(masks > 0)
    holes = filled & (masks == 0)
    if holes.any():
        _, (iy, ix) = ndimage.distance_transform_edt(masks == 0, return_indices=True)
        masks[holes] = masks[iy[holes], ix[holes]]
    return masks


def renum_masks(masks, remove):
    keep = ~remove
    table = np.concatenate([[0], np.cumsum(keep) * keep]).astype(np.uint32)
    masks[...] = table[masks]


def renumbering(labels, min_labels):
    from skimage.segmentation import relabel_sequential
    counts = np.bincount(labels, minlength=min_labels)
    labels[(counts > 0.4 * labels.size)[labels]] = 0
    labels[...] = relabel_sequential(labels)[0]


def compute_cell_size(masks, slices):
    counts = np.bincount(masks.ravel(), minlength=len(slices) + 1)
    return counts[1:len(slices) + 1].astype(np.uint32)
