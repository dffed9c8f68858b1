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
