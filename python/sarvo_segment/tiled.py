"""segment_tiled: `masks_from_flow` over chunked inputs (NumPy, memory-mapped .npy, Dask, zarr),
tile by tile on Dask, with the whole image's answer cell for cell.

Flow following is where the time goes and where a tile cannot simply trust its window: a
pixel's path may leave any window, and from the second composition round on it follows the
previous round's displacement map, so no bound known beforehand keeps the region it depends on
small. Each tile therefore proves, on its own data, that its pixels' displacements are the
whole image's (see `certified_displacements`), widens its window and recomputes when the proof
fails, and hands back only its core. The stitched displacements are then the whole image's
bit for bit. The road after flow following runs on them once: on whole-image arrays in this
process for images under `CHUNKED_FROM` pixels, and a tile at a time through scratch files
(`_chunked`) from there on.
"""
from __future__ import annotations

import importlib
import itertools
import pathlib
import tempfile
import threading
from dataclasses import dataclass, field
from typing import Any, Callable, Literal, overload

import numpy as np
from numpy.typing import NDArray

import sarvo_functions as sf

from . import _chunked as chunked
from . import _chunked_run as chunked_run
from ._checks import check_count
from ._road import DEFAULT_APPROX_FRAC, DEFAULT_STEPS
from ._tiles import NpyFile, Slices, Tile, tile_grid, window_around, write_region
from ._timing import Progress, Stopwatch
from .masks import (DEFAULT_FLOW_THRESHOLD, DEFAULT_MIN_SIZE, FlowSegmentation, ProbabilityKind, RoadParameters,
                    finish_from_displacements, foreground_of, unit_flow)

# Context around a core at first, in pixels; a tile whose pixels travel further doubles it.
DEFAULT_MARGIN = 32
# Width of the poisoned ring around a window side that is not an image edge: a bilinear read
# reaches one pixel past a position, so a pixel in the ring reads only the ring or the window.
RING = 2
# The poison: far beyond any flow or displacement, and below float32's largest value, so that
# a bilinear sum of ring values (weights adding up to 1) stays finite.
POISON = np.float32(3e38)
# Images of this many pixels or more run the road after flow following in tiles too; smaller
# ones run it in this process on whole-image arrays (about 22 bytes per pixel).
CHUNKED_FROM = 4096 * 4096


@dataclass
class TileFlow:
    """What one tile hands back: its core's share of the whole image's arrays, and how wide a
    window it needed."""
    tile: Tile
    displacements: NDArray[np.float32]   # (2, h, w) certified displacements of the core
    flow: NDArray[np.float32]            # (2, h, w) the unit flow of the core, 0 off the foreground
    foreground: NDArray[np.bool_]        # (h, w)
    margin: int                          # the context that certified every core pixel
    widenings: int                       # how often the window doubled before it did


@dataclass
class TiledSegmentation:
    """What `segment_tiled(..., details=True)` returns."""
    masks: NDArray[np.uint32]            # the masks (`out` when it is a NumPy array or a .npy path)
    run: FlowSegmentation                # the intermediates of the road after flow following
    margins: NDArray[np.int64]           # per tile (row-major), the margin that certified its core
    widenings: NDArray[np.int64]         # per tile, how often its window doubled
    seconds: dict[str, float] = field(default_factory=dict)

    @property
    def widened_tiles(self) -> int:
        return int(np.count_nonzero(self.widenings))


# ---------------------------------------------------------------------------------------------
# Sources: what a task reads its window from

def open_source(source: Any, name: str) -> Any:
    """A source a task can read windows from: a .npy path (or a memory map of one) becomes an
    `NpyFile`, read through a memory map of its own; arrays, Dask arrays and zarr arrays stay."""
    if isinstance(source, (str, pathlib.Path)):
        path = pathlib.Path(source)
        if path.suffix.lower() != ".npy" or not path.is_file():
            raise ValueError(f"{name}: {path} is not a .npy file")
        return NpyFile(path)
    filename = getattr(source, "filename", None)
    if isinstance(source, np.memmap) and filename is not None and str(filename).endswith(".npy"):
        whole = NpyFile(filename)
        if whole.shape == source.shape and whole.dtype == source.dtype:
            return whole
    if not hasattr(source, "shape") or not hasattr(source, "dtype") or not hasattr(source, "__getitem__"):
        return np.asarray(source)
    return source


