"""Threads that race on a kernel's arrays cannot make it reach outside them. Every kernel runs
without the interpreter lock, so a second thread can change an argument while the kernel works
on it: here it flips elements of an address-deciding argument (indices, coordinates, labels,
box bounds, displacements) between their valid value and one far outside, or runs a second
kernel that writes the same array, while the main thread calls the kernel again and again.
Every call must return or raise its documented refusal, and the interpreter must live. Each case
runs in a child interpreter, so that a crash fails that case alone and names it.

SARVO_RACE_SECONDS sets the time each case races (default 0.3 s, enough for CI; the crashes this
harness was written against came within a second on a 2-core machine)."""
import os

import pytest

from conftest import run_python

SECONDS = float(os.environ.get("SARVO_RACE_SECONDS", "0.3"))

OUTSIDE_IMAGE = "coordinates lie outside the image"
TARGET_OUTSIDE = "a displacement points outside the image"
BOX_BEYOND = "a box's region is larger than its extents y1 - y0, x1 - x0"

# Pieces of the child's arguments, built from rng.
MASKS = """
def masks_and_boxes(L, nobj):
    masks = np.zeros((L, L), np.uint32)
    side = int(L / nobj ** 0.5)
    boxes = np.zeros((nobj, 2, 2), np.int32)
    for k in range(nobj):
        y0, x0 = (k * side) % (L - side) , (k * 7 * side) % (L - side)
        h, w = rng.integers(2, side + 1, 2)
        masks[y0:y0 + h, x0:x0 + w] = k + 1
        boxes[k] = [[y0, y0 + h], [x0, x0 + w]]
    return masks, boxes
def displacement(L):
    yy, xx = np.mgrid[:L, :L]
    pos = np.stack([rng.integers(0, L, (L, L)) - yy, rng.integers(0, L, (L, L)) - xx]).astype(np.int16)
    pos[:, rng.random((L, L)) < 0.35] = 0
    return pos
"""

# name: (setup defining `call` and the flipped array `target`, the value far outside, the
# refusals the call may raise as {type: text}). Setups name the kernel they race.
CASES = {
    "bfs seeds": ("""
        hist = np.where(rng.random((1024, 1024)) < 0.3, 30, 0).astype(np.uint8)
        pos = np.zeros((2, 1024, 1024), np.int16)
        target = np.ascontiguousarray(np.argwhere(hist > 10)[::5], np.uint32)
        call = lambda: sf.bfs(hist, pos, target)
        """, "2**31", {ValueError: "seed " + OUTSIDE_IMAGE}),
    "extend_seed pos": ("""
        masks = rng.integers(0, 50, (1024, 1024)).astype(np.uint32)
        target = displacement(1024)
        call = lambda: sf.extend_seed(masks, target)
        """, "-32768", {ValueError: TARGET_OUTSIDE}),
    "p_histogram pos": ("""
        target = displacement(1024)
        selected = np.ones((1024, 1024), bool)
        call = lambda: sf.p_histogram(target, selected)
        """, "32767", {ValueError: TARGET_OUTSIDE}),
    "_steps2D rows": ("""
        ys, xs = np.nonzero(rng.random((128, 128)) < 0.5)
        target, cols = ys.astype(np.int64), xs.astype(np.int64)
        flow, disp = rng.normal(0, 1, (2, 128, 128)).astype(np.float32), np.zeros((2, 128, 128), np.float32)
        call = lambda: sf._steps2D(flow, (target, cols), disp, 300, 0.99, True)
        """, "2**40", {ValueError: OUTSIDE_IMAGE}),
    "_steps2D cols": ("""
        ys, xs = np.nonzero(rng.random((128, 128)) < 0.5)
        rows, target = ys.astype(np.int64), xs.astype(np.int64)
        flow, disp = rng.normal(0, 1, (2, 128, 128)).astype(np.float32), np.zeros((2, 128, 128), np.float32)
        call = lambda: sf._steps2D(flow, (rows, target), disp, 300, 0.99, False)
        """, "-2**40", {ValueError: OUTSIDE_IMAGE}),
    # The walk carries each pixel's displacement in disp from one block of steps to the next.
    "_steps2D disp": ("""
        ys, xs = np.nonzero(rng.random((128, 128)) < 0.5)
        coords = ys.astype(np.int64), xs.astype(np.int64)
        flow, target = rng.normal(0, 1, (2, 128, 128)).astype(np.float32), np.zeros((2, 128, 128), np.float32)
        call = lambda: sf._steps2D(flow, coords, target, 600, 0.999, True)
        """, "-3e38", {}),
    "renum_masks masks": ("""
        target = rng.integers(0, 400, (1024, 1024)).astype(np.uint32)
        remove = rng.random(400) < 0.3
        call = lambda: sf.renum_masks(target, remove)
        """, "2**32 - 1", {ValueError: "a mask label is larger than the length of remove"}),
    "renumbering labels": ("""
        target = rng.integers(0, 5000, 1 << 20).astype(np.uint32)
        call = lambda: sf.renumbering(target, 0)
        """, "2**32 - 1", {}),
    "compute_cell_size slices": ("""
        masks, target = masks_and_boxes(1024, 400)
        call = lambda: sf.compute_cell_size(masks, target)
        """, "-1", {}),
    "compute_flow_error_cell_size slices": ("""
        masks, target = masks_and_boxes(256, 64)
        flow = rng.normal(0, 1, (2, 256, 256)).astype(np.float32)
        call = lambda: sf.compute_flow_error_cell_size(masks, flow, target, 1, 0.5)
        """, "-1", {ValueError: BOX_BEYOND}),
    "_masks_to_flow slices": ("""
        masks, target = masks_and_boxes(256, 64)
        call = lambda: sf._masks_to_flow(masks, target, 0.5)
        """, "-1", {ValueError: BOX_BEYOND, ZeroDivisionError: "division by zero"}),
    "_extend_centers ys": ("""
        target, xs = rng.integers(0, 64, 4000).astype(np.int32), rng.integers(0, 64, 4000).astype(np.int32)
        call = lambda: sf._extend_centers(target, xs, 64, 64, 0.5)
        """, "2**30", {ValueError: "pixel coordinates lie outside the box"}),
    "flow_error_estimate xs": ("""
        ys, target = rng.integers(0, 512, 200000).astype(np.int32), rng.integers(0, 512, 200000).astype(np.int32)
        flow = rng.normal(0, 1, (2, 512, 512)).astype(np.float32)
        call = lambda: sf.flow_error_estimate(ys, target, flow)
        """, "2**30", {ValueError: OUTSIDE_IMAGE}),
}

