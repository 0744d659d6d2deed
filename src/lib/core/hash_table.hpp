// Open-addressing hash table with one control byte per bucket, shared by the
// text-keyed map (`HashMap<V>`) and the integer set (`HashSet`).
//
// Layout. One allocation holds `capacity` entry slots followed by
// `capacity + 15` control bytes:
//
//     slots: [e0][e1]...[e(cap-1)]    ctrl: [c0 c1 ... c(cap-1) | c0 ... c14]
//                                                                 ^ copies, so 16
//                                                                   bytes can be read
//                                                                   from any bucket
//   control byte   0..127  the bucket holds an entry; the byte is h2(hash)
//                  0x80    EMPTY: never held an entry since the last rebuild
//                  0xFE    DELETED: a tombstone
//
// A 64-bit hash splits into h2 = its low 7 bits and h1 = the rest; an entry's
// home bucket is h1 & (capacity - 1). Probing is linear from the home bucket,
// 16 control bytes at a time (one SSE2 compare finds the h2 candidates and the
// empty buckets of a window). A search stops at the first window holding an
// EMPTY byte.
//
// Invariants (checked by verify()):
//   - capacity is 0 (no allocation yet) or a power of two >= 16;
//   - the entry count and the tombstone count equal the numbers of full and
//     DELETED control bytes; ctrl[cap + i] == ctrl[i] for i < 15;
//   - size + tombstones + growth_left == cap - cap / 8 (maximum load 7/8);
//     so at least one bucket is EMPTY and every search ends;
//   - an entry at bucket p with home h has no EMPTY bucket in the cyclic range
//     [h, p): it is found by a linear search from its home;
//   - no two entries have equal keys.
//
// Insertion takes the first non-full bucket from the home. When none is left
// to spend (growth_left == 0 and the target is not a tombstone) the table
// either doubles, or, when at most half of the maximum load is live entries,
// rebuilds in place at the same size, which clears all tombstones; either way
// the next rebuild is at least cap * 7/16 insertions away, so the cost is
// amortised O(1) and long insert/remove churn keeps both the capacity and the
// probe lengths bounded. The table never shrinks.
//
// Removal writes EMPTY instead of a tombstone when the next bucket is EMPTY
// (no probe can pass through the bucket), and then turns the run of
// tombstones just before it back to EMPTY too. So a table emptied by
// removals holds no tombstones.
//
// Entries move only when the table is rebuilt (grow, reserve, in-place
// rebuild), which happens only inside insertions and reserve(); pointers and
// bucket order stay valid across lookups and removals of other entries.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iterator>
#include <limits>
#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>

#if defined(__SSE2__) && !defined(VELKORIN_HASH_TABLE_PORTABLE)
#include <emmintrin.h>
#define VELKORIN_HASH_TABLE_SSE2 1
#endif

#include "frame/memory.hpp"
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

}  // namespace hash_table_detail

// The table proper. `Policy` supplies:
//   using Entry = ...;   // stored type, nothrow movable
//   using Key = ...;     // lookup key, passed by value
//   static std::uint64_t hash(const HashKey&, Key) noexcept;
//   static std::uint64_t stored_hash(const HashKey&, const Entry&) noexcept;
//   static Key key_of(const Entry&) noexcept;
//   static bool matches(const Entry&, Key, std::uint64_t hash) noexcept;
template <class Policy>
class HashTable {
    using ctrl_t = hash_table_detail::ctrl_t;

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

    explicit HashTable(HashKey key) noexcept : key_(key) {}

    HashTable(HashTable&& other) noexcept
        : key_(other.key_),
          slots_(std::exchange(other.slots_, nullptr)),
          ctrl_(std::exchange(other.ctrl_, nullptr)),
          capacity_(std::exchange(other.capacity_, 0)),
          size_(std::exchange(other.size_, 0)),
          tombstones_(std::exchange(other.tombstones_, 0)),
          growth_left_(std::exchange(other.growth_left_, 0)) {}

