"""The typed containers' C interface as seen from outside the module: the exported symbols,
the list functions driven against a Python list, and the dictionary's keys blocks and index
building checked against the probe sequence."""
import collections
import ctypes
import random
import subprocess

import pytest

from conftest import run_python

c_int64 = ctypes.c_int64
c_void_p = ctypes.c_void_p

LIST_OK, LIST_ERR_INDEX, LIST_ERR_NO_MEMORY = 0, -1, -2
LIST_ERR_MUTATED, LIST_ERR_ITER_EXHAUSTED, LIST_ERR_NULL_TABLE = -3, -4, -6
DICT_OK, DICT_ERR_NO_MEMORY = 0, -1

REFCOUNT_OP = ctypes.CFUNCTYPE(None, c_void_p)

LIST_FUNCTIONS = [
    "sarvo_list_new", "sarvo_list_free", "sarvo_list_set_method_table", "sarvo_list_base_ptr",
    "sarvo_list_size_address", "sarvo_list_length", "sarvo_list_allocated", "sarvo_list_is_mutable",
    "sarvo_list_set_is_mutable", "sarvo_list_getitem", "sarvo_list_setitem", "sarvo_list_append",
    "sarvo_list_resize", "sarvo_list_delitem", "sarvo_list_delete_slice", "sarvo_list_iter_sizeof",
    "sarvo_list_iter", "sarvo_list_iter_next",
]
DICT_EXPORTS = ["sarvo_dictkeys_new", "sarvo_dictkeys_free", "build_indices"]
INTERNAL = [
    "sarvo_dict_new", "sarvo_dict_new_sized", "sarvo_dict_free", "sarvo_dict_set_method_table",
    "sarvo_dict_length", "sarvo_dict_lookup", "sarvo_dict_insert", "sarvo_dict_insert_ez",
    "sarvo_dict_delitem", "sarvo_dict_popitem", "sarvo_dict_resize", "sarvo_dict_iter_sizeof",
    "sarvo_dict_iter", "sarvo_dict_iter_next", "sarvo_dict_dump", "sarvo_test_dict", "sarvo_test_list",
]


class SVList(ctypes.Structure):
    _fields_ = [("size", c_int64), ("item_size", c_int64), ("allocated", c_int64),
                ("is_mutable", ctypes.c_int), ("item_incref", c_void_p), ("item_decref", c_void_p),
                ("items", c_void_p)]


class ListMethods(ctypes.Structure):
    _fields_ = [("item_incref", REFCOUNT_OP), ("item_decref", REFCOUNT_OP)]


class DictKeysHeader(ctypes.Structure):
    _fields_ = [("size", c_int64), ("usable", c_int64), ("nentries", c_int64), ("key_size", c_int64),
                ("val_size", c_int64), ("entry_size", c_int64), ("entry_offset", c_int64),
                ("key_equal", c_void_p), ("key_incref", c_void_p), ("key_decref", c_void_p),
                ("value_incref", c_void_p), ("value_decref", c_void_p)]


P = ctypes.POINTER
SIGNATURES = {
    "sarvo_list_new": (ctypes.c_int, [P(c_void_p), c_int64, c_int64]),
    "sarvo_list_free": (None, [c_void_p]),
    "sarvo_list_set_method_table": (ctypes.c_int, [c_void_p, P(ListMethods)]),
    "sarvo_list_base_ptr": (c_void_p, [c_void_p]),
    "sarvo_list_size_address": (c_void_p, [c_void_p]),
    "sarvo_list_length": (c_int64, [c_void_p]),
    "sarvo_list_allocated": (c_int64, [c_void_p]),
    "sarvo_list_is_mutable": (ctypes.c_int, [c_void_p]),
    "sarvo_list_set_is_mutable": (None, [c_void_p, ctypes.c_int]),
    "sarvo_list_getitem": (ctypes.c_int, [c_void_p, c_int64, ctypes.c_char_p]),
    "sarvo_list_setitem": (ctypes.c_int, [c_void_p, c_int64, ctypes.c_char_p]),
    "sarvo_list_append": (ctypes.c_int, [c_void_p, ctypes.c_char_p]),
    "sarvo_list_resize": (ctypes.c_int, [c_void_p, c_int64]),
    "sarvo_list_delitem": (ctypes.c_int, [c_void_p, c_int64]),
    "sarvo_list_delete_slice": (ctypes.c_int, [c_void_p, c_int64, c_int64, c_int64]),
    "sarvo_list_iter_sizeof": (ctypes.c_size_t, []),
    "sarvo_list_iter": (None, [c_void_p, c_void_p]),
    "sarvo_list_iter_next": (ctypes.c_int, [c_void_p, P(c_void_p)]),
    "sarvo_dictkeys_new": (ctypes.c_int, [P(c_void_p), c_int64, c_int64, c_int64]),
    "sarvo_dictkeys_free": (None, [c_void_p]),
    "build_indices": (None, [c_void_p, c_int64]),
}


