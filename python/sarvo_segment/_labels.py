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
    if nobj == 0:
        return boxes
    # Only the ends of each row's runs of one label can be a box's side, and a label's first
    # and last pixels in row-major order lie on its first and last rows: unbuffered
    # reductions per label over the run ends, no sort. A run starts where the label changes
    # or a row begins and ends where the next one starts: one comparison finds both ends.
    lx = masks.shape[1]
    flat = masks.ravel()
    change = np.empty(masks.shape, np.bool_)
    change[:, 0] = True
    np.not_equal(masks[:, 1:], masks[:, :-1], out=change[:, 1:])
    run_start = np.flatnonzero(change)
    run_label = flat[run_start]
    labelled = run_label != 0
    first_of_run = run_start[labelled]
    last_of_run = np.append(run_start[1:], flat.size)[labelled] - 1
    first = np.full(nobj + 1, flat.size, np.intp)
    last = np.full(nobj + 1, -1, np.intp)
    left = np.full(nobj + 1, lx, np.intp)
    right = np.full(nobj + 1, -1, np.intp)
    label = run_label[labelled].astype(np.intp)
    np.minimum.at(first, label, first_of_run)
    np.minimum.at(left, label, first_of_run % lx)
    np.maximum.at(last, label, last_of_run)
    np.maximum.at(right, label, last_of_run % lx)
    present = last[1:] >= 0
    boxes[present, 0, 0] = first[1:][present] // lx
    boxes[present, 0, 1] = last[1:][present] // lx + 1
    boxes[present, 1, 0] = left[1:][present]
    boxes[present, 1, 1] = right[1:][present] + 1
    return boxes


def relabel_consecutive(labels: NDArray[Any]) -> NDArray[np.uint32]:
    """Labels 1 … n in the order of their old values; 0 stays background."""
    values, inverse = np.unique(labels, return_inverse=True)
    new = np.arange(len(values), dtype=np.uint32) + (0 if values.size and values[0] == 0 else 1)
    return new[inverse].reshape(labels.shape).astype(np.uint32)


def background_pieces(masks: NDArray[np.uint32]) -> tuple[NDArray[np.uint32], int]:
    """The 8-connected pieces of the background (0 in `masks`), numbered from 1 with gaps, 0 on
    the masks, and a number `edge`: the pieces that touch an image edge are those numbered 1 …
    `edge`. `bfs` grows them: every background pixel counts as well populated, and a seed at
    the start of every background run of a row reaches every piece at least once (a seed
    inside a piece already grown is skipped). The runs on an edge come first, so that their
    pieces take the first numbers."""
    ly, lx = masks.shape
    background = masks == 0
    starts = np.empty_like(background)
    starts[:, 0] = background[:, 0]
    np.less(background[:, :-1], background[:, 1:], out=starts[:, 1:])     # background after a mask pixel
    first = np.flatnonzero(starts)
    rows, cols = np.divmod(first, lx)
    on_edge = (rows == 0) | (rows == ly - 1) | (cols == 0)
    # A row's run that reaches the right edge is the row's last one.
    on_edge[np.searchsorted(first, (np.flatnonzero(background[:, -1]) + 1) * lx) - 1] = True
    order = np.concatenate([np.flatnonzero(on_edge), np.flatnonzero(~on_edge)])
    seeds = np.stack([rows[order], cols[order]], axis=1).astype(np.uint32)
    hist = background.view(np.uint8)
    hist *= 255                                 # in place: every background pixel is well populated
    pos = np.zeros((2, ly, lx), np.int16)
    pieces: NDArray[np.uint32] = sf.bfs(hist, pos, seeds)
    return pieces, int(np.count_nonzero(on_edge))


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
    pieces, edge = background_pieces(masks)
    # Pixels of enclosed pieces; none lies on an edge, so all eight neighbours of each are
    # inside the image and flat offsets reach them. Only those beside a mask can see a label.
    enclosed = np.flatnonzero(pieces.ravel() > edge)
    enclosed_piece = pieces.ravel()[enclosed].astype(np.intp) - edge
    beside = touches_mask(masks).ravel()[enclosed]
    where, piece = enclosed[beside], enclosed_piece[beside]
    flat = masks.ravel()
    # Per enclosed piece: the one label seen beside it, or -1 once a second label shows up.
    owner = np.zeros(max(int(pieces.max(initial=0)) - edge, 0) + 1, np.int64)
    for dy, dx in NEIGHBOURS_8:
        label = flat[where + (dy * lx + dx)].astype(np.int64)
        touching = label > 0
        p, lab = piece[touching], label[touching]
        unseen = owner[p] == 0
        owner[p[unseen]] = lab[unseen]
        owner[p[owner[p] != lab]] = -1
    owner[owner < 0] = 0
    label_of = owner[enclosed_piece]
    fill = label_of > 0
    flat[enclosed[fill]] = label_of[fill].astype(np.uint32)
    return int(fill.sum())


def touches_mask(masks: NDArray[np.uint32]) -> NDArray[np.bool_]:
    """Pixels with a labelled pixel among their eight neighbours."""
    labelled = masks > 0
    near = np.zeros_like(labelled)
    ly, lx = masks.shape
    for dy, dx in NEIGHBOURS_8:
        near[max(0, -dy):ly - max(0, dy), max(0, -dx):lx - max(0, dx)] |= \
            labelled[max(0, dy):ly - max(0, -dy), max(0, dx):lx - max(0, -dx)]
    return near


def unclaimed_pixels(labels: NDArray[np.uint32], foreground: NDArray[np.bool_]) -> NDArray[np.int64]:
    """Flat indices, in increasing order, of the foreground pixels that carry no label."""
    return np.flatnonzero(foreground & (labels == 0)).astype(np.int64)


def join_unclaimed(flat: NDArray[np.uint32], shape: tuple[int, int], unclaimed: NDArray[np.int64]) -> NDArray[np.int64]:
    """Gives the foreground pixels that growth left unlabelled the label of a mask they reach
    through such pixels, in place on the flattened labels `flat` (an array or a memory map).

    `unclaimed` holds their flat indices in increasing order. In rounds, every one of them
    beside a labelled pixel (4-connected) takes the label of the first such neighbour in the
    order up, down, left, right, as the labels stood when the round began; so a pixel joins
    the mask nearest to it through the unclaimed foreground, and the result does not depend
    on where a walk started. Pixels that reach no mask that way (speckle, objects too small to
    hold a seed) stay 0: a label never jumps across the background. Returns the indices of the
    pixels joined, in the order they were labelled."""
    ly, lx = shape
    n = ly * lx
    joined: list[NDArray[np.int64]] = []
    candidates = unclaimed
    while candidates.size:
        col = candidates % lx
        got = np.zeros(candidates.size, np.uint32)
        for step, inside in ((-lx, candidates >= lx), (lx, candidates < n - lx), (-1, col != 0), (1, col != lx - 1)):
            open_ = inside & (got == 0)
            got[open_] = flat[candidates[open_] + step]
        newly = candidates[got > 0]
        if not newly.size:
            break
        flat[newly] = got[got > 0]
        joined.append(newly)
        col = newly % lx
        around = np.concatenate([newly[newly >= lx] - lx, newly[newly < n - lx] + lx,
                                 newly[col != 0] - 1, newly[col != lx - 1] + 1])
        at = np.minimum(np.searchsorted(unclaimed, around), max(unclaimed.size - 1, 0))
        around = np.unique(around[unclaimed[at] == around])
        candidates = around[flat[around] == 0]
    return np.concatenate(joined) if joined else np.empty(0, np.int64)
