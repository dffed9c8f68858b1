"""Valid and refused calls of all fifteen functions, shared by the leak, thread, fork and
bad-input tests. Every builder takes a NumPy generator and returns fresh arguments, so that
in-place functions can be called again and again, and calls on separate threads share nothing."""
import numpy as np

FUNCTIONS = sorted([
    "_approximate_diffusion", "_extend_centers", "_masks_to_flow", "_steps2D", "_steps2D_all", "bfs",
    "compute_cell_size", "compute_flow_error_cell_size", "extend_seed", "fill_holes", "find_seeds",
    "flow_error_estimate", "p_histogram", "renum_masks", "renumbering",
])


def label_mask(rng, ly, lx, nobj):
    """Rectangles of labels 1 … nobj on a zero background (later ones may cover earlier ones),
    with their bounding boxes as int32 (nobj, 2, 2); box k is [[y0, y1], [x0, x1]]."""
    masks = np.zeros((ly, lx), np.uint32)
    for k in range(nobj):
        y0, x0 = rng.integers(0, ly - 2), rng.integers(0, lx - 2)
        masks[y0:y0 + rng.integers(2, 7), x0:x0 + rng.integers(2, 7)] = k + 1
    slices = np.zeros((nobj, 2, 2), np.int32)
    for k in range(nobj):
        ys, xs = np.nonzero(masks == k + 1)
        if ys.size:
            slices[k] = [[ys.min(), ys.max() + 1], [xs.min(), xs.max() + 1]]
    return masks, slices


def flow_field(rng, ly, lx):
    return rng.normal(0, 0.8, (2, ly, lx)).astype(np.float32)


def displacement(rng, ly, lx):
    """int16 (2, ly, lx) whose targets stay inside the image; about a third settled."""
    yy, xx = np.mgrid[:ly, :lx]
    pos = np.stack([rng.integers(0, ly, (ly, lx)) - yy, rng.integers(0, lx, (ly, lx)) - xx]).astype(np.int16)
    pos[:, rng.random((ly, lx)) < 0.35] = 0
    return pos


def counts(rng, ly, lx):
    return rng.choice(np.array([0, 1, 3, 5, 12, 30, 200], np.uint8), (ly, lx))


def pixels(rng, n, ly, lx):
    return rng.integers(0, ly, n).astype(np.int32), rng.integers(0, lx, n).astype(np.int32)


LY, LX = 24, 20


def valid_args(name, rng, ly=LY, lx=LX):
    """Arguments of a call that succeeds."""
    if name == "_approximate_diffusion":
        return rng.integers(-9, 10, 40).astype(np.int32), rng.integers(-9, 10, 40).astype(np.int32), 30
    if name == "_extend_centers":
        ys, xs = pixels(rng, 30, 9, 7)
        return ys, xs, 9, 7, 0.4
    if name in ("_masks_to_flow", "compute_cell_size", "compute_flow_error_cell_size"):
        masks, slices = label_mask(rng, ly, lx, 5)
        slices[2] = [[3, 3], [0, 4]]  # equal row bounds: skipped
        if name == "_masks_to_flow":
            return masks, slices, 0.5
        if name == "compute_cell_size":
            return masks, slices
        return masks, flow_field(rng, ly, lx), slices, 3, float(rng.choice([0.5, 1.0]))
    if name == "_steps2D":
        ys, xs = np.nonzero(rng.random((ly, lx)) < 0.5)
        return flow_field(rng, ly, lx), (ys.astype(np.int64), xs.astype(np.int64)), \
            np.zeros((2, ly, lx), np.float32), 12, 0.95, bool(rng.integers(2))
    if name == "_steps2D_all":
        return flow_field(rng, ly, lx), 20, bool(rng.integers(2))
    if name == "bfs":
        hist = counts(rng, ly, lx)
        seeds = np.ascontiguousarray(np.argwhere(hist > 10)[:8], np.uint32)
        return hist, displacement(rng, ly, lx), seeds
    if name == "extend_seed":
        masks, _ = label_mask(rng, ly, lx, 4)
        return masks, displacement(rng, ly, lx)
    if name == "fill_holes":
        masks, _ = label_mask(rng, ly, lx, 6)
        return (masks,)
    if name == "find_seeds":
        return (counts(rng, ly, lx),)
    if name == "flow_error_estimate":
        ys, xs = pixels(rng, 25, ly, lx)
        return ys, xs, flow_field(rng, ly, 2 * lx)[:, ::-1, ::2]  # any layout is accepted
    if name == "p_histogram":
        return displacement(rng, ly, lx), rng.random((ly, lx)) < 0.6
    if name == "renum_masks":
        masks, _ = label_mask(rng, ly, lx, 6)
        return masks, rng.random(6) < 0.4
    if name == "renumbering":
        # Gaps to close, and a label on more than 40 % of the entries to drop.
        return rng.choice(np.array([0, 2, 5, 9, 9, 9, 9], np.uint32), 80), 4
    raise KeyError(name)


