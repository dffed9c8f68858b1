// Workspace drivers. Each asks the routine for its optimal workspace lengths (every length
// -1, one scratch element per workspace), allocates the workspaces with PyMem_RawMalloc,
// calls the routine again and frees them. Only the complex gesdd real workspace, the gesdd
// integer workspace and the complex geev real workspace have fixed sizes, because those
// routines do not report them.
#include <algorithm>
#include <cstdint>

#include "helperlib/_lapack_support.h"

using namespace sarvo_lapack;

namespace {

constexpr Py_ssize_t kQuery = -1;

size_t real_size(char kind) { return static_cast<size_t>(kind_size(underlying_float_kind(kind))); }
size_t elem_size(char kind) { return static_cast<size_t>(kind_size(kind)); }

// Length of the complex gesdd real workspace: 7 min(m, n) without vectors, otherwise
// min(m, n) max(5 min(m, n) + 7, 2 max(m, n) + 2 min(m, n) + 1); at least one element.
// m and n already passed the routine's own checks (32-bit, non-negative), so the 64-bit
// arithmetic cannot overflow: the product is below 2^31 * 2^33.
size_t cgesdd_rwork_length(char jobz, int64_t m, int64_t n) {
    int64_t mn = std::min(m, n), mx = std::max(m, n);
    int64_t length = jobz == 'n' ? 7 * mn : mn * std::max(5 * mn + 7, 2 * mx + 2 * mn + 1);
    return static_cast<size_t>(std::max<int64_t>(length, 1));
}

}  // namespace

