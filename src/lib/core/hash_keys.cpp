#include "lib/core/hash_keys.hpp"

#include <sys/random.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace velkorin {

namespace {

struct ThreadKey {
    bool seeded;
    HashKey key;
};

// Constant-initialised, so access needs no per-thread constructor.
thread_local ThreadKey thread_key{};

[[noreturn, gnu::cold, gnu::noinline]] void random_source_failed(int error) noexcept {
    std::fprintf(stderr, "velkorin: cannot read hash keys from the operating system's random source: %s\n",
                 std::strerror(error));
    std::abort();
}

[[gnu::cold, gnu::noinline]] void seed(ThreadKey& t) noexcept {
    unsigned char bytes[16];
    std::size_t filled = 0;
    while (filled < sizeof bytes) {
        const ssize_t n = ::getrandom(bytes + filled, sizeof bytes - filled, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            random_source_failed(errno);
        }
        filled += static_cast<std::size_t>(n);
    }
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

}  // namespace velkorin
