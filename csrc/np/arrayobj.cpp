// Array creation for kernels.
#include "np/arrayobj.h"

#include <cstring>

#include "core/pickled_constants.h"

namespace sarvo {

int32_t create_array_record(arystruct_t *rec, int ndim, const int64_t *shape, int64_t itemsize, Fill fill,
                            bool check_negative, ExcSlot exc) {
    if (check_negative) {
        for (int d = 0; d < ndim; ++d)
            if (shape[d] < 0) return raise(exc, records::negative_dimensions);
    }
    int64_t nitems = 1, nbytes = 0;
    for (int d = 0; d < ndim; ++d)
        if (__builtin_mul_overflow(nitems, shape[d], &nitems)) return raise(exc, records::array_too_big);
    if (__builtin_mul_overflow(nitems, itemsize, &nbytes)) return raise(exc, records::array_too_big);
    // A negative product from unchecked extents is no valid byte count either.
    if (nbytes < 0) return raise(exc, records::array_too_big);

    SRT_MemInfo *mi = SRT_MemInfo_alloc_aligned(static_cast<size_t>(nbytes), 32);
    if (!mi) return raise(exc, records::allocation_failed);
    if (fill == Fill::Zeros) std::memset(mi->data, 0, static_cast<size_t>(nbytes));

    rec->meminfo = mi;
    rec->parent = nullptr;
    rec->nitems = nitems;
    rec->itemsize = itemsize;
    rec->data = mi->data;
    // C-order strides. Beside a zero extent the products may pass 2^63 (the array holds no
    // element, so no stride is ever used): those strides are 0.
    int64_t stride = itemsize;
    for (int d = ndim - 1; d >= 0; --d) {
        rec->shape_and_strides[d] = shape[d];
        rec->shape_and_strides[ndim + d] = stride;
        if (__builtin_mul_overflow(stride, shape[d], &stride)) stride = 0;
    }
    return kOk;
}

}  // namespace sarvo
