#include "core/sorting.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <limits>
#include <random>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace {

using velkorin::core::bubble_sort;
using velkorin::core::merge_sort;
using velkorin::core::quick_sort;
using velkorin::core::selection_sort;
using I64 = std::int64_t;

constexpr I64 kMin = std::numeric_limits<I64>::min();
constexpr I64 kMax = std::numeric_limits<I64>::max();

// ---- inputs -------------------------------------------------------------

std::vector<I64> make_input(const std::string& pattern, std::size_t n, std::mt19937_64& rng) {
    std::vector<I64> v(n);
    for (std::size_t i = 0; i < n; ++i) {
        const I64 k = static_cast<I64>(i);
        if (pattern == "random") {
            v[i] = static_cast<I64>(rng());
        } else if (pattern == "few_distinct") {
            v[i] = static_cast<I64>(rng() % 4) - 2;
        } else if (pattern == "ascending") {
            v[i] = k * 3 - 100;
        } else if (pattern == "descending") {
            v[i] = 100 - k * 3;
        } else if (pattern == "all_equal") {
            v[i] = 7;
        } else if (pattern == "organ_pipe") {
            v[i] = std::min(k, static_cast<I64>(n) - 1 - k);
        } else if (pattern == "extremes") {
            const I64 choices[] = {kMin, kMax, 0, -1, 1, kMin + 1, kMax - 1};
            v[i] = choices[rng() % 7];
        }
    }
    return v;
}

const char* const kPatterns[] = {"random",   "few_distinct", "ascending", "descending",
                                 "all_equal", "organ_pipe",  "extremes"};

using SortFn = void (*)(std::span<I64>);

struct Algorithm {
    const char* name;
    SortFn sort;
    std::size_t max_n;  // keeps the quadratic ones quick under sanitizers
};

const Algorithm kAlgorithms[] = {
    {"merge_sort", [](std::span<I64> a) { merge_sort(a); }, 5000},
    {"quick_sort", [](std::span<I64> a) { quick_sort(a); }, 2000},
    {"bubble_sort", [](std::span<I64> a) { bubble_sort(a); }, 700},
    {"selection_sort", [](std::span<I64> a) { selection_sort(a); }, 700},
};

TEST(Sorting, AllFourAgreeWithStdSort) {
    std::mt19937_64 rng(20240611);
    const std::size_t sizes[] = {0, 1, 2, 3, 4, 5, 7, 8, 9, 16, 31, 64, 100, 257, 700, 2000, 5000};
    for (const Algorithm& algo : kAlgorithms) {
        for (const char* pattern : kPatterns) {
            for (std::size_t n : sizes) {
                if (n > algo.max_n) continue;
                std::vector<I64> v = make_input(pattern, n, rng);
                std::vector<I64> expected = v;
                std::sort(expected.begin(), expected.end());
                algo.sort(v);
                ASSERT_EQ(v, expected) << algo.name << " " << pattern << " n=" << n;
            }
        }
    }
}

TEST(Sorting, ExamplesWithExtremes) {
    for (const Algorithm& algo : kAlgorithms) {
        std::vector<I64> a = {3, 1, 5, 1, 9, 2};
        algo.sort(a);
        EXPECT_EQ(a, (std::vector<I64>{1, 1, 2, 3, 5, 9})) << algo.name;
        std::vector<I64> b = {0, -1, 2, -3};
        algo.sort(b);
        EXPECT_EQ(b, (std::vector<I64>{-3, -1, 0, 2})) << algo.name;
        std::vector<I64> c = {kMax, 0, kMin};
        algo.sort(c);
        EXPECT_EQ(c, (std::vector<I64>{kMin, 0, kMax})) << algo.name;
    }
}

// ---- elements that tell equal keys apart ---------------------------------

// Trivially copyable: takes the branch-free paths.
struct Tagged {
    I64 key;
    std::int32_t tag;
    bool operator==(const Tagged&) const = default;
};
struct TaggedLess {
    bool operator()(const Tagged& a, const Tagged& b) const { return a.key < b.key; }
};

// Not trivially copyable: takes the plain swapping paths.
using Pair = std::pair<I64, int>;
struct PairLess {
    bool operator()(const Pair& a, const Pair& b) const { return a.first < b.first; }
};

template <class E>
std::vector<E> tagged_input(std::size_t n, I64 key_range, std::mt19937_64& rng) {
    std::vector<E> v(n);
    for (std::size_t i = 0; i < n; ++i) {
        v[i] = E{static_cast<I64>(rng() % static_cast<std::uint64_t>(key_range)), static_cast<int>(i)};
    }
    return v;
}

