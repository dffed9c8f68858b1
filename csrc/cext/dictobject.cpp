// Typed dictionary over raw byte keys and values. See dictobject.h for the record layouts.
//
// Lookups walk the index table with the perturbed probe sequence
//     i = hash & mask;  then repeatedly  perturb >>= 5;  i = (5 i + perturb + 1) & mask
// which first mixes the high bits of the hash into the slot number and, once perturb has
// run down to 0, becomes a full-period recurrence modulo the power-of-two size, so every slot
// is eventually visited. A table never holds more than USABLE_FRACTION(size) entries, so an
// empty slot always exists and every probe that looks for one stops.
#include "cext/dictobject.h"

#include <cstring>

#include "core/runtime/srt.h"

using sarvo::cext::cext_free;
using sarvo::cext::cext_malloc;

namespace {

constexpr int kPerturbShift = 5;
constexpr int64_t kEmptyHash = -1;

// 2n/3 without overflow for any table size a keys block can have.
int64_t usable_fraction(int64_t n) { return static_cast<int64_t>((static_cast<uint64_t>(n) << 1) / 3); }

// The narrowest signed slot width that holds every entry number of a table of `size` slots:
// at most USABLE_FRACTION(size) < size entries, so 1 byte up to 2^7 slots, 2 up to 2^15, ...
int index_width(int64_t size) {
    if (size <= 0xff) return 1;
    if (size <= 0xffff) return 2;
    if (size <= 0xffffffffLL) return 4;
    return 8;
}

int64_t get_index(const SV_DictKeys *dk, int64_t i) {
    const char *slot = dk->indices;
    switch (index_width(dk->size)) {
        case 1: return static_cast<int8_t>(slot[i]);
        case 2: { int16_t v; std::memcpy(&v, slot + 2 * i, 2); return v; }
        case 4: { int32_t v; std::memcpy(&v, slot + 4 * i, 4); return v; }
        default: { int64_t v; std::memcpy(&v, slot + 8 * i, 8); return v; }
    }
}

void set_index(SV_DictKeys *dk, int64_t i, int64_t ix) {
    char *slot = dk->indices;
    switch (index_width(dk->size)) {
        case 1: slot[i] = static_cast<char>(static_cast<int8_t>(ix)); break;
        case 2: { int16_t v = static_cast<int16_t>(ix); std::memcpy(slot + 2 * i, &v, 2); break; }
        case 4: { int32_t v = static_cast<int32_t>(ix); std::memcpy(slot + 4 * i, &v, 4); break; }
        default: std::memcpy(slot + 8 * i, &ix, 8); break;
    }
}

// Walks the slots of one hash in probe order.
class Probe {
  public:
    Probe(const SV_DictKeys *dk, int64_t hash)
        : mask_(static_cast<uint64_t>(dk->size) - 1), perturb_(static_cast<uint64_t>(hash)),
          i_(static_cast<uint64_t>(hash) & mask_) {}
    int64_t slot() const { return static_cast<int64_t>(i_); }
    void next() {
        perturb_ >>= kPerturbShift;
        i_ = (i_ * 5 + perturb_ + 1) & mask_;
    }

