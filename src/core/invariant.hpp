// The one convention for invariant checks of the cores.
//
// Every core has `Violation verify() const`: it walks the whole structure and
// returns a description of the first broken invariant, or nothing. The native
// tests call it after every operation.
//
// Builds that define VELKORIN_CHECK_INVARIANTS (Debug and sanitizer builds)
// also check while the module runs, so the Python suites exercise the checks:
// each mutating operation asserts its cheap invariants on the spot
// (VELKORIN_INVARIANT) and calls `sampled_verify(core)`, which runs the full
// verify() on a sample of calls: every call while a structure is small, then
// about once per `size()` calls, so the checks stay amortised O(1) per
// operation. The first violation aborts the process with its description.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "core/platform.hpp"

namespace velkorin::core {

using Violation = std::optional<std::string_view>;

#ifdef VELKORIN_CHECK_INVARIANTS
inline constexpr bool checking_invariants = true;
#else
inline constexpr bool checking_invariants = false;
#endif

[[noreturn]] VELKORIN_COLD VELKORIN_NOINLINE void invariant_failed(std::string_view what) noexcept;

namespace invariant_detail {
// True when a sampled check is due for a structure of `size` elements.
bool sample_due(std::size_t size) noexcept;
}  // namespace invariant_detail

// Runs core.verify() on a sample of calls in checking builds; nothing otherwise.
template <class Core>
inline void sampled_verify(const Core& core) noexcept {
    if constexpr (checking_invariants) {
        if (invariant_detail::sample_due(core.size())) {
            if (Violation v = core.verify()) invariant_failed(*v);
        }
    }
}

}  // namespace velkorin::core

// A cheap invariant, checked on the spot in checking builds.
#ifdef VELKORIN_CHECK_INVARIANTS
#define VELKORIN_INVARIANT(condition, what) \
    do {                                    \
        if (!(condition)) ::velkorin::core::invariant_failed(what); \
    } while (false)
#else
#define VELKORIN_INVARIANT(condition, what) \
    do {                                    \
    } while (false)
#endif
