// Set of 64-bit integers: the table of hash_table.hpp with the integers in its
// slots, 8 bytes plus one control byte per bucket.
//
// The empty state is all-zero bytes, by design: no key, no storage. A set in
// it (made by HashSet(), or memory that no constructor ran over) answers
// lookups without hashing and takes a key from next_hash_key() before its
// first insertion. HashSet(key) is empty too, with that key from the start.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/hash_keys.hpp"
#include "core/hash_table.hpp"
#include "core/memory.hpp"
#include "core/siphash.hpp"

namespace velkorin::core {

struct HashSetPolicy {
    using Entry = std::int64_t;
    using Key = std::int64_t;

    // SipHash-1-3 of the integer's 8 little-endian bytes.
    static std::uint64_t hash(const HashKey& k, std::int64_t v) noexcept {
        return siphash13_u64(k.k0, k.k1, static_cast<std::uint64_t>(v));
    }
    static std::uint64_t stored_hash(const HashKey& k, std::int64_t v) noexcept { return hash(k, v); }
    static std::int64_t key_of(std::int64_t v) noexcept { return v; }
    static bool matches(std::int64_t e, std::int64_t v, std::uint64_t) noexcept { return e == v; }
};

class HashSet {
    using Table = HashTable<HashSetPolicy>;

public:
    using const_iterator = Table::const_iterator;

    // The all-zero state (see the header comment); HashSet(key) has a key.
    HashSet() noexcept = default;
    explicit HashSet(HashKey key) noexcept : table_(key) {}

    HashSet(HashSet&&) noexcept = default;
    HashSet& operator=(HashSet&&) noexcept = default;

    std::size_t size() const noexcept { return table_.size(); }
    bool empty() const noexcept { return table_.empty(); }
    std::size_t capacity() const noexcept { return table_.capacity(); }
    std::size_t tombstones() const noexcept { return table_.tombstones(); }
    bool keyed() const noexcept { return table_.keyed(); }
    HashKey hash_key() const noexcept { return table_.hash_key(); }

    // True if v was added, false if it was already present.
    bool insert(std::int64_t v) noexcept {
        return table_.insert(v, v);
    }

    // An empty set answers without hashing.
    bool contains(std::int64_t v) const noexcept {
        if (table_.empty()) return false;
        return table_.find(v, table_.hash(v)) != nullptr;
    }

    // True if v was present and is now removed. Hashes even when the set is
    // empty, unless it has no key yet.
    bool remove(std::int64_t v) noexcept {
        if (!table_.keyed()) return false;
        const std::int64_t* e = table_.find(v, table_.hash(v));
        if (e == nullptr) return false;
        table_.erase(*e);
        return true;
    }

    // Bucket order: the same for two walks of an unchanged set.
    const_iterator begin() const noexcept { return table_.begin(); }
    const_iterator end() const noexcept { return table_.end(); }

    Vec<std::int64_t> to_vector() const {
        Vec<std::int64_t> out;
        out.reserve(table_.size());
        for (std::int64_t v : table_) out.push_back(v);
        return out;
    }

    Violation verify() const noexcept { return table_.verify(); }

private:
    Table table_;
};

}  // namespace velkorin::core
