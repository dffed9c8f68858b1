"""Bad-input properties of the fifteen functions, run by test_bad_input.py in a child
interpreter so that a crash or a hang is reported, not lost.

Every example builds a small scene (image extents, object and seed counts), draws the
arguments of one function from it (mostly well-formed, often bent: other dtypes of the same or
another item size, other numbers of dimensions and shapes, non-contiguous, reversed, Fortran,
misaligned, read-only and broadcast views, NaN and infinities, extreme integers, coordinates,
labels and seeds outside the image, wrong tuples, objects that are no arrays, arguments that
share memory with the array the kernel writes), calls the function and checks:

- it returns, or raises one of the expected exception types with a message (the kernels' own
  assertion records carry none: they point at the kernel's source line instead);
- a refused call leaves every array argument byte for byte as it was, and a successful one
  leaves the arguments that the function only reads;
- a result has the documented type, dtype and shape, and agrees with a plain NumPy oracle
  where one is short (sizes, seeds, histograms, renumbering) or keeps the documented
  invariants (displacements stay inside the image, labels go only where they may).

Many arrays are placed right before an inaccessible page ("guarded"), so that a read or write
past their end faults at once even without a sanitizer.

SARVO_FUZZ_EXAMPLES sets the examples per function; SARVO_FUZZ_LAST_CALL names a file that
always holds the call in progress, for the report of a crash.
"""
import collections
import ctypes
import faulthandler
import math
import mmap
import os

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from scipy import ndimage

import sarvo_functions as sf

EXAMPLES = int(os.environ.get("SARVO_FUZZ_EXAMPLES", "250"))
LAST_CALL = os.environ.get("SARVO_FUZZ_LAST_CALL")
KERNEL_SOURCE = "/project/./src/pelmarinex/deviverozo_new/sarvo_functions.py"
EXPECTED_ERRORS = (TypeError, ValueError, AssertionError, ZeroDivisionError, IndexError, MemoryError,
                   OverflowError)

HANG_SECONDS = int(os.environ.get("SARVO_FUZZ_HANG_SECONDS", "240"))
# NumPy warns when an empty array is given where a truth value is expected; that is the point.
pytestmark = pytest.mark.filterwarnings("ignore:The truth value of an empty array:DeprecationWarning")

SETTINGS = settings(max_examples=EXAMPLES, deadline=None, database=None, derandomize=False,
                    suppress_health_check=list(HealthCheck), print_blob=True)

# ---------------------------------------------------------------------------------------------
# Argument descriptions: dtype, dimensions, what the values mean, whether the kernel writes it.


class Arr:
    def __init__(self, dtype, ndim, role, written=False):
        self.dtype, self.ndim, self.role, self.written = np.dtype(dtype), ndim, role, written


class Pair:
    def __init__(self, first, second):
        self.items = (first, second)


class Scalar:
    def __init__(self, kind, role):
        self.kind, self.role = kind, role  # kind: int32, uint32, float64, float32, bool


I32, U32, F64, F32 = "int32", "uint32", "float64", "float32"

SIGNATURES = {
    "_approximate_diffusion": [Arr(np.int32, 1, "offsets"), Arr(np.int32, 1, "offsets"), Scalar(I32, "niter")],
    "_extend_centers": [Arr(np.int32, 1, "box_rows"), Arr(np.int32, 1, "box_cols"), Scalar(I32, "extent"),
                        Scalar(I32, "extent"), Scalar(F64, "frac")],
    "_masks_to_flow": [Arr(np.uint32, 2, "labels"), Arr(np.int32, 3, "slices"), Scalar(F64, "frac")],
    "_steps2D": [Arr(np.float32, 3, "flow"), Pair(Arr(np.int64, 1, "rows"), Arr(np.int64, 1, "cols")),
                 Arr(np.float32, 3, "flow", written=True), Scalar(I32, "steps"), Scalar(F32, "decay"),
                 Scalar("bool", "switch")],
    "_steps2D_all": [Arr(np.float32, 3, "flow"), Scalar(I32, "any_steps"), Scalar("bool", "switch")],
    "bfs": [Arr(np.uint8, 2, "counts"), Arr(np.int16, 3, "pos", written=True), Arr(np.uint32, 2, "seeds")],
    "compute_cell_size": [Arr(np.uint32, 2, "labels"), Arr(np.int32, 3, "slices")],
    "compute_flow_error_cell_size": [Arr(np.uint32, 2, "labels"), Arr(np.float32, 3, "flow"),
                                     Arr(np.int32, 3, "slices"), Scalar(U32, "min_size"), Scalar(F64, "frac")],
    "extend_seed": [Arr(np.uint32, 2, "labels", written=True), Arr(np.int16, 3, "pos")],
    "fill_holes": [Arr(np.uint32, 2, "labels", written=True)],
    "find_seeds": [Arr(np.uint8, 2, "counts")],
    "flow_error_estimate": [Arr(np.int32, 1, "rows"), Arr(np.int32, 1, "cols"), Arr(np.float32, 3, "flow")],
    "p_histogram": [Arr(np.int16, 3, "pos"), Arr(np.bool_, 2, "selection")],
    "renum_masks": [Arr(np.uint32, 2, "labels", written=True), Arr(np.bool_, 1, "remove")],
    "renumbering": [Arr(np.uint32, 1, "flat_labels", written=True), Scalar(U32, "min_labels")],
}

