"""Coverage-guided fuzzing of the module's outside surfaces, run by tools/fuzz.sh.

The fuzzer's bytes drive Hypothesis strategies (fuzz_one_input), so one input is one structured
case from the same argument builders the property tests use:

- the fifteen functions: bad_input_properties.call_and_check, with its checks (a clean return or
  an expected exception, arguments untouched when refused, results against NumPy oracles);
- the `_MemInfo` type: a record behind a result array, its counts, fields and buffer, and
  construction from objects that are no addresses;
- the `_dynfunc` types: Environment construction and the closures' argument checks;
- the exported C functions through ctypes: typed lists against a Python list, keys blocks of any
  size, records made and freed through the external-allocator entry points.

Raw addresses are never fuzzed: a `_MemInfo` made from an arbitrary integer, or a list handle
that is no list, is undefined by contract. Any exception escaping a case, crash or sanitizer
report is a finding; tools/fuzz.sh keeps the input that caused it.
"""
import ctypes
import gc
import os
import sys
import weakref

import atheris
import numpy as np
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "python"))

import sarvo_functions as sf  # noqa: E402

# Python-side coverage of the argument builders guides the fuzzer too.
with atheris.instrument_imports(include=["bad_input_properties"]):
    import bad_input_properties as props  # noqa: E402
from test_containers_ctypes import CList, LIST_ERR_INDEX, LIST_OK, bind_exports  # noqa: E402

LIB = bind_exports(sf.__file__)
for name, restype, argtypes in [
        ("SRT_MemInfo_alloc_external", ctypes.c_void_p, [ctypes.c_size_t, ctypes.c_void_p]),
        ("SRT_MemInfo_alloc_safe_aligned_external", ctypes.c_void_p,
         [ctypes.c_size_t, ctypes.c_uint, ctypes.c_void_p]),
        ("SRT_dealloc", None, [ctypes.c_void_p])]:
    getattr(LIB, name).restype, getattr(LIB, name).argtypes = restype, argtypes

MemInfo = type(sf._approximate_diffusion(np.zeros(1, np.int32), np.zeros(1, np.int32), 1).base)
Environment = type(next(r for r in gc.get_referents(sf.bfs.__self__) if type(r).__name__ == "Environment"))
ODD_OBJECTS = st.sampled_from([None, "0", 1.5, [], (), {}, b"\0" * 8, object(), -1.0])


@atheris.instrument_func
def fuzz_meminfo(draw):
    n = draw(st.integers(0, 300))
    out = sf._approximate_diffusion(np.arange(n, dtype=np.int32), np.zeros(1, np.int32), draw(st.integers(0, 40)))
    mi = out.base
    assert type(mi) is MemInfo and mi.refcount == 1 and mi.data == out.ctypes.data
    assert mi.parent is None and mi.external_allocator == 0
    for _ in range(draw(st.integers(0, 4))):
        mi.acquire()
    assert mi.refcount >= 1
    view = memoryview(mi)
    assert view.nbytes == out.nbytes and bytes(view) == out.tobytes()
    view.release()
    while mi.refcount > 1:
        mi.release()
    try:
        MemInfo(draw(ODD_OBJECTS))
    except TypeError:
        pass
    else:
        raise AssertionError("a _MemInfo was made from an object that is no address")
    assert MemInfo(0).__class__ is MemInfo  # a null record is refused by its readers, not made


@atheris.instrument_func
def fuzz_dynfunc(draw):
    arg = draw(st.one_of(ODD_OBJECTS, st.dictionaries(st.text(max_size=3), st.integers(), max_size=3)))
    try:
        env = Environment(arg)
    except TypeError:
        assert not isinstance(arg, dict)
    else:
        assert env.globals is arg and env.consts == []
    fn = getattr(sf, draw(st.sampled_from(sorted(props.SIGNATURES))))
    assert weakref.ref(fn.__self__)() is fn.__self__
    nargs = draw(st.integers(0, 7))
    if nargs != len(props.SIGNATURES[fn.__name__]):
        try:
            fn(*[None] * nargs)
        except TypeError:
            return
        raise AssertionError(f"{fn.__name__} took {nargs} arguments")


