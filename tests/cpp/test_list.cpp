// Typed list: capacities both ways, read-only rejection, index checks, slice deletion in all
// its shapes, reference methods, failure paths, lists past 2^31 items, and a randomized
// comparison with std::vector.
#include <gtest/gtest.h>

#include "failing_allocator.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "cext/listobject.h"

namespace {

struct ListDeleter {
    void operator()(SV_List *lp) const { sarvo_list_free(lp); }
};
using ListPtr = std::unique_ptr<SV_List, ListDeleter>;

ListPtr make_list(int64_t item_size, int64_t allocated = 0) {
    SV_List *lp = nullptr;
    EXPECT_EQ(sarvo_list_new(&lp, item_size, allocated), LIST_OK);
    return ListPtr(lp);
}

// A list of the one-byte items 0 .. n-1.
ListPtr byte_list(int n) {
    ListPtr lp = make_list(1);
    for (int i = 0; i < n; ++i) {
        const char c = static_cast<char>(i);
        EXPECT_EQ(sarvo_list_append(lp.get(), &c), LIST_OK);
    }
    return lp;
}

std::vector<int> byte_contents(SV_List *lp) {
    std::vector<int> out;
    for (int64_t i = 0; i < sarvo_list_length(lp); ++i) {
        char c;
        EXPECT_EQ(sarvo_list_getitem(lp, i, &c), LIST_OK);
        out.push_back(static_cast<unsigned char>(c));
    }
    return out;
}

std::string item_at(SV_List *lp, int64_t i) {
    std::string out(static_cast<size_t>(lp->item_size), '\0');
    EXPECT_EQ(sarvo_list_getitem(lp, i, out.data()), LIST_OK);
    return out;
}

using sarvo_test::FailingAllocator;

TEST(TypedList, SelfTestPasses) { EXPECT_EQ(sarvo_test_list(), 0); }

TEST(TypedList, NewListIsEmptyWritableAndCanBeMadeReadOnly) {
    ListPtr lp = make_list(4);
    EXPECT_EQ(sarvo_list_length(lp.get()), 0);
    EXPECT_EQ(sarvo_list_allocated(lp.get()), 0);
    EXPECT_EQ(sarvo_list_base_ptr(lp.get()), nullptr);
    EXPECT_EQ(sarvo_list_is_mutable(lp.get()), 1);
    sarvo_list_set_is_mutable(lp.get(), 0);
    EXPECT_EQ(sarvo_list_is_mutable(lp.get()), 0);
    sarvo_list_set_is_mutable(lp.get(), 1);
    EXPECT_EQ(sarvo_list_is_mutable(lp.get()), 1);
    EXPECT_EQ(reinterpret_cast<void *>(sarvo_list_size_address(lp.get())), reinterpret_cast<void *>(lp.get()));
    EXPECT_EQ(sarvo_list_iter_sizeof(), 24u);
}

TEST(TypedList, AppendingOneAtATimeGrowsCapacityInSteps) {
    ListPtr lp = make_list(1);
    std::vector<int64_t> capacities;
    for (int i = 0; i < 88; ++i) {
        const char c = static_cast<char>(i);
        ASSERT_EQ(sarvo_list_append(lp.get(), &c), LIST_OK);
        if (capacities.empty() || capacities.back() != lp->allocated) capacities.push_back(lp->allocated);
    }
    EXPECT_EQ(capacities, (std::vector<int64_t>{4, 8, 16, 25, 35, 46, 58, 72, 88}));
}

TEST(TypedList, DeletingFromTheEndShrinksOnlyBelowHalfTheCapacity) {
    ListPtr lp = byte_list(17);
    ASSERT_EQ(lp->allocated, 25);
    std::vector<int64_t> capacities;
    while (lp->size > 0) {
        ASSERT_EQ(sarvo_list_delitem(lp.get(), lp->size - 1), LIST_OK);
        capacities.push_back(lp->allocated);
    }
    EXPECT_EQ(capacities, (std::vector<int64_t>{25, 25, 25, 25, 25, 18, 18, 18, 12, 12, 12, 8, 8, 6, 5, 4, 0}));
    EXPECT_EQ(sarvo_list_base_ptr(lp.get()), nullptr);
}

TEST(TypedList, SetGetAndDeleteKeepTheOtherItemsInOrder) {
    ListPtr lp = make_list(4);
    for (const char *s : {"abc", "def", "ghi", "jkl"}) ASSERT_EQ(sarvo_list_append(lp.get(), s), LIST_OK);
    EXPECT_EQ(lp->allocated, 4);
    ASSERT_EQ(sarvo_list_append(lp.get(), "mno"), LIST_OK);
    EXPECT_EQ(lp->allocated, 8);
    ASSERT_EQ(sarvo_list_setitem(lp.get(), 0, "pqr"), LIST_OK);
    EXPECT_EQ(item_at(lp.get(), 0), std::string("pqr", 4));
    ASSERT_EQ(sarvo_list_delitem(lp.get(), 0), LIST_OK);
    ASSERT_EQ(lp->size, 4);
    EXPECT_EQ(std::string(sarvo_list_base_ptr(lp.get()), 16), std::string("def\0ghi\0jkl\0mno\0", 16));
    EXPECT_EQ(lp->allocated, 8);
    ASSERT_EQ(sarvo_list_delitem(lp.get(), 3), LIST_OK);
    EXPECT_EQ(lp->size, 3);
    EXPECT_EQ(lp->allocated, 6);
    EXPECT_EQ(item_at(lp.get(), 2), std::string("jkl", 4));
}

struct Mutation {
    const char *name;
    std::function<int(SV_List *)> apply;
};

class TypedListReadOnly : public ::testing::TestWithParam<Mutation> {};

TEST_P(TypedListReadOnly, ChangeIsRefusedAndNothingMoves) {
    ListPtr lp = make_list(4);
    for (const char *s : {"abc", "def", "ghi"}) ASSERT_EQ(sarvo_list_append(lp.get(), s), LIST_OK);
    const std::string before(lp->items, 12);
    const int64_t capacity = lp->allocated;
    sarvo_list_set_is_mutable(lp.get(), 0);
    EXPECT_EQ(GetParam().apply(lp.get()), LIST_ERR_IMMUTABLE);
    EXPECT_EQ(sarvo_list_length(lp.get()), 3);
    EXPECT_EQ(lp->allocated, capacity);
    EXPECT_EQ(std::string(lp->items, 12), before);
    EXPECT_EQ(item_at(lp.get(), 0), std::string("abc", 4));
}

INSTANTIATE_TEST_SUITE_P(
    Operations, TypedListReadOnly,
    ::testing::Values(Mutation{"setitem", [](SV_List *lp) { return sarvo_list_setitem(lp, 0, "xyz"); }},
                      Mutation{"append", [](SV_List *lp) { return sarvo_list_append(lp, "xyz"); }},
                      Mutation{"delitem", [](SV_List *lp) { return sarvo_list_delitem(lp, 0); }},
                      Mutation{"resize", [](SV_List *lp) { return sarvo_list_resize(lp, 23); }},
                      Mutation{"resize_within", [](SV_List *lp) { return sarvo_list_resize(lp, 2); }},
                      Mutation{"delete_slice", [](SV_List *lp) { return sarvo_list_delete_slice(lp, 0, 3, 1); }},
                      Mutation{"bad_index", [](SV_List *lp) { return sarvo_list_setitem(lp, 99, "xyz"); }}),
    [](const ::testing::TestParamInfo<Mutation> &info) { return std::string(info.param.name); });

class TypedListBadIndex : public ::testing::TestWithParam<int64_t> {};

TEST_P(TypedListBadIndex, EveryAccessRefusesIt) {
    ListPtr lp = byte_list(5);
    const int64_t index = GetParam();
    char c = 'z';
    EXPECT_EQ(sarvo_list_getitem(lp.get(), index, &c), LIST_ERR_INDEX);
    EXPECT_EQ(sarvo_list_setitem(lp.get(), index, &c), LIST_ERR_INDEX);
    EXPECT_EQ(sarvo_list_delitem(lp.get(), index), LIST_ERR_INDEX);
    EXPECT_EQ(byte_contents(lp.get()), (std::vector<int>{0, 1, 2, 3, 4}));
}

INSTANTIATE_TEST_SUITE_P(Indices, TypedListBadIndex,
                         ::testing::Values(int64_t{5}, int64_t{6}, int64_t{-1}, int64_t{-5}, INT64_MIN, INT64_MAX));

TEST(TypedList, IterationYieldsEachItemInPlaceThenEnds) {
    ListPtr lp = byte_list(6);
    sarvo_list_set_is_mutable(lp.get(), 0);  // reading works on a read-only list
    SV_ListIter it;
    sarvo_list_iter(&it, lp.get());
    const char *item = nullptr;
    for (int64_t i = 0; i < 6; ++i) {
        ASSERT_EQ(sarvo_list_iter_next(&it, &item), LIST_OK);
        EXPECT_EQ(item, lp->items + i);
    }
    EXPECT_EQ(sarvo_list_iter_next(&it, &item), LIST_ERR_ITER_EXHAUSTED);
    EXPECT_EQ(sarvo_list_iter_next(&it, &item), LIST_ERR_ITER_EXHAUSTED);
}

TEST(TypedList, IteratorReportsAChangeOfSize) {
    for (bool grow : {true, false}) {
        ListPtr lp = byte_list(3);
        SV_ListIter it;
        sarvo_list_iter(&it, lp.get());
        const char *item = nullptr;
        ASSERT_EQ(sarvo_list_iter_next(&it, &item), LIST_OK);
        const char c = 9;
        ASSERT_EQ(grow ? sarvo_list_append(lp.get(), &c) : sarvo_list_delitem(lp.get(), 0), LIST_OK);
        EXPECT_EQ(sarvo_list_iter_next(&it, &item), LIST_ERR_MUTATED) << grow;
    }
}

struct SliceStep {
    int64_t start, stop, step;
    std::vector<int> expected;
};

class TypedListSliceSequence : public ::testing::TestWithParam<std::vector<SliceStep>> {};

TEST_P(TypedListSliceSequence, EachDeletionLeavesTheExpectedItems) {
    ListPtr lp = byte_list(17);
    for (const SliceStep &s : GetParam()) {
        ASSERT_EQ(sarvo_list_delete_slice(lp.get(), s.start, s.stop, s.step), LIST_OK);
        EXPECT_EQ(byte_contents(lp.get()), s.expected) << s.start << ":" << s.stop << ":" << s.step;
    }
}

std::vector<int> range_without(int n, std::vector<int> gone) {
    std::vector<int> out;
    for (int i = 0; i < n; ++i) {
        if (std::find(gone.begin(), gone.end(), i) == gone.end()) out.push_back(i);
    }
    return out;
}

const std::vector<int> kOdd = {1, 3, 5, 7, 9, 11, 13, 15};

INSTANTIATE_TEST_SUITE_P(
    Sequences, TypedListSliceSequence,
    ::testing::Values(
        // contiguous runs
        std::vector<SliceStep>{{2, 5, 1, range_without(17, {2, 3, 4})},
                               {0, 1, 1, range_without(17, {0, 2, 3, 4})},
                               {12, 13, 1, range_without(16, {0, 2, 3, 4})},
                               {4, 5, 1, {1, 5, 6, 7, 9, 10, 11, 12, 13, 14, 15}},
                               {1, 10, 1, {1, 15}},
                               {0, 2, 1, {}}},
        // strided, forward
        std::vector<SliceStep>{{0, 17, 2, kOdd},
                               {1, 8, 4, {1, 5, 7, 9, 13, 15}},
                               {0, 4, 2, {5, 9, 13, 15}},
                               {0, 0, 1, {5, 9, 13, 15}},
                               {2, 2, 1, {5, 9, 13, 15}}},
        // negative steps
        std::vector<SliceStep>{{16, -1, -1, {}}},
        std::vector<SliceStep>{{16, -1, -2, kOdd}},
        std::vector<SliceStep>{{15, 2, -3, range_without(17, {15, 12, 9, 6, 3})}},
        // a stride that runs past the end, and one-item slices with huge steps
        std::vector<SliceStep>{{3, 17, 5, range_without(17, {3, 8, 13})},
                               {0, 14, INT64_MAX, range_without(17, {0, 3, 8, 13})},
                               {12, -1, -INT64_MAX, range_without(17, {0, 3, 8, 13, 16})},
                               {11, -20, INT64_MIN, range_without(17, {0, 3, 8, 13, 15, 16})}}));

class TypedListBadSlice : public ::testing::TestWithParam<std::tuple<int64_t, int64_t, int64_t>> {};

TEST_P(TypedListBadSlice, PositionsOutsideTheListAreRefusedUntouched) {
    ListPtr lp = byte_list(17);
    const auto [start, stop, step] = GetParam();
    EXPECT_EQ(sarvo_list_delete_slice(lp.get(), start, stop, step), LIST_ERR_INDEX);
    EXPECT_EQ(byte_contents(lp.get()), range_without(17, {}));
    EXPECT_EQ(lp->allocated, 25);
}

INSTANTIATE_TEST_SUITE_P(
    Slices, TypedListBadSlice,
    ::testing::Values(std::make_tuple(0, 18, 1), std::make_tuple(17, 18, 1), std::make_tuple(-1, 3, 1),
                      std::make_tuple(20, 10, -1), std::make_tuple(16, -3, -1), std::make_tuple(0, 5, 0),
                      std::make_tuple(INT64_MIN, INT64_MAX, 1), std::make_tuple(16, INT64_MIN, -1),
                      std::make_tuple(-5, -20, INT64_MIN)));

TEST(TypedList, ResizeRefusesNegativeAndOverflowingSizes) {
    ListPtr lp = byte_list(3);
    char *items = lp->items;
    EXPECT_EQ(sarvo_list_resize(lp.get(), -1), LIST_ERR_NO_MEMORY);
    EXPECT_EQ(sarvo_list_resize(lp.get(), INT64_MAX), LIST_ERR_NO_MEMORY);
    EXPECT_EQ(lp->items, items);
    EXPECT_EQ(byte_contents(lp.get()), (std::vector<int>{0, 1, 2}));

    ListPtr wide = make_list(int64_t{1} << 40);
    EXPECT_EQ(sarvo_list_resize(wide.get(), int64_t{1} << 23), LIST_ERR_NO_MEMORY);
    EXPECT_EQ(wide->size, 0);
    EXPECT_EQ(wide->allocated, 0);
}

TEST(TypedList, ResizeWithinHalfTheCapacityKeepsTheBlock) {
    ListPtr lp = byte_list(17);
    char *items = lp->items;
    ASSERT_EQ(sarvo_list_resize(lp.get(), 25), LIST_OK);
    ASSERT_EQ(sarvo_list_resize(lp.get(), 12), LIST_OK);
    EXPECT_EQ(lp->items, items);
    EXPECT_EQ(lp->allocated, 25);
    ASSERT_EQ(sarvo_list_resize(lp.get(), 0), LIST_OK);
    EXPECT_EQ(lp->allocated, 0);
    EXPECT_EQ(lp->items, nullptr);
}

TEST(TypedList, CreationRefusesImpossibleSizes) {
    const std::tuple<int64_t, int64_t> cases[] = {{0, 4}, {-1, 4}, {1, -1}, {8, INT64_MAX / 4}};
    for (const auto &[item_size, allocated] : cases) {
        SV_List *lp = nullptr;
        EXPECT_EQ(sarvo_list_new(&lp, item_size, allocated), LIST_ERR_NO_MEMORY) << item_size << " " << allocated;
        EXPECT_EQ(lp, nullptr);
    }
}

// ---- Reference methods: items are 8-byte identities, and every call is logged.

std::vector<std::pair<char, int64_t>> g_calls;  // ('+' or '-', identity)

int64_t id_of(const void *p) {
    int64_t id;
    std::memcpy(&id, p, sizeof id);
    return id;
}
void log_incref(const void *p) { g_calls.emplace_back('+', id_of(p)); }
void log_decref(const void *p) { g_calls.emplace_back('-', id_of(p)); }
const list_type_based_methods_table kLogging = {log_incref, log_decref};

class TypedListMethods : public ::testing::Test {
  protected:
    void SetUp() override {
        g_calls.clear();  // the previous test's list logged its drops here when it was freed
        lp_ = make_list(8);
        sarvo_list_set_method_table(lp_.get(), &kLogging);
        for (int64_t id = 100; id < 110; ++id) {
            ASSERT_EQ(sarvo_list_append(lp_.get(), reinterpret_cast<const char *>(&id)), LIST_OK);
        }
    }
    using Calls = std::vector<std::pair<char, int64_t>>;
    ListPtr lp_;
};

TEST_F(TypedListMethods, AppendTakesOneReferencePerItem) {
    Calls expected;
    for (int64_t id = 100; id < 110; ++id) expected.emplace_back('+', id);
    EXPECT_EQ(g_calls, expected);
}

TEST_F(TypedListMethods, SetItemDropsTheOldItemBeforeTakingTheNew) {
    g_calls.clear();
    const int64_t id = 7;
    ASSERT_EQ(sarvo_list_setitem(lp_.get(), 4, reinterpret_cast<const char *>(&id)), LIST_OK);
    EXPECT_EQ(g_calls, (Calls{{'-', 104}, {'+', 7}}));
}

TEST_F(TypedListMethods, ReadingResizingAndIteratingCallNothing) {
    g_calls.clear();
    int64_t out;
    ASSERT_EQ(sarvo_list_getitem(lp_.get(), 3, reinterpret_cast<char *>(&out)), LIST_OK);
    EXPECT_EQ(out, 103);
    SV_ListIter it;
    sarvo_list_iter(&it, lp_.get());
    const char *item;
    while (sarvo_list_iter_next(&it, &item) == LIST_OK) {
    }
    ASSERT_EQ(sarvo_list_resize(lp_.get(), 30), LIST_OK);
    ASSERT_EQ(sarvo_list_resize(lp_.get(), 10), LIST_OK);
    EXPECT_TRUE(g_calls.empty());
}

TEST_F(TypedListMethods, DeletionDropsEachRemovedItemOnce) {
    g_calls.clear();
    ASSERT_EQ(sarvo_list_delitem(lp_.get(), 0), LIST_OK);                // 100
    ASSERT_EQ(sarvo_list_delete_slice(lp_.get(), 1, 8, 3), LIST_OK);     // 102, 105, 108
    ASSERT_EQ(sarvo_list_delete_slice(lp_.get(), 5, 1, -2), LIST_OK);     // 109, 106
    ASSERT_EQ(sarvo_list_delete_slice(lp_.get(), 0, 2, 1), LIST_OK);      // 101, 103
    std::vector<int64_t> dropped;
    for (const auto &[kind, id] : g_calls) {
        ASSERT_EQ(kind, '-');
        dropped.push_back(id);
    }
    std::sort(dropped.begin(), dropped.end());
    EXPECT_EQ(dropped, (std::vector<int64_t>{100, 101, 102, 103, 105, 106, 108, 109}));
    EXPECT_EQ(id_of(lp_->items), 104);
    EXPECT_EQ(id_of(lp_->items + 8), 107);
    EXPECT_EQ(lp_->size, 2);
}

TEST_F(TypedListMethods, FreeDropsEveryRemainingItem) {
    ASSERT_EQ(sarvo_list_delitem(lp_.get(), 9), LIST_OK);
    g_calls.clear();
    lp_.reset();
    Calls expected;
    for (int64_t id = 100; id < 109; ++id) expected.emplace_back('-', id);
    EXPECT_EQ(g_calls, expected);
}

TEST_F(TypedListMethods, RefusedOperationsCallNothing) {
    g_calls.clear();
    const int64_t id = 1;
    EXPECT_EQ(sarvo_list_setitem(lp_.get(), 10, reinterpret_cast<const char *>(&id)), LIST_ERR_INDEX);
    EXPECT_EQ(sarvo_list_delete_slice(lp_.get(), 5, 12, 1), LIST_ERR_INDEX);
    sarvo_list_set_is_mutable(lp_.get(), 0);
    EXPECT_EQ(sarvo_list_delete_slice(lp_.get(), 0, 10, 1), LIST_ERR_IMMUTABLE);
    EXPECT_TRUE(g_calls.empty());
}

// ---- Failure paths

TEST(TypedList, FailedAppendLeavesTheListAsItWas) {
    ListPtr lp = byte_list(4);
    char *items = lp->items;
    {
        FailingAllocator no_memory(0);
        const char c = 4;
        EXPECT_EQ(sarvo_list_append(lp.get(), &c), LIST_ERR_NO_MEMORY);
        EXPECT_EQ(sarvo_list_resize(lp.get(), 100), LIST_ERR_NO_MEMORY);
    }
    EXPECT_EQ(lp->items, items);
    EXPECT_EQ(lp->allocated, 4);
    EXPECT_EQ(byte_contents(lp.get()), (std::vector<int>{0, 1, 2, 3}));
}

TEST(TypedList, FailedCreationReleasesWhatItTook) {
    for (int64_t successes : {0, 1}) {
        FailingAllocator limited(successes);
        SV_List *lp = nullptr;
        EXPECT_EQ(sarvo_list_new(&lp, 4, 16), LIST_ERR_NO_MEMORY);
        EXPECT_EQ(lp, nullptr);
        EXPECT_EQ(FailingAllocator::live_blocks, 0) << successes;
    }
}

// Deleting has already dropped and moved items when it shrinks the block: a shrink that the
// allocator refuses keeps the larger block instead of failing half way.
TEST(TypedList, DeletionSucceedsWhenTheShrinkingReallocationFails) {
    ListPtr lp = byte_list(17);
    char *items = lp->items;
    {
        FailingAllocator no_memory(0);
        EXPECT_EQ(sarvo_list_delete_slice(lp.get(), 0, 15, 1), LIST_OK);
        EXPECT_EQ(sarvo_list_delitem(lp.get(), 0), LIST_OK);
    }
    EXPECT_EQ(lp->items, items);
    EXPECT_EQ(lp->allocated, 25);
    EXPECT_EQ(byte_contents(lp.get()), std::vector<int>{16});
    const char c = 42;
    ASSERT_EQ(sarvo_list_append(lp.get(), &c), LIST_OK);
    EXPECT_EQ(byte_contents(lp.get()), (std::vector<int>{16, 42}));
}

// Called directly, a shrinking resize that the allocator refuses reports it and changes nothing.
TEST(TypedList, DirectShrinkingResizeThatFailsLeavesTheListUnchanged) {
    ListPtr lp = byte_list(17);
    char *items = lp->items;
    {
        FailingAllocator no_memory(0);
        EXPECT_EQ(sarvo_list_resize(lp.get(), 2), LIST_ERR_NO_MEMORY);
    }
    EXPECT_EQ(lp->items, items);
    EXPECT_EQ(lp->size, 17);
    EXPECT_EQ(lp->allocated, 25);
}

// ---- Lists of 2^31 items and more: counts must not wrap at 32 bits. The block is reserved
// but only its last pages are ever touched, so the test stays cheap.

class TypedListHuge : public ::testing::Test {
  protected:
    static constexpr int64_t kSize = (int64_t{1} << 31) + 10;
    void SetUp() override {
        lp_ = make_list(1);
        ASSERT_EQ(sarvo_list_resize(lp_.get(), kSize), LIST_OK);
        for (int64_t i = kSize - 16; i < kSize; ++i) {
            const char c = static_cast<char>(i - (kSize - 16));
            ASSERT_EQ(sarvo_list_setitem(lp_.get(), i, &c), LIST_OK);
        }
    }
    std::vector<int> tail(int64_t n) {
        std::vector<int> out;
        for (int64_t i = lp_->size - n; i < lp_->size; ++i) {
            char c;
            EXPECT_EQ(sarvo_list_getitem(lp_.get(), i, &c), LIST_OK);
            out.push_back(c);
        }
        return out;
    }
    ListPtr lp_;
};

TEST_F(TypedListHuge, SliceDeletionNearTheEndKeepsTheLongLength) {
    ASSERT_EQ(sarvo_list_delete_slice(lp_.get(), kSize - 3, kSize - 2, 1), LIST_OK);
    EXPECT_EQ(lp_->size, kSize - 1);
    EXPECT_EQ(tail(4), (std::vector<int>{11, 12, 14, 15}));
    // positions (relative to the last 15) 2, 5, 8, forward and then backward
    ASSERT_EQ(sarvo_list_delete_slice(lp_.get(), lp_->size - 13, lp_->size - 6, 3), LIST_OK);
    EXPECT_EQ(lp_->size, kSize - 4);
    EXPECT_EQ(tail(12), (std::vector<int>{0, 1, 3, 4, 6, 7, 9, 10, 11, 12, 14, 15}));
    ASSERT_EQ(sarvo_list_delete_slice(lp_.get(), lp_->size - 1, lp_->size - 6, -2), LIST_OK);
    EXPECT_EQ(lp_->size, kSize - 7);
    EXPECT_EQ(tail(9), (std::vector<int>{0, 1, 3, 4, 6, 7, 9, 11, 14}));
}

TEST_F(TypedListHuge, DeletingEverythingEmptiesTheList) {
    ASSERT_EQ(sarvo_list_delete_slice(lp_.get(), 0, kSize, 1), LIST_OK);
    EXPECT_EQ(lp_->size, 0);
    EXPECT_EQ(lp_->allocated, 0);
}

TEST_F(TypedListHuge, DeletingAllButTheLastItemsMovesThemToTheFront) {
    ASSERT_EQ(sarvo_list_delete_slice(lp_.get(), kSize - 17, -1, -1), LIST_OK);
    EXPECT_EQ(lp_->size, 16);
    EXPECT_EQ(byte_contents(lp_.get()), range_without(16, {}));
}

// ---- Randomized comparison with std::vector. Slices come from raw start/stop values adjusted
// the way the interpreter adjusts them, and the model deletes their positions one by one.

constexpr int64_t kItem = 8;  // an identity

std::map<int64_t, int64_t> g_refs;
void count_incref(const void *p) { ++g_refs[id_of(p)]; }
void count_decref(const void *p) { --g_refs[id_of(p)]; }

void adjust_slice(int64_t length, int64_t &start, int64_t &stop, int64_t step) {
    auto adjust = [&](int64_t &v) {
        if (v < 0) {
            v += length;
            if (v < 0) v = step < 0 ? -1 : 0;
        } else if (v >= length) {
            v = step < 0 ? length - 1 : length;
        }
    };
    adjust(start);
    adjust(stop);
}

void expect_same(SV_List *lp, const std::vector<int64_t> &model) {
    ASSERT_EQ(sarvo_list_length(lp), static_cast<int64_t>(model.size()));
    ASSERT_LE(lp->size, lp->allocated);
    for (size_t i = 0; i < model.size(); ++i) ASSERT_EQ(id_of(lp->items + i * kItem), model[i]) << "index " << i;
    std::map<int64_t, int64_t> held;
    for (int64_t id : model) ++held[id];
    for (const auto &[id, count] : g_refs) {
        const auto it = held.find(id);
        ASSERT_EQ(count, it == held.end() ? 0 : it->second) << "references of " << id;
    }
}

class TypedListDifferential : public ::testing::TestWithParam<uint32_t> {};

TEST_P(TypedListDifferential, AgreesWithAVectorStepByStep) {
    std::mt19937 rng(GetParam());
    g_refs.clear();
    ListPtr lp = make_list(kItem);
    const list_type_based_methods_table methods = {count_incref, count_decref};
    ASSERT_EQ(sarvo_list_set_method_table(lp.get(), &methods), LIST_OK);
    // A null table is refused and the one set stays.
    ASSERT_EQ(sarvo_list_set_method_table(lp.get(), nullptr), LIST_ERR_NULL_TABLE);
    ASSERT_EQ(lp->methods.item_decref, &count_decref);
    std::vector<int64_t> model;
    int64_t next_id = 1;
    auto as_bytes = [](const int64_t &id) { return reinterpret_cast<const char *>(&id); };

    for (int step = 0; step < 5000; ++step) {
        SCOPED_TRACE("step " + std::to_string(step));
        const int op = static_cast<int>(rng() % 100);
        const auto n = static_cast<int64_t>(model.size());
        const int64_t index = static_cast<int64_t>(rng() % (n + 3)) - 1;  // includes -1, n and n + 1
        const bool valid = index >= 0 && index < n;
        if (op < 40) {
            const int burst = op < 10 ? 20 : 1;  // bursts keep the list long enough for big slices
            for (int b = 0; b < burst; ++b) {
                const int64_t id = next_id++;
                ASSERT_EQ(sarvo_list_append(lp.get(), as_bytes(id)), LIST_OK);
                model.push_back(id);
            }
        } else if (op < 52) {
            const int64_t id = next_id++;
            ASSERT_EQ(sarvo_list_setitem(lp.get(), index, as_bytes(id)), valid ? LIST_OK : LIST_ERR_INDEX);
            if (valid) model[index] = id;
        } else if (op < 60) {
            int64_t got = -7;
            ASSERT_EQ(sarvo_list_getitem(lp.get(), index, reinterpret_cast<char *>(&got)), valid ? LIST_OK : LIST_ERR_INDEX);
            if (valid) {
                ASSERT_EQ(got, model[index]);
            }
        } else if (op < 72) {
            ASSERT_EQ(sarvo_list_delitem(lp.get(), index), valid ? LIST_OK : LIST_ERR_INDEX);
            if (valid) model.erase(model.begin() + index);
        } else if (op < 92) {
            const int64_t span = n + 4;
            int64_t start = static_cast<int64_t>(rng() % (2 * span)) - span;
            int64_t stop = static_cast<int64_t>(rng() % (2 * span)) - span;
            static const int64_t kSteps[] = {1, 1, -1, 2, -2, 3, -3, 5, -7, 1000};
            const int64_t step = kSteps[rng() % 10];
            adjust_slice(n, start, stop, step);
            ASSERT_EQ(sarvo_list_delete_slice(lp.get(), start, stop, step), LIST_OK) << start << ":" << stop << ":" << step;
            std::vector<bool> gone(model.size(), false);
            for (int64_t i = start; step > 0 ? i < stop : i > stop; i += step) gone[i] = true;
            std::vector<int64_t> kept;
            for (size_t i = 0; i < model.size(); ++i) {
                if (!gone[i]) kept.push_back(model[i]);
            }
            model.swap(kept);
        } else if (op < 95) {
            // Shrinking resize: the caller owns the dropped items' references.
            const int64_t newsize = n == 0 ? 0 : static_cast<int64_t>(rng() % n);
            for (int64_t i = newsize; i < n; ++i) count_decref(as_bytes(model[i]));
            ASSERT_EQ(sarvo_list_resize(lp.get(), newsize), LIST_OK);
            model.resize(newsize);
        } else if (op < 97) {
            sarvo_list_set_is_mutable(lp.get(), 0);
            const int64_t id = 0;
            ASSERT_EQ(sarvo_list_append(lp.get(), as_bytes(id)), LIST_ERR_IMMUTABLE);
            ASSERT_EQ(sarvo_list_delete_slice(lp.get(), 0, n, 1), LIST_ERR_IMMUTABLE);
            sarvo_list_set_is_mutable(lp.get(), 1);
        } else {
            SV_ListIter it;
            sarvo_list_iter(&it, lp.get());
            const char *item = nullptr;
            for (int64_t id : model) {
                ASSERT_EQ(sarvo_list_iter_next(&it, &item), LIST_OK);
                ASSERT_EQ(id_of(item), id);
            }
            ASSERT_EQ(sarvo_list_iter_next(&it, &item), LIST_ERR_ITER_EXHAUSTED);
        }
        expect_same(lp.get(), model);
    }
    lp.reset();
    for (const auto &[id, count] : g_refs) ASSERT_EQ(count, 0) << id;
}

INSTANTIATE_TEST_SUITE_P(Seeds, TypedListDifferential, ::testing::Values(1u, 7u, 99u, 20240611u));

}  // namespace
