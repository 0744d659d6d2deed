// binary_search against its probe sequence (inclusive signed bounds, the
// floor of the midpoint, the first equal probe wins), on sorted and unsorted
// input, and linear_search against a scan from the front.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "fuzz_input.hpp"
#include "searching.hpp"

using namespace velkorin::fuzz;

namespace {
std::optional<std::size_t> probes(const std::vector<std::int64_t>& v, std::int64_t target) {
    if (v.empty()) return std::nullopt;
    std::int64_t low = 0, high = static_cast<std::int64_t>(v.size()) - 1;
    while (low <= high) {
        const std::int64_t mid = low + (high - low) / 2;
        const std::int64_t e = v[static_cast<std::size_t>(mid)];
        if (e > target) high = mid - 1;
        else if (e < target) low = mid + 1;
        else return static_cast<std::size_t>(mid);
    }
    return std::nullopt;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    Checker check;
    const std::uint8_t mode = in.byte();
    const std::size_t targets = mode % 8 + 1;
    std::vector<std::int64_t> v, wanted;
    for (std::size_t i = 0; i < targets; ++i) wanted.push_back(in.value());
    while (!in.done()) {
        if (in.byte() % 4 != 3) {
            v.push_back(in.value());
            continue;
        }
        const std::int64_t start = in.value();
        const std::int64_t stride = in.value();
        for (std::size_t i = 0, n = in.count(); i < n; ++i) v.push_back(run_value(start, stride, i));
    }
    const bool sorted = mode & 8;
    if (sorted) std::sort(v.begin(), v.end());
    for (std::int64_t t : wanted) {
        const std::span<const std::int64_t> s(v);
        const auto found = velkorin::core::binary_search(s, t);
        check.expect(found == probes(v, t), "binary_search left its probe sequence");
        check.expect(!found || v[*found] == t, "binary_search found a different value");
        const auto first = std::find(v.begin(), v.end(), t);
        check.expect(!sorted || found.has_value() == (first != v.end()), "binary_search missed a value of a sorted list");
        const auto linear = velkorin::core::linear_search(s, t);
        check.expect(linear == (first == v.end() ? std::nullopt : std::optional<std::size_t>(first - v.begin())),
                     "linear_search is not the first occurrence");
    }
    return 0;
}
