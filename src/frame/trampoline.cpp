#include "frame/trampoline.hpp"

#include <cstdio>
#include <cstdlib>

namespace velkorin::detail {

namespace {

[[noreturn]] void abort_at_boundary() noexcept {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::abort();
}

}  // namespace

void raise_error(Error&& error) noexcept {
    try {
        std::move(error).restore();
    } catch (...) {
        abort_at_boundary();
    }
}

void raise_panic(std::string_view message) noexcept {
    try {
        panic_error(message).restore();
    } catch (...) {
        abort_at_boundary();
    }
}

void report_unraisable_panic(std::string_view message) noexcept {
    try {
        panic_error(message).restore();
        PyErr_WriteUnraisable(nullptr);
    } catch (...) {
        abort_at_boundary();
    }
}

}  // namespace velkorin::detail
