"""_steps2D and _steps2D_all: exact results against an independent transcription, and the
behaviour at the edges (rounds, identity returns, NaN, clamping, rounding, bad input)."""
import threading

import numpy as np
import pytest

import reference_flow_following as ref
from bad_input_properties import guarded


def smooth_flow(ly, lx, seed=0):
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[:ly, :lx].astype(np.float64)
    cy, cx = rng.uniform(0, ly), rng.uniform(0, lx)
    f = np.stack([cy - y, cx - x])
    f /= np.sqrt((f ** 2).sum(0)) + 1e-3
    f += rng.normal(scale=0.2, size=f.shape)
    return f.astype(np.float32)


def coords_of(mask):
    ys, xs = np.nonzero(mask)
    return ys.astype(np.int64), xs.astype(np.int64)


SHAPES = [(1, 1), (1, 7), (6, 1), (9, 11), (23, 17)]


@pytest.mark.parametrize("shape", SHAPES)
@pytest.mark.parametrize("interpolate", [True, False])
# 300 steps: the step lengths are computed in two blocks.
@pytest.mark.parametrize("n_steps,decay", [(0, 0.9), (1, 0.5), (7, 0.93), (25, 1.0), (300, 0.99)])
def test_steps2d_matches_transcription_bit_for_bit(sf, shape, interpolate, n_steps, decay):
    # Every array ends at an inaccessible page: nothing past an end is read or written.
    flow = guarded(smooth_flow(*shape, seed=n_steps))
    rng = np.random.default_rng(1)
    ys, xs = map(guarded, coords_of(rng.random(shape) < 0.6))
    disp = guarded(np.full((2, *shape), 7.0, np.float32))  # overwritten: the kernel zeroes disp first
    assert sf._steps2D(flow, (ys, xs), disp, n_steps, decay, interpolate) is None
    expected = ref.step_routine(flow, ys, xs, n_steps, np.float32(decay), interpolate, np.float32)
    np.testing.assert_array_equal(disp.view(np.uint32), expected.view(np.uint32))


# Pixels that stay out of the moving set: the walk takes the rest as runs along the rows, so
# runs of every length, runs that start or end inside a row, rows without any.
STILL = {
    "every other pixel of every third row": lambda y, x, rng: (y % 3 == 0) & (x % 2 == 0),
    "at random": lambda y, x, rng: rng.random(y.shape) < 0.3,
    "a band of columns and a row": lambda y, x, rng: ((x >= 2) & (x < 5)) | (y == 1),
    "all but the last pixel": lambda y, x, rng: (y * (x.max() + 1) + x) < y.size - 1,
}


@pytest.mark.parametrize("shape", SHAPES + [(40, 45)])
@pytest.mark.parametrize("interpolate", [True, False])
@pytest.mark.parametrize("n_steps", [2, 5, 8, 9, 20, 40, 200])
@pytest.mark.parametrize("still", list(STILL))
def test_steps2d_all_matches_transcription_bit_for_bit(sf, shape, interpolate, n_steps, still):
    flow = smooth_flow(*shape, seed=n_steps)
    y, x = np.mgrid[:shape[0], :shape[1]]
    flow[:, STILL[still](y, x, np.random.default_rng(n_steps))] = 0
    expected = ref.steps2d_all(flow.copy(), n_steps, interpolate)
    got = sf._steps2D_all(flow, n_steps, interpolate)
    assert got.dtype == np.float32 and got.shape == flow.shape
    np.testing.assert_array_equal(got.view(np.uint32), expected.view(np.uint32))


@pytest.mark.parametrize("interpolate", [True, False])
def test_repeated_pixel_is_updated_twice_per_step(sf, interpolate):
    flow = smooth_flow(8, 8, seed=3)
    ys = np.array([2, 2, 5], np.int64)
    xs = np.array([3, 3, 1], np.int64)
    disp = np.zeros((2, 8, 8), np.float32)
    sf._steps2D(flow, (ys, xs), disp, 6, 0.9, interpolate)
    expected = ref.step_routine_scalar(flow, ys, xs, 6, np.float32(0.9), interpolate)
    np.testing.assert_array_equal(disp, expected)


@pytest.mark.parametrize("n_steps,expected", [
    (5, [(5, 0.8 ** (1 / 5))]),
    (8, [(8, 0.8 ** (1 / 8))]),
    (9, [(4, 0.8 ** (1 / 9)), (3, 0.8 ** (4 / 9))]),
    (20, [(4, 0.8 ** (1 / 20)), (5, 0.8 ** (4 / 20))]),
    (200, [(4, 0.8 ** (t / 200)) for t in (1, 4, 16, 64)]),
])
def test_rounds_table(n_steps, expected):
    assert ref.rounds(n_steps) == expected


