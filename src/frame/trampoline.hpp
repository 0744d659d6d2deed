// Every entry from the interpreter into the module passes through a
// trampoline: it runs the body, raises a failed body's Error, turns a panic
// into a PanicException, and never lets a C++ exception unwind into the
// interpreter. If raising itself panics, the process writes
// "uncaught panic at ffi boundary" to standard error and aborts.
//
// A body returns a new reference, or null after leaving its Error in the
// Failure it is given. The trampoline is a try block around the body: on the
// success path it costs nothing, and everything it does on the other paths is
// compiled once, in trampoline.cpp.
//
// The one unwinding that does pass through is the forced unwind of a thread
// that the interpreter ends with pthread_exit (a daemon thread at shutdown):
// it is rethrown, never treated as a panic, which is also why the entry points
// are not noexcept.
#pragma once

#include "frame/error.hpp"


namespace velkorin {

namespace detail {
// Raises *failure; returns null for the entry to hand to the interpreter.
VELKORIN_COLD PyObject* raise_failure(Failure& failure);
// Called inside `catch (...)`: drops an error left in `failure`, rethrows a
// forced unwind, raises anything else as a PanicException and returns null.
VELKORIN_COLD PyObject* contain_unwinding(Failure& failure);
// The same for deallocation: reports a panic through the unraisable hook.
VELKORIN_COLD void contain_unwinding_unraisable();
}  // namespace detail

// `body(Failure&)` returns a new reference, or null with the failure set.
template <class Body>
VELKORIN_ALWAYS_INLINE inline PyObject* trampoline(Body&& body) {
    Failure failure;
    try {
        if (PyObject* result = body(failure)) [[likely]] return result;
    } catch (...) {
        return detail::contain_unwinding(failure);
    }
    return detail::raise_failure(failure);
}

// For deallocation: a panic is reported through the unraisable-exception hook
// and no exception is left set.
template <class Body>
VELKORIN_ALWAYS_INLINE inline void trampoline_unraisable(Body&& body) {
    try {
        body();
    } catch (...) {
        detail::contain_unwinding_unraisable();
    }
}

}  // namespace velkorin
