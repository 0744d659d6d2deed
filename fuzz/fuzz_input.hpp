// What every fuzz target shares: the decoder that turns libFuzzer's bytes
// into operands, and the checks that stop the run on a disagreement.
//
// Byte format (fuzz/make_seeds.py writes the same):
//   byte      one byte; 0 once the input is used up, so every input decodes
//   value     one tag byte t:  t < 0xF0  the small value t - 0x78 (-120 .. 119),
//                                        so random inputs hit the same keys often;
//                              0xF0..F7  kExtremes[t & 7];
//                              0xF8..FF  the next 8 bytes, little-endian
//   count     one byte b: b < 0xC0  b itself;
//                         otherwise   (b - 0xBF) * 32, up to 2048: a run that
//                                     grows a core past several resizes
//   key       one byte for the length (kKeyLengths, around the 15-byte
//             inline limit), then that many raw bytes, NULs included
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>

#include "invariant.hpp"

namespace velkorin::fuzz {

inline constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
inline constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
// kMax is also the B-tree's padding under <, kMin under >.
inline constexpr std::int64_t kExtremes[8] = {kMin, kMin + 1, kMax, kMax - 1, -1, 0, 1, std::int64_t{1} << 32};

inline constexpr std::size_t kKeyLengths[16] = {0, 1, 7, 8, 9, 14, 15, 15, 15, 16, 16, 17, 23, 24, 32, 40};

// Every operation compares; the full walk of verify() runs every kVerifyEvery.
inline constexpr unsigned kVerifyEvery = 8;

[[noreturn]] inline void fail(const char* what, unsigned op) {
    std::fprintf(stderr, "fuzz check failed at operation %u: %s\n", op, what);
    std::abort();
}

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) noexcept : p_(data), end_(data + size) {}

    bool done() const noexcept { return p_ == end_; }
    std::uint8_t byte() noexcept { return p_ == end_ ? 0 : *p_++; }

    std::int64_t value() noexcept {
        const std::uint8_t t = byte();
        if (t < 0xF0) return static_cast<std::int64_t>(t) - 0x78;
        if (t < 0xF8) return kExtremes[t & 7];
        std::uint64_t v = 0;
        for (int i = 0; i < 8; ++i) v |= std::uint64_t{byte()} << (8 * i);
        return static_cast<std::int64_t>(v);
    }

    std::size_t count() noexcept {
        const std::size_t b = byte();
        return b < 0xC0 ? b : (b - 0xBF) * 32;
    }

    std::size_t key_length() noexcept { return kKeyLengths[byte() & 15]; }

    std::string key() {
        std::string k(key_length(), '\0');
        for (char& c : k) c = static_cast<char>(byte());
        return k;
    }

private:
    const std::uint8_t* p_;
    const std::uint8_t* end_;
};

// Element i of a run: start + i * stride, wrapping like the 64-bit registers.
inline std::int64_t run_value(std::int64_t start, std::int64_t stride, std::size_t i) noexcept {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(start) + static_cast<std::uint64_t>(stride) * i);
}

// Counts operations, stops on a failed check, and runs the core's full
// verify() every kVerifyEvery operations (and on demand).
class Checker {
public:
    void expect(bool ok, const char* what) const {
        if (!ok) fail(what, op_);
    }

    template <class... Cores>
    void step(const Cores&... cores) {
        if (++op_ % kVerifyEvery == 0) verify(cores...);
    }

    template <class... Cores>
    void verify(const Cores&... cores) const {
        (verify_one(cores), ...);
    }

private:
    template <class Core>
    void verify_one(const Core& core) const {
        if (velkorin::core::Violation v = core.verify()) {
            const std::string what(*v);
            fail(what.c_str(), op_);
        }
    }

    unsigned op_ = 0;
};

}  // namespace velkorin::fuzz