def read(source: Any, where: tuple[slice, ...]) -> NDArray[Any]:
    """A window of a source as a NumPy array, in the task that needs it."""
    if isinstance(source, NpyFile):
        return source.read(where)
    part = source[where]
    if hasattr(part, "dask"):
        return np.asarray(part.compute(scheduler="sync"))
    return np.asarray(part)


# ---------------------------------------------------------------------------------------------
# One tile

def padded(unit: NDArray[np.float32], pads: tuple[int, int, int, int], poison: np.float32) -> NDArray[np.float32]:
    """`unit` inside a ring of `poison` of the given widths (top, bottom, left, right)."""
    top, bottom, left, right = pads
    _, h, w = unit.shape
    out = np.full((2, h + top + bottom, w + left + right), poison, np.float32)
    out[:, top:top + h, left:left + w] = unit
    return out


def certified_displacements(unit: NDArray[np.float32], pads: tuple[int, int, int, int], core: Slices,
                            n_steps: int, interpolate: bool) -> NDArray[np.float32] | None:
    """The displacements of the `core` pixels of a window whose unit flow is `unit`, proven equal
    to the whole image's, or None when the window cannot prove it.

    Sides of the window that are image edges clamp as the whole image does. Every other side
    gets a ring of `pads` pixels of poison flow, +3e38 in both channels in run A and -3e38 in
    run B. Within a step, a bilinear sample is non-decreasing in every value it reads (its
    weights are >= 0, and rounded products and sums are monotone), so whatever the image holds
    beyond the window, its sample lies between B's and A's, and equals both when they are equal.
    A pixel that reads the ring with a weight > 0 is thrown by about 1e38 times that weight,
    to opposite clamps in A and B, and a pixel in the ring is thrown on every step; a later
    round that reads such a pixel's entry of the previous round's map reads different values
    in A and B. So a core pixel is certified when its displacement is bitwise equal in A and
    B and its end lies inside the window proper, not in the ring.

    What the check cannot see, stated rather than hidden: a ring weight below about 1e-34 (a
    pixel within a hair of the window's last row or column whose displacement in a round stays
    that small) moves A and B by less than their rounding; from the second round on, the map
    entries of thrown pixels differ between A and B only by the window's size, so a weight on
    them below about 1e-7 per pixel of window can round away too; and a pixel whose A and B
    paths part and later meet again bit for bit would pass. All need a path that grazes the
    window's edge, a margin away from the core, at a position within such a hair of a whole
    pixel.
    Reads of the ring with weight exactly 0 add +-0 in A, B and the whole image alike, and the
    sign of a zero cannot change a displacement that starts at +0.
    """
    top, bottom, left, right = pads
    if not any(pads):                   # the window is the image: nothing to prove
        disp = sf._steps2D_all(unit.copy(), n_steps, interpolate)
        return np.ascontiguousarray(disp[(slice(None), *core)])
    _, h, w = unit.shape
    ends: list[NDArray[np.float32]] = []
    for poison in (POISON, -POISON):
        ends.append(sf._steps2D_all(padded(unit, pads, poison), n_steps, interpolate))
    inner = (slice(None), slice(core[0].start + top, core[0].stop + top), slice(core[1].start + left,
                                                                                 core[1].stop + left))
    a, b = ends[0][inner], ends[1][inner]
    if not np.array_equal(a.view(np.uint32), b.view(np.uint32)):
        return None
    # Ends in double, as the kernel's clamp compares them: exact for any window.
    rows = np.arange(inner[1].start, inner[1].stop, dtype=np.float64)[:, None]
    cols = np.arange(inner[2].start, inner[2].stop, dtype=np.float64)[None, :]
    end_row, end_col = rows + a[0].astype(np.float64), cols + a[1].astype(np.float64)
    inside = ((end_row >= top) & (end_row <= top + h - 1) & (end_col >= left) & (end_col <= left + w - 1)).all()
    return np.ascontiguousarray(a) if inside else None


def follow_tile(flow: Any, probability: Any, tile: Tile, shape: tuple[int, int], margin: int,
                params: RoadParameters) -> TileFlow:
    """The certified displacements of a tile's core: the window starts at `margin` pixels of
    context and doubles until every core pixel is certified (at worst it becomes the image)."""
    widenings = 0
    while True:
        window = window_around(tile.core, margin, shape)
        wy, wx = window
        fg = foreground_of(read(probability, window), params)
        unit = unit_flow(read(flow, (slice(None), wy, wx)), fg, params)
        pads = (RING if wy.start > 0 else 0, RING if wy.stop < shape[0] else 0,
                RING if wx.start > 0 else 0, RING if wx.stop < shape[1] else 0)
        core = Tile(tile.index, tile.core, window).core_in_window
        disp = certified_displacements(unit, pads, core, params.n_steps, params.interpolate)
        if disp is not None:
            return TileFlow(tile, disp, np.ascontiguousarray(unit[(slice(None), *core)]),
                            np.ascontiguousarray(fg[core]), margin, widenings)
        margin, widenings = 2 * margin, widenings + 1


