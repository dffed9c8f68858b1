// Shared by the C++ tests that need the interpreter: the module is linked into the test binary
// and registered as a built-in, so importing it runs the real initialisation.
#pragma once
#include <Python.h>

#include <string>
#include <utility>

extern "C" PyObject *PyInit_sarvo_functions(void);

namespace sarvo_test {

inline void register_embedded_module() { PyImport_AppendInittab("sarvo_functions", PyInit_sarvo_functions); }

inline void init_embedded_module() {
    PyObject *mod = PyImport_ImportModule("sarvo_functions");
    if (!mod) {
        PyErr_Print();
        return;
    }
    Py_DECREF(mod);
}

// Evaluates an expression in one namespace kept for the whole run, with numpy imported as np;
// a failure prints the error and yields null. The caller holds the interpreter lock.
inline PyObject *eval(const char *expr) {
    static PyObject *ns = nullptr;
    if (!ns) {
        ns = PyDict_New();
        PyDict_SetItemString(ns, "__builtins__", PyEval_GetBuiltins());
        PyObject *r = PyRun_String("import numpy as np\n", Py_file_input, ns, ns);
        if (!r) PyErr_Print();
        Py_XDECREF(r);
    }
    PyObject *r = PyRun_String(expr, Py_eval_input, ns, ns);
    if (!r) PyErr_Print();
    return r;
}

// The pending exception's type and text, cleared. The text comes from str() of the normalised
// exception, so it reads the same whether the interpreter stores the bare message (3.11) or
// an instance (3.12 on).
inline std::pair<PyObject *, std::string> take_error() {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    std::string text;
    if (value) {
        PyObject *s = PyObject_Str(value);
        if (s) text = PyUnicode_AsUTF8(s);
        Py_XDECREF(s);
    }
    Py_XDECREF(value);
    Py_XDECREF(tb);
    // Built-in exception classes are static objects: the pointer stays comparable.
    Py_XDECREF(type);
    return {type, text};
}

// Holds the interpreter lock for the scope of a test body.
struct Gil {
    PyGILState_STATE state;
    Gil() : state(PyGILState_Ensure()) {}
    ~Gil() { PyGILState_Release(state); }
    Gil(const Gil &) = delete;
    Gil &operator=(const Gil &) = delete;
};

}  // namespace sarvo_test
