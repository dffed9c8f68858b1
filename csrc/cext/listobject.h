/* Typed list for compiled code: a growable array of raw byte items of a size fixed per list,
   over-allocated so that appends take amortised constant time, with an optional pair of
   functions that take and drop references on items and a flag that makes it read-only.
   Every operation reports a status; none raises. A list is used by one thread at a time. */
#ifndef SARVO_CEXT_LISTOBJECT_H
#define SARVO_CEXT_LISTOBJECT_H

#include "cext/utils.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Status codes */
enum {
    LIST_OK = 0,
    LIST_ERR_INDEX = -1,           /* index not below the size (negative indices included) */
    LIST_ERR_NO_MEMORY = -2,       /* allocation failed, or the requested capacity overflows */
    LIST_ERR_MUTATED = -3,         /* the iterator's list changed size since it was made */
    LIST_ERR_ITER_EXHAUSTED = -4,  /* no more items */
    LIST_ERR_IMMUTABLE = -5,       /* the list is read-only */
    LIST_ERR_NULL_TABLE = -6,      /* a null methods table, which would be read on every item */
};

typedef void (*list_refcount_op_t)(const void *);

/* Each pointer may be null. */
typedef struct {
    list_refcount_op_t item_incref;
    list_refcount_op_t item_decref;
} list_type_based_methods_table;

typedef struct {
    int64_t size;       /* first, so that the list's address is also its size's address */
    int64_t item_size;  /* at least 1 */
    int64_t allocated;  /* capacity in items */
    int is_mutable;     /* 1 writable, 0 read-only */
    list_type_based_methods_table methods;
    char *items;        /* allocated * item_size bytes (rounded up to 8) from the C allocator, or null */
} SV_List;

typedef struct {
    SV_List *parent;
    int64_t size;  /* parent->size when the iterator was made */
    int64_t pos;   /* next index */
} SV_ListIter;

SARVO_CEXT_EXPORT int sarvo_list_new(SV_List **out, int64_t item_size, int64_t allocated);
SARVO_CEXT_EXPORT void sarvo_list_free(SV_List *lp);
/* LIST_OK, or LIST_ERR_NULL_TABLE for a null table, which leaves the list's table as it was. */
SARVO_CEXT_EXPORT int sarvo_list_set_method_table(SV_List *lp,
                                                  const list_type_based_methods_table *methods);
SARVO_CEXT_EXPORT char *sarvo_list_base_ptr(SV_List *lp);
SARVO_CEXT_EXPORT int64_t *sarvo_list_size_address(SV_List *lp);
SARVO_CEXT_EXPORT int64_t sarvo_list_length(SV_List *lp);
SARVO_CEXT_EXPORT int64_t sarvo_list_allocated(SV_List *lp);
SARVO_CEXT_EXPORT int sarvo_list_is_mutable(SV_List *lp);
SARVO_CEXT_EXPORT void sarvo_list_set_is_mutable(SV_List *lp, int is_mutable);
SARVO_CEXT_EXPORT int sarvo_list_getitem(SV_List *lp, int64_t index, char *out);
SARVO_CEXT_EXPORT int sarvo_list_setitem(SV_List *lp, int64_t index, const char *item);
SARVO_CEXT_EXPORT int sarvo_list_append(SV_List *lp, const char *item);
SARVO_CEXT_EXPORT int sarvo_list_resize(SV_List *lp, int64_t newsize);
SARVO_CEXT_EXPORT int sarvo_list_delitem(SV_List *lp, int64_t index);
SARVO_CEXT_EXPORT int sarvo_list_delete_slice(SV_List *lp, int64_t start, int64_t stop, int64_t step);
SARVO_CEXT_EXPORT size_t sarvo_list_iter_sizeof(void);
SARVO_CEXT_EXPORT void sarvo_list_iter(SV_ListIter *it, SV_List *lp);
SARVO_CEXT_EXPORT int sarvo_list_iter_next(SV_ListIter *it, const char **item_ptr);
int sarvo_test_list(void);

#ifdef __cplusplus
}
#endif

#endif /* SARVO_CEXT_LISTOBJECT_H */
