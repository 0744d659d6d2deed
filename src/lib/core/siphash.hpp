// SipHash with C compression rounds and D finalisation rounds, 64-bit output.
//
// The key is two little-endian 64-bit words (k0, k1). A message is consumed
// in 8-byte little-endian words; the last word holds the 0..7 remaining bytes
// and, in its top byte, the message length modulo 256. The hash tables use
// SipHash-1-3 (`SipHasher13`, `siphash13_u64`); SipHash-2-4 is the same code
// with other round counts.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace velkorin {

namespace siphash_detail {

inline std::uint64_t load_le64(const unsigned char* p) noexcept {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap64(w);
    return w;
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

// Streaming SipHash-C-D: any split of the message into write() calls gives
// the same result as one call over the whole message.
template <int C, int D>
class SipHasher {
public:
    SipHasher(std::uint64_t k0, std::uint64_t k1) noexcept : state_(k0, k1) {}

    void write(const void* data, std::size_t n) noexcept {
        const auto* p = static_cast<const unsigned char*>(data);
        length_ += n;
        if (ntail_ != 0) {
            while (n != 0 && ntail_ < 8) {
                tail_ |= std::uint64_t{*p++} << (8 * ntail_++);
                --n;
            }
            if (ntail_ < 8) return;
            state_.template compress<C>(tail_);
            tail_ = 0;
            ntail_ = 0;
        }
        for (; n >= 8; n -= 8, p += 8) state_.template compress<C>(siphash_detail::load_le64(p));
        for (; n != 0; --n) tail_ |= std::uint64_t{*p++} << (8 * ntail_++);
    }

    void write(std::string_view bytes) noexcept { write(bytes.data(), bytes.size()); }

    void write_u8(std::uint8_t byte) noexcept {
        ++length_;
        tail_ |= std::uint64_t{byte} << (8 * ntail_++);
        if (ntail_ == 8) {
            state_.template compress<C>(tail_);
            tail_ = 0;
            ntail_ = 0;
        }
    }

    // The hasher is spent afterwards.
    std::uint64_t finish() noexcept {
        state_.template compress<C>(tail_ | (static_cast<std::uint64_t>(length_ & 0xff) << 56));
        return state_.template finalize<D>();
    }

private:
    siphash_detail::State state_;
    std::uint64_t tail_ = 0;  // pending bytes, little-endian, ntail_ of them
    unsigned ntail_ = 0;
    std::size_t length_ = 0;
};

using SipHasher13 = SipHasher<1, 3>;
using SipHasher24 = SipHasher<2, 4>;

template <int C, int D>
inline std::uint64_t siphash(std::uint64_t k0, std::uint64_t k1, const void* data, std::size_t n) noexcept {
    SipHasher<C, D> h(k0, k1);
    h.write(data, n);
    return h.finish();
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

}  // namespace velkorin
