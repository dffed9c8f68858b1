"""A predicted-looking flow and probability pair larger than memory, written to zarr chunk by chunk.

Every chunk is a field of synthetic cells with its own flow noise and speckle; no cell reaches
within `MARGIN` pixels of a chunk's edge, so a chunk's flow is the flow of the whole image's
mask there, and the blur and noise made per chunk meet only background at the seams. Making a
field of cells costs far more than its noise, so the chunks draw on a few fields (`patterns`),
each turned one of four ways (flipped along no axis, rows, columns or both, the flow's
components flipped with them); the noise and speckle of every chunk are its own.
"""
from __future__ import annotations

import concurrent.futures
import importlib
import pathlib
from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import NDArray

import segmentation_road as road

# Background around every chunk's cells: the blur of the flow (1 pixel) and of the
# logits (1.5 pixels), made per chunk, wraps around at a chunk's edge and must meet zeros there.
MARGIN = 8
# The predicted-looking flow is this many times unit length, as in the demo.
PREDICTOR_SCALE = 5.0


@dataclass(frozen=True)
class InputPlan:
    """What `write_inputs` writes: a square image of `side` pixels in chunks of `chunk`."""
    directory: pathlib.Path
    side: int
    chunk: int
    patterns: int = 8
    noise: float = 0.2
    speckle: float = 0.01
    seed: int = 0

    @property
    def flow_path(self) -> pathlib.Path:
        return self.directory / "flow.zarr"

    @property
    def probability_path(self) -> pathlib.Path:
        return self.directory / "probability.zarr"

    def chunk_origins(self) -> list[tuple[int, int]]:
        return [(y, x) for y in range(0, self.side, self.chunk) for x in range(0, self.side, self.chunk)]


def clear_margin(masks: NDArray[np.uint32], margin: int) -> NDArray[np.uint32]:
    """`masks` without every cell that has a pixel within `margin` of an edge, renumbered."""
    band = np.ones(masks.shape, bool)
    band[margin:-margin, margin:-margin] = False
    touching = np.zeros(int(masks.max(initial=0)) + 1, bool)
    touching[masks[band]] = True
    touching[0] = False
    return road.relabel_consecutive(np.where(touching[masks], 0, masks))


def cell_field(plan: InputPlan, pattern: int
               ) -> tuple[NDArray[np.uint32], NDArray[np.float64], NDArray[np.float64]]:
    """One field of cells, one chunk in size: its label mask, noiseless flow and logits."""
    masks = clear_margin(road.synthetic_mask((plan.chunk, plan.chunk), seed=plan.seed * 1_000_003 + pattern), MARGIN)
    return (masks, *road.predictor_shapes(masks))


def turned(masks: NDArray[np.uint32], flow: NDArray[np.float64], logits: NDArray[np.float64], way: int
           ) -> tuple[NDArray[np.uint32], NDArray[np.float64], NDArray[np.float64]]:
    """Copies of a field flipped along its rows (way & 1) and columns (way & 2); a flow
    component changes sign with its own axis. The noise goes onto the copies in place."""
    flow, logits = flow.copy(), logits.copy()
    for axis, bit in ((0, 1), (1, 2)):
        if way & bit:
            masks, logits, flow = np.flip(masks, axis), np.flip(logits, axis), np.flip(flow, axis + 1)
            flow[axis] *= -1.0
    return np.ascontiguousarray(masks), np.ascontiguousarray(flow), np.ascontiguousarray(logits)


def plain_zarr(path: pathlib.Path, shape: tuple[int, ...], chunks: tuple[int, ...], dtype: Any) -> Any:
    """A new, empty, uncompressed zarr array (one in `path` is replaced): noisy floats barely
    compress, and decompressing them would cost the segmentation time."""
    zarr: Any = importlib.import_module("zarr")
    if int(zarr.__version__.split(".")[0]) >= 3:
        return zarr.create_array(str(path), shape=shape, chunks=chunks, dtype=dtype, compressors=None,
                                 overwrite=True)
    return zarr.open_array(str(path), mode="w", shape=shape, chunks=chunks, dtype=dtype, compressor=None)


