// Per-thread SipHash keys for the hash tables.
//
// Each thread holds one key pair, filled with 128 random bits from the
// operating system the first time the thread asks for a key. Every call hands
// out the current pair and then increments the thread's k0 (wrapping), so no
// two tables created on one thread share a key.
#pragma once

#include <cstdint>

namespace velkorin {

struct HashKey {
    std::uint64_t k0;
    std::uint64_t k1;

    friend bool operator==(const HashKey&, const HashKey&) = default;
};

// Aborts the process with a message on standard error if the operating
// system's random source is unavailable; a fixed key is never used.
HashKey next_hash_key() noexcept;

}  // namespace velkorin
