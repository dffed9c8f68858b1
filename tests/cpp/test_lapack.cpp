// The BLAS/LAPACK bridge, called as compiled code calls it: from threads that do not hold the
// interpreter lock. Results are checked against direct computations in complex double on
// column-major data, and against NumPy where an independent oracle is simplest.
#include <Python.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "helperlib/_lapack.h"
#include "embedded_python.h"

namespace {

using cd = std::complex<double>;
using sarvo_test::Gil;

// ---------------------------------------------------------------------------------------------
// Kinds and column-major matrices

template <typename T>
struct KindOf;
template <>
struct KindOf<float> {
    static constexpr char code = 's';
    using Real = float;
    static constexpr double tol = 1e-3;
};
template <>
struct KindOf<double> {
    static constexpr char code = 'd';
    using Real = double;
    static constexpr double tol = 1e-10;
};
template <>
struct KindOf<std::complex<float>> {
    static constexpr char code = 'c';
    using Real = float;
    static constexpr double tol = 1e-3;
};
template <>
struct KindOf<std::complex<double>> {
    static constexpr char code = 'z';
    using Real = double;
    static constexpr double tol = 1e-10;
};

template <typename T>
constexpr bool kIsComplex = KindOf<T>::code == 'c' || KindOf<T>::code == 'z';

template <typename T>
cd widen(T x) {
    if constexpr (kIsComplex<T>)
        return {static_cast<double>(x.real()), static_cast<double>(x.imag())};
    else
        return {static_cast<double>(x), 0.0};
}

// Real kinds keep only the real part.
template <typename T>
T make(double re, double im = 0.0) {
    if constexpr (kIsComplex<T>)
        return T(static_cast<typename T::value_type>(re), static_cast<typename T::value_type>(im));
    else
        return static_cast<T>(re);
}

template <typename T>
struct Matrix {
    Py_ssize_t rows, cols;
    std::vector<T> data;
    Matrix(Py_ssize_t r, Py_ssize_t c) : rows(r), cols(c), data(static_cast<size_t>(r * c)) {}
    T &at(Py_ssize_t i, Py_ssize_t j) { return data[static_cast<size_t>(i + j * rows)]; }
    const T &at(Py_ssize_t i, Py_ssize_t j) const { return data[static_cast<size_t>(i + j * rows)]; }
    T *ptr() { return data.data(); }
};

template <typename T>
Matrix<T> random_matrix(Py_ssize_t r, Py_ssize_t c, unsigned seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> dist(-1.0, 1.0);
    Matrix<T> m(r, c);
    for (auto &x : m.data) {
        double re = dist(gen), im = dist(gen);
        x = make<T>(re, im);
    }
    return m;
}

// Column-major complex-double copy used by every check.
struct Wide {
    Py_ssize_t rows, cols;
    std::vector<cd> v;
    Wide(Py_ssize_t r, Py_ssize_t c) : rows(r), cols(c), v(static_cast<size_t>(r * c)) {}
    cd &at(Py_ssize_t i, Py_ssize_t j) { return v[static_cast<size_t>(i + j * rows)]; }
    cd at(Py_ssize_t i, Py_ssize_t j) const { return v[static_cast<size_t>(i + j * rows)]; }
};

template <typename T>
Wide wide(const Matrix<T> &m, Py_ssize_t rows = -1, Py_ssize_t cols = -1) {
    Wide w(rows < 0 ? m.rows : rows, cols < 0 ? m.cols : cols);
    for (Py_ssize_t j = 0; j < w.cols; ++j)
        for (Py_ssize_t i = 0; i < w.rows; ++i) w.at(i, j) = widen(m.at(i, j));
    return w;
}

Wide mul(const Wide &a, const Wide &b) {
    Wide c(a.rows, b.cols);
    for (Py_ssize_t j = 0; j < b.cols; ++j)
        for (Py_ssize_t i = 0; i < a.rows; ++i) {
            cd s = 0;
            for (Py_ssize_t p = 0; p < a.cols; ++p) s += a.at(i, p) * b.at(p, j);
            c.at(i, j) = s;
        }
    return c;
}

Wide adjoint(const Wide &a) {
    Wide t(a.cols, a.rows);
    for (Py_ssize_t j = 0; j < a.cols; ++j)
        for (Py_ssize_t i = 0; i < a.rows; ++i) t.at(j, i) = std::conj(a.at(i, j));
    return t;
}

Wide identity(Py_ssize_t n) {
    Wide e(n, n);
    for (Py_ssize_t i = 0; i < n; ++i) e.at(i, i) = 1.0;
    return e;
}

double max_diff(const Wide &a, const Wide &b) {
    EXPECT_EQ(a.rows, b.rows);
    EXPECT_EQ(a.cols, b.cols);
    double d = 0;
    for (size_t i = 0; i < a.v.size() && i < b.v.size(); ++i) d = std::max(d, std::abs(a.v[i] - b.v[i]));
    return d;
}

// Element (i, j) of op(X) for the BLAS option letters.
cd op_at(const Wide &x, char trans, Py_ssize_t i, Py_ssize_t j) {
    if (trans == 'N') return x.at(i, j);
    if (trans == 'T') return x.at(j, i);
    return std::conj(x.at(j, i));
}

// A well-conditioned square matrix: random entries plus n on the diagonal.
template <typename T>
Matrix<T> dominant_matrix(Py_ssize_t n, unsigned seed) {
    Matrix<T> a = random_matrix<T>(n, n, seed);
    for (Py_ssize_t i = 0; i < n; ++i) a.at(i, i) = make<T>(widen(a.at(i, i)).real() + n);
    return a;
}

// Hermitian (symmetric for real kinds) and, with shift > 0, positive definite.
template <typename T>
Matrix<T> hermitian_matrix(Py_ssize_t n, unsigned seed, double shift) {
    Matrix<T> b = random_matrix<T>(n, n, seed);
    Matrix<T> a(n, n);
    for (Py_ssize_t j = 0; j < n; ++j)
        for (Py_ssize_t i = 0; i < n; ++i) {
            cd v = (widen(b.at(i, j)) + std::conj(widen(b.at(j, i)))) * 0.5;
            if (i == j) v = v.real() + shift;
            a.at(i, j) = make<T>(v.real(), v.imag());
        }
    return a;
}

// Fills the triangle a routine must not read with a value that would spoil any result.
template <typename T>
void poison_triangle(Matrix<T> &a, char used_uplo) {
    for (Py_ssize_t j = 0; j < a.cols; ++j)
        for (Py_ssize_t i = 0; i < a.rows; ++i)
            if ((used_uplo == 'L' && i < j) || (used_uplo == 'U' && i > j)) a.at(i, j) = make<T>(1e3, -1e3);
}

// ---------------------------------------------------------------------------------------------
// Python side: errors and NumPy oracles

struct PyErrorText {
    bool set = false;
    std::string type;
    std::string message;
};

// Fetches and clears the calling thread's pending Python error.
PyErrorText take_error() {
    Gil gil;
    PyErrorText out;
    if (!PyErr_Occurred()) return out;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    out.set = true;
    out.type = reinterpret_cast<PyTypeObject *>(type)->tp_name;
    if (PyObject *s = value ? PyObject_Str(value) : nullptr) {
        if (const char *u = PyUnicode_AsUTF8(s)) out.message = u;
        Py_DECREF(s);
    }
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
    PyErr_Clear();
    return out;
}

bool no_error() { return !take_error().set; }

// Runs `code` with the column-major (rows, cols) matrix of kind `kind` at `data` bound to the
// NumPy array `a` (widened to float64 or complex128); the code leaves a list of floats in `out`.
std::vector<double> numpy_oracle(char kind, const void *data, Py_ssize_t rows, Py_ssize_t cols,
                                 const char *code) {
    Gil gil;
    std::vector<double> result;
    const char *dtype = kind == 's'   ? "float32"
                        : kind == 'd' ? "float64"
                        : kind == 'c' ? "complex64"
                                      : "complex128";
    size_t item = kind == 's' ? 4 : kind == 'z' ? 16 : 8;
    PyObject *globals = PyDict_New();
    PyObject *bytes = PyBytes_FromStringAndSize(static_cast<const char *>(data), rows * cols * item);
    PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins());
    PyDict_SetItemString(globals, "data", bytes);
    std::string script = "import numpy as np\n";
    script += "a = np.frombuffer(data, dtype='" + std::string(dtype) + "')";
    script += ".reshape((" + std::to_string(cols) + ", " + std::to_string(rows) + ")).T\n";
    script += "a = a.astype(np.complex128 if np.iscomplexobj(a) else np.float64)\n";
    script += code;
    PyObject *r = PyRun_String(script.c_str(), Py_file_input, globals, globals);
    if (!r) {
        PyErr_Print();
    } else {
        PyObject *out = PyDict_GetItemString(globals, "out");
        for (Py_ssize_t i = 0; out && i < PyList_Size(out); ++i)
            result.push_back(PyFloat_AsDouble(PyList_GetItem(out, i)));
        Py_DECREF(r);
    }
    Py_DECREF(bytes);
    Py_DECREF(globals);
    return result;
}

