// PyPriorityQueue: a max-priority queue of 64-bit integers.
#include "lib/classes.hpp"
#include "core/binary_heap.hpp"

namespace velkorin::lib {

class PriorityQueue {
public:
    static constexpr bool holds_references = false;

    void push(std::int64_t v) { heap_.push(v); }
    // The result object is made before the value leaves the heap, so a
    // failure to make it leaves the queue unchanged.
    std::optional<OwnedRef> pop() {
        const std::optional<std::int64_t> top = heap_.peek();
        if (!top) return std::nullopt;
        OwnedRef result = int_object(*top);
        heap_.pop();
        return result;
    }
    std::optional<std::int64_t> peek() const { return heap_.peek(); }

private:
    core::MaxHeap<std::int64_t> heap_;
};

struct PyPriorityQueue final : PyClass<PyPriorityQueue, "PyPriorityQueue", PriorityQueue,
    Def<"push", &PriorityQueue::push, "v">,
    Def<"pop", &PriorityQueue::pop>,
    Def<"peek", &PriorityQueue::peek>> {};

const ClassRecord& py_priority_queue_class = class_record<PyPriorityQueue>;

}  // namespace velkorin::lib
