"""The road after flow following, a tile at a time: every intermediate lives in .npy files of
a scratch folder, tasks read and write the windows they need, and what the whole image
decides (the order of the seeds, pieces that cross tile borders, the 40 % rule, the labels
quality control removes) is settled from small per-tile summaries. Each step gives exactly
the array the whole image's kernel call gives:

- count map: a destination tile adds up the rounded ends of the pixels that reach it, from
  the tiles whose ends can (min(255, sum) is what saturating counts give in any order);
- seeds: `find_seeds` on the core and a two-pixel rim of the count map;
- growth: `bfs` gives every 8-connected piece of counts above 2 the label k + 1 of the first
  seed k it holds (a later seed inside it is skipped, none can reach past it), so the pieces
  of each core are joined across tile borders and labelled by their first seed;
- extension: a pixel takes the label at its end, read in the tile that holds the end;
- the cut to the foreground; the unclaimed foreground pixels, which can reach a mask from
  far away through one another, join it in this process on the stitched labels through a
  memory map (eight bytes per unclaimed pixel);
- `renumbering` from summed counts, quality control per mask inside its own box,
  `renum_masks` from the removed labels, and the enclosed holes from background pieces joined
  across borders like the grown ones.
"""
from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import NDArray

import sarvo_functions as sf

from ._joins import Rim, join_rims, pieces_of
from ._labels import NEIGHBOURS_8, boxes_of, near_labels, sole_labels
from ._tiles import NpyFile, Slices, Tile, load_npy, window_around, write_region


