#include "frame/drain.hpp"

#include "frame/error.hpp"
#include "frame/instance.hpp"

#include <algorithm>
#include <utility>

namespace velkorin {

namespace {

struct Handed {
    PyObject* self;
    const DrainOps* ops;
};

// One per thread: the drains of different threads interleave whenever a
// finalizer lets another thread run. Trivially destructible and
// constant-initialised, so a thread reaches it without a first-use check;
// the stack lives in the inline array while it is shallow, and the heap
// block is freed whenever the stack empties. Only a thread that the
// interpreter ends with a forced unwind in the middle of a drain leaves
// instances on it, which then stay unfreed, as C code on that stack leaves
// its own.
struct DrainStack {
    static constexpr std::size_t inline_capacity = 4;

    std::size_t size;
    std::size_t capacity;  // of `heap`; 0 while the inline array serves
    Handed* heap;
    Handed inline_entries[inline_capacity];

    Handed* entries() noexcept { return heap != nullptr ? heap : inline_entries; }

    void push(Handed h) noexcept {
        if (size == (heap != nullptr ? capacity : inline_capacity)) [[unlikely]] grow();
        entries()[size++] = h;
    }

    Handed pop() noexcept {
        const Handed top = entries()[--size];
        if (size == 0 && heap != nullptr) [[unlikely]] {
            core::free_bytes(std::exchange(heap, nullptr));
            capacity = 0;
        }
        return top;
    }

    VELKORIN_NOINLINE void grow() noexcept {
        const std::size_t bigger = 2 * (heap != nullptr ? capacity : inline_capacity);
        if (heap == nullptr) {
            heap = static_cast<Handed*>(core::allocate_bytes(core::array_bytes<Handed>(bigger)));
            std::copy(inline_entries, inline_entries + size, heap);
        } else {
            heap = static_cast<Handed*>(core::reallocate_bytes(heap, core::array_bytes<Handed>(bigger)));
        }
        capacity = bigger;
    }

    // Finishes every instance above `base`, the top one first.
    void drain_above(std::size_t base) {
        while (size > base) {
            const Handed top = entries()[size - 1];
            if (top.ops->give_up_some(top.self)) {
                pop();
                top.ops->finish(top.self);
            }
        }
    }
};

constinit thread_local DrainStack drain_stack{};

}  // namespace

void register_handing_over_type(PyTypeObject* type) {
    for (auto& t : detail::handing_over_types) {
        PyTypeObject* expected = nullptr;
        if (t.load(std::memory_order_relaxed) == type ||
            t.compare_exchange_strong(expected, type, std::memory_order_relaxed))
            return;
    }
    panic("more classes hand over their contents than detail::max_handing_over_types");
}

void detail::hand_over(PyObject* p) {
    borrow_flag_of(p).mark_handing_over();
    Py_DECREF(p);
}

void detail::drop_and_drain(PyObject* p) {
    DrainStack& d = drain_stack;
    const std::size_t base = d.size;
    hand_over(p);
    d.drain_above(base);
}

void deallocate(PyObject* self, const DrainOps& ops) {
    if (borrow_flag_of(self).handing_over_marked()) {
        drain_stack.push({self, &ops});
        return;
    }
    DrainStack& d = drain_stack;
    const std::size_t base = d.size;
    while (!ops.give_up_some(self)) d.drain_above(base);
    ops.finish(self);
}

}  // namespace velkorin