I64 key_of(const Tagged& e) { return e.key; }
I64 key_of(const Pair& e) { return e.first; }

// The textbook forms of the algorithms whose implementations are restructured.

template <class E>
void reference_quick_sort(E* a, std::size_t len) {
    while (len > 1) {
        std::size_t store = 0;
        for (std::size_t k = 0; k + 1 < len; ++k) {
            if (key_of(a[k]) <= key_of(a[len - 1])) {
                std::swap(a[store], a[k]);
                ++store;
            }
        }
        std::swap(a[store], a[len - 1]);
        reference_quick_sort(a, store);
        a += store + 1;
        len -= store + 1;
    }
}

template <class E>
void reference_bubble_sort(std::vector<E>& a) {
    const std::size_t n = a.size();
    for (std::size_t pass = 0; pass + 1 < n; ++pass) {
        bool swapped = false;
        for (std::size_t j = 0; j + 1 < n - pass; ++j) {
            if (key_of(a[j]) > key_of(a[j + 1])) {
                std::swap(a[j], a[j + 1]);
                swapped = true;
            }
        }
        if (!swapped) return;
    }
}

// Stable reference: insertion sort. (std::stable_sort would do, but with
// libstdc++ 12 its temporary buffer trips clang's -Wdeprecated-declarations.)
template <class E, class Less>
void reference_stable_sort(std::vector<E>& a, Less less) {
    for (std::size_t i = 1; i < a.size(); ++i) {
        for (std::size_t j = i; j > 0 && less(a[j], a[j - 1]); --j) std::swap(a[j], a[j - 1]);
    }
}

// Comparison count of the recursive merge sort that copies halves.
std::size_t reference_merge_comparisons(std::vector<I64> v) {
    if (v.size() <= 1) return 0;
    const std::size_t mid = v.size() / 2;
    std::vector<I64> left(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(mid));
    std::vector<I64> right(v.begin() + static_cast<std::ptrdiff_t>(mid), v.end());
    std::size_t count = reference_merge_comparisons(left) + reference_merge_comparisons(right);
    std::sort(left.begin(), left.end());
    std::sort(right.begin(), right.end());
    std::size_t l = 0;
    std::size_t r = 0;
    while (l < left.size() && r < right.size()) {
        ++count;
        if (left[l] <= right[r]) {
            ++l;
        } else {
            ++r;
        }
    }
    return count;
}

template <class E, class Less>
void check_exact_arrangements(Less less) {
    std::mt19937_64 rng(7);
    for (int round = 0; round < 300; ++round) {
        const std::size_t n = rng() % 90;
        const I64 key_range = 1 + static_cast<I64>(rng() % 12);
        const std::vector<E> input = tagged_input<E>(n, key_range, rng);

        std::vector<E> merged = input;
        merge_sort(std::span<E>(merged), less);
        std::vector<E> stable = input;
        reference_stable_sort(stable, less);
        ASSERT_EQ(merged, stable) << "merge_sort is not stable, n=" << n;

        std::vector<E> quick = input;
        quick_sort(std::span<E>(quick), less);
        std::vector<E> quick_ref = input;
        reference_quick_sort(quick_ref.data(), quick_ref.size());
        ASSERT_EQ(quick, quick_ref) << "quick_sort arrangement differs, n=" << n;

        std::vector<E> bubble = input;
        bubble_sort(std::span<E>(bubble), less);
        std::vector<E> bubble_ref = input;
        reference_bubble_sort(bubble_ref);
        ASSERT_EQ(bubble, bubble_ref) << "bubble_sort arrangement differs, n=" << n;
    }
}

TEST(Sorting, ExactArrangementOfEqualKeysPlainValues) { check_exact_arrangements<Tagged>(TaggedLess{}); }

TEST(Sorting, ExactArrangementOfEqualKeysGeneralElements) { check_exact_arrangements<Pair>(PairLess{}); }

TEST(Sorting, SelectionTakesFirstSmallest) {
    std::vector<Pair> v = {{1, 0}, {0, 1}, {0, 2}};
    selection_sort(std::span<Pair>(v), PairLess{});
    EXPECT_EQ(v, (std::vector<Pair>{{0, 1}, {0, 2}, {1, 0}}));

    std::vector<Pair> w = {{2, 0}, {2, 1}, {1, 2}, {2, 3}, {1, 4}};
    selection_sort(std::span<Pair>(w), PairLess{});
    // i=0 swaps (1,2) with (2,0); i=1 swaps (1,4) with (2,1); i=2 and i=3
    // keep their first smallest in place.
    EXPECT_EQ(w, (std::vector<Pair>{{1, 2}, {1, 4}, {2, 0}, {2, 3}, {2, 1}}));
}