const char kSingularValues[] = "out = np.linalg.svd(a, compute_uv=False).tolist()\n";

// ---------------------------------------------------------------------------------------------
// Every kind

template <typename T>
class LapackKinds : public ::testing::Test {
  protected:
    static constexpr char kind = KindOf<T>::code;
    static constexpr double tol = KindOf<T>::tol;
    using Real = typename KindOf<T>::Real;
};

struct KindNames {
    template <typename T>
    static std::string GetName(int) {
        return std::string(1, KindOf<T>::code);
    }
};

using AllKinds = ::testing::Types<float, double, std::complex<float>, std::complex<double>>;
TYPED_TEST_SUITE(LapackKinds, AllKinds, KindNames);

TYPED_TEST(LapackKinds, GemmMatchesDirectProductForEveryTransposeOption) {
    using T = TypeParam;
    struct Case {
        char ta, tb;
        Py_ssize_t m, n, k;
    };
    const Case cases[] = {
        {'N', 'N', 4, 3, 5}, {'T', 'N', 3, 4, 2}, {'N', 'C', 5, 2, 3}, {'C', 'T', 2, 2, 4}};
    const T alpha = make<T>(0.75, -0.5), beta = make<T>(-1.25, 0.25);
    unsigned seed = 1;
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(1, c.ta) + c.tb);
        Matrix<T> a = c.ta == 'N' ? random_matrix<T>(c.m, c.k, seed++) : random_matrix<T>(c.k, c.m, seed++);
        Matrix<T> b = c.tb == 'N' ? random_matrix<T>(c.k, c.n, seed++) : random_matrix<T>(c.n, c.k, seed++);
        Matrix<T> out = random_matrix<T>(c.m, c.n, seed++);
        Wide wa = wide(a), wb = wide(b), expected = wide(out);
        for (Py_ssize_t j = 0; j < c.n; ++j)
            for (Py_ssize_t i = 0; i < c.m; ++i) {
                cd s = 0;
                for (Py_ssize_t p = 0; p < c.k; ++p) s += op_at(wa, c.ta, i, p) * op_at(wb, c.tb, p, j);
                expected.at(i, j) = widen(alpha) * s + widen(beta) * expected.at(i, j);
            }
        T al = alpha, be = beta;
        ASSERT_EQ(0, sarvo_xxgemm(TestFixture::kind, c.ta, c.tb, c.m, c.n, c.k, &al, a.ptr(), a.rows,
                                  b.ptr(), b.rows, &be, out.ptr(), out.rows));
        EXPECT_LT(max_diff(wide(out), expected), TestFixture::tol);
    }
}

TYPED_TEST(LapackKinds, GemvMatchesDirectProduct) {
    using T = TypeParam;
    const Py_ssize_t m = 5, n = 3;
    for (char trans : {'N', 'T', 'C'}) {
        SCOPED_TRACE(std::string(1, trans));
        Matrix<T> a = random_matrix<T>(m, n, 11);
        Py_ssize_t xlen = trans == 'N' ? n : m, ylen = trans == 'N' ? m : n;
        Matrix<T> x = random_matrix<T>(xlen, 1, 12), y = random_matrix<T>(ylen, 1, 13);
        T alpha = make<T>(1.5, 0.5), beta = make<T>(-0.5, 2.0);
        Wide wa = wide(a), expected = wide(y);
        for (Py_ssize_t i = 0; i < ylen; ++i) {
            cd s = 0;
            for (Py_ssize_t p = 0; p < xlen; ++p) s += op_at(wa, trans, i, p) * widen(x.at(p, 0));
            expected.at(i, 0) = widen(alpha) * s + widen(beta) * expected.at(i, 0);
        }
        ASSERT_EQ(0, sarvo_xxgemv(TestFixture::kind, trans, m, n, &alpha, a.ptr(), m, x.ptr(), &beta,
                                  y.ptr()));
        EXPECT_LT(max_diff(wide(y), expected), TestFixture::tol);
    }
}

TYPED_TEST(LapackKinds, DotConjugatesTheFirstVectorOnlyWhenAsked) {
    using T = TypeParam;
    const Py_ssize_t n = 7;
    Matrix<T> x = random_matrix<T>(n, 1, 21), y = random_matrix<T>(n, 1, 22);
    for (char conjugate : {0, 1}) {
        cd expected = 0;
        for (Py_ssize_t i = 0; i < n; ++i)
            expected += (conjugate ? std::conj(widen(x.at(i, 0))) : widen(x.at(i, 0))) * widen(y.at(i, 0));
        T result = make<T>(-99.0, -99.0);
        ASSERT_EQ(0, sarvo_xxdot(TestFixture::kind, conjugate, n, x.ptr(), y.ptr(), &result));
        EXPECT_LT(std::abs(widen(result) - expected), TestFixture::tol) << "conjugate " << int(conjugate);
    }
}

TYPED_TEST(LapackKinds, Nrm2ReadsEveryIncxthElementIntoARealResult) {
    using T = TypeParam;
    using Real = typename TestFixture::Real;
    const Py_ssize_t n = 5;
    for (Py_ssize_t incx : {1, 3}) {
        Matrix<T> x = random_matrix<T>(1 + (n - 1) * incx, 1, 31);
        double sum = 0;
        for (Py_ssize_t i = 0; i < n; ++i) sum += std::norm(widen(x.at(i * incx, 0)));
        // The result slot is the real precision only; a wider store would clobber the guard.
        struct {
            Real value;
            Real guard;
        } out{Real(-1), Real(42)};
        ASSERT_EQ(0, sarvo_xxnrm2(TestFixture::kind, n, x.ptr(), incx, &out.value));
        EXPECT_NEAR(out.value, std::sqrt(sum), TestFixture::tol) << "incx " << incx;
        EXPECT_EQ(out.guard, Real(42));
    }
}

