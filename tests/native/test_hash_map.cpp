// The hash map core: differential against std::unordered_map, entry order,
// value releases, inline and long keys, snapshots.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core_checks.hpp"
#include "core/hash_keys.hpp"
#include "core/hash_map.hpp"

using velkorin::testing::Valid;
using velkorin::core::HashKey;
using velkorin::core::HashMap;

namespace {

// Values that count their releases.
struct Ledger {
    std::unordered_map<int, int> released;  // id -> times released
    std::vector<int> order;                 // ids in order of release
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
        ledger.order.push_back(id_);
        id_ = -1;
    }
    int id_;
};

static_assert(!std::is_copy_constructible_v<HashMap<Value>>);
static_assert(!std::is_copy_assignable_v<HashMap<Value>>);
static_assert(std::is_nothrow_move_constructible_v<HashMap<Value>>);
static_assert(sizeof(HashMap<Value>::Entry) == 32 && sizeof(HashMap<void*>::Entry) == 32);

class HashMapTest : public ::testing::Test {
protected:
    void SetUp() override { ledger = Ledger{}; }
    void TearDown() override {
        EXPECT_EQ(ledger.live, 0) << "values still alive";
        EXPECT_EQ(ledger.released.size(), static_cast<std::size_t>(ledger.created));
        for (const auto& [id, times] : ledger.released) EXPECT_EQ(times, 1) << "value " << id;
    }
};

// Appends rather than prepends: g++ 12 at -O3 warns falsely on "k" + std::to_string(i).
std::string numbered(std::string_view prefix, long i) {
    std::string s(prefix);
    s += std::to_string(i);
    return s;
}

Value copy_plus(const Value& v) noexcept { return Value(v.id() + 100000); }

template <class Map>
void expect_same_contents(const Map& map, const std::unordered_map<std::string, int>& model) {
    ASSERT_EQ(map.size(), model.size());
    std::size_t seen = 0;
    for (const auto& e : map) {
        auto it = model.find(std::string(e.key.view()));
        ASSERT_NE(it, model.end());
        ASSERT_EQ(e.value.id(), it->second);
        ++seen;
    }
    ASSERT_EQ(seen, model.size());
}

// Keys around NUL, empty, and both sides of the inline limit of 15 bytes.
std::vector<std::string> key_pool(std::mt19937_64& rng, std::size_t n) {
    std::vector<std::string> keys = {"", std::string(1, '\0'), std::string("a\0", 2), "a",
                                     std::string("a\0b", 3), "ab", std::string(2, '\xff'),
                                     std::string(14, 'x'), std::string(15, 'x'), std::string(16, 'x'),
                                     std::string(15, '\0'), std::string(16, '\0')};
    std::unordered_set<std::string> seen(keys.begin(), keys.end());
    while (keys.size() < n) {
        std::string k(rng() % 24, '\0');
        for (auto& ch : k) ch = static_cast<char>(rng() % 4 == 0 ? rng() : 'a' + rng() % 3);
        if (seen.insert(k).second) keys.push_back(k);
    }
    keys.resize(n);
    return keys;
}

// Text hashes in three values only: every key shares its full text hash with
// a third of the others, so the map must tell them apart by their bytes.
struct ThreeTextHashes {
    static std::uint64_t of(std::string_view text) noexcept { return text.size() % 3 * 0x9e3779b97f4a7c15ULL; }
};

