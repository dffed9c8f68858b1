/* The object types of _dynfunc: environments (a kernel's globals and constants), closures
   (a private method definition bound to an environment) and native generators. */
#ifndef SARVO_TARN_DYNFUNC_H
#define SARVO_TARN_DYNFUNC_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct {
    PyObject_HEAD
    PyObject *globals;
    PyObject *consts;
} EnvironmentObject;

typedef struct {
    PyObject_VAR_HEAD
    EnvironmentObject *env;
    PyMethodDef def;
    PyObject *keepalive;
    PyObject *weakreflist;
} ClosureObject;

typedef PyObject *(*gen_next_t)(PyObject *self, PyObject *args, PyObject *kws);
typedef void (*gen_finalizer_t)(void *state);

typedef struct {
    PyObject_VAR_HEAD
    EnvironmentObject *env;
    gen_next_t nextfunc;
    gen_finalizer_t finalizer;
    PyObject *weakreflist;
    union {
        double dummy;  /* aligns the state */
        char state[0];
    };
} GeneratorObject;

extern PyTypeObject EnvironmentType;
extern PyTypeObject ClosureType;
extern PyTypeObject GeneratorType;

/* Readies _Closure, Environment and _Generator, in that order; 0 or -1. */
int init_dynfunc_module(void);

PyObject *Sarvo_make_generator(Py_ssize_t state_size, void *initial_state, gen_next_t nextfunc,
                               gen_finalizer_t finalizer, EnvironmentObject *env);

#ifdef __cplusplus
}
#endif
#endif