# Refusals inside the kernel, after it has allocated where it can (the leak test's failing
# calls), and what each raises.
def refused_args(name, rng, ly=LY, lx=LX):
    if name == "_approximate_diffusion":
        return (np.array([0, 1, 2], np.int32), np.array([3], np.int32), -1), ZeroDivisionError
    if name == "_extend_centers":
        # trunc(16 * frac) = 2**32 - 1 reaches the closed form as niter -1: a division by zero
        # after the grids were made.
        return (np.array([0, 1, 2], np.int32), np.array([0, 3, 5], np.int32), 8, 8,
                (2**32 - 1 + 0.5) / 16), ZeroDivisionError
    if name == "_masks_to_flow":
        masks, slices = label_mask(rng, ly, lx, 4)
        slices[3] = [[0, 2], [0, 2]]
        masks[masks == 4] = 0  # a box without its label, after three good objects
        return (masks, slices, 0.5), ZeroDivisionError
    if name == "_steps2D":
        flow, coords, disp, *rest = valid_args(name, rng, ly, lx)
        coords = (coords[0], coords[1].copy())
        coords[1][-1] = lx
        return (flow, coords, disp, *rest), ValueError
    if name == "_steps2D_all":
        return (flow_field(rng, ly, lx), None, True), TypeError  # after the array was converted
    if name == "bfs":
        hist, pos, seeds = valid_args(name, rng, ly, lx)
        return (hist, pos, np.vstack([seeds, [[0, lx]]]).astype(np.uint32)), ValueError
    if name == "compute_cell_size":
        masks, slices = label_mask(rng, ly, lx, 3)
        return (masks, np.zeros((3, 2, 3), np.int32)), AssertionError
    if name == "compute_flow_error_cell_size":
        masks, slices = label_mask(rng, ly, lx, 4)
        slices[3] = [[0, 2], [0, 2]]
        masks[masks == 4] = 0
        return (masks, flow_field(rng, ly, lx), slices, 0, 0.5), ZeroDivisionError
    if name == "extend_seed":
        masks, pos = valid_args(name, rng, ly, lx)
        masks[1, 1], pos[:, 1, 1] = 0, (0, lx)
        return (masks, pos), ValueError
    if name == "fill_holes":
        masks, _ = label_mask(rng, ly, lx, 3)
        return (masks.astype(np.float64),), TypeError
    if name == "find_seeds":
        return (counts(rng, ly, lx)[None],), TypeError
    if name == "flow_error_estimate":
        ys, xs, flow = valid_args(name, rng, ly, lx)
        xs[3] = lx
        return (ys, xs, flow), ValueError
    if name == "p_histogram":
        pos, mask = valid_args(name, rng, ly, lx)
        pos[:, 2, 3], mask[2, 3] = (ly, 0), True
        return (pos, mask), ValueError
    if name == "renum_masks":
        masks, remove = valid_args(name, rng, ly, lx)
        return (masks, remove[:4]), ValueError
    if name == "renumbering":
        return (rng.integers(0, 6, 80).astype(np.uint32), -1), OverflowError
    raise KeyError(name)


def outcome(fn, args):
    """What a call gives, in a form that compares equal for equal results: result bytes and
    dtypes, the in-place arguments' bytes after the call, or the exception's type and text."""
    try:
        result = fn(*args)
    except Exception as error:  # noqa: BLE001 - the outcome is compared, not judged, here
        return ("raised", type(error).__name__, str(error))
    return ("returned", fingerprint(result), tuple(fingerprint(a) for a in args))


def fingerprint(obj):
    if isinstance(obj, np.ndarray):
        return (str(obj.dtype), obj.shape, obj.tobytes())
    if isinstance(obj, tuple):
        return tuple(fingerprint(o) for o in obj)
    if isinstance(obj, float):
        return ("float", obj.hex())
    return repr(obj)
