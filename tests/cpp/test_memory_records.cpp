// Memory records: creation shapes, fills, statistics, destruction and the fatal guards.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <sstream>
#include <vector>

#include "core/runtime/srt.h"

namespace {

// An allocator that delegates to the C library, can refuse, can hand out blocks `shift` bytes
// past what the C library gave (so that alignment is tried at every 8-byte offset), counts its
// calls, remembers the last block it freed and what the payload of a watched block looked like
// (so the 0xDE fill is observed right before the free).
struct TestAllocator {
    static inline bool refuse = false;
    static inline size_t shift = 0;
    static inline std::map<void *, void *> shifted;  // handed-out block -> C library block
    static inline int mallocs = 0, frees = 0;
    static inline void *last_freed = nullptr;
    static inline std::vector<unsigned char> last_freed_payload;
    static inline const unsigned char *watch = nullptr;  // payload to snapshot on free
    static inline size_t watch_size = 0;
    static inline void *watch_block = nullptr;

    static void *malloc(size_t n) {
        ++mallocs;
        if (refuse) return nullptr;
        if (!shift) return std::malloc(n);
        char *block = static_cast<char *>(std::malloc(n + 64));
        shifted[block + shift] = block;
        return block + shift;
    }
    static void *realloc(void *p, size_t n) { return refuse ? nullptr : std::realloc(p, n); }
    static void free(void *p) {
        ++frees;
        last_freed = p;
        if (p && p == watch_block) last_freed_payload.assign(watch, watch + watch_size);
        auto it = shifted.find(p);
        if (it != shifted.end()) {
            p = it->second;
            shifted.erase(it);
        }
        std::free(p);
    }
    static void reset() {
        refuse = false;
        shift = 0;
        mallocs = frees = 0;
        last_freed = watch_block = nullptr;
        last_freed_payload.clear();
    }
};

// An external allocator that tags every block it hands out, counts its calls and checks that
// only its own blocks, with its own opaque pointer, come back to it.
struct TaggingAllocator {
    SRT_ExternalAllocator table{malloc, nullptr, free, this};
    std::set<void *> blocks;
    int mallocs = 0, frees = 0, foreign = 0;

