// BLAS entries: dot products, matrix-vector and matrix-matrix products, Euclidean norms.
// Each resolves its routine, narrows the sizes and passes every scalar by address.
#include <complex>

#include "helperlib/_lapack_support.h"

using namespace sarvo_lapack;

namespace {

using gemm_t = void(char *transa, char *transb, fint *m, fint *n, fint *k, void *alpha, void *a,
                    fint *lda, void *b, fint *ldb, void *beta, void *c, fint *ldc);
using gemv_t = void(char *trans, fint *m, fint *n, void *alpha, void *a, fint *lda, void *x,
                    fint *incx, void *beta, void *y, fint *incy);
template <typename R>
using dot_t = R(fint *n, void *dx, fint *incx, void *dy, fint *incy);
template <typename R>
using nrm2_t = R(fint *n, void *x, fint *incx);

// Calls a dot routine that returns R and stores the value at result.
template <typename R>
int store_dot(void *routine, fint n, void *dx, void *dy, void *result) {
    fint inc = 1;
    *static_cast<R *>(result) = reinterpret_cast<dot_t<R> *>(routine)(&n, dx, &inc, dy, &inc);
    return 0;
}

template <typename R>
int store_nrm2(void *routine, fint n, void *x, fint incx, void *result) {
    *static_cast<R *>(result) = reinterpret_cast<nrm2_t<R> *>(routine)(&n, x, &incx);
    return 0;
}

}  // namespace

extern "C" {

// The complex kinds return their value in registers as C99 complex numbers do; libstdc++'s
// std::complex wraps exactly that type, so the call below reads the same registers.
int sarvo_xxdot(char kind, char conjugate, Py_ssize_t n, void *dx, void *dy, void *result) {
    void *routine = routine_for<void>(conjugate ? blas_dotc : blas_dotu, kind, kAnyKind);
    fint fn;
    if (!routine || !narrow(n, &fn)) return -1;
    switch (kind) {
        case 's': return store_dot<float>(routine, fn, dx, dy, result);
        case 'd': return store_dot<double>(routine, fn, dx, dy, result);
        case 'c': return store_dot<std::complex<float>>(routine, fn, dx, dy, result);
        default: return store_dot<std::complex<double>>(routine, fn, dx, dy, result);
    }
}

int sarvo_xxgemv(char kind, char trans, Py_ssize_t m, Py_ssize_t n, void *alpha, void *a,
                 Py_ssize_t lda, void *x, void *beta, void *y) {
    gemv_t *gemv = routine_for<gemv_t>(blas_gemv, kind, kAnyKind);
    fint fm, fn, flda, inc = 1;
    if (!gemv || !narrow(m, &fm, n, &fn, lda, &flda)) return -1;
    gemv(&trans, &fm, &fn, alpha, a, &flda, x, &inc, beta, y, &inc);
    return 0;
}

int sarvo_xxgemm(char kind, char transa, char transb, Py_ssize_t m, Py_ssize_t n, Py_ssize_t k,
                 void *alpha, void *a, Py_ssize_t lda, void *b, Py_ssize_t ldb, void *beta,
                 void *c, Py_ssize_t ldc) {
    gemm_t *gemm = routine_for<gemm_t>(blas_gemm, kind, kAnyKind);
    fint fm, fn, fk, flda, fldb, fldc;
    if (!gemm || !narrow(m, &fm, n, &fn, k, &fk, lda, &flda, ldb, &fldb, ldc, &fldc)) return -1;
    gemm(&transa, &transb, &fm, &fn, &fk, alpha, a, &flda, b, &fldb, beta, c, &fldc);
    return 0;
}

int sarvo_xxnrm2(char kind, Py_ssize_t n, void *x, Py_ssize_t incx, void *result) {
    void *routine = routine_for<void>(blas_nrm2, kind, kAnyKind);
    fint fn, fincx;
    if (!routine || !narrow(n, &fn, incx, &fincx)) return -1;
    if (underlying_float_kind(kind) == 's') return store_nrm2<float>(routine, fn, x, fincx, result);
    return store_nrm2<double>(routine, fn, x, fincx, result);
}

}  // extern "C"
