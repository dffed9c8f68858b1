"""Benchmarks: each kernel beside its baselines, run side by side in one process.

    python benchmarks/run.py [--quick] [--json results.json] [--only SUBSTRING] [--repeat N]

Baselines: the scalar C++ transcription of the kernel's loops (benchmarks/scalar/, compiled here
with g++ -O2 -ffp-contract=off), the NumPy/SciPy/scikit-image code for the same job, and the
copy floor (np.copyto of as many bytes as the kernel must read plus write). Each row prints our
time, each baseline's time and the ratio baseline / ours (above 1: we are faster; against the
copy floor 0.5 means "twice the floor"). Timings are the best of several rounds in which the
contenders alternate, so a burst of load from elsewhere hits them alike.
"""
import argparse
import json
import multiprocessing
import os
import pathlib
import platform
import sys
import threading
import time

import numpy as np

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "tests" / "python"))

import sarvo_functions as sf  # noqa: E402

import following_peers as peers  # noqa: E402
import numpy_baselines as nb  # noqa: E402
import reference_flow_following as ref_flow  # noqa: E402
import road  # noqa: E402
import synthetic  # noqa: E402
from scalar_lib import Scalar  # noqa: E402


# ---------------------------------------------------------------------------------------------
# Timing

def race(contenders, repeat):
    """contenders: name -> (prepare, run); prepare() makes fresh inputs (not timed), run(inputs)
    is timed. Rounds alternate the contenders; returns name -> best seconds."""
    best = {name: float("inf") for name in contenders}
    for _ in range(repeat):
        for name, (prepare, run) in contenders.items():
            args = prepare()
            t0 = time.perf_counter()
            run(args)
            best[name] = min(best[name], time.perf_counter() - t0)
    return best


def copy_floor(nbytes):
    """(prepare, run) copying nbytes with np.copyto between two touched buffers."""
    src = np.ones(nbytes, np.uint8)
    dst = np.zeros(nbytes, np.uint8)
    return (lambda: None), (lambda _: np.copyto(dst, src))


def same(fn):
    """(prepare, run) for a call that needs no fresh inputs."""
    return (lambda: None), (lambda _: fn())


def cpu_model():
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def bits_equal(a, b):
    a, b = np.asarray(a), np.asarray(b)
    return a.shape == b.shape and a.dtype == b.dtype and a.tobytes() == b.tobytes()


def row(case, size, times, ours="ours", targets=None, note=""):
    """A table row: our time, the baselines, ratios and the targets (minimum ratios)."""
    out = {"case": case, "size": size, "ours_s": times[ours],
           "baselines": {k: v for k, v in times.items() if k != ours},
           "targets": targets or {}, "note": note}
    out["ratios"] = {k: v / times[ours] for k, v in out["baselines"].items()}
    out["met"] = all(out["ratios"].get(k, 0) >= t for k, t in out["targets"].items())
    return out


# ---------------------------------------------------------------------------------------------
# Diffusion flows

# The NumPy side of the diffusion rows takes minutes beyond 2048²: it is left out there.
DIFFUSION_NUMPY_UP_TO = 2048


def diffusion_targets(times):
    return {"scalar": 3, **({"numpy": 30} if "numpy" in times else {})}


def bench_masks_to_flow(scalar, side, approx_frac, repeat, numpy_repeat):
    masks, slices = synthetic.cell_mask(side), synthetic.boxes(side)
    check = bits_equal(sf._masks_to_flow(masks, slices, approx_frac), scalar.masks_to_flow(masks, slices, approx_frac))
    times = race({"ours": same(lambda: sf._masks_to_flow(masks, slices, approx_frac)),
                  "scalar": same(lambda: scalar.masks_to_flow(masks, slices, approx_frac))}, repeat)
    if numpy_repeat:
        times.update(race({"numpy": same(lambda: nb.masks_to_flow(masks, slices, approx_frac))}, numpy_repeat))
    return row(f"_masks_to_flow approx_frac={approx_frac}", f"{side}^2", times, targets=diffusion_targets(times),
               note=f"{len(slices)} objects; bits equal to scalar: {check}")


