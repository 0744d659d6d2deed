import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from support import INT64_MAX, INT64_MIN
from velkorin import binary_search, linear_search


def model_binary_search(v, target):
    low, high = 0, len(v) - 1
    while low <= high:
        mid = low + (high - low) // 2
        if v[mid] > target:
            high = mid - 1
        elif v[mid] < target:
            low = mid + 1
        else:
            return mid
    return None


def model_linear_search(v, target):
    for i, x in enumerate(v):
        if x == target:
            return i
    return None


class TestBinarySearch:
    @pytest.mark.parametrize(
        "v, target, expected",
        [
            ([], 5, None),
            ([1, 3, 5, 7], 7, 3),
            ([1, 3, 5, 7], 1, 0),
            ([1, 3, 5, 7], 3, 1),
            ([1, 3, 5, 7], 4, None),
            ([1, 3, 5, 7], 0, None),
            ([1, 3, 5, 7], 8, None),
            ([1, 2, 2, 2, 3], 2, 2),
            ([2, 2, 2, 2], 2, 1),
            ([1, 1, 2], 1, 1),
            ([1, 2, 3, 3], 1, 0),
            ([3, 2, 1], 3, None),
            ([3, 2, 1], 2, 1),
            ([5], 5, 0),
            ([5], 6, None),
            ([5], 4, None),
            ([0, 1], True, 1),
            ([0, 1], False, 0),
            ([INT64_MIN, 0, INT64_MAX], INT64_MAX, 2),
            ([INT64_MIN, 0, INT64_MAX], INT64_MIN, 0),
            ([INT64_MIN, INT64_MAX], 0, None),
            ([INT64_MIN + 1, INT64_MAX], INT64_MIN, None),
            ([INT64_MIN, INT64_MAX - 1], INT64_MAX, None),
            ([-5, -3, -1], -1, 2),
        ],
    )
    def test_cases(self, v, target, expected):
        result = binary_search(v, target)
        assert result == expected
        if expected is not None:
            assert type(result) is int

    @pytest.mark.parametrize(
        "v, target, expected",
        [((1, 5, 9), 9, 2), (range(100), 42, 42), (range(0, 1000, 7), 994, 142), (b"\x01\x05\x09", 5, 1)],
    )
    def test_any_sequence(self, v, target, expected):
        assert binary_search(v, target) == expected

    def test_unsorted_never_reports_wrong_value(self):
        v = [9, 1, 8, 2, 7, 3, 6, 4, 5]
        for target in range(12):
            result = binary_search(v, target)
            assert result is None or v[result] == target
            assert result == model_binary_search(v, target)

    def test_long_sorted_list_all_positions(self):
        v = list(range(0, 2000, 2))
        for i, x in enumerate(v):
            assert binary_search(v, x) == i
        assert binary_search(v, 1001) is None
        assert binary_search(v, -1) is None
        assert binary_search(v, 2000) is None

    def test_duplicates_return_first_probe_hit(self):
        assert binary_search([7] * 9, 7) == 4
        assert binary_search([1, 7, 7, 7, 7, 7, 7, 7], 7) == 3
        assert binary_search([7, 7, 8], 7) == 1


class TestLinearSearch:
    @pytest.mark.parametrize(
        "v, target, expected",
        [
            ([], 5, None),
            ([1, 2, 2, 2, 3], 2, 1),
            ([3, 2, 1], 3, 0),
            ([3, 2, 1], 1, 2),
            ([3, 2, 1], 4, None),
            ([0], False, 0),
            ([0, 1], True, 1),
            ([INT64_MAX, INT64_MIN], INT64_MIN, 1),
            ([INT64_MAX, INT64_MIN], INT64_MAX, 0),
            ([1, 2], -1, None),
            ([5, 5, 5], 5, 0),
        ],
    )
    def test_cases(self, v, target, expected):
        result = linear_search(v, target)
        assert result == expected
        if expected is not None:
            assert type(result) is int

    def test_any_sequence(self):
        assert linear_search((4, 3, 2), 2) == 2
        assert linear_search(range(100, 0, -1), 1) == 99
        assert linear_search(bytearray(b"abc"), ord("c")) == 2


@pytest.mark.parametrize("search", [binary_search, linear_search], ids=lambda f: f.__name__)
class TestBehaviour:
    def test_result_is_int_not_bool(self, search):
        result = search([5], 5)
        assert result == 0
        assert type(result) is int
        assert result is not False

    def test_input_list_unchanged_and_reusable(self, search):
        v = [9, 3, 7, 1, 3]
        snapshot = list(v)
        first = search(v, 7)
        assert v == snapshot
        assert search(v, 7) == first
        assert v == snapshot

    def test_elements_keep_their_identity(self, search):
        items = [10**10, 10**11, 10**12]
        v = list(items)
        search(v, 10**11)
        assert all(a is b for a, b in zip(v, items))

    def test_target_overflow_has_no_prefix(self, search):
        with pytest.raises(OverflowError) as info:
            search([1], 2**63)
        assert not str(info.value).startswith("argument")


int64 = st.integers(min_value=INT64_MIN, max_value=INT64_MAX)
edge_int64 = st.one_of(int64, st.sampled_from([INT64_MIN, INT64_MIN + 1, -1, 0, 1, INT64_MAX - 1, INT64_MAX]))
small = st.integers(min_value=-5, max_value=5)


@st.composite
def vector_and_target(draw, elements):
    v = draw(st.lists(elements, max_size=40))
    if draw(st.booleans()):
        v.sort()
    if v and draw(st.booleans()):
        target = draw(st.sampled_from(v))
    else:
        target = draw(elements)
    return v, target


@pytest.mark.parametrize(
    "search, model",
    [(binary_search, model_binary_search), (linear_search, model_linear_search)],
    ids=["binary_search", "linear_search"],
)
@settings(max_examples=300, deadline=None)
@given(case=st.one_of(vector_and_target(edge_int64), vector_and_target(small)))
def test_matches_model(search, model, case):
    v, target = case
    result = search(v, target)
    assert result == model(v, target)
    assert result is None or type(result) is int


@settings(max_examples=100, deadline=None)
@given(st.lists(edge_int64, max_size=30).map(sorted), edge_int64)
def test_binary_search_on_sorted_tuple_finds_present_values(v, target):
    result = binary_search(tuple(v), target)
    if target in v:
        assert result is not None and v[result] == target
    else:
        assert result is None
