"""Random calls of every function as a hostile caller makes them, run as a child program:
    python uncapped_fuzz.py SEED COUNT
Each call starts from valid arguments and bends some of them: other dtypes, shapes and
layouts, extreme integers and floats in arrays and scalars, objects that are no arrays. Every
call is announced on stdout before it runs, so that the parent names the call that killed the
process or grew its memory; any Python exception is a clean outcome here."""
import sys

import numpy as np

import sarvo_functions as sf
from reliability_calls import FUNCTIONS, valid_args

DTYPES = [np.uint8, np.int8, np.uint16, np.int16, np.int32, np.uint32, np.int64, np.uint64, np.float32,
          np.float64, np.bool_, np.complex64, ">u4", "M8[s]", object]
EXTREME_INTS = [0, 1, -1, 2**15 - 1, 2**16 - 1, 2**31 - 1, -2**31, 2**32 - 1, 2**63 - 1, -2**63, 2**64 - 1]
EXTREME_SCALARS = EXTREME_INTS + [2**64, -2**64, float("nan"), float("inf"), -float("inf"), 1e308, -0.0, 0.999,
                                  True, None, "7", (1, 2), np.float32(3.5)]

# Iteration counts: extreme ones are slow, not hazardous.
STEP_ARGUMENTS = {"_approximate_diffusion": {2}, "_steps2D": {3}, "_steps2D_all": {1}}


def bend_array(a, rng):
    kinds = ["shape", "layout", "other", "dtype", "values", "values"]
    kind = kinds[rng.integers(len(kinds))]
    if kind == "dtype":
        dtype = DTYPES[rng.integers(len(DTYPES))]
        return a.astype(dtype) if dtype is not object or a.size < 64 else a.astype(np.float64)
    if kind == "values":
        out = a.copy()
        if out.size:
            flat = out.reshape(-1)
            picks = rng.integers(0, flat.size, 1 + rng.integers(3))
            if out.dtype.kind in "iu":
                info = np.iinfo(out.dtype)
                flat[picks] = rng.choice([info.min, info.max, 0, info.max // 2 + 1])
            elif out.dtype.kind == "f":
                flat[picks] = rng.choice([np.nan, np.inf, -np.inf, 3e38, -0.0])
            else:
                flat[picks] = flat[picks[::-1]]
        return out
    if kind == "shape":
        choice = rng.integers(6)
        if choice == 0:
            return a.ravel()
        if choice == 1:
            return a[None]
        if choice == 2:
            return a[:0] if a.ndim else a
        if choice == 3:
            return a.reshape(a.shape[::-1]) if a.ndim > 1 else a.reshape(1, -1)
        if choice == 4:
            return np.zeros((0,) + a.shape[1:] + (2**40,), a.dtype)
        return a[..., :1]
    if kind == "layout":
        choice = rng.integers(4)
        if choice == 0:
            return a[::-1]
        if choice == 1:
            return np.asfortranarray(a)
        if choice == 2:
            view = a.view()
            view.flags.writeable = False
            return view
        return a[..., ::2]
    return [None, 3, [1, 2, 3], "x", a.tolist()][rng.integers(5)]


def bend_scalar(value, rng, bounded):
    if bounded:
        return int(rng.integers(-3, 200))
    return EXTREME_SCALARS[rng.integers(len(EXTREME_SCALARS))]


def bend(name, args, rng):
    args = list(args)
    while True:
        changed = False
        for i, a in enumerate(args):
            if rng.random() >= 0.35:
                continue
            changed = True
            if isinstance(a, np.ndarray):
                args[i] = bend_array(a, rng)
            elif isinstance(a, tuple):
                args[i] = tuple(bend_array(x, rng) for x in a)
            else:
                args[i] = bend_scalar(a, rng, i in STEP_ARGUMENTS.get(name, ()))
        if changed:
            return args


def describe(args):
    return ", ".join(f"array{a.shape}:{a.dtype}" if isinstance(a, np.ndarray) else repr(a)[:40] for a in args)


def main(seed, count):
    rng = np.random.default_rng(seed)
    for k in range(count):
        name = FUNCTIONS[rng.integers(len(FUNCTIONS))]
        args = bend(name, valid_args(name, rng), rng)
        print(f"{k} {name}({describe(args)})", flush=True)
        try:
            getattr(sf, name)(*args)
        except Exception:  # every refusal is a clean outcome; only a dead process is not
            pass
    print("done", flush=True)


if __name__ == "__main__":
    main(int(sys.argv[1]), int(sys.argv[2]))
