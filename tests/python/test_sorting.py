import random
import subprocess
import sys
import textwrap

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from support import INT64_MAX, INT64_MIN, CustomSequence, interpreter_error
from velkorin import bubble_sort, merge_sort, quick_sort, selection_sort

SORTS = [merge_sort, quick_sort, bubble_sort, selection_sort]
sorts = pytest.mark.parametrize("sort", SORTS, ids=lambda f: f.__name__)


def organ_pipe(n):
    return list(range(n)) + list(range(n, -1, -1))


class TestBehaviour:
    @sorts
    @pytest.mark.parametrize("x", [[], [5]])
    def test_trivial_inputs_give_new_list(self, sort, x):
        original = list(x)
        result = sort(x)
        assert result == original
        assert type(result) is list
        assert result is not x
        result.append(1)
        assert x == original

    @sorts
    @pytest.mark.parametrize(
        "x, expected",
        [
            ([3, 1, 5, 1, 9, 2], [1, 1, 2, 3, 5, 9]),
            ([0, -1, 2, -3], [-3, -1, 0, 2]),
            ([INT64_MAX, 0, INT64_MIN], [INT64_MIN, 0, INT64_MAX]),
            ([INT64_MAX, INT64_MIN, -1, INT64_MAX, INT64_MIN], [INT64_MIN, INT64_MIN, -1, INT64_MAX, INT64_MAX]),
            ([2, 1], [1, 2]),
            ([1, 2], [1, 2]),
            ([-1, 1, -1, 1], [-1, -1, 1, 1]),
            ([0, -(2**32), 2**32, 2**31, -(2**31) - 1], [-(2**32), -(2**31) - 1, 0, 2**31, 2**32]),
        ],
    )
    def test_examples(self, sort, x, expected):
        assert sort(x) == expected

    @sorts
    @pytest.mark.parametrize(
        "make",
        [
            lambda: list(range(-50, 150)),
            lambda: list(range(150, -50, -1)),
            lambda: [42] * 200,
            lambda: organ_pipe(100),
            lambda: [i % 7 for i in range(200)],
            lambda: list(range(100, 200)) + list(range(100)),
            lambda: [1] * 99 + [0],
            lambda: [0] + [1] * 99,
        ],
        ids=["ascending", "descending", "all-equal", "organ-pipe", "sawtooth", "rotated", "small-last", "small-first"],
    )
    def test_shaped_inputs(self, sort, make):
        x = make()
        assert sort(x) == sorted(x)

    @sorts
    def test_bools_become_plain_ints(self, sort):
        result = sort([True, False])
        assert result == [0, 1]
        assert all(type(e) is int for e in result)

    @sorts
    def test_result_elements_are_plain_ints_for_int_subclasses(self, sort):
        class MyInt(int):
            pass

        result = sort([MyInt(4), MyInt(-2)])
        assert result == [-2, 4]
        assert all(type(e) is int for e in result)

    def test_all_four_agree_on_a_random_list(self):
        rng = random.Random(1234)
        x = [rng.randint(INT64_MIN, INT64_MAX) for _ in range(500)]
        expected = sorted(x)
        for sort in SORTS:
            assert sort(x) == expected


class TestConversion:
    @sorts
    @pytest.mark.parametrize(
        "make, expected",
        [
            (lambda: (3, 2, 1), [1, 2, 3]),
            (lambda: range(5, 0, -1), [1, 2, 3, 4, 5]),
            (lambda: b"\x02\x01", [1, 2]),
            (lambda: bytearray(b"\xff\x00\x80"), [0, 128, 255]),
            (lambda: CustomSequence([9, -9, 0]), [-9, 0, 9]),
            (lambda: [3, -1, 2], [-1, 2, 3]),
        ],
        ids=["tuple", "range", "bytes", "bytearray", "custom", "list"],
    )
    def test_any_sequence(self, sort, make, expected):
        result = sort(make())
        assert type(result) is list
        assert result == expected

    @sorts
    def test_caller_sequence_unchanged(self, sort):
        x = [3, 2, 1]
        sort(x)
        assert x == [3, 2, 1]
        b = bytearray(b"\x03\x02\x01")
        sort(b)
        assert b == bytearray(b"\x03\x02\x01")

    @sorts
    @pytest.mark.parametrize("x", ["cba", ""])
    def test_str_rejected(self, sort, x):
        with pytest.raises(TypeError) as info:
            sort(x)
        assert type(info.value) is TypeError
        assert str(info.value) == "argument 'v': Can't extract `str` to `Vec`"

    @sorts
    @pytest.mark.parametrize(
        "x, name",
        [({3, 1}, "set"), ({1: 2}, "dict"), (5, "int"), (None, "NoneType"), ((i for i in [1]), "generator")],
    )
    def test_not_a_sequence(self, sort, x, name):
        with pytest.raises(TypeError) as info:
            sort(x)
        assert str(info.value) == f"argument 'v': '{name}' object cannot be cast as 'Sequence'"

    @sorts
    @pytest.mark.parametrize("bad", [1.0, "1", None])
    def test_non_integer_element_prefixed(self, sort, bad):
        expected = interpreter_error(bad)
        assert type(expected) is TypeError
        with pytest.raises(TypeError) as info:
            sort([1, bad, 2])
        assert type(info.value) is TypeError
        assert str(info.value) == f"argument 'v': {expected}"

    @sorts
    @pytest.mark.parametrize("value", [2**63, -(2**63) - 1, 2**100])
    def test_overflow_not_prefixed(self, sort, value):
        expected = interpreter_error(value)
        assert type(expected) is OverflowError
        with pytest.raises(OverflowError) as info:
            sort([0, value])
        assert type(info.value) is OverflowError
        assert str(info.value) == str(expected)


@settings(max_examples=150)
@given(st.lists(st.integers(min_value=INT64_MIN, max_value=INT64_MAX), max_size=300))
def test_matches_sorted(x):
    expected = sorted(x)
    snapshot = list(x)
    for sort in SORTS:
        assert sort(x) == expected
    assert x == snapshot


@settings(max_examples=100)
@given(st.lists(st.sampled_from([INT64_MIN, -1, 0, 1, INT64_MAX]), max_size=200))
def test_matches_sorted_with_many_duplicates(x):
    expected = sorted(x)
    for sort in SORTS:
        assert sort(tuple(x)) == expected


def test_merge_sort_million_random():
    rng = random.Random(99)
    x = [rng.randint(INT64_MIN, INT64_MAX) for _ in range(1_000_000)]
    assert merge_sort(x) == sorted(x)


QUICK_SORT_DEEP = textwrap.dedent(
    """
    import sys, velkorin
    n = int(sys.argv[1])
    ascending = list(range(n))
    assert velkorin.quick_sort(ascending) == ascending
    equal = [-5] * n
    assert velkorin.quick_sort(equal) == equal
    print("ok")
    """
)


def small_stack():
    # A 256 KiB main-thread stack: recursion as deep as the input (16 bytes a
    # frame at the least) overflows it, and the quadratic sort stays short.
    import resource

    soft, hard = resource.getrlimit(resource.RLIMIT_STACK)
    limit = 256 * 1024
    if hard == resource.RLIM_INFINITY or hard >= limit:
        resource.setrlimit(resource.RLIMIT_STACK, (limit, hard))


def test_quick_sort_degenerate_inputs_do_not_exhaust_stack():
    proc = subprocess.run(
        [sys.executable, "-c", QUICK_SORT_DEEP, "20000"],
        capture_output=True,
        text=True,
        timeout=300,
        preexec_fn=small_stack,
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "ok"