    static TaggingAllocator &self(void *opaque) { return *static_cast<TaggingAllocator *>(opaque); }
    static void *malloc(size_t n, void *opaque) {
        void *p = std::malloc(n);
        ++self(opaque).mallocs;
        self(opaque).blocks.insert(p);
        return p;
    }
    static void free(void *p, void *opaque) {
        ++self(opaque).frees;
        self(opaque).foreign += self(opaque).blocks.erase(p) == 0;
        std::free(p);
    }
};

class MemoryRecords : public ::testing::Test {
  protected:
    void SetUp() override {
        SRT_MemSys_init();
        SRT_MemSys_set_allocator(TestAllocator::malloc, TestAllocator::realloc, TestAllocator::free);
        SRT_MemSys_enable_stats();
        TestAllocator::reset();
    }
    void TearDown() override {
        SRT_MemSys_disable_stats();
        SRT_MemSys_init();
    }
    struct Counts {
        size_t alloc, free, mi_alloc, mi_free;
    };
    static Counts counts() {
        return {SRT_MemSys_get_stats_alloc(), SRT_MemSys_get_stats_free(), SRT_MemSys_get_stats_mi_alloc(),
                SRT_MemSys_get_stats_mi_free()};
    }
};

TEST_F(MemoryRecords, StatisticsReadTheDisabledMarkerWhileOff) {
    SRT_MemInfo *mi = SRT_MemInfo_alloc(8);
    SRT_MemSys_disable_stats();
    EXPECT_EQ(SRT_MemSys_stats_enabled(), 0u);
    for (size_t v : {SRT_MemSys_get_stats_alloc(), SRT_MemSys_get_stats_free(), SRT_MemSys_get_stats_mi_alloc(),
                     SRT_MemSys_get_stats_mi_free()})
        EXPECT_EQ(v, size_t{0x41414141});
    SRT_MemInfo_release(mi);
}

TEST_F(MemoryRecords, InlineRecordIsOneBlockAndBalancesItsCounters) {
    Counts before = counts();
    SRT_MemInfo *mi = SRT_MemInfo_alloc(100);
    ASSERT_NE(mi, nullptr);
    EXPECT_EQ(mi->data, reinterpret_cast<char *>(mi) + 48);
    EXPECT_EQ(SRT_MemInfo_size(mi), 100u);
    EXPECT_EQ(SRT_MemInfo_refcount(mi), 1u);
    SRT_MemInfo_acquire(mi);
    SRT_incref(mi);
    EXPECT_EQ(SRT_MemInfo_refcount(mi), 3u);
    SRT_decref(mi);
    SRT_MemInfo_release(mi);
    Counts mid = counts();
    EXPECT_EQ(mid.alloc - before.alloc, 1u);
    EXPECT_EQ(mid.mi_alloc - before.mi_alloc, 1u);
    EXPECT_EQ(mid.free - before.free, 0u);
    SRT_MemInfo_release(mi);
    Counts after = counts();
    EXPECT_EQ(after.free - before.free, 1u);
    EXPECT_EQ(after.mi_free - before.mi_free, 1u);
    EXPECT_EQ(TestAllocator::mallocs, 1);
    EXPECT_EQ(TestAllocator::frees, 1);
    EXPECT_EQ(TestAllocator::last_freed, mi);
}

TEST_F(MemoryRecords, DestroyEndsTheRecordWithoutItsDestructorAndCallDtorIgnoresTheCount) {
    static int calls = 0;
    calls = 0;
    SRT_dtor_function counting = [](void *, size_t, void *) { ++calls; };
    SRT_MemInfo *mi = SRT_MemInfo_alloc_dtor(4, counting);
    SRT_MemInfo_acquire(mi);
    Counts before = counts();
    SRT_MemInfo_destroy(mi);
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(TestAllocator::last_freed, mi);
    EXPECT_EQ(counts().free - before.free, 1u);
    EXPECT_EQ(counts().mi_free - before.mi_free, 1u);
    mi = SRT_MemInfo_alloc_dtor(4, counting);
    SRT_MemInfo_acquire(mi);
    SRT_MemInfo_call_dtor(mi);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(TestAllocator::last_freed, mi);
    EXPECT_EQ(counts().mi_free - before.mi_free, 2u);
}

TEST_F(MemoryRecords, InitResetsCountersAllocatorAndShutdown) {
    SRT_MemInfo *live = SRT_MemInfo_alloc(8);
    SRT_MemSys_shutdown();
    SRT_MemSys_init();
    EXPECT_EQ(SRT_MemSys_stats_enabled(), 0u);
    SRT_MemSys_enable_stats();
    Counts zero = counts();
    EXPECT_EQ(zero.alloc + zero.free + zero.mi_alloc + zero.mi_free, 0u);
    static int calls = 0;
    SRT_MemInfo *mi = SRT_MemInfo_alloc_dtor(4, [](void *, size_t, void *) { ++calls; });
    SRT_MemInfo_release(mi);
    EXPECT_EQ(calls, 1);                   // no longer shutting
    EXPECT_EQ(TestAllocator::mallocs, 1);  // the process allocator is the C library's again
    EXPECT_EQ(TestAllocator::frees, 0);
    SRT_MemInfo_release(live);
}

TEST_F(MemoryRecords, DumpWritesAddressAndCount) {
    SRT_MemInfo *mi = SRT_MemInfo_alloc(8);
    SRT_MemInfo_acquire(mi);
    char text[128] = {};
    FILE *out = fmemopen(text, sizeof text, "w");
    SRT_MemInfo_dump(mi, out);
    std::fclose(out);
    std::ostringstream expected;
    expected << "MemInfo 0x" << std::hex << reinterpret_cast<uintptr_t>(mi) << " refcount 2\n";
    EXPECT_EQ(std::string(text), expected.str());
    SRT_MemInfo_release(mi);
    SRT_MemInfo_release(mi);
}

TEST_F(MemoryRecords, FailedAllocationCountsTheAttemptOnly) {
    Counts before = counts();
    TestAllocator::refuse = true;
    EXPECT_EQ(SRT_MemInfo_alloc(16), nullptr);
    EXPECT_EQ(SRT_MemInfo_alloc_aligned(16, 32), nullptr);
    EXPECT_EQ(SRT_MemInfo_new_varsize(16), nullptr);
    TestAllocator::refuse = false;
    Counts after = counts();
    EXPECT_EQ(after.alloc - before.alloc, 3u);
    EXPECT_EQ(after.mi_alloc, before.mi_alloc);
}

TEST_F(MemoryRecords, VariableSizeRecordCountsTwoBlocks) {
    Counts before = counts();
    SRT_MemInfo *mi = SRT_MemInfo_new_varsize(32);
    ASSERT_NE(mi, nullptr);
    EXPECT_EQ(counts().alloc - before.alloc, 2u);
    EXPECT_EQ(counts().mi_alloc - before.mi_alloc, 1u);
    ASSERT_NE(SRT_MemInfo_varsize_realloc(mi, 4096), nullptr);
    EXPECT_EQ(SRT_MemInfo_size(mi), 4096u);
    EXPECT_EQ(counts().alloc - before.alloc, 2u);  // reallocation is never counted
    SRT_MemInfo_varsize_free(mi, mi->data);
    void *fresh = SRT_MemInfo_varsize_alloc(mi, 64);  // a new data block after the old one went
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(mi->data, fresh);
    EXPECT_EQ(SRT_MemInfo_size(mi), 64u);
    EXPECT_EQ(counts().alloc - before.alloc, 3u);
    SRT_MemInfo_release(mi);
    Counts after = counts();
    EXPECT_EQ(after.free - before.free, 3u);
    EXPECT_EQ(after.mi_free - before.mi_free, 1u);
}

TEST_F(MemoryRecords, VariableSizeElementDestructorSeesTheDataBlockSizeAndItself) {
    static void *seen = nullptr, *seen_info = nullptr;
    static size_t seen_size = 0;
    SRT_dtor_function dtor = [](void *p, size_t n, void *info) {
        seen = p;
        seen_size = n;
        seen_info = info;
    };
    SRT_MemInfo *mi = SRT_MemInfo_new_varsize_dtor(8, dtor);
    void *data = mi->data;
    SRT_MemInfo_release(mi);
    EXPECT_EQ(seen, data);
    EXPECT_EQ(seen_size, 8u);
    EXPECT_EQ(seen_info, reinterpret_cast<void *>(dtor));
}

TEST_F(MemoryRecords, FailedReallocLeavesAReleasableRecord) {
    SRT_MemInfo *mi = SRT_MemInfo_new_varsize(8);
    TestAllocator::refuse = true;
    EXPECT_EQ(SRT_MemInfo_varsize_realloc(mi, 1 << 20), nullptr);
    TestAllocator::refuse = false;
    EXPECT_EQ(mi->data, nullptr);
    EXPECT_EQ(SRT_MemInfo_size(mi), 8u);
    SRT_MemInfo_release(mi);  // must not crash: the destructor frees a null block
}

TEST_F(MemoryRecords, VarsizeFreeOfAnotherPointerKeepsData) {
    SRT_MemInfo *mi = SRT_MemInfo_new_varsize(8);
    void *data = mi->data;
    void *other = SRT_Allocate(4);
    Counts before = counts();
    SRT_MemInfo_varsize_free(mi, other);
    EXPECT_EQ(mi->data, data);
    EXPECT_EQ(TestAllocator::last_freed, other);
    SRT_MemInfo_varsize_free(mi, data);
    EXPECT_EQ(mi->data, nullptr);
    EXPECT_EQ(TestAllocator::last_freed, data);
    EXPECT_EQ(counts().free - before.free, 2u);
    SRT_MemInfo_release(mi);
}

struct AlignCase {
    size_t size;
    unsigned align;
};

class AlignedRecords : public MemoryRecords, public ::testing::WithParamInterface<AlignCase> {};

TEST_P(AlignedRecords, PayloadIsAlignedAndFitsItsBlock) {
    const AlignCase c = GetParam();
    for (TestAllocator::shift = 0; TestAllocator::shift < 64; TestAllocator::shift += 8) {
        SRT_MemInfo *mi = SRT_MemInfo_alloc_aligned(c.size, c.align);
        ASSERT_NE(mi, nullptr);
        uintptr_t header_end = reinterpret_cast<uintptr_t>(mi) + 48;
        uintptr_t data = reinterpret_cast<uintptr_t>(mi->data);
        EXPECT_EQ(data % c.align, 0u);
        EXPECT_GE(data, header_end);
        EXPECT_LT(data - header_end, c.align);
        std::memset(mi->data, 0x5A, c.size);  // the whole payload is writable
        SRT_MemInfo_release(mi);
    }
    TestAllocator::shift = 0;
}

INSTANTIATE_TEST_SUITE_P(Alignments, AlignedRecords,
                         ::testing::Values(AlignCase{100, 32}, AlignCase{0, 32}, AlignCase{7, 1}, AlignCase{64, 24},
                                           AlignCase{5, 64}));

TEST_F(MemoryRecords, AlignOneSitsRightBehindTheHeader) {
    SRT_MemInfo *mi = SRT_MemInfo_alloc_aligned(10, 1);
    EXPECT_EQ(mi->data, reinterpret_cast<char *>(mi) + 48);
    SRT_MemInfo_release(mi);
}

class SafeRecords : public MemoryRecords, public ::testing::WithParamInterface<SRT_MemInfo *(*)(size_t)> {};

TEST_P(SafeRecords, FillOnCreationAndOnDeath) {
    SRT_MemInfo *mi = GetParam()(40);
    const auto *payload = static_cast<const unsigned char *>(mi->data);
    for (size_t i = 0; i < 40; ++i) ASSERT_EQ(payload[i], 0xCB);
    TestAllocator::watch_block = mi;
    TestAllocator::watch = payload;
    TestAllocator::watch_size = 40;
    SRT_MemInfo_release(mi);
    ASSERT_EQ(TestAllocator::last_freed_payload.size(), 40u);
    for (unsigned char b : TestAllocator::last_freed_payload) EXPECT_EQ(b, 0xDE);
}

INSTANTIATE_TEST_SUITE_P(
    Creators, SafeRecords,
    ::testing::Values(+[](size_t n) { return SRT_MemInfo_alloc_safe(n); },
                      +[](size_t n) { return SRT_MemInfo_alloc_dtor_safe(n, [](void *, size_t, void *) {}); },
                      +[](size_t n) { return SRT_MemInfo_alloc_safe_aligned(n, 32); }));

TEST_F(MemoryRecords, SafeAlignedRecordKeepsItsSizeAsParent) {
    SRT_MemInfo *mi = SRT_MemInfo_alloc_safe_aligned(40, 32);
    EXPECT_EQ(reinterpret_cast<size_t>(SRT_MemInfo_parent(mi)), 40u);
    SRT_MemInfo_release(mi);
}

TEST_F(MemoryRecords, SafeRecordOfSizeZeroIsValid) {
    SRT_MemInfo *mi = SRT_MemInfo_alloc_safe(0);
    ASSERT_NE(mi, nullptr);
    EXPECT_EQ(SRT_MemInfo_refcount(mi), 1u);
    SRT_MemInfo_release(mi);
}

TEST_F(MemoryRecords, CustomDestructorRunsBeforeTheFill) {
    static unsigned char first_byte_seen = 0;
    SRT_MemInfo *mi = SRT_MemInfo_alloc_dtor_safe(4, [](void *p, size_t, void *) {
        first_byte_seen = *static_cast<unsigned char *>(p);
    });
    SRT_MemInfo_release(mi);
    EXPECT_EQ(first_byte_seen, 0xCB);
}

TEST_F(MemoryRecords, ShutdownSkipsDestructors) {
    static int calls = 0;
    SRT_MemInfo *mi = SRT_MemInfo_alloc_dtor(4, [](void *, size_t, void *) { ++calls; });
    SRT_MemSys_shutdown();
    SRT_MemInfo_release(mi);
    EXPECT_EQ(calls, 0);
}

TEST_F(MemoryRecords, RefcountOfNullOrDatalessRecordIsAllOnes) {
    EXPECT_EQ(SRT_MemInfo_refcount(nullptr), static_cast<size_t>(-1));
    SRT_MemInfo *mi = SRT_MemInfo_new(nullptr, 0, nullptr, nullptr);
    EXPECT_EQ(SRT_MemInfo_refcount(mi), static_cast<size_t>(-1));
    SRT_MemInfo_release(mi);
    SRT_incref(nullptr);
    SRT_decref(nullptr);
}

TEST_F(MemoryRecords, ManagedMemoryCallsItsDestructorWithTheData) {
    static void *seen = nullptr;
    int payload = 7;
    SRT_MemInfo *mi = srt_manage_memory(&payload, [](void *p) { seen = p; });
    EXPECT_EQ(SRT_MemInfo_size(mi), 0u);
    SRT_MemInfo_release(mi);
    EXPECT_EQ(seen, &payload);
}

TEST_F(MemoryRecords, ExternalAllocatorMakesAndFreesItsRecordsAlone) {
    TaggingAllocator ext;
    Counts before = counts();
    SRT_MemInfo *mi = SRT_MemInfo_alloc_external(16, &ext.table);
    SRT_MemInfo *safe = SRT_MemInfo_alloc_safe_aligned_external(16, 32, &ext.table);
    EXPECT_EQ(SRT_MemInfo_external_allocator(mi), &ext.table);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(safe->data) % 32, 0u);
    EXPECT_EQ(*static_cast<unsigned char *>(safe->data), 0xCB);  // a safe record
    EXPECT_EQ(reinterpret_cast<size_t>(SRT_MemInfo_parent(safe)), 16u);
    EXPECT_EQ(ext.blocks, (std::set<void *>{mi, safe}));
    SRT_MemInfo_release(mi);
    SRT_MemInfo_release(safe);
    EXPECT_EQ(ext.mallocs, 2);
    EXPECT_EQ(ext.frees, 2);
    EXPECT_EQ(ext.foreign, 0);
    EXPECT_TRUE(ext.blocks.empty());
    EXPECT_EQ(TestAllocator::mallocs + TestAllocator::frees, 0);  // the process allocator saw nothing
    EXPECT_EQ(counts().alloc - before.alloc, 2u);
    EXPECT_EQ(counts().free - before.free, 2u);
}

