"""One picture of a run of the segmentation road: the label mask, its flow field as a colour
wheel, the map of where pixels end, and the rebuilt masks, side by side. Needs matplotlib."""
from __future__ import annotations

import pathlib
from typing import Any

import numpy as np
from numpy.typing import NDArray

from sarvo_segment.picture import (BACKGROUND, CELL_HUES, UNMATCHED, UNMATCHED_CLEARANCE, borders, enlarge,  # noqa: F401
                                   flow_wheel, label_palette, paint, wheel_key)
from segmentation_road import Matching, RoadResult


def rebuilt_colours(found: NDArray[np.uint32], matching: Matching,
                    palette: NDArray[np.float64]) -> NDArray[np.float64]:
    """Each rebuilt object in the colour of the true object it matches, so that agreement
    reads at a glance; rebuilt objects without a partner are red."""
    colours = np.tile(UNMATCHED, (int(found.max(initial=0)) + 1, 1))
    colours[0] = BACKGROUND
    colours[matching.matched_found] = palette[matching.matched_true]
    return paint(found, colours)


def road_figure(truth: NDArray[np.uint32], result: RoadResult, matching: Matching, title: str) -> Any:
    """The four panels as a matplotlib figure (Agg), for `write_picture` and for checks."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.colors import LogNorm

    palette = label_palette(int(truth.max(initial=0)))
    # Panels about 4 inches wide; the figure's height follows the image's shape, within reason.
    ly, lx = truth.shape
    panel_height = min(4.0 * ly / max(lx, 1), 7.5)
    fig, axes = plt.subplots(1, 4, figsize=(17.0, panel_height + 1.5), dpi=90, layout="constrained")

    axes[0].imshow(paint(truth, palette), interpolation="nearest")
    axes[0].set_title(f"label mask: {matching.n_true} objects")

    axes[1].imshow(flow_wheel(result.flow), interpolation="nearest")
    axes[1].set_title("flow towards each centre (hue = direction)")
    # The key sits below the panel's lower left corner, off the image, so it hides no cell.
    side = min(0.55 / panel_height, 0.3)          # half an inch, as a share of the panel's height
    key = axes[1].inset_axes((0.0, -side - 0.02, side * ly / max(lx, 1), side))
    key.imshow(wheel_key())
    key.set_axis_off()
    key.text(1.1, 0.5, "direction key", transform=key.transAxes, va="center", fontsize=9)

    # The counts over faint outlines of the rebuilt cells, so each sink shows in its cell.
    outline = np.where(borders(result.masks)[..., None], 0.32, BACKGROUND)
    axes[2].imshow(outline, interpolation="nearest")
    # Pixels where nothing ends are NaN, which the colour map leaves transparent.
    hist = enlarge(result.hist).astype(np.float64)
    counts = axes[2].imshow(np.where(hist > 0, hist, np.nan), norm=LogNorm(vmin=1, vmax=255),
                            cmap="plasma", interpolation="nearest")
    axes[2].set_title(f"where pixels end: {len(result.seeds)} seeds, {matching.n_found} cells")
    axes[2].set_xlabel("seeds in one sink (a plateau, two close peaks) grow one cell", fontsize=9)
    # The bar is placed against the image's own box, which equal aspect fits to the image, so
    # it is as tall as the image whatever the image's shape.
    bar = fig.colorbar(counts, cax=axes[2].inset_axes((1.03, 0.0, 0.05, 1.0)))
    bar.set_label("pixels ending here")

    axes[3].imshow(rebuilt_colours(result.masks, matching, palette), interpolation="nearest")
    axes[3].set_title(f"rebuilt: {matching.n_found} objects, mean IoU {matching.mean_iou:.3f}")
    unmatched = matching.n_found - matching.n_matched
    axes[3].set_xlabel(f"red: rebuilt without a partner ({unmatched})", fontsize=9)

    for ax in axes:
        ax.set_xticks([])
        ax.set_yticks([])
    fig.suptitle(title, fontsize=13)
    return fig


def write_picture(path: str | pathlib.Path, truth: NDArray[np.uint32], result: RoadResult,
                  matching: Matching, title: str) -> pathlib.Path:
    import matplotlib.pyplot as plt

    fig = road_figure(truth, result, matching, title)
    path = pathlib.Path(path)
    fig.savefig(path, facecolor="white")
    plt.close(fig)
    return path


def border_crossing(labels: NDArray[np.uint32], tile: int) -> NDArray[np.bool_]:
    """Flags per label 0 … max: cells with pixels on both sides of a tile border, across it
    or diagonally across it."""
    crossing = np.zeros(int(labels.max(initial=0)) + 1, dtype=bool)
    for axis in (0, 1):
        lines = labels if axis == 0 else labels.T
        for b in range(tile, lines.shape[0], tile):
            above, below = lines[b - 1], lines[b]
            for shift in (-1, 0, 1):
                a = above[max(shift, 0):len(above) + min(shift, 0)]
                c = below[max(-shift, 0):len(below) + min(-shift, 0)]
                crossing[a[(a == c) & (a > 0)]] = True
    crossing[0] = False
    return crossing


def write_tiles_picture(path: str | pathlib.Path, labels: NDArray[np.uint32], tile: int, title: str,
                        max_side: int = 1600) -> pathlib.Path:
    """The stitched mask of a tiled run with the tile grid over it: cells that cross a tile
    border in their colours, the others grey. A large mask is shown one pixel in every few."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    crossing = border_crossing(labels, tile)
    step = max(1, -(-max(labels.shape) // max_side))
    shown = np.ascontiguousarray(labels[::step, ::step])
    colours = label_palette(len(crossing) - 1)
    colours[1:][~crossing[1:]] = colours[1:][~crossing[1:]].mean(axis=1, keepdims=True) * 0.45 + 0.1
    ly, lx = labels.shape
    fig, ax = plt.subplots(figsize=(9.0, 9.0 * ly / lx + 0.6), dpi=110, layout="constrained")
    ax.imshow(paint(shown, colours), interpolation="nearest", extent=(0, lx, ly, 0))
    for b in range(tile, ly, tile):
        ax.axhline(b, color="white", linewidth=0.8)
    for b in range(tile, lx, tile):
        ax.axvline(b, color="white", linewidth=0.8)
    ax.set_xlim(0, lx)
    ax.set_ylim(ly, 0)
    ax.set_xticks(range(0, lx + 1, tile))
    ax.set_yticks(range(0, ly + 1, tile))
    ax.tick_params(labelsize=7)
    n_cross = int(crossing.sum())
    ax.set_title(f"{title}\n{n_cross} cells cross a tile border (coloured); white lines: tile borders",
                 fontsize=10)
    path = pathlib.Path(path)
    fig.savefig(path, facecolor="white")
    plt.close(fig)
    return path
