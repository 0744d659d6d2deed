// Node storage owned by one container: slabs carved front to back, plus
// free lists of cells given back.
//
// Why slabs: nodes allocated one after another lie next to each other, so a
// list's neighbours and a tree's siblings share cache lines and pages, a node
// costs no allocator header, and the container is freed slab by slab instead
// of node by node. Why per container: the cells need no lock and no owner
// record, and a container's memory goes when it goes.
//
// `carve` hands out the next bytes of the newest slab; when they run out it
// takes a new slab, twice the size of the previous one (kFirstSlabBytes,
// then doubling up to kMaxSlabBytes), so a small container stays small and a
// large one makes few allocations; bytes not yet carved are not touched.
// Cells are never returned to a slab: their
// owner keeps a FreeList per cell size and reuses cells last-in, first-out,
// so a push after a pop gets the cell that is still in cache. The memory of
// the largest size reached is kept until free_all(), like a growable array's.
//
// free_all() frees the slabs oldest first: slabs come from the heap in that
// order, so each freed slab joins the free block below it and the heap top
// is trimmed once, not once per slab.
//
// Exhausted memory aborts the process (memory.hpp), so nothing here throws.
// All-zero bytes are the empty state of both classes (no slab, nothing to
// carve, no free cell): a container that never ran its constructor is empty
// and allocation-free.
#pragma once

#include <cstddef>
#include <utility>

#include "core/memory.hpp"

namespace velkorin::core {

class SlabArena {
public:
    // Cells are carved at multiples of this alignment.
    static constexpr std::size_t kCellAlign = 8;
    static constexpr std::size_t kFirstSlabBytes = 256;
    static constexpr std::size_t kMaxSlabBytes = 64 * 1024;
    static constexpr std::size_t kMaxCellBytes = kFirstSlabBytes - 2 * sizeof(void*);

    SlabArena() noexcept = default;
    SlabArena(const SlabArena&) = delete;
    SlabArena& operator=(const SlabArena&) = delete;
    SlabArena(SlabArena&& other) noexcept
        : oldest_(std::exchange(other.oldest_, nullptr)),
          newest_(std::exchange(other.newest_, nullptr)),
          next_(std::exchange(other.next_, nullptr)),
          end_(std::exchange(other.end_, nullptr)) {}
    SlabArena& operator=(SlabArena&& other) noexcept {
        if (this != &other) {
            free_all();
            oldest_ = std::exchange(other.oldest_, nullptr);
            newest_ = std::exchange(other.newest_, nullptr);
            next_ = std::exchange(other.next_, nullptr);
            end_ = std::exchange(other.end_, nullptr);
        }
        return *this;
    }
    ~SlabArena() { free_all(); }

    // Requires: bytes is a nonzero multiple of kCellAlign, at most kMaxCellBytes.
    void* carve(std::size_t bytes) noexcept {
        if (static_cast<std::size_t>(end_ - next_) < bytes) add_slab();
        void* cell = next_;
        next_ += bytes;
        return cell;
    }

    // Frees every slab; cells carved from them must no longer be used.
    void free_all() noexcept {
        while (Slab* slab = oldest_) {
            oldest_ = slab->next;
            free_bytes(slab);
        }
        newest_ = nullptr;
        next_ = end_ = nullptr;
    }

    // Bytes held in slabs (for tests).
    std::size_t reserved_bytes() const noexcept {
        std::size_t total = 0;
        for (const Slab* slab = oldest_; slab != nullptr; slab = slab->next) total += slab->bytes;
        return total;
    }

private:
    struct Slab {
        Slab* next;  // the next newer slab
        std::size_t bytes;
    };
    static_assert(sizeof(Slab) % kCellAlign == 0 && kMaxCellBytes == kFirstSlabBytes - sizeof(Slab));

    VELKORIN_NOINLINE void add_slab() noexcept {
        std::size_t bytes = kFirstSlabBytes;
        if (newest_ != nullptr) bytes = newest_->bytes < kMaxSlabBytes / 2 ? 2 * newest_->bytes : kMaxSlabBytes;
        Slab* slab = static_cast<Slab*>(allocate_bytes(bytes));
        slab->next = nullptr;
        slab->bytes = bytes;
        if (newest_ != nullptr) {
            newest_->next = slab;
        } else {
            oldest_ = slab;
        }
        newest_ = slab;
        next_ = reinterpret_cast<char*>(slab + 1);
        end_ = reinterpret_cast<char*>(slab) + bytes;
    }

    Slab* oldest_ = nullptr;
    Slab* newest_ = nullptr;
    char* next_ = nullptr;  // first uncarved byte of the newest slab
    char* end_ = nullptr;
};

// Cells of one size given back by their owner, reused last-in, first-out.
class FreeList {
public:
    FreeList() noexcept = default;
    FreeList(const FreeList&) = delete;
    FreeList& operator=(const FreeList&) = delete;
    FreeList(FreeList&& other) noexcept : head_(std::exchange(other.head_, nullptr)) {}
    FreeList& operator=(FreeList&& other) noexcept {
        head_ = std::exchange(other.head_, nullptr);
        return *this;
    }

    void push(void* cell) noexcept { head_ = ::new (cell) Link{head_}; }

    // Null when empty.
    void* pop() noexcept {
        Link* cell = head_;
        if (cell != nullptr) head_ = cell->next;
        return cell;
    }

    void clear() noexcept { head_ = nullptr; }

    // A cell from the list, else a new one from `arena`.
    void* take(SlabArena& arena, std::size_t bytes) noexcept {
        if (void* cell = pop()) return cell;
        return arena.carve(bytes);
    }

private:
    struct Link {
        Link* next;
    };
    Link* head_ = nullptr;
};

}  // namespace velkorin::core
