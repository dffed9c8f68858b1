// The pair list behind find_seeds, bfs and fill_holes: its capacity rule, item order, index
// guard, and the records it fails with when the allocator refuses, also as seen by the kernels.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/runtime/srt.h"
#include "np/arrayobj.h"
#include "pelmarinex/deviverozo_new/pair_list.h"
#include "pelmarinex/deviverozo_new/sarvo_functions.h"
#include "core/pickled_constants.h"

namespace {

namespace K = pelmarinex::deviverozo_new::sarvo_functions;
using sarvo::PairItem;
using sarvo::PairList;
namespace records = sarvo::records;

// Delegates to the C library, counts live blocks, and refuses on request: malloc after a budget
// of successful calls, realloc while refuse_realloc is set.
struct CountingAllocator {
    static inline long live = 0;
    static inline long malloc_budget = -1;  // negative: unlimited
    static inline bool refuse_realloc = false;

    static void *malloc(size_t n) {
        if (malloc_budget == 0) return nullptr;
        if (malloc_budget > 0) --malloc_budget;
        void *p = std::malloc(n);
        if (p) ++live;
        return p;
    }
    static void *realloc(void *p, size_t n) { return refuse_realloc ? nullptr : std::realloc(p, n); }
    static void free(void *p) {
        if (p) --live;
        std::free(p);
    }
};

class PairListTest : public ::testing::Test {
  protected:
    void SetUp() override {
        CountingAllocator::live = 0;
        CountingAllocator::malloc_budget = -1;
        CountingAllocator::refuse_realloc = false;
        SRT_MemSys_set_allocator(CountingAllocator::malloc, CountingAllocator::realloc, CountingAllocator::free);
    }
    void TearDown() override { SRT_MemSys_set_allocator(std::malloc, std::realloc, std::free); }

    const excinfo_t *exc = nullptr;
};

// Capacities by the rule n + n/4 + 8 when an append finds the list full: 0 -> 9 at n = 1,
// 9 -> 10 + 2 + 8 = 20 at n = 10, 20 -> 21 + 5 + 8 = 34 at n = 21, and so on.
const int64_t kGrowthCapacities[] = {9, 20, 34, 51, 73, 100, 134, 176, 229};

TEST_F(PairListTest, AppendsGrowTheCapacityByAQuarterPlusEight) {
    PairList<uint32_t> list;
    ASSERT_EQ(list.init(&exc), sarvo::kOk);
    std::vector<int64_t> capacities;
    for (uint32_t n = 1; n <= 229; ++n) {
        const int64_t before = list.capacity();
        ASSERT_EQ(list.append(n, 2 * n, &exc), sarvo::kOk);
        if (list.capacity() != before) {
            EXPECT_EQ(before, n - 1) << "grows only when full";
            capacities.push_back(list.capacity());
        }
    }
    EXPECT_EQ(capacities, std::vector<int64_t>(std::begin(kGrowthCapacities), std::end(kGrowthCapacities)));
}

TEST_F(PairListTest, RemovalsShrinkToTheSizeBelowAQuarter) {
    PairList<int64_t> list;
    ASSERT_EQ(list.init(&exc), sarvo::kOk);
    for (int64_t n = 0; n < 100; ++n) ASSERT_EQ(list.append(n, -n, &exc), sarvo::kOk);
    ASSERT_EQ(list.capacity(), 100);
    // Size left after a pop -> capacity after it, wherever the capacity changes:
    // 24 < 100/4, 5 < 24/4, 0 < 5/4.
    struct Step {
        int64_t size, capacity;
    };
    std::vector<Step> changes;
    while (list.size() > 0) {
        const int64_t before = list.capacity();
        PairItem<int64_t> last;
        ASSERT_EQ(list.pop(&last, &exc), sarvo::kOk);
        ASSERT_EQ(last.first, list.size());
        ASSERT_EQ(last.second, -list.size());
        if (list.capacity() != before) changes.push_back({list.size(), list.capacity()});
    }
    ASSERT_EQ(changes.size(), 3u);
    const Step expected[] = {{24, 24}, {5, 5}, {0, 0}};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(changes[i].size, expected[i].size);
        EXPECT_EQ(changes[i].capacity, expected[i].capacity);
    }
    // An emptied list grows again from nothing.
    ASSERT_EQ(list.append(7, 8, &exc), sarvo::kOk);
    EXPECT_EQ(list.capacity(), 9);
}

