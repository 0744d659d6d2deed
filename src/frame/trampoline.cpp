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

}  // namespace

[[gnu::no_sanitize_undefined]] void raise_error(Error&& error) {
    try {
        std::move(error).restore();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        abort_at_boundary();
    }
}

[[gnu::no_sanitize_undefined]] void raise_panic(std::string_view message) {
    try {
        panic_error(message).restore();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        abort_at_boundary();
    }
}

[[gnu::no_sanitize_undefined]] void report_unraisable_panic(std::string_view message) {
    try {
        panic_error(message).restore();
        PyErr_WriteUnraisable(nullptr);
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        abort_at_boundary();
    }
}

}  // namespace velkorin::detail
