"""What the demo, the Dask example and the tests share beyond the installed road: a synthetic
label mask of touching, irregular cells and a reader for label-mask files. The road itself
(`segment`, `flows_of`, `masks_from_flow`, `boxes_of`, `match`, `flow_errors`, …) comes from the
installed package `sarvo_segment` and is re-exported here. Needs only NumPy; reading .tif or
.png files needs tifffile or Pillow.
"""
from __future__ import annotations

import pathlib
from typing import Any

import numpy as np
from numpy.typing import NDArray

from sarvo_segment import (DEFAULT_APPROX_FRAC, DEFAULT_STEPS, FlowSegmentation, Matching, Progress, RoadResult,
                           StageLines, Stopwatch, boxes_of, finish_masks, flow_errors, flows_of, masks_from_flow,
                           match, overlaps, relabel_consecutive, segment)

__all__ = ["DEFAULT_APPROX_FRAC", "DEFAULT_STEPS", "FlowSegmentation", "Matching", "Progress", "RoadResult",
           "StageLines", "Stopwatch", "boxes_of", "finish_masks", "flow_errors", "flows_of", "load_mask",
           "masks_from_flow", "match", "overlaps", "predicted_looking", "predictor_noise", "predictor_shapes", "relabel_consecutive", "segment",
           "synthetic_mask"]


# ---------------------------------------------------------------------------------------------
# Synthetic label masks

def smooth_field(shape: tuple[int, int], scale: float, rng: np.random.Generator) -> NDArray[np.float64]:
    """Gaussian-filtered white noise (in the Fourier domain), rescaled to [0, 1]; `scale` is the
    filter's width in pixels, so features are a few `scale` across."""
    noise = rng.standard_normal(shape)
    fy = np.fft.fftfreq(shape[0])[:, None]
    fx = np.fft.rfftfreq(shape[1])[None, :]
    gain = np.exp(-2.0 * (np.pi * scale) ** 2 * (fy * fy + fx * fx))
    smooth = np.fft.irfft2(np.fft.rfft2(noise) * gain, s=shape)
    lo, hi = smooth.min(), smooth.max()
    return np.asarray((smooth - lo) / (hi - lo + 1e-300), dtype=np.float64)


def scatter_sites(shape: tuple[int, int], radius: NDArray[np.float64], rng: np.random.Generator,
                  tries: int = 40_000, batch: int = 512) -> NDArray[np.float64]:
    """Dart throwing: a candidate becomes a site when no site lies closer than the mean of the
    two local cell diameters, so sites are dense where `radius` is small and sparse where it is
    large. Candidates are tested against the accepted sites a batch at a time, and only the
    survivors of a batch against each other. Returns the sites, (n, 2) row and column."""
    ly, lx = shape
    cand = rng.uniform((0.0, 0.0), (ly - 1.0, lx - 1.0), size=(tries, 2))
    cand_r = radius[cand[:, 0].astype(np.intp), cand[:, 1].astype(np.intp)]
    sites = np.empty((0, 2))
    site_r = np.empty(0)
    for i in range(0, tries, batch):
        c, r = cand[i:i + batch], cand_r[i:i + batch]
        d2 = ((c[:, None, :] - sites[None, :, :]) ** 2).sum(axis=2)
        free = ~np.any(d2 < (r[:, None] + site_r[None, :]) ** 2, axis=1)
        taken: list[int] = []
        for j in np.flatnonzero(free):
            if all((c[j] - c[t]) @ (c[j] - c[t]) >= (r[j] + r[t]) ** 2 for t in taken):
                taken.append(int(j))
        if not taken:
            break                          # the plane is full: later darts would miss too
        sites = np.vstack([sites, c[taken]])
        site_r = np.concatenate([site_r, r[taken]])
    return sites