    HashTable& operator=(HashTable&& other) noexcept {
        if (this != &other) {
            HashTable old(std::move(*this));
            key_ = other.key_;
            slots_ = std::exchange(other.slots_, nullptr);
            ctrl_ = std::exchange(other.ctrl_, nullptr);
            capacity_ = std::exchange(other.capacity_, 0);
            size_ = std::exchange(other.size_, 0);
            tombstones_ = std::exchange(other.tombstones_, 0);
            growth_left_ = std::exchange(other.growth_left_, 0);
        }
        return *this;
    }

    HashTable(const HashTable&) = delete;
    HashTable& operator=(const HashTable&) = delete;

    ~HashTable() {
        for (std::size_t i = 0; i < capacity_; ++i)
            if (hash_table_detail::is_full(ctrl_[i])) slots_[i].~Entry();
        free_bytes(slots_);
    }

    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    std::size_t capacity() const noexcept { return capacity_; }
    std::size_t tombstones() const noexcept { return tombstones_; }
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
        const std::size_t i = prepare_insert(hash);
        return *::new (static_cast<void*>(slots_ + i)) Entry{std::forward<Args>(args)...};
    }

    // Destroys the entry. Requires: `entry` is an entry of this table.
    void erase(const Entry& entry) noexcept {
        const std::size_t i = static_cast<std::size_t>(&entry - slots_);
        slots_[i].~Entry();
        release_bucket(i);
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
        using hash_table_detail::max_load;
        if (n <= size_ + growth_left_) return;
        if (n <= max_load(capacity_)) {
            rehash_in_place();
            return;
        }
        std::size_t cap = hash_table_detail::kMinCapacity;
        while (max_load(cap) < n) {
            if (cap > std::numeric_limits<std::size_t>::max() / 2) allocation_failed(std::numeric_limits<std::size_t>::max());
            cap *= 2;
        }
        resize(cap);
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
        using namespace hash_table_detail;
        auto fail = [](const char* what) {
            std::fprintf(stderr, "hash table invariant violated: %s\n", what);
            return false;
        };
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
            const std::uint64_t h = Policy::stored_hash(key_, slots_[p]);
            if (h != Policy::hash(key_, Policy::key_of(slots_[p]))) return fail("stored hash differs from the key's hash");
            if (c != h2_of(h)) return fail("control byte differs from h2 of the entry");
            const std::size_t home = h1_of(h) & mask();
            if (((p - home) & mask()) > ((p - run_start) & mask())) return fail("EMPTY bucket between an entry's home and its bucket");
            // find() returns the first match from the home, so a duplicate
            // key before p would be found instead of p.
            if (find_index(Policy::key_of(slots_[p]), h) != p) return fail("entry not found at its bucket (duplicate key?)");
        }
        return true;
    }

