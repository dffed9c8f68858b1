"""Cell segmentation from a predictor's flow field and cell-probability map, on the compiled
kernels of `sarvo_functions`.

`masks_from_flow` turns one image's flow (2, Ly, Lx) and probability map (Ly, Lx) into label
masks, with quality control; `segment_tiled` gives the same answer tile by tile, for images of
any size (chunked inputs, on Dask); the command `sarvo-segment` does both for files. `segment`
and `flows_of` are the round trip from a label mask, for validation and demonstrations, and
`match` and `flow_errors` score a result.
"""
from ._labels import boxes_of, fill_enclosed_holes, relabel_consecutive
from ._road import DEFAULT_APPROX_FRAC, DEFAULT_STEPS, RoadResult, finish_masks, flows_of, segment
from ._timing import Progress, StageLines, Stopwatch
from .masks import FlowSegmentation, ProbabilityKind, masks_from_flow
from .scores import Matching, flow_errors, match, overlaps
from .tiled import TiledSegmentation, segment_tiled

__all__ = ["DEFAULT_APPROX_FRAC", "DEFAULT_STEPS", "FlowSegmentation", "Matching", "ProbabilityKind", "Progress",
           "RoadResult", "StageLines", "Stopwatch", "boxes_of", "fill_enclosed_holes", "finish_masks", "flow_errors",
           "flows_of", "match", "masks_from_flow", "overlaps", "relabel_consecutive", "segment",
           "segment_tiled", "TiledSegmentation"]