TYPED_TEST(LapackKinds, GetrfThenGetriGiveTheInverse) {
    using T = TypeParam;
    const Py_ssize_t n = 5;
    Matrix<T> a = dominant_matrix<T>(n, 41), inv = a;
    std::vector<sarvo_fint> ipiv(n);
    ASSERT_EQ(0, sarvo_xxgetrf(TestFixture::kind, n, n, inv.ptr(), n, ipiv.data()));
    ASSERT_EQ(0, sarvo_ez_xxgetri(TestFixture::kind, n, inv.ptr(), n, ipiv.data()));
    EXPECT_LT(max_diff(mul(wide(a), wide(inv)), identity(n)), TestFixture::tol);
    EXPECT_TRUE(no_error());
}

TYPED_TEST(LapackKinds, PotrfFactorFromTheRequestedTriangleOnly) {
    using T = TypeParam;
    const Py_ssize_t n = 4;
    const Matrix<T> a = hermitian_matrix<T>(n, 51, 4.0);
    for (char uplo : {'L', 'U'}) {
        SCOPED_TRACE(std::string(1, uplo));
        Matrix<T> f = a;
        poison_triangle(f, uplo);
        ASSERT_EQ(0, sarvo_xxpotrf(TestFixture::kind, uplo, n, f.ptr(), n));
        Wide factor(n, n);
        for (Py_ssize_t j = 0; j < n; ++j)
            for (Py_ssize_t i = 0; i < n; ++i)
                if ((uplo == 'L') ? i >= j : i <= j) factor.at(i, j) = widen(f.at(i, j));
        Wide product = uplo == 'L' ? mul(factor, adjoint(factor)) : mul(adjoint(factor), factor);
        EXPECT_LT(max_diff(product, wide(a)), TestFixture::tol);
    }
}

TYPED_TEST(LapackKinds, PotrfOfAnIndefiniteMatrixReturnsTheFailingMinor) {
    using T = TypeParam;
    Matrix<T> a(2, 2);
    a.at(0, 0) = make<T>(1.0);
    a.at(1, 1) = make<T>(-1.0);
    EXPECT_EQ(2, sarvo_xxpotrf(TestFixture::kind, 'L', 2, a.ptr(), 2));
    EXPECT_TRUE(no_error());
}

TYPED_TEST(LapackKinds, GesvSolvesSeveralRightHandSides) {
    using T = TypeParam;
    const Py_ssize_t n = 5, nrhs = 3, ldb = 7;  // ldb larger than n: rows 5 and 6 are padding
    Matrix<T> a = dominant_matrix<T>(n, 61), lu = a;
    Matrix<T> b = random_matrix<T>(ldb, nrhs, 62), x = b;
    std::vector<sarvo_fint> ipiv(n);
    ASSERT_EQ(0, sarvo_xgesv(TestFixture::kind, n, nrhs, lu.ptr(), n, ipiv.data(), x.ptr(), ldb));
    EXPECT_LT(max_diff(mul(wide(a), wide(x, n, nrhs)), wide(b, n, nrhs)), TestFixture::tol);
    EXPECT_EQ(widen(x.at(6, 2)), widen(b.at(6, 2)));
}

TYPED_TEST(LapackKinds, GetrfOfASingularMatrixReturnsThePivotWithoutError) {
    using T = TypeParam;
    Matrix<T> a = random_matrix<T>(3, 3, 71);
    for (Py_ssize_t i = 0; i < 3; ++i) a.at(i, 1) = make<T>(0.0);  // second column zero
    std::vector<sarvo_fint> ipiv(3);
    EXPECT_EQ(2, sarvo_xxgetrf(TestFixture::kind, 3, 3, a.ptr(), 3, ipiv.data()));
    EXPECT_TRUE(no_error());
}

TYPED_TEST(LapackKinds, XxxevdEigenpairsOfAHermitianMatrix) {
    using T = TypeParam;
    using Real = typename TestFixture::Real;
    const Py_ssize_t n = 6;
    const Matrix<T> a = hermitian_matrix<T>(n, 81, 0.0);
    std::vector<double> oracle =
        numpy_oracle(TestFixture::kind, a.data.data(), n, n, "out = np.linalg.eigvalsh(a).tolist()\n");
    ASSERT_EQ(static_cast<size_t>(n), oracle.size());
    for (char uplo : {'L', 'U'}) {
        SCOPED_TRACE(std::string(1, uplo));
        Matrix<T> z = a;
        poison_triangle(z, uplo);
        std::vector<Real> w(n);
        ASSERT_EQ(0, sarvo_ez_xxxevd(TestFixture::kind, 'V', uplo, n, z.ptr(), n, w.data()));
        Wide vecs = wide(z), lambda(n, n);
        for (Py_ssize_t i = 0; i < n; ++i) {
            EXPECT_NEAR(w[i], oracle[i], TestFixture::tol);
            lambda.at(i, i) = w[i];
        }
        EXPECT_LT(max_diff(mul(wide(a), vecs), mul(vecs, lambda)), 10 * TestFixture::tol);
        EXPECT_LT(max_diff(mul(adjoint(vecs), vecs), identity(n)), 10 * TestFixture::tol);
    }
}

// Eigenvectors by column, with the real kinds' conjugate pairs unpacked: a pair (j, j + 1)
// with imaginary part > 0 holds re in column j and im in column j + 1.
template <typename T, typename Real>
Wide eigenvectors(const Matrix<T> &v, const std::vector<cd> &lambda) {
    Wide out = wide(v);
    if constexpr (!kIsComplex<T>) {
        for (size_t j = 0; j + 1 < lambda.size(); ++j) {
            if (lambda[j].imag() <= 0) continue;
            for (Py_ssize_t i = 0; i < v.rows; ++i) {
                cd re = widen(v.at(i, j)), im = widen(v.at(i, j + 1));
                out.at(i, j) = re + cd(0, 1) * im;
                out.at(i, j + 1) = re - cd(0, 1) * im;
            }
            ++j;
        }
    }
    return out;
}

TYPED_TEST(LapackKinds, GeevLeftAndRightEigenvectorsSatisfyTheirEquations) {
    using T = TypeParam;
    using Real = typename TestFixture::Real;
    const Py_ssize_t n = 6;
    const Matrix<T> a = random_matrix<T>(n, n, 91);
    Matrix<T> work = a, vl(n, n), vr(n, n);
    std::vector<cd> lambda(n);
    if constexpr (kIsComplex<T>) {
        std::vector<T> w(n);
        ASSERT_EQ(0, sarvo_ez_cgeev(TestFixture::kind, 'V', 'V', n, work.ptr(), n, w.data(), vl.ptr(), n,
                                    vr.ptr(), n));
        for (Py_ssize_t i = 0; i < n; ++i) lambda[i] = widen(w[i]);
    } else {
        std::vector<Real> wr(n), wi(n);
        ASSERT_EQ(0, sarvo_ez_rgeev(TestFixture::kind, 'V', 'V', n, work.ptr(), n, wr.data(), wi.data(),
                                    vl.ptr(), n, vr.ptr(), n));
        for (Py_ssize_t i = 0; i < n; ++i) lambda[i] = cd(wr[i], wi[i]);
    }
    Wide wa = wide(a), right = eigenvectors<T, Real>(vr, lambda), left = eigenvectors<T, Real>(vl, lambda);
    Wide diag(n, n);
    cd trace = 0, sum = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        diag.at(i, i) = lambda[i];
        trace += wa.at(i, i);
        sum += lambda[i];
    }
    EXPECT_LT(std::abs(trace - sum), 10 * TestFixture::tol);
    EXPECT_LT(max_diff(mul(wa, right), mul(right, diag)), 10 * TestFixture::tol);
    EXPECT_LT(max_diff(mul(adjoint(left), wa), mul(diag, adjoint(left))), 10 * TestFixture::tol);
}

