// Ordered set of keys held in a B-tree (the core of PyBTreeSet). Node
// layout, storage and the search within a node: btree_node.hpp.
//
// Every node can be handled as a Leaf*; the tree level tells which ones also
// carry children:
//
//                 [ 40 | 80 ]          root, internal (level 1); height = 1
//                /     |     \         edges[0], edges[1], edges[2]
//   [5 10 .. 33]  [41 .. 77]  [81 .. 99]   leaves (level 0), 5..11 keys each
//
// Invariants (checked by verify()):
//   - keys[0 .. len) of every node are strictly ascending, and key i of an
//     internal node lies strictly between the keys of edges[i] and edges[i+1];
//     the slots after the keys hold the filler (btree_node.hpp);
//   - an internal node with n keys has n + 1 non-null children, and child i
//     has parent == that node and parent_idx == i; the root has no parent;
//   - every node but the root holds kMinKeys .. kCapacity keys; the root of a
//     non-empty set holds at least one;
//   - all leaves lie `height` levels below the root; `length` is the number
//     of keys in the tree;
//   - no root exists until the first insertion; once allocated, the root
//     stays (removing the last key leaves an empty root leaf).
//
// Insertion splits a full node around one of its middle keys so that both
// halves hold at least kMinKeys after the new key is placed; the separator
// moves into the parent and a root split adds a level. Removal takes a key
// out of a leaf (an internal key is replaced by its in-order predecessor),
// then refills an underfull node from its left sibling when it has one, else
// its right one: the pair is merged when it fits in one node, otherwise keys
// rotate through the parent. A root left without keys hands over to its only
// child.
//
// Nodes carry no leaf flag: a node's level, counted down from `height` at the
// root, tells whether it has children, so all leaves lie at one depth by
// construction. All-zero bytes are the empty set (no root, no slab).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <type_traits>
#include <utility>

#include "core/btree_node.hpp"
#include "core/invariant.hpp"

namespace velkorin::core {

// Requires: Less is a strict weak order on K that does not throw.
template <class K, class Less = std::less<K>>
class BTreeSet {
    static_assert(std::is_trivially_copyable_v<K> && std::is_default_constructible_v<K>,
                  "BTreeSet moves keys with memmove: the key type must be trivially copyable");

    using Leaf = btree::Leaf<K>;
    using Internal = btree::Internal<K>;

public:
    static constexpr unsigned kCapacity = btree::kCapacity;
    static constexpr unsigned kMinKeys = btree::kMinKeys;

    BTreeSet() noexcept = default;
    BTreeSet(const BTreeSet&) = delete;
    BTreeSet& operator=(const BTreeSet&) = delete;

    BTreeSet(BTreeSet&& other) noexcept
        : store_(std::move(other.store_)),
          root_(std::exchange(other.root_, nullptr)),
          height_(std::exchange(other.height_, 0)),
          length_(std::exchange(other.length_, 0)) {}

    BTreeSet& operator=(BTreeSet&& other) noexcept {
        if (this != &other) {
            free_all();
            store_ = std::move(other.store_);
            root_ = std::exchange(other.root_, nullptr);
            height_ = std::exchange(other.height_, 0);
            length_ = std::exchange(other.length_, 0);
        }
        return *this;
    }

    ~BTreeSet() { free_all(); }

    std::size_t size() const noexcept { return length_; }
    bool empty() const noexcept { return length_ == 0; }
    // Internal levels above the leaves; 0 while the root is a leaf.
    std::size_t height() const noexcept { return height_; }
    // True once the first insertion has allocated the root.
    bool allocated() const noexcept { return root_ != nullptr; }
    // Bytes of node storage held (for tests).
    std::size_t reserved_bytes() const noexcept { return store_.reserved_bytes(); }

    bool contains(K v) const noexcept { return locate(v).found; }

    // Returns true if v was added, false if it was already present.
    bool insert(K v) noexcept {
        if (root_ == nullptr) {
            Leaf* leaf = store_.new_leaf();
            leaf->keys[0] = v;
            leaf->len = 1;
            pad(leaf);
            root_ = leaf;
            length_ = 1;
            sampled_verify(*this);
            return true;
        }
        const Position at = locate(v);
        if (at.found) return false;
        if (at.node->len < kCapacity) {
            insert_key(at.node, at.index, v);
        } else {
            split_leaf_and_insert(at.node, at.index, v);
        }
        ++length_;
        sampled_verify(*this);
        return true;
    }