extern "C" {

int sarvo_ez_xxgetri(char kind, Py_ssize_t n, void *a, Py_ssize_t lda, sarvo_fint *ipiv) {
    QueryScratch q;
    fint info = 0;
    if (sarvo_raw_xxgetri(kind, n, a, lda, ipiv, q.work, kQuery, &info) < 0) return -1;
    if (info < 0) return report_info("xxgetri", info);
    fint lwork = cast_from_X(kind, q.work);
    if (lwork < 0) return -1;
    Workspace work;
    if (!work.allocate(lwork, elem_size(kind))) return raise_workspace_error();
    if (sarvo_raw_xxgetri(kind, n, a, lda, ipiv, work.get(), lwork, &info) < 0) return -1;
    return report_info("xxgetri", info);
}

int sarvo_ez_rgeev(char kind, char jobvl, char jobvr, Py_ssize_t n, void *a, Py_ssize_t lda,
                   void *wr, void *wi, void *vl, Py_ssize_t ldvl, void *vr, Py_ssize_t ldvr) {
    static const char kName[] = "sarvo_raw_rgeev";
    QueryScratch q;
    fint info = 0;
    if (sarvo_raw_rgeev(kind, jobvl, jobvr, n, a, lda, wr, wi, vl, ldvl, vr, ldvr, q.work,
                        kQuery, &info) < 0)
        return -1;
    if (info < 0) return report_info(kName, info);
    fint lwork = cast_from_X(kind, q.work);
    if (lwork < 0) return -1;
    Workspace work;
    if (!work.allocate(lwork, elem_size(kind))) return raise_workspace_error();
    if (sarvo_raw_rgeev(kind, jobvl, jobvr, n, a, lda, wr, wi, vl, ldvl, vr, ldvr, work.get(),
                        lwork, &info) < 0)
        return -1;
    return report_info(kName, info);
}

int sarvo_ez_cgeev(char kind, char jobvl, char jobvr, Py_ssize_t n, void *a, Py_ssize_t lda,
                   void *w, void *vl, Py_ssize_t ldvl, void *vr, Py_ssize_t ldvr) {
    static const char kName[] = "sarvo_raw_cgeev";
    QueryScratch q;
    fint info = 0;
    if (sarvo_raw_cgeev(kind, jobvl, jobvr, n, a, lda, w, vl, ldvl, vr, ldvr, q.work, kQuery,
                        q.rwork, &info) < 0)
        return -1;
    if (info < 0) return report_info(kName, info);
    fint lwork = cast_from_X(kind, q.work);
    if (lwork < 0) return -1;
    // geev needs 2n reals; elements of the complex size are twice that, which is harmless.
    Workspace work, rwork;
    if (!work.allocate(lwork, elem_size(kind)) ||
        !rwork.allocate(2 * static_cast<size_t>(n), elem_size(kind)))
        return raise_workspace_error();
    if (sarvo_raw_cgeev(kind, jobvl, jobvr, n, a, lda, w, vl, ldvl, vr, ldvr, work.get(), lwork,
                        rwork.get(), &info) < 0)
        return -1;
    return report_info(kName, info);
}

int sarvo_ez_xxxevd(char kind, char jobz, char uplo, Py_ssize_t n, void *a, Py_ssize_t lda,
                    void *w) {
    QueryScratch q;
    fint info = 0;
    if (!is_complex_kind(kind)) {
        static const char kName[] = "sarvo_raw_rsyevd";
        if (sarvo_raw_rsyevd(kind, jobz, uplo, n, a, lda, w, q.work, kQuery, &q.iwork, kQuery,
                             &info) < 0)
            return -1;
        if (info < 0) return report_info(kName, info);
        fint lwork = cast_from_X(kind, q.work);
        if (lwork < 0) return -1;
        fint liwork = std::max<fint>(q.iwork, 0);
        Workspace work, iwork;
        if (!work.allocate(lwork, elem_size(kind)) || !iwork.allocate(liwork, sizeof(fint)))
            return raise_workspace_error();
        if (sarvo_raw_rsyevd(kind, jobz, uplo, n, a, lda, w, work.get(), lwork, iwork.ints(),
                             liwork, &info) < 0)
            return -1;
        return report_info(kName, info);
    }
    static const char kName[] = "sarvo_raw_cheevd";
    if (sarvo_raw_cheevd(kind, jobz, uplo, n, a, lda, w, q.work, kQuery, q.rwork, kQuery,
                         &q.iwork, kQuery, &info) < 0)
        return -1;
    if (info < 0) return report_info(kName, info);
    fint lwork = cast_from_X(kind, q.work);
    fint lrwork = cast_from_X(underlying_float_kind(kind), q.rwork);
    if (lwork < 0 || lrwork < 0) return -1;
    fint liwork = std::max<fint>(q.iwork, 0);
    Workspace work, rwork, iwork;
    if (!work.allocate(lwork, elem_size(kind)) || !rwork.allocate(lrwork, real_size(kind)) ||
        !iwork.allocate(liwork, sizeof(fint)))
        return raise_workspace_error();
    if (sarvo_raw_cheevd(kind, jobz, uplo, n, a, lda, w, work.get(), lwork, rwork.get(), lrwork,
                         iwork.ints(), liwork, &info) < 0)
        return -1;
    return report_info(kName, info);
}

int sarvo_ez_gesdd(char kind, char jobz, Py_ssize_t m, Py_ssize_t n, void *a, Py_ssize_t lda,
                   void *s, void *u, Py_ssize_t ldu, void *vt, Py_ssize_t ldvt) {
    QueryScratch q;
    fint info = 0;
    const bool complex = is_complex_kind(kind);
    const char *name = complex ? "sarvo_raw_cgesdd" : "sarvo_raw_rgesdd";
    int called = complex ? sarvo_raw_cgesdd(kind, jobz, m, n, a, lda, s, u, ldu, vt, ldvt,
                                            q.work, kQuery, q.rwork, &q.iwork, &info)
                         : sarvo_raw_rgesdd(kind, jobz, m, n, a, lda, s, u, ldu, vt, ldvt,
                                            q.work, kQuery, &q.iwork, &info);
    if (called < 0) return -1;
    if (info < 0) return report_info(name, info);
    fint lwork = cast_from_X(kind, q.work);
    if (lwork < 0) return -1;
    Workspace work, rwork, iwork;
    if (!work.allocate(lwork, elem_size(kind)) ||
        !iwork.allocate(8 * static_cast<size_t>(std::min(m, n)), sizeof(fint)))
        return raise_workspace_error();
    if (complex) {
        if (!rwork.allocate(cgesdd_rwork_length(jobz, m, n), real_size(kind)))
            return raise_workspace_error();
        called = sarvo_raw_cgesdd(kind, jobz, m, n, a, lda, s, u, ldu, vt, ldvt, work.get(),
                                  lwork, rwork.get(), iwork.ints(), &info);
    } else {
        called = sarvo_raw_rgesdd(kind, jobz, m, n, a, lda, s, u, ldu, vt, ldvt, work.get(),
                                  lwork, iwork.ints(), &info);
    }
    if (called < 0) return -1;
    return report_info(name, info);
}

int sarvo_ez_geqrf(char kind, Py_ssize_t m, Py_ssize_t n, void *a, Py_ssize_t lda, void *tau) {
    static const char kName[] = "sarvo_raw_xgeqrf";
    QueryScratch q;
    fint info = 0;
    if (sarvo_raw_xgeqrf(kind, m, n, a, lda, tau, q.work, kQuery, &info) < 0) return -1;
    if (info < 0) return report_info(kName, info);
    fint lwork = cast_from_X(kind, q.work);
    if (lwork < 0) return -1;
    Workspace work;
    if (!work.allocate(lwork, elem_size(kind))) return raise_workspace_error();
    if (sarvo_raw_xgeqrf(kind, m, n, a, lda, tau, work.get(), lwork, &info) < 0) return -1;
    return report_info(kName, info);
}

int sarvo_ez_xxgqr(char kind, Py_ssize_t m, Py_ssize_t n, Py_ssize_t k, void *a, Py_ssize_t lda,
                   void *tau) {
    static const char kName[] = "sarvo_raw_xxxgqr";
    QueryScratch q;
    fint info = 0;
    if (sarvo_raw_xxxgqr(kind, m, n, k, a, lda, tau, q.work, kQuery, &info) < 0) return -1;
    if (info < 0) return report_info(kName, info);
    fint lwork = cast_from_X(kind, q.work);
    if (lwork < 0) return -1;
    Workspace work;
    if (!work.allocate(lwork, elem_size(kind))) return raise_workspace_error();
    if (sarvo_raw_xxxgqr(kind, m, n, k, a, lda, tau, work.get(), lwork, &info) < 0) return -1;
    return report_info(kName, info);
}

// rcond travels by address in the kind's real precision; the rank comes back as a Fortran
// integer and is widened for the caller.
int sarvo_ez_gelsd(char kind, Py_ssize_t m, Py_ssize_t n, Py_ssize_t nrhs, void *a,
                   Py_ssize_t lda, void *b, Py_ssize_t ldb, void *S, double rcond,
                   Py_ssize_t *rank) {
    union {
        float f;
        double d;
    } rcond_arg;
    if (underlying_float_kind(kind) == 's')
        rcond_arg.f = static_cast<float>(rcond);
    else
        rcond_arg.d = rcond;
    QueryScratch q;
    fint info = 0, irank = 0;
    const bool complex = is_complex_kind(kind);
    const char *name = complex ? "sarvo_raw_cgelsd" : "sarvo_raw_rgelsd";
    int called = complex ? sarvo_raw_cgelsd(kind, m, n, nrhs, a, lda, b, ldb, S, &rcond_arg,
                                            &irank, q.work, kQuery, q.rwork, &q.iwork, &info)
                         : sarvo_raw_rgelsd(kind, m, n, nrhs, a, lda, b, ldb, S, &rcond_arg,
                                            &irank, q.work, kQuery, &q.iwork, &info);
    if (called < 0) return -1;
    if (info < 0) return report_info(name, info);
    fint lwork = cast_from_X(kind, q.work);
    if (lwork < 0) return -1;
    fint liwork = std::max<fint>(q.iwork, 0);
    Workspace work, rwork, iwork;
    if (!work.allocate(lwork, elem_size(kind)) || !iwork.allocate(liwork, sizeof(fint)))
        return raise_workspace_error();
    if (complex) {
        fint lrwork = cast_from_X(underlying_float_kind(kind), q.rwork);
        if (lrwork < 0) return -1;
        if (!rwork.allocate(lrwork, real_size(kind))) return raise_workspace_error();
        called = sarvo_raw_cgelsd(kind, m, n, nrhs, a, lda, b, ldb, S, &rcond_arg, &irank,
                                  work.get(), lwork, rwork.get(), iwork.ints(), &info);
    } else {
        called = sarvo_raw_rgelsd(kind, m, n, nrhs, a, lda, b, ldb, S, &rcond_arg, &irank,
                                  work.get(), lwork, iwork.ints(), &info);
    }
    if (called < 0) return -1;
    *rank = irank;
    return report_info(name, info);
}

}  // extern "C"