@atheris.instrument_func
def fuzz_list(draw):
    size = draw(st.integers(1, 12))
    lst = CList(LIB, size, draw(st.integers(0, 40)))
    model = []
    try:
        for _ in range(draw(st.integers(0, 40))):
            n = len(model)
            op = draw(st.sampled_from(["append", "get", "set", "del", "slice", "resize"]))
            index = draw(st.integers(-3, n + 3))
            item = draw(st.binary(min_size=size, max_size=size))
            if op == "append":
                assert LIB.sarvo_list_append(lst.ptr, item) == LIST_OK
                model.append(item)
            elif op == "get":
                status, got = lst.get(index)
                assert status == (LIST_OK if 0 <= index < n else LIST_ERR_INDEX)
                assert status != LIST_OK or got == model[index]
            elif op == "set":
                status = LIB.sarvo_list_setitem(lst.ptr, index, item)
                assert status == (LIST_OK if 0 <= index < n else LIST_ERR_INDEX)
                if status == LIST_OK:
                    model[index] = item
            elif op == "del":
                status = LIB.sarvo_list_delitem(lst.ptr, index)
                assert status == (LIST_OK if 0 <= index < n else LIST_ERR_INDEX)
                if status == LIST_OK:
                    del model[index]
            elif op == "slice":
                raw = slice(index, draw(st.integers(-n - 3, n + 3)), draw(st.sampled_from([None, 1, -1, 2, -3, 7])))
                assert LIB.sarvo_list_delete_slice(lst.ptr, *raw.indices(n)) == LIST_OK
                del model[raw]
            else:
                new = draw(st.integers(0, 2 * n + 5))
                assert LIB.sarvo_list_resize(lst.ptr, new) == LIST_OK
                model = (model + [None] * new)[:new]
                contents = lst.contents()
                model = [m if m is not None else c for m, c in zip(model, contents)]
            assert lst.contents() == model
    finally:
        lst.close()


@atheris.instrument_func
def fuzz_records_and_keys(draw):
    size = draw(st.integers(0, 1 << 16))
    align = draw(st.sampled_from([1, 2, 8, 24, 32, 64, 4096]))
    mi = LIB.SRT_MemInfo_alloc_safe_aligned_external(size, align, None)
    data = ctypes.c_void_p.from_address(mi + 24).value
    assert data % align == 0 and ctypes.string_at(data, min(size, 64)) == b"\xcb" * min(size, 64)
    LIB.SRT_dealloc(mi)
    LIB.SRT_dealloc(LIB.SRT_MemInfo_alloc_external(size, None))
    keys = ctypes.c_void_p()
    status = LIB.sarvo_dictkeys_new(ctypes.byref(keys), draw(st.integers(-2, 1 << 12)),
                                    draw(st.integers(-1, 64)), draw(st.integers(-1, 64)))
    assert status in (0, -1)
    if status == 0:
        LIB.sarvo_dictkeys_free(keys)


SURFACES = [fuzz_meminfo, fuzz_dynfunc, fuzz_list, fuzz_records_and_keys]


@settings(database=None, deadline=None, suppress_health_check=list(HealthCheck))
@given(st.data())
def one_case(data):
    surface = data.draw(st.integers(0, 2 * len(props.SIGNATURES) + len(SURFACES) - 1))
    if surface < 2 * len(props.SIGNATURES):  # most cases call one of the fifteen functions
        props.call_and_check(data.draw, sorted(props.SIGNATURES)[surface // 2])
    else:
        SURFACES[surface - 2 * len(props.SIGNATURES)](data.draw)


def replay(paths):
    """Runs saved inputs once each and exits normally (so coverage counters are written)."""
    files = [os.path.join(d, f) for d in paths for f in sorted(os.listdir(d))] if paths else []
    for path in files:
        with open(path, "rb") as f:
            one_case.hypothesis.fuzz_one_input(f.read())
    print(f"replayed {len(files)} inputs")


if __name__ == "__main__":
    if sys.argv[1:2] == ["--replay"]:
        replay([p for p in sys.argv[2:] if os.path.isdir(p)])
    else:
        atheris.Setup(sys.argv, one_case.hypothesis.fuzz_one_input)
        atheris.Fuzz()
