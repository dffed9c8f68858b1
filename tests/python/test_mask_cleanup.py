"""Mask clean-up and renumbering: fill_holes, renum_masks, renumbering."""
import numpy as np
import pytest

import reference_masks as ref

SIZES = [(1, 1), (1, 9), (9, 1), (6, 7), (23, 31)]


def u32(rows):
    return np.array(rows, dtype=np.uint32)


def random_labels(rng, ly, lx, background=0.5, nlabels=6):
    labels = rng.integers(1, nlabels + 1, (ly, lx))
    return np.where(rng.random((ly, lx)) < background, 0, labels).astype(np.uint32)


# ---------------------------------------------------------------------------------------------
# fill_holes

FILL_CASES = {
    "one-pixel hole takes the surrounding label": (
        [[3, 3, 3], [3, 0, 3], [3, 3, 3]],
        [[3, 3, 3], [3, 3, 3], [3, 3, 3]]),
    "hole takes the label above, not the one below": (
        [[1, 1, 1], [1, 0, 2], [2, 2, 2]],
        [[1, 1, 1], [1, 1, 2], [2, 2, 2]]),
    "labels run down the columns of an enclosed area": (
        [[1, 2, 3, 4, 5], [6, 0, 0, 0, 7], [6, 0, 0, 0, 7], [6, 8, 8, 8, 7]],
        [[1, 2, 3, 4, 5], [6, 2, 3, 4, 7], [6, 2, 3, 4, 7], [6, 8, 8, 8, 7]]),
    "ring in a 5 x 5 image": (
        [[0, 0, 0, 0, 0], [0, 1, 1, 1, 0], [0, 1, 0, 1, 0], [0, 1, 1, 1, 0], [0, 0, 0, 0, 0]],
        [[0, 1, 1, 1, 1], [1, 1, 1, 1, 1], [1, 1, 1, 1, 1], [1, 1, 1, 1, 1], [1, 1, 1, 1, 1]]),
    "single labelled pixel in a 3 x 4 image": (
        [[0, 0, 0, 0], [0, 1, 0, 0], [0, 0, 0, 0]],
        [[0, 1, 1, 1], [1, 1, 1, 1], [1, 1, 1, 1]]),
    "no labels": ([[0, 0], [0, 0]], [[0, 0], [0, 0]]),
    "no zeros": ([[4, 2], [7, 4]], [[4, 2], [7, 4]]),
}


@pytest.mark.parametrize("before, after", FILL_CASES.values(), ids=FILL_CASES.keys())
def test_fill_holes_examples(sf, before, after):
    masks = u32(before)
    out = sf.fill_holes(masks)
    assert out is masks
    np.testing.assert_array_equal(masks, u32(after))


@pytest.mark.parametrize("shape", [(0, 0), (0, 4), (3, 0)])
def test_fill_holes_accepts_empty_masks(sf, shape):
    masks = np.zeros(shape, np.uint32)
    assert sf.fill_holes(masks) is masks


@pytest.mark.parametrize("ly, lx", SIZES + [(64, 48)])
@pytest.mark.parametrize("background", [0.2, 0.6, 0.95])
@pytest.mark.parametrize("seed", [0, 1])
def test_fill_holes_matches_reference(sf, ly, lx, background, seed):
    masks = random_labels(np.random.default_rng(seed), ly, lx, background)
    expected = ref.fill_holes(masks)
    sf.fill_holes(masks)
    np.testing.assert_array_equal(masks, expected)


# ---------------------------------------------------------------------------------------------
# renum_masks

def test_renum_masks_without_flags_changes_nothing(sf):
    masks = u32([[0, 1, 2], [3, 3, 0]])
    assert sf.renum_masks(masks, np.zeros(3, bool)) is None
    np.testing.assert_array_equal(masks, u32([[0, 1, 2], [3, 3, 0]]))


def test_renum_masks_removing_label_one_shifts_the_others_down(sf):
    masks = u32([[0, 1, 2], [3, 4, 1]])
    sf.renum_masks(masks, np.array([True, False, False, False, False]))
    np.testing.assert_array_equal(masks, u32([[0, 0, 1], [2, 3, 0]]))


@pytest.mark.parametrize("remove, expected", [
    ([False, True, False, True], [[0, 1, 0], [2, 0, 1]]),
    ([True, True, True, True], [[0, 0, 0], [0, 0, 0]]),
    ([False, False, True, False, True, True], [[0, 1, 2], [0, 3, 1]]),
])
def test_renum_masks_keeps_the_old_order(sf, remove, expected):
    masks = u32([[0, 1, 2], [3, 4, 1]])
    sf.renum_masks(masks, np.array(remove))
    np.testing.assert_array_equal(masks, u32(expected))