def create_arrays(plan: InputPlan) -> None:
    plan.directory.mkdir(parents=True, exist_ok=True)
    side, chunk = plan.side, plan.chunk
    plain_zarr(plan.flow_path, (2, side, side), (2, chunk, chunk), np.float32)
    plain_zarr(plan.probability_path, (side, side), (chunk, chunk), np.float32)


def write_pattern(plan: InputPlan, pattern: int, flow_out: Any = None, prob_out: Any = None,
                  truth_out: Any = None) -> int:
    """Writes every chunk that draws on field `pattern` (chunk i takes field i % patterns),
    each with its own noise, into the plan's zarr arrays or the arrays given; `truth_out`
    takes the label masks, numbered 1 … n within each chunk. Returns the chunks written."""
    if flow_out is None:
        flow_out, prob_out = open_inputs(plan, "r+")
    base = cell_field(plan, pattern)
    written = 0
    for index, (y, x) in enumerate(plan.chunk_origins()):
        if index % plan.patterns != pattern:
            continue
        masks, flow, logits = turned(*base, (index // plan.patterns) % 4)
        rng = np.random.default_rng((plan.seed, index))
        flow32, logits32 = road.predictor_noise(flow, logits, rng, plan.noise, PREDICTOR_SCALE, plan.speckle)
        flow_out[:, y:y + plan.chunk, x:x + plan.chunk] = flow32
        prob_out[y:y + plan.chunk, x:x + plan.chunk] = logits32
        if truth_out is not None:
            truth_out[y:y + plan.chunk, x:x + plan.chunk] = masks
        written += 1
    return written


def predicted_field(plan: InputPlan) -> tuple[NDArray[np.float32], NDArray[np.float32], NDArray[np.uint32]]:
    """The same flow and logits in memory, with the true label mask (numbered 1 … n)."""
    flow = np.empty((2, plan.side, plan.side), np.float32)
    logits = np.empty((plan.side, plan.side), np.float32)
    truth = np.empty((plan.side, plan.side), np.uint32)
    check_plan(plan)
    chunks = plan.side // plan.chunk
    for pattern in range(min(plan.patterns, chunks * chunks)):
        write_pattern(plan, pattern, flow, logits, truth)
    # Labels per chunk, made distinct: chunk i's labels shifted past those of the chunks before.
    chunk_view = truth.reshape(chunks, plan.chunk, chunks, plan.chunk)
    counts = chunk_view.max(axis=(1, 3)).ravel().astype(np.uint64)
    shift = np.concatenate([[0], np.cumsum(counts)[:-1]]).reshape(chunks, 1, chunks, 1)
    chunk_view += np.where(chunk_view > 0, shift, 0).astype(np.uint32)
    return flow, logits, truth


def check_plan(plan: InputPlan) -> None:
    if plan.side % plan.chunk or plan.chunk <= 2 * MARGIN:
        raise ValueError(f"the side ({plan.side}) must be a multiple of the chunk ({plan.chunk}), "
                         f"which must exceed {2 * MARGIN}")


def write_inputs(plan: InputPlan, jobs: int = 1) -> tuple[Any, Any]:
    """Writes the flow (2, side, side) and the logits (side, side), float32, into two zarr
    arrays under `plan.directory`, `jobs` processes at a time; no process holds more than a
    few chunks. Returns the arrays, opened for reading."""
    check_plan(plan)
    create_arrays(plan)
    patterns = range(min(plan.patterns, len(plan.chunk_origins())))
    if jobs <= 1:
        for pattern in patterns:
            write_pattern(plan, pattern)
    else:
        with concurrent.futures.ProcessPoolExecutor(jobs) as pool:
            list(pool.map(write_pattern, [plan] * len(patterns), patterns))
    return open_inputs(plan)


def open_inputs(plan: InputPlan, mode: str = "r") -> tuple[Any, Any]:
    """The plan's flow and logits arrays on disk."""
    zarr: Any = importlib.import_module("zarr")
    return zarr.open_array(str(plan.flow_path), mode=mode), zarr.open_array(str(plan.probability_path), mode=mode)
