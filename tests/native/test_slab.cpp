// The slab arena and the free list: where cells are carved, how slabs grow,
// and the order in which slabs go back to the heap.
#include "core/slab.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <new>
#include <utility>
#include <vector>

#include "core_checks.hpp"

using velkorin::core::FreeList;
using velkorin::core::SlabArena;

#ifdef VELKORIN_TEST_WRAPS_MALLOC
// Where the linker wraps malloc and free (CMakeLists.txt), every allocation of
// the test code and the cores passes through here.
extern "C" void* __real_malloc(std::size_t);
extern "C" void __real_free(void*);

namespace {

// Heap blocks taken and given back while a HeapLog is watching, in order.
struct HeapLog {
    static inline HeapLog* watching = nullptr;
    void* taken[64];
    void* freed[64];
    std::size_t n_taken = 0, n_freed = 0;

    HeapLog() { watching = this; }
    ~HeapLog() { watching = nullptr; }
    HeapLog(const HeapLog&) = delete;
    HeapLog& operator=(const HeapLog&) = delete;
    std::vector<void*> taken_blocks() const { return {taken, taken + n_taken}; }
    std::vector<void*> freed_blocks() const { return {freed, freed + n_freed}; }
};

}  // namespace

extern "C" void* __wrap_malloc(std::size_t bytes) {
    void* p = __real_malloc(bytes);
    if (HeapLog* log = HeapLog::watching; log != nullptr && log->n_taken < std::size(log->taken))
        log->taken[log->n_taken++] = p;
    return p;
}

extern "C" void __wrap_free(void* p) {
    if (HeapLog* log = HeapLog::watching; log != nullptr && p != nullptr && log->n_freed < std::size(log->freed))
        log->freed[log->n_freed++] = p;
    __real_free(p);
}

#endif