TYPED_TEST(LapackKinds, GesddSingularValuesAndVectorsRebuildTheMatrix) {
    using T = TypeParam;
    using Real = typename TestFixture::Real;
    struct Case {
        Py_ssize_t m, n;
        char jobz;
    };
    const Case cases[] = {{4, 6, 'A'}, {6, 4, 'A'}, {6, 4, 'S'}, {3, 5, 'S'}, {5, 5, 'N'}, {2, 7, 'n'}};
    unsigned seed = 101;
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.m) + "x" + std::to_string(c.n) + " " + c.jobz);
        const Py_ssize_t mn = std::min(c.m, c.n);
        const bool all = c.jobz == 'A', none = c.jobz == 'N' || c.jobz == 'n';
        const Matrix<T> a = random_matrix<T>(c.m, c.n, seed++);
        const Py_ssize_t ucols = all ? c.m : mn, vtrows = all ? c.n : mn;
        Matrix<T> work = a, u(c.m, none ? 1 : ucols), vt(none ? 1 : vtrows, c.n);
        std::vector<Real> s(mn);
        ASSERT_EQ(0, sarvo_ez_gesdd(TestFixture::kind, c.jobz, c.m, c.n, work.ptr(), c.m, s.data(), u.ptr(),
                                    none ? 1 : c.m, vt.ptr(), none ? 1 : vtrows));
        std::vector<double> oracle =
            numpy_oracle(TestFixture::kind, a.data.data(), c.m, c.n, kSingularValues);
        ASSERT_EQ(static_cast<size_t>(mn), oracle.size());
        for (Py_ssize_t i = 0; i < mn; ++i) EXPECT_NEAR(s[i], oracle[i], TestFixture::tol);
        if (none) continue;
        Wide us = wide(u, c.m, mn), v = wide(vt, mn, c.n);
        for (Py_ssize_t j = 0; j < mn; ++j)
            for (Py_ssize_t i = 0; i < c.m; ++i) us.at(i, j) *= s[j];
        EXPECT_LT(max_diff(mul(us, v), wide(a)), 10 * TestFixture::tol);
        Wide uu = wide(u);
        EXPECT_LT(max_diff(mul(adjoint(uu), uu), identity(ucols)), 10 * TestFixture::tol);
    }
}

TYPED_TEST(LapackKinds, GeqrfThenXxgqrGiveOrthonormalQWithQRequalToA) {
    using T = TypeParam;
    const Py_ssize_t m = 6, n = 4;
    const Matrix<T> a = random_matrix<T>(m, n, 111);
    Matrix<T> qr = a;
    std::vector<T> tau(n);
    ASSERT_EQ(0, sarvo_ez_geqrf(TestFixture::kind, m, n, qr.ptr(), m, tau.data()));
    Wide r(n, n);
    for (Py_ssize_t j = 0; j < n; ++j)
        for (Py_ssize_t i = 0; i <= j; ++i) r.at(i, j) = widen(qr.at(i, j));
    ASSERT_EQ(0, sarvo_ez_xxgqr(TestFixture::kind, m, n, n, qr.ptr(), m, tau.data()));
    Wide q = wide(qr);
    EXPECT_LT(max_diff(mul(adjoint(q), q), identity(n)), 10 * TestFixture::tol);
    EXPECT_LT(max_diff(mul(q, r), wide(a)), 10 * TestFixture::tol);
}

TYPED_TEST(LapackKinds, GelsdLeastSquaresSolutionOfAFullRankSystem) {
    using T = TypeParam;
    using Real = typename TestFixture::Real;
    const Py_ssize_t m = 7, n = 3, nrhs = 2;
    const Matrix<T> a = random_matrix<T>(m, n, 121), b = random_matrix<T>(m, nrhs, 122);
    Matrix<T> work = a, x = b;
    std::vector<Real> s(n);
    Py_ssize_t rank = -5;
    ASSERT_EQ(0, sarvo_ez_gelsd(TestFixture::kind, m, n, nrhs, work.ptr(), m, x.ptr(), m, s.data(), -1.0,
                                &rank));
    EXPECT_EQ(3, rank);
    // The residual of a least-squares solution is orthogonal to the columns of A.
    Wide wa = wide(a), wb = wide(b), residual = mul(wa, wide(x, n, nrhs));
    for (size_t i = 0; i < residual.v.size(); ++i) residual.v[i] -= wb.v[i];
    EXPECT_LT(max_diff(mul(adjoint(wa), residual), Wide(n, nrhs)), 10 * TestFixture::tol);
    std::vector<double> oracle = numpy_oracle(TestFixture::kind, a.data.data(), m, n, kSingularValues);
    ASSERT_EQ(static_cast<size_t>(n), oracle.size());
    for (Py_ssize_t i = 0; i < n; ++i) EXPECT_NEAR(s[i], oracle[i], TestFixture::tol);
}

TYPED_TEST(LapackKinds, GelsdRankFollowsRcondInTheKindsPrecision) {
    using T = TypeParam;
    using Real = typename TestFixture::Real;
    // Singular values 1, 0.5 and 0.001 in shuffled rows: rcond cuts between them.
    struct Case {
        double rcond;
        Py_ssize_t rank;
    };
    const Case cases[] = {{0.6, 1}, {0.01, 2}, {1e-4, 3}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.rcond);
        Matrix<T> a(4, 3), b(4, 1);
        a.at(2, 0) = make<T>(1.0);
        a.at(0, 1) = kIsComplex<T> ? make<T>(0.0, 0.5) : make<T>(-0.5);  // |0.5i| = |-0.5| = 0.5
        a.at(3, 2) = make<T>(0.001);
        for (Py_ssize_t i = 0; i < 4; ++i) b.at(i, 0) = make<T>(1.0 + i);
        std::vector<Real> s(3);
        Py_ssize_t rank = -5;
        ASSERT_EQ(0, sarvo_ez_gelsd(TestFixture::kind, 4, 3, 1, a.ptr(), 4, b.ptr(), 4, s.data(), c.rcond,
                                    &rank));
        EXPECT_EQ(c.rank, rank);
        EXPECT_NEAR(s[0], 1.0, TestFixture::tol);
        EXPECT_NEAR(s[1], 0.5, TestFixture::tol);
        EXPECT_NEAR(s[2], 0.001, TestFixture::tol);
    }
}

TYPED_TEST(LapackKinds, GelsdOfARankDeficientMatrixGivesTheMinimumNormSolution) {
    using T = TypeParam;
    using Real = typename TestFixture::Real;
    const Py_ssize_t m = 5, n = 4;
    Matrix<T> a = random_matrix<T>(m, n, 131);
    for (Py_ssize_t i = 0; i < m; ++i) a.at(i, 2) = a.at(i, 0) + a.at(i, 1);
    Matrix<T> b = random_matrix<T>(m, 1, 132), work = a;
    std::vector<Real> s(n);
    Py_ssize_t rank = -5;
    const double rcond = TestFixture::kind == 's' || TestFixture::kind == 'c' ? 1e-4 : 1e-10;
    ASSERT_EQ(0,
              sarvo_ez_gelsd(TestFixture::kind, m, n, 1, work.ptr(), m, b.ptr(), m, s.data(), rcond, &rank));
    EXPECT_EQ(3, rank);
    // (1, 1, -1, 0) spans the null space; the minimum-norm solution is orthogonal to it.
    cd along_null = widen(b.at(0, 0)) + widen(b.at(1, 0)) - widen(b.at(2, 0));
    EXPECT_LT(std::abs(along_null), 10 * TestFixture::tol);
}