# ---------------------------------------------------------------------------------------------
# The whole image

def check_sources(flow: Any, probability: Any) -> tuple[Any, Any, tuple[int, int]]:
    """Both sources opened, their shapes and kinds checked before any tile runs."""
    flow, probability = open_source(flow, "flow"), open_source(probability, "probability")
    fshape, pshape = tuple(flow.shape), tuple(probability.shape)
    if len(fshape) != 3 or fshape[0] != 2:
        raise ValueError(f"flow must have shape (2, Ly, Lx): row and column components; got shape {fshape}")
    if pshape != fshape[1:]:
        raise ValueError(f"flow of shape {fshape} and probability of shape {pshape} disagree: "
                         f"a flow of shape (2, Ly, Lx) needs a probability map of shape (Ly, Lx)")
    if np.dtype(flow.dtype).kind != "f":
        raise TypeError(f"flow must hold floating-point values (float16, float32 or float64), got {flow.dtype}")
    if np.dtype(probability.dtype).kind not in "fb":
        raise TypeError(f"probability must hold floating-point values (logits or probabilities) or bools "
                        f"(the foreground itself), got {probability.dtype}")
    return flow, probability, (int(pshape[0]), int(pshape[1]))


def scattered(source: Any, client: Any) -> Any:
    """An in-memory array goes to the cluster once, not once per task."""
    return client.scatter(source, broadcast=False) if isinstance(source, np.ndarray) else source


def run_tiles(flow: Any, probability: Any, tiles: list[Tile], shape: tuple[int, int], margin: int,
              params: RoadParameters, client: Any, workers: int | None, progress: Progress | None,
              keep: Callable[[TileFlow], None]) -> tuple[NDArray[np.int64], NDArray[np.int64]]:
    """Every tile's certified core, handed to `keep` as it comes (and told to `progress`);
    returns each tile's margin and widenings, in tile order."""
    dask: Any = importlib.import_module("dask")
    margins = np.zeros(len(tiles), np.int64)
    widenings = np.zeros(len(tiles), np.int64)
    done = itertools.count(1)
    telling = threading.Lock()

    def arrived(result: TileFlow) -> None:
        keep(result)
        margins[result.tile.index], widenings[result.tile.index] = result.margin, result.widenings
        with telling:
            number = next(done)
            if progress is not None:
                wider = f", window widened {result.widenings}x to margin {result.margin}" if result.widenings else ""
                progress(f"tile {number}/{len(tiles)} followed{wider}")

    if client is None:
        task = dask.delayed(lambda t: arrived(follow_tile(flow, probability, t, shape, margin, params)), pure=False)
        dask.compute([task(t) for t in tiles], scheduler="threads", num_workers=workers)
    else:
        distributed: Any = importlib.import_module("distributed")
        f, p = scattered(flow, client), scattered(probability, client)
        futures = [client.submit(follow_tile, f, p, t, shape, margin, params, pure=False) for t in tiles]
        for future, result in distributed.as_completed(futures, with_results=True):
            arrived(result)
            future.release()
    return margins, widenings


def check_out(out: Any, shape: tuple[int, int]) -> None:
    """`out` is None, a path for a .npy file, or an array (NumPy, memory map, zarr, …) of the
    image's shape that holds uint32; checked before any tile runs."""
    if out is None or isinstance(out, (str, pathlib.Path)):
        return
    if not hasattr(out, "shape") or tuple(out.shape) != shape or np.dtype(out.dtype) != np.uint32:
        raise ValueError(f"out must be uint32 of shape {shape}, not {getattr(out, 'dtype', type(out).__name__)} "
                         f"of shape {tuple(getattr(out, 'shape', ()))}")


@overload
def segment_tiled(flow: Any, probability: Any, tile: int, *, out: Any = ..., client: Any = ...,
                  progress: Progress | None = ..., workers: int | None = ..., margin: int = ...,
                  chunked_from: int = ..., scratch: Any = ..., details: Literal[False] = ...,
                  probability_kind: ProbabilityKind = ...,
                  threshold: float | None = ..., flow_scale: float = ..., n_steps: int = ...,
                  interpolate: bool = ..., flow_threshold: float = ..., min_size: int = ...,
                  approx_frac: float = ...) -> NDArray[np.uint32]: ...
