#!/usr/bin/env python3
"""Writes the module's pickled constants as C++ source.

Output: csrc/core/pickled_constants.h, csrc/core/pickled_constants.cpp and
csrc/tarn/env_slot_exports.txt. The pickles are what this interpreter's pickle module writes
(protocol 4), so run it with the build's Python and NumPy 1.26:

    python tools/gen_constants.py [--check]

--check regenerates in memory and exits 1 if the committed files differ.
"""
import hashlib
import pathlib
import pickle
import sys

import numpy as np

ROOT = pathlib.Path(__file__).resolve().parent.parent
OUT_DIR = ROOT / "csrc" / "core"
SLOT_DIR = ROOT / "csrc" / "tarn"

SOURCE = "/project/./src/pelmarinex/deviverozo_new/sarvo_functions.py"
SITE = "/tmp/build-env-w2mv4lac/lib/python3.11/site-packages/sarvo"
OLD_ARRAYMATH = SITE + "/np/old_arraymath.py"
NPYIMPL = SITE + "/np/npyimpl.py"
ARRAYOBJ = SITE + "/np/arrayobj.py"
UNICODE = SITE + "/cpython/unicode.py"


def source_ref(path, line):
    return f'\nFile "{path}", line {line}, '


# (C++ name, exception class, argument tuple, location or None)
RECORDS = [
    # Assertions of the kernels' own source: no message, a location.
    ("assert_steps2D", AssertionError, (), ("_steps2D", SOURCE, 26)),
    ("assert_steps2D_all", AssertionError, (), ("_steps2D_all", SOURCE, 83)),
    ("assert_p_histogram", AssertionError, (), ("p_histogram", SOURCE, 104)),
    ("assert_bfs_seeds", AssertionError, (), ("bfs", SOURCE, 144)),
    ("assert_bfs_hist", AssertionError, (), ("bfs", SOURCE, 146)),
    ("assert_extend_seed", AssertionError, (), ("extend_seed", SOURCE, 182)),
    ("assert_flow_error_cell_size", AssertionError, (), ("compute_flow_error_cell_size", SOURCE, 354)),
    ("assert_compute_cell_size", AssertionError, (), ("compute_cell_size", SOURCE, 415)),
    ("unpack_flow_error_cell_size", ValueError, (), ("compute_flow_error_cell_size", SOURCE, 383)),
    ("unpack_masks_to_flow", ValueError, (), ("_masks_to_flow", SOURCE, 396)),
    # Generic records of the array library.
    ("negative_dimensions", ValueError, ("negative dimensions not allowed",), None),
    ("array_too_big", ValueError,
     ("array is too big; `arr.size * arr.dtype.itemsize` is larger than the maximum possible size.",), None),
    ("allocation_failed", MemoryError, ("Allocation failed (probably too large).",), None),
    ("list_cannot_allocate", MemoryError, ("cannot allocate list",), None),
    ("list_cannot_resize", MemoryError, ("cannot resize list",), None),
    ("list_getitem_out_of_range", IndexError, ("getitem out of range",), None),
    ("tuple_index_out_of_range", IndexError, ("tuple index out of range",), None),
    ("division_by_zero", ZeroDivisionError, ("division by zero",), None),
    ("integer_division_by_zero", ZeroDivisionError, ("integer division by zero",), None),
    ("max_of_empty", ValueError, ("zero-size array to reduction operation maximum which has no identity",),
     ("impl_max", OLD_ARRAYMATH, 571)),
    ("incompatible_shape", NotImplementedError, ("incompatible shape for array",), None),
    ("argmin_of_empty", ValueError, ("attempt to get argmin of an empty sequence",),
     ("array_argmin_impl_float", OLD_ARRAYMATH, 615)),
    ("broadcast_argument_1", ValueError,
     ("unable to broadcast argument 1 to output array" + source_ref(NPYIMPL, 375),), None),
    ("broadcast_argument_2", ValueError,
     ("unable to broadcast argument 2 to output array" + source_ref(SOURCE, 1),), None),
    # String building of shape-mismatch messages.
    ("unicode_wchar_kind", AssertionError, ("PY_UNICODE_WCHAR_KIND unsupported",), ("_pick_kind", UNICODE, 374)),
    ("unicode_pick_kind", AssertionError, ("Unexpected unicode representation in _pick_kind",),
     ("_pick_kind", UNICODE, 386)),
    ("unicode_byte_width", AssertionError, ("Unexpected unicode encoding encountered",),
     ("_kind_to_byte_width", UNICODE, 422)),
    ("unicode_set_code_point", AssertionError, ("Unexpected unicode representation in _set_code_point",),
     ("_set_code_point", UNICODE, 351)),
    # Static part of the shape-mismatch record: None stands for the run-time message.
    ("shape_mismatch_template", ValueError, (None,), ("impl", ARRAYOBJ, 1661)),
    ("unresolved_symbol", RuntimeError, ("sarvo jitted function aborted due to unresolved symbol",), None),
    # Input that would make a kernel read or write outside its arrays, refused before any write.
    ("coords_outside_image", ValueError, ("coordinates lie outside the image",), None),
    ("coords_columns_short", ValueError, ("the column coordinate array is shorter than the row coordinate array",),
     None),
    ("flow_disp_mismatch", ValueError, ("flow and disp must have the same extents",), None),
    ("seeds_outside_image", ValueError, ("seed coordinates lie outside the image",), None),
    ("target_outside_image", ValueError, ("a displacement points outside the image",), None),
    ("selection_too_small", ValueError, ("the selection mask is smaller than the image",), None),
    ("label_beyond_remove", ValueError, ("a mask label is larger than the length of remove",), None),
    ("pixels_outside_box", ValueError, ("pixel coordinates lie outside the box",), None),
    ("negative_box_extent", ValueError, ("box extents must not be negative",), None),
    ("box_beyond_extents", ValueError, ("a box's region is larger than its extents y1 - y0, x1 - x0",), None),
    ("flow_too_few_channels", ValueError, ("flow must have at least two channels",), None),
    ("box_bounds_missing", ValueError, ("slices must hold two bounds per axis",), None),
]

