// NumPy arrays into native records and back, and the _MemInfo type.
#include "core/runtime/numpy_api.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <thread>

#include "core/runtime/_srt_python.h"
#include "tests/cpp/embedded_python.h"
#include "tests/cpp/refusing_python_allocator.h"

namespace {

using sarvo_test::Gil;

// Storage for a record of up to three dimensions.
struct Record3 {
    alignas(8) unsigned char bytes[8 * 11] = {};
    arystruct_t *const head = reinterpret_cast<arystruct_t *>(bytes);
};

using sarvo_test::eval;

PyArray_Descr *dtype_of(PyObject *array) { return PyArray_DESCR(reinterpret_cast<PyArrayObject *>(array)); }

TEST(Adaptation, NonArrayIsRefusedWithoutErrorOrReference) {
    Gil gil;
    PyObject *list = eval("[1, 2, 3]");
    Py_ssize_t before = Py_REFCNT(list);
    Record3 rec{};
    EXPECT_EQ(SRT_adapt_ndarray_from_python(list, rec.head), -1);
    EXPECT_FALSE(PyErr_Occurred());
    EXPECT_EQ(Py_REFCNT(list), before);
    EXPECT_EQ(rec.head->data, nullptr);
    Py_DECREF(list);
}

TEST(Adaptation, RecordHoldsOneReferenceUntilItDies) {
    Gil gil;
    PyObject *array = eval("np.arange(12, dtype=np.int32).reshape(3, 4)[:, ::2]");
    Py_ssize_t before = Py_REFCNT(array);
    Record3 rec{};
    ASSERT_EQ(SRT_adapt_ndarray_from_python(array, rec.head), 0);
    EXPECT_EQ(Py_REFCNT(array), before + 1);
    EXPECT_EQ(rec.head->nitems, 6);
    EXPECT_EQ(rec.head->itemsize, 4);
    EXPECT_EQ(rec.head->parent, array);
    EXPECT_EQ(rec.head->shape_and_strides[0], 3);
    EXPECT_EQ(rec.head->shape_and_strides[1], 2);
    EXPECT_EQ(rec.head->shape_and_strides[2], 16);
    EXPECT_EQ(rec.head->shape_and_strides[3], 8);
    auto *mi = static_cast<SRT_MemInfo *>(rec.head->meminfo);
    EXPECT_EQ(SRT_MemInfo_parent(mi), array);
    EXPECT_EQ(SRT_MemInfo_size(mi), 0u);
    SRT_decref(mi);
    EXPECT_EQ(Py_REFCNT(array), before);
    Py_DECREF(array);
}

// The buffer route and the reference-free array route describe an array exactly as the
// array route does; only the array route and the buffer route take a reference.
TEST(Adaptation, EveryRouteGivesTheSameRecord) {
    Gil gil;
    PyObject *array = eval("np.arange(60, dtype=np.int16).reshape(3, 4, 5)[::-1, 1:, ::2]");
    Py_ssize_t before = Py_REFCNT(array);
    Record3 want{}, plain{}, buffered{};
    ASSERT_EQ(SRT_adapt_ndarray_from_python(array, want.head), 0);
    ASSERT_EQ(sarvo_adapt_ndarray(array, plain.head), 0);
    EXPECT_EQ(sarvo_adapt_ndarray(Py_None, plain.head), -1);
    Py_buffer buf;
    ASSERT_EQ(sarvo_get_buffer(array, &buf), 0);
    SRT_adapt_buffer_from_python(&buf, buffered.head);
    EXPECT_EQ(Py_REFCNT(array), before + 3);  // two records and the buffer
    for (Record3 *r : {&plain, &buffered}) {
        EXPECT_EQ(r->head->data, want.head->data);
        EXPECT_EQ(r->head->nitems, 3 * 3 * 3);
        EXPECT_EQ(r->head->itemsize, 2);
        EXPECT_EQ(r->head->parent, array);
        EXPECT_EQ(std::memcmp(r->head->shape_and_strides, want.head->shape_and_strides, 6 * sizeof(int64_t)), 0);
    }
    EXPECT_EQ(plain.head->meminfo, nullptr);
    auto *mi = static_cast<SRT_MemInfo *>(buffered.head->meminfo);
    EXPECT_EQ(SRT_MemInfo_parent(mi), array);
    EXPECT_EQ(SRT_MemInfo_data(mi), want.head->data);
    SRT_decref(mi);
    SRT_decref(static_cast<SRT_MemInfo *>(want.head->meminfo));
    sarvo_release_buffer(&buf);
    EXPECT_EQ(Py_REFCNT(array), before);
    Py_DECREF(array);
}

TEST(Adaptation, NewArrayViewsTheGivenMemory) {
    Gil gil;
    double data[6] = {0, 1, 2, 3, 4, 5};
    npy_intp dims[2] = {2, 2}, strides[2] = {24, 8};
    PyObject *array = sarvo_ndarray_new(2, dims, strides, data, NPY_FLOAT64, 8);
    ASSERT_NE(array, nullptr);
    auto *a = reinterpret_cast<PyArrayObject *>(array);
    EXPECT_EQ(PyArray_DATA(a), data);
    EXPECT_EQ(PyArray_TYPE(a), NPY_FLOAT64);
    EXPECT_EQ(PyArray_NDIM(a), 2);
    EXPECT_EQ(std::memcmp(PyArray_DIMS(a), dims, sizeof dims), 0);
    EXPECT_EQ(std::memcmp(PyArray_STRIDES(a), strides, sizeof strides), 0);
    EXPECT_EQ(*static_cast<double *>(PyArray_GETPTR2(a, 1, 1)), 4.0);
    Py_DECREF(array);
}

// Without a record nothing would drop the reference the adaptation took: it is given back.
TEST(Adaptation, RecordThatCannotBeHadGivesItsReferenceBack) {
    Gil gil;
    PyObject *array = eval("np.zeros(4)");
    Py_ssize_t before = Py_REFCNT(array);
    Py_buffer buf;
    ASSERT_EQ(sarvo_get_buffer(array, &buf), 0);
    Record3 a{}, b{};
    SRT_MemSys_set_allocator([](size_t) -> void * { return nullptr; }, std::realloc, std::free);
    int rc = SRT_adapt_ndarray_from_python(array, a.head);
    SRT_adapt_buffer_from_python(&buf, b.head);
    SRT_MemSys_set_allocator(std::malloc, std::realloc, std::free);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(a.head->meminfo, nullptr);
    EXPECT_EQ(b.head->meminfo, nullptr);
    sarvo_release_buffer(&buf);
    EXPECT_EQ(Py_REFCNT(array), before);
    Py_DECREF(array);
}

TEST(Adaptation, ZeroDimensionalArrayHasOneItem) {
    Gil gil;
    PyObject *array = eval("np.array(5.0)");
    Record3 rec{};
    ASSERT_EQ(SRT_adapt_ndarray_from_python(array, rec.head), 0);
    EXPECT_EQ(rec.head->nitems, 1);
    SRT_decref(static_cast<SRT_MemInfo *>(rec.head->meminfo));
    Py_DECREF(array);
}

TEST(Adaptation, RecordMayDieOnAThreadWithoutTheLock) {
    PyObject *array;
    Record3 rec{};
    Py_ssize_t before;
    {
        Gil gil;
        array = eval("np.zeros(4)");
        before = Py_REFCNT(array);
        ASSERT_EQ(SRT_adapt_ndarray_from_python(array, rec.head), 0);
    }
    std::thread([&] { SRT_decref(static_cast<SRT_MemInfo *>(rec.head->meminfo)); }).join();
    Gil gil;
    EXPECT_EQ(Py_REFCNT(array), before);
    Py_DECREF(array);
}

struct BackCase {
    const char *array;   // expression for the parent
    const char *record;  // expression for the array whose layout the record describes; null: the parent
    bool same_object;
};

class BackToPython : public ::testing::TestWithParam<BackCase> {};

TEST_P(BackToPython, ParentComesBackOnlyWhenTheRecordStillDescribesIt) {
    Gil gil;
    const BackCase &c = GetParam();
    PyObject *parent = eval(c.array);
    PyObject *described = c.record ? eval(c.record) : Py_NewRef(parent);
    Record3 rec{};
    ASSERT_EQ(SRT_adapt_ndarray_from_python(described, rec.head), 0);
    rec.head->parent = parent;  // the record claims this parent
    int ndim = PyArray_NDIM(reinterpret_cast<PyArrayObject *>(described));
    PyObject *out = SRT_adapt_ndarray_to_python_acqref(rec.head, &PyArray_Type, ndim, 0, dtype_of(described));
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(out == parent, c.same_object);
    if (!c.same_object) {
        auto *ndary = reinterpret_cast<PyArrayObject *>(out);
        EXPECT_EQ(PyArray_DATA(ndary), rec.head->data);
        EXPECT_EQ(std::memcmp(PyArray_DIMS(ndary), rec.head->shape_and_strides, ndim * sizeof(npy_intp)), 0);
        EXPECT_EQ(std::memcmp(PyArray_STRIDES(ndary), rec.head->shape_and_strides + ndim, ndim * sizeof(npy_intp)), 0);
        EXPECT_FALSE(PyArray_ISWRITEABLE(ndary));
        auto *want = reinterpret_cast<PyArrayObject *>(described);
        EXPECT_EQ(PyArray_IS_C_CONTIGUOUS(ndary), PyArray_IS_C_CONTIGUOUS(want));
        EXPECT_EQ(PyArray_IS_F_CONTIGUOUS(ndary), PyArray_IS_F_CONTIGUOUS(want));
        EXPECT_STREQ(Py_TYPE(PyArray_BASE(ndary))->tp_name, "_srt_python._MemInfo");
    }
    Py_DECREF(out);
    SRT_decref(static_cast<SRT_MemInfo *>(rec.head->meminfo));
    Py_DECREF(described);
    Py_DECREF(parent);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, BackToPython,
    ::testing::Values(BackCase{"np.zeros((3, 4), np.float32)", nullptr, true},
                      BackCase{"np.zeros((4, 3), np.float32)", "np.zeros((4, 3), np.float32).T", false},
                      BackCase{"np.zeros((3, 4), np.float32)", "np.zeros((3, 4), np.int32)", false},
                      // one difference at a time, over the parent's own memory
                      BackCase{"(b := np.zeros((2, 3, 4), np.float32))[0]", "b[1]", false},
                      BackCase{"(b := np.zeros((3, 4), np.float32))", "b.reshape(12)", false},
                      BackCase{"(b := np.zeros((3, 3), np.float32))", "b.T", false},
                      BackCase{"(b := np.zeros((4, 4), np.float32))[:3]", "b[:2]", false},
                      BackCase{"(b := np.zeros((4, 4), np.float32))[::2]", "b[:2]", false},
                      BackCase{"(b := np.zeros((4, 4), np.float32))[:, :3]", "b[:, :2]", false},
                      BackCase{"(b := np.zeros((3, 4), np.float32))", "b.view(np.int32)", false}));

TEST(BackToPython, KernelMadeRecordEndsOwnedByTheMemInfoObject) {
    Gil gil;
    Record3 rec{};
    SRT_MemInfo *mi = SRT_MemInfo_alloc_aligned(6 * sizeof(double), 32);
    rec.head->meminfo = mi;
    rec.head->nitems = 6;
    rec.head->itemsize = 8;
    rec.head->data = mi->data;
    int64_t layout[] = {2, 3, 24, 8};
    std::memcpy(rec.head->shape_and_strides, layout, sizeof layout);
    PyArray_Descr *f8 = PyArray_DescrFromType(NPY_FLOAT64);
    PyObject *out = SRT_adapt_ndarray_to_python_acqref(rec.head, &PyArray_Type, 2, 1, f8);
    ASSERT_NE(out, nullptr);
    SRT_decref(mi);  // what the entry wrapper does after boxing
    PyObject *base = PyArray_BASE(reinterpret_cast<PyArrayObject *>(out));
    PyObject *refcount = PyObject_GetAttrString(base, "refcount");
    PyObject *parent = PyObject_GetAttrString(base, "parent");
    EXPECT_EQ(PyLong_AsLong(refcount), 1);
    EXPECT_EQ(parent, Py_None);
    EXPECT_TRUE(PyArray_ISWRITEABLE(reinterpret_cast<PyArrayObject *>(out)));
    Py_DECREF(refcount);
    Py_DECREF(parent);
    Py_DECREF(out);
    Py_DECREF(f8);
}

// Python's object allocator refusing from its n-th block on (n = 0: the _MemInfo object, 1: the
// address handed to it): an error, the record's count untouched and every block given back.
TEST(BackToPython, MemInfoObjectThatCannotBeMadeLeavesTheRecordAlone) {
    Gil gil;
    Record3 rec{};
    SRT_MemInfo *mi = SRT_MemInfo_alloc(8);
    rec.head->meminfo = mi;
    rec.head->data = mi->data;
    rec.head->shape_and_strides[0] = 1;
    rec.head->shape_and_strides[1] = 8;
    PyArray_Descr *f8 = PyArray_DescrFromType(NPY_FLOAT64);
    for (int allowed : {0, 1}) {
        PyObject *out, *as_object = nullptr;
        {
            sarvo_test::RefusingPythonAllocator refusing(PYMEM_DOMAIN_OBJ, allowed);
            out = SRT_adapt_ndarray_to_python_acqref(rec.head, &PyArray_Type, 1, 1, f8);
            if (allowed == 0) as_object = SRT_meminfo_as_pyobject(mi);
            EXPECT_TRUE(sarvo_test::RefusingPythonAllocator::live.empty()) << allowed;
        }
        EXPECT_EQ(out, nullptr) << allowed;
        EXPECT_EQ(as_object, nullptr) << allowed;
        EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_MemoryError)) << allowed;
        PyErr_Clear();
        EXPECT_EQ(SRT_MemInfo_refcount(mi), 1u) << allowed;
    }
    SRT_decref(mi);
    Py_DECREF(f8);
}

