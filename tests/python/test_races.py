"""A thread racing a kernel on its arrays changes results at most. Kernels run without the
interpreter lock, so a second thread flips elements of an address-deciding argument (seeds,
coordinates, labels, boxes, displacements) between their value and one far outside, or runs a
second kernel writing the same array, while the main thread calls the kernel again and again:
every call returns or raises its documented refusal, and the interpreter lives. Each case runs
in a child, so that a crash fails it alone; SARVO_RACE_SECONDS is its budget (default 0.3 s)."""
import os

import pytest

from conftest import run_python

SECONDS = float(os.environ.get("SARVO_RACE_SECONDS", "0.3"))
OUTSIDE = "coordinates lie outside the image"
TARGET = {ValueError: "a displacement points outside the image"}
BOX = {ValueError: "a box's region is larger than its extents y1 - y0, x1 - x0"}
STEPS = "ys, xs = np.nonzero(rng.random((128, 128)) < 0.5); ys, xs = ys.astype(np.int64), xs.astype(np.int64)\n" \
        "flow, disp = rng.normal(0, 1, (2, 128, 128)).astype(np.float32), np.zeros((2, 128, 128), np.float32)\n"
POS = "yy, xx = np.mgrid[:1024, :1024]\n" \
      "pos = np.stack([rng.integers(0, 1024, yy.shape) - yy, rng.integers(0, 1024, yy.shape) - xx]).astype(np.int16)\n"
BOXES = "masks, boxes = np.zeros((256, 256), np.uint32), np.zeros((64, 2, 2), np.int32)\n" \
        "for k in range(64):\n" \
        "    y0, x0, h, w = 32 * (k // 8), 32 * (k % 8), *rng.integers(2, 32, 2)\n" \
        "    masks[y0:y0 + h, x0:x0 + w], boxes[k] = k + 1, [[y0, y0 + h], [x0, x0 + w]]\n"
LABELS = "masks = np.where(rng.random((1024, 1024)) < 0.5, rng.integers(1, 300, (1024, 1024)), 0).astype(np.uint32)\n"

# name: (setup, the call, the array flipped, a value far outside, the refusals {type: text}).
CASES = {
    "bfs seeds": ("hist = np.where(rng.random((1024, 1024)) < 0.3, 30, 0).astype(np.uint8)\n"
                  "seeds = np.ascontiguousarray(np.argwhere(hist > 10)[::5], np.uint32)",
                  "sf.bfs(hist, np.zeros((2, 1024, 1024), np.int16), seeds)", "seeds", "2**31",
                  {ValueError: "seed " + OUTSIDE}),
    "extend_seed pos": (POS + "masks = rng.integers(0, 50, (1024, 1024)).astype(np.uint32)",
                        "sf.extend_seed(masks, pos)", "pos", "-32768", TARGET),
    "p_histogram pos": (POS, "sf.p_histogram(pos, np.ones((1024, 1024), bool))", "pos", "32767", TARGET),
    "_steps2D rows": (STEPS, "sf._steps2D(flow, (ys, xs), disp, 300, 0.99, True)", "ys", "2**40",
                      {ValueError: OUTSIDE}),
    "_steps2D cols": (STEPS, "sf._steps2D(flow, (ys, xs), disp, 300, 0.99, False)", "xs", "-2**40",
                      {ValueError: OUTSIDE}),
    # The walk carries each displacement in disp from one block of 256 steps to the next.
    "_steps2D disp": (STEPS, "sf._steps2D(flow, (ys, xs), disp, 600, 0.999, True)", "disp", "3e5", {}),
    "renum_masks masks": (LABELS, "sf.renum_masks(masks, np.arange(299) % 3 == 0)", "masks", "2**32 - 1",
                          {ValueError: "a mask label is larger than the length of remove"}),
    "renumbering labels": (LABELS, "sf.renumbering(masks.reshape(-1), 0)", "masks", "2**32 - 1", {}),
    "compute_cell_size slices": (BOXES, "sf.compute_cell_size(masks, boxes)", "boxes", "-1", {}),
    "compute_flow_error_cell_size slices": (
        BOXES + "flow = rng.normal(0, 1, (2, 256, 256)).astype(np.float32)",
        "sf.compute_flow_error_cell_size(masks, flow, boxes, 1, 0.5)", "boxes", "-1", BOX),
    "_masks_to_flow slices": (BOXES, "sf._masks_to_flow(masks, boxes, 0.5)", "boxes", "-1",
                              {**BOX, ZeroDivisionError: "division by zero"}),
    "_extend_centers ys": ("ys, xs = rng.integers(0, 64, (2, 4000)).astype(np.int32)",
                           "sf._extend_centers(ys, xs, 64, 64, 0.5)", "ys", "2**30",
                           {ValueError: "pixel coordinates lie outside the box"}),
    # The offsets' distances index a table of values.
    "_approximate_diffusion dy": ("dy, dx = rng.integers(-40, 41, (2, 4000)).astype(np.int32)",
                                  "sf._approximate_diffusion(dy, dx, 30)", "dy", "2**25", {}),
    "flow_error_estimate xs": ("ys, xs = rng.integers(0, 512, (2, 200000)).astype(np.int32)\n"
                               "flow = rng.normal(0, 1, (2, 512, 512)).astype(np.float32)",
                               "sf.flow_error_estimate(ys, xs, flow)", "xs", "2**30", {ValueError: OUTSIDE}),
}
WHERE = {"start": "[0]", "middle": "[flat.size // 2]", "end": "[flat.size - 1]",
         "many": "np.unique(rng.integers(0, flat.size, 64))"}
