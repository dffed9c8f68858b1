// Typed dictionary: table sizes and usable counts, probing past collisions and deleted slots,
// insertion order, reference methods, failure paths, and a randomized comparison with a model.
#include <gtest/gtest.h>

#include "failing_allocator.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "cext/dictobject.h"

namespace {

struct DictDeleter {
    void operator()(SV_Dict *d) const { sarvo_dict_free(d); }
};
using DictPtr = std::unique_ptr<SV_Dict, DictDeleter>;

DictPtr make_dict(int64_t size, int64_t key_size, int64_t val_size) {
    SV_Dict *d = nullptr;
    EXPECT_EQ(sarvo_dict_new(&d, size, key_size, val_size), OK);
    return DictPtr(d);
}

using Key = std::array<char, 4>;
using Value = std::array<char, 8>;

Key key_of(const char *text) {
    Key k{};
    std::memcpy(k.data(), text, strnlen(text, k.size()));
    return k;
}

Value value_of(const char *text) {
    Value v{};
    std::memcpy(v.data(), text, strnlen(text, v.size()));
    return v;
}

std::string bytes(const char *p, size_t n) { return std::string(p, n); }

int64_t lookup(SV_Dict *d, const Key &k, int64_t hash, Value *out = nullptr) {
    Value scratch;
    return sarvo_dict_lookup(d, k.data(), hash, out ? out->data() : scratch.data());
}

int insert(SV_Dict *d, const Key &k, int64_t hash, const Value &v, Value *old = nullptr) {
    Value scratch;
    return sarvo_dict_insert(d, k.data(), hash, v.data(), old ? old->data() : scratch.data());
}

// Every call a methods table receives, with the bytes it was given.
struct MethodLog {
    std::vector<std::string> key_incref, key_decref, value_incref, value_decref;
    int key_equal_calls = 0;
    int key_equal_result = -99;  // -99: compare bytes; anything else is returned as is
};
MethodLog g_log;

void log_key_incref(const void *p) { g_log.key_incref.push_back(bytes(static_cast<const char *>(p), 4)); }
void log_key_decref(const void *p) { g_log.key_decref.push_back(bytes(static_cast<const char *>(p), 4)); }
void log_value_incref(const void *p) { g_log.value_incref.push_back(bytes(static_cast<const char *>(p), 8)); }
void log_value_decref(const void *p) { g_log.value_decref.push_back(bytes(static_cast<const char *>(p), 8)); }
int log_key_equal(const char *stored, const char *probe) {
    ++g_log.key_equal_calls;
    if (g_log.key_equal_result != -99) return g_log.key_equal_result;
    return std::memcmp(stored, probe, 4) == 0;
}

const type_based_methods_table kLoggingMethods = {log_key_equal, log_key_incref, log_key_decref,
                                                  log_value_incref, log_value_decref};

class TypedDictMethods : public ::testing::Test {
  protected:
    void SetUp() override {
        g_log = MethodLog{};
        d_ = make_dict(D_MINSIZE, 4, 8);
        sarvo_dict_set_method_table(d_.get(), &kLoggingMethods);
    }
    DictPtr d_;
};

using sarvo_test::FailingAllocator;

std::vector<std::string> iterate_keys(SV_Dict *d) {
    std::vector<std::string> out;
    SV_DictIter it;
    sarvo_dict_iter(&it, d);
    const char *kp = nullptr;
    const char *vp = nullptr;
    int status;
    while ((status = sarvo_dict_iter_next(&it, &kp, &vp)) == OK) out.push_back(kp);
    EXPECT_EQ(status, ERR_ITER_EXHAUSTED);
    EXPECT_EQ(sarvo_dict_iter_next(&it, &kp, &vp), ERR_ITER_EXHAUSTED);
    return out;
}

TEST(TypedDict, SelfTestPasses) { EXPECT_EQ(sarvo_test_dict(), 0); }

TEST(TypedDict, NewTableOfEightSlotsHasFiveUsableEntries) {
    DictPtr d = make_dict(8, 4, 8);
    EXPECT_EQ(d->keys->size, 8);
    EXPECT_EQ(d->keys->usable, 5);
    EXPECT_EQ(d->keys->nentries, 0);
    EXPECT_EQ(sarvo_dict_length(d.get()), 0);
}

TEST(TypedDict, MissingKeyLookupReturnsEmptyAndZeroesTheValueBuffer) {
    DictPtr d = make_dict(8, 4, 8);
    ASSERT_EQ(insert(d.get(), key_of("abc"), 0xBEEF, value_of("present")), OK);
    Value out;
    out.fill('\x5a');
    EXPECT_EQ(lookup(d.get(), key_of("abd"), 0xBEEF, &out), DKIX_EMPTY);
    EXPECT_EQ(out, Value{});
    out.fill('\x5a');
    EXPECT_EQ(lookup(d.get(), key_of("abc"), 0xCAFE, &out), DKIX_EMPTY);
    EXPECT_EQ(out, Value{});
}

TEST(TypedDict, InsertCountsOneUsedEntryAndReplaceCountsNone) {
    DictPtr d = make_dict(8, 4, 8);
    EXPECT_EQ(insert(d.get(), key_of("bef"), 0xBEEF, value_of("first")), OK);
    EXPECT_EQ(d->used, 1);
    EXPECT_EQ(d->keys->usable, 4);
    Value old;
    EXPECT_EQ(insert(d.get(), key_of("bef"), 0xBEEF, value_of("second"), &old), OK_REPLACED);
    EXPECT_EQ(old, value_of("first"));
    EXPECT_EQ(d->used, 1);
    EXPECT_EQ(d->keys->usable, 4);
    EXPECT_EQ(d->keys->nentries, 1);
    Value now;
    EXPECT_EQ(lookup(d.get(), key_of("bef"), 0xBEEF, &now), 0);
    EXPECT_EQ(now, value_of("second"));
}

TEST(TypedDict, KeysSharingAHashAreBothStoredAndFound) {
    DictPtr d = make_dict(8, 4, 8);
    ASSERT_EQ(insert(d.get(), key_of("one"), 0xBEEF, value_of("v1")), OK);
    ASSERT_EQ(insert(d.get(), key_of("two"), 0xBEEF, value_of("v2")), OK);
    Value v;
    EXPECT_EQ(lookup(d.get(), key_of("one"), 0xBEEF, &v), 0);
    EXPECT_EQ(v, value_of("v1"));
    EXPECT_EQ(lookup(d.get(), key_of("two"), 0xBEEF, &v), 1);
    EXPECT_EQ(v, value_of("v2"));
    EXPECT_EQ(d->used, 2);
}

TEST(TypedDict, SixthInsertionGrowsTheTableToSixteenSlots) {
    DictPtr d = make_dict(8, 4, 8);
    const char *names[] = {"k0", "k1", "k2", "k3", "k4", "k5"};
    for (int i = 0; i < 5; ++i) ASSERT_EQ(insert(d.get(), key_of(names[i]), 0xCAFE + i % 2, value_of(names[i])), OK);
    EXPECT_EQ(d->keys->size, 8);
    EXPECT_EQ(d->keys->usable, 0);
    ASSERT_EQ(insert(d.get(), key_of(names[5]), 0xCAFE + 5 % 2, value_of(names[5])), OK);
    EXPECT_EQ(d->keys->size, 16);
    EXPECT_EQ(d->keys->usable, 10 - d->used);
    for (int i = 0; i < 6; ++i) {
        Value v;
        EXPECT_EQ(lookup(d.get(), key_of(names[i]), 0xCAFE + i % 2, &v), i) << names[i];
        EXPECT_EQ(v, value_of(names[i]));
    }
}

// Three keys on one probe chain: deleting the first must not cut the others off.
TEST(TypedDict, DeletedKeyIsGoneWhileKeysFurtherAlongItsProbeChainRemain) {
    DictPtr d = make_dict(8, 4, 8);
    for (const char *k : {"aaa", "bbb", "ccc"}) ASSERT_EQ(insert(d.get(), key_of(k), 0xBEEF, value_of(k)), OK);
    const int64_t ix = lookup(d.get(), key_of("aaa"), 0xBEEF);
    ASSERT_EQ(ix, 0);
    EXPECT_EQ(sarvo_dict_delitem(d.get(), 0xBEEF, ix), OK);
    EXPECT_EQ(lookup(d.get(), key_of("aaa"), 0xBEEF), DKIX_EMPTY);
    EXPECT_EQ(lookup(d.get(), key_of("bbb"), 0xBEEF), 1);
    EXPECT_EQ(lookup(d.get(), key_of("ccc"), 0xBEEF), 2);
    EXPECT_EQ(d->used, 2);
    EXPECT_EQ(d->keys->nentries, 3);  // the hole stays until the next resize
    EXPECT_EQ(d->keys->usable, 2);
}

TEST(TypedDict, PopReturnsTheMostRecentLiveEntriesInReverseOrder) {
    DictPtr d = make_dict(8, 4, 8);
    ASSERT_EQ(insert(d.get(), key_of("bea"), 0xBEEF, value_of("va")), OK);
    ASSERT_EQ(insert(d.get(), key_of("beb"), 0xCAFE, value_of("vb")), OK);
    ASSERT_EQ(sarvo_dict_delitem(d.get(), 0xBEEF, lookup(d.get(), key_of("bea"), 0xBEEF)), OK);
    ASSERT_EQ(insert(d.get(), key_of("bej"), 0xBEEF, value_of("vj")), OK);
    ASSERT_EQ(insert(d.get(), key_of("bek"), 0xCAFE, value_of("vk")), OK);
    Key k;
    Value v;
    ASSERT_EQ(sarvo_dict_popitem(d.get(), k.data(), v.data()), OK);
    EXPECT_EQ(k, key_of("bek"));
    EXPECT_EQ(v, value_of("vk"));
    ASSERT_EQ(sarvo_dict_popitem(d.get(), k.data(), v.data()), OK);
    EXPECT_EQ(k, key_of("bej"));
    EXPECT_EQ(v, value_of("vj"));
    EXPECT_EQ(lookup(d.get(), key_of("bek"), 0xCAFE), DKIX_EMPTY);
    EXPECT_EQ(lookup(d.get(), key_of("bej"), 0xBEEF), DKIX_EMPTY);
    EXPECT_EQ(d->keys->nentries, 2);
    ASSERT_EQ(sarvo_dict_popitem(d.get(), k.data(), v.data()), OK);
    EXPECT_EQ(k, key_of("beb"));
    EXPECT_EQ(d->used, 0);
    EXPECT_EQ(sarvo_dict_popitem(d.get(), k.data(), v.data()), ERR_DICT_EMPTY);
}

TEST(TypedDict, PopDropsTrailingHolesWithTheEntryItReturns) {
    DictPtr d = make_dict(8, 4, 8);
    for (const char *k : {"a", "b", "c", "d"}) ASSERT_EQ(insert(d.get(), key_of(k), 6, value_of(k)), OK);
    ASSERT_EQ(sarvo_dict_delitem(d.get(), 6, 3), OK);
    ASSERT_EQ(sarvo_dict_delitem(d.get(), 6, 2), OK);
    Key k;
    Value v;
    ASSERT_EQ(sarvo_dict_popitem(d.get(), k.data(), v.data()), OK);
    EXPECT_EQ(k, key_of("b"));
    EXPECT_EQ(d->keys->nentries, 1);
    ASSERT_EQ(insert(d.get(), key_of("e"), 6, value_of("e")), OK);
    EXPECT_EQ(lookup(d.get(), key_of("e"), 6), 1);
    EXPECT_EQ(iterate_keys(d.get()), (std::vector<std::string>{"a", "e"}));
}

TEST(TypedDict, PopThenInsertReusesThePlaceButDoesNotRestoreUsableEntries) {
    DictPtr d = make_dict(8, 4, 8);
    Key k;
    Value v;
    for (int round = 0; round < 5; ++round) {
        ASSERT_EQ(insert(d.get(), key_of("cyc"), 7, value_of("x")), OK);
        EXPECT_EQ(d->keys->nentries, 1);
        ASSERT_EQ(sarvo_dict_popitem(d.get(), k.data(), v.data()), OK);
    }
    EXPECT_EQ(d->keys->size, 8);
    EXPECT_EQ(d->keys->usable, 0);
    SV_DictKeys *before = d->keys;
    ASSERT_EQ(insert(d.get(), key_of("cyc"), 7, value_of("y")), OK);
    EXPECT_NE(d->keys, before);
    EXPECT_EQ(d->keys->usable, 4);
    EXPECT_EQ(lookup(d.get(), key_of("cyc"), 7, &v), 0);
    EXPECT_EQ(v, value_of("y"));
}

TEST(TypedDict, IterationFollowsInsertionOrderSkipsHolesAndEnds) {
    DictPtr d = make_dict(8, 4, 8);
    for (const char *k : {"d", "a", "c", "b"}) ASSERT_EQ(insert(d.get(), key_of(k), k[0] % 3, value_of(k)), OK);
    ASSERT_EQ(insert(d.get(), key_of("a"), 'a' % 3, value_of("again")), OK_REPLACED);
    ASSERT_EQ(sarvo_dict_delitem(d.get(), 'c' % 3, lookup(d.get(), key_of("c"), 'c' % 3)), OK);
    EXPECT_EQ(iterate_keys(d.get()), (std::vector<std::string>{"d", "a", "b"}));
    EXPECT_EQ(sarvo_dict_iter_sizeof(), 32u);
}

TEST(TypedDict, IteratorPointsIntoTheTable) {
    DictPtr d = make_dict(8, 4, 8);
    ASSERT_EQ(insert(d.get(), key_of("abc"), 1, value_of("val")), OK);
    SV_DictIter it;
    sarvo_dict_iter(&it, d.get());
    const char *kp = nullptr;
    const char *vp = nullptr;
    ASSERT_EQ(sarvo_dict_iter_next(&it, &kp, &vp), OK);
    const char *entry = d->keys->indices + d->keys->entry_offset;
    EXPECT_EQ(kp, entry + 8);
    EXPECT_EQ(vp, entry + 8 + 8);
    EXPECT_EQ(bytes(vp, 8), bytes(value_of("val").data(), 8));
}

enum class Mutation { Insert, Delete, ResizeOnly };

class TypedDictIterMutation : public ::testing::TestWithParam<Mutation> {};

TEST_P(TypedDictIterMutation, NextStepReportsTheChange) {
    DictPtr d = make_dict(8, 4, 8);
    for (const char *k : {"a", "b", "c"}) ASSERT_EQ(insert(d.get(), key_of(k), 1, value_of(k)), OK);
    SV_DictIter it;
    sarvo_dict_iter(&it, d.get());
    const char *kp = nullptr;
    const char *vp = nullptr;
    ASSERT_EQ(sarvo_dict_iter_next(&it, &kp, &vp), OK);
    switch (GetParam()) {
        case Mutation::Insert: ASSERT_EQ(insert(d.get(), key_of("z"), 1, value_of("z")), OK); break;
        case Mutation::Delete: ASSERT_EQ(sarvo_dict_delitem(d.get(), 1, 2), OK); break;
        case Mutation::ResizeOnly: ASSERT_EQ(sarvo_dict_resize(d.get(), 64), OK); break;
    }
    EXPECT_EQ(sarvo_dict_iter_next(&it, &kp, &vp), ERR_DICT_MUTATED);
}

INSTANTIATE_TEST_SUITE_P(Changes, TypedDictIterMutation,
                         ::testing::Values(Mutation::Insert, Mutation::Delete, Mutation::ResizeOnly));

TEST(TypedDict, ResizeCompactsHolesAndKeepsOrder) {
    DictPtr d = make_dict(8, 4, 8);
    for (const char *k : {"a", "b", "c", "d", "e"}) ASSERT_EQ(insert(d.get(), key_of(k), 3, value_of(k)), OK);
    ASSERT_EQ(sarvo_dict_delitem(d.get(), 3, 1), OK);
    ASSERT_EQ(sarvo_dict_delitem(d.get(), 3, 3), OK);
    ASSERT_EQ(sarvo_dict_resize(d.get(), 32), OK);
    EXPECT_EQ(d->keys->size, 32);
    EXPECT_EQ(d->keys->nentries, 3);
    EXPECT_EQ(d->keys->usable, 21 - 3);
    EXPECT_EQ(iterate_keys(d.get()), (std::vector<std::string>{"a", "c", "e"}));
    EXPECT_EQ(lookup(d.get(), key_of("e"), 3), 2);
}

// A requested size too small for the live keys must not lose any of them.
TEST(TypedDict, ResizeBelowTheLiveCountStillKeepsEveryKey) {
    DictPtr d = make_dict(64, 4, 8);
    std::vector<Key> keys;
    for (int i = 0; i < 30; ++i) {
        keys.push_back(key_of(std::to_string(i).c_str()));
        ASSERT_EQ(insert(d.get(), keys.back(), i % 5, value_of("v")), OK);
    }
    ASSERT_EQ(sarvo_dict_resize(d.get(), 8), OK);
    EXPECT_GE(USABLE_FRACTION(d->keys->size), 30);
    EXPECT_EQ(d->keys->size, 64);
    for (int i = 0; i < 30; ++i) EXPECT_EQ(lookup(d.get(), keys[i], i % 5), i);
}

struct SizedCase {
    int64_t n;
    int64_t size;
    int64_t usable;
};

class TypedDictNewSized : public ::testing::TestWithParam<SizedCase> {};

TEST_P(TypedDictNewSized, TableHoldsTheKeysWithoutResizing) {
    const SizedCase c = GetParam();
    SV_Dict *raw = nullptr;
    ASSERT_EQ(sarvo_dict_new_sized(&raw, c.n, 4, 8), OK);
    DictPtr d(raw);
    EXPECT_EQ(d->keys->size, c.size);
    EXPECT_EQ(d->keys->usable, c.usable);
    SV_DictKeys *before = d->keys;
    for (int64_t i = 0; i < c.n; ++i) ASSERT_EQ(insert(d.get(), key_of(std::to_string(i).c_str()), i, value_of("v")), OK);
    EXPECT_EQ(d->keys, before);
}

INSTANTIATE_TEST_SUITE_P(Counts, TypedDictNewSized,
                         ::testing::Values(SizedCase{-4, 8, 5}, SizedCase{0, 8, 5}, SizedCase{5, 8, 5},
                                           SizedCase{6, 16, 10}, SizedCase{10, 16, 10},
                                           SizedCase{11, 32, 21}, SizedCase{21, 32, 21},
                                           SizedCase{22, 64, 42}));

TEST(TypedDict, NewSizedRefusesCountsWhoseTableCannotExist) {
    for (int64_t n : {INT64_MAX, INT64_MAX / 2, int64_t{1} << 61}) {
        SV_Dict *d = nullptr;
        EXPECT_EQ(sarvo_dict_new_sized(&d, n, 4, 8), ERR_NO_MEMORY) << n;
        EXPECT_EQ(d, nullptr);
    }
}

struct LayoutCase {
    int64_t size, key_size, val_size;
    int width;
    int64_t entry_size;
};

class TypedDictKeysLayout : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(TypedDictKeysLayout, IndexWidthFollowsTheTableSizeAndEverythingStartsEmpty) {
    const LayoutCase c = GetParam();
    SV_DictKeys *dk = nullptr;
    ASSERT_EQ(sarvo_dictkeys_new(&dk, c.size, c.key_size, c.val_size), OK);
    std::unique_ptr<SV_DictKeys, void (*)(SV_DictKeys *)> owned(dk, sarvo_dictkeys_free);
    EXPECT_EQ(dk->usable, c.size * 2 / 3);
    EXPECT_EQ(dk->nentries, 0);
    EXPECT_EQ(dk->entry_size, c.entry_size);
    const int64_t index_bytes = c.size * c.width;
    EXPECT_EQ(dk->entry_offset, (index_bytes + 7) / 8 * 8);
    EXPECT_EQ(dk->methods.key_equal, nullptr);
    const auto *raw = reinterpret_cast<const unsigned char *>(dk->indices);
    const int64_t table_bytes = dk->entry_offset + dk->usable * dk->entry_size;
    EXPECT_TRUE(std::all_of(raw, raw + table_bytes, [](unsigned char b) { return b == 0xff; }));
}

INSTANTIATE_TEST_SUITE_P(Sizes, TypedDictKeysLayout,
                         ::testing::Values(LayoutCase{8, 4, 8, 1, 24}, LayoutCase{8, 3, 5, 1, 24},
                                           LayoutCase{16, 12, 1, 1, 32}, LayoutCase{128, 0, 0, 1, 8},
                                           LayoutCase{256, 8, 8, 2, 24}, LayoutCase{32768, 1, 1, 2, 24},
                                           LayoutCase{65536, 1, 1, 4, 24}));

// A table with the widest slots of each width: the last entry number must read back intact.
TEST(TypedDict, EntryNumbersSurviveTheNarrowSlotWidths) {
    for (int64_t size : {128, 32768}) {
        const int64_t n = USABLE_FRACTION(size);
        SV_Dict *raw = nullptr;
        ASSERT_EQ(sarvo_dict_new(&raw, size, 8, 0), OK);
        DictPtr d(raw);
        char none[1];
        for (int64_t i = 0; i < n; ++i) {
            ASSERT_EQ(sarvo_dict_insert(d.get(), reinterpret_cast<char *>(&i), i * 7919, none, none), OK);
        }
        ASSERT_EQ(d->keys->size, size);
        for (int64_t i : {int64_t{0}, n / 2, n - 1}) {
            EXPECT_EQ(sarvo_dict_lookup(d.get(), reinterpret_cast<char *>(&i), i * 7919, none), i);
        }
    }
}

TEST(TypedDict, KeysBlockRefusesSizesTheMaskCannotCover) {
    for (int64_t size : {int64_t{0}, int64_t{-8}, int64_t{12}, int64_t{100}, int64_t{1} << 62}) {
        SV_DictKeys *dk = nullptr;
        EXPECT_EQ(sarvo_dictkeys_new(&dk, size, 4, 8), ERR_NO_MEMORY) << size;
        EXPECT_EQ(dk, nullptr);
    }
    SV_DictKeys *dk = nullptr;
    EXPECT_EQ(sarvo_dictkeys_new(&dk, 8, -1, 8), ERR_NO_MEMORY);
    EXPECT_EQ(sarvo_dictkeys_new(&dk, 8, INT64_MAX, 8), ERR_NO_MEMORY);
}

TEST_F(TypedDictMethods, NewKeyTakesOneReferenceOnKeyAndValue) {
    ASSERT_EQ(insert(d_.get(), key_of("k"), 1, value_of("v")), OK);
    EXPECT_EQ(g_log.key_incref, std::vector<std::string>{bytes(key_of("k").data(), 4)});
    EXPECT_EQ(g_log.value_incref, std::vector<std::string>{bytes(value_of("v").data(), 8)});
    EXPECT_TRUE(g_log.key_decref.empty());
    EXPECT_TRUE(g_log.value_decref.empty());
    EXPECT_EQ(g_log.key_equal_calls, 0);  // nothing with this hash was stored yet
}

TEST_F(TypedDictMethods, ReplaceDropsTheOldValueAndTakesTheNewOne) {
    ASSERT_EQ(insert(d_.get(), key_of("k"), 1, value_of("old")), OK);
    g_log = MethodLog{};
    Value old;
    ASSERT_EQ(insert(d_.get(), key_of("k"), 1, value_of("new"), &old), OK_REPLACED);
    EXPECT_EQ(g_log.value_decref, std::vector<std::string>{bytes(value_of("old").data(), 8)});
    EXPECT_EQ(g_log.value_incref, std::vector<std::string>{bytes(value_of("new").data(), 8)});
    EXPECT_TRUE(g_log.key_incref.empty());
    EXPECT_TRUE(g_log.key_decref.empty());
    EXPECT_EQ(g_log.key_equal_calls, 1);
}

TEST_F(TypedDictMethods, DeleteDropsKeyAndValueOnce) {
    ASSERT_EQ(insert(d_.get(), key_of("k"), 1, value_of("v")), OK);
    ASSERT_EQ(insert(d_.get(), key_of("j"), 1, value_of("w")), OK);
    g_log = MethodLog{};
    ASSERT_EQ(sarvo_dict_delitem(d_.get(), 1, 0), OK);
    EXPECT_EQ(g_log.key_decref, std::vector<std::string>{bytes(key_of("k").data(), 4)});
    EXPECT_EQ(g_log.value_decref, std::vector<std::string>{bytes(value_of("v").data(), 8)});
    EXPECT_TRUE(g_log.key_incref.empty());
    EXPECT_TRUE(g_log.value_incref.empty());
}

TEST_F(TypedDictMethods, PopAndResizeHandOverReferencesWithoutCalls) {
    for (const char *k : {"a", "b", "c", "d", "e"}) ASSERT_EQ(insert(d_.get(), key_of(k), 2, value_of(k)), OK);
    g_log = MethodLog{};
    ASSERT_EQ(insert(d_.get(), key_of("f"), 2, value_of("f")), OK);  // resizes
    EXPECT_EQ(g_log.key_incref.size(), 1u);
    EXPECT_EQ(g_log.value_incref.size(), 1u);
    Key k;
    Value v;
    ASSERT_EQ(sarvo_dict_popitem(d_.get(), k.data(), v.data()), OK);
    EXPECT_TRUE(g_log.key_decref.empty());
    EXPECT_TRUE(g_log.value_decref.empty());
    EXPECT_EQ(d_->keys->methods.key_decref, log_key_decref);  // the table moved with the keys
}

TEST_F(TypedDictMethods, FreeDropsExactlyTheLiveEntries) {
    for (const char *k : {"a", "b", "c", "d"}) ASSERT_EQ(insert(d_.get(), key_of(k), 5, value_of(k)), OK);
    ASSERT_EQ(sarvo_dict_delitem(d_.get(), 5, 1), OK);
    Key k;
    Value v;
    ASSERT_EQ(sarvo_dict_popitem(d_.get(), k.data(), v.data()), OK);
    g_log = MethodLog{};
    d_.reset();
    EXPECT_EQ(g_log.key_decref, (std::vector<std::string>{bytes(key_of("a").data(), 4), bytes(key_of("c").data(), 4)}));
    EXPECT_EQ(g_log.value_decref, (std::vector<std::string>{bytes(value_of("a").data(), 8), bytes(value_of("c").data(), 8)}));
}

TEST_F(TypedDictMethods, CustomEqualityReplacesUnderTheStoredKey) {
    g_log.key_equal_result = 1;  // every key with the same hash counts as equal
    ASSERT_EQ(insert(d_.get(), key_of("one"), 9, value_of("v1")), OK);
    ASSERT_EQ(insert(d_.get(), key_of("ONE"), 9, value_of("v2")), OK_REPLACED);
    EXPECT_EQ(d_->used, 1);
    EXPECT_EQ(iterate_keys(d_.get()), std::vector<std::string>{"one"});
    g_log.key_equal_result = 0;  // now nothing is equal: same bytes, still a new key
    ASSERT_EQ(insert(d_.get(), key_of("one"), 9, value_of("v3")), OK);
    EXPECT_EQ(d_->used, 2);
}

TEST_F(TypedDictMethods, ComparisonErrorFailsAndLeavesTheDictionaryUnchanged) {
    ASSERT_EQ(insert(d_.get(), key_of("k"), 4, value_of("v")), OK);
    g_log = MethodLog{};
    g_log.key_equal_result = -1;
    Value old;
    old.fill('\x33');
    EXPECT_EQ(insert(d_.get(), key_of("x"), 4, value_of("w"), &old), ERR_CMP_FAILED);
    EXPECT_EQ(old, Value{});
    old.fill('\x33');
    EXPECT_EQ(lookup(d_.get(), key_of("k"), 4, &old), DKIX_ERROR);
    EXPECT_EQ(old, Value{});
    EXPECT_EQ(d_->used, 1);
    EXPECT_EQ(d_->keys->nentries, 1);
    EXPECT_TRUE(g_log.key_incref.empty() && g_log.value_incref.empty() && g_log.value_decref.empty());
    // A different hash never reaches the comparison.
    EXPECT_EQ(insert(d_.get(), key_of("x"), 5, value_of("w")), OK);
}

TEST_F(TypedDictMethods, EasyInsertDropsTheReplacedValue) {
    ASSERT_EQ(sarvo_dict_insert_ez(d_.get(), key_of("k").data(), 1, value_of("old").data()), OK);
    ASSERT_EQ(sarvo_dict_insert_ez(d_.get(), key_of("k").data(), 1, value_of("new").data()), OK_REPLACED);
    EXPECT_EQ(g_log.value_decref, std::vector<std::string>{bytes(value_of("old").data(), 8)});
}

TEST(TypedDict, EasyInsertHandlesValuesLargerThanItsStackBuffer) {
    SV_Dict *raw = nullptr;
    ASSERT_EQ(sarvo_dict_new(&raw, 8, 4, 100000), OK);
    DictPtr d(raw);
    std::vector<char> v1(100000, 'a'), v2(100000, 'b'), out(100000);
    ASSERT_EQ(sarvo_dict_insert_ez(d.get(), "key", 1, v1.data()), OK);
    ASSERT_EQ(sarvo_dict_insert_ez(d.get(), "key", 1, v2.data()), OK_REPLACED);
    ASSERT_EQ(sarvo_dict_lookup(d.get(), "key", 1, out.data()), 0);
    EXPECT_EQ(out, v2);
}

TEST(TypedDict, DumpPrintsLiveEntriesInOrder) {
    SV_Dict *raw = nullptr;
    ASSERT_EQ(sarvo_dict_new(&raw, 8, 3, 2), OK);
    DictPtr d(raw);
    const unsigned char k1[3] = {0x01, 0xab, 0xff}, k2[3] = {0x10, 0x00, 0x7f}, k3[3] = {9, 9, 9};
    const unsigned char v1[2] = {0x00, 0x01}, v2[2] = {0xfe, 0x20};
    char old[2];
    auto c = [](const unsigned char *p) { return reinterpret_cast<const char *>(p); };
    ASSERT_EQ(sarvo_dict_insert(d.get(), c(k1), 7, c(v1), old), OK);
    ASSERT_EQ(sarvo_dict_insert(d.get(), c(k3), 8, c(v1), old), OK);
    ASSERT_EQ(sarvo_dict_insert(d.get(), c(k2), -2, c(v2), old), OK);
    ASSERT_EQ(sarvo_dict_delitem(d.get(), 8, 1), OK);
    ::testing::internal::CaptureStdout();
    sarvo_dict_dump(d.get());
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(out,
              "Dict dump\n"
              "   key_size = 3\n"
              "   val_size = 2\n"
              "  key=01 ab ff  hash=7 value=00 01 \n"
              "  key=10 00 7f  hash=18446744073709551614 value=fe 20 \n"
              "j = 2; n = 2\n");
}

TEST(TypedDict, FailedGrowthLeavesTheDictionaryAsItWas) {
    DictPtr d = make_dict(8, 4, 8);
    for (int i = 0; i < 5; ++i) ASSERT_EQ(insert(d.get(), key_of(std::to_string(i).c_str()), i, value_of("v")), OK);
    SV_DictKeys *before = d->keys;
    {
        FailingAllocator no_memory(0);
        EXPECT_EQ(insert(d.get(), key_of("new"), 3, value_of("v")), ERR_NO_MEMORY);
        EXPECT_EQ(sarvo_dict_insert_ez(d.get(), key_of("new").data(), 3, value_of("v").data()), ERR_NO_MEMORY);
        EXPECT_EQ(sarvo_dict_resize(d.get(), 64), ERR_NO_MEMORY);
    }
    EXPECT_EQ(d->keys, before);
    EXPECT_EQ(d->used, 5);
    EXPECT_EQ(d->keys->usable, 0);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(lookup(d.get(), key_of(std::to_string(i).c_str()), i), i);
    EXPECT_EQ(lookup(d.get(), key_of("new"), 3), DKIX_EMPTY);
}

// Hostile arguments of the exported and internal entry points: nothing written outside the
// blocks, no endless probe.
TEST(TypedDict, InsertRefusesTheHashThatMarksAHole) {
    DictPtr d = make_dict(8, 4, 8);
    ASSERT_EQ(insert(d.get(), key_of("a"), 1, value_of("v")), OK);
    EXPECT_EQ(insert(d.get(), key_of("b"), -1, value_of("v")), ERR_INVALID_HASH);
    EXPECT_EQ(sarvo_dict_insert_ez(d.get(), key_of("b").data(), -1, value_of("v").data()), ERR_INVALID_HASH);
    EXPECT_EQ(d->used, 1);
    EXPECT_EQ(d->keys->nentries, 1);
    Key k;
    Value v;
    EXPECT_EQ(sarvo_dict_popitem(d.get(), k.data(), v.data()), OK);
    EXPECT_EQ(k, key_of("a"));
}

TEST(TypedDict, BuildIndicesOnAFilledTableStops) {
    DictPtr d = make_dict(8, 4, 8);
    for (int i = 0; i < 5; ++i) ASSERT_EQ(insert(d.get(), key_of(std::to_string(i).c_str()), i, value_of("v")), OK);
    // The five entries hold five slots; twice more places the first three, then nothing is left.
    build_indices(d->keys, 5);
    build_indices(d->keys, 5);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(lookup(d.get(), key_of(std::to_string(i).c_str()), i), i);
}

TEST(TypedDict, FailedCreationReleasesWhatItTook) {
    for (int64_t successes : {0, 1}) {
        FailingAllocator limited(successes);
        SV_Dict *d = nullptr;
        EXPECT_EQ(sarvo_dict_new(&d, 8, 4, 8), ERR_NO_MEMORY);
        EXPECT_EQ(d, nullptr);
        EXPECT_EQ(FailingAllocator::live_blocks, 0) << successes;
    }
}

TEST(TypedDictDeathTest, DeletingAnEntryTheHashDoesNotReachIsFatal) {
    DictPtr d = make_dict(8, 4, 8);
    ASSERT_EQ(insert(d.get(), key_of("a"), 1, value_of("a")), OK);
    ASSERT_EQ(insert(d.get(), key_of("b"), 2, value_of("b")), OK);
    EXPECT_DEATH(sarvo_dict_delitem(d.get(), 1, 1), "Fatal Sarvo error");
    EXPECT_DEATH(sarvo_dict_delitem(d.get(), 1, 5), "Fatal Sarvo error");
    EXPECT_DEATH(sarvo_dict_delitem(d.get(), 1, DKIX_DELETED), "Fatal Sarvo error");
}

// ---- Randomized comparison with a model: an unordered_map for the contents plus a vector
// for the insertion order. Keys are 12 bytes, an 8-byte identity and 4 bytes of noise that
// the custom equality ignores; eleven hash values shared by 150 identities make long probe
// chains, deleted slots and negative and extreme hashes common.

using DiffKey = std::array<char, 12>;
using DiffValue = std::array<char, 5>;

struct DiffRefs {
    std::map<int64_t, int64_t> keys;
    std::map<uint32_t, int64_t> values;
    int64_t negative_counts = 0;
};
DiffRefs g_refs;

int64_t id_of_key(const void *p) {
    int64_t id;
    std::memcpy(&id, p, sizeof id);
    return id;
}
uint32_t id_of_value(const void *p) {
    uint32_t id;
    std::memcpy(&id, p, sizeof id);
    return id;
}
void diff_key_incref(const void *p) { ++g_refs.keys[id_of_key(p)]; }
void diff_key_decref(const void *p) {
    if (--g_refs.keys[id_of_key(p)] < 0) ++g_refs.negative_counts;
}
void diff_value_incref(const void *p) { ++g_refs.values[id_of_value(p)]; }
void diff_value_decref(const void *p) {
    if (--g_refs.values[id_of_value(p)] < 0) ++g_refs.negative_counts;
}
int diff_key_equal(const char *stored, const char *probe) { return std::memcmp(stored, probe, 8) == 0; }

int64_t hash_of(int64_t id) {
    static const int64_t kHashes[11] = {0, 1, -2, 7, INT64_MAX, INT64_MIN, static_cast<int64_t>(0x9E3779B97F4A7C15ULL),
                                        5, 13, -7, int64_t{1} << 40};
    return kHashes[id % 11];
}

struct DiffModel {
    struct Entry {
        DiffKey key;
        DiffValue value;
    };
    std::unordered_map<int64_t, Entry> entries;
    std::vector<int64_t> order;

