// Exception notes for refused calls, built from the row's argument kinds and documentation.
#include "tarn/refusal_notes.h"

#include <string>
#include <vector>

#include "core/python_compat.h"
#include "core/runtime/numpy_api.h"
#include "core/pickled_constants.h"

namespace sarvo::entry {
namespace {

using Notes = std::vector<std::string>;

// The text of a new reference (consumed); "?" when it cannot be had.
std::string text_of(PyObject *text) {
    const char *utf8 = text ? PyUnicode_AsUTF8(text) : nullptr;
    std::string out = utf8 ? utf8 : "?";
    Py_XDECREF(text);
    PyErr_Clear();
    return out;
}

std::string repr_of(PyObject *obj) {
    std::string r = text_of(PyObject_Repr(obj));
    return r.size() > 80 ? r.substr(0, 77) + "..." : r;
}

std::string type_name(PyObject *obj) { return Py_TYPE(obj)->tp_name; }

std::string shape_of(PyArrayObject *a) {
    std::string s = "(";
    for (int d = 0; d < PyArray_NDIM(a); ++d) s += (d ? ", " : "") + std::to_string(PyArray_DIM(a, d));
    return s + (PyArray_NDIM(a) == 1 ? ",)" : ")");
}

std::string dtype_of(PyArrayObject *a) { return text_of(PyObject_Str(reinterpret_cast<PyObject *>(PyArray_DESCR(a)))); }

PyArrayObject *as_array(PyObject *obj) {
    return PyArray_Check(obj) ? reinterpret_cast<PyArrayObject *>(obj) : nullptr;
}

// The NumPy name a reader types for a dtype: np.bool_ is the one spelling of both NumPy 1 and 2.
std::string numpy_name(const char *dtype) {
    return std::string("np.") + (std::string(dtype) == "bool" ? "bool_" : dtype);
}

/* ---------- what an argument needs ---------- */

std::string array_needs(const ArrayKind &kind, const ArgDoc &doc) {
    std::string s = kind.c_layout ? "C-contiguous, " : "";
    if (kind.written) s += "writeable, ";
    const char *dimensions = kind.ndim == 1 ? " dimension " : " dimensions ";
    return s + doc.dtype + " array with " + std::to_string(kind.ndim) + dimensions + doc.shape;
}

std::string needs(const ArgKind &kind, const ArgDoc &doc) {
    switch (kind.tag) {
        case ArgTag::Array: return "a " + array_needs(kind.arrays[0], doc);
        case ArgTag::ArrayPair: return "a tuple of two arrays, each a " + array_needs(kind.arrays[0], doc);
        case ArgTag::Int32: return "an integer from -2**63 to 2**63 - 1 (read like int(), its low 32 bits kept)";
        case ArgTag::UInt32: return "an integer from 0 to 2**64 - 1 (read like int(), its low 32 bits kept)";
        case ArgTag::Float64:
        case ArgTag::Float32: return "a real number (read like float())";
        case ArgTag::Bool: return "a truth value";
    }
    return "?";
}

// The signature's short form of one argument, e.g. "flow: float32 (2, Ly, Lx)".
std::string signature_entry(const ArgKind &kind, const ArgDoc &doc) {
    std::string s = std::string(doc.name) + ": ";
    switch (kind.tag) {
        case ArgTag::Array: return s + doc.dtype + " " + doc.shape;
        case ArgTag::ArrayPair: return s + "(" + doc.dtype + " " + doc.shape + ", " + doc.dtype + " " + doc.shape + ")";
        case ArgTag::Int32: return s + "int";
        case ArgTag::UInt32: return s + "int >= 0";
        case ArgTag::Float64:
        case ArgTag::Float32: return s + "float";
        case ArgTag::Bool: return s + "bool";
    }
    return s;
}

/* ---------- what it got ---------- */

// An array as the refusal sees it: dtype, shape, and whichever of the kind's demands it misses.
std::string array_got(PyArrayObject *a, const ArrayKind &kind) {
    std::string s = "a " + dtype_of(a) + " array of shape " + shape_of(a);
    if (kind.c_layout && !PyArray_IS_C_CONTIGUOUS(a)) s += ", not C-contiguous";
    if (kind.written && !PyArray_ISWRITEABLE(a)) s += ", read-only";
    if (!PyArray_ISALIGNED(a)) s += ", misaligned";
    return s;
}

std::string object_got(PyObject *obj, const ArrayKind &kind) {
    if (PyArrayObject *a = as_array(obj)) return array_got(a, kind);
    return obj == Py_None ? "None" : "a " + type_name(obj);
}

std::string got(PyObject *obj, const ArgKind &kind) {
    switch (kind.tag) {
        case ArgTag::Array: return object_got(obj, kind.arrays[0]);
        case ArgTag::ArrayPair: {
            if (!PyTuple_Check(obj)) return object_got(obj, kind.arrays[0]);
            const Py_ssize_t n = PyTuple_GET_SIZE(obj);
            std::string s = "a tuple of " + std::to_string(n) + (n == 1 ? " item (" : " items (");
            for (Py_ssize_t i = 0; i < n; ++i)
                s += (i ? ", " : "") + object_got(PyTuple_GET_ITEM(obj, i), kind.arrays[0]);
            return s + ")";
        }
        default: return repr_of(obj) + " (" + type_name(obj) + ")";
    }
}

// One argument in a call's summary: "masks uint32 (4, 5)", "approx_frac 0.5".
std::string brief(PyObject *obj, const ArgKind &kind, const ArgDoc &doc) {
    std::string s = std::string(doc.name) + " ";
    auto array_brief = [](PyObject *o) {
        PyArrayObject *a = as_array(o);
        return a ? dtype_of(a) + " " + shape_of(a) : type_name(o);
    };
    if (kind.tag == ArgTag::Array) return s + array_brief(obj);
    if (kind.tag == ArgTag::ArrayPair && PyTuple_Check(obj) && PyTuple_GET_SIZE(obj) == 2)
        return s + "(" + array_brief(PyTuple_GET_ITEM(obj, 0)) + ", " + array_brief(PyTuple_GET_ITEM(obj, 1)) + ")";
    return s + repr_of(obj);
}

std::string call_summary(const EntryRow &row, PyObject *const *objs) {
    std::string s = "got ";
    for (int i = 0; i < row.arity; ++i) s += (i ? ", " : "") + brief(objs[i], row.args[i], row.doc.args[i]);
    return s;
}

/* ---------- how to fix it ---------- */

std::string array_fix(PyObject *obj, const ArrayKind &kind, const ArgDoc &doc) {
    PyArrayObject *a = as_array(obj);
    if (a && PyArray_NDIM(a) != kind.ndim) return "";  // no conversion changes the dimensions
    const std::string name = doc.name;
    if (a && kind.written && !PyArray_ISWRITEABLE(a) && PyArray_ITEMSIZE(a) == kind.itemsize &&
        (!kind.c_layout || PyArray_IS_C_CONTIGUOUS(a)))
        return "; `" + name + ".copy()` is a writeable copy";
    if (!a && !PyList_Check(obj) && !PyTuple_Check(obj)) return "";
    return "; `np." + std::string(kind.c_layout ? "ascontiguousarray(" : "asarray(") + name + ", " +
           numpy_name(doc.dtype) + ")` makes one";
}

/* ---------- the documented reinterpretation ---------- */

// An array of another dtype with the item size of the documented one is read as the
// documented one, bytes unchanged: a float32 mask becomes uint32 bit patterns. Harmless when
// meant, and the usual cause of a refusal further on when not.
void add_reinterpretation(Notes &notes, int position, PyObject *obj, const ArrayKind &kind, const ArgDoc &doc) {
    PyArrayObject *a = as_array(obj);
    if (!a || PyArray_ITEMSIZE(a) != kind.itemsize) return;
    const std::string actual = dtype_of(a);
    if (actual == doc.dtype) return;
    notes.push_back("argument " + std::to_string(position + 1) + " `" + doc.name + "` is a " + actual +
                    " array, read as " + doc.dtype + ": its bytes were taken as " + doc.dtype +
                    " values (same item size), not converted; `" + doc.name + ".astype(" + numpy_name(doc.dtype) +
                    ")` converts the values");
}

void add_reinterpretations(Notes &notes, const EntryRow &row, PyObject *const *objs) {
    for (int i = 0; i < row.arity; ++i) {
        const ArgKind &kind = row.args[i];
        if (kind.tag == ArgTag::Array) add_reinterpretation(notes, i, objs[i], kind.arrays[0], row.doc.args[i]);
        if (kind.tag == ArgTag::ArrayPair && PyTuple_Check(objs[i]))
            for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(objs[i]) && j < 2; ++j)
                add_reinterpretation(notes, i, PyTuple_GET_ITEM(objs[i], j), kind.arrays[j], row.doc.args[i]);
    }
}

/* ---------- attaching ---------- */

/* Builds the notes with the refusal set aside (building them calls into Python), then adds
   them through the refusal's own add_note. Any failure on the way drops the notes, never the
   refusal; no C++ exception leaves, since the caller returns to the interpreter. */
template <class Build>
void attach(Build build) {
    PyObject *refusal = compat::PyErr_GetRaisedException();
    if (!refusal) return;
    Notes notes;
    try {
        build(refusal, notes);
    } catch (...) {
        notes.clear();
        PyErr_Clear();
    }
    for (const std::string &note : notes) {
        PyObject *result = PyObject_CallMethod(refusal, "add_note", "s", note.c_str());
        if (!result) {
            PyErr_Clear();
            break;
        }
        Py_DECREF(result);
    }
    compat::PyErr_SetRaisedException(refusal);
}

const char *function_name(const EntryRow &row) { return constants::kMethodNames[row.method]; }

}  // namespace

