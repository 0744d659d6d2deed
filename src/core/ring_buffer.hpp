// A growable circular array: the storage of a first-in, first-out queue.
//
// Representation:
//   slots_[0, capacity_) from the allocator (none while capacity_ == 0)
//   the element at position i (0 = front) lives in slot (head_ + i) % capacity_
// Invariants:
//   size_ <= capacity_; head_ < capacity_ whenever capacity_ > 0
//   capacity_ is 0, 4, 8, 16, ...: a push that finds the buffer full doubles it
//   (at least 4); the storage never shrinks and is freed at destruction;
//   slots_ is null exactly when capacity_ == 0.
// All-zero bytes are the empty buffer: no storage, nothing allocated.
#pragma once

#include "core/invariant.hpp"
#include "core/memory.hpp"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <optional>
#include <utility>

namespace velkorin::core {

template <class T>
class RingBuffer {
public:
    RingBuffer() noexcept = default;
    RingBuffer(RingBuffer&& other) noexcept
        : slots_(std::exchange(other.slots_, nullptr)),
          capacity_(std::exchange(other.capacity_, 0)),
          head_(std::exchange(other.head_, 0)),
          size_(std::exchange(other.size_, 0)) {}
    RingBuffer(const RingBuffer&) = delete;
    RingBuffer& operator=(const RingBuffer&) = delete;
    RingBuffer& operator=(RingBuffer&&) = delete;

    // Destroys the elements front to back, then frees the storage.
    ~RingBuffer() {
        while (size_ > 0) {
            T* front = slot(head_);
            head_ = next(head_);
            --size_;
            front->~T();
        }
        free_bytes(slots_);
    }

    std::size_t size() const noexcept { return size_; }
    std::size_t capacity() const noexcept { return capacity_; }
    bool empty() const noexcept { return size_ == 0; }

    void push_back(T value) {
        if (size_ == capacity_) grow();
        std::size_t back = head_ + size_;
        if (back >= capacity_) back -= capacity_;
        ::new (static_cast<void*>(slot(back))) T(std::move(value));
        ++size_;
        check();
    }

    // Not noexcept: the caller destroys the element it receives, and that
    // may run code that throws.
    std::optional<T> pop_front() {
        if (size_ == 0) return std::nullopt;
        T* front = slot(head_);
        std::optional<T> out(std::move(*front));
        front->~T();
        head_ = next(head_);
        --size_;
        check();
        return out;
    }

    // Moves the elements out front to back into f(T&&) until f returns false
    // (then drain returns false, even if that was the last element) or none
    // is left (then it returns true). A run of slots is walked
    // with the bookkeeping caught up when it ends or f stops the walk, so f
    // must not use the buffer. If f throws, the slots it was handed stay as
    // moved-from elements.
    template <class F>
    bool drain(F&& f) {
        while (size_ != 0) {
            T* const run = slot(head_);
            const std::size_t n = std::min(size_, capacity_ - head_);
            for (std::size_t i = 0; i < n; ++i) {
                T value(std::move(run[i]));
                run[i].~T();
                if (!f(std::move(value))) {
                    consume(i + 1);
                    return false;
                }
            }
            consume(n);
        }
        return true;
    }

    // Requires: !empty().
    const T& front() const noexcept { return *slot(head_); }

    // Calls f(const T&) for each element, front to back.
    template <class F>
    void for_each(F&& f) const {
        std::size_t at = head_;
        for (std::size_t i = 0; i < size_; ++i) {
            f(*slot(at));
            at = next(at);
        }
    }

    // Describes the first broken invariant of the representation.
    Violation verify() const {
        if ((slots_ == nullptr) != (capacity_ == 0)) return "storage and capacity disagree";
        if (capacity_ != 0 && (capacity_ < 4 || (capacity_ & (capacity_ - 1)) != 0)) {
            return "capacity is not 4 times a power of two";
        }
        if (size_ > capacity_) return "more elements than slots";
        if (capacity_ == 0 ? head_ != 0 : head_ >= capacity_) return "head outside the storage";
        return std::nullopt;
    }

private:
    T* slot(std::size_t i) const noexcept { return slots_ + i; }

    void check() const noexcept {
        VELKORIN_INVARIANT(size_ <= capacity_ && head_ < capacity_, "ring position outside the storage");
        sampled_verify(*this);
    }
    std::size_t next(std::size_t i) const noexcept { return i + 1 == capacity_ ? 0 : i + 1; }

    // Drops n elements, already moved out, from the front.
    void consume(std::size_t n) noexcept {
        head_ += n;
        if (head_ >= capacity_) head_ -= capacity_;
        size_ -= n;
        check();
    }

    // Doubles the storage (at least 4 slots), keeping front-to-back order.
    // Relocatable elements are moved with the memory itself (realloc, which
    // spares large buffers a copy and fresh page faults); the run that had
    // wrapped to the start of the old storage then moves up past its end,
    // which the doubled capacity always has room for.
    VELKORIN_NOINLINE void grow() {
        const std::size_t old_capacity = capacity_;
        const std::size_t new_capacity = std::max<std::size_t>(2 * old_capacity, 4);
        if constexpr (is_trivially_relocatable_v<T>) {
            slots_ = static_cast<T*>(reallocate_bytes(slots_, array_bytes<T>(new_capacity)));
            if (head_ + size_ > old_capacity) {
                const std::size_t wrapped = head_ + size_ - old_capacity;
                std::memcpy(static_cast<void*>(slots_ + old_capacity), static_cast<const void*>(slots_),
                            wrapped * sizeof(T));
            }
        } else {
            T* fresh = allocate_array<T>(new_capacity);
            std::size_t at = head_;
            for (std::size_t i = 0; i < size_; ++i) {
                ::new (static_cast<void*>(fresh + i)) T(std::move(*slot(at)));
                slot(at)->~T();
                at = next(at);
            }
            free_bytes(slots_);
            slots_ = fresh;
            head_ = 0;
        }
        capacity_ = new_capacity;
    }

    T* slots_ = nullptr;
    std::size_t capacity_ = 0;
    std::size_t head_ = 0;
    std::size_t size_ = 0;
};

}  // namespace velkorin::core
