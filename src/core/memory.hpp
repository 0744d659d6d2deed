// The one allocator for native storage.
//
// Every vector, string, node and table of the module obtains its memory here.
// Exhaustion is not a Python exception: the process writes
// "memory allocation of N bytes failed" to standard error and aborts, so no
// allocation failure ever unwinds through native code or into the interpreter.
// This header is plain C++ (no interpreter headers): the container cores and
// their native tests use it too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <new>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/platform.hpp"

namespace velkorin::core {

[[noreturn]] VELKORIN_COLD VELKORIN_NOINLINE inline void allocation_failed(std::size_t bytes) noexcept {
    std::fprintf(stderr, "memory allocation of %zu bytes failed\n", bytes);
    std::abort();
}

// Requires: bytes > 0 is not required; a zero-byte request returns a unique pointer.
inline void* allocate_bytes(std::size_t bytes) noexcept {
    void* p = std::malloc(bytes == 0 ? 1 : bytes);
    if (p == nullptr) allocation_failed(bytes);
    return p;
}

inline void* reallocate_bytes(void* p, std::size_t bytes) noexcept {
    void* q = std::realloc(p, bytes == 0 ? 1 : bytes);
    if (q == nullptr) allocation_failed(bytes);
    return q;
}

inline void free_bytes(void* p) noexcept { std::free(p); }

// Byte size of n objects of type T; a product that overflows is reported as
// the largest size, which no allocator can satisfy.
template <class T>
constexpr std::size_t array_bytes(std::size_t n) noexcept {
    return n > std::numeric_limits<std::size_t>::max() / sizeof(T)
               ? std::numeric_limits<std::size_t>::max()
               : n * sizeof(T);
}

template <class T>
inline T* allocate_array(std::size_t n) noexcept {
    const std::size_t bytes = array_bytes<T>(n);
    if (bytes == std::numeric_limits<std::size_t>::max()) allocation_failed(bytes);
    return static_cast<T*>(allocate_bytes(bytes));
}

// Whether a T may be moved to another address by copying its bytes, the old
// copy then being forgotten rather than destroyed. Holds for trivially
// copyable types; owning handles of a single pointer specialise it.
template <class T>
inline constexpr bool is_trivially_relocatable_v = std::is_trivially_copyable_v<T>;

// Standard allocator adaptor, so std::vector and std::basic_string use the
// same allocation path.
template <class T>
struct Alloc {
    using value_type = T;
    Alloc() noexcept = default;
    template <class U>
    Alloc(const Alloc<U>&) noexcept {}
    T* allocate(std::size_t n) { return allocate_array<T>(n); }
    void deallocate(T* p, std::size_t) noexcept { free_bytes(p); }
    template <class U>
    bool operator==(const Alloc<U>&) const noexcept { return true; }
};

template <class T>
using Vec = std::vector<T, Alloc<T>>;

// Owned byte string (UTF-8 text for map keys, messages).
using String = std::basic_string<char, std::char_traits<char>, Alloc<char>>;

}  // namespace velkorin::core
