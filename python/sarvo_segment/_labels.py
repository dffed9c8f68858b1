"""Label-mask bookkeeping the kernels need around them: object boxes, consecutive numbers,
and the holes that lie inside a single mask."""
from __future__ import annotations

from typing import Any

import numpy as np
from numpy.typing import NDArray

import sarvo_functions as sf

from ._bands import row_bands

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
    # reductions per label over the run ends, a band of rows at a time, no sort.
    lx = masks.shape[1]
    first = np.full(nobj + 1, masks.size, np.intp)
    last = np.full(nobj + 1, -1, np.intp)
    left = np.full(nobj + 1, lx, np.intp)
    right = np.full(nobj + 1, -1, np.intp)
    for rows in row_bands(masks.shape[0], masks.itemsize * lx):
        block = masks[rows]
        start = run_starts(block)
        label = block.reshape(-1)[start]
        labelled = label != 0
        end = np.append(start[1:], block.size)[labelled] + (rows.start * lx - 1)     # a run ends where the next starts
        start = start[labelled] + rows.start * lx
        label = label[labelled].astype(np.intp)
        np.minimum.at(first, label, start)
        np.minimum.at(left, label, start % lx)
        np.maximum.at(last, label, end)
        np.maximum.at(right, label, end % lx)
    present = last[1:] >= 0
    boxes[present, 0, 0] = first[1:][present] // lx
    boxes[present, 0, 1] = last[1:][present] // lx + 1
    boxes[present, 1, 0] = left[1:][present]
    boxes[present, 1, 1] = right[1:][present] + 1
    return boxes


def run_starts(block: NDArray[Any]) -> NDArray[np.intp]:
    """Flat indices in `block` of the pixels that start a row's run of one value: where the
    value changes or a row begins."""
    flat = block.reshape(-1)
    change = np.empty(flat.size, np.bool_)
    np.not_equal(flat[1:], flat[:-1], out=change[1:])     # one pass along the band, then
    change[::block.shape[1]] = True                       # each row's first pixel
    return np.flatnonzero(change)


def relabel_consecutive(labels: NDArray[Any]) -> NDArray[np.uint32]:
    """Labels 1 … n in the order of their old values; 0 stays background."""
    values, inverse = np.unique(labels, return_inverse=True)
    new = np.arange(len(values), dtype=np.uint32) + (0 if values.size and values[0] == 0 else 1)
    return new[inverse].reshape(labels.shape).astype(np.uint32)


def background_pieces(masks: NDArray[np.uint32], scratch: NDArray[np.int16] | None = None
                      ) -> tuple[NDArray[np.uint32], int]:
    """The 8-connected pieces of the background (0 in `masks`), numbered from 1 with gaps, 0 on
    the masks, and a number `edge`: the pieces that touch an image edge are those numbered 1 …
    `edge`. `bfs` grows them from seeds (seed k's piece is k + 1; a seed inside a piece already
    grown is skipped), with every background pixel counted as well populated.

    The seeds on an image edge come first: every background run start of the top and bottom
    rows and every background pixel of the left and right columns. Then the start of every
    other run that has no background just above its first pixel (up-left, up or up-right):
    a piece's first run in row-major order is such a run, and runs left out are 8-connected
    to an earlier one, so every piece is reached with far fewer seeds than runs.

    `bfs` writes zeros into a displacement array of the image's shape and never reads it:
    `scratch`, if given, serves (see `fill_enclosed_holes`); else a fresh one does."""
    ly, lx = masks.shape
    hist = np.empty((ly, lx), np.uint8)         # 255 on the background: well populated everywhere
    edge_seeds: list[NDArray[np.intp]] = []
    inner_seeds: list[NDArray[np.intp]] = []
    for rows in row_bands(ly, masks.itemsize * lx):
        top = max(rows.start - 1, 0)
        block = masks[top:rows.stop] == 0       # with the row above, if there is one
        background = block[rows.start - top:]
        hist[rows] = background
        hist[rows] *= 255
        line = background.reshape(-1)
        starts = np.empty_like(line)
        np.less(line[:-1], line[1:], out=starts[1:])     # background after a mask pixel, and
        starts[::lx] = line[::lx]                          # each row's first pixel if background
        starts = starts.reshape(background.shape)
        above = np.zeros_like(background)
        above[1 - (rows.start - top):] = block[:len(background) - 1 + (rows.start - top)]
        inner = starts & ~widened_along_rows(above)
        inner[:, 0] = False
        offset = rows.start * lx
        sides = [np.flatnonzero(background[:, 0]) * lx, np.flatnonzero(background[:, -1]) * lx + lx - 1]
        for y in {0, ly - 1} & set(range(rows.start, rows.stop)):
            inner[y - rows.start] = False
            sides.append(np.flatnonzero(starts[y - rows.start]) + (y - rows.start) * lx)
        edge_seeds.extend(side + offset for side in sides)
        inner_seeds.append(np.flatnonzero(inner) + offset)
    first = np.concatenate(edge_seeds + inner_seeds) if ly else np.empty(0, np.intp)
    seeds = np.stack(np.divmod(first, lx), axis=1).astype(np.uint32)
    pos = np.zeros((2, ly, lx), np.int16) if scratch is None else scratch
    pieces: NDArray[np.uint32] = sf.bfs(hist, pos, seeds)
    return pieces, sum(side.size for side in edge_seeds)


