// Control bytes and probing: the part of the hash tables that knows buckets
// but not what they hold. One control byte per bucket:
//
//   control byte   0..127  full; the byte is h2 of the entry's hash
//                  0x80    EMPTY: has held no entry since the last rebuild
//                  0xFE    DELETED: a tombstone
//
// The control array has `capacity + 15` bytes; the last 15 copy the first
// 15, so 16 bytes can be read from any bucket without wrapping:
//
//     [c0 c1 ... c(cap-1) | c0 ... c14]
//
// A 64-bit hash splits into h2 = its low 7 bits and h1 = the rest; the home
// bucket of a hash is h1 & (capacity - 1).
//
// Probing is linear from the home, one group of 16 control bytes at a time.
// Why: one SSE2 compare of a 16-byte window finds every bucket whose h2
// matches (a false match costs one comparison of the owner's key, 1 time in
// 128) and every EMPTY bucket, so at the maximum load of 7/8 a lookup nearly
// always ends in its first window; successive windows are adjacent memory.
// Why 16: SSE2 is part of every x86-64 processor, so the scan needs no
// run-time dispatch, and a wider window would rarely be read past its first
// half at this load. A search stops at the first window holding an EMPTY byte.
// 64-bit ARM scans the window with NEON (every such processor has it), and
// other processors, or a VELKORIN_PORTABLE build, byte by byte.
//
// Invariants (checked by verify()):
//   - capacity is 0 (no storage) or a power of two >= 16;
//   - size and tombstones equal the numbers of full and DELETED bytes;
//     ctrl[cap + i] == ctrl[i] for i < 15;
//   - size + tombstones + growth_left == cap - cap / 8, so at least one
//     bucket is EMPTY and every search ends;
//   - a full bucket p whose hash has home h has no EMPTY bucket in the cyclic
//     range [h, p): a linear search from its home finds it;
//   - the byte of a full bucket is h2 of its entry's hash.
//
// Insertion takes the first non-full bucket from the home. When none is left
// to spend (growth_left == 0 and the target is not a tombstone) the owner
// rebuilds: at double the capacity, or at the same capacity when at most
// half of the maximum load is live, which clears every tombstone. Either way
// the next rebuild is at least cap * 7/16 insertions away, so insertions are
// amortised O(1) and insert/remove churn keeps capacity and probes bounded.
//
// Removal writes EMPTY instead of a tombstone when the next bucket is EMPTY
// (no probe can pass through the bucket) and then turns the tombstones just
// before it back to EMPTY too, so a table emptied by removals has none.
//
// The control table does not own its bytes: the owner allocates them with its
// slots in one block and hands them over. All-zero bytes are the state with
// no storage.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

#include "core/invariant.hpp"
#include "core/memory.hpp"
#include "core/platform.hpp"

#if defined(VELKORIN_SIMD_SSE2)
#include <emmintrin.h>
#elif defined(VELKORIN_SIMD_NEON)
#include <arm_neon.h>
#endif

namespace velkorin::core::hash_table_detail {

using ctrl_t = std::int8_t;

inline constexpr ctrl_t kEmpty = -128;  // 0x80
inline constexpr ctrl_t kDeleted = -2;  // 0xFE
inline constexpr std::size_t kGroupWidth = 16;
inline constexpr std::size_t kMinCapacity = 16;
inline constexpr std::size_t npos = static_cast<std::size_t>(-1);

inline constexpr bool is_full(ctrl_t c) noexcept { return c >= 0; }
inline constexpr ctrl_t h2_of(std::uint64_t hash) noexcept { return static_cast<ctrl_t>(hash & 0x7f); }
inline constexpr std::size_t h1_of(std::uint64_t hash) noexcept { return static_cast<std::size_t>(hash >> 7); }
inline constexpr std::size_t max_load(std::size_t capacity) noexcept { return capacity - capacity / 8; }

// The smallest capacity whose maximum load is at least n.
inline std::size_t capacity_for(std::size_t n) noexcept {
    std::size_t cap = kMinCapacity;
    while (max_load(cap) < n) {
        if (cap > std::numeric_limits<std::size_t>::max() / 4) allocation_failed(std::numeric_limits<std::size_t>::max());
        cap *= 2;
    }
    return cap;
}

// Sixteen consecutive control bytes; each query gives a bit mask whose bit k
// stands for the k-th byte.
class Group {
public:
    explicit Group(const ctrl_t* p) noexcept {
#if defined(VELKORIN_SIMD_SSE2)
        v_ = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
#elif defined(VELKORIN_SIMD_NEON)
        v_ = vld1q_s8(p);
#else
        std::memcpy(bytes_, p, kGroupWidth);
#endif
    }

