"""The driver's side of the road a tile at a time: runs the tasks of `_chunked` stage by stage,
on Dask's threads or a client's workers, and settles from their summaries what the whole
image decides: the seeds' order, the pieces joined across tile borders, the 40 % rule, the
labels quality control removes, the holes that lie inside one mask."""
from __future__ import annotations

import collections
import functools
import importlib
from dataclasses import dataclass
from typing import Any, Callable

import numpy as np
from numpy.typing import NDArray


from ._chunked import (Files, Grid, background_pieces, count_ends, cut_and_count, extend, fill_and_finish,
                       flow_errors, relabel, renumber_and_measure, scatter_ends, seeds_and_pieces)
from ._joins import join_rims
from ._labels import join_unclaimed


Runner = Callable[[Callable[..., Any], list[tuple[Any, ...]]], list[Any]]
# Arrays from this size on are sent to a client's workers once per stage.
SHARED_BYTES = 1 << 16


def runner(client: Any, workers: int | None) -> Runner:
    """Runs a task once per argument tuple, on Dask's threads or a client's workers; the
    results come back in order."""
    def run(task: Callable[..., Any], calls: list[tuple[Any, ...]]) -> list[Any]:
        if client is not None:
            # A table that several calls share (the renumbering) goes to the workers once, not once per task.
            uses = collections.Counter(id(a) for args in calls for a in args if isinstance(a, np.ndarray))
            shared: dict[int, Any] = {}

            def sent(arg: Any) -> Any:
                if not isinstance(arg, np.ndarray) or arg.nbytes < SHARED_BYTES or uses[id(arg)] < 2:
                    return arg
                if id(arg) not in shared:
                    shared[id(arg)] = client.scatter(arg, broadcast=True, hash=False)
                return shared[id(arg)]
            futures = [client.submit(task, *map(sent, args), pure=False) for args in calls]
            return list(client.gather(futures))
        dask: Any = importlib.import_module("dask")
        # Bound beforehand: Dask would otherwise look for collections inside every argument
        # (the grid's tiles, the tables), once per task.
        return list(dask.compute([dask.delayed(functools.partial(task, *args), pure=False)() for args in calls],
                                 scheduler="threads", num_workers=workers)[0])
    return run


def joined_labels(offsets: NDArray[np.int64], root: NDArray[np.int64], value: NDArray[Any], tile: int,
                  count: int) -> NDArray[Any]:
    """A tile's table from its piece numbers 0 … count to the value of their whole-image piece."""
    table: NDArray[Any] = value[root[offsets[tile] + np.arange(count + 1)]]
    table[0] = 0
    return table


@dataclass
class Outcome:
    seeds: NDArray[np.uint32]
    errors: NDArray[np.float64]
    sizes: NDArray[np.uint32]
    small: NDArray[np.bool_]
    bad_flow: NDArray[np.bool_]
    holes_filled: int


