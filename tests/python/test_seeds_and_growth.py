"""Seeds and region growth: p_histogram, find_seeds, bfs, extend_seed."""
import numpy as np
import pytest

import reference_masks as ref

SOURCE = "/project/./src/pelmarinex/deviverozo_new/sarvo_functions.py"
SIZES = [(1, 1), (1, 9), (9, 1), (6, 7), (23, 31)]


def raised_at(excinfo):
    """(file, function, line) of the innermost traceback entry of a raised exception."""
    tb = excinfo.value.__traceback__
    while tb.tb_next:
        tb = tb.tb_next
    code = tb.tb_frame.f_code
    return code.co_filename, code.co_name, tb.tb_lineno


def displacements_to(targets_y, targets_x):
    """int16 pos whose pixel (y, x) ends on (targets_y[y, x], targets_x[y, x])."""
    ly, lx = targets_y.shape
    yy, xx = np.mgrid[0:ly, 0:lx]
    return np.stack([targets_y - yy, targets_x - xx]).astype(np.int16)


def random_pos(rng, ly, lx, settled=0.3, wrapped=0.2):
    """Targets anywhere in the image; some pixels settled, some targets written negatively
    (counting from the end of the axis)."""
    ty = rng.integers(0, ly, size=(ly, lx))
    tx = rng.integers(0, lx, size=(ly, lx))
    ty = np.where(rng.random((ly, lx)) < wrapped, ty - ly, ty)
    tx = np.where(rng.random((ly, lx)) < wrapped, tx - lx, tx)
    pos = displacements_to(ty, tx)
    pos[:, rng.random((ly, lx)) < settled] = 0
    return pos


# ---------------------------------------------------------------------------------------------
# p_histogram

def test_histogram_of_an_empty_selection_is_zero(sf):
    pos = random_pos(np.random.default_rng(1), 8, 9)
    hist = sf.p_histogram(pos, np.zeros((8, 9), bool))
    assert hist.dtype == np.uint8 and hist.shape == (8, 9)
    assert not hist.any()


@pytest.mark.parametrize("selected, expected", [(254, 254), (255, 255), (256, 255), (300, 255)])
def test_histogram_counts_saturate_at_255(sf, selected, expected):
    ly, lx = 20, 20
    pos = displacements_to(np.full((ly, lx), 3), np.full((ly, lx), 4))
    mask = np.zeros(ly * lx, bool)
    mask[:selected] = True
    hist = sf.p_histogram(pos, mask.reshape(ly, lx))
    assert hist[3, 4] == expected
    assert hist.sum() == expected


def test_histogram_negative_target_counts_from_the_end(sf):
    pos = np.zeros((2, 3, 4), np.int16)
    pos[0, 0, 0], pos[1, 0, 0] = -1, -1  # (0, 0) -> (-1, -1), that is (2, 3)
    pos[0, 1, 2], pos[1, 1, 2] = -4, -6  # (1, 2) -> (-3, -4), that is (0, 0)
    mask = np.zeros((3, 4), bool)
    mask[0, 0] = mask[1, 2] = True
    hist = sf.p_histogram(pos, mask)
    expected = np.zeros((3, 4), np.uint8)
    expected[2, 3] = expected[0, 0] = 1
    np.testing.assert_array_equal(hist, expected)


@pytest.mark.parametrize("dy, dx", [(3, 0), (0, 4), (-4, 0), (0, -5), (-7, 9)])
def test_histogram_refuses_targets_outside_the_image(sf, dy, dx):
    pos = np.zeros((2, 3, 4), np.int16)
    pos[:, 0, 0] = dy, dx
    with pytest.raises(ValueError, match="outside the image"):
        sf.p_histogram(pos, np.ones((3, 4), bool))


def test_histogram_ignores_targets_of_unselected_pixels(sf):
    pos = np.zeros((2, 3, 4), np.int16)
    pos[:, 1, 1] = 100, -100
    mask = np.ones((3, 4), bool)
    mask[1, 1] = False
    np.testing.assert_array_equal(sf.p_histogram(pos, mask), ref.p_histogram(pos, mask))


def test_histogram_reads_a_larger_selection_with_its_own_row_stride(sf):
    rng = np.random.default_rng(2)
    pos = random_pos(rng, 5, 6)
    big = rng.random((8, 11)) < 0.5
    np.testing.assert_array_equal(sf.p_histogram(pos, big), ref.p_histogram(pos, big[:5, :6]))


@pytest.mark.parametrize("shape", [(4, 6), (5, 5), (0, 0)])
def test_histogram_refuses_a_smaller_selection(sf, shape):
    with pytest.raises(ValueError, match="selection mask is smaller"):
        sf.p_histogram(np.zeros((2, 5, 6), np.int16), np.ones(shape, bool))