void note_arity_refusal(const EntryRow &row, PyObject *args) {
    attach([&](PyObject *, Notes &notes) {
        std::string s = std::string(function_name(row)) + " takes " + std::to_string(row.arity) +
                        (row.arity == 1 ? " positional argument (" : " positional arguments (");
        for (int i = 0; i < row.arity; ++i) s += (i ? ", " : "") + signature_entry(row.args[i], row.doc.args[i]);
        const Py_ssize_t n = PyTuple_GET_SIZE(args);
        notes.push_back(s + "); got " + std::to_string(n) + "; keyword arguments do not count");
    });
}

void note_argument_refusal(const EntryRow &row, PyObject *const *objs, int position) {
    attach([&](PyObject *, Notes &notes) {
        const ArgKind &kind = row.args[position];
        const ArgDoc &doc = row.doc.args[position];
        std::string s = std::string(function_name(row)) + " argument " + std::to_string(position + 1) + " `" +
                        doc.name + "` needs " + needs(kind, doc) + "; got " + got(objs[position], kind);
        if (kind.tag == ArgTag::Array) s += array_fix(objs[position], kind.arrays[0], doc);
        notes.push_back(s);
        add_reinterpretations(notes, row, objs);
    });
}

void note_kernel_refusal(const EntryRow &row, PyObject *const *objs, const Slot *slots) {
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) return;  // nothing to act on, and no room to say it
    attach([&](PyObject *refusal, Notes &notes) {
        const std::string name = function_name(row);
        if (PyErr_GivenExceptionMatches(refusal, PyExc_AssertionError)) {
            // The assertion has no message, and its traceback entry names a source that is not installed.
            std::string s = name + " refused the shapes of its arguments (the traceback's last entry is the "
                                   "kernel's source line; that file is not installed): it needs ";
            for (int i = 0, n = 0; i < row.arity; ++i) {
                const ArgDoc &doc = row.doc.args[i];
                if (doc.shape) s += (n++ ? ", " : "") + std::string(doc.name) + " " + doc.shape;
            }
            notes.push_back(s + ", equal letters standing for equal extents; " + call_summary(row, objs));
        } else if (PyErr_GivenExceptionMatches(refusal, PyExc_ZeroDivisionError) && row.doc.zero_division) {
            std::string s = name + " divided by zero: " + row.doc.zero_division + ". ";
            int32_t b[4];
            const int64_t k = row.doc.empty_box ? row.doc.empty_box(slots, b) : -1;
            if (k >= 0)
                s += "Box " + std::to_string(k) + " [[" + std::to_string(b[0]) + ", " + std::to_string(b[1]) + "], [" +
                     std::to_string(b[2]) + ", " + std::to_string(b[3]) + "]] holds no pixel of label " +
                     std::to_string(k + 1) + "; ";
            notes.push_back(s + call_summary(row, objs));
        }
        // The kernels' other refusals say in their message what was wrong with which argument.
        add_reinterpretations(notes, row, objs);
    });
}

}  // namespace sarvo::entry
