// Binary max-heap of unboxed values in one growable array.
//
// Representation:
//   slots_[0, size_) hold the values; slots_[size_, capacity_) are unused.
//   The children of slot i are 2i + 1 and 2i + 2; for every i > 0 the value
//   in slot (i - 1) / 2 is not less than the value in slot i, so slot 0 holds
//   a greatest value whenever size_ > 0.
//   capacity_ == 0 exactly when slots_ is null (nothing allocated yet).
//   Growth happens only when push finds the array full: capacity becomes
//   max(2 * capacity, 4), i.e. 0, 4, 8, 16, ... The array never shrinks and
//   is freed at destruction.
// All-zero bytes are the empty heap: no storage, nothing allocated.
//
// pop takes the last value y out; the greatest value leaves slot 0 and the
// hole there walks down to the bottom along the greater child (the right
// child on ties), then y climbs from the hole as in push. Which of several
// equal values sits where is decided by these rules and by nothing else.
#pragma once

#include <algorithm>
#include <cstddef>
#include <functional>
#include <limits>
#include <optional>
#include <type_traits>
#include <utility>

#include "core/invariant.hpp"
#include "core/memory.hpp"

namespace velkorin::core {

template <class T, class Less = std::less<T>>
class MaxHeap {
    static_assert(std::is_trivially_copyable_v<T>,
                  "MaxHeap stores plain values and moves its array with realloc");

public:
    MaxHeap() noexcept = default;
    explicit MaxHeap(Less less) noexcept : less_(std::move(less)) {}

    MaxHeap(const MaxHeap&) = delete;
    MaxHeap& operator=(const MaxHeap&) = delete;

    MaxHeap(MaxHeap&& other) noexcept
        : slots_(std::exchange(other.slots_, nullptr)),
          size_(std::exchange(other.size_, 0)),
          capacity_(std::exchange(other.capacity_, 0)),
          less_(std::move(other.less_)) {}

    MaxHeap& operator=(MaxHeap&& other) noexcept {
        if (this != &other) {
            free_bytes(slots_);
            slots_ = std::exchange(other.slots_, nullptr);
            size_ = std::exchange(other.size_, 0);
            capacity_ = std::exchange(other.capacity_, 0);
            less_ = std::move(other.less_);
        }
        return *this;
    }

    ~MaxHeap() { free_bytes(slots_); }

    std::size_t size() const noexcept { return size_; }
    std::size_t capacity() const noexcept { return capacity_; }
    bool empty() const noexcept { return size_ == 0; }

    void push(T x) {
        if (size_ == capacity_) grow();
        sift_up(size_, x);
        ++size_;
        sampled_verify(*this);
    }

    std::optional<T> pop() {
        if (size_ == 0) return std::nullopt;
        const std::size_t n = --size_;
        const T last = slots_[n];
        if (n == 0) {
            sampled_verify(*this);
            return last;
        }
        const T top = slots_[0];
        std::size_t hole = 0;
        std::size_t child = 1;
        while (child + 1 < n) {
            // The walk down is a chain of dependent loads: start loading the
            // grandchildren (4 slots, a cache line or two) a level early.
            if (2 * child + 1 < n) VELKORIN_PREFETCH(slots_ + 2 * child + 1);
            // Which child is greater is a coin toss on random values: chosen
            // by arithmetic, not a branch the processor would mispredict.
            const T left = slots_[child];
            const T right = slots_[child + 1];
            const bool take_right = !less_(right, left);  // right child wins ties
            child += take_right;
            slots_[hole] = take_right ? right : left;
            hole = child;
            child = 2 * hole + 1;
        }
        if (child == n - 1) {
            slots_[hole] = slots_[child];
            hole = child;
        }
        sift_up(hole, last);
        VELKORIN_INVARIANT((n < 2 || !less_(slots_[0], slots_[1])) && (n < 3 || !less_(slots_[0], slots_[2])),
                           "heap top below a child after pop");
        sampled_verify(*this);
        return top;
    }

    std::optional<T> peek() const {
        if (size_ == 0) return std::nullopt;
        return slots_[0];
    }

    // Walks the whole array; describes the first broken invariant.
    Violation verify() const {
        if ((capacity_ == 0) != (slots_ == nullptr)) return "storage and capacity disagree";
        if (capacity_ != 0 && (capacity_ < 4 || (capacity_ & (capacity_ - 1)) != 0)) {
            return "capacity is not 4 times a power of two";
        }
        if (size_ > capacity_) return "more values than slots";
        for (std::size_t i = 1; i < size_; ++i) {
            if (less_(slots_[(i - 1) / 2], slots_[i])) return "a value is greater than its parent";
        }
        return std::nullopt;
    }

private:
    // Places x at `pos` or above, moving smaller parents down; x is written once.
    // Requires: pos < capacity_; the slots above pos are in heap order.
    void sift_up(std::size_t pos, const T& x) {
        while (pos > 0) {
            const std::size_t parent = (pos - 1) / 2;
            if (!less_(slots_[parent], x)) break;  // x <= parent
            slots_[pos] = slots_[parent];
            pos = parent;
        }
        slots_[pos] = x;
        VELKORIN_INVARIANT(pos == 0 || !less_(slots_[(pos - 1) / 2], x), "value placed below a smaller parent");
    }

    VELKORIN_NOINLINE void grow() {
        const std::size_t new_capacity = std::max<std::size_t>(2 * capacity_, 4);
        const std::size_t bytes = array_bytes<T>(new_capacity);
        if (bytes == std::numeric_limits<std::size_t>::max()) allocation_failed(bytes);
        slots_ = static_cast<T*>(reallocate_bytes(slots_, bytes));
        capacity_ = new_capacity;
    }

    T* slots_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
    [[no_unique_address]] Less less_{};
};

}  // namespace velkorin::core
