// Typed list over raw byte items. See listobject.h for the record layout.
#include "cext/listobject.h"

#include <cstring>

using sarvo::cext::cext_free;
using sarvo::cext::cext_malloc;
using sarvo::cext::cext_realloc;

namespace {

// 0 <= i < n in one unsigned comparison: a negative index turns into a huge one.
bool valid_index(int64_t i, int64_t n) { return static_cast<uint64_t>(i) < static_cast<uint64_t>(n); }

char *item_at(const SV_List *lp, int64_t i) { return lp->items + i * lp->item_size; }

// Moves `count` items inside the list's block; the ranges may overlap.
void move_items(SV_List *lp, int64_t dst, int64_t src, int64_t count) {
    if (count > 0) {
        std::memmove(item_at(lp, dst), item_at(lp, src), static_cast<size_t>(count * lp->item_size));
    }
}

void drop_item(const SV_List *lp, int64_t i) {
    if (lp->methods.item_decref) lp->methods.item_decref(item_at(lp, i));
}

// Number of positions of a normalised slice. Wide arithmetic, so that arguments a caller did
// not normalise cannot overflow before the bounds check rejects them.
__int128 slice_length(int64_t start, int64_t stop, int64_t step) {
    const __int128 a = start;
    const __int128 b = stop;
    if (step > 0) return b <= a ? 0 : (b - a - 1) / step + 1;
    return a <= b ? 0 : (a - b - 1) / -static_cast<__int128>(step) + 1;
}

}  // namespace

// A new empty list with room for `allocated` items. Item sizes below 1 and capacities whose
// byte count would not fit in 63 bits are refused.
int sarvo_list_new(SV_List **out, int64_t item_size, int64_t allocated) {
    if (item_size < 1 || allocated < 0 || allocated > INT64_MAX / item_size) return LIST_ERR_NO_MEMORY;
    auto *lp = static_cast<SV_List *>(cext_malloc(sizeof(SV_List)));
    if (!lp) return LIST_ERR_NO_MEMORY;
    lp->size = 0;
    lp->item_size = item_size;
    lp->allocated = allocated;
    lp->is_mutable = 1;
    lp->methods = list_type_based_methods_table{};
    lp->items = nullptr;
    if (allocated != 0) {
        lp->items = static_cast<char *>(cext_malloc(aligned_size(static_cast<size_t>(item_size * allocated))));
        if (!lp->items) {
            cext_free(lp);
            return LIST_ERR_NO_MEMORY;
        }
    }
    *out = lp;
    return LIST_OK;
}

// Drops every item through item_decref (when set), then frees the items and the list.
void sarvo_list_free(SV_List *lp) {
    if (!lp) return;
    if (lp->methods.item_decref) {
        for (int64_t i = 0; i < lp->size; ++i) drop_item(lp, i);
    }
    cext_free(lp->items);
    cext_free(lp);
}

int sarvo_list_set_method_table(SV_List *lp, const list_type_based_methods_table *methods) {
    if (!methods) return LIST_ERR_NULL_TABLE;
    lp->methods = *methods;
    return LIST_OK;
}

char *sarvo_list_base_ptr(SV_List *lp) { return lp->items; }
int64_t *sarvo_list_size_address(SV_List *lp) { return &lp->size; }
int64_t sarvo_list_length(SV_List *lp) { return lp->size; }
int64_t sarvo_list_allocated(SV_List *lp) { return lp->allocated; }
int sarvo_list_is_mutable(SV_List *lp) { return lp->is_mutable; }
void sarvo_list_set_is_mutable(SV_List *lp, int is_mutable) { lp->is_mutable = is_mutable; }

// Copies item `index` into out; takes no reference. Works on read-only lists.
int sarvo_list_getitem(SV_List *lp, int64_t index, char *out) {
    if (!valid_index(index, lp->size)) return LIST_ERR_INDEX;
    std::memcpy(out, item_at(lp, index), static_cast<size_t>(lp->item_size));
    return LIST_OK;
}