@pytest.mark.parametrize("length", [0, 2, 3])
def test_renum_masks_refuses_labels_beyond_remove(sf, length):
    masks = u32([[0, 1], [4, 2]])
    with pytest.raises(ValueError, match="larger than the length of remove"):
        sf.renum_masks(masks, np.zeros(length, bool))


@pytest.mark.parametrize("ly, lx", SIZES)
@pytest.mark.parametrize("seed", [0, 1, 2])
def test_renum_masks_matches_reference(sf, ly, lx, seed):
    rng = np.random.default_rng(seed)
    masks = random_labels(rng, ly, lx, 0.3, nlabels=9)
    remove = rng.random(9 + int(rng.integers(0, 3))) < 0.4
    expected = ref.renum_masks(masks, remove)
    sf.renum_masks(masks, remove)
    np.testing.assert_array_equal(masks, expected)


# ---------------------------------------------------------------------------------------------
# renumbering

RENUMBERING_CASES = {
    "all labels at most 40 %": ([0, 0, 1, 1, 2, 3, 3, 3], 0, [0, 0, 1, 1, 2, 3, 3, 3]),
    "label above 40 % is dropped": ([1, 1, 1, 1, 1, 2, 0, 0, 0, 0], 0, [0, 0, 0, 0, 0, 1, 0, 0, 0, 0]),
    "label at exactly 40 % survives": ([3, 3, 3, 3, 5, 0, 0, 0, 0, 0], 0, [1, 1, 1, 1, 2, 0, 0, 0, 0, 0]),
    "gaps close up": ([0, 5, 9, 0, 5, 9, 0, 9], 0, [0, 1, 2, 0, 1, 2, 0, 2]),
    "a large min_labels changes nothing": ([0, 5, 9, 0, 5, 9, 0, 9], 50, [0, 1, 2, 0, 1, 2, 0, 2]),
    "background is never renumbered": ([0, 0, 0, 0, 0, 0, 2, 2], 0, [0, 0, 0, 0, 0, 0, 1, 1]),
    "a lone label is the whole array": ([7], 0, [0]),
    "empty": ([], 0, []),
    "empty with min_labels": ([], 4, []),
    # Tables far longer than the array: the sorted table gives the same numbers.
    "labels near 2**32": ([0, 2**32 - 1, 2**31, 2**31, 5, 2**32 - 1, 0, 9], 0, [0, 4, 3, 3, 1, 4, 0, 2]),
    "a huge label on 40 %": ([0, 3, 4000000000, 4000000000, 0], 0, [0, 1, 2, 2, 0]),
    "a huge label above 40 %": ([7, 4000000000, 4000000000, 4000000000, 0], 0, [1, 0, 0, 0, 0]),
    "the largest min_labels": ([0, 5, 9, 0, 5, 9, 0, 9], 2**32 - 1, [0, 1, 2, 0, 1, 2, 0, 2]),
}


@pytest.mark.parametrize("labels, min_labels, expected", RENUMBERING_CASES.values(), ids=RENUMBERING_CASES.keys())
def test_renumbering_examples(sf, labels, min_labels, expected):
    arr = u32(labels)
    assert sf.renumbering(arr, min_labels) is None
    np.testing.assert_array_equal(arr, u32(expected))


@pytest.mark.parametrize("n", [1, 2, 5, 10, 37, 200])
@pytest.mark.parametrize("seed", [0, 1, 2])
def test_renumbering_matches_reference(sf, n, seed):
    rng = np.random.default_rng(seed)
    # Few labels over few entries, so that some labels exceed 40 % and some sit on the limit.
    labels = rng.choice(np.array([0, 1, 2, 4, 8, 30], np.uint32), size=n, p=[.2, .35, .15, .1, .1, .1])
    min_labels = int(rng.integers(0, 40))
    expected = ref.renumbering(labels, min_labels)
    sf.renumbering(labels, min_labels)
    np.testing.assert_array_equal(labels, expected)


@pytest.mark.parametrize("n", [1, 9, 1000, 70000])
@pytest.mark.parametrize("seed", [0, 1])
def test_renumbering_sorted_table_matches_dense_table(sf, n, seed):
    # The same labels, spread by a factor that pushes the largest far beyond the array's length,
    # take the sorted table; unspread they take the dense one. The numbers must agree.
    rng = np.random.default_rng(seed)
    small = rng.choice(np.arange(40, dtype=np.uint32), size=n, p=np.r_[.3, .3, np.full(38, .4 / 38)])
    spread = small * np.uint32(100_000_000)
    dense, sparse, huge_min = small.copy(), spread.copy(), small.copy()
    sf.renumbering(dense, 0)
    sf.renumbering(sparse, 0)
    sf.renumbering(huge_min, 2**32 - 1)
    np.testing.assert_array_equal(sparse, dense)
    np.testing.assert_array_equal(huge_min, dense)
