// Per-thread SipHash keys for the hash tables.
//
// Each thread holds one key pair, filled with 128 random bits from the
// operating system the first time the thread asks for a key. Every call hands
// out the current pair and then increments the thread's k0 (wrapping), so no
// two tables created on one thread share a key.
//
// Why keyed SipHash-1-3, a key per table: bucket positions depend on a secret,
// so input cannot be chosen to collide (one compression round per 8-byte
// word keeps that affordable for short keys); and since no two tables share
// a key, copying one table's entries into another in its bucket order does
// not pile them into the same clusters there.
#pragma once

#include <cstdint>

#include "core/platform.hpp"

namespace velkorin::core {

struct HashKey {
    std::uint64_t k0;
    std::uint64_t k1;

    friend bool operator==(const HashKey&, const HashKey&) = default;
};

// Aborts the process with a message on standard error if the operating
// system's random source is unavailable; a fixed key is never used.
HashKey next_hash_key() noexcept;

// A table's key, or none yet. All-zero bytes are "none yet": a table in that
// state is empty and takes next_hash_key() before its first insertion, so
// memory that no constructor ran over still gets a key of its own.
class TableKey {
public:
    TableKey() noexcept = default;
    explicit TableKey(HashKey key) noexcept : key_(key), keyed_(true) {}

    bool keyed() const noexcept { return keyed_; }
    const HashKey& get() const noexcept { return key_; }

    void ensure() noexcept {
        if (!keyed_) [[unlikely]]
            draw();
    }

private:
    VELKORIN_COLD VELKORIN_NOINLINE void draw() noexcept {
        key_ = next_hash_key();
        keyed_ = true;
    }

    HashKey key_{};
    bool keyed_ = false;
};

}  // namespace velkorin::core