TEST(BackToPython, RecordWithoutMemInfoGivesAnArrayWithoutBase) {
    Gil gil;
    double buffer[4] = {1, 2, 3, 4};
    Record3 rec{};
    rec.head->nitems = 4;
    rec.head->itemsize = 8;
    rec.head->data = buffer;
    rec.head->shape_and_strides[0] = 4;
    rec.head->shape_and_strides[1] = 8;
    PyArray_Descr *f8 = PyArray_DescrFromType(NPY_FLOAT64);
    PyObject *out = SRT_adapt_ndarray_to_python_acqref(rec.head, &PyArray_Type, 1, 1, f8);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(PyArray_BASE(reinterpret_cast<PyArrayObject *>(out)), nullptr);
    Py_DECREF(out);
    Py_DECREF(f8);
}

TEST(BackToPython, DescrMustBeADtype) {
    Gil gil;
    Record3 rec{};
    EXPECT_EQ(SRT_adapt_ndarray_to_python_acqref(rec.head, &PyArray_Type, 1, 1, nullptr), nullptr);
    EXPECT_EQ(sarvo_test::take_error(),
              std::make_pair(PyExc_RuntimeError, std::string("In 'SRT_adapt_ndarray_to_python', 'descr' is NULL")));
    PyObject *not_dtype = PyLong_FromLong(3);
    EXPECT_EQ(SRT_adapt_ndarray_to_python_acqref(rec.head, &PyArray_Type, 1, 1,
                                                 reinterpret_cast<PyArray_Descr *>(not_dtype)),
              nullptr);
    EXPECT_EQ(sarvo_test::take_error(),
              std::make_pair(PyExc_TypeError, std::string("expected dtype object, got 'int'")));
    Py_DECREF(not_dtype);
}