@overload
def segment_tiled(flow: Any, probability: Any, tile: int, *, out: Any = ..., client: Any = ...,
                  progress: Progress | None = ..., workers: int | None = ..., margin: int = ...,
                  chunked_from: int = ..., scratch: Any = ..., details: Literal[True],
                  probability_kind: ProbabilityKind = ...,
                  threshold: float | None = ..., flow_scale: float = ..., n_steps: int = ...,
                  interpolate: bool = ..., flow_threshold: float = ..., min_size: int = ...,
                  approx_frac: float = ...) -> TiledSegmentation: ...


def segment_tiled(flow: Any, probability: Any, tile: int, *, out: Any = None, client: Any = None,
                  progress: Progress | None = None, workers: int | None = None, margin: int = DEFAULT_MARGIN,
                  chunked_from: int = CHUNKED_FROM, scratch: Any = None, details: bool = False,
                  probability_kind: ProbabilityKind = "logits",
                  threshold: float | None = None, flow_scale: float = 1.0, n_steps: int = DEFAULT_STEPS,
                  interpolate: bool = True, flow_threshold: float = DEFAULT_FLOW_THRESHOLD,
                  min_size: int = DEFAULT_MIN_SIZE, approx_frac: float = DEFAULT_APPROX_FRAC) -> NDArray[np.uint32] | TiledSegmentation:
    """`masks_from_flow` of the whole image, computed in square tiles of `tile` pixels.

    Parameters
    ----------
    flow, probability : (2, Ly, Lx) and (Ly, Lx) sources
        NumPy arrays, memory maps or paths of .npy files, Dask arrays, zarr arrays: anything
        that can be sliced into a window. Each task reads only its window.
    tile : int
        Side of the square cores the image is cut into.
    out : optional
        None returns the masks as a NumPy array. A path creates a .npy file (returned memory-
        mapped); a uint32 array of the image's shape (NumPy, memory map, zarr of any chunking)
        is written in place, and returned when it is a NumPy array.
    client : optional
        A `distributed.Client`; by default the tiles run on Dask's threads (`workers` of them).
    progress : callable, optional
        Called with the name of each stage and with every tile as it finishes.
    margin : int, default 32
        Context read around each core at first; a tile that cannot certify its core doubles it.
    chunked_from : int, default 4096 * 4096
        Images of this many pixels or more run the road after flow following a tile at a time,
        with its intermediates in .npy files of a scratch folder; smaller ones run it on
        whole-image arrays in this process (about 22 bytes per pixel). Both give the same masks.
    scratch : path, optional
        Where the scratch folder goes (default: the system's temporary folder). With a client,
        every worker must see it: the workers and this process share one machine's disks.
    details : bool, default False
        Return a `TiledSegmentation`: the masks, the intermediates of the road, and per tile
        the margin it needed.
    probability_kind, threshold, flow_scale, n_steps, interpolate, flow_threshold, min_size, approx_frac
        As for `masks_from_flow`.

    Exactness. The masks equal `masks_from_flow` of the whole image cell for cell, labels
    included. The condition a tile checks on its own data: every core pixel's displacement
    is bitwise equal in two runs of its window whose ring of poisoned flow pushes in opposite
    directions, and ends inside the window (see `certified_displacements` for why that proves
    it equal to the whole image's, and for the two corner cases the check cannot see). A tile
    that fails doubles its margin and recomputes, up to the whole image. The stitched
    displacements are then the whole image's, and so is every step after them: in a tile at a
    time each step gives exactly the array of the whole image's kernel call (see `_chunked`).
    What still touches the whole image at once there: the unclaimed foreground pixels, which
    can reach a mask through one another from anywhere, join it in this process on the
    stitched labels through a memory map (eight bytes per unclaimed pixel); a .npy or array `out` is
    returned, a zarr `out` is returned itself, and `out=None` builds the masks in memory.
    """
    watch = Stopwatch(progress)
    watch.stage("check")
    params = RoadParameters.checked(probability_kind, threshold, flow_scale, n_steps, interpolate, flow_threshold,
                                    min_size, approx_frac)
    size = check_count("tile", tile, least=1)
    context = check_count("margin", margin, least=1)
    flow, probability, shape = check_sources(flow, probability)
    check_out(out, shape)
    tiles = tile_grid(shape, size, 0)

    if shape[0] * shape[1] >= check_count("chunked_from", chunked_from):
        # A task that fails leaves the others of its stage running, and writing here, while the
        # error comes up: the clean-up must not replace that error with its own.
        with tempfile.TemporaryDirectory(prefix="sarvo-tiles-", dir=scratch, ignore_cleanup_errors=True) as folder:
            files = chunked.Files.create(pathlib.Path(folder), shape, details)
            return finish_chunked(files, flow, probability, tiles, shape, size, context, params, client, workers,
                                  progress, out, details, watch)

    watch.stage("follow the flow in tiles")
    disp = np.empty((2, *shape), np.float32)
    unit = np.empty((2, *shape), np.float32)
    foreground = np.empty(shape, np.bool_)
    margins, widenings = run_tiles(flow, probability, tiles, shape, context, params, client, workers, progress,
                                   lambda r: stitch(r, disp, unit, foreground))
    run = finish_from_displacements(unit, foreground, disp, params, True, watch)
    assert isinstance(run, FlowSegmentation)
    masks = run.masks if out is None else write_out(out, shape, tiles, lambda where: run.masks[where], watch,
                                                    run.masks)
    watch.stop()
    if not details:
        return masks
    return TiledSegmentation(masks=masks, run=run, margins=margins, widenings=widenings,
                             seconds=watch.seconds)


