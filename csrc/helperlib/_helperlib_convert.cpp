// Conversions between Python objects and the native values of compiled code: complex
// numbers, NumPy datetime and timedelta scalars, slices, strings and records.
// All of them run with the interpreter lock held.
#include "helperlib/_helperlib.h"

#define NO_IMPORT_ARRAY
#define PY_ARRAY_UNIQUE_SYMBOL SARVO_ARRAY_API
#include <numpy/arrayobject.h>
#include <numpy/arrayscalars.h>

#include <stdint.h>

#include "core/python_compat.h"
#include "core/runtime/py_ref.h"

namespace {

using Ref = sarvo::PyRef;

PyObject *create_datetime_like(PyTypeObject *type, int64_t value, int unit_code) {
    PyObject *obj = type->tp_alloc(type, 0);
    if (!obj) return nullptr;
    auto *scalar = reinterpret_cast<PyDatetimeScalarObject *>(obj);
    scalar->obval = value;
    scalar->obmeta.base = static_cast<NPY_DATETIMEUNIT>(unit_code);
    scalar->obmeta.num = 1;
    return obj;
}

// None stands for `none_value`; anything else must convert to Py_ssize_t, out of range
// being an OverflowError. Returns false with the Python error set.
bool slice_part(PyObject *part, Py_ssize_t none_value, Py_ssize_t *out) {
    if (part == Py_None) {
        *out = none_value;
        return true;
    }
    Py_ssize_t v = PyNumber_AsSsize_t(part, PyExc_OverflowError);
    if (v == -1 && PyErr_Occurred()) return false;
    *out = v;
    return true;
}

}  // namespace

extern "C" {

int sarvo_complex_adaptor(PyObject *obj, Py_complex *out) {
    if (PyComplex_Check(obj)) {
        out->real = PyComplex_RealAsDouble(obj);
        out->imag = PyComplex_ImagAsDouble(obj);
        return 1;
    }
    if (PyArray_IsScalar(obj, ComplexFloating)) {
        PyArray_Descr *descr = PyArray_DescrFromScalar(obj);
        if (!descr) return 0;
        double pair[2];
        int rc = PyArray_CastScalarDirect(obj, descr, pair, NPY_CDOUBLE);
        Py_DECREF(descr);
        if (rc < 0) return 0;
        out->real = pair[0];
        out->imag = pair[1];
        return 1;
    }
    Ref as_float(PyNumber_Float(obj));
    if (!as_float.p) return 0;
    out->real = PyFloat_AS_DOUBLE(as_float.p);
    out->imag = 0.0;
    return 1;
}

int64_t sarvo_extract_np_datetime(PyObject *td) {
    if (!PyArray_IsScalar(td, Datetime)) {
        PyErr_SetString(PyExc_TypeError, "expected a numpy.datetime64 object");
        return -1;
    }
    return reinterpret_cast<PyDatetimeScalarObject *>(td)->obval;
}

int64_t sarvo_extract_np_timedelta(PyObject *td) {
    if (!PyArray_IsScalar(td, Timedelta)) {
        PyErr_SetString(PyExc_TypeError, "expected a numpy.timedelta64 object");
        return -1;
    }
    return reinterpret_cast<PyTimedeltaScalarObject *>(td)->obval;
}

PyObject *sarvo_create_np_datetime(int64_t value, int unit_code) {
    return create_datetime_like(&PyDatetimeArrType_Type, value, unit_code);
}

PyObject *sarvo_create_np_timedelta(int64_t value, int unit_code) {
    return create_datetime_like(&PyTimedeltaArrType_Type, value, unit_code);
}

PyObject *sarvo_py_type(PyObject *obj) { return reinterpret_cast<PyObject *>(Py_TYPE(obj)); }

/* Reads the three parts of an exact slice without clipping them to any length. The step is
   read first because the defaults of the bounds depend on its sign: a missing stop is
   INT64_MAX going forwards and INT64_MIN going backwards, a missing start 0 or INT64_MAX.
   A step of 0 passes through; rejecting it is the caller's business. */
int sarvo_unpack_slice(PyObject *obj, Py_ssize_t *start, Py_ssize_t *stop, Py_ssize_t *step) {
    if (!Py_IS_TYPE(obj, &PySlice_Type)) {
        PyErr_Format(PyExc_TypeError, "Expected a slice object, got '%s'", Py_TYPE(obj)->tp_name);
        return -1;
    }
    auto *slice = reinterpret_cast<PySliceObject *>(obj);
    Py_ssize_t st, sp, sa;
    if (!slice_part(slice->step, 1, &sp)) return -1;
    if (!slice_part(slice->stop, sp > 0 ? PY_SSIZE_T_MAX : PY_SSIZE_T_MIN, &st)) return -1;
    if (!slice_part(slice->start, sp > 0 ? 0 : PY_SSIZE_T_MAX, &sa)) return -1;
    *start = sa;
    *stop = st;
    *step = sp;
    return 0;
}

/* Hands out a string's character data in place (no reference taken): length in code points,
   bytes per code point, the ASCII flag and the cached hash (-1 until computed). */
void *sarvo_extract_unicode(PyObject *obj, Py_ssize_t *length, int *kind, unsigned int *ascii,
                            Py_ssize_t *hash) {
    if (sarvo::compat::PyUnicode_Ready(obj) == -1) return nullptr;
    *length = PyUnicode_GET_LENGTH(obj);
    *kind = PyUnicode_KIND(obj);
    *ascii = PyUnicode_IS_ASCII(obj) ? 1u : 0u;
    *hash = reinterpret_cast<PyASCIIObject *>(obj)->hash;
    return PyUnicode_DATA(obj);
}

/* The buffer of a record's "data" attribute; the buffer keeps its exporter alive, so the
   attribute itself can be dropped. The caller releases the buffer. */
void *sarvo_extract_record_data(PyObject *recordobj, Py_buffer *pbuf) {
    Ref attr(PyObject_GetAttrString(recordobj, "data"));
    if (!attr.p) return nullptr;
    if (PyObject_GetBuffer(attr.p, pbuf, 0) != 0) return nullptr;
    return pbuf->buf;
}

/* A numpy.record scalar over a copy of `size` raw bytes, typed by (numpy.record, dtype). */
PyObject *sarvo_recreate_record(void *pdata, int size, PyObject *dtype) {
    if (!dtype) {
        PyErr_SetString(PyExc_RuntimeError, "In 'sarvo_recreate_record', 'dtype' is NULL");
        return nullptr;
    }
    Ref numpy(PyImport_ImportModule("numpy"));
    if (!numpy.p) return nullptr;
    Ref record_type(PyObject_GetAttrString(numpy.p, "record"));
    if (!record_type.p) return nullptr;
    Ref type_pair(PyTuple_Pack(2, record_type.p, dtype));
    if (!type_pair.p) return nullptr;
    PyArray_Descr *descr = nullptr;
    if (!PyArray_DescrConverter(type_pair.p, &descr)) return nullptr;
    // PyArray_FromString takes over the descriptor reference, on failure too.
    Ref array(PyArray_FromString(static_cast<char *>(pdata), size, descr, 1, nullptr));
    if (!array.p) return nullptr;
    return PySequence_GetItem(array.p, 0);
}

}  // extern "C"
