"""No input crashes or hangs the interpreter. The property checks of bad_input_properties.py run
in a child interpreter per function, so that a crash fails one test with the call that caused
it instead of ending the run; then a few fixed cases: arrays of an accepted but unusual form
(reinterpreted, any layout) give the results of their plain form, misaligned arrays and
arguments that share memory with an array the kernel writes are refused, zero-size arrays
with huge extents return at once."""
import os
import pathlib
import re
import resource
import subprocess
import sys
import time

import numpy as np
import pytest

from bad_input_properties import misaligned
from conftest import run_python
from reliability_calls import FUNCTIONS, fingerprint, valid_args

HERE = pathlib.Path(__file__).parent
PROPERTIES = HERE / "bad_input_properties.py"
ADDRESS_SPACE = 3 << 30  # no legitimately huge grid or count table can be had, or filled


def under_address_sanitizer():
    return "libasan" in os.environ.get("LD_PRELOAD", "")


# Examples per function; the sanitized run, five times slower per call, tries half as many.
EXAMPLES = int(os.environ.get("SARVO_FUZZ_EXAMPLES", "250" if under_address_sanitizer() else "500"))


def child_environment(sf, last_call):
    env = dict(os.environ, SARVO_FUZZ_EXAMPLES=str(EXAMPLES), SARVO_FUZZ_LAST_CALL=str(last_call),
               PYTHONPATH=os.pathsep.join([str(pathlib.Path(sf.__file__).parent), str(HERE),
                                           os.environ.get("PYTHONPATH", "")]))
    if under_address_sanitizer():
        # The sanitizer reserves the address space up front; cap single requests instead.
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":allocator_may_return_null=1:max_allocation_size_mb=3072"
    return env


def cap_address_space():
    if not under_address_sanitizer():
        resource.setrlimit(resource.RLIMIT_AS, (ADDRESS_SPACE, resource.getrlimit(resource.RLIMIT_AS)[1]))


@pytest.mark.parametrize("name", FUNCTIONS)
def test_any_input_returns_or_raises_cleanly(sf, tmp_path, name):
    last_call = tmp_path / "last_call.txt"
    node = f"{PROPERTIES}::test_any_input_returns_or_raises_cleanly[{name}]"
    try:
        run = subprocess.run([sys.executable, "-m", "pytest", node, "-q", "-s", "-p", "no:cacheprovider"],
                             capture_output=True, text=True, timeout=300, cwd=HERE.parent.parent,
                             env=child_environment(sf, last_call), preexec_fn=cap_address_space)
    except subprocess.TimeoutExpired as e:
        call = last_call.read_text() if last_call.exists() else "(none)"
        pytest.fail(f"hung; the call in progress:\n{call}\n{e.stdout!r}")
    call = last_call.read_text() if last_call.exists() else "(none)"
    assert run.returncode == 0, (f"exit status {run.returncode}; the last call made:\n{call}\n"
                                 f"{run.stdout[-6000:]}\n{run.stderr[-3000:]}")
    tried = re.search(rf"OUTCOMES {name} (\d+) ", run.stdout)
    assert tried and int(tried.group(1)) >= EXAMPLES, run.stdout[-3000:]


# ---------------------------------------------------------------------------------------------
# Accepted forms give the plain form's results

SAME_SIZE = {np.dtype(np.uint32): np.float32, np.dtype(np.int32): np.uint32, np.dtype(np.float32): np.int32,
             np.dtype(np.int16): np.uint16, np.dtype(np.int64): np.uint64, np.dtype(np.uint8): np.int8,
             np.dtype(np.bool_): np.uint8}


def reinterpreted(a):
    return a.view(SAME_SIZE[a.dtype])


def each_array(args, form):
    out = []
    for a in args:
        if isinstance(a, tuple):
            out.append(tuple(form(x) for x in a))
        elif isinstance(a, np.ndarray):
            out.append(form(a))
        else:
            out.append(a)
    return out