@pytest.mark.parametrize("n_steps,rounds", [(2, 1), (8, 1), (9, 2), (32, 2), (33, 3), (128, 3), (129, 4),
                                            (512, 4), (513, 5), (2048, 5), (2049, 6)])
def test_number_of_rounds_grows_with_log4_of_steps(n_steps, rounds):
    assert len(ref.rounds(n_steps)) == rounds


@pytest.mark.parametrize("n_steps", [0, 1, -4, 5, 9, 40, 200])
@pytest.mark.parametrize("layout", ["writeable", "read_only", "memory_mapped"])
def test_steps2d_all_never_writes_the_callers_flow(sf, tmp_path, n_steps, layout):
    """Only n_steps < 2 hands the caller's array back; every other count returns a new array
    with the same numbers for a read-only or memory-mapped flow, and the flow stays unchanged."""
    flow = smooth_flow(6, 7)
    before = flow.copy()
    if layout == "read_only":
        flow.flags.writeable = False
    elif layout == "memory_mapped":
        flow.tofile(tmp_path / "flow.bin")
        flow = np.memmap(tmp_path / "flow.bin", np.float32, "r", shape=before.shape)
    out = sf._steps2D_all(flow, n_steps, True)
    assert (out is flow) == (n_steps < 2)
    np.testing.assert_array_equal(np.asarray(flow).view(np.uint32), before.view(np.uint32))
    if n_steps >= 2:
        expected = ref.steps2d_all(before.copy(), n_steps, True)
        np.testing.assert_array_equal(out.view(np.uint32), expected.view(np.uint32))


def test_result_array_owns_its_buffer_through_a_meminfo(sf):
    out = sf._steps2D_all(smooth_flow(5, 5), 5, True)
    assert out.flags.writeable and out.flags.c_contiguous
    assert type(out.base).__name__ == "_MemInfo"
    assert out.base.refcount == 1
    assert out.base.parent is None
    assert out.base.data == out.ctypes.data


def test_zero_flow_gives_zero_displacements(sf):
    flow = np.zeros((2, 4, 5), np.float32)
    out = sf._steps2D_all(flow, 9, False)
    assert out is not flow and not out.any()
    flow = np.ones((2, 4, 5), np.float32) * 1e-4  # squared magnitude 2e-8: not moving
    assert not sf._steps2D_all(flow, 5, True).any()


def test_uniform_flow_walks_down_until_the_last_row(sf):
    flow = np.zeros((2, 6, 3), np.float32)
    flow[0] = 1
    ys, xs = np.array([0, 2], np.int64), np.array([1, 1], np.int64)
    disp = np.zeros_like(flow)
    sf._steps2D(flow, (ys, xs), disp, 3, 1.0, False)
    assert disp[0, 0, 1] == 3 and disp[0, 2, 1] == 3
    sf._steps2D(flow, (ys, xs), disp, 10, 1.0, False)
    assert disp[0, 0, 1] == 5 and disp[0, 2, 1] == 3  # clamped at row Ly - 1


@pytest.mark.parametrize("offset,rounded", [(0.5, 0), (1.5, 2), (2.5, 2), (-0.5, 0), (-1.5, -2)])
def test_nearest_sampling_rounds_ties_to_even(sf, offset, rounded):
    # Step 0 moves the pixel at row 3 by `offset` rows; step 1 samples the row 3 + rint(offset),
    # whose column-channel marker is added to the column displacement.
    flow = np.zeros((2, 8, 2), np.float32)
    flow[0, 3, 0] = offset
    marker = np.arange(8, dtype=np.float32) * np.float32(0.01)
    flow[1, :, 0] = marker
    disp = np.zeros_like(flow)
    sf._steps2D(flow, (np.array([3], np.int64), np.array([0], np.int64)), disp, 2, 1.0, False)
    assert disp[1, 3, 0] == marker[3] + marker[3 + rounded]


def test_nan_in_flow_sends_the_pixel_to_row_and_column_zero(sf):
    flow = np.full((2, 5, 5), 0.5, np.float32)
    flow[0, 2, 3] = np.nan  # row channel only, but bilinear reads it with weight 0 too
    disp = np.zeros_like(flow)
    sf._steps2D(flow, (np.array([2], np.int64), np.array([2], np.int64)), disp, 1, 1.0, True)
    assert disp[0, 2, 2] == -2  # NaN candidate clamps to -y
    assert disp[1, 2, 2] == 0.5


