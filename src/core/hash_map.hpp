// Map from UTF-8 byte strings to move-only values: a dense entry array in
// insertion order behind an index of the control bytes of hash_control.hpp.
// One allocation holds all three parts:
//
//     entries: [{text hash, value, key}0][...1] ... [...size-1] | spare up to 7/8 cap
//     slots:   [ 2][  ][ 0][  ][ 1]...       (uint32 entry positions, cap of them)
//     ctrl:    [h2][E ][h2][D ][h2]... | 15 mirrored bytes
//
// A lookup touches the control bytes, one 4-byte slot and one entry; a walk
// in insertion order streams through the entries. The home bucket's slot
// usually names the key's entry, so find() fetches that entry while it reads
// the control bytes: on a hit the two misses overlap. The entry array holds
// exactly max_load(cap) entries, so it fills exactly when the index must
// grow, and both grow in one step: one allocation per doubling, and a small
// map makes one allocation of 559 bytes (14 entries, 16 buckets).
//
// Entries are 32 bytes, aligned to 32, so none straddles a cache line: the
// key's text hash (8), the value (8, an object reference in the module) and
// the key (16). Why 32: two entries per line, the smallest power of two that
// holds a hash, a pointer-sized value and a useful inline key. A key of up to 15
// bytes lies in the entry itself (one byte 0x80 | length, zeros, then the
// bytes, see MapKey), so a lookup reads it without a pointer chase and
// compares it as two words. Longer keys live in a block of their own, their
// entry holding the length and the pointer: in a word count over the
// standard library's sources they are 3% of the tokens (a quarter of the
// distinct words); a 48-byte entry (31 bytes inline) would make every entry
// half as large again to spare those few tokens a pointer chase.
//
// Invariants (checked by verify(), beyond those of the control bytes):
//   - entries [0, size) are live, the rest raw; the full buckets' slots are
//     exactly the positions 0..size-1, each once;
//   - every slot, of a full bucket or not, is below the entry capacity
//     (slots start zeroed), so the entry a home slot names may be fetched
//     before the bucket is known to be full;
//   - each entry's stored hash is the text hash of its key (TextHash), no two
//     keys are equal;
//   - a key is inline exactly when it is at most 15 bytes long, with zero
//     padding (so equal keys have equal words);
//   - a map without a key has no storage (it is the all-zero state).
//
// Removal moves the last entry into the hole and points its bucket at the
// new position. Nothing shrinks. How keys are stored, hashed and placed, and
// why a flood of keys cannot pile up: hash_map_key.hpp.
//
// The empty state is all-zero bytes, by design: no key, no storage. A map in
// it (made by HashMap(), or memory that no constructor ran over) answers
// lookups without hashing and takes a key from next_hash_key() before its
// first insertion. HashMap(key) is empty too, with that key from the start.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>

#include "core/hash_control.hpp"
#include "core/hash_keys.hpp"
#include "core/hash_map_key.hpp"
#include "core/invariant.hpp"
#include "core/memory.hpp"
#include "core/siphash.hpp"

namespace velkorin::core {

struct BytesTextHash;

template <class V, class TextHash = BytesTextHash>
class HashMap;

// What a walk over the entries fetches ahead for a value: nothing, unless the
// value type says otherwise (the module's object references fetch their
// object, whose reference count the walk will touch).
template <class V>
struct HashMapValuePrefetch {
    static void ahead(const V&) noexcept {}
};

// Values are move-only handles (in the module, an owning object reference):
// the map destroys each stored value exactly once: when it is replaced and
// handed back by insert(), handed out by remove() or drain(), or when the map
// is destroyed. Whenever the map hands out or destroys a value it is
// consistent, so that code may use the map.
template <class V, class TextHash>
class HashMap {
    static_assert(std::is_nothrow_move_constructible_v<V> && std::is_nothrow_move_assignable_v<V>,
                  "map values must be nothrow movable handles");
    using Control = hash_table_detail::ControlTable;
    using ctrl_t = hash_table_detail::ctrl_t;
    static constexpr std::size_t npos = hash_table_detail::npos;
    // Entry positions are 32-bit; max_load(2^32) still fits.
    static constexpr std::size_t kMaxCapacity = std::size_t{1} << 32;
    static constexpr std::size_t kEntryAlign = 32;
    // How far ahead a walk over the entries fetches what it will need: enough
    // to cover a miss to memory at a few nanoseconds per step.
    static constexpr std::size_t kLookahead = 8;

public:
    using Entry = HashMapEntry<V>;
    using const_iterator = const Entry*;

