"""Segments many images, or one image too large for one call in overlapping tiles, in parallel
with Dask, and reports the throughput for each number of workers.

    python examples/dask_batch.py [--images 8] [--size 384] [--workers 1,2] [--distributed]
    python examples/dask_batch.py --tiles 1024 --size 4096 [--overlap 128] [--mask FILE] [--save FILE.npy]

Batch mode (default) makes one dask.delayed task per synthetic image and checks every run
against the serial loop. Tile mode segments one image (a synthetic mosaic of --size, or --mask
FILE) with `tiled_road.segment_tiled`: each tile runs the road on its core widened by --overlap
pixels (by default what the largest cell needs), writes its core, and the cells are numbered by
their seeds, so the stitched mask is the whole image's own segmentation. Each run is checked
cell by cell against one whole-image run, whose time is the reference of the last column.
A .npy --mask is memory-mapped and read a window at a time; --save writes the stitched mask to
a .npy file core by core; --picture draws it with the tile grid and the cells that cross it.
The threaded scheduler is the default: every kernel releases the interpreter lock, so threads
run them on all cores at once. --distributed runs the same graph on a local dask.distributed
cluster of worker processes instead (on 127.0.0.1, status pages on a free port) and reports the largest peak
memory of a worker during the run, in MB and in tiles (the 4-byte labels of one tile).
Progress goes to stderr as each stage starts (the synthetic input piece by piece, the reference
run, tile by tile with threads): always with --progress, by itself from 4 megapixels on.
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

# Dask annotates some of its functions and not others, differently from release to release:
# reached through Any, the calls below type-check the same way with every release.
try:
    dask: Any = importlib.import_module("dask")
    dask_callbacks: Any = importlib.import_module("dask.callbacks")
except ImportError:
    raise SystemExit('dask_batch.py needs Dask: pip install "dask[array]" '
                     "(and distributed for --distributed)") from None

import segmentation_road as road  # noqa: E402
import tiled_road  # noqa: E402
from segment_demo import PROGRESS_PIXELS, Progress  # noqa: E402

Masks = NDArray[np.uint32]
MOSAIC_PIECE = 1000  # side of the synthetic fields that a mosaic is made of


def count_tasks(progress: Progress, what: str, name: str, total: int) -> Any:
    """A callback of Dask's local schedulers that reports every finished task called `name`
    as "what k of total"; a distributed cluster does not call it."""
    done = 0

    def posttask(key: Any, result: Any, dsk: Any, state: Any, worker_id: Any) -> None:
        nonlocal done
        if dask.utils.key_split(key) == name:
            done += 1
            progress(f"{what} {done} of {total}")
    return dask_callbacks.Callback(posttask=posttask)


def rebuild(mask: Masks, n_steps: int = road.DEFAULT_STEPS,
            approx_frac: float = road.DEFAULT_APPROX_FRAC) -> Masks:
    """The rebuilt label mask of one image: one task of the batch. An array that reached a
    worker through the network may lie misaligned in its message buffer: the kernels need it
    aligned, so such an array is copied first."""
    mask = np.require(mask, np.uint32, ["C", "A"])
    return road.segment(mask, n_steps, approx_frac).masks


def batch_graph(masks: Sequence[Masks]) -> list[Any]:
    """One delayed task per image."""
    task = dask.delayed(rebuild, pure=True)
    return [task(m) for m in masks]


def segment_batch(masks: Sequence[Masks], workers: int, client: Any = None) -> list[Masks]:
    """Runs the batch on `workers` threads, or on a distributed client when one is given."""
    if client is not None:
        return list(client.compute(batch_graph(masks), sync=True))
    return list(dask.compute(batch_graph(masks), scheduler="threads", num_workers=workers)[0])


def segment_serially(masks: Sequence[Masks]) -> list[Masks]:
    """The reference: the same work in a plain loop."""
    return [rebuild(m) for m in masks]


def local_cluster(workers: int, memory_limit: str = "auto") -> Any:
    """A client of `workers` single-threaded worker processes on this machine, each capped at
    `memory_limit` (Dask's form: "2GiB"; "auto" shares the machine's memory among them)."""
    distributed: Any = importlib.import_module("distributed")
    cluster = distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                       memory_limit=memory_limit,
                                       host="127.0.0.1", dashboard_address=":0")  # a free port: runs side by side
    return distributed.Client(cluster)


def resident_bytes(field: str = "VmRSS") -> int:
    """A size from /proc/self/status (VmRSS now, VmHWM the peak since the last reset), in bytes;
    0 where the system has none."""
    try:
        for line in pathlib.Path("/proc/self/status").read_text().splitlines():
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    except OSError:
        pass
    return 0


def reset_peak_memory() -> int:
    """Starts a new peak of this process's resident size (Linux) and returns the size now."""
    try:
        pathlib.Path("/proc/self/clear_refs").write_text("5")
    except OSError:
        pass
    return resident_bytes()


