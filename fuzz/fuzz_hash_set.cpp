// The hash set against std::unordered_set, and beside it the bare table under
// a hash the input chooses (home = v mod capacity, h2 = v & 0x7f): small
// values fill neighbouring buckets, and values a capacity apart share a
// home, so clusters run long and wrap around the end, and the in-place
// rebuild has tangles to undo.
#include <algorithm>
#include <cstdint>
#include <unordered_set>
#include <vector>

#include "fuzz_input.hpp"
#include "hash_set.hpp"

using namespace velkorin::fuzz;
using velkorin::core::HashKey;
using velkorin::core::HashSet;

namespace {
struct IdentityPolicy {
    using Entry = std::int64_t;
    using Key = std::int64_t;
    static std::uint64_t hash(const HashKey&, std::int64_t v) noexcept {
        const auto u = static_cast<std::uint64_t>(v);
        return u << 7 | (u & 0x7f);
    }
    static std::uint64_t stored_hash(const HashKey& k, std::int64_t v) noexcept { return hash(k, v); }
    static std::int64_t key_of(std::int64_t v) noexcept { return v; }
    static bool matches(std::int64_t e, std::int64_t v, std::uint64_t) noexcept { return e == v; }
};
using IdentityTable = velkorin::core::HashTable<IdentityPolicy>;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    Checker check;
    const std::uint64_t seed = in.byte();
    HashSet set(HashKey{0x736f6d6570736575 ^ seed, 0x646f72616e646f6d});
    IdentityTable table(HashKey{0, 0});
    std::unordered_set<std::int64_t> model;
    auto apply = [&](int op, std::int64_t v) {
        const std::size_t capacity = set.capacity(), table_capacity = table.capacity();
        const std::int64_t* e = table.find(v, table.hash(v));
        if (op == 0) {
            const bool added = model.insert(v).second;
            check.expect(set.insert(v) == added && table.insert(v, v) == added, "insert");
        } else if (op == 1) {
            const bool removed = model.erase(v) == 1;
            check.expect(set.remove(v) == removed && (e != nullptr) == removed, "remove");
            if (e != nullptr) table.erase(*e);
        } else {
            const bool present = model.count(v) == 1;
            check.expect(set.contains(v) == present && (e != nullptr) == present, "contains");
        }
        check.expect(set.capacity() >= capacity && table.capacity() >= table_capacity, "capacity shrank");
    };
    while (!in.done()) {
        const std::uint8_t op = in.byte();
        switch (op % 5) {
            case 0: case 1: case 2: apply(op % 5, in.value()); break;
            case 3: {  // a run of insertions (or removals, by bit 3)
                const std::int64_t start = in.value();
                const std::int64_t stride = in.value();
                for (std::size_t i = 0, n = in.count(); i < n; ++i) apply((op >> 3) & 1, run_value(start, stride, i));
                check.verify(set, table);
                break;
            }
            case 4: {
                const auto listed = set.to_vector();
                std::vector<std::int64_t> a(listed.begin(), listed.end()), b(table.begin(), table.end()),
                    want(model.begin(), model.end());
                std::sort(a.begin(), a.end());
                std::sort(b.begin(), b.end());
                std::sort(want.begin(), want.end());
                check.expect(a == want && b == want, "contents differ from the model");
                break;
            }
        }
        check.expect(set.size() == model.size() && table.size() == model.size(), "size");
        check.step(set, table);
    }
    check.verify(set, table);
    return 0;
}
