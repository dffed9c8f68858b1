"""Processor time of `segment_tiled` against `masks_from_flow` of the whole image, side by side
in one process, on a predicted-looking input: the ratio, and the share of the tiled run spent
following the flow in its windows (two runs per window, each over core, margin and ring).

    python benchmarks/tiled_flow.py [SIZE] [TILE …]
"""
import pathlib
import sys
import time

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "examples"))

import segmentation_road as road  # noqa: E402
from sarvo_segment import masks_from_flow, segment_tiled  # noqa: E402

SCALE = 5.0
REPEATS = 3


def processor_seconds(run):
    t0 = time.process_time()
    result = run()
    return time.process_time() - t0, result


def main(argv):
    size = int(argv[0]) if argv else 2048
    tiles = [int(t) for t in argv[1:]] or [512, 1024]
    masks = road.synthetic_mask((size, size), seed=3)
    flow, logits = road.predicted_looking(masks, noise=0.5, seed=1, scale=SCALE)
    options = dict(flow_scale=SCALE, flow_threshold=1.0)
    best = {"whole": np.inf, **{t: np.inf for t in tiles}}
    following = {}
    for _ in range(REPEATS):           # interleaved, so that load from elsewhere hits both alike
        seconds, whole = processor_seconds(lambda: masks_from_flow(flow, logits, **options))
        best["whole"] = min(best["whole"], seconds)
        for t in tiles:
            seconds, tiled = processor_seconds(
                lambda: segment_tiled(flow, logits, t, workers=1, details=True, **options))
            if not np.array_equal(tiled.masks, whole):
                raise SystemExit(f"tiles of {t}: the masks differ from the whole image's")
            if seconds < best[t]:
                best[t] = seconds
                following[t] = (tiled.seconds["follow the flow in tiles"], tiled.widened_tiles, len(tiled.margins))
    print(f"{size}² predicted-looking input, {int(whole.max())} cells; processor seconds, best of {REPEATS}")
    print(f"  whole image          {best['whole']:7.3f}")
    for t in tiles:
        wall, widened, n = following[t]
        print(f"  tiles of {t:<5}       {best[t]:7.3f}   {best[t] / best['whole']:.2f}x   "
              f"(following in windows {wall:.3f} s wall, {widened} of {n} tiles widened)")


if __name__ == "__main__":
    main(sys.argv[1:])