def parse_args(argv: list[str]) -> argparse.Namespace:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0] if __doc__ else None)
    p.add_argument("--images", type=int, default=8, help="images in the batch (default 8)")
    p.add_argument("--size", type=int, default=384, help="side of each image, or of the tiled image")
    p.add_argument("--tiles", type=int, default=None, metavar="SIDE",
                   help="segment one image in tiles of SIDE x SIDE instead of a batch")
    p.add_argument("--overlap", type=int, default=None, metavar="O",
                   help="pixels of context around each tile (default: what the largest cell needs)")
    p.add_argument("--mask", type=pathlib.Path, default=None, metavar="FILE",
                   help="label mask to tile (.npy is memory-mapped; .tif, .png) instead of a synthetic one")
    p.add_argument("--save", type=pathlib.Path, default=None, metavar="FILE.npy",
                   help="write the stitched mask to this .npy file, core by core")
    p.add_argument("--picture", type=pathlib.Path, default=None, metavar="FILE.png",
                   help="draw the stitched mask with the tile grid and the cells that cross it")
    p.add_argument("--no-check", action="store_true",
                   help="skip the whole-image run that every tiled run is compared with")
    p.add_argument("--workers", default=None, help="comma-separated worker counts (default 1 … cores)")
    p.add_argument("--distributed", action="store_true", help="use a local dask.distributed cluster")
    p.add_argument("--progress", action="store_true",
                   help="report each stage on stderr as it starts (by itself from 4 megapixels on)")
    args = p.parse_args(argv)
    if args.tiles is None and (args.overlap is not None or args.mask or args.save or args.picture):
        p.error("--overlap, --mask, --save and --picture go with --tiles")
    if args.save is not None and args.save.suffix != ".npy":
        p.error("--save writes a .npy file")
    return args


HEADER = f"{'workers':>7} {'seconds':>8} {'{unit}':>9} {'Mpx/s':>7} {'speed-up':>8}"


def row(workers: int, seconds: float, tasks: int, pixels: int, first: float) -> str:
    return (f"{workers:>7} {seconds:>8.3f} {tasks / seconds:>9.2f} {pixels / seconds / 1e6:>7.2f} "
            f"{first / seconds:>8.2f}")


def with_client(workers: int, distributed: bool, run: Any) -> Any:
    """run(client) on a fresh local cluster of `workers` processes, or run(None) for threads."""
    client = local_cluster(workers) if distributed else None
    try:
        return run(client)
    finally:
        if client is not None:
            client.close()
            client.cluster.close()


def batch_main(args: argparse.Namespace, counts: list[int]) -> int:
    shape = (args.size, args.size)
    progress = Progress(args.progress or args.images * args.size * args.size >= PROGRESS_PIXELS)
    masks = []
    for i in range(args.images):
        progress(f"making synthetic image {i + 1} of {args.images}")
        masks.append(road.synthetic_mask(shape, seed=i))
    pixels = sum(m.size for m in masks)
    progress("the serial run that every Dask run is checked against")
    expected = segment_serially(masks)
    engine = "dask.distributed, one process per worker" if args.distributed else "dask threads"
    print(f"{args.images} images of {args.size} x {args.size}, {sum(int(m.max()) for m in masks)} objects; {engine}")
    print(HEADER.replace("{unit}", "images/s"))
    segment_batch(masks[:1], 1)     # untimed: no row pays for starting the thread pool or importing
    first = None
    for workers in counts:
        def run(client: Any) -> tuple[list[Masks], float]:
            t0 = time.perf_counter()
            found = segment_batch(masks, workers, client)
            return found, time.perf_counter() - t0
        progress(f"{workers} workers")
        found, seconds = with_client(workers, args.distributed, run)
        if not all(np.array_equal(a, b) for a, b in zip(found, expected)):
            print(f"{workers} workers: the result differs from the serial one", file=sys.stderr)
            return 1
        first = first or seconds
        print(row(workers, seconds, len(masks), pixels, first))
    print("every run equals the serial result")
    return 0


def tiles_source(args: argparse.Namespace, progress: Progress) -> tuple[Any, str]:
    """The image to tile: a memory-mapped .npy path, another label file read whole, or a mosaic."""
    if args.mask is None:
        shape = (args.size, args.size)
        pieces = len(tiled_road.tile_grid(shape, MOSAIC_PIECE, 0))
        progress(f"making a synthetic {args.size} x {args.size} mosaic of {pieces} field{'s' * (pieces != 1)}")
        with count_tasks(progress, "mosaic field", "synthetic_mask", pieces):
            mosaic = tiled_road.synthetic_mosaic(shape, MOSAIC_PIECE)
        return mosaic, f"synthetic mosaic {args.size} x {args.size}"
    progress(f"reading {args.mask}")
    if args.mask.suffix.lower() == ".npy":
        return str(args.mask), str(args.mask)
    return road.load_mask(args.mask), str(args.mask)


