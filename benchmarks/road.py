"""The whole road from a label mask back to a label mask, once with the kernels, once with
NumPy, SciPy and scikit-image, and once with the scalar transcriptions: flows from the mask,
flow following, end-point histogram, seeds, growth, extension, hole filling, renumbering."""
import pathlib
import sys
import types

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests" / "python"))

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
