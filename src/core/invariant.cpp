#include "core/invariant.hpp"

#include <cstdio>
#include <cstdlib>

namespace velkorin::core {

void invariant_failed(std::string_view what) noexcept {
    std::fprintf(stderr, "velkorin: invariant violated: %.*s\n", static_cast<int>(what.size()), what.data());
    std::abort();
}

namespace invariant_detail {

namespace {
// Structures up to this size are verified after every change.
constexpr std::size_t always_below = 64;
thread_local std::size_t countdown = 0;
}  // namespace

bool sample_due(std::size_t size) noexcept {
    if (size < always_below) return true;
    if (countdown > 0) {
        --countdown;
        return false;
    }
    countdown = size;
    return true;
}

}  // namespace invariant_detail

}  // namespace velkorin::core
