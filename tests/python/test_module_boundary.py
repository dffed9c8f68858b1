"""The module's face: arity, argument conversion and its errors, reference counts, result
boxing, environment slots, hash-secret copies and the exported symbol list."""
import ast
import array
import ctypes
import pathlib
import subprocess
import sys

import numpy as np
import pytest

from conftest import run_python
from reliability_calls import FUNCTIONS, refused_args, valid_args

ROOT = pathlib.Path(__file__).resolve().parents[2]
UNBOX = "can't unbox array from PyObject into native value.  The object maybe of a different type"
FILL_HOLES_SLOT = ("_ZN08SarvoEnv10pelmarinex14deviverozo_new15sarvo_functions10fill_holesB4v100B42c8tJTC_2fWQMS"
                   "lLSj2gb4vKoGykKIdLKIJAA_3d_3dE5ArrayIjLi2E1C7mutable7alignedE")
ALL_FUNCTIONS = ["_approximate_diffusion", "_extend_centers", "_masks_to_flow", "_steps2D", "_steps2D_all", "bfs",
                 "compute_cell_size", "compute_flow_error_cell_size", "extend_seed", "fill_holes", "find_seeds",
                 "flow_error_estimate", "p_histogram", "renum_masks", "renumbering"]


def flow_field(ly=4, lx=5):
    f = np.zeros((2, ly, lx), np.float32)
    f[0] = 0.7
    f[1] = -0.3
    return f


def test_functions_are_bound_to_closures_of_this_module(sf):
    present = [name for name in ALL_FUNCTIONS if hasattr(sf, name)]
    assert "_steps2D" in present and "_steps2D_all" in present
    for name in present:
        fn = getattr(sf, name)
        assert fn.__module__ == "sarvo_functions"
        assert type(fn.__self__).__name__ == "_Closure"
        assert fn.__doc__ in (None, "")


@pytest.mark.parametrize("args", [(flow_field(), 5), (flow_field(), 5, True, 1), ()])
def test_wrong_positional_count_is_the_interpreters_arity_error(sf, args):
    with pytest.raises(TypeError) as info:
        sf._steps2D_all(*args)
    assert str(info.value) == f"_steps2D_all expected 3 arguments, got {len(args)}"


def test_keywords_are_ignored_and_never_stand_for_positionals(sf):
    with pytest.raises(TypeError, match="expected 3 arguments, got 2"):
        sf._steps2D_all(flow_field(), 5, interpolate=True)
    out = sf._steps2D_all(flow_field(), 5, True, unused=1)
    np.testing.assert_array_equal(out, sf._steps2D_all(flow_field(), 5, True))


@pytest.mark.parametrize("given,means", [(2 ** 32 + 5, 5), (3.7, 3), ("3", 3), (np.int64(7), 7), (True, 1)])
def test_int32_arguments_convert_like_int_and_keep_the_low_32_bits(sf, given, means):
    a = sf._steps2D_all(flow_field(), given, True)
    b = sf._steps2D_all(flow_field(), means, True)
    np.testing.assert_array_equal(a, b)


@pytest.mark.parametrize("given,error", [(None, TypeError), ("x", ValueError), (2 ** 70, OverflowError)])
def test_int32_conversion_errors_are_the_interpreters(sf, given, error):
    with pytest.raises(error):
        sf._steps2D_all(flow_field(), given, True)


def test_uint32_argument_refuses_negative_values(sf):
    if not hasattr(sf, "renumbering"):
        pytest.skip("renumbering not built")
    labels = np.zeros(4, np.uint32)
    with pytest.raises(OverflowError):
        sf.renumbering(labels, -1)
    sf.renumbering(labels, 2 ** 32 + 3)  # low 32 bits: 3


def test_bool_argument_uses_truth_value(sf):
    class Falsy:
        def __bool__(self):
            return False

    class Broken:
        def __bool__(self):
            raise KeyError("no truth")

    np.testing.assert_array_equal(sf._steps2D_all(flow_field(), 5, Falsy()), sf._steps2D_all(flow_field(), 5, False))
    with pytest.raises(KeyError):
        sf._steps2D_all(flow_field(), 5, Broken())


@pytest.mark.parametrize("coords,size", [((np.zeros(1, np.int64),), 1), ([np.zeros(1, np.int64)] * 2, -1),
                                         ((np.zeros(1, np.int64),) * 3, 3), (5, -1)])
def test_tuple_argument_must_have_two_items(sf, coords, size):
    with pytest.raises(ValueError) as info:
        sf._steps2D(flow_field(), coords, flow_field(), 1, 1.0, True)
    assert str(info.value) == f"size mismatch for tuple, expected 2 element(s) but got {size}"


