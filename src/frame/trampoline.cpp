#include "frame/trampoline.hpp"

#include <cxxabi.h>

#include <cstdio>
#include <cstdlib>

namespace velkorin::detail {

namespace {

[[noreturn]] void abort_at_boundary() noexcept {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::abort();
}

// The handlers below let the forced unwind of a thread ended by
// pthread_exit through. It has no exception object, so the reference its
// handler binds is null by design: the undefined-behaviour sanitizer is off
// in these few functions (the bodies they contain keep it).
#define VELKORIN_FORCED_UNWIND_HANDLER __attribute__((no_sanitize("undefined")))

// Runs `raise` (which sets the interpreter's exception); a panic inside it
// ends the process, since nothing can be raised in its place.
template <class Raise>
VELKORIN_FORCED_UNWIND_HANDLER void raise_or_abort(Raise&& raise) {
    try {
        raise();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        abort_at_boundary();
    }
}

void raise_panic(std::string_view message) {
    raise_or_abort([&] { panic_error(message).restore(); });
}

}  // namespace

PyObject* raise_failure(Failure& failure) {
    raise_or_abort([&] { std::move(*failure).restore(); });
    return nullptr;
}

VELKORIN_FORCED_UNWIND_HANDLER PyObject* contain_unwinding() {
    try {
        throw;
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (Panic& p) {
        raise_panic(p.message);
    } catch (...) {
        raise_panic("panic from native code");
    }
    return nullptr;
}

VELKORIN_FORCED_UNWIND_HANDLER void contain_unwinding_unraisable() {
    String message;
    try {
        throw;
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (Panic& p) {
        message = std::move(p.message);
    } catch (...) {
        message = "panic from native code";
    }
    raise_or_abort([&] {
        panic_error(message).restore();
        PyErr_WriteUnraisable(nullptr);
    });
}

}  // namespace velkorin::detail