TEST(MemInfoObject, ExposesTheRecordAndItsBuffer) {
    Gil gil;
    PyObject *array = eval("np.arange(3.0)");
    SRT_MemInfo *mi = SRT_meminfo_new_from_pyobject(PyArray_DATA(reinterpret_cast<PyArrayObject *>(array)), array);
    PyObject *obj = SRT_meminfo_as_pyobject(mi);  // takes over our reference
    ASSERT_NE(obj, nullptr);
    PyObject *parent = PyObject_GetAttrString(obj, "parent");
    EXPECT_EQ(parent, array);
    Py_DECREF(parent);
    PyObject *r = PyObject_CallMethod(obj, "acquire", nullptr);
    Py_XDECREF(r);
    EXPECT_EQ(SRT_MemInfo_refcount(mi), 2u);
    r = PyObject_CallMethod(obj, "release", nullptr);
    Py_XDECREF(r);
    SRT_MemInfo *again = SRT_meminfo_from_pyobject(reinterpret_cast<MemInfoObject *>(obj));
    EXPECT_EQ(again, mi);
    EXPECT_EQ(SRT_MemInfo_refcount(mi), 2u);
    SRT_decref(again);
    PyObject *view = PyMemoryView_FromObject(obj);  // size 0: an empty writable byte buffer
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(PyObject_Length(view), 0);
    Py_DECREF(view);
    Py_DECREF(obj);
    Py_DECREF(array);
}

