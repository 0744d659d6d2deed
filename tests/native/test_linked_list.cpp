#include "core/linked_list.hpp"

#include <gtest/gtest.h>

#include "core_checks.hpp"

#include <algorithm>
#include <cstdint>
#include <deque>
#include <optional>
#include <random>
#include <utility>
#include <vector>

namespace {

using velkorin::core::LinkedList;
using velkorin::testing::Valid;

// Move-only element that records its own destruction. A moved-from element
// owns nothing and records nothing, like a released reference handle.
struct Tracked {
    int id = -1;
    std::vector<int>* destroyed = nullptr;

    Tracked(int i, std::vector<int>* log) : id(i), destroyed(log) {}
    Tracked(Tracked&& o) noexcept : id(std::exchange(o.id, -1)), destroyed(o.destroyed) {}
    Tracked& operator=(Tracked&& o) noexcept {
        release();
        id = std::exchange(o.id, -1);
        destroyed = o.destroyed;
        return *this;
    }
    Tracked(const Tracked&) = delete;
    Tracked& operator=(const Tracked&) = delete;
    ~Tracked() { release(); }

    void release() {
        if (id >= 0) destroyed->push_back(id);
        id = -1;
    }
};

std::vector<int> ids(const LinkedList<Tracked>& list) {
    std::vector<int> out;
    list.for_each([&](const Tracked& t) { out.push_back(t.id); });
    return out;
}

TEST(LinkedList, EmptyList) {
    LinkedList<Tracked> list;
    EXPECT_EQ(list.size(), 0u);
    EXPECT_TRUE(Valid(list));
    EXPECT_EQ(list.pop_front(), std::nullopt);
    EXPECT_EQ(list.pop_back(), std::nullopt);
    EXPECT_TRUE(ids(list).empty());
    EXPECT_TRUE(Valid(list));
}

TEST(LinkedList, EmptyStateIsAllZeroBytes) {
    EXPECT_TRUE(velkorin::testing::ConstructsToZeroBytes<LinkedList<Tracked>>());
    EXPECT_TRUE(velkorin::testing::ConstructsToZeroBytes<LinkedList<int*>>());
}

// Nodes sit in the list's slabs: a run of pushes fills adjacent cells of an
// element and one link word (no allocator header between them), and a push
// after a pop takes the cell just given back.
TEST(LinkedList, NodesAreAdjacentAndReusedLastInFirstOut) {
    std::vector<int> log;
    LinkedList<Tracked> list;
    auto front_cell = [&] {
        const Tracked* first = nullptr;
        list.for_each([&](const Tracked& t) { first = first ? first : &t; });
        return reinterpret_cast<std::uintptr_t>(first);
    };
    std::vector<std::uintptr_t> cells;
    for (int i = 0; i < 6; ++i) {
        list.push_front(Tracked(i, &log));
        cells.push_back(front_cell());
    }
    for (std::size_t i = 1; i < cells.size(); ++i) {
        EXPECT_EQ(cells[i] - cells[i - 1], sizeof(Tracked) + sizeof(void*)) << "push " << i;
    }
    const std::uintptr_t before = front_cell();
    list.pop_front();
    list.push_front(Tracked(99, &log));
    EXPECT_EQ(front_cell(), before);
    EXPECT_TRUE(Valid(list));
}

TEST(LinkedList, BothEnds) {
    std::vector<int> log;
    {
        LinkedList<Tracked> list;
        for (int i : {1, 2, 3}) list.push_back(Tracked(i, &log));
        list.push_front(Tracked(0, &log));
        EXPECT_EQ(ids(list), (std::vector<int>{0, 1, 2, 3}));
        EXPECT_EQ(list.pop_back()->id, 3);
        EXPECT_EQ(list.pop_front()->id, 0);
        EXPECT_EQ(ids(list), (std::vector<int>{1, 2}));
        EXPECT_EQ(list.size(), 2u);
        EXPECT_TRUE(Valid(list));
    }
    EXPECT_EQ(log, (std::vector<int>{3, 0, 1, 2}));
}

TEST(LinkedList, StackAndQueueOrders) {
    std::vector<int> log;
    LinkedList<Tracked> list;
    for (int i : {1, 2, 3}) list.push_front(Tracked(i, &log));
    for (int expected : {3, 2, 1}) EXPECT_EQ(list.pop_front()->id, expected);
    for (int i : {1, 2, 3}) list.push_back(Tracked(i, &log));
    for (int expected : {1, 2, 3}) EXPECT_EQ(list.pop_front()->id, expected);
    for (int i : {1, 2, 3}) list.push_back(Tracked(i, &log));
    for (int expected : {3, 2, 1}) EXPECT_EQ(list.pop_back()->id, expected);
    EXPECT_TRUE(Valid(list));
}

TEST(LinkedList, SingleElementPopEmptiesBothEnds) {
    std::vector<int> log;
    LinkedList<Tracked> list;
    // Each combination of the end pushed to, the end popped from and the end
    // pushed to afterwards.
    for (int mask = 0; mask < 8; ++mask) {
        if (mask & 1) {
            list.push_back(Tracked(1, &log));
        } else {
            list.push_front(Tracked(1, &log));
        }
        std::optional<Tracked> x = (mask & 2) ? list.pop_back() : list.pop_front();
        ASSERT_TRUE(x.has_value());
        EXPECT_EQ(x->id, 1);
        EXPECT_EQ(list.size(), 0u);
        EXPECT_TRUE(Valid(list)) << "both ends null after the last pop, mask " << mask;
        EXPECT_EQ(list.pop_front(), std::nullopt);
        EXPECT_EQ(list.pop_back(), std::nullopt);

        if (mask & 4) {
            list.push_back(Tracked(2, &log));
        } else {
            list.push_front(Tracked(2, &log));
        }
        EXPECT_TRUE(Valid(list));
        EXPECT_EQ(ids(list), (std::vector<int>{2}));
        std::optional<Tracked> y = (mask & 2) ? list.pop_front() : list.pop_back();
        ASSERT_TRUE(y.has_value());
        EXPECT_EQ(y->id, 2);
        EXPECT_TRUE(Valid(list));
    }
}

// Long seeded sequences against std::deque.
TEST(LinkedList, AgreesWithDeque) {
    for (unsigned seed : {1u, 2u, 3u}) {
        std::mt19937 rng(seed);
        std::vector<int> log;
        int next_id = 0;
        std::vector<int> remaining;
        {
            LinkedList<Tracked> list;
            std::deque<int> model;
            const unsigned push_weight = seed == 3 ? 40 : 55;  // one run keeps hitting empty
            for (int step = 0; step < 20000; ++step) {
                const unsigned op = rng() % 100;
                if (op < push_weight) {
                    const int id = next_id++;
                    if (rng() % 2) {
                        list.push_back(Tracked(id, &log));
                        model.push_back(id);
                    } else {
                        list.push_front(Tracked(id, &log));
                        model.push_front(id);
                    }
                } else {
                    const bool front = rng() % 2;
                    std::optional<Tracked> got = front ? list.pop_front() : list.pop_back();
                    if (model.empty()) {
                        ASSERT_EQ(got, std::nullopt);
                    } else {
                        ASSERT_TRUE(got.has_value());
                        ASSERT_EQ(got->id, front ? model.front() : model.back()) << "step " << step;
                        if (front) {
                            model.pop_front();
                        } else {
                            model.pop_back();
                        }
                    }
                }
                ASSERT_EQ(list.size(), model.size());
                ASSERT_TRUE(Valid(list)) << "seed " << seed << " step " << step;
                if (step % 64 == 0) {
                    ASSERT_EQ(ids(list), std::vector<int>(model.begin(), model.end()));
                }
            }
            remaining.assign(model.begin(), model.end());
            ASSERT_EQ(ids(list), remaining);
            ASSERT_EQ(log.size(), static_cast<std::size_t>(next_id) - remaining.size());
        }
        ASSERT_GE(log.size(), remaining.size());
        EXPECT_TRUE(std::equal(remaining.begin(), remaining.end(), log.end() - static_cast<std::ptrdiff_t>(remaining.size())))
            << "the list's own elements are destroyed front first";
        std::sort(log.begin(), log.end());
        for (int i = 0; i < next_id; ++i) {
            ASSERT_EQ(log[static_cast<std::size_t>(i)], i) << "every element destroyed exactly once";
        }
        EXPECT_EQ(log.size(), static_cast<std::size_t>(next_id));
    }
}

// Counts live elements to show that nothing is destroyed twice or leaked.
TEST(LinkedList, EachElementDestroyedExactlyOnce) {
    std::vector<int> log;
    int pushed = 0;
    {
        LinkedList<Tracked> list;
        for (int i = 0; i < 10; ++i) {
            list.push_back(Tracked(pushed++, &log));
            list.push_front(Tracked(pushed++, &log));
        }
        for (int i = 0; i < 3; ++i) {
            list.pop_front();  // discarded at once
            std::optional<Tracked> kept = list.pop_back();
            EXPECT_TRUE(kept.has_value());
        }
        EXPECT_EQ(log.size(), 6u);
    }
    std::vector<int> sorted = log;
    std::sort(sorted.begin(), sorted.end());
    std::vector<int> all(static_cast<std::size_t>(pushed));
    for (int i = 0; i < pushed; ++i) all[static_cast<std::size_t>(i)] = i;
    EXPECT_EQ(sorted, all);
}

// An element whose destructor inspects the list it is leaving, as a released
// Python reference may run arbitrary code.
struct Inspector {
    const LinkedList<Inspector>* list;
    std::vector<std::size_t>* sizes_seen;
    bool owns = true;