  private:
    uint64_t mask_;
    uint64_t perturb_;
    uint64_t i_;
};

SV_DictEntry *entry_at(const SV_DictKeys *dk, int64_t ix) {
    char *entries = const_cast<char *>(dk->indices) + dk->entry_offset;
    return reinterpret_cast<SV_DictEntry *>(entries + ix * dk->entry_size);
}

char *entry_key(SV_DictEntry *e) { return e->keyvalue; }

char *entry_value(const SV_DictKeys *dk, SV_DictEntry *e) {
    return e->keyvalue + aligned_size(static_cast<size_t>(dk->key_size));
}

// Clears a removed entry's key and value bytes; its hash is the caller's business.
void zero_keyvalue(const SV_DictKeys *dk, SV_DictEntry *e) {
    std::memset(e->keyvalue, 0, static_cast<size_t>(dk->entry_size) - sizeof(e->hash));
}

// Follows the probe sequence of `hash` to the slot that holds entry `ix`. Reaching an empty
// slot first means the entry was never reachable from this hash: a caller broke the contract
// of delete, and going on would loop for ever or corrupt the table.
int64_t slot_of_entry(const SV_DictKeys *dk, int64_t hash, int64_t ix) {
    for (Probe p(dk, hash);; p.next()) {
        int64_t held = get_index(dk, p.slot());
        if (held == ix) return p.slot();
        if (held == DKIX_EMPTY) srt_fatal_error("dictionary entry is not reachable from its hash");
    }
}

void drop_entry_references(const SV_DictKeys *dk, SV_DictEntry *e) {
    if (dk->methods.key_decref) dk->methods.key_decref(entry_key(e));
    if (dk->methods.value_decref) dk->methods.value_decref(entry_value(dk, e));
}

// Grows a full table to room for at least three times the live keys, so that a dictionary
// that only grows resizes about once per doubling.
int insertion_resize(SV_Dict *d) {
    uint64_t minsize = static_cast<uint64_t>(d->used) * 3;
    if (minsize > INT64_MAX) return ERR_NO_MEMORY;
    return sarvo_dict_resize(d, static_cast<int64_t>(minsize));
}

// The old value of sarvo_dict_insert_ez: on the stack unless it is unusually large, so that a
// huge value size cannot overflow the stack.
class ScratchValue {
  public:
    explicit ScratchValue(int64_t val_size) {
        size_t need = (static_cast<size_t>(val_size) + 15) & ~static_cast<size_t>(15);
        if (need > sizeof(local_)) heap_ = static_cast<char *>(cext_malloc(need));
    }
    ~ScratchValue() {
        if (heap_) cext_free(heap_);
    }
    ScratchValue(const ScratchValue &) = delete;
    ScratchValue &operator=(const ScratchValue &) = delete;
    // Null only when a needed heap block could not be had.
    char *data(int64_t val_size) {
        if (static_cast<size_t>(val_size) <= sizeof(local_)) return local_;
        return heap_;
    }

  private:
    alignas(16) char local_[256];
    char *heap_ = nullptr;
};

}  // namespace

// A keys block for a table of `size` slots (a power of two) with room for
// USABLE_FRACTION(size) entries. Every index slot and every entry hash starts as -1 (all
// bytes 0xff). A size that is not a power of two would leave slots the mask can never reach,
// so it is refused together with sizes whose block would not fit in memory.
int sarvo_dictkeys_new(SV_DictKeys **out, int64_t size, int64_t key_size, int64_t val_size) {
    if (size <= 0 || (size & (size - 1)) != 0 || key_size < 0 || val_size < 0) return ERR_NO_MEMORY;
    using u128 = unsigned __int128;
    auto round8 = [](u128 n) { return (n + 7) & ~static_cast<u128>(7); };
    const int64_t usable = usable_fraction(size);
    const u128 entry_size = round8(round8(static_cast<u128>(key_size)) +
                                   round8(static_cast<u128>(val_size)) + sizeof(int64_t));
    const u128 entry_offset = round8(static_cast<u128>(size) * index_width(size));
    const u128 table_bytes = entry_offset + static_cast<u128>(usable) * entry_size;
    const u128 total = round8(offsetof(SV_DictKeys, indices) + table_bytes);
    if (total > static_cast<u128>(PTRDIFF_MAX)) return ERR_NO_MEMORY;

    auto *dk = static_cast<SV_DictKeys *>(cext_malloc(static_cast<size_t>(total)));
    if (!dk) return ERR_NO_MEMORY;
    dk->size = size;
    dk->usable = usable;
    dk->nentries = 0;
    dk->key_size = key_size;
    dk->val_size = val_size;
    dk->entry_size = static_cast<int64_t>(entry_size);
    dk->entry_offset = static_cast<int64_t>(entry_offset);
    dk->methods = type_based_methods_table{};
    std::memset(dk->indices, 0xff, static_cast<size_t>(table_bytes));
    *out = dk;
    return OK;
}

// Drops the key and value of every live entry through the methods, then frees the block.
void sarvo_dictkeys_free(SV_DictKeys *dk) {
    if (!dk) return;
    for (int64_t i = 0; i < dk->nentries; ++i) {
        SV_DictEntry *e = entry_at(dk, i);
        if (e->hash != kEmptyHash) drop_entry_references(dk, e);
    }
    cext_free(dk);
}

