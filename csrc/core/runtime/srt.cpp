// Memory records and the process allocator behind them.
#include "core/runtime/srt.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

struct MemSys {
    int shutting;
    struct {
        bool enabled;
        std::atomic<size_t> alloc, free, mi_alloc, mi_free;
    } stats;
    struct {
        SRT_malloc_func malloc;
        SRT_realloc_func realloc;
        SRT_free_func free;
    } allocator;
};

// Usable before SRT_MemSys_init: the C++ test harness allocates records without a module import.
MemSys TheMSys = {0, {false, {0}, {0}, {0}, {0}}, {std::malloc, std::realloc, std::free}};

// One byte test when statistics are off; one locked add when they are on.
inline void count(std::atomic<size_t> &counter) {
    if (TheMSys.stats.enabled) counter.fetch_add(1, std::memory_order_seq_cst);
}

inline size_t stat(const std::atomic<size_t> &counter) {
    return TheMSys.stats.enabled ? counter.load(std::memory_order_relaxed) : _DISABLED_STATS_VALUE;
}

int sample_external_opaque_data = 0xabacad;

SRT_ExternalAllocator sample_external_allocator = {
    sample_external_malloc, sample_external_realloc, sample_external_free,
    &sample_external_opaque_data};

const SRT_api_functions srt_functions_table = {
    SRT_MemInfo_alloc, SRT_MemInfo_alloc_external, srt_manage_memory,
    SRT_MemInfo_acquire, SRT_MemInfo_release, SRT_MemInfo_data};

// One block: the 48-byte header, then the payload. A size whose block would pass the end of
// the address range gets no block.
SRT_MemInfo *allocate_meminfo_and_data(size_t size, SRT_ExternalAllocator *allocator, void **data_out) {
    size_t total;
    if (__builtin_add_overflow(size, size_t{SRT_MEMINFO_HEADER_SIZE}, &total)) return nullptr;
    char *block = static_cast<char *>(SRT_Allocate_External(total, allocator));
    if (!block) return nullptr;
    *data_out = block + SRT_MEMINFO_HEADER_SIZE;
    return reinterpret_cast<SRT_MemInfo *>(block);
}

// The payload starts at the first multiple of align at or after the header's end; the block
// carries 2 * align bytes of slack so that at most align - 1 skipped bytes always fit. An align
// of 0, a slack that wraps in 32 bits, or a block past the end of the address range gets none.
SRT_MemInfo *allocate_meminfo_and_data_align(size_t size, unsigned align,
                                             SRT_ExternalAllocator *allocator, void **data_out) {
    unsigned slack;
    size_t total;
    if (align == 0 || __builtin_mul_overflow(align, 2u, &slack)) return nullptr;
    if (__builtin_add_overflow(size, size_t{slack} + SRT_MEMINFO_HEADER_SIZE, &total)) return nullptr;
    char *block = static_cast<char *>(SRT_Allocate_External(total, allocator));
    if (!block) return nullptr;
    uintptr_t base = reinterpret_cast<uintptr_t>(block) + SRT_MEMINFO_HEADER_SIZE;
    uintptr_t remainder = (align & (align - 1)) == 0 ? (base & (align - 1)) : (base % align);
    *data_out = reinterpret_cast<void *>(remainder == 0 ? base : base + (align - remainder));
    return reinterpret_cast<SRT_MemInfo *>(block);
}

SRT_MemInfo *inline_record(size_t size, SRT_ExternalAllocator *allocator, bool fill,
                           SRT_dtor_function dtor, void *dtor_info) {
    void *data = nullptr;
    SRT_MemInfo *mi = allocate_meminfo_and_data(size, allocator, &data);
    if (!mi) return nullptr;
    if (fill) std::memset(data, 0xCB, size);
    SRT_MemInfo_init(mi, data, size, dtor, dtor_info, allocator);
    return mi;
}

SRT_MemInfo *aligned_record(size_t size, unsigned align, SRT_ExternalAllocator *allocator, bool safe) {
    void *data = nullptr;
    SRT_MemInfo *mi = allocate_meminfo_and_data_align(size, align, allocator, &data);
    if (!mi) return nullptr;
    if (safe) {
        std::memset(data, 0xCB, size);
        SRT_MemInfo_init(mi, data, size, srt_internal_dtor_safe, reinterpret_cast<void *>(size), allocator);
    } else {
        SRT_MemInfo_init(mi, data, size, nullptr, nullptr, allocator);
    }
    return mi;
}

