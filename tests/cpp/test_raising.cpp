// Turning statuses and exception records into Python exceptions.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/runtime/srt.h"
#include "helperlib/excinfo_raise.h"
#include "core/pickled_constants.h"
#include "tests/cpp/embedded_python.h"
#include "tests/cpp/refusing_python_allocator.h"

namespace {

using sarvo_test::Gil;

// The pending exception's class name and str(), cleared afterwards.
std::pair<std::string, std::string> take_error() {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (!type) return {"", ""};
    PyErr_NormalizeException(&type, &value, &tb);
    std::string name = reinterpret_cast<PyTypeObject *>(type)->tp_name;
    PyObject *text = PyObject_Str(value);
    std::string message = text ? PyUnicode_AsUTF8(text) : "";
    Py_XDECREF(text);
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
    return {name, message};
}

struct StatusCase {
    int32_t status;
    const char *type;
    const char *message;
};

class StatusDispatch : public ::testing::TestWithParam<StatusCase> {};

TEST_P(StatusDispatch, EachStatusRaisesItsException) {
    Gil gil;
    const StatusCase &c = GetParam();
    EXPECT_EQ(sarvo_raise_status(c.status, &sarvo::records::division_by_zero), -1);
    auto [type, message] = take_error();
    EXPECT_EQ(type, c.type);
    EXPECT_EQ(message, c.message);
}

INSTANTIATE_TEST_SUITE_P(Statuses, StatusDispatch,
                         ::testing::Values(StatusCase{-7, "SystemError", "unknown error when calling native function"},
                                           StatusCase{-3, "StopIteration", ""},
                                           StatusCase{1, "ZeroDivisionError", "division by zero"},
                                           StatusCase{5, "ZeroDivisionError", "division by zero"}));

TEST(StatusDispatch, SuccessStatusesRaiseNothingAndPendingErrorsStand) {
    Gil gil;
    EXPECT_EQ(sarvo_raise_status(0, nullptr), 0);
    EXPECT_EQ(sarvo_raise_status(-2, nullptr), 0);
    EXPECT_FALSE(PyErr_Occurred());
    PyErr_SetString(PyExc_KeyError, "kept");
    EXPECT_EQ(sarvo_raise_status(-1, nullptr), -1);
    auto [type, message] = take_error();
    EXPECT_EQ(type, "KeyError");
}

using sarvo_test::eval;

struct RaiseCase {
    const char *packed;  // a Python expression
    const char *type;
    const char *message;
    int status;
};

class DoRaise : public ::testing::TestWithParam<RaiseCase> {};

TEST_P(DoRaise, PackedTriplesClassesAndInstances) {
    Gil gil;
    const RaiseCase &c = GetParam();
    PyObject *packed = eval(c.packed);
    ASSERT_NE(packed, nullptr);
    EXPECT_EQ(sarvo_do_raise(packed), c.status);
    auto [type, message] = take_error();
    EXPECT_EQ(type, c.type);
    EXPECT_EQ(message, c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Packed, DoRaise,
    ::testing::Values(RaiseCase{"(ValueError, ('bad',), None)", "ValueError", "bad", 1},
                      RaiseCase{"ValueError", "ValueError", "", 1},
                      RaiseCase{"KeyError('k')", "KeyError", "'k'", 0},
                      RaiseCase{"None", "RuntimeError", "No active exception to reraise", 0},
                      RaiseCase{"42", "TypeError", "exceptions must derive from BaseException", 0},
                      RaiseCase{"(int, (), None)", "TypeError", "exceptions must derive from BaseException", 0},
                      // a class that is no exception class is refused, never called
                      RaiseCase{"(dict, (1,), None)", "TypeError", "exceptions must derive from BaseException", 0},
                      RaiseCase{"(ValueError, ())", "TypeError", "function takes exactly 3 arguments (2 given)", 0}));

TEST(DoRaise, NoneReraisesTheExceptionBeingHandled) {
    Gil gil;
    PyObject *handled = eval("IndexError('inner')");
    PyErr_SetHandledException(handled);
    EXPECT_EQ(sarvo_do_raise(Py_NewRef(Py_None)), 1);
    PyErr_SetHandledException(nullptr);
    auto [type, message] = take_error();
    EXPECT_EQ(type, "IndexError");
    EXPECT_EQ(message, "inner");
    Py_DECREF(handled);
}

TEST(DoRaise, LocationAddsOneTracebackEntry) {
    Gil gil;
    PyObject *packed = eval("(AssertionError, (), ('kern', '/src/file.py', 77))");
    sarvo_do_raise(packed);
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    ASSERT_NE(tb, nullptr);
    PyObject *frame = PyObject_GetAttrString(tb, "tb_frame");
    PyObject *code = PyObject_GetAttrString(frame, "f_code");
    PyObject *name = PyObject_GetAttrString(code, "co_name");
    PyObject *file = PyObject_GetAttrString(code, "co_filename");
    PyObject *line = PyObject_GetAttrString(tb, "tb_lineno");
    EXPECT_STREQ(PyUnicode_AsUTF8(name), "kern");
    EXPECT_STREQ(PyUnicode_AsUTF8(file), "/src/file.py");
    EXPECT_EQ(PyLong_AsLong(line), 77);
    PyObject *next = PyObject_GetAttrString(tb, "tb_next");
    EXPECT_EQ(next, Py_None);
    for (PyObject *o : {frame, code, name, file, line, next}) Py_XDECREF(o);
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
}

TEST(DoRaise, RecordWithoutLocationAddsNoTraceback) {
    Gil gil;
    sarvo_raise_excinfo(&sarvo::records::division_by_zero);
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    EXPECT_EQ(type, PyExc_ZeroDivisionError);
    EXPECT_EQ(tb, nullptr);
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
}

TEST(UnresolvedSymbol, FailsWithItsRuntimeError) {
    Gil gil;
    const excinfo_t *record = nullptr;
    int32_t status = srt_unresolved_abort(nullptr, &record);
    EXPECT_EQ(status, 1);
    sarvo_raise_status(status, record);
    auto [type, message] = take_error();
    EXPECT_EQ(type, "RuntimeError");
    EXPECT_EQ(message, "sarvo jitted function aborted due to unresolved symbol");
}

// A dynamic record over the shape-mismatch template whose argument builder is `builder`; the
// raising sequence frees it.
excinfo_t *dynamic_record(excinfo_arg_builder builder) {
    auto *record = static_cast<excinfo_t *>(SRT_Allocate(sizeof(excinfo_t)));
    *record = sarvo::records::shape_mismatch_template;
    record->hashbuf = nullptr;
    record->func_ptr = reinterpret_cast<void *>(builder);
    record->alloc_flag = 1;
    return record;
}

// Python's count of allocated blocks: a step of one per call betrays a leak.
Py_ssize_t allocated_blocks() {
    PyObject *n = sarvo_test::eval("__import__('sys').getallocatedblocks()");
    const Py_ssize_t v = PyLong_AsSsize_t(n);
    Py_DECREF(n);
    return v;
}

TEST(DynamicRecord, FailingBuilderGivesTheRuntimeErrorAndFreesTheRecord) {
    Gil gil;
    sarvo_raise_excinfo(dynamic_record([](void *) -> PyObject * { return nullptr; }));
    auto [type, message] = take_error();
    EXPECT_EQ(type, "RuntimeError");
    EXPECT_EQ(message, "Error creating Python tuple from runtime exception arguments");
    auto fail = [] {
        sarvo_raise_excinfo(dynamic_record([](void *) -> PyObject * { return nullptr; }));
        PyErr_Clear();
    };
    for (int i = 0; i < 100; ++i) fail();
    const Py_ssize_t before = allocated_blocks();  // and the static part read so far is given back
    for (int i = 0; i < 200; ++i) fail();
    EXPECT_LT(allocated_blocks() - before, 100);
}

TEST(DynamicRecord, BuilderValuesReplaceThePlaceholders) {
    Gil gil;
    sarvo_raise_excinfo(dynamic_record([](void *) -> PyObject * { return Py_BuildValue("(s)", "msg"); }));
    auto [type, message] = take_error();
    EXPECT_EQ(type, "ValueError");
    EXPECT_EQ(message, "msg");
}

// The static part unpickled, its placeholders filled in order by the run-time values; a static
// part or values of another shape are refused.
struct BuildCase {
    const char *packed, *values;
    const char *expected;  // null: refused as malformed
};

class BuildRecord : public ::testing::TestWithParam<BuildCase> {};

TEST_P(BuildRecord, PlaceholdersTakeTheValuesInOrder) {
    Gil gil;
    const BuildCase &c = GetParam();
    PyObject *bytes = eval((std::string("__import__('pickle').dumps(") + c.packed + ")").c_str());
    PyObject *values = eval(c.values);
    ASSERT_TRUE(bytes && values);
    PyObject *out = sarvo_runtime_build_excinfo_struct(bytes, values);
    if (c.expected) {
        PyObject *want = eval(c.expected);
        ASSERT_NE(out, nullptr);
        EXPECT_EQ(PyObject_RichCompareBool(out, want, Py_EQ), 1);
        Py_DECREF(want);
    } else {
        EXPECT_EQ(out, nullptr);
        EXPECT_EQ(take_error(), std::make_pair(std::string("TypeError"), std::string("malformed exception record")));
    }
    Py_XDECREF(out);
    Py_DECREF(values);
    Py_DECREF(bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, BuildRecord,
    ::testing::Values(BuildCase{"(ValueError, ('a', None, 'c', None), 7)", "('x',)",
                                "(ValueError, ('a', 'x', 'c', None), 7)"},
                      BuildCase{"(ValueError, (None, None), None)", "('x', 'y', 'z')", "(ValueError, ('x', 'y'), None)"},
                      BuildCase{"(ValueError, (None,), None, 4)", "()", nullptr},
                      BuildCase{"(ValueError, (None,))", "()", nullptr},
                      BuildCase{"(ValueError, 'a', None)", "()", nullptr},
                      BuildCase{"[ValueError, (None,), None]", "()", nullptr},
                      BuildCase{"(ValueError, (None,), None)", "['x']", nullptr}));

// Each unpickling gives back the bytes object it read from, and each built record the static
// part and the filled-in arguments: 200 calls keep no 100 blocks.
TEST(BuildRecord, UnpicklingKeepsNoBlock) {
    Gil gil;
    PyObject *bytes = eval("__import__('pickle').dumps((ValueError, ('a', None), None))");
    PyObject *values = eval("('x',)");
    ASSERT_TRUE(bytes && values);
    auto once = [&] {
        Py_XDECREF(sarvo_unpickle(PyBytes_AS_STRING(bytes), static_cast<int32_t>(PyBytes_GET_SIZE(bytes)), nullptr));
        Py_XDECREF(sarvo_runtime_build_excinfo_struct(bytes, values));
    };
    for (int i = 0; i < 100; ++i) once();  // imports pickle, keeps its loads function, fills free lists
    const Py_ssize_t before = allocated_blocks();
    for (int i = 0; i < 200; ++i) once();
    EXPECT_LT(allocated_blocks() - before, 100);
    Py_DECREF(values);
    Py_DECREF(bytes);
}

// Python's object allocator refusing at each step of the building in turn: an error each time
// and success once memory suffices. The last two steps are the builder's own (the filled-in
// arguments, the packed record, both after a whole unpickling): refused there, nothing is kept.
// (Python itself may keep a little when refused inside the unpickling, which is not counted.)
TEST(BuildRecord, EachRefusedAllocationGivesAnErrorAndKeepsNothing) {
    Gil gil;
    PyObject *bytes = eval("__import__('pickle').dumps((ValueError, ('a', None), 7))");
    PyObject *values = eval("('x',)");
    ASSERT_TRUE(bytes && values);
    // Small tuples come from free lists, which no allocator sees: held empty during each call.
    std::vector<PyObject *> held;
    auto attempt = [&](int n) {
        for (int i = 0; i < 3 * 2100; ++i) held.push_back(PyTuple_New(1 + i % 3));  // lists keep 2000 each
        PyObject *out;
        {
            sarvo_test::RefusingPythonAllocator refusing(PYMEM_DOMAIN_OBJ, n);
            out = sarvo_runtime_build_excinfo_struct(bytes, values);
        }
        for (PyObject *t : held) Py_DECREF(t);
        held.clear();
        if (out) {
            Py_DECREF(out);
            return true;
        }
        EXPECT_NE(PyErr_Occurred(), nullptr) << n;
        PyErr_Clear();
        return false;
    };
    auto sweep = [&] {
        int n = 0;
        while (!attempt(n)) ++n;
        return n;
    };
    sweep();  // the first run also fills caches
    const int needed = sweep();
    ASSERT_GT(needed, 1);
    // Blocks gained over 20 rounds of two attempts; rounds that succeed are the control (the
    // interpreter's own bookkeeping gains a block now and then either way).
    auto gained = [&](int first, int second, bool succeed) {
        const Py_ssize_t before = allocated_blocks();
        for (int i = 0; i < 20; ++i) {
            EXPECT_EQ(attempt(first), succeed);
            EXPECT_EQ(attempt(second), succeed);
        }
        return allocated_blocks() - before;
    };
    const Py_ssize_t control = gained(needed, needed + 1, true);
    EXPECT_LT(gained(needed - 2, needed - 1, false) - control, 20);  // a kept record is 2 blocks or more
    Py_DECREF(values);
    Py_DECREF(bytes);
}

}  // namespace
