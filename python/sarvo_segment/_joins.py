"""Pieces of an image that is held a tile at a time: each tile numbers the 8-connected pieces
of a selection inside its core, and the numbers of pieces that touch across a tile border are
joined into one per piece of the whole image."""
from __future__ import annotations

from dataclasses import dataclass

import numpy as np
from numpy.typing import NDArray

from ._labels import background_pieces


def pieces_of(selected: NDArray[np.bool_]) -> NDArray[np.uint32]:
    """The 8-connected pieces of `selected`, numbered from 1 with gaps, 0 elsewhere: the
    background pieces of a mask that labels everything else."""
    return background_pieces(np.logical_not(selected).astype(np.uint32))[0]


@dataclass
class Rim:
    """The piece numbers on the four sides of a tile's core (0 off the selection), and how many
    numbers the tile used: what the joining needs of a tile."""
    top: NDArray[np.uint32]
    bottom: NDArray[np.uint32]
    left: NDArray[np.uint32]
    right: NDArray[np.uint32]
    count: int

    @classmethod
    def of(cls, pieces: NDArray[np.uint32]) -> Rim:
        return cls(pieces[0].copy(), pieces[-1].copy(), pieces[:, 0].copy(), pieces[:, -1].copy(),
                   int(pieces.max(initial=0)))


def touching_pairs(before: NDArray[np.int64], after: NDArray[np.int64]) -> NDArray[np.int64]:
    """(n, 2) pairs of numbers that touch across a straight border, 8-connected: `before` and
    `after` are the whole image's lines of global numbers on either side (0 off the selection)."""
    pairs = []
    for shift in (-1, 0, 1):
        a = before[max(shift, 0):len(before) + min(shift, 0)]
        b = after[max(-shift, 0):len(after) + min(-shift, 0)]
        both = (a > 0) & (b > 0)
        pairs.append(np.stack([a[both], b[both]], axis=1))
    return np.concatenate(pairs)


def join_rims(rims: list[Rim], rows: int, cols: int) -> tuple[NDArray[np.int64], NDArray[np.int64]]:
    """Joins the pieces of a grid of `rows` × `cols` tiles (row-major `rims`). Returns each
    tile's offset (its piece k is global number offset + k) and, per global number 0 … N, the
    smallest global number of the whole-image piece it belongs to (0 stays 0)."""
    counts = np.array([r.count for r in rims], np.int64)
    offsets = np.concatenate([[0], np.cumsum(counts)[:-1]])

    def line(side: str, tiles: range) -> NDArray[np.int64]:
        return np.concatenate([np.where(getattr(rims[t], side) > 0, getattr(rims[t], side).astype(np.int64)
                                        + offsets[t], 0) for t in tiles])

    pairs = [np.empty((0, 2), np.int64)]
    for i in range(rows - 1):
        pairs.append(touching_pairs(line("bottom", range(i * cols, (i + 1) * cols)),
                                    line("top", range((i + 1) * cols, (i + 2) * cols))))
    for j in range(cols - 1):
        pairs.append(touching_pairs(line("right", range(j, rows * cols, cols)),
                                    line("left", range(j + 1, rows * cols, cols))))
    return offsets, smallest_member(int(counts.sum()), np.concatenate(pairs))


def smallest_member(n: int, pairs: NDArray[np.int64]) -> NDArray[np.int64]:
    """Per number 0 … n, the smallest number joined to it through `pairs`: each pair pulls both
    roots down to the smaller, and roots are followed to their end, until no pair disagrees."""
    root = np.arange(n + 1, dtype=np.int64)
    a, b = pairs[:, 0], pairs[:, 1]
    while True:
        ra, rb = root[a], root[b]
        differ = ra != rb
        if not differ.any():
            return root
        low = np.minimum(ra[differ], rb[differ])
        np.minimum.at(root, ra[differ], low)
        np.minimum.at(root, rb[differ], low)
        while True:
            jumped = root[root]
            if np.array_equal(jumped, root):
                break
            root = jumped
