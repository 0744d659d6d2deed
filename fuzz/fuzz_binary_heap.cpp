// The binary heap against std::priority_queue, as a max-heap (<) and a
// min-heap (>).
#include <cstdint>
#include <functional>
#include <queue>
#include <vector>

#include "binary_heap.hpp"
#include "fuzz_input.hpp"

using namespace velkorin::fuzz;
using velkorin::core::MaxHeap;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    Checker check;
    MaxHeap<std::int64_t> high;
    MaxHeap<std::int64_t, std::greater<std::int64_t>> low;
    std::priority_queue<std::int64_t> high_model;
    std::priority_queue<std::int64_t, std::vector<std::int64_t>, std::greater<std::int64_t>> low_model;
    auto push = [&](std::int64_t v) {
        high.push(v);
        low.push(v);
        high_model.push(v);
        low_model.push(v);
    };
    auto same_top = [&](const auto& model, const auto& top) {
        check.expect(top.has_value() == !model.empty() && (model.empty() || *top == model.top()), "top differs");
    };
    auto pop = [&] {
        same_top(high_model, high.pop());
        same_top(low_model, low.pop());
        if (!high_model.empty()) high_model.pop();
        if (!low_model.empty()) low_model.pop();
    };
    while (!in.done()) {
        switch (in.byte() % 5) {
            case 0: push(in.value()); break;
            case 1: pop(); break;
            case 2: {  // a run: ascending, descending or one value repeated, by the stride
                const std::int64_t start = in.value();
                const std::int64_t stride = in.value();
                for (std::size_t i = 0, n = in.count(); i < n; ++i) push(run_value(start, stride, i));
                break;
            }
            case 3: for (std::size_t n = in.count(); n > 0; --n) pop(); break;
            case 4: same_top(high_model, high.peek()); same_top(low_model, low.peek()); break;
        }
        check.expect(high.size() == high_model.size() && low.size() == low_model.size(), "size");
        check.step(high, low);
    }
    check.verify(high, low);
    while (!high_model.empty()) pop();
    check.expect(high.empty() && low.empty() && !high.pop() && !low.peek(), "drained heap not empty");
    return 0;
}
