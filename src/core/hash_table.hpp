// An open-addressing table whose slots hold the entries themselves, over the
// control bytes of hash_control.hpp. One allocation holds both:
//
//     [s0][s1]...[s(cap-1)][c0 c1 ... c(cap-1) | c0 ... c14]
//
// Entries move only when the table is rebuilt, inside insertions. Invariants, beyond those of the control bytes:
//   - the stored hash of each entry is the hash of its key under the table's
//     key, and no two entries have equal keys;
//   - a table without a key has no storage (it is the all-zero state).
//
// `Policy` supplies:
//   using Entry = ...;   // stored type, nothrow movable
//   using Key = ...;     // lookup key, passed by value
//   static std::uint64_t hash(const HashKey&, Key) noexcept;
//   static std::uint64_t stored_hash(const HashKey&, const Entry&) noexcept;
//   static Key key_of(const Entry&) noexcept;
//   static bool matches(const Entry&, Key, std::uint64_t hash) noexcept;
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <limits>
#include <memory>
#include <type_traits>
#include <utility>

#include "core/hash_control.hpp"
#include "core/hash_keys.hpp"
#include "core/invariant.hpp"
#include "core/memory.hpp"

namespace velkorin::core {

template <class Policy>
class HashTable {
    using Control = hash_table_detail::ControlTable;
    using ctrl_t = hash_table_detail::ctrl_t;
    static constexpr std::size_t npos = hash_table_detail::npos;

public:
    using Entry = typename Policy::Entry;
    using Key = typename Policy::Key;

    static_assert(std::is_nothrow_move_constructible_v<Entry>, "entries move during rebuilds, which cannot fail");
    static_assert(std::is_nothrow_destructible_v<Entry>);
    static_assert(alignof(Entry) <= alignof(std::max_align_t), "slots are placed at the start of a malloc block");

    class const_iterator {
    public:
        using value_type = Entry;
        using difference_type = std::ptrdiff_t;
        using reference = const Entry&;
        using pointer = const Entry*;
        using iterator_category = std::forward_iterator_tag;

        const_iterator() noexcept = default;
        reference operator*() const noexcept { return *slot_; }
        pointer operator->() const noexcept { return slot_; }
        const_iterator& operator++() noexcept {
            ++ctrl_;
            ++slot_;
            skip_non_full();
            return *this;
        }
        const_iterator operator++(int) noexcept {
            const_iterator old = *this;
            ++*this;
            return old;
        }
        friend bool operator==(const const_iterator& a, const const_iterator& b) noexcept { return a.ctrl_ == b.ctrl_; }

    private:
        friend class HashTable;
        const_iterator(const ctrl_t* ctrl, const Entry* slot, const ctrl_t* end) noexcept
            : ctrl_(ctrl), slot_(slot), end_(end) {
            skip_non_full();
        }
        void skip_non_full() noexcept {
            while (ctrl_ != end_ && !hash_table_detail::is_full(*ctrl_)) {
                ++ctrl_;
                ++slot_;
            }
        }
        const ctrl_t* ctrl_ = nullptr;
        const Entry* slot_ = nullptr;
        const ctrl_t* end_ = nullptr;
    };

    // The all-zero state: no key yet, no storage.
    HashTable() noexcept = default;
    explicit HashTable(HashKey key) noexcept : key_(key) {}

    // The source is left in the all-zero state.
    HashTable(HashTable&& other) noexcept
        : slots_(std::exchange(other.slots_, nullptr)),
          control_(std::exchange(other.control_, Control{})),
          key_(std::exchange(other.key_, TableKey{})) {}

    HashTable& operator=(HashTable&& other) noexcept {
        if (this != &other) {
            HashTable old(std::move(*this));
            slots_ = std::exchange(other.slots_, nullptr);
            control_ = std::exchange(other.control_, Control{});
            key_ = std::exchange(other.key_, TableKey{});
        }
        return *this;
    }

    HashTable(const HashTable&) = delete;
    HashTable& operator=(const HashTable&) = delete;

    ~HashTable() {
        if constexpr (!std::is_trivially_destructible_v<Entry>) {
            for (std::size_t i = 0; i < control_.capacity(); ++i)
                if (control_.is_full_bucket(i)) slots_[i].~Entry();
        }
        free_bytes(slots_);
    }

    std::size_t capacity() const noexcept { return control_.capacity(); }
    std::size_t size() const noexcept { return control_.size(); }
    bool empty() const noexcept { return control_.empty(); }
    std::size_t tombstones() const noexcept { return control_.tombstones(); }
    bool keyed() const noexcept { return key_.keyed(); }
    HashKey hash_key() const noexcept { return key_.get(); }

    // Requires: keyed().
    std::uint64_t hash(Key key) const noexcept { return Policy::hash(key_.get(), key); }

    // Requires: hash == this->hash(key), or the table is empty.
    const Entry* find(Key key, std::uint64_t hash) const noexcept {
        const std::size_t i = find_index(key, hash);
        return i == npos ? nullptr : slots_ + i;
    }

