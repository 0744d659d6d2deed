// PyQueue: a first-in, first-out queue of Python objects.
#include "lib/classes.hpp"
#include "core/ring_buffer.hpp"

namespace velkorin::lib {

class Queue {
public:
    void push(PyObject* v) { ring_.push_back(OwnedRef::borrow(v)); }

    std::optional<OwnedRef> pop() { return ring_.pop_front(); }

    std::optional<OwnedRef> peek() const {
        if (ring_.empty()) return std::nullopt;
        return ring_.front().clone();
    }

    std::uint64_t len() const { return ring_.size(); }

    OwnedRef to_list() const { return list_of_objects(ring_); }

    // At destruction, front to back.
    bool give_up_references(GiveUp give_up) { return ring_.drain(give_up); }

private:
    core::RingBuffer<OwnedRef> ring_;
};

struct PyQueue final : PyClass<PyQueue, "PyQueue", Queue,
    Def<"push", &Queue::push, "v">,
    Def<"pop", &Queue::pop>,
    Def<"peek", &Queue::peek>,
    Def<"len", &Queue::len>,
    Def<"to_list", &Queue::to_list>> {};

const ClassRecord& py_queue_class = class_record<PyQueue>;

}  // namespace velkorin::lib