def bench_extend_centers(scalar, side, approx_frac, repeat, numpy_repeat):
    objects = synthetic.object_lists(side)
    packed = scalar.extend_centers_many(objects)
    ours_all = np.concatenate([sf._extend_centers(ys, xs, ly, lx, approx_frac) for ys, xs, ly, lx in objects])
    check = bits_equal(ours_all, scalar.extend_centers_batch(packed, approx_frac))

    def every(fn):
        return same(lambda: [fn(ys, xs, ly, lx, approx_frac) for ys, xs, ly, lx in objects])

    times = race({"ours": every(sf._extend_centers),
                  "scalar": same(lambda: scalar.extend_centers_batch(packed, approx_frac))}, repeat)
    if numpy_repeat:
        times.update(race({"numpy": every(nb.extend_centers)}, numpy_repeat))
    return row(f"_extend_centers approx_frac={approx_frac}", f"{side}^2", times, targets=diffusion_targets(times),
               note=f"{len(objects)} objects: ours one Python call each, scalar one call for all; "
                    f"bits equal to scalar: {check}")


def bench_flow_error(scalar, side, approx_frac, repeat, numpy_repeat):
    masks, slices = synthetic.cell_mask(side), synthetic.boxes(side)
    flow = sf._masks_to_flow(masks, slices, 1.0).astype(np.float32)
    args = (masks, flow, slices, 0, approx_frac)
    a, b = sf.compute_flow_error_cell_size(*args), scalar.flow_error_cell_size(*args)
    check = bits_equal(a[0], b[0]) and bits_equal(a[1], b[1])
    times = race({"ours": same(lambda: sf.compute_flow_error_cell_size(*args)),
                  "scalar": same(lambda: scalar.flow_error_cell_size(*args))}, repeat)
    if numpy_repeat:
        times.update(race({"numpy": same(lambda: nb.flow_error_cell_size(*args))}, numpy_repeat))
    return row(f"compute_flow_error_cell_size approx_frac={approx_frac}", f"{side}^2", times,
               targets=diffusion_targets(times), note=f"diffusion branch; bits equal to scalar: {check}")


def bench_approximate_diffusion(scalar, repeat):
    rng = np.random.default_rng(0)
    dy, dx = (rng.integers(-40, 41, 1 << 20).astype(np.int32) for _ in range(2))
    check = bits_equal(sf._approximate_diffusion(dy, dx, 60), scalar.approximate_diffusion(dy, dx, 60))
    times = race({"ours": same(lambda: sf._approximate_diffusion(dy, dx, 60)),
                  "scalar": same(lambda: scalar.approximate_diffusion(dy, dx, 60))}, repeat)
    return row("_approximate_diffusion niter=60", "2^20 offsets", times, targets={"scalar": 1.5},
               note=f"bits equal to scalar: {check}")


# ---------------------------------------------------------------------------------------------
# Flow following

def bench_steps2d_all(scalar, side, n_steps, interpolate, repeat, numpy_repeat):
    flow = synthetic.smooth_flow(side)
    check = bits_equal(sf._steps2D_all(flow.copy(), n_steps, interpolate),
                       scalar.steps2D_all(flow.copy(), n_steps, interpolate))
    fresh = lambda: flow.copy()  # noqa: E731  (the transcription overwrites its input)
    times = race({"ours": (fresh, lambda f: sf._steps2D_all(f, n_steps, interpolate)),
                  "scalar": (fresh, lambda f: scalar.steps2D_all(f, n_steps, interpolate))}, repeat)
    targets = {"scalar": 2.5 if side >= 4096 else 1.2}
    if interpolate and numpy_repeat:
        times.update(race({"numpy": (fresh, lambda f: ref_flow.steps2d_all(f, n_steps, True))}, numpy_repeat))
        targets["numpy"] = 20
    sampling = "bilinear" if interpolate else "nearest"
    return row(f"_steps2D_all n_steps={n_steps} {sampling}", f"{side}^2", times, targets=targets,
               note=f"bits equal to scalar: {check}")