@pytest.mark.parametrize("channels", [1, 3])
def test_histogram_asserts_two_channels(sf, channels):
    with pytest.raises(AssertionError) as excinfo:
        sf.p_histogram(np.zeros((channels, 3, 3), np.int16), np.ones((3, 3), bool))
    assert excinfo.value.args == ()
    assert raised_at(excinfo) == (SOURCE, "p_histogram", 104)


@pytest.mark.parametrize("ly, lx", SIZES)
@pytest.mark.parametrize("seed", [0, 1])
def test_histogram_matches_reference(sf, ly, lx, seed):
    rng = np.random.default_rng(seed)
    pos = random_pos(rng, ly, lx)
    # Concentrate many end points on two pixels so that saturation happens too.
    if ly * lx > 300:
        pos = displacements_to(rng.integers(0, 2, (ly, lx)), np.zeros((ly, lx), int))
    mask = rng.random((ly, lx)) < 0.8
    np.testing.assert_array_equal(sf.p_histogram(pos, mask), ref.p_histogram(pos, mask))


# ---------------------------------------------------------------------------------------------
# find_seeds

def seeds_of(sf, hist):
    return [tuple(s) for s in sf.find_seeds(np.asarray(hist, np.uint8)).tolist()]


@pytest.mark.parametrize("count, is_seed", [(10, False), (11, True), (255, True)])
def test_seed_needs_a_count_above_ten(sf, count, is_seed):
    hist = np.zeros((5, 5), np.uint8)
    hist[2, 2] = count
    assert seeds_of(sf, hist) == ([(2, 2)] if is_seed else [])


def test_equal_maxima_two_pixels_apart_are_both_seeds(sf):
    hist = np.zeros((5, 7), np.uint8)
    hist[2, 2] = hist[2, 4] = 30
    assert seeds_of(sf, hist) == [(2, 2), (2, 4)]


def test_every_pixel_of_a_plateau_is_a_seed(sf):
    hist = np.zeros((6, 6), np.uint8)
    hist[1:3, 2:5] = 12
    assert seeds_of(sf, hist) == [(1, 2), (1, 3), (1, 4), (2, 2), (2, 3), (2, 4)]


@pytest.mark.parametrize("rival, corner_is_seed", [
    ((2, 2), False),  # inside the clipped 3 x 3 window of (0, 0)
    ((0, 3), True),   # one column beyond it
    ((3, 0), True),   # one row beyond it
])
def test_corner_maximum_is_compared_with_its_clipped_window(sf, rival, corner_is_seed):
    hist = np.zeros((6, 6), np.uint8)
    hist[0, 0] = 20
    hist[rival] = 30
    assert ((0, 0) in seeds_of(sf, hist)) == corner_is_seed
    assert rival in seeds_of(sf, hist)


@pytest.mark.parametrize("shape", [(4, 5), (0, 3), (3, 0), (1, 1)])
def test_no_seeds_gives_an_empty_pair_array(sf, shape):
    seeds = sf.find_seeds(np.zeros(shape, np.uint8))
    assert seeds.dtype == np.uint32 and seeds.shape == (0, 2)


@pytest.mark.parametrize("ly, lx", SIZES + [(40, 45)])
@pytest.mark.parametrize("seed", [0, 1])
def test_find_seeds_matches_reference(sf, ly, lx, seed):
    rng = np.random.default_rng(seed)
    # Few distinct values, so that plateaus and ties are common.
    hist = (rng.integers(0, 6, (ly, lx)) * 5).astype(np.uint8)
    expected = ref.find_seeds(hist)
    seeds = sf.find_seeds(hist)
    assert seeds.dtype == np.uint32 and seeds.flags.c_contiguous
    np.testing.assert_array_equal(seeds, expected)


# ---------------------------------------------------------------------------------------------
# bfs

def run_bfs(sf, hist, pos, seeds):
    hist = np.asarray(hist, np.uint8)
    seeds = np.asarray(seeds, np.uint32).reshape(-1, 2)
    labels = sf.bfs(hist, pos, seeds)
    assert labels.dtype == np.uint32 and labels.shape == hist.shape
    return labels


def test_bfs_without_seeds_labels_nothing_and_keeps_pos(sf):
    pos = random_pos(np.random.default_rng(3), 5, 6)
    before = pos.copy()
    labels = run_bfs(sf, np.full((5, 6), 9), pos, np.zeros((0, 2)))
    assert not labels.any()
    np.testing.assert_array_equal(pos, before)


