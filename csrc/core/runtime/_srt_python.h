/* NumPy adaptation: NumPy arrays in and out of native array records, the _MemInfo type that
   owns kernel-made buffers from Python, and the interpreter-lock helpers. */
#ifndef SARVO_CORE_RUNTIME_SRT_PYTHON_H
#define SARVO_CORE_RUNTIME_SRT_PYTHON_H

#include "core/runtime/numpy_api.h"
#include "core/runtime/arystruct.h"
#include "core/runtime/srt.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The object owns one reference to meminfo, plus `acquired` more that Python code took with
   acquire() and may give back with release(). */
typedef struct {
    PyObject_HEAD
    SRT_MemInfo *meminfo;
    size_t acquired;
} MemInfoObject;

extern PyTypeObject MemInfoType;

/* Readies _srt_python._MemInfo; 0 on success, -1 with the exception set. */
int init_srt_python_module(void);

int SRT_adapt_ndarray_from_python(PyObject *obj, arystruct_t *arystruct);
PyObject *SRT_adapt_ndarray_to_python_acqref(arystruct_t *arystruct, PyTypeObject *retty, int ndim,
                                             int writeable, PyArray_Descr *descr);
void SRT_adapt_buffer_from_python(Py_buffer *buf, arystruct_t *arystruct);
SRT_MemInfo *SRT_meminfo_new_from_pyobject(void *data, PyObject *ownerobj);
PyObject *SRT_meminfo_as_pyobject(SRT_MemInfo *meminfo);
SRT_MemInfo *SRT_meminfo_from_pyobject(MemInfoObject *miobj);

int sarvo_adapt_ndarray(PyObject *obj, arystruct_t *arystruct);
int sarvo_get_buffer(PyObject *obj, Py_buffer *buf);
void sarvo_adapt_buffer(Py_buffer *buf, arystruct_t *arystruct);
void sarvo_release_buffer(Py_buffer *buf);
PyObject *sarvo_ndarray_new(int nd, npy_intp *dims, npy_intp *strides, void *data, int type_num, int itemsize);

void pyobject_dtor(void *ptr, size_t size, void *info);
void sarvo_gil_ensure(PyGILState_STATE *state);
void sarvo_gil_release(PyGILState_STATE *state);

int sarvo_attempt_nocopy_reshape(npy_intp nd, const npy_intp *dims, const npy_intp *strides, npy_intp newnd,
                                 const npy_intp *newdims, npy_intp *newstrides, npy_intp itemsize,
                                 int is_f_order);

#ifdef __cplusplus
}
#endif
#endif