def bind_exports(module_path):
    """The module's exported container functions with their C signatures (shared with the fuzzer)."""
    lib = ctypes.CDLL(module_path)
    for name, (restype, argtypes) in SIGNATURES.items():
        fn = getattr(lib, name)
        fn.restype, fn.argtypes = restype, argtypes
    return lib


@pytest.fixture(scope="module")
def lib(module_path):
    return bind_exports(module_path)


# ---- exported surface

@pytest.fixture(scope="module")
def dynamic_symbols(module_path):
    out = subprocess.run(["nm", "-D", "--defined-only", module_path], capture_output=True, text=True,
                         check=True).stdout
    return {line.split()[-1] for line in out.splitlines() if line.strip()}


@pytest.mark.parametrize("name", LIST_FUNCTIONS + DICT_EXPORTS)
def test_container_function_is_exported(dynamic_symbols, name):
    assert name in dynamic_symbols


@pytest.mark.parametrize("name", INTERNAL)
def test_internal_container_function_is_not_exported(dynamic_symbols, name):
    assert name not in dynamic_symbols


@pytest.mark.parametrize("name", ["SRT_dealloc", "sarvo_list_free", "sarvo_dictkeys_free"])
def test_release_entry_points_take_a_null_pointer_as_free_does(module_path, name):
    # In a child: a release that follows the null pointer ends the interpreter.
    out = run_python(f"""
        import ctypes
        lib = ctypes.CDLL({module_path!r})
        frees = getattr(lib, "SRT_MemSys_get_stats_free", None)  # test builds count the frees
        if frees:
            lib.SRT_MemSys_enable_stats()
            frees.restype = ctypes.c_size_t
        before = frees() if frees else 0
        release = getattr(lib, {name!r})
        release.argtypes, release.restype = [ctypes.c_void_p], None
        release(None)
        print((frees() if frees else 0) - before)
    """)
    assert out.returncode == 0 and out.stdout.split() == ["0"], out.stderr


# ---- typed list

class CList:
    """Owns one typed list made through the exported functions."""

    def __init__(self, lib, item_size, allocated=0):
        self.lib, self.item_size = lib, item_size
        handle = c_void_p()
        assert lib.sarvo_list_new(ctypes.byref(handle), item_size, allocated) == LIST_OK
        self.ptr = handle.value

    def close(self):
        if self.ptr:
            self.lib.sarvo_list_free(self.ptr)
            self.ptr = None

    @property
    def record(self):
        return SVList.from_address(self.ptr)

    def get(self, i):
        buf = ctypes.create_string_buffer(self.item_size)
        status = self.lib.sarvo_list_getitem(self.ptr, i, buf)
        return status, buf.raw

    def contents(self):
        n = self.lib.sarvo_list_length(self.ptr)
        if n == 0:
            return []
        raw = ctypes.string_at(self.lib.sarvo_list_base_ptr(self.ptr), n * self.item_size)
        return [raw[i * self.item_size:(i + 1) * self.item_size] for i in range(n)]


@pytest.fixture
def make_list(lib):
    made = []

    def make(item_size, allocated=0):
        made.append(CList(lib, item_size, allocated))
        return made[-1]

    yield make
    for lst in made:
        lst.close()


def test_list_record_is_addressed_by_its_size_and_items(lib, make_list):
    lst = make_list(3, 5)
    assert lib.sarvo_list_size_address(lst.ptr) == lst.ptr
    assert lib.sarvo_list_allocated(lst.ptr) == 5
    for item in (b"abc", b"def"):
        assert lib.sarvo_list_append(lst.ptr, item) == LIST_OK
    record = lst.record
    assert (record.size, record.item_size, record.is_mutable) == (2, 3, 1)
    assert record.items == lib.sarvo_list_base_ptr(lst.ptr)
    assert ctypes.string_at(record.items, 6) == b"abcdef"
    assert lib.sarvo_list_iter_sizeof() == 24


def iterate(lib, lst):
    storage = ctypes.create_string_buffer(lib.sarvo_list_iter_sizeof())
    lib.sarvo_list_iter(storage, lst.ptr)
    item = c_void_p()
    items = []
    while (status := lib.sarvo_list_iter_next(storage, ctypes.byref(item))) == LIST_OK:
        items.append(ctypes.string_at(item.value, lst.item_size))
    return status, items, storage