def stitch(result: TileFlow, disp: NDArray[np.float32], unit: NDArray[np.float32],
           foreground: NDArray[np.bool_]) -> None:
    """A tile's core into the whole-image arrays."""
    where = (slice(None), *result.tile.core)
    disp[where], unit[where], foreground[result.tile.core] = result.displacements, result.flow, result.foreground


def write_out(out: Any, shape: tuple[int, int], tiles: list[Tile], core_of: Callable[[Slices], NDArray[np.uint32]],
              watch: Stopwatch, otherwise: Any) -> Any:
    """The masks into `out` a core at a time (a .npy file is created only now: a run refused
    on the way leaves whatever was there); returns what segment_tiled returns: a NumPy `out`,
    a .npy file memory-mapped, and `otherwise` for other outputs."""
    if out is None:
        masks = np.empty(shape, np.uint32)
        for t in tiles:
            masks[t.core] = core_of(t.core)
        return masks
    watch.stage("write")
    target = NpyFile.create(out, shape) if isinstance(out, (str, pathlib.Path)) else out
    for t in tiles:
        write_region(target, t.core, core_of(t.core))
    if isinstance(target, NpyFile):
        return np.load(target.path, mmap_mode="r")
    return target if isinstance(target, np.ndarray) else otherwise


def finish_chunked(files: chunked.Files, flow: Any, probability: Any, tiles: list[Tile], shape: tuple[int, int],
                   size: int, margin: int, params: RoadParameters, client: Any, workers: int | None,
                   progress: Progress | None, out: Any, details: bool, watch: Stopwatch
                   ) -> NDArray[np.uint32] | TiledSegmentation:
    """The run with every whole-image intermediate in the scratch `files`."""
    watch.stage("follow the flow in tiles")
    margins, widenings = run_tiles(flow, probability, tiles, shape, margin, params, client, workers, progress,
                                   lambda r: files.store(r.tile.core, r.displacements, r.flow, r.foreground))
    grid = chunked.Grid(shape, size, tuple(tiles))
    done = chunked_run.finish_in_tiles(files, grid, chunked_run.runner(client, workers), watch.stage, params.min_size,
                                   params.flow_threshold, params.approx_frac)
    masks: NDArray[np.uint32] = write_out(out, shape, tiles, files.masks.read, watch, out)
    watch.stop()
    if not details:
        return masks
    labels = np.arange(1, len(done.sizes) + 1, dtype=np.int64)
    whole = (slice(None), slice(None))
    run = FlowSegmentation(masks=files.masks.read(whole), foreground=files.foreground.read(whole),
                           threshold=params.threshold, flow=files.unit.read((slice(None), *whole)),
                           displacements=files.disp.read((slice(None), *whole)) if files.disp else np.empty(0, np.float32), histogram=files.hist.read(whole),
                           seeds=done.seeds, grown=files.grown.read(whole), errors=done.errors, sizes=done.sizes,
                           removed_small=labels[done.small], removed_flow=labels[done.bad_flow],
                           kept=labels[~(done.small | done.bad_flow)], holes_filled=done.holes_filled,
                           seconds=watch.seconds)
    return TiledSegmentation(masks=masks, run=run, margins=margins, widenings=widenings, seconds=watch.seconds)