def finish_in_tiles(files: Files, grid: Grid, run: Runner, stage: Callable[[str], None], min_size: int,
                    flow_threshold: float, approx_frac: float) -> Outcome:
    """The road from the displacements in `files` to the masks in `files.masks`."""
    tiles = list(grid.tiles)
    stage("count map in tiles")
    reach: list[list[int]] = [[] for _ in tiles]
    for s, dests in enumerate(run(scatter_ends, [(files, grid, t) for t in tiles])):
        for d in dests:
            reach[d].append(s)
    run(count_ends, [(files, grid, t, reach[t.index]) for t in tiles])

    stage("seeds and growth in tiles")
    found = run(seeds_and_pieces, [(files, grid, t) for t in tiles])
    offsets, root = join_rims([f[2] for f in found], grid.rows, grid.cols)
    seeds = np.concatenate([f[0] for f in found]) if found else np.empty((0, 2), np.int64)
    owner = np.concatenate([f[1].astype(np.int64) + offsets[i] for i, f in enumerate(found)])
    order = np.argsort(seeds[:, 0] * grid.shape[1] + seeds[:, 1], kind="stable")
    first = np.full(len(root), np.iinfo(np.int64).max)
    np.minimum.at(first, root[owner[order]], np.arange(len(order), dtype=np.int64))
    label = np.where(first < len(order), first + 1, 0).astype(np.uint32)
    run(relabel, [(files.grown, files.grown, t, joined_labels(offsets, root, label, t.index, found[t.index][2].count))
                  for t in tiles])
    run(extend, [(files, grid, t) for t in tiles])

    stage("cut to foreground in tiles")
    counted = run(cut_and_count, [(files, grid, t) for t in tiles])
    total = np.zeros(len(order) + 2, np.int64)
    for values, counts, _ in counted:
        np.add.at(total, values.astype(np.intp), counts)

    stage("join unclaimed foreground")
    # Tiles are in row-major order of cores, not of pixels: the indices are sorted once here.
    unclaimed = np.sort(np.concatenate([c[2] for c in counted]))
    labels: NDArray[np.uint32] = files.labels.mapped("r+")
    flat = labels.reshape(-1)
    joined = join_unclaimed(flat, grid.shape, unclaimed)
    np.add.at(total, flat[joined].astype(np.intp), 1)
    labels.flush()   # type: ignore[attr-defined]
    del labels, flat

    stage("renumbering in tiles")
    keep = (total > 0) & (total <= 0.4 * (grid.shape[0] * grid.shape[1]))
    keep[0] = False
    table = np.cumsum(keep, dtype=np.uint32)
    table[~keep] = 0
    measured = run(renumber_and_measure, [(files, t, table) for t in tiles])

    stage("quality control in tiles")
    n = int(table.max(initial=0))
    boxes = np.zeros((n + 1, 2, 2), np.int32)
    boxes[:, :, 0], boxes[:, :, 1] = np.iinfo(np.int32).max, -1
    for present, box in measured:
        np.minimum.at(boxes[:, :, 0], present.astype(np.intp), box[:, :, 0])
        np.maximum.at(boxes[:, :, 1], present.astype(np.intp), box[:, :, 1])
    home = grid.tile_of(boxes[1:, 0, 0].astype(np.int64), boxes[1:, 1, 0].astype(np.int64))
    groups = [np.flatnonzero(home == t.index) + 1 for t in tiles]
    calls = [(files, g, boxes[g], n, min_size, approx_frac) for g in groups if g.size]
    errors, sizes = np.zeros(n, np.float64), np.zeros(n, np.uint32)
    for g, (e, s) in zip([g for g in groups if g.size], run(flow_errors, calls)):
        errors[g - 1], sizes[g - 1] = e, s
    small = sizes < min_size
    bad_flow = ~small & (errors > flow_threshold)
    kept = np.r_[False, ~(small | bad_flow)]
    renum = np.cumsum(kept, dtype=np.uint32)
    renum[~kept] = 0

    stage("fill enclosed holes in tiles")
    pieces = run(background_pieces, [(files, grid, t, renum) for t in tiles])
    offsets, root = join_rims([p[0] for p in pieces], grid.rows, grid.cols)
    edge = np.zeros(len(root), bool)
    low = np.full(len(root), np.iinfo(np.int64).max)
    high = np.full(len(root), -1, np.int64)
    for i, (rim, on_edge, beside) in enumerate(pieces):
        at = root[offsets[i] + np.arange(1, rim.count + 1)]
        np.logical_or.at(edge, at, on_edge[1:])
        seen = beside[1:] != 0
        np.minimum.at(low, at[seen], beside[1:][seen])
        np.maximum.at(high, at[seen], beside[1:][seen])
    one = (low == high) & (low > 0) & ~edge
    fill = np.where(one, low, 0).astype(np.uint32)
    filled = run(fill_and_finish, [(files, t, renum, joined_labels(offsets, root, fill, t.index,
                                                                   pieces[t.index][0].count)) for t in tiles])
    return Outcome(seeds[order].astype(np.uint32), errors, sizes, small, bad_flow, int(sum(filled)))