def test_iteration_yields_every_item_then_reports_exhaustion_or_change(lib, make_list):
    lst = make_list(2)
    for item in (b"p0", b"p1", b"p2"):
        lib.sarvo_list_append(lst.ptr, item)
    status, items, storage = iterate(lib, lst)
    assert (status, items) == (LIST_ERR_ITER_EXHAUSTED, [b"p0", b"p1", b"p2"])
    lib.sarvo_list_append(lst.ptr, b"p3")
    assert lib.sarvo_list_iter_next(storage, ctypes.byref(c_void_p())) == LIST_ERR_MUTATED


@pytest.mark.parametrize("seed", [0, 1, 2])
def test_list_agrees_with_a_python_list_under_random_operations(lib, make_list, seed):
    """Slices are normalised by slice.indices, the interpreter's own adjustment, and the
    deletion is checked against `del` on a Python list."""
    rng = random.Random(seed)
    lst = make_list(3)
    model = []
    refs = collections.Counter()

    def incref(ptr):
        refs[ctypes.string_at(ptr, 3)] += 1

    def decref(ptr):
        refs[ctypes.string_at(ptr, 3)] -= 1

    callbacks = ListMethods(REFCOUNT_OP(incref), REFCOUNT_OP(decref))
    assert lib.sarvo_list_set_method_table(lst.ptr, ctypes.byref(callbacks)) == LIST_OK
    # A null table is refused and the one set stays.
    assert lib.sarvo_list_set_method_table(lst.ptr, None) == LIST_ERR_NULL_TABLE
    assert lst.record.item_decref == ctypes.cast(callbacks.item_decref, c_void_p).value
    counter = 0

    def fresh_item():
        nonlocal counter
        counter += 1
        return counter.to_bytes(3, "little")

    for _ in range(1500):
        op = rng.random()
        n = len(model)
        if op < 0.4:
            for _ in range(rng.choice([1, 1, 1, 12])):
                item = fresh_item()
                assert lib.sarvo_list_append(lst.ptr, item) == LIST_OK
                model.append(item)
        elif op < 0.55:
            index = rng.randrange(-2, n + 2)
            item = fresh_item()
            expected = LIST_OK if 0 <= index < n else LIST_ERR_INDEX
            assert lib.sarvo_list_setitem(lst.ptr, index, item) == expected
            if expected == LIST_OK:
                model[index] = item
        elif op < 0.65:
            index = rng.randrange(-2, n + 2)
            expected = LIST_OK if 0 <= index < n else LIST_ERR_INDEX
            assert lib.sarvo_list_delitem(lst.ptr, index) == expected
            if expected == LIST_OK:
                del model[index]
        else:
            raw = slice(rng.choice([None, rng.randrange(-n - 3, n + 4)]),
                        rng.choice([None, rng.randrange(-n - 3, n + 4)]),
                        rng.choice([None, 1, -1, 2, -2, 3, -4, 7, n + 1]))
            start, stop, step = raw.indices(n)
            assert lib.sarvo_list_delete_slice(lst.ptr, start, stop, step) == LIST_OK, raw
            del model[raw]
        assert lst.contents() == model
        assert lib.sarvo_list_allocated(lst.ptr) >= len(model)
        held = collections.Counter(model)
        assert {k: v for k, v in refs.items() if v} == held
    lst.close()
    assert not any(refs.values())


@pytest.mark.parametrize("item_size, allocated", [(0, 4), (-3, 4), (1, -1), (16, 2**62)])
def test_list_creation_refuses_impossible_sizes(lib, item_size, allocated):
    handle = c_void_p()
    assert lib.sarvo_list_new(ctypes.byref(handle), item_size, allocated) == LIST_ERR_NO_MEMORY
    assert handle.value is None


# ---- dictionary keys blocks

HEADER_SIZE = ctypes.sizeof(DictKeysHeader)
SLOT_TYPES = {1: ctypes.c_int8, 2: ctypes.c_int16, 4: ctypes.c_int32, 8: ctypes.c_int64}


def slot_width(size):
    return 1 if size <= 0xFF else 2 if size <= 0xFFFF else 4 if size <= 0xFFFFFFFF else 8


def round8(n):
    return (n + 7) // 8 * 8


def probe_sequence(hash_, size):
    mask = size - 1
    perturb = hash_ & 0xFFFFFFFFFFFFFFFF
    i = perturb & mask
    while True:
        yield i
        perturb >>= 5
        i = (5 * i + perturb + 1) & mask


