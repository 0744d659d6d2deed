// Every entry from the interpreter into the module passes through a
// trampoline: it runs the body, raises a failed body's Error, turns a panic
// into a PanicException, and never lets a C++ exception unwind into the
// interpreter. If raising itself panics, the process writes
// "uncaught panic at ffi boundary" to standard error and aborts.
//
// The one unwinding that does pass through is the forced unwind of a thread
// that the interpreter ends with pthread_exit (a daemon thread at shutdown):
// it is rethrown, never treated as a panic, which is also why the entry points
// are not noexcept. Such an unwind has no exception object, so the handler's
// reference is null by design: the undefined-behaviour sanitizer is off in the
// few lines of the trampolines themselves (the bodies they run keep it).
#pragma once

#include "frame/error.hpp"

#include <cxxabi.h>

namespace velkorin {

namespace detail {
[[gnu::cold]] void raise_error(Error&& error);
[[gnu::cold]] void raise_panic(std::string_view message);
[[gnu::cold]] void report_unraisable_panic(std::string_view message);
}  // namespace detail

// `body` returns Result<PyObject*> holding a new reference on success.
template <class Body>
[[gnu::no_sanitize_undefined]] inline PyObject* trampoline(Body&& body) {
    try {
        Result<PyObject*> result = body();
        if (result.ok()) [[likely]] return result.value();
        detail::raise_error(std::move(result.error()));
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (Panic& p) {
        detail::raise_panic(p.message);
    } catch (...) {
        detail::raise_panic("panic from native code");
    }
    return nullptr;
}

// For deallocation: a panic is reported through the unraisable-exception hook
// and no exception is left set.
template <class Body>
[[gnu::no_sanitize_undefined]] inline void trampoline_unraisable(Body&& body) {
    try {
        body();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (Panic& p) {
        detail::report_unraisable_panic(p.message);
    } catch (...) {
        detail::report_unraisable_panic("panic from native code");
    }
}

}  // namespace velkorin