    // Returns true if v was present and is now removed.
    bool remove(K v) noexcept {
        const Position at = locate(v);
        if (!at.found) return false;
        Leaf* leaf = at.node;
        if (at.level == 0) {
            erase_key(leaf, at.index);
        } else {
            // Replace v by its in-order predecessor, the last key of the
            // rightmost leaf under the child just left of v.
            leaf = as_internal(at.node)->edges[at.index];
            for (std::size_t level = at.level - 1; level > 0; --level) leaf = as_internal(leaf)->edges[leaf->len];
            at.node->keys[at.index] = leaf->keys[--leaf->len];
            pad(leaf);
        }
        --length_;
        if (leaf->len < kMinKeys) rebalance(leaf);
        sampled_verify(*this);
        return true;
    }

    // Calls f(key) for every key in ascending order.
    template <class F>
    void for_each(F&& f) const {
        if (root_ == nullptr) return;
        if (height_ == 0) {
            visit_keys(root_, f);
            return;
        }
        // From one internal node of the lowest level to the next, each one's
        // leaves and keys in a loop of its own. Leaves lie in no order in
        // memory after random insertion, so the walk loads ahead: a node's
        // leaves and its right neighbour when it starts, the neighbour's
        // leaves halfway through. (Prefetches sit in forced-inline helpers:
        // GCC drops calls to a function whose only effect is a prefetch.)
        const Leaf* node = descend_left(root_, height_ - 1);
        bool leaves_loading = false;
        for (;;) {
            const Internal* parent = as_internal(node);
            const unsigned n = parent->data.len;
            const Internal* next = right_neighbour(parent);
            if (!leaves_loading) prefetch_leaves(parent);
            if (next != nullptr) prefetch_node(next, sizeof(Internal));
            leaves_loading = false;
            for (unsigned j = 0;; ++j) {
                if (j == (n + 1) / 2 && next != nullptr) {
                    prefetch_leaves(next);
                    leaves_loading = true;
                }
                visit_keys(parent->edges[j], f);
                if (j == n) break;
                f(parent->data.keys[j]);
            }
            // Climb while node is its parent's last child, then visit the
            // separator and go down to the next node of the lowest level.
            std::size_t level = 1;
            for (;;) {
                const Internal* up = node->parent;
                if (up == nullptr) return;
                const unsigned idx = node->parent_idx;
                ++level;
                if (idx < up->data.len) {
                    f(up->data.keys[idx]);
                    node = descend_left(up->edges[idx + 1], level - 2);
                    break;
                }
                node = &up->data;
            }
        }
    }

    // Walks the whole tree; describes the first broken invariant.
    Violation verify() const {
        if (root_ == nullptr) {
            if (height_ != 0 || length_ != 0) return "no root but nonzero height or length";
            return std::nullopt;
        }
        if (root_->parent != nullptr) return "root has a parent";
        if (height_ > 0 && root_->len == 0) return "internal root without keys";
        std::size_t count = 0;
        if (Violation v = check_node(root_, height_, nullptr, nullptr, count)) return v;
        if (count != length_) return "stored length differs from the number of keys";
        return std::nullopt;
    }

private:
    // Where a search for v ended: the key found, or the leaf slot where v
    // belongs.
    struct Position {
        Leaf* node;
        unsigned index;
        std::size_t level;
        bool found;
    };

    Position locate(const K& v) const noexcept {
        Leaf* node = root_;
        if (node == nullptr) return {nullptr, 0, 0, false};
        for (std::size_t level = height_;; --level) {
            if (level > 0) btree::prefetch_edges(node);
            const unsigned i = btree::rank(node, v, less_);
            if (i < node->len && !less_(v, node->keys[i])) return {node, i, level, true};
            if (level == 0) return {node, i, 0, false};
            node = as_internal(node)->edges[i];
        }
    }

    // Where a full node splits for an insertion at key position i: keys
    // before `middle` stay, keys after it move right, and the new key goes to
    // position `pos` of the left or right half. Both halves end with at
    // least kMinKeys keys.
    struct SplitPoint {
        unsigned middle;
        bool into_left;
        unsigned pos;
    };

    static constexpr unsigned kCenter = kCapacity / 2;

    static constexpr SplitPoint split_point(unsigned i) noexcept {
        if (i < kCenter) return {kCenter - 1, true, i};
        if (i == kCenter) return {kCenter, true, i};
        if (i == kCenter + 1) return {kCenter, false, 0};
        return {kCenter + 1, false, i - (kCenter + 2)};
    }

