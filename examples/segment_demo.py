"""Label masks from a predicted-looking flow and probability map, scored against the truth.

    python examples/segment_demo.py [MASK] [--size 512] [--seed 0] [--noise 0.2] [--out segment_demo.png]

Without MASK it makes a synthetic label mask of a few hundred touching, irregular cells; with
MASK (.npy, or .tif/.png when tifffile/Pillow are installed) it uses that label mask. From the
mask it makes what a trained predictor would give: a flow field five times unit length with
blurred cell borders and noise (--noise, in unit-flow lengths), and cell-probability logits
with soft edges and speckle. `sarvo_segment.masks_from_flow` turns those into masks, and the
demo prints how many cells it found, what its quality control removed and why, how well the
cells match the truth (IoU) and the time of every stage. --round-trip runs the exact road from
the mask's own flow instead. The picture (mask, flow, end-point counts, masks) needs
matplotlib; without it the demo says so and goes on.
"""
from __future__ import annotations

import argparse
import pathlib
import sys

import numpy as np
from numpy.typing import NDArray

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

import segmentation_road as road  # noqa: E402

# Progress lines go to stderr by themselves from this many pixels on.
PROGRESS_PIXELS = 4_000_000
# Stage lines on stderr, as the other examples show them too.
Progress = road.StageLines
# The predicted-looking flow is this many times unit length, as many predictors give it.
PREDICTOR_SCALE = 5.0


def parse_args(argv: list[str]) -> argparse.Namespace:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0] if __doc__ else None)
    p.add_argument("mask", nargs="?", type=pathlib.Path, help="label mask file (.npy, .tif, .png)")
    p.add_argument("--size", type=int, default=512, help="side of the synthetic image (default 512)")
    p.add_argument("--seed", type=int, default=0, help="seed of the synthetic image and the noise")
    p.add_argument("--steps", type=int, default=road.DEFAULT_STEPS, help="flow-following steps")
    p.add_argument("--approx-frac", type=float, default=road.DEFAULT_APPROX_FRAC,
                   help="share of the diffusion iterations taken by the closed form")
    p.add_argument("--noise", type=float, default=0.2, help="flow noise, in unit-flow lengths (default 0.2)")
    p.add_argument("--round-trip", action="store_true", help="follow the mask's own flow back, exactly")
    p.add_argument("--out", type=pathlib.Path, default=pathlib.Path("segment_demo.png"), help="picture path")
    p.add_argument("--no-picture", action="store_true", help="skip the picture")
    p.add_argument("--progress", action="store_true", help="report each stage on stderr as it starts")
    return p.parse_args(argv)


def report(source: str, how: str, truth: NDArray[np.uint32], found: road.FlowSegmentation | None,
           matching: road.Matching, seconds: dict[str, float]) -> str:
    ly, lx = truth.shape
    lines = [f"sarvo_segment: {source}, {ly} x {lx} pixels, {how}",
             f"  objects in          {matching.n_true}",
             f"  objects out         {matching.n_found}",
             f"  matched (IoU > 0.5) {matching.n_matched} of {matching.n_true}, mean IoU {matching.mean_iou:.3f}"]
    if found is not None:
        scored = found.errors[np.isfinite(found.errors)]
        lines.append(f"  grown               {len(found.sizes)}, of which quality control removed "
                     f"{len(found.removed_small)} under the minimum size and {len(found.removed_flow)} "
                     f"for their flow error; {found.holes_filled} hole pixels filled")
        if len(scored):
            lines.append(f"  flow error          median {np.median(scored):.4f}, max {scored.max():.4f} "
                         f"({len(scored)} masks scored)")
    lines.append("  stage                               ms")
    for stage, s in seconds.items():
        lines.append(f"    {stage:<30} {s * 1e3:8.1f}")
    lines.append(f"    {'total':<30} {sum(seconds.values()) * 1e3:8.1f}")
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

    found: road.FlowSegmentation | None = None
    if args.round_trip:
        result = road.segment(truth, args.steps, args.approx_frac, progress)
        how = "the round trip from its own flow"
    else:
        progress("making a predicted-looking flow and probability map")
        flow, logits = road.predicted_looking(truth, args.noise, args.seed, PREDICTOR_SCALE)
        found = road.masks_from_flow(flow, logits, flow_scale=PREDICTOR_SCALE, n_steps=args.steps,
                                     approx_frac=args.approx_frac, details=True, progress=progress)
        result = road.RoadResult(flow=found.flow, disp=found.displacements, hist=found.histogram,
                                 seeds=found.seeds, masks=found.masks, seconds=found.seconds)
        how = f"predicted-looking (flow noise {args.noise})"
    progress("matching")
    matching = road.match(truth, result.masks)
    print(report(source, how, truth, found, matching, result.seconds))

    if not args.no_picture:
        try:
            import matplotlib  # noqa: F401
        except ImportError:
            print("picture skipped: matplotlib is not installed (pip install matplotlib)")
            return 0
        import road_picture

        progress(f"writing {args.out}")
        title = (f"{source}, {how}: {matching.n_matched} of {matching.n_true} cells found "
                 f"(IoU > 0.5), mean IoU {matching.mean_iou:.3f}")
        path = road_picture.write_picture(args.out, truth, result, matching, title)
        print(f"picture: {path}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
