// Kinds, routine resolution, argument narrowing, workspaces and error reporting shared by the
// BLAS and LAPACK entries.
#include "helperlib/_lapack_support.h"

#include <cmath>
#include <cstdint>
#include <limits>

namespace sarvo_lapack {

namespace {

// Holds the interpreter lock for a scope; the bridge runs on threads that do not hold it.
class GilScope {
  public:
    GilScope() : state_(PyGILState_Ensure()) {}
    ~GilScope() { PyGILState_Release(state_); }
    GilScope(const GilScope &) = delete;
    GilScope &operator=(const GilScope &) = delete;

  private:
    PyGILState_STATE state_;
};

// Truncates towards zero into [0, INT32_MAX]; NaN and negative lengths become 0 so that the
// routine itself rejects them, and the conversion never leaves the integer range.
fint length_from(double value) {
    if (!(value > 0.0)) return 0;
    if (value >= static_cast<double>(std::numeric_limits<fint>::max()))
        return std::numeric_limits<fint>::max();
    return static_cast<fint>(value);
}

}  // namespace

int kind_size(char kind) {
    switch (kind) {
        case 's': return 4;
        case 'd': return 8;
        case 'c': return 8;
        case 'z': return 16;
        default: return -1;
    }
}

char underlying_float_kind(char kind) {
    switch (kind) {
        case 's':
        case 'c': return 's';
        case 'd':
        case 'z': return 'd';
        default: return '\0';
    }
}

bool is_complex_kind(char kind) { return kind == 'c' || kind == 'z'; }

bool check_kind(char kind, KindSet accepted) {
    bool ok = false;
    switch (kind) {
        case 's':
        case 'd': ok = (accepted & kRealKinds) != 0; break;
        case 'c':
        case 'z': ok = (accepted & kComplexKinds) != 0; break;
        default: break;
    }
    if (!ok) raise_error(PyExc_ValueError, "invalid data type (kind) found");
    return ok;
}

void raise_error(PyObject *type, const char *message) {
    GilScope gil;
    PyErr_SetString(type, message);
}

int report_info(const char *routine, fint info) {
    if (info >= 0) return info;
    GilScope gil;
    PyErr_Format(PyExc_RuntimeError, "LAPACK Error: Routine \"%s\". On input %d\n", routine,
                 static_cast<int>(-info));
    return -1;
}

Routine *RoutineFamily::pick(char kind) const {
    switch (kind) {
        case 's': return s;
        case 'd': return d;
        case 'c': return c;
        case 'z': return z;
        default: return nullptr;
    }
}

void *resolve(Routine &routine) {
    void *address = routine.address.load(std::memory_order_acquire);
    if (address) return address;
    GilScope gil;
    address = import_cython_function(routine.module, routine.name);
    if (!address) {
        // The caller learns only that the routine is unavailable, whatever the import said.
        PyErr_Clear();
        PyErr_SetString(PyExc_RuntimeError, "Specified LAPACK function could not be found.");
        return nullptr;
    }
    routine.address.store(address, std::memory_order_release);
    return address;
}

bool narrow(Py_ssize_t value, fint *out) {
    if (value < std::numeric_limits<fint>::min() || value > std::numeric_limits<fint>::max()) {
        raise_error(PyExc_OverflowError, "BLAS/LAPACK size does not fit a 32-bit integer");
        return false;
    }
    *out = static_cast<fint>(value);
    return true;
}

fint cast_from_X(char kind, const void *scratch) {
    switch (kind) {
        case 's':
        case 'c': return length_from(*static_cast<const float *>(scratch));
        case 'd':
        case 'z': return length_from(*static_cast<const double *>(scratch));
        default:
            raise_error(PyExc_ValueError, "invalid kind in cast");
            return -1;
    }
}

bool Workspace::allocate(size_t count, size_t elem_size) {
    size_t bytes;
    if (__builtin_mul_overflow(count, elem_size, &bytes)) return false;
    data_ = PyMem_RawMalloc(bytes);
    return data_ != nullptr;
}

int raise_workspace_error() {
    raise_error(PyExc_MemoryError,
                "Insufficient memory for buffer allocation"
                "                             "
                "required by LAPACK.");
    return -1;
}

}  // namespace sarvo_lapack
