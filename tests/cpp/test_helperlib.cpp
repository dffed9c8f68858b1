// The numeric helper functions: math wrappers against the C library, the helpers with rules
// of their own, and the conversions between Python objects and native values.
#include <errno.h>
#include <math.h>
#include <stdint.h>
#include <string.h>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "helperlib/_helperlib.h"
#include "embedded_python.h"

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr float kInfF = std::numeric_limits<float>::infinity();
constexpr float kNaNF = std::numeric_limits<float>::quiet_NaN();

// Same value in the strict sense: NaN matches NaN, and +0 does not match -0.
bool same(double a, double b) {
    if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
    return a == b && std::signbit(a) == std::signbit(b);
}

// ---------------------------------------------------------------------------------------
// Math wrappers against the library, over special values, errno included.

struct UnaryCase {
    const char *name;
    double (*wrap)(double);
    double (*lib)(double);
    float (*wrapf)(float);
    float (*libf)(float);
};

struct BinaryCase {
    const char *name;
    double (*wrap)(double, double);
    double (*lib)(double, double);
    float (*wrapf)(float, float);
    float (*libf)(float, float);
};

#define UNARY_ROW(root, lib)                                                             \
    {#root, sarvo_##root, static_cast<double (*)(double)>(::lib), sarvo_##root##f, \
     static_cast<float (*)(float)>(::lib##f)},
#define BINARY_ROW(root, lib)                                                                   \
    {#root, sarvo_##root, static_cast<double (*)(double, double)>(::lib), sarvo_##root##f, \
     static_cast<float (*)(float, float)>(::lib##f)},
const UnaryCase kUnary[] = {SARVO_MATH_UNARY(UNARY_ROW)};
const BinaryCase kBinary[] = {SARVO_MATH_BINARY(BINARY_ROW)};
#undef UNARY_ROW
#undef BINARY_ROW

// Zeros of both signs, subnormals, halfway points, poles, domain edges, overflow points.
const double kSpecial[] = {0.0,  -0.0,   1.0,    -1.0,   0.5,     -0.5,    2.5,     -2.5,
                           3.0,  -3.0,   1e-310, -1e-310, 1e-5,   0.75,    1.5,     100.0,
                           -100.0, 171.7, 710.0, -710.0, 1e308,   -1e308,  kInf,    -kInf,
                           kNaN, -kNaN};
const double kSpecialPair[] = {0.0, -0.0, 1.0, -1.0, 0.5, 2.0, -2.5, 1e308, 1e-310, kInf, -kInf, kNaN};

template <typename T, typename F, typename... A>
std::pair<T, int> with_errno(F f, A... args) {
    errno = 0;
    T r = f(args...);
    return {r, errno};
}

class MathWrapperUnary : public ::testing::TestWithParam<UnaryCase> {};

TEST_P(MathWrapperUnary, MatchesLibraryValueAndErrno) {
    const UnaryCase &c = GetParam();
    for (double x : kSpecial) {
        auto got = with_errno<double>(c.wrap, x);
        auto want = with_errno<double>(c.lib, x);
        EXPECT_TRUE(same(got.first, want.first)) << c.name << "(" << x << ") = " << got.first
                                                 << ", library " << want.first;
        EXPECT_EQ(got.second, want.second) << "errno of " << c.name << "(" << x << ")";

        float xf = static_cast<float>(x);
        auto gotf = with_errno<float>(c.wrapf, xf);
        auto wantf = with_errno<float>(c.libf, xf);
        EXPECT_TRUE(same(gotf.first, wantf.first)) << c.name << "f(" << xf << ") = " << gotf.first
                                                   << ", library " << wantf.first;
        EXPECT_EQ(gotf.second, wantf.second) << "errno of " << c.name << "f(" << xf << ")";
    }
}

INSTANTIATE_TEST_SUITE_P(AllWrappers, MathWrapperUnary, ::testing::ValuesIn(kUnary),
                         [](const auto &info) { return std::string(info.param.name); });

class MathWrapperBinary : public ::testing::TestWithParam<BinaryCase> {};

TEST_P(MathWrapperBinary, MatchesLibraryValueAndErrno) {
    const BinaryCase &c = GetParam();
    for (double x : kSpecialPair) {
        for (double y : kSpecialPair) {
            auto got = with_errno<double>(c.wrap, x, y);
            auto want = with_errno<double>(c.lib, x, y);
            EXPECT_TRUE(same(got.first, want.first)) << c.name << "(" << x << ", " << y << ")";
            EXPECT_EQ(got.second, want.second) << "errno of " << c.name << "(" << x << ", " << y << ")";

            float xf = static_cast<float>(x), yf = static_cast<float>(y);
            auto gotf = with_errno<float>(c.wrapf, xf, yf);
            auto wantf = with_errno<float>(c.libf, xf, yf);
            EXPECT_TRUE(same(gotf.first, wantf.first)) << c.name << "f(" << xf << ", " << yf << ")";
            EXPECT_EQ(gotf.second, wantf.second) << "errno of " << c.name << "f(" << xf << ", " << yf << ")";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(AllWrappers, MathWrapperBinary, ::testing::ValuesIn(kBinary),
                         [](const auto &info) { return std::string(info.param.name); });

// The one wrapper whose library call is easy to lose to an inlined instruction.
TEST(MathWrapperKnown, SqrtOfNegativeSetsEdom) {
    auto r = with_errno<double>(sarvo_sqrt, -1.0);
    EXPECT_TRUE(std::isnan(r.first));
    EXPECT_EQ(r.second, EDOM);
    auto rf = with_errno<float>(sarvo_sqrtf, -4.0f);
    EXPECT_TRUE(std::isnan(rf.first));
    EXPECT_EQ(rf.second, EDOM);
    EXPECT_EQ(sarvo_sqrt(2.25), 1.5);
}

// ---------------------------------------------------------------------------------------
// Helpers with their own rules.

int fnclex_calls = 0;
void count_fnclex() { fnclex_calls++; }

TEST(FixedFmod, CallsInstalledRoutineThenFmod) {
    sarvo_set_fnclex(reinterpret_cast<void *>(&count_fnclex));
    fnclex_calls = 0;
    EXPECT_EQ(sarvo_fixed_fmod(7.5, 2.0), 1.5);
    EXPECT_EQ(sarvo_fixed_fmodf(-7.5f, 2.0f), -1.5f);
    EXPECT_EQ(fnclex_calls, 2);
    sarvo_set_fnclex(nullptr);
}

TEST(FixedFmod, WithoutRoutineStillComputesFmod) {
    sarvo_set_fnclex(nullptr);
    EXPECT_EQ(sarvo_fixed_fmod(7.5, -2.0), 1.5);
    EXPECT_TRUE(std::isnan(sarvo_fixed_fmodf(1.0f, 0.0f)));
}

struct SignedDivCase {
    int64_t a, b, q, r;
};

class SignedDivision : public ::testing::TestWithParam<SignedDivCase> {};

TEST_P(SignedDivision, TruncatesAndKeepsIdentity) {
    const auto &c = GetParam();
    EXPECT_EQ(sarvo_sdiv(c.a, c.b), c.q);
    EXPECT_EQ(sarvo_srem(c.a, c.b), c.r);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SignedDivision,
    ::testing::Values(SignedDivCase{7, 2, 3, 1}, SignedDivCase{-7, 2, -3, -1}, SignedDivCase{7, -2, -3, 1},
                      SignedDivCase{-7, -2, 3, -1}, SignedDivCase{INT64_MAX, 1, INT64_MAX, 0},
                      SignedDivCase{INT64_MIN, 2, INT64_MIN / 2, 0},
                      // Left open by the calling convention; these never trap.
                      SignedDivCase{INT64_MIN, -1, INT64_MIN, 0}, SignedDivCase{5, -1, -5, 0},
                      SignedDivCase{5, 0, 0, 5}, SignedDivCase{-5, 0, 0, -5}));

TEST(UnsignedDivision, QuotientRemainderAndZeroDivisor) {
    EXPECT_EQ(sarvo_udiv(UINT64_MAX, 2), UINT64_MAX >> 1);
    EXPECT_EQ(sarvo_urem(UINT64_MAX, 2), 1u);
    EXPECT_EQ(sarvo_udiv(10, 3), 3u);
    EXPECT_EQ(sarvo_urem(10, 3), 1u);
    EXPECT_EQ(sarvo_udiv(10, 0), 0u);
    EXPECT_EQ(sarvo_urem(10, 0), 10u);
}

struct FrexpCase {
    double x, mant;
    int exp;
};

class Frexp : public ::testing::TestWithParam<FrexpCase> {};

TEST_P(Frexp, ShortCutsAndLibrary) {
    const auto &c = GetParam();
    int e = 12345;
    EXPECT_TRUE(same(sarvo_frexp(c.x, &e), c.mant)) << c.x;
    EXPECT_EQ(e, c.exp) << c.x;
    int ef = 12345;
    EXPECT_TRUE(same(sarvo_frexpf(static_cast<float>(c.x), &ef), static_cast<float>(c.mant))) << c.x;
    EXPECT_EQ(ef, c.exp) << c.x;
}

INSTANTIATE_TEST_SUITE_P(Cases, Frexp,
                         ::testing::Values(FrexpCase{0.0, 0.0, 0}, FrexpCase{-0.0, -0.0, 0},
                                           FrexpCase{kInf, kInf, 0}, FrexpCase{-kInf, -kInf, 0},
                                           FrexpCase{kNaN, kNaN, 0}, FrexpCase{8.0, 0.5, 4},
                                           FrexpCase{-3.0, -0.75, 2}, FrexpCase{0.25, 0.5, -1}));

struct LdexpCase {
    double x;
    int exp;
    double want;
};

class Ldexp : public ::testing::TestWithParam<LdexpCase> {};

TEST_P(Ldexp, ShortCutsAndLibrary) {
    const auto &c = GetParam();
    EXPECT_TRUE(same(sarvo_ldexp(c.x, c.exp), c.want)) << c.x << " " << c.exp;
    EXPECT_TRUE(same(sarvo_ldexpf(static_cast<float>(c.x), c.exp), static_cast<float>(c.want)))
        << c.x << " " << c.exp;
}

INSTANTIATE_TEST_SUITE_P(Cases, Ldexp,
                         ::testing::Values(LdexpCase{3.0, 0, 3.0}, LdexpCase{0.0, 5, 0.0},
                                           LdexpCase{-0.0, 5, -0.0}, LdexpCase{1.0, 3, 8.0},
                                           LdexpCase{-kInf, -4, -kInf}, LdexpCase{kNaN, 2, kNaN},
                                           LdexpCase{6.0, -1, 3.0}));

// The short-cut means the library is not reached: no ERANGE for an infinite input.
TEST(Ldexp, ShortCutLeavesErrnoAlone) {
    errno = 0;
    EXPECT_EQ(sarvo_ldexp(kInf, 2000), kInf);
    EXPECT_EQ(errno, 0);
    errno = 0;
    EXPECT_EQ(sarvo_ldexp(1.0, 2000), kInf);
    EXPECT_EQ(errno, ERANGE);
}

TEST(Cpow, ZeroBaseToNegativeOrComplexPowerIsNaN) {
    const Py_complex exponents[] = {{-1.0, 0.0}, {0.0, 1.0}, {-2.5, 0.5}};
    for (Py_complex b : exponents) {
        Py_complex a = {0.0, 0.0}, out = {1.0, 1.0};
        sarvo_cpow(&a, &b, &out);
        EXPECT_TRUE(std::isnan(out.real) && std::isnan(out.imag)) << b.real << "+" << b.imag << "j";

        float _Complex af = 0.0f, bf, outf = 1.0f;
        __real__ bf = static_cast<float>(b.real);
        __imag__ bf = static_cast<float>(b.imag);
        sarvo_cpowf(&af, &bf, &outf);
        EXPECT_TRUE(std::isnan(__real__ outf) && std::isnan(__imag__ outf));
    }
}

TEST(Cpow, OrdinaryPowers) {
    Py_complex a = {2.0, 0.0}, b = {3.0, 0.0}, out;
    sarvo_cpow(&a, &b, &out);
    EXPECT_EQ(out.real, 8.0);
    EXPECT_EQ(out.imag, 0.0);
    Py_complex i = {0.0, 1.0}, two = {2.0, 0.0};
    sarvo_cpow(&i, &two, &out);
    EXPECT_EQ(out.real, -1.0);
    EXPECT_NEAR(out.imag, 0.0, 1e-15);

    float _Complex af = 2.0f, bf = 0.5f, outf;
    sarvo_cpowf(&af, &bf, &outf);
    EXPECT_EQ(__real__ outf, static_cast<float>(std::sqrt(2.0)));
    EXPECT_EQ(__imag__ outf, 0.0f);
}

// (1e30 + 1e30j)^2 = 2e60j: finite in double, but the imaginary part overflows to inf when
// narrowed, and the real part (exactly 0) then becomes 0 + 0 * inf = NaN.
TEST(Cpow, FloatRealPartTakesNaNFromInfiniteImaginary) {
    float _Complex a, b = 2.0f, out;
    __real__ a = 1e30f;
    __imag__ a = 1e30f;
    sarvo_cpowf(&a, &b, &out);
    EXPECT_EQ(__imag__ out, kInfF);
    EXPECT_TRUE(std::isnan(__real__ out));
}

TEST(Fptoui, SignedTruncationReadAsUnsigned) {
    EXPECT_EQ(sarvo_fptoui(-1.0), UINT64_MAX);
    EXPECT_EQ(sarvo_fptoui(3.9), 3u);
    EXPECT_EQ(sarvo_fptoui(-3.9), static_cast<uint64_t>(-3));
    EXPECT_EQ(sarvo_fptoui(-9223372036854775808.0), 0x8000000000000000ull);
    EXPECT_EQ(sarvo_fptouif(-1.0f), UINT64_MAX);
    EXPECT_EQ(sarvo_fptouif(7.5f), 7u);
}

TEST(Fptoui, OutOfRangeGivesIndefinite) {
    const double outside[] = {1e300, -1e300, 9223372036854775808.0, kInf, -kInf, kNaN};
    for (double x : outside) EXPECT_EQ(sarvo_fptoui(x), 0x8000000000000000ull) << x;
    EXPECT_EQ(sarvo_fptouif(1e30f), 0x8000000000000000ull);
    EXPECT_EQ(sarvo_fptouif(kNaNF), 0x8000000000000000ull);
}

// ---------------------------------------------------------------------------------------
// Python object conversions.

// Owns one reference.
struct Obj {
    PyObject *p;
    explicit Obj(PyObject *o = nullptr) : p(o) {}
    ~Obj() { Py_XDECREF(p); }
    Obj(const Obj &) = delete;
    Obj &operator=(const Obj &) = delete;
};

using sarvo_test::eval;

using sarvo_test::take_error;

struct AdaptorCase {
    const char *expr;
    double real, imag;
};

class ComplexAdaptor : public ::testing::TestWithParam<AdaptorCase> {};

TEST_P(ComplexAdaptor, ConvertsNumbers) {
    sarvo_test::Gil gil;
    Obj obj(eval(GetParam().expr));
    ASSERT_NE(obj.p, nullptr);
    Py_complex out = {-9.0, -9.0};
    EXPECT_EQ(sarvo_complex_adaptor(obj.p, &out), 1);
    EXPECT_FALSE(PyErr_Occurred());
    EXPECT_EQ(out.real, GetParam().real);
    EXPECT_EQ(out.imag, GetParam().imag);
}

INSTANTIATE_TEST_SUITE_P(Cases, ComplexAdaptor,
                         ::testing::Values(AdaptorCase{"3", 3.0, 0.0}, AdaptorCase{"1.5-2j", 1.5, -2.0},
                                           AdaptorCase{"np.complex64(1.5+2.5j)", 1.5, 2.5},
                                           AdaptorCase{"np.clongdouble(0.25-4j)", 0.25, -4.0},
                                           AdaptorCase{"np.complex128(-1+1j)", -1.0, 1.0},
                                           AdaptorCase{"np.float32(0.5)", 0.5, 0.0},
                                           AdaptorCase{"True", 1.0, 0.0}));

TEST(ComplexAdaptorErrors, StringAndNoneFailWithFloatConversionError) {
    sarvo_test::Gil gil;
    Py_complex out;
    Obj text(PyUnicode_FromString("not a number"));
    EXPECT_EQ(sarvo_complex_adaptor(text.p, &out), 0);
    auto err = take_error();
    EXPECT_EQ(err.first, PyExc_ValueError);
    EXPECT_NE(err.second.find("not a number"), std::string::npos);

    EXPECT_EQ(sarvo_complex_adaptor(Py_None, &out), 0);
    EXPECT_EQ(take_error().first, PyExc_TypeError);
}

TEST(NpDatetime, ExtractReadsValue) {
    sarvo_test::Gil gil;
    Obj dt(eval("np.datetime64(1234, 'D')"));
    Obj td(eval("np.timedelta64(-77, 'ms')"));
    EXPECT_EQ(sarvo_extract_np_datetime(dt.p), 1234);
    EXPECT_EQ(sarvo_extract_np_timedelta(td.p), -77);
    EXPECT_FALSE(PyErr_Occurred());
}

TEST(NpDatetime, ExtractRejectsOtherTypes) {
    sarvo_test::Gil gil;
    Obj dt(eval("np.datetime64(1, 's')"));
    Obj td(eval("np.timedelta64(1, 's')"));
    Obj num(PyLong_FromLong(5));

    EXPECT_EQ(sarvo_extract_np_datetime(td.p), -1);
    auto err = take_error();
    EXPECT_EQ(err.first, PyExc_TypeError);
    EXPECT_EQ(err.second, "expected a numpy.datetime64 object");

    EXPECT_EQ(sarvo_extract_np_timedelta(dt.p), -1);
    err = take_error();
    EXPECT_EQ(err.first, PyExc_TypeError);
    EXPECT_EQ(err.second, "expected a numpy.timedelta64 object");

    EXPECT_EQ(sarvo_extract_np_datetime(num.p), -1);
    EXPECT_EQ(take_error().first, PyExc_TypeError);
}

TEST(NpDatetime, CreateMakesScalarsWithUnit) {
    sarvo_test::Gil gil;
    Obj dt(sarvo_create_np_datetime(17, 4));   // unit code 4: days
    Obj td(sarvo_create_np_timedelta(-3, 7));  // unit code 7: seconds
    ASSERT_NE(dt.p, nullptr);
    ASSERT_NE(td.p, nullptr);
    Obj want_dt(eval("np.datetime64(17, 'D')"));
    Obj want_td(eval("np.timedelta64(-3, 's')"));
    EXPECT_EQ(PyObject_RichCompareBool(dt.p, want_dt.p, Py_EQ), 1);
    EXPECT_EQ(PyObject_RichCompareBool(td.p, want_td.p, Py_EQ), 1);
    // The day and its unit, as NumPy itself spells them (its repr's prefix differs between versions).
    Obj dt_str(PyObject_Str(dt.p)), dt_repr(PyObject_Repr(dt.p)), want_repr(PyObject_Repr(want_dt.p));
    EXPECT_STREQ(PyUnicode_AsUTF8(dt_str.p), "1970-01-18");
    EXPECT_STREQ(PyUnicode_AsUTF8(dt_repr.p), PyUnicode_AsUTF8(want_repr.p));
    EXPECT_EQ(sarvo_extract_np_datetime(dt.p), 17);
    EXPECT_EQ(sarvo_extract_np_timedelta(td.p), -3);
}

TEST(PyType, ReturnsBorrowedType) {
    sarvo_test::Gil gil;
    Obj obj(PyList_New(0));
    Py_ssize_t before = Py_REFCNT(&PyList_Type);
    EXPECT_EQ(sarvo_py_type(obj.p), reinterpret_cast<PyObject *>(&PyList_Type));
    EXPECT_EQ(Py_REFCNT(&PyList_Type), before);
}

struct SliceCase {
    const char *expr;
    Py_ssize_t start, stop, step;
};

class UnpackSlice : public ::testing::TestWithParam<SliceCase> {};

TEST_P(UnpackSlice, DefaultsFollowStepSign) {
    sarvo_test::Gil gil;
    const auto &c = GetParam();
    Obj s(eval(c.expr));
    ASSERT_NE(s.p, nullptr);
    Py_ssize_t start = -7, stop = -7, step = -7;
    ASSERT_EQ(sarvo_unpack_slice(s.p, &start, &stop, &step), 0);
    EXPECT_EQ(start, c.start);
    EXPECT_EQ(stop, c.stop);
    EXPECT_EQ(step, c.step);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UnpackSlice,
    ::testing::Values(SliceCase{"slice(None)", 0, INT64_MAX, 1},
                      SliceCase{"slice(None, None, -1)", INT64_MAX, INT64_MIN, -1},
                      SliceCase{"slice(None, None, 0)", INT64_MAX, INT64_MIN, 0},
                      SliceCase{"slice(-3, 100, 2)", -3, 100, 2},
                      SliceCase{"slice(5, None, -2)", 5, INT64_MIN, -2},
                      SliceCase{"slice(None, 4)", 0, 4, 1},
                      SliceCase{"slice(np.int16(2), np.uint8(9), True)", 2, 9, 1}));

TEST(UnpackSliceErrors, NonSliceNamesItsType) {
    sarvo_test::Gil gil;
    Py_ssize_t a, b, c;
    Obj list(PyList_New(0));
    EXPECT_EQ(sarvo_unpack_slice(list.p, &a, &b, &c), -1);
    auto err = take_error();
    EXPECT_EQ(err.first, PyExc_TypeError);
    EXPECT_EQ(err.second, "Expected a slice object, got 'list'");
}

TEST(UnpackSliceErrors, ConversionErrorsPropagate) {
    sarvo_test::Gil gil;
    Py_ssize_t a, b, c;
    Obj huge(eval("slice(0, 2**70)"));
    EXPECT_EQ(sarvo_unpack_slice(huge.p, &a, &b, &c), -1);
    EXPECT_EQ(take_error().first, PyExc_OverflowError);
    Obj text(eval("slice('a', 3)"));
    EXPECT_EQ(sarvo_unpack_slice(text.p, &a, &b, &c), -1);
    EXPECT_EQ(take_error().first, PyExc_TypeError);
}

struct UnicodeCase {
    const char *utf8;
    Py_ssize_t length;
    int kind;
    unsigned ascii;
    uint32_t first;
};

class ExtractUnicode : public ::testing::TestWithParam<UnicodeCase> {};

TEST_P(ExtractUnicode, ReportsCanonicalForm) {
    sarvo_test::Gil gil;
    const auto &c = GetParam();
    Obj s(PyUnicode_FromString(c.utf8));
    Py_ssize_t length = -5, hash = -5;
    int kind = -5;
    unsigned ascii = 9;
    void *data = sarvo_extract_unicode(s.p, &length, &kind, &ascii, &hash);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(length, c.length);
    EXPECT_EQ(kind, c.kind);
    EXPECT_EQ(ascii, c.ascii);
    EXPECT_EQ(hash, -1);  // not hashed yet
    uint32_t first = kind == 1 ? static_cast<uint8_t *>(data)[0]
                     : kind == 2 ? static_cast<uint16_t *>(data)[0]
                                 : static_cast<uint32_t *>(data)[0];
    EXPECT_EQ(first, c.first);

    Py_hash_t h = PyObject_Hash(s.p);
    sarvo_extract_unicode(s.p, &length, &kind, &ascii, &hash);
    EXPECT_EQ(hash, h);
}

INSTANTIATE_TEST_SUITE_P(Cases, ExtractUnicode,
                         ::testing::Values(UnicodeCase{"abc", 3, 1, 1, 'a'},
                                           UnicodeCase{"\xc3\xa9t\xc3\xa9", 3, 1, 0, 0xe9},
                                           UnicodeCase{"\xe2\x82\xac" "5", 2, 2, 0, 0x20ac},
                                           UnicodeCase{"\xf0\x9f\x98\x80!", 2, 4, 0, 0x1f600}));

TEST(RecordData, BufferOfDataAttribute) {
    sarvo_test::Gil gil;
    Obj rec(eval("np.rec.array([(7, 2.5)], dtype=[('a', '<i4'), ('b', '<f8')])[0]"));
    ASSERT_NE(rec.p, nullptr);
    Py_buffer buf;
    void *data = sarvo_extract_record_data(rec.p, &buf);
    ASSERT_NE(data, nullptr);
    ASSERT_EQ(buf.len, 12);
    int32_t a;
    double b;
    memcpy(&a, data, 4);
    memcpy(&b, static_cast<char *>(data) + 4, 8);
    EXPECT_EQ(a, 7);
    EXPECT_EQ(b, 2.5);
    PyBuffer_Release(&buf);
}

TEST(RecordData, MissingAttributeOrBufferFails) {
    sarvo_test::Gil gil;
    Py_buffer buf;
    Obj num(PyLong_FromLong(3));
    EXPECT_EQ(sarvo_extract_record_data(num.p, &buf), nullptr);
    EXPECT_EQ(take_error().first, PyExc_AttributeError);
    Obj ns(eval("__import__('types').SimpleNamespace(data=42)"));
    EXPECT_EQ(sarvo_extract_record_data(ns.p, &buf), nullptr);
    EXPECT_EQ(take_error().first, PyExc_TypeError);
}

TEST(RecreateRecord, BuildsRecordFromBytes) {
    sarvo_test::Gil gil;
    Obj dtype(eval("np.dtype([('a', '<i4'), ('b', '<f8')])"));
    unsigned char bytes[12];
    int32_t a = -12;
    double b = 0.125;
    memcpy(bytes, &a, 4);
    memcpy(bytes + 4, &b, 8);
    Obj rec(sarvo_recreate_record(bytes, sizeof bytes, dtype.p));
    ASSERT_NE(rec.p, nullptr);
    Obj record_type(eval("np.record"));
    EXPECT_EQ(reinterpret_cast<PyObject *>(Py_TYPE(rec.p)), record_type.p);
    Obj fa(PyObject_GetItem(rec.p, Obj(PyUnicode_FromString("a")).p));
    Obj fb(PyObject_GetItem(rec.p, Obj(PyUnicode_FromString("b")).p));
    EXPECT_EQ(PyLong_AsLong(fa.p), -12);
    EXPECT_EQ(PyFloat_AsDouble(fb.p), 0.125);
    bytes[0] = 99;  // the record holds its own copy
    Obj again(PyObject_GetItem(rec.p, Obj(PyUnicode_FromString("a")).p));
    EXPECT_EQ(PyLong_AsLong(again.p), -12);
}

TEST(RecreateRecord, NullDtypeAndShortDataFail) {
    sarvo_test::Gil gil;
    char bytes[4] = {};
    EXPECT_EQ(sarvo_recreate_record(bytes, 4, nullptr), nullptr);
    auto err = take_error();
    EXPECT_EQ(err.first, PyExc_RuntimeError);
    EXPECT_EQ(err.second, "In 'sarvo_recreate_record', 'dtype' is NULL");
    Obj dtype(eval("np.dtype([('a', '<i8')])"));
    EXPECT_EQ(sarvo_recreate_record(bytes, 4, dtype.p), nullptr);
    EXPECT_EQ(take_error().first, PyExc_ValueError);
}

TEST(PrivateData, SetGetResetPerObject) {
    sarvo_test::Gil gil;
    Obj first(PyList_New(0)), second(PyList_New(0));
    int token1 = 0, token2 = 0;
    EXPECT_EQ(sarvo_get_pyobject_private_data(first.p), nullptr);
    sarvo_set_pyobject_private_data(first.p, &token1);
    sarvo_set_pyobject_private_data(second.p, &token2);
    EXPECT_EQ(sarvo_get_pyobject_private_data(first.p), &token1);
    EXPECT_EQ(sarvo_get_pyobject_private_data(second.p), &token2);
    sarvo_set_pyobject_private_data(first.p, &token2);  // overwrite
    EXPECT_EQ(sarvo_get_pyobject_private_data(first.p), &token2);
    sarvo_reset_pyobject_private_data(first.p);
    EXPECT_EQ(sarvo_get_pyobject_private_data(first.p), nullptr);
    EXPECT_EQ(sarvo_get_pyobject_private_data(second.p), &token2);
    sarvo_reset_pyobject_private_data(first.p);  // already gone: not an error
    EXPECT_FALSE(PyErr_Occurred());
    sarvo_reset_pyobject_private_data(second.p);
}

// No memory for the key that names the object: fatal, with the message, before the table is read.
TEST(PrivateDataDeathTest, ResetWithoutMemoryForTheKeyIsFatal) {
    static PyMemAllocatorEx refusing = {nullptr, [](void *, size_t) -> void * { return nullptr; },
                                        [](void *, size_t, size_t) -> void * { return nullptr; },
                                        [](void *, void *, size_t) -> void * { return nullptr; }, [](void *, void *) {}};
    EXPECT_DEATH(
        {
            sarvo_test::Gil gil;
            static int token = 0;
            PyObject *obj = PyList_New(0);
            sarvo_set_pyobject_private_data(obj, &token);
            PyMem_SetAllocator(PYMEM_DOMAIN_OBJ, &refusing);
            sarvo_reset_pyobject_private_data(obj);
        },
        "unable to reset private data");
}

TEST(PrivateData, HoldsNoReferenceToTheObject) {
    sarvo_test::Gil gil;
    Obj obj(PyList_New(0));
    Py_ssize_t before = Py_REFCNT(obj.p);
    int token = 0;
    sarvo_set_pyobject_private_data(obj.p, &token);
    EXPECT_EQ(Py_REFCNT(obj.p), before);
    sarvo_reset_pyobject_private_data(obj.p);
}

TEST(FatalErrorDeathTest, EndsProcessWithMessage) {
    EXPECT_DEATH(sarvo_fatal_error(), "sarvo_fatal_error: in Sarvo-compiled function");
}

}  // namespace
