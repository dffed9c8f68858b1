#include "pelmarinex/deviverozo_new/fresh_array.h"

#include <sys/mman.h>

#include <cstring>

#include "core/runtime/srt.h"

namespace pelmarinex::deviverozo_new::sarvo_functions {

void prefer_huge_pages(void *data, int64_t nbytes) {
    constexpr uintptr_t kHugePage = uintptr_t{1} << 21;
    if (nbytes < static_cast<int64_t>(2 * kHugePage)) return;
    const auto begin = reinterpret_cast<uintptr_t>(data);
    const uintptr_t first = (begin + kHugePage - 1) & ~(kHugePage - 1);
    const uintptr_t last = (begin + static_cast<uintptr_t>(nbytes)) & ~(kHugePage - 1);
    // Advice only: a refusal (older kernels, huge pages disabled) leaves ordinary pages.
    if (last > first) madvise(reinterpret_cast<void *>(first), last - first, MADV_HUGEPAGE);
}

void zero_fresh_block(void *data, int64_t nbytes) {
    constexpr uintptr_t kPage = 4096;
    const auto begin = reinterpret_cast<uintptr_t>(data), end = begin + static_cast<uintptr_t>(nbytes);
    const uintptr_t first = (begin + kPage - 1) & ~(kPage - 1), last = end & ~(kPage - 1);
#if defined(__linux__) && defined(MADV_DONTNEED)
    // The C library serves blocks from 32 MiB up (its largest threshold) as fresh mappings whose
    // pages nobody has touched: handing them back costs a system call and no page. Smaller
    // blocks may come back from its heap already in memory, where writing them is cheaper than
    // faulting them in again.
    constexpr int64_t kAlwaysMapped = int64_t{32} << 20;
    if (nbytes >= kAlwaysMapped && srt_process_allocator_is_libc() &&
        madvise(reinterpret_cast<void *>(first), last - first, MADV_DONTNEED) == 0) {
        std::memset(data, 0, first - begin);
        std::memset(reinterpret_cast<void *>(last), 0, end - last);
        return;
    }
#endif
    std::memset(data, 0, static_cast<size_t>(nbytes));
}

}  // namespace pelmarinex::deviverozo_new::sarvo_functions