// ---- comparison and write counts ------------------------------------------

struct CountingLess {
    std::size_t* count;
    bool operator()(I64 a, I64 b) const {
        ++*count;
        return a < b;
    }
};

// Every construction from another element and every assignment is a write.
struct Counted {
    static inline std::size_t writes = 0;
    I64 key = 0;
    Counted() = default;
    explicit Counted(I64 k) : key(k) {}
    Counted(const Counted& o) : key(o.key) { ++writes; }
    Counted(Counted&& o) noexcept : key(o.key) { ++writes; }
    Counted& operator=(const Counted& o) {
        key = o.key;
        ++writes;
        return *this;
    }
    Counted& operator=(Counted&& o) noexcept {
        key = o.key;
        ++writes;
        return *this;
    }
};
struct CountedLess {
    std::size_t* count;
    bool operator()(const Counted& a, const Counted& b) const {
        ++*count;
        return a.key < b.key;
    }
};

std::vector<Counted> counted_ascending(std::size_t n) {
    std::vector<Counted> v;
    v.reserve(n);
    for (std::size_t i = 0; i < n; ++i) v.emplace_back(static_cast<I64>(i / 2));  // with ties
    return v;
}

TEST(Sorting, BubbleOnSortedInputIsOnePassWithoutWrites) {
    for (std::size_t n : {2u, 3u, 10u, 1000u}) {
        std::vector<Counted> v = counted_ascending(n);
        std::size_t comparisons = 0;
        Counted::writes = 0;
        bubble_sort(std::span<Counted>(v), CountedLess{&comparisons});
        EXPECT_EQ(comparisons, n - 1) << n;
        EXPECT_EQ(Counted::writes, 0u) << n;
    }
    std::size_t none = 0;
    std::vector<I64> one = {4};
    bubble_sort(std::span<I64>(one), CountingLess{&none});
    EXPECT_EQ(none, 0u);
}

TEST(Sorting, BubbleComparisonCounts) {
    // Plain values (register-carried path) and general elements agree on the count.
    for (std::size_t n : {2u, 5u, 64u, 300u}) {
        std::vector<I64> desc(n);
        for (std::size_t i = 0; i < n; ++i) desc[i] = static_cast<I64>(n - i);
        std::size_t comparisons = 0;
        bubble_sort(std::span<I64>(desc), CountingLess{&comparisons});
        EXPECT_EQ(comparisons, n * (n - 1) / 2) << "each pass stops one position earlier, n=" << n;

        // One swap in pass 0, none in pass 1: two passes.
        std::vector<I64> almost(n);
        for (std::size_t i = 0; i < n; ++i) almost[i] = static_cast<I64>(i);
        std::swap(almost[0], almost[1]);
        comparisons = 0;
        bubble_sort(std::span<I64>(almost), CountingLess{&comparisons});
        EXPECT_EQ(comparisons, n == 2 ? 1 : (n - 1) + (n - 2)) << n;

        std::vector<I64> sorted(n);
        for (std::size_t i = 0; i < n; ++i) sorted[i] = static_cast<I64>(i);
        comparisons = 0;
        bubble_sort(std::span<I64>(sorted), CountingLess{&comparisons});
        EXPECT_EQ(comparisons, n - 1) << n;
    }
}

TEST(Sorting, SelectionCountsAndWrites) {
    std::mt19937_64 rng(3);
    for (std::size_t n : {0u, 1u, 2u, 3u, 17u, 400u}) {
        std::vector<Counted> asc = counted_ascending(n);
        std::size_t comparisons = 0;
        Counted::writes = 0;
        selection_sort(std::span<Counted>(asc), CountedLess{&comparisons});
        EXPECT_EQ(comparisons, n * (n - 1) / 2) << n;
        EXPECT_EQ(Counted::writes, 0u) << "nothing written when already in place, n=" << n;

        std::vector<Counted> random;
        for (std::size_t i = 0; i < n; ++i) random.emplace_back(static_cast<I64>(rng() % 50));
        comparisons = 0;
        Counted::writes = 0;
        selection_sort(std::span<Counted>(random), CountedLess{&comparisons});
        EXPECT_EQ(comparisons, n * (n - 1) / 2) << n;
        EXPECT_LE(Counted::writes, 3 * (n == 0 ? 0 : n - 1)) << "at most n - 1 swaps, n=" << n;
        EXPECT_TRUE(std::is_sorted(random.begin(), random.end(),
                                   [](const Counted& a, const Counted& b) { return a.key < b.key; }));

        std::vector<I64> plain(n);
        for (auto& x : plain) x = static_cast<I64>(rng());
        comparisons = 0;
        selection_sort(std::span<I64>(plain), CountingLess{&comparisons});
        EXPECT_EQ(comparisons, n * (n - 1) / 2) << n;
    }
}