// Replaces item `index`: the old item is dropped, the new one copied in and referenced.
int sarvo_list_setitem(SV_List *lp, int64_t index, const char *item) {
    if (!lp->is_mutable) return LIST_ERR_IMMUTABLE;
    if (!valid_index(index, lp->size)) return LIST_ERR_INDEX;
    char *slot = item_at(lp, index);
    if (lp->methods.item_decref) lp->methods.item_decref(slot);
    std::memcpy(slot, item, static_cast<size_t>(lp->item_size));
    if (lp->methods.item_incref) lp->methods.item_incref(slot);
    return LIST_OK;
}

int sarvo_list_append(SV_List *lp, const char *item) {
    if (!lp->is_mutable) return LIST_ERR_IMMUTABLE;
    const int status = sarvo_list_resize(lp, lp->size + 1);
    if (status != LIST_OK) return status;
    char *slot = item_at(lp, lp->size - 1);
    std::memcpy(slot, item, static_cast<size_t>(lp->item_size));
    if (lp->methods.item_incref) lp->methods.item_incref(slot);
    return LIST_OK;
}

// Sets the size to newsize; items gained are uninitialised, items lost are not dropped.
//
// The block is reallocated only when newsize leaves [allocated/2, allocated]. It is then
// over-allocated in proportion to the size, so that a run of appends reallocates only
// O(log n) times (about 1/8 more) and small lists do not reallocate for every item:
//     capacity = newsize + newsize/8 + (newsize <= 8 ? 3 : 6)
// Growing one item at a time gives capacities 4, 8, 16, 25, 35, 46, 58, 72, 88, ...
// Shrinking one at a time from 17 items (capacity 25) gives 25 down to 12 items, then
// 18, 12, 8, 6, 5, 4, and an empty list gives up its block altogether.
// newsize is at most 2^63 - 1, so the capacity formula cannot overflow in 64-bit unsigned
// arithmetic; capacities whose byte count would exceed 2^63 - 1 are refused.
// A reallocation that fails leaves the list unchanged and reports LIST_ERR_NO_MEMORY; the
// deletions, which have moved items by then and must not fail half way, keep the present,
// larger block instead when a shrinking one fails (keep_block_on_shrink).
namespace {
int resize(SV_List *lp, int64_t newsize, bool keep_block_on_shrink) {
    if (!lp->is_mutable) return LIST_ERR_IMMUTABLE;
    if (newsize < 0) return LIST_ERR_NO_MEMORY;
    if (lp->allocated >= newsize && newsize >= (lp->allocated >> 1)) {
        lp->size = newsize;
        return LIST_OK;
    }
    const auto n = static_cast<uint64_t>(newsize);
    uint64_t capacity = n + (n >> 3) + (n <= 8 ? 3 : 6);
    if (capacity > static_cast<uint64_t>(INT64_MAX) / static_cast<uint64_t>(lp->item_size)) {
        return LIST_ERR_NO_MEMORY;
    }
    if (newsize == 0) capacity = 0;

    char *items = nullptr;
    if (capacity == 0) {
        cext_free(lp->items);
    } else {
        const size_t bytes = aligned_size(static_cast<size_t>(capacity * static_cast<uint64_t>(lp->item_size)));
        items = static_cast<char *>(cext_realloc(lp->items, bytes));
        if (!items) {
            if (!keep_block_on_shrink || static_cast<int64_t>(capacity) >= lp->allocated) return LIST_ERR_NO_MEMORY;
            lp->size = newsize;
            return LIST_OK;
        }
    }
    lp->items = items;
    lp->size = newsize;
    lp->allocated = static_cast<int64_t>(capacity);
    return LIST_OK;
}
}  // namespace

int sarvo_list_resize(SV_List *lp, int64_t newsize) { return resize(lp, newsize, false); }

// Removes item `index` (dropping it) and closes the gap.
int sarvo_list_delitem(SV_List *lp, int64_t index) {
    if (!lp->is_mutable) return LIST_ERR_IMMUTABLE;
    if (!valid_index(index, lp->size)) return LIST_ERR_INDEX;
    drop_item(lp, index);
    move_items(lp, index, index + 1, lp->size - index - 1);
    const int status = resize(lp, lp->size - 1, true);
    return status < 0 ? status : LIST_OK;
}

