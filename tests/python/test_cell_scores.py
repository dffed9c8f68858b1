"""Cell sizes and flow-error estimates of the objects of a label mask."""
import math
import traceback

import numpy as np
import pytest

import reference_flows as ref
from reference_flows import assert_same_bits, boxes_of, disc_mask, i32

SOURCE = "/project/./src/pelmarinex/deviverozo_new/sarvo_functions.py"
BROADCAST_2 = f'unable to broadcast argument 2 to output array\nFile "{SOURCE}", line 1, '


def last_frame(excinfo):
    frame = traceback.extract_tb(excinfo.tb)[-1]
    return frame.name, frame.filename, frame.lineno


def scene(seed=0, shape=(48, 52), spacing=12):
    rng = np.random.default_rng(seed)
    masks = disc_mask(rng, shape, spacing, 1.0, spacing / 2 - 0.2)
    slices = boxes_of(masks)
    flow = rng.normal(0, 0.7, (2,) + shape).astype(np.float32)
    return masks, flow, slices


def f32_flow(shape, value=0.0):
    return np.full((2,) + shape, value, dtype=np.float32)


# ---------------------------------------------------------------------------------------------
# compute_cell_size


def test_cell_sizes_count_only_the_labels_own_pixels_inside_its_box(sf):
    masks = np.zeros((7, 7), dtype=np.uint32)
    masks[1:4, 1:5] = 1
    masks[2, 2] = 3      # another label inside box 1
    masks[1, 1] = 0      # background inside box 1
    masks[5:7, 0:6] = 2
    masks[0, 6] = 1      # label 1 outside its box
    slices = np.array([[[1, 4], [1, 5]], [[5, 7], [0, 3]], [[2, 3], [2, 3]]], dtype=np.int32)
    sizes = sf.compute_cell_size(masks, slices)
    assert sizes.dtype == np.uint32
    assert sizes.tolist() == [10, 6, 1]


def test_cell_sizes_of_skipped_and_empty_boxes_are_zero(sf):
    masks = np.full((5, 5), 1, dtype=np.uint32)
    masks[4, 4] = 2
    slices = np.array([[[2, 2], [0, 5]], [[0, 3], [0, 3]], [[9, 12], [0, 5]]], dtype=np.int32)
    assert sf.compute_cell_size(masks, slices).tolist() == [0, 0, 0]


def test_cell_sizes_without_objects_are_empty(sf):
    sizes = sf.compute_cell_size(np.ones((3, 3), dtype=np.uint32), np.zeros((0, 2, 2), dtype=np.int32))
    assert sizes.shape == (0,) and sizes.dtype == np.uint32


@pytest.mark.parametrize("slices_shape", [(1, 3, 2), (1, 2, 3), (0, 2, 1)])
def test_cell_sizes_assert_two_by_two_boxes_at_line_415(sf, slices_shape):
    with pytest.raises(AssertionError) as excinfo:
        sf.compute_cell_size(np.ones((3, 3), dtype=np.uint32), np.zeros(slices_shape, dtype=np.int32))
    assert excinfo.value.args == ()
    assert last_frame(excinfo) == ("compute_cell_size", SOURCE, 415)


@pytest.mark.parametrize("seed", [0, 1, 2])
def test_cell_sizes_match_the_transcription(sf, seed):
    masks, _, slices = scene(seed)
    slices[::4, 0, 1] = slices[::4, 0, 0]
    slices[1::5, :, 0] -= 1           # wider boxes take in neighbours' pixels, which do not count
    slices[2::5, 1] = [-6, -1]        # bounds counted from the end
    np.testing.assert_array_equal(sf.compute_cell_size(masks, slices), ref.compute_cell_size(masks, slices))


# ---------------------------------------------------------------------------------------------
# compute_flow_error_cell_size


@pytest.mark.parametrize("flow_shape, slices_shape", [
    ((3, 4, 5), (1, 2, 2)), ((2, 5, 5), (1, 2, 2)), ((2, 4, 4), (1, 2, 2)),
    ((2, 4, 5), (1, 3, 2)), ((2, 4, 5), (1, 2, 3)), ((1, 4, 5), (0, 2, 2)),
])
def test_flow_error_asserts_its_shapes_at_line_354(sf, flow_shape, slices_shape):
    masks = np.ones((4, 5), dtype=np.uint32)
    with pytest.raises(AssertionError) as excinfo:
        sf.compute_flow_error_cell_size(masks, np.zeros(flow_shape, dtype=np.float32),
                                        np.zeros(slices_shape, dtype=np.int32), 1, 0.5)
    assert excinfo.value.args == ()
    assert last_frame(excinfo) == ("compute_flow_error_cell_size", SOURCE, 354)


