// SipHash, per-thread hash keys, and the hash map/set core.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <type_traits>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "lib/core/hash_keys.hpp"
#include "lib/core/hash_table.hpp"
#include "lib/core/siphash.hpp"

using velkorin::HashKey;
using velkorin::HashMap;
using velkorin::HashSet;
using velkorin::String;

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
        ASSERT_EQ(velkorin::HashMapPolicy<int>::hash(key, text), ref_siphash(1, 3, key.k0, key.k1, with_ff));
    }
}

// ---------------------------------------------------------------------------
// Hash keys

TEST(HashKeys, EachTableTakesTheThreadKeyAndIncrementsK0) {
    const HashKey a = velkorin::next_hash_key();
    const HashKey b = velkorin::next_hash_key();
    EXPECT_EQ(b.k0, a.k0 + 1);
    EXPECT_EQ(b.k1, a.k1);

    HashSet s1, s2;
    HashMap<int> m;
    EXPECT_EQ(s1.hash_key().k0, b.k0 + 1);
    EXPECT_EQ(s2.hash_key().k0, b.k0 + 2);
    EXPECT_EQ(m.hash_key().k0, b.k0 + 3);
    EXPECT_EQ(m.hash_key().k1, a.k1);
    EXPECT_NE(s1.hash_key(), s2.hash_key());

    HashKey other{};
    std::thread([&] { other = velkorin::next_hash_key(); }).join();
    EXPECT_NE(other, velkorin::next_hash_key()) << "another thread draws its own random pair";
}

// ---------------------------------------------------------------------------
// Values that count their releases.

struct Ledger {
    std::unordered_map<int, int> released;  // id -> times released
    int created = 0;
    long live = 0;
};
Ledger ledger;

class Value {
public:
    explicit Value(int id) : id_(id) {
        ++ledger.created;
        ++ledger.live;
    }
    Value(Value&& o) noexcept : id_(std::exchange(o.id_, -1)) {}
    Value& operator=(Value&& o) noexcept {
        if (this != &o) {
            release();
            id_ = std::exchange(o.id_, -1);
        }
        return *this;
    }
    ~Value() { release(); }
    int id() const { return id_; }

private:
    void release() noexcept {
        if (id_ < 0) return;
        --ledger.live;
        ++ledger.released[id_];
        id_ = -1;
    }
    int id_;
};

static_assert(!std::is_copy_constructible_v<HashMap<Value>>);
static_assert(!std::is_copy_assignable_v<HashMap<Value>>);
static_assert(!std::is_copy_constructible_v<HashSet>);
static_assert(std::is_nothrow_move_constructible_v<HashMap<Value>>);

class HashMapTest : public ::testing::Test {
protected:
    void SetUp() override { ledger = Ledger{}; }
    void TearDown() override {
        EXPECT_EQ(ledger.live, 0) << "values still alive";
        EXPECT_EQ(ledger.released.size(), static_cast<std::size_t>(ledger.created));
        for (const auto& [id, times] : ledger.released) EXPECT_EQ(times, 1) << "value " << id;
    }
};

String S(std::string_view s) { return String(s.data(), s.size()); }

// Appends rather than prepends: g++ 12 at -O3 warns falsely on "k" + std::to_string(i).
std::string numbered(std::string_view prefix, long i) {
    std::string s(prefix);
    s += std::to_string(i);
    return s;
}

void expect_same_contents(const HashMap<Value>& map, const std::unordered_map<std::string, int>& model) {
    ASSERT_EQ(map.size(), model.size());
    std::size_t seen = 0;
    for (const auto& e : map) {
        auto it = model.find(std::string(e.key.data(), e.key.size()));
        ASSERT_NE(it, model.end());
        ASSERT_EQ(e.value.id(), it->second);
        ++seen;
    }
    ASSERT_EQ(seen, model.size());
}

