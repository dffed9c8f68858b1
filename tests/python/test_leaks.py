"""Every function called thousands of times, with arguments it accepts and with arguments it
refuses, leaks nothing: the arguments' reference counts come back, every memory record and
every block that was allocated is freed again (the module's own statistics, exported by test
builds only), and the resident set stays flat."""
import ctypes
import gc
import os
import sys

import numpy as np
import pytest

from conftest import run_python
from reliability_calls import FUNCTIONS, refused_args, valid_args

CALLS = 10_000
WARM_UP = 200
RSS_SLACK = 2 * 1024 * 1024
PAGE = os.sysconf("SC_PAGE_SIZE")

HOOKS = ("enable_stats", "disable_stats", "get_stats_alloc", "get_stats_free", "get_stats_mi_alloc",
         "get_stats_mi_free")


class Statistics:
    """The memory system's counters, read through the hooks of a -DSARVO_TEST_HOOKS=ON build."""

    def __init__(self, module_path):
        lib = ctypes.CDLL(module_path)
        try:
            self.fns = {name: getattr(lib, "SRT_MemSys_" + name) for name in HOOKS}
        except AttributeError:
            pytest.skip("the module was built without -DSARVO_TEST_HOOKS=ON")
        for name in HOOKS[2:]:
            self.fns[name].restype = ctypes.c_size_t
        self.fns["enable_stats"]()

    def read(self):
        return {name[len("get_stats_"):]: self.fns[name]() for name in HOOKS[2:]}


@pytest.fixture(scope="module")
def statistics(module_path):
    stats = Statistics(module_path)
    yield stats
    stats.fns["disable_stats"]()


def under_address_sanitizer():
    return "libasan" in os.environ.get("LD_PRELOAD", "")


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def objects_in(args):
    """The arrays and tuples of a call; scalars are shared constants whose counts others move."""
    for a in args:
        if isinstance(a, (np.ndarray, tuple)):
            yield a
        if isinstance(a, tuple):
            yield from a


def call_repeatedly(fn, args, expected, times):
    for _ in range(times):
        try:
            fn(*args)
        except expected:
            pass


@pytest.mark.parametrize("kind", ["valid", "refused"])
@pytest.mark.parametrize("name", FUNCTIONS)
def test_repeated_calls_leak_nothing(sf, statistics, name, kind):
    rng = np.random.default_rng(7)
    if kind == "valid":
        args, expected = valid_args(name, rng), ()
    else:
        args, expected = refused_args(name, rng)
    fn = getattr(sf, name)
    call_repeatedly(fn, args, expected, WARM_UP)  # caches, free lists and the arena settle
    if kind == "refused":
        with pytest.raises(expected):
            fn(*args)
    gc.collect()
    refs = [sys.getrefcount(o) for o in objects_in(args)]
    stats, rss = statistics.read(), resident_bytes()

    call_repeatedly(fn, args, expected, CALLS)
    gc.collect()

    after, grown = statistics.read(), resident_bytes() - rss
    delta = {k: after[k] - stats[k] for k in stats}
    print(f"\nLEAKS {name} {kind} calls={CALLS} records=+{delta['mi_alloc']}/-{delta['mi_free']} "
          f"blocks=+{delta['alloc']}/-{delta['free']} rss={grown / 1024:+.0f}KiB")
    assert [sys.getrefcount(o) for o in objects_in(args)] == refs
    assert delta["mi_alloc"] == delta["mi_free"], delta
    assert delta["alloc"] == delta["free"], delta
    if not under_address_sanitizer():  # its quarantine holds freed blocks back on purpose
        assert grown <= RSS_SLACK, f"resident set grew by {grown} bytes"
    if kind == "valid" and name not in ("_steps2D", "extend_seed", "renum_masks", "renumbering"):
        assert delta["mi_alloc"] >= CALLS, "statistics did not count the calls' records"


# Allocation failures: three calls, each refused for its size 500 times, in a child whose
# address space is capped at 8 MiB over what it holds. Each call needs some 20 to 50 MB beside
# its arguments (the result of a 1000 x 1000 object, its grids), far more than the cap leaves,
# so no call can succeed however the allocator reuses freed blocks.
ALLOCATION_FAILURES = """
    import ctypes, gc, resource, sys
    import numpy as np, sarvo_functions as sf
    lib = ctypes.CDLL(sf.__file__)
    for n in ("alloc", "free", "mi_alloc", "mi_free"):
        getattr(lib, "SRT_MemSys_get_stats_" + n).restype = ctypes.c_size_t
    read = lambda: [getattr(lib, "SRT_MemSys_get_stats_" + n)() for n in ("alloc", "free", "mi_alloc", "mi_free")]
    lib.SRT_MemSys_enable_stats()
    masks = np.ones((1000, 1000), np.uint32)
    flow = np.zeros((2, 1000, 1000), np.float32)
    box = np.array([[[0, 1000], [0, 1000]]], np.int32)
    ys, xs = (a.astype(np.int32).ravel() for a in np.indices((1000, 1000)))
    calls = [
        (sf._extend_centers, (ys, xs, 1000, 1000, 0.5)),
        (sf._masks_to_flow, (masks, box, 0.5)),
        (sf.compute_flow_error_cell_size, (masks, flow, box, 0, 0.5)),
    ]
    objs = [masks, flow, box, ys, xs]
    gc.collect()
    with open("/proc/self/status") as f:
        vm = int(next(l for l in f if l.startswith("VmSize")).split()[1]) * 1024
    resource.setrlimit(resource.RLIMIT_AS, (vm + (8 << 20), resource.getrlimit(resource.RLIMIT_AS)[1]))
    for fn, args in calls:
        for _ in range(20):
            try: fn(*args)
            except MemoryError: pass
    gc.collect()
    refs, before = [sys.getrefcount(o) for o in objs], read()
    messages = set()
    for fn, args in calls:
        for _ in range(REFUSALS):
            try:
                fn(*args)
            except MemoryError as e:
                messages.add(str(e))
            else:
                raise SystemExit(fn.__name__ + " did not fail")
    gc.collect()
    after = read()
    print(sorted(messages))
    print([a - b for a, b in zip(after, before)])
    print([sys.getrefcount(o) for o in objs] == refs)
"""
REFUSALS = 500


@pytest.mark.skipif(under_address_sanitizer(), reason="the sanitizer's allocator reserves the address space")
def test_allocation_failures_leak_nothing(statistics):
    out = run_python(ALLOCATION_FAILURES.replace("REFUSALS", str(REFUSALS)), timeout=120)
    assert out.returncode == 0, out.stderr
    messages, delta, refs_back = out.stdout.splitlines()
    assert eval(messages) == ["Allocation failed (probably too large)."]
    alloc, free, mi_alloc, mi_free = eval(delta)
    assert mi_alloc == mi_free
    # The block counter counts every request, the refused one of each call included.
    assert alloc - free == 3 * REFUSALS
    assert refs_back == "True"
