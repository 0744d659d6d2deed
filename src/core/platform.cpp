#include "core/platform.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#if defined(_WIN32)
#include <windows.h>
// windows.h first: bcrypt.h needs its types.
#include <bcrypt.h>
#elif defined(__linux__)
#include <sys/random.h>
#else
#include <unistd.h>
#if defined(__APPLE__)
#include <sys/random.h>
#endif
#endif

namespace velkorin::core {

namespace {

[[noreturn]] VELKORIN_COLD VELKORIN_NOINLINE void random_source_failed(const char* why) noexcept {
    std::fprintf(stderr, "velkorin: cannot read hash keys from the operating system's random source: %s\n", why);
    std::abort();
}

}  // namespace

void os_random_bytes(unsigned char* out, std::size_t n) noexcept {
#if defined(_WIN32)
    while (n > 0) {
        const ULONG chunk = n > 0x10000000 ? 0x10000000 : static_cast<ULONG>(n);
        const NTSTATUS status = BCryptGenRandom(nullptr, out, chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG);
        if (status < 0) random_source_failed("BCryptGenRandom failed");
        out += chunk;
        n -= chunk;
    }
#elif defined(__linux__)
    while (n > 0) {
        const auto got = ::getrandom(out, n, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            random_source_failed(std::strerror(errno));
        }
        out += got;
        n -= static_cast<std::size_t>(got);
    }
#else
    // getentropy hands out at most 256 bytes per call.
    while (n > 0) {
        const std::size_t chunk = n > 256 ? 256 : n;
        if (::getentropy(out, chunk) != 0) random_source_failed(std::strerror(errno));
        out += chunk;
        n -= chunk;
    }
#endif
}

}  // namespace velkorin::core