namespace {

constexpr std::size_t kHeader = SlabArena::kFirstSlabBytes - SlabArena::kMaxCellBytes;

// Carves cells from an empty arena until it has taken `slabs` slabs.
[[maybe_unused]] void carve_slabs(SlabArena& arena, std::size_t slabs) {
    for (std::size_t taken = 0, reserved = 0; taken < slabs;) {
        arena.carve(8);
        if (arena.reserved_bytes() != reserved) {
            ++taken;
            reserved = arena.reserved_bytes();
        }
    }
}

TEST(SlabArena, AllZeroBytesAreTheEmptyArenaAndFreeList) {
    EXPECT_TRUE(velkorin::testing::ConstructsToZeroBytes<SlabArena>());
    EXPECT_TRUE(velkorin::testing::ConstructsToZeroBytes<FreeList>());
    alignas(SlabArena) unsigned char arena_bytes[sizeof(SlabArena)]{};
    alignas(FreeList) unsigned char list_bytes[sizeof(FreeList)]{};
    auto& arena = *std::launder(reinterpret_cast<SlabArena*>(arena_bytes));  // no constructor ran
    auto& list = *std::launder(reinterpret_cast<FreeList*>(list_bytes));
    EXPECT_EQ(arena.reserved_bytes(), 0u);
    EXPECT_EQ(list.pop(), nullptr);
    EXPECT_NE(list.take(arena, 8), nullptr);
    EXPECT_EQ(arena.reserved_bytes(), SlabArena::kFirstSlabBytes);
    arena.~SlabArena();
}

// Cells are aligned and packed back to back; a slab is used up before the
// next is taken, each twice the last up to the cap; no cell overlaps another.
TEST(SlabArena, CarvesPackedCellsFromDoublingSlabs) {
    for (std::size_t bytes : {std::size_t{8}, std::size_t{24}, std::size_t{40}, SlabArena::kMaxCellBytes}) {
        SlabArena arena;
        std::vector<unsigned char*> cells;
        std::vector<std::size_t> slab_sizes;
        std::size_t in_slab = 0;
        while (slab_sizes.size() < 12) {
            const std::size_t before = arena.reserved_bytes();
            auto* cell = static_cast<unsigned char*>(arena.carve(bytes));
            ASSERT_EQ(reinterpret_cast<std::uintptr_t>(cell) % SlabArena::kCellAlign, 0u);
            if (arena.reserved_bytes() != before) {
                if (!slab_sizes.empty()) {
                    EXPECT_EQ(in_slab, (slab_sizes.back() - kHeader) / bytes) << "a slab left with room";
                }
                slab_sizes.push_back(arena.reserved_bytes() - before);
                in_slab = 0;
            } else {
                ASSERT_EQ(cell, cells.back() + bytes) << "cells of one slab lie back to back";
            }
            ++in_slab;
            std::memset(cell, static_cast<int>(cells.size() % 251), bytes);
            cells.push_back(cell);
        }
        std::vector<std::size_t> expected = {SlabArena::kFirstSlabBytes};
        while (expected.size() < slab_sizes.size())
            expected.push_back(std::min(2 * expected.back(), SlabArena::kMaxSlabBytes));
        ASSERT_EQ(expected.back(), SlabArena::kMaxSlabBytes);
        EXPECT_EQ(slab_sizes, expected) << "cells of " << bytes << " bytes";
        for (std::size_t i = 0; i < cells.size(); ++i) {
            for (std::size_t b = 0; b < bytes; ++b) ASSERT_EQ(cells[i][b], i % 251) << "cell " << i;
        }
    }
}

#ifdef VELKORIN_TEST_WRAPS_MALLOC
TEST(SlabArena, FreesItsSlabsOldestFirst) {
    for (std::size_t slabs : {1u, 2u, 5u, 11u}) {
        HeapLog log;
        SlabArena arena;
        carve_slabs(arena, slabs);
        const std::vector<void*> taken = log.taken_blocks();
        ASSERT_EQ(taken.size(), slabs);
        arena.free_all();
        EXPECT_EQ(log.freed_blocks(), taken) << slabs << " slabs";
        EXPECT_EQ(arena.reserved_bytes(), 0u);
        arena.carve(8);
        EXPECT_EQ(arena.reserved_bytes(), SlabArena::kFirstSlabBytes) << "sizes start over";
    }
}

TEST(SlabArena, MovesHandOverTheSlabsAndAssignmentFreesTheOldOnes) {
    HeapLog log;
    SlabArena source;
    carve_slabs(source, 3);
    SlabArena target;
    carve_slabs(target, 4);
    const std::vector<void*> source_slabs(log.taken, log.taken + 3);
    const std::vector<void*> target_slabs(log.taken + 3, log.taken + 7);
    const std::size_t source_bytes = source.reserved_bytes();

    SlabArena moved(std::move(source));
    EXPECT_EQ(source.reserved_bytes(), 0u);
    target = std::move(moved);
    EXPECT_EQ(moved.reserved_bytes(), 0u);
    EXPECT_EQ(log.freed_blocks(), target_slabs) << "the slabs it held, oldest first";
    EXPECT_EQ(target.reserved_bytes(), source_bytes);
    target.carve(8);
    EXPECT_EQ(log.n_taken, 7u) << "carving goes on in the newest slab moved in";

    log.n_freed = 0;
    { SlabArena last(std::move(target)); }
    EXPECT_EQ(log.freed_blocks(), source_slabs) << "the destructor, oldest first";
    source.free_all();
    moved.free_all();
    target.free_all();
    EXPECT_EQ(log.n_freed, 3u) << "moved-from arenas hold nothing";
}
#endif

TEST(FreeList, ReusesCellsLastInFirstOutBeforeCarving) {
    SlabArena arena;
    FreeList list;
    void* a = list.take(arena, 16);
    void* b = list.take(arena, 16);
    void* c = list.take(arena, 16);
    EXPECT_EQ(static_cast<char*>(b), static_cast<char*>(a) + 16);
    list.push(a);
    list.push(c);
    const std::size_t reserved = arena.reserved_bytes();
    EXPECT_EQ(list.take(arena, 16), c);
    EXPECT_EQ(list.take(arena, 16), a);
    EXPECT_EQ(list.pop(), nullptr);
    EXPECT_EQ(list.take(arena, 16), static_cast<char*>(c) + 16) << "then the arena";
    EXPECT_EQ(arena.reserved_bytes(), reserved);

    list.push(b);
    FreeList moved(std::move(list));
    EXPECT_EQ(list.pop(), nullptr);
    FreeList assigned;
    assigned = std::move(moved);
    EXPECT_EQ(moved.pop(), nullptr);
    EXPECT_EQ(assigned.pop(), b);
    assigned.push(a);
    assigned.clear();
    EXPECT_EQ(assigned.pop(), nullptr);
}

}  // namespace
