// SipHash with C compression rounds and D finalisation rounds, 64-bit output.
//
// The key is two little-endian 64-bit words (k0, k1). A message is consumed
// in 8-byte little-endian words; the last word holds the 0..7 remaining bytes
// and, in its top byte, the message length modulo 256. The hash tables use
// SipHash-1-3 (`siphash<1, 3>`, `siphash13_u64`); SipHash-2-4 is the same
// code with other round counts.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/platform.hpp"

namespace velkorin::core {

namespace siphash_detail {

inline std::uint64_t load_le64(const unsigned char* p) noexcept {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    if constexpr (std::endian::native == std::endian::big) w = VELKORIN_BSWAP64(w);
    return w;
}

inline std::uint32_t load_le32(const unsigned char* p) noexcept {
    std::uint32_t w;
    std::memcpy(&w, p, 4);
    if constexpr (std::endian::native == std::endian::big) w = VELKORIN_BSWAP32(w);
    return w;
}

// The 1..7 bytes at p as a little-endian word, without reading past them:
// two overlapping loads (or single bytes) instead of a loop.
inline std::uint64_t load_le_tail(const unsigned char* p, std::size_t r) noexcept {
    if (r >= 4) return load_le32(p) | (std::uint64_t{load_le32(p + r - 4)} << (8 * (r - 4)));
    return std::uint64_t{p[0]} | (std::uint64_t{p[r / 2]} << (8 * (r / 2))) | (std::uint64_t{p[r - 1]} << (8 * (r - 1)));
}

struct State {
    std::uint64_t v0, v1, v2, v3;

    State(std::uint64_t k0, std::uint64_t k1) noexcept
        : v0(k0 ^ 0x736f6d6570736575ULL),
          v1(k1 ^ 0x646f72616e646f6dULL),
          v2(k0 ^ 0x6c7967656e657261ULL),
          v3(k1 ^ 0x7465646279746573ULL) {}

    void round() noexcept {
        v0 += v1; v1 = std::rotl(v1, 13); v1 ^= v0; v0 = std::rotl(v0, 32);
        v2 += v3; v3 = std::rotl(v3, 16); v3 ^= v2;
        v0 += v3; v3 = std::rotl(v3, 21); v3 ^= v0;
        v2 += v1; v1 = std::rotl(v1, 17); v1 ^= v2; v2 = std::rotl(v2, 32);
    }

    template <int C>
    void compress(std::uint64_t m) noexcept {
        v3 ^= m;
        for (int i = 0; i < C; ++i) round();
        v0 ^= m;
    }

    template <int D>
    std::uint64_t finalize() noexcept {
        v2 ^= 0xff;
        for (int i = 0; i < D; ++i) round();
        return v0 ^ v1 ^ v2 ^ v3;
    }
};

}  // namespace siphash_detail

// SipHash-C-D of `n` bytes at `data`, followed by the one byte `suffix`
// when Suffix is true (the map hashes a key's bytes and 0xFF this way
// without copying them).
template <int C, int D, bool Suffix = false>
inline std::uint64_t siphash(std::uint64_t k0, std::uint64_t k1, const void* data, std::size_t n,
                             std::uint8_t suffix = 0) noexcept {
    using namespace siphash_detail;
    const auto* p = static_cast<const unsigned char*>(data);
    State s(k0, k1);
    const std::size_t full = n & ~std::size_t{7};
    for (std::size_t i = 0; i < full; i += 8) s.compress<C>(load_le64(p + i));
    const std::size_t r = n - full;
    std::uint64_t tail = r == 0 ? 0 : n >= 8 ? load_le64(p + n - 8) >> (64 - 8 * r) : load_le_tail(p, r);
    std::size_t length = n;
    if constexpr (Suffix) {
        ++length;
        tail |= std::uint64_t{suffix} << (8 * r);
        if (r == 7) {
            s.compress<C>(tail);
            tail = 0;
        }
    }
    s.compress<C>(tail | (static_cast<std::uint64_t>(length & 0xff) << 56));
    return s.finalize<D>();
}

// SipHash-C-D of the 8 little-endian bytes of `v`: one message word, then the
// length word (8 << 56) with no tail bytes.
template <int C, int D>
inline std::uint64_t siphash_u64(std::uint64_t k0, std::uint64_t k1, std::uint64_t v) noexcept {
    siphash_detail::State s(k0, k1);
    s.compress<C>(v);
    s.compress<C>(std::uint64_t{8} << 56);
    return s.finalize<D>();
}

inline std::uint64_t siphash13_u64(std::uint64_t k0, std::uint64_t k1, std::uint64_t v) noexcept {
    return siphash_u64<1, 3>(k0, k1, v);
}

}  // namespace velkorin::core
