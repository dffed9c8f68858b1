// Python's allocator of one domain refusing from its n-th request on, with the set of blocks
// taken under it and not yet given back: tests reach the paths where Python runs out of memory
// and show that nothing taken there is kept. One at a time; the GIL must be held.
#pragma once

#include <Python.h>

#include <set>

namespace sarvo_test {

class RefusingPythonAllocator {
  public:
    static inline std::set<void *> live;

    RefusingPythonAllocator(PyMemAllocatorDomain domain, int successes) : domain_(domain) {
        allowed_ = successes;
        live.clear();
        PyMemAllocatorEx refusing = {nullptr, malloc, calloc, realloc, free};
        PyMem_GetAllocator(domain_, &saved_);
        PyMem_SetAllocator(domain_, &refusing);
    }
    ~RefusingPythonAllocator() { PyMem_SetAllocator(domain_, &saved_); }
    RefusingPythonAllocator(const RefusingPythonAllocator &) = delete;
    RefusingPythonAllocator &operator=(const RefusingPythonAllocator &) = delete;

  private:
    static inline int allowed_ = 0;
    static inline PyMemAllocatorEx saved_;
    PyMemAllocatorDomain domain_;

    static void *taken(void *p) {
        if (p) live.insert(p);
        return p;
    }
    static void *malloc(void *, size_t n) { return allowed_-- <= 0 ? nullptr : taken(saved_.malloc(saved_.ctx, n)); }
    static void *calloc(void *, size_t k, size_t n) {
        return allowed_-- <= 0 ? nullptr : taken(saved_.calloc(saved_.ctx, k, n));
    }
    static void *realloc(void *, void *p, size_t n) {
        if (allowed_-- <= 0) return nullptr;
        void *q = saved_.realloc(saved_.ctx, p, n);
        if (q) live.erase(p);
        return taken(q);
    }
    static void free(void *, void *p) {
        live.erase(p);
        saved_.free(saved_.ctx, p);
    }
};

}  // namespace sarvo_test
