"""Pictures of a run of the road: label masks in bright colours with dark outlines, a flow field
as a colour wheel, the map of where pixels end. Needs matplotlib (imported when drawing)."""
from __future__ import annotations

import pathlib
from typing import Any

import numpy as np
from numpy.typing import NDArray

from .masks import FlowSegmentation

BACKGROUND = np.array([0.08, 0.08, 0.10])
UNMATCHED = np.array([1.0, 0.15, 0.15])
# Cell hues avoid the reds around the unmatched colour: the nearest a cell colour then comes is
# hue 0.08 at full saturation and value, 0.41 away in RGB, so 0.35 is a margin that holds.
UNMATCHED_CLEARANCE = 0.35
CELL_HUES = (0.08, 0.92)


def label_palette(n: int, seed: int = 7) -> NDArray[np.float64]:
    """n + 1 RGB colours: the background, then a bright, shuffled colour per label, so that
    neighbouring labels rarely look alike, and none close to the unmatched red."""
    from matplotlib.colors import hsv_to_rgb

    rng = np.random.default_rng(seed)
    lo, hi = CELL_HUES
    hue = lo + (hi - lo) * rng.permutation(n) / max(n, 1)
    hsv = np.stack([hue, rng.uniform(0.45, 0.85, n), rng.uniform(0.75, 1.0, n)], axis=1)
    return np.vstack([BACKGROUND, hsv_to_rgb(hsv)])


def borders(labels: NDArray[np.uint32]) -> NDArray[np.bool_]:
    """Pixels whose right or lower neighbour carries another label: outlines touching cells."""
    edge = np.zeros(labels.shape, dtype=bool)
    edge[:, :-1] |= labels[:, :-1] != labels[:, 1:]
    edge[:-1, :] |= labels[:-1, :] != labels[1:, :]
    return edge & (labels > 0)


def paint(labels: NDArray[np.uint32], palette: NDArray[np.float64]) -> NDArray[np.float64]:
    rgb = palette[labels]
    rgb[borders(labels)] *= 0.35
    return rgb


def enlarge(counts: NDArray[np.uint8], radius: int = 2) -> NDArray[np.uint8]:
    """The largest count within `radius` pixels (a square), so that one-pixel sinks stay
    visible when the picture is scaled down."""
    out = counts.copy()
    ly, lx = counts.shape
    for dy in range(-radius, radius + 1):
        for dx in range(-radius, radius + 1):
            dst = (slice(max(dy, 0), ly + min(dy, 0)), slice(max(dx, 0), lx + min(dx, 0)))
            src = (slice(max(-dy, 0), ly + min(-dy, 0)), slice(max(-dx, 0), lx + min(-dx, 0)))
            np.maximum(out[dst], counts[src], out=out[dst])
    return out


def flow_wheel(flow: NDArray[np.float32]) -> NDArray[np.float64]:
    """Hue = direction, brightness = magnitude (1 for a unit vector), black where there is none."""
    from matplotlib.colors import hsv_to_rgb

    angle = np.arctan2(flow[0], flow[1]).astype(np.float64)
    magnitude = np.hypot(flow[0], flow[1]).astype(np.float64)
    hsv = np.stack([(angle + np.pi) / (2 * np.pi), np.ones_like(angle), np.clip(magnitude, 0.0, 1.0)], axis=-1)
    rgb: NDArray[np.float64] = np.asarray(hsv_to_rgb(hsv), np.float64)
    return np.clip(rgb, 0.0, 1.0)


def wheel_key(size: int = 64) -> NDArray[np.float64]:
    """The colour wheel itself as an RGBA image, for a key in the corner of the flow panel."""
    y, x = np.mgrid[-1:1:size * 1j, -1:1:size * 1j]
    key = np.zeros((size, size, 4))
    key[..., :3] = flow_wheel(np.stack([y, x]).astype(np.float32))
    key[..., 3] = np.hypot(y, x) <= 1.0
    return key


def write_run_picture(path: str | pathlib.Path, probability: NDArray[Any], run: FlowSegmentation,
                      title: str) -> pathlib.Path:
    """Four panels of one `masks_from_flow` run: the probability map with the foreground's
    outline, the flow followed, where pixels end with the seeds, and the masks (masks that
    quality control removed in red)."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.colors import LogNorm

    ly, lx = run.masks.shape
    panel_height = min(4.0 * ly / max(lx, 1), 7.5)
    fig, axes = plt.subplots(1, 4, figsize=(17.0, panel_height + 1.2), dpi=90, layout="constrained")
    axes[0].imshow(np.asarray(probability, np.float32), cmap="gray", interpolation="nearest")
    axes[0].contour(run.foreground, levels=[0.5], colors="yellow", linewidths=0.5)
    axes[0].set_title(f"probability; foreground above {run.threshold:g}")
    axes[1].imshow(flow_wheel(run.flow), interpolation="nearest")
    axes[1].set_title("flow followed (hue = direction)")
    outline = np.where(borders(run.masks)[..., None], 0.32, BACKGROUND)
    axes[2].imshow(outline, interpolation="nearest")
    hist = enlarge(run.histogram).astype(np.float64)
    axes[2].imshow(np.where(hist > 0, hist, np.nan), norm=LogNorm(vmin=1, vmax=255), cmap="plasma",
                   interpolation="nearest")
    axes[2].set_title(f"where pixels end: {len(run.seeds)} seeds")
    colours = np.vstack([label_palette(run.n_cells), UNMATCHED])
    # Removed masks keep their grown shape, drawn in the last (red) colour under the kept ones.
    removed = np.isin(run.grown, np.concatenate([run.removed_small, run.removed_flow])) & (run.masks == 0)
    shown = np.where(removed, np.uint32(len(colours) - 1), run.masks)
    axes[3].imshow(paint(shown, colours), interpolation="nearest")
    axes[3].set_title(f"{run.n_cells} cells; red: removed by quality control "
                      f"({len(run.removed_small) + len(run.removed_flow)})")
    for ax in axes:
        ax.set_xticks([])
        ax.set_yticks([])
    fig.suptitle(title, fontsize=13)
    path = pathlib.Path(path)
    fig.savefig(path, facecolor="white")
    plt.close(fig)
    return path