def tiles_main(args: argparse.Namespace, counts: list[int]) -> int:
    progress = Progress(args.progress or (args.mask is None and args.size * args.size >= PROGRESS_PIXELS))
    source, what = tiles_source(args, progress)
    shape = tiled_road.check_label_source(source)[1]
    pixels = shape[0] * shape[1]
    progress.enabled |= pixels >= PROGRESS_PIXELS  # a large --mask too
    progress("measuring the largest cell")
    largest = tiled_road.largest_cell(source)
    needed = tiled_road.required_overlap(largest)
    overlap = needed if args.overlap is None else args.overlap
    n_tiles = len(tiled_road.tile_grid(shape, args.tiles, overlap))
    engine = "dask.distributed, one process per worker" if args.distributed else "dask threads"
    print(f"{what}: {shape[0]} x {shape[1]} in {n_tiles} tiles of {args.tiles}, overlap {overlap} "
          f"(largest cell {largest} px: exact from {needed}); {engine}")
    whole = None
    whole_seconds = whole_cpu = float("nan")
    if not args.no_check:
        progress("whole image: reading and renumbering the labels")
        image = road.relabel_consecutive(np.asarray(np.load(source, mmap_mode="r") if isinstance(source, str) else source))
        t0, c0 = time.perf_counter(), time.process_time()
        whole = road.segment(image, progress=lambda stage: progress(f"whole image: {stage}")).masks
        whole_seconds, whole_cpu = time.perf_counter() - t0, time.process_time() - c0
        del image
        print(f"whole image on one core: {whole_seconds:.3f} s, {pixels / whole_seconds / 1e6:.2f} Mpx/s, "
              f"{int(whole.max(initial=0))} cells")
    tile_bytes = args.tiles * args.tiles * 4
    # Wall time and processor time (of every worker) against the whole-image run: on a busy
    # machine the processor time still says what the tiles cost.
    print(HEADER.replace("{unit}", "tiles/s") + f" {'t/whole':>7} {'cpu/whole':>9} {'peak MB':>8} {'tiles':>6}")
    first = None
    stitched: Any = None
    for workers in counts:
        def run(client: Any) -> tuple[Any, float, float, int | None]:
            # Fresh worker processes measure their own peak; this process, which has run the
            # whole image and earlier rows, would reuse memory it freed and hide the peak.
            base = client.run(reset_peak_memory) if client is not None else {}
            cpu = client.run(time.process_time) if client is not None else {}
            t0, c0 = time.perf_counter(), time.process_time()
            with count_tasks(progress, f"{workers} workers: tile", "segment_and_write", n_tiles):
                found = tiled_road.segment_tiled(source, args.tiles, overlap, client, workers=workers, out=args.save)
            seconds = time.perf_counter() - t0
            used = time.process_time() - c0
            if client is not None:
                used += sum(t - cpu[k] for k, t in client.run(time.process_time).items())
            peaks = client.run(resident_bytes, "VmHWM") if client is not None else {}
            return found, seconds, used, max((peaks[k] - base[k] for k in peaks), default=None)
        progress(f"{workers} workers: {n_tiles} tiles")
        stitched, seconds, used, peak = with_client(workers, args.distributed, run)
        if whole is not None:
            agree = tiled_road.agreement(whole, np.asarray(stitched))
            if agree.identical != agree.n_whole or agree.n_tiled != agree.n_whole:
                print(f"{workers} workers: {agree.identical} of {agree.n_whole} cells identical to the whole "
                      f"image, {agree.split} split, {agree.n_tiled} found; an overlap of {needed} makes "
                      f"them all identical", file=sys.stderr)
                return 1
        first = first or seconds
        memory = f"{peak / 2**20:>8.0f} {peak / tile_bytes:>6.1f}" if peak is not None else f"{'-':>8} {'-':>6}"
        print(row(workers, seconds, n_tiles, pixels, first)
              + f" {seconds / whole_seconds:>7.2f} {used / whole_cpu:>9.2f} {memory}")
    if whole is not None:
        print(f"every run equals the whole-image segmentation: {int(whole.max(initial=0))} cells identical, "
              "none split or duplicated")
    if args.save is not None:
        print(f"stitched mask: {args.save}")
    if args.picture is not None:
        try:
            import matplotlib  # noqa: F401
        except ImportError:
            print("picture skipped: matplotlib is not installed (pip install matplotlib)")
            return 0
        import road_picture

        path = road_picture.write_tiles_picture(args.picture, np.asarray(stitched), args.tiles,
                                                f"{what}: {int(np.asarray(stitched).max())} cells in tiles of "
                                                f"{args.tiles}, overlap {overlap}")
        print(f"picture: {path}")
    return 0


def main(argv: list[str]) -> int:
    args = parse_args(argv)
    cores = len(os.sched_getaffinity(0))
    counts = [int(w) for w in args.workers.split(",")] if args.workers else list(range(1, cores + 1))
    return batch_main(args, counts) if args.tiles is None else tiles_main(args, counts)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
