"""Masks from end points, end to end, and bad input that must leave the caller's arrays alone."""
import numpy as np
import pytest
from scipy import ndimage
from scipy.spatial import cKDTree


def touching_objects(seed, ly=240, lx=240, spacing=12, jitter=2, radius=7):
    """A label mask of a few hundred touching cells: the Voronoi cells of jittered grid points,
    cut to a disc around each point, so that small background pockets lie between the cells.
    Returns the mask and the (row, column) of each object's site, a pixel of that object."""
    rng = np.random.default_rng(seed)
    gy, gx = np.mgrid[spacing // 2:ly:spacing, spacing // 2:lx:spacing]
    sites = np.stack([gy.ravel(), gx.ravel()], axis=1)
    sites = np.clip(sites + rng.integers(-jitter, jitter + 1, sites.shape), 0, [ly - 1, lx - 1])
    yy, xx = np.mgrid[0:ly, 0:lx]
    distance, nearest = cKDTree(sites).query(np.stack([yy.ravel(), xx.ravel()], axis=1))
    masks = (nearest + 1).astype(np.uint32).reshape(ly, lx)
    masks[distance.reshape(ly, lx) > radius] = 0
    return masks, sites


def same_partition(a, b):
    """True when a and b have the same zero pixels and the same split of the others."""
    if not np.array_equal(a == 0, b == 0):
        return False
    pairs = np.unique(np.stack([a[a > 0], b[b > 0]], axis=1), axis=0)
    return len(np.unique(pairs[:, 0])) == len(pairs) == len(np.unique(pairs[:, 1]))


@pytest.mark.parametrize("seed", [0, 1, 2])
def test_objects_come_back_from_displacements_to_their_centres(sf, seed):
    truth, sites = touching_objects(seed)
    nobj = len(sites)
    assert nobj >= 300
    ly, lx = truth.shape

    # Every object pixel points at its object's site; background pixels stay settled.
    yy, xx = np.mgrid[0:ly, 0:lx]
    fg = truth > 0
    site = sites[truth.astype(np.int64) - 1]
    pos = np.zeros((2, ly, lx), np.int16)
    pos[0][fg] = (site[..., 0] - yy)[fg]
    pos[1][fg] = (site[..., 1] - xx)[fg]

    hist = sf.p_histogram(pos, fg)
    seeds = sf.find_seeds(hist)
    assert len(seeds) == nobj
    masks = sf.bfs(hist, pos, seeds)
    sf.extend_seed(masks, pos)
    zero_areas, _ = ndimage.label(masks == 0)
    assert sf.fill_holes(masks) is masks
    # Every zero area, background included, is filled; only an area that reaches the top row
    # can keep the pixels its walk popped before any neighbour was labelled.
    left = np.unique(zero_areas[masks == 0])
    assert set(left.tolist()) <= set(zero_areas[0].tolist()) - {0}
    flat = masks.ravel()
    sf.renumbering(flat, 0)

    found = np.where(fg, masks, 0)
    assert same_partition(found, truth)
    assert set(np.unique(found[fg]).tolist()) == set(range(1, nobj + 1))


# ---------------------------------------------------------------------------------------------
# Rejected input leaves every array byte for byte as it was.

def bfs_seed_outside():
    hist = np.full((4, 5), 9, np.uint8)
    pos = np.ones((2, 4, 5), np.int16)
    # The first seed is fine; refusing only at the second would already have settled pos.
    seeds = np.array([[0, 0], [4, 1]], np.uint32)
    return "bfs", (hist, pos, seeds), ValueError


def bfs_count_map_mismatch():
    return "bfs", (np.full((4, 4), 9, np.uint8), np.ones((2, 4, 5), np.int16),
                   np.array([[0, 0]], np.uint32)), AssertionError


def bfs_seed_triples():
    return "bfs", (np.full((4, 5), 9, np.uint8), np.ones((2, 4, 5), np.int16),
                   np.array([[0, 0, 0]], np.uint32)), AssertionError


def extend_seed_target_outside():
    masks = np.array([[0, 0, 0, 3], [0, 0, 0, 0]], np.uint32)
    pos = np.zeros((2, 2, 4), np.int16)
    pos[:, 0, 0] = 0, 3      # would take label 3
    pos[:, 1, 3] = 0, 1      # points one column past the image
    return "extend_seed", (masks, pos), ValueError


def extend_seed_target_beyond_the_wrap():
    masks = np.array([[0, 0, 0, 3], [0, 0, 0, 0]], np.uint32)
    pos = np.zeros((2, 2, 4), np.int16)
    pos[:, 0, 0] = 0, 3
    pos[:, 1, 1] = -4, 0     # row -3: more than once from the end
    return "extend_seed", (masks, pos), ValueError


def renum_masks_label_beyond_remove():
    masks = np.array([[1, 2, 0], [3, 2, 1]], np.uint32)
    return "renum_masks", (masks, np.array([True, False])), ValueError


REJECTIONS = [bfs_seed_outside, bfs_count_map_mismatch, bfs_seed_triples, extend_seed_target_outside,
              extend_seed_target_beyond_the_wrap, renum_masks_label_beyond_remove]


@pytest.mark.parametrize("case", REJECTIONS, ids=[c.__name__ for c in REJECTIONS])
def test_rejected_input_leaves_arrays_unchanged(sf, case):
    name, args, error = case()
    before = [a.tobytes() for a in args]
    with pytest.raises(error):
        getattr(sf, name)(*args)
    assert [a.tobytes() for a in args] == before
