"""sarvo-segment FLOW PROBABILITY OUTPUT [options]: label masks from a predictor's output files.

Reads a flow field (2, Ly, Lx) and a cell-probability map (Ly, Lx) from .npy, .tif/.tiff or
.zarr files, runs `masks_from_flow` with the quality-control options given, writes the masks
(uint32, 0 = background, cells 1 … n) to OUTPUT in the format its suffix names, and prints a
report: cells found, what quality control removed and why, and the time of every stage.
With --tiles N the flow is followed in tiles on Dask (threads, or a dask.distributed
scheduler), with the same masks as the whole image.
Input it cannot use ends the command with one line on stderr and exit status 2; an existing
OUTPUT is never replaced without --overwrite.
"""
from __future__ import annotations

import argparse
import importlib.util
import pathlib
import sys
import time
from collections.abc import Sequence
from typing import Any

import numpy as np

from ._road import DEFAULT_APPROX_FRAC, DEFAULT_STEPS
from ._timing import StageLines
from .files import InputError, check_output, read_array, write_masks
from .masks import DEFAULT_FLOW_THRESHOLD, DEFAULT_MIN_SIZE, DEFAULT_THRESHOLD, FlowSegmentation, masks_from_flow
from .tiled import TiledSegmentation, segment_tiled

PROG = "sarvo-segment"
# Stage lines go to stderr by themselves from this many pixels on.
PROGRESS_PIXELS = 4_000_000
BAD_INPUT = 2


def parse_args(argv: Sequence[str]) -> argparse.Namespace:
    p = argparse.ArgumentParser(prog=PROG, description=(__doc__ or "").split("\n\n")[1])
    p.add_argument("flow", type=pathlib.Path, help="flow field (2, Ly, Lx): .npy, .tif or .zarr")
    p.add_argument("probability", type=pathlib.Path, help="cell probability (Ly, Lx): .npy, .tif or .zarr")
    p.add_argument("output", type=pathlib.Path, help="label masks to write: .npy, .tif or .zarr")
    p.add_argument("--probability-kind", choices=sorted(DEFAULT_THRESHOLD), default="logits",
                   help="how to read the probability map (default logits)")
    p.add_argument("--threshold", type=float, default=None,
                   help="foreground where the probability exceeds this (default 0 for logits, 0.5 for probabilities)")
    p.add_argument("--flow-scale", type=float, default=1.0,
                   help="length of a unit vector in the predictor's flow (default 1)")
    p.add_argument("--flow-threshold", type=float, default=DEFAULT_FLOW_THRESHOLD,
                   help=f"remove masks whose mean squared flow error exceeds this (default {DEFAULT_FLOW_THRESHOLD}; "
                        "inf keeps all)")
    p.add_argument("--min-size", type=int, default=DEFAULT_MIN_SIZE,
                   help=f"remove masks with fewer pixels (default {DEFAULT_MIN_SIZE})")
    p.add_argument("--steps", type=int, default=DEFAULT_STEPS, help=f"flow-following steps (default {DEFAULT_STEPS})")
    p.add_argument("--nearest", action="store_true", help="sample the flow at the nearest pixel, not bilinearly")
    p.add_argument("--approx-frac", type=float, default=DEFAULT_APPROX_FRAC,
                   help=f"closed-form share of the flow error's diffusion (default {DEFAULT_APPROX_FRAC})")
    p.add_argument("--tiles", type=int, default=None, metavar="N",
                   help="segment in tiles of N x N pixels on Dask, with the whole image's result (default: "
                        "the whole image at once)")
    p.add_argument("--workers", type=int, default=None, help="threads for --tiles (default: one per core)")
    p.add_argument("--scheduler-address", default=None, metavar="ADDRESS",
                   help="run the tiles on this dask.distributed scheduler (needs --tiles)")
    p.add_argument("--overwrite", action="store_true", help="replace OUTPUT if it exists")
    p.add_argument("--picture", type=pathlib.Path, help="also draw the run into this PNG (needs matplotlib)")
    p.add_argument("--progress", action="store_true",
                   help=f"report each stage on stderr as it starts (automatic from {PROGRESS_PIXELS // 1_000_000} "
                        "megapixels)")
    p.add_argument("--quiet", action="store_true", help="no progress and no report")
    return p.parse_args(argv)


