// Open-addressing hash tables with one control byte per bucket: the integer
// set (`HashSet`) and the text-keyed map (`HashMap<V>`).
//
// Buckets. One allocation holds `capacity` bucket slots followed by
// `capacity + 15` control bytes:
//
//     slots: [s0][s1]...[s(cap-1)]    ctrl: [c0 c1 ... c(cap-1) | c0 ... c14]
//                                                                 ^ copies, so 16
//                                                                   bytes can be read
//                                                                   from any bucket
//   control byte   0..127  the bucket is full; the byte is h2(hash)
//                  0x80    EMPTY: never held an entry since the last rebuild
//                  0xFE    DELETED: a tombstone
//
// A 64-bit hash splits into h2 = its low 7 bits and h1 = the rest; a hash's
// home bucket is h1 & (capacity - 1). Probing is linear from the home bucket,
// 16 control bytes at a time (one SSE2 compare finds the h2 candidates and the
// empty buckets of a window). A search stops at the first window holding an
// EMPTY byte.
//
// The set stores its integers in the slots (8 + 1 bytes per bucket). The map
// keeps a small index and a dense entry array in insertion order:
//
//     index slots: [ 2][  ][ 0][  ][ 1]...     (uint32 entry positions)
//     ctrl:        [h2][E ][h2][D ][h2]...
//     entries:     [{key, value, hash}0][{...}1][{...}2] ... [{...}size-1] | spare
//
// so lookups touch the control bytes, one 4-byte slot and one entry, and a
// walk in insertion order streams through the entries.
//
// Bucket invariants (checked by verify()):
//   - capacity is 0 (no allocation yet) or a power of two >= 16;
//   - the entry count and the tombstone count equal the numbers of full and
//     DELETED control bytes; ctrl[cap + i] == ctrl[i] for i < 15;
//   - size + tombstones + growth_left == cap - cap / 8 (maximum load 7/8);
//     so at least one bucket is EMPTY and every search ends;
//   - a full bucket p whose hash has home h has no EMPTY bucket in the cyclic
//     range [h, p): it is found by a linear search from its home;
//   - the control byte of a full bucket is h2 of its entry's hash, and that
//     stored hash is the hash of the entry's key;
//   - no two entries have equal keys.
// Map invariants, in addition:
//   - entries [0, size) are live, the rest of the entry capacity is raw;
//   - the full buckets' slots are exactly the positions 0..size-1, each once.
//
// Insertion takes the first non-full bucket from the home. When none is left
// to spend (growth_left == 0 and the target is not a tombstone) the buckets
// either double, or, when at most half of the maximum load is live entries,
// are rebuilt at the same size, which clears all tombstones; either way the
// next rebuild is at least cap * 7/16 insertions away, so the cost is
// amortised O(1) and long insert/remove churn keeps both the capacity and the
// probe lengths bounded. The map rebuilds only its index, placing the entries
// in array order; its entry array grows by doubling on its own. Nothing
// shrinks.
//
// Removal writes EMPTY instead of a tombstone when the next bucket is EMPTY
// (no probe can pass through the bucket), and then turns the run of
// tombstones just before it back to EMPTY too. So a table emptied by
// removals holds no tombstones. The map then moves its last entry into the
// hole and points that entry's bucket at the new position.
//
// Set elements move only when the table is rebuilt (inside insertions and
// reserve()). Map entries also move when another entry is removed.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iterator>
#include <limits>
#include <memory>
#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>

#if defined(__SSE2__) && !defined(VELKORIN_HASH_TABLE_PORTABLE)
#include <emmintrin.h>
#define VELKORIN_HASH_TABLE_SSE2 1
#endif

#include "lib/core/memory.hpp"
#include "lib/core/hash_keys.hpp"
#include "lib/core/siphash.hpp"

namespace velkorin {

namespace hash_table_detail {

using ctrl_t = std::int8_t;

inline constexpr ctrl_t kEmpty = -128;   // 0x80
inline constexpr ctrl_t kDeleted = -2;   // 0xFE
inline constexpr std::size_t kGroupWidth = 16;
inline constexpr std::size_t kMinCapacity = 16;

inline constexpr bool is_full(ctrl_t c) noexcept { return c >= 0; }
inline constexpr ctrl_t h2_of(std::uint64_t hash) noexcept { return static_cast<ctrl_t>(hash & 0x7f); }
inline constexpr std::size_t h1_of(std::uint64_t hash) noexcept { return static_cast<std::size_t>(hash >> 7); }
inline constexpr std::size_t max_load(std::size_t capacity) noexcept { return capacity - capacity / 8; }

// Sixteen consecutive control bytes; each query gives a bit mask whose bit k
// stands for the k-th byte.
class Group {
public:
    explicit Group(const ctrl_t* p) noexcept {
#ifdef VELKORIN_HASH_TABLE_SSE2
        v_ = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
#else
        std::memcpy(bytes_, p, kGroupWidth);
#endif
    }

