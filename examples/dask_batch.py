"""Segments many images, or the tiles of one large image, in parallel with Dask, and reports the
throughput for each number of workers.

    python examples/dask_batch.py [--images 8] [--size 384] [--workers 1,2] [--distributed]
    python examples/dask_batch.py --tiles 512 --size 2048

Batch mode (default) makes one dask.delayed task per synthetic image. Tile mode cuts one large
synthetic mask into square tiles with dask.array and runs the road on each block with
map_blocks; objects that a tile border cuts come back as separate pieces, so choose tiles much
larger than a cell. The threaded scheduler is the default: every kernel releases the
interpreter lock, so threads run them on all cores at once. --distributed runs the same graph
on a local dask.distributed cluster of worker processes instead (on 127.0.0.1, no dashboard).
Every run is checked against the serial result.
"""
from __future__ import annotations

import argparse
import importlib
import os
import pathlib
import sys
import time
from collections.abc import Sequence
from typing import Any

import numpy as np
from numpy.typing import NDArray

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

import segmentation_road as road  # noqa: E402

# Dask annotates some of its functions and not others, differently from release to release:
# reached through Any, the calls below type-check the same way with every release.
dask: Any = importlib.import_module("dask")
da: Any = importlib.import_module("dask.array")

Masks = NDArray[np.uint32]


def rebuild(mask: Masks, n_steps: int = road.DEFAULT_STEPS,
            approx_frac: float = road.DEFAULT_APPROX_FRAC) -> Masks:
    """The rebuilt label mask of one image: one task of the batch. An array that reached a
    worker through the network may lie misaligned in its message buffer: the kernels need it
    aligned, so such an array is copied first."""
    mask = np.require(mask, np.uint32, ["C", "A"])
    return road.segment(mask, n_steps, approx_frac).masks


def rebuild_tile(tile: Masks) -> Masks:
    """One block of a tiled mask: its labels renumbered 1 … n (boxes need that), then the road."""
    return rebuild(road.relabel_consecutive(tile))


def stitch_labels(tiles: NDArray[np.uint32], tile: int) -> Masks:
    """Makes the per-tile labels unique across the image: each tile's labels are shifted past
    those of the tiles before it, in row-major tile order."""
    out = tiles.copy()
    offset = 0
    for y in range(0, out.shape[0], tile):
        for x in range(0, out.shape[1], tile):
            block = out[y:y + tile, x:x + tile]
            top = int(block.max(initial=0))
            block[block > 0] += np.uint32(offset)
            offset += top
    return out


def batch_graph(masks: Sequence[Masks]) -> list[Any]:
    """One delayed task per image."""
    task = dask.delayed(rebuild, pure=True)
    return [task(m) for m in masks]


def tile_graph(mask: Masks, tile: int) -> Any:
    """A dask array of rebuilt tiles, block by block."""
    blocks = da.from_array(mask, chunks=(tile, tile))
    return blocks.map_blocks(rebuild_tile, dtype=np.uint32)


def compute(graph: Any, workers: int, client: Any = None) -> Any:
    """Runs a graph on `workers` threads, or on a distributed client when one is given."""
    if client is not None:
        return client.compute(graph, sync=True)
    return dask.compute(graph, scheduler="threads", num_workers=workers)[0]


def segment_batch(masks: Sequence[Masks], workers: int, client: Any = None) -> list[Masks]:
    return list(compute(batch_graph(masks), workers, client))


def segment_tiles(mask: Masks, tile: int, workers: int, client: Any = None) -> Masks:
    return stitch_labels(np.asarray(compute(tile_graph(mask, tile), workers, client)), tile)


def segment_serially(masks: Sequence[Masks], tile: int | None) -> list[Masks]:
    """The reference: the same work in a plain loop."""
    if tile is None:
        return [rebuild(m) for m in masks]
    (mask,) = masks
    out = np.zeros_like(mask)
    for y in range(0, mask.shape[0], tile):
        for x in range(0, mask.shape[1], tile):
            out[y:y + tile, x:x + tile] = rebuild_tile(mask[y:y + tile, x:x + tile])
    return [stitch_labels(out, tile)]


def local_cluster(workers: int) -> Any:
    """A client of `workers` single-threaded worker processes on this machine."""
    distributed: Any = importlib.import_module("distributed")
    cluster = distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                       host="127.0.0.1", dashboard_address=None)
    return distributed.Client(cluster)


def parse_args(argv: list[str]) -> argparse.Namespace:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0] if __doc__ else None)
    p.add_argument("--images", type=int, default=8, help="images in the batch (default 8)")
    p.add_argument("--size", type=int, default=384, help="side of each image, or of the tiled image")
    p.add_argument("--tiles", type=int, default=None, metavar="SIDE",
                   help="segment one image of --size in tiles of SIDE x SIDE instead of a batch")
    p.add_argument("--workers", default=None, help="comma-separated worker counts (default 1 … cores)")
    p.add_argument("--distributed", action="store_true", help="use a local dask.distributed cluster")
    return p.parse_args(argv)


def main(argv: list[str]) -> int:
    args = parse_args(argv)
    cores = len(os.sched_getaffinity(0))
    counts = [int(w) for w in args.workers.split(",")] if args.workers else list(range(1, cores + 1))
    shape = (args.size, args.size)
    if args.tiles is None:
        masks = [road.synthetic_mask(shape, seed=i) for i in range(args.images)]
        what = f"{args.images} images of {args.size} x {args.size}"
    else:
        masks = [road.synthetic_mask(shape, seed=0)]
        what = f"one {args.size} x {args.size} image in tiles of {args.tiles} x {args.tiles}"
    pixels = sum(m.size for m in masks)
    if args.tiles is None:
        tasks, unit = len(masks), "images/s"
    else:
        tasks, unit = ((args.size + args.tiles - 1) // args.tiles) ** 2, "tiles/s"
    expected = segment_serially(masks, args.tiles)
    engine = "dask.distributed, one process per worker" if args.distributed else "dask threads"
    print(f"{what}, {sum(int(m.max()) for m in masks)} objects; {engine}")
    print(f"{'workers':>7} {'seconds':>8} {unit:>9} {'Mpx/s':>7} {'speed-up':>8}")

    # One untimed run first, so that no row pays for starting the thread pool or importing.
    segment_batch(masks[:1], 1) if args.tiles is None else segment_tiles(masks[0], args.tiles, 1)
    first = None
    for workers in counts:
        client = local_cluster(workers) if args.distributed else None
        try:
            t0 = time.perf_counter()
            if args.tiles is None:
                found = segment_batch(masks, workers, client)
            else:
                found = [segment_tiles(masks[0], args.tiles, workers, client)]
            seconds = time.perf_counter() - t0
        finally:
            if client is not None:
                client.close()
                client.cluster.close()
        if not all(np.array_equal(a, b) for a, b in zip(found, expected)):
            print(f"{workers} workers: the result differs from the serial one", file=sys.stderr)
            return 1
        first = first or seconds
        print(f"{workers:>7} {seconds:>8.3f} {tasks / seconds:>9.2f} {pixels / seconds / 1e6:>7.2f} "
              f"{first / seconds:>8.2f}")
    print("every run equals the serial result")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
