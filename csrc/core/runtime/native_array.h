// Typed native array records for the kernels: the same words as arystruct_t, with the element
// type, number of dimensions and layout in the type. A const element type marks an argument
// that the kernel only reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "core/runtime/arystruct.h"
#include "core/runtime/srt.h"

namespace sarvo {

enum class Layout { C, Any };

template <class T, int N, Layout L = Layout::C>
struct Array {
    static_assert(N >= 1 && N <= 3, "kernels use 1 to 3 dimensions");
    using value_type = T;
    static constexpr int ndim = N;
    static constexpr Layout layout = L;

    SRT_MemInfo *meminfo;
    PyObject *parent;
    int64_t nitems;
    int64_t itemsize;
    T *data;
    int64_t shape[N];
    int64_t strides[N];

    // C layout addresses elements from the extents alone; any layout goes through the strides.
    T &operator()(int64_t i) const requires(N == 1) {
        if constexpr (L == Layout::C) return data[i];
        else return *byte_offset(i * strides[0]);
    }
    T &operator()(int64_t i, int64_t j) const requires(N == 2) {
        if constexpr (L == Layout::C) return data[i * shape[1] + j];
        else return *byte_offset(i * strides[0] + j * strides[1]);
    }
    T &operator()(int64_t c, int64_t i, int64_t j) const requires(N == 3) {
        if constexpr (L == Layout::C) return data[(c * shape[1] + i) * shape[2] + j];
        else return *byte_offset(c * strides[0] + i * strides[1] + j * strides[2]);
    }

  private:
    T *byte_offset(int64_t bytes) const {
        return reinterpret_cast<T *>(reinterpret_cast<char *>(const_cast<std::remove_const_t<T> *>(data)) + bytes);
    }
};

static_assert(sizeof(Array<float, 3>) == 8 * (5 + 6), "record words: five fields, extents, strides");
using ArrayF2 = Array<float, 2>;
static_assert(offsetof(ArrayF2, data) == offsetof(arystruct_t, data));

// The same record, seen by a routine that only reads it.
template <class T, int N, Layout L>
Array<const T, N, L> read_only(const Array<T, N, L> &a) {
    Array<const T, N, L> out{a.meminfo, a.parent, a.nitems, a.itemsize, a.data, {}, {}};
    for (int d = 0; d < N; ++d) out.shape[d] = a.shape[d], out.strides[d] = a.strides[d];
    return out;
}

// A read-only view of n contiguous elements that the caller keeps alive (no record, no parent).
template <class T>
Array<const T, 1> borrowed_view(const T *data, int64_t n) {
    Array<const T, 1> a{};
    a.nitems = n;
    a.itemsize = sizeof(T);
    a.data = data;
    a.shape[0] = n;
    a.strides[0] = sizeof(T);
    return a;
}

/* One load of a value in the caller's memory that decides an address (an index, a coordinate, a
   label used as a table index, a box bound). Kernels run without the interpreter lock, so
   another thread may change the caller's arrays meanwhile; a value is therefore checked and
   used from one read, and this load is one the compiler can neither repeat nor split (a
   relaxed atomic load: a plain move on x86-64). */
template <class T>
inline T read_once(const T &v) {
    T out;
    __atomic_load(&v, &out, __ATOMIC_RELAXED);
    return out;
}

// A 2-tuple of arrays, passed and returned as its two records one after the other.
template <class A, class B>
struct Pair {
    A first;
    B second;
};

// Result slot of a kernel whose Python result is None.
struct NoResult {};

// Owns one reference to a kernel-made array until it is handed on with release().
template <class A>
class Owned {
  public:
    A rec{};
    Owned() = default;
    Owned(const Owned &) = delete;
    Owned &operator=(const Owned &) = delete;
    ~Owned() { SRT_decref(rec.meminfo); }
    A *operator->() { return &rec; }
    A release() {
        A out = rec;
        rec.meminfo = nullptr;
        return out;
    }
};

// A result that is one of the kernel's inputs: the caller's record gains one reference.
template <class A>
A share(const A &input) {
    SRT_incref(input.meminfo);
    return input;
}

}  // namespace sarvo
