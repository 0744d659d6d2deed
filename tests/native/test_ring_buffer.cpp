#include "core/ring_buffer.hpp"

#include <gtest/gtest.h>

#include "core_checks.hpp"

#include <deque>
#include <optional>
#include <random>
#include <vector>

namespace velkorin::core {
namespace {

using testing::Valid;

// Move-only element that records its destruction, like an owning reference.
struct Tracked {
    static inline std::vector<int>* released = nullptr;
    int id = -1;
    explicit Tracked(int i) : id(i) {}
    Tracked(Tracked&& o) noexcept : id(std::exchange(o.id, -1)) {}
    Tracked& operator=(Tracked&&) = delete;
    ~Tracked() {
        if (id >= 0 && released) released->push_back(id);
    }
};

std::vector<int> contents(const RingBuffer<Tracked>& ring) {
    std::vector<int> out;
    ring.for_each([&](const Tracked& t) { out.push_back(t.id); });
    return out;
}

TEST(RingBuffer, StartsEmptyWithoutStorage) {
    RingBuffer<Tracked> ring;
    EXPECT_EQ(ring.size(), 0u);
    EXPECT_EQ(ring.capacity(), 0u);
    EXPECT_FALSE(ring.pop_front().has_value());
    EXPECT_TRUE(Valid(ring));
}

TEST(RingBuffer, EmptyStateIsAllZeroBytes) {
    EXPECT_TRUE(testing::ConstructsToZeroBytes<RingBuffer<Tracked>>());
    EXPECT_TRUE(testing::ConstructsToZeroBytes<RingBuffer<int>>());
}

TEST(RingBuffer, CapacityDoublesFromFourAndNeverShrinks) {
    RingBuffer<Tracked> ring;
    std::vector<std::size_t> seen;
    for (int i = 0; i < 40; ++i) {
        ring.push_back(Tracked(i));
        ASSERT_TRUE(Valid(ring));
        if (seen.empty() || seen.back() != ring.capacity()) seen.push_back(ring.capacity());
    }
    EXPECT_EQ(seen, (std::vector<std::size_t>{4, 8, 16, 32, 64}));
    while (ring.pop_front()) {}
    EXPECT_EQ(ring.capacity(), 64u);
}

TEST(RingBuffer, KeepsOrderAcrossWrapAroundAndGrowth) {
    RingBuffer<Tracked> ring;
    for (int i = 0; i < 4; ++i) ring.push_back(Tracked(i));
    EXPECT_EQ(ring.pop_front()->id, 0);
    EXPECT_EQ(ring.pop_front()->id, 1);
    for (int i = 4; i < 7; ++i) ring.push_back(Tracked(i));  // wraps to slot 0, then grows
    EXPECT_EQ(ring.capacity(), 8u);
    EXPECT_EQ(contents(ring), (std::vector<int>{2, 3, 4, 5, 6}));
    EXPECT_EQ(ring.front().id, 2);
}

// Trivially relocatable elements grow by reallocation and move only the run
// that had wrapped around; the order must survive every head position.
TEST(RingBuffer, RelocatingGrowthKeepsOrderForEveryHeadPosition) {
    for (int head = 0; head < 8; ++head) {
        RingBuffer<int> ring;
        for (int i = 0; i < 8; ++i) ring.push_back(-1);
        for (int i = 0; i < head; ++i) ring.pop_front();
        for (int i = 0; i < head; ++i) ring.push_back(-1);  // full again, head at `head`
        for (int i = 0; i < 8; ++i) {
            ring.pop_front();
            ring.push_back(i);
        }
        ASSERT_EQ(ring.capacity(), 8u);
        ring.push_back(8);  // grows while wrapped
        EXPECT_EQ(ring.capacity(), 16u);
        EXPECT_TRUE(Valid(ring));
        std::vector<int> seen;
        ring.for_each([&](int v) { seen.push_back(v); });
        EXPECT_EQ(seen, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8})) << "head " << head;
    }
}

TEST(RingBuffer, DestructionReleasesEachElementOnceFrontToBack) {
    std::vector<int> released;
    Tracked::released = &released;
    {
        RingBuffer<Tracked> ring;
        for (int i = 0; i < 6; ++i) ring.push_back(Tracked(i));
        ring.pop_front();  // released here: id 0
        ring.pop_front();
        for (int i = 6; i < 9; ++i) ring.push_back(Tracked(i));  // wrapped
        released.clear();
    }
    Tracked::released = nullptr;
    EXPECT_EQ(released, (std::vector<int>{2, 3, 4, 5, 6, 7, 8}));
}

// A drain that stops after each element it is handed resumes where it
// stopped, across the wrap, and reports a stop even on the last element.
TEST(RingBuffer, DrainStopsAndResumesInOrder) {
    RingBuffer<Tracked> ring;
    for (int i = 0; i < 6; ++i) ring.push_back(Tracked(i));
    ring.pop_front();
    ring.pop_front();
    for (int i = 6; i < 9; ++i) ring.push_back(Tracked(i));  // wrapped
    std::vector<int> seen;
    const auto take_one = [&](Tracked&& t) {
        seen.push_back(t.id);
        return false;
    };
    for (int step = 0; step < 7; ++step) {
        EXPECT_FALSE(ring.drain(take_one));
        EXPECT_TRUE(Valid(ring));
    }
    EXPECT_TRUE(ring.drain(take_one));
    EXPECT_EQ(seen, (std::vector<int>{2, 3, 4, 5, 6, 7, 8}));
    EXPECT_TRUE(ring.empty());
}

TEST(RingBuffer, MatchesDequeUnderRandomOperations) {
    std::mt19937_64 rng(12345);
    std::vector<int> released;
    Tracked::released = &released;
    {
        std::optional<RingBuffer<Tracked>> holder(std::in_place);
        RingBuffer<Tracked>& ring = *holder;
        std::deque<int> model;
        int next = 0;
        for (int step = 0; step < 200000; ++step) {
            // Bias towards pushing in bursts so the buffer both grows and wraps.
            const bool push = (rng() % 100) < (step % 2000 < 1000 ? 60 : 40);
            if (push) {
                ring.push_back(Tracked(next));
                model.push_back(next++);
            } else {
                auto got = ring.pop_front();
                ASSERT_EQ(got.has_value(), !model.empty());
                if (got) {
                    ASSERT_EQ(got->id, model.front());
                    model.pop_front();
                }
            }
            ASSERT_EQ(ring.size(), model.size());
            ASSERT_TRUE(Valid(ring)) << "step " << step;
            if (!model.empty()) {
                ASSERT_EQ(ring.front().id, model.front());
            }
        }
        EXPECT_EQ(contents(ring), std::vector<int>(model.begin(), model.end()));
        released.clear();
        std::vector<int> expected(model.begin(), model.end());
        holder.reset();
        EXPECT_EQ(released, expected);
    }
    Tracked::released = nullptr;
}

}  // namespace
}  // namespace velkorin::core