// Stores entry numbers 0 to n-1 of a fresh index table, each in the first empty slot of its
// hash's probe sequence. Entries beyond the block's capacity do not exist and are ignored, and
// so are those for which no empty slot is left (a table that was filled before): every probe
// sequence reaches every slot, so a table with an empty slot always ends a probe.
void build_indices(SV_DictKeys *keys, int64_t n) {
    const int64_t capacity = usable_fraction(keys->size);
    if (n > capacity) n = capacity;
    int64_t empty = 0;
    for (int64_t slot = 0; slot < keys->size; ++slot) empty += get_index(keys, slot) == DKIX_EMPTY;
    if (n > empty) n = empty;
    for (int64_t ix = 0; ix < n; ++ix) {
        Probe p(keys, entry_at(keys, ix)->hash);
        while (get_index(keys, p.slot()) != DKIX_EMPTY) p.next();
        set_index(keys, p.slot(), ix);
    }
}

int sarvo_dict_new(SV_Dict **out, int64_t size, int64_t key_size, int64_t val_size) {
    SV_DictKeys *dk = nullptr;
    if (sarvo_dictkeys_new(&dk, size, key_size, val_size) != OK) return ERR_NO_MEMORY;
    auto *d = static_cast<SV_Dict *>(cext_malloc(sizeof(SV_Dict)));
    if (!d) {
        sarvo_dictkeys_free(dk);
        return ERR_NO_MEMORY;
    }
    d->used = 0;
    d->keys = dk;
    *out = d;
    return OK;
}

// A dictionary that takes n_keys insertions without resizing: the smallest power of two
// above n + n/2 keeps n within two thirds of the slots.
int sarvo_dict_new_sized(SV_Dict **out, int64_t n_keys, int64_t key_size, int64_t val_size) {
    int64_t size = D_MINSIZE;
    if (n_keys > USABLE_FRACTION(D_MINSIZE)) {
        uint64_t v = static_cast<uint64_t>(n_keys) + (static_cast<uint64_t>(n_keys) >> 1);
        for (int shift = 1; shift < 64; shift <<= 1) v |= v >> shift;
        size = static_cast<int64_t>(v + 1);
        if (size <= 0) return ERR_NO_MEMORY;
    }
    return sarvo_dict_new(out, size, key_size, val_size);
}

void sarvo_dict_free(SV_Dict *d) {
    if (!d) return;
    sarvo_dictkeys_free(d->keys);
    cext_free(d);
}

void sarvo_dict_set_method_table(SV_Dict *d, const type_based_methods_table *methods) {
    d->keys->methods = *methods;
}

int64_t sarvo_dict_length(SV_Dict *d) { return d->used; }

// Finds the entry of `key`. Returns its number and copies its value into oldval, or returns
// DKIX_EMPTY (not present) or DKIX_ERROR (key_equal failed) with oldval zeroed. Deleted
// slots are passed over: the key may lie further along the probe sequence.
int64_t sarvo_dict_lookup(SV_Dict *d, const char *key_bytes, int64_t hash, char *oldval_bytes) {
    const SV_DictKeys *dk = d->keys;
    const size_t val_size = static_cast<size_t>(dk->val_size);
    for (Probe p(dk, hash);; p.next()) {
        const int64_t ix = get_index(dk, p.slot());
        if (ix == DKIX_EMPTY) {
            std::memset(oldval_bytes, 0, val_size);
            return DKIX_EMPTY;
        }
        if (ix < 0) continue;
        SV_DictEntry *e = entry_at(dk, ix);
        if (e->hash != hash) continue;
        bool match;
        if (dk->methods.key_equal) {
            const int cmp = dk->methods.key_equal(entry_key(e), key_bytes);
            if (cmp < 0) {
                std::memset(oldval_bytes, 0, val_size);
                return DKIX_ERROR;
            }
            match = cmp > 0;
        } else {
            match = std::memcmp(entry_key(e), key_bytes, static_cast<size_t>(dk->key_size)) == 0;
        }
        if (match) {
            std::memcpy(oldval_bytes, entry_value(dk, e), val_size);
            return ix;
        }
    }
}