    std::uint32_t match(ctrl_t c) const noexcept {
#ifdef VELKORIN_HASH_TABLE_SSE2
        return static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_set1_epi8(c), v_)));
#else
        std::uint32_t m = 0;
        for (std::size_t k = 0; k < kGroupWidth; ++k) m |= std::uint32_t{bytes_[k] == c} << k;
        return m;
#endif
    }

    std::uint32_t match_empty() const noexcept { return match(kEmpty); }

    // EMPTY and DELETED are exactly the bytes with the sign bit set.
    std::uint32_t match_non_full() const noexcept {
#ifdef VELKORIN_HASH_TABLE_SSE2
        return static_cast<std::uint32_t>(_mm_movemask_epi8(v_));
#else
        std::uint32_t m = 0;
        for (std::size_t k = 0; k < kGroupWidth; ++k) m |= std::uint32_t{bytes_[k] < 0} << k;
        return m;
#endif
    }

private:
#ifdef VELKORIN_HASH_TABLE_SSE2
    __m128i v_;
#else
    ctrl_t bytes_[kGroupWidth];
#endif
};

// The buckets alone: slots of type `Slot`, control bytes and the counts.
// Owners construct and destroy what the slots hold; this class only frees
// the storage. Moving leaves an empty table behind; move assignment swaps.
template <class Slot>
class ControlTable {
public:
    static constexpr std::size_t npos = static_cast<std::size_t>(-1);

    static_assert(alignof(Slot) <= alignof(std::max_align_t), "slots are placed at the start of a malloc block");

    ControlTable() noexcept = default;
    ControlTable(ControlTable&& other) noexcept
        : slots_(std::exchange(other.slots_, nullptr)),
          ctrl_(std::exchange(other.ctrl_, nullptr)),
          capacity_(std::exchange(other.capacity_, 0)),
          size_(std::exchange(other.size_, 0)),
          tombstones_(std::exchange(other.tombstones_, 0)),
          growth_left_(std::exchange(other.growth_left_, 0)) {}
    ControlTable& operator=(ControlTable&& other) noexcept {
        std::swap(slots_, other.slots_);
        std::swap(ctrl_, other.ctrl_);
        std::swap(capacity_, other.capacity_);
        std::swap(size_, other.size_);
        std::swap(tombstones_, other.tombstones_);
        std::swap(growth_left_, other.growth_left_);
        return *this;
    }
    ControlTable(const ControlTable&) = delete;
    ControlTable& operator=(const ControlTable&) = delete;
    ~ControlTable() { free_bytes(slots_); }

    std::size_t capacity() const noexcept { return capacity_; }
    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    std::size_t tombstones() const noexcept { return tombstones_; }
    Slot* slots() noexcept { return slots_; }
    const Slot* slots() const noexcept { return slots_; }
    bool is_full_bucket(std::size_t i) const noexcept { return is_full(ctrl_[i]); }

    // The first full bucket from the home of `hash` whose h2 matches and for
    // whose slot match(const Slot&) is true, or npos.
    template <class Match>
    std::size_t find_bucket(std::uint64_t hash, Match&& match) const noexcept {
        if (capacity_ == 0) return npos;
        const ctrl_t h2 = h2_of(hash);
        std::size_t pos = h1_of(hash) & mask();
        // The home slot is the likely hit: fetch it while the control bytes load.
        __builtin_prefetch(slots_ + pos);
        for (;;) {
            const Group g(ctrl_ + pos);
            for (std::uint32_t m = g.match(h2); m != 0; m &= m - 1) {
                const std::size_t i = (pos + static_cast<std::size_t>(std::countr_zero(m))) & mask();
                if (match(static_cast<const Slot&>(slots_[i]))) [[likely]]
                    return i;
            }
            if (g.match_empty() != 0) [[likely]]
                return npos;
            pos = (pos + kGroupWidth) & mask();
        }
    }

    // Marks the first non-full bucket from the home of `hash` full and counts
    // the new entry; the caller fills the slot. Returns npos, changing
    // nothing, when a rebuild must come first.
    std::size_t try_claim(std::uint64_t hash) noexcept {
        if (capacity_ == 0) [[unlikely]]
            return npos;
        const std::size_t i = find_first_non_full(hash);
        if (ctrl_[i] == kDeleted) {
            --tombstones_;
        } else {
            if (growth_left_ == 0) [[unlikely]]
                return npos;
            --growth_left_;
        }
        ++size_;
        set_ctrl(i, h2_of(hash));
        return i;
    }

    // The capacity of the rebuild an insertion needs when try_claim failed:
    // the first allocation, the same size (to drop tombstones) or double.
    std::size_t next_capacity() const noexcept {
        if (capacity_ == 0) return kMinCapacity;
        if (size_ <= max_load(capacity_) / 2) return capacity_;
        if (capacity_ > std::numeric_limits<std::size_t>::max() / 2) allocation_failed(std::numeric_limits<std::size_t>::max());
        return capacity_ * 2;
    }

