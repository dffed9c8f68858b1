// A growable list of fixed-size pairs, shared by find_seeds (seed collection), bfs (growth
// queue: append, read by index) and fill_holes (walk stack: append, remove the last item).
//
// The list lives in the data block of a variable-size memory record:
//
//     [ size | capacity | item 0 | item 1 | ... | item capacity-1 ]
//
// so the record alone owns it, and the block can move whenever the capacity changes. Never keep
// a pointer or reference to an item across an append or a pop.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/runtime/srt.h"
#include "core/excinfo.h"
#include "core/pickled_constants.h"

namespace sarvo {

template <class T>
struct PairItem {
    T first;
    T second;
};

namespace pair_list_detail {

struct Header {
    int64_t size;
    int64_t capacity;
};

// The record's release routine, called on the data block before it is freed. Pairs of
// integers own nothing, so there is nothing to release per item.
inline void release_items(void *, size_t, void *) {}

}  // namespace pair_list_detail

/* Owns one list until it goes out of scope. init() must succeed before any other call.

   Capacity rule, applied after every append and every removal, for the new size n:
   - n > capacity: the capacity becomes n + n/4 + 8 (integer division), so appends one at a
     time see the capacities 0, 9, 20, 34, 51, 73, 100, ... and the copying cost stays linear;
   - n < capacity/4 (integer division): the storage shrinks to exactly n items, so a stack that
     has emptied gives its memory back. A growth leaves n at about four fifths of the capacity,
     so appends alone never shrink the list.
   Either change of storage can fail with MemoryError "cannot resize list"; the list is then
   unchanged and still owned by its record. */
template <class T>
class PairList {
  public:
    using Item = PairItem<T>;

    PairList() = default;
    PairList(const PairList &) = delete;
    PairList &operator=(const PairList &) = delete;
    ~PairList() { SRT_decref(mi_); }

    // The empty list: size 0, capacity 0. Fails with MemoryError "cannot allocate list".
    int32_t init(ExcSlot exc) {
        mi_ = SRT_MemInfo_new_varsize_dtor(sizeof(Header), pair_list_detail::release_items);
        if (!mi_) return raise(exc, records::list_cannot_allocate);
        header()->size = 0;
        header()->capacity = 0;
        return kOk;
    }

    int64_t size() const { return header()->size; }
    int64_t capacity() const { return header()->capacity; }

    int32_t append(T first, T second, ExcSlot exc) {
        const int64_t n = header()->size + 1;
        if (needs_resize(n)) {
            if (int32_t st = resize(n, exc)) return st;
        }
        items()[n - 1] = Item{first, second};
        header()->size = n;
        return kOk;
    }

    // Item i; a negative i counts from the end. Outside the list: IndexError "getitem out of range".
    int32_t get(int64_t i, Item *out, ExcSlot exc) const {
        const int64_t n = header()->size;
        if (i < 0) i += n;
        if (!in_range(i, n)) return raise(exc, records::list_getitem_out_of_range);
        *out = items()[i];
        return kOk;
    }

    // Removes the last item and hands it out. An empty list has no last item to read:
    // IndexError "getitem out of range".
    int32_t pop(Item *out, ExcSlot exc) {
        const int64_t n = header()->size - 1;
        if (n < 0) return raise(exc, records::list_getitem_out_of_range);
        const Item last = items()[n];  // read before a shrink can drop it
        if (needs_resize(n)) {
            if (int32_t st = resize(n, exc)) return st;
        }
        header()->size = n;
        *out = last;
        return kOk;
    }

  private:
    using Header = pair_list_detail::Header;
    static constexpr int64_t kItemsOffset = sizeof(Header);
    static_assert(kItemsOffset % alignof(Item) == 0, "items follow the header without padding");

    Header *header() const { return static_cast<Header *>(mi_->data); }
    Item *items() const { return reinterpret_cast<Item *>(static_cast<char *>(mi_->data) + kItemsOffset); }

    // One unsigned compare checks 0 <= i < n.
    static bool in_range(int64_t i, int64_t n) { return static_cast<uint64_t>(i) < static_cast<uint64_t>(n); }

    bool needs_resize(int64_t n) const {
        const int64_t capacity = header()->capacity;
        return n > capacity || n < capacity / 4;
    }

    int32_t resize(int64_t n, ExcSlot exc) {
        int64_t capacity = n;
        if (n > header()->capacity &&
            (__builtin_add_overflow(n, n / 4, &capacity) || __builtin_add_overflow(capacity, int64_t{8}, &capacity)))
            return raise(exc, records::list_cannot_resize);
        int64_t bytes;
        if (__builtin_mul_overflow(capacity, static_cast<int64_t>(sizeof(Item)), &bytes) ||
            __builtin_add_overflow(bytes, kItemsOffset, &bytes))
            return raise(exc, records::list_cannot_resize);
        // A refused realloc leaves the old block valid but clears the record's data pointer;
        // putting the block back keeps the list intact and lets the record free it.
        void *old = mi_->data;
        if (!SRT_MemInfo_varsize_realloc(mi_, static_cast<size_t>(bytes))) {
            mi_->data = old;
            return raise(exc, records::list_cannot_resize);
        }
        header()->capacity = capacity;
        return kOk;
    }

    SRT_MemInfo *mi_ = nullptr;
};

}  // namespace sarvo
