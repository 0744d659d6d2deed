#include "core/binary_heap.hpp"

#include <gtest/gtest.h>

#include "core_checks.hpp"

#include <cstdint>
#include <limits>
#include <optional>
#include <queue>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace {

using velkorin::core::MaxHeap;
using velkorin::testing::Valid;
using I64 = std::int64_t;

constexpr I64 kMin = std::numeric_limits<I64>::min();
constexpr I64 kMax = std::numeric_limits<I64>::max();

TEST(MaxHeap, EmptyHeap) {
    MaxHeap<I64> heap;
    EXPECT_EQ(heap.size(), 0u);
    EXPECT_EQ(heap.capacity(), 0u);
    EXPECT_EQ(heap.pop(), std::nullopt);
    EXPECT_EQ(heap.peek(), std::nullopt);
    EXPECT_EQ(heap.capacity(), 0u);
    EXPECT_TRUE(Valid(heap));
}

TEST(MaxHeap, EmptyStateIsAllZeroBytes) {
    EXPECT_TRUE(velkorin::testing::ConstructsToZeroBytes<MaxHeap<I64>>());
}

TEST(MaxHeap, PopsInNonIncreasingOrder) {
    MaxHeap<I64> heap;
    for (I64 v : {5, 1, 9, 3, 9}) heap.push(v);
    for (I64 expected : {9, 9, 5, 3, 1}) {
        EXPECT_EQ(heap.peek(), expected);
        EXPECT_EQ(heap.pop(), expected);
        EXPECT_TRUE(Valid(heap));
    }
    EXPECT_EQ(heap.pop(), std::nullopt);

    for (I64 v : {I64{-1}, I64{0}, kMin, kMax}) heap.push(v);
    for (I64 expected : {kMax, I64{0}, I64{-1}, kMin}) EXPECT_EQ(heap.pop(), expected);
    EXPECT_EQ(heap.size(), 0u);
}

// Long seeded sequences against std::priority_queue; values come from a
// small range plus the extremes so that duplicates are common.
TEST(MaxHeap, AgreesWithPriorityQueue) {
    for (std::uint64_t seed : {1u, 2u, 3u, 4u}) {
        std::mt19937_64 rng(seed);
        MaxHeap<I64> heap;
        std::priority_queue<I64> model;
        const int push_weight = seed % 2 == 0 ? 55 : 50;  // sizes drift up or hover near empty
        for (int step = 0; step < 40000; ++step) {
            const int op = static_cast<int>(rng() % 100);
            if (op < push_weight) {
                I64 v;
                switch (rng() % 8) {
                    case 0: v = kMin; break;
                    case 1: v = kMax; break;
                    case 2: v = static_cast<I64>(rng()); break;
                    default: v = static_cast<I64>(rng() % 21) - 10; break;
                }
                heap.push(v);
                model.push(v);
            } else if (op < 90) {
                const std::optional<I64> got = heap.pop();
                if (model.empty()) {
                    ASSERT_EQ(got, std::nullopt);
                } else {
                    ASSERT_EQ(got, model.top()) << "seed " << seed << " step " << step;
                    model.pop();
                }
            } else {
                const std::optional<I64> got = heap.peek();
                if (model.empty()) {
                    ASSERT_EQ(got, std::nullopt);
                } else {
                    ASSERT_EQ(got, model.top());
                }
            }
            ASSERT_EQ(heap.size(), model.size());
            ASSERT_TRUE(Valid(heap)) << "seed " << seed << " step " << step;
        }
        while (!model.empty()) {
            ASSERT_EQ(heap.pop(), model.top());
            model.pop();
            ASSERT_TRUE(Valid(heap));
        }
        ASSERT_EQ(heap.pop(), std::nullopt);
    }
}