    // Adds an entry built from `args` unless one with `key` is present; true
    // if it was added. Takes the table's key first if it has none; may
    // rebuild the table. Requires: the new entry's key is `key`.
    template <class... Args>
    bool insert(Key key, Args&&... args) noexcept {
        static_assert(noexcept(Entry{std::forward<Args>(args)...}), "a rebuild may already have happened");
        // Only a table without storage can lack a key: one branch covers both.
        if (capacity() == 0) [[unlikely]]
            return insert_first(key, std::forward<Args>(args)...);
        const std::uint64_t h = hash(key);
        VELKORIN_PREFETCH(slots_ + control_.home(h));
        if (control_.find(h, [&](std::size_t b) { return Policy::matches(slots_[b], key, h); }) != npos) return false;
        std::size_t i = control_.try_claim(h);
        if (i == npos) [[unlikely]] {
            make_room();
            i = control_.try_claim(h);
        }
        ::new (static_cast<void*>(slots_ + i)) Entry{std::forward<Args>(args)...};
        check_after_change();
        return true;
    }

    // Destroys the entry. Requires: `entry` is an entry of this table.
    void erase(const Entry& entry) noexcept {
        const std::size_t i = static_cast<std::size_t>(&entry - slots_);
        slots_[i].~Entry();
        control_.vacate(i);
        check_after_change();
    }

    const_iterator begin() const noexcept {
        return const_iterator(control_.bytes(), slots_, control_.bytes() + capacity());
    }
    const_iterator end() const noexcept {
        return const_iterator(control_.bytes() + capacity(), slots_ + capacity(), control_.bytes() + capacity());
    }

    // Walks the whole table and checks every invariant; the first violation.
    Violation verify() const noexcept {
        if (!keyed() && (capacity() != 0 || !(key_.get() == HashKey{}))) return "a table without a key holds storage or key bits";
        if (!control_.counts_consistent()) return "load accounting";
        return control_.verify(
            [&](std::size_t p, std::uint64_t& h) -> Violation {
                h = Policy::stored_hash(key_.get(), slots_[p]);
                if (h != Policy::hash(key_.get(), Policy::key_of(slots_[p]))) return "stored hash differs from the key's hash";
                return std::nullopt;
            },
            [&](std::size_t p, std::uint64_t h) -> Violation {
                // find() returns the first match from the home, so a
                // duplicate key before p would be found instead of p.
                if (find_index(Policy::key_of(slots_[p]), h) != p) return "entry not found at its bucket (duplicate key?)";
                return std::nullopt;
            });
    }

private:
    std::size_t find_index(Key key, std::uint64_t hash) const noexcept {
        if (capacity() == 0) return npos;
        // The home slot is the likely hit: fetch it while the control bytes load.
        VELKORIN_PREFETCH(slots_ + control_.home(hash));
        return control_.find(hash, [&](std::size_t i) { return Policy::matches(slots_[i], key, hash); });
    }

    void check_after_change() const noexcept {
        VELKORIN_INVARIANT(control_.counts_consistent(), "hash table load accounting");
        sampled_verify(*this);
    }

    template <class... Args>
    VELKORIN_NOINLINE bool insert_first(Key key, Args&&... args) noexcept {
        key_.ensure();
        const std::uint64_t h = hash(key);
        make_room();
        ::new (static_cast<void*>(slots_ + control_.try_claim(h))) Entry{std::forward<Args>(args)...};
        check_after_change();
        return true;
    }

    VELKORIN_NOINLINE void make_room() noexcept {
        const std::size_t cap = control_.next_capacity();
        if (cap == capacity())
            rehash_in_place();
        else
            resize(cap);
    }

    // Moves every entry into fresh storage of `capacity` buckets.
    void resize(std::size_t capacity) noexcept {
        Entry* const old_slots = slots_;
        const Control old = control_;
        const std::size_t slot_bytes = array_bytes<Entry>(capacity);
        if (slot_bytes > std::numeric_limits<std::size_t>::max() - Control::bytes_for(capacity))
            allocation_failed(std::numeric_limits<std::size_t>::max());
        auto* block = static_cast<unsigned char*>(allocate_bytes(slot_bytes + Control::bytes_for(capacity)));
        slots_ = reinterpret_cast<Entry*>(block);
        control_.reset(reinterpret_cast<ctrl_t*>(block + slot_bytes), capacity);
        for (std::size_t i = 0; i < old.capacity(); ++i) {
            if (!old.is_full_bucket(i)) continue;
            const std::size_t t = control_.place(Policy::stored_hash(key_.get(), old_slots[i]));
            ::new (static_cast<void*>(slots_ + t)) Entry(std::move(old_slots[i]));
            old_slots[i].~Entry();
        }
        control_.placed(old.size());
        free_bytes(old_slots);
    }

    void rehash_in_place() noexcept {
        control_.rehash_in_place(
            [&](std::size_t i) { return Policy::stored_hash(key_.get(), slots_[i]); },
            [&](std::size_t from, std::size_t to) {
                ::new (static_cast<void*>(slots_ + to)) Entry(std::move(slots_[from]));
                slots_[from].~Entry();
            },
            [&](std::size_t a, std::size_t b) {
                Entry tmp(std::move(slots_[a]));
                slots_[a].~Entry();
                ::new (static_cast<void*>(slots_ + a)) Entry(std::move(slots_[b]));
                slots_[b].~Entry();
                ::new (static_cast<void*>(slots_ + b)) Entry(std::move(tmp));
            });
    }

    Entry* slots_ = nullptr;  // start of the single allocation
    Control control_;
    TableKey key_;
};

}  // namespace velkorin::core
