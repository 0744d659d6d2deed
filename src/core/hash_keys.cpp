#include "core/hash_keys.hpp"

#include "core/platform.hpp"

#include <cstring>

namespace velkorin::core {

namespace {

struct ThreadKey {
    bool seeded;
    HashKey key;
};

// Constant-initialised, so access needs no per-thread constructor.
thread_local ThreadKey thread_key{};

VELKORIN_COLD VELKORIN_NOINLINE void seed(ThreadKey& t) noexcept {
    unsigned char bytes[16];
    os_random_bytes(bytes, sizeof bytes);
    std::memcpy(&t.key.k0, bytes, 8);
    std::memcpy(&t.key.k1, bytes + 8, 8);
    t.seeded = true;
}

}  // namespace

HashKey next_hash_key() noexcept {
    ThreadKey& t = thread_key;
    if (!t.seeded) seed(t);
    const HashKey key = t.key;
    ++t.key.k0;  // unsigned: wraps
    return key;
}

}  // namespace velkorin::core
