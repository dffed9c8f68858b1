"""The road from a flow field and a foreground to a label mask, shared by `masks_from_flow`
(a predictor's output) and `segment` (the round trip from a label mask):

    float32 flow -> _steps2D_all -> int16 displacements -> p_histogram -> find_seeds -> bfs
    -> extend_seed -> cut to the foreground -> join the unclaimed foreground -> renumbering
"""
from __future__ import annotations

from dataclasses import dataclass

import numpy as np
from numpy.typing import ArrayLike, NDArray

import sarvo_functions as sf

from ._checks import check_labels
from ._labels import boxes_of, cut_to_foreground, join_unclaimed
from ._timing import Progress, Stopwatch

# _steps2D_all reaches 200 unit steps in four composition rounds.
DEFAULT_STEPS = 200
# Half of the diffusion iterations come from the closed form: the flows stay smooth and the
# diffusion costs well under half as much.
DEFAULT_APPROX_FRAC = 0.5


@dataclass
class RoadResult:
    """Every intermediate of one run of the road, for pictures and checks."""
    flow: NDArray[np.float32]      # (2, Ly, Lx) the flow that was followed
    disp: NDArray[np.float32]      # (2, Ly, Lx) where each pixel ends, as an offset
    hist: NDArray[np.uint8]        # (Ly, Lx) how many foreground pixels end on each pixel
    seeds: NDArray[np.uint32]      # (K, 2) local maxima of hist
    masks: NDArray[np.uint32]      # (Ly, Lx) the rebuilt labels 1 … n
    seconds: dict[str, float]      # wall time per stage


def grow_masks(flow: NDArray[np.float32], foreground: NDArray[np.bool_], n_steps: int, interpolate: bool,
               watch: Stopwatch, finish: bool = True) -> RoadResult:
    """Follows a float32 C-order flow, counts where the foreground's pixels end, grows one region
    per well-populated sink and cleans up: the labels come back 1 … n, cut to the foreground,
    with any label over 40 % of the image deleted (`renumbering`). `flow` is only read.
    Without `finish` the labels are those the seeds grew (seed k's region is k + 1, with gaps),
    before the clean-up: a window of a larger image leaves the steps that can read far (the
    unclaimed foreground joining a mask, the 40 % rule) to `finish_masks` on it."""
    watch.stage("_steps2D_all")
    disp = sf._steps2D_all(flow, n_steps, interpolate)
    return masks_from_displacements(flow, disp, foreground, watch, finish)


def masks_from_displacements(flow: NDArray[np.float32], disp: NDArray[np.float32], foreground: NDArray[np.bool_],
                             watch: Stopwatch, finish: bool = True) -> RoadResult:
    """The road after flow following, from the float32 displacements `disp` of every pixel
    (however they were computed: in one call or stitched from tiles). `flow` is only kept."""
    hist, seeds, labels, _ = grow_from_displacements(disp, foreground, watch)
    if finish:
        finish_masks(labels, foreground, watch)
    watch.stop()
    return RoadResult(flow=flow, disp=disp, hist=hist, seeds=seeds, masks=labels, seconds=watch.seconds)


def grow_from_displacements(disp: NDArray[np.float32], foreground: NDArray[np.bool_], watch: Stopwatch
                            ) -> tuple[NDArray[np.uint8], NDArray[np.uint32], NDArray[np.uint32], NDArray[np.int16]]:
    """The end-point counts, the seeds and the labels they grew (seed k's region is k + 1), and
    the rounded displacements, which growth leaves settled and nothing reads after it."""
    watch.stage("round to int16")
    pos = np.empty(disp.shape, np.int16)       # rounded straight into int16: no float copy
    np.rint(disp, out=pos, casting="unsafe")
    watch.stage("p_histogram")
    hist = sf.p_histogram(pos, foreground)
    watch.stage("find_seeds")
    seeds = sf.find_seeds(hist)
    watch.stage("bfs")
    labels = sf.bfs(hist, pos, seeds)          # also settles the grown pixels in pos
    watch.stage("extend_seed")
    sf.extend_seed(labels, pos)
    return hist, seeds, labels, pos


def finish_masks(labels: NDArray[np.uint32], foreground: NDArray[np.bool_], watch: Stopwatch) -> None:
    """The clean-up after growth, in place: the labels are cut to the foreground, foreground
    pixels that no mask claimed join the mask they reach through such pixels
    (`join_unclaimed`; the rest stay background), and `renumbering` deletes labels over 40 % of
    the image and numbers the rest 1 … n.

    `fill_holes` is not used here: its walks run through the background too, so a speck that no
    seed claims took the label of whatever cell the walk had last passed, however far away,
    and that cell's mask then spanned the image."""
    watch.stage("cut to foreground")
    unclaimed = cut_to_foreground(labels, foreground)
    watch.stage("join unclaimed foreground")
    join_unclaimed(labels.reshape(-1), (labels.shape[0], labels.shape[1]), unclaimed)
    watch.stage("renumbering")
    sf.renumbering(labels.reshape(-1), 0)      # a view: renumbering works in place
    watch.stop()


def flows_of(masks: ArrayLike, approx_frac: float = DEFAULT_APPROX_FRAC,
             watch: Stopwatch | None = None) -> NDArray[np.float32]:
    """The float32 diffusion flow (2, Ly, Lx) of an integer label mask (0 the background, gaps
    in the labels allowed): unit vectors towards each object's centre (scale 1), 0 elsewhere."""
    watch = watch or Stopwatch()
    watch.stage("boxes")
    labels = check_labels(masks)
    boxes = boxes_of(labels)
    watch.stage("_masks_to_flow")
    flow64 = sf._masks_to_flow(labels, boxes, approx_frac)
    watch.stage("to float32")
    flow = flow64.astype(np.float32)
    watch.stop()
    return flow


def segment(masks: ArrayLike, n_steps: int = DEFAULT_STEPS, approx_frac: float = DEFAULT_APPROX_FRAC,
            progress: Progress | None = None, finish: bool = True) -> RoadResult:
    """The round trip, for validation and demonstrations: the flows of `masks`, followed back
    into a rebuilt label mask on the road `masks_from_flow` takes (without its quality control).
    `finish` as for `grow_masks`."""
    watch = Stopwatch(progress)
    labels = check_labels(masks)
    flow = flows_of(labels, approx_frac, watch)
    return grow_masks(flow, labels > 0, n_steps, True, watch, finish)