// LAPACK's illegal-argument report names the driver and the argument's position. Every
// driver is handed a leading dimension smaller than the rows it must hold.
TYPED_TEST(LapackKinds, IllegalLeadingDimensionIsReportedWithRoutineAndPosition) {
    using T = TypeParam;
    const char kind = TestFixture::kind;
    const bool complex = kIsComplex<T>;
    std::vector<T> buf(64);
    std::vector<typename TestFixture::Real> rbuf(64);
    std::vector<sarvo_fint> ibuf(64);
    T *p = buf.data();
    auto *r = rbuf.data();
    Py_ssize_t rank = 0;
    struct Case {
        const char *name;
        int position;
        std::function<int()> call;
    };
    const Case cases[] = {
        {"xxgetrf", 4, [&] { return sarvo_xxgetrf(kind, 3, 3, p, 2, ibuf.data()); }},
        {"xxgetri", 3, [&] { return sarvo_ez_xxgetri(kind, 3, p, 2, ibuf.data()); }},
        {"xxpotrf", 4, [&] { return sarvo_xxpotrf(kind, 'L', 3, p, 2); }},
        {"xgesv", 4, [&] { return sarvo_xgesv(kind, 3, 1, p, 2, ibuf.data(), p, 3); }},
        {complex ? "sarvo_raw_cgeev" : "sarvo_raw_rgeev", 5,
         [&] {
             return complex ? sarvo_ez_cgeev(kind, 'N', 'N', 3, p, 2, p, p, 1, p, 1)
                            : sarvo_ez_rgeev(kind, 'N', 'N', 3, p, 2, p, p, p, 1, p, 1);
         }},
        {complex ? "sarvo_raw_cheevd" : "sarvo_raw_rsyevd", 5,
         [&] { return sarvo_ez_xxxevd(kind, 'N', 'L', 3, p, 2, r); }},
        {complex ? "sarvo_raw_cgesdd" : "sarvo_raw_rgesdd", 5,
         [&] { return sarvo_ez_gesdd(kind, 'N', 3, 3, p, 2, r, p, 1, p, 1); }},
        {"sarvo_raw_xgeqrf", 4, [&] { return sarvo_ez_geqrf(kind, 3, 3, p, 2, p); }},
        {"sarvo_raw_xxxgqr", 5, [&] { return sarvo_ez_xxgqr(kind, 3, 3, 3, p, 2, p); }},
        {complex ? "sarvo_raw_cgelsd" : "sarvo_raw_rgelsd", 5,
         [&] { return sarvo_ez_gelsd(kind, 3, 3, 1, p, 2, p, 3, r, -1.0, &rank); }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(-1, c.call());
        PyErrorText e = take_error();
        EXPECT_EQ("RuntimeError", e.type);
        EXPECT_EQ(std::string("LAPACK Error: Routine \"") + c.name + "\". On input " +
                      std::to_string(c.position) + "\n",
                  e.message);
    }
}

// ---------------------------------------------------------------------------------------------
// Kind validation

struct EntryCall {
    const char *name;
    std::function<int(char)> call;
};

// Every entry, called with a kind and harmless buffers; sizes are 2 so nothing is read past
// the scratch buffers if a routine did run.
std::vector<EntryCall> all_entries(std::vector<unsigned char> &mem, std::vector<sarvo_fint> &ints) {
    void *p = mem.data();
    sarvo_fint *ip = ints.data();
    static Py_ssize_t rank;
    return {
        {"xxdot", [=](char k) { return sarvo_xxdot(k, 0, 2, p, p, p); }},
        {"xxgemv", [=](char k) { return sarvo_xxgemv(k, 'N', 2, 2, p, p, 2, p, p, p); }},
        {"xxgemm", [=](char k) { return sarvo_xxgemm(k, 'N', 'N', 2, 2, 2, p, p, 2, p, 2, p, p, 2); }},
        {"xxnrm2", [=](char k) { return sarvo_xxnrm2(k, 2, p, 1, p); }},
        {"xxgetrf", [=](char k) { return sarvo_xxgetrf(k, 2, 2, p, 2, ip); }},
        {"ez_xxgetri", [=](char k) { return sarvo_ez_xxgetri(k, 2, p, 2, ip); }},
        {"xxpotrf", [=](char k) { return sarvo_xxpotrf(k, 'L', 2, p, 2); }},
        {"ez_xxxevd", [=](char k) { return sarvo_ez_xxxevd(k, 'N', 'L', 2, p, 2, p); }},
        {"ez_gesdd", [=](char k) { return sarvo_ez_gesdd(k, 'N', 2, 2, p, 2, p, p, 1, p, 1); }},
        {"ez_geqrf", [=](char k) { return sarvo_ez_geqrf(k, 2, 2, p, 2, p); }},
        {"ez_xxgqr", [=](char k) { return sarvo_ez_xxgqr(k, 2, 2, 2, p, 2, p); }},
        {"ez_gelsd", [=](char k) { return sarvo_ez_gelsd(k, 2, 2, 1, p, 2, p, 2, p, -1.0, &rank); }},
        {"xgesv", [=](char k) { return sarvo_xgesv(k, 2, 1, p, 2, ip, p, 2); }},
        {"ez_rgeev", [=](char k) { return sarvo_ez_rgeev(k, 'N', 'N', 2, p, 2, p, p, p, 1, p, 1); }},
        {"ez_cgeev", [=](char k) { return sarvo_ez_cgeev(k, 'N', 'N', 2, p, 2, p, p, 1, p, 1); }},
    };
}

// Kinds outside s, d, c, z are rejected by every entry before anything is resolved.
void expect_invalid_kind_rejected(char kind) {
    std::vector<unsigned char> mem(4096);
    std::vector<sarvo_fint> ints(64);
    for (const EntryCall &e : all_entries(mem, ints)) {
        SCOPED_TRACE(std::string(e.name) + " kind " + kind);
        EXPECT_EQ(-1, e.call(kind));
        PyErrorText err = take_error();
        EXPECT_EQ("ValueError", err.type);
        EXPECT_EQ("invalid data type (kind) found", err.message);
    }
}

TEST(LapackKindValidation, UnknownKindsAreRejectedByEveryEntry) {
    for (char kind : {'x', 'S', 'D', '\0', 'f'}) expect_invalid_kind_rejected(kind);
}

TEST(LapackKindValidation, RealAndComplexDriversRejectTheOtherFamily) {
    std::vector<unsigned char> mem(4096);
    void *p = mem.data();
    sarvo_fint info = 0, rank = 0;
    struct Case {
        const char *name;
        std::function<int()> call;
    };
    const Case cases[] = {
        {"rgeev c", [&] { return sarvo_ez_rgeev('c', 'N', 'N', 2, p, 2, p, p, p, 1, p, 1); }},
        {"rgeev z", [&] { return sarvo_ez_rgeev('z', 'N', 'N', 2, p, 2, p, p, p, 1, p, 1); }},
        {"cgeev s", [&] { return sarvo_ez_cgeev('s', 'N', 'N', 2, p, 2, p, p, 1, p, 1); }},
        {"cgeev d", [&] { return sarvo_ez_cgeev('d', 'N', 'N', 2, p, 2, p, p, 1, p, 1); }},
        {"raw_rgesdd c",
         [&] { return sarvo_raw_rgesdd('c', 'N', 2, 2, p, 2, p, p, 1, p, 1, p, -1, &info, &info); }},
        {"raw_cgesdd d",
         [&] { return sarvo_raw_cgesdd('d', 'N', 2, 2, p, 2, p, p, 1, p, 1, p, -1, p, &info, &info); }},
        {"raw_rsyevd z",
         [&] { return sarvo_raw_rsyevd('z', 'N', 'L', 2, p, 2, p, p, -1, &info, -1, &info); }},
        {"raw_cheevd s",
         [&] { return sarvo_raw_cheevd('s', 'N', 'L', 2, p, 2, p, p, -1, p, -1, &info, -1, &info); }},
        {"raw_rgelsd c",
         [&] { return sarvo_raw_rgelsd('c', 2, 2, 1, p, 2, p, 2, p, p, &rank, p, -1, &info, &info); }},
        {"raw_cgelsd d",
         [&] { return sarvo_raw_cgelsd('d', 2, 2, 1, p, 2, p, 2, p, p, &rank, p, -1, p, &info, &info); }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(-1, c.call());
        PyErrorText err = take_error();
        EXPECT_EQ("ValueError", err.type);
        EXPECT_EQ("invalid data type (kind) found", err.message);
    }
}

TEST(LapackKindValidation, SizesBeyondThirtyTwoBitsRaiseInsteadOfWrapping) {
    std::vector<double> buf(16);
    std::vector<sarvo_fint> ipiv(4);
    double one = 1.0;
    const Py_ssize_t wrapped_two = (Py_ssize_t(1) << 32) + 2;  // would narrow to 2
    struct Case {
        const char *name;
        std::function<int()> call;
    };
    const Case cases[] = {
        {"gemm m",
         [&] {
             double *p = buf.data();
             return sarvo_xxgemm('d', 'N', 'N', wrapped_two, 2, 2, &one, p, 2, p, 2, &one, p, 2);
         }},
        {"getrf lda", [&] { return sarvo_xxgetrf('d', 2, 2, buf.data(), -wrapped_two, ipiv.data()); }},
        {"nrm2 incx", [&] { return sarvo_xxnrm2('d', 2, buf.data(), wrapped_two, buf.data()); }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(-1, c.call());
        EXPECT_EQ("OverflowError", take_error().type);
    }
}

// ---------------------------------------------------------------------------------------------
// Workspaces: sizes and allocation failure, observed through a hook on the raw allocator

class RawAllocatorSpy {
  public:
    RawAllocatorSpy() {
        Gil gil;
        PyMem_GetAllocator(PYMEM_DOMAIN_RAW, &previous_);
        PyMemAllocatorEx hook{this, &Malloc, &Calloc, &Realloc, &Free};
        PyMem_SetAllocator(PYMEM_DOMAIN_RAW, &hook);
    }
    ~RawAllocatorSpy() {
        Gil gil;
        PyMem_SetAllocator(PYMEM_DOMAIN_RAW, &previous_);
    }

    // Watches the calling thread only; the fail_at-th watched allocation (from 0) fails.
    void watch(int fail_at = -1) {
        std::lock_guard<std::mutex> lock(mutex_);
        thread_ = std::this_thread::get_id();
        fail_at_ = fail_at;
        sizes_.clear();
        live_.clear();
    }
    std::vector<size_t> sizes() {
        std::lock_guard<std::mutex> lock(mutex_);
        return sizes_;
    }
    size_t live() {
        std::lock_guard<std::mutex> lock(mutex_);
        return live_.size();
    }
    void stop() {
        std::lock_guard<std::mutex> lock(mutex_);
        thread_ = std::thread::id();
    }

  private:
    static void *Malloc(void *ctx, size_t n) {
        auto *self = static_cast<RawAllocatorSpy *>(ctx);
        std::lock_guard<std::mutex> lock(self->mutex_);
        bool watched = std::this_thread::get_id() == self->thread_;
        if (watched && static_cast<int>(self->sizes_.size()) == self->fail_at_) {
            self->sizes_.push_back(n);
            return nullptr;
        }
        void *p = self->previous_.malloc(self->previous_.ctx, n);
        if (watched) {
            self->sizes_.push_back(n);
            if (p) self->live_.insert(p);
        }
        return p;
    }
    static void *Calloc(void *ctx, size_t n, size_t size) {
        auto *self = static_cast<RawAllocatorSpy *>(ctx);
        return self->previous_.calloc(self->previous_.ctx, n, size);
    }
    static void *Realloc(void *ctx, void *p, size_t n) {
        auto *self = static_cast<RawAllocatorSpy *>(ctx);
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->live_.erase(p);
        return self->previous_.realloc(self->previous_.ctx, p, n);
    }
    static void Free(void *ctx, void *p) {
        auto *self = static_cast<RawAllocatorSpy *>(ctx);
        {
            std::lock_guard<std::mutex> lock(self->mutex_);
            self->live_.erase(p);
        }
        self->previous_.free(self->previous_.ctx, p);
    }

    PyMemAllocatorEx previous_{};
    std::mutex mutex_;
    std::thread::id thread_;
    int fail_at_ = -1;
    std::vector<size_t> sizes_;
    std::set<void *> live_;
};

struct GesddWorkspaceCase {
    char kind, jobz;
    Py_ssize_t m, n;
    size_t rwork_bytes, iwork_bytes;  // rwork 0: a real kind has none
};

void PrintTo(const GesddWorkspaceCase &c, std::ostream *os) {
    *os << c.kind << " jobz " << c.jobz << " " << c.m << "x" << c.n;
}

class LapackGesddWorkspace : public ::testing::TestWithParam<GesddWorkspaceCase> {};

template <typename T>
int run_gesdd_as(const GesddWorkspaceCase &c) {
    Matrix<T> a = random_matrix<T>(c.m, c.n, 141), u(c.m, c.m), vt(c.n, c.n);
    std::vector<typename KindOf<T>::Real> s(std::min(c.m, c.n));
    return sarvo_ez_gesdd(c.kind, c.jobz, c.m, c.n, a.ptr(), c.m, s.data(), u.ptr(), c.m, vt.ptr(), c.n);
}

// Runs gesdd once on a random matrix of the case's kind and shape.
int run_gesdd(const GesddWorkspaceCase &c) {
    switch (c.kind) {
        case 's': return run_gesdd_as<float>(c);
        case 'd': return run_gesdd_as<double>(c);
        case 'c': return run_gesdd_as<std::complex<float>>(c);
        default: return run_gesdd_as<std::complex<double>>(c);
    }
}

TEST_P(LapackGesddWorkspace, FixedWorkspacesFollowTheirFormulas) {
    const GesddWorkspaceCase c = GetParam();
    ASSERT_EQ(0, run_gesdd(c));  // resolves the routine outside the watched call
    RawAllocatorSpy spy;
    spy.watch();
    int rc = run_gesdd(c);
    spy.stop();
    ASSERT_EQ(0, rc);
    std::vector<size_t> sizes = spy.sizes();
    // work first, then the integer workspace, then the complex kinds' real workspace.
    ASSERT_EQ(c.rwork_bytes ? 3u : 2u, sizes.size());
    EXPECT_EQ(c.iwork_bytes, sizes[1]);
    if (c.rwork_bytes) EXPECT_EQ(c.rwork_bytes, sizes[2]);
    EXPECT_EQ(0u, spy.live());
}

INSTANTIATE_TEST_SUITE_P(
    LapackShapes, LapackGesddWorkspace,
    ::testing::Values(
        // 3 x max(5*3 + 7, 2*5 + 2*3 + 1) = 66 doubles, 8 * 3 = 24 ints
        GesddWorkspaceCase{'z', 'a', 3, 5, 66 * 8, 24 * 4},
        // 2 x max(5*2 + 7, 2*6 + 2*2 + 1) = 34 floats
        GesddWorkspaceCase{'c', 'S', 6, 2, 34 * 4, 16 * 4},
        // 2 x max(5*2 + 7, 2*10 + 2*2 + 1) = 50 doubles
        GesddWorkspaceCase{'z', 'S', 2, 10, 50 * 8, 16 * 4},
        // no vectors: 7 * 2 = 14 floats
        GesddWorkspaceCase{'c', 'n', 4, 2, 14 * 4, 16 * 4},
        GesddWorkspaceCase{'d', 'A', 3, 5, 0, 24 * 4}),
    [](const ::testing::TestParamInfo<GesddWorkspaceCase> &info) {
        const GesddWorkspaceCase &c = info.param;
        return std::string(1, c.kind) + "_" + c.jobz + "_" + std::to_string(c.m) + "x" +
               std::to_string(c.n);
    });

// Each driver, run on a fresh 4 x 4 problem of kind T; the result code is returned.
template <typename T>
std::vector<std::pair<const char *, std::function<int()>>> workspace_drivers() {
    using Real = typename KindOf<T>::Real;
    const char kind = KindOf<T>::code;
    const Py_ssize_t n = 4;
    return {
        {"getri",
         [=] {
             Matrix<T> a = dominant_matrix<T>(n, 151);
             std::vector<sarvo_fint> ipiv(n);
             if (sarvo_xxgetrf(kind, n, n, a.ptr(), n, ipiv.data()) != 0) return -2;
             return sarvo_ez_xxgetri(kind, n, a.ptr(), n, ipiv.data());
         }},
        {"geev",
         [=] {
             Matrix<T> a = random_matrix<T>(n, n, 152), vl(n, n), vr(n, n);
             std::vector<T> w(n);
             std::vector<Real> wr(n), wi(n);
             if constexpr (kIsComplex<T>)
                 return sarvo_ez_cgeev(kind, 'V', 'V', n, a.ptr(), n, w.data(), vl.ptr(), n, vr.ptr(), n);
             else
                 return sarvo_ez_rgeev(kind, 'V', 'V', n, a.ptr(), n, wr.data(), wi.data(), vl.ptr(), n,
                                       vr.ptr(), n);
         }},
        {"xxxevd",
         [=] {
             Matrix<T> a = hermitian_matrix<T>(n, 153, 0.0);
             std::vector<Real> w(n);
             return sarvo_ez_xxxevd(kind, 'V', 'L', n, a.ptr(), n, w.data());
         }},
        {"gesdd",
         [=] {
             Matrix<T> a = random_matrix<T>(n, n + 1, 158), u(n, n), vt(n + 1, n + 1);
             std::vector<Real> s(n);
             return sarvo_ez_gesdd(kind, 'A', n, n + 1, a.ptr(), n, s.data(), u.ptr(), n, vt.ptr(), n + 1);
         }},
        {"geqrf",
         [=] {
             Matrix<T> a = random_matrix<T>(n, n, 154);
             std::vector<T> tau(n);
             return sarvo_ez_geqrf(kind, n, n, a.ptr(), n, tau.data());
         }},
        {"xxgqr",
         [=] {
             Matrix<T> a = random_matrix<T>(n, n, 155);
             std::vector<T> tau(n, make<T>(0.5));
             return sarvo_ez_xxgqr(kind, n, n, n, a.ptr(), n, tau.data());
         }},
        {"gelsd",
         [=] {
             Matrix<T> a = random_matrix<T>(n, n, 156), b = random_matrix<T>(n, 1, 157);
             std::vector<Real> s(n);
             Py_ssize_t rank = 0;
             return sarvo_ez_gelsd(kind, n, n, 1, a.ptr(), n, b.ptr(), n, s.data(), -1.0, &rank);
         }},
    };
}

// Whichever workspace allocation fails, the driver raises MemoryError, returns -1 and frees
// the workspaces it already had.
template <typename T>
void expect_every_allocation_failure_reported() {
    for (auto &[name, call] : workspace_drivers<T>()) {
        SCOPED_TRACE(std::string(name) + " kind " + KindOf<T>::code);
        ASSERT_EQ(0, call());  // resolves the routine outside the watched calls
        size_t allocations;
        {
            RawAllocatorSpy spy;
            spy.watch();
            EXPECT_EQ(0, call());
            spy.stop();
            allocations = spy.sizes().size();
            EXPECT_EQ(0u, spy.live());
        }
        EXPECT_GE(allocations, 1u);
        for (size_t fail_at = 0; fail_at < allocations; ++fail_at) {
            SCOPED_TRACE(fail_at);
            int rc;
            size_t live;
            {
                RawAllocatorSpy spy;
                spy.watch(static_cast<int>(fail_at));
                rc = call();
                spy.stop();
                live = spy.live();
            }
            EXPECT_EQ(-1, rc);
            EXPECT_EQ(0u, live);
            PyErrorText err = take_error();
            EXPECT_EQ("MemoryError", err.type);
            EXPECT_EQ(std::string("Insufficient memory for buffer allocation") + std::string(29, ' ') +
                          "required by LAPACK.",
                      err.message);
        }
    }
}

TEST(LapackWorkspaces, EveryDriverReportsEachFailedAllocation) {
    expect_every_allocation_failure_reported<double>();
    expect_every_allocation_failure_reported<std::complex<float>>();
}

// ---------------------------------------------------------------------------------------------
// Resolution

TEST(LapackImport, ImportCythonFunctionReadsTheCapsuleOfTheNamedRoutine) {
    Gil gil;
    void *direct = import_cython_function("scipy.linalg.cython_blas", "ddot");
    ASSERT_NE(nullptr, direct);
    PyObject *args = Py_BuildValue("(ss)", "scipy.linalg.cython_blas", "ddot");
    PyObject *address = _sarvo_import_cython_function(nullptr, args);
    ASSERT_NE(nullptr, address);
    EXPECT_EQ(direct, PyLong_AsVoidPtr(address));
    Py_DECREF(address);
    Py_DECREF(args);
    // The address is the routine itself: calling it gives a dot product.
    using ddot_t = double(sarvo_fint *, double *, sarvo_fint *, double *, sarvo_fint *);
    double x[] = {1, 2, 3}, y[] = {4, -5, 6};
    sarvo_fint n = 3, inc = 1;
    EXPECT_EQ(12.0, reinterpret_cast<ddot_t *>(direct)(&n, x, &inc, y, &inc));
}

TEST(LapackImport, ImportCythonFunctionFailures) {
    Gil gil;
    struct Case {
        const char *module, *function;
        PyObject *type;
        const char *message;  // null: any text
    };
    const Case cases[] = {
        {"scipy.linalg.cython_blas", "no_such_routine", PyExc_ValueError,
         "No function 'no_such_routine' found in __pyx_capi__ of 'scipy.linalg.cython_blas'"},
        {"sarvo_no_such_module", "ddot", PyExc_ModuleNotFoundError, nullptr},
        {"math", "sqrt", PyExc_AttributeError, nullptr},  // a module without "__pyx_capi__"
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.module) + "." + c.function);
        EXPECT_EQ(nullptr, import_cython_function(c.module, c.function));
        ASSERT_TRUE(PyErr_ExceptionMatches(c.type));
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        PyErr_NormalizeException(&type, &value, &tb);
        if (c.message) {
            PyObject *s = PyObject_Str(value);
            EXPECT_STREQ(c.message, PyUnicode_AsUTF8(s));
            Py_DECREF(s);
        }
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(tb);
    }
    PyObject *bad = Py_BuildValue("(si)", "scipy.linalg.cython_blas", 3);
    EXPECT_EQ(nullptr, _sarvo_import_cython_function(nullptr, bad));
    EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_TypeError));
    PyErr_Clear();
    Py_DECREF(bad);
}