def test_seed_with_a_low_count_is_labelled_but_grows_only_into_counts_above_two(sf):
    hist = np.array([[0, 2, 3, 3],
                     [2, 1, 2, 0],
                     [0, 3, 0, 0]])
    pos = np.ones((2, 3, 4), np.int16)
    labels = run_bfs(sf, hist, pos, [[1, 1]])
    expected = np.array([[0, 0, 1, 1],
                         [0, 1, 0, 0],
                         [0, 1, 0, 0]], np.uint32)
    np.testing.assert_array_equal(labels, expected)
    # Every taken pixel is settled, all others keep their displacement.
    np.testing.assert_array_equal(pos[0] == 0, expected != 0)
    np.testing.assert_array_equal(pos[1] == 0, expected != 0)


def test_growth_is_eight_connected(sf):
    hist = np.eye(5, dtype=np.uint8) * 5
    labels = run_bfs(sf, hist, np.ones((2, 5, 5), np.int16), [[0, 0]])
    np.testing.assert_array_equal(labels, np.eye(5, dtype=np.uint32))


def test_seed_inside_an_earlier_region_is_skipped_leaving_a_gap(sf):
    hist = np.zeros((3, 7), np.uint8)
    hist[:, :3] = 5
    hist[:, 5:] = 5
    labels = run_bfs(sf, hist, np.ones((2, 3, 7), np.int16), [[0, 0], [2, 2], [1, 6]])
    expected = np.zeros((3, 7), np.uint32)
    expected[:, :3] = 1
    expected[:, 5:] = 3
    np.testing.assert_array_equal(labels, expected)


def test_later_region_takes_over_through_counts_above_two(sf):
    # Both seeds sit on count 0, so neither region can enter the other's seed pixel. Region 1
    # grows over everything else; seed 2 then takes it over through the count-3 bridge.
    hist = np.full((3, 7), 5, np.uint8)
    hist[:, 5] = [0, 3, 0]
    hist[1, 0] = hist[1, 6] = 0
    labels = run_bfs(sf, hist, np.ones((2, 3, 7), np.int16), [[1, 0], [1, 6]])
    expected = np.full((3, 7), 2, np.uint32)
    expected[1, 0] = 1
    expected[0, 5] = expected[2, 5] = 0
    np.testing.assert_array_equal(labels, expected)


def test_low_count_border_stops_the_take_over(sf):
    hist = np.full((3, 7), 5, np.uint8)
    hist[:, 3] = 2
    labels = run_bfs(sf, hist, np.ones((2, 3, 7), np.int16), [[0, 0], [0, 6]])
    expected = np.zeros((3, 7), np.uint32)
    expected[:, :3] = 1
    expected[:, 4:] = 2
    np.testing.assert_array_equal(labels, expected)


@pytest.mark.parametrize("channels", [1, 2, 3])
def test_bfs_settles_every_channel(sf, channels):
    pos = np.full((channels, 2, 3), 7, np.int16)
    hist = np.array([[5, 5, 0], [0, 0, 0]])
    run_bfs(sf, hist, pos, [[0, 0]])
    expected = np.full((channels, 2, 3), 7, np.int16)
    expected[:, 0, :2] = 0
    np.testing.assert_array_equal(pos, expected)


def test_bfs_asserts_seed_pairs(sf):
    with pytest.raises(AssertionError) as excinfo:
        sf.bfs(np.zeros((3, 3), np.uint8), np.zeros((2, 3, 3), np.int16), np.zeros((1, 3), np.uint32))
    assert raised_at(excinfo) == (SOURCE, "bfs", 144)


@pytest.mark.parametrize("hist_shape", [(3, 4), (4, 3), (2, 3)])
def test_bfs_asserts_matching_count_map(sf, hist_shape):
    with pytest.raises(AssertionError) as excinfo:
        sf.bfs(np.zeros(hist_shape, np.uint8), np.zeros((2, 3, 3), np.int16), np.zeros((0, 2), np.uint32))
    assert raised_at(excinfo) == (SOURCE, "bfs", 146)


@pytest.mark.parametrize("seed", [(3, 0), (0, 4), (5, 9), (4294967295, 0)])
def test_bfs_refuses_seeds_outside_the_image(sf, seed):
    with pytest.raises(ValueError, match="seed coordinates"):
        run_bfs(sf, np.full((3, 4), 5), np.zeros((2, 3, 4), np.int16), [[0, 0], seed])