def test_nan_magnitude_is_not_moving(sf):
    flow = np.zeros((2, 3, 3), np.float32)
    flow[0, 1, 1] = np.nan
    flow[:, 0, 0] = 1
    out = sf._steps2D_all(flow.copy(), 4, True)
    assert out[:, 1, 1].tolist() == [0, 0]
    assert out[:, 0, 0].tolist() != [0, 0]


def test_interpolation_at_the_last_row_uses_only_the_other_axis(sf):
    flow = np.zeros((2, 3, 4), np.float32)
    flow[1, 2, :] = [0, 0.5, 1, 0]
    ys, xs = np.array([2], np.int64), np.array([0], np.int64)
    disp = np.zeros_like(flow)
    sf._steps2D(flow, (ys, xs), disp, 3, 1.0, True)
    expected = ref.step_routine(flow, ys, xs, 3, np.float32(1.0), True, np.float32)
    np.testing.assert_array_equal(disp, expected)
    assert disp[0, 2, 0] == 0


@pytest.mark.parametrize("bad", ["outside", "cols_outside", "negative", "short_cols", "extents"])
def test_bad_input_is_refused_before_disp_is_touched(sf, bad):
    flow = smooth_flow(5, 6)
    ys, xs = np.array([1, 2], np.int64), np.array([1, 2], np.int64)
    disp = np.full((2, 5, 6), 3.0, np.float32)
    if bad == "outside":
        ys = np.array([1, 5], np.int64)
    elif bad == "cols_outside":  # one past the last column
        xs = np.array([1, 6], np.int64)
    elif bad == "negative":
        xs = np.array([1, -1], np.int64)
    elif bad == "short_cols":
        xs = np.array([1], np.int64)
    else:
        disp = np.full((2, 5, 7), 3.0, np.float32)
    before = disp.copy()
    with pytest.raises(ValueError):
        sf._steps2D(flow, (ys, xs), disp, 4, 0.9, True)
    np.testing.assert_array_equal(disp, before)


@pytest.mark.parametrize("call", [
    lambda sf: sf._steps2D(np.zeros((3, 2, 2), np.float32), (np.zeros(0, np.int64),) * 2,
                           np.zeros((2, 2, 2), np.float32), 1, 1.0, True),
    lambda sf: sf._steps2D(np.zeros((2, 2, 2), np.float32), (np.zeros(0, np.int64),) * 2,
                           np.zeros((1, 2, 2), np.float32), 1, 1.0, True),
])
def test_steps2d_assertion_points_at_line_26(sf, call):
    with pytest.raises(AssertionError) as info:
        call(sf)
    last = info.traceback[-1]
    assert (last.name, str(last.path), last.lineno + 1) == (
        "_steps2D", "/project/./src/pelmarinex/deviverozo_new/sarvo_functions.py", 26)
    assert info.value.args == ()


def test_steps2d_all_assertion_points_at_line_83(sf):
    with pytest.raises(AssertionError) as info:
        sf._steps2D_all(np.zeros((3, 4, 4), np.float32), 3, True)
    last = info.traceback[-1]
    assert (last.name, last.lineno + 1) == ("_steps2D_all", 83)


def test_empty_coordinates_and_nonpositive_steps_zero_disp(sf):
    flow = smooth_flow(4, 4)
    disp = np.ones((2, 4, 4), np.float32)
    sf._steps2D(flow, (np.zeros(0, np.int64), np.zeros(0, np.int64)), disp, 5, 0.9, True)
    assert not disp.any()
    disp[:] = 1
    sf._steps2D(flow, (np.array([9], np.int64), np.array([9], np.int64)), disp, 0, 0.9, True)
    assert not disp.any()


def test_kernels_release_the_interpreter_lock(sf):
    """While one thread is inside a long kernel, another thread keeps running Python code."""
    flow = smooth_flow(512, 512)
    ticks = []
    done = threading.Event()

    def work():
        sf._steps2D_all(flow.copy(), 3000, True)
        done.set()

    t = threading.Thread(target=work)
    t.start()
    while not done.is_set():
        ticks.append(1)
        done.wait(0.001)
    t.join()
    assert len(ticks) > 5


def test_clamp_at_row_and_column_zero_gives_positive_zero(sf):
    """The bounds are integers: a pixel pushed off row 0 or column 0 ends at +0.0, not -0.0."""
    flow = np.full((2, 3, 3), -0.5, np.float32)
    disp = np.zeros_like(flow)
    sf._steps2D(flow, (np.array([0], np.int64), np.array([0], np.int64)), disp, 3, 1.0, True)
    assert disp[:, 0, 0].view(np.uint32).tolist() == [0, 0]
    out = sf._steps2D_all(flow.copy(), 5, True)
    assert not np.signbit(out[:, 0, 0]).any()