std::vector<std::string> key_pool(std::mt19937_64& rng, std::size_t n) {
    std::vector<std::string> keys = {"", std::string(1, '\0'), std::string("a\0", 2), "a",
                                     std::string("a\0b", 3), "ab", std::string(2, '\xff')};
    std::unordered_set<std::string> seen(keys.begin(), keys.end());
    while (keys.size() < n) {
        std::string k(rng() % 24, '\0');
        for (auto& ch : k) ch = static_cast<char>(rng() % 4 == 0 ? rng() : 'a' + rng() % 3);
        if (seen.insert(k).second) keys.push_back(k);
    }
    keys.resize(n);
    return keys;
}

void map_differential(std::uint64_t seed, std::size_t nkeys, int ops) {
    std::mt19937_64 rng(seed);
    const auto keys = key_pool(rng, nkeys);
    HashMap<Value> map;
    std::unordered_map<std::string, int> model;
    int next_id = 0;
    std::size_t last_capacity = 0;
    for (int op = 0; op < ops; ++op) {
        const std::string& k = keys[rng() % keys.size()];
        switch (rng() % 8) {
            case 0: case 1: case 2: {
                const int id = next_id++;
                auto old = map.insert(S(k), Value(id));
                auto it = model.find(k);
                if (it == model.end()) {
                    ASSERT_FALSE(old.has_value());
                    model.emplace(k, id);
                } else {
                    ASSERT_TRUE(old.has_value());
                    ASSERT_EQ(old->id(), it->second);
                    const int old_id = it->second;
                    it->second = id;
                    { Value dropped(std::move(*old)); }  // reset() trips a false g++ 12 -O3 warning
                    ASSERT_EQ(ledger.released[old_id], 1);
                }
                break;
            }
            case 3: case 4: {
                auto out = map.remove(k);
                auto it = model.find(k);
                if (it == model.end()) {
                    ASSERT_FALSE(out.has_value());
                } else {
                    ASSERT_TRUE(out.has_value());
                    ASSERT_EQ(out->id(), it->second);
                    model.erase(it);
                }
                break;
            }
            case 5: case 6: {
                const Value* v = map.find(k);
                auto it = model.find(k);
                ASSERT_EQ(v != nullptr, it != model.end());
                if (v) {
                    ASSERT_EQ(v->id(), it->second);
                }
                break;
            }
            default:
                ASSERT_EQ(map.contains(k), model.count(k) == 1);
        }
        ASSERT_TRUE(map.verify()) << "after op " << op;
        ASSERT_EQ(map.size(), model.size());
        ASSERT_GE(map.capacity(), last_capacity) << "the table never shrinks";
        last_capacity = map.capacity();
        ASSERT_EQ(ledger.live, static_cast<long>(model.size()));
        if (op % 997 == 0) expect_same_contents(map, model);
    }
    expect_same_contents(map, model);
}

TEST_F(HashMapTest, DifferentialTinyKeyRangeChurnsTombstones) { map_differential(1, 8, 60000); }
TEST_F(HashMapTest, DifferentialMediumKeyRange) { map_differential(2, 64, 60000); }
TEST_F(HashMapTest, DifferentialWideKeyRange) { map_differential(3, 1500, 20000); }

TEST_F(HashMapTest, EmptyMapAllocatesNothing) {
    HashMap<Value> map;
    EXPECT_EQ(map.capacity(), 0u);
    EXPECT_EQ(map.find("a"), nullptr);
    EXPECT_FALSE(map.contains(""));
    EXPECT_FALSE(map.remove("a").has_value());
    EXPECT_EQ(map.begin(), map.end());
    EXPECT_EQ(map.entry_capacity(), 0u);
    EXPECT_TRUE(map.drain([](String&&, Value&&) { ADD_FAILURE(); }));
    EXPECT_EQ(map.capacity(), 0u);
    EXPECT_TRUE(map.verify());
}

TEST_F(HashMapTest, DistinctKeysAroundNulAndEmpty) {
    HashMap<Value> map;
    const std::string keys[] = {"", std::string(1, '\0'), std::string(2, '\0'), "a", std::string("a\0", 2),
                                std::string("a\0b", 3), "ab"};
    int id = 0;
    for (const auto& k : keys) EXPECT_FALSE(map.insert(S(k), Value(id++)).has_value());
    EXPECT_EQ(map.size(), std::size(keys));
    id = 0;
    for (const auto& k : keys) {
        ASSERT_NE(map.find(k), nullptr);
        EXPECT_EQ(map.find(k)->id(), id++);
    }
    EXPECT_EQ(map.find("a\0"), map.find("a")) << "a C string literal stops at the NUL";
    EXPECT_TRUE(map.verify());
}

