// Raising exception records as Python exceptions.
#include "helperlib/excinfo_raise.h"

#include "core/python_compat.h"
#include "core/runtime/srt.h"
#include "core/pickled_constants.h"

namespace {

PyObject *pickle_loads = nullptr;  // filled once under the interpreter lock, kept for the process

bool is_exception_class(PyObject *obj) { return PyType_Check(obj) && PyExceptionClass_Check(obj); }

// Static parts hold None where a run-time value goes; the values fill them in order.
PyObject *fill_placeholders(PyObject *template_args, PyObject *values) {
    Py_ssize_t n = PyTuple_GET_SIZE(template_args);
    PyObject *out = PyTuple_New(n);
    if (!out) return nullptr;
    Py_ssize_t next_value = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *item = PyTuple_GET_ITEM(template_args, i);
        if (item == Py_None && next_value < PyTuple_GET_SIZE(values)) item = PyTuple_GET_ITEM(values, next_value++);
        Py_INCREF(item);
        PyTuple_SET_ITEM(out, i, item);
    }
    return out;
}

}  // namespace

extern "C" {

PyObject *sarvo_unpickle(const char *data, int32_t n, const char *hashed) {
    if (!pickle_loads) {
        PyObject *pickle = PyImport_ImportModule("pickle");
        if (!pickle) return nullptr;
        pickle_loads = PyObject_GetAttrString(pickle, "loads");
        Py_DECREF(pickle);
        if (!pickle_loads) return nullptr;
    }
    PyObject *buf = PyBytes_FromStringAndSize(data, n);
    if (!buf) return nullptr;
    PyObject *obj = PyObject_CallOneArg(pickle_loads, buf);
    Py_DECREF(buf);
    return obj;
}

/* Builds the packed (class, arguments, location) of a dynamic record natively: the static part
   is unpickled and its placeholders replaced by the run-time values. */
PyObject *sarvo_runtime_build_excinfo_struct(PyObject *struct_bytes, PyObject *exec_args) {
    PyObject *packed = sarvo_unpickle(PyBytes_AS_STRING(struct_bytes),
                                      static_cast<int32_t>(PyBytes_GET_SIZE(struct_bytes)), nullptr);
    if (!packed) return nullptr;
    if (!PyTuple_Check(packed) || PyTuple_GET_SIZE(packed) != 3 || !PyTuple_Check(PyTuple_GET_ITEM(packed, 1)) ||
        !PyTuple_Check(exec_args)) {
        Py_DECREF(packed);
        PyErr_SetString(PyExc_TypeError, "malformed exception record");
        return nullptr;
    }
    PyObject *args = fill_placeholders(PyTuple_GET_ITEM(packed, 1), exec_args);
    if (!args) {
        Py_DECREF(packed);
        return nullptr;
    }
    PyObject *out = PyTuple_Pack(3, PyTuple_GET_ITEM(packed, 0), args, PyTuple_GET_ITEM(packed, 2));
    Py_DECREF(args);
    Py_DECREF(packed);
    return out;
}

int sarvo_do_raise(PyObject *packed) {
    int status = 0;
    PyObject *exc = packed, *value = nullptr, *loc = nullptr;
    if (PyTuple_CheckExact(packed)) {
        if (!PyArg_ParseTuple(packed, "OOO", &exc, &value, &loc)) {
            Py_DECREF(packed);
            return 0;
        }
    }
    if (exc == Py_None) {
        PyObject *handled = PyErr_GetHandledException();
        if (!handled || handled == Py_None) {
            Py_XDECREF(handled);
            PyErr_SetString(PyExc_RuntimeError, "No active exception to reraise");
        } else {
            PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(handled)), handled);
            Py_DECREF(handled);
            status = 1;
        }
    } else if (is_exception_class(exc)) {
        // Instantiate once to prove the class really makes an exception from these arguments.
        PyObject *instance = value ? PyObject_Call(exc, value, nullptr) : PyObject_CallNoArgs(exc);
        if (instance) {
            if (!PyExceptionInstance_Check(instance)) {
                PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
            } else {
                PyErr_SetObject(exc, value);
                status = 1;
            }
            Py_DECREF(instance);
        }
    } else if (PyExceptionInstance_Check(exc)) {
        PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exc)), exc);
    } else {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    }
    if (loc && loc != Py_None && PyTuple_Check(loc)) traceback_add_loc(loc);
    Py_DECREF(packed);
    return status;
}

void traceback_add_loc(PyObject *loc) {
    const char *funcname = nullptr, *filename = nullptr;
    int lineno = 0;
    PyObject *type, *value, *tb;
    // Parsing must not disturb the exception being decorated.
    PyErr_Fetch(&type, &value, &tb);
    int ok = PyArg_ParseTuple(loc, "ssi", &funcname, &filename, &lineno);
    if (!ok) {
        PyErr_Clear();
        PyErr_Restore(type, value, tb);
        return;
    }
    PyErr_Restore(type, value, tb);
    traceback_add(funcname, filename, lineno);
}

void traceback_add(const char *funcname, const char *filename, int lineno) {
    PyObject *exc, *val, *tb;
    PyErr_Fetch(&exc, &val, &tb);
    PyFrameObject *frame = sarvo::compat::PyFrame_NewAtLine(filename, funcname, lineno);
    if (!frame) {
        // A new error becomes the pending one with the kernel's exception as its context.
        sarvo::compat::PyErr_ChainExceptions(exc, val, tb);
        return;
    }
    PyErr_Restore(exc, val, tb);
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
}

void sarvo_raise_excinfo(const excinfo_t *record) {
    PyErr_Clear();
    PyObject *packed = nullptr;
    if (record->alloc_flag <= 0) {
        packed = sarvo_unpickle(record->data, record->len, static_cast<const char *>(record->hashbuf));
    } else {
        PyObject *static_part = PyBytes_FromStringAndSize(record->data, record->len);
        auto builder = reinterpret_cast<excinfo_arg_builder>(record->func_ptr);
        PyObject *values = builder(const_cast<void *>(record->hashbuf));
        if (!values) {
            Py_XDECREF(static_part);
            SRT_Free(const_cast<excinfo_t *>(record));
            PyErr_SetString(PyExc_RuntimeError, "Error creating Python tuple from runtime exception arguments");
            return;
        }
        if (static_part) packed = sarvo_runtime_build_excinfo_struct(static_part, values);
        Py_XDECREF(static_part);
        Py_DECREF(values);
        SRT_Free(const_cast<excinfo_t *>(record));
    }
    if (packed) sarvo_do_raise(packed);
}

int32_t srt_unresolved_abort(void *result, const excinfo_t **excinfo) {
    return sarvo::raise(excinfo, sarvo::records::unresolved_symbol);
}

int sarvo_raise_status(int32_t status, const excinfo_t *record) {
    switch (status) {
        case sarvo::kOk:
        case sarvo::kNone:
            return 0;
        case sarvo::kPyError:
            return -1;
        case sarvo::kStopIteration:
            PyErr_SetNone(PyExc_StopIteration);
            return -1;
        default:
            if (status > 0) sarvo_raise_excinfo(record);
            else PyErr_SetString(PyExc_SystemError, "unknown error when calling native function");
            return -1;
    }
}

}  // extern "C"
