// The routine caches, one per routine of SciPy's BLAS and LAPACK tables, grouped by operation
// into the four kinds. Caches start null and are filled at first use (see resolve()).
#include "helperlib/_lapack_support.h"

namespace sarvo_lapack {

namespace {

constexpr const char kBlasModule[] = "scipy.linalg.cython_blas";
constexpr const char kLapackModule[] = "scipy.linalg.cython_lapack";

#define SARVO_BLAS(name) Routine cblas_##name{kBlasModule, #name, {nullptr}};
#define SARVO_LAPACK(name) Routine clapack_##name{kLapackModule, #name, {nullptr}};

SARVO_BLAS(sgemm) SARVO_BLAS(dgemm) SARVO_BLAS(cgemm) SARVO_BLAS(zgemm)
SARVO_BLAS(sgemv) SARVO_BLAS(dgemv) SARVO_BLAS(cgemv) SARVO_BLAS(zgemv)
SARVO_BLAS(sdot) SARVO_BLAS(ddot) SARVO_BLAS(cdotu) SARVO_BLAS(zdotu)
SARVO_BLAS(cdotc) SARVO_BLAS(zdotc)
SARVO_BLAS(snrm2) SARVO_BLAS(dnrm2) SARVO_BLAS(scnrm2) SARVO_BLAS(dznrm2)

SARVO_LAPACK(sgetrf) SARVO_LAPACK(dgetrf) SARVO_LAPACK(cgetrf) SARVO_LAPACK(zgetrf)
SARVO_LAPACK(sgetri) SARVO_LAPACK(dgetri) SARVO_LAPACK(cgetri) SARVO_LAPACK(zgetri)
SARVO_LAPACK(spotrf) SARVO_LAPACK(dpotrf) SARVO_LAPACK(cpotrf) SARVO_LAPACK(zpotrf)
SARVO_LAPACK(sgeev) SARVO_LAPACK(dgeev) SARVO_LAPACK(cgeev) SARVO_LAPACK(zgeev)
SARVO_LAPACK(ssyevd) SARVO_LAPACK(dsyevd) SARVO_LAPACK(cheevd) SARVO_LAPACK(zheevd)
SARVO_LAPACK(sgesdd) SARVO_LAPACK(dgesdd) SARVO_LAPACK(cgesdd) SARVO_LAPACK(zgesdd)
SARVO_LAPACK(sgeqrf) SARVO_LAPACK(dgeqrf) SARVO_LAPACK(cgeqrf) SARVO_LAPACK(zgeqrf)
SARVO_LAPACK(sorgqr) SARVO_LAPACK(dorgqr) SARVO_LAPACK(cungqr) SARVO_LAPACK(zungqr)
SARVO_LAPACK(sgelsd) SARVO_LAPACK(dgelsd) SARVO_LAPACK(cgelsd) SARVO_LAPACK(zgelsd)
SARVO_LAPACK(sgesv) SARVO_LAPACK(dgesv) SARVO_LAPACK(cgesv) SARVO_LAPACK(zgesv)

#undef SARVO_BLAS
#undef SARVO_LAPACK

}  // namespace

const RoutineFamily blas_gemm{&cblas_sgemm, &cblas_dgemm, &cblas_cgemm, &cblas_zgemm};
const RoutineFamily blas_gemv{&cblas_sgemv, &cblas_dgemv, &cblas_cgemv, &cblas_zgemv};
// The real kinds have one dot product; conjugation picks only among the complex ones.
const RoutineFamily blas_dotu{&cblas_sdot, &cblas_ddot, &cblas_cdotu, &cblas_zdotu};
const RoutineFamily blas_dotc{&cblas_sdot, &cblas_ddot, &cblas_cdotc, &cblas_zdotc};
const RoutineFamily blas_nrm2{&cblas_snrm2, &cblas_dnrm2, &cblas_scnrm2, &cblas_dznrm2};

const RoutineFamily lapack_getrf{&clapack_sgetrf, &clapack_dgetrf, &clapack_cgetrf,
                                 &clapack_zgetrf};
const RoutineFamily lapack_getri{&clapack_sgetri, &clapack_dgetri, &clapack_cgetri,
                                 &clapack_zgetri};
const RoutineFamily lapack_potrf{&clapack_spotrf, &clapack_dpotrf, &clapack_cpotrf,
                                 &clapack_zpotrf};
const RoutineFamily lapack_geev{&clapack_sgeev, &clapack_dgeev, &clapack_cgeev, &clapack_zgeev};
const RoutineFamily lapack_evd{&clapack_ssyevd, &clapack_dsyevd, &clapack_cheevd,
                               &clapack_zheevd};
const RoutineFamily lapack_gesdd{&clapack_sgesdd, &clapack_dgesdd, &clapack_cgesdd,
                                 &clapack_zgesdd};
const RoutineFamily lapack_geqrf{&clapack_sgeqrf, &clapack_dgeqrf, &clapack_cgeqrf,
                                 &clapack_zgeqrf};
const RoutineFamily lapack_orgqr{&clapack_sorgqr, &clapack_dorgqr, &clapack_cungqr,
                                 &clapack_zungqr};
const RoutineFamily lapack_gelsd{&clapack_sgelsd, &clapack_dgelsd, &clapack_cgelsd,
                                 &clapack_zgelsd};
const RoutineFamily lapack_gesv{&clapack_sgesv, &clapack_dgesv, &clapack_cgesv, &clapack_zgesv};

}  // namespace sarvo_lapack