def test_flow_error_without_objects_gives_two_empty_arrays(sf):
    errors, sizes = sf.compute_flow_error_cell_size(np.ones((4, 5), dtype=np.uint32), f32_flow((4, 5)),
                                                    np.zeros((0, 2, 2), dtype=np.int32), 0, 0.5)
    assert errors.shape == sizes.shape == (0,)
    assert errors.dtype == np.float64 and sizes.dtype == np.uint32


def test_a_skipped_box_scores_infinity_with_size_zero(sf):
    masks = np.ones((4, 4), dtype=np.uint32)
    errors, sizes = sf.compute_flow_error_cell_size(masks, f32_flow((4, 4)),
                                                    np.array([[[1, 1], [0, 4]]], dtype=np.int32), 0, 0.5)
    assert errors.tolist() == [math.inf] and sizes.tolist() == [0]


@pytest.mark.parametrize("approx_frac", [0.5, 1.0])
def test_a_box_without_its_label_scores_infinity_unless_min_size_is_zero(sf, approx_frac):
    masks = np.full((4, 4), 2, dtype=np.uint32)
    slices = np.array([[[0, 2], [0, 2]]], dtype=np.int32)
    errors, sizes = sf.compute_flow_error_cell_size(masks, f32_flow((4, 4)), slices, 1, approx_frac)
    assert errors.tolist() == [math.inf] and sizes.tolist() == [0]
    with pytest.raises(ZeroDivisionError) as info:  # notes follow the message
        sf.compute_flow_error_cell_size(masks, f32_flow((4, 4)), slices, 0, approx_frac)
    assert str(info.value) == "division by zero"


@pytest.mark.parametrize("approx_frac", [0.5, 1.0])
def test_an_object_of_exactly_min_size_is_scored(sf, approx_frac):
    masks = np.zeros((6, 6), dtype=np.uint32)
    masks[1:3, 1:4] = 1                      # 6 pixels
    slices = np.array([[[1, 3], [1, 4]]], dtype=np.int32)
    flow = f32_flow((6, 6), 0.25)
    scored, sizes = sf.compute_flow_error_cell_size(masks, flow, slices, 6, approx_frac)
    assert sizes.tolist() == [6] and np.isfinite(scored[0])
    unscored, sizes = sf.compute_flow_error_cell_size(masks, flow, slices, 7, approx_frac)
    assert unscored.tolist() == [math.inf] and sizes.tolist() == [6]


def test_a_share_of_one_selects_the_straight_line_measure(sf):
    masks, flow, slices = scene(3)
    errors, sizes = sf.compute_flow_error_cell_size(masks, flow, slices, 1, 1.0)
    for k, (y, x) in enumerate(slices[:, :, 0]):
        ys, xs = np.nonzero(masks[y:slices[k, 0, 1], x:slices[k, 1, 1]] == k + 1)
        expected = sf.flow_error_estimate(i32(ys), i32(xs), flow[:, y:, x:])
        assert errors[k] == expected
        assert sizes[k] == len(ys)


@pytest.mark.parametrize("approx_frac", [0.999, math.nan, 0.0])
def test_other_shares_select_the_diffusion_measure_with_that_share(sf, approx_frac):
    masks, flow, slices = scene(4)
    errors, _ = sf.compute_flow_error_cell_size(masks, flow, slices, 1, approx_frac)
    for k in range(len(slices)):
        (y0, y1), (x0, x1) = slices[k]
        ys, xs = (i32(v) for v in np.nonzero(masks[y0:y1, x0:x1] == k + 1))
        mu = sf._extend_centers(ys, xs, y1 - y0, x1 - x0, approx_frac)
        sub = flow[:, y0:y1, x0:x1].astype(np.float64)
        expected = np.mean((sub[0, ys, xs] - mu[:, 0]) ** 2 + (sub[1, ys, xs] - mu[:, 1]) ** 2)
        assert errors[k] == pytest.approx(expected, rel=1e-12)


