"""The segmentation road on images too large for one call: overlapping tiles run on Dask and
stitched into exactly the whole image's answer.

    segment_tiled(masks, tile, overlap, client=None) -> label mask numbered 1 … n

The image is cut into square cores of `tile` pixels; each core is segmented inside its window,
the core widened by `overlap` pixels on every side (cut at the image border), with the same road
as `segmentation_road.segment`. Every tile writes the labels of its own core pixels, so no pixel
is written twice and no tile holds more than its window.

Keep rule. A cell belongs to the tile whose core holds its seed: the first seed of
`find_seeds`, in row-major order, that lies in the cell (the seed it was grown from; a cell that
holds no seed, which the road never makes on label masks, is anchored at its first pixel). Each
tile names the pixels of its core by the global position of their cell's seed, and reports the
seeds its core holds; cells are numbered 1 … n in the row-major order of their seeds. A pixel
whose seed is not reported by the tile holding it names a cell that only a clipped window saw:
it is cleared and counted as an orphan.

Overlap condition. With D the largest side of a cell's bounding box, an overlap of at least
2·D + 4 pixels (`required_overlap`) makes every cell with a pixel in a core come out of that
core's window as it comes out of the whole image: the cell lies within D − 1 pixels of that
pixel, the neighbours whose flow its pixels sample within another D + 1 (bilinear sampling
reaches one pixel past a position), and the seed search looks 2 pixels further. The tiles then
agree on every cell, and the stitched mask equals the whole-image mask up to renumbering.

Whole-image steps. The pixels no seed claimed join the mask they reach through one another,
however far that is, and `renumbering` deletes a cell over 40 % of the image: no window can
run those as the whole image does, so each tile stops before them and the
driver runs them once on the stitched labels (`finish_whole`). Threads write an output in
chunks (a zarr array) one core at a time, since a core that shares a chunk with another would
otherwise overwrite its pixels.

Inputs too large for memory: `masks` may be a path to a .npy file, read by each task through a
memory map of its own window, or a Dask array read lazily; `out` may be a path to a .npy file
that is written core by core. Needs NumPy and Dask; dask.distributed for a client.
"""
from __future__ import annotations

import importlib
import pathlib
import time
from dataclasses import dataclass
from typing import Any, Union

import numpy as np
from numpy.typing import NDArray

import segmentation_road as road
from sarvo_segment._tiles import NpyFile, Slices, Tile, write_region
from sarvo_segment._tiles import tile_grid as tile_grid      # part of this module's interface

dask: Any = importlib.import_module("dask")

# Bilinear sampling reads one pixel past a position, the seed search two pixels around a count,
# and the rounded end point may lie one pixel off: four pixels beyond the two cell extents.
OVERLAP_MARGIN = 4

Source = Union[NDArray[np.integer[Any]], str, pathlib.Path, Any]   # array, .npy path or Dask array


def required_overlap(largest_cell: int) -> int:
    """The overlap that makes the tiled road exact for cells whose bounding box sides are at most
    `largest_cell` pixels."""
    return 2 * largest_cell + OVERLAP_MARGIN


# ---------------------------------------------------------------------------------------------
# Where labels come from (the grid, .npy files and chunked writes are the installed package's)

def check_label_source(masks: Source) -> tuple[Any, tuple[int, int]]:
    """The source as an in-memory array, an NpyFile or a Dask array, and its shape. Refuses
    what is not a 2-D integer label mask before any tile runs."""
    if isinstance(masks, (str, pathlib.Path)):
        masks = NpyFile(masks)
    elif not hasattr(masks, "dask"):
        masks = np.asarray(masks)
    if len(masks.shape) != 2:
        raise ValueError(f"a label mask has two dimensions, this one has shape {tuple(masks.shape)}")
    dtype = np.dtype(masks.dtype)
    if not (np.issubdtype(dtype, np.integer) or dtype == np.bool_):
        raise ValueError(f"a label mask holds integers, this one holds {dtype}")
    if isinstance(masks, np.ndarray) and masks.size and np.issubdtype(dtype, np.signedinteger) and masks.min() < 0:
        raise ValueError("a label mask has no negative labels")
    return masks, (int(masks.shape[0]), int(masks.shape[1]))


def read_window(masks: Any, where: Slices) -> Any:
    """A window of the source for a task: a memory-map read for a file, a lazy slice for a Dask
    array (computed as the task's input), a view of an in-memory array."""
    if isinstance(masks, NpyFile):
        return dask.delayed(masks.read, pure=True)(where)
    return masks[where]