@pytest.mark.parametrize("flow", [
    [[[0.0]]],                                   # not an array
    np.zeros((2, 4, 5), np.float64),             # item size 8, float32 declared
    np.zeros((2, 4, 5, 1), np.float32),          # four dimensions
    np.zeros((4, 5), np.float32),                # two dimensions
    np.zeros((2, 5, 4), np.float32).transpose(0, 2, 1),  # not C-contiguous
])
def test_unconvertible_arrays_get_the_unbox_error(sf, flow):
    with pytest.raises(TypeError) as info:
        sf._steps2D_all(flow, 5, True)
    assert str(info.value) == UNBOX


def test_same_item_size_reinterprets_the_bytes(sf):
    flow = flow_field()
    as_int = flow.view(np.int32)
    out = sf._steps2D_all(as_int, 5, True)
    assert out.dtype == np.float32
    np.testing.assert_array_equal(out, sf._steps2D_all(flow, 5, True))


def test_failed_conversion_of_a_later_argument_restores_reference_counts(sf):
    flow, ys, xs = flow_field(), np.zeros(1, np.int64), np.zeros(1, np.int64)
    coords = (ys, xs)
    before = [sys.getrefcount(o) for o in (flow, ys, xs)]
    for bad_disp in ("not an array", np.zeros((2, 4, 5), np.float64)):
        with pytest.raises(TypeError):
            sf._steps2D(flow, coords, bad_disp, 1, 1.0, True)
    with pytest.raises(TypeError):
        sf._steps2D(flow, coords, flow_field(), None, 1.0, True)
    assert [sys.getrefcount(o) for o in (flow, ys, xs)] == before


def test_successful_calls_leave_reference_counts_unchanged(sf):
    flow = flow_field()
    disp = flow_field()
    coords = (np.array([1], np.int64), np.array([2], np.int64))
    before = [sys.getrefcount(o) for o in (flow, disp, *coords)]
    for _ in range(50):
        sf._steps2D(flow, coords, disp, 3, 0.9, True)
        sf._steps2D_all(flow, 1, True)
    assert [sys.getrefcount(o) for o in (flow, disp, *coords)] == before


def test_read_only_array_that_would_be_written_is_refused(sf):
    disp = np.frombuffer(bytes(2 * 4 * 5 * 4), np.float32).reshape(2, 4, 5)
    with pytest.raises(ValueError, match="read-only"):
        sf._steps2D(flow_field(), (np.zeros(1, np.int64),) * 2, disp, 1, 1.0, True)
    ro_flow = flow_field()
    ro_flow.flags.writeable = False
    sf._steps2D(ro_flow, (np.zeros(1, np.int64),) * 2, flow_field(), 1, 1.0, True)  # only read: accepted


def test_array_subclasses_are_accepted(sf):
    class Sub(np.ndarray):
        pass

    flow = flow_field().view(Sub)
    assert sf._steps2D_all(flow, 1, True) is flow


def test_missing_environment_is_reported_with_the_slot_symbol():
    code = f"""
        import ctypes, numpy as np, sarvo_functions as sf
        lib = ctypes.CDLL(sf.__file__)
        sym = [l for l in open({str(ROOT / 'csrc/tarn/env_slot_exports.txt')!r}) if '12_steps2D_all' in l][0].strip()
        slot = ctypes.c_void_p.in_dll(lib, sym)
        saved, slot.value = slot.value, None
        try:
            sf._steps2D_all(np.zeros((2, 2, 2), np.float32), 1, True)
        except RuntimeError as e:
            print(e)
        slot.value = saved
        print(sf._steps2D_all(np.zeros((2, 2, 2), np.float32), 1, True).shape)
    """
    out = run_python(code)
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    assert lines[0].startswith("missing Environment: _ZN08SarvoEnv10pelmarinex14deviverozo_new15sarvo_functions"
                               "12_steps2D_allB4v100")
    assert lines[1] == "(2, 2, 2)"


@pytest.mark.parametrize("seed", ["0", "123"])
def test_hash_secret_copies_follow_the_interpreters_secret(seed):
    code = """
        import ctypes, sarvo_functions as sf
        lib = ctypes.CDLL(sf.__file__)
        print([ctypes.c_uint64.in_dll(lib, n).value for n in
               ("_sarvo_hashsecret_siphash_k0", "_sarvo_hashsecret_siphash_k1", "_sarvo_hashsecret_djbx33a_suffix")])
    """
    runs = [run_python(code, env={"PYTHONHASHSEED": seed}) for _ in range(2)]
    assert all(r.returncode == 0 for r in runs), runs[0].stderr
    words = eval(runs[0].stdout)
    assert runs[0].stdout == runs[1].stdout  # the secret is a function of the seed
    assert (words == [0, 0, 0]) == (seed == "0")


