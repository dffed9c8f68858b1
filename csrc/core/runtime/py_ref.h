// Owns one Python reference for a scope, so that failure paths need no cleanup of their own.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace sarvo {

struct PyRef {
    PyObject *p;
    explicit PyRef(PyObject *obj = nullptr) : p(obj) {}
    ~PyRef() { Py_XDECREF(p); }
    PyRef(const PyRef &) = delete;
    PyRef &operator=(const PyRef &) = delete;
    // Hands the reference on to the caller.
    PyObject *release() {
        PyObject *obj = p;
        p = nullptr;
        return obj;
    }
};

}  // namespace sarvo