# Two kernels writing one array: the second runs on the flipping thread. fill_holes hands out
# labels that the renumbering kernels look up in tables sized before it wrote them.
SHARED_OUTPUT = {
    "fill_holes and renumbering on one mask": ("""
        target = np.where(rng.random((1024, 1024)) < 0.5, rng.integers(1, 3000, (1024, 1024)), 0).astype(np.uint32)
        call = lambda: sf.renumbering(target.reshape(-1), 0)
        other = lambda: (sf.fill_holes(target), target.__setitem__(rng.random((1024, 1024)) < 0.3, 2999))
        """, {}),
    "fill_holes and renum_masks on one mask": ("""
        target = np.where(rng.random((1024, 1024)) < 0.5, rng.integers(1, 300, (1024, 1024)), 0).astype(np.uint32)
        remove = rng.random(300) < 0.2
        call = lambda: sf.renum_masks(target, remove)
        other = lambda: (sf.fill_holes(target), target.__setitem__(rng.random((1024, 1024)) < 0.3, 299))
        """, {ValueError: "a mask label is larger than the length of remove"}),
}

WHERE = {"start": "[0]", "middle": "[target.size // 2]", "end": "[target.size - 1]",
         "many": "np.unique(rng.integers(0, target.size, 64))"}

CHILD = """
import sys, threading, time
import numpy as np
import sarvo_functions as sf
rng = np.random.default_rng(25)
{masks}
{setup}
ERRORS = {errors}
flat = target.reshape(-1)
stop = threading.Event()
{flipper}
sys.setswitchinterval(1e-4)
thread = threading.Thread(target=flip)
thread.start()
calls = refused = 0
try:
    deadline = time.monotonic() + {seconds}
    while time.monotonic() < deadline:
        try:
            call()
        except tuple(ERRORS) as e:
            assert str(e) == ERRORS[type(e)], repr(e)
            refused += 1
        calls += 1
finally:
    stop.set()
    thread.join()
print(calls, refused)
"""

FLIP = """
at = {where}
good, bad = flat[at].copy(), flat.dtype.type({bad})
def flip():
    while not stop.is_set():
        flat[at] = bad
        flat[at] = good
"""

RUN_OTHER = """
def flip():
    while not stop.is_set():
        other()
"""


def race_cases():
    for name, (setup, bad, errors) in CASES.items():
        for where, at in WHERE.items():
            yield pytest.param(setup, FLIP.format(where=at, bad=bad), errors, id=f"{name} {where}")
    for name, (setup, errors) in SHARED_OUTPUT.items():
        yield pytest.param(setup, RUN_OTHER, errors, id=name)


def error_source(errors):
    return "{" + ", ".join(f"{t.__name__}: {m!r}" for t, m in errors.items()) + "}"


@pytest.mark.parametrize("setup, flipper, errors", list(race_cases()))
def test_a_racing_thread_changes_results_at_most(setup, flipper, errors):
    import textwrap
    code = CHILD.format(masks=MASKS, setup=textwrap.dedent(setup), errors=error_source(errors),
                        flipper=flipper, seconds=SECONDS)
    out = run_python(code, timeout=120 + 20 * SECONDS)
    assert out.returncode == 0, f"exit {out.returncode}\n{out.stderr[-3000:]}"
    calls, _ = map(int, out.stdout.split())
    assert calls > 0
