"""A refused call of an in-place function leaves the caller's arrays byte for byte as they were:
every check comes before the first write. Read-only arrays are refused where the kernel would
write and accepted where it only reads. (The flow-following, growth and clean-up test files
cover some refusals' texts; this file covers the untouched bytes of every refusal kind.)"""
import os

import numpy as np
import pytest

from conftest import run_python
from reliability_calls import FUNCTIONS, valid_args

RNG_SEED = 11


def fresh(name):
    return list(valid_args(name, np.random.default_rng(RNG_SEED)))


def bent(name, change):
    """Valid arguments of `name` with one change applied; returns the argument list."""
    args = fresh(name)
    change(args)
    return args


def set_item(index, value):
    def change(args):
        args[index] = value(args) if callable(value) else value
    return change


def last_seed_outside(args):
    hist, pos, seeds = args
    # Earlier seeds would grow regions (and zero pos) if the check came late.
    args[2] = np.vstack([seeds, [[0, pos.shape[2]]]]).astype(np.uint32)


def last_target_outside(args):
    masks, pos = args
    masks[-1, -1], pos[:, -1, -1] = 0, (0, 1)


def last_label_beyond_remove(args):
    masks, remove = args
    masks[-1, -1] = remove.size + 1


def coords_outside(args):
    rows, cols = args[1]
    args[1] = (rows, np.where(np.arange(cols.size) == cols.size - 1, args[0].shape[2], cols))


def coords_viewing_disp(args):
    raw = args[2].reshape(-1).view(np.int64)
    args[1] = (raw[:4], raw[4:8])


# (function, index of the argument it writes, change, expected exception)
REFUSALS = [
    ("_steps2D", 2, coords_outside, ValueError),
    ("_steps2D", 2, set_item(1, lambda a: (a[1][0], a[1][1][:-1])), ValueError),         # short columns
    ("_steps2D", 2, set_item(0, lambda a: np.zeros((3,) + a[0].shape[1:], np.float32)), AssertionError),
    ("_steps2D", 2, set_item(0, lambda a: np.zeros((2, 3, 3), np.float32)), ValueError),  # other extents
    ("_steps2D", 2, set_item(1, lambda a: (a[1][0],)), ValueError),                       # 1-tuple
    ("_steps2D", 2, set_item(3, None), TypeError),                                        # n_steps
    ("_steps2D", 2, set_item(4, "fast"), ValueError),                                     # decay
    ("_steps2D", 2, set_item(5, np.ones(2)), ValueError),                                 # ambiguous truth
    ("_steps2D", 2, coords_viewing_disp, ValueError),
    ("_steps2D_all", 0, set_item(0, lambda a: np.ones((3,) + a[0].shape[1:], np.float32)), AssertionError),
    ("_steps2D_all", 0, set_item(1, 2**64), OverflowError),
    ("bfs", 1, last_seed_outside, ValueError),
    ("bfs", 1, set_item(2, np.zeros((2, 3), np.uint32)), AssertionError),
    ("bfs", 1, set_item(0, lambda a: a[0][:-1].copy()), AssertionError),
    ("bfs", 1, set_item(2, lambda a: a[1].reshape(-1)[:16].view(np.uint32).reshape(4, 2)), ValueError),  # alias
    ("extend_seed", 0, last_target_outside, ValueError),
    ("extend_seed", 0, set_item(1, lambda a: a[1][:, :-1].copy()), AssertionError),
    ("extend_seed", 0, set_item(1, lambda a: np.concatenate([a[1], a[1][:1]])), AssertionError),
    ("extend_seed", 0, set_item(1, lambda a: a[0].view(np.int16).reshape(2, *a[0].shape)), ValueError),
    ("fill_holes", 0, set_item(0, lambda a: a[0][:, ::2]), TypeError),
    ("fill_holes", 0, set_item(0, lambda a: a[0][::-1]), TypeError),
    ("fill_holes", 0, set_item(0, lambda a: a[0][None]), TypeError),
    ("renum_masks", 0, last_label_beyond_remove, ValueError),
    ("renum_masks", 0, set_item(1, lambda a: a[1][:0]), ValueError),
    ("renum_masks", 0, set_item(1, lambda a: a[1].astype(np.int16)), TypeError),
    ("renum_masks", 0, set_item(1, lambda a: a[0].reshape(-1).view(np.bool_)), ValueError),  # alias
    ("renumbering", 0, set_item(1, -1), OverflowError),
    ("renumbering", 0, set_item(1, None), TypeError),
]


