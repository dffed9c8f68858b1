// _dynfunc.Environment, _dynfunc._Closure and _dynfunc._Generator.
#include "tarn/dynfunc.h"

#include <cstring>
#include <structmember.h>

#include "core/python_compat.h"

namespace {

/* ---------------- Environment ---------------- */

int env_traverse(EnvironmentObject *env, visitproc visit, void *arg) {
    Py_VISIT(env->globals);
    Py_VISIT(env->consts);
    return 0;
}

int env_clear(EnvironmentObject *env) {
    Py_CLEAR(env->globals);
    Py_CLEAR(env->consts);
    return 0;
}

void env_dealloc(EnvironmentObject *env) {
    PyObject_GC_UnTrack(env);
    env_clear(env);
    Py_TYPE(env)->tp_free(reinterpret_cast<PyObject *>(env));
}

PyObject *env_new(PyTypeObject *type, PyObject *args, PyObject *kwds) {
    PyObject *globals;
    if (!PyArg_ParseTuple(args, "O!:function", &PyDict_Type, &globals)) return nullptr;
    EnvironmentObject *env = reinterpret_cast<EnvironmentObject *>(PyType_GenericNew(type, nullptr, nullptr));
    if (!env) return nullptr;
    Py_INCREF(globals);
    env->globals = globals;
    env->consts = PyList_New(0);
    if (!env->consts) {
        Py_DECREF(env);
        return nullptr;
    }
    return reinterpret_cast<PyObject *>(env);
}

PyMemberDef env_members[] = {
    {"globals", T_OBJECT, offsetof(EnvironmentObject, globals), READONLY, nullptr},
    {"consts", T_OBJECT, offsetof(EnvironmentObject, consts), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyTypeObject make_environment_type() {
    PyTypeObject t = {PyVarObject_HEAD_INIT(nullptr, 0)};
    t.tp_name = "_dynfunc.Environment";
    t.tp_basicsize = sizeof(EnvironmentObject);
    t.tp_dealloc = reinterpret_cast<destructor>(env_dealloc);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_BASETYPE;
    t.tp_traverse = reinterpret_cast<traverseproc>(env_traverse);
    t.tp_clear = reinterpret_cast<inquiry>(env_clear);
    t.tp_members = env_members;
    t.tp_new = env_new;
    return t;
}

/* ---------------- Closure ---------------- */

int closure_traverse(ClosureObject *clo, visitproc visit, void *arg) {
    Py_VISIT(clo->env);
    Py_VISIT(clo->keepalive);
    return 0;
}

void closure_dealloc(ClosureObject *clo) {
    PyObject_GC_UnTrack(clo);
    if (clo->weakreflist) PyObject_ClearWeakRefs(reinterpret_cast<PyObject *>(clo));
    PyObject_Free(const_cast<char *>(clo->def.ml_name));
    PyObject_Free(const_cast<char *>(clo->def.ml_doc));
    Py_XDECREF(clo->env);
    Py_XDECREF(clo->keepalive);
    Py_TYPE(clo)->tp_free(reinterpret_cast<PyObject *>(clo));
}

PyTypeObject make_closure_type() {
    PyTypeObject t = {PyVarObject_HEAD_INIT(nullptr, 0)};
    t.tp_name = "_dynfunc._Closure";
    t.tp_basicsize = sizeof(ClosureObject);
    t.tp_dealloc = reinterpret_cast<destructor>(closure_dealloc);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    t.tp_traverse = reinterpret_cast<traverseproc>(closure_traverse);
    t.tp_weaklistoffset = offsetof(ClosureObject, weakreflist);
    return t;
}

/* ---------------- Generator ---------------- */

int generator_traverse(GeneratorObject *gen, visitproc visit, void *arg) {
    Py_VISIT(gen->env);
    return 0;
}

int generator_clear(GeneratorObject *gen) {
    if (gen->finalizer) {
        gen->finalizer(gen->state);
        gen->finalizer = nullptr;
    }
    Py_CLEAR(gen->env);
    gen->nextfunc = nullptr;
    return 0;
}

void generator_dealloc(GeneratorObject *gen) {
    PyObject_GC_UnTrack(gen);
    if (gen->weakreflist) PyObject_ClearWeakRefs(reinterpret_cast<PyObject *>(gen));
    // During interpreter finalisation the state may refer to objects already gone.
    if (!sarvo::compat::Py_IsFinalizing() && gen->finalizer) gen->finalizer(gen->state);
    Py_XDECREF(gen->env);
    Py_TYPE(gen)->tp_free(reinterpret_cast<PyObject *>(gen));
}

PyObject *generator_iternext(GeneratorObject *gen) {
    if (!gen->nextfunc) {
        PyErr_SetString(PyExc_RuntimeError, "cannot call next() on finalized generator");
        return nullptr;
    }
    PyObject *args = PyTuple_Pack(1, reinterpret_cast<PyObject *>(gen));
    if (!args) return nullptr;
    PyObject *res = gen->nextfunc(reinterpret_cast<PyObject *>(gen), args, nullptr);
    Py_DECREF(args);
    return res;
}

PyTypeObject make_generator_type() {
    PyTypeObject t = {PyVarObject_HEAD_INIT(nullptr, 0)};
    t.tp_name = "_dynfunc._Generator";
    t.tp_basicsize = offsetof(GeneratorObject, state);
    t.tp_itemsize = 1;
    t.tp_dealloc = reinterpret_cast<destructor>(generator_dealloc);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_BASETYPE;
    t.tp_traverse = reinterpret_cast<traverseproc>(generator_traverse);
    t.tp_clear = reinterpret_cast<inquiry>(generator_clear);
    t.tp_weaklistoffset = offsetof(GeneratorObject, weakreflist);
    t.tp_iter = PyObject_SelfIter;
    t.tp_iternext = reinterpret_cast<iternextfunc>(generator_iternext);
    return t;
}

}  // namespace

extern "C" {

PyTypeObject EnvironmentType = make_environment_type();
PyTypeObject ClosureType = make_closure_type();
PyTypeObject GeneratorType = make_generator_type();

int init_dynfunc_module(void) {
    if (PyType_Ready(&ClosureType)) return -1;
    if (PyType_Ready(&EnvironmentType)) return -1;
    if (PyType_Ready(&GeneratorType)) return -1;
    return 0;
}

PyObject *Sarvo_make_generator(Py_ssize_t state_size, void *initial_state, gen_next_t nextfunc,
                               gen_finalizer_t finalizer, EnvironmentObject *env) {
    GeneratorObject *gen = PyObject_GC_NewVar(GeneratorObject, &GeneratorType, state_size);
    if (!gen) return nullptr;
    gen->nextfunc = nextfunc;
    gen->finalizer = finalizer;
    gen->weakreflist = nullptr;
    Py_XINCREF(env);
    gen->env = env;
    std::memcpy(gen->state, initial_state, static_cast<size_t>(state_size));
    PyObject_GC_Track(gen);
    return reinterpret_cast<PyObject *>(gen);
}

}  // extern "C"