TEST_F(HashMapTest, DestructorReleasesEveryValueOnce) {
    {
        HashMap<Value> map;
        for (int i = 0; i < 1000; ++i) map.insert(S(std::to_string(i)), Value(i));
        for (int i = 0; i < 1000; i += 3) map.remove(std::to_string(i));
        EXPECT_EQ(ledger.live, 666);
    }
    EXPECT_EQ(ledger.live, 0);  // TearDown checks each value was released exactly once
}

TEST_F(HashMapTest, MoveTransfersEntries) {
    HashMap<Value> a;
    for (int i = 0; i < 50; ++i) a.insert(S(std::to_string(i)), Value(i));
    const HashKey key = a.hash_key();
    HashMap<Value> b(std::move(a));
    EXPECT_EQ(b.size(), 50u);
    EXPECT_EQ(b.hash_key(), key);
    EXPECT_EQ(a.size(), 0u);  // NOLINT(bugprone-use-after-move): moved-from maps are empty and usable
    EXPECT_TRUE(a.verify());
    a.insert(S("x"), Value(100));
    HashMap<Value> c;
    c.insert(S("old"), Value(200));
    c = std::move(b);
    EXPECT_EQ(ledger.released[200], 1);
    EXPECT_EQ(c.size(), 50u);
    EXPECT_EQ(c.find("7")->id(), 7);
    EXPECT_TRUE(c.verify());
}

TEST_F(HashMapTest, ReplacedValueIsReturnedAfterTheMapIsConsistent) {
    HashMap<Value> map;
    map.insert(S("k"), Value(1));
    auto old = map.insert(S("k"), Value(2));
    ASSERT_TRUE(old.has_value());
    EXPECT_EQ(old->id(), 1);
    EXPECT_EQ(ledger.released.count(1), 0u) << "the caller decides when the old value goes";
    EXPECT_TRUE(map.verify());
    EXPECT_EQ(map.find("k")->id(), 2);
    { Value dropped(std::move(*old)); }  // reset() trips a false g++ 12 -O3 warning
    EXPECT_EQ(ledger.released[1], 1);
}

TEST_F(HashMapTest, SnapshotReserveAndDrain) {
    HashMap<Value> map;
    for (int i = 0; i < 777; ++i) map.insert(S(numbered("key", i)), Value(i));
    int id = 10000;
    for (std::size_t n : {0u, 1u, 14u, 15u, 777u, 1000u}) {
        HashMap<Value> snap;
        snap.reserve(n);
        const std::size_t cap = snap.capacity();
        EXPECT_GE(cap * 7 / 8, n);
        for (std::size_t i = 0; i < n; ++i) snap.insert(S(std::to_string(i)), Value(id++));
        EXPECT_EQ(snap.capacity(), cap) << "reserved for " << n;
        EXPECT_TRUE(snap.verify());
    }

    HashMap<Value> snap;
    snap.reserve(map.size());
    const std::size_t cap = snap.capacity();
    for (const auto& e : map) snap.insert(String(e.key), Value(e.value.id() + 100000));
    EXPECT_EQ(snap.capacity(), cap);

    std::vector<std::string> order;
    for (const auto& e : snap) order.emplace_back(e.key.data(), e.key.size());
    std::vector<std::string> inserted;
    for (const auto& e : map) inserted.emplace_back(e.key.data(), e.key.size());
    EXPECT_EQ(order, inserted) << "entries stay in insertion order";
    std::vector<std::string> drained;
    EXPECT_TRUE(snap.drain([&](String&& k, Value&& v) {
        drained.emplace_back(k.data(), k.size());
        EXPECT_EQ(v.id() - 100000, map.find(k)->id());
        EXPECT_TRUE(snap.verify());
    }));
    EXPECT_EQ(drained, order) << "drain goes in entry order";
    EXPECT_EQ(snap.tombstones(), 0u);
    EXPECT_EQ(snap.size(), 0u);
    EXPECT_TRUE(snap.verify());
    EXPECT_EQ(ledger.live, 777);
}