def nearest_site(wy: NDArray[np.float64], wx: NDArray[np.float64], sites: NDArray[np.float64],
                 reach: float, shift: float) -> NDArray[np.intp]:
    """Index of the site nearest to every point (wy, wx) of a grid, the first one on ties.
    Each point lies within `shift` of its grid position, so a site scans only the window of
    `reach` + `shift` around it: a point whose best site so far is within `reach` has seen
    every site that could be nearer. The rare point left farther is settled against all sites."""
    best = np.full(wy.shape, np.inf)
    owner = np.full(wy.shape, -1, dtype=np.intp)
    half = reach + shift
    for k, (sy, sx) in enumerate(sites):
        win = (slice(max(int(sy - half), 0), int(sy + half) + 2), slice(max(int(sx - half), 0), int(sx + half) + 2))
        d2 = (wy[win] - sy) ** 2 + (wx[win] - sx) ** 2
        closer = d2 < best[win]
        best[win][closer] = d2[closer]
        owner[win][closer] = k
    far = best > reach * reach
    if far.any():
        d2 = (wy[far][:, None] - sites[None, :, 0]) ** 2 + (wx[far][:, None] - sites[None, :, 1]) ** 2
        owner[far] = np.argmin(d2, axis=1)
    return owner


def largest_piece_per_label(labels: NDArray[np.int64]) -> NDArray[np.int64]:
    """Keeps the largest 4-connected piece of every label (0 is background) and clears the rest.
    Connected pieces come from min-index propagation, with pointer jumping so that the number of
    rounds grows with the log of a piece's length rather than the length."""
    ly, lx = labels.shape
    idx = np.arange(ly * lx, dtype=np.int64).reshape(ly, lx)
    comp = np.where(labels > 0, idx, -1)
    fg = labels > 0
    while True:
        best = comp.copy()
        # Propagate the smallest index across equal-label 4-neighbours.
        for a, b in (((slice(1, None), slice(None)), (slice(None, -1), slice(None))),
                     ((slice(None), slice(1, None)), (slice(None), slice(None, -1)))):
            same = fg[a] & (labels[a] == labels[b])
            np.minimum(best[a], np.where(same, comp[b], best[a]), out=best[a])
            np.minimum(best[b], np.where(same, comp[a], best[b]), out=best[b])
        flat = best.ravel()
        on = flat >= 0
        flat[on] = flat[flat[on]]          # pointer jumping: follow the root's root
        if np.array_equal(best, comp):
            break
        comp = best
    on = comp.ravel() >= 0
    roots, size = np.unique(comp.ravel()[on], return_counts=True)
    root_label = labels.ravel()[roots]
    # For each label the root with the most pixels: sort by label, then by size.
    order = np.lexsort((-size, root_label))
    first = np.r_[True, root_label[order][1:] != root_label[order][:-1]]
    keep = np.zeros(ly * lx, dtype=bool)
    keep[roots[order][first]] = True
    kept = np.zeros(ly * lx, dtype=bool)
    kept[on] = keep[comp.ravel()[on]]
    return np.where(kept.reshape(ly, lx), labels, 0)


def synthetic_mask(shape: tuple[int, int] = (384, 384), diameter: tuple[float, float] = (14.0, 40.0),
                   coverage: float = 0.75, seed: int = 0, min_pixels: int = 20) -> NDArray[np.uint32]:
    """A label mask that looks like a field of cells: a few hundred touching, irregular objects.

    Sites are scattered with a locally varying spacing (`diameter`, small to large), every pixel
    takes the label of its nearest site after a smooth warp of the plane (so cell borders bend),
    and a smooth random foreground covering about `coverage` of the image cuts the cells into
    touching clusters. Each label keeps its largest connected piece; labels below `min_pixels`
    are dropped, and the survivors are numbered 1 … n.
    """
    rng = np.random.default_rng(seed)
    ly, lx = shape
    size = smooth_field(shape, 0.2 * min(shape), rng)
    radius = 0.5 * (diameter[0] + (diameter[1] - diameter[0]) * size)
    sites = scatter_sites(shape, radius, rng)

    yy, xx = np.mgrid[0:ly, 0:lx].astype(np.float64)
    amp = 0.12 * diameter[1]
    wy = yy + amp * (2.0 * smooth_field(shape, 0.3 * diameter[0], rng) - 1.0)
    wx = xx + amp * (2.0 * smooth_field(shape, 0.3 * diameter[0], rng) - 1.0)
    # Once the darts stop landing, every point of the image lies within a diameter of a site.
    owner = nearest_site(wy, wx, sites, 1.5 * diameter[1], np.sqrt(2.0) * amp)

    ground = smooth_field(shape, 1.2 * diameter[1], rng)
    foreground = ground >= np.quantile(ground, 1.0 - coverage)
    labels = largest_piece_per_label(np.where(foreground, owner + 1, 0).astype(np.int64))
    counts = np.bincount(labels.ravel())
    labels[counts[labels] < min_pixels] = 0
    return relabel_consecutive(labels)