    // The smallest capacity whose maximum load is at least n.
    static std::size_t capacity_for(std::size_t n) noexcept {
        std::size_t cap = kMinCapacity;
        while (max_load(cap) < n) {
            if (cap > std::numeric_limits<std::size_t>::max() / 2) allocation_failed(std::numeric_limits<std::size_t>::max());
            cap *= 2;
        }
        return cap;
    }

    // True if the table reaches n entries by insertions alone without a rebuild.
    bool fits(std::size_t n) const noexcept { return n <= size_ + growth_left_; }

    // Marks bucket i free after its slot's entry was destroyed or moved out.
    void release(std::size_t i) noexcept {
        --size_;
        if (ctrl_[i + 1] == kEmpty) {  // ctrl_[cap] mirrors ctrl_[0]
            set_ctrl(i, kEmpty);
            ++growth_left_;
            for (std::size_t j = (i - 1) & mask(); ctrl_[j] == kDeleted; j = (j - 1) & mask()) {
                set_ctrl(j, kEmpty);
                --tombstones_;
                ++growth_left_;
            }
        } else {
            set_ctrl(i, kDeleted);
            ++tombstones_;
        }
    }

    // Forgets every bucket (the slots must hold nothing that needs
    // destroying) and leaves `capacity` empty buckets; allocates only when
    // the capacity changes.
    void reset(std::size_t capacity) noexcept {
        if (capacity == capacity_) {
            std::memset(ctrl_, static_cast<unsigned char>(kEmpty), capacity_ + kGroupWidth - 1);
        } else {
            free_bytes(std::exchange(slots_, nullptr));
            allocate(capacity);
        }
        size_ = 0;
        tombstones_ = 0;
        growth_left_ = max_load(capacity_);
    }

    // Checks the bucket invariants of the header comment. For each full
    // bucket p, stored_hash(p, h) sets h to its entry's stored hash and checks
    // the entry itself; after the bucket checks, found(p, h) checks that a
    // lookup reaches p. Both return false after reporting through fail.
    template <class Fail, class StoredHash, class Found>
    bool verify_buckets(const Fail& fail, StoredHash&& stored_hash, Found&& found) const noexcept {
        if (capacity_ == 0) {
            if (slots_ != nullptr || ctrl_ != nullptr) return fail("storage without capacity");
            if (size_ != 0 || tombstones_ != 0 || growth_left_ != 0) return fail("counts of an unallocated table");
            return true;
        }
        if (!std::has_single_bit(capacity_) || capacity_ < kMinCapacity) return fail("capacity not a power of two >= 16");
        if (ctrl_ != reinterpret_cast<const ctrl_t*>(slots_ + capacity_)) return fail("control bytes misplaced");
        std::size_t full = 0, deleted = 0, empty_at = npos;
        for (std::size_t i = 0; i < capacity_; ++i) {
            const ctrl_t c = ctrl_[i];
            if (is_full(c)) ++full;
            else if (c == kDeleted) ++deleted;
            else if (c == kEmpty) empty_at = i;
            else return fail("invalid control byte");
        }
        for (std::size_t i = 0; i + 1 < kGroupWidth; ++i)
            if (ctrl_[capacity_ + i] != ctrl_[i]) return fail("mirrored control byte differs");
        if (full != size_) return fail("entry count differs from full buckets");
        if (deleted != tombstones_) return fail("tombstone count differs from DELETED buckets");
        if (size_ + tombstones_ + growth_left_ != max_load(capacity_)) return fail("load accounting (size + tombstones + growth_left != 7/8 cap)");
        if (empty_at == npos) return fail("no EMPTY bucket");
        // One lap from just after an EMPTY bucket; run_start is the first
        // bucket of the current run of non-EMPTY buckets.
        std::size_t run_start = (empty_at + 1) & mask();
        for (std::size_t step = 1; step <= capacity_; ++step) {
            const std::size_t p = (empty_at + step) & mask();
            const ctrl_t c = ctrl_[p];
            if (c == kEmpty) {
                run_start = (p + 1) & mask();
                continue;
            }
            if (!is_full(c)) continue;
            std::uint64_t h = 0;
            if (!stored_hash(p, h)) return false;
            if (c != h2_of(h)) return fail("control byte differs from h2 of the entry");
            const std::size_t home = h1_of(h) & mask();
            if (((p - home) & mask()) > ((p - run_start) & mask())) return fail("EMPTY bucket between an entry's home and its bucket");
            if (!found(p, h)) return false;
        }
        return true;
    }

protected:
    std::size_t mask() const noexcept { return capacity_ - 1; }

    // Writes a control byte and its mirror; for i >= 15 both stores hit ctrl[i].
    void set_ctrl(std::size_t i, ctrl_t c) noexcept {
        ctrl_[i] = c;
        ctrl_[((i - (kGroupWidth - 1)) & mask()) + (kGroupWidth - 1)] = c;
    }

