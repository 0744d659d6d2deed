// What differs between compilers and operating systems, in one place:
// attributes, prefetch and byte swaps, the SIMD instruction set of the
// control-byte groups, and the operating system's random source. A hint that
// a compiler does not understand expands to nothing.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#include <stdlib.h>
#define VELKORIN_COLD
#define VELKORIN_NOINLINE __declspec(noinline)
#define VELKORIN_ALWAYS_INLINE __forceinline
#if defined(_M_ARM64)
#define VELKORIN_PREFETCH(p) __prefetch(p)
#else
#define VELKORIN_PREFETCH(p) _mm_prefetch(reinterpret_cast<const char*>(p), _MM_HINT_T0)
#endif
#define VELKORIN_PREFETCH_WRITE(p) VELKORIN_PREFETCH(p)
#define VELKORIN_BSWAP32(x) _byteswap_ulong(x)
#define VELKORIN_BSWAP64(x) _byteswap_uint64(x)
#else
#define VELKORIN_COLD [[gnu::cold]]
#define VELKORIN_NOINLINE [[gnu::noinline]]
#define VELKORIN_ALWAYS_INLINE [[gnu::always_inline]]
#define VELKORIN_PREFETCH(p) __builtin_prefetch(p)
#define VELKORIN_PREFETCH_WRITE(p) __builtin_prefetch(p, 1)
#define VELKORIN_BSWAP32(x) __builtin_bswap32(x)
#define VELKORIN_BSWAP64(x) __builtin_bswap64(x)
#endif

// Turns the undefined-behaviour sanitizer off in one function.
#if defined(__has_attribute)
#if __has_attribute(no_sanitize)
#define VELKORIN_NO_SANITIZE_UNDEFINED __attribute__((no_sanitize("undefined")))
#endif
#endif
#ifndef VELKORIN_NO_SANITIZE_UNDEFINED
#define VELKORIN_NO_SANITIZE_UNDEFINED
#endif

// The control-byte group: SSE2 on every x86-64 (and on x86 built for it),
// NEON on 64-bit ARM, plain byte loops elsewhere or when asked for.
#if !defined(VELKORIN_PORTABLE)
#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#define VELKORIN_SIMD_SSE2 1
#elif (defined(__aarch64__) || defined(_M_ARM64)) && (defined(__ARM_NEON) || defined(_MSC_VER))
#define VELKORIN_SIMD_NEON 1
#endif
#endif

// A thread that pthread_exit ends unwinds its stack with an exception of a
// type of its own in GCC's C++ library, which handlers must let through.
// Elsewhere nothing is thrown as ForcedUnwind and its handlers never run.
#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

namespace velkorin::core {

#if defined(__GLIBCXX__)
using ForcedUnwind = abi::__forced_unwind;
#else
struct ForcedUnwind {};
#endif

// The 128-bit product of a and b, its two halves xored: the compilers' wide
// multiply where there is one, else four 32-bit products.
inline std::uint64_t multiply_fold_portable(std::uint64_t a, std::uint64_t b) noexcept {
    const std::uint64_t a_lo = a & 0xffffffff, a_hi = a >> 32, b_lo = b & 0xffffffff, b_hi = b >> 32;
    const std::uint64_t lo_lo = a_lo * b_lo, hi_lo = a_hi * b_lo, lo_hi = a_lo * b_hi, hi_hi = a_hi * b_hi;
    const std::uint64_t middle = (lo_lo >> 32) + (hi_lo & 0xffffffff) + lo_hi;
    const std::uint64_t low = (middle << 32) | (lo_lo & 0xffffffff);
    const std::uint64_t high = hi_hi + (hi_lo >> 32) + (middle >> 32);
    return low ^ high;
}

inline std::uint64_t multiply_fold(std::uint64_t a, std::uint64_t b) noexcept {
#if defined(__SIZEOF_INT128__)
    const unsigned __int128 p = static_cast<unsigned __int128>(a) * b;
    return static_cast<std::uint64_t>(p) ^ static_cast<std::uint64_t>(p >> 64);
#elif defined(_MSC_VER) && defined(_M_X64)
    std::uint64_t high = 0;
    const std::uint64_t low = _umul128(a, b, &high);
    return low ^ high;
#elif defined(_MSC_VER) && defined(_M_ARM64)
    return (a * b) ^ __umulh(a, b);
#else
    return multiply_fold_portable(a, b);
#endif
}

// Fills `out` with `n` bytes from the operating system's random source
// (getrandom on Linux, getentropy on macOS and the BSDs, BCryptGenRandom on
// Windows). There is no fallback: if the source fails, the process writes
// the reason to standard error and aborts.
void os_random_bytes(unsigned char* out, std::size_t n) noexcept;

}  // namespace velkorin::core
