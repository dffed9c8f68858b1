/* Typed dictionary for compiled code: keys and values are raw byte blocks of a size fixed per
   dictionary, the caller supplies every hash, and an optional table of five functions compares
   keys and takes and drops references. A sparse table of small index slots points into a
   dense, insertion-ordered array of entries. Every operation reports a status; none raises.
   A dictionary is used by one thread at a time. */
#ifndef SARVO_CEXT_DICTOBJECT_H
#define SARVO_CEXT_DICTOBJECT_H

#include "cext/utils.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Status codes */
enum {
    OK = 0,
    OK_REPLACED = 1,          /* insert found the key and replaced its value */
    ERR_NO_MEMORY = -1,       /* allocation failed, or the requested size overflows */
    ERR_DICT_MUTATED = -2,    /* the iterator's dictionary changed since it was made */
    ERR_ITER_EXHAUSTED = -3,  /* no more entries */
    ERR_DICT_EMPTY = -4,      /* pop from an empty dictionary */
    ERR_CMP_FAILED = -5,      /* key_equal reported an error */
    ERR_INVALID_HASH = -6,    /* insert with the hash -1, which marks an entry that holds nothing */
};

/* Index-slot values; 0 and above is the number of an entry. */
enum {
    DKIX_EMPTY = -1,    /* never used: a probe stops here */
    DKIX_DELETED = -2,  /* its entry was deleted: a probe continues past it */
    DKIX_ERROR = -3,    /* returned by lookup when the key comparison failed */
};

#define D_MINSIZE 8
/* Entries a table of n slots may hold: at least a third of the slots stay empty, so every
   probe reaches an empty slot. 5 for 8, 10 for 16, 21 for 32. */
#define USABLE_FRACTION(n) (((n) << 1) / 3)

/* Each pointer may be null. key_equal(stored, probe) returns 1 or more for equal, 0 for
   different and a negative value for an error; when it is null keys compare byte by byte. */
typedef int (*dict_key_comparator_t)(const char *lhs, const char *rhs);
typedef void (*dict_refcount_op_t)(const void *);

typedef struct {
    dict_key_comparator_t key_equal;
    dict_refcount_op_t key_incref;
    dict_refcount_op_t key_decref;
    dict_refcount_op_t value_incref;
    dict_refcount_op_t value_decref;
} type_based_methods_table;

/* One block from the C allocator: this header, `size` index slots of the narrowest width that
   holds the entry numbers (1, 2, 4 or 8 bytes), then at `entry_offset` room for
   USABLE_FRACTION(size) entries of `entry_size` bytes. */
typedef struct {
    int64_t size;          /* index slots; a power of two */
    int64_t usable;        /* entries that may still be appended before a resize */
    int64_t nentries;      /* entries used so far, holes included */
    int64_t key_size;
    int64_t val_size;
    int64_t entry_size;    /* aligned(aligned(key_size) + aligned(val_size) + 8) */
    int64_t entry_offset;  /* aligned(size * index width) */
    type_based_methods_table methods;
    char indices[];
} SV_DictKeys;

/* hash -1 marks an entry that holds nothing; the key occupies aligned_size(key_size) bytes and
   the value follows. */
typedef struct {
    int64_t hash;
    char keyvalue[];
} SV_DictEntry;

typedef struct {
    int64_t used;       /* live keys */
    SV_DictKeys *keys;  /* carries the methods table, which moves with it on resize */
} SV_Dict;

typedef struct {
    SV_Dict *parent;
    SV_DictKeys *parent_keys;  /* the keys block when the iterator was made */
    int64_t size;              /* parent->used then */
    int64_t pos;               /* next entry number to look at */
} SV_DictIter;

SARVO_CEXT_EXPORT int sarvo_dictkeys_new(SV_DictKeys **out, int64_t size, int64_t key_size,
                                         int64_t val_size);
SARVO_CEXT_EXPORT void sarvo_dictkeys_free(SV_DictKeys *dk);
SARVO_CEXT_EXPORT void build_indices(SV_DictKeys *keys, int64_t n);

int sarvo_dict_new(SV_Dict **out, int64_t size, int64_t key_size, int64_t val_size);
int sarvo_dict_new_sized(SV_Dict **out, int64_t n_keys, int64_t key_size, int64_t val_size);
void sarvo_dict_free(SV_Dict *d);
void sarvo_dict_set_method_table(SV_Dict *d, const type_based_methods_table *methods);
int64_t sarvo_dict_length(SV_Dict *d);
int64_t sarvo_dict_lookup(SV_Dict *d, const char *key_bytes, int64_t hash, char *oldval_bytes);
int sarvo_dict_insert(SV_Dict *d, const char *key_bytes, int64_t hash, const char *val_bytes,
                      char *oldval_bytes);
int sarvo_dict_insert_ez(SV_Dict *d, const char *key_bytes, int64_t hash, const char *val_bytes);
int sarvo_dict_delitem(SV_Dict *d, int64_t hash, int64_t ix);
int sarvo_dict_popitem(SV_Dict *d, char *key_bytes, char *val_bytes);
int sarvo_dict_resize(SV_Dict *d, int64_t minsize);
size_t sarvo_dict_iter_sizeof(void);
void sarvo_dict_iter(SV_DictIter *it, SV_Dict *d);
int sarvo_dict_iter_next(SV_DictIter *it, const char **key_ptr, const char **val_ptr);
void sarvo_dict_dump(SV_Dict *d);
int sarvo_test_dict(void);

#ifdef __cplusplus
}
#endif

#endif /* SARVO_CEXT_DICTOBJECT_H */