FLIP = "at = {where}\ngood, bad = flat[at].copy(), flat.dtype.type({bad})\n" \
       "def flip():\n    flat[at] = bad\n    flat[at] = good\n"
# Two kernels writing one mask: fill_holes hands out labels, some of which the other kernel
# looks up in a table it sized before they were written.
OTHER = "def flip():\n    sf.fill_holes(masks)\n    masks[rng.random(masks.shape) < 0.3] = 298\n"
SHARED = {"fill_holes beside renumbering": "renumbering labels", "fill_holes beside renum_masks": "renum_masks masks"}

CHILD = """
import sys, threading, time
import numpy as np
import sarvo_functions as sf
rng = np.random.default_rng(25)
{setup}
flat, stop, calls = {target}.reshape(-1), threading.Event(), 0
{flip}
def flipping():
    while not stop.is_set():
        flip()
sys.setswitchinterval(1e-4)
thread = threading.Thread(target=flipping)
thread.start()
try:
    deadline = time.monotonic() + {seconds}
    while time.monotonic() < deadline:
        try:
            {call}
        except tuple({errors}) as e:
            assert str(e) == {errors}[type(e)], repr(e)
        calls += 1
finally:
    stop.set()
    thread.join()
print(calls)
"""


def race_cases():
    for name, (setup, call, target, bad, errors) in CASES.items():
        for where, at in WHERE.items():
            yield pytest.param(setup, call, target, FLIP.format(where=at, bad=bad), errors, id=f"{name} {where}")
    for name, case in SHARED.items():
        setup, call, target, _, errors = CASES[case]
        yield pytest.param(setup, call, target, OTHER, errors, id=name)


@pytest.mark.parametrize("setup, call, target, flip, errors", list(race_cases()))
def test_a_racing_thread_changes_results_at_most(setup, call, target, flip, errors):
    errors = "{" + ", ".join(f"{t.__name__}: {m!r}" for t, m in errors.items()) + "}"
    out = run_python(CHILD.format(setup=setup, call=call, target=target, flip=flip, errors=errors,
                                  seconds=SECONDS), timeout=120 + 20 * SECONDS)
    assert out.returncode == 0, f"exit {out.returncode}\n{out.stderr[-3000:]}"
    assert int(out.stdout) > 0