TEST_F(HashMapTest, DrainStoppedMidwayLeavesTheRestToTheDestructor) {
    int handed = 0;
    {
        HashMap<Value> map;
        for (int i = 0; i < 300; ++i) map.insert(S(std::to_string(i)), Value(i));
        EXPECT_FALSE(map.drain([&](String&&, Value&& v) {
            ++handed;
            if (v.id() % 2 == 0) Value take(std::move(v));  // some taken, others left in the entry
            return handed < 100;
        }));
        EXPECT_EQ(handed, 100);
        EXPECT_EQ(map.size(), 200u);
        EXPECT_EQ(ledger.live, 200);
        EXPECT_TRUE(map.verify());
        int found = 0;
        for (int i = 0; i < 300; ++i) found += map.contains(std::to_string(i));
        EXPECT_EQ(found, 200);
        map.insert(S("new"), Value(1000));
        EXPECT_TRUE(map.verify());
    }
    EXPECT_EQ(ledger.live, 0);
}

TEST_F(HashMapTest, DrainThatThrowsLeavesTheRestToTheDestructor) {
    {
        HashMap<Value> map;
        for (int i = 0; i < 64; ++i) map.insert(S(std::to_string(i)), Value(i));
        int calls = 0;
        EXPECT_THROW(map.drain([&](String&&, Value&&) {
            if (++calls == 10) throw std::runtime_error("dict store failed");
        }),
                     std::runtime_error);
        EXPECT_EQ(map.size(), 54u);
        EXPECT_EQ(ledger.live, 54);
        EXPECT_TRUE(map.verify());
    }
    EXPECT_EQ(ledger.live, 0);
}

TEST_F(HashMapTest, LongChurnKeepsCapacityAndEntries) {
    HashMap<Value> map;
    std::vector<std::string> live;
    for (int i = 0; i < 1000; ++i) {
        live.push_back(numbered("k", i));
        map.insert(S(live.back()), Value(i));
    }
    std::mt19937_64 rng(99);
    int next = 1000;
    for (int round = 0; round < 200000; ++round) {
        std::string& slot = live[rng() % live.size()];
        ASSERT_TRUE(map.remove(slot).has_value());
        slot = numbered("k", next);
        ASSERT_FALSE(map.insert(S(slot), Value(next++)).has_value());
        if (round % 20011 == 0) {
            ASSERT_TRUE(map.verify());
        }
    }
    EXPECT_LE(map.capacity(), 4096u);
    EXPECT_EQ(map.size(), 1000u);
    for (const auto& k : live) ASSERT_TRUE(map.contains(k));
    EXPECT_TRUE(map.verify());
}

// The entry array is dense and ordered: a model vector with the same
// swap-remove rule predicts the exact iteration order.
using Entries = std::vector<std::pair<std::string, int>>;

Entries entries_of(const HashMap<Value>& map) {
    Entries out;
    for (const auto& e : map) out.emplace_back(std::string(e.key.data(), e.key.size()), e.value.id());
    return out;
}

void swap_remove(Entries& model, std::size_t i) {
    model[i] = std::move(model.back());
    model.pop_back();
}

std::size_t position_of(const Entries& model, const std::string& k) {
    for (std::size_t i = 0; i < model.size(); ++i)
        if (model[i].first == k) return i;
    return model.size();
}