TEST_F(MemoryRecords, SampleExternalAllocatorServesOnlyItsOwnOpaquePointer) {
    SRT_ExternalAllocator *ext = _srt_get_sample_external_allocator();
    void *p = ext->malloc(16, ext->opaque_data);
    p = ext->realloc(p, 32, ext->opaque_data);
    ext->free(p, ext->opaque_data);
    EXPECT_EQ(TestAllocator::mallocs, 1);
    EXPECT_EQ(TestAllocator::last_freed, p);
    int other = 0;
    EXPECT_EQ(sample_external_malloc(16, &other), nullptr);
    EXPECT_EQ(sample_external_realloc(nullptr, 16, &other), nullptr);
}

// Sizes and alignments whose block size wraps get no record instead of a short block.
TEST_F(MemoryRecords, ExternalCreationRefusesSizesThatWrap) {
    Counts before = counts();
    EXPECT_EQ(SRT_MemInfo_alloc_external(SIZE_MAX - 39, nullptr), nullptr);
    EXPECT_EQ(SRT_MemInfo_alloc_safe_aligned_external(16, 0x80000000u, nullptr), nullptr);
    EXPECT_EQ(SRT_MemInfo_alloc_safe_aligned_external(16, 0, nullptr), nullptr);
    EXPECT_EQ(SRT_MemInfo_alloc_safe_aligned_external(SIZE_MAX, 32, nullptr), nullptr);
    EXPECT_EQ(SRT_MemInfo_alloc_aligned(SIZE_MAX - 100, 32), nullptr);
    EXPECT_EQ(counts().mi_alloc, before.mi_alloc);
}

