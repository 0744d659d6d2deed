// Searching a span of values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace velkorin::core {

// Probes by halving with inclusive signed bounds; returns the index of the
// first probe that lands on an element equal to `target`. On unsorted input
// the same probes run: the result is absent or an index of an equal element.
template <class T>
std::optional<std::size_t> binary_search(std::span<const T> v, const T& target) {
    if (v.empty()) return std::nullopt;
    std::int64_t low = 0;
    std::int64_t high = static_cast<std::int64_t>(v.size()) - 1;
    while (low <= high) {
        const std::int64_t mid = low + (high - low) / 2;
        const T& probe = v[static_cast<std::size_t>(mid)];
        if (target < probe) {
            high = mid - 1;
        } else if (probe < target) {
            low = mid + 1;
        } else {
            return static_cast<std::size_t>(mid);
        }
    }
    return std::nullopt;
}

// The lowest index of an element equal to `target`.
template <class T>
std::optional<std::size_t> linear_search(std::span<const T> v, const T& target) {
    for (std::size_t i = 0; i < v.size(); ++i) {
        if (v[i] == target) return i;
    }
    return std::nullopt;
}

}  // namespace velkorin::core