    static_assert(alignof(Entry) <= kEntryAlign);

    // The all-zero state (see the header comment); HashMap(key) has a key.
    HashMap() noexcept = default;
    explicit HashMap(HashKey key) noexcept : key_(key) {}

    // A snapshot of `other` under `key`: the same entries in the same order,
    // each key's bytes duplicated, each value made by copy(const V&), each
    // placed anew from its stored text hash. Sized for other.size() entries
    // at once. `other` may check its text hashes with another policy.
    template <class OtherTextHash, class Copy>
    HashMap(const HashMap<V, OtherTextHash>& other, HashKey key, Copy&& copy) noexcept : key_(key) {
        static_assert(noexcept(V(copy(std::declval<const V&>()))), "a snapshot cannot fail halfway");
        const std::size_t n = other.size();
        if (n == 0) return;
        allocate(hash_table_detail::capacity_for(n));
        for (std::size_t i = 0; i < n; ++i) {
            if (i + kLookahead < n) HashMapValuePrefetch<V>::ahead(other.entries_[i + kLookahead].value);
            const Entry& src = other.entries_[i];
            ::new (static_cast<void*>(entries_ + i)) Entry{src.hash, V(copy(src.value)), src.key.clone()};
            slots_[index_.place(place(src.hash))] = static_cast<std::uint32_t>(i);
        }
        index_.placed(n);
        check_after_change();
    }

    // The source is left in the all-zero state.
    HashMap(HashMap&& other) noexcept
        : entries_(std::exchange(other.entries_, nullptr)),
          slots_(std::exchange(other.slots_, nullptr)),
          block_(std::exchange(other.block_, nullptr)),
          index_(std::exchange(other.index_, Control{})),
          key_(std::exchange(other.key_, TableKey{})),
          recent_(std::exchange(other.recent_, 0)) {}

    HashMap& operator=(HashMap&& other) noexcept {
        if (this != &other) {
            HashMap old(std::move(*this));
            entries_ = std::exchange(other.entries_, nullptr);
            slots_ = std::exchange(other.slots_, nullptr);
            block_ = std::exchange(other.block_, nullptr);
            index_ = std::exchange(other.index_, Control{});
            key_ = std::exchange(other.key_, TableKey{});
            recent_ = std::exchange(other.recent_, 0);
        }
        return *this;
    }

    HashMap(const HashMap&) = delete;
    HashMap& operator=(const HashMap&) = delete;

    // Values go in entry order.
    ~HashMap() {
        for (std::size_t i = 0, n = size(); i < n; ++i) {
            if (i + kLookahead < n) HashMapValuePrefetch<V>::ahead(entries_[i + kLookahead].value);
            entries_[i].value.~V();
            entries_[i].key.free();
        }
        free_bytes(block_);
    }

    std::size_t size() const noexcept { return index_.size(); }
    bool empty() const noexcept { return index_.empty(); }
    // Buckets of the index.
    std::size_t capacity() const noexcept { return index_.capacity(); }
    std::size_t entry_capacity() const noexcept { return hash_table_detail::max_load(capacity()); }
    std::size_t tombstones() const noexcept { return index_.tombstones(); }
    bool keyed() const noexcept { return key_.keyed(); }
    HashKey hash_key() const noexcept { return key_.get(); }
    // Where this table places a text hash: its low 7 bits are the control
    // byte, the rest pick the home bucket.
    std::uint64_t place(std::uint64_t text_hash) const noexcept { return hash_map_detail::place(key_.get(), text_hash); }