private:
    static constexpr std::size_t npos = static_cast<std::size_t>(-1);

    std::size_t mask() const noexcept { return capacity_ - 1; }

    // Writes a control byte and its mirror; for i >= 15 both stores hit ctrl[i].
    void set_ctrl(std::size_t i, ctrl_t c) noexcept {
        ctrl_[i] = c;
        ctrl_[((i - (hash_table_detail::kGroupWidth - 1)) & mask()) + (hash_table_detail::kGroupWidth - 1)] = c;
    }

    std::size_t find_index(Key key, std::uint64_t hash) const noexcept {
        using namespace hash_table_detail;
        if (capacity_ == 0) return npos;
        const ctrl_t h2 = h2_of(hash);
        std::size_t pos = h1_of(hash) & mask();
        // The home slot is the likely hit: fetch it while the control bytes load.
        __builtin_prefetch(slots_ + pos);
        for (;;) {
            const Group g(ctrl_ + pos);
            for (std::uint32_t m = g.match(h2); m != 0; m &= m - 1) {
                const std::size_t i = (pos + static_cast<std::size_t>(std::countr_zero(m))) & mask();
                if (Policy::matches(slots_[i], key, hash)) [[likely]]
                    return i;
            }
            if (g.match_empty() != 0) [[likely]]
                return npos;
            pos = (pos + kGroupWidth) & mask();
        }
    }

    // Requires: capacity_ != 0.
    std::size_t find_first_non_full(std::uint64_t hash) const noexcept {
        using namespace hash_table_detail;
        std::size_t pos = h1_of(hash) & mask();
        for (;;) {
            const std::uint32_t m = Group(ctrl_ + pos).match_non_full();
            if (m != 0) [[likely]]
                return (pos + static_cast<std::size_t>(std::countr_zero(m))) & mask();
            pos = (pos + kGroupWidth) & mask();
        }
    }

    // Claims a bucket for a new entry with this hash; the caller constructs it.
    std::size_t prepare_insert(std::uint64_t hash) noexcept {
        using namespace hash_table_detail;
        std::size_t i = capacity_ == 0 ? 0 : find_first_non_full(hash);
        if (capacity_ == 0 || (growth_left_ == 0 && ctrl_[i] != kDeleted)) [[unlikely]] {
            make_room();
            i = find_first_non_full(hash);
        }
        if (ctrl_[i] == kDeleted)
            --tombstones_;
        else
            --growth_left_;
        ++size_;
        set_ctrl(i, h2_of(hash));
        return i;
    }

    // Marks bucket i free after its entry was destroyed or moved out.
    void release_bucket(std::size_t i) noexcept {
        using namespace hash_table_detail;
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

    [[gnu::noinline]] void make_room() noexcept {
        using namespace hash_table_detail;
        if (capacity_ == 0)
            resize(kMinCapacity);
        else if (size_ <= max_load(capacity_) / 2)
            rehash_in_place();
        else {
            if (capacity_ > std::numeric_limits<std::size_t>::max() / 2) allocation_failed(std::numeric_limits<std::size_t>::max());
            resize(capacity_ * 2);
        }
    }

    void allocate(std::size_t capacity) noexcept {
        using namespace hash_table_detail;
        const std::size_t slot_bytes = array_bytes<Entry>(capacity);
        const std::size_t ctrl_bytes = capacity + kGroupWidth - 1;
        if (slot_bytes > std::numeric_limits<std::size_t>::max() - ctrl_bytes) allocation_failed(std::numeric_limits<std::size_t>::max());
        void* block = allocate_bytes(slot_bytes + ctrl_bytes);
        slots_ = static_cast<Entry*>(block);
        ctrl_ = reinterpret_cast<ctrl_t*>(static_cast<unsigned char*>(block) + slot_bytes);
        std::memset(ctrl_, static_cast<unsigned char>(kEmpty), ctrl_bytes);
        capacity_ = capacity;
    }

    // Moves every entry into fresh storage of `capacity` buckets.
    void resize(std::size_t capacity) noexcept {
        using namespace hash_table_detail;
        Entry* old_slots = slots_;
        const ctrl_t* old_ctrl = ctrl_;
        const std::size_t old_capacity = capacity_;
        allocate(capacity);
        for (std::size_t i = 0; i < old_capacity; ++i) {
            if (!is_full(old_ctrl[i])) continue;
            const std::uint64_t h = Policy::stored_hash(key_, old_slots[i]);
            const std::size_t t = find_first_non_full(h);
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
            const std::size_t t = find_first_non_full(h);  // cyclically in [home, i]
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
    Entry* slots_ = nullptr;  // start of the single allocation
    ctrl_t* ctrl_ = nullptr;
    std::size_t capacity_ = 0;
    std::size_t size_ = 0;
    std::size_t tombstones_ = 0;
    std::size_t growth_left_ = 0;  // EMPTY buckets an insertion may still take before a rebuild
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
    using Entry = HashMapEntry<V>;
    using Key = std::string_view;

    static std::uint64_t hash(const HashKey& k, std::string_view key) noexcept {
        SipHasher13 h(k.k0, k.k1);
        h.write(key);
        h.write_u8(0xff);
        return h.finish();
    }
    static std::uint64_t stored_hash(const HashKey&, const Entry& e) noexcept { return e.hash; }
    static std::string_view key_of(const Entry& e) noexcept { return e.key; }
    static bool matches(const Entry& e, std::string_view key, std::uint64_t hash) noexcept {
        return e.hash == hash && std::string_view(e.key) == key;
    }
};

// Values are move-only handles (in the module, an owning object reference):
// the map destroys each stored value exactly once — when it is replaced and
// handed back by insert(), handed out by remove() or drain(), or when the map
// is destroyed.
template <class V>
class HashMap {
    static_assert(std::is_nothrow_move_constructible_v<V> && std::is_nothrow_move_assignable_v<V>,
                  "map values must be nothrow movable handles");
    using Table = HashTable<HashMapPolicy<V>>;

public:
    using Entry = HashMapEntry<V>;
    using const_iterator = typename Table::const_iterator;

    // An empty map with a fresh per-thread hash key; allocates nothing.
    HashMap() noexcept : table_(next_hash_key()) {}
    explicit HashMap(HashKey key) noexcept : table_(key) {}

    HashMap(HashMap&&) noexcept = default;
    HashMap& operator=(HashMap&&) noexcept = default;

    std::size_t size() const noexcept { return table_.size(); }
    bool empty() const noexcept { return table_.empty(); }
    std::size_t capacity() const noexcept { return table_.capacity(); }
    HashKey hash_key() const noexcept { return table_.hash_key(); }

    // Lets the map reach `n` entries without rebuilding (e.g. a snapshot).
    void reserve(std::size_t n) noexcept { table_.reserve(n); }

    // Stores `value` under `key`. If the key was present its value is
    // replaced and the old value is returned; the map is already consistent
    // then, so destroying the old value may run code that uses the map.
    std::optional<V> insert(String key, V value) noexcept {
        const std::uint64_t h = table_.hash(key);
        if (Entry* e = table_.find(key, h)) return std::optional<V>(std::exchange(e->value, std::move(value)));
        table_.insert_new(h, std::move(key), std::move(value), h);
        return std::nullopt;
    }

    // The stored value, or null. The pointer is invalidated by any insertion
    // and by removing this key; do not hold it across code that may change
    // the map. An empty map answers without hashing.
    const V* find(std::string_view key) const noexcept {
        if (table_.empty()) return nullptr;
        const Entry* e = table_.find(key, table_.hash(key));
        return e == nullptr ? nullptr : &e->value;
    }

    bool contains(std::string_view key) const noexcept { return find(key) != nullptr; }

    // Takes the entry out; its key is freed and its value handed to the caller.
    std::optional<V> remove(std::string_view key) noexcept {
        Entry* e = table_.find(key, table_.hash(key));
        if (e == nullptr) return std::nullopt;
        std::optional<V> out(std::move(e->value));
        table_.erase(*e);
        return out;
    }

    // Bucket order; each element is a const Entry with .key and .value.
    const_iterator begin() const noexcept { return table_.begin(); }
    const_iterator end() const noexcept { return table_.end(); }

    // Calls f(std::string_view key, const V& value) in bucket order.
    template <class F>
    void for_each(F&& f) const {
        for (const Entry& e : table_) f(std::string_view(e.key), e.value);
    }

    // Moves the entries out in bucket order, calling f(String&& key, V&& value).
    // If f returns bool, false stops the drain and drain returns false; what
    // f did not take and the entries not yet handed out are still destroyed
    // exactly once (the rest by the map's destructor). The same holds if f throws.
    template <class F>
    bool drain(F&& f) {
        return table_.drain([&f](Entry&& e) {
            if constexpr (std::is_same_v<std::invoke_result_t<F&, String&&, V&&>, bool>)
                return std::invoke(f, std::move(e.key), std::move(e.value));
            else
                std::invoke(f, std::move(e.key), std::move(e.value));
        });
    }

    bool verify() const noexcept { return table_.verify(); }
    std::size_t tombstones() const noexcept { return table_.tombstones(); }

private:
    Table table_;
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
