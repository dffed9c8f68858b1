"""The whole road from a label mask back to a label mask, once with the kernels, once with
NumPy, SciPy and scikit-image, and once with the scalar transcriptions: flows from the mask,
flow following, end-point histogram, seeds, growth, extension, hole filling, renumbering.

Run by itself, it measures the installed road (`sarvo_segment`) on predicted-looking inputs:

    python benchmarks/road.py [--sides 2048 8192] [--repeat 3]

the time of every stage of `masks_from_flow`, and for `masks_from_flow` and the round trip
`segment(masks)` the whole call against the sum of the kernel calls it makes, timed one by
one in the same run: what is left is the Python and NumPy work around the kernels (the glue).
"""
import argparse
import pathlib
import sys
import tempfile
import time
import types

import numpy as np

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "python"))

import numpy_baselines as nb  # noqa: E402
import reference_flow_following as ref_flow  # noqa: E402

N_STEPS = 200
APPROX_FRAC = 0.5


def road(masks_to_flow, follow, k, masks, slices):
    """The road with the given flow kernel, follower and the other kernels of module k."""
    flow = masks_to_flow(masks, slices, APPROX_FRAC).astype(np.float32)
    disp = follow(flow, N_STEPS, True)
    pos = np.rint(disp).astype(np.int16)
    hist = k.p_histogram(pos, masks > 0)
    labels = k.bfs(hist, pos, k.find_seeds(hist))
    k.extend_seed(labels, pos)
    labels = k.fill_holes(labels)
    labels[masks == 0] = 0
    flat = labels.reshape(-1)
    k.renumbering(flat, 0)
    return labels


def ours(sf, masks, slices):
    return road(sf._masks_to_flow, sf._steps2D_all, sf, masks, slices)


def numpy_road(masks, slices):
    return road(nb.masks_to_flow, ref_flow.steps2d_all, nb, masks, slices)


def scalar_road(scalar, sf, masks, slices):
    """The road on the scalar transcriptions. find_seeds and fill_holes have none; the module's
    kernels stand in for them on this side too, so the ratio understates ours."""
    k = types.SimpleNamespace(p_histogram=scalar.p_histogram, bfs=scalar.bfs, extend_seed=scalar.extend_seed,
                              find_seeds=sf.find_seeds, fill_holes=sf.fill_holes, renumbering=scalar.renumbering)
    return road(scalar.masks_to_flow, scalar.steps2D_all, k, masks, slices)


def matched_fraction(truth, found, threshold=0.5):
    """Share of true objects that one found label covers with IoU above the threshold."""
    t, f = truth.ravel().astype(np.int64), found.ravel().astype(np.int64)
    both = (t > 0) & (f > 0)
    pairs, inter = np.unique(np.stack([t[both], f[both]]), axis=1, return_counts=True)
    area_t = np.bincount(t, minlength=t.max() + 1)
    area_f = np.bincount(f, minlength=f.max() + 1)
    iou = inter / (area_t[pairs[0]] + area_f[pairs[1]] - inter)
    good = np.unique(pairs[0][iou > threshold])
    return len(good) / max(int(t.max()), 1)


# ---------------------------------------------------------------------------------------------
# The installed road: its stages, and the glue around its kernels

GLUE_TARGET = 1.15   # a call may cost at most this much more than its kernel calls


class KernelClock:
    """While entered, every function of the kernel module is swapped for a wrapper that adds
    its wall time to `seconds`: the road looks its kernels up on the module at each call."""

    def __init__(self, module):
        self.module = module
        self.seconds = {}
        self.calls = {}

    def __enter__(self):
        self.saved = {name: getattr(self.module, name) for name in dir(self.module)
                      if not name.startswith("__") and callable(getattr(self.module, name))}
        for name, kernel in self.saved.items():
            setattr(self.module, name, self._timed(name, kernel))
        return self

    def __exit__(self, *exc):
        for name, kernel in self.saved.items():
            setattr(self.module, name, kernel)

    def _timed(self, name, kernel):
        def call(*args, **kwargs):
            t0 = time.perf_counter()
            try:
                return kernel(*args, **kwargs)
            finally:
                self.seconds[name] = self.seconds.get(name, 0.0) + time.perf_counter() - t0
                self.calls[name] = self.calls.get(name, 0) + 1
        return call

    @property
    def total(self):
        return sum(self.seconds.values())


def glue_ratio(sf, run, repeat):
    """The best of `repeat` runs by whole time: (whole seconds, kernel seconds, calls per kernel)."""
    best = None
    for _ in range(repeat):
        with KernelClock(sf) as clock:
            t0 = time.perf_counter()
            run()
            whole = time.perf_counter() - t0
        if best is None or whole < best[0]:
            best = (whole, clock.total, dict(clock.calls))
    return best


def road_inputs(side):
    """A predicted-looking flow (five times unit length), logits and the true labels, side²."""
    sys.path.insert(0, str(ROOT / "examples"))
    import large_input
    with tempfile.TemporaryDirectory() as unused:
        plan = large_input.InputPlan(pathlib.Path(unused), side, min(side, 2048), patterns=4)
        return (*large_input.predicted_field(plan), large_input.PREDICTOR_SCALE)


def measure_road(sides, repeat):
    import sarvo_functions as sf
    import sarvo_segment as seg
    stages, glue = {}, []
    for side in sides:
        flow, logits, truth, scale = road_inputs(side)
        found = seg.masks_from_flow(flow, logits, flow_scale=scale, details=True)
        stages[side] = found.seconds
        print(f"{side}^2: {len(np.unique(truth)) - 1} true cells, {found.n_cells} found", flush=True)
        del found           # its intermediates would crowd the memory the timed calls take afresh
        for name, run in (("masks_from_flow", lambda: seg.masks_from_flow(flow, logits, flow_scale=scale)),
                          ("segment(masks)", lambda: seg.segment(truth))):
            whole, kernels, calls = glue_ratio(sf, run, repeat)
            glue.append((name, side, whole, kernels, calls))
        del flow, logits, truth
    return stages, glue


def print_road(stages, glue):
    sides = list(stages)
    names = list(dict.fromkeys(name for side in sides for name in stages[side]))
    print(f"\n{'stage of masks_from_flow':<32}" + "".join(f"{f'{s}^2 (s)':>14}" for s in sides))
    for name in names:
        print(f"{name:<32}" + "".join(f"{stages[s].get(name, 0.0):14.3f}" for s in sides))
    print(f"{'total':<32}" + "".join(f"{sum(stages[s].values()):14.3f}" for s in sides))
    print(f"\n{'call':<18}{'size':>8}{'whole (s)':>11}{'kernels (s)':>13}{'glue (s)':>10}{'whole/kernels':>15}")
    for name, side, whole, kernels, calls in glue:
        mark = "" if whole <= GLUE_TARGET * kernels else f"  over {GLUE_TARGET}"
        print(f"{name:<18}{f'{side}^2':>8}{whole:11.3f}{kernels:13.3f}{whole - kernels:10.3f}"
              f"{whole / kernels:15.3f}{mark}   ({', '.join(f'{k} x{n}' for k, n in calls.items())})")


def main(argv):
    p = argparse.ArgumentParser(description="the installed road's stages and glue")
    p.add_argument("--sides", type=int, nargs="+", default=[2048, 8192])
    p.add_argument("--repeat", type=int, default=3)
    args = p.parse_args(argv)
    print_road(*measure_road(args.sides, args.repeat))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