# ---------------------------------------------------------------------------------------------
# One tile

def relabel_window(labels: NDArray[Any]) -> NDArray[np.uint32]:
    """The labels of a window numbered 1 … n in the order of their values, by a table over the
    window's range of labels when that range is small (one pass, no sort)."""
    if labels.size == 0:
        return np.zeros(labels.shape, np.uint32)
    if np.issubdtype(labels.dtype, np.signedinteger) and labels.min() < 0:
        raise ValueError("a label mask has no negative labels")
    top = int(labels.max())
    if top > 4 * labels.size:
        return road.relabel_consecutive(labels)
    flat = labels.reshape(-1).astype(np.intp, copy=False)
    present = np.bincount(flat, minlength=top + 1) > 0
    present[0] = False
    table = np.cumsum(present, dtype=np.uint32)
    table[~present] = 0
    return table[flat].reshape(labels.shape)


def cell_anchors(found: NDArray[np.uint32], seeds: NDArray[np.uint32]) -> NDArray[np.intp]:
    """(n + 1, 2) anchor of every label 1 … n of a rebuilt mask, row and column; row 0 unused.
    The anchor is the first seed inside the cell, or the cell's first pixel when none is."""
    n = int(found.max(initial=0))
    anchors = np.full((n + 1, 2), -1, np.intp)
    if len(seeds):
        ys, xs = seeds[:, 0].astype(np.intp), seeds[:, 1].astype(np.intp)
        owner = found[ys, xs]
        labels, first = np.unique(owner, return_index=True)
        keep = labels > 0
        anchors[labels[keep], 0], anchors[labels[keep], 1] = ys[first[keep]], xs[first[keep]]
    missing = np.flatnonzero(anchors[1:, 0] < 0) + 1
    if len(missing):
        flat = found.reshape(-1)
        where = np.flatnonzero(np.isin(flat, missing))
        labels, first = np.unique(flat[where], return_index=True)
        anchors[labels, 0], anchors[labels, 1] = np.divmod(where[first], found.shape[1])
    return anchors


@dataclass
class TileResult:
    """What one tile hands back: its core's labels in the window's numbering, and for each
    window label the global flat index of its anchor. Only the tables stay after writing."""
    tile: Tile
    labels: NDArray[np.uint32] | None     # core labels, window numbering; None once written
    anchors: NDArray[np.int64]            # (n + 1,) anchor of window label k, -1 for k = 0
    owned: NDArray[np.int64]              # the anchors that lie in this tile's core, sorted
    seconds: float


def segment_window(window: NDArray[Any], tile: Tile, width: int, n_steps: int, approx_frac: float) -> TileResult:
    """The road on one window; `width` is the image's row length, for global anchor indices."""
    t0 = time.perf_counter()
    local = relabel_window(np.asarray(window))
    # The window's labels as its seeds grew them: the steps that can read far (the unclaimed
    # pixels joining a mask, the 40 % rule of renumbering) run on the stitched mask.
    result = road.segment(local, n_steps, approx_frac, finish=False)
    found = result.masks
    anchors = cell_anchors(found, result.seeds)
    ay = anchors[:, 0] + tile.window[0].start
    ax = anchors[:, 1] + tile.window[1].start
    flat = np.where(anchors[:, 0] >= 0, ay * np.int64(width) + ax, -1).astype(np.int64)
    cy, cx = tile.core
    inside = (ay >= cy.start) & (ay < cy.stop) & (ax >= cx.start) & (ax < cx.stop)
    inside[0] = False
    core = np.ascontiguousarray(found[tile.core_in_window])
    return TileResult(tile=tile, labels=core, anchors=flat, owned=np.sort(flat[inside]),
                      seconds=time.perf_counter() - t0)


def write_core(out: Any, result: TileResult) -> TileResult:
    """Writes a tile's core labels to the output and keeps only its tables."""
    assert result.labels is not None
    write_region(out, result.tile.core, result.labels)
    result.labels = None
    return result


def segment_and_write(window: NDArray[Any], tile: Tile, width: int, n_steps: int, approx_frac: float,
                      out: Any) -> TileResult:
    """One task of the threaded run: the tile writes its own core, as every thread shares `out`."""
    return write_core(out, segment_window(window, tile, width, n_steps, approx_frac))


# ---------------------------------------------------------------------------------------------
# The whole image

@dataclass
class TiledRun:
    """The outcome of a tiled run besides the label mask."""
    n_cells: int
    orphan_pixels: int              # pixels of cells that the tile holding their seed did not keep (filled later)
    tile_seconds: list[float]       # road time of each tile, in tile order
    seconds: float                  # wall time of the whole run


