// Large zeroed results: a block handed back to the system page by page reads as zeros in full,
// up to its unaligned ends and not beyond them, whichever allocator the runtime has.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "core/runtime/srt.h"
#include "pelmarinex/deviverozo_new/fresh_array.h"

namespace {

namespace K = pelmarinex::deviverozo_new::sarvo_functions;

// A dirty block of `size` bytes; zeroes [17, size - 33) of it and checks every byte.
void check_zeroing(size_t size) {
    auto *block = static_cast<unsigned char *>(std::malloc(size));
    ASSERT_NE(block, nullptr);
    std::memset(block, 0xAB, size);
    const size_t begin = 17, end = size - 33;
    K::zero_fresh_block(block + begin, static_cast<int64_t>(end - begin));
    EXPECT_TRUE(std::all_of(block + begin, block + end, [](unsigned char b) { return b == 0; }));
    EXPECT_TRUE(std::all_of(block, block + begin, [](unsigned char b) { return b == 0xAB; }));
    EXPECT_TRUE(std::all_of(block + end, block + size, [](unsigned char b) { return b == 0xAB; }));
    std::free(block);
}

void *other_malloc(size_t n) { return std::malloc(n); }
void *other_realloc(void *p, size_t n) { return std::realloc(p, n); }
void other_free(void *p) { std::free(p); }

// Blocks above and below the size the C library always maps afresh.
TEST(FreshArray, ZeroesADirtyBlockExactlyInItsRange) {
    for (size_t size : {size_t{1} << 20, (size_t{33} << 20) + 12345}) check_zeroing(size);
}

TEST(FreshArray, ZeroesUnderAnotherProcessAllocator) {
    SRT_MemSys_set_allocator(other_malloc, other_realloc, other_free);
    EXPECT_EQ(srt_process_allocator_is_libc(), 0);
    check_zeroing((size_t{33} << 20) + 12345);
    SRT_MemSys_set_allocator(std::malloc, std::realloc, std::free);
    EXPECT_EQ(srt_process_allocator_is_libc(), 1);
}

}  // namespace
