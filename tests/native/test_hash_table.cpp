// The all-zero state of the map and the set, and the generic table under an
// identity hash.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <random>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "core_checks.hpp"
#include "core/hash_keys.hpp"
#include "core/hash_map.hpp"
#include "core/hash_set.hpp"
#include "core/hash_table.hpp"

using velkorin::testing::Valid;
using velkorin::core::HashKey;
using velkorin::core::HashMap;
using velkorin::core::HashSet;

namespace {

// ---------------------------------------------------------------------------
// The all-zero state: memory no constructor ran over is an empty table that
// takes the thread's next key before its first insertion.

// A keyed empty table is the zero state plus its key and the flag byte.
void expect_zero_but_key(const unsigned char* bytes, std::size_t size, const HashKey& key) {
    std::vector<unsigned char> rest(bytes, bytes + size);
    unsigned char k[sizeof key];
    std::memcpy(k, &key, sizeof key);
    const auto at = std::search(rest.begin(), rest.end(), k, k + sizeof key);
    ASSERT_NE(at, rest.end()) << "the key's bytes";
    std::fill(at, at + sizeof key, 0);
    EXPECT_EQ(std::count(rest.begin(), rest.end(), 1), 1) << "the keyed flag";
    EXPECT_EQ(std::count(rest.begin(), rest.end(), 0), static_cast<std::ptrdiff_t>(size) - 1);
}

// T() is all zero even over other bytes; T(key) is zero but for the key.
template <class T>
void expect_documented_bytes() {
    alignas(T) unsigned char made[sizeof(T)];
    std::memset(made, 0xAA, sizeof made);
    ::new (made) T();
    EXPECT_TRUE(std::all_of(made, made + sizeof made, [](unsigned char c) { return c == 0; }));
    std::launder(reinterpret_cast<T*>(made))->~T();
    std::memset(made, 0, sizeof made);
    const HashKey key{0x0123456789abcdefULL, 0xfedcba9876543210ULL};
    ::new (made) T(key);
    expect_zero_but_key(made, sizeof made, key);
    std::launder(reinterpret_cast<T*>(made))->~T();
}

// The key `table` drew at its first insertion was the thread's next one.
template <class T, class Insert>
void expect_key_drawn_on_first_insertion(T& table, Insert&& insert) {
    EXPECT_FALSE(table.keyed()) << "lookups take no key";
    EXPECT_TRUE(Valid(table));
    const HashKey before = velkorin::core::next_hash_key();
    insert();
    EXPECT_TRUE(table.keyed());
    EXPECT_NE(table.hash_key(), (HashKey{0, 0}));
    EXPECT_EQ(table.hash_key(), (HashKey{before.k0 + 1, before.k1}));
    EXPECT_EQ(velkorin::core::next_hash_key(), (HashKey{before.k0 + 2, before.k1}));
    EXPECT_TRUE(Valid(table));
}

TEST(ZeroState, ZeroFilledSetIsEmptyAndDrawsItsKeyOnFirstInsertion) {
    alignas(HashSet) unsigned char buf[sizeof(HashSet)]{};
    HashSet& set = *std::launder(reinterpret_cast<HashSet*>(buf));  // no constructor ran
    EXPECT_FALSE(set.contains(0));
    EXPECT_FALSE(set.remove(0));
    EXPECT_TRUE(set.to_vector().empty());
    EXPECT_EQ(set.begin(), set.end());
    expect_key_drawn_on_first_insertion(set, [&] { EXPECT_TRUE(set.insert(7)); });
    const HashKey drawn = set.hash_key();
    for (std::int64_t v = 0; v < 100; ++v) set.insert(v);
    EXPECT_EQ(set.hash_key(), drawn) << "drawn once";
    EXPECT_TRUE(set.contains(7));
    EXPECT_TRUE(set.remove(7));
    EXPECT_TRUE(Valid(set));
    set.~HashSet();
    expect_documented_bytes<HashSet>();
}

TEST(ZeroState, ZeroFilledMapIsEmptyAndDrawsItsKeyOnFirstInsertion) {
    using Map = HashMap<int>;
    alignas(Map) unsigned char buf[sizeof(Map)]{};
    Map& map = *std::launder(reinterpret_cast<Map*>(buf));  // no constructor ran
    EXPECT_EQ(map.find("a"), nullptr);
    EXPECT_FALSE(map.contains(""));
    EXPECT_FALSE(map.remove("a").has_value());
    EXPECT_TRUE(map.drain([](std::string_view, int&&) { ADD_FAILURE(); }));
    expect_key_drawn_on_first_insertion(map, [&] { EXPECT_FALSE(map.insert("a", 1).has_value()); });
    const HashKey drawn = map.hash_key();
    map.insert("b", 2);
    EXPECT_EQ(map.hash_key(), drawn) << "drawn once";
    EXPECT_EQ(*map.find("a"), 1);
    map.~Map();
    expect_documented_bytes<Map>();
}

// ---------------------------------------------------------------------------
// The table itself under an identity hash: home = (v >> 7) & (cap - 1) and
// h2 = v & 0x7f, so tests can place clusters, collisions and wrap-around.

struct IdentityPolicy {
    using Entry = std::uint64_t;
    using Key = std::uint64_t;
    static std::uint64_t hash(const HashKey&, std::uint64_t v) noexcept { return v; }
    static std::uint64_t stored_hash(const HashKey&, std::uint64_t v) noexcept { return v; }
    static std::uint64_t key_of(std::uint64_t v) noexcept { return v; }
    static bool matches(std::uint64_t e, std::uint64_t v, std::uint64_t) noexcept { return e == v; }
};
using IdentityTable = velkorin::core::HashTable<IdentityPolicy>;

constexpr std::uint64_t homed(std::uint64_t home, std::uint64_t tag) { return (home << 7) | tag; }

bool table_insert(IdentityTable& t, std::uint64_t v) { return t.insert(v, v); }

bool table_remove(IdentityTable& t, std::uint64_t v) {
    const std::uint64_t* e = t.find(v, t.hash(v));
    if (e == nullptr) return false;
    t.erase(*e);
    return true;
}

TEST(HashTableCore, InPlaceRebuildUntanglesAWrappedCluster) {
    IdentityTable t(HashKey{0, 0});
    std::vector<std::uint64_t> cluster;
    // Fourteen entries homed at the last bucket fill buckets 15, 0..12.
    for (std::uint64_t j = 0; j < 14; ++j) {
        cluster.push_back(homed(15 + 16 * j, j));
        ASSERT_TRUE(table_insert(t, cluster.back()));
        ASSERT_TRUE(Valid(t));
    }
    ASSERT_EQ(t.capacity(), 16u);
    // Tombstones in buckets 0..7: each has a full bucket after it.
    for (std::uint64_t j = 1; j <= 8; ++j) {
        ASSERT_TRUE(table_remove(t, cluster[j]));
        ASSERT_TRUE(Valid(t));
    }
    EXPECT_EQ(t.tombstones(), 8u);
    // Home 13 is EMPTY and nothing is left to spend: with 6 live entries the
    // table rebuilds at the same size, moving the wrapped entries home.
    ASSERT_TRUE(table_insert(t, homed(13, 99)));
    ASSERT_TRUE(Valid(t));
    EXPECT_EQ(t.capacity(), 16u);
    EXPECT_EQ(t.tombstones(), 0u);
    EXPECT_EQ(t.size(), 7u);
    for (std::size_t j = 0; j < cluster.size(); ++j)
        EXPECT_EQ(t.find(cluster[j], cluster[j]) != nullptr, j == 0 || j > 8) << j;
    EXPECT_NE(t.find(homed(13, 99), homed(13, 99)), nullptr);
}

TEST(HashTableCore, DifferentialWithCollidingAndWrappingHomes) {
    std::mt19937_64 rng(4242);
    // Homes crowd both ends of every table size up to 1024; tags repeat, so
    // h2 matches that are not the key are common too.
    const std::uint64_t bases[] = {0, 1, 15, 31, 63, 127, 255, 511, 1023, 14, 30};
    std::vector<std::uint64_t> pool;
    for (int i = 0; i < 400; ++i)
        pool.push_back(homed(bases[rng() % std::size(bases)] + 1024 * (rng() % 8), rng() % 8));
    for (std::size_t live_target : {6u, 20u, 120u}) {
        IdentityTable t(HashKey{0, 0});
        std::unordered_set<std::uint64_t> model;
        for (int op = 0; op < 40000; ++op) {
            const std::uint64_t v = pool[rng() % pool.size()];
            const bool grow = model.size() < live_target;
            switch (rng() % 4) {
                case 0: case 1:
                    if (grow || rng() % 2) ASSERT_EQ(table_insert(t, v), model.insert(v).second);
                    else ASSERT_EQ(table_remove(t, v), model.erase(v) == 1);
                    break;
                case 2: ASSERT_EQ(table_remove(t, v), model.erase(v) == 1); break;
                default: ASSERT_EQ(t.find(v, v) != nullptr, model.count(v) == 1);
            }
            ASSERT_TRUE(Valid(t)) << "op " << op << " live target " << live_target;
            ASSERT_EQ(t.size(), model.size());
        }
        std::unordered_set<std::uint64_t> contents(t.begin(), t.end());
        EXPECT_EQ(contents, model);
    }
}

}  // namespace
