"""Benchmarks: each kernel beside a baseline run in the same process, as ratios.

    python benchmarks/run.py [--quick] [--json results.json]

Prints one row per case: case, size, our time, each baseline's time and the ratio baseline / ours.
"""
import argparse
import json
import pathlib
import platform
import sys
import time

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests" / "python"))

import sarvo_functions as sf  # noqa: E402
import reference_flow_following as ref_flow  # noqa: E402


def best_time(fn, repeat=3):
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return best


def cpu_model():
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def smooth_flow(side, seed=0):
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[:side, :side].astype(np.float32) / side
    f = np.stack([np.sin(6 * x + 3 * y), np.cos(5 * y - 2 * x)])
    f += 0.05 * rng.standard_normal(f.shape)
    return f.astype(np.float32)


def bench_steps2d_all(side, n_steps):
    flow = smooth_flow(side)
    ours = best_time(lambda: sf._steps2D_all(flow.copy(), n_steps, True))
    numpy_time = best_time(lambda: ref_flow.steps2d_all(flow.copy(), n_steps, True), repeat=1)
    return {"case": f"_steps2D_all n_steps={n_steps}", "size": f"{side}x{side}", "ours_s": ours,
            "baselines": {"numpy": numpy_time}}


def main(argv):
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="small sizes only")
    parser.add_argument("--json", default=None)
    args = parser.parse_args(argv)
    sides = [256] if args.quick else [1024, 2048]
    rows = [bench_steps2d_all(side, 200) for side in sides]

    print(f"CPU: {cpu_model()}")
    print(f"{'case':<34} {'size':>10} {'ours (ms)':>10}  baselines (ms, ratio)")
    for r in rows:
        base = "  ".join(f"{k} {v * 1e3:9.1f} ({v / r['ours_s']:6.1f}x)" for k, v in r["baselines"].items())
        print(f"{r['case']:<34} {r['size']:>10} {r['ours_s'] * 1e3:10.1f}  {base}")
    if args.json:
        pathlib.Path(args.json).write_text(json.dumps({"cpu": cpu_model(), "rows": rows}, indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
