// Python-level accessors of the generator states. A state travels through Python as its
// address in a Python int; it must only be used from the thread that owns it. All of these
// run with the interpreter lock held and return null with a Python error on failure.
#include "helperlib/_random.h"

#include "core/runtime/py_ref.h"

namespace {

using Ref = sarvo::PyRef;

}  // namespace

extern "C" {

/* "O&" converter from a Python int to a state address. Address 0 is refused: nothing can
   check an arbitrary address, but null is certainly not a state. */
int rnd_state_converter(PyObject *obj, rnd_state_t **state) {
    void *ptr = PyLong_AsVoidPtr(obj);
    if (!ptr) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "random state address is null");
        return 0;
    }
    *state = static_cast<rnd_state_t *>(ptr);
    return 1;
}

PyObject *_sarvo_rnd_get_py_state_ptr(PyObject *self, PyObject *unused) {
    return PyLong_FromVoidPtr(sarvo_get_py_random_state());
}

PyObject *_sarvo_rnd_get_np_state_ptr(PyObject *self, PyObject *unused) {
    return PyLong_FromVoidPtr(sarvo_get_np_random_state());
}

PyObject *_sarvo_rnd_shuffle(PyObject *self, PyObject *arg) {
    rnd_state_t *state;
    if (!rnd_state_converter(arg, &state)) return nullptr;
    sarvo_rnd_shuffle(state);
    Py_RETURN_NONE;
}

// (index, [624 words]) — the form that _sarvo_rnd_set_state accepts back.
PyObject *_sarvo_rnd_get_state(PyObject *self, PyObject *arg) {
    rnd_state_t *state;
    if (!rnd_state_converter(arg, &state)) return nullptr;
    Ref words(PyList_New(SARVO_MT_N));
    if (!words.p) return nullptr;
    for (int i = 0; i < SARVO_MT_N; i++) {
        PyObject *w = PyLong_FromUnsignedLong(state->mt[i]);
        if (!w) return nullptr;
        PyList_SET_ITEM(words.p, i, w);
    }
    return Py_BuildValue("iN", state->index, words.release());
}

/* Restores (index, [624 words]). The index must lie in 0 … 624: a draw reads mt[index]
   unchecked. Words are stored in order; a conversion error stops there, keeping the words
   already stored (the state is then not marked as freshly seeded). */
PyObject *_sarvo_rnd_set_state(PyObject *self, PyObject *args) {
    rnd_state_t *state;
    PyObject *tuple, *list;
    int index;
    if (!PyArg_ParseTuple(args, "O&O!:rnd_set_state", rnd_state_converter, &state, &PyTuple_Type,
                          &tuple))
        return nullptr;
    if (!PyArg_ParseTuple(tuple, "iO!", &index, &PyList_Type, &list)) return nullptr;
    if (PyList_GET_SIZE(list) != SARVO_MT_N) {
        PyErr_SetString(PyExc_ValueError, "list object has wrong size");
        return nullptr;
    }
    if (index < 0 || index > SARVO_MT_N) {
        PyErr_SetString(PyExc_ValueError, "state index out of range");
        return nullptr;
    }
    state->index = index;
    for (int i = 0; i < SARVO_MT_N; i++) {
        unsigned long w = PyLong_AsUnsignedLong(PyList_GET_ITEM(list, i));
        if (w == static_cast<unsigned long>(-1) && PyErr_Occurred()) return nullptr;
        state->mt[i] = static_cast<uint32_t>(w);
    }
    state->has_gauss = 0;
    state->gauss = 0.0;
    state->is_initialized = 1;
    Py_RETURN_NONE;
}

/* (address, int) seeds from the integer (masked to 32 bits); (address, bytes-like) from the
   bytes' little-endian words. */
PyObject *_sarvo_rnd_seed(PyObject *self, PyObject *args) {
    rnd_state_t *state;
    unsigned int seed;
    if (PyArg_ParseTuple(args, "O&I:rnd_seed", rnd_state_converter, &state, &seed)) {
        sarvo_rnd_init(state, seed);
        Py_RETURN_NONE;
    }
    PyErr_Clear();
    Py_buffer buf;
    if (!PyArg_ParseTuple(args, "O&s*:rnd_seed", rnd_state_converter, &state, &buf)) return nullptr;
    if (rnd_seed_with_bytes(state, &buf) != 0) return nullptr;
    Py_RETURN_NONE;
}

}  // extern "C"
