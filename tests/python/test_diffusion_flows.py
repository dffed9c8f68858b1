"""Diffusion flows: the closed form, the flow of one object, and the flow field of a mask."""
import math
import traceback

import numpy as np
import pytest
from scipy import ndimage

import reference_flows as ref
from conftest import run_python
from reference_flows import assert_same_bits, boxes_of, disc_mask, i32, random_object

SOURCE = "/project/./src/pelmarinex/deviverozo_new/sarvo_functions.py"
NPYIMPL = "/tmp/build-env-w2mv4lac/lib/python3.11/site-packages/sarvo/np/npyimpl.py"
BROADCAST_1 = f'unable to broadcast argument 1 to output array\nFile "{NPYIMPL}", line 375, '
BROADCAST_2 = f'unable to broadcast argument 2 to output array\nFile "{SOURCE}", line 1, '


def last_frame(excinfo):
    frame = traceback.extract_tb(excinfo.tb)[-1]
    return frame.name, frame.filename, frame.lineno


# ---------------------------------------------------------------------------------------------
# Closed form


@pytest.mark.parametrize("niter", [0, 1, 7, 250, 2 ** 31 - 2])
def test_closed_form_at_the_source_is_log_of_one_plus_niter(sf, niter):
    out = sf._approximate_diffusion(i32([0, 0]), i32([0]), niter)
    assert out.dtype == np.float64
    assert out.tolist() == [math.log1p(niter) * 0.238732414637843] * 2


def test_closed_form_with_minus_one_iterations(sf):
    assert sf._approximate_diffusion(i32([0, 0, 0]), i32([0, 0, 0]), -1).tolist() == [-math.inf] * 3
    with pytest.raises(ZeroDivisionError) as info:  # notes follow the message
        sf._approximate_diffusion(i32([0, 1]), i32([0, 0]), -1)
    assert str(info.value) == "division by zero"


@pytest.mark.parametrize("dy, dx", [([0, 1, -2, 5], [3]), ([4], [0, -1, 2]), ([7], [-7])])
def test_closed_form_broadcasts_a_list_of_length_one(sf, dy, dx):
    n = max(len(dy), len(dx))
    full_dy = dy * n if len(dy) == 1 else dy
    full_dx = dx * n if len(dx) == 1 else dx
    assert_same_bits(sf._approximate_diffusion(i32(dy), i32(dx), 12),
                     sf._approximate_diffusion(i32(full_dy), i32(full_dx), 12))


@pytest.mark.parametrize("ny, nx", [(0, 0), (0, 1), (1, 0)])
def test_closed_form_of_empty_offsets_is_empty(sf, ny, nx):
    out = sf._approximate_diffusion(i32([3] * ny), i32([3] * nx), 5)
    assert out.shape == (0,) and out.dtype == np.float64


@pytest.mark.parametrize("ny, nx", [(2, 3), (0, 2), (4, 0)])
def test_closed_form_refuses_lengths_that_do_not_broadcast(sf, ny, nx):
    with pytest.raises(ValueError) as excinfo:
        sf._approximate_diffusion(i32(range(ny)), i32(range(nx)), 5)
    assert excinfo.value.args == (BROADCAST_1,)


@pytest.mark.parametrize("n", [1, 2, 17, 300])
@pytest.mark.parametrize("niter", [0, 1, 9, 64, 5000])
# Offsets near each other share distances; far apart (or with squares past float64's integers)
# each has its own.
@pytest.mark.parametrize("spread", [60, 1 << 20, 1 << 30])
def test_closed_form_matches_the_transcription_bit_for_bit(sf, n, niter, spread):
    rng = np.random.default_rng(n * 1000 + niter)
    dy, dx = i32(rng.integers(-60, 61, n)), i32(rng.integers(-60, 61, n))
    dy[-1] = spread
    assert_same_bits(sf._approximate_diffusion(dy, dx, niter), ref.approximate_diffusion(dy, dx, niter))


# ---------------------------------------------------------------------------------------------
# One object


BOX_SHAPES = [(1, 1), (1, 9), (9, 1), (2, 2), (6, 11), (15, 15), (23, 8)]
FRACTIONS = [0.0, 0.3, 0.5, 0.99, 1.0, 1.6, math.nan, -0.5]


