"""Processor time of `segment_tiled` against `masks_from_flow` of the whole image, side by side
in one process, on a predicted-looking input: the ratio, the time the tiled run spent following
the flow in its windows (two runs per window, each over core, margin and ring), and one wall
time of each on two threads. Each tile size runs twice: the road after flow following on
whole-image arrays in this process, and a tile at a time through scratch files. Last, the peak
resident memory of one run of each, every run in a fresh process.

    python benchmarks/tiled_flow.py [SIZE] [TILE …]
"""
import pathlib
import subprocess
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "examples"))

import segmentation_road as road  # noqa: E402
from sarvo_segment import masks_from_flow, segment_tiled  # noqa: E402

SCALE = 5.0
REPEATS = 5
# chunked_from for the two ways of running the road after flow following.
MODES = {"in process": 2 ** 62, "in tiles": 0}


def processor_seconds(run):
    t0 = time.process_time()
    result = run()
    return time.process_time() - t0, result


def one_run(folder, tile, mode):
    """One run in this (fresh) process on the inputs saved in `folder`; prints its peak resident
    memory above the inputs', and the inputs', in kB."""
    flow, logits = np.load(f"{folder}/flow.npy"), np.load(f"{folder}/logits.npy")
    pathlib.Path("/proc/self/clear_refs").write_text("5")     # the peak so far (imports) is forgotten
    base = resident_kb("VmRSS")
    if tile == 0:
        masks_from_flow(flow, logits, flow_scale=SCALE, flow_threshold=1.0)
    else:
        segment_tiled(flow, logits, tile, workers=2, chunked_from=MODES[mode], flow_scale=SCALE, flow_threshold=1.0)
    print(resident_kb("VmHWM") - base, base)


def resident_kb(field):
    line = next(l for l in pathlib.Path("/proc/self/status").read_text().splitlines() if l.startswith(field))
    return int(line.split()[1])


def peak_megabytes(folder, tile, mode):
    said = subprocess.run([sys.executable, __file__, "--one", folder, str(tile), mode], check=True,
                          capture_output=True, text=True).stdout.split()
    return int(said[0]) / 1024, int(said[1]) / 1024


def main(argv):
    if argv and argv[0] == "--one":
        return one_run(argv[1], int(argv[2]), argv[3])
    size = int(argv[0]) if argv else 2048
    tiles = [int(t) for t in argv[1:]] or [512, 1024]
    runs = [(t, mode) for t in tiles for mode in MODES]
    masks = road.synthetic_mask((size, size), seed=3)
    flow, logits = road.predicted_looking(masks, noise=0.5, seed=1, scale=SCALE)
    options = dict(flow_scale=SCALE, flow_threshold=1.0)
    best = {"whole": np.inf, **{r: np.inf for r in runs}}
    following = {}
    for _ in range(REPEATS):           # interleaved, so that load from elsewhere hits both alike
        seconds, whole = processor_seconds(lambda: masks_from_flow(flow, logits, **options))
        best["whole"] = min(best["whole"], seconds)
        for t, mode in runs:
            seconds, tiled = processor_seconds(lambda: segment_tiled(
                flow, logits, t, workers=1, details=True, chunked_from=MODES[mode], **options))
            if not np.array_equal(tiled.masks, whole):
                raise SystemExit(f"tiles of {t} ({mode}): the masks differ from the whole image's")
            if seconds < best[t, mode]:
                best[t, mode] = seconds
                following[t, mode] = (tiled.seconds["follow the flow in tiles"], tiled.widened_tiles,
                                      len(tiled.margins))
    t0 = time.perf_counter()
    masks_from_flow(flow, logits, **options)
    whole_wall = time.perf_counter() - t0
    walls = {}
    for t, mode in runs:
        t0 = time.perf_counter()
        segment_tiled(flow, logits, t, workers=2, chunked_from=MODES[mode], **options)
        walls[t, mode] = time.perf_counter() - t0
    with tempfile.TemporaryDirectory() as folder:
        np.save(f"{folder}/flow.npy", flow)
        np.save(f"{folder}/logits.npy", logits)
        peaks = {r: peak_megabytes(folder, *r) for r in [(0, "whole"), *runs]}
    print(f"{size}² predicted-looking input, {int(whole.max())} cells; processor seconds, best of {REPEATS}; "
          f"peak memory of one run above its inputs ({peaks[0, 'whole'][1]:.0f} MB with them)")
    print(f"  whole image                    {best['whole']:7.3f}           peak {peaks[0, 'whole'][0]:6.0f} MB"
          f"   (wall {whole_wall:.3f} s)")
    for t, mode in runs:
        wall, widened, n = following[t, mode]
        print(f"  tiles of {t:<5} {mode:<10}     {best[t, mode]:7.3f}   {best[t, mode] / best['whole']:.2f}x   "
              f"peak {peaks[t, mode][0]:6.0f} MB   (following in windows {wall:.3f} s wall, {widened} of {n} "
              f"tiles widened; wall on 2 threads {walls[t, mode]:.3f} s)")


if __name__ == "__main__":
    main(sys.argv[1:])
