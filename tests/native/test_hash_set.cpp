// The hash set core: differential against std::unordered_set, growth,
// bucket order and long churn.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <random>
#include <type_traits>
#include <unordered_set>
#include <vector>

#include "core_checks.hpp"
#include "core/hash_set.hpp"

using velkorin::testing::Valid;
using velkorin::core::HashSet;

namespace {

static_assert(!std::is_copy_constructible_v<HashSet>);

void set_differential(std::uint64_t seed, int ops, std::int64_t range, bool extremes) {
    std::mt19937_64 rng(seed);
    HashSet set;
    std::unordered_set<std::int64_t> model;
    std::size_t last_capacity = 0;
    const std::int64_t lo = std::numeric_limits<std::int64_t>::min(), hi = std::numeric_limits<std::int64_t>::max();
    auto pick = [&]() -> std::int64_t {
        if (extremes && rng() % 16 == 0) {
            const std::int64_t e[] = {lo, lo + 1, hi, hi - 1, 0, -1};
            return e[rng() % 6];
        }
        return range == 0 ? static_cast<std::int64_t>(rng()) : static_cast<std::int64_t>(rng() % range) - range / 2;
    };
    for (int op = 0; op < ops; ++op) {
        const std::int64_t v = pick();
        switch (rng() % 3) {
            case 0: ASSERT_EQ(set.insert(v), model.insert(v).second) << v; break;
            case 1: ASSERT_EQ(set.remove(v), model.erase(v) == 1) << v; break;
            default: ASSERT_EQ(set.contains(v), model.count(v) == 1) << v;
        }
        ASSERT_TRUE(Valid(set)) << "after op " << op;
        ASSERT_EQ(set.size(), model.size());
        ASSERT_GE(set.capacity(), last_capacity);
        last_capacity = set.capacity();
        if (op % 1009 == 0) {
            auto items = set.to_vector();
            ASSERT_EQ(std::unordered_set<std::int64_t>(items.begin(), items.end()), model);
            ASSERT_EQ(items.size(), model.size());
        }
    }
}

TEST(HashSetTest, DifferentialTinyRange) { set_differential(10, 100000, 24, true); }
TEST(HashSetTest, DifferentialMediumRange) { set_differential(11, 100000, 600, true); }
TEST(HashSetTest, DifferentialFullRange) { set_differential(12, 10000, 0, true); }

TEST(HashSetTest, InsertContainsRemoveBasics) {
    HashSet set;
    EXPECT_FALSE(set.contains(3));
    EXPECT_FALSE(set.remove(3));
    EXPECT_EQ(set.capacity(), 0u) << "lookups and removals on an empty set allocate nothing";
    EXPECT_TRUE(set.to_vector().empty());
    EXPECT_TRUE(set.insert(3));
    EXPECT_FALSE(set.insert(3));
    EXPECT_TRUE(set.contains(3));
    EXPECT_TRUE(set.remove(3));
    EXPECT_FALSE(set.remove(3));
    EXPECT_FALSE(set.contains(3));
    EXPECT_TRUE(set.insert(std::numeric_limits<std::int64_t>::min()));
    EXPECT_TRUE(set.insert(std::numeric_limits<std::int64_t>::max()));
    EXPECT_TRUE(set.contains(std::numeric_limits<std::int64_t>::min()));
    EXPECT_TRUE(set.contains(std::numeric_limits<std::int64_t>::max()));
    EXPECT_FALSE(set.contains(0));
    EXPECT_TRUE(Valid(set));
}

TEST(HashSetTest, GrowthDoublesAndNeverShrinks) {
    HashSet set;
    std::vector<std::size_t> caps;
    for (std::int64_t i = 0; i < 5000; ++i) {
        set.insert(i * 7919);
        if (caps.empty() || caps.back() != set.capacity()) caps.push_back(set.capacity());
        ASSERT_LE(set.size(), set.capacity() - set.capacity() / 8);
    }
    ASSERT_EQ(caps.front(), 16u);
    for (std::size_t i = 1; i < caps.size(); ++i) EXPECT_EQ(caps[i], caps[i - 1] * 2);
    const std::size_t full = set.capacity();
    for (std::int64_t i = 0; i < 5000; ++i) ASSERT_TRUE(set.remove(i * 7919));
    EXPECT_EQ(set.capacity(), full);
    EXPECT_EQ(set.tombstones(), 0u) << "removing every entry clears every tombstone";
    EXPECT_TRUE(Valid(set));
    for (std::int64_t i = 0; i < 5000; ++i) ASSERT_TRUE(set.insert(-i));
    EXPECT_EQ(set.capacity(), full) << "reinsertion after removal reuses the space";
    EXPECT_TRUE(Valid(set));
}

TEST(HashSetTest, BucketOrderIsStableAndSharedByAllWalks) {
    HashSet set;
    for (std::int64_t v : {1, 2, 3}) set.insert(v);
    auto a = set.to_vector();
    std::sort(a.begin(), a.end());
    EXPECT_EQ(std::vector<std::int64_t>(a.begin(), a.end()), (std::vector<std::int64_t>{1, 2, 3}));
    for (std::int64_t v = 0; v < 500; ++v) set.insert(v * v);
    const auto first = set.to_vector();
    const auto second = set.to_vector();
    EXPECT_EQ(first, second);
    velkorin::core::Vec<std::int64_t> walked(set.begin(), set.end());
    EXPECT_EQ(walked, first);
    EXPECT_EQ(first.size(), set.size());
}

TEST(HashSetTest, EqualContentsWithDifferentKeysUseDifferentLayouts) {
    HashSet a, b;
    for (std::int64_t v = 0; v < 200; ++v) {
        a.insert(v);
        b.insert(v);
    }
    EXPECT_NE(a.to_vector(), b.to_vector()) << "a fresh key per table scatters the same elements differently";
}

TEST(HashSetTest, LongChurnStaysBounded) {
    HashSet set;
    std::mt19937_64 rng(2024);
    std::vector<std::int64_t> live;
    for (int i = 0; i < 1000; ++i) {
        live.push_back(static_cast<std::int64_t>(rng()));
        ASSERT_TRUE(set.insert(live.back()));
    }
    std::size_t max_tombstones = 0;
    for (int round = 0; round < 100000; ++round) {
        std::int64_t& slot = live[rng() % live.size()];
        ASSERT_TRUE(set.remove(slot));
        slot = static_cast<std::int64_t>(rng());
        ASSERT_TRUE(set.insert(slot));
        max_tombstones = std::max(max_tombstones, set.tombstones());
    }
    EXPECT_LE(set.capacity(), 4096u);
    EXPECT_LT(max_tombstones, set.capacity());
    EXPECT_EQ(set.size(), 1000u);
    for (std::int64_t v : live) ASSERT_TRUE(set.contains(v));
    EXPECT_TRUE(Valid(set));
}

TEST(HashSetTest, RepeatedInsertRemoveOfOneElementAmidFullNeighbours) {
    HashSet set;
    for (std::int64_t v = 0; v < 13; ++v) set.insert(v);  // 13 of 14 slots usable at capacity 16
    std::size_t settled = 0;
    for (int i = 0; i < 100000; ++i) {
        ASSERT_TRUE(set.insert(1000 + i));
        ASSERT_TRUE(set.remove(1000 + i));
        if (i == 100) settled = set.capacity();
    }
    EXPECT_LE(settled, 32u);
    EXPECT_EQ(set.capacity(), settled) << "tombstones are recycled, not grown over";
    EXPECT_TRUE(Valid(set));
    for (std::int64_t v = 0; v < 13; ++v) EXPECT_TRUE(set.contains(v));
}

}  // namespace
