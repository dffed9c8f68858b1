// Module initialisation: the interpreter's hash secret, NumPy's C API, the runtime types, the
// random generator states, the memory system, and one environment and closure per method.
#define SARVO_NUMPY_API_OWNER
#include "core/runtime/numpy_api.h"

#include <cstring>

#include "core/python_compat.h"
#include "core/runtime/_srt_python.h"
#include "core/runtime/srt.h"
#include "helperlib/_random.h"
#include "helperlib/excinfo_raise.h"
#include "tarn/dynfunc.h"
#include "tarn/method_table.h"

extern "C" {
SARVO_EXPORT uint64_t _sarvo_hashsecret_siphash_k0 = 0;
SARVO_EXPORT uint64_t _sarvo_hashsecret_siphash_k1 = 0;
SARVO_EXPORT uint64_t _sarvo_hashsecret_djbx33a_suffix = 0;

SARVO_EXPORT int tarn_init_sarvo_functions(PyObject *module, PyMethodDef *defs, env_def_t *envs, void ***envgvs);
SARVO_EXPORT PyObject *PyInit_sarvo_functions(void);
}

namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "sarvo_functions", nullptr, -1, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// SipHash k0 and k1 and the DJBX33A suffix are the secret's first three 64-bit words.
void copy_hash_secret() {
    uint64_t words[3];
    sarvo::compat::hash_secret_words(words);
    _sarvo_hashsecret_siphash_k0 = words[0];
    _sarvo_hashsecret_siphash_k1 = words[1];
    _sarvo_hashsecret_djbx33a_suffix = words[2];
}

// NumPy's own import sequence, ending in ImportError for any failure.
int init_numpy() {
    if (_import_array() < 0) {
        PyErr_Print();
        PyErr_SetString(PyExc_ImportError, "numpy.core.multiarray failed to import");
        return -1;
    }
    return 0;
}

char *copy_string(const char *text) {
    size_t n = std::strlen(text) + 1;
    char *copy = static_cast<char *>(PyObject_Malloc(n));
    if (copy) std::memcpy(copy, text, n);
    return copy;
}

EnvironmentObject *recreate_environment(PyObject *module, const env_def_t &envdef) {
    PyObject *consts = sarvo_unpickle(envdef.data, envdef.len, static_cast<const char *>(envdef.hashbuf));
    if (!consts) return nullptr;
    if (!PyList_Check(consts)) {
        PyErr_Format(PyExc_TypeError, "environment constants should be a list, got '%s'", Py_TYPE(consts)->tp_name);
        Py_DECREF(consts);
        return nullptr;
    }
    auto *env = reinterpret_cast<EnvironmentObject *>(PyType_GenericNew(&EnvironmentType, nullptr, nullptr));
    if (!env) {
        Py_DECREF(consts);
        return nullptr;
    }
    env->consts = consts;
    env->globals = PyModule_GetDict(module);
    Py_INCREF(env->globals);
    return env;
}

// A function bound to a closure that owns the environment; null with the error set.
PyObject *pycfunction_new(PyObject *modname, const PyMethodDef &def, EnvironmentObject *env, const char *doc) {
    auto *closure = reinterpret_cast<ClosureObject *>(PyType_GenericAlloc(&ClosureType, 0));
    if (!closure) return nullptr;
    closure->def.ml_name = copy_string(def.ml_name);
    closure->def.ml_doc = copy_string(doc);
    if (!closure->def.ml_name || !closure->def.ml_doc) {
        Py_DECREF(closure);
        return PyErr_NoMemory();
    }
    closure->def.ml_meth = def.ml_meth;
    closure->def.ml_flags = METH_VARARGS | METH_KEYWORDS;
    Py_INCREF(env);
    closure->env = env;
    closure->keepalive = nullptr;
    PyObject *func = PyCFunction_NewEx(&closure->def, reinterpret_cast<PyObject *>(closure), modname);
    Py_DECREF(closure);
    return func;
}

}  // namespace

extern "C" {

int tarn_init_sarvo_functions(PyObject *module, PyMethodDef *defs, env_def_t *envs, void ***envgvs) {
    copy_hash_secret();
    if (init_numpy()) return -1;
    if (init_dynfunc_module()) return -1;
    sarvo_rnd_ensure_global_init();
    SRT_MemSys_init();
    if (init_srt_python_module()) return -1;

    PyObject *modname = PyObject_GetAttrString(module, "__name__");
    if (!modname) return -1;
    static const char doc[] = "";
    for (int i = 0; defs[i].ml_name; ++i) {
        EnvironmentObject *env = recreate_environment(module, envs[i]);
        if (!env) {
            Py_DECREF(modname);
            return -1;
        }
        PyObject *func = pycfunction_new(modname, defs[i], env, doc);
        Py_DECREF(env);
        if (!func) {
            Py_DECREF(modname);
            return -1;
        }
        // Borrowed: the function owns the closure, the closure the environment. Stored only
        // once that chain exists, so that a failed import leaves no dangling slot.
        *envgvs[i] = env;
        int rc = PyObject_SetAttrString(module, defs[i].ml_name, func);
        Py_DECREF(func);
        if (rc) {
            Py_DECREF(modname);
            return -1;
        }
    }
    Py_DECREF(modname);
    return 0;
}

PyObject *PyInit_sarvo_functions(void) {
    module_def.m_methods = sarvo::tarn::module_methods();
    PyObject *module = PyModule_Create2(&module_def, 1013);
    if (!module) return nullptr;
    if (tarn_init_sarvo_functions(module, sarvo::tarn::module_methods(), sarvo::tarn::module_environments(),
                                  sarvo::tarn::module_envgvs())) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}

}  // extern "C"
