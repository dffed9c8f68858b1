// NumPy's C API table, bound once at import by the module initialisation (the one file that
// defines SARVO_NUMPY_API_OWNER); every other user sees the same table.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL SARVO_ARRAY_API
#ifndef SARVO_NUMPY_API_OWNER
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

/* Where the NumPy headers in use differ (the build's NumPy decides, not the one at run time).
   NumPy 2 reads a descriptor's fields through accessors; NumPy 1.x headers have the fields only. */
namespace sarvo::numpy_compat {

inline npy_intp dtype_itemsize(PyArray_Descr *d) {
#if NPY_ABI_VERSION >= 0x02000000
    return PyDataType_ELSIZE(d);
#else
    return d->elsize;
#endif
}

}  // namespace sarvo::numpy_compat