    // Stores `value` under `key`. If the key was present its value is
    // replaced and the old value is returned; the map is already consistent
    // then, so destroying the old value may run code that uses the map.
    std::optional<V> insert(TextKey key, V value) noexcept {
        const KeyProbe probe(key);
        if (empty()) [[unlikely]]
            return insert_into_empty(probe, key.hash, std::move(value));
        if (recent(probe, key.hash) != nullptr) return std::optional<V>(std::exchange(entries_[recent_].value, std::move(value)));
        const std::uint64_t p = place(key.hash);
        const std::size_t found = find_bucket(probe, key.hash, p);
        if (found != npos) {
            recent_ = slots_[found];
            return std::optional<V>(std::exchange(entries_[recent_].value, std::move(value)));
        }
        // A second probe from the home: its window is still in the cache.
        std::size_t b = index_.try_claim(p);
        if (b == npos) [[unlikely]] {
            grow();
            b = index_.try_claim(p);
        }
        append(b, key.hash, probe, std::move(value));
        return std::nullopt;
    }

    // The stored value, or null. The pointer is invalidated by any insertion
    // or removal; do not hold it across code that may change the map. (The
    // caller of the TextKey forms decides whether to hash for an empty map.)
    const V* find(TextKey key) const noexcept {
        if (empty()) return nullptr;
        const KeyProbe probe(key);
        if (const Entry* e = recent(probe, key.hash)) return &e->value;
        const std::uint64_t p = place(key.hash);
        // A lookup usually finds its key, which usually sits in its home
        // bucket: fetch the entry that slot names while the control bytes
        // load (see the header comment). An insertion usually adds its key,
        // and there this fetch only cost time.
        VELKORIN_PREFETCH(entries_ + slots_[index_.home(p)]);
        const std::size_t b = find_bucket(probe, key.hash, p);
        if (b == npos) return nullptr;
        recent_ = slots_[b];
        return &entries_[recent_].value;
    }

    bool contains(TextKey key) const noexcept { return find(key) != nullptr; }

    // Takes the entry out; its key is freed and its value handed to the
    // caller. The last entry moves into the freed position.
    std::optional<V> remove(TextKey key) noexcept {
        if (empty()) return std::nullopt;
        const std::size_t b = find_bucket(KeyProbe(key), key.hash, place(key.hash));
        if (b == npos) return std::nullopt;
        const std::size_t i = slots_[b];
        std::optional<V> out(std::move(entries_[i].value));
        index_.vacate(b);
        fill_hole(i);
        check_after_change();
        return out;
    }

    // The same with the text hashed by TextHash; an empty map answers
    // lookups without hashing.
    std::optional<V> insert(std::string_view key, V value) noexcept {
        return insert(TextKey{key, TextHash::of(key)}, std::move(value));
    }
    const V* find(std::string_view key) const noexcept {
        return empty() ? nullptr : find(TextKey{key, TextHash::of(key)});
    }
    bool contains(std::string_view key) const noexcept { return find(key) != nullptr; }
    std::optional<V> remove(std::string_view key) noexcept {
        if (empty()) return std::nullopt;
        return remove(TextKey{key, TextHash::of(key)});
    }

    // Entry order: insertion order, except that a removal moves the last
    // entry into the removed one's place. Each element is a const Entry with
    // .key (data(), size(), view()) and .value.
    const_iterator begin() const noexcept { return entries_; }
    const_iterator end() const noexcept { return entries_ + size(); }

