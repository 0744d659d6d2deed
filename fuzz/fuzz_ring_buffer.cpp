// The ring buffer against std::deque, with plain values (grown by realloc)
// and move-only ones (grown element by element).
#include <algorithm>
#include <cstdint>
#include <deque>
#include <memory>

#include "fuzz_input.hpp"
#include "ring_buffer.hpp"

using namespace velkorin::fuzz;
using velkorin::core::RingBuffer;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    Checker check;
    RingBuffer<std::int64_t> plain;
    RingBuffer<std::unique_ptr<std::int64_t>> boxed;
    std::deque<std::int64_t> model;
    auto push = [&](std::int64_t v) {
        const std::size_t old_capacity = plain.capacity();
        plain.push_back(v);
        boxed.push_back(std::make_unique<std::int64_t>(v));
        model.push_back(v);
        const std::size_t want = model.size() <= old_capacity ? old_capacity : std::max<std::size_t>(2 * old_capacity, 4);
        check.expect(plain.capacity() == want && boxed.capacity() == want, "capacity grows only when full, by doubling");
    };
    auto pop = [&] {
        auto a = plain.pop_front();
        auto b = boxed.pop_front();
        check.expect(a.has_value() == !model.empty() && b.has_value() == !model.empty(), "pop of an empty buffer");
        if (model.empty()) return;
        check.expect(*a == model.front() && **b == model.front(), "pop returns the front");
        model.pop_front();
    };
    while (!in.done()) {
        switch (in.byte() % 5) {
            case 0: push(in.value()); break;
            case 1: pop(); break;
            case 2: {
                const std::int64_t start = in.value();
                const std::int64_t stride = in.value();
                for (std::size_t i = 0, n = in.count(); i < n; ++i) push(run_value(start, stride, i));
                break;
            }
            case 3: for (std::size_t n = in.count(); n > 0; --n) pop(); break;
            case 4: {
                std::size_t i = 0;
                bool same = true;
                plain.for_each([&](std::int64_t v) { same = same && i < model.size() && v == model[i++]; });
                i = 0;
                boxed.for_each([&](const auto& v) { same = same && i < model.size() && *v == model[i++]; });
                check.expect(same && i == model.size(), "walk differs from the model");
                break;
            }
        }
        check.expect(plain.size() == model.size() && boxed.size() == model.size(), "size");
        check.expect(model.empty() || (plain.front() == model.front() && *boxed.front() == model.front()), "front");
        check.step(plain, boxed);
    }
    check.verify(plain, boxed);
    return 0;
}