def run_tiles(source: Any, tiles: list[Tile], width: int, out: Any, client: Any, workers: int | None,
              n_steps: int, approx_frac: float) -> list[TileResult]:
    """Runs every tile and writes its core. With threads each task writes its own core; with a
    client the results are written here as they arrive, so a worker holds only its tiles in
    flight and this process one core at a time."""
    if client is None:
        task = dask.delayed(segment_and_write, pure=False)
        graph = [task(read_window(source, t.window), t, width, n_steps, approx_frac, out) for t in tiles]
        return list(dask.compute(graph, scheduler="threads", num_workers=workers)[0])
    distributed: Any = importlib.import_module("distributed")
    task = dask.delayed(segment_window, pure=True)
    futures = client.compute([task(read_window(source, t.window), t, width, n_steps, approx_frac) for t in tiles])
    results = []
    for future, result in distributed.as_completed(futures, with_results=True):
        results.append(write_core(out, result))
        future.release()
    return sorted(results, key=lambda r: r.tile.index)


def renumber_cores(out: Any, results: list[TileResult]) -> tuple[int, int]:
    """Replaces every core's window labels by the numbers 1 … n, in the row-major order of the
    cells' anchors; labels whose anchor no tile kept become 0. Returns n and the number of such
    orphan pixels."""
    kept = np.concatenate([r.owned for r in results]) if results else np.empty(0, np.int64)
    kept.sort()
    orphans = 0
    for r in results:
        rank = np.searchsorted(kept, r.anchors)
        hit = (rank < len(kept)) & (kept[np.minimum(rank, len(kept) - 1)] == r.anchors) if len(kept) else rank < 0
        table = np.where(hit, rank + 1, 0).astype(np.uint32)
        labels = out.read(r.tile.core) if isinstance(out, NpyFile) else np.asarray(out[r.tile.core])
        renamed = table[labels]
        orphans += int(np.count_nonzero((renamed == 0) & (labels > 0)))
        write_region(out, r.tile.core, renamed)
    return len(kept), orphans


def finish_whole(out: Any, source: Any, tiles: list[Tile]) -> int:
    """The steps of the road that read the whole image, on the stitched labels, exactly as the
    whole image runs them (`finish_masks`): the cut to the foreground, the unclaimed pixels
    joining the mask they reach, and `renumbering` with its 40 % rule.
    A .npy output is finished through a memory map, an array in place, a chunked output (zarr)
    in memory and written back once. Returns the number of cells."""
    foreground = np.zeros(out.shape, np.bool_)
    for t in tiles:
        foreground[t.core] = np.asarray(dask.compute(read_window(source, t.core))[0]) > 0
    if isinstance(out, NpyFile):
        labels: NDArray[np.uint32] = np.load(out.path, mmap_mode="r+")
    elif isinstance(out, np.ndarray) and out.flags.c_contiguous:
        labels = out
    else:
        labels = np.ascontiguousarray(out[...], np.uint32)
    road.finish_masks(labels, foreground, road.Stopwatch())
    n_cells = int(labels.max(initial=0))
    if isinstance(out, NpyFile):
        labels.flush()   # type: ignore[attr-defined]
    elif labels is not out:
        out[...] = labels
    return n_cells


def segment_tiled(masks: Source, tile: int, overlap: int, client: Any = None, *, out: Any = None,
                  workers: int | None = None, n_steps: int = road.DEFAULT_STEPS,
                  approx_frac: float = road.DEFAULT_APPROX_FRAC, report: TiledRun | None = None
                  ) -> NDArray[np.uint32]:
    """The rebuilt label mask of `masks`, segmented in tiles of `tile` pixels with `overlap`
    pixels of context on every side, numbered 1 … n in the row-major order of the cells' seeds.

    `masks` is a 2-D integer label mask: an array, a path to a .npy file, or a Dask array.
    `out` is None (a new array is returned), a uint32 array of the image's shape, or a path to
    a .npy file to create, which is written core by core and returned memory-mapped. Tiles run
    on `workers` threads, or on the workers of a dask.distributed `client`. `report`, when
    given, receives the counts and times of the run."""
    t0 = time.perf_counter()
    source, shape = check_label_source(masks)
    tiles = tile_grid(shape, tile, overlap)
    if out is None:
        target: Any = np.zeros(shape, np.uint32)
    elif isinstance(out, (str, pathlib.Path)):
        target = NpyFile.create(out, shape)
    else:
        if out.shape != shape or out.dtype != np.uint32:
            raise ValueError(f"the output must be uint32 of shape {shape}, not {out.dtype} of shape {out.shape}")
        target = out
    results = run_tiles(source, tiles, shape[1], target, client, workers, n_steps, approx_frac)
    _, orphans = renumber_cores(target, results)
    n_cells = finish_whole(target, source, tiles)
    if report is not None:
        report.n_cells, report.orphan_pixels = n_cells, orphans
        report.tile_seconds = [r.seconds for r in results]
        report.seconds = time.perf_counter() - t0
    if isinstance(target, NpyFile):
        mapped: NDArray[np.uint32] = np.load(target.path, mmap_mode="r")
        return mapped
    done: NDArray[np.uint32] = target
    return done


