// Index of the minimum, cumulative sum and bin count.
#include "np/old_arraymath.h"

#include <algorithm>
#include <cmath>

#include "np/arrayobj.h"
#include "core/pickled_constants.h"

namespace sarvo {

int32_t array_argmin(int64_t *result, ExcSlot exc, const Array<const double, 1> &a) {
    const int64_t n = a.shape[0];
    if (n == 0) return raise(exc, records::argmin_of_empty);
    double m = a(0);
    int64_t index = 0;
    if (std::isnan(m)) {
        *result = 0;
        return kOk;
    }
    for (int64_t i = 1; i < n; ++i) {
        const double v = a(i);
        if (std::isnan(v)) {
            index = i;
            break;
        }
        if (v < m) {
            m = v;
            index = i;
        }
    }
    *result = index;
    return kOk;
}

int32_t array_cumsum(Array<uint32_t, 1> *result, ExcSlot exc, const Array<const uint32_t, 1> &a) {
    const int64_t n = a.shape[0];
    Owned<Array<uint32_t, 1>> out;
    if (int32_t st = create_array(&out.rec, {n}, Fill::Uninitialised, exc)) return st;
    uint32_t acc = 0;
    for (int64_t k = 0; k < n; ++k) {
        acc += a(k);
        out.rec(k) = acc;
    }
    *result = out.release();
    return kOk;
}

int32_t np_bincount(Array<int64_t, 1> *result, ExcSlot exc, const Array<const uint32_t, 1> &a, uint32_t minlength) {
    const int64_t n = a.shape[0];
    int64_t length = 0;
    for (int64_t k = 0; k < n; ++k) length = std::max<int64_t>(length, int64_t{a(k)} + 1);
    length = std::max<int64_t>(length, minlength);
    Owned<Array<int64_t, 1>> counts;
    if (int32_t st = create_array(&counts.rec, {length}, Fill::Zeros, exc, false)) return st;
    for (int64_t k = 0; k < n; ++k) counts.rec(a(k)) += 1;
    *result = counts.release();
    return kOk;
}

}  // namespace sarvo