class KeysBlock:
    def __init__(self, lib, size, key_size, val_size):
        self.lib = lib
        handle = c_void_p()
        assert lib.sarvo_dictkeys_new(ctypes.byref(handle), size, key_size, val_size) == DICT_OK
        self.ptr = handle.value
        self.header = DictKeysHeader.from_address(self.ptr)

    def slots(self):
        size = self.header.size
        array = SLOT_TYPES[slot_width(size)] * size
        return list(array.from_address(self.ptr + HEADER_SIZE))

    def entry_address(self, ix):
        h = self.header
        return self.ptr + HEADER_SIZE + h.entry_offset + ix * h.entry_size

    def write_entry(self, ix, hash_, key, value):
        address = self.entry_address(ix)
        c_int64.from_address(address).value = hash_
        ctypes.memmove(address + 8, key, len(key))
        ctypes.memmove(address + 8 + round8(self.header.key_size), value, len(value))

    def entry_hash(self, ix):
        return c_int64.from_address(self.entry_address(ix)).value

    def free(self):
        self.lib.sarvo_dictkeys_free(self.ptr)


@pytest.mark.parametrize("size, key_size, val_size", [(8, 4, 8), (16, 3, 5), (128, 12, 1), (256, 8, 8),
                                                       (1 << 15, 1, 0), (1 << 16, 2, 2)])
def test_new_keys_block_layout_and_empty_state(lib, size, key_size, val_size):
    block = KeysBlock(lib, size, key_size, val_size)
    try:
        h = block.header
        assert (h.size, h.nentries, h.key_size, h.val_size) == (size, 0, key_size, val_size)
        assert h.usable == 2 * size // 3
        assert h.entry_size == round8(round8(key_size) + round8(val_size) + 8)
        assert h.entry_offset == round8(size * slot_width(size))
        assert (h.key_equal, h.key_incref, h.key_decref, h.value_incref, h.value_decref) == (None,) * 5
        assert set(block.slots()) == {-1}
        assert {block.entry_hash(ix) for ix in range(h.usable)} == {-1}
    finally:
        block.free()


@pytest.mark.parametrize("size", [0, -8, 12, 24, 1 << 62])
def test_keys_block_refuses_sizes_the_mask_cannot_cover(lib, size):
    handle = c_void_p()
    assert lib.sarvo_dictkeys_new(ctypes.byref(handle), size, 4, 8) == DICT_ERR_NO_MEMORY
    assert handle.value is None


def hashes_for(kind, n, rng):
    if kind == "colliding":
        return [rng.choice([0, 1, 9, -2, 2**63 - 1]) for _ in range(n)]
    if kind == "negative":
        return [rng.randrange(-(2**63), -1) for _ in range(n)]
    return [rng.randrange(0, 2**63) for _ in range(n)]


@pytest.mark.parametrize("size", [8, 32, 512])
@pytest.mark.parametrize("kind", ["colliding", "negative", "spread"])
def test_build_indices_puts_each_entry_in_the_first_free_slot_of_its_probe(lib, size, kind):
    rng = random.Random(size * 7 + len(kind))
    block = KeysBlock(lib, size, 4, 4)
    try:
        n = block.header.usable
        hashes = hashes_for(kind, n, rng)
        for ix, h in enumerate(hashes):
            block.write_entry(ix, h, ix.to_bytes(4, "little"), b"vvvv")
        lib.build_indices(block.ptr, n)
        expected = [-1] * size
        for ix, h in enumerate(hashes):
            slot = next(i for i in probe_sequence(h, size) if expected[i] == -1)
            expected[slot] = ix
        assert block.slots() == expected
    finally:
        block.free()


def test_build_indices_ignores_entries_beyond_the_block(lib):
    block = KeysBlock(lib, 8, 4, 4)
    try:
        for ix in range(5):
            block.write_entry(ix, 3, b"kkkk", b"vvvv")
        lib.build_indices(block.ptr, 50)
        assert sorted(s for s in block.slots() if s >= 0) == [0, 1, 2, 3, 4]
    finally:
        block.free()


def test_freeing_a_keys_block_drops_only_live_entries(lib):
    block = KeysBlock(lib, 16, 4, 2)
    dropped_keys, dropped_values = [], []
    key_decref = REFCOUNT_OP(lambda p: dropped_keys.append(ctypes.string_at(p, 4)))
    value_decref = REFCOUNT_OP(lambda p: dropped_values.append(ctypes.string_at(p, 2)))
    for ix, name in enumerate([b"k0k0", b"k1k1", b"k2k2", b"k3k3"]):
        block.write_entry(ix, ix + 10, name, b"v%d" % ix)
    block.write_entry(1, -1, b"\0\0\0\0", b"\0\0")  # a hole
    block.write_entry(6, 99, b"k6k6", b"v6")  # beyond nentries: not an entry yet
    block.header.nentries = 4
    block.header.key_decref = ctypes.cast(key_decref, c_void_p).value
    block.header.value_decref = ctypes.cast(value_decref, c_void_p).value
    block.free()
    assert dropped_keys == [b"k0k0", b"k2k2", b"k3k3"]
    assert dropped_values == [b"v0", b"v2", b"v3"]
