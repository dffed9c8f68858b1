"""End to end: the flows of a label mask, followed to their sinks, give the mask back."""
import numpy as np
import pytest

from reference_flows import boxes_of

ROAD = ("_steps2D_all", "p_histogram", "find_seeds", "bfs", "extend_seed", "fill_holes", "renumbering")


@pytest.fixture(scope="module")
def road(sf):
    missing = [name for name in ROAD if not hasattr(sf, name)]
    if missing:
        pytest.skip(f"the module lacks {', '.join(missing)}")
    return sf


def convex_mask(rng, shape, spacing):
    """One rotated, slightly shifted ellipse per grid cell: a few hundred convex objects."""
    masks = np.zeros(shape, dtype=np.uint32)
    yy, xx = np.mgrid[:shape[0], :shape[1]]
    label = 0
    for cy in range(spacing // 2, shape[0] - spacing // 2, spacing):
        for cx in range(spacing // 2, shape[1] - spacing // 2, spacing):
            label += 1
            a, b = rng.uniform(0.25 * spacing, 0.47 * spacing, 2)
            turn = rng.uniform(0, np.pi)
            oy, ox = rng.uniform(-1, 1, 2)
            u = (yy - cy - oy) * np.cos(turn) + (xx - cx - ox) * np.sin(turn)
            v = -(yy - cy - oy) * np.sin(turn) + (xx - cx - ox) * np.cos(turn)
            masks[(u / a) ** 2 + (v / b) ** 2 <= 1] = label
    return masks


def reconstruct(sf, masks, approx_frac):
    flow = sf._masks_to_flow(masks, boxes_of(masks), approx_frac).astype(np.float32)
    disp = sf._steps2D_all(flow, 200, True)
    pos = np.rint(disp).astype(np.int16)
    hist = sf.p_histogram(pos, masks > 0)
    labels = sf.bfs(hist, pos, sf.find_seeds(hist))
    sf.extend_seed(labels, pos)
    labels = sf.fill_holes(labels)
    labels[masks == 0] = 0
    flat = labels.reshape(-1)
    sf.renumbering(flat, 0)
    return flat.reshape(masks.shape)


def best_match_iou(truth, found):
    """Per true object, the IoU with the found label that covers most of it."""
    ious = []
    for k in range(1, int(truth.max()) + 1):
        obj = truth == k
        votes = np.bincount(found[obj])
        votes[0] = 0
        if votes.max() == 0:
            ious.append(0.0)
            continue
        pred = found == votes.argmax()
        ious.append((obj & pred).sum() / (obj | pred).sum())
    return np.array(ious)


@pytest.mark.parametrize("seed, approx_frac", [(0, 0.5), (1, 0.0), (2, 1.0)])
def test_following_the_flows_reconstructs_the_objects(road, seed, approx_frac):
    masks = convex_mask(np.random.default_rng(seed), (320, 330), 18)
    assert masks.max() >= 250
    found = reconstruct(road, masks, approx_frac)
    ious = best_match_iou(masks, found)
    assert ious.mean() > 0.95
    # No object is merged with a neighbour: every found label lies inside one true object.
    pairs = np.unique(np.stack([found[found > 0], masks[found > 0]]), axis=1)
    assert len(np.unique(pairs[0])) == pairs.shape[1]