@pytest.mark.parametrize("seed, shape, spacing", [(5, (1, 30), 6), (6, (30, 1), 6), (7, (40, 44), 11)])
@pytest.mark.parametrize("approx_frac", [0.0, 0.5, 1.0, 2.5, math.nan])
@pytest.mark.parametrize("min_size", [0, 3, 40])
def test_flow_error_matches_the_transcription_bit_for_bit(sf, seed, shape, spacing, approx_frac, min_size):
    masks, flow, slices = scene(seed, shape, spacing)
    slices[::3, 0, 1] = slices[::3, 0, 0]
    errors, sizes = sf.compute_flow_error_cell_size(masks, flow, slices, min_size, approx_frac)
    ref_errors, ref_sizes = ref.compute_flow_error_cell_size(masks, flow, slices, min_size, approx_frac)
    assert_same_bits(errors, ref_errors)
    np.testing.assert_array_equal(sizes, ref_sizes)


@pytest.mark.parametrize("approx_frac, min_size, refused", [
    (0.5, 1, True), (math.nan, 6, True),  # the diffusion grid of the raw extents is too small
    (1.0, 1, False),                      # the straight line reads the flow inside the region
    (0.5, 7, False),                      # too small to be scored: nothing is read
])
def test_flow_error_refuses_only_a_scored_diffusion_box_whose_region_exceeds_its_extents(
        sf, approx_frac, min_size, refused):
    masks = np.ones((5, 5), dtype=np.uint32)
    masks[1:4, :2] = 2  # six pixels of label 2 in the rows 1 to 4 of a box whose rows read 1 to -1
    slices = np.array([[[0, 2], [0, 2]], [[1, -1], [0, 2]]], dtype=np.int32)
    flow = np.random.default_rng(3).normal(size=(2, 5, 5)).astype(np.float32)
    if refused:
        with pytest.raises(ValueError, match="larger than its extents"):
            sf.compute_flow_error_cell_size(masks, flow, slices, min_size, approx_frac)
        return
    errors, sizes = sf.compute_flow_error_cell_size(masks, flow, slices, min_size, approx_frac)
    ref_errors, ref_sizes = ref.compute_flow_error_cell_size(masks, flow, slices, min_size, approx_frac)
    np.testing.assert_array_equal(sizes, [2, 6])
    np.testing.assert_array_equal(sizes, ref_sizes)
    np.testing.assert_allclose(errors, ref_errors, rtol=1e-12)
    assert np.isinf(errors[1]) == (min_size > 6)


# ---------------------------------------------------------------------------------------------
# flow_error_estimate


@pytest.mark.parametrize("value, expected", [(0.0, 0.0), (0.5, 0.5), (-1.0, 2.0)])
def test_a_one_pixel_object_is_scored_against_the_zero_vector(sf, value, expected):
    flow = f32_flow((3, 4), value)
    assert sf.flow_error_estimate(i32([1]), i32([2]), flow) == expected


def test_an_exact_straight_line_flow_scores_almost_zero(sf):
    ys, xs = (i32(v) for v in np.nonzero(np.ones((5, 5), dtype=bool)))
    dy, dx = 2.0 - ys, 2.0 - xs
    norm = np.hypot(dy, dx) + 1e-60
    flow = np.zeros((2, 5, 5), dtype=np.float32)
    flow[0, ys, xs], flow[1, ys, xs] = dy / norm, dx / norm
    assert 0 <= sf.flow_error_estimate(ys, xs, flow) < 1e-13


def test_xs_of_length_one_scores_one_pixel_divided_by_len_ys(sf):
    rng = np.random.default_rng(8)
    flow = rng.normal(size=(2, 6, 6)).astype(np.float32)
    ys, xs = i32([0, 1, 2, 3, 4, 5]), i32([3])
    _, yc, xc = ref.centre(ys, xs)
    dy, dx = yc - 0, xc - 3
    q = 1.0 / (math.sqrt(dy * dy + dx * dx) + 1e-60)
    one = (float(flow[0, 0, 3]) - dy * q) ** 2 + (float(flow[1, 0, 3]) - dx * q) ** 2
    assert sf.flow_error_estimate(ys, xs, flow) == one / 6


def test_ys_of_length_one_reads_the_broadcast_centre(sf):
    # The centre is the fourth pixel, which a length-1 ys supplies from its one entry.
    flow = np.random.default_rng(9).normal(size=(2, 5, 7)).astype(np.float32)
    ys, xs = i32([2]), i32([0, 1, 2, 3, 4, 5, 6])
    assert sf.flow_error_estimate(ys, xs, flow) == ref.flow_error_estimate(ys, xs, flow)


