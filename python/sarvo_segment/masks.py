"""masks_from_flow: label masks from a predictor's flow field and cell-probability map."""
from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Literal, overload

import numpy as np
from numpy.typing import ArrayLike, NDArray

import sarvo_functions as sf

from ._bands import row_bands
from ._checks import check_count, check_flow, check_probability, check_real
from ._labels import boxes_of, fill_enclosed_holes
from ._road import DEFAULT_APPROX_FRAC, DEFAULT_STEPS, finish_masks, grow_from_displacements
from ._timing import Progress, Stopwatch

ProbabilityKind = Literal["logits", "probability"]

# The foreground threshold when none is given: even odds, in the units of each kind.
DEFAULT_THRESHOLD: dict[str, float] = {"logits": 0.0, "probability": 0.5}
DEFAULT_FLOW_THRESHOLD = 0.4
DEFAULT_MIN_SIZE = 15


@dataclass
class FlowSegmentation:
    """What `masks_from_flow(..., details=True)` returns: the masks and every intermediate.

    Arrays are (Ly, Lx) unless stated; "grown" labels are those before quality control,
    1 … m, and index the per-mask arrays as label - 1.
    """
    masks: NDArray[np.uint32]           # the result, labels 1 … n
    foreground: NDArray[np.bool_]       # pixels whose probability exceeds the threshold
    threshold: float                    # that threshold, in the units of the probability map
    flow: NDArray[np.float32]           # (2, Ly, Lx) the flow followed: divided by flow_scale, 0 off the foreground
    displacements: NDArray[np.float32]  # (2, Ly, Lx) where each pixel ends, as an offset
    histogram: NDArray[np.uint8]        # how many foreground pixels end on each pixel (saturating at 255)
    seeds: NDArray[np.uint32]           # (K, 2) rows and columns of the sinks that grew masks
    grown: NDArray[np.uint32]           # the labels before quality control, 1 … m
    errors: NDArray[np.float64]         # (m,) mean squared flow error per grown mask, +inf under min_size
    sizes: NDArray[np.uint32]           # (m,) pixels per grown mask
    removed_small: NDArray[np.int64]    # grown labels removed for having fewer than min_size pixels
    removed_flow: NDArray[np.int64]     # grown labels removed for a flow error above flow_threshold
    kept: NDArray[np.int64]             # grown labels kept: label k + 1 of `masks` is kept[k]
    holes_filled: int                   # pixels that hole filling gave to a mask
    seconds: dict[str, float]           # wall time per stage

    @property
    def n_cells(self) -> int:
        return len(self.kept)


@overload
def masks_from_flow(flow: ArrayLike, probability: ArrayLike, *, probability_kind: ProbabilityKind = ...,
                    threshold: float | None = ..., flow_scale: float = ..., n_steps: int = ...,
                    interpolate: bool = ..., flow_threshold: float = ..., min_size: int = ...,
                    approx_frac: float = ..., details: Literal[False] = ...,
                    progress: Progress | None = ...) -> NDArray[np.uint32]: ...
@overload
def masks_from_flow(flow: ArrayLike, probability: ArrayLike, *, probability_kind: ProbabilityKind = ...,
                    threshold: float | None = ..., flow_scale: float = ..., n_steps: int = ...,
                    interpolate: bool = ..., flow_threshold: float = ..., min_size: int = ...,
                    approx_frac: float = ..., details: Literal[True],
                    progress: Progress | None = ...) -> FlowSegmentation: ...


