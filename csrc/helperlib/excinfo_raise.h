/* Turning exception records into Python exceptions, with a traceback entry for the kernel's
   source line. Everything here runs with the interpreter lock held. */
#ifndef SARVO_HELPERLIB_EXCINFO_RAISE_H
#define SARVO_HELPERLIB_EXCINFO_RAISE_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "core/excinfo.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Argument builder of a dynamic record: takes the argument block, returns a new tuple. */
typedef PyObject *(*excinfo_arg_builder)(void *block);

PyObject *sarvo_unpickle(const char *data, int32_t n, const char *hashed);
PyObject *sarvo_runtime_build_excinfo_struct(PyObject *struct_bytes, PyObject *exec_args);
int sarvo_do_raise(PyObject *packed);
void traceback_add_loc(PyObject *loc);
void traceback_add(const char *funcname, const char *filename, int lineno);

/* Sets the Python exception that a kernel's status and record stand for (the dispatch of the
   entry wrappers and C-ABI entries). Returns 0 for the success statuses 0 and -2, else -1. */
int sarvo_raise_status(int32_t status, const excinfo_t *record);

/* Stands in for a symbol that could not be resolved: fails with its static RuntimeError. */
int32_t srt_unresolved_abort(void *result, const excinfo_t **excinfo);

/* The raising sequence of one user-exception record; frees a dynamic record. */
void sarvo_raise_excinfo(const excinfo_t *record);

#ifdef __cplusplus
}
#endif
#endif