# ---------------------------------------------------------------------------------------------
# Checks and large test images

def largest_cell(masks: Source, chunk: int = 2048) -> int:
    """The largest bounding-box side of any label, read a chunk at a time."""
    source, (ly, lx) = check_label_source(masks)
    spans: list[tuple[NDArray[Any], NDArray[np.integer[Any]], NDArray[np.integer[Any]]]] = []
    for t in tile_grid((ly, lx), chunk, 0):
        block = np.asarray(dask.compute(read_window(source, t.window))[0])
        boxes = road.boxes_of(relabel_window(block))
        labels = np.unique(block[block > 0])
        lows = boxes[:, :, 0] + [t.core[0].start, t.core[1].start]
        highs = boxes[:, :, 1] + [t.core[0].start, t.core[1].start]
        spans.append((labels, lows, highs))
    if not spans:
        return 0
    labels = np.concatenate([s[0] for s in spans])
    if len(labels) == 0:
        return 0
    lows, highs = np.concatenate([s[1] for s in spans]), np.concatenate([s[2] for s in spans])
    values, inverse = np.unique(labels, return_inverse=True)
    low = np.full((len(values), 2), np.iinfo(np.int64).max)
    high = np.zeros((len(values), 2), np.int64)
    np.minimum.at(low, inverse, lows)
    np.maximum.at(high, inverse, highs)
    return int((high - low).max())


def synthetic_mosaic(shape: tuple[int, int], piece: int = 1000, seed: int = 0,
                     diameter: tuple[float, float] = (10.0, 30.0), out: Any = None, workers: int = 1) -> Any:
    """A large label mask made of independent synthetic pieces side by side, as a microscope
    stitches its fields: each piece is a `segmentation_road.synthetic_mask` of its own seed, so
    cells at a seam meet along a straight line (pieces of 1000 pixels keep the seams off tile
    grids of powers of two). Labels run 1 … n piece after piece. `out` may be a path to a .npy
    file, written piece by piece; `workers` processes make the pieces, a round at a time."""
    target: Any = np.zeros(shape, np.uint32) if out is None else NpyFile.create(out, shape)
    pieces = tile_grid(shape, piece, 0)
    task = dask.delayed(road.synthetic_mask, pure=True)
    offset = 0
    for first in range(0, len(pieces), workers):
        batch = pieces[first:first + workers]
        made = dask.compute([task((t.core[0].stop - t.core[0].start, t.core[1].stop - t.core[1].start), diameter,
                                  seed=seed * 1_000_003 + t.index) for t in batch],
                            scheduler="processes" if workers > 1 else "sync", num_workers=workers)[0]
        for t, labels in zip(batch, made):
            n = int(labels.max(initial=0))
            labels[labels > 0] += np.uint32(offset)
            offset += n
            if isinstance(target, NpyFile):
                target.write(t.core, labels)
            else:
                target[t.core] = labels
    return target if out is None else np.load(target.path, mmap_mode="r")


@dataclass
class Agreement:
    """How a tiled mask compares with the whole-image mask, cell by cell."""
    n_whole: int
    n_tiled: int
    identical: int      # cells with exactly the same pixels in both
    split: int          # whole-image cells that meet more than one tiled cell
    merged: int         # tiled cells that meet more than one whole-image cell


def agreement(whole: NDArray[np.uint32], tiled: NDArray[np.uint32]) -> Agreement:
    pt, pf, iou = road.overlaps(whole, tiled)
    n_whole = len(np.unique(whole[whole > 0]))
    n_tiled = len(np.unique(tiled[tiled > 0]))
    per_whole = np.bincount(pt)
    per_tiled = np.bincount(pf)
    return Agreement(n_whole, n_tiled, identical=int(np.count_nonzero(iou == 1.0)),
                     split=int(np.count_nonzero(per_whole > 1)), merged=int(np.count_nonzero(per_tiled > 1)))