// Deletes the items at start, start + step, ... short of stop, with the arguments already
// normalised as the interpreter's slice adjustment leaves them (0 <= start, stop >= -1,
// step != 0). A slice with a position outside the list, and step 0, are refused with
// LIST_ERR_INDEX and nothing changed. Every removed item is dropped once; the survivors
// between two removed positions move down in one block, so the cost is one pass over the tail.
// All counts are 64-bit: the list may hold 2^31 items or more.
int sarvo_list_delete_slice(SV_List *lp, int64_t start, int64_t stop, int64_t step) {
    if (!lp->is_mutable) return LIST_ERR_IMMUTABLE;
    if (step == 0) return LIST_ERR_INDEX;
    const __int128 wide_len = slice_length(start, stop, step);
    if (wide_len <= 0) return LIST_OK;
    const __int128 last_pos = static_cast<__int128>(start) + static_cast<__int128>(step) * (wide_len - 1);
    const __int128 lowest = step > 0 ? static_cast<__int128>(start) : last_pos;
    const __int128 highest = step > 0 ? last_pos : static_cast<__int128>(start);
    if (wide_len > lp->size || lowest < 0 || highest >= lp->size) return LIST_ERR_INDEX;

    // Walk the same positions forward; a one-item slice is a plain deletion whatever its step.
    const auto slicelen = static_cast<int64_t>(wide_len);
    const auto first = static_cast<int64_t>(lowest);
    const auto last = static_cast<int64_t>(highest);
    const int64_t stride = slicelen == 1 ? 1 : (step > 0 ? step : -step);
    const int64_t size = lp->size;

    if (stride == 1) {
        for (int64_t i = first; i <= last; ++i) drop_item(lp, i);
        move_items(lp, first, last + 1, size - last - 1);
    } else {
        // The i-th removed item has i removed items before it, so the run that follows it
        // moves down by i + 1.
        for (int64_t i = 0; i < slicelen; ++i) {
            const int64_t cur = first + i * stride;
            drop_item(lp, cur);
            const int64_t run = stride >= size - cur ? size - cur - 1 : stride - 1;
            move_items(lp, cur - i, cur + 1, run);
        }
        if (stride < size - last) {
            const int64_t tail = last + stride;
            move_items(lp, tail - slicelen, tail, size - tail);
        }
    }
    const int status = resize(lp, size - slicelen, true);
    return status < 0 ? status : LIST_OK;
}

size_t sarvo_list_iter_sizeof(void) { return sizeof(SV_ListIter); }

void sarvo_list_iter(SV_ListIter *it, SV_List *lp) {
    it->parent = lp;
    it->size = lp->size;
    it->pos = 0;
}

// Yields a pointer to each item in place (no copy, no reference). A list whose size changed
// since the iterator was made is reported, not walked over.
int sarvo_list_iter_next(SV_ListIter *it, const char **item_ptr) {
    if (it->parent->size != it->size) return LIST_ERR_MUTATED;
    if (it->pos >= it->size) return LIST_ERR_ITER_EXHAUSTED;
    *item_ptr = item_at(it->parent, it->pos);
    it->pos += 1;
    return LIST_OK;
}

namespace {

// Frees the self-test's list on every return path.
struct OwnedList {
    SV_List *lp = nullptr;
    ~OwnedList() { sarvo_list_free(lp); }
    SV_List **fresh() {
        sarvo_list_free(lp);
        lp = nullptr;
        return &lp;
    }
};

// A list of the one-byte items 0 .. n-1.
int fill_bytes(SV_List *lp, int n) {
    for (int i = 0; i < n; ++i) {
        const char c = static_cast<char>(i);
        if (sarvo_list_append(lp, &c) != LIST_OK) return 0;
    }
    return 1;
}

// 1 when the list holds exactly the one-byte items of `expected`.
int holds_bytes(SV_List *lp, const char *expected, int64_t n) {
    return lp->size == n && (n == 0 || std::memcmp(lp->items, expected, static_cast<size_t>(n)) == 0);
}

}  // namespace

