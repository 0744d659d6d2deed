// Giving up references that may be the last: in the order a recursive
// release gives, at once, and on a stack of bounded depth.
//
// Freeing a container releases its elements, and an element that is itself
// one of the module's containers is freed inside that release, so a chain of
// containers would nest deallocations as deep as it is long. Instead:
//
//   - Every place that gives up a reference which may be the last is a drain
//     point: drop(OwnedRef&&), and the element loop of a deallocation.
//   - A deallocation entered directly from a drain point does not release
//     the elements there: it pushes the instance on this thread's drain
//     stack, which lives on the heap, and returns. The drain point knows in
//     advance (the last reference, to an instance of a class that hands
//     over), and marks the instance in its borrow flag before its Py_DECREF;
//     the mark is on the object itself, so no other deallocation can take it
//     for its own.
//   - The drain point then releases what was handed over, top of the stack
//     first, before it does anything else: the elements front to back, each
//     possibly handing over another instance, then the emptied instance is
//     freed. That is exactly the order of the recursion it replaces.
//   - A deallocation entered from anywhere else (the interpreter, a list's
//     deallocation, Python code) is a drain point of its own and drains its
//     contents in place, above whatever the stack already holds.
//
// So every release that a call causes has ended when the call returns, with
// the call's borrows still held, and the C stack does not grow with the
// nesting of the module's containers. Nestings that pass through the
// interpreter's own containers keep the order, and the depth limits, that
// the interpreter gives them.
#pragma once

#include "frame/object.hpp"

#include <atomic>
#include <concepts>
#include <cstddef>

namespace velkorin {

// How deallocation empties an instance whose contents hold references.
struct DrainOps {
    // Releases the references in release order until none is left (true) or
    // one of them handed its own instance over to the drain stack (false).
    bool (*give_up_some)(PyObject* self);
    // Destroys the emptied contents and frees the instance.
    void (*finish)(PyObject* self);
};

namespace detail {

// The types whose instances hand their contents over; filled as the type
// objects are created, read on every release of a last reference.
inline constexpr std::size_t max_handing_over_types = 4;
inline std::atomic<PyTypeObject*> handing_over_types[max_handing_over_types];

inline bool hands_over(PyTypeObject* type) noexcept {
    for (const auto& t : handing_over_types)
        if (t.load(std::memory_order_relaxed) == type) return true;
    return false;
}

// The last reference to an instance of a handing-over type.
inline bool may_hand_over(PyObject* p) noexcept { return Py_REFCNT(p) == 1 && hands_over(Py_TYPE(p)); }

// Marks p and drops its last reference: its contents then wait at the top
// of the drain stack. Requires: may_hand_over(p).
void hand_over(PyObject* p);

// hand_over(p), then drains what p handed over.
void drop_and_drain(PyObject* p);

}  // namespace detail

// Registers a type whose deallocation calls deallocate().
void register_handing_over_type(PyTypeObject* type);

// Gives up a reference at once; whatever it frees is freed before this
// returns. Releasing can run a finalizer, and with it any Python code, even
// the forced unwind of a thread that the interpreter ends at exit; so
// references that may be the last are released here, by an ordinary function
// that such an unwind passes through, not by ~OwnedRef, which must not throw
// (its release is the safety net of error paths).
inline void drop(OwnedRef&& ref) {
    PyObject* p = ref.into_raw();
    if (p == nullptr) return;
    if (detail::may_hand_over(p)) [[unlikely]] {
        detail::drop_and_drain(p);
    } else {
        Py_DECREF(p);
    }
}

// The deallocation of an instance whose contents hold references: hands the
// instance over when a drain point released it, else drains it in place.
void deallocate(PyObject* self, const DrainOps& ops);

// Gives up one reference that a deallocation takes out of its contents;
// false when the reference was the last one to an instance that handed its
// contents over: the drain point finishes that instance before any other.
struct GiveUp {
    bool operator()(OwnedRef&& v) const {
        PyObject* p = v.into_raw();
        if (detail::may_hand_over(p)) [[unlikely]] {
            detail::hand_over(p);
            return false;
        }
        Py_DECREF(p);
        return true;
    }
};

// Contents that hold object references give them up in their release order
// through `bool give_up_references(GiveUp)`: each one, moved out of the
// contents, goes to GiveUp until it returns false (then the result is false,
// even if that was the last reference) or none is left (then it is true). A
// later call resumes where the last one stopped.
template <class Contents>
concept ReleasesReferences = requires(Contents& c) {
    { c.give_up_references(GiveUp{}) } -> std::same_as<bool>;
};

}  // namespace velkorin
