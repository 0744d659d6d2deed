#include "frame/trampoline.hpp"

#include "core/platform.hpp"

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
#define VELKORIN_FORCED_UNWIND_HANDLER VELKORIN_NO_SANITIZE_UNDEFINED

// Raises `error` (and reports it as unraisable if asked); a panic inside
// raising ends the process, since nothing can be raised in its place.
VELKORIN_FORCED_UNWIND_HANDLER void raise_or_abort(Error&& error, bool unraisable) {
    try {
        if (unraisable) {
            report_unraisable(std::move(error), nullptr);
        } else {
            std::move(error).restore();
        }
    } catch (core::ForcedUnwind&) {
        throw;
    } catch (...) {
        abort_at_boundary();
    }
}

}  // namespace

PyObject* raise_failure(Failure& failure) {
    // A body that returned null without an error left one pending, or none.
    if (!failure) [[unlikely]] {
        try {
            failure.emplace(fetch_error());
        } catch (...) {
            return contain_unwinding(failure);
        }
    }
    raise_or_abort(failure.take(), false);
    return nullptr;
}

VELKORIN_FORCED_UNWIND_HANDLER PyObject* contain_unwinding(Failure& failure) {
    failure.discard();
    try {
        throw;
    } catch (core::ForcedUnwind&) {
        throw;
    } catch (Panic& p) {
        raise_or_abort(panic_error(p.message), false);
    } catch (...) {
        raise_or_abort(panic_error("panic from native code"), false);
    }
    return nullptr;
}

VELKORIN_FORCED_UNWIND_HANDLER void contain_unwinding_unraisable() {
    String message;
    try {
        throw;
    } catch (core::ForcedUnwind&) {
        throw;
    } catch (Panic& p) {
        message = std::move(p.message);
    } catch (...) {
        message = "panic from native code";
    }
    raise_or_abort(panic_error(message), true);
}

}  // namespace velkorin::detail