    // Moves the entries out in entry order, calling f(std::string_view key,
    // V&& value); the key's bytes are valid during the call. If f returns
    // bool, false stops the drain and drain returns false. A value that f
    // does not take is destroyed right after the call; the entries not yet
    // handed out stay in the map, in their order, also if f throws.
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
            // Each step finds its entry's bucket from the stored hash: fetch
            // the index bytes (and the value) of an entry a few steps on.
            if (last >= kLookahead) {
                prefetch_home(entries_[last - kLookahead].hash);
                HashMapValuePrefetch<V>::ahead(entries_[last - kLookahead].value);
            }
            index_.vacate(bucket_of_entry(last));
            struct Taken {
                V value;
                MapKey key;
                ~Taken() { key.free(); }
            } taken{std::move(entries_[last].value), entries_[last].key};
            entries_[last].value.~V();
            check_after_change();
            if constexpr (std::is_same_v<std::invoke_result_t<F&, std::string_view, V&&>, bool>) {
                if (!std::invoke(f, taken.key.view(), std::move(taken.value))) return false;
            } else {
                std::invoke(f, taken.key.view(), std::move(taken.value));
            }
        }
        return true;
    }

    // For a map about to be destroyed: moves the values out in entry order,
    // from entry `next` on, into f(V&&), until f returns false (then this
    // returns false with `next` past the value f was given) or none is left
    // (then true). The map then serves only this and its destructor, which
    // frees the keys; f must not use it. No index work: a deallocation hands
    // its values out one batch at a time and never looks a key up again.
    template <class F>
    bool drain_values(std::size_t& next, F&& f) {
        for (const std::size_t n = size(); next < n;) {
            if (next + kLookahead < n) HashMapValuePrefetch<V>::ahead(entries_[next + kLookahead].value);
            V value(std::move(entries_[next++].value));
            if (!f(std::move(value))) return false;
        }
        return true;
    }

    // Checks every invariant of the header comment; the first violation.
    Violation verify() const noexcept {
        const std::size_t n = size(), cap = capacity();
        if (!keyed() && (cap != 0 || !(key_.get() == HashKey{}))) return "a map without a key holds storage or key bits";
        if (!index_.counts_consistent()) return "load accounting";
        if (cap == 0) {
            if (entries_ != nullptr || slots_ != nullptr || block_ != nullptr) return "storage without capacity";
        } else {
            if (cap > kMaxCapacity) return "capacity beyond 32-bit positions";
            const auto offset = reinterpret_cast<std::uintptr_t>(entries_) - reinterpret_cast<std::uintptr_t>(block_);
            if (reinterpret_cast<std::uintptr_t>(entries_) % kEntryAlign != 0 || offset >= kEntryAlign) return "entries misaligned in their block";
            if (reinterpret_cast<const void*>(slots_) != entries_ + entry_capacity()) return "slots misplaced";
            if (reinterpret_cast<const void*>(index_.bytes()) != slots_ + cap) return "control bytes misplaced";
        }
        for (std::size_t b = 0; b < cap; ++b)
            if (slots_[b] >= entry_capacity()) return "slot beyond the entries";
        for (std::size_t i = 0; i < n; ++i) {
            const MapKey& k = entries_[i].key;
            if (k.is_inline() != (k.size() <= MapKey::kInlineMax)) return "key stored in the wrong form for its length";
            if (k.is_inline()) {
                const auto* raw = reinterpret_cast<const unsigned char*>(&k);
                for (std::size_t j = 1; j < 16 - k.size(); ++j)
                    if (raw[j] != 0) return "inline key not zero-padded";
            } else if (k.data() == nullptr) {
                return "long key without bytes";
            }
        }
        unsigned char* seen = static_cast<unsigned char*>(allocate_bytes(n));
        std::memset(seen, 0, n);
        const Violation v = index_.verify(
            [&](std::size_t p, std::uint64_t& h) -> Violation {
                const std::size_t i = slots_[p];
                if (i >= n) return "bucket points past the entries";
                if (seen[i] != 0) return "two buckets point at one entry";
                seen[i] = 1;
                if (!text_hash_matches(entries_[i].key.view(), entries_[i].hash)) return "stored hash differs from the key's text hash";
                h = place(entries_[i].hash);
                return std::nullopt;
            },
            [&](std::size_t p, std::uint64_t h) -> Violation {
                // The first match from the home; a duplicate key before p
                // would be found instead.
                const Entry& e = entries_[slots_[p]];
                if (find_bucket(KeyProbe(e.key.view()), e.hash, h) != p) return "entry not found at its bucket (duplicate key?)";
                return std::nullopt;
            });
        free_bytes(seen);
        return v;
    }