    Inspector(const LinkedList<Inspector>* l, std::vector<std::size_t>* s) : list(l), sizes_seen(s) {}
    Inspector(Inspector&& o) noexcept : list(o.list), sizes_seen(o.sizes_seen), owns(std::exchange(o.owns, false)) {}
    Inspector& operator=(Inspector&&) = delete;
    ~Inspector() {
        if (!owns) return;
        EXPECT_TRUE(Valid(*list));
        sizes_seen->push_back(list->size());
    }
};

TEST(LinkedList, DestructionSeesAConsistentList) {
    std::vector<std::size_t> sizes;
    {
        LinkedList<Inspector> list;
        for (int i = 0; i < 4; ++i) list.push_back(Inspector(&list, &sizes));
    }
    EXPECT_EQ(sizes, (std::vector<std::size_t>{3, 2, 1, 0}));

    sizes.clear();
    {
        LinkedList<Inspector> list;
        for (int i = 0; i < 3; ++i) list.push_front(Inspector(&list, &sizes));
        list.clear();
        EXPECT_TRUE(Valid(list));
        EXPECT_EQ(list.size(), 0u);
    }
    EXPECT_EQ(sizes, (std::vector<std::size_t>{2, 1, 0}));
}

TEST(LinkedList, MoveTransfersNodes) {
    std::vector<int> log;
    LinkedList<Tracked> a;
    for (int i : {1, 2, 3}) a.push_back(Tracked(i, &log));
    LinkedList<Tracked> b(std::move(a));
    EXPECT_EQ(a.size(), 0u);
    EXPECT_TRUE(Valid(a));
    EXPECT_EQ(ids(b), (std::vector<int>{1, 2, 3}));
    EXPECT_TRUE(log.empty());

    LinkedList<Tracked> c;
    for (int i : {7, 8}) c.push_back(Tracked(i, &log));
    c = std::move(b);
    EXPECT_EQ(log, (std::vector<int>{7, 8})) << "old contents released front first";
    EXPECT_EQ(ids(c), (std::vector<int>{1, 2, 3}));
    EXPECT_TRUE(Valid(b));
    EXPECT_TRUE(Valid(c));

    a.push_front(Tracked(9, &log));  // a moved-from list is usable again
    EXPECT_EQ(ids(a), (std::vector<int>{9}));
    EXPECT_TRUE(Valid(a));
}

}  // namespace
