// The keys of hash_map.hpp: how the map stores a key's bytes (MapKey),
// compares a key with the stored ones (KeyProbe), takes it with its text
// hash (TextKey) and places it in a table (place()).
//
// Hashing. The caller hands each key in with its text hash: a 64-bit hash of
// the text alone, equal for equal texts, which need not be secret (in the
// module, the interpreter's own str hash, which the str object caches, so a
// key object that comes back is hashed once per process, not once per call).
// The map stores it in the entry and places the entry by
// place(text hash) = fold(fold(text hash ^ k0, k1) ^ k0, kPlaceMul), where
// (k0, k1) is the table's own random key and fold(a, b) xors the two halves
// of the 128-bit product a * b. So growth and snapshots rehash from the
// stored text hashes without the key objects, and a mismatch is mostly
// settled by the stored hash before the key is read. TextHash (a policy with
// `static std::uint64_t of(std::string_view)`) computes a text hash from the
// bytes; verify() checks every stored one with it, and the overloads that
// take bare text use it (the native tests hash the bytes with BytesTextHash).
// A policy that cannot always compute one (the module's must allocate) gives
// `static bool matches(std::string_view, std::uint64_t)` for verify() instead.
//
// Why a flood cannot pile keys up. An attacker who knows the interpreter's
// hash seed (PYTHONHASHSEED=0) knows every text hash and can pick keys whose
// text hashes share any few bits (2^b tries per key for b bits), for example
// their low bits, which pick the bucket of a table placed by them. Here the
// bits that pick a bucket and the 7 bits of the control byte come out of
// place(), whose key is 128 random bits drawn for this table alone and
// never shown: no method reports a hash, and every order the map hands out
// is entry order, which does not depend on placement. Measured over random
// keys and inputs, flipping one input bit flips each output bit with a
// probability within 0.014 of 1/2 for all 64 x 64 pairs, the noise of the
// measurement (SipHash-1-3 of the 8 bytes: 0.012), and hashes sharing their
// low 10 bits, consecutive hashes or hashes i << 32 spread over the homes and
// control bytes as random ones do (HashMapPlacement checks this at fixed
// keys). A table's key differs from every other table's, so
// copying one map's entries into another in any order of the first one's
// buckets lands them as a random order would.
// What this relies on: keys whose text hashes are equal in all 64 bits are
// placed together whatever the key. A flood of n such keys needs an n-way
// full collision of the interpreter's keyed SipHash-1-3: pairs cost about
// 2^32 hashes under a known seed, n-way collisions about 2^(64(n-1)/n), out
// of reach for any n that would slow the map down; a dict suffers the same
// keys the same way. Colliding keys are still told apart by their bytes:
// correctness never depends on the hashes, only speed does. And the text hash
// must depend on the text alone: the module reads the str type's own hash, so
// a subclass's __hash__ is never consulted.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <type_traits>

#include "core/hash_keys.hpp"
#include "core/memory.hpp"
#include "core/platform.hpp"
#include "core/siphash.hpp"

namespace velkorin::core {

static_assert(std::endian::native == std::endian::little, "inline map keys are built from little-endian words");

template <class V, class TextHash>
class HashMap;

// The bytes of one key, in 16 bytes: inline (up to 15 bytes) or a block of
// their own. Inline, the first byte is the tag 0x80 | length, then zeros, and
// the text ends the 16 bytes: a probe takes a short key as the two words that
// end with its text, masked by its length, without a shift or a branch on
// the length. Otherwise the first word is the length shifted up a byte (so
// the tag byte is 0; lengths stay below 2^56) and the second the block's
// address. Trivially copyable: the map frees a long key's block explicitly.
class MapKey {
public:
    static constexpr std::size_t kInlineMax = 15;

    bool is_inline() const noexcept { return (w0_ & 0x80) != 0; }
    std::size_t size() const noexcept { return static_cast<std::size_t>(is_inline() ? w0_ & 0x7f : w0_ >> 8); }
    const char* data() const noexcept {
        return is_inline() ? reinterpret_cast<const char*>(this) + 16 - size() : reinterpret_cast<const char*>(w1_);
    }
    std::string_view view() const noexcept { return {data(), size()}; }

private:
    template <class, class>
    friend class HashMap;
    friend class KeyProbe;

    MapKey(std::uint64_t w0, std::uint64_t w1) noexcept : w0_(w0), w1_(w1) {}

    MapKey clone() const noexcept {
        if (is_inline()) return *this;
        void* block = allocate_bytes(size());
        std::memcpy(block, data(), size());
        return {w0_, reinterpret_cast<std::uintptr_t>(block)};
    }

    void free() noexcept {
        if (!is_inline()) free_bytes(reinterpret_cast<void*>(w1_));
    }