TEST(Sorting, MergeSortSplitsAtHalfRoundedDown) {
    std::mt19937_64 rng(11);
    for (std::size_t n : {0u, 1u, 2u, 3u, 4u, 5u, 6u, 7u, 13u, 100u, 1023u, 1025u}) {
        for (const char* pattern : kPatterns) {
            std::vector<I64> v = make_input(pattern, n, rng);
            const std::size_t expected = reference_merge_comparisons(v);
            std::size_t comparisons = 0;
            merge_sort(std::span<I64>(v), CountingLess{&comparisons});
            EXPECT_EQ(comparisons, expected) << pattern << " n=" << n;
        }
    }
}

TEST(Sorting, QuickSortComparisonCountOnSortedAndEqualInput) {
    for (const char* pattern : {"ascending", "all_equal"}) {
        std::mt19937_64 rng(1);
        const std::size_t n = 500;
        std::vector<I64> v = make_input(pattern, n, rng);
        std::size_t comparisons = 0;
        quick_sort(std::span<I64>(v), CountingLess{&comparisons});
        EXPECT_EQ(comparisons, n * (n - 1) / 2) << pattern;
    }
}

// ---- partition ----------------------------------------------------------

TEST(Sorting, PartitionPutsEqualElementsBeforePivot) {
    std::mt19937_64 rng(5);
    for (int round = 0; round < 500; ++round) {
        const std::size_t len = 1 + rng() % 60;
        std::vector<Tagged> v = tagged_input<Tagged>(len, 1 + static_cast<I64>(rng() % 6), rng);
        const Tagged pivot = v.back();
        const auto equal_count =
            static_cast<std::size_t>(std::count_if(v.begin(), v.end(), [&](const Tagged& e) { return e.key == pivot.key; }));
        TaggedLess less;
        const std::size_t p = velkorin::core::sorting_detail::lomuto_partition(v.data(), len, less);
        ASSERT_LT(p, len);
        EXPECT_EQ(v[p], pivot);
        std::size_t equal_before = 0;
        for (std::size_t i = 0; i < p; ++i) {
            EXPECT_LE(v[i].key, pivot.key);
            equal_before += v[i].key == pivot.key;
        }
        for (std::size_t i = p + 1; i < len; ++i) EXPECT_GT(v[i].key, pivot.key);
        EXPECT_EQ(equal_before, equal_count - 1);
    }
}

// ---- stack depth ----------------------------------------------------------

// The bytes of stack that quick sort takes below its caller, measured at
// the comparisons (stacks grow downwards on every target here).
std::size_t quick_sort_stack_bytes(std::vector<I64>& v) {
    const char top = 0;
    auto lowest = reinterpret_cast<std::uintptr_t>(&top);
    quick_sort(std::span<I64>(v), [&lowest](I64 a, I64 b) {
        const char probe = 0;
        lowest = std::min(lowest, reinterpret_cast<std::uintptr_t>(&probe));
        return a < b;
    });
    return reinterpret_cast<std::uintptr_t>(&top) - lowest;
}

// A recursion that followed the side before the pivot would go n frames deep
// (hundreds of kilobytes); one along the smaller side goes log2(n) deep.
TEST(Sorting, QuickSortDepthStaysLogarithmic) {
    std::mt19937_64 rng(9);
    const std::size_t n = 5000;
    for (const char* pattern : {"ascending", "all_equal", "descending", "organ_pipe"}) {
        std::vector<I64> v = make_input(pattern, n, rng);
        std::vector<I64> expected = v;
        std::sort(expected.begin(), expected.end());
        EXPECT_LT(quick_sort_stack_bytes(v), 64u * 1024) << pattern;
        EXPECT_EQ(v, expected) << pattern;
    }
}

}  // namespace
