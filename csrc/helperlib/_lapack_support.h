// Internals of the BLAS/LAPACK bridge: kinds, the routine caches, the Fortran argument
// conversions, workspaces and error reporting. C++ only; the C surface is _lapack.h.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstddef>

#include "helperlib/_lapack.h"

namespace sarvo_lapack {

using fint = sarvo_fint;

// Kinds an entry accepts.
enum KindSet : unsigned { kRealKinds = 1u, kComplexKinds = 2u, kAnyKind = 3u };

// Bytes of one element: 4, 8, 8, 16 for 's', 'd', 'c', 'z'; -1 for any other character.
int kind_size(char kind);
// Real counterpart, 's' for 's' and 'c', 'd' for 'd' and 'z'; '\0' for any other character.
char underlying_float_kind(char kind);
bool is_complex_kind(char kind);

// True when `kind` is one of `accepted`; otherwise raises ValueError (taking the lock).
bool check_kind(char kind, KindSet accepted);

// Sets a Python error from a thread that may not hold the interpreter lock.
void raise_error(PyObject *type, const char *message);

// Returns info when it is 0 or positive; raises the illegal-argument RuntimeError naming
// `routine` and the argument position -info, and returns -1, when it is negative.
int report_info(const char *routine, fint info);

// One routine of SciPy's tables. The address is written once, at the first successful
// resolution, and never cleared; a failed resolution leaves it null so a later call retries.
// Two threads resolving at once both store the same address, so no lock is needed.
struct Routine {
    const char *module;
    const char *name;
    std::atomic<void *> address;
};

// The four precisions of one operation.
struct RoutineFamily {
    Routine *s, *d, *c, *z;
    Routine *pick(char kind) const;
};

// Returns the routine's address, resolving it under the interpreter lock at first use;
// null with RuntimeError "Specified LAPACK function could not be found." on failure.
void *resolve(Routine &routine);

// Validates the kind against `accepted` and resolves the family's routine of that kind;
// null with the Python error set.
template <typename Fn>
Fn *routine_for(const RoutineFamily &family, char kind, KindSet accepted) {
    if (!check_kind(kind, accepted)) return nullptr;
    return reinterpret_cast<Fn *>(resolve(*family.pick(kind)));
}

extern const RoutineFamily blas_gemm, blas_gemv, blas_dotu, blas_dotc, blas_nrm2;
extern const RoutineFamily lapack_getrf, lapack_getri, lapack_potrf, lapack_geev, lapack_evd,
    lapack_gesdd, lapack_geqrf, lapack_orgqr, lapack_gelsd, lapack_gesv;

// Narrows sizes to Fortran integers. A value outside the 32-bit range would silently become
// a different size, so it raises OverflowError instead and returns false.
bool narrow(Py_ssize_t value, fint *out);
template <typename... Rest>
bool narrow(Py_ssize_t value, fint *out, Rest... rest) {
    return narrow(value, out) && narrow(rest...);
}

// Optimal workspace length that a size query wrote into a scratch element of `kind`: the
// real part as float for 's' and 'c', as double for 'd' and 'z', truncated towards zero and
// held in [0, INT32_MAX]. Any other kind raises ValueError "invalid kind in cast" and gives -1.
fint cast_from_X(char kind, const void *scratch);

// Scratch elements of a workspace-size query: LAPACK writes each optimal length into the
// first element of the workspace it asks about.
struct QueryScratch {
    alignas(16) unsigned char work[16];  // one element of any kind
    alignas(16) unsigned char rwork[16];
    fint iwork = 0;
};

// One workspace from PyMem_RawMalloc, freed when the owner leaves scope; usable without the
// interpreter lock.
class Workspace {
  public:
    Workspace() = default;
    ~Workspace() { PyMem_RawFree(data_); }
    Workspace(const Workspace &) = delete;
    Workspace &operator=(const Workspace &) = delete;

    // Allocates count elements of elem_size bytes; false when the size overflows or the
    // allocation fails (no error set here).
    bool allocate(size_t count, size_t elem_size);
    void *get() const { return data_; }
    fint *ints() const { return static_cast<fint *>(data_); }

  private:
    void *data_ = nullptr;
};

// Raises the MemoryError of a failed workspace allocation and returns -1.
int raise_workspace_error();

}  // namespace sarvo_lapack
