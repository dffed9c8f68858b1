"""The whole road from a label mask back to a label mask, once with the kernels and once with
NumPy, SciPy and scikit-image: flows from the mask, flow following, end-point histogram, seeds,
growth, extension, hole filling, renumbering."""
import pathlib
import sys

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests" / "python"))

import numpy_baselines as nb  # noqa: E402
import reference_flow_following as ref_flow  # noqa: E402

N_STEPS = 200
APPROX_FRAC = 0.5


def ours(sf, masks, slices):
    flow = sf._masks_to_flow(masks, slices, APPROX_FRAC).astype(np.float32)
    disp = sf._steps2D_all(flow, N_STEPS, True)
    pos = np.rint(disp).astype(np.int16)
    hist = sf.p_histogram(pos, masks > 0)
    labels = sf.bfs(hist, pos, sf.find_seeds(hist))
    sf.extend_seed(labels, pos)
    labels = sf.fill_holes(labels)
    labels[masks == 0] = 0
    flat = labels.reshape(-1)
    sf.renumbering(flat, 0)
    return labels


def numpy_road(masks, slices):
    flow = nb.masks_to_flow(masks, slices, APPROX_FRAC).astype(np.float32)
    disp = ref_flow.steps2d_all(flow, N_STEPS, True)
    pos = np.rint(disp).astype(np.int16)
    hist = nb.p_histogram(pos, masks > 0)
    labels = nb.bfs(hist, pos, nb.find_seeds(hist))
    nb.extend_seed(labels, pos)
    labels = nb.fill_holes(labels)
    labels[masks == 0] = 0
    flat = labels.reshape(-1)
    nb.renumbering(flat, 0)
    return labels


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