void run_dtor(SRT_MemInfo *mi) {
    if (mi->dtor && !TheMSys.shutting) mi->dtor(mi->data, mi->size, mi->dtor_info);
}

void check_varsize(SRT_MemInfo *mi, const char *message) {
    if (mi->dtor != srt_varsize_dtor) srt_fatal_error(message);
}

}  // namespace

extern "C" {

void SRT_MemSys_init(void) {
    TheMSys.shutting = 0;
    TheMSys.stats.enabled = false;
    TheMSys.stats.alloc.store(0);
    TheMSys.stats.free.store(0);
    TheMSys.stats.mi_alloc.store(0);
    TheMSys.stats.mi_free.store(0);
    TheMSys.allocator.malloc = std::malloc;
    TheMSys.allocator.realloc = std::realloc;
    TheMSys.allocator.free = std::free;
}

int srt_process_allocator_is_libc(void) {
    return TheMSys.allocator.malloc == std::malloc && TheMSys.allocator.free == std::free;
}

void SRT_MemSys_shutdown(void) { TheMSys.shutting = 1; }
void SRT_MemSys_enable_stats(void) { TheMSys.stats.enabled = true; }
void SRT_MemSys_disable_stats(void) { TheMSys.stats.enabled = false; }
size_t SRT_MemSys_stats_enabled(void) { return TheMSys.stats.enabled ? 1 : 0; }

/* Swapping the allocator under live blocks would hand them to a free() that never saw them.
   The guard can only see outstanding blocks while statistics are counted. */
void SRT_MemSys_set_allocator(SRT_malloc_func malloc_func, SRT_realloc_func realloc_func,
                              SRT_free_func free_func) {
    auto &s = TheMSys.stats;
    bool outstanding = s.alloc.load() != s.free.load() || s.mi_alloc.load() != s.mi_free.load();
    bool changed = malloc_func != TheMSys.allocator.malloc || realloc_func != TheMSys.allocator.realloc ||
                   free_func != TheMSys.allocator.free;
    if (s.enabled && outstanding && changed)
        srt_fatal_error("cannot change allocator while blocks are allocated");
    TheMSys.allocator.malloc = malloc_func;
    TheMSys.allocator.realloc = realloc_func;
    TheMSys.allocator.free = free_func;
}

size_t SRT_MemSys_get_stats_alloc(void) { return stat(TheMSys.stats.alloc); }
size_t SRT_MemSys_get_stats_free(void) { return stat(TheMSys.stats.free); }
size_t SRT_MemSys_get_stats_mi_alloc(void) { return stat(TheMSys.stats.mi_alloc); }
size_t SRT_MemSys_get_stats_mi_free(void) { return stat(TheMSys.stats.mi_free); }

void SRT_MemInfo_init(SRT_MemInfo *mi, void *data, size_t size, SRT_dtor_function dtor,
                      void *dtor_info, SRT_ExternalAllocator *external_allocator) {
    mi->refct.store(1, std::memory_order_seq_cst);
    mi->dtor = dtor;
    mi->dtor_info = dtor_info;
    mi->data = data;
    mi->size = size;
    mi->external_allocator = external_allocator;
    count(TheMSys.stats.mi_alloc);
}

SRT_MemInfo *SRT_MemInfo_alloc(size_t size) { return inline_record(size, nullptr, false, nullptr, nullptr); }

SRT_MemInfo *SRT_MemInfo_alloc_external(size_t size, SRT_ExternalAllocator *allocator) {
    return inline_record(size, allocator, false, nullptr, nullptr);
}

SRT_MemInfo *SRT_MemInfo_alloc_safe(size_t size) {
    return inline_record(size, nullptr, true, srt_internal_custom_dtor_safe, nullptr);
}

SRT_MemInfo *SRT_MemInfo_alloc_dtor_safe(size_t size, SRT_dtor_function dtor) {
    return inline_record(size, nullptr, true, srt_internal_custom_dtor_safe, reinterpret_cast<void *>(dtor));
}

SRT_MemInfo *SRT_MemInfo_alloc_dtor(size_t size, SRT_dtor_function dtor) {
    return inline_record(size, nullptr, false, srt_internal_custom_dtor, reinterpret_cast<void *>(dtor));
}

SRT_MemInfo *SRT_MemInfo_alloc_aligned(size_t size, unsigned align) {
    return aligned_record(size, align, nullptr, false);
}

SRT_MemInfo *SRT_MemInfo_alloc_safe_aligned(size_t size, unsigned align) {
    return aligned_record(size, align, nullptr, true);
}

SRT_MemInfo *SRT_MemInfo_alloc_safe_aligned_external(size_t size, unsigned align,
                                                     SRT_ExternalAllocator *allocator) {
    return aligned_record(size, align, allocator, true);
}

SRT_MemInfo *SRT_MemInfo_new(void *data, size_t size, SRT_dtor_function dtor, void *dtor_info) {
    SRT_MemInfo *mi = static_cast<SRT_MemInfo *>(SRT_Allocate(sizeof(SRT_MemInfo)));
    if (!mi) return nullptr;
    SRT_MemInfo_init(mi, data, size, dtor, dtor_info, nullptr);
    return mi;
}

SRT_MemInfo *srt_manage_memory(void *data, SRT_managed_dtor dtor) {
    return SRT_MemInfo_new(data, 0, srt_manage_memory_dtor, reinterpret_cast<void *>(dtor));
}

/* Data block first, header second; if the header cannot be had, the data block is given back
   so that a failed creation leaks nothing. */
SRT_MemInfo *SRT_MemInfo_new_varsize(size_t size) {
    void *data = SRT_Allocate(size);
    if (!data) return nullptr;
    SRT_MemInfo *mi = static_cast<SRT_MemInfo *>(SRT_Allocate(sizeof(SRT_MemInfo)));
    if (!mi) {
        SRT_Free(data);
        return nullptr;
    }
    SRT_MemInfo_init(mi, data, size, srt_varsize_dtor, nullptr, nullptr);
    return mi;
}

SRT_MemInfo *SRT_MemInfo_new_varsize_dtor(size_t size, SRT_dtor_function dtor) {
    SRT_MemInfo *mi = SRT_MemInfo_new_varsize(size);
    if (mi) mi->dtor_info = reinterpret_cast<void *>(dtor);
    return mi;
}

void srt_internal_dtor_safe(void *ptr, size_t size, void *info) { std::memset(ptr, 0xDE, size); }

void srt_internal_custom_dtor_safe(void *ptr, size_t size, void *info) {
    if (info) reinterpret_cast<SRT_dtor_function>(info)(ptr, size, nullptr);
    std::memset(ptr, 0xDE, size);
}

void srt_internal_custom_dtor(void *ptr, size_t size, void *info) {
    if (info) reinterpret_cast<SRT_dtor_function>(info)(ptr, size, nullptr);
}

void srt_manage_memory_dtor(void *ptr, size_t size, void *info) {
    reinterpret_cast<SRT_managed_dtor>(info)(ptr);
}

void srt_varsize_dtor(void *ptr, size_t size, void *info) {
    if (info) reinterpret_cast<SRT_dtor_function>(info)(ptr, size, info);
    SRT_Free(ptr);
}

void SRT_MemInfo_acquire(SRT_MemInfo *mi) { mi->refct.fetch_add(1, std::memory_order_seq_cst); }

// Reachable through the API table: a null record is released as free takes a null pointer.
void SRT_MemInfo_release(SRT_MemInfo *mi) {
    if (mi && mi->refct.fetch_sub(1, std::memory_order_seq_cst) == 1) SRT_MemInfo_call_dtor(mi);
}

void SRT_MemInfo_call_dtor(SRT_MemInfo *mi) {
    run_dtor(mi);
    SRT_dealloc(mi);
    count(TheMSys.stats.mi_free);
}

void SRT_MemInfo_destroy(SRT_MemInfo *mi) {
    SRT_dealloc(mi);
    count(TheMSys.stats.mi_free);
}

// A null record is nothing to give back, as for free: nothing happens and nothing is counted.
void SRT_dealloc(SRT_MemInfo *mi) {
    if (!mi) return;
    SRT_ExternalAllocator *ext = mi->external_allocator;
    if (ext) ext->free(mi, ext->opaque_data);
    else TheMSys.allocator.free(mi);
    count(TheMSys.stats.free);
}

void *SRT_MemInfo_varsize_alloc(SRT_MemInfo *mi, size_t size) {
    check_varsize(mi, "ERROR: SRT_MemInfo_varsize_alloc called with a non varsize-allocated meminfo");
    mi->data = SRT_Allocate(size);
    if (mi->data) mi->size = size;
    return mi->data;
}

void *SRT_MemInfo_varsize_realloc(SRT_MemInfo *mi, size_t size) {
    check_varsize(mi, "ERROR: SRT_MemInfo_varsize_realloc called with a non varsize-allocated meminfo");
    mi->data = SRT_Reallocate(mi->data, size);
    if (mi->data) mi->size = size;
    return mi->data;
}

void SRT_MemInfo_varsize_free(SRT_MemInfo *mi, void *ptr) {
    SRT_Free(ptr);
    if (ptr == mi->data) mi->data = nullptr;
}

void *SRT_Allocate(size_t size) {
    void *p = TheMSys.allocator.malloc(size);
    count(TheMSys.stats.alloc);
    return p;
}

void *SRT_Allocate_External(size_t size, SRT_ExternalAllocator *allocator) {
    void *p = allocator ? allocator->malloc(size, allocator->opaque_data) : TheMSys.allocator.malloc(size);
    count(TheMSys.stats.alloc);
    return p;
}

void *SRT_Reallocate(void *ptr, size_t size) { return TheMSys.allocator.realloc(ptr, size); }

void SRT_Free(void *ptr) {
    TheMSys.allocator.free(ptr);
    count(TheMSys.stats.free);
}

void *SRT_MemInfo_data(SRT_MemInfo *mi) { return mi->data; }
void *SRT_MemInfo_data_fast(SRT_MemInfo *mi) { return mi->data; }
size_t SRT_MemInfo_size(SRT_MemInfo *mi) { return mi->size; }
SRT_ExternalAllocator *SRT_MemInfo_external_allocator(SRT_MemInfo *mi) { return mi->external_allocator; }
void *SRT_MemInfo_parent(SRT_MemInfo *mi) { return mi->dtor_info; }

size_t SRT_MemInfo_refcount(SRT_MemInfo *mi) {
    if (!mi || !mi->data) return static_cast<size_t>(-1);
    return mi->refct.load();
}

void SRT_MemInfo_dump(SRT_MemInfo *mi, FILE *out) {
    std::fprintf(out, "MemInfo %p refcount %zu\n", static_cast<void *>(mi), mi->refct.load());
    std::fflush(out);
}

size_t srt_atomic_add(srt_atomic_size_t *ptr) { return ptr->fetch_add(1, std::memory_order_seq_cst) + 1; }
size_t srt_atomic_sub(srt_atomic_size_t *ptr) { return ptr->fetch_sub(1, std::memory_order_seq_cst) - 1; }

int srt_atomic_cas(void *volatile *ptr, void *cmp, void *repl, void **oldptr) {
    void *expected = cmp;
    bool swapped = __atomic_compare_exchange_n(ptr, &expected, repl, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    *oldptr = expected;
    return swapped ? 1 : 0;
}

const SRT_api_functions *SRT_get_api(void) { return &srt_functions_table; }
SRT_ExternalAllocator *_srt_get_sample_external_allocator(void) { return &sample_external_allocator; }

void *sample_external_malloc(size_t size, void *opaque_data) {
    return opaque_data == &sample_external_opaque_data ? TheMSys.allocator.malloc(size) : nullptr;
}

void *sample_external_realloc(void *ptr, size_t new_size, void *opaque_data) {
    return opaque_data == &sample_external_opaque_data ? TheMSys.allocator.realloc(ptr, new_size) : nullptr;
}

void sample_external_free(void *ptr, void *opaque_data) { TheMSys.allocator.free(ptr); }

void srt_debug_print(const char *fmt, ...) {
    va_list args;
    va_start(args, fmt);
    std::vfprintf(stderr, fmt, args);
    va_end(args);
}

void srt_fatal_error(const char *msg) {
    std::fprintf(stderr, "Fatal Sarvo error: %s\n", msg);
    std::fflush(stderr);
    std::abort();
}

}  // extern "C"
