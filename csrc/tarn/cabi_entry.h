// C-ABI entries: every kernel callable from C with its array records spread into plain fields
// (meminfo, parent, nitems, itemsize, data, extents, strides), returning its native result by
// value. A failure is reported through the interpreter's unraisable-exception hook, with the
// lock taken only for the report; the caller gets the result slot (zeros unless the kernel
// wrote it before failing).
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <tuple>
#include <utility>

#include "core/runtime/native_array.h"
#include "core/excinfo.h"

namespace sarvo::cabi {

// Raises what status and record stand for and hands it to the unraisable hook, under the lock.
// The context names the entry by its own address.
void report_failure(int32_t status, const excinfo_t *record, const void *entry_address);

template <class... Ts>
struct Types {};

template <class A, class B>
struct Concat;
template <class... A, class... B>
struct Concat<Types<A...>, Types<B...>> {
    using type = Types<A..., B...>;
};

template <size_t N, class... Acc>
struct Words {
    using type = typename Words<N - 1, int64_t, Acc...>::type;
};
template <class... Acc>
struct Words<0, Acc...> {
    using type = Types<Acc...>;
};

// The plain fields one parameter spreads into.
template <class T>
struct Spread {
    using type = Types<T>;
};
template <class T, int N, Layout L>
struct Spread<Array<T, N, L>> {
    using type = typename Concat<Types<void *, void *, int64_t, int64_t, void *>, typename Words<2 * N>::type>::type;
};
template <class A, class B>
struct Spread<Pair<A, B>> {
    using type = typename Concat<typename Spread<A>::type, typename Spread<B>::type>::type;
};

template <class T>
struct Count;
template <class... Ts>
struct Count<Types<Ts...>> {
    static constexpr size_t value = sizeof...(Ts);
};

template <class... P>
struct SpreadAll;
template <>
struct SpreadAll<> {
    using type = Types<>;
};
template <class P, class... Rest>
struct SpreadAll<P, Rest...> {
    using type = typename Concat<typename Spread<P>::type, typename SpreadAll<Rest...>::type>::type;
};

template <auto Kernel, class Sig, class Flat>
struct Entry;

/* Every spread field lands in its own 8-byte word; a record is then its consecutive words, and
   a scalar the low bytes of its word. */
template <auto Kernel, class R, class... P, class... F>
struct Entry<Kernel, int32_t (*)(R *, ExcSlot, P...), Types<F...>> {
    static constexpr std::array<size_t, sizeof...(P) + 1> offsets() {
        std::array<size_t, sizeof...(P) + 1> out{};
        size_t counts[] = {Count<typename Spread<std::remove_cvref_t<P>>::type>::value..., 0};
        for (size_t i = 0; i < sizeof...(P); ++i) out[i + 1] = out[i] + counts[i];
        return out;
    }

    template <class V>
    static V load(const uint64_t *words) {
        V v;
        std::memcpy(&v, words, sizeof(V));
        return v;
    }

    static R call(F... fields) {
        uint64_t words[sizeof...(F) + 1] = {};
        size_t k = 0;
        ((std::memcpy(&words[k++], &fields, sizeof(F))), ...);
        constexpr auto at = offsets();
        R result{};
        const excinfo_t *record = nullptr;
        int32_t status = [&]<size_t... I>(std::index_sequence<I...>) {
            return Kernel(&result, &record, load<std::remove_cvref_t<P>>(words + at[I])...);
        }(std::index_sequence_for<P...>{});
        if (status != kOk && status != kNone) report_failure(status, record, reinterpret_cast<const void *>(&call));
        return result;
    }
};

template <auto Kernel>
struct EntryOf;
template <class R, class... P, int32_t (*Kernel)(R *, ExcSlot, P...)>
struct EntryOf<Kernel> {
    using type = Entry<Kernel, int32_t (*)(R *, ExcSlot, P...),
                       typename SpreadAll<std::remove_cvref_t<P>...>::type>;
};

// The C-ABI entry of a kernel, e.g. sarvo::cabi::entry<K::fill_holes>.
template <auto Kernel>
inline constexpr auto entry = &EntryOf<Kernel>::type::call;

}  // namespace sarvo::cabi
