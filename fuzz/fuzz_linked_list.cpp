// The XOR-linked list against std::deque, with move-only elements, so that
// ASan sees a node or element freed twice or never; moves of whole lists
// carry the slabs and the free list along.
#include <cstdint>
#include <deque>
#include <memory>
#include <utility>

#include "fuzz_input.hpp"
#include "linked_list.hpp"

using namespace velkorin::fuzz;
using List = velkorin::core::LinkedList<std::unique_ptr<std::int64_t>>;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    Checker check;
    List list;
    std::deque<std::int64_t> model;
    auto push = [&](bool back, std::int64_t v) {
        auto box = std::make_unique<std::int64_t>(v);
        if (back) {
            list.push_back(std::move(box));
            model.push_back(v);
        } else {
            list.push_front(std::move(box));
            model.push_front(v);
        }
    };
    auto pop = [&](bool back) {
        auto got = back ? list.pop_back() : list.pop_front();
        check.expect(got.has_value() == !model.empty(), "pop of an empty list");
        if (model.empty()) return;
        check.expect(**got == (back ? model.back() : model.front()), "pop returns the wrong end");
        back ? model.pop_back() : model.pop_front();
    };
    while (!in.done()) {
        const std::uint8_t op = in.byte();
        const bool back = op & 8;
        switch (op % 6) {
            case 0: push(back, in.value()); break;
            case 1: pop(back); break;
            case 2: {
                const std::int64_t start = in.value();
                const std::int64_t stride = in.value();
                for (std::size_t i = 0, n = in.count(); i < n; ++i) push(back, run_value(start, stride, i));
                break;
            }
            case 3: for (std::size_t n = in.count(); n > 0; --n) pop(back); break;
            case 4: {
                std::size_t i = 0;
                bool same = true;
                list.for_each([&](const auto& v) { same = same && i < model.size() && *v == model[i++]; });
                check.expect(same && i == model.size(), "walk differs from the model");
                break;
            }
            case 5:
                if (back) {
                    List moved(std::move(list));
                    check.expect(list.empty() && moved.size() == model.size(), "move construction");
                    list = std::move(moved);
                } else {
                    list.clear();
                    model.clear();
                }
                break;
        }
        check.expect(list.size() == model.size(), "size");
        check.step(list);
    }
    check.verify(list);
    return 0;
}