@pytest.mark.parametrize("ly, lx", SIZES + [(30, 40)])
@pytest.mark.parametrize("seed", [0, 1, 2])
def test_bfs_matches_reference(sf, ly, lx, seed):
    rng = np.random.default_rng(seed)
    hist = rng.choice(np.array([0, 1, 2, 3, 4, 9], np.uint8), size=(ly, lx), p=[.2, .1, .1, .2, .2, .2])
    pos = random_pos(rng, ly, lx)
    k = int(rng.integers(0, 3 + ly * lx // 10))
    # Duplicates and seeds inside earlier regions are part of the test.
    seeds = np.stack([rng.integers(0, ly, k), rng.integers(0, lx, k)], axis=1).astype(np.uint32)
    expected_labels, expected_pos = ref.bfs(hist, pos, seeds)
    labels = sf.bfs(hist, pos, seeds)
    np.testing.assert_array_equal(labels, expected_labels)
    np.testing.assert_array_equal(pos, expected_pos)


# ---------------------------------------------------------------------------------------------
# extend_seed

def test_extend_seed_hands_on_labels_of_settled_targets_only(sf):
    #  pixel      points at                  outcome
    #  (0, 0)     (0, 2), settled, label 5   takes 5
    #  (0, 1)     (1, 1), settled, label 0   stays 0
    #  (1, 0)     (0, 0), moving             stays 0: labels do not chain
    #  (1, 2)     (0, 2), but labelled 7     keeps 7
    masks = np.array([[0, 0, 5], [0, 0, 7]], np.uint32)
    pos = np.zeros((2, 2, 3), np.int16)
    pos[:, 0, 0] = 0, 2
    pos[:, 0, 1] = 1, 0
    pos[:, 1, 0] = -1, 0
    pos[:, 1, 2] = -1, 0
    sf.extend_seed(masks, pos)
    np.testing.assert_array_equal(masks, [[5, 0, 5], [0, 0, 7]])


def test_extend_seed_does_not_chain_in_scan_order(sf):
    # (0, 1) points at (0, 0), which would take label 3 from (0, 2) earlier in the same pass;
    # (0, 0) is still moving, so (0, 1) stays 0.
    masks = np.array([[0, 0, 3]], np.uint32)
    pos = np.zeros((2, 1, 3), np.int16)
    pos[1, 0, 0] = 2
    pos[1, 0, 1] = -1
    sf.extend_seed(masks, pos)
    np.testing.assert_array_equal(masks, [[3, 0, 3]])


def test_extend_seed_follows_negative_targets_from_the_end(sf):
    masks = np.array([[0, 0, 0], [0, 0, 4]], np.uint32)
    pos = np.zeros((2, 2, 3), np.int16)
    pos[:, 0, 0] = -1, -1  # (-1, -1) is (1, 2)
    assert sf.extend_seed(masks, pos) is None
    np.testing.assert_array_equal(masks, [[4, 0, 0], [0, 0, 4]])


@pytest.mark.parametrize("masks_shape, channels", [((3, 5), 2), ((4, 4), 2), ((4, 5), 3), ((4, 5), 1)])
def test_extend_seed_asserts_matching_shapes(sf, masks_shape, channels):
    with pytest.raises(AssertionError) as excinfo:
        sf.extend_seed(np.zeros(masks_shape, np.uint32), np.zeros((channels, 4, 5), np.int16))
    assert raised_at(excinfo) == (SOURCE, "extend_seed", 182)


def test_extend_seed_ignores_targets_of_labelled_pixels(sf):
    masks = np.array([[1, 0]], np.uint32)
    pos = np.zeros((2, 1, 2), np.int16)
    pos[:, 0, 0] = 50, 50  # never read: the pixel already has a label
    sf.extend_seed(masks, pos)
    np.testing.assert_array_equal(masks, [[1, 0]])


@pytest.mark.parametrize("dy, dx", [(2, 0), (0, 2), (-4, 0), (0, -5)])
def test_extend_seed_refuses_targets_outside_the_image(sf, dy, dx):
    masks = np.array([[0, 0, 1], [0, 0, 0]], np.uint32)
    pos = np.zeros((2, 2, 3), np.int16)
    pos[:, 0, 0] = 0, 2
    pos[:, 1, 1] = dy, dx
    with pytest.raises(ValueError, match="outside the image"):
        sf.extend_seed(masks, pos)


@pytest.mark.parametrize("ly, lx", SIZES)
@pytest.mark.parametrize("seed", [0, 1, 2])
def test_extend_seed_matches_reference(sf, ly, lx, seed):
    rng = np.random.default_rng(seed)
    pos = random_pos(rng, ly, lx, settled=0.4)
    masks = np.where(rng.random((ly, lx)) < 0.5, rng.integers(1, 6, (ly, lx)), 0).astype(np.uint32)
    expected = ref.extend_seed(masks, pos)
    sf.extend_seed(masks, pos)
    np.testing.assert_array_equal(masks, expected)
