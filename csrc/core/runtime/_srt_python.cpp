// NumPy adaptation and the _srt_python._MemInfo type.
#include "core/runtime/_srt_python.h"

#include <cstring>

namespace {

/* ---------------- _srt_python._MemInfo ---------------- */

// An object made without a record (by __new__ alone, or from a null pointer) has nothing to
// describe; every access says so instead of following the null pointer.
SRT_MemInfo *record_of(MemInfoObject *self) {
    if (!self->meminfo) PyErr_SetString(PyExc_ValueError, "invalid MemInfo");
    return self->meminfo;
}

// Takes over the reference the caller passes with the record's address. A second call would
// drop the record held now without giving its reference back, and hand the object another.
int MemInfo_init(MemInfoObject *self, PyObject *args, PyObject *kwds) {
    static const char *keywords[] = {"ptr", nullptr};
    PyObject *raw_ptr_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O", const_cast<char **>(keywords), &raw_ptr_obj)) return -1;
    if (self->meminfo) {
        PyErr_SetString(PyExc_RuntimeError, "MemInfo is already initialised");
        return -1;
    }
    void *raw_ptr = PyLong_AsVoidPtr(raw_ptr_obj);
    if (PyErr_Occurred()) return -1;
    self->meminfo = static_cast<SRT_MemInfo *>(raw_ptr);
    self->acquired = 0;
    return 0;
}

// An object whose initialisation failed holds no record and releases nothing. References
// taken with acquire() and not given back stay with the record: whoever asked for them may
// still use the buffer.
void MemInfo_dealloc(MemInfoObject *self) {
    if (self->meminfo) SRT_MemInfo_release(self->meminfo);
    Py_TYPE(self)->tp_free(reinterpret_cast<PyObject *>(self));
}

PyObject *MemInfo_acquire(MemInfoObject *self, PyObject *) {
    SRT_MemInfo *mi = record_of(self);
    if (!mi) return nullptr;
    SRT_MemInfo_acquire(mi);
    ++self->acquired;
    Py_RETURN_NONE;
}

// Gives back one reference taken by acquire() through this object; the object's own reference,
// which keeps its array's buffer alive, is not Python's to give.
PyObject *MemInfo_release(MemInfoObject *self, PyObject *) {
    SRT_MemInfo *mi = record_of(self);
    if (!mi) return nullptr;
    if (self->acquired == 0) {
        PyErr_SetString(PyExc_ValueError, "release() without a matching acquire() on this MemInfo");
        return nullptr;
    }
    --self->acquired;
    SRT_MemInfo_release(mi);
    Py_RETURN_NONE;
}

PyObject *MemInfo_get_data(MemInfoObject *self, void *) {
    SRT_MemInfo *mi = record_of(self);
    return mi ? PyLong_FromVoidPtr(SRT_MemInfo_data(mi)) : nullptr;
}

PyObject *MemInfo_get_refcount(MemInfoObject *self, void *) {
    size_t refct = SRT_MemInfo_refcount(self->meminfo);
    if (refct == static_cast<size_t>(-1)) {
        PyErr_SetString(PyExc_ValueError, "invalid MemInfo");
        return nullptr;
    }
    return PyLong_FromSize_t(refct);
}

PyObject *MemInfo_get_external_allocator(MemInfoObject *self, void *) {
    SRT_MemInfo *mi = record_of(self);
    return mi ? PyLong_FromVoidPtr(SRT_MemInfo_external_allocator(mi)) : nullptr;
}

PyObject *MemInfo_get_parent(MemInfoObject *self, void *) {
    SRT_MemInfo *mi = record_of(self);
    if (!mi) return nullptr;
    PyObject *parent = static_cast<PyObject *>(SRT_MemInfo_parent(mi));
    if (!parent) Py_RETURN_NONE;
    Py_INCREF(parent);
    return parent;
}

int MemInfo_getbuffer(PyObject *exporter, Py_buffer *view, int flags) {
    SRT_MemInfo *mi = record_of(reinterpret_cast<MemInfoObject *>(exporter));
    if (!mi) {
        view->obj = nullptr;
        return -1;
    }
    return PyBuffer_FillInfo(view, exporter, SRT_MemInfo_data(mi), static_cast<Py_ssize_t>(SRT_MemInfo_size(mi)), 0,
                             flags);
}

PyMethodDef MemInfo_methods[] = {
    {"acquire", reinterpret_cast<PyCFunction>(MemInfo_acquire), METH_NOARGS, "Increment the reference count"},
    {"release", reinterpret_cast<PyCFunction>(MemInfo_release), METH_NOARGS, "Decrement the reference count"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef MemInfo_getsets[] = {
    {"data", reinterpret_cast<getter>(MemInfo_get_data), nullptr, "Get the data pointer as an integer", nullptr},
    {"refcount", reinterpret_cast<getter>(MemInfo_get_refcount), nullptr, "Get the refcount", nullptr},
    {"external_allocator", reinterpret_cast<getter>(MemInfo_get_external_allocator), nullptr,
     "Get the external allocator", nullptr},
    {"parent", reinterpret_cast<getter>(MemInfo_get_parent), nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyBufferProcs MemInfo_bufferProcs = {MemInfo_getbuffer, nullptr};

PyTypeObject make_meminfo_type() {
    PyTypeObject t = {PyVarObject_HEAD_INIT(nullptr, 0)};
    t.tp_name = "_srt_python._MemInfo";
    t.tp_basicsize = sizeof(MemInfoObject);
    t.tp_dealloc = reinterpret_cast<destructor>(MemInfo_dealloc);
    t.tp_as_buffer = &MemInfo_bufferProcs;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    t.tp_methods = MemInfo_methods;
    t.tp_getset = MemInfo_getsets;
    t.tp_init = reinterpret_cast<initproc>(MemInfo_init);
    return t;
}

/* ---------------- conversions ---------------- */

void copy_shape_and_strides(PyArrayObject *ndary, arystruct_t *arystruct) {
    const int ndim = PyArray_NDIM(ndary);
    const npy_intp *dims = PyArray_DIMS(ndary);
    const npy_intp *strides = PyArray_STRIDES(ndary);
    for (int i = 0; i < ndim; ++i) {
        arystruct->shape_and_strides[i] = dims[i];
        arystruct->shape_and_strides[ndim + i] = strides[i];
    }
}

void fill_from_ndarray(PyArrayObject *ndary, arystruct_t *arystruct) {
    arystruct->data = PyArray_DATA(ndary);
    arystruct->nitems = PyArray_MultiplyList(PyArray_DIMS(ndary), PyArray_NDIM(ndary));
    arystruct->itemsize = PyArray_ITEMSIZE(ndary);
    arystruct->parent = reinterpret_cast<PyObject *>(ndary);
    copy_shape_and_strides(ndary, arystruct);
}

// The caller's own array comes back when the record still describes it exactly.
PyObject *try_to_return_parent(arystruct_t *arystruct, int ndim, PyArray_Descr *descr) {
    PyObject *obj = arystruct->parent;
    if (!PyArray_Check(obj)) return nullptr;
    PyArrayObject *array = reinterpret_cast<PyArrayObject *>(obj);
    if (PyArray_DATA(array) != arystruct->data) return nullptr;
    if (PyArray_NDIM(array) != ndim) return nullptr;
    int equal = PyObject_RichCompareBool(reinterpret_cast<PyObject *>(PyArray_DESCR(array)),
                                         reinterpret_cast<PyObject *>(descr), Py_EQ);
    if (equal <= 0) {
        PyErr_Clear();
        return nullptr;
    }
    const npy_intp *dims = PyArray_DIMS(array);
    const npy_intp *strides = PyArray_STRIDES(array);
    for (int i = 0; i < ndim; ++i) {
        if (dims[i] != arystruct->shape_and_strides[i]) return nullptr;
        if (strides[i] != arystruct->shape_and_strides[ndim + i]) return nullptr;
    }
    Py_INCREF(obj);
    return obj;
}

}  // namespace

extern "C" {

PyTypeObject MemInfoType = make_meminfo_type();

int init_srt_python_module(void) {
    MemInfoType.tp_new = PyType_GenericNew;
    return PyType_Ready(&MemInfoType);
}

int SRT_adapt_ndarray_from_python(PyObject *obj, arystruct_t *arystruct) {
    if (!PyArray_Check(obj)) return -1;
    PyArrayObject *ndary = reinterpret_cast<PyArrayObject *>(obj);
    Py_INCREF(obj);
    SRT_MemInfo *mi = SRT_MemInfo_new(PyArray_DATA(ndary), 0, pyobject_dtor, obj);
    // Without a record nothing would ever drop the reference just taken: give it back now.
    // The caller's own reference keeps the array alive for the call.
    if (!mi) Py_DECREF(obj);
    arystruct->meminfo = mi;
    fill_from_ndarray(ndary, arystruct);
    return 0;
}

PyObject *SRT_adapt_ndarray_to_python_acqref(arystruct_t *arystruct, PyTypeObject *retty, int ndim, int writeable,
                                             PyArray_Descr *descr) {
    if (!descr) {
        PyErr_SetString(PyExc_RuntimeError, "In 'SRT_adapt_ndarray_to_python', 'descr' is NULL");
        return nullptr;
    }
    if (!PyArray_DescrCheck(descr)) {
        PyErr_Format(PyExc_TypeError, "expected dtype object, got '%.200s'", Py_TYPE(descr)->tp_name);
        return nullptr;
    }
    if (arystruct->parent) {
        if (PyObject *same = try_to_return_parent(arystruct, ndim, descr)) return same;
    }

    MemInfoObject *miobj = nullptr;
    if (arystruct->meminfo) {
        miobj = PyObject_New(MemInfoObject, &MemInfoType);
        if (!miobj) return nullptr;
        miobj->meminfo = nullptr;
        miobj->acquired = 0;
        PyObject *args = Py_BuildValue("(N)", PyLong_FromVoidPtr(arystruct->meminfo));
        if (!args) {
            Py_DECREF(miobj);
            return nullptr;
        }
        SRT_MemInfo_acquire(static_cast<SRT_MemInfo *>(arystruct->meminfo));
        int rc = MemInfo_init(miobj, args, nullptr);
        Py_DECREF(args);
        if (rc) {
            // The acquired reference never reached the object: give it back, then the object.
            SRT_MemInfo_release(static_cast<SRT_MemInfo *>(arystruct->meminfo));
            Py_DECREF(miobj);
            return nullptr;
        }
    }

    npy_intp *shape = reinterpret_cast<npy_intp *>(arystruct->shape_and_strides);
    npy_intp *strides = shape + ndim;
    Py_INCREF(descr);
    PyObject *array = PyArray_NewFromDescr(retty, descr, ndim, shape, strides, arystruct->data, 0, nullptr);
    if (!array) {
        Py_XDECREF(miobj);
        return nullptr;
    }
    PyArrayObject *ndary = reinterpret_cast<PyArrayObject *>(array);
    if (writeable) PyArray_ENABLEFLAGS(ndary, NPY_ARRAY_WRITEABLE);
    else PyArray_CLEARFLAGS(ndary, NPY_ARRAY_WRITEABLE);
    if (miobj && PyArray_SetBaseObject(ndary, reinterpret_cast<PyObject *>(miobj)) == -1) {
        Py_DECREF(array);
        return nullptr;
    }
    return array;
}

void SRT_adapt_buffer_from_python(Py_buffer *buf, arystruct_t *arystruct) {
    sarvo_adapt_buffer(buf, arystruct);
    if (buf->obj) {
        Py_INCREF(buf->obj);
        arystruct->meminfo = SRT_MemInfo_new(buf->buf, 0, pyobject_dtor, buf->obj);
        if (!arystruct->meminfo) Py_DECREF(buf->obj);
    }
}

SRT_MemInfo *SRT_meminfo_new_from_pyobject(void *data, PyObject *ownerobj) {
    Py_INCREF(ownerobj);
    SRT_MemInfo *mi = SRT_MemInfo_new(data, 0, pyobject_dtor, ownerobj);
    if (!mi) Py_DECREF(ownerobj);
    return mi;
}

PyObject *SRT_meminfo_as_pyobject(SRT_MemInfo *meminfo) {
    PyObject *addr = PyLong_FromVoidPtr(meminfo);
    if (!addr) return nullptr;
    PyObject *mi = PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject *>(&MemInfoType), addr, nullptr);
    Py_DECREF(addr);
    return mi;
}

SRT_MemInfo *SRT_meminfo_from_pyobject(MemInfoObject *miobj) {
    if (!miobj->meminfo) return nullptr;
    SRT_MemInfo_acquire(miobj->meminfo);
    return miobj->meminfo;
}

int sarvo_adapt_ndarray(PyObject *obj, arystruct_t *arystruct) {
    if (!PyArray_Check(obj)) return -1;
    arystruct->meminfo = nullptr;
    fill_from_ndarray(reinterpret_cast<PyArrayObject *>(obj), arystruct);
    return 0;
}

int sarvo_get_buffer(PyObject *obj, Py_buffer *buf) { return PyObject_GetBuffer(obj, buf, PyBUF_RECORDS_RO); }

void sarvo_adapt_buffer(Py_buffer *buf, arystruct_t *arystruct) {
    arystruct->data = buf->buf;
    arystruct->itemsize = buf->itemsize;
    arystruct->parent = buf->obj;
    arystruct->nitems = 1;
    for (int i = 0; i < buf->ndim; ++i) {
        arystruct->shape_and_strides[i] = buf->shape[i];
        arystruct->shape_and_strides[buf->ndim + i] = buf->strides[i];
        arystruct->nitems *= buf->shape[i];
    }
    arystruct->meminfo = nullptr;
}

void sarvo_release_buffer(Py_buffer *buf) { PyBuffer_Release(buf); }

PyObject *sarvo_ndarray_new(int nd, npy_intp *dims, npy_intp *strides, void *data, int type_num, int itemsize) {
    return PyArray_New(&PyArray_Type, nd, dims, type_num, strides, data, 0, NPY_ARRAY_BEHAVED, nullptr);
}

// Records over Python objects can die on a kernel thread: take the lock for the drop.
void pyobject_dtor(void *ptr, size_t size, void *info) {
    PyGILState_STATE state = PyGILState_Ensure();
    Py_DECREF(static_cast<PyObject *>(info));
    PyGILState_Release(state);
}

void sarvo_gil_ensure(PyGILState_STATE *state) { *state = PyGILState_Ensure(); }
void sarvo_gil_release(PyGILState_STATE *state) { PyGILState_Release(*state); }

/* Can an array of extents dims/strides be viewed with extents newdims without a copy?
   Axes of extent 1 are dropped first (their strides never matter); then runs of old and new
   axes with equal products are matched, and each old run must be contiguous in the asked
   order for its new axes to get strides. */
int sarvo_attempt_nocopy_reshape(npy_intp nd, const npy_intp *dims, const npy_intp *strides, npy_intp newnd,
                                 const npy_intp *newdims, npy_intp *newstrides, npy_intp itemsize,
                                 int is_f_order) {
    npy_intp olddims[NPY_MAXDIMS], oldstrides[NPY_MAXDIMS];
    npy_intp oldnd = 0;
    for (npy_intp i = 0; i < nd; ++i) {
        if (dims[i] == 1) continue;
        if (oldnd == NPY_MAXDIMS) return 0;  // more than the reshape can track: report "needs a copy"
        olddims[oldnd] = dims[i];
        oldstrides[oldnd] = strides[i];
        ++oldnd;
    }
    npy_intp np_ = 1, op = 1;
    for (npy_intp i = 0; i < newnd; ++i) np_ *= newdims[i];
    for (npy_intp i = 0; i < oldnd; ++i) op *= olddims[i];
    if (np_ != op) return 0;
    if (np_ == 0) {
        for (npy_intp i = 0; i < newnd; ++i) newstrides[i] = itemsize;
        return 1;
    }

    npy_intp oi = 0, oj = 1, ni = 0, nj = 1;
    while (ni < newnd && oi < oldnd) {
        np_ = newdims[ni];
        op = olddims[oi];
        while (np_ != op) {
            if (np_ < op) np_ *= newdims[nj++];
            else op *= olddims[oj++];
        }
        for (npy_intp ok = oi; ok < oj - 1; ++ok) {
            if (is_f_order) {
                if (oldstrides[ok + 1] != olddims[ok] * oldstrides[ok]) return 0;
            } else if (oldstrides[ok] != olddims[ok + 1] * oldstrides[ok + 1]) {
                return 0;
            }
        }
        if (is_f_order) {
            newstrides[ni] = oldstrides[oi];
            for (npy_intp nk = ni + 1; nk < nj; ++nk) newstrides[nk] = newstrides[nk - 1] * newdims[nk - 1];
        } else {
            newstrides[nj - 1] = oldstrides[oj - 1];
            for (npy_intp nk = nj - 1; nk > ni; --nk) newstrides[nk - 1] = newstrides[nk] * newdims[nk];
        }
        ni = nj++;
        oi = oj++;
    }

    npy_intp last = itemsize;
    if (ni >= 1) {
        last = newstrides[ni - 1];
        if (is_f_order) last *= newdims[ni - 1];
    }
    for (npy_intp nk = ni; nk < newnd; ++nk) newstrides[nk] = last;
    return 1;
}

}  // extern "C"
