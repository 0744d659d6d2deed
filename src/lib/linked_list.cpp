// PyLinkedList: a double-ended list of Python objects.
#include "lib/classes.hpp"
#include "core/linked_list.hpp"

namespace velkorin::lib {

class LinkedList {
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
    core::LinkedList<OwnedRef> list_;
};

struct PyLinkedList final : PyClass<PyLinkedList, "PyLinkedList", LinkedList,
    Def<"push_back", &LinkedList::push_back, "v">,
    Def<"push_front", &LinkedList::push_front, "v">,
    Def<"pop_front", &LinkedList::pop_front>,
    Def<"pop_back", &LinkedList::pop_back>,
    Def<"len", &LinkedList::len>,
    Def<"to_list", &LinkedList::to_list>> {};

const ClassRecord& py_linked_list_class = class_record<PyLinkedList>;

}  // namespace velkorin::lib