def bytes_outcome(fn, args):
    """The outcome with every array reduced to its bytes and shape: reinterpreted arguments
    keep their own dtypes, the results' dtypes are fixed by the kernels."""
    def plain(obj):
        if isinstance(obj, np.ndarray):
            return obj.shape, obj.tobytes()
        if isinstance(obj, tuple):
            return tuple(plain(o) for o in obj)
        return fingerprint(obj)
    try:
        result = fn(*args)
    except Exception as error:  # noqa: BLE001 - compared, not judged
        return type(error).__name__, str(error)
    dtypes = [r.dtype for r in (result if isinstance(result, tuple) else (result,)) if isinstance(r, np.ndarray)]
    return plain(result), dtypes, [plain(a) for a in args]


@pytest.mark.parametrize("name", FUNCTIONS)
def test_reinterpreted_arrays_give_the_plain_results(sf, name):
    plain = valid_args(name, np.random.default_rng(3))
    other = each_array(valid_args(name, np.random.default_rng(3)), reinterpreted)
    fn = getattr(sf, name)
    expected = bytes_outcome(fn, plain)
    assert len(expected) == 3, expected  # the plain call returned
    assert bytes_outcome(fn, other) == expected


def misaligned_variants(args):
    """The arguments with each array (item size above 1) in turn misaligned by one byte."""
    for i, a in enumerate(args):
        items = a if isinstance(a, tuple) else (a,)
        for j, x in enumerate(items):
            if isinstance(x, np.ndarray) and x.itemsize > 1:
                moved = tuple(misaligned(y) if k == j else y for k, y in enumerate(items))
                yield args[:i] + [moved if isinstance(a, tuple) else moved[0]] + args[i + 1:]


def variants_of(name):
    return list(misaligned_variants(list(valid_args(name, np.random.default_rng(3)))))


# find_seeds takes bytes only.
@pytest.mark.parametrize("name", [n for n in FUNCTIONS if variants_of(n)])
def test_misaligned_arrays_are_refused(sf, name):
    # A kernel reads elements through typed pointers; one byte off, they are no elements.
    for args in variants_of(name):
        with pytest.raises(ValueError, match=rf"^{name} needs argument \d aligned for its dtype"):
            getattr(sf, name)(*args)


def test_misaligned_bytes_of_a_dtype_that_needs_no_alignment_are_refused(sf):
    # NumPy calls four-byte strings aligned anywhere; read as uint32 they are not.
    masks = np.zeros(4 * 6 + 1, np.uint8)[1:].view("S4").reshape(2, 3)
    assert masks.flags.aligned
    with pytest.raises(TypeError, match="can't unbox array"):
        sf.fill_holes(masks)


def test_empty_misaligned_array_is_accepted(sf):
    # It has no element to misplace.
    empty = np.zeros(9, np.uint8)[1:1].view(np.uint32)
    assert sf.renumbering(empty, 3) is None


@pytest.mark.parametrize("layout", [
    lambda f: np.asfortranarray(f),
    lambda f: np.ascontiguousarray(f[:, ::-1, ::-1])[:, ::-1, ::-1],
    lambda f: np.stack([f[1], f[0], f[1]])[[1, 0]],
    lambda f: np.repeat(f, 3, axis=2)[:, :, ::3],
], ids=["fortran", "reversed", "gathered", "strided"])
def test_flow_error_estimate_reads_any_layout_as_its_contiguous_copy(sf, layout):
    ys, xs, flow = valid_args("flow_error_estimate", np.random.default_rng(5))
    view = layout(np.ascontiguousarray(flow))
    np.testing.assert_array_equal(view, flow)
    assert sf.flow_error_estimate(ys, xs, view) == sf.flow_error_estimate(ys, xs, np.ascontiguousarray(flow))


# ---------------------------------------------------------------------------------------------
# Arguments that share memory with an array the kernel writes

def test_coordinates_that_view_the_displacements_are_refused(sf):
    # Once disp is zeroed and updated, such coordinates would send the writes anywhere.
    flow = np.full((2, 4, 4), 1e30, np.float32)
    disp = np.zeros((2, 4, 4), np.float32)
    raw = disp.reshape(-1).view(np.int64)
    with pytest.raises(ValueError, match=r"^_steps2D writes into argument 3, which shares memory with argument 2$"):
        sf._steps2D(flow, (raw[:8], raw[8:]), disp, 5, 1.0, False)


