// PyLinkedList: a double-ended list of Python objects.
#include "lib/classes.hpp"
#include "lib/core/linked_list.hpp"

namespace velkorin {

namespace {

class List {
public:
    void push_back(PyObject* v) { list_.push_back(OwnedRef::borrow(v)); }
    void push_front(PyObject* v) { list_.push_front(OwnedRef::borrow(v)); }
    std::optional<OwnedRef> pop_front() { return list_.pop_front(); }
    std::optional<OwnedRef> pop_back() { return list_.pop_back(); }
    std::uint64_t len() const { return list_.size(); }

    OwnedRef to_list() const { return list_of_objects(list_); }

    // At destruction, front first.
    bool give_up_references(GiveUp give_up) {
        while (std::optional<OwnedRef> v = list_.pop_front())
            if (!give_up(std::move(*v))) return false;
        return true;
    }

private:
    LinkedList<OwnedRef> list_;
};

struct PyLinkedList final : PyClass<PyLinkedList, "PyLinkedList", List,
    Def<"push_back", &List::push_back, "v">,
    Def<"push_front", &List::push_front, "v">,
    Def<"pop_front", &List::pop_front>,
    Def<"pop_back", &List::pop_back>,
    Def<"len", &List::len>,
    Def<"to_list", &List::to_list>> {};

}  // namespace

const ClassRecord& py_linked_list_class = class_record<PyLinkedList>;

}  // namespace velkorin