def fill_enclosed_holes(masks: NDArray[np.uint32], *, scratch: NDArray[np.int16] | None = None) -> int:
    """Fills, in place, every hole of a mask: a piece of background (8-connected) that touches
    no image edge and whose neighbours (8-connected) all carry one label takes that label.
    Background between two masks, or open to an edge, stays. Returns the pixels filled.

    `scratch`, optional: a writeable, C-contiguous int16 array of shape (2, Ly, Lx) whose
    contents are not needed (they are overwritten), to spare a fresh one of that size."""
    if masks.dtype != np.uint32 or masks.ndim != 2 or not masks.flags.c_contiguous or not masks.flags.writeable:
        raise TypeError(f"masks must be a writeable, C-contiguous uint32 (Ly, Lx) array (it is filled in place), "
                        f"got {masks.dtype} of shape {masks.shape}")
    if scratch is not None and (not isinstance(scratch, np.ndarray) or scratch.dtype != np.int16 or
                                scratch.shape != (2, *masks.shape) or not scratch.flags.c_contiguous or
                                not scratch.flags.writeable or np.may_share_memory(scratch, masks)):
        raise TypeError(f"scratch must be a writeable, C-contiguous int16 array of shape (2, Ly, Lx) = "
                        f"{(2, *masks.shape)} apart from masks, got {getattr(scratch, 'dtype', type(scratch).__name__)} "
                        f"of shape {getattr(scratch, 'shape', None)}")
    if masks.size == 0:
        return 0
    ly, lx = masks.shape
    pieces, edge = background_pieces(masks, scratch)
    flat = masks.ravel()
    # Only enclosed pixels beside a mask can see a label.
    found = [enclosed_beside_mask(masks, pieces, edge, rows) for rows in row_bands(ly, 4 * lx)]
    where = np.concatenate([w for w, _ in found])
    if not where.size:
        return 0
    piece = pieces.ravel()[where].astype(np.intp)
    owner = sole_labels(piece, np.concatenate([a for _, a in found], axis=1), int(piece.max()))
    # Every enclosed piece has pixels beside a mask on its first and last rows (the pixel
    # above its top is a mask's), so the rows of owned pieces are those of their pixels here.
    rows_owned = where[owner[piece] > 0] // lx
    if not rows_owned.size:
        return 0
    filled = 0
    for rows in row_bands(int(rows_owned.max()) + 1, 4 * lx, int(rows_owned.min())):
        inside = np.flatnonzero(pieces[rows] > edge)
        label = owner[pieces[rows].ravel()[inside]]
        taken = label > 0
        flat[inside[taken] + rows.start * lx] = label[taken]
        filled += int(np.count_nonzero(taken))
    return filled


def enclosed_beside_mask(masks: NDArray[np.uint32], pieces: NDArray[np.uint32], edge: int,
                         rows: slice) -> tuple[NDArray[np.intp], NDArray[np.uint32]]:
    """The pixels in `rows` of an enclosed background piece (numbered above `edge`) that have
    a labelled pixel among their eight neighbours: their flat indices, and (8, n) the labels
    of those neighbours, read while the rows are in the cache."""
    lx = masks.shape[1]
    enclosed = pieces[rows] > edge
    if not enclosed.any():
        return np.empty(0, np.intp), np.empty((len(NEIGHBOURS_8), 0), np.uint32)
    # No enclosed pixel lies on an image edge, so its neighbours lie in the rows around.
    top, bottom = max(rows.start - 1, 0), min(rows.stop + 1, masks.shape[0])
    block = masks[top:bottom]
    near = near_labels(block)[rows.start - top:rows.stop - top]
    local = np.flatnonzero(enclosed & near) + (rows.start - top) * lx
    around = block.ravel()[np.array([dy * lx + dx for dy, dx in NEIGHBOURS_8])[:, None] + local]
    return local + top * lx, around


def near_labels(masks: NDArray[np.uint32]) -> NDArray[np.bool_]:
    """Pixels that are labelled or have a labelled pixel among their eight neighbours: a
    3 × 3 dilation, as a pass along the rows and one across them."""
    across = widened_along_rows(masks > 0)
    near = across.copy()
    near[1:] |= across[:-1]
    near[:-1] |= across[1:]
    return near


def widened_along_rows(flags: NDArray[np.bool_]) -> NDArray[np.bool_]:
    """Each flag or'ed with its left and right neighbours in its row."""
    wide = flags.copy()
    wide[:, 1:] |= flags[:, :-1]
    wide[:, :-1] |= flags[:, 1:]
    return wide


def sole_labels(pieces: NDArray[np.intp], around: NDArray[np.uint32], n: int) -> NDArray[np.int64]:
    """Per piece 0 … n, the one label that pixels of it see: pixel i of piece pieces[i] sees
    the labels around[:, i] (0 is no label). 0 when no pixel sees one, -1 when two differ.
    Each pixel is reduced to its largest label first, and marked when it sees two itself;
    any pixel's label then stands in for the piece, and one that disagrees shows a second."""
    largest = around.max(axis=0)
    smallest = (around - np.uint32(1)).min(axis=0) + np.uint32(1)     # 0 - 1 wraps to the largest uint32
    seen = largest > 0
    p, label, mixed = pieces[seen], largest[seen], (smallest != largest)[seen]
    owner = np.zeros(n + 1, np.int64)
    owner[p] = label
    owner[p[mixed | (owner[p] != label)]] = -1
    return owner


def cut_to_foreground(labels: NDArray[np.uint32], foreground: NDArray[np.bool_]) -> NDArray[np.int64]:
    """Sets the labels off the foreground to 0, in place, and returns the flat indices, in
    increasing order, of the foreground pixels that carry no label."""
    lx = labels.shape[1]
    unclaimed = [np.empty(0, np.int64)]
    for rows in row_bands(labels.shape[0], labels.itemsize * lx):
        part, inside = labels[rows], foreground[rows]
        np.multiply(part, inside, out=part)
        unclaimed.append(np.flatnonzero(inside & (part == 0)).astype(np.int64) + rows.start * lx)
    return np.concatenate(unclaimed)


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