def test_displacements_that_view_the_mask_are_refused(sf):
    # Labels written into the mask would become displacements that were never checked.
    masks = np.zeros((2, 4096), np.uint32)
    words = masks.reshape(-1).view(np.int16)
    words[8192], words[4], words[5], words[11] = 2, 1, 0x7000, 1
    before = masks.copy()
    with pytest.raises(ValueError, match="^extend_seed writes into argument 1, which shares memory with argument 2$"):
        sf.extend_seed(masks, words.reshape(2, 2, 4096))
    np.testing.assert_array_equal(masks, before)


@pytest.mark.parametrize("call", [
    lambda sf, a: sf.bfs(a["hist"], a["pos"], a["pos"].reshape(-1)[:8].view(np.uint32).reshape(2, 2)),
    lambda sf, a: sf.bfs(a["pos"].reshape(-1).view(np.uint8)[:20].reshape(4, 5), a["pos"], a["seeds"]),
    lambda sf, a: sf.renum_masks(a["masks"], a["masks"].reshape(-1).view(np.bool_)),
    lambda sf, a: sf._steps2D(a["disp"], (a["rows"], a["rows"]), a["disp"], 1, 1.0, True),
    lambda sf, a: sf._steps2D(a["disp"][:, ::-1][:, ::-1], (a["rows"], a["rows"]), a["disp"], 1, 1.0, True),
], ids=["bfs-seeds", "bfs-hist", "renum_masks", "steps2D-flow", "steps2D-flow-view"])
def test_any_argument_overlapping_a_written_array_is_refused(sf, call):
    a = {"hist": np.full((4, 5), 9, np.uint8), "pos": np.zeros((2, 4, 5), np.int16),
         "seeds": np.zeros((1, 2), np.uint32), "masks": np.ones((4, 5), np.uint32),
         "disp": np.zeros((2, 4, 5), np.float32), "rows": np.zeros(2, np.int64)}
    with pytest.raises(ValueError, match="shares memory with argument"):
        call(sf, a)


def test_arguments_that_are_only_read_may_share_memory(sf):
    d = np.array([0, 3, -2], np.int32)
    np.testing.assert_array_equal(sf._approximate_diffusion(d, d, 4), sf._approximate_diffusion(d, d.copy(), 4))
    flow = np.random.default_rng(0).normal(size=(2, 6, 6)).astype(np.float32)
    ys = np.array([0, 1, 5, 2], np.int32)
    assert sf.flow_error_estimate(ys, ys, flow) == sf.flow_error_estimate(ys, ys.copy(), flow)
    # A written array right next to (not overlapping) another argument's bytes is accepted.
    raw = np.zeros(48 + 2, np.uint8)
    masks, remove = raw[:48].view(np.uint32).reshape(3, 4), raw[48:].view(np.bool_)
    masks[0, 0], remove[0] = 2, True
    sf.renum_masks(masks, remove)
    assert masks[0, 0] == 1 and remove.tolist() == [True, False]


# ---------------------------------------------------------------------------------------------
# Reads past the end of an argument, made to fault: the argument ends right before a page that
# cannot be read.

GUARDED = """
    import sys
    sys.path.insert(0, {tests!r})
    import numpy as np, sarvo_functions as sf
    from bad_input_properties import guarded
    {code}
    print("returned")
"""


@pytest.mark.parametrize("n_steps", [0, -3])
def test_steps2d_reads_no_column_past_the_end(n_steps):
    code = (f"sf._steps2D(np.zeros((2, 4, 4), np.float32), (np.arange(4, dtype=np.int64), "
            f"guarded(np.zeros(1, np.int64))), np.zeros((2, 4, 4), np.float32), {n_steps}, 0.9, True)")
    out = run_python(GUARDED.format(tests=str(HERE), code=code), timeout=60)
    assert out.returncode == 0 and out.stdout.strip() == "returned", out.returncode


# ---------------------------------------------------------------------------------------------
# Bytes of a bool argument other than 0 and 1

# A bool array reinterpreted from bytes (accepted: same item size) may hold 2 or 255, which
# NumPy reads as true. Run in a child: under the undefined-behaviour sanitizer such a load aborts.
BOOL_BYTES = """
    import numpy as np, sarvo_functions as sf
    {code}
"""