// Inserts or replaces. A replaced value is copied into oldval and dropped there; the stored
// key and the insertion position stay. A new key goes to the end of the entry array and to
// the first free (empty or deleted) slot of its probe sequence, after a resize when the
// table has no usable entries left. A failed resize leaves the dictionary as it was.
int sarvo_dict_insert(SV_Dict *d, const char *key_bytes, int64_t hash, const char *val_bytes,
                      char *oldval_bytes) {
    // Stored, -1 would make the entry a hole that popitem and the resizes walk over.
    if (hash == kEmptyHash) return ERR_INVALID_HASH;
    const int64_t found = sarvo_dict_lookup(d, key_bytes, hash, oldval_bytes);
    if (found == DKIX_ERROR) return ERR_CMP_FAILED;
    SV_DictKeys *dk = d->keys;
    if (found >= 0) {
        SV_DictEntry *e = entry_at(dk, found);
        if (dk->methods.value_decref) dk->methods.value_decref(oldval_bytes);
        std::memcpy(entry_value(dk, e), val_bytes, static_cast<size_t>(dk->val_size));
        if (dk->methods.value_incref) dk->methods.value_incref(val_bytes);
        return OK_REPLACED;
    }

    if (dk->usable <= 0) {
        if (insertion_resize(d) != OK) return ERR_NO_MEMORY;
        dk = d->keys;
    }
    Probe p(dk, hash);
    while (get_index(dk, p.slot()) >= 0) p.next();
    const int64_t ix = dk->nentries;
    set_index(dk, p.slot(), ix);
    SV_DictEntry *e = entry_at(dk, ix);
    e->hash = hash;
    std::memcpy(entry_key(e), key_bytes, static_cast<size_t>(dk->key_size));
    std::memcpy(entry_value(dk, e), val_bytes, static_cast<size_t>(dk->val_size));
    if (dk->methods.key_incref) dk->methods.key_incref(key_bytes);
    if (dk->methods.value_incref) dk->methods.value_incref(val_bytes);
    d->used += 1;
    dk->usable -= 1;
    dk->nentries += 1;
    return OK;
}

int sarvo_dict_insert_ez(SV_Dict *d, const char *key_bytes, int64_t hash, const char *val_bytes) {
    ScratchValue scratch(d->keys->val_size);
    char *oldval = scratch.data(d->keys->val_size);
    if (!oldval) return ERR_NO_MEMORY;
    return sarvo_dict_insert(d, key_bytes, hash, val_bytes, oldval);
}

// Deletes entry ix, which a lookup of the key with this hash returned. The entry stays as a
// hole (hash -1, zeroed bytes) until the next resize and its slot becomes a deleted marker, so
// probes for other keys still pass it; nentries and usable do not change.
int sarvo_dict_delitem(SV_Dict *d, int64_t hash, int64_t ix) {
    SV_DictKeys *dk = d->keys;
    if (ix < 0 || ix >= dk->nentries) srt_fatal_error("dictionary delete of an entry number out of range");
    const int64_t slot = slot_of_entry(dk, hash, ix);
    d->used -= 1;
    set_index(dk, slot, DKIX_DELETED);
    SV_DictEntry *e = entry_at(dk, ix);
    drop_entry_references(dk, e);
    zero_keyvalue(dk, e);
    e->hash = kEmptyHash;
    return OK;
}

// Removes the most recently inserted live entry and hands its key and value to the caller
// (nothing is dropped). nentries falls back to it, so trailing holes go as well; usable is not
// raised, so pop and insert cycles still end in a resize.
int sarvo_dict_popitem(SV_Dict *d, char *key_bytes, char *val_bytes) {
    if (d->used == 0) return ERR_DICT_EMPTY;
    SV_DictKeys *dk = d->keys;
    int64_t i = dk->nentries - 1;
    while (entry_at(dk, i)->hash == kEmptyHash) --i;
    SV_DictEntry *e = entry_at(dk, i);
    set_index(dk, slot_of_entry(dk, e->hash, i), DKIX_DELETED);
    std::memcpy(key_bytes, entry_key(e), static_cast<size_t>(dk->key_size));
    std::memcpy(val_bytes, entry_value(dk, e), static_cast<size_t>(dk->val_size));
    zero_keyvalue(dk, e);
    dk->nentries = i;
    d->used -= 1;
    return OK;
}

// Moves the live entries, in order and without holes, into a new table of the smallest
// power-of-two size from 8 up that is at least minsize and can hold them all. The moved keys
// and values keep their references. On failure the old table stays in place.
int sarvo_dict_resize(SV_Dict *d, int64_t minsize) {
    SV_DictKeys *old = d->keys;
    const int64_t used = d->used;
    int64_t newsize = D_MINSIZE;
    while (newsize < minsize || usable_fraction(newsize) < used) {
        if (newsize > INT64_MAX / 2) return ERR_NO_MEMORY;
        newsize <<= 1;
    }
    SV_DictKeys *fresh = nullptr;
    if (sarvo_dictkeys_new(&fresh, newsize, old->key_size, old->val_size) != OK) return ERR_NO_MEMORY;
    fresh->methods = old->methods;

    const size_t entry_size = static_cast<size_t>(old->entry_size);
    if (used == old->nentries) {
        std::memcpy(entry_at(fresh, 0), entry_at(old, 0), static_cast<size_t>(used) * entry_size);
    } else {
        int64_t j = 0;
        for (int64_t i = 0; i < old->nentries; ++i) {
            SV_DictEntry *e = entry_at(old, i);
            if (e->hash != kEmptyHash) std::memcpy(entry_at(fresh, j++), e, entry_size);
        }
    }
    // Raw free: the references now belong to the entries of the new table.
    cext_free(old);
    build_indices(fresh, used);
    fresh->usable -= used;
    fresh->nentries = used;
    d->keys = fresh;
    return OK;
}