    static void pad(Leaf* node) noexcept { btree::pad<Less>(node); }
    static Internal* as_internal(Leaf* node) noexcept { return btree::as_internal(node); }
    static const Internal* as_internal(const Leaf* node) noexcept { return btree::as_internal(node); }

    // The node `steps` levels below node along first children.
    static const Leaf* descend_left(const Leaf* node, std::size_t steps) noexcept {
        for (; steps > 0; --steps) node = as_internal(node)->edges[0];
        return node;
    }

    template <class F>
    static void visit_keys(const Leaf* leaf, F& f) {
        for (unsigned j = 0; j < leaf->len; ++j) f(leaf->keys[j]);
    }

    // The next node of the same parent, or null.
    static const Internal* right_neighbour(const Internal* node) noexcept {
        const Internal* up = node->data.parent;
        const unsigned at = node->data.parent_idx;
        return up != nullptr && at < up->data.len ? as_internal(up->edges[at + 1]) : nullptr;
    }

    VELKORIN_ALWAYS_INLINE static void prefetch_leaves(const Internal* node) noexcept {
        for (unsigned j = 0; j <= node->data.len; ++j) prefetch_node(node->edges[j], sizeof(Leaf));
    }

    VELKORIN_ALWAYS_INLINE static void prefetch_node(const void* node, std::size_t bytes) noexcept {
        const char* p = static_cast<const char*>(node);
        for (std::size_t at = 0; at < bytes; at += 64) VELKORIN_PREFETCH(p + at);
        VELKORIN_PREFETCH(p + bytes - 1);
    }

    // Requires: node->len < kCapacity, i <= node->len.
    static void insert_key(Leaf* node, unsigned i, K v) noexcept {
        std::memmove(node->keys + i + 1, node->keys + i, (node->len - i) * sizeof(K));
        node->keys[i] = v;
        ++node->len;
        if (i + 1 == node->len) pad(node);  // a new last key
    }

    // Requires: i < node->len.
    static void erase_key(Leaf* node, unsigned i) noexcept {
        std::memmove(node->keys + i, node->keys + i + 1, (node->len - i - 1) * sizeof(K));
        --node->len;
        pad(node);
    }

    // Points children first .. last of node back at it.
    static void adopt_edges(Internal* node, unsigned first, unsigned last) noexcept {
        for (unsigned j = first; j <= last; ++j) {
            node->edges[j]->parent = node;
            node->edges[j]->parent_idx = static_cast<std::uint16_t>(j);
        }
    }

    // Inserts key at position i and edge just right of it.
    // Requires: node->data.len < kCapacity, i <= node->data.len.
    static void insert_key_edge(Internal* node, unsigned i, K key, Leaf* edge) noexcept {
        const unsigned n = node->data.len;
        std::memmove(node->edges + i + 2, node->edges + i + 1, (n - i) * sizeof(Leaf*));
        node->edges[i + 1] = edge;
        insert_key(&node->data, i, key);
        adopt_edges(node, i + 1, n + 1);
    }

    // Moves keys after `middle` into the empty node `right`, leaves keys
    // before it in `left`, and returns the key at `middle`. Padding is left
    // to the caller.
    static K split_keys(Leaf* left, Leaf* right, unsigned middle) noexcept {
        const unsigned moved = kCapacity - middle - 1;
        std::memcpy(right->keys, left->keys + middle + 1, moved * sizeof(K));
        right->len = static_cast<std::uint16_t>(moved);
        left->len = static_cast<std::uint16_t>(middle);
        return left->keys[middle];
    }

    // Both halves of a split hold enough keys and correct padding.
    static void finish_split(Leaf* left, Leaf* right) noexcept {
        pad(left);
        pad(right);
        VELKORIN_INVARIANT(left->len >= kMinKeys && right->len >= kMinKeys, "split half below the minimum");
    }

    // Requires: leaf->len == kCapacity, i <= kCapacity.
    VELKORIN_NOINLINE void split_leaf_and_insert(Leaf* leaf, unsigned i, K v) noexcept {
        const SplitPoint sp = split_point(i);
        Leaf* right = store_.new_leaf();
        const K separator = split_keys(leaf, right, sp.middle);
        insert_key(sp.into_left ? leaf : right, sp.pos, v);
        finish_split(leaf, right);
        insert_separator(leaf, separator, right);
    }