    // Requires: capacity_ != 0.
    std::size_t find_first_non_full(std::uint64_t hash) const noexcept {
        std::size_t pos = h1_of(hash) & mask();
        for (;;) {
            const std::uint32_t m = Group(ctrl_ + pos).match_non_full();
            if (m != 0) [[likely]]
                return (pos + static_cast<std::size_t>(std::countr_zero(m))) & mask();
            pos = (pos + kGroupWidth) & mask();
        }
    }

    // Takes fresh storage with every bucket EMPTY; the old storage is the
    // caller's to empty and free. Counts are the caller's too.
    void allocate(std::size_t capacity) noexcept {
        const std::size_t slot_bytes = array_bytes<Slot>(capacity);
        const std::size_t ctrl_bytes = capacity + kGroupWidth - 1;
        if (slot_bytes > std::numeric_limits<std::size_t>::max() - ctrl_bytes) allocation_failed(std::numeric_limits<std::size_t>::max());
        void* block = allocate_bytes(slot_bytes + ctrl_bytes);
        slots_ = static_cast<Slot*>(block);
        ctrl_ = reinterpret_cast<ctrl_t*>(static_cast<unsigned char*>(block) + slot_bytes);
        std::memset(ctrl_, static_cast<unsigned char>(kEmpty), ctrl_bytes);
        capacity_ = capacity;
    }

    Slot* slots_ = nullptr;  // start of the single allocation
    ctrl_t* ctrl_ = nullptr;
    std::size_t capacity_ = 0;
    std::size_t size_ = 0;
    std::size_t tombstones_ = 0;
    std::size_t growth_left_ = 0;  // EMPTY buckets an insertion may still take before a rebuild
};

}  // namespace hash_table_detail

// A table whose slots hold the entries themselves. `Policy` supplies:
//   using Entry = ...;   // stored type, nothrow movable
//   using Key = ...;     // lookup key, passed by value
//   static std::uint64_t hash(const HashKey&, Key) noexcept;
//   static std::uint64_t stored_hash(const HashKey&, const Entry&) noexcept;
//   static Key key_of(const Entry&) noexcept;
//   static bool matches(const Entry&, Key, std::uint64_t hash) noexcept;
template <class Policy>
class HashTable : private hash_table_detail::ControlTable<typename Policy::Entry> {
    using ctrl_t = hash_table_detail::ctrl_t;
    using Base = hash_table_detail::ControlTable<typename Policy::Entry>;
    using Base::capacity_;
    using Base::ctrl_;
    using Base::growth_left_;
    using Base::mask;
    using Base::npos;
    using Base::set_ctrl;
    using Base::size_;
    using Base::slots_;
    using Base::tombstones_;

public:
    using Entry = typename Policy::Entry;
    using Key = typename Policy::Key;

    static_assert(std::is_nothrow_move_constructible_v<Entry>, "entries move during rebuilds, which cannot fail");
    static_assert(std::is_nothrow_destructible_v<Entry>);

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

    explicit HashTable(HashKey key) noexcept : key_(key) {}

    HashTable(HashTable&& other) noexcept : Base(std::move(other)), key_(other.key_) {}

    HashTable& operator=(HashTable&& other) noexcept {
        if (this != &other) {
            HashTable old(std::move(*this));
            key_ = other.key_;
            Base::operator=(std::move(other));  // swaps with the emptied *this
        }
        return *this;
    }

    HashTable(const HashTable&) = delete;
    HashTable& operator=(const HashTable&) = delete;

    ~HashTable() {
        for (std::size_t i = 0; i < capacity_; ++i)
            if (hash_table_detail::is_full(ctrl_[i])) slots_[i].~Entry();
    }

    using Base::capacity;
    using Base::empty;
    using Base::size;
    using Base::tombstones;
    HashKey hash_key() const noexcept { return key_; }

    std::uint64_t hash(Key key) const noexcept { return Policy::hash(key_, key); }

    // Requires: hash == this->hash(key).
    Entry* find(Key key, std::uint64_t hash) noexcept {
        const std::size_t i = find_index(key, hash);
        return i == npos ? nullptr : slots_ + i;
    }
    const Entry* find(Key key, std::uint64_t hash) const noexcept {
        const std::size_t i = find_index(key, hash);
        return i == npos ? nullptr : slots_ + i;
    }

    // Builds a new entry from `args`; may rebuild the table first.
    // Requires: hash is the hash of the new entry's key, and no entry has that key.
    template <class... Args>
    Entry& insert_new(std::uint64_t hash, Args&&... args) noexcept {
        static_assert(noexcept(Entry{std::forward<Args>(args)...}), "a rebuild may already have happened");
        std::size_t i = this->try_claim(hash);
        if (i == npos) [[unlikely]] {
            make_room();
            i = this->try_claim(hash);
        }
        return *::new (static_cast<void*>(slots_ + i)) Entry{std::forward<Args>(args)...};
    }