def exported_symbols(path):
    out = subprocess.run(["nm", "-D", "--defined-only", path], capture_output=True, text=True, check=True).stdout
    return {line.split()[-1] for line in out.splitlines() if line.strip()}


def declared_exports():
    names = set()
    for path in (ROOT / "csrc").rglob("*exports.txt"):
        names |= {l.strip() for l in path.read_text().splitlines() if l.strip() and not l.startswith("#")}
    return names


def statistics_hooks():
    path = ROOT / "csrc/core/runtime/test_hooks.exports"
    return {l.strip() for l in path.read_text().splitlines() if l.strip() and not l.startswith("#")}


def test_exported_symbols_are_exactly_the_declared_list(module_path):
    exported = exported_symbols(module_path)
    # A test build (-DSARVO_TEST_HOOKS=ON) adds all of the statistics hooks, a release build none.
    assert exported in (declared_exports(), declared_exports() | statistics_hooks())
    for name in ("PyInit_sarvo_functions", "tarn_init_sarvo_functions", "SRT_MemInfo_alloc_external",
                 "SRT_MemInfo_alloc_safe_aligned_external", "SRT_dealloc", "_sarvo_hashsecret_siphash_k0",
                 "_sarvo_hashsecret_siphash_k1", "_sarvo_hashsecret_djbx33a_suffix", FILL_HOLES_SLOT):
        assert name in exported
    slots = sorted(n for n in exported if n.startswith("_ZN08SarvoEnv"))
    assert len(slots) == 15
    demangled = subprocess.run(["c++filt"], input="\n".join(slots), capture_output=True, text=True).stdout
    for name in ALL_FUNCTIONS:
        assert f"SarvoEnv::pelmarinex::deviverozo_new::sarvo_functions::{name}[abi:v100]" in demangled


def test_exported_memory_record_functions_work_through_the_c_interface(module_path, sf):
    lib = ctypes.CDLL(module_path)
    lib.SRT_MemInfo_alloc_safe_aligned_external.restype = ctypes.c_void_p
    lib.SRT_MemInfo_alloc_safe_aligned_external.argtypes = [ctypes.c_size_t, ctypes.c_uint, ctypes.c_void_p]
    lib.SRT_dealloc.argtypes = [ctypes.c_void_p]
    mi = lib.SRT_MemInfo_alloc_safe_aligned_external(64, 32, None)
    words = (ctypes.c_uint64 * 6).from_address(mi)
    assert words[0] == 1 and words[3] % 32 == 0 and words[4] == 64
    assert ctypes.string_at(words[3], 64) == b"\xcb" * 64
    lib.SRT_dealloc(mi)


def test_misaligned_array_is_refused_with_a_clear_error(sf):
    raw = np.zeros(4 * 2 * 4 * 5 + 1, np.uint8)
    flow = np.frombuffer(raw.data, np.float32, offset=1, count=2 * 4 * 5).reshape(2, 4, 5)
    assert not flow.flags.aligned
    with pytest.raises(ValueError, match="aligned"):
        sf._steps2D_all(flow, 1, True)
    np.testing.assert_array_equal(sf._steps2D_all(np.require(flow, requirements="A"), 1, True), flow)


# The documented signatures, which the notes follow.
STUB_PARAMS = {f.name: [a.arg for a in f.args.posonlyargs]
               for f in ast.parse((ROOT / "sarvo_functions.pyi").read_text()).body if isinstance(f, ast.FunctionDef)}
WRITTEN = {"_steps2D": 2, "bfs": 1, "extend_seed": 0, "fill_holes": 0, "renum_masks": 0,
           "renumbering": 0}


def interpreters_overflow(value):
    """The interpreter's own text for an int that its 64-bit conversion refuses."""
    with pytest.raises(OverflowError) as info:
        array.array("q" if value > 0 else "Q", [value])
    return str(info.value)


def spoil(args, i, value):
    return args[:i] + (value,) + args[i + 1:]


def first(args, wanted):
    return next((i for i, a in enumerate(args) if wanted(a)), None)


def extra_channel(a):
    return np.concatenate([a, a[:1]])


def one_column_short(a):
    return np.ascontiguousarray(a[..., :-1])


SHAPE_SPOILS = {"_steps2D": (2, extra_channel), "_steps2D_all": (0, extra_channel), "p_histogram": (0, extra_channel),
                "bfs": (0, one_column_short), "extend_seed": (0, one_column_short),
                "compute_cell_size": (1, lambda s: np.zeros((len(s), 2, 3), np.int32)),
                "compute_flow_error_cell_size": (1, one_column_short)}


