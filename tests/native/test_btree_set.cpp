#include "core/btree_set.hpp"

#include <gtest/gtest.h>

#include "core_checks.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <set>
#include <vector>

namespace {

using velkorin::core::BTreeSet;
using velkorin::core::Violation;
using velkorin::testing::Valid;
using Set = BTreeSet<std::int64_t>;
using Model = std::set<std::int64_t>;

constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

enum class Op { Insert, Remove, Contains };

template <class Tree>
std::vector<std::int64_t> Keys(const Tree& s) {
    std::vector<std::int64_t> out;
    s.for_each([&](std::int64_t k) { out.push_back(k); });
    return out;
}

// Applies op to the tree and the model, compares the answers, checks the
// invariants and the length.
::testing::AssertionResult Step(Set& s, Model& m, Op op, std::int64_t k, bool verify = true) {
    bool got = false;
    bool want = false;
    const char* name = "";
    switch (op) {
        case Op::Insert:
            name = "insert";
            got = s.insert(k);
            want = m.insert(k).second;
            break;
        case Op::Remove:
            name = "remove";
            got = s.remove(k);
            want = m.erase(k) == 1;
            break;
        case Op::Contains:
            name = "contains";
            got = s.contains(k);
            want = m.count(k) == 1;
            break;
    }
    if (got != want) {
        return ::testing::AssertionFailure() << name << "(" << k << ") returned " << got << ", expected " << want;
    }
    if (verify) {
        if (Violation v = s.verify()) {
            return ::testing::AssertionFailure() << "after " << name << "(" << k << "): " << *v;
        }
    }
    if (s.size() != m.size()) {
        return ::testing::AssertionFailure() << "after " << name << "(" << k << "): size " << s.size()
                                             << ", expected " << m.size();
    }
    return ::testing::AssertionSuccess();
}

std::vector<std::int64_t> Contents(const Set& s) { return Keys(s); }

std::vector<std::int64_t> Contents(const Model& m) { return {m.begin(), m.end()}; }

// Bounds on the number of keys of a valid tree of height h: a minimal tree
// has a one-key root over two subtrees of nodes with 5 keys each (6 children);
// a maximal one has 11 keys and 12 children everywhere.
bool HeightFits(std::size_t n, std::size_t h) {
    double min_keys = 2.0;
    double max_keys = 12.0;
    for (std::size_t i = 0; i < h; ++i) {
        min_keys *= 6.0;
        max_keys *= 12.0;
    }
    return n == 0 ? h == 0 : (static_cast<double>(n) >= min_keys - 1 && static_cast<double>(n) <= max_keys - 1);
}

TEST(BTreeSet, NewSetIsEmptyAndAllocatesNothing) {
    Set s;
    EXPECT_FALSE(s.allocated());
    EXPECT_EQ(s.size(), 0u);
    EXPECT_TRUE(s.empty());
    EXPECT_EQ(s.height(), 0u);
    EXPECT_FALSE(s.contains(0));
    EXPECT_FALSE(s.contains(kMin));
    EXPECT_FALSE(s.remove(0));
    EXPECT_FALSE(s.remove(kMax));
    EXPECT_TRUE(Keys(s).empty());
    int calls = 0;
    s.for_each([&](std::int64_t) { ++calls; });
    EXPECT_EQ(calls, 0);
    EXPECT_TRUE(Valid(s));
    EXPECT_FALSE(s.allocated()) << "lookups and failed removals must not allocate";
    EXPECT_EQ(s.reserved_bytes(), 0u);
}

TEST(BTreeSet, EmptyStateIsAllZeroBytes) {
    EXPECT_TRUE(velkorin::testing::ConstructsToZeroBytes<Set>());
    EXPECT_TRUE((velkorin::testing::ConstructsToZeroBytes<BTreeSet<std::int64_t, std::greater<std::int64_t>>>()));
}

// Merged and dropped nodes go back to the tree's free lists: refilling a
// drained tree, or churning a full one, takes no new storage.
TEST(BTreeSet, FreedNodesAreReused) {
    Set s;
    std::mt19937_64 rng(3);
    std::vector<std::int64_t> keys(5000);
    for (auto& k : keys) k = static_cast<std::int64_t>(rng());
    for (std::int64_t k : keys) s.insert(k);
    const std::size_t reserved = s.reserved_bytes();
    EXPECT_GT(reserved, 0u);
    for (int round = 0; round < 3; ++round) {
        std::shuffle(keys.begin(), keys.end(), rng);
        for (std::int64_t k : keys) ASSERT_TRUE(s.remove(k));
        for (std::int64_t k : keys) ASSERT_TRUE(s.insert(k));
        ASSERT_TRUE(Valid(s));
        EXPECT_LE(s.reserved_bytes(), reserved + reserved / 4) << "round " << round;
    }
}

TEST(BTreeSet, InsertContainsRemoveOneKey) {
    Set s;
    EXPECT_TRUE(s.insert(3));
    EXPECT_TRUE(s.allocated());
    EXPECT_FALSE(s.insert(3));
    EXPECT_EQ(s.size(), 1u);
    EXPECT_TRUE(s.contains(3));
    EXPECT_FALSE(s.contains(2));
    EXPECT_FALSE(s.contains(4));
    EXPECT_TRUE(s.remove(3));
    EXPECT_FALSE(s.remove(3));
    EXPECT_FALSE(s.contains(3));
    EXPECT_EQ(s.size(), 0u);
    EXPECT_TRUE(s.allocated()) << "the root leaf stays once allocated";
    EXPECT_TRUE(Valid(s));
}

TEST(BTreeSet, SignedOrderAndExtremes) {
    Set s;
    for (std::int64_t k : {std::int64_t{5}, std::int64_t{-1}, std::int64_t{3}, kMax}) EXPECT_TRUE(s.insert(k));
    EXPECT_EQ(Contents(s), (std::vector<std::int64_t>{-1, 3, 5, kMax}));
    EXPECT_TRUE(s.insert(kMin));
    EXPECT_EQ(Contents(s), (std::vector<std::int64_t>{kMin, -1, 3, 5, kMax}));
    EXPECT_TRUE(s.contains(kMin));
    EXPECT_TRUE(s.contains(kMax));
    EXPECT_FALSE(s.contains(kMin + 1));
    EXPECT_FALSE(s.contains(kMax - 1));

    // Enough neighbours of both extremes to put them deep in a multi-level tree.
    const std::vector<std::int64_t> initial = Contents(s);
    Model m(initial.begin(), initial.end());
    for (std::int64_t d = 1; d <= 300; ++d) {
        ASSERT_TRUE(Step(s, m, Op::Insert, kMin + d));
        ASSERT_TRUE(Step(s, m, Op::Insert, kMax - d));
        ASSERT_TRUE(Step(s, m, Op::Insert, d * 1000 - 150000));
    }
    EXPECT_GE(s.height(), 2u);
    EXPECT_EQ(Contents(s), Contents(m));
    ASSERT_TRUE(Step(s, m, Op::Remove, kMin));
    ASSERT_TRUE(Step(s, m, Op::Remove, kMax));
    ASSERT_TRUE(Step(s, m, Op::Contains, kMin));
    ASSERT_TRUE(Step(s, m, Op::Contains, kMax));
    EXPECT_EQ(Contents(s).front(), kMin + 1);
    EXPECT_EQ(Contents(s).back(), kMax - 1);
}

TEST(BTreeSet, RootSplitsAfterElevenKeysAndMergesBack) {
    Set s;
    for (std::int64_t k = 1; k <= 11; ++k) ASSERT_TRUE(s.insert(k));
    EXPECT_EQ(s.height(), 0u);
    ASSERT_TRUE(s.insert(12));
    EXPECT_EQ(s.height(), 1u);
    EXPECT_TRUE(Valid(s));
    EXPECT_EQ(Contents(s), (std::vector<std::int64_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));
    // Appending splits the full leaf into 1..6 | 7 | 8..12: the left half may
    // lose a key, the right half is at the minimum and merges on its next loss.
    ASSERT_TRUE(s.remove(1));
    EXPECT_EQ(s.height(), 1u);
    EXPECT_TRUE(Valid(s));
    ASSERT_TRUE(s.remove(12));
    EXPECT_EQ(s.height(), 0u);
    EXPECT_TRUE(Valid(s));
    EXPECT_EQ(Contents(s), (std::vector<std::int64_t>{2, 3, 4, 5, 6, 7, 8, 9, 10, 11}));
}

TEST(BTreeSet, EverySplitPositionOfAFullLeaf) {
    // A new key at each of the 12 positions of a full root leaf.
    for (std::int64_t pos = 0; pos <= 11; ++pos) {
        Set s;
        Model m;
        for (std::int64_t k = 0; k < 11; ++k) ASSERT_TRUE(Step(s, m, Op::Insert, k * 10));
        ASSERT_TRUE(Step(s, m, Op::Insert, pos * 10 - 5));
        EXPECT_EQ(s.height(), 1u);
        EXPECT_EQ(Contents(s), Contents(m));
    }
}

TEST(BTreeSet, HeightGrowsAndShrinksWithRemoval) {
    Set s;
    Model m;
    std::size_t last_height = 0;
    for (std::int64_t k = 0; k < 3000; ++k) {
        ASSERT_TRUE(Step(s, m, Op::Insert, k));
        ASSERT_GE(s.height(), last_height) << "insertion never lowers the tree";
        ASSERT_LE(s.height(), last_height + 1);
        ASSERT_TRUE(HeightFits(s.size(), s.height())) << s.size() << " keys, height " << s.height();
        last_height = s.height();
    }
    EXPECT_GE(s.height(), 3u);
    for (std::int64_t k = 0; k < 3000; ++k) {
        ASSERT_TRUE(Step(s, m, Op::Remove, (k * 7) % 3000));
        ASSERT_LE(s.height(), last_height) << "removal never raises the tree";
        ASSERT_TRUE(HeightFits(s.size(), s.height())) << s.size() << " keys, height " << s.height();
        last_height = s.height();
    }
    EXPECT_EQ(s.height(), 0u);
    EXPECT_EQ(s.size(), 0u);
    EXPECT_TRUE(s.allocated());
    EXPECT_TRUE(Keys(s).empty());
    // The empty root leaf takes new keys.
    ASSERT_TRUE(Step(s, m, Op::Insert, 42));
    ASSERT_TRUE(Step(s, m, Op::Insert, -42));
    EXPECT_EQ(Contents(s), (std::vector<std::int64_t>{-42, 42}));
}

TEST(BTreeSet, ZeroToNineNinetyNineRemoveEvens) {
    std::mt19937_64 rng(7);
    std::vector<std::int64_t> keys(1000);
    for (std::int64_t i = 0; i < 1000; ++i) keys[i] = i;
    std::shuffle(keys.begin(), keys.end(), rng);
    Set s;
    Model m;
    for (std::int64_t k : keys) ASSERT_TRUE(Step(s, m, Op::Insert, k));
    for (std::int64_t k : keys) {
        if (k % 2 == 0) {
            ASSERT_TRUE(Step(s, m, Op::Remove, k));
        }
    }
    std::vector<std::int64_t> odds;
    for (std::int64_t i = 1; i < 1000; i += 2) odds.push_back(i);
    EXPECT_EQ(Contents(s), odds);
    for (std::int64_t k : keys) ASSERT_TRUE(Step(s, m, Op::Remove, k));
    EXPECT_TRUE(Keys(s).empty());
    EXPECT_EQ(s.height(), 0u);
    ASSERT_TRUE(Step(s, m, Op::Insert, 500));
    EXPECT_EQ(Contents(s), (std::vector<std::int64_t>{500}));
}

// Insertion and removal orders that stress one side of the tree or both.
TEST(BTreeSet, OrderedPatterns) {
    constexpr std::int64_t n = 2000;
    std::vector<std::int64_t> ascending(n);
    for (std::int64_t i = 0; i < n; ++i) ascending[i] = i;
    std::vector<std::int64_t> descending(ascending.rbegin(), ascending.rend());
    std::vector<std::int64_t> from_both_ends;
    for (std::int64_t i = 0; i < n / 2; ++i) {
        from_both_ends.push_back(i);
        from_both_ends.push_back(n - 1 - i);
    }
    std::vector<std::int64_t> evens_then_odds;
    for (std::int64_t i = 0; i < n; i += 2) evens_then_odds.push_back(i);
    for (std::int64_t i = 1; i < n; i += 2) evens_then_odds.push_back(i);
    std::vector<std::int64_t> middle_out;
    for (std::int64_t i = 0; i < n / 2; ++i) {
        middle_out.push_back(n / 2 + i);
        middle_out.push_back(n / 2 - 1 - i);
    }
    const std::vector<std::vector<std::int64_t>> orders = {ascending, descending, from_both_ends, evens_then_odds,
                                                           middle_out};
    for (std::size_t a = 0; a < orders.size(); ++a) {
        for (std::size_t b = 0; b < orders.size(); ++b) {
            SCOPED_TRACE(::testing::Message() << "insert order " << a << ", remove order " << b);
            Set s;
            Model m;
            for (std::int64_t k : orders[a]) ASSERT_TRUE(Step(s, m, Op::Insert, k));
            EXPECT_EQ(Contents(s), Contents(m));
            EXPECT_GE(s.height(), 2u);
            for (std::int64_t k : orders[b]) ASSERT_TRUE(Step(s, m, Op::Remove, k));
            EXPECT_EQ(s.height(), 0u);
            EXPECT_EQ(s.size(), 0u);
        }
    }
}

TEST(BTreeSet, RandomDifferential) {
    struct Config {
        std::uint64_t seed;
        std::int64_t range;  // keys drawn from [-range/2, range/2); 0 means any 64-bit value
        int ops;
        int insert_weight;   // out of 10; the rest is split between remove and contains
    };
    const Config configs[] = {
        {1, 16, 20000, 5},    {2, 64, 20000, 5},   {3, 300, 30000, 5},  {4, 2000, 30000, 6},
        {5, 2000, 30000, 4},  {6, 0, 10000, 6},    {7, 5000, 20000, 7},
    };
    for (const Config& c : configs) {
        SCOPED_TRACE(::testing::Message() << "seed " << c.seed << ", range " << c.range);
        std::mt19937_64 rng(c.seed);
        auto key = [&]() -> std::int64_t {
            const std::uint64_t r = rng();
            if (c.range == 0) return static_cast<std::int64_t>(r);
            return static_cast<std::int64_t>(r % static_cast<std::uint64_t>(c.range)) - c.range / 2;
        };
        Set s;
        Model m;
        for (int i = 0; i < c.ops; ++i) {
            const int roll = static_cast<int>(rng() % 10);
            const Op op = roll < c.insert_weight ? Op::Insert : (roll % 2 == 0 ? Op::Remove : Op::Contains);
            // Removing and querying keys known to be present as often as random ones.
            std::int64_t k = key();
            if (op != Op::Insert && !m.empty() && (rng() & 1)) {
                auto it = m.lower_bound(k);
                k = it == m.end() ? *m.begin() : *it;
            }
            ASSERT_TRUE(Step(s, m, op, k));
            if (i % 1000 == 0) {
                ASSERT_EQ(Contents(s), Contents(m));
            }
        }
        ASSERT_EQ(Contents(s), Contents(m));
        // Drain, in random order, to the empty root leaf.
        std::vector<std::int64_t> rest(m.begin(), m.end());
        std::shuffle(rest.begin(), rest.end(), rng);
        for (std::int64_t k : rest) ASSERT_TRUE(Step(s, m, Op::Remove, k));
        EXPECT_EQ(s.height(), 0u);
        EXPECT_TRUE(Keys(s).empty());
    }
}

TEST(BTreeSet, RepeatedInsertRemoveOfSameKeys) {
    Set s;
    Model m;
    // On the bare root leaf.
    for (int i = 0; i < 100; ++i) {
        ASSERT_TRUE(Step(s, m, Op::Insert, 9));
        ASSERT_TRUE(Step(s, m, Op::Insert, 9));
        ASSERT_TRUE(Step(s, m, Op::Remove, 9));
        ASSERT_TRUE(Step(s, m, Op::Remove, 9));
    }
    // At split and merge boundaries: 12 keys flip the root between one leaf
    // and two, and in a deeper tree the same keys keep splitting and merging
    // the same nodes.
    for (std::int64_t k = 0; k < 11; ++k) ASSERT_TRUE(Step(s, m, Op::Insert, k));
    for (int i = 0; i < 200; ++i) {
        ASSERT_TRUE(Step(s, m, Op::Insert, 11));
        ASSERT_EQ(s.height(), 1u);
        ASSERT_TRUE(Step(s, m, Op::Remove, 11));
        ASSERT_EQ(s.height(), 0u);
    }
    for (std::int64_t k = 11; k < 1500; ++k) ASSERT_TRUE(Step(s, m, Op::Insert, k));
    std::mt19937_64 rng(11);
    for (int round = 0; round < 100; ++round) {
        const std::int64_t base = static_cast<std::int64_t>(rng() % 1400);
        for (std::int64_t k = base; k < base + 20; ++k) ASSERT_TRUE(Step(s, m, Op::Remove, k));
        for (std::int64_t k = base + 19; k >= base; --k) ASSERT_TRUE(Step(s, m, Op::Insert, k));
    }
    EXPECT_EQ(Contents(s), Contents(m));
}

TEST(BTreeSet, HundredThousandKeysBuildSeveralLevels) {
    constexpr int n = 100000;
    std::mt19937_64 rng(2024);
    Set s;
    Model m;
    std::vector<std::int64_t> keys;
    keys.reserve(n);
    while (keys.size() < n) {
        const std::int64_t k = static_cast<std::int64_t>(rng() >> 2);
        if (m.insert(k).second) keys.push_back(k);
    }
    m.clear();
    for (std::size_t i = 0; i < keys.size(); ++i) {
        ASSERT_TRUE(Step(s, m, Op::Insert, keys[i], i % 5000 == 0));
    }
    ASSERT_TRUE(Valid(s));
    EXPECT_GE(s.height(), 4u);
    EXPECT_TRUE(HeightFits(s.size(), s.height()));
    EXPECT_EQ(Contents(s), Contents(m));
    for (std::size_t i = 0; i < keys.size(); i += 7) {
        ASSERT_TRUE(s.contains(keys[i]));
        ASSERT_TRUE(Step(s, m, Op::Contains, keys[i] + 1, false));
    }
    std::shuffle(keys.begin(), keys.end(), rng);
    for (std::size_t i = 0; i < keys.size(); ++i) {
        ASSERT_TRUE(Step(s, m, Op::Remove, keys[i], i % 5000 == 0 || keys.size() - i < 3000));
        if (i == keys.size() / 2) {
            ASSERT_EQ(Contents(s), Contents(m));
        }
    }
    EXPECT_EQ(s.size(), 0u);
    EXPECT_EQ(s.height(), 0u);
    EXPECT_TRUE(Valid(s));
}

TEST(BTreeSet, AscendingHundredThousandAndDestructorFreesAll) {
    // Leak detection covers the destructor: this set is dropped full.
    Set s;
    for (std::int64_t k = 0; k < 100000; ++k) ASSERT_TRUE(s.insert(k));
    ASSERT_TRUE(Valid(s));
    EXPECT_GE(s.height(), 4u);
    EXPECT_EQ(s.size(), 100000u);
    std::int64_t expected = 0;
    bool ordered = true;
    s.for_each([&](std::int64_t k) { ordered = ordered && k == expected++; });
    EXPECT_TRUE(ordered);
    EXPECT_EQ(expected, 100000);
}

TEST(BTreeSet, ForEachVisitsInAscendingOrder) {
    std::mt19937_64 rng(99);
    Set s;
    Model m;
    for (int i = 0; i < 5000; ++i) {
        const auto k = static_cast<std::int64_t>(rng());
        EXPECT_EQ(s.insert(k), m.insert(k).second);
    }
    std::vector<std::int64_t> seen;
    s.for_each([&](std::int64_t k) { seen.push_back(k); });
    EXPECT_EQ(seen, Contents(m));
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
}

TEST(BTreeSet, MoveLeavesSourceEmptyAndUsable) {
    Set a;
    for (std::int64_t k = 0; k < 500; ++k) a.insert(k * 3);
    Set b(std::move(a));
    EXPECT_EQ(a.size(), 0u);  // NOLINT(bugprone-use-after-move): moved-from state is specified
    EXPECT_FALSE(a.allocated());
    EXPECT_TRUE(Valid(a));
    EXPECT_FALSE(a.contains(3));
    EXPECT_EQ(b.size(), 500u);
    EXPECT_TRUE(b.contains(3));
    EXPECT_TRUE(Valid(b));

    EXPECT_TRUE(a.insert(1));
    EXPECT_EQ(Contents(a), (std::vector<std::int64_t>{1}));

    // Assignment releases the target's own nodes (checked by leak detection).
    Set c;
    for (std::int64_t k = 0; k < 300; ++k) c.insert(-k);
    c = std::move(b);
    EXPECT_EQ(c.size(), 500u);
    EXPECT_TRUE(c.contains(0));
    EXPECT_FALSE(c.contains(-3));
    EXPECT_TRUE(Valid(c));
    EXPECT_EQ(b.size(), 0u);  // NOLINT(bugprone-use-after-move)
    EXPECT_FALSE(b.allocated());
    EXPECT_TRUE(b.insert(7));
    EXPECT_TRUE(Valid(b));

    Set& self = c;
    c = std::move(self);
    EXPECT_EQ(c.size(), 500u);
    EXPECT_TRUE(Valid(c));

    static_assert(!std::is_copy_constructible_v<Set>);
    static_assert(!std::is_copy_assignable_v<Set>);
    static_assert(std::is_nothrow_move_constructible_v<Set>);
    static_assert(std::is_nothrow_move_assignable_v<Set>);
}

// An order by the key's low 32 bits, which has no greatest 64-bit value:
// the padding then repeats the last key and the search caps its count.
struct ByLowBits {
    bool operator()(std::int64_t a, std::int64_t b) const {
        return static_cast<std::uint32_t>(a) < static_cast<std::uint32_t>(b);
    }
};

template <class Less>
void CheckOrdering(std::uint64_t seed, std::int64_t range) {
    BTreeSet<std::int64_t, Less> s;
    std::set<std::int64_t, Less> m;
    std::mt19937_64 rng(seed);
    for (int i = 0; i < 4000; ++i) {
        const auto k = static_cast<std::int64_t>(rng() % static_cast<std::uint64_t>(range)) * 0x100000001;
        if (rng() % 3 == 0) {
            ASSERT_EQ(s.remove(k), m.erase(k) == 1);
        } else {
            ASSERT_EQ(s.insert(k), m.insert(k).second);
        }
        ASSERT_EQ(s.contains(k + 1), m.count(k + 1) == 1);
        ASSERT_TRUE(Valid(s));
    }
    EXPECT_EQ(Keys(s), std::vector<std::int64_t>(m.begin(), m.end()));
}

TEST(BTreeSet, CustomOrdering) {
    CheckOrdering<std::greater<std::int64_t>>(5, 1000);
    CheckOrdering<ByLowBits>(6, 1000);
    CheckOrdering<ByLowBits>(7, 50);
}

}  // namespace