    void erase(int64_t id) {
        entries.erase(id);
        order.erase(std::find(order.begin(), order.end(), id));
    }
};

DiffKey make_key(int64_t id, uint32_t noise) {
    DiffKey k;
    std::memcpy(k.data(), &id, 8);
    std::memcpy(k.data() + 8, &noise, 4);
    return k;
}

DiffValue make_value(uint32_t id) {
    DiffValue v;
    std::memcpy(v.data(), &id, 4);
    v[4] = static_cast<char>(id * 31);
    return v;
}

void expect_same_references(const DiffModel &model) {
    for (const auto &[id, count] : g_refs.keys) ASSERT_EQ(count, model.entries.count(id)) << "key " << id;
    std::map<uint32_t, int64_t> live_values;
    for (const auto &[id, e] : model.entries) live_values[id_of_value(e.value.data())] = 1;
    for (const auto &[id, count] : g_refs.values) {
        ASSERT_EQ(count, live_values.count(id) ? 1 : 0) << "value " << id;
    }
}

void expect_same_iteration(SV_Dict *d, const DiffModel &model) {
    SV_DictIter it;
    sarvo_dict_iter(&it, d);
    const char *kp = nullptr;
    const char *vp = nullptr;
    for (int64_t id : model.order) {
        ASSERT_EQ(sarvo_dict_iter_next(&it, &kp, &vp), OK);
        const auto &e = model.entries.at(id);
        ASSERT_EQ(std::memcmp(kp, e.key.data(), e.key.size()), 0) << "key " << id;
        ASSERT_EQ(std::memcmp(vp, e.value.data(), e.value.size()), 0) << "value of " << id;
    }
    ASSERT_EQ(sarvo_dict_iter_next(&it, &kp, &vp), ERR_ITER_EXHAUSTED);
}

class TypedDictDifferential : public ::testing::TestWithParam<uint32_t> {};

TEST_P(TypedDictDifferential, AgreesWithAnOrderedMapModelStepByStep) {
    std::mt19937 rng(GetParam());
    g_refs = DiffRefs{};
    SV_Dict *raw = nullptr;
    ASSERT_EQ(sarvo_dict_new(&raw, D_MINSIZE, 12, 5), OK);
    DictPtr d(raw);
    const type_based_methods_table methods = {diff_key_equal, diff_key_incref, diff_key_decref,
                                              diff_value_incref, diff_value_decref};
    sarvo_dict_set_method_table(d.get(), &methods);
    DiffModel model;
    uint32_t next_value = 1;

    for (int step = 0; step < 6000; ++step) {
        SCOPED_TRACE("step " + std::to_string(step));
        const int op = static_cast<int>(rng() % 100);
        const int64_t id = static_cast<int64_t>(rng() % 150);
        DiffValue got;
        if (op < 45 || op >= 94) {
            const DiffKey key = make_key(id, static_cast<uint32_t>(rng()));
            const DiffValue value = make_value(next_value++);
            DiffValue old;
            const int status = op < 45 ? sarvo_dict_insert(d.get(), key.data(), hash_of(id), value.data(), old.data())
                                       : sarvo_dict_insert_ez(d.get(), key.data(), hash_of(id), value.data());
            auto found = model.entries.find(id);
            if (found != model.entries.end()) {
                ASSERT_EQ(status, OK_REPLACED);
                if (op < 45) {
                    ASSERT_EQ(old, found->second.value);
                }
                found->second.value = value;
            } else {
                ASSERT_EQ(status, OK);
                model.entries[id] = {key, value};
                model.order.push_back(id);
            }
        } else if (op < 60) {
            got.fill('\x77');
            const int64_t ix = sarvo_dict_lookup(d.get(), make_key(id, 0).data(), hash_of(id), got.data());
            auto found = model.entries.find(id);
            if (found != model.entries.end()) {
                ASSERT_GE(ix, 0);
                ASSERT_EQ(got, found->second.value);
            } else {
                ASSERT_EQ(ix, DKIX_EMPTY);
                ASSERT_EQ(got, DiffValue{});
            }
        } else if (op < 78) {
            if (model.order.empty()) continue;
            const int64_t victim = model.order[rng() % model.order.size()];
            const int64_t ix = sarvo_dict_lookup(d.get(), make_key(victim, 0).data(), hash_of(victim), got.data());
            ASSERT_GE(ix, 0);
            ASSERT_EQ(sarvo_dict_delitem(d.get(), hash_of(victim), ix), OK);
            model.erase(victim);
        } else if (op < 85) {
            DiffKey k;
            const int status = sarvo_dict_popitem(d.get(), k.data(), got.data());
            if (model.order.empty()) {
                ASSERT_EQ(status, ERR_DICT_EMPTY);
                continue;
            }
            ASSERT_EQ(status, OK);
            const int64_t last = model.order.back();
            ASSERT_EQ(k, model.entries.at(last).key);
            ASSERT_EQ(got, model.entries.at(last).value);
            diff_key_decref(k.data());  // the caller now owns the popped references
            diff_value_decref(got.data());
            model.erase(last);
        } else if (op < 90) {
            expect_same_iteration(d.get(), model);
        } else {
            ASSERT_EQ(sarvo_dict_resize(d.get(), static_cast<int64_t>(rng() % 300)), OK);
        }
        ASSERT_EQ(sarvo_dict_length(d.get()), static_cast<int64_t>(model.entries.size()));
        const SV_DictKeys *dk = d->keys;
        ASSERT_LE(d->used, dk->nentries);
        ASSERT_LE(dk->nentries + dk->usable, USABLE_FRACTION(dk->size));
        ASSERT_EQ(g_refs.negative_counts, 0);
        if (step % 200 == 0) expect_same_references(model);
    }
    expect_same_iteration(d.get(), model);
    expect_same_references(model);
    d.reset();
    model = DiffModel{};
    expect_same_references(model);
}

INSTANTIATE_TEST_SUITE_P(Seeds, TypedDictDifferential, ::testing::Values(1u, 2u, 3u, 20240611u));

}  // namespace