@dataclass(frozen=True)
class Grid:
    shape: tuple[int, int]
    size: int
    tiles: tuple[Tile, ...]

    @property
    def rows(self) -> int:
        return -(-self.shape[0] // self.size)

    @property
    def cols(self) -> int:
        return -(-self.shape[1] // self.size)

    def tile_of(self, ys: NDArray[np.int64], xs: NDArray[np.int64]) -> NDArray[np.int64]:
        return (ys // self.size) * self.cols + xs // self.size


@dataclass(frozen=True)
class Files:
    """The scratch arrays, whole-image sized, on disk. A file whose content is done with holds
    the next step's: the disk holds about 19 bytes per pixel (27 with the displacements kept)."""
    pos: NpyFile               # (2, Ly, Lx) int16 rounded displacements
    unit: NpyFile              # (2, Ly, Lx) float32 unit flow
    foreground: NpyFile        # bool
    hist: NpyFile              # uint8 count map
    grown: NpyFile             # uint32: pieces of a core, then bfs labels, then the renumbered labels
    labels: NpyFile            # uint32: labels after extension, fill and cut; background pieces; the masks
    disp: NpyFile | None       # (2, Ly, Lx) float32 displacements, kept for `details` only

    @classmethod
    def create(cls, folder: Any, shape: tuple[int, int], keep_displacements: bool) -> Files:
        def make(name: str, dtype: Any, channels: int = 0) -> NpyFile:
            return NpyFile.create(folder / f"{name}.npy", ((channels,) if channels else ()) + shape, dtype,
                                  durable=False)
        return cls(make("pos", np.int16, 2), make("unit", np.float32, 2), make("foreground", np.bool_),
                   make("hist", np.uint8), make("grown", np.uint32), make("labels", np.uint32),
                   make("disp", np.float32, 2) if keep_displacements else None)

    @property
    def pieces(self) -> NpyFile:
        return self.labels

    @property
    def masks(self) -> NpyFile:
        return self.labels

    def store(self, core: Slices, disp: NDArray[np.float32], unit: NDArray[np.float32],
              foreground: NDArray[np.bool_]) -> None:
        """A tile's certified core, its displacements rounded as the whole image rounds them."""
        where = (slice(None), *core)
        write_region(self.pos, where, np.rint(disp).astype(np.int16))
        write_region(self.unit, where, unit)
        write_region(self.foreground, core, foreground)
        if self.disp is not None:
            write_region(self.disp, where, disp)


def rounded(files: Files, tile: Tile) -> NDArray[np.int16]:
    pos: NDArray[np.int16] = files.pos.read((slice(None), *tile.core))
    return pos


def ends_of(files: Files, tile: Tile, pixels: NDArray[np.bool_]
            ) -> tuple[NDArray[np.int64], NDArray[np.int64]]:
    """Image rows and columns of the ends of the chosen core pixels."""
    pos = rounded(files, tile)
    ys, xs = np.nonzero(pixels)
    return (ys + tile.core[0].start + pos[0][pixels].astype(np.int64),
            xs + tile.core[1].start + pos[1][pixels].astype(np.int64))


# ---------------------------------------------------------------------------------------------
# Tasks: each reads and writes windows of the scratch files and returns a summary

def scatter_ends(files: Files, grid: Grid, tile: Tile) -> list[int]:
    """Counts where the core's foreground pixels end, per destination tile, into small files
    of the scratch folder (end pixels and counts); returns the destination tiles."""
    ty, tx = ends_of(files, tile, files.foreground.read(tile.core))
    dest = grid.tile_of(ty, tx)
    flat = ty * grid.shape[1] + tx
    order = np.argsort(dest, kind="stable")
    dest, flat = dest[order], flat[order]
    starts = np.flatnonzero(np.r_[True, dest[1:] != dest[:-1]]) if dest.size else np.empty(0, np.intp)
    for first, stop in zip(starts, np.r_[starts[1:], dest.size]):
        ends, counts = np.unique(flat[first:stop], return_counts=True)
        np.save(ends_file(files, int(dest[first]), tile.index), np.stack([ends, counts]))
    return [int(d) for d in dest[starts]]


def ends_file(files: Files, dest: int, source: int) -> Any:
    return files.hist.path.parent / f"ends-{dest}-{source}.npy"


def count_ends(files: Files, grid: Grid, dest: Tile, sources: list[int]) -> None:
    """The count map of a core: the ends counted by every tile whose pixels reach it, summed."""
    (cy, cx) = dest.core
    h, w = cy.stop - cy.start, cx.stop - cx.start
    counts = np.zeros(h * w, np.int64)
    for s in sources:
        path = ends_file(files, dest.index, s)
        ends, n = load_npy(path)
        path.unlink()
        ty, tx = np.divmod(ends, grid.shape[1])
        np.add.at(counts, (ty - cy.start) * w + (tx - cx.start), n)
    write_region(files.hist, dest.core, np.minimum(counts, 255).astype(np.uint8).reshape(h, w))


def seeds_and_pieces(files: Files, grid: Grid, tile: Tile) -> tuple[NDArray[np.int64], NDArray[np.uint32], Rim]:
    """The seeds in the core (image rows and columns), the core's pieces of counts above 2
    (written to `grown`), the piece of each seed and the core's rim."""
    window = window_around(tile.core, 2, grid.shape)
    hist = files.hist.read(window)
    seeds = sf.find_seeds(hist).astype(np.int64) + [window[0].start, window[1].start]
    (cy, cx) = tile.core
    seeds = seeds[(seeds[:, 0] >= cy.start) & (seeds[:, 0] < cy.stop) & (seeds[:, 1] >= cx.start)
                  & (seeds[:, 1] < cx.stop)]
    pieces = pieces_of(np.ascontiguousarray(hist[Tile(tile.index, tile.core, window).core_in_window] > 2))
    write_region(files.grown, tile.core, pieces)
    return seeds, pieces[seeds[:, 0] - cy.start, seeds[:, 1] - cx.start], Rim.of(pieces)


def relabel(source: NpyFile, target: NpyFile, tile: Tile, table: NDArray[np.uint32]) -> None:
    write_region(target, tile.core, table[source.read(tile.core)])


def extend(files: Files, grid: Grid, tile: Tile) -> None:
    """`extend_seed` for a core: an unlabelled moving pixel takes the label of its end when
    the end is settled (it did not move, or growth took it) and labelled."""
    labels = files.grown.read(tile.core)
    pos = rounded(files, tile)
    need = (labels == 0) & ((pos[0] != 0) | (pos[1] != 0))
    ty, tx = ends_of(files, tile, need)
    dest = grid.tile_of(ty, tx)
    found = np.zeros(ty.size, np.uint32)
    for d in np.unique(dest):
        there = grid.tiles[int(d)]
        pick = dest == d
        y, x = ty[pick] - there.core[0].start, tx[pick] - there.core[1].start
        # Most ends lie in the tile itself, whose arrays are at hand (`labels` is not changed yet).
        if there.index == tile.index:
            grown, moves = labels, pos
        else:
            grown, moves = files.grown.read(there.core), rounded(files, there)
        settled = ((moves[0] == 0) & (moves[1] == 0)) | (grown > 0)
        found[pick] = np.where(settled[y, x], grown[y, x], 0)
    labels[need] = found
    write_region(files.labels, tile.core, labels)


def cut_and_count(files: Files, grid: Grid, tile: Tile
                  ) -> tuple[NDArray[np.uint32], NDArray[np.int64], NDArray[np.int64]]:
    """Cuts a core's labels to the foreground; returns its labels, their counts, and the
    image's flat indices of its unclaimed foreground pixels (in increasing order)."""
    labels = files.labels.read(tile.core)
    foreground = files.foreground.read(tile.core)
    labels[~foreground] = 0
    write_region(files.labels, tile.core, labels)
    counts = np.bincount(labels.ravel())
    values = np.flatnonzero(counts)
    (cy, cx), lx = tile.core, grid.shape[1]
    ys, xs = np.nonzero(foreground & (labels == 0))
    return values.astype(np.uint32), counts[values], (ys + cy.start).astype(np.int64) * lx + xs + cx.start


def renumber_and_measure(files: Files, tile: Tile, table: NDArray[np.uint32]
                         ) -> tuple[NDArray[np.uint32], NDArray[np.int32]]:
    """Renumbers a core into `grown` and returns its labels' boxes in image coordinates."""
    labels = table[files.labels.read(tile.core)]
    write_region(files.grown, tile.core, labels)
    boxes = boxes_of(labels)
    present = np.flatnonzero(boxes[:, 0, 1] > boxes[:, 0, 0])      # an absent label's box is empty
    return (present + 1).astype(np.uint32), boxes[present] + np.array([[tile.core[0].start],
                                                                       [tile.core[1].start]], np.int32)


def flow_errors(files: Files, owned: NDArray[np.int64], boxes: NDArray[np.int32], n: int, min_size: int,
                approx_frac: float) -> tuple[NDArray[np.float64], NDArray[np.uint32]]:
    """`compute_flow_error_cell_size` for the labels `owned` (boxes in image coordinates),
    inside the window their boxes span: each mask is measured inside its own box only."""
    top, left = boxes[:, :, 0].min(axis=0)
    bottom, right = boxes[:, :, 1].max(axis=0)
    window = (slice(int(top), int(bottom)), slice(int(left), int(right)))
    local = np.zeros((n, 2, 2), np.int32)
    local[owned - 1] = boxes - np.array([[top], [left]], np.int32)
    errors, sizes = sf.compute_flow_error_cell_size(files.grown.read(window), files.unit.read((slice(None), *window)),
                                                    local, min_size, approx_frac)
    return errors[owned - 1], sizes[owned - 1]


def background_pieces(files: Files, grid: Grid, tile: Tile, table: NDArray[np.uint32]
                      ) -> tuple[Rim, NDArray[np.bool_], NDArray[np.int64]]:
    """The core's background pieces (written to `pieces`), their rim, which touch an image
    edge, and per piece the one label beside it (0 none, -1 more than one)."""
    window = window_around(tile.core, 1, grid.shape)
    masks = table[files.grown.read(window)]
    inner = Tile(tile.index, tile.core, window).core_in_window
    pieces = pieces_of(np.ascontiguousarray(masks[inner] == 0))
    write_region(files.pieces, tile.core, pieces)
    n = int(pieces.max(initial=0))
    edge = np.zeros(n + 1, bool)
    (cy, cx), (ly, lx) = tile.core, grid.shape
    for side, on_edge in ((pieces[0], cy.start == 0), (pieces[-1], cy.stop == ly),
                          (pieces[:, 0], cx.start == 0), (pieces[:, -1], cx.stop == lx)):
        if on_edge:
            edge[side] = True
    # Only background pixels beside a mask can see a label.
    ys, xs = np.nonzero((pieces > 0) & near_labels(masks)[inner])
    wy, wx = ys + inner[0].start, xs + inner[1].start
    around = np.zeros((len(NEIGHBOURS_8), ys.size), np.uint32)
    for k, (dy, dx) in enumerate(NEIGHBOURS_8):
        ny, nx = wy + dy, wx + dx
        inside = (ny >= 0) & (ny < masks.shape[0]) & (nx >= 0) & (nx < masks.shape[1])
        around[k, inside] = masks[ny[inside], nx[inside]]
    owner = sole_labels(pieces[ys, xs].astype(np.intp), around, n)
    return Rim.of(pieces), edge, owner


def fill_and_finish(files: Files, tile: Tile, table: NDArray[np.uint32], fill: NDArray[np.uint32]) -> int:
    masks = table[files.grown.read(tile.core)]
    filled = fill[files.pieces.read(tile.core)]
    masks[filled > 0] = filled[filled > 0]
    write_region(files.masks, tile.core, masks)
    return int(np.count_nonzero(filled))
