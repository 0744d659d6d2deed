// The four sorts on integers against std::stable_sort, and on elements that
// carry their input position: merge sort must then match std::stable_sort,
// and the other three the arrangement of their step-by-step definitions
// (the plain reference loops below). Elements of 16 bytes take the
// branch-free paths, those of 24 the plain ones.
#include <algorithm>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "fuzz_input.hpp"
#include "sorting.hpp"

using namespace velkorin::fuzz;

namespace {
constexpr std::size_t kMaxElements = 300;  // the quadratic sorts stay quick

template <std::size_t Words>
struct Tagged {
    std::int64_t key;
    std::uint64_t tag[Words - 1];
    friend bool operator==(const Tagged&, const Tagged&) = default;
};
struct KeyLess {
    template <class T>
    bool operator()(const T& a, const T& b) const noexcept { return a.key < b.key; }
};

// Lomuto with the last element as pivot; the part before it by recursion.
template <class T, class Less>
void reference_quick(T* a, std::size_t len, Less less) {
    while (len > 1) {
        std::size_t store = 0;
        for (std::size_t k = 0; k + 1 < len; ++k)
            if (!less(a[len - 1], a[k])) std::swap(a[store++], a[k]);
        std::swap(a[store], a[len - 1]);
        reference_quick(a, store, less);
        a += store + 1;
        len -= store + 1;
    }
}

template <class T, class Less>
void reference_bubble(std::vector<T>& v, Less less) {
    for (std::size_t pass = 0; pass + 1 < v.size(); ++pass) {
        bool swapped = false;
        for (std::size_t j = 0; j + 1 < v.size() - pass; ++j)
            if (less(v[j + 1], v[j])) std::swap(v[j], v[j + 1]), swapped = true;
        if (!swapped) return;
    }
}

template <class T, class Less>
void reference_selection(std::vector<T>& v, Less less) {
    for (std::size_t i = 0; i < v.size(); ++i) {
        std::size_t min = i;
        for (std::size_t j = i + 1; j < v.size(); ++j)
            if (less(v[j], v[min])) min = j;
        if (min != i) std::swap(v[i], v[min]);
    }
}

template <class T, class Less>
void check_sorts(const Checker& check, const std::vector<T>& input, Less less) {
    std::vector<T> stable = input, quick = input, bubble = input, selection = input;
    std::stable_sort(stable.begin(), stable.end(), less);
    reference_quick(quick.data(), quick.size(), less);
    reference_bubble(bubble, less);
    reference_selection(selection, less);
    const std::pair<void (*)(std::span<T>, Less), const std::vector<T>*> cases[] = {
        {velkorin::core::merge_sort<T, Less>, &stable},
        {velkorin::core::quick_sort<T, Less>, &quick},
        {velkorin::core::bubble_sort<T, Less>, &bubble},
        {velkorin::core::selection_sort<T, Less>, &selection},
    };
    for (const auto& [sort, want] : cases) {
        std::vector<T> v = input;
        sort(v, less);
        check.expect(v == *want, "arrangement differs from the reference");
    }
}

template <std::size_t Words>
std::vector<Tagged<Words>> tagged(const std::vector<std::int64_t>& keys) {
    std::vector<Tagged<Words>> out;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        Tagged<Words> t{keys[i], {}};
        for (auto& w : t.tag) w = i;
        out.push_back(t);
    }
    return out;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    Checker check;
    std::vector<std::int64_t> keys;
    while (!in.done() && keys.size() < kMaxElements) {
        const std::uint8_t op = in.byte();
        if (op % 4 != 3) {
            keys.push_back(in.value());
            continue;
        }
        const std::int64_t start = in.value();  // a run: ascending, descending or repeated
        const std::int64_t stride = in.value();
        for (std::size_t i = 0, n = in.count(); i < n && keys.size() < kMaxElements; ++i)
            keys.push_back(run_value(start, stride, i));
    }
    check_sorts(check, keys, std::less<std::int64_t>());
    check_sorts(check, tagged<2>(keys), KeyLess());
    check_sorts(check, tagged<3>(keys), KeyLess());
    return 0;
}
