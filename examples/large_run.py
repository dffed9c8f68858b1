"""Masks for an image larger than memory: a predicted-looking flow and probability pair in zarr
on disk, segmented by `sarvo_segment.segment_tiled` on a `distributed` cluster of worker
processes with capped memory, into a zarr output.

    python examples/large_run.py [--size 32768] [--tile 4096] [--workers 2] [--memory-limit 2GiB]
                                 [--crop 8192] [--dir /tmp/large/run] [--reuse] [--keep]

It writes the inputs chunk by chunk (`large_input`), starts a local cluster of `--workers`
single-threaded processes capped at `--memory-limit` each, runs the tiles with a progress bar
and reports the wall time, the throughput and the peak resident memory of every worker and of
this process. Then it checks the output on a `--crop` square in the middle: every cell there
that touches no side of the square and lies in one piece equals, pixel for pixel, a cell of
`masks_from_flow` run on that square alone, and the other way round. (A label in several
pieces, pixels whose flow ends in a cell they do not touch, is counted apart: it can reach
past the square's side through pixels the square alone does not have.) The data go under
`--dir` and are deleted at the end unless `--keep`; `--reuse` takes inputs left there by an earlier run of the same size.
Needs zarr, dask and distributed; tqdm for the bar (without it, a line per tile).
"""
from __future__ import annotations

import argparse
import dataclasses
import importlib
import pathlib
import shutil
import sys
import time
from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import NDArray

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

import large_input  # noqa: E402
import segmentation_road as road  # noqa: E402
from dask_batch import local_cluster, reset_peak_memory, resident_bytes  # noqa: E402

import sarvo_segment  # noqa: E402

GIB = 2.0 ** 30


def parse_args(argv: list[str]) -> argparse.Namespace:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0] if __doc__ else None)
    p.add_argument("--size", type=int, default=32768, help="side of the image (default 32768)")
    p.add_argument("--chunk", type=int, default=2048, help="side of the input chunks (default 2048)")
    p.add_argument("--tile", type=int, default=4096, help="side of the tiles (default 4096)")
    p.add_argument("--workers", type=int, default=2, help="worker processes, one thread each (default 2)")
    p.add_argument("--memory-limit", default="2GiB", help="memory cap of each worker (default 2GiB)")
    p.add_argument("--crop", type=int, default=8192, help="side of the square checked (default 8192)")
    p.add_argument("--dir", type=pathlib.Path, default=pathlib.Path("/tmp/large/run"), help="where the data go")
    p.add_argument("--reuse", action="store_true", help="take the inputs already in --dir")
    p.add_argument("--keep", action="store_true", help="keep the data afterwards")
    return p.parse_args(argv)


class TileBar:
    """A progress callback for `segment_tiled`: a bar over its tiles (tqdm when installed,
    else a line per tile on stderr), with the stage names as its description."""

    def __init__(self, tiles: int) -> None:
        self.bar: Any = None
        try:
            tqdm: Any = importlib.import_module("tqdm")
            self.bar = tqdm.tqdm(total=tiles, unit="tile", file=sys.stderr, dynamic_ncols=True)
        except ImportError:
            pass
        self.tiles = tiles

    def __call__(self, message: str) -> None:
        is_tile = message.startswith("tile ")
        if self.bar is None:
            print(message, file=sys.stderr, flush=True)
        elif is_tile:
            self.bar.update(1)
        else:
            self.bar.set_description(message)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


@dataclass
class CropCheck:
    """How the tiled output compares with the crop's own run, over cells touching no side."""
    cells: int          # such cells in the crop's own run
    equal: int          # of them, equal pixel for pixel to a cell of the tiled output
    tiled_cells: int    # such cells in the tiled output
    tiled_equal: int    # of them, equal to a cell of the crop's own run
    scattered: int      # labels in several pieces, in the crop's own run, left out
    tiled_scattered: int  # the same in the tiled output, and in the crop in one piece but
                          # with pixels outside it
    unmatched: NDArray[np.int64]  # labels of the tiled output counted but not equal

    @property
    def exact(self) -> bool:
        return self.equal == self.cells and self.tiled_equal == self.tiled_cells


def touching_sides(masks: NDArray[np.uint32]) -> NDArray[np.bool_]:
    """Per label 0 … max, whether it has a pixel on a side of the image."""
    touching = np.zeros(int(masks.max(initial=0)) + 1, bool)
    for side in (masks[0], masks[-1], masks[:, 0], masks[:, -1]):
        touching[side] = True
    return touching


def in_one_piece(masks: NDArray[np.uint32]) -> NDArray[np.bool_]:
    """Per label 0 … max, whether its pixels form one 8-connected piece (absent labels: no)."""
    ndimage: Any = importlib.import_module("scipy.ndimage")
    one = np.zeros(int(masks.max(initial=0)) + 1, bool)
    for k, box in enumerate(ndimage.find_objects(masks), start=1):
        if box is not None:
            one[k] = ndimage.label(masks[box] == k, structure=np.ones((3, 3)))[1] == 1
    return one


