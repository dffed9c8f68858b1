// Native string concatenation, the decimal and tuple texts, and the dynamic ValueError record of
// a shape mismatch: its contents, its raising, and that every block it holds is released.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "core/runtime/srt.h"
#include "cpython/unicode.h"
#include "embedded_python.h"
#include "helperlib/excinfo_raise.h"
#include "np/shape_context.h"
#include "core/pickled_constants.h"

namespace {

using sarvo::UnicodeString;
namespace records = sarvo::records;

const char kArrayobj[] = "/tmp/build-env-w2mv4lac/lib/python3.11/site-packages/sarvo/np/arrayobj.py";

// Code units of each width, for strings of kind 1, 2 and 4.
const uint8_t kUnits1[] = {'a', 'b'};
const uint16_t kUnits2[] = {0x3A9, 'C'};
const uint32_t kUnits4[] = {0x1F600, 'D'};

UnicodeString borrowed(int32_t kind, int32_t is_ascii) {
    const void *data = kind == 1 ? static_cast<const void *>(kUnits1)
                       : kind == 2 ? static_cast<const void *>(kUnits2)
                                   : static_cast<const void *>(kUnits4);
    return UnicodeString{const_cast<void *>(data), 2, kind, is_ascii, -1, nullptr, nullptr};
}

std::vector<uint32_t> code_points(const UnicodeString &s, int64_t count) {
    std::vector<uint32_t> out;
    for (int64_t i = 0; i < count; ++i) {
        switch (s.kind) {
            case 1: out.push_back(static_cast<const uint8_t *>(s.data)[i]); break;
            case 2: out.push_back(static_cast<const uint16_t *>(s.data)[i]); break;
            default: out.push_back(static_cast<const uint32_t *>(s.data)[i]); break;
        }
    }
    return out;
}

std::string ascii(const UnicodeString &s) { return std::string(static_cast<const char *>(s.data), s.length); }

// Outstanding raw blocks and memory records, counted while statistics are on.
struct Outstanding {
    size_t blocks, records;
    static Outstanding now() {
        return {SRT_MemSys_get_stats_alloc() - SRT_MemSys_get_stats_free(),
                SRT_MemSys_get_stats_mi_alloc() - SRT_MemSys_get_stats_mi_free()};
    }
    bool operator==(const Outstanding &o) const { return blocks == o.blocks && records == o.records; }
};

// Statistics on for the test, with the previous setting restored afterwards.
class StatsOn {
  public:
    StatsOn() : was_enabled_(SRT_MemSys_stats_enabled() != 0) { SRT_MemSys_enable_stats(); }
    ~StatsOn() {
        if (!was_enabled_) SRT_MemSys_disable_stats();
    }

