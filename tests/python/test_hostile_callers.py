"""What a hostile or careless caller can reach besides the fifteen functions: the _MemInfo
base objects of results, the _dynfunc objects behind the functions and their environment
constants, the interpreter lock around a kernel, and a broken NumPy at import."""
import gc
import pathlib
import shutil
import subprocess
import sys
import textwrap
import threading
import weakref

import numpy as np
import pytest

from conftest import run_python


@pytest.fixture
def result(sf):
    return sf.compute_cell_size(np.ones((3, 3), np.uint32), np.array([[[0, 3], [0, 3]]], np.int32))


def runtime_types():
    return {t.__name__: t for t in object.__subclasses__() if t.__module__ in ("_dynfunc", "_srt_python")}


# ---------------------------------------------------------------------------------------------
# _srt_python._MemInfo

RECORDLESS_ACCESS = {
    "data": lambda m: m.data, "refcount": lambda m: m.refcount, "parent": lambda m: m.parent,
    "external_allocator": lambda m: m.external_allocator, "acquire": lambda m: m.acquire(),
    "release": lambda m: m.release(), "buffer": memoryview,
}


@pytest.mark.parametrize("make", ["from a null pointer", "by __new__ alone", "by a subclass's __new__"])
@pytest.mark.parametrize("access", RECORDLESS_ACCESS)
def test_a_meminfo_without_a_record_is_invalid_not_a_crash(result, make, access):
    M = type(result.base)
    m = {"from a null pointer": lambda: M(0), "by __new__ alone": lambda: M.__new__(M),
         "by a subclass's __new__": lambda: type("Sub", (M,), {}).__new__(type("Sub", (M,), {}))}[make]()
    with pytest.raises(ValueError, match="^invalid MemInfo$"):
        RECORDLESS_ACCESS[access](m)


def test_a_second_initialisation_is_refused_and_keeps_the_record(result):
    before = result.base.data, result.base.refcount
    with pytest.raises(RuntimeError, match="already initialised"):
        result.base.__init__(0)
    assert (result.base.data, result.base.refcount) == before


def test_release_gives_back_only_what_acquire_took_through_the_same_object(sf, result):
    mi, expected = result.base, result.copy()
    with pytest.raises(ValueError, match="without a matching acquire"):
        mi.release()
    assert mi.refcount == 1
    mi.acquire()
    mi.acquire()
    assert mi.refcount == 3
    mi.release()
    mi.release()
    assert mi.refcount == 1
    with pytest.raises(ValueError, match="without a matching acquire"):
        mi.release()
    # The buffer is still the array's: a new result does not land on it.
    other = sf.compute_cell_size(np.full((3, 3), 7, np.uint32), np.array([[[0, 3], [0, 3]]], np.int32))
    assert other.base.data != mi.data
    np.testing.assert_array_equal(result, expected)


def test_meminfo_type_has_its_documented_face(sf, result):
    M = type(result.base)
    assert M.__name__ == "_MemInfo" and M.__module__ == "_srt_python"
    assert M.__doc__ is None
    assert M.acquire.__doc__ == "Increment the reference count"
    assert M.release.__doc__ == "Decrement the reference count"
    assert M.data.__doc__ == "Get the data pointer as an integer"
    assert M.refcount.__doc__ == "Get the refcount"
    assert M.external_allocator.__doc__ == "Get the external allocator"
    assert M.parent.__doc__ is None
    assert all(getattr(sf, name) is not M for name in dir(sf)) and "_MemInfo" not in dir(sf)
    sub = type("Sub", (M,), {"extra": 1})
    assert issubclass(sub, M) and sub.__new__(sub).extra == 1


# ---------------------------------------------------------------------------------------------
# Environment constants and _dynfunc objects


@pytest.mark.parametrize("bend, error, message", [
    ("consts.clear()", RuntimeError, "environment constant 0 is missing"),
    ("consts.pop()", RuntimeError, "environment constant 1 is missing"),
    ("consts[0] = np.dtype('f4')", TypeError, "no plain dtype of 8-byte items"),
    ("consts[0] = np.dtype(object)", TypeError, "no plain dtype of 8-byte items"),
    ("consts[1] = 'u4'", TypeError, "no dtype but 'str'"),
])
def test_boxing_checks_the_environment_constants_it_reads(bend, error, message):
    # In a child: the constants belong to the module, and a broken one would stay broken.
    out = run_python(f"""
        import gc, numpy as np, sarvo_functions as sf
        fn = sf.compute_flow_error_cell_size
        env = next(o for o in gc.get_referents(fn.__self__) if type(o).__name__ == "Environment")
        consts = env.consts
        {bend}
        try:
            fn(np.ones((3, 3), np.uint32), np.zeros((2, 3, 3), np.float32), np.array([[[0, 3], [0, 3]]], np.int32),
               1, 1.0)
        except Exception as e:
            print(type(e).__name__, e)
    """)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip().startswith(error.__name__) and message in out.stdout, out.stdout


