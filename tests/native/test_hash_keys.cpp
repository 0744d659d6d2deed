// SipHash against a reference written from the algorithm's description and
// the published vectors, the hashes the map and the set take of their keys,
// and the per-thread hash keys.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <cstdint>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/hash_keys.hpp"
#include "core/platform.hpp"
#include "core/hash_map.hpp"
#include "core/hash_set.hpp"
#include "core/siphash.hpp"

using velkorin::core::HashKey;
using velkorin::core::HashMap;
using velkorin::core::HashSet;

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
        EXPECT_EQ((velkorin::core::siphash<2, 4>(k0, k1, msg.data(), n)), expected) << "length " << n;
        EXPECT_EQ(ref_siphash(2, 4, k0, k1, msg), expected) << "reference, length " << n;
        if (n > 0) {
            EXPECT_EQ((velkorin::core::siphash<2, 4, true>(k0, k1, msg.data(), n - 1, msg[n - 1])), expected)
                << "last byte as the suffix, length " << n;
        }
    }
    std::vector<unsigned char> eight(8);
    for (int i = 0; i < 8; ++i) eight[i] = static_cast<unsigned char>(i);
    EXPECT_EQ((velkorin::core::siphash_u64<2, 4>(k0, k1, le_word(eight.data()))), 0x93f5f5799a932462ULL);
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
        ASSERT_EQ((velkorin::core::siphash<1, 3>(k0, k1, p, n)), ref_siphash(1, 3, k0, k1, msg)) << "length " << n;
        const auto suffix = static_cast<std::uint8_t>(rng());
        msg.push_back(suffix);
        ASSERT_EQ((velkorin::core::siphash<1, 3, true>(k0, k1, p, n, suffix)), ref_siphash(1, 3, k0, k1, msg))
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
        ASSERT_EQ(velkorin::core::siphash13_u64(key.k0, key.k1, static_cast<std::uint64_t>(v)),
                  ref_siphash(1, 3, key.k0, key.k1, bytes));
        ASSERT_EQ(velkorin::core::HashSetPolicy::hash(key, v), ref_siphash(1, 3, key.k0, key.k1, bytes));

        std::string text(iter % 40, '\0');
        for (auto& ch : text) ch = static_cast<char>(rng());
        ASSERT_EQ(velkorin::core::BytesTextHash::of(text), ref_siphash(1, 3, 0, 0, std::vector<unsigned char>(text.begin(), text.end())));
    }
}

// ---------------------------------------------------------------------------
// Hash keys

TEST(HashKeys, EachTableTakesTheThreadKeyAndIncrementsK0) {
    const HashKey a = velkorin::core::next_hash_key();
    const HashKey b = velkorin::core::next_hash_key();
    EXPECT_EQ(b.k0, a.k0 + 1);
    EXPECT_EQ(b.k1, a.k1);

    // Keyed construction takes a key at once; the all-zero state at its
    // first insertion.
    HashSet lazy_set;
    HashSet keyed_set(velkorin::core::next_hash_key());
    HashMap<int> lazy_map;
    EXPECT_FALSE(lazy_set.keyed());
    lazy_map.insert("x", 1);
    lazy_set.insert(1);
    EXPECT_EQ(keyed_set.hash_key(), (HashKey{b.k0 + 1, a.k1}));
    EXPECT_EQ(lazy_map.hash_key(), (HashKey{b.k0 + 2, a.k1}));
    EXPECT_EQ(lazy_set.hash_key(), (HashKey{b.k0 + 3, a.k1}));

    HashKey other{};
    std::thread([&] { other = velkorin::core::next_hash_key(); }).join();
    EXPECT_NE(other, velkorin::core::next_hash_key()) << "another thread draws its own random pair";
}

// The operating system's source: fresh bytes at each call, and a long
// request (getentropy serves 256 bytes a call) filled to its end.
TEST(HashKeys, RandomSourceGivesFreshBytesToTheEnd) {
    unsigned char a[16] = {}, b[16] = {};
    velkorin::core::os_random_bytes(a, sizeof a);
    velkorin::core::os_random_bytes(b, sizeof b);
    EXPECT_NE(std::memcmp(a, b, sizeof a), 0);
    std::vector<unsigned char> big(1000, 0);
    velkorin::core::os_random_bytes(big.data(), big.size());
    EXPECT_LT(std::count(big.end() - 16, big.end(), 0), 16);
}

// The wide multiply the map's placement folds, and the four-product form
// that compilers without one take.
TEST(HashKeys, MultiplyFoldMatchesTheFourProductForm) {
    std::mt19937_64 rng(7);
    const std::uint64_t edges[] = {0, 1, 0xffffffff, 0x100000000, ~std::uint64_t{0}, 0x9e3779b97f4a7c15ULL};
    for (std::uint64_t a : edges)
        for (std::uint64_t b : edges) EXPECT_EQ(velkorin::core::multiply_fold(a, b), velkorin::core::multiply_fold_portable(a, b));
    for (int i = 0; i < 10000; ++i) {
        const std::uint64_t a = rng(), b = rng();
        ASSERT_EQ(velkorin::core::multiply_fold(a, b), velkorin::core::multiply_fold_portable(a, b));
    }
    EXPECT_EQ(velkorin::core::multiply_fold_portable(~std::uint64_t{0}, ~std::uint64_t{0}), ~std::uint64_t{0});
}

// place() under fixed keys: text hashes that an attacker who knows them
// could pick (sharing their low 10 bits, consecutive, differing only in the
// top bits) land on homes and control bytes as random ones would, and a table
// keyed next on the same thread places the same hashes elsewhere.
TEST(HashMapPlacement, SpreadsStructuredTextHashesLikeRandomOnes) {
    constexpr std::size_t n = 20000, buckets = std::size_t{1} << 15;
    std::mt19937_64 rng(2024);
    const std::function<std::uint64_t(std::uint64_t)> sets[] = {
        [&](std::uint64_t) { return rng() << 10 | 0x155; },
        [](std::uint64_t i) { return i; },
        [](std::uint64_t i) { return i << 32; },
        [](std::uint64_t i) { return (i & 0xff) | (i >> 8) << 56; },
    };
    for (int k = 0; k < 8; ++k) {
        const HashKey key{rng(), rng()};
        const HashMap<int> map(key), next(HashKey{key.k0 + 1, key.k1});
        for (const auto& make : sets) {
            std::vector<double> per_home(buckets), per_h2(128);
            std::size_t same_home = 0;
            for (std::uint64_t i = 0; i < n; ++i) {
                const std::uint64_t h = make(i), p = map.place(h);
                ++per_home[(p >> 7) & (buckets - 1)];
                ++per_h2[p & 0x7f];
                same_home += ((p ^ next.place(h)) >> 7) % buckets == 0;
            }
            double pairs = 0, chi = 0;
            for (double c : per_home) pairs += c * (c - 1) / 2;
            for (double c : per_h2) chi += (c - n / 128.0) * (c - n / 128.0) / (n / 128.0);
            EXPECT_LT(pairs, 1.1 * n * (n - 1) / 2 / buckets) << "colliding homes; random: 6103 +- 78";
            EXPECT_LT(chi, 220.0) << "control bytes; random: chi-square 127 +- 16";
            EXPECT_LT(same_home, 10u) << "random: 0.6";
        }
    }
}

}  // namespace