    // Places separator and the new node `right` just after `left` in
    // left's parent, splitting full ancestors and growing a new root when
    // needed.
    void insert_separator(Leaf* left, K separator, Leaf* right) noexcept {
        for (;;) {
            Internal* parent = left->parent;
            if (parent == nullptr) {
                Internal* root = store_.new_internal();
                root->data.keys[0] = separator;
                root->data.len = 1;
                pad(&root->data);
                root->edges[0] = left;
                root->edges[1] = right;
                adopt_edges(root, 0, 1);
                root_ = &root->data;
                ++height_;
                return;
            }
            const unsigned i = left->parent_idx;
            if (parent->data.len < kCapacity) {
                insert_key_edge(parent, i, separator, right);
                return;
            }
            const SplitPoint sp = split_point(i);
            Internal* sibling = store_.new_internal();
            const K up = split_keys(&parent->data, &sibling->data, sp.middle);
            const unsigned moved_edges = kCapacity - sp.middle;
            std::memcpy(sibling->edges, parent->edges + sp.middle + 1, moved_edges * sizeof(Leaf*));
            adopt_edges(sibling, 0, moved_edges - 1);
            insert_key_edge(sp.into_left ? parent : sibling, sp.pos, separator, right);
            finish_split(&parent->data, &sibling->data);
            left = &parent->data;
            separator = up;
            right = &sibling->data;
        }
    }

    void free_node(Leaf* node, std::size_t level) noexcept {
        if (level == 0) {
            store_.free_leaf(node);
        } else {
            store_.free_internal(as_internal(node));
        }
    }

    // Refills node, a leaf with fewer than kMinKeys keys, then each ancestor
    // that a merge leaves underfull; drops an internal root left without keys.
    VELKORIN_NOINLINE void rebalance(Leaf* node) noexcept {
        for (std::size_t level = 0; node->len < kMinKeys; ++level) {
            Internal* parent = node->parent;
            if (parent == nullptr) {
                if (node->len == 0 && level > 0) {
                    Internal* old_root = as_internal(node);
                    root_ = old_root->edges[0];
                    root_->parent = nullptr;
                    root_->parent_idx = 0;
                    --height_;
                    store_.free_internal(old_root);
                }
                return;
            }
            const unsigned idx = node->parent_idx;
            const unsigned sep = idx > 0 ? idx - 1 : 0;
            Leaf* left = parent->edges[sep];
            Leaf* right = parent->edges[sep + 1];
            if (left->len + 1u + right->len <= kCapacity) {
                merge(parent, sep, level);
                node = &parent->data;
            } else {
                const unsigned count = kMinKeys - node->len;
                if (node == right) {
                    rotate_right(parent, sep, count, level);
                } else {
                    rotate_left(parent, sep, count, level);
                }
                VELKORIN_INVARIANT(left->len >= kMinKeys && right->len >= kMinKeys,
                                   "rotation left a node below the minimum");
                return;
            }
        }
    }

    // Merges edges[sep + 1] of parent into edges[sep], pulling key sep down
    // between them, and frees the right node.
    // Requires: the two children and the separator fit in one node.
    void merge(Internal* parent, unsigned sep, std::size_t level) noexcept {
        Leaf* left = parent->edges[sep];
        Leaf* right = parent->edges[sep + 1];
        const unsigned ln = left->len;
        const unsigned rn = right->len;
        left->keys[ln] = parent->data.keys[sep];
        std::memcpy(left->keys + ln + 1, right->keys, rn * sizeof(K));
        left->len = static_cast<std::uint16_t>(ln + 1 + rn);
        pad(left);
        VELKORIN_INVARIANT(left->len <= kCapacity, "merged node over capacity");
        if (level > 0) {
            Internal* l = as_internal(left);
            std::memcpy(l->edges + ln + 1, as_internal(right)->edges, (rn + 1) * sizeof(Leaf*));
            adopt_edges(l, ln + 1, ln + 1 + rn);
        }
        const unsigned pn = parent->data.len;
        std::memmove(parent->data.keys + sep, parent->data.keys + sep + 1, (pn - sep - 1) * sizeof(K));
        std::memmove(parent->edges + sep + 1, parent->edges + sep + 2, (pn - sep - 1) * sizeof(Leaf*));
        parent->data.len = static_cast<std::uint16_t>(pn - 1);
        pad(&parent->data);
        adopt_edges(parent, sep + 1, pn - 1);
        free_node(right, level);
    }

