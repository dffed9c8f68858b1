#include "pelmarinex/deviverozo_new/fresh_array.h"

#include <sys/mman.h>

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

}  // namespace pelmarinex::deviverozo_new::sarvo_functions
