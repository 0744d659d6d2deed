#include "lib/algorithms.hpp"

#include "core/searching.hpp"
#include "core/sorting.hpp"

namespace velkorin::lib {

namespace {

std::optional<std::uint64_t> widen(std::optional<std::size_t> index) {
    if (!index) return std::nullopt;
    return static_cast<std::uint64_t>(*index);
}

}  // namespace

IntVec merge_sort(IntVec v) {
    core::merge_sort(std::span(v));
    return v;
}

IntVec quick_sort(IntVec v) {
    core::quick_sort(std::span(v));
    return v;
}

IntVec bubble_sort(IntVec v) {
    core::bubble_sort(std::span(v));
    return v;
}

IntVec selection_sort(IntVec v) {
    core::selection_sort(std::span(v));
    return v;
}

std::optional<std::uint64_t> binary_search(IntVec v, std::int64_t target) {
    return widen(core::binary_search(std::span<const std::int64_t>(v), target));
}

std::optional<std::uint64_t> linear_search(IntVec v, std::int64_t target) {
    return widen(core::linear_search(std::span<const std::int64_t>(v), target));
}

}  // namespace velkorin::lib
