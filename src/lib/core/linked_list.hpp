// Doubly linked list of move-only elements, one allocator node per element.
//
// Representation:
//   front_ and back_ are both null exactly when size_ == 0.
//   Following next from front_ visits size_ nodes and ends at back_;
//   prev mirrors next; front_->prev and back_->next are null.
//   size_ is stored, never counted.
//
// Every node is unlinked and the list made consistent before its element is
// destroyed: an element's destructor may run arbitrary code (in the module it
// releases a Python reference), and that code must find a valid list.
#pragma once

#include <cstddef>
#include <optional>
#include <type_traits>
#include <utility>

#include "frame/memory.hpp"

namespace velkorin {

template <class T>
class LinkedList {
    static_assert(std::is_nothrow_move_constructible_v<T>,
                  "LinkedList moves elements in and out of nodes and cannot recover from a throw");

    struct Node {
        T value;
        Node* next;
        Node* prev;
    };

public:
    LinkedList() noexcept = default;

    LinkedList(const LinkedList&) = delete;
    LinkedList& operator=(const LinkedList&) = delete;

    LinkedList(LinkedList&& other) noexcept
        : front_(std::exchange(other.front_, nullptr)),
          back_(std::exchange(other.back_, nullptr)),
          size_(std::exchange(other.size_, 0)) {}

    LinkedList& operator=(LinkedList&& other) noexcept {
        if (this != &other) {
            clear();
            front_ = std::exchange(other.front_, nullptr);
            back_ = std::exchange(other.back_, nullptr);
            size_ = std::exchange(other.size_, 0);
        }
        return *this;
    }

    ~LinkedList() { clear(); }

    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }

    void push_back(T value) {
        Node* node = create<Node>(std::move(value), nullptr, back_);
        if (back_ != nullptr) {
            back_->next = node;
        } else {
            front_ = node;
        }
        back_ = node;
        ++size_;
    }

    void push_front(T value) {
        Node* node = create<Node>(std::move(value), front_, nullptr);
        if (front_ != nullptr) {
            front_->prev = node;
        } else {
            back_ = node;
        }
        front_ = node;
        ++size_;
    }

    std::optional<T> pop_front() {
        Node* node = unlink_front();
        if (node == nullptr) return std::nullopt;
        return take(node);
    }

    std::optional<T> pop_back() {
        Node* node = back_;
        if (node == nullptr) return std::nullopt;
        back_ = node->prev;
        if (back_ != nullptr) {
            back_->next = nullptr;
        } else {
            front_ = nullptr;
        }
        --size_;
        return take(node);
    }

    // Calls f(const T&) for each element, front to back.
    // Requires: f does not change this list.
    template <class F>
    void for_each(F&& f) const {
        for (const Node* node = front_; node != nullptr; node = node->next) f(node->value);
    }

    // Destroys the elements front first, each after its node left the list.
    void clear() noexcept {
        while (Node* node = unlink_front()) destroy(node);
    }

    // Walks the whole list; for tests and debug checks.
    bool verify() const {
        if ((front_ == nullptr) != (size_ == 0) || (back_ == nullptr) != (size_ == 0)) return false;
        if (size_ == 0) return true;
        if (front_->prev != nullptr || back_->next != nullptr) return false;
        std::size_t count = 1;
        const Node* node = front_;
        for (; node->next != nullptr; node = node->next) {
            if (node->next->prev != node) return false;
            if (++count > size_) return false;  // also stops on a cycle
        }
        return node == back_ && count == size_;
    }

private:
    Node* unlink_front() noexcept {
        Node* node = front_;
        if (node == nullptr) return nullptr;
        front_ = node->next;
        if (front_ != nullptr) {
            front_->prev = nullptr;
        } else {
            back_ = nullptr;
        }
        --size_;
        return node;
    }

    // Moves the element out of an unlinked node and frees the node.
    static std::optional<T> take(Node* node) noexcept {
        std::optional<T> value(std::move(node->value));
        destroy(node);
        return value;
    }

    Node* front_ = nullptr;
    Node* back_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace velkorin
