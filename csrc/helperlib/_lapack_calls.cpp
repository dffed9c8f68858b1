// One call of a LAPACK routine each: pick the routine for the kind, narrow the sizes to
// Fortran integers, pass every scalar and option by address. getrf, potrf and gesv need no
// workspace and report LAPACK's info directly; the sarvo_raw_ functions leave info to the
// workspace drivers.
#include "helperlib/_lapack_support.h"

using namespace sarvo_lapack;

namespace {

using getrf_t = void(fint *m, fint *n, void *a, fint *lda, fint *ipiv, fint *info);
using getri_t = void(fint *n, void *a, fint *lda, fint *ipiv, void *work, fint *lwork,
                     fint *info);
using potrf_t = void(char *uplo, fint *n, void *a, fint *lda, fint *info);
using rgeev_t = void(char *jobvl, char *jobvr, fint *n, void *a, fint *lda, void *wr, void *wi,
                     void *vl, fint *ldvl, void *vr, fint *ldvr, void *work, fint *lwork,
                     fint *info);
using cgeev_t = void(char *jobvl, char *jobvr, fint *n, void *a, fint *lda, void *w, void *vl,
                     fint *ldvl, void *vr, fint *ldvr, void *work, fint *lwork, void *rwork,
                     fint *info);
using rsyevd_t = void(char *jobz, char *uplo, fint *n, void *a, fint *lda, void *w, void *work,
                      fint *lwork, fint *iwork, fint *liwork, fint *info);
using cheevd_t = void(char *jobz, char *uplo, fint *n, void *a, fint *lda, void *w, void *work,
                      fint *lwork, void *rwork, fint *lrwork, fint *iwork, fint *liwork,
                      fint *info);
using rgesdd_t = void(char *jobz, fint *m, fint *n, void *a, fint *lda, void *s, void *u,
                      fint *ldu, void *vt, fint *ldvt, void *work, fint *lwork, fint *iwork,
                      fint *info);
using cgesdd_t = void(char *jobz, fint *m, fint *n, void *a, fint *lda, void *s, void *u,
                      fint *ldu, void *vt, fint *ldvt, void *work, fint *lwork, void *rwork,
                      fint *iwork, fint *info);
using geqrf_t = void(fint *m, fint *n, void *a, fint *lda, void *tau, void *work, fint *lwork,
                     fint *info);
using orgqr_t = void(fint *m, fint *n, fint *k, void *a, fint *lda, void *tau, void *work,
                     fint *lwork, fint *info);
using rgelsd_t = void(fint *m, fint *n, fint *nrhs, void *a, fint *lda, void *b, fint *ldb,
                      void *s, void *rcond, fint *rank, void *work, fint *lwork, fint *iwork,
                      fint *info);
using cgelsd_t = void(fint *m, fint *n, fint *nrhs, void *a, fint *lda, void *b, fint *ldb,
                      void *s, void *rcond, fint *rank, void *work, fint *lwork, void *rwork,
                      fint *iwork, fint *info);
using gesv_t = void(fint *n, fint *nrhs, void *a, fint *lda, fint *ipiv, void *b, fint *ldb,
                    fint *info);

}  // namespace