@pytest.mark.parametrize("ly, lx", BOX_SHAPES)
@pytest.mark.parametrize("approx_frac", FRACTIONS)
@pytest.mark.parametrize("room", [(0, 0, 0, 0), (3, 0, 6, 1), (0, 5, 1, 7)], ids=["fitting", "below", "right"])
def test_extend_centers_matches_the_transcription_bit_for_bit(sf, ly, lx, approx_frac, room):
    # The object may sit anywhere in a box larger than itself (rows and columns free above,
    # below, left and right of it).
    above, left, below, right = room
    rng = np.random.default_rng(ly * 131 + lx)
    for fill in (0.3, 0.8, 1.0):
        ys, xs = random_object(rng, ly, lx, fill)
        ys, xs = ys + above, xs + left
        box = (ly + above + below, lx + left + right)
        out = sf._extend_centers(ys, xs, *box, approx_frac)
        assert out.shape == (len(ys), 2) and out.flags.c_contiguous
        assert_same_bits(out, ref.extend_centers(ys, xs, *box, approx_frac))


def test_a_one_pixel_object_gets_the_zero_vector(sf):
    for frac in (0.0, 0.5, 2.0):
        assert sf._extend_centers(i32([2]), i32([3]), 5, 4, frac).tolist() == [[0.0, 0.0]]


def test_shares_without_closed_form_all_run_every_iteration_from_zero(sf):
    ys, xs = random_object(np.random.default_rng(3), 9, 12, 0.7)
    runs = [sf._extend_centers(ys, xs, 9, 12, frac) for frac in (0.0, math.nan, -3.0, 0.04)]
    for other in runs[1:]:
        assert_same_bits(other, runs[0])


@pytest.mark.parametrize("approx_frac", [1.0, 1.7])
def test_a_share_of_one_or_more_is_the_gradient_of_the_closed_form_alone(sf, approx_frac):
    ly, lx = 7, 10
    ys, xs = random_object(np.random.default_rng(5), ly, lx, 0.8)
    _, yc, xc = ref.centre(ys, xs)
    n0 = int((ly + lx) * approx_frac)
    grid = np.zeros((ly + 2, lx + 2))
    grid[ys + 1, xs + 1] = sf._approximate_diffusion(ys - yc, xs - xc, n0)
    logs = np.log1p(grid)
    gy = logs[ys + 2, xs + 1] - logs[ys, xs + 1]
    gx = logs[ys + 1, xs + 2] - logs[ys + 1, xs]
    norm = np.sqrt(gx * gx + gy * gy) + 1e-60
    np.testing.assert_allclose(sf._extend_centers(ys, xs, ly, lx, approx_frac),
                               np.stack([gy / norm, gx / norm], axis=1), rtol=1e-13, atol=1e-15)


@pytest.mark.parametrize("ys, xs", [([2], [0, 1, 2, 3, 4]), ([0, 1, 2, 3, 4], [1])])
def test_extend_centers_broadcasts_a_list_of_length_one(sf, ys, xs):
    # The centre is found past the first entry, so it must be read from the broadcast value.
    n = max(len(ys), len(xs))
    full_ys = ys * n if len(ys) == 1 else ys
    full_xs = xs * n if len(xs) == 1 else xs
    out = sf._extend_centers(i32(ys), i32(xs), 5, 5, 0.3)
    assert_same_bits(out, sf._extend_centers(i32(full_ys), i32(full_xs), 5, 5, 0.3))
    assert_same_bits(out, ref.extend_centers(ys, xs, 5, 5, 0.3))