    std::uint32_t match(ctrl_t c) const noexcept {
#if defined(VELKORIN_SIMD_SSE2)
        // Broadcast from a 32-bit register: GCC may pass _mm_set1_epi8's
        // byte through the stack, where a 4-byte reload of a 1-byte store
        // waits for the store to complete.
        __m128i wide = _mm_cvtsi32_si128(static_cast<int>(static_cast<std::uint8_t>(c)));
        wide = _mm_unpacklo_epi8(wide, wide);
        wide = _mm_shuffle_epi32(_mm_unpacklo_epi16(wide, wide), 0);
        return static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(wide, v_)));
#elif defined(VELKORIN_SIMD_NEON)
        return mask_of(vceqq_s8(v_, vdupq_n_s8(c)));
#else
        std::uint32_t m = 0;
        for (std::size_t k = 0; k < kGroupWidth; ++k) m |= std::uint32_t{bytes_[k] == c} << k;
        return m;
#endif
    }

    std::uint32_t match_empty() const noexcept { return match(kEmpty); }

    // EMPTY and DELETED are exactly the bytes with the sign bit set.
    std::uint32_t match_non_full() const noexcept {
#if defined(VELKORIN_SIMD_SSE2)
        return static_cast<std::uint32_t>(_mm_movemask_epi8(v_));
#elif defined(VELKORIN_SIMD_NEON)
        return mask_of(vcltzq_s8(v_));
#else
        std::uint32_t m = 0;
        for (std::size_t k = 0; k < kGroupWidth; ++k) m |= std::uint32_t{bytes_[k] < 0} << k;
        return m;
#endif
    }

private:
#if defined(VELKORIN_SIMD_SSE2)
    __m128i v_;
#elif defined(VELKORIN_SIMD_NEON)
    // NEON has no movemask: keep bit k of each byte lane k % 8 (lanes are
    // all-ones or zero), then add each half's lanes into one byte.
    static std::uint32_t mask_of(uint8x16_t lanes) noexcept {
        static constexpr std::uint8_t bits[16] = {1, 2, 4, 8, 16, 32, 64, 128, 1, 2, 4, 8, 16, 32, 64, 128};
        const uint8x16_t picked = vandq_u8(lanes, vld1q_u8(bits));
        return std::uint32_t{vaddv_u8(vget_low_u8(picked))} | std::uint32_t{vaddv_u8(vget_high_u8(picked))} << 8;
    }
    int8x16_t v_;
#else
    ctrl_t bytes_[kGroupWidth];
#endif
};

// The control bytes of one table and its counts. A plain view: copying it
// copies the pointer, and the owner frees the bytes.
class ControlTable {
public:
    static constexpr std::size_t bytes_for(std::size_t capacity) noexcept { return capacity + kGroupWidth - 1; }

    std::size_t capacity() const noexcept { return capacity_; }
    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    std::size_t tombstones() const noexcept { return tombstones_; }
    bool is_full_bucket(std::size_t i) const noexcept { return is_full(ctrl_[i]); }
    const ctrl_t* bytes() const noexcept { return ctrl_; }

    // Requires: capacity() != 0.
    std::size_t home(std::uint64_t hash) const noexcept { return h1_of(hash) & mask(); }

