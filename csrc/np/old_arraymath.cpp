// Index of the minimum, cumulative sum and bin count.
#include "np/old_arraymath.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "core/cpu_features.h"
#include "np/arrayobj.h"
#include "core/pickled_constants.h"

namespace sarvo {

int64_t argmin_baseline(const double *v, int64_t n) {
    double m = v[0];
    if (std::isnan(m)) return 0;
    int64_t index = 0;
    for (int64_t i = 1; i < n; ++i) {
        if (std::isnan(v[i])) return i;
        if (v[i] < m) {
            m = v[i];
            index = i;
        }
    }
    return index;
}

int32_t array_argmin(int64_t *result, ExcSlot exc, const Array<const double, 1> &a) {
    const int64_t n = a.shape[0];
    if (n == 0) return raise(exc, records::argmin_of_empty);
    *result = avx2_available() ? argmin_avx2(a.data, n) : argmin_baseline(a.data, n);
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

uint32_t largest_baseline(const uint32_t *v, int64_t n) {
    uint32_t m[4] = {0, 0, 0, 0};
    int64_t j = 0;
    for (; j + 4 <= n; j += 4)
        for (int k = 0; k < 4; ++k) m[k] = v[j + k] > m[k] ? v[j + k] : m[k];
    for (; j < n; ++j) m[0] = v[j] > m[0] ? v[j] : m[0];
    const uint32_t x = m[0] > m[1] ? m[0] : m[1], y = m[2] > m[3] ? m[2] : m[3];
    return x > y ? x : y;
}

uint32_t largest_element(const Array<const uint32_t, 1> &a) {
    return avx2_available() ? largest_avx2(a.data, a.shape[0]) : largest_baseline(a.data, a.shape[0]);
}

void count_values_baseline(const uint32_t *v, int64_t n, int64_t *c, uint32_t last) {
    // Eight entries at a time: a group of one value (most groups inside the runs of a label
    // mask) adds 8 at once instead of a chain of increments of one memory cell. Each group is
    // copied once into a private group (one 32-byte copy, two vector loads on x86-64 and ARM)
    // and each address formed from that copy.
    const auto bin = [last](uint32_t x) { return x < last ? x : last; };
    int64_t j = 0;
    for (; j + 8 <= n; j += 8) {
        uint32_t group[8];
        std::memcpy(group, v + j, sizeof group);
        const uint32_t first = group[0];
        bool uniform = true;
        for (int i = 1; i < 8; ++i) uniform &= group[i] == first;
        if (uniform) {
            c[bin(first)] += 8;
            continue;
        }
        for (int i = 0; i < 8; ++i) ++c[bin(group[i])];
    }
    for (; j < n; ++j) ++c[bin(read_once(v[j]))];
}

int32_t np_bincount_upto(Array<int64_t, 1> *result, ExcSlot exc, const Array<const uint32_t, 1> &a,
                         uint32_t largest, uint32_t minlength) {
    const int64_t n = a.shape[0];
    const int64_t length = n > 0 ? std::max<int64_t>(int64_t{largest} + 1, minlength) : minlength;
    Owned<Array<int64_t, 1>> counts;
    if (int32_t st = create_array(&counts.rec, {length}, Fill::Zeros, exc, false)) return st;
    // `largest` came from an earlier pass, and another thread may have raised a value since:
    // each address is min(value, last bin), so the counts stay inside the bins (a raised value
    // counts in the last).
    const uint32_t last = static_cast<uint32_t>(length - 1);
    if (avx2_available()) count_values_avx2(a.data, n, counts.rec.data, last);
    else count_values_baseline(a.data, n, counts.rec.data, last);
    *result = counts.release();
    return kOk;
}

int32_t np_bincount(Array<int64_t, 1> *result, ExcSlot exc, const Array<const uint32_t, 1> &a, uint32_t minlength) {
    return np_bincount_upto(result, exc, a, largest_element(a), minlength);
}

}  // namespace sarvo
