// The module's functions over sequences of 64-bit integers. Each works on a
// private copy of its argument, so the caller's sequence never changes.
#pragma once

#include "frame/convert.hpp"

#include <cstdint>
#include <optional>

namespace velkorin::lib {

IntVec merge_sort(IntVec v);
IntVec quick_sort(IntVec v);
IntVec bubble_sort(IntVec v);
IntVec selection_sort(IntVec v);

std::optional<std::uint64_t> binary_search(IntVec v, std::int64_t target);
std::optional<std::uint64_t> linear_search(IntVec v, std::int64_t target);

}  // namespace velkorin::lib