// Half of the operations hand the key in as a TextKey whose text follows 16
// bytes of noise, to be loaded as the two words that end with it.
template <class TextHash = velkorin::core::BytesTextHash, class Map = HashMap<Value, TextHash>>
void map_differential(std::uint64_t seed, std::size_t nkeys, int ops) {
    std::mt19937_64 rng(seed);
    const auto keys = key_pool(rng, nkeys);
    Map map;
    std::unordered_map<std::string, int> model;
    int next_id = 0;
    std::size_t last_capacity = 0;
    std::string noisy;
    for (int op = 0; op < ops; ++op) {
        const std::string& text = keys[rng() % keys.size()];
        noisy.assign(16, '\0');
        for (auto& ch : noisy) ch = static_cast<char>(rng());
        noisy += text;
        const std::string_view after_noise(noisy.data() + 16, text.size());
        const bool as_words = rng() % 2 == 0;
        const auto k = velkorin::core::TextKey{as_words ? after_noise : std::string_view(text), TextHash::of(text), as_words};
        switch (rng() % 8) {
            case 0: case 1: case 2: {
                const int id = next_id++;
                auto old = map.insert(k, Value(id));
                auto it = model.find(text);
                if (it == model.end()) {
                    ASSERT_FALSE(old.has_value());
                    model.emplace(text, id);
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
                auto it = model.find(text);
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
                auto it = model.find(text);
                ASSERT_EQ(v != nullptr, it != model.end());
                if (v) {
                    ASSERT_EQ(v->id(), it->second);
                }
                break;
            }
            default:
                ASSERT_EQ(map.contains(k), model.count(text) == 1);
        }
        ASSERT_TRUE(Valid(map)) << "after op " << op;
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
TEST_F(HashMapTest, DifferentialWithFullyCollidingTextHashes) {
    map_differential<ThreeTextHashes>(4, 300, 20000);
}

TEST_F(HashMapTest, EmptyMapAllocatesNothing) {
    HashMap<Value> map;
    EXPECT_EQ(map.capacity(), 0u);
    EXPECT_EQ(map.find("a"), nullptr);
    EXPECT_FALSE(map.contains(""));
    EXPECT_FALSE(map.remove("a").has_value());
    EXPECT_EQ(map.begin(), map.end());
    EXPECT_EQ(map.entry_capacity(), 0u);
    EXPECT_TRUE(map.drain([](std::string_view, Value&&) { ADD_FAILURE(); }));
    EXPECT_EQ(map.capacity(), 0u);
    EXPECT_FALSE(map.keyed());
    EXPECT_TRUE(Valid(map));
}

TEST_F(HashMapTest, DistinctKeysAroundNulEmptyAndTheInlineLimit) {
    HashMap<Value> map;
    const std::string keys[] = {"", std::string(1, '\0'), std::string(2, '\0'), "a", std::string("a\0", 2),
                                std::string("a\0b", 3), "ab", std::string(15, 'z'), std::string(16, 'z'),
                                std::string(14, 'z') + '\0', std::string(15, 'z') + '\0', std::string(40, 'z')};
    int id = 0;
    for (const auto& k : keys) EXPECT_FALSE(map.insert(k, Value(id++)).has_value());
    EXPECT_EQ(map.size(), std::size(keys));
    id = 0;
    for (const auto& k : keys) {
        ASSERT_NE(map.find(k), nullptr);
        EXPECT_EQ(map.find(k)->id(), id++);
    }
    EXPECT_EQ(map.find("a\0"), map.find("a")) << "a C string literal stops at the NUL";
    std::size_t inline_keys = 0;
    for (const auto& e : map) {
        EXPECT_EQ(e.key.is_inline(), e.key.size() <= 15) << e.key.size();
        inline_keys += e.key.is_inline();
        if (e.key.is_inline()) {
            EXPECT_GE(e.key.data(), reinterpret_cast<const char*>(&e)) << "inline bytes lie in the entry";
        }
    }
    EXPECT_EQ(inline_keys, 9u);
    EXPECT_TRUE(Valid(map));
}

TEST_F(HashMapTest, DestructorReleasesEveryValueOnceInEntryOrder) {
    std::vector<int> entry_order;
    std::size_t released_before = 0;
    {
        HashMap<Value> map;
        for (int i = 0; i < 1000; ++i) map.insert(std::to_string(i), Value(i));
        for (int i = 0; i < 1000; i += 3) map.remove(std::to_string(i));
        EXPECT_EQ(ledger.live, 666);
        for (const auto& e : map) entry_order.push_back(e.value.id());
        released_before = ledger.order.size();
    }
    EXPECT_EQ(ledger.live, 0);  // TearDown checks each value was released exactly once
    EXPECT_EQ(std::vector<int>(ledger.order.begin() + static_cast<long>(released_before), ledger.order.end()), entry_order);
}

TEST_F(HashMapTest, MoveTransfersEntriesAndLeavesTheZeroState) {
    HashMap<Value> a(velkorin::core::next_hash_key());
    for (int i = 0; i < 50; ++i) a.insert(std::to_string(i), Value(i));
    const HashKey key = a.hash_key();
    HashMap<Value> b(std::move(a));
    EXPECT_EQ(b.size(), 50u);
    EXPECT_EQ(b.hash_key(), key);
    EXPECT_EQ(a.size(), 0u);  // NOLINT(bugprone-use-after-move): moved-from maps are empty and usable
    EXPECT_FALSE(a.keyed());
    EXPECT_TRUE(Valid(a));
    a.insert("x", Value(100));
    EXPECT_NE(a.hash_key(), key) << "a fresh key, not the one that moved away";
    HashMap<Value> c;
    c.insert("old", Value(200));
    c = std::move(b);
    EXPECT_EQ(ledger.released[200], 1);
    EXPECT_EQ(c.size(), 50u);
    EXPECT_EQ(c.find("7")->id(), 7);
    EXPECT_TRUE(Valid(c));
}

TEST_F(HashMapTest, ReplacedValueIsReturnedAfterTheMapIsConsistent) {
    HashMap<Value> map;
    map.insert("k", Value(1));
    auto old = map.insert("k", Value(2));
    ASSERT_TRUE(old.has_value());
    EXPECT_EQ(old->id(), 1);
    EXPECT_EQ(ledger.released.count(1), 0u) << "the caller decides when the old value goes";
    EXPECT_TRUE(Valid(map));
    EXPECT_EQ(map.find("k")->id(), 2);
    { Value dropped(std::move(*old)); }  // reset() trips a false g++ 12 -O3 warning
    EXPECT_EQ(ledger.released[1], 1);
}

TEST_F(HashMapTest, SnapshotCopiesInEntryOrderUnderItsOwnKeyAndDrains) {
    HashMap<Value> map;
    for (int i = 0; i < 777; ++i) map.insert(numbered(i % 3 ? "key" : "a longer key, out of line ", i), Value(i));
    for (int i = 0; i < 777; i += 5) map.remove(numbered(i % 3 ? "key" : "a longer key, out of line ", i));
    int id = 1000;
    for (std::size_t n : {0u, 1u, 14u, 15u, 600u}) {
        HashMap<Value> part;
        for (std::size_t i = 0; i < n; ++i) part.insert(std::to_string(i), Value(id++));
        const HashKey key{n, 99};
        HashMap<Value> snap(part, key, copy_plus);
        EXPECT_EQ(snap.hash_key(), key);
        EXPECT_EQ(snap.size(), n);
        EXPECT_EQ(snap.capacity(), n == 0 ? 0u : velkorin::core::hash_table_detail::capacity_for(n)) << "sized at once";
        EXPECT_EQ(snap.tombstones(), 0u);
        EXPECT_TRUE(Valid(snap));
    }

    HashMap<Value> snap(map, velkorin::core::next_hash_key(), copy_plus);
    EXPECT_NE(snap.hash_key(), map.hash_key());
    std::vector<std::string> order, inserted;
    for (const auto& e : snap) order.emplace_back(e.key.view());
    for (const auto& e : map) inserted.emplace_back(e.key.view());
    EXPECT_EQ(order, inserted) << "the snapshot keeps the entry order";
    for (std::size_t i = 0; i < map.size(); ++i) {
        const std::uint64_t h = map.begin()[i].hash;
        EXPECT_NE(snap.begin()[i].key.data(), map.begin()[i].key.data()) << "key bytes are duplicated";
        EXPECT_EQ(snap.begin()[i].hash, h) << "the text hash goes along";
        EXPECT_NE(snap.place(h), map.place(h)) << "placed anew under the snapshot's key";
    }
    std::vector<std::string> drained;
    EXPECT_TRUE(snap.drain([&](std::string_view k, Value&& v) {
        drained.emplace_back(k);
        EXPECT_EQ(v.id() - 100000, map.find(k)->id());
        EXPECT_TRUE(Valid(snap));
    }));
    EXPECT_EQ(drained, order) << "drain goes in entry order";
    EXPECT_EQ(snap.tombstones(), 0u);
    EXPECT_EQ(snap.size(), 0u);
    EXPECT_TRUE(Valid(snap));
    EXPECT_EQ(ledger.live, static_cast<long>(map.size()));
}

TEST_F(HashMapTest, DrainStoppedMidwayLeavesTheRestToTheDestructor) {
    int handed = 0;
    {
        HashMap<Value> map;
        for (int i = 0; i < 300; ++i) map.insert(std::to_string(i), Value(i));
        EXPECT_FALSE(map.drain([&](std::string_view, Value&& v) {
            ++handed;
            if (v.id() % 2 == 0) Value take(std::move(v));  // some taken, others left to the drain
            return handed < 100;
        }));
        EXPECT_EQ(handed, 100);
        EXPECT_EQ(map.size(), 200u);
        EXPECT_EQ(ledger.live, 200);
        EXPECT_TRUE(Valid(map));
        int found = 0;
        for (int i = 0; i < 300; ++i) found += map.contains(std::to_string(i));
        EXPECT_EQ(found, 200);
        map.insert("new", Value(1000));
        EXPECT_TRUE(Valid(map));
    }
    EXPECT_EQ(ledger.live, 0);
}

TEST_F(HashMapTest, LongChurnKeepsCapacityAndEntries) {
    HashMap<Value> map;
    std::vector<std::string> live;
    for (int i = 0; i < 1000; ++i) {
        live.push_back(numbered(i % 4 ? "k" : "a key beyond the inline limit ", i));
        map.insert(live.back(), Value(i));
    }
    std::mt19937_64 rng(99);
    int next = 1000;
    for (int round = 0; round < 200000; ++round) {
        std::string& slot = live[rng() % live.size()];
        ASSERT_TRUE(map.remove(slot).has_value());
        slot = numbered(next % 4 ? "k" : "a key beyond the inline limit ", next);
        ASSERT_FALSE(map.insert(slot, Value(next++)).has_value());
        if (round % 20011 == 0) {
            ASSERT_TRUE(Valid(map));
        }
    }
    EXPECT_LE(map.capacity(), 4096u);
    EXPECT_EQ(map.size(), 1000u);
    for (const auto& k : live) ASSERT_TRUE(map.contains(k));
    EXPECT_TRUE(Valid(map));
}

// The entry array is dense and ordered: a model vector with the same
// swap-remove rule predicts the exact iteration order.
using Entries = std::vector<std::pair<std::string, int>>;

Entries entries_of(const HashMap<Value>& map) {
    Entries out;
    for (const auto& e : map) out.emplace_back(std::string(e.key.view()), e.value.id());
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
        map.insert(model.back().first, Value(i));
    }
    ASSERT_EQ(entries_of(map), model) << "insertion order";
    for (const std::string victim : {"k4", "k8", "k0", "k9", "k7"}) {  // middle, last, first, moved, last
        const std::size_t at = position_of(model, victim);
        ASSERT_LT(at, model.size());
        auto out = map.remove(victim);
        ASSERT_TRUE(out.has_value());
        EXPECT_EQ(out->id(), model[at].second);
        swap_remove(model, at);
        ASSERT_TRUE(Valid(map)) << "after removing " << victim;
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
        ASSERT_TRUE(Valid(map));
        ASSERT_EQ(entries_of(map), model);
    }
    EXPECT_EQ(map.tombstones(), 0u);
    map.insert("again", Value(50));
    EXPECT_EQ(map.begin()->key.view(), "again");
    EXPECT_TRUE(Valid(map));
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
            auto old = map.insert(k, Value(id));
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
        ASSERT_TRUE(Valid(map)) << "after op " << op;
        ASSERT_EQ(entries_of(map), model) << "after op " << op;
        ASSERT_EQ(ledger.live, static_cast<long>(model.size()));
    }
}

TEST_F(HashMapTest, DrainOrderIsEntryOrderAndAStoppedDrainKeepsTheRestInOrder) {
    for (int stop_after : {1, 17, 60, 1000}) {
        HashMap<Value> map;
        for (int i = 0; i < 200; ++i) map.insert(numbered(i % 2 ? "d" : "a long drained key ", i), Value(stop_after * 1000 + i));
        for (int i = 0; i < 200; i += 7) map.remove(numbered(i % 2 ? "d" : "a long drained key ", i));  // no longer insertion order
        const auto before = entries_of(map);
        Entries drained;
        const bool finished = map.drain([&](std::string_view k, Value&& v) {
            drained.emplace_back(std::string(k), v.id());
            EXPECT_TRUE(Valid(map));
            EXPECT_EQ(map.size(), before.size() - drained.size());
            EXPECT_FALSE(map.contains(drained.back().first)) << "handed out entries are gone";
            return static_cast<int>(drained.size()) < stop_after;
        });
        const std::size_t n = std::min<std::size_t>(stop_after, before.size());
        EXPECT_EQ(finished, n == before.size());
        ASSERT_EQ(drained.size(), n);
        EXPECT_TRUE(std::equal(drained.begin(), drained.end(), before.begin()));
        EXPECT_EQ(entries_of(map), Entries(before.begin() + n, before.end()));
        EXPECT_TRUE(Valid(map));
        for (std::size_t i = n; i < before.size(); ++i) EXPECT_EQ(map.find(before[i].first)->id(), before[i].second);
    }
}

// Deallocation's drain: values in entry order, stopping and resuming, the
// keys and the moved-from values left to the destructor.
TEST_F(HashMapTest, DrainValuesStopsResumesAndLeavesTheRestToTheDestructor) {
    {
        HashMap<Value> map;
        for (int i = 0; i < 100; ++i) map.insert(numbered(i % 3 ? "t" : "a long taken key ", i), Value(i));
        for (int i = 0; i < 100; i += 9) map.remove(numbered(i % 3 ? "t" : "a long taken key ", i));
        const auto before = entries_of(map);
        std::vector<int> taken;
        std::size_t next = 0;
        const auto take_three = [&](Value&& v) {
            taken.push_back(v.id());
            return taken.size() % 3 != 0;
        };
        while (!map.drain_values(next, take_three)) EXPECT_EQ(next, taken.size());
        ASSERT_EQ(taken.size(), before.size());
        for (std::size_t i = 0; i < taken.size(); ++i) EXPECT_EQ(taken[i], before[i].second);
        EXPECT_EQ(ledger.live, 0);
    }
    EXPECT_EQ(ledger.live, 0);
}

TEST_F(HashMapTest, ThrowingDrainKeepsTheRestInOrderForTheDestructor) {
    {
        HashMap<Value> map;
        for (int i = 0; i < 64; ++i) map.insert(std::to_string(i), Value(i));
        const auto before = entries_of(map);
        int calls = 0;
        EXPECT_THROW(map.drain([&](std::string_view, Value&&) {
            if (++calls == 10) throw std::runtime_error("dict store failed");
        }),
                     std::runtime_error);
        EXPECT_EQ(entries_of(map), Entries(before.begin() + 10, before.end()));
        EXPECT_EQ(ledger.live, 54);
        EXPECT_TRUE(Valid(map));
    }
    EXPECT_EQ(ledger.live, 0);
}

TEST_F(HashMapTest, GrowthDoublesInOneBlockAndNeverShrinks) {
    HashMap<Value> map;
    std::size_t cap = 0;
    const Value* first = nullptr;
    for (int i = 0; i < 3000; ++i) {
        map.insert(std::to_string(i), Value(i));
        if (map.capacity() != cap) {
            EXPECT_TRUE(cap == 0 ? map.capacity() == 16 : map.capacity() == 2 * cap) << map.capacity();
            EXPECT_EQ(map.size(), cap - cap / 8 + 1) << "grows exactly when the entries are full";
            cap = map.capacity();
            first = &map.begin()->value;
        }
        EXPECT_EQ(&map.begin()->value, first) << "entries move only when the table grows";
        ASSERT_EQ(map.entry_capacity(), cap - cap / 8);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(&*map.begin()) % 32, 0u) << "entries never straddle a cache line";
    }
    for (int i = 0; i < 3000; ++i) map.remove(std::to_string(i));
    EXPECT_EQ(map.capacity(), cap);
    EXPECT_TRUE(Valid(map));
}

TEST(HashMapGrowth, TriviallyRelocatableValuesGrowByReallocation) {
    static_assert(velkorin::core::is_trivially_relocatable_v<int>);
    HashMap<int> map;
    std::size_t cap = 0;
    for (int i = 0; i < 20000; ++i) {
        map.insert(numbered(i % 5 ? "r" : "a key that lives out of line ", i), i);
        if (map.capacity() != cap) {
            cap = map.capacity();
            ASSERT_TRUE(Valid(map)) << "after growing to " << cap;
            ASSERT_EQ(reinterpret_cast<std::uintptr_t>(&*map.begin()) % 32, 0u);
        }
    }
    int i = 0;
    for (const auto& e : map) {
        ASSERT_EQ(e.value, i);
        ASSERT_EQ(e.key.view(), numbered(i % 5 ? "r" : "a key that lives out of line ", i));
        ++i;
    }
    for (i = 0; i < 20000; i += 7) ASSERT_EQ(*map.find(numbered(i % 5 ? "r" : "a key that lives out of line ", i)), i);
}

}  // namespace
