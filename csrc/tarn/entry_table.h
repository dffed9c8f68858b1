// One row per Python-callable function: its argument and result kinds, derived at compile time
// from the kernel's C++ signature, and an invoker that calls the kernel on converted arguments.
// The one entry-wrapper sequence (entry_wrapper.cpp) is driven entirely by these rows.
#pragma once

#include <cstdint>
#include <cstring>
#include <tuple>
#include <type_traits>
#include <utility>

#include "core/runtime/native_array.h"
#include "tarn/cabi_entry.h"
#include "core/excinfo.h"

typedef struct _object PyObject;

namespace sarvo::entry {

enum class ArgTag : uint8_t { Array, ArrayPair, Int32, UInt32, Float64, Float32, Bool };
enum class ResultTag : uint8_t { Array, ArrayPair, Float64, None };

struct ArrayKind {
    uint8_t ndim;
    uint8_t itemsize;
    bool c_layout;  // the kernel indexes from the extents alone: the array must be C-contiguous
    bool written;   // the kernel writes into it: a read-only array is refused
};

struct ArgKind {
    ArgTag tag;
    ArrayKind arrays[2];  // one for an array, two for a pair
};

struct ResultKind {
    ResultTag tag;
    uint8_t ndim[2];
};

constexpr int kMaxArgs = 6;

// Room for two native records of up to three dimensions (a pair), or one scalar.
struct alignas(8) Slot {
    unsigned char bytes[2 * sizeof(Array<char, 3>)];
};

using Invoker = int32_t (*)(Slot *result, ExcSlot exc, const Slot *args);

/* What the documented signature says of an argument (README function table, the stub), for
   the notes that explain a refusal: its name, and for an array (each item of a pair) the
   element type and shape the documentation states. The kind says the rest (dimensions, order,
   writeability). */
struct ArgDoc {
    const char *name;
    const char *dtype = nullptr;  // null for a scalar
    const char *shape = nullptr;  // letters that must agree between arguments, e.g. "(2, Ly, Lx)"
};

// Finds the box behind a ZeroDivisionError (one that is not skipped and holds no pixel of its
// label) in the converted arguments and copies its bounds y0, y1, x0, x1; -1 when there is none.
using EmptyBoxFinder = int64_t (*)(const Slot *args, int32_t bounds[4]);

struct RowDoc {
    ArgDoc args[kMaxArgs];
    const char *zero_division = nullptr;  // what makes the kernel divide by zero; null: it cannot
    EmptyBoxFinder empty_box = nullptr;
};

struct EntryRow {
    int method;  // index into the generated method names, environments and slots
    int arity;
    ArgKind args[kMaxArgs];
    ResultKind result;
    Invoker invoke;
    const void *(*cabi_entry)();  // the address of the kernel's C-ABI entry (sarvo::cabi::entry)
    RowDoc doc;
};

/* ---------- kinds from types ---------- */

template <class T>
struct ArgTraits;

template <class T, int N, Layout L>
struct ArgTraits<Array<T, N, L>> {
    static constexpr ArrayKind array = {N, sizeof(T), L == Layout::C, !std::is_const_v<T>};
    static constexpr ArgKind kind = {ArgTag::Array, {array, {}}};
};

template <class A, class B>
struct ArgTraits<Pair<A, B>> {
    static constexpr ArgKind kind = {ArgTag::ArrayPair, {ArgTraits<A>::array, ArgTraits<B>::array}};
};

template <ArgTag Tag>
struct ScalarTraits {
    static constexpr ArgKind kind = {Tag, {}};
};
template <> struct ArgTraits<int32_t> : ScalarTraits<ArgTag::Int32> {};
template <> struct ArgTraits<uint32_t> : ScalarTraits<ArgTag::UInt32> {};
template <> struct ArgTraits<double> : ScalarTraits<ArgTag::Float64> {};
template <> struct ArgTraits<float> : ScalarTraits<ArgTag::Float32> {};
template <> struct ArgTraits<bool> : ScalarTraits<ArgTag::Bool> {};

template <class R>
struct ResultTraits;

template <class T, int N, Layout L>
struct ResultTraits<Array<T, N, L>> {
    static constexpr ResultKind kind = {ResultTag::Array, {N, 0}};
};
template <class A, class B>
struct ResultTraits<Pair<A, B>> {
    static constexpr ResultKind kind = {ResultTag::ArrayPair, {A::ndim, B::ndim}};
};
template <> struct ResultTraits<double> {
    static constexpr ResultKind kind = {ResultTag::Float64, {}};
};
template <> struct ResultTraits<NoResult> {
    static constexpr ResultKind kind = {ResultTag::None, {}};
};

/* ---------- rows from kernels ---------- */

template <class V>
V load(const Slot &slot) {
    static_assert(std::is_trivially_copyable_v<V> && sizeof(V) <= sizeof(Slot));
    V v;
    std::memcpy(&v, slot.bytes, sizeof(V));
    return v;
}

// A constant expression may not turn a function's address into a data pointer (GCC lets it, Clang
// does not), so the row holds this function that does it at run time.
template <auto Kernel>
const void *cabi_address() {
    return reinterpret_cast<const void *>(sarvo::cabi::entry<Kernel>);
}

template <class F>
struct KernelSignature;

template <class R, class... P>
struct KernelSignature<int32_t (*)(R *, ExcSlot, P...)> {
    static_assert(sizeof...(P) <= kMaxArgs);

    template <auto Kernel>
    static int32_t invoke(Slot *out, ExcSlot exc, const Slot *args) {
        R result{};
        int32_t status = [&]<size_t... I>(std::index_sequence<I...>) {
            return Kernel(&result, exc, load<std::remove_cvref_t<P>>(args[I])...);
        }(std::index_sequence_for<P...>{});
        static_assert(sizeof(R) <= sizeof(Slot));
        std::memcpy(out->bytes, &result, sizeof(R));
        return status;
    }

    template <auto Kernel>
    static constexpr EntryRow row(int method, const RowDoc &doc) {
        EntryRow r{method,
                   sizeof...(P),
                   {ArgTraits<std::remove_cvref_t<P>>::kind...},
                   ResultTraits<R>::kind,
                   &invoke<Kernel>,
                   &cabi_address<Kernel>,
                   doc};
        return r;
    }
};

template <auto Kernel>
constexpr EntryRow make_row(int method, const RowDoc &doc) {
    return KernelSignature<decltype(Kernel)>::template row<Kernel>(method, doc);
}

// The one entry sequence: unpack, check the environment, convert, call without the
// interpreter lock, release the inputs, dispatch on the status, box the result.
PyObject *run_entry(const EntryRow &row, PyObject *args);

}  // namespace sarvo::entry