# ---------------------------------------------------------------------------------------------
# Scenes and values


class Scene:
    """The extents that the arguments of one call share, and a generator for bulk values."""

    def __init__(self, ly, lx, nobj, nseeds, npix, seed):
        self.ly, self.lx, self.nobj, self.nseeds, self.npix = ly, lx, nobj, nseeds, npix
        self.rng = np.random.default_rng(seed)
        self.seed = seed

    def __repr__(self):
        return (f"Scene(ly={self.ly}, lx={self.lx}, nobj={self.nobj}, nseeds={self.nseeds}, npix={self.npix}, "
                f"seed={self.seed})")


@st.composite
def scenes(draw):
    ly, lx = draw(st.one_of(
        st.tuples(st.integers(0, 9), st.integers(0, 9)),
        st.sampled_from([(1, 1), (1, 1200), (1200, 1), (2, 700), (0, 5), (5, 0), (0, 0), (10**6, 0),
                         (0, 10**6)])))
    return Scene(ly, lx, draw(st.integers(0, 6)), draw(st.integers(0, 12)), draw(st.integers(0, 20)),
                 draw(st.integers(0, 2**32 - 1)))


def extremes(dtype):
    if dtype.kind == "b":
        return [0, 1]
    if dtype.kind == "f":
        return [np.nan, np.inf, -np.inf, np.finfo(dtype).max, -np.finfo(dtype).max, np.finfo(dtype).tiny / 2]
    info = np.iinfo(dtype)
    return [info.min, info.max, info.min + 1, info.max - 1, 0, -1 if info.min < 0 else 1]


def natural_shape(role, scene):
    ly, lx = scene.ly, scene.lx
    return {
        "offsets": (scene.npix,), "box_rows": (scene.npix,), "box_cols": (scene.npix,),
        "rows": (scene.npix,), "cols": (scene.npix,), "labels": (ly, lx), "slices": (scene.nobj, 2, 2),
        "flow": (2, ly, lx), "pos": (2, ly, lx), "counts": (ly, lx), "seeds": (scene.nseeds, 2),
        "selection": (ly, lx), "remove": (scene.nobj,), "flat_labels": (scene.npix,),
    }[role]


def box_bounds(rng, n, extent):
    """Rows or columns of n boxes: mostly inside the image, sometimes negative or beyond."""
    lo = rng.integers(0, extent + 1, n)
    hi = np.minimum(lo + rng.integers(0, 4, n), extent)
    wild = rng.random(n) < 0.2
    lo[wild] = rng.integers(-extent - 3, extent + 4, wild.sum())
    return lo, hi