def bench_following_peers(scalar, side, repeat, part):
    """_steps2D_all (200 steps, bilinear) against the loops a user would write with grid_sample
    (one thread) and map_coordinates, timed on `part` of the 200 steps and scaled when part is
    smaller, and against the floor: the same number of bilinear gathers per pixel as our walk
    makes, along the paths it takes, without the walk."""
    n_steps = 200
    flow = synthetic.smooth_flow(side)
    disp = sf._steps2D_all(flow.copy(), n_steps, True)
    gathers = sum(r for r, _ in ref_flow.rounds(n_steps))
    fresh = lambda: flow.copy()  # noqa: E731
    times = race({"ours": (fresh, lambda f: sf._steps2D_all(f, n_steps, True)),
                  "gather floor": same(lambda: scalar.gather_floor(flow, disp, gathers))}, repeat)
    loops = {"map_coordinates": peers.map_coordinates_steps}
    if peers.torch_steps is not None:
        loops["grid_sample"] = peers.torch_steps
    for name, loop in loops.items():
        times[name] = race({name: same(lambda: loop(flow, part))}, 1)[name] * n_steps / part
    torch_note = (f"torch {peers.torch_version()} on one thread" if peers.torch_steps is not None
                  else "torch does not import here: no grid_sample row")
    return row(f"_steps2D_all n_steps={n_steps} bilinear, peers", f"{side}^2", times,
               note=f"floor: {gathers} bilinear gathers per pixel; peers timed on {part} of {n_steps} steps "
                    f"and scaled; {torch_note}")


