// Nodes of the B-tree set (btree_set.hpp): their layout, their storage and
// the search within one node.
//
// Shape. A node holds up to 11 keys; an internal node also holds up to 12
// child references. Every node but the root holds at least 5 keys. Why 11:
// with 64-bit keys the keys fill 88 bytes and a whole leaf takes 104, so one
// node is read with two cache-line loads (three when it straddles) that are
// all issued at once; a node about two-thirds full, as random insertion
// leaves them, still puts a million keys only 6 levels deep, and an internal
// node with its 12 child references stays within four lines.
//
// Layout, keys first so that a search reads the keys and the count together:
//
//   Leaf      [keys[11] 88 B | len:16 | parent_idx:16 | pad | parent]   104 B
//   Internal  [Leaf                                      | edges[12]]   200 B
//
// Padding. The slots keys[len, 11) hold no key but a filler that a search
// may compare like a key, so it reads all 11 slots without masking:
//   - where the order has a greatest value (integers under < or >), the
//     filler is that value, which is never below v, so it never counts;
//   - otherwise copies of the last key, which count only when every key
//     is below v, and the count is then capped at len.
// pad() restores the filler wherever a change to a node can disturb it.
//
// Storage. Nodes come from the tree's own slabs (slab.hpp): nodes allocated
// in a row (the leaves of an ascending run, the halves of a split) lie side
// by side, and the tree is freed slab by slab. Freed nodes wait on one free
// list per node size. All-zero bytes are the empty store.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <new>
#include <type_traits>

#include "core/slab.hpp"

namespace velkorin::core::btree {

inline constexpr unsigned kCapacity = 11;  // keys per node
inline constexpr unsigned kMinKeys = 5;    // keys per non-root node, at least
static_assert(kCapacity == 2 * kMinKeys + 1);

template <class K>
struct Internal;

template <class K>
struct Leaf {
    K keys[kCapacity];
    std::uint16_t len;         // keys in use
    std::uint16_t parent_idx;  // index among the parent's edges
    Internal<K>* parent;       // null for the root
};

template <class K>
struct Internal {
    Leaf<K> data;  // first member, so Leaf* and Internal* convert exactly
    Leaf<K>* edges[kCapacity + 1];
};

template <class K>
Internal<K>* as_internal(Leaf<K>* node) noexcept {
    return reinterpret_cast<Internal<K>*>(node);
}
template <class K>
const Internal<K>* as_internal(const Leaf<K>* node) noexcept {
    return reinterpret_cast<const Internal<K>*>(node);
}

// The greatest value under Less, where the order has one.
template <class K, class Less>
struct Top {
    static constexpr bool exists = false;
};
template <class K>
    requires std::is_integral_v<K>
struct Top<K, std::less<K>> {
    static constexpr bool exists = true;
    static constexpr K value = std::numeric_limits<K>::max();
};
template <class K>
    requires std::is_integral_v<K>
struct Top<K, std::greater<K>> {
    static constexpr bool exists = true;
    static constexpr K value = std::numeric_limits<K>::min();
};

// Writes the filler into the slots after the keys.
template <class Less, class K>
void pad(Leaf<K>* node) noexcept {
    const unsigned n = node->len;
    if constexpr (Top<K, Less>::exists) {
        for (unsigned j = n; j < kCapacity; ++j) node->keys[j] = Top<K, Less>::value;
    } else if (n > 0) {
        const K last = node->keys[n - 1];
        for (unsigned j = n; j < kCapacity; ++j) node->keys[j] = last;
    }
}

// Whether the slots after the keys hold a filler as described at the top.
template <class Less, class K>
bool padded(const Leaf<K>* node, const Less& less) noexcept {
    const unsigned n = node->len;
    for (unsigned j = n; j < kCapacity; ++j) {
        if constexpr (Top<K, Less>::exists) {
            if (node->keys[j] != Top<K, Less>::value) return false;
        } else if (n > 0 && less(node->keys[j], node->keys[n - 1])) {
            return false;
        }
    }
    return true;
}

// Keeps a partial sum in a register as it is, so that the compiler cannot
// turn a tree of adds back into one long chain.
VELKORIN_ALWAYS_INLINE inline unsigned as_is(unsigned x) noexcept {
    asm("" : "+r"(x));
    return x;
}

// Index of the first key not less than v (node->len when there is none):
// the same index as a left-to-right scan, found by counting the slots below
// v. The count has no branch per key and adds in a tree three deep, so a
// node costs its load and a few cycles, not 11 dependent steps.
// Requires: the padding described at the top.
template <class K, class Less>
unsigned rank(const Leaf<K>* node, const K& v, const Less& less) noexcept {
    static_assert(kCapacity == 11);
    const K* k = node->keys;
    auto lt = [&](unsigned j) { return static_cast<unsigned>(less(k[j], v)); };
    const unsigned a = as_is(lt(0) + lt(1)) + as_is(lt(2) + lt(3));
    const unsigned b = as_is(lt(4) + lt(5)) + as_is(lt(6) + lt(7));
    const unsigned c = as_is(lt(8) + lt(9)) + lt(10);
    const unsigned count = as_is(a) + as_is(b) + as_is(c);
    if constexpr (Top<K, Less>::exists) {
        return count;
    } else {
        const unsigned n = node->len;
        return count < n ? count : n;
    }
}

// Starts loading the child references of an internal node, so that they
// arrive with its keys instead of after the search. (Forced inline: GCC
// drops calls to a function whose only effect is a prefetch.)
template <class K>
VELKORIN_ALWAYS_INLINE inline void prefetch_edges(const Leaf<K>* node) noexcept {
    const auto* edges = reinterpret_cast<const char*>(as_internal(node)->edges);
    VELKORIN_PREFETCH(edges);
    VELKORIN_PREFETCH(edges + sizeof(void*) * (kCapacity + 1) / 2);
    VELKORIN_PREFETCH(edges + sizeof(void*) * kCapacity);
}

template <class K>
class NodeStore {
    static_assert(sizeof(Internal<K>) <= SlabArena::kMaxCellBytes && alignof(Internal<K>) <= SlabArena::kCellAlign,
                  "B-tree nodes must fit the slab cells");

public:
    // New nodes are zeroed: no parent, no keys, no children.
    Leaf<K>* new_leaf() noexcept { return ::new (leaves_.take(slabs_, sizeof(Leaf<K>))) Leaf<K>(); }
    Internal<K>* new_internal() noexcept {
        return ::new (internals_.take(slabs_, sizeof(Internal<K>))) Internal<K>();
    }
    void free_leaf(Leaf<K>* node) noexcept { leaves_.push(node); }
    void free_internal(Internal<K>* node) noexcept { internals_.push(node); }

    // Frees every node at once.
    void free_all() noexcept {
        leaves_.clear();
        internals_.clear();
        slabs_.free_all();
    }

    std::size_t reserved_bytes() const noexcept { return slabs_.reserved_bytes(); }

private:
    SlabArena slabs_;
    FreeList leaves_;
    FreeList internals_;
};

}  // namespace velkorin::core::btree
