/* Memory records: reference-counted owners of every heap block that passes between kernels,
   runtime and Python, and the one process-wide allocator state behind them.
   Plain C interface; nothing here touches Python. */
#ifndef SARVO_CORE_RUNTIME_SRT_H
#define SARVO_CORE_RUNTIME_SRT_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
#include <atomic>
typedef std::atomic<size_t> srt_atomic_size_t;
extern "C" {
#else
#include <stdatomic.h>
typedef _Atomic size_t srt_atomic_size_t;
#endif

#define SARVO_EXPORT __attribute__((visibility("default")))

/* The statistics hooks are visible only in test builds, which also list them for export. */
#ifdef SARVO_TEST_HOOKS
#define SRT_TEST_HOOK SARVO_EXPORT
#else
#define SRT_TEST_HOOK
#endif

typedef void (*SRT_dtor_function)(void *ptr, size_t size, void *info);
typedef void (*SRT_managed_dtor)(void *data);
typedef void *(*SRT_malloc_func)(size_t size);
typedef void *(*SRT_realloc_func)(void *ptr, size_t new_size);
typedef void (*SRT_free_func)(void *ptr);
typedef void *(*SRT_external_malloc_func)(size_t size, void *opaque_data);
typedef void *(*SRT_external_realloc_func)(void *ptr, size_t new_size, void *opaque_data);
typedef void (*SRT_external_free_func)(void *ptr, void *opaque_data);

typedef struct ExternalMemAllocator {
    SRT_external_malloc_func malloc;
    SRT_external_realloc_func realloc;
    SRT_external_free_func free;
    void *opaque_data;
} SRT_ExternalAllocator;

/* Six 8-byte words; compiled code increments refct (word 0) and reads data (word 3) in place. */
typedef struct MemInfo {
    srt_atomic_size_t refct;
    SRT_dtor_function dtor;
    void *dtor_info;
    void *data;
    size_t size;
    SRT_ExternalAllocator *external_allocator;
} SRT_MemInfo;

#define SRT_MEMINFO_HEADER_SIZE 48

/* Compiled code addresses these words by offset, so the layout is fixed at compile time. */
#ifdef __cplusplus
#define SRT_LAYOUT_CHECK static_assert
#else
#define SRT_LAYOUT_CHECK _Static_assert
#endif
SRT_LAYOUT_CHECK(sizeof(srt_atomic_size_t) == 8, "the count is one lock-free 64-bit word");
SRT_LAYOUT_CHECK(sizeof(SRT_MemInfo) == SRT_MEMINFO_HEADER_SIZE, "a record is six 8-byte words");
SRT_LAYOUT_CHECK(offsetof(SRT_MemInfo, refct) == 0, "refct is word 0");
SRT_LAYOUT_CHECK(offsetof(SRT_MemInfo, dtor) == 8, "dtor is word 1");
SRT_LAYOUT_CHECK(offsetof(SRT_MemInfo, dtor_info) == 16, "dtor_info is word 2");
SRT_LAYOUT_CHECK(offsetof(SRT_MemInfo, data) == 24, "data is word 3");
SRT_LAYOUT_CHECK(offsetof(SRT_MemInfo, size) == 32, "size is word 4");
SRT_LAYOUT_CHECK(offsetof(SRT_MemInfo, external_allocator) == 40, "external_allocator is word 5");
SRT_LAYOUT_CHECK(sizeof(SRT_ExternalAllocator) == 32 && offsetof(SRT_ExternalAllocator, malloc) == 0 &&
                     offsetof(SRT_ExternalAllocator, realloc) == 8 && offsetof(SRT_ExternalAllocator, free) == 16 &&
                     offsetof(SRT_ExternalAllocator, opaque_data) == 24,
                 "an external allocator is malloc, realloc, free, opaque_data");
#define _DISABLED_STATS_VALUE ((size_t)0x41414141)

typedef struct {
    SRT_MemInfo *(*allocate)(size_t size);
    SRT_MemInfo *(*allocate_external)(size_t size, SRT_ExternalAllocator *allocator);
    SRT_MemInfo *(*manage_memory)(void *data, SRT_managed_dtor dtor);
    void (*acquire)(SRT_MemInfo *mi);
    void (*release)(SRT_MemInfo *mi);
    void *(*get_data)(SRT_MemInfo *mi);
} SRT_api_functions;

/* Memory system */
void SRT_MemSys_init(void);
void SRT_MemSys_shutdown(void);
SRT_TEST_HOOK void SRT_MemSys_enable_stats(void);
SRT_TEST_HOOK void SRT_MemSys_disable_stats(void);
size_t SRT_MemSys_stats_enabled(void);
void SRT_MemSys_set_allocator(SRT_malloc_func malloc_func, SRT_realloc_func realloc_func,
                              SRT_free_func free_func);
/* Whether records come from the C library's malloc (the allocator at start-up): its blocks are
   private anonymous memory, whose whole pages may be handed back to the system for fresh zeroed
   ones. Not exported. */
int srt_process_allocator_is_libc(void);
SRT_TEST_HOOK size_t SRT_MemSys_get_stats_alloc(void);
SRT_TEST_HOOK size_t SRT_MemSys_get_stats_free(void);
SRT_TEST_HOOK size_t SRT_MemSys_get_stats_mi_alloc(void);
SRT_TEST_HOOK size_t SRT_MemSys_get_stats_mi_free(void);

/* Record creation: each returns a record with refct 1, or null when an allocation failed. */
SRT_MemInfo *SRT_MemInfo_alloc(size_t size);
SARVO_EXPORT SRT_MemInfo *SRT_MemInfo_alloc_external(size_t size, SRT_ExternalAllocator *allocator);
SRT_MemInfo *SRT_MemInfo_alloc_safe(size_t size);
SRT_MemInfo *SRT_MemInfo_alloc_dtor_safe(size_t size, SRT_dtor_function dtor);
SRT_MemInfo *SRT_MemInfo_alloc_dtor(size_t size, SRT_dtor_function dtor);
SRT_MemInfo *SRT_MemInfo_alloc_aligned(size_t size, unsigned align);
SRT_MemInfo *SRT_MemInfo_alloc_safe_aligned(size_t size, unsigned align);
SARVO_EXPORT SRT_MemInfo *SRT_MemInfo_alloc_safe_aligned_external(size_t size, unsigned align,
                                                                  SRT_ExternalAllocator *allocator);
SRT_MemInfo *SRT_MemInfo_new(void *data, size_t size, SRT_dtor_function dtor, void *dtor_info);
SRT_MemInfo *srt_manage_memory(void *data, SRT_managed_dtor dtor);
SRT_MemInfo *SRT_MemInfo_new_varsize(size_t size);
SRT_MemInfo *SRT_MemInfo_new_varsize_dtor(size_t size, SRT_dtor_function dtor);
void SRT_MemInfo_init(SRT_MemInfo *mi, void *data, size_t size, SRT_dtor_function dtor,
                      void *dtor_info, SRT_ExternalAllocator *external_allocator);

/* Destructors installed by the runtime */
void srt_internal_dtor_safe(void *ptr, size_t size, void *info);
void srt_internal_custom_dtor_safe(void *ptr, size_t size, void *info);
void srt_internal_custom_dtor(void *ptr, size_t size, void *info);
void srt_manage_memory_dtor(void *ptr, size_t size, void *info);
void srt_varsize_dtor(void *ptr, size_t size, void *info);

/* Reference counting and destruction */
void SRT_MemInfo_acquire(SRT_MemInfo *mi);
void SRT_MemInfo_release(SRT_MemInfo *mi);
void SRT_MemInfo_call_dtor(SRT_MemInfo *mi);
#ifdef __cplusplus
/* For compiled kernels: one locked instruction, null-tolerant, and a call only when the count
   reaches zero. Defined here so that every caller inlines them; `used` still emits the
   out-of-line forms for callers that need a function address. */
__attribute__((used, always_inline)) inline void SRT_incref(SRT_MemInfo *mi) {
    if (mi) mi->refct.fetch_add(1, std::memory_order_seq_cst);
}
__attribute__((used, always_inline)) inline void SRT_decref(SRT_MemInfo *mi) {
    if (mi && mi->refct.fetch_sub(1, std::memory_order_seq_cst) == 1) SRT_MemInfo_call_dtor(mi);
}
#else
void SRT_incref(SRT_MemInfo *mi);
void SRT_decref(SRT_MemInfo *mi);
#endif
void SRT_MemInfo_destroy(SRT_MemInfo *mi);
SARVO_EXPORT void SRT_dealloc(SRT_MemInfo *mi);

/* Variable-size records */
void *SRT_MemInfo_varsize_alloc(SRT_MemInfo *mi, size_t size);
void *SRT_MemInfo_varsize_realloc(SRT_MemInfo *mi, size_t size);
void SRT_MemInfo_varsize_free(SRT_MemInfo *mi, void *ptr);

/* Raw blocks */
void *SRT_Allocate(size_t size);
void *SRT_Allocate_External(size_t size, SRT_ExternalAllocator *allocator);
void *SRT_Reallocate(void *ptr, size_t size);
void SRT_Free(void *ptr);

/* Accessors */
void *SRT_MemInfo_data(SRT_MemInfo *mi);
void *SRT_MemInfo_data_fast(SRT_MemInfo *mi);
size_t SRT_MemInfo_size(SRT_MemInfo *mi);
SRT_ExternalAllocator *SRT_MemInfo_external_allocator(SRT_MemInfo *mi);
void *SRT_MemInfo_parent(SRT_MemInfo *mi);
size_t SRT_MemInfo_refcount(SRT_MemInfo *mi);
void SRT_MemInfo_dump(SRT_MemInfo *mi, FILE *out);

/* Atomic helpers for compiled code (sequentially consistent, on 64-bit words) */
size_t srt_atomic_add(srt_atomic_size_t *ptr);
size_t srt_atomic_sub(srt_atomic_size_t *ptr);
int srt_atomic_cas(void *volatile *ptr, void *cmp, void *repl, void **oldptr);

const SRT_api_functions *SRT_get_api(void);
SRT_ExternalAllocator *_srt_get_sample_external_allocator(void);
void *sample_external_malloc(size_t size, void *opaque_data);
void *sample_external_realloc(void *ptr, size_t new_size, void *opaque_data);
void sample_external_free(void *ptr, void *opaque_data);

void srt_debug_print(const char *fmt, ...);
__attribute__((noreturn)) void srt_fatal_error(const char *msg);

#ifdef __cplusplus
}
#endif
#endif