TEST_F(HashMapTest, SwapRemoveFromMiddleLastAndFirst) {
    HashMap<Value> map;
    Entries model;
    for (int i = 0; i < 10; ++i) {
        model.emplace_back(numbered("k", i), i);
        map.insert(S(model.back().first), Value(i));
    }
    ASSERT_EQ(entries_of(map), model) << "insertion order";
    for (const std::string victim : {"k4", "k8", "k0", "k9", "k7"}) {  // middle, last, first, moved, last
        const std::size_t at = position_of(model, victim);
        ASSERT_LT(at, model.size());
        auto out = map.remove(victim);
        ASSERT_TRUE(out.has_value());
        EXPECT_EQ(out->id(), model[at].second);
        swap_remove(model, at);
        ASSERT_TRUE(map.verify()) << "after removing " << victim;
        ASSERT_EQ(entries_of(map), model) << "after removing " << victim;
        for (const auto& [k, id] : model) {
            ASSERT_NE(map.find(k), nullptr) << k;
            EXPECT_EQ(map.find(k)->id(), id);
        }
        EXPECT_EQ(map.find(victim), nullptr);
    }
    while (!model.empty()) {
        ASSERT_TRUE(map.remove(model.front().first).has_value());
        swap_remove(model, 0);
        ASSERT_TRUE(map.verify());
        ASSERT_EQ(entries_of(map), model);
    }
    EXPECT_EQ(map.tombstones(), 0u);
    map.insert(S("again"), Value(50));
    EXPECT_EQ(map.begin()->key, S("again"));
    EXPECT_TRUE(map.verify());
}

TEST_F(HashMapTest, ChurnMatchesAModelArrayAfterEveryOperation) {
    std::mt19937_64 rng(31337);
    const auto keys = key_pool(rng, 40);
    HashMap<Value> map;
    Entries model;
    int next_id = 0;
    for (int op = 0; op < 20000; ++op) {
        const std::string& k = keys[rng() % keys.size()];
        const std::size_t at = position_of(model, k);
        if (rng() % 2 == 0) {
            const int id = next_id++;
            auto old = map.insert(S(k), Value(id));
            ASSERT_EQ(old.has_value(), at < model.size());
            if (at < model.size()) {
                ASSERT_EQ(old->id(), model[at].second);
                model[at].second = id;  // replacing keeps the position
            } else {
                model.emplace_back(k, id);
            }
        } else {
            auto out = map.remove(k);
            ASSERT_EQ(out.has_value(), at < model.size());
            if (at < model.size()) {
                ASSERT_EQ(out->id(), model[at].second);
                swap_remove(model, at);
            }
        }
        ASSERT_TRUE(map.verify()) << "after op " << op;
        ASSERT_EQ(entries_of(map), model) << "after op " << op;
        ASSERT_EQ(ledger.live, static_cast<long>(model.size()));
    }
}

TEST_F(HashMapTest, DrainOrderIsEntryOrderAndAStoppedDrainKeepsTheRestInOrder) {
    for (int stop_after : {1, 17, 60, 1000}) {
        HashMap<Value> map;
        for (int i = 0; i < 200; ++i) map.insert(S(numbered("d", i)), Value(stop_after * 1000 + i));
        for (int i = 0; i < 200; i += 7) map.remove(numbered("d", i));  // order is no longer insertion order
        const auto before = entries_of(map);
        Entries drained;
        const bool finished = map.drain([&](String&& k, Value&& v) {
            drained.emplace_back(std::string(k.data(), k.size()), v.id());
            EXPECT_TRUE(map.verify());
            EXPECT_EQ(map.size(), before.size() - drained.size());
            EXPECT_FALSE(map.contains(drained.back().first)) << "handed out entries are gone";
            return static_cast<int>(drained.size()) < stop_after;
        });
        const std::size_t n = std::min<std::size_t>(stop_after, before.size());
        EXPECT_EQ(finished, n == before.size());
        ASSERT_EQ(drained.size(), n);
        EXPECT_TRUE(std::equal(drained.begin(), drained.end(), before.begin()));
        EXPECT_EQ(entries_of(map), Entries(before.begin() + n, before.end()));
        EXPECT_TRUE(map.verify());
        for (std::size_t i = n; i < before.size(); ++i) EXPECT_EQ(map.find(before[i].first)->id(), before[i].second);
    }
}

TEST_F(HashMapTest, ThrowingDrainKeepsTheRestInOrder) {
    HashMap<Value> map;
    for (int i = 0; i < 50; ++i) map.insert(S(std::to_string(i)), Value(i));
    const auto before = entries_of(map);
    int calls = 0;
    EXPECT_THROW(map.drain([&](String&&, Value&&) {
        if (++calls == 5) throw std::runtime_error("stop");
    }),
                 std::runtime_error);
    EXPECT_EQ(entries_of(map), Entries(before.begin() + 5, before.end()));
    EXPECT_TRUE(map.verify());
}