size_t sarvo_dict_iter_sizeof(void) { return sizeof(SV_DictIter); }

void sarvo_dict_iter(SV_DictIter *it, SV_Dict *d) {
    it->parent = d;
    it->parent_keys = d->keys;
    it->size = d->used;
    it->pos = 0;
}

// Yields pointers into the table itself (no copy, no reference) in insertion order. A changed
// keys block or key count since the iterator was made is reported, not walked over.
int sarvo_dict_iter_next(SV_DictIter *it, const char **key_ptr, const char **val_ptr) {
    if (it->parent->keys != it->parent_keys || it->parent->used != it->size) return ERR_DICT_MUTATED;
    const SV_DictKeys *dk = it->parent_keys;
    while (it->pos < dk->nentries) {
        SV_DictEntry *e = entry_at(dk, it->pos);
        it->pos += 1;
        if (e->hash != kEmptyHash) {
            *key_ptr = entry_key(e);
            *val_ptr = entry_value(dk, e);
            return OK;
        }
    }
    return ERR_ITER_EXHAUSTED;
}

void sarvo_dict_dump(SV_Dict *d) {
    const SV_DictKeys *dk = d->keys;
    printf("Dict dump\n");
    printf("   key_size = %lld\n", static_cast<long long>(dk->key_size));
    printf("   val_size = %lld\n", static_cast<long long>(dk->val_size));
    long long printed = 0;
    for (int64_t i = 0; i < dk->nentries; ++i) {
        SV_DictEntry *e = entry_at(dk, i);
        if (e->hash == kEmptyHash) continue;
        printf("  key=");
        const auto *key = reinterpret_cast<const unsigned char *>(entry_key(e));
        for (int64_t k = 0; k < dk->key_size; ++k) printf("%02x ", key[k]);
        printf(" hash=%llu value=", static_cast<unsigned long long>(e->hash));
        const auto *val = reinterpret_cast<const unsigned char *>(entry_value(dk, e));
        for (int64_t k = 0; k < dk->val_size; ++k) printf("%02x ", val[k]);
        printf("\n");
        ++printed;
    }
    printf("j = %lld; n = %lld\n", printed, static_cast<long long>(d->used));
    fflush(stdout);
}

// Built-in self-test, a development aid: keys of 4 bytes, values of 8 bytes.
namespace {

// Frees the self-test's dictionary on every return path.
struct OwnedDict {
    SV_Dict *d = nullptr;
    ~OwnedDict() { sarvo_dict_free(d); }
    SV_Dict **fresh() {
        sarvo_dict_free(d);
        d = nullptr;
        return &d;
    }
};

}  // namespace

