"""How well one label mask reproduces another (IoU matching), and per-object flow errors."""
from __future__ import annotations

from dataclasses import dataclass

import numpy as np
from numpy.typing import ArrayLike, NDArray

import sarvo_functions as sf

from ._checks import check_count, check_flow, check_labels
from ._labels import boxes_of
from ._road import DEFAULT_APPROX_FRAC


def overlaps(truth: NDArray[np.uint32], found: NDArray[np.uint32]
             ) -> tuple[NDArray[np.int64], NDArray[np.int64], NDArray[np.float64]]:
    """Every pair (true label, found label) of two masks that shares pixels, with its IoU."""
    if truth.shape != found.shape:
        raise ValueError(f"masks of different shapes: {truth.shape} and {found.shape}")
    t = truth.ravel().astype(np.int64)
    f = found.ravel().astype(np.int64)
    nf = int(f.max(initial=0))
    area_t = np.bincount(t)
    area_f = np.bincount(f, minlength=nf + 1)
    both = (t > 0) & (f > 0)
    pairs, inter = np.unique(t[both] * (nf + 1) + f[both], return_counts=True)
    pt, pf = np.divmod(pairs, nf + 1)
    return pt, pf, inter / (area_t[pt] + area_f[pf] - inter)


@dataclass
class Matching:
    """How well the objects of `found` reproduce those of `truth`."""
    n_true: int
    n_found: int
    matched_true: NDArray[np.int64]   # labels of the matched pairs, one to one
    matched_found: NDArray[np.int64]
    mean_iou: float                   # over the matched pairs; 0 when none match
    best_iou: NDArray[np.float64]     # per true object, its best IoU with any found object

    @property
    def n_matched(self) -> int:
        return len(self.matched_true)


def match(truth: NDArray[np.uint32], found: NDArray[np.uint32], threshold: float = 0.5) -> Matching:
    """IoU matching of two label masks of the same shape: pairs whose IoU exceeds `threshold`.
    A threshold of at least 0.5 makes the matching one to one, since two objects that each
    cover more than half of their union cannot share a partner."""
    if threshold < 0.5:
        raise ValueError("the IoU threshold must be at least 0.5")
    pt, pf, iou = overlaps(truth, found)
    present_t = np.unique(truth[truth > 0]).astype(np.int64)
    best = np.zeros(int(truth.max(initial=0)) + 1)
    np.maximum.at(best, pt, iou)
    good = iou > threshold
    return Matching(n_true=len(present_t), n_found=len(np.unique(found[found > 0])),
                    matched_true=pt[good], matched_found=pf[good],
                    mean_iou=float(iou[good].mean()) if good.any() else 0.0, best_iou=best[present_t])


def flow_errors(masks: ArrayLike, flow: ArrayLike, min_size: int = 15,
                approx_frac: float = DEFAULT_APPROX_FRAC) -> tuple[NDArray[np.float64], NDArray[np.uint32]]:
    """Per object of `masks`: the mean over its pixels of the squared difference (both
    components summed) between `flow` (unit scale, any float kind) and the object's own
    diffusion flow, and its size. Objects under `min_size` pixels score +inf."""
    labels = check_labels(masks)
    field = check_flow(flow)
    if field.shape[1:] != labels.shape:
        raise ValueError(f"flow of shape {field.shape} and masks of shape {labels.shape} disagree")
    unit = np.ascontiguousarray(field, np.float32)
    return sf.compute_flow_error_cell_size(labels, unit, boxes_of(labels), check_count("min_size", min_size),
                                           approx_frac)