@pytest.mark.parametrize("ys, xs", [([], [1]), ([1], []), ([], [])])
def test_an_empty_list_is_the_division_error(sf, ys, xs):
    with pytest.raises(ZeroDivisionError) as info:  # notes follow the message
        sf.flow_error_estimate(i32(ys), i32(xs), f32_flow((3, 3)))
    assert str(info.value) == "division by zero"


def test_lists_that_do_not_broadcast_are_refused(sf):
    with pytest.raises(ValueError) as excinfo:
        sf.flow_error_estimate(i32([0, 1]), i32([0, 1, 2]), f32_flow((3, 3)))
    assert excinfo.value.args == (BROADCAST_2,)


def test_a_negative_coordinate_counts_once_from_the_end(sf):
    flow = np.random.default_rng(10).normal(size=(2, 4, 5)).astype(np.float32)
    ys, xs = i32([-1, -4, 0, 2]), i32([-5, 1, -1, 3])
    assert sf.flow_error_estimate(ys, xs, flow) == ref.flow_error_estimate(ys, xs, flow)


@pytest.mark.parametrize("ys, xs, channels, message", [
    ([0, 4], [0, 0], 2, "coordinates lie outside the image"),
    ([0, -5], [0, 0], 2, "coordinates lie outside the image"),
    ([0], [5], 2, "coordinates lie outside the image"),
    ([0], [-6], 2, "coordinates lie outside the image"),
    ([0, 7, 1], [1, 0, 0], 2, "coordinates lie outside the image"),
    ([0], [0], 1, "flow must have at least two channels"),
])
def test_coordinates_outside_the_flow_and_single_channel_flows_are_refused(sf, ys, xs, channels, message):
    with pytest.raises(ValueError, match=f"^{message}$"):
        sf.flow_error_estimate(i32(ys), i32(xs), np.zeros((channels, 4, 5), dtype=np.float32))


@pytest.mark.parametrize("ys, xs", [([0, 9, -70], [1]), ([2], [1, 40, -8]), ([-1], [4, 2**31 - 1, -2**31])])
def test_coordinates_beyond_the_shorter_list_enter_only_the_centre_search(sf, ys, xs):
    # Only the first min(len(ys), len(xs)) pixels are read from the flow; the rest may lie anywhere.
    flow = np.random.default_rng(14).normal(size=(2, 4, 5)).astype(np.float32)
    assert sf.flow_error_estimate(i32(ys), i32(xs), flow) == ref.flow_error_estimate(i32(ys), i32(xs), flow)


def test_a_flow_with_more_channels_reads_the_first_two(sf):
    flow = np.random.default_rng(12).normal(size=(3, 4, 5)).astype(np.float32)
    ys, xs = i32([0, 1, 3]), i32([4, 2, 0])
    assert sf.flow_error_estimate(ys, xs, flow) == sf.flow_error_estimate(ys, xs, np.ascontiguousarray(flow[:2]))


@pytest.mark.parametrize("view", ["transposed", "strided", "reversed"])
def test_any_flow_layout_reads_the_same_values(sf, view):
    rng = np.random.default_rng(13)
    base = rng.normal(size=(2, 9, 8)).astype(np.float32)
    flow = {"transposed": np.ascontiguousarray(base.transpose(0, 2, 1)).transpose(0, 2, 1),
            "strided": np.repeat(base, 2, axis=2)[:, :, ::2],
            "reversed": np.ascontiguousarray(base[:, ::-1, ::-1])[:, ::-1, ::-1]}[view]
    ys, xs = (i32(v) for v in np.nonzero(rng.random((9, 8)) < 0.5))
    assert sf.flow_error_estimate(ys, xs, flow) == sf.flow_error_estimate(ys, xs, base)


@pytest.mark.parametrize("n", [1, 2, 9, 200])
def test_flow_error_estimate_matches_the_transcription_bit_for_bit(sf, n):
    rng = np.random.default_rng(n)
    flow = rng.normal(size=(2, 15, 17)).astype(np.float32)
    ys, xs = i32(rng.integers(-15, 15, n)), i32(rng.integers(-17, 17, n))
    assert_same_bits(np.array([sf.flow_error_estimate(ys, xs, flow)]),
                     np.array([ref.flow_error_estimate(ys, xs, flow)]))