def interior_agreement(own: NDArray[np.uint32], tiled: NDArray[np.uint32]) -> CropCheck:
    """Cells in one piece that touch no side, matched up to numbering: a cell counts as equal
    when a cell of the other mask has exactly its pixels (IoU 1)."""
    pairs_own, pairs_tiled, iou = road.overlaps(own, tiled)
    counts: list[int] = []
    scattered: list[int] = []
    unmatched = np.zeros(0, np.int64)
    for masks, paired in ((own, pairs_own), (tiled, pairs_tiled)):
        present = np.zeros(int(masks.max(initial=0)) + 1, bool)
        present[masks.ravel()] = True
        present[0] = False
        one = in_one_piece(masks)
        interior = present & one & ~touching_sides(masks)
        same = np.zeros_like(interior)
        same[paired[iou == 1.0]] = True
        counts += [int(interior.sum()), int((interior & same).sum())]
        scattered.append(int((present & ~one).sum()))
        unmatched = np.flatnonzero(interior & ~same)
    return CropCheck(cells=counts[0], equal=counts[1], tiled_cells=counts[2], tiled_equal=counts[3],
                     scattered=scattered[0], tiled_scattered=scattered[1], unmatched=unmatched)


def crop_origin(size: int, crop: int, chunk: int) -> int:
    """The crop's first row and column: the middle, on the chunk grid."""
    return max(0, (size - crop) // 2) // chunk * chunk


def check_crop(flow: Any, probability: Any, masks: Any, crop: int, origin: int, band: int = 1024) -> CropCheck:
    """`interior_agreement` of the crop's own `masks_from_flow` and the tiled output there.
    A tiled label unmatched there that also has pixels outside the crop is scattered, not a
    cell in one piece: the output is read `band` rows at a time to find those."""
    window = (slice(origin, origin + crop), slice(origin, origin + crop))
    own = sarvo_segment.masks_from_flow(flow[(slice(None), *window)], probability[window],
                                        flow_scale=large_input.PREDICTOR_SCALE)
    tiled = np.asarray(masks[window])
    check = interior_agreement(own, tiled)
    outside = np.zeros(len(check.unmatched), bool)
    for y in range(0, masks.shape[0], band):
        rows = np.array(masks[y:y + band])      # a copy: the crop is cleared in it
        inside = slice(max(origin - y, 0), max(min(origin + crop - y, rows.shape[0]), 0))
        if inside.start < inside.stop:
            rows[inside, window[1]] = 0
        outside |= np.isin(check.unmatched, rows)
    moved = int(outside.sum())
    return dataclasses.replace(check, tiled_cells=check.tiled_cells - moved,
                               tiled_scattered=check.tiled_scattered + moved, unmatched=check.unmatched[~outside])


@dataclass
class RunReport:
    pixels: int
    write_seconds: float | None
    seconds: float
    worker_peaks: dict[str, int]
    driver_peak: int
    check: CropCheck

    def lines(self) -> list[str]:
        side = int(round(self.pixels ** 0.5))
        rows = [f"image {side} x {side} ({self.pixels / 1e6:.0f} Mpx)"]
        if self.write_seconds is not None:
            rows.append(f"  inputs written in      {self.write_seconds:8.1f} s")
        rows += [f"  segment_tiled wall     {self.seconds:8.1f} s, {self.pixels / 1e6 / self.seconds:.2f} Mpx/s",
                 f"  peak resident, driver  {self.driver_peak / GIB:8.2f} GiB (before the crop check)"]
        rows += [f"  peak resident, worker  {peak / GIB:8.2f} GiB  {name}" for name, peak in self.worker_peaks.items()]
        c = self.check
        rows.append(f"  crop check: {c.equal} of {c.cells} inner cells of the crop's own run equal, "
                    f"{c.tiled_equal} of {c.tiled_cells} of the tiled output: "
                    + ("exact" if c.exact else "DIFFERENT")
                    + f" ({c.scattered} and {c.tiled_scattered} labels in several pieces left out)")
        return rows


def run(args: argparse.Namespace) -> RunReport:
    plan = large_input.InputPlan(args.dir, args.size, args.chunk)
    write_seconds = None
    if args.reuse and plan.flow_path.exists():
        flow, probability = large_input.open_inputs(plan)
    else:
        t0 = time.perf_counter()
        flow, probability = large_input.write_inputs(plan, jobs=args.workers)
        write_seconds = time.perf_counter() - t0
    if flow.shape != (2, args.size, args.size):
        raise SystemExit(f"{plan.flow_path} holds a flow of shape {flow.shape}, not of side {args.size}")
    # Output chunks that are no tile's: the writes must not lose pixels where tiles share a chunk.
    out = large_input.plain_zarr(args.dir / "masks.zarr", (args.size, args.size), (1000, 1000), np.uint32)

    client = local_cluster(args.workers, args.memory_limit)
    try:
        client.run(reset_peak_memory)
        reset_peak_memory()
        tiles = -(-args.size // args.tile) ** 2
        bar = TileBar(tiles)
        t0 = time.perf_counter()
        sarvo_segment.segment_tiled(flow, probability, args.tile, out=out, client=client, progress=bar,
                                    flow_scale=large_input.PREDICTOR_SCALE)
        seconds = time.perf_counter() - t0
        bar.close()
        worker_peaks = client.run(resident_bytes, "VmHWM")
        driver_peak = resident_bytes("VmHWM")
    finally:
        client.close()
        client.cluster.close()
    crop = min(args.crop, args.size)
    check = check_crop(flow, probability, out, crop, crop_origin(args.size, crop, args.chunk))
    return RunReport(args.size * args.size, write_seconds, seconds, worker_peaks, driver_peak, check)


def main(argv: list[str]) -> int:
    args = parse_args(argv)
    try:
        report = run(args)
    finally:
        if not args.keep:
            shutil.rmtree(args.dir, ignore_errors=True)
    print("\n".join(report.lines()))
    return 0 if report.check.exact else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
