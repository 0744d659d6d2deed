"""Sorting and searching functions."""

from harness import time_case

time_case(
    "linear_search(lst, -1) on 1,000,000 random 62-bit ints",
    setup="from array import array\nlst = rand_ints(1_000_000)",
    stmt="linear_search(lst, -1)",
    peer="array('q', lst)", peer_stmt="array('q', lst)",
    target="1.20", number=3,
)
time_case(
    "quick_sort(lst) on 1,000,000 random 62-bit ints",
    setup="lst = rand_ints(1_000_000)",
    stmt="quick_sort(lst)",
    peer="sorted(lst)", peer_stmt="sorted(lst)",
    target="0.70",
)
time_case(
    "merge_sort(lst) on 1,000,000 random 62-bit ints",
    setup="lst = rand_ints(1_000_000)",
    stmt="merge_sort(lst)",
    peer="sorted(lst)", peer_stmt="sorted(lst)",
    target="0.80",
)
time_case(
    "bubble_sort of 1,000,000 ascending ints",
    setup="asc = list(range(1_000_000))",
    stmt="bubble_sort(asc)",
    peer="velkorin merge_sort", peer_stmt="merge_sort(asc)",
    target="1.00",
)
for _sort in ("bubble_sort", "selection_sort"):
    time_case(
        f"{_sort} of 20,000 random ints, ns per inner step",
        setup="lst = rand_ints(20_000)",
        stmt=f"{_sort}(lst)",
        peer=None, peer_stmt=None,
        steps=20_000 * 19_999 // 2,
    )