F8, F4, U4, U1 = (np.dtype(t) for t in ("<f8", "<f4", "<u4", "u1"))


def array(t, n, layout="C"):
    return f"5ArrayI{t}Li{n}E1{layout}7mutable7alignedE"


UNITUPLE_I64 = "8UniTupleI" + array("x", 1) + "Li2EE"

# Methods in byte order of their names: (name, result dtypes, mangled argument types).
METHODS = [
    ("_approximate_diffusion", [F8], array("i", 1) + array("i", 1) + "i"),
    ("_extend_centers", [F8], array("i", 1) + array("i", 1) + "iid"),
    ("_masks_to_flow", [F8], array("j", 2) + array("i", 3) + "d"),
    ("_steps2D", [], array("f", 3) + UNITUPLE_I64 + array("f", 3) + "ifb"),
    ("_steps2D_all", [F4], array("f", 3) + "ib"),
    ("bfs", [U4], array("h", 2) + array("s", 3) + array("j", 2)),
    ("compute_cell_size", [U4], array("j", 2) + array("i", 3)),
    ("compute_flow_error_cell_size", [F8, U4], array("j", 2) + array("f", 3) + array("i", 3) + "jd"),
    ("extend_seed", [], array("j", 2) + array("s", 3)),
    ("fill_holes", [U4], array("j", 2)),
    ("find_seeds", [U4], array("h", 2)),
    ("flow_error_estimate", [], array("i", 1) + array("i", 1) + array("f", 3, "A")),
    ("p_histogram", [U1], array("s", 3) + array("b", 2)),
    ("renum_masks", [], array("j", 2) + array("b", 1)),
    ("renumbering", [], array("j", 1) + "j"),
]
assert [m[0] for m in METHODS] == sorted((m[0] for m in METHODS), key=str.encode)

ABI_TAGS = "B4v100B42c8tJTC_2fWQMSlLSj2gb4vKoGykKIdLKIJAA_3d_3d"


def env_slot_symbol(name, args):
    nested = "".join(f"{len(p)}{p}" for p in ("pelmarinex", "deviverozo_new", "sarvo_functions", name))
    return f"_ZN08SarvoEnv{nested}{ABI_TAGS}E{args}"


def c_bytes(data, indent="    "):
    """Every byte as a hex escape, so no escape can swallow the character after it."""
    return "\n".join(indent + '"' + "".join(f"\\x{b:02x}" for b in data[i:i + 24]) + '"'
                     for i in range(0, len(data), 24))


def blob(name, payload):
    """The pickle followed by its SHA-1 digest, in one constant array."""
    digest = hashlib.sha1(payload).digest()
    return f"alignas(8) const char {name}[] =\n{c_bytes(payload + digest)};\n", len(payload)


HEADER_NOTE = "// Generated by tools/gen_constants.py from its own tables; do not edit by hand.\n"