TEST_F(HashMapTest, ReserveAvoidsEveryReallocation) {
    int id = 0;
    for (std::size_t n : {1u, 8u, 9u, 14u, 15u, 100u, 5000u}) {
        HashMap<Value> map;
        map.reserve(n);
        EXPECT_GE(map.entry_capacity(), n);
        const std::size_t cap = map.capacity(), entry_cap = map.entry_capacity();
        map.insert(S("first"), Value(id++));
        const auto* first = &*map.begin();
        for (std::size_t i = 1; i < n; ++i) map.insert(S(std::to_string(i)), Value(id++));
        EXPECT_EQ(map.capacity(), cap) << n;
        EXPECT_EQ(map.entry_capacity(), entry_cap) << n;
        EXPECT_EQ(&*map.begin(), first) << "entries did not move, n = " << n;
        EXPECT_TRUE(map.verify());
    }
    // With tombstones and spare entries around, reserving for more still
    // covers every following insertion.
    HashMap<Value> map;
    for (int i = 0; i < 300; ++i) map.insert(S(numbered("t", i)), Value(id++));
    for (int i = 0; i < 300; i += 2) map.remove(numbered("t", i));
    map.reserve(map.size() + 700);
    const std::size_t cap = map.capacity(), entry_cap = map.entry_capacity();
    const auto* first = &*map.begin();
    for (int i = 0; i < 700; ++i) map.insert(S(numbered("u", i)), Value(id++));
    EXPECT_EQ(map.capacity(), cap);
    EXPECT_EQ(map.entry_capacity(), entry_cap);
    EXPECT_EQ(&*map.begin(), first);
    EXPECT_EQ(map.size(), 850u);
    EXPECT_TRUE(map.verify());
}

TEST_F(HashMapTest, GrowthDoublesBothPartsAndNeverShrinks) {
    HashMap<Value> map;
    std::size_t cap = 0, entry_cap = 0;
    for (int i = 0; i < 3000; ++i) {
        map.insert(S(std::to_string(i)), Value(i));
        if (map.capacity() != cap) {
            EXPECT_TRUE(cap == 0 ? map.capacity() == 16 : map.capacity() == 2 * cap) << map.capacity();
            cap = map.capacity();
        }
        if (map.entry_capacity() != entry_cap) {
            EXPECT_TRUE(entry_cap == 0 || map.entry_capacity() == 2 * entry_cap) << map.entry_capacity();
            entry_cap = map.entry_capacity();
        }
        ASSERT_GE(entry_cap, map.size());
    }
    for (int i = 0; i < 3000; ++i) map.remove(std::to_string(i));
    EXPECT_EQ(map.capacity(), cap);
    EXPECT_EQ(map.entry_capacity(), entry_cap);
    EXPECT_TRUE(map.verify());
}

// Values that check, whenever a live one is released, that the map is
// consistent and no longer holds it.
HashMap<struct Watched>* watched_map = nullptr;
int watched_releases = 0;

struct Watched {
    explicit Watched(int i) : id(i) {}
    Watched(Watched&& o) noexcept : id(std::exchange(o.id, -1)) {}
    Watched& operator=(Watched&& o) noexcept {
        if (this != &o) {
            release();
            id = std::exchange(o.id, -1);
        }
        return *this;
    }
    ~Watched() { release(); }
    void release() noexcept {
        if (id < 0) return;
        ++watched_releases;
        if (watched_map != nullptr) {
            EXPECT_TRUE(watched_map->verify()) << "released value " << id;
            watched_map->for_each([&](std::string_view, const Watched& w) { EXPECT_NE(w.id, id); });
        }
        id = -1;
    }
    int id;
};

