/* Bridge from compiled linear-algebra code to the BLAS and LAPACK routines that SciPy exports
   from "scipy.linalg.cython_blas" and "scipy.linalg.cython_lapack".

   Every entry may run on a thread that does not hold the interpreter lock; it takes the lock
   itself, and only to resolve a routine at first use or to set a Python error.

   Kinds: 's' float32, 'd' float64, 'c' complex64, 'z' complex128. Matrices are column-major
   (Fortran order) with the given leading dimensions; sizes are narrowed to the 32-bit integers
   of the Fortran interface, and a size that does not fit raises OverflowError.

   BLAS entries return 0, or -1 with a Python error set. LAPACK entries return LAPACK's info
   when it is 0 or positive (a numerical failure the caller decides about) and -1 with a Python
   error set otherwise. The sarvo_raw_ functions do one call of the routine each and return 0
   once it ran (its info written to *info), or -1 with a Python error set. */
#ifndef SARVO_HELPERLIB_LAPACK_H
#define SARVO_HELPERLIB_LAPACK_H

#include <Python.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Fortran INTEGER of the routine tables. */
typedef int32_t sarvo_fint;

/* Resolution. import_cython_function requires the interpreter lock; it returns the address
   held by the capsule `function_name` of the module's "__pyx_capi__", or null with an error. */
void *import_cython_function(const char *module_name, const char *function_name);
/* Python-callable form: ("module", "function") -> address as a Python int. */
PyObject *_sarvo_import_cython_function(PyObject *self, PyObject *args);

/* BLAS, increments 1 unless given. */
int sarvo_xxdot(char kind, char conjugate, Py_ssize_t n, void *dx, void *dy, void *result);
int sarvo_xxgemv(char kind, char trans, Py_ssize_t m, Py_ssize_t n, void *alpha, void *a,
                 Py_ssize_t lda, void *x, void *beta, void *y);
int sarvo_xxgemm(char kind, char transa, char transb, Py_ssize_t m, Py_ssize_t n, Py_ssize_t k,
                 void *alpha, void *a, Py_ssize_t lda, void *b, Py_ssize_t ldb, void *beta,
                 void *c, Py_ssize_t ldc);
/* result is a float for kinds 's' and 'c', a double for 'd' and 'z'. */
int sarvo_xxnrm2(char kind, Py_ssize_t n, void *x, Py_ssize_t incx, void *result);

/* LAPACK drivers; the sarvo_ez_ ones query and allocate their own workspaces. */
int sarvo_xxgetrf(char kind, Py_ssize_t m, Py_ssize_t n, void *a, Py_ssize_t lda,
                  sarvo_fint *ipiv);
int sarvo_ez_xxgetri(char kind, Py_ssize_t n, void *a, Py_ssize_t lda, sarvo_fint *ipiv);
int sarvo_xxpotrf(char kind, char uplo, Py_ssize_t n, void *a, Py_ssize_t lda);
int sarvo_ez_rgeev(char kind, char jobvl, char jobvr, Py_ssize_t n, void *a, Py_ssize_t lda,
                   void *wr, void *wi, void *vl, Py_ssize_t ldvl, void *vr, Py_ssize_t ldvr);
int sarvo_ez_cgeev(char kind, char jobvl, char jobvr, Py_ssize_t n, void *a, Py_ssize_t lda,
                   void *w, void *vl, Py_ssize_t ldvl, void *vr, Py_ssize_t ldvr);
/* w is real (kind 's' or 'd' elements) for every kind. */
int sarvo_ez_xxxevd(char kind, char jobz, char uplo, Py_ssize_t n, void *a, Py_ssize_t lda,
                    void *w);
/* s is real for every kind. */
int sarvo_ez_gesdd(char kind, char jobz, Py_ssize_t m, Py_ssize_t n, void *a, Py_ssize_t lda,
                   void *s, void *u, Py_ssize_t ldu, void *vt, Py_ssize_t ldvt);
int sarvo_ez_geqrf(char kind, Py_ssize_t m, Py_ssize_t n, void *a, Py_ssize_t lda, void *tau);
int sarvo_ez_xxgqr(char kind, Py_ssize_t m, Py_ssize_t n, Py_ssize_t k, void *a, Py_ssize_t lda,
                   void *tau);