# ---------------------------------------------------------------------------------------------
# Files

def load_mask(path: str | pathlib.Path) -> NDArray[np.uint32]:
    """Reads a 2-D label mask from .npy, .tif/.tiff (tifffile) or .png (Pillow) and numbers its
    labels 1 … n, which the object boxes require."""
    path = pathlib.Path(path)
    suffix = path.suffix.lower()
    data: NDArray[np.generic]
    if suffix == ".npy":
        data = np.load(path, allow_pickle=False)
    elif suffix in (".tif", ".tiff"):
        try:
            import tifffile
        except ImportError:
            raise SystemExit(f"{path}: reading TIFF files needs tifffile (pip install tifffile)") from None
        data = np.asarray(tifffile.imread(path))
    elif suffix == ".png":
        try:
            from PIL import Image
        except ImportError:
            raise SystemExit(f"{path}: reading PNG files needs Pillow (pip install Pillow)") from None
        with Image.open(path) as image:
            data = np.asarray(image)
    else:
        raise SystemExit(f"{path}: expected a .npy, .tif, .tiff or .png label mask")
    data = np.squeeze(data)
    if data.ndim != 2:
        raise SystemExit(f"{path}: a label mask has two dimensions, this array has shape {data.shape}")
    if not (np.issubdtype(data.dtype, np.integer) or data.dtype == np.bool_):
        raise SystemExit(f"{path}: a label mask holds integers, this one holds {data.dtype}")
    if data.size and int(data.min()) < 0:
        raise SystemExit(f"{path}: a label mask has no negative labels")
    return np.ascontiguousarray(relabel_consecutive(data))


# ---------------------------------------------------------------------------------------------
# A predictor's output, imitated

def blur(image: NDArray[np.floating[Any]], sigma: float) -> NDArray[np.float64]:
    """Gaussian blur of width `sigma` pixels, periodic (in the Fourier domain)."""
    shape = image.shape[-2:]
    fy = np.fft.fftfreq(shape[0])[:, None]
    fx = np.fft.rfftfreq(shape[1])[None, :]
    gain = np.exp(-2.0 * (np.pi * sigma) ** 2 * (fy * fy + fx * fx))
    return np.asarray(np.fft.irfft2(np.fft.rfft2(image) * gain, s=shape), np.float64)


def predicted_looking(masks: NDArray[np.uint32], noise: float = 0.5, seed: int = 0, scale: float = 5.0,
                      speckle: float = 0.01) -> tuple[NDArray[np.float32], NDArray[np.float32]]:
    """A flow and cell-probability logits made from a label mask to look like a predictor's:
    the unit flow with blurred cell borders, plus noise of amplitude `noise` (half spatially
    correlated over a few pixels, half independent per pixel), times `scale`; logits with soft
    edges, 4 deep in a cell and -4 outside, with a `speckle` share of pixels flipped (holes in
    cells, specks outside)."""
    flow, logits = predictor_shapes(masks)
    return predictor_noise(flow, logits, np.random.default_rng(seed + 1), noise, scale, speckle)


def predictor_shapes(masks: NDArray[np.uint32]) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """The noiseless part of `predicted_looking`: the unit flow with blurred cell borders and
    soft-edged logits, 4 deep in a cell and -4 outside."""
    return blur(flows_of(masks), 1.0), 4.0 * blur(np.where(masks > 0, 1.0, -1.0), 1.5)


def predictor_noise(flow: NDArray[np.float64], logits: NDArray[np.float64], rng: np.random.Generator,
                    noise: float, scale: float, speckle: float) -> tuple[NDArray[np.float32], NDArray[np.float32]]:
    """The noisy part of `predicted_looking`, on the output of `predictor_shapes` (changed in
    place): flow noise, half correlated and half independent, the flow times `scale`, and a
    `speckle` share of logits flipped."""
    ly, lx = logits.shape
    correlated = np.stack([2.0 * smooth_field((ly, lx), 3.0, rng) - 1.0 for _ in range(2)])
    correlated /= correlated.std() + 1e-12
    flow += noise * np.sqrt(0.5) * (correlated + rng.standard_normal((2, ly, lx)))
    flipped = rng.random((ly, lx)) < speckle
    logits[flipped] = -logits[flipped]
    return (scale * flow).astype(np.float32), logits.astype(np.float32)