    // Destroys the entry. Requires: `entry` is an entry of this table.
    void erase(const Entry& entry) noexcept {
        const std::size_t i = static_cast<std::size_t>(&entry - slots_);
        slots_[i].~Entry();
        this->release(i);
    }

    // Moves the entry out and removes it. Requires: `entry` is an entry of this table.
    Entry extract(Entry& entry) noexcept {
        Entry out(std::move(entry));
        erase(entry);
        return out;
    }

    // Makes room so that the table holds `n` entries in total without
    // rebuilding during the insertions.
    void reserve(std::size_t n) noexcept {
        if (this->fits(n)) return;
        if (n <= hash_table_detail::max_load(capacity_))
            rehash_in_place();
        else
            resize(Base::capacity_for(n));
    }

    const_iterator begin() const noexcept { return const_iterator(ctrl_, slots_, ctrl_ + capacity_); }
    const_iterator end() const noexcept { return const_iterator(ctrl_ + capacity_, slots_ + capacity_, ctrl_ + capacity_); }

    // Moves the entries out one by one in bucket order, calling f(Entry&&).
    // If f returns bool, false stops the drain (returns false); entries not
    // yet handed out stay in the table, which remains consistent, and the
    // same holds if f throws.
    template <class F>
    bool drain(F&& f) {
        for (std::size_t i = 0; i < capacity_ && size_ != 0; ++i) {
            if (!hash_table_detail::is_full(ctrl_[i])) continue;
            Entry e = extract(slots_[i]);
            if constexpr (std::is_same_v<std::invoke_result_t<F&, Entry&&>, bool>) {
                if (!std::invoke(f, std::move(e))) return false;
            } else {
                std::invoke(f, std::move(e));
            }
        }
        return true;
    }

    // Walks the whole table and checks every invariant of the header comment.
    // Writes the first violation to standard error and returns false.
    bool verify() const noexcept {
        auto fail = [](const char* what) {
            std::fprintf(stderr, "hash table invariant violated: %s\n", what);
            return false;
        };
        return this->verify_buckets(
            fail,
            [&](std::size_t p, std::uint64_t& h) {
                h = Policy::stored_hash(key_, slots_[p]);
                if (h != Policy::hash(key_, Policy::key_of(slots_[p]))) return fail("stored hash differs from the key's hash");
                return true;
            },
            [&](std::size_t p, std::uint64_t h) {
                // find() returns the first match from the home, so a
                // duplicate key before p would be found instead of p.
                if (find_index(Policy::key_of(slots_[p]), h) != p) return fail("entry not found at its bucket (duplicate key?)");
                return true;
            });
    }

private:
    std::size_t find_index(Key key, std::uint64_t hash) const noexcept {
        return this->find_bucket(hash, [&](const Entry& e) { return Policy::matches(e, key, hash); });
    }

    [[gnu::noinline]] void make_room() noexcept {
        const std::size_t cap = this->next_capacity();
        if (cap == capacity_)
            rehash_in_place();
        else
            resize(cap);
    }

    // Moves every entry into fresh storage of `capacity` buckets.
    void resize(std::size_t capacity) noexcept {
        using namespace hash_table_detail;
        Entry* old_slots = slots_;
        const ctrl_t* old_ctrl = ctrl_;
        const std::size_t old_capacity = capacity_;
        this->allocate(capacity);
        for (std::size_t i = 0; i < old_capacity; ++i) {
            if (!is_full(old_ctrl[i])) continue;
            const std::uint64_t h = Policy::stored_hash(key_, old_slots[i]);
            const std::size_t t = this->find_first_non_full(h);
            set_ctrl(t, h2_of(h));
            ::new (static_cast<void*>(slots_ + t)) Entry(std::move(old_slots[i]));
            old_slots[i].~Entry();
        }
        free_bytes(old_slots);
        tombstones_ = 0;
        growth_left_ = max_load(capacity_) - size_;
    }

    // Rebuilds at the same capacity without allocating, dropping all
    // tombstones. Entries still to be placed are marked DELETED; every other
    // bucket is EMPTY or holds an entry already placed for good. Each entry
    // goes to the first non-full bucket from its home, so placed entries
    // satisfy the reachability invariant and never move again.
    void rehash_in_place() noexcept {
        using namespace hash_table_detail;
        for (std::size_t i = 0; i < capacity_; ++i) ctrl_[i] = is_full(ctrl_[i]) ? kDeleted : kEmpty;
        std::memcpy(ctrl_ + capacity_, ctrl_, kGroupWidth - 1);
        for (std::size_t i = 0; i < capacity_;) {
            if (ctrl_[i] != kDeleted) {
                ++i;
                continue;
            }
            const std::uint64_t h = Policy::stored_hash(key_, slots_[i]);
            const std::size_t t = this->find_first_non_full(h);  // cyclically in [home, i]
            if (t == i) {
                set_ctrl(i, h2_of(h));
                ++i;
            } else if (ctrl_[t] == kEmpty) {
                ::new (static_cast<void*>(slots_ + t)) Entry(std::move(slots_[i]));
                slots_[i].~Entry();
                set_ctrl(t, h2_of(h));
                set_ctrl(i, kEmpty);
                ++i;
            } else {
                // t holds an entry still to be placed: swap, and place the
                // one now at i on the next pass of the loop.
                Entry tmp(std::move(slots_[t]));
                slots_[t].~Entry();
                ::new (static_cast<void*>(slots_ + t)) Entry(std::move(slots_[i]));
                slots_[i].~Entry();
                ::new (static_cast<void*>(slots_ + i)) Entry(std::move(tmp));
                set_ctrl(t, h2_of(h));
            }
        }
        tombstones_ = 0;
        growth_left_ = max_load(capacity_) - size_;
    }

