// Sorting algorithms over contiguous ranges, ascending under a strict weak
// order `less` (default std::less<T>).
//
// Each algorithm produces exactly the arrangement of its step-by-step
// definition below; the fast paths change how a step is carried out (moves
// instead of swaps, conditional moves instead of branches), never which
// elements are compared or where they end up.
//
// merge_sort  Top-down. A range of n <= 1 is sorted; otherwise mid = n / 2,
//             the left half [0, mid) and the right half [mid, n) are sorted,
//             then merged, taking from the left half while its front is not
//             greater than the right front (stable). One scratch buffer of n
//             elements; recursion levels alternate between the range and the
//             buffer, so each level moves every element once.
// quick_sort  In place. The last element of a range is the pivot; Lomuto
//             partition: store = 0, for k = 0 .. len - 2 an element <= pivot
//             is swapped to position store and store advances; the pivot is
//             then swapped to store. Elements equal to the pivot all end up
//             before it. Both sides are then sorted; the smaller side by
//             recursion and the larger by looping, so at most log2(n) + 1
//             frames are live. Ascending or all-equal input costs n(n - 1) / 2
//             comparisons.
// bubble_sort Pass p = 0 .. n - 2 compares positions j, j + 1 for
//             j = 0 .. n - 2 - p and swaps when a[j + 1] < a[j]; stops after a
//             pass without a swap (n - 1 comparisons, no write, when sorted).
// selection_sort
//             Position i receives the first smallest element of i .. n - 1
//             (n(n - 1) / 2 comparisons); nothing is written when that element
//             is already at i.
//
// Requires (all four): `less` is a strict weak order on the elements; the
// comparator and the element's copy/move operations do not throw.
#pragma once

#include <algorithm>
#include <concepts>
#include <cstddef>
#include <functional>
#include <span>
#include <type_traits>
#include <utility>

#include "core/memory.hpp"