struct IndexCase {
    int64_t index;
    bool inside;
    int64_t value;  // first element of the item read
};

class PairListIndex : public PairListTest, public ::testing::WithParamInterface<IndexCase> {};

TEST_P(PairListIndex, NegativeIndicesCountFromTheEndOthersAreGuarded) {
    PairList<uint32_t> list;
    ASSERT_EQ(list.init(&exc), sarvo::kOk);
    for (uint32_t n = 10; n < 15; ++n) ASSERT_EQ(list.append(n, 0, &exc), sarvo::kOk);
    PairItem<uint32_t> item{99, 99};
    const IndexCase c = GetParam();
    if (c.inside) {
        ASSERT_EQ(list.get(c.index, &item, &exc), sarvo::kOk);
        EXPECT_EQ(item.first, c.value);
    } else {
        ASSERT_EQ(list.get(c.index, &item, &exc), sarvo::kUserError);
        EXPECT_EQ(exc, &records::list_getitem_out_of_range);
        EXPECT_EQ(item.first, 99u) << "a refused read writes nothing";
    }
}

INSTANTIATE_TEST_SUITE_P(Indices, PairListIndex,
                         ::testing::Values(IndexCase{0, true, 10}, IndexCase{4, true, 14}, IndexCase{-1, true, 14},
                                           IndexCase{-5, true, 10}, IndexCase{5, false, 0},
                                           IndexCase{-6, false, 0}, IndexCase{INT64_MIN, false, 0},
                                           IndexCase{INT64_MAX, false, 0}));

TEST_F(PairListTest, PopFromAnEmptyListIsAnIndexError) {
    PairList<int64_t> list;
    ASSERT_EQ(list.init(&exc), sarvo::kOk);
    PairItem<int64_t> item;
    EXPECT_EQ(list.pop(&item, &exc), sarvo::kUserError);
    EXPECT_EQ(exc, &records::list_getitem_out_of_range);
    EXPECT_EQ(list.size(), 0);
}

TEST_F(PairListTest, ReleasingTheListFreesEveryBlock) {
    {
        PairList<int64_t> list;
        ASSERT_EQ(list.init(&exc), sarvo::kOk);
        for (int64_t n = 0; n < 50; ++n) ASSERT_EQ(list.append(n, n, &exc), sarvo::kOk);
        EXPECT_EQ(CountingAllocator::live, 2) << "one data block and one record header";
    }
    EXPECT_EQ(CountingAllocator::live, 0);
}

class PairListRefusal : public PairListTest, public ::testing::WithParamInterface<long> {};

TEST_P(PairListRefusal, RefusedCreationIsCannotAllocate) {
    CountingAllocator::malloc_budget = GetParam();  // 0: data block refused, 1: header refused
    {
        PairList<int64_t> list;
        EXPECT_EQ(list.init(&exc), sarvo::kUserError);
        EXPECT_EQ(exc, &records::list_cannot_allocate);
    }
    EXPECT_EQ(CountingAllocator::live, 0);
}

INSTANTIATE_TEST_SUITE_P(Blocks, PairListRefusal, ::testing::Values(0L, 1L));

TEST_F(PairListTest, RefusedGrowthIsCannotResizeAndKeepsTheList) {
    {
        PairList<int64_t> list;
        ASSERT_EQ(list.init(&exc), sarvo::kOk);
        for (int64_t n = 0; n < 9; ++n) ASSERT_EQ(list.append(n, -n, &exc), sarvo::kOk);
        CountingAllocator::refuse_realloc = true;
        EXPECT_EQ(list.append(9, -9, &exc), sarvo::kUserError);
        EXPECT_EQ(exc, &records::list_cannot_resize);
        EXPECT_EQ(list.size(), 9);
        EXPECT_EQ(list.capacity(), 9);
        PairItem<int64_t> item;
        ASSERT_EQ(list.get(-1, &item, &exc), sarvo::kOk);
        EXPECT_EQ(item.first, 8);
        // Once the allocator gives in, the list goes on where it stopped.
        CountingAllocator::refuse_realloc = false;
        ASSERT_EQ(list.append(9, -9, &exc), sarvo::kOk);
        EXPECT_EQ(list.size(), 10);
        EXPECT_EQ(list.capacity(), 20);
    }
    EXPECT_EQ(CountingAllocator::live, 0);
}

