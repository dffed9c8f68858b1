/* Helpers shared by the typed dictionary and the typed list: block-size rounding, the
   export marker, the self-test check and (for C++ callers) the allocator both containers
   draw from. The plain-C part is what the public container headers need. */
#ifndef SARVO_CEXT_UTILS_H
#define SARVO_CEXT_UTILS_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

/* Symbols named in cext/exports.txt must also be visible at compile time, since the
   module is built with hidden visibility by default. */
#define SARVO_CEXT_EXPORT __attribute__((visibility("default")))

/* Rounds a byte count up to a multiple of the pointer width (8), so that every record that
   follows another in one block starts aligned. Callers keep sz far below SIZE_MAX - 7. */
static inline size_t aligned_size(size_t sz) {
    const size_t alignment = sizeof(void *);
    return sz + (alignment - sz % alignment) % alignment;
}

/* One check of a built-in self-test: on failure it names the check and its place and makes
   the test return 1. */
#define SARVO_CEXT_CHECK(X)                                                   \
    do {                                                                      \
        if (!(X)) {                                                           \
            printf("'%s' failed file %s:%d\n", #X, __FILE__, __LINE__);      \
            return 1;                                                         \
        }                                                                     \
    } while (0)

#ifdef __cplusplus
namespace sarvo::cext {

/* The C allocator, reached through one table so that the unit tests can make an allocation
   fail and check that every container is left as it was. Not exported; only tests swap it. */
struct Allocator {
    void *(*malloc_fn)(size_t size);
    void *(*realloc_fn)(void *ptr, size_t size);
    void (*free_fn)(void *ptr);
};

inline Allocator allocator = {malloc, realloc, free};

inline void *cext_malloc(size_t size) { return allocator.malloc_fn(size); }
inline void *cext_realloc(void *ptr, size_t size) { return allocator.realloc_fn(ptr, size); }
inline void cext_free(void *ptr) { allocator.free_fn(ptr); }

}  // namespace sarvo::cext
#endif

#endif /* SARVO_CEXT_UTILS_H */