// Runs Python statements under the lock; false (with the traceback printed) on failure.
bool run_python(const char *code) {
    Gil gil;
    PyObject *globals = PyDict_New();
    PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins());
    PyObject *r = PyRun_String(code, Py_file_input, globals, globals);
    if (!r) PyErr_Print();
    Py_XDECREF(r);
    Py_DECREF(globals);
    return r != nullptr;
}

[[noreturn]] void child_fail(const char *what) {
    std::fprintf(stderr, "child check failed: %s\n", what);
    std::_Exit(1);
}

void child_expect_error(const char *type, const char *message, const char *what) {
    PyErrorText e = take_error();
    if (e.type != type || e.message != message) {
        std::fprintf(stderr, "%s: got %s '%s'\n", what, e.type.c_str(), e.message.c_str());
        child_fail(what);
    }
}

const char kScipyModulesAbsent[] =
    "import sys\n"
    "assert 'scipy.linalg.cython_blas' not in sys.modules\n"
    "assert 'scipy.linalg.cython_lapack' not in sys.modules\n";

// Run in a fresh process (a death-test child), where no routine has been resolved yet.
void invalid_kinds_import_nothing() {
    if (!run_python(kScipyModulesAbsent)) child_fail("SciPy's tables were imported before the test");
    std::vector<unsigned char> mem(4096);
    std::vector<sarvo_fint> ints(64);
    for (const EntryCall &e : all_entries(mem, ints)) {
        if (e.call('x') != -1) child_fail(e.name);
        child_expect_error("ValueError", "invalid data type (kind) found", e.name);
    }
    void *p = mem.data();
    if (sarvo_ez_rgeev('c', 'N', 'N', 2, p, 2, p, p, p, 1, p, 1) != -1) child_fail("rgeev c");
    child_expect_error("ValueError", "invalid data type (kind) found", "rgeev c");
    if (!run_python(kScipyModulesAbsent)) child_fail("an invalid kind imported SciPy's tables");
    std::fprintf(stderr, "scenario passed\n");
    std::_Exit(0);
}