TEST_F(PairListTest, RefusedShrinkIsCannotResizeAndKeepsTheItem) {
    {
        PairList<int64_t> list;
        ASSERT_EQ(list.init(&exc), sarvo::kOk);
        ASSERT_EQ(list.append(4, 5, &exc), sarvo::kOk);
        CountingAllocator::refuse_realloc = true;
        PairItem<int64_t> item{0, 0};
        EXPECT_EQ(list.pop(&item, &exc), sarvo::kUserError);
        EXPECT_EQ(exc, &records::list_cannot_resize);
        EXPECT_EQ(list.size(), 1);
        ASSERT_EQ(list.get(0, &item, &exc), sarvo::kOk);
        EXPECT_EQ(item.first, 4);
        EXPECT_EQ(item.second, 5);
    }
    EXPECT_EQ(CountingAllocator::live, 0);
}

// ---------------------------------------------------------------------------------------------
// The kernels hand the list's records on and release everything they hold.

using sarvo::read_only;

class KernelListFailure : public PairListTest {};

TEST_F(KernelListFailure, FindSeedsReportsARefusedGrowth) {
    {
        sarvo::Owned<sarvo::Array<uint8_t, 2>> hist;
        ASSERT_EQ(sarvo::create_array(&hist.rec, {4, 4}, sarvo::Fill::Zeros, &exc), sarvo::kOk);
        hist.rec(1, 1) = 40;
        CountingAllocator::refuse_realloc = true;
        sarvo::Array<uint32_t, 2> seeds{};
        EXPECT_EQ(K::find_seeds(&seeds, &exc, read_only(hist.rec)), sarvo::kUserError);
        EXPECT_EQ(exc, &records::list_cannot_resize);
    }
    EXPECT_EQ(CountingAllocator::live, 0);
}

TEST_F(KernelListFailure, BfsReportsARefusedQueue) {
    {
        sarvo::Owned<sarvo::Array<uint8_t, 2>> hist;
        sarvo::Owned<sarvo::Array<int16_t, 3>> pos;
        sarvo::Owned<sarvo::Array<uint32_t, 2>> seeds;
        ASSERT_EQ(sarvo::create_array(&hist.rec, {3, 3}, sarvo::Fill::Zeros, &exc), sarvo::kOk);
        ASSERT_EQ(sarvo::create_array(&pos.rec, {2, 3, 3}, sarvo::Fill::Zeros, &exc), sarvo::kOk);
        ASSERT_EQ(sarvo::create_array(&seeds.rec, {1, 2}, sarvo::Fill::Zeros, &exc), sarvo::kOk);
        CountingAllocator::malloc_budget = 2;  // the label mask and the seeds' copy, then no queue
        sarvo::Array<uint32_t, 2> labels{};
        EXPECT_EQ(K::bfs(&labels, &exc, read_only(hist.rec), pos.rec, read_only(seeds.rec)), sarvo::kUserError);
        EXPECT_EQ(exc, &records::list_cannot_allocate);
    }
    EXPECT_EQ(CountingAllocator::live, 0);
}

TEST_F(KernelListFailure, FillHolesReportsARefusedStack) {
    {
        sarvo::Owned<sarvo::Array<uint32_t, 2>> masks;
        ASSERT_EQ(sarvo::create_array(&masks.rec, {3, 3}, sarvo::Fill::Zeros, &exc), sarvo::kOk);
        CountingAllocator::refuse_realloc = true;
        sarvo::Array<uint32_t, 2> out{};
        EXPECT_EQ(K::fill_holes(&out, &exc, masks.rec), sarvo::kUserError);
        EXPECT_EQ(exc, &records::list_cannot_resize);
    }
    EXPECT_EQ(CountingAllocator::live, 0);
}

}  // namespace