  private:
    bool was_enabled_;
};

// The C library's allocator, refusing every call after a budget of successful mallocs.
struct BudgetAllocator {
    static inline long budget = -1;  // negative: unlimited
    static inline size_t refused = 0;
    static void *malloc(size_t n) {
        if (budget == 0) {
            ++refused;
            return nullptr;
        }
        if (budget > 0) --budget;
        return std::malloc(n);
    }
};

class ShapeContextTest : public ::testing::Test {
  protected:
    void TearDown() override {
        // Swapped with statistics off: blocks made before the swap are still freed by std::free.
        const bool was = SRT_MemSys_stats_enabled() != 0;
        SRT_MemSys_disable_stats();
        SRT_MemSys_set_allocator(std::malloc, std::realloc, std::free);
        if (was) SRT_MemSys_enable_stats();
    }
    void limit_allocations(long budget) {
        const bool was = SRT_MemSys_stats_enabled() != 0;
        SRT_MemSys_disable_stats();
        BudgetAllocator::budget = budget;
        SRT_MemSys_set_allocator(BudgetAllocator::malloc, std::realloc, std::free);
        if (was) SRT_MemSys_enable_stats();
    }
    const excinfo_t *exc = nullptr;
};

// ---------------------------------------------------------------------------------------
// Concatenation.

struct KindCase {
    int32_t a_kind, a_ascii, b_kind, b_ascii, kind, is_ascii;
};

class ConcatKinds : public ::testing::TestWithParam<KindCase> {};

TEST_P(ConcatKinds, PicksTheWiderKindAndKeepsEveryCodePoint) {
    const KindCase c = GetParam();
    const UnicodeString a = borrowed(c.a_kind, c.a_ascii), b = borrowed(c.b_kind, c.b_ascii);
    const excinfo_t *exc = nullptr;
    UnicodeString out{};
    ASSERT_EQ(sarvo::unicode_concat(&out, &exc, a, b), sarvo::kOk);
    EXPECT_EQ(out.kind, c.kind);
    EXPECT_EQ(out.is_ascii, c.is_ascii);
    EXPECT_EQ(out.length, 4);
    EXPECT_EQ(out.hash, -1);
    EXPECT_EQ(out.parent, nullptr);
    ASSERT_NE(out.meminfo, nullptr);
    std::vector<uint32_t> expected = code_points(a, 2);
    const bool b_has_width = c.b_kind == 1 || c.b_kind == 2 || c.b_kind == 4;
    for (uint32_t cp : code_points(b, 2)) expected.push_back(b_has_width ? cp : 0);  // no width: code point 0
    // Narrowing never happens: the picked kind holds every code point of both sides.
    expected.push_back(0);
    EXPECT_EQ(code_points(out, 5), expected);
    SRT_decref(out.meminfo);
}

INSTANTIATE_TEST_SUITE_P(Pairs, ConcatKinds,
                         ::testing::Values(KindCase{1, 1, 1, 1, 1, 1}, KindCase{1, 1, 2, 0, 2, 0},
                                           KindCase{2, 0, 1, 1, 2, 0}, KindCase{1, 1, 4, 0, 4, 0},
                                           KindCase{4, 0, 1, 1, 4, 0}, KindCase{2, 0, 4, 0, 4, 0},
                                           KindCase{4, 0, 2, 0, 4, 0}, KindCase{2, 0, 2, 0, 2, 0},
                                           KindCase{1, 0, 1, 1, 1, 0}, KindCase{1, 1, 1, 0, 1, 0},
                                           KindCase{2, 0, 3, 0, 2, 0}));

struct KindFailure {
    int32_t a_kind, b_kind;
    const excinfo_t *record;
};

class ConcatRefusals : public ::testing::TestWithParam<KindFailure> {};

TEST_P(ConcatRefusals, FailWithTheKindAssertionAndLeaveTheResultAlone) {
    const KindFailure c = GetParam();
    const uint32_t units[2] = {'x', 'y'};
    const UnicodeString a{const_cast<uint32_t *>(units), 2, c.a_kind, 1, -1, nullptr, nullptr};
    const UnicodeString b{const_cast<uint32_t *>(units), 2, c.b_kind, 1, -1, nullptr, nullptr};
    const excinfo_t *exc = nullptr;
    UnicodeString out{reinterpret_cast<void *>(0x1234), 77, 9, 9, 9, nullptr, nullptr};
    EXPECT_EQ(sarvo::unicode_concat(&out, &exc, a, b), sarvo::kUserError);
    EXPECT_EQ(exc, c.record);
    EXPECT_EQ(out.length, 77);
}

INSTANTIATE_TEST_SUITE_P(Kinds, ConcatRefusals,
                         ::testing::Values(KindFailure{1, 3, &records::unicode_byte_width},
                                           KindFailure{3, 1, &records::unicode_pick_kind},
                                           KindFailure{0, 1, &records::unicode_wchar_kind},
                                           KindFailure{1, 0, &records::unicode_wchar_kind},
                                           KindFailure{4, 0, &records::unicode_wchar_kind},
                                           KindFailure{3, 0, &records::unicode_wchar_kind}));

TEST_F(ShapeContextTest, TwoEmptyStringsMakeAnEmptyStringWithItsTerminator) {
    const UnicodeString a{const_cast<char *>(""), 0, 1, 1, -1, nullptr, nullptr};
    const UnicodeString b{const_cast<uint16_t *>(kUnits2), 0, 2, 1, -1, nullptr, nullptr};
    UnicodeString out{};
    ASSERT_EQ(sarvo::unicode_concat(&out, &exc, a, b), sarvo::kOk);
    EXPECT_EQ(out.length, 0);
    EXPECT_EQ(out.kind, 2);
    EXPECT_EQ(out.is_ascii, 1);
    EXPECT_EQ(SRT_MemInfo_size(out.meminfo), 2u);
    EXPECT_EQ(code_points(out, 1), std::vector<uint32_t>{0});
    SRT_decref(out.meminfo);
}

TEST_F(ShapeContextTest, ConcatenationReportsARefusedAllocation) {
    limit_allocations(0);
    UnicodeString out{};
    EXPECT_EQ(sarvo::unicode_concat(&out, &exc, sarvo::constant_string("a"), sarvo::constant_string("b")),
              sarvo::kUserError);
    EXPECT_EQ(exc, &records::allocation_failed);
    EXPECT_EQ(out.meminfo, nullptr);
    // Lengths whose sum, or whose byte count (here 2^64 + 4, wrapping to 4), does not fit are
    // refused before anything is allocated or copied.
    limit_allocations(-1);
    for (int64_t length : {int64_t{1} << 61, std::numeric_limits<int64_t>::max()}) {
        const UnicodeString huge{const_cast<uint32_t *>(kUnits4), length, 4, 0, -1, nullptr, nullptr};
        exc = nullptr;
        EXPECT_EQ(sarvo::unicode_concat(&out, &exc, huge, huge), sarvo::kUserError);
        EXPECT_EQ(exc, &records::allocation_failed);
        EXPECT_EQ(out.meminfo, nullptr);
    }
}

// ---------------------------------------------------------------------------------------
// Decimal and tuple texts.

struct TextCase {
    int64_t value;
    const char *tuple;
};

class TupleTexts : public ::testing::TestWithParam<TextCase> {};

TEST_P(TupleTexts, WriteTheOneElementTuple) {
    const excinfo_t *exc = nullptr;
    UnicodeString text{};
    ASSERT_EQ(sarvo::tuple_text(&text, &exc, GetParam().value), sarvo::kOk);
    EXPECT_EQ(ascii(text), GetParam().tuple);
    EXPECT_EQ(text.kind, 1);
    EXPECT_EQ(text.is_ascii, 1);
    SRT_decref(text.meminfo);
}

INSTANTIATE_TEST_SUITE_P(Values, TupleTexts,
                         ::testing::Values(TextCase{0, "(0,)"}, TextCase{-7, "(-7,)"}, TextCase{10, "(10,)"},
                                           TextCase{5, "(5,)"}, TextCase{1000000, "(1000000,)"},
                                           TextCase{std::numeric_limits<int64_t>::max(), "(9223372036854775807,)"},
                                           TextCase{std::numeric_limits<int64_t>::min(),
                                                    "(-9223372036854775808,)"}));

TEST_F(ShapeContextTest, ZeroIsAConstantDigitAndOtherValuesOwnTheirText) {
    UnicodeString zero{}, seven{};
    ASSERT_EQ(sarvo::decimal_text(&zero, &exc, 0), sarvo::kOk);
    EXPECT_EQ(ascii(zero), "0");
    EXPECT_EQ(zero.meminfo, nullptr);
    EXPECT_EQ(zero.hash, -1);  // a constant's hash is not computed yet
    EXPECT_EQ(zero.is_ascii, 1);
    ASSERT_EQ(sarvo::decimal_text(&seven, &exc, -7), sarvo::kOk);
    EXPECT_EQ(ascii(seven), "-7");
    ASSERT_NE(seven.meminfo, nullptr);
    EXPECT_EQ(SRT_MemInfo_size(seven.meminfo), 3u);  // the text and its terminator
    EXPECT_EQ(static_cast<const char *>(seven.data)[2], '\0');
    SRT_decref(seven.meminfo);
}

// ---------------------------------------------------------------------------------------
// The dynamic record.

TEST_F(ShapeContextTest, RecordCarriesTheTemplateTheMessageAndItsBuilder) {
    ASSERT_EQ(sarvo::raise_with_shape_context(&exc, 3, 4), sarvo::kUserError);
    ASSERT_NE(exc, nullptr);
    EXPECT_EQ(exc->alloc_flag, 1);
    EXPECT_EQ(exc->data, records::shape_mismatch_template.data);
    EXPECT_EQ(exc->len, records::shape_mismatch_template.len);
    EXPECT_EQ(exc->func_ptr, reinterpret_cast<void *>(&sarvo_shape_message_args));
    const auto *block = static_cast<const UnicodeString *>(exc->hashbuf);
    EXPECT_EQ(ascii(*block), "cannot assign slice of shape (3,) from input of shape (4,)");
    EXPECT_EQ(SRT_MemInfo_refcount(block->meminfo), 1u);

    sarvo_test::Gil gil;
    sarvo_raise_excinfo(exc);  // frees the record, and through the builder the block and the text
    PyErr_Clear();
}

TEST_F(ShapeContextTest, RaisingGivesTheValueErrorAtItsLocationAndReleasesEverything) {
    StatsOn stats;
    const Outstanding before = Outstanding::now();
    ASSERT_EQ(sarvo::raise_with_shape_context(&exc, 3, 4), sarvo::kUserError);
    EXPECT_FALSE(Outstanding::now() == before);  // the record, the block and the text are held

    sarvo_test::Gil gil;
    sarvo_raise_excinfo(exc);
    EXPECT_EQ(Outstanding::now(), before);

    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    ASSERT_EQ(type, PyExc_ValueError);
    PyObject *args = PyObject_GetAttrString(value, "args");
    ASSERT_TRUE(args && PyTuple_Check(args) && PyTuple_GET_SIZE(args) == 1);
    EXPECT_STREQ(PyUnicode_AsUTF8(PyTuple_GET_ITEM(args, 0)),
                 "cannot assign slice of shape (3,) from input of shape (4,)");
    ASSERT_NE(tb, nullptr);
    auto *last = reinterpret_cast<PyTracebackObject *>(tb);
    while (last->tb_next) last = last->tb_next;
    PyCodeObject *code = PyFrame_GetCode(last->tb_frame);
    EXPECT_STREQ(PyUnicode_AsUTF8(code->co_name), "impl");
    EXPECT_STREQ(PyUnicode_AsUTF8(code->co_filename), kArrayobj);
    PyObject *line = PyObject_GetAttrString(reinterpret_cast<PyObject *>(last), "tb_lineno");
    ASSERT_NE(line, nullptr);
    EXPECT_EQ(PyLong_AsLong(line), 1661);
    Py_DECREF(line);
    Py_DECREF(code);
    Py_DECREF(args);
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
}

TEST_F(ShapeContextTest, BuilderReleasesTheBlockEvenWhenTheTextCannotBeMade) {
    StatsOn stats;
    const Outstanding before = Outstanding::now();
    SRT_MemInfo *mi = SRT_MemInfo_alloc(8);
    auto *block = static_cast<UnicodeString *>(SRT_Allocate(sizeof(UnicodeString)));
    ASSERT_TRUE(mi && block);
    *block = UnicodeString{mi->data, 2, 3, 0, -1, mi, nullptr};  // kind 3 has no Unicode object

    sarvo_test::Gil gil;
    EXPECT_EQ(sarvo_shape_message_args(block), nullptr);
    EXPECT_TRUE(PyErr_Occurred());
    PyErr_Clear();
    EXPECT_EQ(Outstanding::now(), before);
}

TEST_F(ShapeContextTest, BuilderReturnsTheMessageWithItsHashCached) {
    ASSERT_EQ(sarvo::raise_with_shape_context(&exc, 10, -7), sarvo::kUserError);
    void *block = const_cast<void *>(exc->hashbuf);
    SRT_Free(const_cast<excinfo_t *>(exc));

    sarvo_test::Gil gil;
    PyObject *args = sarvo_shape_message_args(block);
    ASSERT_NE(args, nullptr);
    ASSERT_EQ(PyTuple_GET_SIZE(args), 1);
    PyObject *text = PyTuple_GET_ITEM(args, 0);
    EXPECT_STREQ(PyUnicode_AsUTF8(text), "cannot assign slice of shape (10,) from input of shape (-7,)");
    EXPECT_NE(reinterpret_cast<PyASCIIObject *>(text)->hash, -1);
    EXPECT_EQ(Py_REFCNT(text), 1);  // the tuple's reference only
    Py_DECREF(args);
}

// Every allocation of the message, the block and the record refused in turn: the call reports
// MemoryError and leaves nothing allocated; with enough room it makes the dynamic record.
// A refused malloc still counts as an allocation, so the block count rises by exactly those.
TEST_F(ShapeContextTest, RefusedAllocationsGiveMemoryErrorAndLeakNothing) {
    StatsOn stats;
    bool reached_record = false;
    for (long budget = 0; budget < 40 && !reached_record; ++budget) {
        const Outstanding before = Outstanding::now();
        BudgetAllocator::refused = 0;
        limit_allocations(budget);
        exc = nullptr;
        ASSERT_EQ(sarvo::raise_with_shape_context(&exc, 123, 45), sarvo::kUserError);
        limit_allocations(-1);
        if (exc->alloc_flag > 0) {
            reached_record = true;
            sarvo_test::Gil gil;
            sarvo_raise_excinfo(exc);
            EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_ValueError));
            PyErr_Clear();
        } else {
            EXPECT_EQ(exc, &records::allocation_failed) << "budget " << budget;
        }
        const Outstanding after = Outstanding::now();
        EXPECT_EQ(after.blocks, before.blocks + BudgetAllocator::refused) << "budget " << budget;
        EXPECT_EQ(after.records, before.records) << "budget " << budget;
    }
    EXPECT_TRUE(reached_record);
}

}  // namespace
