// The B-tree set against std::set under three orders: < and > (the padding
// is the greatest value, kMax or kMin, which can also be a key) and unsigned
// order (no greatest value: the padding is copies of the last key).
#include <cstdint>
#include <functional>
#include <set>
#include <vector>

#include "btree_set.hpp"
#include "fuzz_input.hpp"

using namespace velkorin::fuzz;

namespace {
struct UnsignedLess {
    bool operator()(std::int64_t a, std::int64_t b) const noexcept {
        return static_cast<std::uint64_t>(a) < static_cast<std::uint64_t>(b);
    }
};

template <class Less>
struct Tree {
    velkorin::core::BTreeSet<std::int64_t, Less> set;
    std::set<std::int64_t, Less> model;

    bool apply(int op, std::int64_t v) {
        switch (op) {
            case 0: return set.insert(v) == model.insert(v).second;
            case 1: return set.remove(v) == (model.erase(v) == 1);
            default: return set.contains(v) == (model.count(v) == 1);
        }
    }
    bool same() const {
        std::vector<std::int64_t> keys;
        set.for_each([&](std::int64_t k) { keys.push_back(k); });
        return set.size() == model.size() && keys == std::vector<std::int64_t>(model.begin(), model.end());
    }
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    Checker check;
    Tree<std::less<std::int64_t>> up;
    Tree<std::greater<std::int64_t>> down;
    Tree<UnsignedLess> unsigned_up;
    auto apply = [&](int op, std::int64_t v) {
        check.expect(up.apply(op, v) && down.apply(op, v) && unsigned_up.apply(op, v), "answer differs from std::set");
    };
    while (!in.done()) {
        const std::uint8_t op = in.byte();
        switch (op % 5) {
            case 0: case 1: case 2: apply(op % 5, in.value()); break;
            case 3: {  // a run of insertions (or removals, by bit 3)
                const std::int64_t start = in.value();
                const std::int64_t stride = in.value();
                for (std::size_t i = 0, n = in.count(); i < n; ++i) apply((op >> 3) & 1, run_value(start, stride, i));
                check.verify(up.set, down.set, unsigned_up.set);
                break;
            }
            case 4: check.expect(up.same() && down.same() && unsigned_up.same(), "keys differ from std::set"); break;
        }
        check.expect(up.set.size() == up.model.size(), "size");
        check.step(up.set, down.set, unsigned_up.set);
    }
    check.verify(up.set, down.set, unsigned_up.set);
    check.expect(up.same() && down.same() && unsigned_up.same(), "keys differ from std::set");
    return 0;
}