def role_values(role, shape, dtype, scene, wild):
    """Values for one argument: meaningful for its role, or (wild) any bits and extremes."""
    rng, ly, lx = scene.rng, scene.ly, scene.lx
    size = int(np.prod(shape))
    if wild:
        if dtype.kind == "b":
            # Bytes other than 0 and 1 are covered by fixed cases in test_bad_input.py.
            return rng.random(shape) < 0.5
        if dtype.kind == "f":
            v = rng.normal(scale=rng.choice([1.0, 1e3, 1e30]), size=shape).astype(dtype)
        else:
            v = rng.integers(0, 256, size * dtype.itemsize, dtype=np.uint8).view(dtype).reshape(shape)
        flat = v.reshape(-1)
        picks = rng.random(size) < 0.3
        flat[picks] = rng.choice(np.array(extremes(dtype), dtype=dtype), picks.sum())
        return v
    if role in ("offsets",):
        return rng.integers(-50, 51, shape).astype(dtype)
    if role in ("box_rows", "rows", "box_cols", "cols"):
        extent = ly if role in ("box_rows", "rows") else lx
        v = rng.integers(0, max(extent, 1), shape)
        if rng.random() < 0.3:  # a few entries just outside, or counted from the end
            v[rng.random(shape) < 0.2] = rng.choice([-1, extent, -extent, -extent - 1])
        return v.astype(dtype)
    if role == "labels":
        return rng.integers(0, scene.nobj + 2, shape).astype(dtype)
    if role == "flat_labels":
        return rng.integers(0, 6, shape).astype(dtype)
    if role == "slices":
        v = np.zeros(shape, np.int64)
        if len(shape) == 3 and shape[1] >= 2 and shape[2] >= 2:
            n = shape[0]
            v[:, 0, 0], v[:, 0, 1] = box_bounds(rng, n, ly)
            v[:, 1, 0], v[:, 1, 1] = box_bounds(rng, n, lx)
            labels_box = np.zeros(n, bool)
            labels_box[rng.random(n) < 0.3] = True
            v[labels_box, 0, 0], v[labels_box, 0, 1] = 0, ly  # whole image
            v[labels_box, 1, 0], v[labels_box, 1, 1] = 0, lx
        else:
            v[...] = rng.integers(-3, 10, shape)
        return v.astype(dtype)
    if role == "flow":
        v = rng.normal(size=shape).astype(dtype)
        special = rng.random(shape) < 0.05
        v[special] = rng.choice(np.array([np.nan, np.inf, -np.inf, 0.0], dtype), special.sum())
        return v
    if role == "pos":
        v = np.zeros(shape, np.int64)
        if len(shape) == 3 and shape[0] >= 1:
            v[0] = rng.integers(-ly - 1, ly + 1, shape[1:])
            if shape[0] >= 2:
                v[1] = rng.integers(-lx - 1, lx + 1, shape[1:])
        settled = rng.random(shape[1:] if len(shape) == 3 else shape) < 0.4
        v[..., settled] = 0
        return v.astype(dtype)
    if role == "counts":
        return rng.choice(np.array([0, 1, 2, 3, 9, 10, 11, 40, 255]), shape).astype(dtype)
    if role == "seeds":
        v = np.zeros(shape, np.int64)
        if len(shape) == 2 and shape[1] >= 2:
            v[:, 0] = rng.integers(0, max(ly, 1) + 1, shape[0])
            v[:, 1] = rng.integers(0, max(lx, 1) + 1, shape[0])
        return v.astype(dtype)
    if role in ("selection", "remove"):
        return rng.random(shape) < 0.5
    raise AssertionError(role)


SAME_ITEMSIZE = {1: [np.uint8, np.int8, np.bool_, "S1"], 2: [np.int16, np.uint16, np.float16, ">i2", "S2"],
                 4: [np.uint32, np.int32, np.float32, ">u4", ">f4", "U1"],
                 8: [np.int64, np.uint64, np.float64, ">i8", np.complex64, "M8[s]"]}
OTHER_ITEMSIZE = [np.uint8, np.int16, np.int32, np.int64, np.float64, np.complex128]


class Sub(np.ndarray):
    pass


def not_an_array(values):
    return [None, values.tolist(), 3, "abc", 2.5, np.float64(1.0), np.array(values.reshape(-1)[:1].sum()),
            (values,), object(), b"\0" * 16, memoryview(bytearray(16))]


PAGE = mmap.PAGESIZE
_libc = ctypes.CDLL(None, use_errno=True)


