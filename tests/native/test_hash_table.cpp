// SipHash, per-thread and lazy hash keys, the all-zero state of the map and
// the set, and the generic table under an identity hash.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_set>
#include <vector>

#include "core_checks.hpp"
#include "lib/core/hash_keys.hpp"
#include "lib/core/hash_map.hpp"
#include "lib/core/hash_set.hpp"
#include "lib/core/hash_table.hpp"
#include "lib/core/platform.hpp"
#include "lib/core/siphash.hpp"

using velkorin::testing::Valid;
using velkorin::HashKey;
using velkorin::HashMap;
using velkorin::HashSet;

namespace {

// ---------------------------------------------------------------------------
// Reference SipHash, byte by byte from the algorithm's description.

std::uint64_t ref_rotl(std::uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

std::uint64_t ref_siphash(int c, int d, std::uint64_t k0, std::uint64_t k1, const std::vector<unsigned char>& msg) {
    std::uint64_t v0 = k0 ^ 0x736f6d6570736575ULL;
    std::uint64_t v1 = k1 ^ 0x646f72616e646f6dULL;
    std::uint64_t v2 = k0 ^ 0x6c7967656e657261ULL;
    std::uint64_t v3 = k1 ^ 0x7465646279746573ULL;
    auto sipround = [&] {
        v0 += v1; v1 = ref_rotl(v1, 13); v1 ^= v0; v0 = ref_rotl(v0, 32);
        v2 += v3; v3 = ref_rotl(v3, 16); v3 ^= v2;
        v0 += v3; v3 = ref_rotl(v3, 21); v3 ^= v0;
        v2 += v1; v1 = ref_rotl(v1, 17); v1 ^= v2; v2 = ref_rotl(v2, 32);
    };
    // Pad with zeros to one byte short of a multiple of 8, then the length byte.
    std::vector<unsigned char> padded = msg;
    while (padded.size() % 8 != 7) padded.push_back(0);
    padded.push_back(static_cast<unsigned char>(msg.size() % 256));
    for (std::size_t w = 0; w < padded.size(); w += 8) {
        std::uint64_t m = 0;
        for (int b = 0; b < 8; ++b) m |= static_cast<std::uint64_t>(padded[w + b]) << (8 * b);
        v3 ^= m;
        for (int i = 0; i < c; ++i) sipround();
        v0 ^= m;
    }
    v2 ^= 0xff;
    for (int i = 0; i < d; ++i) sipround();
    return v0 ^ v1 ^ v2 ^ v3;
}

std::uint64_t le_word(const unsigned char* p) {
    std::uint64_t w = 0;
    for (int b = 0; b < 8; ++b) w |= static_cast<std::uint64_t>(p[b]) << (8 * b);
    return w;
}

std::vector<unsigned char> le_bytes(std::uint64_t v) {
    std::vector<unsigned char> out;
    for (int b = 0; b < 8; ++b) out.push_back(static_cast<unsigned char>(v >> (8 * b)));
    return out;
}

TEST(SipHash, ReferenceVectors24) {
    unsigned char key[16];
    for (int i = 0; i < 16; ++i) key[i] = static_cast<unsigned char>(i);
    const std::uint64_t k0 = le_word(key), k1 = le_word(key + 8);
    // Published SipHash-2-4 outputs for key 00..0f and message 00..n-1.
    const std::pair<std::size_t, std::uint64_t> vectors[] = {
        {0, 0x726fdb47dd0e0e31ULL}, {1, 0x74f839c593dc67fdULL}, {2, 0x0d6c8009d9a94f5aULL},
        {3, 0x85676696d7fb7e2dULL}, {4, 0xcf2794e0277187b7ULL}, {5, 0x18765564cd99a68dULL},
        {6, 0xcbc9466e58fee3ceULL}, {7, 0xab0200f58b01d137ULL}, {8, 0x93f5f5799a932462ULL},
        {15, 0xa129ca6149be45e5ULL},
    };
    for (const auto& [n, expected] : vectors) {
        std::vector<unsigned char> msg(n);
        for (std::size_t i = 0; i < n; ++i) msg[i] = static_cast<unsigned char>(i);
        EXPECT_EQ((velkorin::siphash<2, 4>(k0, k1, msg.data(), n)), expected) << "length " << n;
        EXPECT_EQ(ref_siphash(2, 4, k0, k1, msg), expected) << "reference, length " << n;
        if (n > 0) {
            EXPECT_EQ((velkorin::siphash<2, 4, true>(k0, k1, msg.data(), n - 1, msg[n - 1])), expected)
                << "last byte as the suffix, length " << n;
        }
    }
    std::vector<unsigned char> eight(8);
    for (int i = 0; i < 8; ++i) eight[i] = static_cast<unsigned char>(i);
    EXPECT_EQ((velkorin::siphash_u64<2, 4>(k0, k1, le_word(eight.data()))), 0x93f5f5799a932462ULL);
}

TEST(SipHash, OneShotMatchesReferenceAtEveryLengthAndAlignment) {
    std::mt19937_64 rng(12345);
    std::vector<unsigned char> buffer(80);
    for (int iter = 0; iter < 3000; ++iter) {
        const std::uint64_t k0 = rng(), k1 = rng();
        const std::size_t n = iter % 65, offset = iter % 8;
        for (auto& b : buffer) b = static_cast<unsigned char>(rng());
        const unsigned char* p = buffer.data() + offset;  // loads at every alignment
        std::vector<unsigned char> msg(p, p + n);
        ASSERT_EQ((velkorin::siphash<1, 3>(k0, k1, p, n)), ref_siphash(1, 3, k0, k1, msg)) << "length " << n;
        const auto suffix = static_cast<std::uint8_t>(rng());
        msg.push_back(suffix);
        ASSERT_EQ((velkorin::siphash<1, 3, true>(k0, k1, p, n, suffix)), ref_siphash(1, 3, k0, k1, msg))
            << "length " << n << " and a suffix byte";
    }
}

TEST(SipHash, OneShotIntegerAndMapKeyHashes) {
    std::mt19937_64 rng(777);
    const std::int64_t edge_values[] = {0, 1, -1, std::numeric_limits<std::int64_t>::min(),
                                     std::numeric_limits<std::int64_t>::max()};
    for (int iter = 0; iter < 2000; ++iter) {
        const HashKey key{rng(), rng()};
        const std::int64_t v = iter < 5 ? edge_values[iter] : static_cast<std::int64_t>(rng());
        const auto bytes = le_bytes(static_cast<std::uint64_t>(v));
        ASSERT_EQ(velkorin::siphash13_u64(key.k0, key.k1, static_cast<std::uint64_t>(v)),
                  ref_siphash(1, 3, key.k0, key.k1, bytes));
        ASSERT_EQ(velkorin::HashSetPolicy::hash(key, v), ref_siphash(1, 3, key.k0, key.k1, bytes));

        std::string text(iter % 40, '\0');
        for (auto& ch : text) ch = static_cast<char>(rng());
        std::vector<unsigned char> with_ff(text.begin(), text.end());
        with_ff.push_back(0xff);
        ASSERT_EQ(velkorin::HashMapPolicy::hash(key, text), ref_siphash(1, 3, key.k0, key.k1, with_ff));
    }
}

// ---------------------------------------------------------------------------
// Hash keys

TEST(HashKeys, EachTableTakesTheThreadKeyAndIncrementsK0) {
    const HashKey a = velkorin::next_hash_key();
    const HashKey b = velkorin::next_hash_key();
    EXPECT_EQ(b.k0, a.k0 + 1);
    EXPECT_EQ(b.k1, a.k1);

    // Keyed construction takes a key at once; the all-zero state at its
    // first insertion.
    HashSet lazy_set;
    HashSet keyed_set(velkorin::next_hash_key());
    HashMap<int> lazy_map;
    EXPECT_FALSE(lazy_set.keyed());
    lazy_map.insert("x", 1);
    lazy_set.insert(1);
    EXPECT_EQ(keyed_set.hash_key(), (HashKey{b.k0 + 1, a.k1}));
    EXPECT_EQ(lazy_map.hash_key(), (HashKey{b.k0 + 2, a.k1}));
    EXPECT_EQ(lazy_set.hash_key(), (HashKey{b.k0 + 3, a.k1}));

    HashKey other{};
    std::thread([&] { other = velkorin::next_hash_key(); }).join();
    EXPECT_NE(other, velkorin::next_hash_key()) << "another thread draws its own random pair";
}

// The operating system's source: fresh bytes at each call, and a long
// request (getentropy serves 256 bytes a call) filled to its end.
TEST(HashKeys, RandomSourceGivesFreshBytesToTheEnd) {
    unsigned char a[16] = {}, b[16] = {};
    velkorin::os_random_bytes(a, sizeof a);
    velkorin::os_random_bytes(b, sizeof b);
    EXPECT_NE(std::memcmp(a, b, sizeof a), 0);
    std::vector<unsigned char> big(1000, 0);
    velkorin::os_random_bytes(big.data(), big.size());
    EXPECT_LT(std::count(big.end() - 16, big.end(), 0), 16);
}

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
    const HashKey before = velkorin::next_hash_key();
    insert();
    EXPECT_TRUE(table.keyed());
    EXPECT_NE(table.hash_key(), (HashKey{0, 0}));
    EXPECT_EQ(table.hash_key(), (HashKey{before.k0 + 1, before.k1}));
    EXPECT_EQ(velkorin::next_hash_key(), (HashKey{before.k0 + 2, before.k1}));
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
using IdentityTable = velkorin::HashTable<IdentityPolicy>;

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