TEST(HashMapRelease, EveryPathReleasesOnceWithTheMapConsistent) {
    watched_releases = 0;
    {
        HashMap<Watched> map;
        watched_map = &map;
        for (int i = 0; i < 100; ++i) map.insert(S(std::to_string(i)), Watched(i));
        EXPECT_EQ(watched_releases, 0);
        map.insert(S("5"), Watched(1005));  // replaced value returned and dropped here
        EXPECT_EQ(watched_releases, 1);
        for (int i = 0; i < 100; i += 3) map.remove(std::to_string(i));  // includes first, middle and last positions
        EXPECT_EQ(watched_releases, 35);
        int handed = 0;
        map.drain([&](String&&, Watched&& w) {
            if (++handed % 2 == 0) Watched taken(std::move(w));  // released inside f
            return handed < 20;
        });  // the rest of the 20 go with the drained entry
        EXPECT_EQ(watched_releases, 55);
        EXPECT_EQ(map.size(), 46u);
        EXPECT_TRUE(map.verify());
        watched_map = nullptr;
    }
    EXPECT_EQ(watched_releases, 101) << "the destructor released the other 46";
}

// ---------------------------------------------------------------------------
// Set

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
        ASSERT_TRUE(set.verify()) << "after op " << op;
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
    EXPECT_TRUE(set.verify());
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
    EXPECT_TRUE(set.verify());
    for (std::int64_t i = 0; i < 5000; ++i) ASSERT_TRUE(set.insert(-i));
    EXPECT_EQ(set.capacity(), full) << "reinsertion after removal reuses the space";
    EXPECT_TRUE(set.verify());
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
    velkorin::Vec<std::int64_t> walked;
    set.for_each([&](std::int64_t v) { walked.push_back(v); });
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

TEST(HashSetTest, LongChurnStaysFastAndBounded) {
    HashSet set;
    std::mt19937_64 rng(2024);
    std::vector<std::int64_t> live;
    for (int i = 0; i < 1000; ++i) {
        live.push_back(static_cast<std::int64_t>(rng()));
        ASSERT_TRUE(set.insert(live.back()));
    }
    std::size_t max_tombstones = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int round = 0; round < 1000000; ++round) {
        std::int64_t& slot = live[rng() % live.size()];
        ASSERT_TRUE(set.remove(slot));
        slot = static_cast<std::int64_t>(rng());
        ASSERT_TRUE(set.insert(slot));
        max_tombstones = std::max(max_tombstones, set.tombstones());
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LE(set.capacity(), 4096u);
    EXPECT_LT(max_tombstones, set.capacity());
    EXPECT_EQ(set.size(), 1000u);
    for (std::int64_t v : live) ASSERT_TRUE(set.contains(v));
    EXPECT_TRUE(set.verify());
    // About 0.1 s optimised and a few seconds under sanitizers; a table that
    // degrades to long scans takes far longer.
    EXPECT_LT(seconds, 20.0);
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
    EXPECT_TRUE(set.verify());
    for (std::int64_t v = 0; v < 13; ++v) EXPECT_TRUE(set.contains(v));
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

bool table_insert(IdentityTable& t, std::uint64_t v) {
    if (t.find(v, t.hash(v)) != nullptr) return false;
    t.insert_new(t.hash(v), v);
    return true;
}

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
        ASSERT_TRUE(t.verify());
    }
    ASSERT_EQ(t.capacity(), 16u);
    // Tombstones in buckets 0..7: each has a full bucket after it.
    for (std::uint64_t j = 1; j <= 8; ++j) {
        ASSERT_TRUE(table_remove(t, cluster[j]));
        ASSERT_TRUE(t.verify());
    }
    EXPECT_EQ(t.tombstones(), 8u);
    // Home 13 is EMPTY and nothing is left to spend: with 6 live entries the
    // table rebuilds at the same size, moving the wrapped entries home.
    ASSERT_TRUE(table_insert(t, homed(13, 99)));
    ASSERT_TRUE(t.verify());
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
            ASSERT_TRUE(t.verify()) << "op " << op << " live target " << live_target;
            ASSERT_EQ(t.size(), model.size());
        }
        std::unordered_set<std::uint64_t> contents(t.begin(), t.end());
        EXPECT_EQ(contents, model);
    }
}

}  // namespace