    HashKey key_;
};

// ---------------------------------------------------------------------------
// Map from owned UTF-8 byte strings to move-only values.

// Keys are hashed as their bytes followed by one 0xFF byte (so that no key's
// byte sequence is a prefix of another key's hashed input) and compared by
// length, then bytes. The hash is kept beside the key: rebuilds need no
// rehashing and most mismatches are settled without touching the bytes.
template <class V>
struct HashMapEntry {
    String key;
    V value;
    std::uint64_t hash;
};

template <class V>
struct HashMapPolicy {
    static std::uint64_t hash(const HashKey& k, std::string_view key) noexcept {
        return siphash<1, 3, true>(k.k0, k.k1, key.data(), key.size(), 0xff);
    }
};

// Values are move-only handles (in the module, an owning object reference):
// the map destroys each stored value exactly once — when it is replaced and
// handed back by insert(), handed out by remove() or drain(), or when the map
// is destroyed. Whenever the map hands out or destroys a value it is
// consistent, so that code may use the map.
template <class V>
class HashMap {
    static_assert(std::is_nothrow_move_constructible_v<V> && std::is_nothrow_move_assignable_v<V>,
                  "map values must be nothrow movable handles");
    using Index = hash_table_detail::ControlTable<std::uint32_t>;
    static constexpr std::size_t npos = Index::npos;
    static constexpr std::size_t kMaxEntries = std::numeric_limits<std::uint32_t>::max();
    static constexpr std::size_t kMinEntryCapacity = 8;

public:
    using Entry = HashMapEntry<V>;
    using const_iterator = const Entry*;

    // An empty map with a fresh per-thread hash key; allocates nothing.
    HashMap() noexcept : key_(next_hash_key()) {}
    explicit HashMap(HashKey key) noexcept : key_(key) {}

    HashMap(HashMap&& other) noexcept
        : key_(other.key_),
          index_(std::move(other.index_)),
          entries_(std::exchange(other.entries_, nullptr)),
          entry_capacity_(std::exchange(other.entry_capacity_, 0)) {}

    HashMap& operator=(HashMap&& other) noexcept {
        if (this != &other) {
            HashMap old(std::move(*this));
            key_ = other.key_;
            index_ = std::move(other.index_);  // swaps with the emptied index
            entries_ = std::exchange(other.entries_, nullptr);
            entry_capacity_ = std::exchange(other.entry_capacity_, 0);
        }
        return *this;
    }

    HashMap(const HashMap&) = delete;
    HashMap& operator=(const HashMap&) = delete;

    ~HashMap() {
        std::destroy_n(entries_, size());
        free_bytes(entries_);
    }

    std::size_t size() const noexcept { return index_.size(); }
    bool empty() const noexcept { return index_.empty(); }
    // Buckets of the index.
    std::size_t capacity() const noexcept { return index_.capacity(); }
    std::size_t entry_capacity() const noexcept { return entry_capacity_; }
    std::size_t tombstones() const noexcept { return index_.tombstones(); }
    HashKey hash_key() const noexcept { return key_; }

    // Lets the map reach `n` entries by insertions without reallocating or
    // rebuilding anything (e.g. a snapshot).
    void reserve(std::size_t n) noexcept {
        if (n > entry_capacity_) reallocate_entries(n);
        if (!index_.fits(n))
            rebuild_index(n <= hash_table_detail::max_load(capacity()) ? capacity() : Index::capacity_for(n));
    }

    // Stores `value` under `key`. If the key was present its value is
    // replaced and the old value is returned; the map is already consistent
    // then, so destroying the old value may run code that uses the map.
    std::optional<V> insert(String key, V value) noexcept {
        const std::uint64_t h = hash(key);
        const std::size_t b = find_bucket(key, h);
        if (b != npos) return std::optional<V>(std::exchange(entries_[index_.slots()[b]].value, std::move(value)));
        const std::size_t n = size();
        if (n == entry_capacity_) [[unlikely]]
            grow_entries();
        std::size_t slot = index_.try_claim(h);
        if (slot == npos) [[unlikely]] {
            rebuild_index(index_.next_capacity());
            slot = index_.try_claim(h);
        }
        ::new (static_cast<void*>(entries_ + n)) Entry{std::move(key), std::move(value), h};
        index_.slots()[slot] = static_cast<std::uint32_t>(n);
        return std::nullopt;
    }