TEST(MaxHeap, NastyOrders) {
    const std::size_t n = 3000;
    std::vector<std::pair<std::string, std::vector<I64>>> inputs;
    std::vector<I64> ascending, descending, equal, zigzag;
    for (std::size_t i = 0; i < n; ++i) {
        const I64 k = static_cast<I64>(i);
        ascending.push_back(k);
        descending.push_back(-k);
        equal.push_back(42);
        zigzag.push_back(i % 2 == 0 ? k : -k);
    }
    inputs = {{"ascending", ascending}, {"descending", descending}, {"equal", equal}, {"zigzag", zigzag}};
    for (const auto& [name, values] : inputs) {
        MaxHeap<I64> heap;
        std::priority_queue<I64> model;
        for (I64 v : values) {
            heap.push(v);
            model.push(v);
            ASSERT_TRUE(Valid(heap)) << name;
        }
        // Repeatedly take the top out and put it back: the same keys again and again.
        for (int i = 0; i < 500; ++i) {
            const std::optional<I64> top = heap.pop();
            ASSERT_EQ(top, model.top()) << name;
            heap.push(*top);
            ASSERT_TRUE(Valid(heap)) << name;
        }
        while (!model.empty()) {
            ASSERT_EQ(heap.pop(), model.top()) << name;
            model.pop();
            ASSERT_TRUE(Valid(heap)) << name;
        }
    }
}

TEST(MaxHeap, CapacityGrowsByDoublingFromFourAndNeverShrinks) {
    MaxHeap<I64> heap;
    std::vector<std::size_t> seen = {heap.capacity()};
    for (I64 i = 0; i < 70; ++i) {
        heap.push(i);
        if (heap.capacity() != seen.back()) seen.push_back(heap.capacity());
        ASSERT_GE(heap.capacity(), heap.size());
    }
    EXPECT_EQ(seen, (std::vector<std::size_t>{0, 4, 8, 16, 32, 64, 128}));

    while (heap.pop()) EXPECT_EQ(heap.capacity(), 128u);
    for (I64 i = 0; i < 128; ++i) heap.push(i);
    EXPECT_EQ(heap.capacity(), 128u) << "refilling to capacity does not grow";
    heap.push(0);
    EXPECT_EQ(heap.capacity(), 256u);
}

// Equal keys carry a tag so that the slot arrangement becomes visible.
struct Tagged {
    I64 key;
    char tag;
    bool operator==(const Tagged&) const = default;
};
struct TaggedLess {
    bool operator()(const Tagged& a, const Tagged& b) const { return a.key < b.key; }
};

std::string drain_tags(MaxHeap<Tagged, TaggedLess>& heap) {
    std::string order;
    while (std::optional<Tagged> t = heap.pop()) order += t->tag;
    return order;
}

TEST(MaxHeap, TieRules) {
    // Equal pushes stay where they land: [a b c d].
    // pop a: hole walks to the right child c (ties go right), d settles
    // below it: [c b d]; then c, then b (only a left child), then d.
    MaxHeap<Tagged, TaggedLess> heap;
    for (char t : {'a', 'b', 'c', 'd'}) heap.push({5, t});
    EXPECT_TRUE(Valid(heap));
    EXPECT_EQ(drain_tags(heap), "acbd");

    // [a b c d e]: pop a, hole takes c (tie goes right), reaches slot 2 with
    // no children; e climbs from slot 2 and stops under the equal c: [c b e d].
    // pop c: hole takes e (tie goes right), d settles at slot 2: [e b d];
    // then e, b, d.
    for (char t : {'a', 'b', 'c', 'd', 'e'}) heap.push({5, t});
    EXPECT_EQ(drain_tags(heap), "acebd");

    // A greater last value climbs back up after the hole reached the bottom.
    heap.push({9, 'x'});
    heap.push({3, 'y'});
    heap.push({9, 'z'});
    heap.push({1, 'w'});
    heap.push({8, 'v'});  // [x v z w y]
    EXPECT_TRUE(Valid(heap));
    EXPECT_EQ(drain_tags(heap), "xzvyw");
}

TEST(MaxHeap, MoveTransfersStorage) {
    MaxHeap<I64> a;
    for (I64 v : {3, 1, 4, 1, 5}) a.push(v);
    MaxHeap<I64> b(std::move(a));
    EXPECT_EQ(a.size(), 0u);
    EXPECT_EQ(a.capacity(), 0u);
    EXPECT_TRUE(Valid(a));
    EXPECT_EQ(b.size(), 5u);
    EXPECT_EQ(b.capacity(), 8u);
    EXPECT_EQ(b.peek(), 5);

    MaxHeap<I64> c;
    c.push(100);
    c = std::move(b);
    EXPECT_EQ(c.pop(), 5);
    EXPECT_EQ(c.pop(), 4);
    EXPECT_TRUE(Valid(c));
    a.push(7);  // a moved-from heap is usable again
    EXPECT_EQ(a.capacity(), 4u);
    EXPECT_EQ(a.pop(), 7);
}

}  // namespace