/* S is real for every kind; rcond is narrowed to float for 's' and 'c'. */
int sarvo_ez_gelsd(char kind, Py_ssize_t m, Py_ssize_t n, Py_ssize_t nrhs, void *a,
                   Py_ssize_t lda, void *b, Py_ssize_t ldb, void *S, double rcond,
                   Py_ssize_t *rank);
int sarvo_xgesv(char kind, Py_ssize_t n, Py_ssize_t nrhs, void *a, Py_ssize_t lda,
                sarvo_fint *ipiv, void *b, Py_ssize_t ldb);

/* One call each. A length of -1 makes the routine a workspace-size query; real workspaces
   (rwork, and rcond here) hold the kind's real counterpart. */
int sarvo_raw_xxgetri(char kind, Py_ssize_t n, void *a, Py_ssize_t lda, sarvo_fint *ipiv,
                      void *work, Py_ssize_t lwork, sarvo_fint *info);
int sarvo_raw_rgeev(char kind, char jobvl, char jobvr, Py_ssize_t n, void *a, Py_ssize_t lda,
                    void *wr, void *wi, void *vl, Py_ssize_t ldvl, void *vr, Py_ssize_t ldvr,
                    void *work, Py_ssize_t lwork, sarvo_fint *info);
int sarvo_raw_cgeev(char kind, char jobvl, char jobvr, Py_ssize_t n, void *a, Py_ssize_t lda,
                    void *w, void *vl, Py_ssize_t ldvl, void *vr, Py_ssize_t ldvr, void *work,
                    Py_ssize_t lwork, void *rwork, sarvo_fint *info);
int sarvo_raw_rsyevd(char kind, char jobz, char uplo, Py_ssize_t n, void *a, Py_ssize_t lda,
                     void *w, void *work, Py_ssize_t lwork, sarvo_fint *iwork,
                     Py_ssize_t liwork, sarvo_fint *info);
int sarvo_raw_cheevd(char kind, char jobz, char uplo, Py_ssize_t n, void *a, Py_ssize_t lda,
                     void *w, void *work, Py_ssize_t lwork, void *rwork, Py_ssize_t lrwork,
                     sarvo_fint *iwork, Py_ssize_t liwork, sarvo_fint *info);
int sarvo_raw_rgesdd(char kind, char jobz, Py_ssize_t m, Py_ssize_t n, void *a, Py_ssize_t lda,
                     void *s, void *u, Py_ssize_t ldu, void *vt, Py_ssize_t ldvt, void *work,
                     Py_ssize_t lwork, sarvo_fint *iwork, sarvo_fint *info);
int sarvo_raw_cgesdd(char kind, char jobz, Py_ssize_t m, Py_ssize_t n, void *a, Py_ssize_t lda,
                     void *s, void *u, Py_ssize_t ldu, void *vt, Py_ssize_t ldvt, void *work,
                     Py_ssize_t lwork, void *rwork, sarvo_fint *iwork, sarvo_fint *info);
int sarvo_raw_xgeqrf(char kind, Py_ssize_t m, Py_ssize_t n, void *a, Py_ssize_t lda, void *tau,
                     void *work, Py_ssize_t lwork, sarvo_fint *info);
int sarvo_raw_xxxgqr(char kind, Py_ssize_t m, Py_ssize_t n, Py_ssize_t k, void *a,
                     Py_ssize_t lda, void *tau, void *work, Py_ssize_t lwork, sarvo_fint *info);
int sarvo_raw_rgelsd(char kind, Py_ssize_t m, Py_ssize_t n, Py_ssize_t nrhs, void *a,
                     Py_ssize_t lda, void *b, Py_ssize_t ldb, void *S, void *rcond,
                     sarvo_fint *rank, void *work, Py_ssize_t lwork, sarvo_fint *iwork,
                     sarvo_fint *info);
int sarvo_raw_cgelsd(char kind, Py_ssize_t m, Py_ssize_t n, Py_ssize_t nrhs, void *a,
                     Py_ssize_t lda, void *b, Py_ssize_t ldb, void *S, void *rcond,
                     sarvo_fint *rank, void *work, Py_ssize_t lwork, void *rwork,
                     sarvo_fint *iwork, sarvo_fint *info);

#ifdef __cplusplus
}
#endif
#endif
