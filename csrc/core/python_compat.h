// The interpreter's C API where CPython 3.11 to 3.15 differ, or where the module needs a
// call the interpreter keeps semi-private. One function per difference, one branch per version
// inside it; callers read as if every supported version had the same API. Nothing here writes
// through a copied structure layout. NumPy's differences sit beside its binding, in
// core/runtime/numpy_api.h.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <frameobject.h>

#include <cstdint>
#include <cstring>

#if PY_VERSION_HEX < 0x030B0000 || PY_VERSION_HEX >= 0x03100000
#error "sarvo_functions builds for CPython 3.11 to 3.15"
#endif

#if PY_VERSION_HEX >= 0x030D0000
// 3.13 moved the secret's declaration into its internal headers; the interpreter still exports
// the symbol. Only its first three 64-bit words are read.
extern "C" {
PyAPI_DATA(const unsigned char) _Py_HashSecret[24];
}
#endif

namespace sarvo::compat {

// The interpreter's hash secret as three 64-bit words: SipHash k0, SipHash k1, DJBX33A suffix.
inline void hash_secret_words(uint64_t words[3]) {
#if PY_VERSION_HEX >= 0x030D0000
    std::memcpy(words, _Py_HashSecret, 3 * sizeof(uint64_t));
#else
    static_assert(sizeof(_Py_HashSecret) >= 3 * sizeof(uint64_t), "the secret holds three words");
    std::memcpy(words, &_Py_HashSecret, 3 * sizeof(uint64_t));
#endif
}

// A frame over an empty code object named (filename, funcname) that reports `lineno` as its
// line. The frame never runs, so every version answers its line from the code: 3.11 and 3.12
// see the instruction pointer before the first instruction and return the code's first line;
// 3.13 and later point at the first instruction, which the empty code's line table maps to its
// first line. Null with the error set.
inline PyFrameObject *PyFrame_NewAtLine(const char *filename, const char *funcname, int lineno) {
    PyObject *globals = PyDict_New();
    if (!globals) return nullptr;
    PyCodeObject *code = PyCode_NewEmpty(filename, funcname, lineno);
    PyFrameObject *frame = code ? PyFrame_New(PyThreadState_Get(), code, globals, nullptr) : nullptr;
    Py_XDECREF(code);
    Py_DECREF(globals);
    return frame;
}

// Makes the fetched exception (type, value, traceback; all owned, type may be null) the
// context of the exception now pending, or restores it when none is pending.
inline void PyErr_ChainExceptions(PyObject *type, PyObject *value, PyObject *tb) {
#if PY_VERSION_HEX >= 0x030C0000
    if (!type) return;
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value) PyException_SetTraceback(value, tb);
    Py_XDECREF(tb);
    Py_DECREF(type);
    _PyErr_ChainExceptions1(value);
#else
    _PyErr_ChainExceptions(type, value, tb);
#endif
}

// True while the interpreter is shutting down.
inline bool Py_IsFinalizing() {
#if PY_VERSION_HEX >= 0x030D0000
    return ::Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

// Brings a string into its compact form; 0, or -1 with the error set. From 3.12 every string
// is created compact.
inline int PyUnicode_Ready(PyObject *text) {
#if PY_VERSION_HEX >= 0x030C0000
    (void)text;
    return 0;
#else
    return PyUnicode_IS_READY(text) ? 0 : _PyUnicode_Ready(text);
#endif
}

// The interpreter's complex power, errno set as its float power sets it (same on every
// supported version).
inline Py_complex complex_pow(Py_complex a, Py_complex b) { return _Py_c_pow(a, b); }

// Ends the process with "Fatal Python error: <func>: <message>" (same on every supported version).
[[noreturn]] inline void fatal_error_in(const char *func, const char *message) {
    _Py_FatalErrorFunc(func, message);
}

}  // namespace sarvo::compat