extern "C" {

int sarvo_xxgetrf(char kind, Py_ssize_t m, Py_ssize_t n, void *a, Py_ssize_t lda,
                  sarvo_fint *ipiv) {
    getrf_t *getrf = routine_for<getrf_t>(lapack_getrf, kind, kAnyKind);
    fint fm, fn, flda, info = 0;
    if (!getrf || !narrow(m, &fm, n, &fn, lda, &flda)) return -1;
    getrf(&fm, &fn, a, &flda, ipiv, &info);
    return report_info("xxgetrf", info);
}

int sarvo_xxpotrf(char kind, char uplo, Py_ssize_t n, void *a, Py_ssize_t lda) {
    potrf_t *potrf = routine_for<potrf_t>(lapack_potrf, kind, kAnyKind);
    fint fn, flda, info = 0;
    if (!potrf || !narrow(n, &fn, lda, &flda)) return -1;
    potrf(&uplo, &fn, a, &flda, &info);
    return report_info("xxpotrf", info);
}

int sarvo_xgesv(char kind, Py_ssize_t n, Py_ssize_t nrhs, void *a, Py_ssize_t lda,
                sarvo_fint *ipiv, void *b, Py_ssize_t ldb) {
    gesv_t *gesv = routine_for<gesv_t>(lapack_gesv, kind, kAnyKind);
    fint fn, fnrhs, flda, fldb, info = 0;
    if (!gesv || !narrow(n, &fn, nrhs, &fnrhs, lda, &flda, ldb, &fldb)) return -1;
    gesv(&fn, &fnrhs, a, &flda, ipiv, b, &fldb, &info);
    return report_info("xgesv", info);
}

int sarvo_raw_xxgetri(char kind, Py_ssize_t n, void *a, Py_ssize_t lda, sarvo_fint *ipiv,
                      void *work, Py_ssize_t lwork, sarvo_fint *info) {
    getri_t *getri = routine_for<getri_t>(lapack_getri, kind, kAnyKind);
    fint fn, flda, flwork;
    if (!getri || !narrow(n, &fn, lda, &flda, lwork, &flwork)) return -1;
    getri(&fn, a, &flda, ipiv, work, &flwork, info);
    return 0;
}

int sarvo_raw_rgeev(char kind, char jobvl, char jobvr, Py_ssize_t n, void *a, Py_ssize_t lda,
                    void *wr, void *wi, void *vl, Py_ssize_t ldvl, void *vr, Py_ssize_t ldvr,
                    void *work, Py_ssize_t lwork, sarvo_fint *info) {
    rgeev_t *geev = routine_for<rgeev_t>(lapack_geev, kind, kRealKinds);
    fint fn, flda, fldvl, fldvr, flwork;
    if (!geev || !narrow(n, &fn, lda, &flda, ldvl, &fldvl, ldvr, &fldvr, lwork, &flwork))
        return -1;
    geev(&jobvl, &jobvr, &fn, a, &flda, wr, wi, vl, &fldvl, vr, &fldvr, work, &flwork, info);
    return 0;
}

int sarvo_raw_cgeev(char kind, char jobvl, char jobvr, Py_ssize_t n, void *a, Py_ssize_t lda,
                    void *w, void *vl, Py_ssize_t ldvl, void *vr, Py_ssize_t ldvr, void *work,
                    Py_ssize_t lwork, void *rwork, sarvo_fint *info) {
    cgeev_t *geev = routine_for<cgeev_t>(lapack_geev, kind, kComplexKinds);
    fint fn, flda, fldvl, fldvr, flwork;
    if (!geev || !narrow(n, &fn, lda, &flda, ldvl, &fldvl, ldvr, &fldvr, lwork, &flwork))
        return -1;
    geev(&jobvl, &jobvr, &fn, a, &flda, w, vl, &fldvl, vr, &fldvr, work, &flwork, rwork, info);
    return 0;
}

int sarvo_raw_rsyevd(char kind, char jobz, char uplo, Py_ssize_t n, void *a, Py_ssize_t lda,
                     void *w, void *work, Py_ssize_t lwork, sarvo_fint *iwork,
                     Py_ssize_t liwork, sarvo_fint *info) {
    rsyevd_t *syevd = routine_for<rsyevd_t>(lapack_evd, kind, kRealKinds);
    fint fn, flda, flwork, fliwork;
    if (!syevd || !narrow(n, &fn, lda, &flda, lwork, &flwork, liwork, &fliwork)) return -1;
    syevd(&jobz, &uplo, &fn, a, &flda, w, work, &flwork, iwork, &fliwork, info);
    return 0;
}

int sarvo_raw_cheevd(char kind, char jobz, char uplo, Py_ssize_t n, void *a, Py_ssize_t lda,
                     void *w, void *work, Py_ssize_t lwork, void *rwork, Py_ssize_t lrwork,
                     sarvo_fint *iwork, Py_ssize_t liwork, sarvo_fint *info) {
    cheevd_t *heevd = routine_for<cheevd_t>(lapack_evd, kind, kComplexKinds);
    fint fn, flda, flwork, flrwork, fliwork;
    if (!heevd ||
        !narrow(n, &fn, lda, &flda, lwork, &flwork, lrwork, &flrwork, liwork, &fliwork))
        return -1;
    heevd(&jobz, &uplo, &fn, a, &flda, w, work, &flwork, rwork, &flrwork, iwork, &fliwork, info);
    return 0;
}

int sarvo_raw_rgesdd(char kind, char jobz, Py_ssize_t m, Py_ssize_t n, void *a, Py_ssize_t lda,
                     void *s, void *u, Py_ssize_t ldu, void *vt, Py_ssize_t ldvt, void *work,
                     Py_ssize_t lwork, sarvo_fint *iwork, sarvo_fint *info) {
    rgesdd_t *gesdd = routine_for<rgesdd_t>(lapack_gesdd, kind, kRealKinds);
    fint fm, fn, flda, fldu, fldvt, flwork;
    if (!gesdd ||
        !narrow(m, &fm, n, &fn, lda, &flda, ldu, &fldu, ldvt, &fldvt, lwork, &flwork))
        return -1;
    gesdd(&jobz, &fm, &fn, a, &flda, s, u, &fldu, vt, &fldvt, work, &flwork, iwork, info);
    return 0;
}

int sarvo_raw_cgesdd(char kind, char jobz, Py_ssize_t m, Py_ssize_t n, void *a, Py_ssize_t lda,
                     void *s, void *u, Py_ssize_t ldu, void *vt, Py_ssize_t ldvt, void *work,
                     Py_ssize_t lwork, void *rwork, sarvo_fint *iwork, sarvo_fint *info) {
    cgesdd_t *gesdd = routine_for<cgesdd_t>(lapack_gesdd, kind, kComplexKinds);
    fint fm, fn, flda, fldu, fldvt, flwork;
    if (!gesdd ||
        !narrow(m, &fm, n, &fn, lda, &flda, ldu, &fldu, ldvt, &fldvt, lwork, &flwork))
        return -1;
    gesdd(&jobz, &fm, &fn, a, &flda, s, u, &fldu, vt, &fldvt, work, &flwork, rwork, iwork,
          info);
    return 0;
}

int sarvo_raw_xgeqrf(char kind, Py_ssize_t m, Py_ssize_t n, void *a, Py_ssize_t lda, void *tau,
                     void *work, Py_ssize_t lwork, sarvo_fint *info) {
    geqrf_t *geqrf = routine_for<geqrf_t>(lapack_geqrf, kind, kAnyKind);
    fint fm, fn, flda, flwork;
    if (!geqrf || !narrow(m, &fm, n, &fn, lda, &flda, lwork, &flwork)) return -1;
    geqrf(&fm, &fn, a, &flda, tau, work, &flwork, info);
    return 0;
}

int sarvo_raw_xxxgqr(char kind, Py_ssize_t m, Py_ssize_t n, Py_ssize_t k, void *a,
                     Py_ssize_t lda, void *tau, void *work, Py_ssize_t lwork, sarvo_fint *info) {
    orgqr_t *orgqr = routine_for<orgqr_t>(lapack_orgqr, kind, kAnyKind);
    fint fm, fn, fk, flda, flwork;
    if (!orgqr || !narrow(m, &fm, n, &fn, k, &fk, lda, &flda, lwork, &flwork)) return -1;
    orgqr(&fm, &fn, &fk, a, &flda, tau, work, &flwork, info);
    return 0;
}

int sarvo_raw_rgelsd(char kind, Py_ssize_t m, Py_ssize_t n, Py_ssize_t nrhs, void *a,
                     Py_ssize_t lda, void *b, Py_ssize_t ldb, void *S, void *rcond,
                     sarvo_fint *rank, void *work, Py_ssize_t lwork, sarvo_fint *iwork,
                     sarvo_fint *info) {
    rgelsd_t *gelsd = routine_for<rgelsd_t>(lapack_gelsd, kind, kRealKinds);
    fint fm, fn, fnrhs, flda, fldb, flwork;
    if (!gelsd ||
        !narrow(m, &fm, n, &fn, nrhs, &fnrhs, lda, &flda, ldb, &fldb, lwork, &flwork))
        return -1;
    gelsd(&fm, &fn, &fnrhs, a, &flda, b, &fldb, S, rcond, rank, work, &flwork, iwork, info);
    return 0;
}

int sarvo_raw_cgelsd(char kind, Py_ssize_t m, Py_ssize_t n, Py_ssize_t nrhs, void *a,
                     Py_ssize_t lda, void *b, Py_ssize_t ldb, void *S, void *rcond,
                     sarvo_fint *rank, void *work, Py_ssize_t lwork, void *rwork,
                     sarvo_fint *iwork, sarvo_fint *info) {
    cgelsd_t *gelsd = routine_for<cgelsd_t>(lapack_gelsd, kind, kComplexKinds);
    fint fm, fn, fnrhs, flda, fldb, flwork;
    if (!gelsd ||
        !narrow(m, &fm, n, &fn, nrhs, &fnrhs, lda, &flda, ldb, &fldb, lwork, &flwork))
        return -1;
    gelsd(&fm, &fn, &fnrhs, a, &flda, b, &fldb, S, rcond, rank, work, &flwork, rwork, iwork,
          info);
    return 0;
}

}  // extern "C"
