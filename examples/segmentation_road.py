"""The whole segmentation road of sarvo_functions, shared by the demo, the Dask example and the tests.

    label mask -> object boxes -> _masks_to_flow -> float32 flow -> _steps2D_all
    -> int16 displacements -> p_histogram -> find_seeds -> bfs -> extend_seed -> fill_holes
    -> cut to the foreground -> renumbering

Besides the road itself: a synthetic label mask of touching, irregular cells, the object boxes of
a mask, IoU matching of two masks, per-object flow errors and a reader for label-mask files.
Needs only NumPy; reading .tif or .png files needs tifffile or Pillow.
"""
from __future__ import annotations

import pathlib
import time
from dataclasses import dataclass, field
from typing import Any, Callable

import numpy as np
from numpy.typing import NDArray

import sarvo_functions as sf

Progress = Callable[[str], None]

# _steps2D_all reaches 200 unit steps in four composition rounds.
DEFAULT_STEPS = 200
# Half of the diffusion iterations come from the closed form: the flows stay smooth and the
# diffusion costs well under half as much.
DEFAULT_APPROX_FRAC = 0.5


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


def relabel_consecutive(labels: NDArray[Any]) -> NDArray[np.uint32]:
    """Labels 1 … n in the order of their old values; 0 stays background."""
    values, inverse = np.unique(labels, return_inverse=True)
    new = np.arange(len(values), dtype=np.uint32) + (0 if values[0] == 0 else 1)
    return new[inverse].reshape(labels.shape).astype(np.uint32)


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
# Boxes, the road, matching

def boxes_of(masks: NDArray[np.uint32]) -> NDArray[np.int32]:
    """Object boxes (nobj, 2, 2) int32 for labels 1 … masks.max(): entry k is
    [[y0, y1], [x0, x1]], the half-open bounding box of label k + 1. An absent label gets
    [[0, 0], [0, 0]], whose equal row bounds make every kernel skip it."""
    nobj = int(masks.max()) if masks.size else 0
    boxes = np.zeros((nobj, 2, 2), dtype=np.int32)
    flat = masks.ravel()
    where = np.flatnonzero(flat)
    if where.size == 0:
        return boxes
    lab = flat[where]
    order = np.argsort(lab, kind="stable")
    lab, where = lab[order], where[order]
    ys, xs = np.divmod(where, masks.shape[1])
    starts = np.flatnonzero(np.r_[True, lab[1:] != lab[:-1]])
    k = lab[starts].astype(np.intp) - 1
    boxes[k, 0, 0] = np.minimum.reduceat(ys, starts)
    boxes[k, 0, 1] = np.maximum.reduceat(ys, starts) + 1
    boxes[k, 1, 0] = np.minimum.reduceat(xs, starts)
    boxes[k, 1, 1] = np.maximum.reduceat(xs, starts) + 1
    return boxes


@dataclass
class Stopwatch:
    """Wall time per named stage, in the order the stages ran; tells `progress` as each starts."""
    progress: Progress | None = None
    seconds: dict[str, float] = field(default_factory=dict)
    _name: str | None = None
    _t0: float = 0.0

    def stage(self, name: str) -> None:
        self.stop()
        if self.progress is not None:
            self.progress(name)
        self._name, self._t0 = name, time.perf_counter()

    def stop(self) -> None:
        if self._name is not None:
            self.seconds[self._name] = self.seconds.get(self._name, 0.0) + time.perf_counter() - self._t0
            self._name = None


@dataclass
class RoadResult:
    """Every intermediate of one run of the road, for pictures and checks."""
    flow: NDArray[np.float32]      # (2, Ly, Lx) unit vectors towards each object's centre
    disp: NDArray[np.float32]      # (2, Ly, Lx) where each pixel ends, as an offset
    hist: NDArray[np.uint8]        # (Ly, Lx) how many pixels end on each pixel
    seeds: NDArray[np.uint32]      # (K, 2) local maxima of hist
    masks: NDArray[np.uint32]      # (Ly, Lx) the rebuilt labels 1 … n
    seconds: dict[str, float]      # wall time per stage


def flows_of(masks: NDArray[np.uint32], approx_frac: float = DEFAULT_APPROX_FRAC,
             watch: Stopwatch | None = None) -> NDArray[np.float32]:
    """The float32 diffusion flow (2, Ly, Lx) of a label mask whose labels are 1 … n."""
    watch = watch or Stopwatch()
    watch.stage("boxes")
    boxes = boxes_of(masks)
    watch.stage("_masks_to_flow")
    flow64 = sf._masks_to_flow(masks, boxes, approx_frac)
    watch.stage("to float32")
    flow = flow64.astype(np.float32)
    watch.stop()
    return flow


def masks_from_flow(flow: NDArray[np.float32], foreground: NDArray[np.bool_], n_steps: int = DEFAULT_STEPS,
                    watch: Stopwatch | None = None) -> RoadResult:
    """Rebuilds a label mask from a flow field and a foreground: follow the flow, count where
    pixels end, grow one region per well-populated sink and clean up. `flow` is not changed."""
    watch = watch or Stopwatch()
    watch.stage("_steps2D_all")
    # _steps2D_all may hand back its own input, overwritten with displacements: give it a copy.
    disp = sf._steps2D_all(flow.copy(), n_steps, True)
    watch.stage("round to int16")
    pos = np.rint(disp).astype(np.int16)
    watch.stage("p_histogram")
    hist = sf.p_histogram(pos, foreground)
    watch.stage("find_seeds")
    seeds = sf.find_seeds(hist)
    watch.stage("bfs")
    labels = sf.bfs(hist, pos, seeds)          # also settles the grown pixels in pos
    watch.stage("extend_seed")
    sf.extend_seed(labels, pos)
    watch.stage("fill_holes")
    labels = sf.fill_holes(labels)
    watch.stage("cut to foreground")
    labels[~foreground] = 0
    watch.stage("renumbering")
    flat = labels.reshape(-1)                  # a view: renumbering works in place
    sf.renumbering(flat, 0)
    watch.stop()
    return RoadResult(flow=flow, disp=disp, hist=hist, seeds=seeds, masks=labels, seconds=watch.seconds)


def segment(masks: NDArray[np.uint32], n_steps: int = DEFAULT_STEPS, approx_frac: float = DEFAULT_APPROX_FRAC,
            progress: Progress | None = None) -> RoadResult:
    """The whole road: the flows of `masks`, followed back into a rebuilt label mask."""
    watch = Stopwatch(progress)
    flow = flows_of(masks, approx_frac, watch)
    return masks_from_flow(flow, masks > 0, n_steps, watch)


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


def flow_errors(masks: NDArray[np.uint32], flow: NDArray[np.float32], min_size: int = 15,
                approx_frac: float = DEFAULT_APPROX_FRAC) -> tuple[NDArray[np.float64], NDArray[np.uint32]]:
    """Per object of `masks`: the mean squared difference between `flow` and the object's own
    diffusion flow, and its size. Objects under `min_size` pixels score +inf."""
    return sf.compute_flow_error_cell_size(masks, flow, boxes_of(masks), min_size, approx_frac)


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