    std::uint64_t w0_;  // the tag byte and inline bytes 1..7, or the length << 8
    std::uint64_t w1_;  // inline bytes 8..15, or the block's address
};

static_assert(sizeof(MapKey) == 16 && std::is_trivially_copyable_v<MapKey>);

// A key as the map takes it: its UTF-8 bytes and its text hash (see the
// header comment). Equal texts must come with equal hashes. When the caller
// knows that the 16 bytes before the text's end may be read (the text lies
// inside a larger object, after a header), a short key is loaded as those
// two words.
struct TextKey {
    std::string_view text;
    std::uint64_t hash;
    bool readable_before = false;
};

namespace hash_map_detail {

// Which bytes of the two words that end with an n-byte text belong to it.
inline constexpr auto kKeepLow = [] {
    std::array<std::uint64_t, MapKey::kInlineMax + 1> keep{};
    for (std::size_t n = 9; n <= MapKey::kInlineMax; ++n) keep[n] = ~std::uint64_t{0} << (8 * (16 - n));
    return keep;
}();
inline constexpr auto kKeepHigh = [] {
    std::array<std::uint64_t, MapKey::kInlineMax + 1> keep{};
    for (std::size_t n = 1; n <= MapKey::kInlineMax; ++n) keep[n] = n >= 8 ? ~std::uint64_t{0} : ~std::uint64_t{0} << (8 * (8 - n));
    return keep;
}();

}  // namespace hash_map_detail

// A key looked up or stored, prepared once per operation: a short key's
// inline words, a long key's length word.
class KeyProbe {
public:
    explicit KeyProbe(std::string_view text, bool readable_before = false) noexcept : text_(text) {
        using namespace siphash_detail;
        const auto* p = reinterpret_cast<const unsigned char*>(text.data());
        const std::size_t n = text.size();
        if (n > MapKey::kInlineMax) {
            if (n >= (std::uint64_t{1} << 56)) allocation_failed(n);
            w0_ = std::uint64_t{n} << 8;
            w1_ = 0;
        } else if (readable_before) {
            // Key lengths vary from call to call: branches on them mispredict.
            w0_ = (load_le64(p + n - 16) & hash_map_detail::kKeepLow[n]) | (0x80 | n);
            w1_ = load_le64(p + n - 8) & hash_map_detail::kKeepHigh[n];
        } else if (n >= 8) {
            w0_ = (n > 8 ? load_le64(p) << (8 * (16 - n)) : 0) | (0x80 | n);
            w1_ = load_le64(p + n - 8);
        } else {
            w0_ = 0x80 | n;
            w1_ = n == 0 ? 0 : load_le_tail(p, n) << (8 * (8 - n));
        }
    }
    explicit KeyProbe(const TextKey& key) noexcept : KeyProbe(key.text, key.readable_before) {}

    std::string_view text() const noexcept { return text_; }

    bool matches(const MapKey& k) const noexcept {
        if (k.w0_ != w0_) return false;
        if (text_.size() <= MapKey::kInlineMax) return k.w1_ == w1_;
        return std::memcmp(reinterpret_cast<const void*>(k.w1_), text_.data(), text_.size()) == 0;
    }

    // The key's own copy: the inline words, or a new block.
    MapKey store() const noexcept {
        if (text_.size() <= MapKey::kInlineMax) return {w0_, w1_};
        void* block = allocate_bytes(text_.size());
        std::memcpy(block, text_.data(), text_.size());
        return {w0_, reinterpret_cast<std::uintptr_t>(block)};
    }

private:
    std::string_view text_;
    std::uint64_t w0_, w1_;
};

template <class V>
struct HashMapEntry {
    std::uint64_t hash;  // the key's text hash, not its placement
    V value;
    MapKey key;
};

static_assert(sizeof(HashMapEntry<void*>) == 32);

// A text hash computed from the bytes, for users of the core without one of
// their own: SipHash-1-3 under the all-zero key, which for ASCII text is the
// interpreter's str hash under PYTHONHASHSEED=0. Public on purpose: the map
// assumes nothing secret about text hashes.
struct BytesTextHash {
    static std::uint64_t of(std::string_view text) noexcept { return siphash<1, 3>(0, 0, text.data(), text.size()); }
};

namespace hash_map_detail {

inline constexpr std::uint64_t kPlaceMul = 0x9e3779b97f4a7c15ULL;

inline std::uint64_t fold(std::uint64_t a, std::uint64_t b) noexcept { return multiply_fold(a, b); }

// Where a table keyed (k0, k1) places a text hash (see the header comment).
inline std::uint64_t place(const HashKey& k, std::uint64_t text_hash) noexcept {
    return fold(fold(text_hash ^ k.k0, k.k1) ^ k.k0, kPlaceMul);
}

}  // namespace hash_map_detail

}  // namespace velkorin::core
