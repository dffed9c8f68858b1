"""Slow, plain-Python transcriptions of the seed, growth and clean-up kernels.

They work on copies and return new arrays, so a test can compare them with the compiled kernels
bit for bit. Written for clarity, not speed: keep the inputs small.
"""
from collections import deque

import numpy as np


def _wrap(t, extent):
    """A target in [-extent, extent); a negative one counts once from the end of its axis."""
    assert -extent <= t < extent, "target outside the image"
    return t + extent if t < 0 else t


def p_histogram(pos, mask):
    _, ly, lx = pos.shape
    hist = [[0] * lx for _ in range(ly)]
    for y in range(ly):
        for x in range(lx):
            if mask[y, x]:
                ty = _wrap(y + int(pos[0, y, x]), ly)
                tx = _wrap(x + int(pos[1, y, x]), lx)
                hist[ty][tx] = min(hist[ty][tx] + 1, 255)
    return np.array(hist, dtype=np.uint8).reshape(ly, lx)


def find_seeds(hist):
    ly, lx = hist.shape
    seeds = []
    for i in range(ly):
        for j in range(lx):
            v = hist[i, j]
            if v <= 10:
                continue
            window = hist[max(i - 2, 0):min(i + 3, ly), max(j - 2, 0):min(j + 3, lx)]
            if v == window.max():
                seeds.append((i, j))
    return np.array(seeds, dtype=np.uint32).reshape(len(seeds), 2)


NEIGHBOURS_8 = [(-1, -1), (-1, 0), (-1, 1), (0, -1), (0, 1), (1, -1), (1, 0), (1, 1)]


def bfs(hist, pos, seeds):
    """Returns (label mask, pos after the call)."""
    pos = pos.copy()
    _, ly, lx = pos.shape
    label = np.zeros((ly, lx), dtype=np.uint32)
    for k, (y, x) in enumerate(seeds.tolist()):
        current = k + 1
        if label[y, x] != 0:
            continue
        label[y, x] = current
        pos[:, y, x] = 0
        queue = deque([(y, x)])
        while queue:
            cy, cx = queue.popleft()
            for dy, dx in NEIGHBOURS_8:
                ny, nx = cy + dy, cx + dx
                if 0 <= ny < ly and 0 <= nx < lx and label[ny, nx] < current and hist[ny, nx] > 2:
                    label[ny, nx] = current
                    pos[:, ny, nx] = 0
                    queue.append((ny, nx))
    return label, pos


def extend_seed(masks, pos):
    out = masks.copy()
    ly, lx = masks.shape
    for i in range(ly):
        for j in range(lx):
            dy, dx = int(pos[0, i, j]), int(pos[1, i, j])
            if out[i, j] != 0 or (dy, dx) == (0, 0):
                continue
            ty, tx = _wrap(i + dy, ly), _wrap(j + dx, lx)
            if pos[0, ty, tx] == 0 and pos[1, ty, tx] == 0 and out[ty, tx] != 0:
                out[i, j] = out[ty, tx]
    return out


NEIGHBOURS_4 = [(-1, 0), (1, 0), (0, -1), (0, 1)]


def fill_holes(masks):
    out = masks.copy()
    ly, lx = out.shape
    visited = np.zeros((ly, lx), dtype=bool)
    for i in range(ly):
        for j in range(lx):
            if out[i, j] != 0 or visited[i, j]:
                continue
            stack = [(i, j)]
            while stack:
                y, x = stack.pop()
                if out[y, x] != 0 or visited[y, x]:
                    continue
                visited[y, x] = True
                for dy, dx in NEIGHBOURS_4:
                    ny, nx = y + dy, x + dx
                    if not (0 <= ny < ly and 0 <= nx < lx):
                        continue
                    stack.append((ny, nx))
                    if out[ny, nx] != 0:
                        out[y, x] = out[ny, nx]
                        break
    return out


def renum_masks(masks, remove):
    new_label = {}
    kept = 0
    for k, flagged in enumerate(remove.tolist()):
        if not flagged:
            kept += 1
        new_label[k + 1] = 0 if flagged else kept
    new_label[0] = 0
    return np.vectorize(lambda v: new_label[int(v)], otypes=[np.uint32])(masks).reshape(masks.shape)


def renumbering(labels, min_labels):
    n = len(labels)
    counts = {}
    for v in labels.tolist():
        counts[v] = counts.get(v, 0) + 1
    size = max(max(counts, default=-1) + 1, int(min_labels))
    new_label = [0] * size
    kept = 0
    for k in range(1, size):
        c = counts.get(k, 0)
        if c > 0 and float(c) <= 0.4 * float(n):
            kept += 1
            new_label[k] = kept
    return np.array([new_label[v] for v in labels.tolist()], dtype=np.uint32)
