"""Follows the flows of a synthetic image: every pixel of a few round cells walks along a flow
field that points at its cell's centre, and the end points are counted per cell.

    python examples/segment_demo.py [side]

The demo grows into the whole segmentation road as the kernels land.
"""
import sys
import time

import numpy as np

import sarvo_functions as sf


def synthetic_cells(side, n_cells, seed=0):
    """A label mask of round cells and a flow field that points at each cell's centre."""
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[:side, :side].astype(np.float32)
    labels = np.zeros((side, side), np.uint32)
    flow = np.zeros((2, side, side), np.float32)
    for label in range(1, n_cells + 1):
        cy, cx = rng.uniform(8, side - 8, size=2)
        r = rng.uniform(4, 9)
        inside = (y - cy) ** 2 + (x - cx) ** 2 < r * r
        inside &= labels == 0
        labels[inside] = label
        dy, dx = cy - y[inside], cx - x[inside]
        norm = np.sqrt(dy * dy + dx * dx) + 1e-3
        flow[0][inside], flow[1][inside] = dy / norm, dx / norm
    return labels, flow


def main(argv):
    side = int(argv[1]) if len(argv) > 1 else 256
    labels, flow = synthetic_cells(side, n_cells=side // 8)
    t0 = time.perf_counter()
    disp = sf._steps2D_all(flow.copy(), 200, True)
    elapsed = time.perf_counter() - t0
    ys, xs = np.nonzero(labels)
    ends_y = np.rint(ys + disp[0, ys, xs]).astype(int)
    ends_x = np.rint(xs + disp[1, ys, xs]).astype(int)
    cells = np.unique(labels[labels > 0])
    spread = [np.ptp(ends_y[labels[ys, xs] == c]) + np.ptp(ends_x[labels[ys, xs] == c]) for c in cells]
    print(f"image {side}x{side}, {len(cells)} cells, {len(ys)} moving pixels")
    print(f"_steps2D_all, 200 steps: {elapsed * 1e3:.1f} ms")
    print(f"end points per cell span {np.median(spread):.0f} pixels (median), {max(spread)} at most")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