// Built-in self-test, a development aid.
int sarvo_test_list(void) {
    OwnedList owned;
    SV_List *&lp = owned.lp;
    char got[4];
    SARVO_CEXT_CHECK(sarvo_list_new(owned.fresh(), 4, 0) == LIST_OK);
    SARVO_CEXT_CHECK(sarvo_list_length(lp) == 0 && sarvo_list_allocated(lp) == 0);
    SARVO_CEXT_CHECK(sarvo_list_is_mutable(lp) == 1);
    sarvo_list_set_is_mutable(lp, 0);
    SARVO_CEXT_CHECK(sarvo_list_is_mutable(lp) == 0);
    sarvo_list_set_is_mutable(lp, 1);
    SARVO_CEXT_CHECK(sarvo_list_is_mutable(lp) == 1);

    SARVO_CEXT_CHECK(sarvo_list_append(lp, "abc") == LIST_OK);
    SARVO_CEXT_CHECK(sarvo_list_append(lp, "def") == LIST_OK);
    SARVO_CEXT_CHECK(sarvo_list_append(lp, "ghi") == LIST_OK);
    SARVO_CEXT_CHECK(sarvo_list_append(lp, "jkl") == LIST_OK);
    SARVO_CEXT_CHECK(sarvo_list_allocated(lp) == 4);
    SARVO_CEXT_CHECK(sarvo_list_append(lp, "mno") == LIST_OK);
    SARVO_CEXT_CHECK(sarvo_list_allocated(lp) == 8 && sarvo_list_length(lp) == 5);
    SARVO_CEXT_CHECK(sarvo_list_setitem(lp, 0, "pqr") == LIST_OK);
    SARVO_CEXT_CHECK(sarvo_list_getitem(lp, 0, got) == LIST_OK && std::memcmp(got, "pqr", 4) == 0);
    SARVO_CEXT_CHECK(sarvo_list_getitem(lp, 5, got) == LIST_ERR_INDEX);
    SARVO_CEXT_CHECK(sarvo_list_getitem(lp, -1, got) == LIST_ERR_INDEX);

    SARVO_CEXT_CHECK(sarvo_list_delitem(lp, 0) == LIST_OK);
    SARVO_CEXT_CHECK(std::memcmp(lp->items, "def\0ghi\0jkl\0mno", 16) == 0 && sarvo_list_allocated(lp) == 8);
    SARVO_CEXT_CHECK(sarvo_list_delitem(lp, 3) == LIST_OK);
    SARVO_CEXT_CHECK(sarvo_list_length(lp) == 3 && sarvo_list_allocated(lp) == 6);

    sarvo_list_set_is_mutable(lp, 0);
    SARVO_CEXT_CHECK(sarvo_list_setitem(lp, 0, "stu") == LIST_ERR_IMMUTABLE);
    SARVO_CEXT_CHECK(sarvo_list_append(lp, "stu") == LIST_ERR_IMMUTABLE);
    SARVO_CEXT_CHECK(sarvo_list_delitem(lp, 0) == LIST_ERR_IMMUTABLE);
    SARVO_CEXT_CHECK(sarvo_list_resize(lp, 23) == LIST_ERR_IMMUTABLE);
    SARVO_CEXT_CHECK(sarvo_list_delete_slice(lp, 0, 3, 1) == LIST_ERR_IMMUTABLE);
    SARVO_CEXT_CHECK(sarvo_list_length(lp) == 3);
    SARVO_CEXT_CHECK(sarvo_list_getitem(lp, 0, got) == LIST_OK && std::memcmp(got, "def", 4) == 0);

    SV_ListIter it;
    const char *item = nullptr;
    sarvo_list_iter(&it, lp);
    for (int64_t i = 0; i < 3; ++i) {
        SARVO_CEXT_CHECK(sarvo_list_iter_next(&it, &item) == LIST_OK);
        SARVO_CEXT_CHECK(item == lp->items + 4 * i);
    }
    SARVO_CEXT_CHECK(sarvo_list_iter_next(&it, &item) == LIST_ERR_ITER_EXHAUSTED);
    sarvo_list_set_is_mutable(lp, 1);
    sarvo_list_iter(&it, lp);
    SARVO_CEXT_CHECK(sarvo_list_append(lp, "stu") == LIST_OK);
    SARVO_CEXT_CHECK(sarvo_list_iter_next(&it, &item) == LIST_ERR_MUTATED);

    // Capacities on the way up and on the way down.
    SARVO_CEXT_CHECK(sarvo_list_new(owned.fresh(), 1, 0) == LIST_OK);
    SARVO_CEXT_CHECK(fill_bytes(lp, 4) && sarvo_list_allocated(lp) == 4);
    SARVO_CEXT_CHECK(fill_bytes(lp, 4) && sarvo_list_allocated(lp) == 8);
    SARVO_CEXT_CHECK(fill_bytes(lp, 8) && sarvo_list_allocated(lp) == 16);
    SARVO_CEXT_CHECK(fill_bytes(lp, 1) && sarvo_list_allocated(lp) == 25);
    static const int64_t shrink[17] = {25, 25, 25, 25, 25, 18, 18, 18, 12, 12, 12, 8, 8, 6, 5, 4, 0};
    for (int64_t i = 0; i < 17; ++i) {
        SARVO_CEXT_CHECK(sarvo_list_delitem(lp, lp->size - 1) == LIST_OK);
        SARVO_CEXT_CHECK(sarvo_list_allocated(lp) == shrink[i]);
    }

    // Contiguous slices.
    SARVO_CEXT_CHECK(sarvo_list_new(owned.fresh(), 1, 0) == LIST_OK && fill_bytes(lp, 17));
    SARVO_CEXT_CHECK(sarvo_list_delete_slice(lp, 2, 5, 1) == LIST_OK);
    SARVO_CEXT_CHECK(holds_bytes(lp, "\x00\x01\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e\x0f\x10", 14));
    SARVO_CEXT_CHECK(sarvo_list_delete_slice(lp, 0, 1, 1) == LIST_OK && lp->size == 13);
    SARVO_CEXT_CHECK(sarvo_list_delete_slice(lp, 12, 13, 1) == LIST_OK && lp->size == 12);
    SARVO_CEXT_CHECK(sarvo_list_delete_slice(lp, 4, 5, 1) == LIST_OK && lp->size == 11);
    SARVO_CEXT_CHECK(holds_bytes(lp, "\x01\x05\x06\x07\x09\x0a\x0b\x0c\x0d\x0e\x0f", 11));
    SARVO_CEXT_CHECK(sarvo_list_delete_slice(lp, 1, 10, 1) == LIST_OK);
    SARVO_CEXT_CHECK(holds_bytes(lp, "\x01\x0f", 2));
    SARVO_CEXT_CHECK(sarvo_list_delete_slice(lp, 0, 2, 1) == LIST_OK && lp->size == 0);

    // Strided slices.
    SARVO_CEXT_CHECK(sarvo_list_new(owned.fresh(), 1, 0) == LIST_OK && fill_bytes(lp, 17));
    SARVO_CEXT_CHECK(sarvo_list_delete_slice(lp, 0, 17, 2) == LIST_OK);
    SARVO_CEXT_CHECK(holds_bytes(lp, "\x01\x03\x05\x07\x09\x0b\x0d\x0f", 8));
    SARVO_CEXT_CHECK(sarvo_list_delete_slice(lp, 1, 8, 4) == LIST_OK);
    SARVO_CEXT_CHECK(holds_bytes(lp, "\x01\x05\x07\x09\x0d\x0f", 6));
    SARVO_CEXT_CHECK(sarvo_list_delete_slice(lp, 0, 4, 2) == LIST_OK);
    SARVO_CEXT_CHECK(holds_bytes(lp, "\x05\x09\x0d\x0f", 4));
    SARVO_CEXT_CHECK(sarvo_list_delete_slice(lp, 0, 0, 1) == LIST_OK);
    SARVO_CEXT_CHECK(sarvo_list_delete_slice(lp, 2, 2, 1) == LIST_OK);
    SARVO_CEXT_CHECK(holds_bytes(lp, "\x05\x09\x0d\x0f", 4));

    // Negative steps.
    SARVO_CEXT_CHECK(sarvo_list_new(owned.fresh(), 1, 0) == LIST_OK && fill_bytes(lp, 17));
    SARVO_CEXT_CHECK(sarvo_list_delete_slice(lp, 16, -1, -1) == LIST_OK && lp->size == 0);
    SARVO_CEXT_CHECK(fill_bytes(lp, 17));
    SARVO_CEXT_CHECK(sarvo_list_delete_slice(lp, 16, -1, -2) == LIST_OK);
    SARVO_CEXT_CHECK(holds_bytes(lp, "\x01\x03\x05\x07\x09\x0b\x0d\x0f", 8));
    return 0;
}