def report(args: argparse.Namespace, run: FlowSegmentation, seconds: dict[str, float]) -> str:
    ly, lx = run.masks.shape
    finite = run.errors[np.isfinite(run.errors)]
    lines = [f"{PROG}: {args.flow} + {args.probability} ({ly} x {lx}) -> {args.output}",
             f"  foreground          {int(run.foreground.sum())} pixels above {run.threshold:g} ({args.probability_kind})",
             f"  cells found         {run.n_cells}",
             f"  grown               {len(run.sizes)}",
             f"  removed by QC       {len(run.removed_small)} under {args.min_size} pixels, "
             f"{len(run.removed_flow)} with a flow error above {args.flow_threshold:g}",
             f"  holes filled        {run.holes_filled} pixels"]
    if len(finite):
        lines.append(f"  flow error          median {np.median(finite):.4f}, max {finite.max():.4f}")
    lines.append("  stage                               ms")
    lines += [f"    {stage:<30} {s * 1e3:8.1f}" for stage, s in seconds.items()]
    lines.append(f"    {'total':<30} {sum(seconds.values()) * 1e3:8.1f}")
    return "\n".join(lines)


def check_tiling(args: argparse.Namespace) -> None:
    """The tiling options, refused before any work when they make no sense."""
    for name in ("tiles", "workers"):
        value = getattr(args, name)
        if value is not None and value < 1:
            raise InputError(f"--{name} must be at least 1, got {value}")
    if args.tiles is None and (args.workers is not None or args.scheduler_address is not None):
        raise InputError("--workers and --scheduler-address run tiles: pass --tiles N too")
    if args.tiles is not None and importlib.util.find_spec("dask") is None:
        raise InputError("--tiles needs dask (pip install dask)")


def connect(address: str | None) -> Any:
    """A client of the scheduler at `address`, or None for Dask's threads."""
    if address is None:
        return None
    if importlib.util.find_spec("distributed") is None:
        raise InputError("--scheduler-address needs dask.distributed (pip install distributed)")
    distributed: Any = importlib.import_module("distributed")
    try:
        return distributed.Client(address, timeout="10s")
    except (OSError, TimeoutError, ValueError) as error:
        raise InputError(f"cannot reach the scheduler at {address}: {error}".splitlines()[0]) from None


def segment(args: argparse.Namespace, flow: Any, probability: Any, stages: StageLines) -> FlowSegmentation:
    """The run, whole or in tiles; the tiled run reports the same intermediates."""
    options: dict[str, Any] = dict(probability_kind=args.probability_kind, threshold=args.threshold,
                                   flow_scale=args.flow_scale, n_steps=args.steps, interpolate=not args.nearest,
                                   flow_threshold=args.flow_threshold, min_size=args.min_size,
                                   approx_frac=args.approx_frac, details=True, progress=stages)
    try:
        if args.tiles is None:
            whole: FlowSegmentation = masks_from_flow(flow, probability, **options)
            return whole
        client = connect(args.scheduler_address)
        try:
            tiled: TiledSegmentation = segment_tiled(flow, probability, args.tiles, client=client,
                                                     workers=args.workers, **options)
        finally:
            if client is not None:
                client.close()
        tiled.run.seconds.update(tiled.seconds)
        return tiled.run
    except (TypeError, ValueError) as error:
        raise InputError(str(error)) from None


def run(args: argparse.Namespace) -> int:
    check_tiling(args)
    output = check_output(args.output, args.overwrite)
    if args.picture is not None and importlib.util.find_spec("matplotlib") is None:
        raise InputError(f"{args.picture}: the picture needs matplotlib (pip install matplotlib)")
    stages = StageLines(args.progress and not args.quiet)
    seconds: dict[str, float] = {}
    t0 = time.perf_counter()
    stages(f"reading {args.flow} and {args.probability}")
    lazy = args.tiles is not None           # tiles read their own windows of a zarr input
    flow = read_array(args.flow, "flow", lazy)
    probability = read_array(args.probability, "probability", lazy)
    seconds["read"] = time.perf_counter() - t0
    stages.enabled |= not args.quiet and int(np.prod(probability.shape)) >= PROGRESS_PIXELS
    result = segment(args, flow, probability, stages)
    if not result.foreground.any():
        raise InputError(f"{args.probability}: no pixel lies above the threshold {result.threshold:g} "
                         f"({args.probability_kind}): the probability map is empty; check --probability-kind")
    seconds.update(result.seconds)
    t0 = time.perf_counter()
    stages(f"writing {output}")
    write_masks(output, result.masks)
    seconds["write"] = time.perf_counter() - t0
    if args.picture is not None:
        from .picture import write_run_picture

        stages(f"drawing {args.picture}")
        write_run_picture(args.picture, np.asarray(probability), result, f"{args.flow.name}: {result.n_cells} cells")
    if not args.quiet:
        print(report(args, result, seconds))
    return 0


def main(argv: Sequence[str] | None = None) -> int:
    """The console script: exit status 0, or 2 with one line on stderr for unusable input."""
    args = parse_args(sys.argv[1:] if argv is None else argv)
    try:
        return run(args)
    except InputError as error:
        print(f"{PROG}: error: {error}", file=sys.stderr)
        return BAD_INPUT


if __name__ == "__main__":
    sys.exit(main())