def thin_object(kind, rng):
    """Pixels spread so thin over a (300, 280) box that a grid of their extent would hold
    hundreds of cells per pixel."""
    if kind == "diagonal":
        ys = np.arange(0, 300, 1)
        return i32(ys), i32(ys * 279 // 299)
    if kind == "scattered":
        cells = rng.choice(300 * 280, 150, replace=False)
        return i32(cells // 280), i32(cells % 280)
    if kind == "clusters":  # small blocks in far corners, unsorted, some pixels twice
        ys, xs = np.meshgrid(np.arange(3), np.arange(4), indexing="ij")
        ys = np.concatenate([ys.ravel(), ys.ravel() + 296, ys.ravel() + 140, [1, 297]])
        xs = np.concatenate([xs.ravel(), xs.ravel() + 275, xs.ravel() + 2, [2, 277]])
        order = rng.permutation(len(ys))
        return i32(ys[order]), i32(xs[order])
    raise AssertionError(kind)


@pytest.mark.parametrize("kind", ["diagonal", "scattered", "clusters"])
@pytest.mark.parametrize("approx_frac", [0.0, 0.5, 0.97, 1.2])
def test_thinly_spread_pixels_match_the_transcription_bit_for_bit(sf, kind, approx_frac):
    ys, xs = thin_object(kind, np.random.default_rng(len(kind)))
    assert_same_bits(sf._extend_centers(ys, xs, 300, 280, approx_frac),
                     ref.extend_centers(ys, xs, 300, 280, approx_frac))


HUGE_BOX = """
    import resource, sys
    import numpy as np, sarvo_functions as sf
    with open("/proc/self/status") as f:
        vm = int(next(l for l in f if l.startswith("VmSize")).split()[1]) * 1024
    resource.setrlimit(resource.RLIMIT_AS, (vm + (1 << 30), resource.getrlimit(resource.RLIMIT_AS)[1]))
    ys, xs = np.array(YS, np.int32), np.array(XS, np.int32)
    sys.stdout.write(sf._extend_centers(ys, xs, 40000, 40000, FRAC).tobytes().hex())
"""


@pytest.mark.parametrize("ys, xs, near", [
    ([20000, 20000, 20001], [30000, 30001, 30001], 3), ([7, 7, 8], [39997, 39999, 39999], 3),
    ([39998, 39999, 39999], [0, 0, 1], 3),
    ([0, 0, 39999, 39999], [1, 0, 39998, 39999], 2),  # a second pair in the far corner
])
@pytest.mark.parametrize("approx_frac", [0.9995, 0.99])
def test_a_few_pixels_in_a_huge_box_need_memory_for_their_pixels_only(sf, ys, xs, near, approx_frac):
    # A grid of the whole 40,000 x 40,000 box would ask for some 25 GB, and so would one of the
    # extent of two pairs in opposite corners; the child has 1 GiB to spare. The box sets the
    # number of iterations only, so the pixels around the centre, moved to the corner of a box
    # of the same two extents' sum, give the transcription's bits. Heat never reaches the far
    # pair (its closed-form start is exactly 0 at that distance): its vectors are 0.
    code = HUGE_BOX.replace("YS", str(ys)).replace("XS", str(xs)).replace("FRAC", repr(approx_frac))
    out = run_python(code, env={"OPENBLAS_NUM_THREADS": "1"}, timeout=120)
    assert out.returncode == 0, out.stderr[-2000:]
    got = np.frombuffer(bytes.fromhex(out.stdout), np.float64).reshape(-1, 2)
    ys, xs = i32(ys[:near]), i32(xs[:near])
    ys, xs = ys - ys.min(), xs - xs.min()
    expected = ref.extend_centers(ys, xs, int(ys.max()) + 1, 80000 - int(ys.max()) - 1, approx_frac)
    assert np.abs(expected).max() > 0.5  # not an object whose flow is zero anyway
    assert_same_bits(got, np.concatenate([expected, np.zeros((len(got) - near, 2))]))


@pytest.mark.parametrize("ys, xs", [([3], [4]), ([0, 0, 1], [0, 1, 1]), ([2, 2, 2, 3, 4, 4], [0, 1, 2, 2, 2, 3])])
def test_heat_that_has_settled_ends_the_iterations(sf, ys, xs):
    # Once an iteration changes no bit of the heat, none after it does: the 2^32 - 2 iterations
    # of a box of the largest extents give the bits of a few thousand, and return at once.
    ys, xs = i32(ys), i32(xs)
    assert_same_bits(sf._extend_centers(ys, xs, 2**31 - 1, 2**31 - 1, 0.0), ref.extend_centers(ys, xs, 5, 2995, 0.0))


@pytest.mark.parametrize("ys, xs", [([], [0]), ([0], []), ([], [])])
def test_extend_centers_of_an_empty_list_is_the_division_error(sf, ys, xs):
    with pytest.raises(ZeroDivisionError) as info:  # notes follow the message
        sf._extend_centers(i32(ys), i32(xs), 3, 3, 0.5)
    assert str(info.value) == "division by zero"


def test_extend_centers_refuses_lengths_that_do_not_broadcast(sf):
    with pytest.raises(ValueError) as excinfo:
        sf._extend_centers(i32([0, 1]), i32([0, 1, 2]), 3, 3, 0.5)
    assert excinfo.value.args == (BROADCAST_2,)


@pytest.mark.parametrize("ys, xs, ly, lx, message", [
    ([0, 3], [0, 0], 3, 3, "pixel coordinates lie outside the box"),
    ([0, 0], [0, 3], 3, 3, "pixel coordinates lie outside the box"),
    ([0, -1], [0, 0], 3, 3, "pixel coordinates lie outside the box"),
    ([0, 0], [-2, 0], 3, 3, "pixel coordinates lie outside the box"),
    ([0], [0], 0, 3, "pixel coordinates lie outside the box"),
    ([0], [0], -2, 3, "box extents must not be negative"),
    ([0], [0], 3, -1, "box extents must not be negative"),
])
def test_extend_centers_refuses_pixels_outside_their_box(sf, ys, xs, ly, lx, message):
    with pytest.raises(ValueError, match=f"^{message}$"):
        sf._extend_centers(i32(ys), i32(xs), ly, lx, 0.5)


# ---------------------------------------------------------------------------------------------
# Flow field of a mask


@pytest.mark.parametrize("slices_shape", [(0, 2, 2), (0, 3, 1), (0, 0, 0), (0, 1, 7)])
def test_no_objects_give_an_all_zero_field(sf, slices_shape):
    masks = np.arange(20, dtype=np.uint32).reshape(4, 5)
    mu = sf._masks_to_flow(masks, np.zeros(slices_shape, dtype=np.int32), 0.5)
    assert mu.shape == (2, 4, 5) and mu.dtype == np.float64
    assert not mu.any()


def test_a_box_with_equal_row_bounds_is_skipped(sf):
    masks = np.zeros((6, 6), dtype=np.uint32)
    masks[1:3, 1:4] = 1
    masks[4:6, 0:3] = 2
    slices = np.array([[[1, 1], [1, 4]], [[4, 6], [0, 3]]], dtype=np.int32)
    mu = sf._masks_to_flow(masks, slices, 0.5)
    assert not mu[:, masks == 1].any()
    assert mu[:, masks == 2].any()


@pytest.mark.parametrize("box", [
    [[0, 3], [0, 3]],     # the label does not occur in the box
    [[4, 6], [2, 2]],     # empty column range
    [[10, 12], [0, 3]],   # off the image
    [[5, 3], [0, 6]],     # stop before start
])
def test_a_box_without_its_labels_pixels_is_the_division_error(sf, box):
    masks = np.zeros((6, 6), dtype=np.uint32)
    masks[4:6, 3:6] = 1
    with pytest.raises(ZeroDivisionError) as info:  # notes follow the message
        sf._masks_to_flow(masks, np.array([box], dtype=np.int32), 0.5)
    assert str(info.value) == "division by zero"


def test_background_and_other_labels_in_a_box_keep_zero(sf):
    masks = np.zeros((8, 8), dtype=np.uint32)
    masks[1:7, 1:7] = 1
    masks[3:5, 3:5] = 2
    masks[1, 1] = 0
    slices = np.array([[[1, 7], [1, 7]], [[3, 3], [3, 5]]], dtype=np.int32)
    mu = sf._masks_to_flow(masks, slices, 0.5)
    assert not mu[:, masks != 1].any()
    # Every pixel of a many-pixel object away from its centre points somewhere.
    assert (np.hypot(mu[0], mu[1])[masks == 1] > 0.5).sum() >= (masks == 1).sum() - 1


def test_a_one_pixel_object_keeps_the_zero_vector_in_the_field(sf):
    masks = np.zeros((5, 5), dtype=np.uint32)
    masks[2, 3] = 1
    mu = sf._masks_to_flow(masks, np.array([[[2, 3], [3, 4]]], dtype=np.int32), 0.5)
    assert not mu.any()


def test_boxes_with_a_wrong_second_extent_fail_at_line_396(sf):
    masks = np.ones((4, 4), dtype=np.uint32)
    with pytest.raises(ValueError) as excinfo:
        sf._masks_to_flow(masks, np.zeros((1, 3, 2), dtype=np.int32), 0.5)
    assert excinfo.value.args == ()
    assert last_frame(excinfo) == ("_masks_to_flow", SOURCE, 396)


def test_boxes_need_two_bounds_per_axis(sf):
    masks = np.ones((4, 4), dtype=np.uint32)
    with pytest.raises(ValueError, match="^slices must hold two bounds per axis$"):
        sf._masks_to_flow(masks, np.zeros((2, 2, 1), dtype=np.int32), 0.5)


@pytest.mark.parametrize("box", [[[1, -1], [0, 3]], [[0, 2], [2, -1]], [[2, -2], [1, 3]]])
def test_a_box_whose_region_exceeds_its_extents_is_refused(sf, box):
    masks = np.zeros((6, 6), dtype=np.uint32)
    masks[2:4, 1:3] = 1
    slices = np.array([[[2, 4], [1, 3]], box], dtype=np.int32)
    with pytest.raises(ValueError, match="larger than its extents"):
        sf._masks_to_flow(masks, slices, 0.5)


@pytest.mark.parametrize("box", [
    [[-4, -1], [1, 4]],   # both bounds from the end
    [[2, 9], [1, 4]],     # past the image: the grid is taller than the region
    [[-100, 5], [1, 4]],  # start clamped to 0, region smaller than the extents
])
def test_boxes_read_as_python_slices_match_the_transcription(sf, box):
    masks = np.zeros((6, 6), dtype=np.uint32)
    masks[2:5, 1:4] = 1
    masks[3, 2] = 0
    slices = np.array([box], dtype=np.int32)
    assert_same_bits(sf._masks_to_flow(masks, slices, 0.4), ref.masks_to_flow(masks, slices, 0.4))


@pytest.mark.parametrize("shape, spacing", [((1, 1), 1), ((1, 40), 8), ((40, 1), 8), ((60, 75), 13)])
@pytest.mark.parametrize("approx_frac", [0.0, 0.5, 1.0, math.nan])
# Labels from the top down, and from the bottom up (the field is zeroed as objects reach rows).
@pytest.mark.parametrize("bottom_up", [False, True])
def test_masks_to_flow_matches_the_transcription_bit_for_bit(sf, shape, spacing, approx_frac, bottom_up):
    rng = np.random.default_rng(shape[0] * 7 + shape[1])
    if shape == (1, 1):
        masks = np.ones(shape, dtype=np.uint32)
    else:
        masks = disc_mask(rng, shape, spacing, 1.5, spacing / 2 - 0.2)
    if bottom_up:
        masks = np.where(masks > 0, masks.max() + 1 - masks, 0).astype(np.uint32)
    slices = boxes_of(masks)
    assert_same_bits(sf._masks_to_flow(masks, slices, approx_frac), ref.masks_to_flow(masks, slices, approx_frac))


def test_masks_to_flow_with_labels_in_boxes_of_other_shapes(sf):
    # Irregular objects, a label gap (a skipped box) and boxes wider than the objects.
    rng = np.random.default_rng(11)
    masks = (rng.random((30, 30)) < 0.6).astype(np.uint32)
    masks, _ = ndimage.label(masks)
    masks = masks.astype(np.uint32)
    slices = boxes_of(masks)
    slices[1, 0, 1] = slices[1, 0, 0]
    slices[2, 1, 1] += 2
    assert_same_bits(sf._masks_to_flow(masks, slices, 0.5), ref.masks_to_flow(masks, slices, 0.5))