def masks_from_flow(flow: ArrayLike, probability: ArrayLike, *, probability_kind: ProbabilityKind = "logits",
                    threshold: float | None = None, flow_scale: float = 1.0, n_steps: int = DEFAULT_STEPS,
                    interpolate: bool = True, flow_threshold: float = DEFAULT_FLOW_THRESHOLD,
                    min_size: int = DEFAULT_MIN_SIZE, approx_frac: float = DEFAULT_APPROX_FRAC,
                    details: bool = False, progress: Progress | None = None) -> NDArray[np.uint32] | FlowSegmentation:
    """Label masks from a predicted flow field and cell-probability map.

    Pixels whose probability exceeds `threshold` form the foreground; each follows the flow for
    `n_steps` steps, and one mask grows around every place where many of them end. Masks whose
    flow disagrees with the flow of their own shape, and masks that are too small, are removed;
    holes inside a mask are filled and the masks numbered 1 … n.

    Parameters
    ----------
    flow : array_like, (2, Ly, Lx)
        The predicted flow: channel 0 the row (y) component, channel 1 the column (x)
        component, in units of `flow_scale` per unit vector. Any floating dtype (float16,
        float32, float64) and any layout (C, Fortran, strided views); converted once to
        float32 in C order. NaN or infinite values are refused.
    probability : array_like, (Ly, Lx)
        The cell probability per pixel, as logits or probabilities (`probability_kind`), any
        floating dtype; or a bool array that is the foreground itself (`threshold` unused).
        NaN is refused.
    probability_kind : {"logits", "probability"}, default "logits"
        How to read `probability`: logits (any real value, 0 = even odds) or probabilities
        in [0, 1] (values outside are refused).
    threshold : float, optional
        The foreground is ``probability > threshold``. Default 0.0 for logits and 0.5 for
        probabilities (the same even odds). Lower it to grow masks out to fainter borders.
    flow_scale : float, default 1.0
        The length the predictor gives a unit vector. The road follows, and scores, unit
        vectors (what ``flows_of`` and ``sarvo_functions._masks_to_flow`` make), so the flow
        is divided by this first; a predictor trained on flows five times unit length takes 5.
    n_steps : int, default 200
        Steps of flow following, each one pixel times the local (unit) flow; more steps carry
        pixels of large cells to their centre. Below 2, every pixel takes one step.
    interpolate : bool, default True
        Sample the flow bilinearly between pixels (True) or at the nearest pixel (False).
    flow_threshold : float, default 0.4
        Masks whose mean squared flow error (the predicted unit flow against the diffusion flow
        of the mask's own shape, ``compute_flow_error_cell_size``) exceeds this are removed.
        ``float("inf")`` keeps every mask.
    min_size : int, default 15
        Masks with fewer pixels are removed (counted before holes are filled). 0 keeps all.
    approx_frac : float, default 0.5
        Share of the diffusion iterations of the flow error that a closed form replaces:
        0 runs them all, 0.5 costs well under half as much, 1 or more compares against
        straight lines to the centre.
    details : bool, default False
        Return a `FlowSegmentation` with every intermediate instead of the masks alone.
    progress : callable, optional
        Called with each stage's name as it starts.

    Returns
    -------
    masks : ndarray of uint32, (Ly, Lx)
        Labels 1 … n, 0 on the background; a `FlowSegmentation` when `details` is true.

    Raises
    ------
    TypeError
        A flow that is not floating point, a probability map that is neither floating point
        nor bool, an argument that is not an array, a parameter of the wrong type.
    ValueError
        Shapes that disagree (the message names both), NaN or infinite flow, NaN probability,
        probabilities outside [0, 1], parameters out of range.

    Notes
    -----
    The stages: the flow, in float32, is set to 0 off the foreground and multiplied by
    ``float32(1 / flow_scale)``, so only foreground pixels move (``_steps2D_all``); end points are rounded and counted
    (``p_histogram``); local maxima above 10 become seeds (``find_seeds``) and grow over pixels
    where more than 2 end (``bfs``); pixels ending in a mask join it (``extend_seed``); the labels
    are cut to the foreground, the foreground pixels still unlabelled join the mask nearest to
    them through such pixels (4-connected; a speck that reaches no mask stays background), and
    the labels are renumbered, deleting any label over 40 % of the image (``renumbering``).
    Quality control then measures every mask (``compute_flow_error_cell_size``), removes those
    under `min_size` and those over `flow_threshold` and renumbers the rest (``renum_masks``),
    and fills holes: a piece of background (8-connected) that touches no image edge and no
    other mask takes the label of the mask around it.
    """
    watch = Stopwatch(progress)
    watch.stage("check and convert")
    field = check_flow(flow)
    prob = check_probability(probability, field.shape)
    params = RoadParameters.checked(probability_kind, threshold, flow_scale, n_steps, interpolate, flow_threshold,
                                    min_size, approx_frac)
    foreground = foreground_of(prob, params)
    unit = unit_flow(field, foreground, params)
    watch.stage("_steps2D_all")
    disp = sf._steps2D_all(unit, params.n_steps, params.interpolate)
    return finish_from_displacements(unit, foreground, disp, params, details, watch)


@dataclass(frozen=True)
class RoadParameters:
    """The checked parameters of `masks_from_flow`, as the stages use them."""
    probability_kind: str
    threshold: float
    flow_scale: float
    n_steps: int
    interpolate: bool
    flow_threshold: float
    min_size: int
    approx_frac: float

    @classmethod
    def checked(cls, probability_kind: str, threshold: float | None, flow_scale: float, n_steps: int,
                interpolate: bool, flow_threshold: float, min_size: int, approx_frac: float) -> RoadParameters:
        if probability_kind not in DEFAULT_THRESHOLD:
            raise ValueError(f"probability_kind must be 'logits' or 'probability', got {probability_kind!r}")
        cut = DEFAULT_THRESHOLD[probability_kind] if threshold is None else check_real("threshold", threshold)
        return cls(probability_kind, cut, check_real("flow_scale", flow_scale, positive=True),
                   check_count("n_steps", n_steps), bool(interpolate),
                   check_real("flow_threshold", flow_threshold, least=0.0, allow_inf=True),
                   check_count("min_size", min_size), check_real("approx_frac", approx_frac, least=0.0))