// SciPy's tables unavailable: the first calls fail with the RuntimeError and leave their
// caches empty; once SciPy imports again, the same calls resolve and compute.
void missing_scipy_then_retry() {
    const char block[] =
        "import sys\n"
        "names = ['scipy', 'scipy.linalg', 'scipy.linalg.cython_blas', 'scipy.linalg.cython_lapack']\n"
        "sys._sarvo_saved = {n: sys.modules[n] for n in names if n in sys.modules}\n"
        "for n in names: sys.modules[n] = None\n";
    const char unblock[] =
        "import sys\n"
        "for n in ['scipy', 'scipy.linalg', 'scipy.linalg.cython_blas', 'scipy.linalg.cython_lapack']:\n"
        "    del sys.modules[n]\n"
        "sys.modules.update(sys._sarvo_saved)\n"
        "del sys._sarvo_saved\n";
    const char *missing = "Specified LAPACK function could not be found.";
    if (!run_python(block)) child_fail("blocking SciPy");
    double x[] = {3.0, 4.0}, norm = -1.0;
    double a[] = {2.0, 0.0, 0.0, 4.0};
    sarvo_fint ipiv[2];
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (sarvo_xxnrm2('d', 2, x, 1, &norm) != -1) child_fail("nrm2 without SciPy");
        child_expect_error("RuntimeError", missing, "nrm2 without SciPy");
        if (sarvo_xxgetrf('d', 2, 2, a, 2, ipiv) != -1) child_fail("getrf without SciPy");
        child_expect_error("RuntimeError", missing, "getrf without SciPy");
        if (sarvo_ez_xxgetri('d', 2, a, 2, ipiv) != -1) child_fail("getri without SciPy");
        child_expect_error("RuntimeError", missing, "getri without SciPy");
    }
    if (!run_python(unblock)) child_fail("unblocking SciPy");
    if (sarvo_xxnrm2('d', 2, x, 1, &norm) != 0 || norm != 5.0) child_fail("nrm2 after SciPy returned");
    if (sarvo_xxgetrf('d', 2, 2, a, 2, ipiv) != 0) child_fail("getrf after SciPy returned");
    if (sarvo_ez_xxgetri('d', 2, a, 2, ipiv) != 0 || a[0] != 0.5 || a[3] != 0.25)
        child_fail("getri after SciPy returned");
    if (take_error().set) child_fail("error left after success");
    std::fprintf(stderr, "scenario passed\n");
    std::_Exit(0);
}

