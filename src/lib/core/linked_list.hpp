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
//
// Nodes come from a per-list pool: each push obtains one node and each pop
// gives one back. The pool carves nodes out of slabs of 256 and keeps freed
// nodes on a free list; its slabs are released with the list, so, like a
// growable array, a list keeps the memory of the largest size it reached.
#pragma once

#include <cstddef>
#include <optional>
#include <type_traits>
#include <utility>

#include "lib/core/memory.hpp"

namespace velkorin {

// Fixed-size cells for objects of type Node, handed out one at a time.
template <class Node>
class NodePool {
public:
    NodePool() noexcept = default;
    NodePool(NodePool&& other) noexcept
        : slabs_(std::exchange(other.slabs_, nullptr)), free_(std::exchange(other.free_, nullptr)) {}
    NodePool(const NodePool&) = delete;
    NodePool& operator=(const NodePool&) = delete;
    NodePool& operator=(NodePool&& other) noexcept {
        release();
        slabs_ = std::exchange(other.slabs_, nullptr);
        free_ = std::exchange(other.free_, nullptr);
        return *this;
    }
    // Requires: every cell was given back (or its object never outlives the pool).
    ~NodePool() { release(); }

    template <class... Args>
    Node* create(Args&&... args) {
        if (free_ == nullptr) refill();
        Cell* cell = free_;
        free_ = cell->next_free;
        return ::new (static_cast<void*>(cell->storage)) Node(std::forward<Args>(args)...);
    }

    void destroy(Node* node) noexcept {
        node->~Node();
        Cell* cell = reinterpret_cast<Cell*>(node);
        cell->next_free = free_;
        free_ = cell;
    }

private:
    static constexpr std::size_t cells_per_slab = 256;

    union Cell {
        Cell* next_free;
        alignas(Node) unsigned char storage[sizeof(Node)];
    };
    struct Slab {
        Slab* next;
        Cell* cells() noexcept { return reinterpret_cast<Cell*>(this + 1); }
    };
    static_assert(sizeof(Slab) % alignof(Cell) == 0);

    [[gnu::noinline]] void refill() {
        Slab* slab = static_cast<Slab*>(allocate_bytes(sizeof(Slab) + cells_per_slab * sizeof(Cell)));
        slab->next = slabs_;
        slabs_ = slab;
        Cell* cells = slab->cells();
        for (std::size_t i = cells_per_slab; i-- > 0;) {
            cells[i].next_free = free_;
            free_ = &cells[i];
        }
    }

    void release() noexcept {
        while (Slab* slab = slabs_) {
            slabs_ = slab->next;
            free_bytes(slab);
        }
        free_ = nullptr;
    }

    Slab* slabs_ = nullptr;
    Cell* free_ = nullptr;
};

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
        : pool_(std::move(other.pool_)),
          front_(std::exchange(other.front_, nullptr)),
          back_(std::exchange(other.back_, nullptr)),
          size_(std::exchange(other.size_, 0)) {}

    LinkedList& operator=(LinkedList&& other) noexcept {
        if (this != &other) {
            clear();
            pool_ = std::move(other.pool_);
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
        Node* node = pool_.create(std::move(value), nullptr, back_);
        if (back_ != nullptr) {
            back_->next = node;
        } else {
            front_ = node;
        }
        back_ = node;
        ++size_;
    }

    void push_front(T value) {
        Node* node = pool_.create(std::move(value), front_, nullptr);
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
        while (Node* node = unlink_front()) pool_.destroy(node);
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

    // Moves the element out of an unlinked node and gives the node back.
    std::optional<T> take(Node* node) noexcept {
        std::optional<T> value(std::move(node->value));
        pool_.destroy(node);
        return value;
    }

    NodePool<Node> pool_;
    Node* front_ = nullptr;
    Node* back_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace velkorin