int sarvo_test_dict(void) {
    OwnedDict owned;
    SV_Dict *&d = owned.d;
    char got[8];
    SARVO_CEXT_CHECK(sarvo_dict_new(owned.fresh(), D_MINSIZE, 4, 8) == OK);
    SARVO_CEXT_CHECK(d->keys->size == D_MINSIZE);
    SARVO_CEXT_CHECK(d->keys->usable == USABLE_FRACTION(D_MINSIZE));
    SARVO_CEXT_CHECK(sarvo_dict_lookup(d, "bef", 0xBEEF, got) == DKIX_EMPTY);
    SARVO_CEXT_CHECK(std::memcmp(got, "\0\0\0\0\0\0\0\0", 8) == 0);

    SARVO_CEXT_CHECK(sarvo_dict_insert(d, "bef", 0xBEEF, "1234567", got) == OK);
    SARVO_CEXT_CHECK(d->used == 1 && d->keys->usable == USABLE_FRACTION(D_MINSIZE) - 1);
    SARVO_CEXT_CHECK(sarvo_dict_insert(d, "bef", 0xBEEF, "1234568", got) == OK_REPLACED);
    SARVO_CEXT_CHECK(std::memcmp(got, "1234567", 8) == 0);
    SARVO_CEXT_CHECK(d->used == 1 && d->keys->usable == USABLE_FRACTION(D_MINSIZE) - 1);

    // Same hash, different key.
    SARVO_CEXT_CHECK(sarvo_dict_insert(d, "beg", 0xBEEF, "1234569", got) == OK);
    SARVO_CEXT_CHECK(sarvo_dict_lookup(d, "bef", 0xBEEF, got) == 0 && std::memcmp(got, "1234568", 8) == 0);
    SARVO_CEXT_CHECK(sarvo_dict_lookup(d, "beg", 0xBEEF, got) == 1 && std::memcmp(got, "1234569", 8) == 0);

    SARVO_CEXT_CHECK(sarvo_dict_insert(d, "beh", 0xCAFE, "1234560", got) == OK);
    SARVO_CEXT_CHECK(sarvo_dict_insert(d, "bei", 0xCAFE, "0_0_0_1", got) == OK);
    SARVO_CEXT_CHECK(sarvo_dict_insert(d, "bej", 0xCAFE, "0_0_0_2", got) == OK);
    SARVO_CEXT_CHECK(d->used == 5 && d->keys->usable == 0 && d->keys->size == 8);
    // The sixth key does not fit: the table grows to 16 slots.
    SARVO_CEXT_CHECK(sarvo_dict_insert(d, "bek", 0xCAFE, "0_0_0_3", got) == OK);
    SARVO_CEXT_CHECK(d->keys->size == 16);
    SARVO_CEXT_CHECK(d->keys->usable == USABLE_FRACTION(16) - d->used);

    int64_t ix = sarvo_dict_lookup(d, "bef", 0xBEEF, got);
    SARVO_CEXT_CHECK(ix == 0);
    SARVO_CEXT_CHECK(sarvo_dict_delitem(d, 0xBEEF, ix) == OK);
    SARVO_CEXT_CHECK(sarvo_dict_lookup(d, "bef", 0xBEEF, got) == DKIX_EMPTY);
    SARVO_CEXT_CHECK(sarvo_dict_lookup(d, "beg", 0xBEEF, got) >= 0);
    SARVO_CEXT_CHECK(d->used == 5);

    char key[4];
    SARVO_CEXT_CHECK(sarvo_dict_popitem(d, key, got) == OK);
    SARVO_CEXT_CHECK(std::memcmp(key, "bek", 4) == 0 && std::memcmp(got, "0_0_0_3", 8) == 0);
    SARVO_CEXT_CHECK(sarvo_dict_popitem(d, key, got) == OK);
    SARVO_CEXT_CHECK(std::memcmp(key, "bej", 4) == 0 && std::memcmp(got, "0_0_0_2", 8) == 0);
    SARVO_CEXT_CHECK(d->used == 3);

    SV_DictIter it;
    const char *kp = nullptr;
    const char *vp = nullptr;
    sarvo_dict_iter(&it, d);
    int64_t seen = 0;
    while (sarvo_dict_iter_next(&it, &kp, &vp) == OK) ++seen;
    SARVO_CEXT_CHECK(seen == d->used);
    SARVO_CEXT_CHECK(sarvo_dict_iter_next(&it, &kp, &vp) == ERR_ITER_EXHAUSTED);
    sarvo_dict_iter(&it, d);
    SARVO_CEXT_CHECK(sarvo_dict_iter_next(&it, &kp, &vp) == OK);
    SARVO_CEXT_CHECK(sarvo_dict_insert(d, "bel", 0xCAFE, "0_0_0_4", got) == OK);
    SARVO_CEXT_CHECK(sarvo_dict_iter_next(&it, &kp, &vp) == ERR_DICT_MUTATED);

    SARVO_CEXT_CHECK(sarvo_dict_new_sized(owned.fresh(), 10, 4, 8) == OK);
    SARVO_CEXT_CHECK(d->keys->size == 16 && d->keys->usable == 10);
    SARVO_CEXT_CHECK(sarvo_dict_new_sized(owned.fresh(), 11, 4, 8) == OK);
    SARVO_CEXT_CHECK(d->keys->size == 32 && d->keys->usable == 21);
    SARVO_CEXT_CHECK(sarvo_dict_new_sized(owned.fresh(), 5, 4, 8) == OK);
    SARVO_CEXT_CHECK(d->keys->size == 8);
    return 0;
}