def test_closures_take_weak_references(sf):
    closure = sf.fill_holes.__self__
    ref = weakref.ref(closure)
    assert ref() is closure
    cache = weakref.WeakValueDictionary({"fill_holes": closure})
    assert cache["fill_holes"] is closure
    assert weakref.getweakrefcount(closure) >= 2


FUZZ_RUNTIME_TYPES = """
    import copy, gc, pickle, weakref, numpy as np, sarvo_functions as sf
    rng = np.random.default_rng(SEED)
    types = {t.__name__: t for t in object.__subclasses__() if t.__module__ in ("_dynfunc", "_srt_python")}
    assert sorted(types) == ["Environment", "_Closure", "_Generator", "_MemInfo"], sorted(types)
    # _MemInfo(address) trusts the address it is given (the runtime hands over records that
    # way); 0 is the one integer a caller can give it without owning a record.
    ARGS = [(), (0,), (None,), ("x",), ({},), ({}, {}), ([],), (1.5,), (2**70,), (-1.0,), (b"",)]
    def live_objects():
        res = sf.compute_cell_size(np.ones((2, 2), np.uint32), np.array([[[0, 2], [0, 2]]], np.int32))
        closure = sf.renumbering.__self__
        return [res.base, closure] + [o for o in gc.get_referents(closure) if type(o) is types["Environment"]]
    def made(t):
        try:
            sub = type("Sub", (t,), {})
        except TypeError:  # not every type takes subclasses
            sub = t
        for args in ARGS:
            for maker in (lambda: t(*args), lambda: t.__new__(t, *args), lambda: sub(*args),
                          lambda: sub.__new__(sub, *args)):
                try:
                    yield maker()
                except Exception:
                    pass
    def poke(obj):
        for name in dir(obj):
            try:
                value = getattr(obj, name)
            except Exception:
                continue
            if name in ("__init__", "__new__") and type(obj).__name__.endswith("MemInfo"):
                args_pool = [a for a in ARGS if not (a and isinstance(a[0], int))]
            else:
                args_pool = ARGS
            if callable(value) and name not in ("__del__", "__dealloc__"):
                args = args_pool[rng.integers(len(args_pool))]
                try:
                    value(*args)
                except Exception:
                    pass
        for action in (repr, str, hash, weakref.ref, copy.copy, copy.deepcopy, pickle.dumps, memoryview,
                       gc.get_referents, iter, next, len, bool):
            try:
                action(obj)
            except Exception:
                pass
    for round_ in range(40):
        for t in types.values():
            for obj in made(t):
                poke(obj)
        for obj in live_objects():
            poke(obj)
        gc.collect()
    res = sf.compute_cell_size(np.ones((2, 2), np.uint32), np.array([[[0, 2], [0, 2]]], np.int32))
    print("done", res.tolist())
"""


@pytest.mark.parametrize("seed", [0, 1])
def test_fuzzed_runtime_objects_never_crash_and_the_module_still_works(seed):
    out = run_python(FUZZ_RUNTIME_TYPES.replace("SEED", str(seed)), timeout=120)
    assert out.returncode == 0, out.stderr[-3000:]
    assert out.stdout.strip() == "done [4]"


# ---------------------------------------------------------------------------------------------
# The interpreter lock and the import


def test_a_kernel_runs_without_the_interpreter_lock(sf):
    flow = np.random.default_rng(0).normal(0, 0.5, (2, 600, 600)).astype(np.float32)
    counter, stop = [0], threading.Event()

    def count():
        while not stop.is_set():
            counter[0] += 1

    thread = threading.Thread(target=count)
    thread.start()
    try:
        while counter[0] == 0:
            pass
        before = counter[0]
        sf._steps2D_all(flow, 200, True)  # some tenths of a second of kernel time
        during = counter[0] - before
    finally:
        stop.set()
        thread.join()
    # Holding the lock, the kernel would leave the counter where it was, give or take the
    # one switch interval granted before the call.
    assert during > 10000, during