def guarded(values):
    """A copy whose last byte is followed by an inaccessible page: a read or write past the
    end faults at once instead of going unnoticed."""
    pages = -(-max(values.nbytes, 1) // PAGE)
    region = mmap.mmap(-1, (pages + 1) * PAGE)
    start = ctypes.addressof(ctypes.c_char.from_buffer(region))
    if _libc.mprotect(ctypes.c_void_p(start + pages * PAGE), PAGE, 0) != 0:  # PROT_NONE
        raise OSError(ctypes.get_errno(), "mprotect")
    out = np.frombuffer(region, values.dtype, count=values.size, offset=pages * PAGE - values.nbytes)
    out = out.reshape(values.shape)
    out[...] = values
    return out


def misaligned(values):
    buf = np.zeros(values.nbytes + 1, np.uint8)
    view = buf[1:].view(values.dtype).reshape(values.shape)
    view[...] = values
    return view


def strided(values):
    shape = values.shape[:-1] + (2 * values.shape[-1],) if values.ndim else values.shape
    big = np.zeros(shape, values.dtype)
    big[..., ::2] = values
    return big[..., ::2]


def objects(values):
    out = np.empty(values.shape, object)
    out[...] = values
    return out


LAYOUTS = ["plain"] * 7 + ["guarded"] * 4 + [
    "same_itemsize", "other_itemsize", "strided", "reversed", "fortran", "misaligned", "read_only",
    "read_only_bytes", "broadcast", "subclass", "not_an_array", "wrong_ndim", "wrong_shape", "objects"]


def pick(draw, options):
    # By index: some of the options cannot be hashed, which sampled_from would try.
    return options[draw(st.integers(0, len(options) - 1))]


def draw_array(draw, param, scene):
    """(object, label) for one array argument; label says how it was bent."""
    layout = draw(st.sampled_from(LAYOUTS))
    wild = draw(st.integers(0, 5)) == 0
    shape = natural_shape(param.role, scene)
    dtype = param.dtype
    if layout == "wrong_ndim":
        shape = draw(st.sampled_from([shape[:-1], shape + (1,), shape + (2,), (), (3,) * (param.ndim + 1)]))
    elif layout == "wrong_shape":
        shape = tuple(draw(st.lists(st.integers(0, 5), min_size=param.ndim, max_size=param.ndim)))
    values = role_values(param.role, shape, dtype, scene, wild)
    if layout == "same_itemsize":
        return values.view(draw(st.sampled_from(SAME_ITEMSIZE[dtype.itemsize]))), layout
    if layout == "other_itemsize":
        other = draw(st.sampled_from([t for t in OTHER_ITEMSIZE if np.dtype(t).itemsize != dtype.itemsize]))
        with np.errstate(all="ignore"):
            return values.astype(other), layout
    if layout == "strided" and values.ndim:
        return strided(values), layout
    if layout == "reversed" and values.ndim:
        return np.ascontiguousarray(values)[..., ::-1], layout
    if layout == "fortran":
        return np.asfortranarray(values), layout
    if layout == "misaligned":
        return misaligned(values), layout
    if layout == "guarded":
        return guarded(values), layout
    if layout == "read_only":
        values.flags.writeable = False
        return values, layout
    if layout == "read_only_bytes":
        return np.frombuffer(values.tobytes(), dtype).reshape(values.shape), layout
    if layout == "broadcast":
        return np.broadcast_to(values.reshape(-1)[:1].reshape((1,) * values.ndim) if values.size else values,
                               values.shape), layout
    if layout == "objects":  # pointers: item size 8, accepted where int64 is declared
        return objects(values), layout
    if layout == "subclass":
        return values.view(Sub), layout
    if layout == "not_an_array":
        return pick(draw, not_an_array(values)), layout
    return values, layout


def draw_pair(draw, param, scene):
    first, l1 = draw_array(draw, param.items[0], scene)
    second, l2 = draw_array(draw, param.items[1], scene)
    shape = draw(st.sampled_from(["tuple"] * 7 + ["unequal"] * 2 + ["empty", "one", "three", "list", "array",
                                                                   "none"]))
    if shape == "unequal" and isinstance(second, np.ndarray) and second.ndim == 1 and not second.dtype.hasobject:
        # Columns shorter than the rows, kept right before a guard page.
        keep = draw(st.sampled_from([0, 1, max(second.size - 1, 0)]))
        second = guarded(np.ascontiguousarray(second[:keep]))
    obj = {"tuple": (first, second), "unequal": (first, second), "empty": (), "one": (first,),
           "three": (first, second, second), "list": [first, second], "array": first, "none": None}[shape]
    return obj, f"{shape}({l1},{l2})"


BAD_INTS = [None, "3", "abc", 3.7, -0.5, math.nan, math.inf, 1e300, [1], np.int64(5), np.float32(2.5), True,
            complex(1, 2), 2**64, -(2**64)]
BAD_FLOATS = [None, "nan", "-inf", "abc", "1e3", 10**400, [1.0], complex(1, 2), np.float32(0.1), True, 5, -0.0]


def scalar_strategy(param):
    role = param.role
    if param.kind == "bool":
        return st.one_of(st.booleans(), st.sampled_from([0, 2, None, "", "x", 0.0, math.nan, np.array([1, 2]),
                                                         np.zeros(0), [], [0]]))
    if param.kind in (F64, F32):
        good = st.one_of(st.floats(allow_nan=True, allow_infinity=True),
                         st.sampled_from([0.0, 0.5, 1.0, 0.999, -1.0, 1e300, 1e39, 5e-324]))
        if role == "decay":
            good = st.one_of(st.floats(0, 1.2), good)
        return st.one_of(good, good, good, st.sampled_from(BAD_FLOATS))
    if role == "niter":
        good = st.one_of(st.integers(-3, 200), st.sampled_from([-(2**31), 2**31 - 1, -1, 2**32 - 1, 2**32 + 7]))
    elif role == "extent":
        # The grid follows the pixels, so an extent sets only the number of iterations, and the
        # few pixels of a scene settle long before a huge extent's count.
        good = st.one_of(st.integers(-3, 40), st.sampled_from([-(2**31), -1, 2**31 - 1, 2**30, 2**16, 2**32 + 7]))
    elif role == "steps":
        # The step count is a plain loop bound: huge positive counts are slow, not wrong.
        good = st.one_of(st.integers(-5, 40), st.sampled_from([-(2**31), 2**32 + 3, 2**63 - 1, -(2**63), 2**31 + 5]))
    elif role == "any_steps":
        good = st.one_of(st.integers(-5, 300), st.sampled_from([-(2**31), 2**31 - 1, 2**32 + 9, 2**63 - 1]))
    elif role == "min_size":
        good = st.one_of(st.integers(0, 20), st.sampled_from([2**32 - 1, 2**32 + 1, -1, 2**63]))
    elif role == "min_labels":
        good = st.one_of(st.integers(0, 40), st.sampled_from([2**32 - 1, 2**24, -1, 2**64, 2**32 + 5]))
    else:
        raise AssertionError(role)
    return st.one_of(good, good, good, st.sampled_from(BAD_INTS))


def draw_args(draw, name):
    scene = draw(scenes())
    args, labels = [], []
    extents = [scene.ly, scene.lx]
    for param in SIGNATURES[name]:
        if isinstance(param, Arr):
            obj, label = draw_array(draw, param, scene)
        elif isinstance(param, Pair):
            obj, label = draw_pair(draw, param, scene)
        elif param.role == "extent":  # mostly the extent that the pixel lists were made for
            extent = extents.pop(0)
            obj, label = draw(st.one_of(st.just(extent), st.just(extent), scalar_strategy(param))), "scalar"
        else:
            obj, label = draw(scalar_strategy(param)), "scalar"
        args.append(obj)
        labels.append(label)
    return args, labels


# ---------------------------------------------------------------------------------------------
# The call and the checks that hold for every function


def arrays_in(obj):
    if isinstance(obj, np.ndarray):
        yield obj
    elif isinstance(obj, (tuple, list)):
        for item in obj:
            yield from arrays_in(item)


def describe(obj):
    if isinstance(obj, np.ndarray):
        flags = "".join(c for c, f in (("C", "C_CONTIGUOUS"), ("F", "F_CONTIGUOUS"), ("W", "WRITEABLE"),
                                       ("A", "ALIGNED")) if obj.flags[f])
        # Raw bytes, cheap and exact for any dtype (some bytes are no valid characters).
        return (f"{type(obj).__name__}(dtype={obj.dtype.str}, shape={obj.shape}, strides={obj.strides}, "
                f"flags={flags}, bytes={obj.tobytes()[:512].hex()})")
    if isinstance(obj, (tuple, list)):
        inner = ", ".join(describe(o) for o in obj)
        return f"({inner},)" if isinstance(obj, tuple) else f"[{inner}]"
    return repr(obj)[:200]


def record_call(name, args):
    if LAST_CALL:
        with open(LAST_CALL, "w") as f:
            f.write(f"{name}(\n" + "".join(f"    {describe(a)},\n" for a in args) + ")\n")


def read_only_indices(name):
    out = []
    for i, param in enumerate(SIGNATURES[name]):
        if isinstance(param, Pair) or (isinstance(param, Arr) and not param.written):
            out.append(i)
    return out


def declared(obj, dtype):
    """The argument as the kernel sees it: its bytes read as the declared element type."""
    return np.asarray(obj).view(dtype)


def check_error_message(error):
    if str(error):
        return
    # Only the kernels' own records come without a message; they point at the kernel's source.
    tb = error.__traceback__
    while tb.tb_next:
        tb = tb.tb_next
    assert tb.tb_frame.f_code.co_filename == KERNEL_SOURCE, f"{type(error).__name__} without a message"


def run(name, args, labels):
    snapshots = [[(a, a.tobytes()) for a in arrays_in(arg)] for arg in args]
    record_call(name, args)
    try:
        result = getattr(sf, name)(*args)
    except EXPECTED_ERRORS as error:
        check_error_message(error)
        if not isinstance(error, MemoryError):
            for i, snaps in enumerate(snapshots):
                for a, before in snaps:
                    assert a.tobytes() == before, f"refused call changed argument {i + 1} ({labels[i]}): {error!r}"
        return None, error
    for i in read_only_indices(name):
        for a, before in snapshots[i]:
            assert a.tobytes() == before, f"argument {i + 1} is only read but changed"
    return result, None


def check_new_array(result, dtype, shape):
    assert type(result) is np.ndarray, type(result)
    assert result.dtype == dtype and result.shape == tuple(shape), (result.dtype, result.shape, shape)
    assert result.flags.writeable and result.flags.c_contiguous


def broadcast_length(n1, n2):
    return n1 if n2 == 1 else n2 if n1 == 1 else n1 if n1 == n2 else None


def to_uint32(obj):
    return int(obj) & 0xFFFFFFFF


def to_int32(obj):
    v = int(obj) & 0xFFFFFFFF
    return v - 2**32 if v >= 2**31 else v


def unit_or_nan(vectors):
    norms = np.hypot(vectors[..., 0], vectors[..., 1])
    assert np.all(np.isnan(norms) | (norms <= 1 + 1e-9)), norms


def box_sizes(masks, slices):
    sizes = []
    for k in range(slices.shape[0]):
        (y0, y1), (x0, x1) = slices[k, 0, :2], slices[k, 1, :2]
        sizes.append(0 if y0 == y1 else int(np.count_nonzero(masks[int(y0):int(y1), int(x0):int(x1)] == k + 1)))
    return np.array(sizes, np.uint32)


def check_inside_image(disp):
    _, ly, lx = disp.shape
    y, x = np.mgrid[:ly, :lx]
    assert np.all((y + disp[0] >= 0) & (y + disp[0] <= ly - 1)), "row displacement leaves the image"
    assert np.all((x + disp[1] >= 0) & (x + disp[1] <= lx - 1)), "column displacement leaves the image"


# ---------------------------------------------------------------------------------------------
# What a successful call must give, per function


def ok_approximate_diffusion(args, result):
    check_new_array(result, np.float64, (broadcast_length(len(args[0]), len(args[1])),))


def ok_extend_centers(args, result):
    check_new_array(result, np.float64, (broadcast_length(len(args[0]), len(args[1])), 2))
    unit_or_nan(result)


def ok_masks_to_flow(args, result):
    masks = declared(args[0], np.uint32)
    check_new_array(result, np.float64, (2, *masks.shape))
    assert np.all(result[:, masks == 0] == 0), "background got a flow"
    unit_or_nan(np.moveaxis(result, 0, -1))


def ok_steps2D(args, result):
    assert result is None
    check_inside_image(declared(args[2], np.float32))


def ok_steps2D_all(args, result):
    flow = args[0]
    assert isinstance(result, np.ndarray) and result.shape == flow.shape
    if result is not flow:
        check_new_array(result, np.float32, flow.shape)
    if to_int32(args[1]) >= 2:
        check_inside_image(declared(result, np.float32))


def ok_bfs(args, result, before):
    hist, seeds = declared(args[0], np.uint8), declared(args[2], np.uint32)
    pos, pos_before = declared(args[1], np.int16), np.frombuffer(before, np.int16).reshape(args[1].shape)
    check_new_array(result, np.uint32, pos.shape[1:])
    assert np.all(pos[pos != pos_before] == 0), "bfs wrote something other than 0 into pos"
    assert np.all(pos[:, result != 0] == 0), "a labelled pixel is not settled"
    assert np.all(result <= seeds.shape[0])
    if seeds.shape[0]:
        assert np.all(result[seeds[:, 0], seeds[:, 1]] != 0), "a seed pixel is unlabelled"
    assert hist.shape == result.shape


def ok_compute_cell_size(args, result):
    masks, slices = declared(args[0], np.uint32), declared(args[1], np.int32)
    check_new_array(result, np.uint32, (slices.shape[0],))
    np.testing.assert_array_equal(result, box_sizes(masks, slices))


def ok_compute_flow_error_cell_size(args, result):
    masks, slices = declared(args[0], np.uint32), declared(args[2], np.int32)
    assert type(result) is tuple and len(result) == 2
    errors, sizes = result
    check_new_array(errors, np.float64, (slices.shape[0],))
    check_new_array(sizes, np.uint32, (slices.shape[0],))
    np.testing.assert_array_equal(sizes, box_sizes(masks, slices))
    unscored = (slices[:, 0, 0] == slices[:, 0, 1]) | (sizes.astype(np.int64) < to_uint32(args[3]))
    assert np.all(np.isposinf(errors[unscored]))
    assert not np.any(errors[~unscored] < 0)


def ok_extend_seed(args, result, before):
    assert result is None
    masks = declared(args[0], np.uint32)
    old = np.frombuffer(before, np.uint32).reshape(masks.shape)
    changed = masks != old
    assert np.all(old[changed] == 0), "a labelled pixel was relabelled"
    assert np.all(np.isin(masks[changed], old[old != 0])), "a label that was not in the mask appeared"


def ok_fill_holes(args, result, before):
    masks = declared(args[0], np.uint32)
    assert isinstance(result, np.ndarray) and result.shape == masks.shape
    assert masks.size == 0 or np.shares_memory(result, masks), "the result is not the caller's mask"
    if result.dtype == args[0].dtype:
        assert result is args[0]
    old = np.frombuffer(before, np.uint32).reshape(masks.shape)
    changed = masks != old
    assert np.all(old[changed] == 0)
    assert np.all(np.isin(masks[changed], old[old != 0]))


def ok_find_seeds(args, result):
    hist = declared(args[0], np.uint8)
    peak = ndimage.maximum_filter(hist, size=5, mode="constant", cval=0) if hist.size else hist
    expected = np.argwhere((hist > 10) & (hist == peak)).astype(np.uint32).reshape(-1, 2)
    check_new_array(result, np.uint32, expected.shape)
    np.testing.assert_array_equal(result, expected)


def ok_flow_error_estimate(args, result):
    assert type(result) is float
    assert not result < 0


def ok_p_histogram(args, result):
    pos, mask = declared(args[0], np.int16), declared(args[1], np.uint8) != 0
    _, ly, lx = pos.shape
    check_new_array(result, np.uint8, (ly, lx))
    y, x = np.nonzero(mask[:ly, :lx])
    counts = np.zeros((ly, lx), np.int64)
    np.add.at(counts, ((y + pos[0, y, x]) % max(ly, 1), (x + pos[1, y, x]) % max(lx, 1)), 1)
    np.testing.assert_array_equal(result, np.minimum(counts, 255))


def ok_renum_masks(args, result, before):
    assert result is None
    masks, remove = declared(args[0], np.uint32), declared(args[1], np.uint8)
    old = np.frombuffer(before, np.uint32).reshape(masks.shape)
    if np.any(remove > 1):
        # Bytes other than 0 and 1 are not checked here: see test_bad_input.py.
        assert np.all(masks[old == 0] == 0)
        return
    keep = remove == 0
    table = np.concatenate([[0], np.cumsum(keep) * keep]).astype(np.uint32)
    np.testing.assert_array_equal(masks, table[old])


def ok_renumbering(args, result, before):
    assert result is None
    labels = declared(args[0], np.uint32)
    old = np.frombuffer(before, np.uint32)
    # By the labels that occur: a table indexed by label could be 32 GiB.
    occurring, where, counts = np.unique(old, return_inverse=True, return_counts=True)
    keep = (counts <= 0.4 * old.size) & (occurring != 0)
    table = (np.cumsum(keep) * keep).astype(np.uint32)
    np.testing.assert_array_equal(labels, table[where] if old.size else old)


CHECKS = {
    "_approximate_diffusion": ok_approximate_diffusion, "_extend_centers": ok_extend_centers,
    "_masks_to_flow": ok_masks_to_flow, "_steps2D": ok_steps2D, "_steps2D_all": ok_steps2D_all,
    "bfs": ok_bfs, "compute_cell_size": ok_compute_cell_size,
    "compute_flow_error_cell_size": ok_compute_flow_error_cell_size, "extend_seed": ok_extend_seed,
    "fill_holes": ok_fill_holes, "find_seeds": ok_find_seeds, "flow_error_estimate": ok_flow_error_estimate,
    "p_histogram": ok_p_histogram, "renum_masks": ok_renum_masks, "renumbering": ok_renumbering,
}
# Checks that compare an in-place argument with its bytes before the call.
WRITTEN_ARGUMENT = {"bfs": 1, "extend_seed": 0, "fill_holes": 0, "renum_masks": 0, "renumbering": 0}


def alias_written_argument(draw, name, args):
    """Sometimes makes another argument a view of the bytes that the kernel writes."""
    if name not in ("_steps2D", "extend_seed", "bfs", "renum_masks") or draw(st.integers(0, 9)):
        return
    target = args[2] if name == "_steps2D" else args[1] if name == "bfs" else args[0]
    if (not isinstance(target, np.ndarray) or not target.flags.c_contiguous or not target.flags.writeable
            or target.dtype.hasobject):
        return
    raw = target.reshape(-1).view(np.uint8)
    if name == "_steps2D":
        n = raw.size // 16
        args[1] = (raw[:8 * n].view(np.int64), raw[8 * n:16 * n].view(np.int64))
    elif name == "extend_seed" and raw.size == 4 * target.size and target.ndim == 2:
        args[1] = raw.view(np.int16).reshape(2, *target.shape)
    elif name == "bfs":
        n = raw.size // 8
        args[2] = raw[:8 * n].view(np.uint32).reshape(n, 2)
    elif name == "renum_masks":
        args[1] = raw.view(np.bool_)


def call_and_check(draw, name):
    """Draws one call of `name`, makes it and checks it; returns how it ended (shared with the
    coverage-guided fuzzer in tests/fuzz/)."""
    args, labels = draw_args(draw, name)
    alias_written_argument(draw, name, args)
    written = WRITTEN_ARGUMENT.get(name)
    before = args[written].tobytes() if written is not None and isinstance(args[written], np.ndarray) else None
    result, error = run(name, args, labels)
    if error is None:
        if name in WRITTEN_ARGUMENT:
            CHECKS[name](args, result, before)
        else:
            CHECKS[name](args, result)
    return type(error).__name__ if error else "result"


@pytest.mark.parametrize("name", sorted(SIGNATURES))
def test_any_input_returns_or_raises_cleanly(name):
    outcomes = collections.Counter()

    @SETTINGS
    @given(st.data())
    def check(data):
        outcomes[call_and_check(data.draw, name)] += 1

    # A hang dumps every thread's stack and ends the child well before the parent's timeout.
    faulthandler.dump_traceback_later(HANG_SECONDS, exit=True)
    try:
        check()
    finally:
        faulthandler.cancel_dump_traceback_later()
    # One line per function for the report: how the examples ended.
    print(f"\nOUTCOMES {name} {sum(outcomes.values())} " + " ".join(f"{k}={v}" for k, v in sorted(outcomes.items())))
