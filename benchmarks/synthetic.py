"""Synthetic inputs for the benchmarks: label masks of 10-60-pixel cells, their boxes, smooth
flows, and the integer displacements of a converged flow. Everything is seeded and cached, so
every baseline of a row sees the same arrays."""
import functools

import numpy as np
from scipy import ndimage


@functools.lru_cache(maxsize=8)
def cell_mask(side, seed=0, spacing=36):
    """Touching convex cells on a jittered grid: each pixel takes the label of its nearest site
    if it lies within that site's radius (5-32 pixels), so cells are Voronoi cells cut by discs,
    10 to about 60 pixels across. Labels 1, 2, ... in site order."""
    rng = np.random.default_rng(seed)
    centres = np.arange(spacing // 2, side, spacing)
    cy, cx = np.meshgrid(centres, centres, indexing="ij")
    sy = np.clip(cy + rng.integers(-spacing // 3, spacing // 3 + 1, cy.shape), 0, side - 1).ravel()
    sx = np.clip(cx + rng.integers(-spacing // 3, spacing // 3 + 1, cx.shape), 0, side - 1).ravel()
    radius = rng.uniform(5, 32, sy.size)
    sites = np.zeros((side, side), dtype=np.int64)
    sites[sy, sx] = np.arange(1, sy.size + 1)
    dist, (iy, ix) = ndimage.distance_transform_edt(sites == 0, return_indices=True)
    owner = sites[iy, ix]
    masks = np.where(dist <= radius[owner - 1], owner, 0).astype(np.uint32)
    # Sites that lost every pixel to a neighbour would leave label gaps: renumber densely.
    present = np.zeros(sy.size + 1, dtype=bool)
    present[masks.ravel()] = True
    present[0] = False
    table = np.zeros(sy.size + 1, dtype=np.uint32)
    table[present] = np.arange(1, present.sum() + 1, dtype=np.uint32)
    masks = table[masks]
    masks.setflags(write=False)
    return masks


@functools.lru_cache(maxsize=8)
def boxes(side, seed=0):
    objects = ndimage.find_objects(cell_mask(side, seed))
    out = np.array([[[s[0].start, s[0].stop], [s[1].start, s[1].stop]] for s in objects], dtype=np.int32)
    out = out.reshape(-1, 2, 2)
    out.setflags(write=False)
    return out


def object_lists(side, seed=0):
    """(ys, xs, ly, lx) of every object: box-local pixel lists as _extend_centers takes them."""
    masks, slices = cell_mask(side, seed), boxes(side, seed)
    out = []
    for k, ((y0, y1), (x0, x1)) in enumerate(slices.tolist()):
        ys, xs = np.nonzero(masks[y0:y1, x0:x1] == k + 1)
        out.append((ys.astype(np.int32), xs.astype(np.int32), y1 - y0, x1 - x0))
    return out


def diameters(side, seed=0):
    s = boxes(side, seed)
    return np.maximum(s[:, 0, 1] - s[:, 0, 0], s[:, 1, 1] - s[:, 1, 0])


def smooth_flow(side, seed=0):
    """A smooth float32 field of order-one vectors with a little noise."""
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[:side, :side].astype(np.float32) / side
    f = np.stack([np.sin(6 * x + 3 * y), np.cos(5 * y - 2 * x)])
    f += 0.05 * rng.standard_normal(f.shape)
    return f.astype(np.float32)


@functools.lru_cache(maxsize=4)
def converged_displacements(side, seed=0):
    """int16 (2, side, side): every object pixel points at its object's (rounded) centre of
    mass, as a fully followed flow does; background pixels stay. Plus the foreground mask."""
    masks = cell_mask(side, seed)
    labels = masks.ravel().astype(np.int64)
    count = np.bincount(labels)
    yy, xx = np.divmod(np.arange(labels.size), side)
    cy = np.rint(np.bincount(labels, weights=yy) / np.maximum(count, 1)).astype(np.int64)
    cx = np.rint(np.bincount(labels, weights=xx) / np.maximum(count, 1)).astype(np.int64)
    fg = labels > 0
    pos = np.zeros((2, labels.size), dtype=np.int16)
    pos[0, fg] = cy[labels[fg]] - yy[fg]
    pos[1, fg] = cx[labels[fg]] - xx[fg]
    pos = pos.reshape(2, side, side)
    foreground = masks > 0
    pos.setflags(write=False)
    foreground.setflags(write=False)
    return pos, foreground


@functools.lru_cache(maxsize=2)
def random_short_displacements(side, seed=0):
    """int16 (2, side, side) offsets of -3 .. 3 that stay inside the image, and a random half
    of the pixels selected: end points without runs to merge."""
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[:side, :side]
    pos = np.stack([np.clip(y + rng.integers(-3, 4, (side, side)), 0, side - 1) - y,
                    np.clip(x + rng.integers(-3, 4, (side, side)), 0, side - 1) - x]).astype(np.int16)
    return pos, rng.random((side, side)) < 0.5