TEST_F(MemoryRecords, ApiTableNamesTheRuntimeFunctions) {
    const SRT_api_functions *api = SRT_get_api();
    SRT_MemInfo *mi = api->allocate(8);
    api->acquire(mi);
    EXPECT_EQ(SRT_MemInfo_refcount(mi), 2u);
    EXPECT_EQ(api->get_data(mi), mi->data);
    api->release(mi);
    api->release(mi);
    // Release and dealloc take a null record as free takes a null pointer: nothing is counted.
    const auto frees = counts();
    api->release(nullptr);
    SRT_dealloc(nullptr);
    EXPECT_EQ(counts().free, frees.free);
    EXPECT_EQ(counts().mi_free, frees.mi_free);
}

TEST_F(MemoryRecords, AtomicHelpersReturnNewValuesAndReportCas) {
    srt_atomic_size_t word{5};
    EXPECT_EQ(srt_atomic_add(&word), 6u);
    EXPECT_EQ(srt_atomic_sub(&word), 5u);
    int a = 0, b = 0;
    void *volatile slot = &a;
    void *old = nullptr;
    EXPECT_EQ(srt_atomic_cas(&slot, &b, &b, &old), 0);
    EXPECT_EQ(old, &a);
    EXPECT_EQ(srt_atomic_cas(&slot, &a, &b, &old), 1);
    EXPECT_EQ(old, &a);
    EXPECT_EQ(slot, &b);
}