    // Moves `count` keys from edges[sep] through the parent into edges[sep + 1].
    // Requires: edges[sep] keeps at least kMinKeys keys afterwards.
    static void rotate_right(Internal* parent, unsigned sep, unsigned count, std::size_t level) noexcept {
        Leaf* left = parent->edges[sep];
        Leaf* right = parent->edges[sep + 1];
        const unsigned ln = left->len;
        const unsigned rn = right->len;
        std::memmove(right->keys + count, right->keys, rn * sizeof(K));
        right->keys[count - 1] = parent->data.keys[sep];
        std::memcpy(right->keys, left->keys + ln - count + 1, (count - 1) * sizeof(K));
        parent->data.keys[sep] = left->keys[ln - count];
        if (level > 0) {
            Internal* r = as_internal(right);
            std::memmove(r->edges + count, r->edges, (rn + 1) * sizeof(Leaf*));
            std::memcpy(r->edges, as_internal(left)->edges + ln + 1 - count, count * sizeof(Leaf*));
            adopt_edges(r, 0, rn + count);
        }
        left->len = static_cast<std::uint16_t>(ln - count);
        right->len = static_cast<std::uint16_t>(rn + count);
        pad(left);
        pad(right);
    }

    // Moves `count` keys from edges[sep + 1] through the parent into edges[sep].
    // Requires: edges[sep + 1] keeps at least kMinKeys keys afterwards.
    static void rotate_left(Internal* parent, unsigned sep, unsigned count, std::size_t level) noexcept {
        Leaf* left = parent->edges[sep];
        Leaf* right = parent->edges[sep + 1];
        const unsigned ln = left->len;
        const unsigned rn = right->len;
        left->keys[ln] = parent->data.keys[sep];
        std::memcpy(left->keys + ln + 1, right->keys, (count - 1) * sizeof(K));
        parent->data.keys[sep] = right->keys[count - 1];
        std::memmove(right->keys, right->keys + count, (rn - count) * sizeof(K));
        if (level > 0) {
            Internal* l = as_internal(left);
            Internal* r = as_internal(right);
            std::memcpy(l->edges + ln + 1, r->edges, count * sizeof(Leaf*));
            adopt_edges(l, ln + 1, ln + count);
            std::memmove(r->edges, r->edges + count, (rn - count + 1) * sizeof(Leaf*));
            adopt_edges(r, 0, rn - count);
        }
        left->len = static_cast<std::uint16_t>(ln + count);
        right->len = static_cast<std::uint16_t>(rn - count);
        pad(left);
        pad(right);
        pad(&parent->data);  // its separator grew
    }

    // The keys are trivially destructible: dropping the slabs frees every node.
    void free_all() noexcept {
        store_.free_all();
        root_ = nullptr;
        height_ = 0;
        length_ = 0;
    }

    // Checks the subtree under node, `level` levels above the leaves, whose
    // keys must lie strictly between *lo and *hi (where given).
    Violation check_node(const Leaf* node, std::size_t level, const K* lo, const K* hi, std::size_t& count) const {
        const unsigned n = node->len;
        if (n > kCapacity) return "node holds more keys than fit";
        if (node != root_ && n < kMinKeys) return "non-root node holds fewer than the minimum keys";
        if (node == root_ && length_ > 0 && n == 0) return "root of a non-empty set holds no keys";
        for (unsigned j = 0; j < n; ++j) {
            if (j > 0 && !less_(node->keys[j - 1], node->keys[j])) return "keys not strictly ascending in a node";
            if (lo != nullptr && !less_(*lo, node->keys[j])) return "key not above its lower separator";
            if (hi != nullptr && !less_(node->keys[j], *hi)) return "key not below its upper separator";
        }
        if (!btree::padded(node, less_)) return "a slot after the keys does not hold the filler";
        count += n;
        if (level == 0) return std::nullopt;
        const Internal* in = as_internal(node);
        for (unsigned j = 0; j <= n; ++j) {
            const Leaf* child = in->edges[j];
            if (child == nullptr) return "missing child";
            if (child->parent != in) return "wrong parent link";
            if (child->parent_idx != j) return "wrong child index";
            const K* child_lo = j > 0 ? &node->keys[j - 1] : lo;
            const K* child_hi = j < n ? &node->keys[j] : hi;
            if (Violation v = check_node(child, level - 1, child_lo, child_hi, count)) return v;
        }
        return std::nullopt;
    }

    btree::NodeStore<K> store_;
    Leaf* root_ = nullptr;
    std::size_t height_ = 0;
    std::size_t length_ = 0;
    [[no_unique_address]] Less less_{};
};

}  // namespace velkorin::core