def test_remove_flags_read_any_nonzero_byte_as_true():
    out = run_python(BOOL_BYTES.format(code="""
    masks = np.array([[1, 2, 3]], np.uint32)
    sf.renum_masks(masks, np.array([2, 0, 255], np.uint8).view(np.bool_))
    print(masks.tolist())"""), timeout=60)
    assert out.returncode == 0 and out.stdout.strip() == "[[0, 1, 0]]", (out.stdout, out.stderr[-2000:])


def test_selection_reads_any_nonzero_byte_as_true():
    out = run_python(BOOL_BYTES.format(code="""
    selection = np.array([[0, 2, 255, 1]], np.uint8).view(np.bool_)
    print(sf.p_histogram(np.zeros((2, 1, 4), np.int16), selection).tolist())"""), timeout=60)
    assert out.returncode == 0 and out.stdout.strip() == "[[0, 1, 1, 1]]", (out.stdout, out.stderr[-2000:])


# ---------------------------------------------------------------------------------------------
# Zero-size arrays whose other extent is huge (a loop over the huge extent does nothing, and
# must not take the time to count it)

HUGE = 2**40
MASK = f"np.empty(({HUGE}, 0), np.uint32)"
COUNTS = f"np.empty(({HUGE}, 0), np.uint8)"
POS = f"np.empty((2, {HUGE}, 0), np.int16)"
FLOW = f"np.empty((2, {HUGE}, 0), np.float32)"
TALL_BOXES = "np.tile(np.array([[[0, 2**31 - 1], [0, 5]]], np.int32), (200, 1, 1))"
SKIPPED_BOXES = "np.tile(np.array([[[3, 3], [0, 5]]], np.int32), (200, 1, 1))"
ZERO_SIZE_CALLS = {
    "p_histogram": f"sf.p_histogram({POS}, np.empty((0, 0), bool))",
    "find_seeds": f"sf.find_seeds({COUNTS})",
    "extend_seed": f"sf.extend_seed({MASK}, {POS})",
    "compute_cell_size": f"sf.compute_cell_size({MASK}, {TALL_BOXES})",
    "compute_flow_error_cell_size": f"sf.compute_flow_error_cell_size({MASK}, {FLOW}, {TALL_BOXES}, 1, 1.0)",
    "fill_holes": f"sf.fill_holes({MASK})",
    "bfs": f"sf.bfs({COUNTS}, {POS}, np.empty((0, 2), np.uint32))",
    "renum_masks": f"sf.renum_masks({MASK}, np.zeros(0, bool))",
    "_steps2D_all": f"sf._steps2D_all({FLOW}, 50, True)",
    "_steps2D": f"sf._steps2D({FLOW}, (np.empty(0, np.int64),) * 2, {FLOW}, 50, 0.9, True)",
    "_masks_to_flow": f"sf._masks_to_flow({MASK}, {SKIPPED_BOXES}, 0.5)",
}
DEADLINE = 60.0  # a loop over 2**40 rows takes far longer; starting children on a busy machine, a few seconds


@pytest.fixture(scope="module")
def zero_size_runs(sf):
    """Starts one child per call at once, gives them DEADLINE seconds together, and ends the
    ones still running."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(pathlib.Path(sf.__file__).parent),
                                                        os.environ.get("PYTHONPATH", "")]))
    children = {name: subprocess.Popen([sys.executable, "-c", f"import numpy as np, sarvo_functions as sf\n{code}\n"
                                        "print('returned')"], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                       text=True, env=env)
                for name, code in ZERO_SIZE_CALLS.items()}
    end = time.monotonic() + DEADLINE
    outcomes = {}
    for name, child in children.items():
        try:
            out, err = child.communicate(timeout=max(end - time.monotonic(), 0.1))
            outcomes[name] = (child.returncode, out + err)
        except subprocess.TimeoutExpired:
            child.kill()
            child.communicate()
            outcomes[name] = ("still running", "")
    return outcomes


@pytest.mark.parametrize("name", sorted(ZERO_SIZE_CALLS))
def test_zero_size_arrays_with_a_huge_extent_return_at_once(zero_size_runs, name):
    status, output = zero_size_runs[name]
    assert status == 0, (status, output)
    assert output.strip().endswith("returned")