@pytest.mark.parametrize("name, written, change, error", REFUSALS,
                         ids=[f"{r[0]}-{i}" for i, r in enumerate(REFUSALS)])
def test_refused_call_changes_no_argument(sf, name, written, change, error):
    args = bent(name, change)
    before = [np.asarray(a).tobytes() if isinstance(a, np.ndarray) else None for a in args]
    written_before = args[written].copy()
    with pytest.raises(error):
        getattr(sf, name)(*args)
    assert args[written].tobytes() == written_before.tobytes()
    for a, b in zip(args, before):
        if b is not None:
            assert a.tobytes() == b


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the sanitizer's allocator reserves the address space")
def test_renumbering_needs_memory_by_entries_not_by_labels():
    # Under a cap of 1 GiB over what the interpreter holds, neither a label of 4·10⁹ nor the
    # largest min_labels may ask for a table of label size (32 GiB); the numbers stay right.
    out = run_python("""
        import resource, numpy as np, sarvo_functions as sf
        with open("/proc/self/status") as f:
            vm = int(next(l for l in f if l.startswith("VmSize")).split()[1]) * 1024
        resource.setrlimit(resource.RLIMIT_AS, (vm + (1 << 30), resource.getrlimit(resource.RLIMIT_AS)[1]))
        labels = np.array([0, 3, 3, 7, 1], np.uint32)
        sf.renumbering(labels, 2**32 - 1)
        huge = np.array([0, 4000000000, 4000000000, 2**31, 1], np.uint32)
        sf.renumbering(huge, 0)
        print(labels.tolist(), huge.tolist())
    """, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "[0, 2, 2, 3, 1] [0, 3, 3, 2, 1]"


# ---------------------------------------------------------------------------------------------
# Read-only arrays

WRITES = {"_steps2D": 2, "bfs": 1, "extend_seed": 0, "fill_holes": 0, "renum_masks": 0,
          "renumbering": 0}


def read_only_copy(array):
    """A read-only view of an immutable bytes buffer holding the array's elements."""
    view = np.frombuffer(array.tobytes(), array.dtype).reshape(array.shape)
    assert not view.flags.writeable
    return view


@pytest.mark.parametrize("name", sorted(WRITES))
def test_read_only_array_is_refused_where_the_kernel_writes(sf, name):
    args = fresh(name)
    index = WRITES[name]
    args[index] = read_only_copy(args[index])
    with pytest.raises(ValueError) as info:
        getattr(sf, name)(*args)
    assert str(info.value) == f"{name} writes into argument {index + 1}, which is a read-only array"


@pytest.mark.parametrize("name", FUNCTIONS)
def test_read_only_arrays_are_accepted_where_the_kernel_only_reads(sf, name):
    """Every argument that the kernel does not write, given as a read-only view, gives the
    same outcome as its writeable original."""
    def read_only_where_allowed(args):
        out = []
        for i, a in enumerate(args):
            if i == WRITES.get(name):
                out.append(a)
            elif isinstance(a, tuple):
                out.append(tuple(read_only_copy(x) for x in a))
            elif isinstance(a, np.ndarray):
                out.append(read_only_copy(np.ascontiguousarray(a)) if a.flags.c_contiguous else
                           np.lib.stride_tricks.as_strided(a, writeable=False))
            else:
                out.append(a)
        return out

    plain, frozen = fresh(name), fresh(name)
    expected = getattr(sf, name)(*plain)
    got = getattr(sf, name)(*read_only_where_allowed(frozen))
    if isinstance(expected, tuple):
        for e, g in zip(expected, got):
            np.testing.assert_array_equal(g, e)
    elif isinstance(expected, np.ndarray):
        np.testing.assert_array_equal(got, expected)
    else:
        assert got == expected
    if name in WRITES:
        np.testing.assert_array_equal(frozen[WRITES[name]], plain[WRITES[name]])