    // The stored value, or null. The pointer is invalidated by any insertion
    // or removal; do not hold it across code that may change the map. An
    // empty map answers without hashing.
    const V* find(std::string_view key) const noexcept {
        if (empty()) return nullptr;
        const std::size_t b = find_bucket(key, hash(key));
        return b == npos ? nullptr : &entries_[index_.slots()[b]].value;
    }

    bool contains(std::string_view key) const noexcept { return find(key) != nullptr; }

    // Takes the entry out; its key is freed and its value handed to the
    // caller. The last entry moves into the freed position.
    std::optional<V> remove(std::string_view key) noexcept {
        if (empty()) return std::nullopt;
        const std::size_t b = find_bucket(key, hash(key));
        if (b == npos) return std::nullopt;
        const std::size_t i = index_.slots()[b];
        std::optional<V> out(std::move(entries_[i].value));
        index_.release(b);
        fill_hole(i);
        return out;
    }

    // Entry order: insertion order, except that a removal moves the last
    // entry into the removed one's place. Each element is a const Entry with
    // .key and .value.
    const_iterator begin() const noexcept { return entries_; }
    const_iterator end() const noexcept { return entries_ + size(); }

    // Calls f(std::string_view key, const V& value) in entry order.
    template <class F>
    void for_each(F&& f) const {
        for (const Entry& e : *this) f(std::string_view(e.key), e.value);
    }

    // Moves the entries out in entry order, calling f(String&& key, V&& value).
    // If f returns bool, false stops the drain and drain returns false; what
    // f did not take and the entries not yet handed out are still destroyed
    // exactly once (the rest by the map's destructor, in their former
    // order). The same holds if f throws.
    template <class F>
    bool drain(F&& f) {
        if (empty()) return true;
        // Reversed, the next entry to hand out is always the last one, whose
        // removal moves nothing.
        reverse_entries();
        struct RestoreOrder {
            HashMap& map;
            ~RestoreOrder() {
                if (!map.empty()) map.reverse_entries();
            }
        } restore{*this};
        while (!empty()) {
            const std::size_t last = size() - 1;
            index_.release(bucket_of_entry(last));
            Entry e(std::move(entries_[last]));
            entries_[last].~Entry();
            if constexpr (std::is_same_v<std::invoke_result_t<F&, String&&, V&&>, bool>) {
                if (!std::invoke(f, std::move(e.key), std::move(e.value))) return false;
            } else {
                std::invoke(f, std::move(e.key), std::move(e.value));
            }
        }
        return true;
    }

    // Checks every invariant of the header comment; writes the first
    // violation to standard error and returns false.
    bool verify() const noexcept {
        auto fail = [](const char* what) {
            std::fprintf(stderr, "hash map invariant violated: %s\n", what);
            return false;
        };
        const std::size_t n = size();
        if ((entries_ == nullptr) != (entry_capacity_ == 0)) return fail("entry storage and entry capacity disagree");
        if (entry_capacity_ > kMaxEntries) return fail("entry capacity beyond 32-bit positions");
        if (n > entry_capacity_) return fail("more entries than entry capacity");
        unsigned char* seen = static_cast<unsigned char*>(allocate_bytes(n));
        std::memset(seen, 0, n);
        const bool ok = index_.verify_buckets(
            fail,
            [&](std::size_t p, std::uint64_t& h) {
                const std::size_t i = index_.slots()[p];
                if (i >= n) return fail("bucket points past the entries");
                if (seen[i] != 0) return fail("two buckets point at one entry");
                seen[i] = 1;
                h = entries_[i].hash;
                if (h != hash(entries_[i].key)) return fail("stored hash differs from the key's hash");
                return true;
            },
            [&](std::size_t p, std::uint64_t h) {
                // The first match from the home; a duplicate key before p
                // would be found instead.
                if (find_bucket(entries_[index_.slots()[p]].key, h) != p) return fail("entry not found at its bucket (duplicate key?)");
                return true;
            });
        free_bytes(seen);
        return ok;
    }

private:
    std::uint64_t hash(std::string_view key) const noexcept { return HashMapPolicy<V>::hash(key_, key); }

    std::size_t find_bucket(std::string_view key, std::uint64_t h) const noexcept {
        return index_.find_bucket(h, [&](std::uint32_t i) {
            const Entry& e = entries_[i];
            return e.hash == h && std::string_view(e.key) == key;
        });
    }

    // Requires: i < size().
    std::size_t bucket_of_entry(std::size_t i) const noexcept {
        return index_.find_bucket(entries_[i].hash, [i](std::uint32_t slot) { return slot == i; });
    }

    // Position i lost its bucket and its value; the count is already one
    // less. Moves the last entry there, repoints its bucket, then destroys
    // the vacated last position, so no value goes while the map is torn.
    void fill_hole(std::size_t i) noexcept {
        const std::size_t last = size();
        if (i != last) {
            index_.slots()[bucket_of_entry(last)] = static_cast<std::uint32_t>(i);
            entries_[i] = std::move(entries_[last]);
        }
        entries_[last].~Entry();
    }

