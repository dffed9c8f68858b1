// The per-object private-data table and the process exits of compiled code.
#include "helperlib/_helperlib.h"

#include "core/runtime/py_ref.h"

namespace {

/* Object address -> opaque pointer, both as Python ints. The table holds no reference to
   the objects themselves, and entries stay until reset. Created on first store or lookup;
   lives until the process ends. Every access runs under the interpreter lock. */
PyObject *private_data_dict = nullptr;

PyObject *private_data_table() {
    if (!private_data_dict) private_data_dict = PyDict_New();
    return private_data_dict;
}

using Ref = sarvo::PyRef;

}  // namespace

extern "C" {

void sarvo_set_pyobject_private_data(PyObject *obj, void *ptr) {
    PyObject *table = private_data_table();
    if (!table) Py_FatalError("unable to set private data");
    Ref key(PyLong_FromVoidPtr(obj));
    Ref value(PyLong_FromVoidPtr(ptr));
    if (!key.p || !value.p || PyDict_SetItem(table, key.p, value.p) != 0)
        Py_FatalError("unable to set private data");
}

void *sarvo_get_pyobject_private_data(PyObject *obj) {
    PyObject *table = private_data_table();
    if (!table) Py_FatalError("unable to get private data");
    Ref key(PyLong_FromVoidPtr(obj));
    if (!key.p) Py_FatalError("unable to get private data");
    PyObject *value = PyDict_GetItemWithError(table, key.p);  // borrowed
    if (!value) {
        if (PyErr_Occurred()) Py_FatalError("unable to get private data");
        return nullptr;
    }
    void *ptr = PyLong_AsVoidPtr(value);
    if (!ptr && PyErr_Occurred()) Py_FatalError("unable to get private data");
    return ptr;
}

/* Removing an entry that is not there is not an error. Reset never creates the table: with
   no table there is no entry to remove. */
void sarvo_reset_pyobject_private_data(PyObject *obj) {
    if (!private_data_dict) return;
    Ref key(PyLong_FromVoidPtr(obj));
    if (!key.p) Py_FatalError("unable to reset private data");
    if (PyDict_DelItem(private_data_dict, key.p) != 0) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) Py_FatalError("unable to reset private data");
        PyErr_Clear();
    }
}

int sarvo_fatal_error(void) {
    PyGILState_Ensure();
    Py_FatalError("in Sarvo-compiled function");
}

// Deliberately empty and never inlined: a fixed address for a debugger breakpoint.
__attribute__((noinline)) void sarvo_gdb_breakpoint(void) { __asm__ volatile(""); }

}  // extern "C"