def bench_steps2d(scalar, side, n_steps, interpolate, repeat, numpy_repeat):
    flow = synthetic.smooth_flow(side)
    ys, xs = ref_flow.moving_set(flow)
    decay = np.float32(0.98)
    disp_a, disp_b = np.empty_like(flow), np.empty_like(flow)
    sf._steps2D(flow, (ys, xs), disp_a, n_steps, decay, interpolate)
    scalar.steps2D(flow, (ys, xs), disp_b, n_steps, decay, interpolate)
    check = bits_equal(disp_a, disp_b)
    times = race({"ours": same(lambda: sf._steps2D(flow, (ys, xs), disp_a, n_steps, decay, interpolate)),
                  "scalar": same(lambda: scalar.steps2D(flow, (ys, xs), disp_b, n_steps, decay, interpolate))},
                 repeat)
    sampling = "bilinear" if interpolate else "nearest"
    if not interpolate:
        return row(f"_steps2D n_steps={n_steps} {sampling}", f"{side}^2", times, targets={"scalar": 3},
                   note=f"bits equal to scalar: {check}")
    # Every step of the NumPy version does the same work, so a tenth of the steps, times ten,
    # stands for the whole run (which would take minutes).
    part = max(n_steps // 10, 1)
    numpy_part = race({"numpy": same(lambda: ref_flow.step_routine(flow, ys, xs, part, decay, interpolate,
                                                                     np.float32))},
                      numpy_repeat)["numpy"]
    times["numpy"] = numpy_part * n_steps / part
    return row(f"_steps2D n_steps={n_steps} {sampling}", f"{side}^2", times, targets={"scalar": 3, "numpy": 20},
               note=f"bits equal to scalar: {check}; numpy timed on {part} steps and scaled")


# ---------------------------------------------------------------------------------------------
# Single-pass kernels

def single_pass_cases(side, scalar=None):
    """name -> (bytes read + written per call, ours (prepare, run), library counterpart or None,
    scalar transcription (prepare, run) or None)."""
    masks, slices = synthetic.cell_mask(side), synthetic.boxes(side)
    pos, foreground = synthetic.converged_displacements(side)
    hist = sf.p_histogram(pos, foreground)
    seeds = sf.find_seeds(hist)
    grown = sf.bfs(hist, pos.copy(), seeds)
    remove = np.zeros(len(slices), bool)
    remove[::7] = True
    rpos, rmask = synthetic.random_short_displacements(side)
    px = side * side
    fresh_pos = lambda: pos.copy()  # noqa: E731
    sc = scalar
    return {
        "p_histogram": (px * (4 + 1 + 1), same(lambda: sf.p_histogram(pos, foreground)),
                        same(lambda: nb.p_histogram(pos, foreground)),
                        sc and same(lambda: sc.p_histogram(pos, foreground))),
        "p_histogram random": (px * (4 + 1 + 1), same(lambda: sf.p_histogram(rpos, rmask)),
                               same(lambda: nb.p_histogram(rpos, rmask)),
                               sc and same(lambda: sc.p_histogram(rpos, rmask))),
        "extend_seed": (px * (4 + 4 + 4), ((lambda: grown.copy()), lambda m: sf.extend_seed(m, pos)),
                        ((lambda: grown.copy()), lambda m: nb.extend_seed(m, pos)),
                        sc and ((lambda: grown.copy()), lambda m: sc.extend_seed(m, pos))),
        "renum_masks": (px * (4 + 4), ((lambda: masks.copy()), lambda m: sf.renum_masks(m, remove)),
                        ((lambda: masks.copy()), lambda m: nb.renum_masks(m, remove)), None),
        # Labels with gaps, as bfs leaves them: every label changes.
        "renumbering": (px * (4 + 4), ((lambda: (masks.ravel() * 3)), lambda m: sf.renumbering(m, 0)),
                        ((lambda: (masks.ravel() * 3)), lambda m: nb.renumbering(m, 0)),
                        sc and ((lambda: (masks.ravel() * 3)), lambda m: sc.renumbering(m, 0))),
        "compute_cell_size": (px * 4, same(lambda: sf.compute_cell_size(masks, slices)),
                              same(lambda: nb.compute_cell_size(masks, slices)), None),
        "find_seeds": (px * 1, same(lambda: sf.find_seeds(hist)), same(lambda: nb.find_seeds(hist)), None),
        "bfs": (px * 4, (fresh_pos, lambda p: sf.bfs(hist, p, seeds)), (fresh_pos, lambda p: nb.bfs(hist, p, seeds)),
                sc and (fresh_pos, lambda p: sc.bfs(hist, p, seeds))),
        "fill_holes": (px * (4 + 4), ((lambda: masks.copy()), sf.fill_holes),
                       ((lambda: masks.copy()), nb.fill_holes), None),
    }


# within 4x of the floor; the others within 2x
FLOOR_TARGET = {"find_seeds": 0.25, "bfs": 0.25, "fill_holes": 0.25, "p_histogram random": 0.25}
LIBRARY_TARGET = {"find_seeds", "bfs", "fill_holes"}  # must also beat SciPy / scikit-image
SCALAR_TARGET = 1.2  # at least this much faster than the scalar transcription


def bench_single_pass(side, repeat, only, scalar):
    rows = []
    for name, (nbytes, ours, library, transcription) in single_pass_cases(side, scalar).items():
        if only and only not in name:
            continue
        contenders = {"ours": ours, "copy floor": copy_floor(nbytes)}
        if transcription is not None:
            contenders["scalar"] = transcription
        if library is not None:
            contenders["numpy/scipy"] = library
        times = race(contenders, repeat)
        # The floor targets hold where the arrays leave the caches; below that a copy runs from cache.
        targets = {"copy floor": FLOOR_TARGET.get(name, 0.5)} if side >= 4096 else {}
        if transcription is not None:
            targets["scalar"] = SCALAR_TARGET
        if name in LIBRARY_TARGET:
            targets["numpy/scipy"] = 1.0
        rows.append(row(name, f"{side}^2", times, targets=targets, note=f"floor: {nbytes / side / side:.0f} B/pixel"))
    return rows


# ---------------------------------------------------------------------------------------------
# The whole road, and two threads

def bench_road(scalar, side, repeat, numpy_repeat):
    masks, slices = synthetic.cell_mask(side), synthetic.boxes(side)
    found = road.ours(sf, masks, slices)
    match = road.matched_fraction(masks, found)
    check = bits_equal(found, road.scalar_road(scalar, sf, masks, slices))
    times = race({"ours": same(lambda: road.ours(sf, masks, slices)),
                  "scalar": same(lambda: road.scalar_road(scalar, sf, masks, slices))}, repeat)
    times.update(race({"numpy/scipy": same(lambda: road.numpy_road(masks, slices))}, numpy_repeat))
    match_np = road.matched_fraction(masks, road.numpy_road(masks, slices))
    return row("whole road", f"{side}^2", times, targets={"scalar": 2.5, "numpy/scipy": 20},
               note=f"objects recovered (IoU > 0.5): ours {match:.3f}, numpy/scipy {match_np:.3f}; "
                    f"bits equal to the scalar road: {check}")


def _road_in_child(seed_and_side):
    seed, side = seed_and_side
    road.ours(sf, synthetic.cell_mask(side, seed), synthetic.boxes(side, seed))


def bench_threads(side, repeat):
    """Two independent images: two threads of one interpreter, one image each, against two
    processes (forked once, before the timing) and against one thread doing both."""
    images = [(synthetic.cell_mask(side, seed), synthetic.boxes(side, seed)) for seed in (0, 1)]

    def one_thread(_):
        for m, s in images:
            road.ours(sf, m, s)

    def two_threads(_):
        workers = [threading.Thread(target=road.ours, args=(sf, m, s)) for m, s in images]
        for w in workers:
            w.start()
        for w in workers:
            w.join()

    # The children inherit the cached images; each returns nothing, so no result is copied back.
    with multiprocessing.get_context("fork").Pool(2) as pool:
        pool.map(_road_in_child, [(0, side), (1, side)])  # warm both children
        times = race({"two threads": ((lambda: None), two_threads),
                      "two processes": ((lambda: None), lambda _: pool.map(_road_in_child, [(0, side), (1, side)],
                                                                            chunksize=1)),
                      "one thread": ((lambda: None), one_thread)}, repeat)
    return row("whole road, 2 images", f"{side}^2", times, ours="two threads",
               targets={"two processes": 0.9, "one thread": 1.7},
               note="ratios = throughput of two threads / two processes, / one thread")


# ---------------------------------------------------------------------------------------------
# Scaling

def scaling_rows(sides, repeat):
    out = []
    kernels = {
        "_masks_to_flow": lambda s: same(lambda: sf._masks_to_flow(synthetic.cell_mask(s), synthetic.boxes(s), 0.5)),
        "_steps2D_all n=200": lambda s: ((lambda: synthetic.smooth_flow(s)), lambda f: sf._steps2D_all(f, 200, True)),
    }
    for name in ("p_histogram", "find_seeds", "bfs", "extend_seed", "fill_holes", "renum_masks", "renumbering",
                 "compute_cell_size"):
        kernels[name] = (lambda n: lambda s: single_pass_cases(s)[n][1])(name)
    for name, make in kernels.items():
        times = {}
        for side in sides:
            times[side] = race({"t": make(side)}, repeat)["t"]
        out.append({"kernel": name, "seconds": {str(k): v for k, v in times.items()},
                    "ns_per_pixel": {str(k): v / k / k * 1e9 for k, v in times.items()}})
    return out


def steps_scaling(side, counts, repeat):
    flow = synthetic.smooth_flow(side)
    out = {}
    for n in counts:
        out[str(n)] = {"seconds": race({"t": ((lambda: flow.copy()), lambda f: sf._steps2D_all(f, n, True))}, repeat)["t"],
                       "rounds": len(ref_flow.rounds(n))}
    return out


# ---------------------------------------------------------------------------------------------

def print_table(rows):
    print(f"{'case':<44} {'size':>7} {'ours ms':>9}  baselines: ms (baseline/ours)")
    for r in rows:
        base = "  ".join(f"{k} {v * 1e3:8.1f} ({r['ratios'][k]:5.2f}x)" for k, v in r["baselines"].items())
        mark = "" if not r["targets"] else ("  met" if r["met"] else "  NOT MET")
        print(f"{r['case']:<44} {r['size']:>7} {r['ours_s'] * 1e3:9.2f}  {base}{mark}")
        if r["note"]:
            print(f"{'':<44} {'':>7} {'':>9}  {r['note']}")


def main(argv):
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="small sizes, few rounds: a smoke run")
    parser.add_argument("--json", default=None)
    parser.add_argument("--only", default=None, help="run only cases whose name contains this")
    parser.add_argument("--repeat", type=int, default=None)
    args = parser.parse_args(argv)
    quick = args.quick
    repeat = args.repeat or (1 if quick else 5)
    numpy_repeat = 1
    flow_sides = [256] if quick else [1024, 2048]
    diffusion_sides = [256] if quick else [1024, 2048, 4096]
    # _steps2D_all also at 4096^2, without the NumPy baseline (minutes per call there).
    walk_sides = [256] if quick else [1024, 2048, 4096]
    pass_sides = [512] if quick else [1024, 2048, 4096]
    road_side = 256 if quick else 2048
    only = args.only

    def wanted(name):
        return only is None or only in name

    scalar = Scalar()
    rows = []
    for side in diffusion_sides:
        diffusion_numpy = numpy_repeat if side <= DIFFUSION_NUMPY_UP_TO else 0
        for frac in (0.0, 0.5):
            if wanted("_masks_to_flow"):
                rows.append(bench_masks_to_flow(scalar, side, frac, repeat, diffusion_numpy))
            if wanted("compute_flow_error"):
                rows.append(bench_flow_error(scalar, side, frac, repeat, diffusion_numpy))
            if wanted("_extend_centers"):
                rows.append(bench_extend_centers(scalar, side, frac, repeat, diffusion_numpy))
    for side in walk_sides:
        for interpolate in (True, False):
            if wanted("_steps2D_all"):
                rows.append(bench_steps2d_all(scalar, side, 200, interpolate, repeat,
                                              numpy_repeat if side in flow_sides else 0))
        if wanted("peers"):
            rows.append(bench_following_peers(scalar, side, min(repeat, 3), 200 if side <= 1024 else 20))
    for side in flow_sides:
        for interpolate in (True, False):
            if wanted("_steps2D "):
                rows.append(bench_steps2d(scalar, side, 20, interpolate, min(repeat, 3), numpy_repeat))
    if wanted("_approximate_diffusion"):
        rows.append(bench_approximate_diffusion(scalar, repeat))
    for side in pass_sides:
        rows += bench_single_pass(side, repeat, only, scalar)
    if wanted("whole road"):
        rows.append(bench_road(scalar, road_side, repeat, numpy_repeat))
        rows.append(bench_threads(road_side, repeat))

    report = {"cpu": cpu_model(), "cores": os.cpu_count(), "load_average": os.getloadavg(), "rows": rows}
    if wanted("scaling"):
        sides = [128, 256] if quick else [512, 1024, 2048, 4096]
        report["scaling"] = scaling_rows(sides, 1 if quick else 3)
        report["steps_scaling"] = steps_scaling(256 if quick else 1024, [2, 8, 20, 200, 2000], 1 if quick else 3)

    print(f"CPU: {report['cpu']} ({report['cores']} cores), load average {report['load_average'][0]:.2f}")
    print_table(rows)
    if "scaling" in report:
        print("\nns per pixel by image side:")
        sides = list(report["scaling"][0]["seconds"])
        print(f"{'kernel':<22}" + "".join(f"{s:>10}" for s in sides))
        for r in report["scaling"]:
            print(f"{r['kernel']:<22}" + "".join(f"{r['ns_per_pixel'][s]:10.2f}" for s in sides))
        print("\n_steps2D_all by n_steps:")
        for n, v in report["steps_scaling"].items():
            print(f"  n_steps {n:>5}: {v['seconds'] * 1e3:8.1f} ms, {v['rounds']} rounds")
    if args.json:
        pathlib.Path(args.json).write_text(json.dumps(report, indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