TEST(LapackResolutionDeathTest, InvalidKindsImportNothing) {
    EXPECT_EXIT(invalid_kinds_import_nothing(), ::testing::ExitedWithCode(0), "scenario passed");
}

TEST(LapackResolutionDeathTest, MissingScipyFailsThenRetriesWhenImportable) {
    EXPECT_EXIT(missing_scipy_then_retry(), ::testing::ExitedWithCode(0), "scenario passed");
}

// ---------------------------------------------------------------------------------------------
// Threads

// A thread that has a Python thread state but does not hold the lock, as a kernel called
// from a Python thread does: the error lands in that thread's state.
TEST(LapackThreads, ErrorsReachTheCallingThreadsPythonState) {
    std::string type, message;
    int rc = 0;
    std::thread worker([&] {
        PyGILState_STATE gil = PyGILState_Ensure();
        PyThreadState *saved = PyEval_SaveThread();
        double a[4] = {1, 2, 3, 4};
        sarvo_fint ipiv[2];
        rc = sarvo_xxgetrf('d', 2, 2, a, 1, ipiv);
        PyEval_RestoreThread(saved);
        if (PyErr_Occurred()) {
            PyObject *t, *v, *tb;
            PyErr_Fetch(&t, &v, &tb);
            type = reinterpret_cast<PyTypeObject *>(t)->tp_name;
            PyObject *s = v ? PyObject_Str(v) : nullptr;
            if (s) message = PyUnicode_AsUTF8(s);
            Py_XDECREF(s);
            Py_XDECREF(t);
            Py_XDECREF(v);
            Py_XDECREF(tb);
        }
        PyGILState_Release(gil);
    });
    worker.join();
    EXPECT_EQ(-1, rc);
    EXPECT_EQ("RuntimeError", type);
    EXPECT_EQ("LAPACK Error: Routine \"xxgetrf\". On input 4\n", message);
    EXPECT_TRUE(no_error());  // nothing leaked into the main thread's state
}

// Plain threads with no Python state resolve and compute concurrently; a failing call still
// returns -1 (its error has no Python thread to go to and is dropped with the temporary state).
TEST(LapackThreads, ThreadsWithoutPythonStateComputeConcurrently) {
    constexpr int kThreads = 4;
    std::vector<int> ok(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&ok, t] {
            const Py_ssize_t n = 4;
            Matrix<double> a = dominant_matrix<double>(n, 200 + t), lu = a;
            Matrix<double> b = random_matrix<double>(n, 1, 300 + t), x = b;
            std::vector<sarvo_fint> ipiv(n);
            bool good = true;
            for (int rep = 0; rep < 20 && good; ++rep) {
                x = b;
                lu = a;
                good = sarvo_xgesv('d', n, 1, lu.ptr(), n, ipiv.data(), x.ptr(), n) == 0;
                Wide r = mul(wide(a), wide(x));
                good = good && max_diff(r, wide(b)) < 1e-10;
                double dot = 0;
                good = good && sarvo_xxdot('d', 0, n, x.ptr(), x.ptr(), &dot) == 0 && dot > 0;
            }
            good = good && sarvo_xxgemm('x', 'N', 'N', 1, 1, 1, nullptr, nullptr, 1, nullptr, 1, nullptr,
                                        nullptr, 1) == -1;
            ok[t] = good;
        });
    for (auto &th : threads) th.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_TRUE(ok[t]) << "thread " << t;
    EXPECT_TRUE(no_error());
}

}  // namespace