using MemoryRecordsDeathTest = MemoryRecords;

// Run in a child process, so that an abort fails this test instead of ending the test binary.
TEST_F(MemoryRecordsDeathTest, ReinstallingTheSameAllocatorOrSwappingWithoutStatisticsNeverAborts) {
    EXPECT_EXIT(
        {
            SRT_MemInfo_alloc(8);  // one outstanding block
            SRT_MemSys_set_allocator(TestAllocator::malloc, TestAllocator::realloc, TestAllocator::free);
            SRT_MemSys_disable_stats();
            SRT_MemSys_set_allocator(std::malloc, std::realloc, std::free);
            std::fprintf(stderr, "survived");
            std::_Exit(0);
        },
        ::testing::ExitedWithCode(0), "survived");
}

// Each case holds one kind of outstanding allocation and changes one of the three functions.
struct LiveCase {
    const char *holds;  // "record", "block" (no record) or "header" (a record count, no block)
    int changed;        // 0 malloc, 1 realloc, 2 free
};

class MemoryRecordsSwapDeathTest : public MemoryRecords, public ::testing::WithParamInterface<LiveCase> {};

TEST_P(MemoryRecordsSwapDeathTest, ChangingTheAllocatorUnderLiveBlocksAborts) {
    const LiveCase c = GetParam();
    EXPECT_DEATH(
        {
            static SRT_MemInfo in_place;
            if (!std::strcmp(c.holds, "record")) SRT_MemInfo_alloc(8);
            if (!std::strcmp(c.holds, "block")) SRT_Allocate(8);
            if (!std::strcmp(c.holds, "header")) SRT_MemInfo_init(&in_place, nullptr, 0, nullptr, nullptr, nullptr);
            SRT_MemSys_set_allocator(c.changed == 0 ? std::malloc : TestAllocator::malloc,
                                     c.changed == 1 ? std::realloc : TestAllocator::realloc,
                                     c.changed == 2 ? std::free : TestAllocator::free);
        },
        "Fatal Sarvo error: cannot change allocator while blocks are allocated");
}

INSTANTIATE_TEST_SUITE_P(OneChange, MemoryRecordsSwapDeathTest,
                         ::testing::Values(LiveCase{"record", 2}, LiveCase{"block", 0}, LiveCase{"header", 1}));

TEST_F(MemoryRecordsDeathTest, VarsizeOperationsRefuseOtherRecords) {
    SRT_MemInfo *mi = SRT_MemInfo_alloc(8);
    EXPECT_DEATH(SRT_MemInfo_varsize_alloc(mi, 8),
                 "ERROR: SRT_MemInfo_varsize_alloc called with a non varsize-allocated meminfo");
    EXPECT_DEATH(SRT_MemInfo_varsize_realloc(mi, 8),
                 "ERROR: SRT_MemInfo_varsize_realloc called with a non varsize-allocated meminfo");
    SRT_MemInfo_release(mi);
}

}  // namespace