def render():
    h = [HEADER_NOTE, "#pragma once\n\n#include \"core/excinfo.h\"\n\n",
         "namespace sarvo::records {\n"]
    cpp = [HEADER_NOTE, '#include "core/pickled_constants.h"\n\n#include "core/runtime/srt.h"\n\n',
           "namespace {\n\n"]
    defs = []
    for cname, cls, args, loc in RECORDS:
        payload = pickle.dumps((cls, args, loc), protocol=4)
        text, n = blob(f"{cname}_pickle", payload)
        cpp.append(f"// {cls.__name__}{args!r}{'' if loc is None else ' at ' + repr(loc)}\n" + text)
        defs.append(f"const excinfo_t {cname} = {{{cname}_pickle, {n}, {cname}_pickle + {n}, nullptr, 0}};\n")
        h.append(f"extern const excinfo_t {cname};\n")
    h.append("}  // namespace sarvo::records\n\nnamespace sarvo::constants {\n\n")
    h.append(f"inline constexpr int kMethodCount = {len(METHODS)};\n")
    h.append("inline constexpr const char *kMethodNames[kMethodCount] = {\n")
    h.extend(f'    "{m[0]}",\n' for m in METHODS)
    h.append("};\n")
    h.append("inline constexpr const char *kEnvSlotSymbols[kMethodCount] = {\n")
    h.extend(f'    "{env_slot_symbol(m[0], m[2])}",\n' for m in METHODS)
    h.append("};\n\n")
    h.append("// One pickled constant list per method, in method order, then a null sentinel.\n")
    h.append("extern const env_def_t module_environments[kMethodCount + 1];\n")
    h.append("// Addresses of the exported environment slots, in method order.\n")
    h.append("extern void **const module_envgvs[kMethodCount];\n")
    h.append("// The class numpy.ndarray, pickled.\n")
    h.append("extern const char ndarray_class_pickle[];\nextern const int ndarray_class_pickle_len;\n")
    h.append("\n}  // namespace sarvo::constants\n")

    env_defs = []
    for name, dtypes, _ in METHODS:
        payload = pickle.dumps(list(dtypes), protocol=4)
        text, n = blob(f"env_{name}_pickle", payload)
        cpp.append(f"// constants of {name}: {[str(d) for d in dtypes]}\n" + text)
        env_defs.append(f"    {{env_{name}_pickle, {n}, env_{name}_pickle + {n}, nullptr, 0}},\n")
    nd_payload = pickle.dumps(np.ndarray, protocol=4)
    assert len(nd_payload) == 32
    text, nd_len = blob("ndarray_pickle", nd_payload)
    cpp.append(text)
    cpp.append("\n}  // namespace\n\n")

    cpp.append("// Environment slots: written once at import, read by the entry wrappers.\nextern \"C\" {\n")
    for name, _, args in METHODS:
        cpp.append(f'SARVO_EXPORT void *env_slot_{name} __asm__("{env_slot_symbol(name, args)}") = nullptr;\n')
    cpp.append("}\n\nnamespace sarvo::records {\n")
    cpp.extend(defs)
    cpp.append("}  // namespace sarvo::records\n\nnamespace sarvo::constants {\n\n")
    cpp.append("const env_def_t module_environments[kMethodCount + 1] = {\n")
    cpp.extend(env_defs)
    cpp.append("    {nullptr, 0, nullptr, nullptr, 0},\n};\n\n")
    cpp.append("void **const module_envgvs[kMethodCount] = {\n")
    cpp.extend(f"    &env_slot_{name},\n" for name, _, _ in METHODS)
    cpp.append("};\n\n")
    cpp.append(f"const char ndarray_class_pickle[] =\n{c_bytes(nd_payload)};\n")
    cpp.append(f"const int ndarray_class_pickle_len = {nd_len};\n\n}}  // namespace sarvo::constants\n")

    exports = ["# Environment slots of the fifteen kernels (written by tools/gen_constants.py)\n"]
    exports.extend(env_slot_symbol(name, args) + "\n" for name, _, args in METHODS)
    return {
        OUT_DIR / "pickled_constants.h": "".join(h),
        OUT_DIR / "pickled_constants.cpp": "".join(cpp),
        SLOT_DIR / "env_slot_exports.txt": "".join(exports),
    }


def main(argv):
    outputs = render()
    if "--check" in argv:
        stale = [str(p) for p, text in outputs.items() if not p.exists() or p.read_text() != text]
        if stale:
            print("out of date:", *stale, sep="\n  ")
            return 1
        return 0
    for path, text in outputs.items():
        path.write_text(text)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
