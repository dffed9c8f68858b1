// Makes the containers' allocations fail from a chosen one on, counting live blocks, so that
// tests can show that a failure path releases what it took. Shared by the dict and list tests.
#pragma once

#include <cstdint>
#include <cstdlib>

#include "cext/utils.h"

namespace sarvo_test {

struct FailingAllocator {
    static inline int64_t allowed = 0;
    static inline int64_t live_blocks = 0;
    static void *malloc_fn(size_t n) {
        if (allowed-- <= 0) return nullptr;
        void *p = std::malloc(n);
        if (p) ++live_blocks;
        return p;
    }
    static void *realloc_fn(void *p, size_t n) {
        if (allowed-- <= 0) return nullptr;
        void *q = std::realloc(p, n);
        if (q && !p) ++live_blocks;
        return q;
    }
    static void free_fn(void *p) {
        if (p) --live_blocks;
        std::free(p);
    }
    explicit FailingAllocator(int64_t successes) : saved_(sarvo::cext::allocator) {
        allowed = successes;
        live_blocks = 0;
        sarvo::cext::allocator = {malloc_fn, realloc_fn, free_fn};
    }
    ~FailingAllocator() { sarvo::cext::allocator = saved_; }
    FailingAllocator(const FailingAllocator &) = delete;
    FailingAllocator &operator=(const FailingAllocator &) = delete;
    sarvo::cext::Allocator saved_;
};

}  // namespace sarvo_test
