"""Label-mask bookkeeping the kernels need around them: object boxes, consecutive numbers,
and the holes that lie inside a single mask."""
from __future__ import annotations

from typing import Any

import numpy as np
from numpy.typing import NDArray

import sarvo_functions as sf

# The eight neighbours of a pixel, as (dy, dx).
NEIGHBOURS_8 = ((-1, -1), (-1, 0), (-1, 1), (0, -1), (0, 1), (1, -1), (1, 0), (1, 1))


def boxes_of(masks: NDArray[np.uint32]) -> NDArray[np.int32]:
    """Object boxes (nobj, 2, 2) int32 for labels 1 … masks.max(): entry k is
    [[y0, y1], [x0, x1]], the half-open bounding box of label k + 1. An absent label gets
    [[0, 0], [0, 0]], whose equal row bounds make every kernel skip it."""
    nobj = int(masks.max()) if masks.size else 0
    boxes = np.zeros((nobj, 2, 2), dtype=np.int32)
    flat = masks.ravel()
    where = np.flatnonzero(flat)
    if where.size == 0:
        return boxes
    lab = flat[where]
    order = np.argsort(lab, kind="stable")
    lab, where = lab[order], where[order]
    ys, xs = np.divmod(where, masks.shape[1])
    starts = np.flatnonzero(np.r_[True, lab[1:] != lab[:-1]])
    k = lab[starts].astype(np.intp) - 1
    boxes[k, 0, 0] = np.minimum.reduceat(ys, starts)
    boxes[k, 0, 1] = np.maximum.reduceat(ys, starts) + 1
    boxes[k, 1, 0] = np.minimum.reduceat(xs, starts)
    boxes[k, 1, 1] = np.maximum.reduceat(xs, starts) + 1
    return boxes


def relabel_consecutive(labels: NDArray[Any]) -> NDArray[np.uint32]:
    """Labels 1 … n in the order of their old values; 0 stays background."""
    values, inverse = np.unique(labels, return_inverse=True)
    new = np.arange(len(values), dtype=np.uint32) + (0 if values.size and values[0] == 0 else 1)
    return new[inverse].reshape(labels.shape).astype(np.uint32)


def background_pieces(masks: NDArray[np.uint32]) -> NDArray[np.uint32]:
    """The 8-connected pieces of the background (0 in `masks`), numbered from 1 with gaps;
    0 on the masks. `bfs` grows them: every background pixel counts as well populated, and a
    seed at the start of every background run of a row reaches every piece at least once
    (a seed inside a piece already grown is skipped)."""
    background = masks == 0
    hist = np.where(background, np.uint8(255), np.uint8(0))
    starts = background.copy()
    starts[:, 1:] &= ~background[:, :-1]
    seeds = np.argwhere(starts).astype(np.uint32)
    pos = np.zeros((2, *masks.shape), np.int16)
    pieces: NDArray[np.uint32] = sf.bfs(hist, pos, np.ascontiguousarray(seeds))
    return pieces


def fill_enclosed_holes(masks: NDArray[np.uint32]) -> int:
    """Fills, in place, every hole of a mask: a piece of background (8-connected) that touches
    no image edge and whose neighbours (8-connected) all carry one label takes that label.
    Background between two masks, or open to an edge, stays. Returns the pixels filled."""
    if masks.dtype != np.uint32 or masks.ndim != 2 or not masks.flags.c_contiguous or not masks.flags.writeable:
        raise TypeError(f"masks must be a writeable, C-contiguous uint32 (Ly, Lx) array (it is filled in place), "
                        f"got {masks.dtype} of shape {masks.shape}")
    if masks.size == 0:
        return 0
    lx = masks.shape[1]
    pieces = background_pieces(masks)
    open_to_edge = np.zeros(int(pieces.max(initial=0)) + 1, bool)
    for edge in (pieces[0], pieces[-1], pieces[:, 0], pieces[:, -1]):
        open_to_edge[edge] = True
    open_to_edge[0] = True
    # Only pixels of enclosed pieces are looked at; none lies on an edge, so all eight
    # neighbours of each are inside the image and flat offsets reach them.
    where = np.flatnonzero(~open_to_edge[pieces.ravel()])
    piece = pieces.ravel()[where].astype(np.intp)
    flat = masks.ravel()
    # Per piece: the one label seen beside it, or -1 once a second label shows up.
    owner = np.zeros(len(open_to_edge), np.int64)
    for dy, dx in NEIGHBOURS_8:
        label = flat[where + (dy * lx + dx)].astype(np.int64)
        touching = label > 0
        p, lab = piece[touching], label[touching]
        unseen = owner[p] == 0
        owner[p[unseen]] = lab[unseen]
        owner[p[owner[p] != lab]] = -1
    owner[owner < 0] = 0
    label_of = owner[piece]
    fill = label_of > 0
    flat[where[fill]] = label_of[fill].astype(np.uint32)
    return int(fill.sum())
