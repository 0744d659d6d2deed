#include "lib/algorithms.hpp"

#include "lib/core/searching.hpp"
#include "lib/core/sorting.hpp"

namespace velkorin {

namespace {

std::optional<std::uint64_t> widen(std::optional<std::size_t> index) {
    if (!index) return std::nullopt;
    return static_cast<std::uint64_t>(*index);
}

}  // namespace

IntVec merge_sort(IntVec v) {
    velkorin::merge_sort<std::int64_t>(v);
    return v;
}

IntVec quick_sort(IntVec v) {
    velkorin::quick_sort<std::int64_t>(v);
    return v;
}

IntVec bubble_sort(IntVec v) {
    velkorin::bubble_sort<std::int64_t>(v);
    return v;
}

IntVec selection_sort(IntVec v) {
    velkorin::selection_sort<std::int64_t>(v);
    return v;
}

std::optional<std::uint64_t> binary_search(IntVec v, std::int64_t target) {
    return widen(velkorin::binary_search<std::int64_t>(v, target));
}

std::optional<std::uint64_t> linear_search(IntVec v, std::int64_t target) {
    return widen(velkorin::linear_search<std::int64_t>(v, target));
}

}  // namespace velkorin