def foreground_of(prob: NDArray[Any], params: RoadParameters) -> NDArray[np.bool_]:
    """The pixels above the threshold, C order; NaN and (for probabilities) values outside
    [0, 1] are refused. Elementwise, so a window's foreground is the whole image's, cut."""
    if prob.dtype == np.bool_:
        return np.ascontiguousarray(prob)
    # The sum is finite only if no value is NaN (or infinite); only when it is not is each
    # value looked at. A band of rows at a time, compared while it is in the cache.
    foreground = np.empty(prob.shape, np.bool_)
    finite = True
    for rows in row_bands(prob.shape[0], prob.itemsize * prob.shape[1]):
        part = prob[rows]
        finite = finite and all_finite_by_sum(part)
        np.greater(part, params.threshold, out=foreground[rows])
    if not finite and np.isnan(prob).any():
        raise ValueError("probability holds NaN values")
    if params.probability_kind == "probability" and prob.size and (prob.min() < 0 or prob.max() > 1):
        raise ValueError(f"probability values lie in [{prob.min()}, {prob.max()}], outside [0, 1]: "
                         f"for logits pass probability_kind='logits'")
    if params.probability_kind == "probability" and not 0 <= params.threshold <= 1:
        raise ValueError(f"a threshold for probabilities lies in [0, 1], got {params.threshold}")
    return foreground


def unit_flow(field: NDArray[Any], foreground: NDArray[np.bool_], params: RoadParameters) -> NDArray[np.float32]:
    """The one conversion: float32 in C order, zero off the foreground, then unit scale. NaN or
    infinite values are refused. Elementwise, so a window's flow is the whole image's, cut."""
    unit = np.empty(field.shape, np.float32)
    scale = np.float32(1.0 / params.flow_scale)
    finite = True
    # A band of rows at a time: the product, the scaling and the check each read what the one
    # before wrote while it is still in the cache, instead of three passes over the image.
    for rows in row_bands(field.shape[1], 4 * field.shape[0] * field.shape[2]):
        part = unit[:, rows]
        with np.errstate(over="ignore", invalid="ignore"):      # what overflows or is NaN is refused below
            if field.dtype == np.float32:
                # One product per value: x * (0 or scale) rounds as (x * (0 or 1)) * scale does.
                factor = foreground[rows].astype(np.float32)
                factor *= scale
                np.multiply(field[:, rows], factor, out=part)
            else:
                np.multiply(field[:, rows], foreground[rows], out=part, casting="unsafe")
                part *= scale
        finite = finite and all_finite_by_sum(part)
    if not finite and not np.isfinite(unit).all():
        raise ValueError(f"flow holds {int(np.count_nonzero(~np.isfinite(unit)))} NaN or infinite values "
                         f"(in float32, after division by flow_scale)")
    return unit


def all_finite_by_sum(values: NDArray[np.floating[Any]]) -> bool:
    """True when the sum of `values` is finite, which proves every value finite: a NaN or an
    infinity carries into any sum. False can also mean that finite values overflowed the sum,
    so the caller looks at each value then. The sum runs in the values' own precision (float16
    in float32), at vector speed."""
    with np.errstate(over="ignore", invalid="ignore"):
        return bool(np.isfinite(np.sum(values, dtype=np.promote_types(values.dtype, np.float32))))


def finish_from_displacements(unit: NDArray[np.float32], foreground: NDArray[np.bool_], disp: NDArray[np.float32],
                              params: RoadParameters, details: bool, watch: Stopwatch
                              ) -> NDArray[np.uint32] | FlowSegmentation:
    """Everything after flow following, on the whole image: seeds, growth and clean-up from
    the displacements, then quality control."""
    hist, seeds, grown, settled = grow_from_displacements(disp, foreground, watch)
    finish_masks(grown, foreground, watch)

    watch.stage("compute_flow_error_cell_size")
    errors, sizes = sf.compute_flow_error_cell_size(grown, unit, boxes_of(grown), params.min_size, params.approx_frac)
    small = sizes < params.min_size
    bad_flow = ~small & (errors > params.flow_threshold)
    watch.stage("renum_masks")
    masks = grown.copy() if details else grown
    sf.renum_masks(masks, small | bad_flow)
    watch.stage("fill enclosed holes")
    filled = fill_enclosed_holes(masks, scratch=settled)
    watch.stop()
    if not details:
        return masks
    labels = np.arange(1, len(sizes) + 1, dtype=np.int64)
    return FlowSegmentation(masks=masks, foreground=foreground, threshold=params.threshold, flow=unit,
                            displacements=disp, histogram=hist, seeds=seeds, grown=grown,
                            errors=errors, sizes=sizes, removed_small=labels[small], removed_flow=labels[bad_flow],
                            kept=labels[~(small | bad_flow)], holes_filled=filled, seconds=watch.seconds)