    void reverse_entries() noexcept {
        const std::size_t n = size();
        std::reverse(entries_, entries_ + n);
        std::uint32_t* slots = index_.slots();
        const auto top = static_cast<std::uint32_t>(n - 1);
        for (std::size_t b = 0; b < index_.capacity(); ++b)
            if (index_.is_full_bucket(b)) slots[b] = top - slots[b];
    }

    // Places every entry afresh in `capacity` buckets, in entry order.
    // Requires: size() <= max_load(capacity).
    void rebuild_index(std::size_t capacity) noexcept {
        const std::size_t n = size();
        index_.reset(capacity);
        std::uint32_t* slots = index_.slots();
        for (std::size_t i = 0; i < n; ++i) slots[index_.try_claim(entries_[i].hash)] = static_cast<std::uint32_t>(i);
    }

    [[gnu::noinline]] void grow_entries() noexcept {
        if (entry_capacity_ >= kMaxEntries) allocation_failed(std::numeric_limits<std::size_t>::max());
        reallocate_entries(entry_capacity_ == 0 ? kMinEntryCapacity : std::min(entry_capacity_ * 2, kMaxEntries));
    }

    void reallocate_entries(std::size_t capacity) noexcept {
        if (capacity > kMaxEntries) allocation_failed(array_bytes<Entry>(capacity));
        Entry* fresh = allocate_array<Entry>(capacity);
        const std::size_t n = size();
        for (std::size_t i = 0; i < n; ++i) {
            ::new (static_cast<void*>(fresh + i)) Entry(std::move(entries_[i]));
            entries_[i].~Entry();
        }
        free_bytes(std::exchange(entries_, fresh));
        entry_capacity_ = capacity;
    }

    HashKey key_;
    Index index_;
    Entry* entries_ = nullptr;  // [0, size) live, then raw up to entry_capacity_
    std::size_t entry_capacity_ = 0;
};

// ---------------------------------------------------------------------------
// Set of 64-bit integers: 8-byte slots plus one control byte per bucket.

struct HashSetPolicy {
    using Entry = std::int64_t;
    using Key = std::int64_t;

    // SipHash-1-3 of the integer's 8 little-endian bytes.
    static std::uint64_t hash(const HashKey& k, std::int64_t v) noexcept {
        return siphash13_u64(k.k0, k.k1, static_cast<std::uint64_t>(v));
    }
    static std::uint64_t stored_hash(const HashKey& k, std::int64_t v) noexcept { return hash(k, v); }
    static std::int64_t key_of(std::int64_t v) noexcept { return v; }
    static bool matches(std::int64_t e, std::int64_t v, std::uint64_t) noexcept { return e == v; }
};

class HashSet {
    using Table = HashTable<HashSetPolicy>;

public:
    using const_iterator = Table::const_iterator;

    // An empty set with a fresh per-thread hash key; allocates nothing.
    HashSet() noexcept : table_(next_hash_key()) {}
    explicit HashSet(HashKey key) noexcept : table_(key) {}

    HashSet(HashSet&&) noexcept = default;
    HashSet& operator=(HashSet&&) noexcept = default;

    std::size_t size() const noexcept { return table_.size(); }
    bool empty() const noexcept { return table_.empty(); }
    std::size_t capacity() const noexcept { return table_.capacity(); }
    HashKey hash_key() const noexcept { return table_.hash_key(); }
    void reserve(std::size_t n) noexcept { table_.reserve(n); }

    // True if v was added, false if it was already present.
    bool insert(std::int64_t v) noexcept {
        const std::uint64_t h = table_.hash(v);
        if (table_.find(v, h) != nullptr) return false;
        table_.insert_new(h, v);
        return true;
    }

    // An empty set answers without hashing.
    bool contains(std::int64_t v) const noexcept {
        if (table_.empty()) return false;
        return table_.find(v, table_.hash(v)) != nullptr;
    }

    // True if v was present and is now removed.
    bool remove(std::int64_t v) noexcept {
        const std::int64_t* e = table_.find(v, table_.hash(v));
        if (e == nullptr) return false;
        table_.erase(*e);
        return true;
    }

    // Bucket order: the same for two walks of an unchanged set.
    const_iterator begin() const noexcept { return table_.begin(); }
    const_iterator end() const noexcept { return table_.end(); }

    template <class F>
    void for_each(F&& f) const {
        for (std::int64_t v : table_) f(v);
    }

    Vec<std::int64_t> to_vector() const {
        Vec<std::int64_t> out;
        out.reserve(table_.size());
        for (std::int64_t v : table_) out.push_back(v);
        return out;
    }

    bool verify() const noexcept { return table_.verify(); }
    std::size_t tombstones() const noexcept { return table_.tombstones(); }

private:
    Table table_;
};

}  // namespace velkorin