FAKE_NUMPY = {
    "no C module": "",
    "no capsule": "_ARRAY_API = 5",
    "ABI version": "import ctypes\n_TABLE_ABI = 0x1000008",
    "API version": "import ctypes\n_TABLE_FEATURE = 0xc",
    "unknown endianness": "import ctypes\n_TABLE_ENDIAN = 0",
    "other endianness": "import ctypes\n_TABLE_ENDIAN = 2",
}
TABLE = """
_ABI = globals().get("_TABLE_ABI", 0x1000009)
_FEATURE = globals().get("_TABLE_FEATURE", 0x11)
_ENDIAN = globals().get("_TABLE_ENDIAN", 1)
_callbacks = [ctypes.CFUNCTYPE(ctypes.c_uint)(lambda v=v: v) for v in (_ABI, _ENDIAN, _FEATURE)]
_table = (ctypes.c_void_p * 400)()
for _slot, _fn in zip((0, 210, 211), _callbacks):
    _table[_slot] = ctypes.cast(_fn, ctypes.c_void_p).value
_new = ctypes.pythonapi.PyCapsule_New
_new.restype, _new.argtypes = ctypes.py_object, [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
_ARRAY_API = _new(ctypes.addressof(_table), None, None)
"""
FAKE_NUMPY_MESSAGES = {
    "no C module": "ModuleNotFoundError: No module named 'numpy.core._multiarray_umath'",
    "no capsule": "RuntimeError: _ARRAY_API is not PyCapsule object",
    "ABI version": "RuntimeError: module compiled against ABI version 0x1000009 but this version of numpy is 0x1000008",
    "API version": "RuntimeError: module compiled against API version 0xd but this version of numpy is 0xc",
    "unknown endianness": "RuntimeError: FATAL: module compiled as unknown endian",
    "other endianness": "RuntimeError: FATAL: module compiled as little endian, but detected different "
                        "endianness at runtime",
}
# A build against NumPy 2's headers runs NumPy 2's own check: it accepts an older ABI (so the ABI
# case needs a newer one) and words the API-version failure its own way.
NUMPY2_HEADER_CASES = {
    "ABI version": ("import ctypes\n_TABLE_ABI = 0x2000001",
                    "RuntimeError: module compiled against ABI version 0x2000000 but this version of numpy is 0x2000001"),
    "API version": (FAKE_NUMPY["API version"],
                    "RuntimeError: module was compiled against NumPy C-API version 0xd (NumPy 1.16) but the running "
                    "NumPy has C-API version 0xc"),
}


def built_with_numpy2_headers(module_path):
    # Only NumPy 2's import sequence names the private core package.
    return b"numpy._core._multiarray_umath" in pathlib.Path(module_path).read_bytes()


@pytest.mark.parametrize("case", FAKE_NUMPY)
def test_a_broken_numpy_fails_the_import_with_the_documented_messages(sf, case, tmp_path):
    core = tmp_path / "numpy" / "core"
    core.mkdir(parents=True)
    (tmp_path / "numpy" / "__init__.py").write_text("")
    (core / "__init__.py").write_text("")
    source, message = FAKE_NUMPY[case], FAKE_NUMPY_MESSAGES[case]
    if case in NUMPY2_HEADER_CASES and built_with_numpy2_headers(sf.__file__):
        source, message = NUMPY2_HEADER_CASES[case]
    if case != "no C module":
        (core / "_multiarray_umath.py").write_text(source + (TABLE if "ctypes" in source else ""))
    build = str(pathlib.Path(sf.__file__).parent)
    out = run_python(f"""
        import sys
        sys.path[:0] = [{str(tmp_path)!r}, {build!r}]
        try:
            import sarvo_functions
        except ImportError as e:
            print(type(e).__name__, e)
    """)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "ImportError numpy.core.multiarray failed to import"
    assert message in out.stderr


# ---------------------------------------------------------------------------------------------
# Compiled reference counting


@pytest.mark.skipif(shutil.which("objdump") is None, reason="objdump not available")
def test_kernels_count_references_inline_without_calls(module_path):
    listing = subprocess.run(["objdump", "-d", "--no-show-raw-insn", module_path], capture_output=True,
                             text=True).stdout
    calls = [line for line in listing.splitlines() if "call" in line and ("<SRT_incref" in line or
                                                                          "<SRT_decref" in line)]
    assert listing and not calls, calls[:5]