namespace velkorin::core {

namespace sorting_detail {

// Elements that are cheap to copy and whose copies cannot be told apart from
// the original by anything but their value: these loops may rewrite an
// element with the value it already holds to avoid a branch.
template <class T>
inline constexpr bool plain_value_v =
    std::is_trivially_copyable_v<T> && sizeof(T) <= 2 * sizeof(void*);

// Whether `less` is the built-in order of an integer type, under which equal
// elements are indistinguishable.
template <class T, class Less>
inline constexpr bool builtin_integer_order_v =
    std::integral<T> && (std::is_same_v<Less, std::less<T>> || std::is_same_v<Less, std::less<>>);

// Merges the sorted runs [first, mid) and [mid, last) into out, left run first
// on ties.
template <class T, class Less>
inline void merge_runs(const T* first, const T* mid, const T* last, T* out, Less& less) {
    const T* l = first;
    const T* r = mid;
    if constexpr (plain_value_v<T>) {
        while (l != mid && r != last) {
            const bool take_right = less(*r, *l);
            *out++ = take_right ? *r : *l;  // select, not branch: random data mispredicts half the time
            r += take_right;
            l += !take_right;
        }
    } else {
        while (l != mid && r != last) {
            if (less(*r, *l)) {
                *out++ = *r++;
            } else {
                *out++ = *l++;
            }
        }
    }
    out = std::copy(l, mid, out);
    std::copy(r, last, out);
}

// Sorts the n elements of src into dst.
// Requires: src[0, n) and dst[0, n) hold the same values; src is then scratch.
template <class T, class Less>
void merge_sort_into(T* src, T* dst, std::size_t n, Less& less) {
    if (n < 2) return;  // dst already holds the value
    if (n == 2) {       // the one comparison of merging two single elements
        if (less(src[1], src[0])) {
            dst[0] = src[1];
            dst[1] = src[0];
        }
        return;
    }
    const std::size_t mid = n / 2;
    merge_sort_into(dst, src, mid, less);
    merge_sort_into(dst + mid, src + mid, n - mid, less);
    merge_runs<T>(src, src + mid, src + n, dst, less);
}

// One Lomuto partition of a[0, len); returns the pivot's final position.
// Requires: len >= 1.
template <class T, class Less>
std::size_t lomuto_partition(T* a, std::size_t len, Less& less) {
    const std::size_t last = len - 1;
    std::size_t store = 0;
    if constexpr (plain_value_v<T>) {
        const T pivot = a[last];
        for (std::size_t k = 0; k < last; ++k) {
            const T x = a[k];
            const T y = a[store];
            const bool take = !less(pivot, x);
            a[k] = take ? y : x;  // both writes are no-ops unless `take`
            a[store] = take ? x : y;
            store += take;
        }
    } else {
        using std::swap;
        for (std::size_t k = 0; k < last; ++k) {
            if (!less(a[last], a[k])) {
                if (store != k) swap(a[store], a[k]);
                ++store;
            }
        }
    }
    if (store != last) {
        using std::swap;
        swap(a[store], a[last]);
    }
    return store;
}

template <class T, class Less>
void quick_sort_range(T* a, std::size_t len, Less& less) {
    while (len > 1) {
        const std::size_t p = lomuto_partition(a, len, less);
        const std::size_t before = p;
        const std::size_t after = len - p - 1;
        if (before <= after) {
            quick_sort_range(a, before, less);
            a += p + 1;
            len = after;
        } else {
            quick_sort_range(a + p + 1, after, less);
            len = before;
        }
    }
}

}  // namespace sorting_detail

// Requires: T is copy-constructible and copy-assignable.
template <class T, class Less = std::less<T>>
void merge_sort(std::span<T> a, Less less = Less{}) {
    if (a.size() < 2) return;
    Vec<T> scratch(a.begin(), a.end());
    sorting_detail::merge_sort_into(scratch.data(), a.data(), a.size(), less);
}

template <class T, class Less = std::less<T>>
void quick_sort(std::span<T> a, Less less = Less{}) {
    sorting_detail::quick_sort_range(a.data(), a.size(), less);
}

template <class T, class Less = std::less<T>>
void bubble_sort(std::span<T> a, Less less = Less{}) {
    const std::size_t n = a.size();
    if (n < 2) return;
    T* const v = a.data();
    for (std::size_t pass = 0; pass + 1 < n; ++pass) {
        const std::size_t last = n - 1 - pass;  // j runs over 0 .. last - 1
        bool swapped = false;
        if constexpr (sorting_detail::plain_value_v<T>) {
            // The element travelling right stays in a register; each step
            // writes back the one that stays, which is what the swap leaves.
            T carried = v[0];
            for (std::size_t j = 0; j < last; ++j) {
                const T next = v[j + 1];
                const bool swap_here = less(next, carried);
                v[j] = swap_here ? next : carried;
                carried = swap_here ? carried : next;
                swapped |= swap_here;
            }
            v[last] = carried;
        } else {
            using std::swap;
            for (std::size_t j = 0; j < last; ++j) {
                if (less(v[j + 1], v[j])) {
                    swap(v[j], v[j + 1]);
                    swapped = true;
                }
            }
        }
        if (!swapped) return;
    }
}

template <class T, class Less = std::less<T>>
void selection_sort(std::span<T> a, Less less = Less{}) {
    const std::size_t n = a.size();
    T* const v = a.data();
    using std::swap;
    for (std::size_t i = 0; i + 1 < n; ++i) {  // i = n - 1 compares nothing
        std::size_t min = i;
        if constexpr (sorting_detail::builtin_integer_order_v<T, Less>) {
            // Equal integers are indistinguishable: find the smallest value
            // with independent running minima, then its first position.
            T m0 = v[i], m1 = v[i], m2 = v[i], m3 = v[i];
            std::size_t j = i + 1;
            for (; j + 4 <= n; j += 4) {
                m0 = v[j] < m0 ? v[j] : m0;
                m1 = v[j + 1] < m1 ? v[j + 1] : m1;
                m2 = v[j + 2] < m2 ? v[j + 2] : m2;
                m3 = v[j + 3] < m3 ? v[j + 3] : m3;
            }
            for (; j < n; ++j) m0 = v[j] < m0 ? v[j] : m0;
            const T smallest = std::min(std::min(m0, m1), std::min(m2, m3));
            while (v[min] != smallest) ++min;
        } else {
            for (std::size_t j = i + 1; j < n; ++j) {
                if (less(v[j], v[min])) min = j;
            }
        }
        if (min != i) swap(v[i], v[min]);
    }
}

}  // namespace velkorin::core
