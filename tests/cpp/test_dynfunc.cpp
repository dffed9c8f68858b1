// The _dynfunc types: environments, closures of the module's functions, native generators.
#include <gtest/gtest.h>

#include "tarn/dynfunc.h"
#include "tests/cpp/embedded_python.h"

namespace {

using sarvo_test::Gil;

TEST(Environment, ConstructorTakesOneDictAndStartsWithEmptyConsts) {
    Gil gil;
    PyObject *globals = PyDict_New();
    PyObject *env = PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject *>(&EnvironmentType), globals, nullptr);
    ASSERT_NE(env, nullptr);
    PyObject *g = PyObject_GetAttrString(env, "globals");
    PyObject *consts = PyObject_GetAttrString(env, "consts");
    EXPECT_EQ(g, globals);
    EXPECT_TRUE(PyList_CheckExact(consts) && PyList_GET_SIZE(consts) == 0);
    EXPECT_EQ(PyObject_SetAttrString(env, "consts", Py_None), -1);  // read-only
    PyErr_Clear();
    Py_DECREF(g);
    Py_DECREF(consts);
    Py_DECREF(env);
    PyObject *bad = PyObject_CallFunction(reinterpret_cast<PyObject *>(&EnvironmentType), "i", 3);
    EXPECT_EQ(bad, nullptr);
    EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_TypeError));
    PyErr_Clear();
    Py_DECREF(globals);
}

TEST(Environment, ModuleFunctionsOwnClosuresWithTheirDtypes) {
    Gil gil;
    PyObject *mod = PyImport_ImportModule("sarvo_functions");
    PyObject *fn = PyObject_GetAttrString(mod, "_steps2D_all");
    PyObject *closure = PyCFunction_GET_SELF(fn);
    ASSERT_TRUE(Py_IS_TYPE(closure, &ClosureType));
    EnvironmentObject *env = reinterpret_cast<ClosureObject *>(closure)->env;
    ASSERT_TRUE(PyList_Check(env->consts));
    ASSERT_EQ(PyList_GET_SIZE(env->consts), 1);
    PyObject *text = PyObject_Str(PyList_GET_ITEM(env->consts, 0));
    EXPECT_STREQ(PyUnicode_AsUTF8(text), "float32");
    EXPECT_EQ(env->globals, PyModule_GetDict(mod));
    EXPECT_STREQ(reinterpret_cast<ClosureObject *>(closure)->def.ml_name, "_steps2D_all");
    Py_DECREF(text);
    Py_DECREF(fn);
    Py_DECREF(mod);
}

struct Counter {
    int next;
    int limit;
};

int finalized = 0;

PyObject *count_up(PyObject *self, PyObject *args, PyObject *kws) {
    auto *state = reinterpret_cast<Counter *>(reinterpret_cast<GeneratorObject *>(self)->state);
    if (state->next >= state->limit) return nullptr;  // exhausted: no exception set ends iteration
    return PyLong_FromLong(state->next++);
}

TEST(Generator, IteratesItsStateAndFinalizesOnce) {
    Gil gil;
    finalized = 0;
    Counter initial{3, 6};
    PyObject *gen = Sarvo_make_generator(sizeof initial, &initial, count_up,
                                         [](void *) { ++finalized; }, nullptr);
    ASSERT_NE(gen, nullptr);
    PyObject *list = PySequence_List(gen);
    ASSERT_NE(list, nullptr);
    PyObject *text = PyObject_Repr(list);
    EXPECT_STREQ(PyUnicode_AsUTF8(text), "[3, 4, 5]");
    Py_DECREF(text);
    Py_DECREF(list);
    // Clearing runs the finalizer and forgets the step function.
    GeneratorType.tp_clear(gen);
    EXPECT_EQ(finalized, 1);
    EXPECT_EQ(PyIter_Next(gen), nullptr);
    EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_RuntimeError));
    PyErr_Clear();
    Py_DECREF(gen);
    EXPECT_EQ(finalized, 1);
}

}  // namespace