    // The first full bucket from the home of `hash` whose h2 matches and for
    // which match(bucket) is true, or npos. Requires: capacity() != 0.
    template <class Match>
    std::size_t find(std::uint64_t hash, Match&& match) const noexcept {
        const ctrl_t h2 = h2_of(hash);
        std::size_t pos = home(hash);
        for (;;) {
            const Group g(ctrl_ + pos);
            for (std::uint32_t m = g.match(h2); m != 0; m &= m - 1) {
                const std::size_t i = (pos + static_cast<std::size_t>(std::countr_zero(m))) & mask();
                if (match(i)) [[likely]]
                    return i;
            }
            if (g.match_empty() != 0) [[likely]]
                return npos;
            pos = (pos + kGroupWidth) & mask();
        }
    }

    // Marks the first non-full bucket from the home of `hash` full and
    // counts the new entry; the owner fills the slot. Returns npos, changing
    // nothing, when a rebuild must come first (or there is no storage).
    std::size_t try_claim(std::uint64_t hash) noexcept {
        if (capacity_ == 0) [[unlikely]]
            return npos;
        const std::size_t i = first_non_full(hash);
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

    // Places the entries of a rebuild into fresh storage: marks the first
    // EMPTY bucket from the home of each hash full. The counts are set once,
    // by placed(n), after the last. Requires: reset() just before, and at
    // most max_load(capacity()) hashes.
    std::size_t place(std::uint64_t hash) noexcept {
        const std::size_t i = first_non_full(hash);
        set_ctrl(i, h2_of(hash));
        return i;
    }
    void placed(std::size_t n) noexcept {
        size_ = n;
        growth_left_ = max_load(capacity_) - n;
    }

    // The capacity of the rebuild an insertion needs when try_claim failed: the
    // first storage, the same size (to drop tombstones) or double.
    std::size_t next_capacity() const noexcept {
        if (capacity_ == 0) return kMinCapacity;
        if (size_ <= max_load(capacity_) / 2) return capacity_;
        if (capacity_ > std::numeric_limits<std::size_t>::max() / 4) allocation_failed(std::numeric_limits<std::size_t>::max());
        return capacity_ * 2;
    }

    // Marks bucket i free after its slot's entry was destroyed or moved out.
    void vacate(std::size_t i) noexcept {
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

    // Takes `bytes_for(capacity)` bytes of storage (or none, for capacity 0)
    // and marks every bucket EMPTY; the counts start from zero.
    void reset(ctrl_t* ctrl, std::size_t capacity) noexcept {
        ctrl_ = ctrl;
        capacity_ = capacity;
        if (capacity != 0) std::memset(ctrl_, static_cast<unsigned char>(kEmpty), bytes_for(capacity));
        size_ = 0;
        tombstones_ = 0;
        growth_left_ = max_load(capacity);
    }

    // Every bucket EMPTY again, at the same storage (the slots must hold
    // nothing that needs destroying).
    void clear() noexcept { reset(ctrl_, capacity_); }

    // Rebuilds at the same capacity without storage of its own, dropping
    // every tombstone. hash_of(i) is the hash of the entry in slot i;
    // move(from, to) moves an entry into an empty slot and swap(a, b)
    // exchanges two entries. Entries still to be placed are marked DELETED;
    // each goes to the first non-full bucket from its home, so a placed entry
    // is reachable and never moves again.
    template <class HashOf, class Move, class Swap>
    void rehash_in_place(HashOf&& hash_of, Move&& move, Swap&& swap) noexcept {
        for (std::size_t i = 0; i < capacity_; ++i) ctrl_[i] = is_full(ctrl_[i]) ? kDeleted : kEmpty;
        std::memcpy(ctrl_ + capacity_, ctrl_, kGroupWidth - 1);
        for (std::size_t i = 0; i < capacity_;) {
            if (ctrl_[i] != kDeleted) {
                ++i;
                continue;
            }
            const std::uint64_t h = hash_of(i);
            const std::size_t t = first_non_full(h);  // cyclically in [home, i]
            if (t == i) {
                set_ctrl(i, h2_of(h));
                ++i;
            } else if (ctrl_[t] == kEmpty) {
                move(i, t);
                set_ctrl(t, h2_of(h));
                set_ctrl(i, kEmpty);
                ++i;
            } else {
                // t holds an entry still to be placed: swap, and place the
                // one now at i on the next pass of the loop.
                swap(i, t);
                set_ctrl(t, h2_of(h));
            }
        }
        tombstones_ = 0;
        growth_left_ = max_load(capacity_) - size_;
    }

    // The counts alone, cheap enough to check after every change.
    bool counts_consistent() const noexcept {
        if (capacity_ == 0) return ctrl_ == nullptr && size_ == 0 && tombstones_ == 0 && growth_left_ == 0;
        return size_ + tombstones_ + growth_left_ == max_load(capacity_);
    }

    // Checks the invariants of the header comment. For each full bucket p,
    // stored_hash(p, h) sets h to its entry's stored hash and checks the entry
    // itself; found(p, h) then checks that a lookup of that entry reaches p.
    template <class StoredHash, class Found>
    Violation verify(StoredHash&& stored_hash, Found&& found) const noexcept {
        if (capacity_ == 0) {
            if (ctrl_ != nullptr) return "control bytes without capacity";
            if (size_ != 0 || tombstones_ != 0 || growth_left_ != 0) return "counts of a table without storage";
            return std::nullopt;
        }
        if (!std::has_single_bit(capacity_) || capacity_ < kMinCapacity) return "capacity not a power of two >= 16";
        std::size_t full = 0, deleted = 0, empty_at = npos;
        for (std::size_t i = 0; i < capacity_; ++i) {
            const ctrl_t c = ctrl_[i];
            if (is_full(c)) ++full;
            else if (c == kDeleted) ++deleted;
            else if (c == kEmpty) empty_at = i;
            else return "invalid control byte";
        }
        for (std::size_t i = 0; i + 1 < kGroupWidth; ++i)
            if (ctrl_[capacity_ + i] != ctrl_[i]) return "mirrored control byte differs";
        if (full != size_) return "entry count differs from full buckets";
        if (deleted != tombstones_) return "tombstone count differs from DELETED buckets";
        if (!counts_consistent()) return "load accounting (size + tombstones + growth_left != 7/8 cap)";
        if (empty_at == npos) return "no EMPTY bucket";
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
            if (Violation v = stored_hash(p, h)) return v;
            if (c != h2_of(h)) return "control byte differs from h2 of the entry";
            if (((p - home(h)) & mask()) > ((p - run_start) & mask())) return "EMPTY bucket between an entry's home and its bucket";
            if (Violation v = found(p, h)) return v;
        }
        return std::nullopt;
    }

private:
    std::size_t mask() const noexcept { return capacity_ - 1; }

    // Writes a control byte and its mirror; for i >= 15 both stores hit ctrl[i].
    void set_ctrl(std::size_t i, ctrl_t c) noexcept {
        ctrl_[i] = c;
        ctrl_[((i - (kGroupWidth - 1)) & mask()) + (kGroupWidth - 1)] = c;
    }

    // Requires: capacity_ != 0.
    std::size_t first_non_full(std::uint64_t hash) const noexcept {
        std::size_t pos = home(hash);
        for (;;) {
            const std::uint32_t m = Group(ctrl_ + pos).match_non_full();
            if (m != 0) [[likely]]
                return (pos + static_cast<std::size_t>(std::countr_zero(m))) & mask();
            pos = (pos + kGroupWidth) & mask();
        }
    }

    ctrl_t* ctrl_ = nullptr;
    std::size_t capacity_ = 0;
    std::size_t size_ = 0;
    std::size_t tombstones_ = 0;
    std::size_t growth_left_ = 0;  // EMPTY buckets an insertion may still take before a rebuild
};

}  // namespace velkorin::core::hash_table_detail
