// Memory that ends right before an inaccessible page: a vector routine that reads or writes one
// element past its array faults at once in any build, not only under the address sanitizer.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <new>

template <class T>
class GuardedBuffer {
  public:
    explicit GuardedBuffer(size_t n) : page_(static_cast<size_t>(sysconf(_SC_PAGESIZE))) {
        const size_t bytes = n * sizeof(T);
        span_ = (bytes + page_ - 1) / page_ * page_ + page_;
        void *base = mmap(nullptr, span_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (base == MAP_FAILED) throw std::bad_alloc();
        base_ = static_cast<char *>(base);
        char *const guard = base_ + span_ - page_;
        if (mprotect(guard, page_, PROT_NONE) != 0) throw std::bad_alloc();
        data_ = reinterpret_cast<T *>(guard - bytes);  // page-aligned end, so aligned for T
    }
    GuardedBuffer(const GuardedBuffer &) = delete;
    GuardedBuffer &operator=(const GuardedBuffer &) = delete;
    ~GuardedBuffer() { munmap(base_, span_); }

    T *data() { return data_; }
    void assign(const T *from, size_t n) { std::memcpy(data_, from, n * sizeof(T)); }

  private:
    size_t page_, span_ = 0;
    char *base_ = nullptr;
    T *data_ = nullptr;
};
