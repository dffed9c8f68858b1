// Finding a routine's address in a Cython module's exported C table.
#include "helperlib/_lapack.h"

extern "C" {

// Cython modules publish their C-level functions in the mapping "__pyx_capi__", one capsule
// per function, each named by the function's C signature: the capsule's own name is what
// unlocks its pointer. The caller holds the interpreter lock.
void *import_cython_function(const char *module_name, const char *function_name) {
    PyObject *module = PyImport_ImportModule(module_name);
    if (!module) return nullptr;
    PyObject *capi = PyObject_GetAttrString(module, "__pyx_capi__");
    Py_DECREF(module);
    if (!capi) return nullptr;
    PyObject *capsule = PyMapping_GetItemString(capi, function_name);
    Py_DECREF(capi);
    if (!capsule) {
        PyErr_Clear();
        PyErr_Format(PyExc_ValueError, "No function '%s' found in __pyx_capi__ of '%s'",
                     function_name, module_name);
        return nullptr;
    }
    void *address = nullptr;
    const char *capsule_name = PyCapsule_GetName(capsule);
    if (capsule_name || !PyErr_Occurred()) address = PyCapsule_GetPointer(capsule, capsule_name);
    Py_DECREF(capsule);
    return address;
}

PyObject *_sarvo_import_cython_function(PyObject *self, PyObject *args) {
    const char *module_name;
    const char *function_name;
    if (!PyArg_ParseTuple(args, "ss", &module_name, &function_name)) return nullptr;
    void *address = import_cython_function(module_name, function_name);
    if (!address) return nullptr;
    PyObject *result = PyLong_FromVoidPtr(address);
    if (!result) PyErr_SetString(PyExc_RuntimeError, "Could not convert function address to int");
    return result;
}

}  // extern "C"