TEST(MemInfoObject, InvalidRecordRefcountRaises) {
    Gil gil;
    SRT_MemInfo *mi = SRT_MemInfo_new(nullptr, 0, nullptr, nullptr);
    PyObject *obj = SRT_meminfo_as_pyobject(mi);
    PyObject *refcount = PyObject_GetAttrString(obj, "refcount");
    EXPECT_EQ(refcount, nullptr);
    EXPECT_EQ(sarvo_test::take_error(),
              std::make_pair(PyExc_ValueError, std::string("invalid MemInfo")));
    Py_DECREF(obj);
}

TEST(MemInfoObject, FailedOrSkippedConstructionHoldsNoRecord) {
    Gil gil;
    for (const char *args : {"(s)", "()"}) {
        PyObject *obj = PyObject_CallFunction(reinterpret_cast<PyObject *>(&MemInfoType), args, "not an address");
        EXPECT_EQ(obj, nullptr) << args;
        EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_TypeError)) << args;
        PyErr_Clear();
    }
    PyObject *empty = PyTuple_New(0);
    PyObject *bare = MemInfoType.tp_new(&MemInfoType, empty, nullptr);  // __new__ without __init__
    EXPECT_EQ(SRT_meminfo_from_pyobject(reinterpret_cast<MemInfoObject *>(bare)), nullptr);
    EXPECT_EQ(PyMemoryView_FromObject(bare), nullptr);
    EXPECT_EQ(sarvo_test::take_error(), std::make_pair(PyExc_ValueError, std::string("invalid MemInfo")));
    Py_DECREF(bare);
    Py_DECREF(empty);
}

}  // namespace