private:
    // Requires: capacity() != 0; h is a stored text hash.
    void prefetch_home(std::uint64_t h) const noexcept {
        const std::size_t home = index_.home(place(h));
        VELKORIN_PREFETCH(index_.bytes() + home);
        VELKORIN_PREFETCH(slots_ + home);
    }

    static bool text_hash_matches(std::string_view text, std::uint64_t hash) noexcept {
        if constexpr (requires { TextHash::matches(text, hash); }) {
            return TextHash::matches(text, hash);
        } else {
            return TextHash::of(text) == hash;
        }
    }

    // The recent entry if it holds the key. Requires: !empty().
    const Entry* recent(const KeyProbe& probe, std::uint64_t text_hash) const noexcept {
        const Entry* e = entries_ + recent_;
        return recent_ < size() && e->hash == text_hash && probe.matches(e->key) ? e : nullptr;
    }

    // Requires: !empty(); p == place(text_hash).
    std::size_t find_bucket(const KeyProbe& probe, std::uint64_t text_hash, std::uint64_t p) const noexcept {
        // The home slot is the likely hit: fetch it while the control bytes load.
        VELKORIN_PREFETCH(slots_ + index_.home(p));
        return index_.find(p, [&](std::size_t b) {
            const Entry& e = entries_[slots_[b]];
            return e.hash == text_hash && probe.matches(e.key);
        });
    }

    VELKORIN_NOINLINE std::optional<V> insert_into_empty(const KeyProbe& probe, std::uint64_t text_hash, V value) noexcept {
        key_.ensure();
        if (capacity() == 0) allocate(hash_table_detail::kMinCapacity);
        append(index_.try_claim(place(text_hash)), text_hash, probe, std::move(value));
        return std::nullopt;
    }

    // Bucket b is claimed for the new entry; fills position size() - 1.
    void append(std::size_t b, std::uint64_t text_hash, const KeyProbe& probe, V value) noexcept {
        const std::size_t n = size() - 1;
        ::new (static_cast<void*>(entries_ + n)) Entry{text_hash, std::move(value), probe.store()};
        slots_[b] = static_cast<std::uint32_t>(n);
        recent_ = static_cast<std::uint32_t>(n);
        check_after_change();
    }

    void check_after_change() const noexcept {
        VELKORIN_INVARIANT(index_.counts_consistent(), "hash map load accounting");
        VELKORIN_INVARIANT(keyed() || capacity() == 0, "hash map storage without a key");
        sampled_verify(*this);
    }

    // Requires: i < size().
    std::size_t bucket_of_entry(std::size_t i) const noexcept {
        return index_.find(place(entries_[i].hash), [&](std::size_t b) { return slots_[b] == i; });
    }

    // Position i lost its bucket and its value; the count is already one
    // less. Frees its key, moves the last entry there and repoints that
    // entry's bucket; no value is destroyed while the map is torn.
    void fill_hole(std::size_t i) noexcept {
        const std::size_t last = size();
        entries_[i].value.~V();
        entries_[i].key.free();
        if (i != last) {
            slots_[bucket_of_entry(last)] = static_cast<std::uint32_t>(i);
            relocate(entries_ + i, entries_ + last, 1);
        }
    }

    void reverse_entries() noexcept {
        const std::size_t n = size();
        std::reverse(entries_, entries_ + n);
        const auto top = static_cast<std::uint32_t>(n - 1);
        for (std::size_t b = 0; b < capacity(); ++b)
            if (index_.is_full_bucket(b)) slots_[b] = top - slots_[b];
    }

    // Moves n entries into raw storage; the sources become raw.
    static void relocate(Entry* to, Entry* from, std::size_t n) noexcept {
        if constexpr (is_trivially_relocatable_v<V>) {
            std::memcpy(static_cast<void*>(to), static_cast<const void*>(from), n * sizeof(Entry));
        } else {
            for (std::size_t i = 0; i < n; ++i) {
                ::new (static_cast<void*>(to + i)) Entry{from[i].hash, std::move(from[i].value), from[i].key};
                from[i].value.~V();
            }
        }
    }

    // Bytes of a block for `capacity` buckets. malloc aligns to 16; one extra
    // half line buys the alignment of 32.
    static std::size_t block_bytes(std::size_t capacity) noexcept {
        if (capacity > kMaxCapacity) allocation_failed(std::numeric_limits<std::size_t>::max());
        return kEntryAlign / 2 + hash_table_detail::max_load(capacity) * sizeof(Entry) +
               capacity * sizeof(std::uint32_t) + Control::bytes_for(capacity);
    }

    static Entry* entries_of(void* block) noexcept {
        const auto at = reinterpret_cast<std::uintptr_t>(block);
        return reinterpret_cast<Entry*>((at + kEntryAlign - 1) & ~std::uintptr_t{kEntryAlign - 1});
    }

    // Takes `block` for `capacity` buckets with every bucket EMPTY.
    void adopt(void* block, std::size_t capacity) noexcept {
        block_ = block;
        entries_ = entries_of(block);
        slots_ = reinterpret_cast<std::uint32_t*>(entries_ + hash_table_detail::max_load(capacity));
        std::memset(slots_, 0, capacity * sizeof(std::uint32_t));
        index_.reset(reinterpret_cast<ctrl_t*>(slots_ + capacity), capacity);
    }

    void allocate(std::size_t capacity) noexcept { adopt(allocate_bytes(block_bytes(capacity)), capacity); }

    // Makes room for one more entry: the next capacity of the control bytes,
    // in place when that is the same capacity (only tombstones go). The
    // entries lead the block, so a larger block comes from realloc, which
    // moves a large block by remapping its pages rather than copying them;
    // the index behind them is rebuilt anyway.
    VELKORIN_NOINLINE void grow() noexcept {
        const std::size_t n = size();
        const std::size_t cap = index_.next_capacity();
        if (cap == capacity()) {
            index_.clear();
        } else if constexpr (is_trivially_relocatable_v<V>) {
            const auto offset = reinterpret_cast<unsigned char*>(entries_) - static_cast<unsigned char*>(block_);
            void* const block = reallocate_bytes(block_, block_bytes(cap));
            // The new block may sit differently against 32: shift by 16 then.
            Entry* const moved = reinterpret_cast<Entry*>(static_cast<unsigned char*>(block) + offset);
            if (entries_of(block) != moved) std::memmove(static_cast<void*>(entries_of(block)), static_cast<const void*>(moved), n * sizeof(Entry));
            adopt(block, cap);
        } else {
            Entry* const old_entries = entries_;
            void* const old_block = block_;
            allocate(cap);
            relocate(entries_, old_entries, n);
            free_bytes(old_block);
        }
        for (std::size_t i = 0; i < n; ++i) slots_[index_.place(place(entries_[i].hash))] = static_cast<std::uint32_t>(i);
        index_.placed(n);
    }

    Entry* entries_ = nullptr;  // [0, size) live, then raw up to entry_capacity()
    std::uint32_t* slots_ = nullptr;
    void* block_ = nullptr;  // the one allocation; entries_ lies at most 16 bytes in
    Control index_;
    TableKey key_;
    template <class, class>
    friend class HashMap;
    // The position of the entry last found or stored, tried before a probe:
    // a key that comes straight back (a count's get, then its insert) skips
    // the probe. A hint only, matched like any candidate, so any value will do.
    mutable std::uint32_t recent_ = 0;
};

}  // namespace velkorin::core
