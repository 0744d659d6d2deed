// The hash map against std::unordered_map and a model of its entry order
// (insertion order; a removal moves the last entry into the hole). Keys are
// 0-40 bytes, mostly around the 15-byte inline limit, NULs included; most
// operations reuse a key seen before, or one a byte longer or shorter. The
// text hashes keep as many bits as the input's first byte says, down to none,
// so that keys collide in their text hash as well as in their buckets.
#include <cstdint>
#include <iterator>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "fuzz_input.hpp"
#include "hash_map.hpp"

using namespace velkorin::fuzz;
using velkorin::core::HashKey;
using Value = std::unique_ptr<std::uint32_t>;

std::uint64_t text_hash_mask = ~std::uint64_t{0};

struct MaskedTextHash {
    static std::uint64_t of(std::string_view text) noexcept { return velkorin::core::BytesTextHash::of(text) & text_hash_mask; }
};

using Map = velkorin::core::HashMap<Value, MaskedTextHash>;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    Checker check;
    static constexpr std::uint64_t masks[] = {~std::uint64_t{0}, 0xffff, 0xff00000000000000, 0xff, 3, 0};
    text_hash_mask = masks[in.byte() % std::size(masks)];
    Map map(HashKey{0x0123456789abcdef, 0xfedcba9876543210 ^ in.byte()});
    struct Slot {
        std::uint32_t value;
        std::size_t position;  // in `order`
    };
    std::unordered_map<std::string, Slot> model;
    std::vector<std::string> order, pool;
    std::uint32_t next_value = 0;
    auto pick_key = [&]() -> std::string {
        const std::uint8_t how = in.byte();
        if (pool.empty() || how % 4 == 0) {
            std::string k = in.key();
            if (pool.size() < 256) pool.push_back(k); else pool[how] = k;
            return k;
        }
        std::string k = pool[in.byte() % pool.size()];
        if (how % 4 == 2) {  // a neighbour: one byte longer or shorter, or the last byte changed
            if (how & 4) k.push_back(static_cast<char>(how >> 3 & 1));
            else if (!k.empty() && (how & 8)) k.pop_back();
            else if (!k.empty()) k.back() = static_cast<char>(k.back() ^ 1);
        }
        return k;
    };
    // As an input bit says, a key goes in as bare text or as a TextKey whose
    // text follows 16 bytes of noise, to be loaded as whole words.
    std::string noisy;
    auto text_key = [&](const std::string& k) {
        const bool as_words = (in.byte() & 1) != 0;
        noisy.assign(16, static_cast<char>(0xa5));
        noisy += k;
        const std::string_view text = as_words ? std::string_view(noisy).substr(16) : std::string_view(k);
        return velkorin::core::TextKey{text, MaskedTextHash::of(k), as_words};
    };
    auto insert = [&](const std::string& k) {
        const std::uint32_t v = next_value++;
        std::optional<Value> old = map.insert(text_key(k), std::make_unique<std::uint32_t>(v));
        auto [it, added] = model.try_emplace(k, Slot{v, order.size()});
        check.expect(old.has_value() != added && (added || **old == it->second.value), "insert's old value");
        if (added) order.push_back(k); else it->second.value = v;
    };
    auto remove = [&](const std::string& k) {
        std::optional<Value> got = map.remove(text_key(k));
        auto it = model.find(k);
        check.expect(got.has_value() == (it != model.end()) && (!got || **got == it->second.value), "remove");
        if (it == model.end()) return;
        const std::size_t i = it->second.position;
        model.erase(it);
        if (i + 1 != order.size()) {
            order[i] = std::move(order.back());
            model[order[i]].position = i;
        }
        order.pop_back();
    };
    auto same_entries = [&](const Map& m) {
        bool same = m.size() == order.size();
        std::size_t i = 0;
        for (const auto& e : m) same = same && e.key.view() == order[i] && *e.value == model[order[i]].value, ++i;
        check.expect(same, "entries differ from the model's order");
    };
    while (!in.done()) {
        const std::uint8_t op = in.byte();
        switch (op % 8) {
            case 0: insert(pick_key()); break;
            case 1: remove(pick_key()); break;
            case 2: {
                const std::string k = pick_key();
                const Value* got = map.find(text_key(k));
                auto it = model.find(k);
                check.expect((got != nullptr) == (it != model.end()) && (!got || **got == it->second.value), "find");
                break;
            }
            case 3: {  // keys of one length, a run number in the last bytes: insertions, or removals by bit 3
                const std::size_t length = in.key_length();
                const char fill = static_cast<char>(in.byte());
                for (std::size_t i = 0, n = in.count(); i < n; ++i) {
                    std::string k(length, fill);
                    for (std::size_t j = 0; j < 4 && j < length; ++j) k[length - 1 - j] = static_cast<char>(i >> (8 * j));
                    (op & 8) ? remove(k) : insert(k);
                }
                check.verify(map);
                break;
            }
            case 4: same_entries(map); break;
            case 5: {  // drain the first entries in order, the rest stays in order
                const std::size_t stop = in.byte();
                std::size_t taken = 0;
                map.drain([&](std::string_view k, Value&& v) {
                    check.expect(taken < order.size() && k == order[taken] && *v == model[order[taken]].value, "drain order");
                    return ++taken < stop;
                });
                for (std::size_t i = 0; i < taken; ++i) model.erase(order[i]);
                order.erase(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(taken));
                for (std::size_t i = 0; i < order.size(); ++i) model[order[i]].position = i;
                same_entries(map);
                break;
            }
            case 6: {  // a snapshot under another key replaces the map
                Map copy(map, HashKey{op, 42}, [](const Value& v) noexcept { return std::make_unique<std::uint32_t>(*v); });
                check.verify(copy);
                same_entries(copy);
                map = std::move(copy);
                break;
            }
            case 7: {  // a deallocation's drain, stopped and resumed, then only the destructor
                std::size_t next = 0, taken = 0;
                const std::size_t every = 1 + in.byte() % 4;
                auto take = [&](Value&& v) {
                    check.expect(taken < order.size() && *v == model[order[taken]].value, "drain_values order");
                    return ++taken % every != 0;
                };
                while (!map.drain_values(next, take)) check.expect(next == taken, "drain_values resumes");
                check.expect(taken == order.size(), "drain_values count");
                return 0;
            }
        }
        check.expect(map.size() == model.size(), "size");
        check.step(map);
    }
    check.verify(map);
    same_entries(map);
    return 0;
}