def arity(name, args, params):
    plural = "s" * (len(args) != 1)
    return (args[:-1], TypeError, f"{name} expected {len(args)} argument{plural}, got {len(args) - 1}",
            [f"{name} takes {len(args)} positional argument"] + [f"{p}: " for p in params])


def not_an_array(name, args, params):
    i = first(args, lambda a: isinstance(a, np.ndarray))
    return (spoil(args, i, args[i].tolist()), TypeError, UNBOX,
            [f"{name} argument {i + 1} `{params[i]}` needs a C-contiguous", "got a list", "np.ascontiguousarray("])


def extra_dimension(name, args, params):
    i = first(args, lambda a: isinstance(a, np.ndarray))
    a = args[i][None]
    return (spoil(args, i, a), TypeError, UNBOX,
            [f"argument {i + 1} `{params[i]}` needs", f"with {args[i].ndim} dimension",
             f"got a {a.dtype} array of shape {a.shape}"])


def other_item_size(name, args, params):
    i = first(args, lambda a: isinstance(a, np.ndarray))
    a = args[i].astype(np.float64 if args[i].itemsize != 8 else np.float32)
    return (spoil(args, i, a), TypeError, UNBOX, [f"needs a C-contiguous, {'writeable, ' * (WRITTEN.get(name) == i)}"
                                                  f"{args[i].dtype} array", f"got a {a.dtype} array"])


def read_only(name, args, params):
    if name not in WRITTEN:
        return None
    i = WRITTEN[name]
    a = args[i].copy()
    a.flags.writeable = False
    return (spoil(args, i, a), ValueError, f"{name} writes into argument {i + 1}, which is a read-only array",
            [f"argument {i + 1} `{params[i]}` needs a C-contiguous, writeable", "read-only", f"`{params[i]}.copy()`"])


def overflow(name, args, params):
    i = first(args, lambda a: type(a) is int)
    if i is None:
        return None
    value = -1 if params[i] in ("min_size", "min_labels") else 2 ** 70  # uint32 and int32 arguments
    return (spoil(args, i, value), OverflowError, interpreters_overflow(value),
            [f"argument {i + 1} `{params[i]}` needs an integer from {0 if value < 0 else '-2**63'}", f"got {value} (int)"])


def shapes(name, args, params):
    if name not in SHAPE_SPOILS:
        return None
    i, change = SHAPE_SPOILS[name]
    a = change(args[i])
    return (spoil(args, i, a), AssertionError, "",
            [f"{name} refused the shapes", f"it needs {params[0]} (", f"got {params[0]} ", f"{params[i]} {a.dtype} {a.shape}"])


def division_by_zero(name, args, params):
    if name in ("_extend_centers", "flow_error_estimate"):
        return spoil(args, 0, args[0][:0]), ZeroDivisionError, "division by zero", ["`ys` and `xs` must each hold"]
    if name not in ("_approximate_diffusion", "_masks_to_flow", "compute_flow_error_cell_size"):
        return None
    bad, _ = refused_args(name, np.random.default_rng(5))
    box = [] if name == "_approximate_diffusion" else ["Box 3 [[0, 2], [0, 2]] holds no pixel of label 4"]
    return bad, ZeroDivisionError, "division by zero", [f"{name} divided by zero: "] + box


def reinterpreted(name, args, params):
    if name != "_masks_to_flow":
        return None
    masks = args[0].astype(np.float32)  # labels 1.0, 2.0, ... read as their bit patterns: no box holds its label
    return (spoil(args, 0, masks), ZeroDivisionError, "division by zero",
            ["Box 0 ", "argument 1 `masks` is a float32 array, read as uint32", "`masks.astype(np.uint32)`"])


REFUSALS = [arity, not_an_array, extra_dimension, other_item_size, read_only, overflow, shapes, division_by_zero,
            reinterpreted]
CASES = [(name, refusal) for name in FUNCTIONS for refusal in REFUSALS
         if refusal(name, valid_args(name, np.random.default_rng(5)), STUB_PARAMS[name]) is not None]


@pytest.mark.parametrize("name,refusal", CASES, ids=[f"{n}-{r.__name__}" for n, r in CASES])
def test_a_refusal_keeps_its_message_and_gains_a_note_saying_what_to_fix(sf, name, refusal):
    args, error, message, fragments = refusal(name, valid_args(name, np.random.default_rng(5)), STUB_PARAMS[name])
    with pytest.raises(error) as info:
        getattr(sf, name)(*args)
    assert type(info.value) is error and str(info.value) == message
    note = "\n".join(info.value.__notes__)
    assert note.startswith(name) or "read as" in note.splitlines()[0]
    for fragment in fragments:
        assert fragment in note
