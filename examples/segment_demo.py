"""The segmentation road of sarvo_functions end to end, with a report and a picture.

    python examples/segment_demo.py [MASK] [--size 512] [--seed 0] [--noise 0.0] [--out segment_demo.png]

Without MASK it makes a synthetic label mask of a few hundred touching, irregular cells; with
MASK (.npy, or .tif/.png when tifffile/Pillow are installed) it uses that label mask. Either
way it computes the flow field of the mask, follows it, rebuilds the masks from where the
pixels end, and prints how many objects came back, how well they match (IoU), the time of
every stage and the flow error of the rebuilt masks. --noise adds smooth noise to the flow
before it is followed, as a stand-in for a predicted flow. The picture (mask, flow, end-point
counts, rebuilt masks) needs matplotlib; without it the demo says so and goes on.
"""
from __future__ import annotations

import argparse
import pathlib
import sys
import time

import numpy as np
from numpy.typing import NDArray

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

import segmentation_road as road  # noqa: E402

# Progress lines go to stderr by themselves from this many pixels on.
PROGRESS_PIXELS = 4_000_000
# A flow error (mean squared, per object) above this marks an object whose flow disagrees.
ERROR_LIMIT = 0.4


def parse_args(argv: list[str]) -> argparse.Namespace:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0] if __doc__ else None)
    p.add_argument("mask", nargs="?", type=pathlib.Path, help="label mask file (.npy, .tif, .png)")
    p.add_argument("--size", type=int, default=512, help="side of the synthetic image (default 512)")
    p.add_argument("--seed", type=int, default=0, help="seed of the synthetic image and the noise")
    p.add_argument("--steps", type=int, default=road.DEFAULT_STEPS, help="flow-following steps")
    p.add_argument("--approx-frac", type=float, default=road.DEFAULT_APPROX_FRAC,
                   help="share of the diffusion iterations taken by the closed form")
    p.add_argument("--noise", type=float, default=0.0, help="amplitude of smooth noise added to the flow")
    p.add_argument("--out", type=pathlib.Path, default=pathlib.Path("segment_demo.png"), help="picture path")
    p.add_argument("--no-picture", action="store_true", help="skip the picture")
    p.add_argument("--progress", action="store_true", help="report each stage on stderr as it starts")
    return p.parse_args(argv)


class Progress:
    """Stage names with the elapsed time, on stderr, so that stdout stays the report."""

    def __init__(self, enabled: bool) -> None:
        self.enabled = enabled
        self.t0 = time.perf_counter()

    def __call__(self, stage: str) -> None:
        if self.enabled:
            print(f"[{time.perf_counter() - self.t0:7.2f} s] {stage}", file=sys.stderr, flush=True)


def noisy(flow: NDArray[np.float32], foreground: NDArray[np.bool_], amplitude: float,
          seed: int) -> NDArray[np.float32]:
    """The flow plus smooth noise inside the foreground: errors a flow predictor might make."""
    rng = np.random.default_rng(seed + 1)
    shape = (flow.shape[1], flow.shape[2])
    noise = np.stack([2.0 * road.smooth_field(shape, 3.0, rng) - 1.0 for _ in range(2)])
    return np.where(foreground, flow + amplitude * noise, flow).astype(np.float32)


def report(source: str, truth: NDArray[np.uint32], result: road.RoadResult, matching: road.Matching,
           errors: NDArray[np.float64], sizes: NDArray[np.uint32], min_size: int) -> str:
    ly, lx = truth.shape
    lines = [f"sarvo_functions segmentation road: {source}, {ly} x {lx} pixels",
             f"  objects in          {matching.n_true}",
             f"  objects out         {matching.n_found}",
             f"  matched (IoU > 0.5) {matching.n_matched} of {matching.n_true}, mean IoU {matching.mean_iou:.3f}"]
    scored = errors[np.isfinite(errors)]
    if len(scored):
        lines.append(f"  flow error          median {np.median(scored):.4f}, max {scored.max():.4f}, "
                     f"{int((scored > ERROR_LIMIT).sum())} objects above {ERROR_LIMIT} "
                     f"({len(scored)} scored, {int((sizes < min_size).sum())} under {min_size} px)")
    else:
        lines.append("  flow error          no object large enough to score")
    lines.append("  stage                               ms")
    for stage, seconds in result.seconds.items():
        lines.append(f"    {stage:<30} {seconds * 1e3:8.1f}")
    lines.append(f"    {'total':<30} {sum(result.seconds.values()) * 1e3:8.1f}")
    return "\n".join(lines)


def main(argv: list[str]) -> int:
    args = parse_args(argv)
    # A large synthetic image takes a while to make: report from its first stage on.
    progress = Progress(args.progress or (args.mask is None and args.size * args.size >= PROGRESS_PIXELS))
    if args.mask is not None:
        progress(f"reading {args.mask}")
        truth = road.load_mask(args.mask)
        source = str(args.mask)
    else:
        progress("making a synthetic label mask")
        truth = road.synthetic_mask((args.size, args.size), seed=args.seed)
        source = f"synthetic cells (seed {args.seed})"
    progress.enabled |= truth.size >= PROGRESS_PIXELS

    watch = road.Stopwatch(progress)
    flow = road.flows_of(truth, args.approx_frac, watch)
    foreground = truth > 0
    if args.noise > 0:
        flow = noisy(flow, foreground, args.noise, args.seed)
        source += f", flow noise {args.noise}"
    result = road.masks_from_flow(flow, foreground, args.steps, watch)

    min_size = 15
    watch.stage("compute_flow_error_cell_size")
    errors, sizes = road.flow_errors(result.masks, flow, min_size, args.approx_frac)
    watch.stop()
    progress("matching")
    matching = road.match(truth, result.masks)
    print(report(source, truth, result, matching, errors, sizes, min_size))

    if not args.no_picture:
        try:
            import matplotlib  # noqa: F401
        except ImportError:
            print("picture skipped: matplotlib is not installed (pip install matplotlib)")
            return 0
        import road_picture

        progress(f"writing {args.out}")
        title = (f"{source}: {matching.n_matched} of {matching.n_true} objects rebuilt "
                 f"(IoU > 0.5), mean IoU {matching.mean_iou:.3f}")
        path = road_picture.write_picture(args.out, truth, result, matching, title)
        print(f"picture: {path}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
