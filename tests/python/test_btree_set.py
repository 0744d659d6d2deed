import bisect
import random

import pytest
from hypothesis import settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, precondition, rule
from support import INT64_MAX, INT64_MIN, Index, Reentrant, interpreter_error
from velkorin import PyBTreeSet


def filled(values):
    s = PyBTreeSet()
    for v in values:
        s.insert(v)
    return s


class TestBehaviour:
    @pytest.mark.parametrize("v", [0, 3, -1, INT64_MIN, INT64_MAX])
    def test_new_set_is_empty(self, v):
        s = PyBTreeSet()
        assert s.to_list() == []
        assert s.contains(v) is False
        assert s.remove(v) is False
        assert s.to_list() == []

    @pytest.mark.parametrize("v", [3, -1, 0, INT64_MIN, INT64_MAX])
    def test_insert_contains_remove_cycle(self, v):
        s = PyBTreeSet()
        assert s.insert(v) is True
        assert s.insert(v) is False
        assert s.contains(v) is True
        assert s.to_list() == [v]
        assert s.remove(v) is True
        assert s.remove(v) is False
        assert s.contains(v) is False
        assert s.to_list() == []
        assert s.insert(v) is True
        assert s.to_list() == [v]

    def test_neighbours_are_not_found(self):
        s = filled([10, 20, 30])
        for absent in [9, 11, 19, 21, 29, 31, INT64_MIN, INT64_MAX, -10]:
            assert s.contains(absent) is False
            assert s.remove(absent) is False
        assert s.to_list() == [10, 20, 30]

    def test_ascending_signed_order(self):
        s = filled([5, -1, 3, INT64_MAX])
        assert s.to_list() == [-1, 3, 5, INT64_MAX]
        s.insert(INT64_MIN)
        assert s.to_list() == [INT64_MIN, -1, 3, 5, INT64_MAX]
        s.insert(0)
        s.insert(-(2**32))
        assert s.to_list() == [INT64_MIN, -(2**32), -1, 0, 3, 5, INT64_MAX]

    def test_to_list_is_a_new_list_each_call(self):
        s = filled([2, 1])
        a = s.to_list()
        b = s.to_list()
        assert type(a) is list
        assert a == b == [1, 2]
        assert a is not b
        assert all(type(e) is int for e in a)
        a.append(99)
        a[0] = -5
        assert s.to_list() == [1, 2]
        assert s.contains(99) is False

    def test_instances_are_independent(self):
        a = filled([1, 2])
        b = filled([3])
        a.remove(1)
        assert a.to_list() == [2]
        assert b.to_list() == [3]


class TestManyElements:
    def test_insert_thousand_remove_evens_then_all(self):
        rng = random.Random(7)
        values = list(range(1000))
        rng.shuffle(values)
        s = PyBTreeSet()
        for v in values:
            assert s.insert(v) is True
        assert s.to_list() == list(range(1000))
        for v in values:
            assert s.insert(v) is False

        evens = [v for v in values if v % 2 == 0]
        for v in evens:
            assert s.remove(v) is True
        odds = list(range(1, 1000, 2))
        assert s.to_list() == odds
        for v in range(1000):
            assert s.contains(v) is (v % 2 == 1)
            assert s.remove(v + 1000) is False

        rng.shuffle(odds)
        for v in odds:
            assert s.remove(v) is True
        assert s.to_list() == []
        assert s.contains(1) is False
        assert s.remove(1) is False
        assert s.insert(17) is True
        assert s.to_list() == [17]

    @pytest.mark.parametrize(
        "order",
        [
            lambda n: list(range(n)),
            lambda n: list(range(n - 1, -1, -1)),
            lambda n: [i // 2 if i % 2 == 0 else n - 1 - i // 2 for i in range(n)],
        ],
        ids=["ascending", "descending", "outside-in"],
    )
    def test_sequential_patterns(self, order):
        n = 3000
        s = PyBTreeSet()
        for v in order(n):
            s.insert(v * 3 - 4000)
        expected = [v * 3 - 4000 for v in range(n)]
        assert s.to_list() == expected
        # Removing from the front, then the back, drains the tree from both ends.
        for v in expected[: n // 3]:
            assert s.remove(v) is True
        for v in reversed(expected[2 * n // 3 :]):
            assert s.remove(v) is True
        middle = expected[n // 3 : 2 * n // 3]
        assert s.to_list() == middle
        for v in middle[::2]:
            assert s.remove(v) is True
        assert s.to_list() == middle[1::2]

    def test_int64_limits_among_many(self):
        s = filled(range(-500, 500))
        s.insert(INT64_MAX)
        s.insert(INT64_MIN)
        s.insert(INT64_MAX - 1)
        s.insert(INT64_MIN + 1)
        assert s.to_list() == [INT64_MIN, INT64_MIN + 1, *range(-500, 500), INT64_MAX - 1, INT64_MAX]
        assert s.remove(INT64_MIN) is True
        assert s.remove(INT64_MAX) is True
        assert s.to_list()[0] == INT64_MIN + 1
        assert s.to_list()[-1] == INT64_MAX - 1


class TestConversion:
    @pytest.mark.parametrize("value", [2**63, -(2**63) - 1, 2**200])
    @pytest.mark.parametrize("method", ["insert", "contains", "remove"])
    def test_out_of_range_raises_overflow_unprefixed(self, method, value):
        expected = interpreter_error(value)
        assert type(expected) is OverflowError
        s = filled([1, INT64_MAX, INT64_MIN])
        with pytest.raises(OverflowError) as info:
            getattr(s, method)(value)
        assert type(info.value) is OverflowError
        assert str(info.value) == str(expected)
        assert s.to_list() == [INT64_MIN, 1, INT64_MAX]
        assert s.insert(2) is True

    def test_bool_taken_as_one(self):
        s = PyBTreeSet()
        assert s.insert(True) is True
        assert s.insert(1) is False
        assert s.contains(1) is True
        assert s.contains(True) is True
        assert s.contains(False) is False
        result = s.to_list()
        assert result == [1] and type(result[0]) is int
        assert s.insert(False) is True
        assert s.to_list() == [0, 1]
        assert s.remove(True) is True
        assert s.to_list() == [0]

    def test_index_objects_accepted(self):
        s = PyBTreeSet()
        assert s.insert(Index(-7)) is True
        assert s.contains(Index(-7)) is True
        assert s.to_list() == [-7]
        assert s.remove(Index(-7)) is True

    @pytest.mark.parametrize("bad", [1.0, "1", None, [1]])
    @pytest.mark.parametrize("method", ["insert", "contains", "remove"])
    def test_non_integer_raises_type_error_naming_v(self, method, bad):
        expected = interpreter_error(bad)
        assert type(expected) is TypeError
        s = filled([1])
        with pytest.raises(TypeError) as info:
            getattr(s, method)(bad)
        assert type(info.value) is TypeError
        assert str(info.value) == f"argument 'v': {expected}"
        assert s.to_list() == [1]

    def test_int_only_object_rejected(self):
        class OnlyInt:
            def __int__(self):
                return 3

        s = PyBTreeSet()
        with pytest.raises(TypeError, match=r"^argument 'v': "):
            s.insert(OnlyInt())
        assert s.to_list() == []

    def test_error_from_index_passes_unchanged(self):
        class Bad:
            def __index__(self):
                raise ValueError("nope")

        s = filled([4])
        with pytest.raises(ValueError, match=r"^nope$"):
            s.insert(Bad())
        with pytest.raises(ValueError, match=r"^nope$"):
            s.remove(Bad())
        assert s.to_list() == [4]
        # A failed conversion gave the borrow back.
        assert s.insert(5) is True
        assert s.to_list() == [4, 5]


class TestReentry:
    @pytest.mark.parametrize("outer", ["insert", "remove"])
    @pytest.mark.parametrize(
        "inner, message",
        [
            (lambda s: s.contains(1), "Already mutably borrowed"),
            (lambda s: s.to_list(), "Already mutably borrowed"),
            (lambda s: s.insert(50), "Already borrowed"),
            (lambda s: s.remove(1), "Already borrowed"),
        ],
    )
    def test_inside_exclusive_borrow_propagates(self, outer, inner, message):
        s = filled([1, 2, 3])
        obj = Reentrant(2, lambda: inner(s))
        with pytest.raises(RuntimeError) as info:
            getattr(s, outer)(obj)
        assert type(info.value) is RuntimeError
        assert str(info.value) == message
        assert s.to_list() == [1, 2, 3]
        assert s.insert(4) is True
        assert s.remove(1) is True
        assert s.contains(2) is True
        assert s.to_list() == [2, 3, 4]

    @pytest.mark.parametrize(
        "outer, value, result, after",
        [("insert", 7, True, [1, 2, 3, 7]), ("remove", 2, True, [1, 3])],
    )
    @pytest.mark.parametrize(
        "inner, message",
        [(lambda s: s.contains(1), "Already mutably borrowed"), (lambda s: s.insert(50), "Already borrowed")],
    )
    def test_inside_exclusive_borrow_caught(self, outer, value, result, after, inner, message):
        s = filled([1, 2, 3])
        obj = Reentrant(value, lambda: inner(s), catch=True)
        assert getattr(s, outer)(obj) is result
        assert str(obj.caught) == message
        assert type(obj.caught) is RuntimeError
        assert s.to_list() == after
        assert s.contains(50) is False

    @pytest.mark.parametrize("inner", [lambda s: s.insert(50), lambda s: s.remove(1)])
    def test_exclusive_inside_shared_borrow(self, inner):
        s = filled([1, 2, 3])
        obj = Reentrant(2, lambda: inner(s))
        with pytest.raises(RuntimeError) as info:
            s.contains(obj)
        assert str(info.value) == "Already borrowed"
        assert s.to_list() == [1, 2, 3]
        assert s.insert(50) is True

    def test_shared_inside_shared_borrow_allowed(self):
        s = filled([1, 2, 3])
        obj = Reentrant(2, lambda: (s.contains(3), s.to_list()))
        assert s.contains(obj) is True
        assert obj.inner_result == (True, [1, 2, 3])
        assert s.insert(9) is True

    def test_other_instance_not_affected(self):
        s = filled([1])
        other = filled([5])
        obj = Reentrant(2, lambda: (other.insert(6), other.to_list()))
        assert s.insert(obj) is True
        assert obj.inner_result == (True, [5, 6])
        assert s.to_list() == [1, 2]

    def test_borrow_released_after_nested_error(self):
        s = filled([1])
        obj = Reentrant(2, lambda: s.insert(3))
        for _ in range(3):
            with pytest.raises(RuntimeError, match="^Already borrowed$"):
                s.insert(obj)
        assert s.to_list() == [1]
        obj.catch = True
        assert s.insert(obj) is True
        assert s.to_list() == [1, 2]


KEYS = st.one_of(
    st.integers(min_value=-60, max_value=60),
    st.sampled_from([INT64_MIN, INT64_MIN + 1, -1, 0, 1, INT64_MAX - 1, INT64_MAX]),
    st.integers(min_value=INT64_MIN, max_value=INT64_MAX),
)


class BTreeMachine(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.s = PyBTreeSet()
        self.model = []

    def _model_insert(self, v):
        i = bisect.bisect_left(self.model, v)
        if i < len(self.model) and self.model[i] == v:
            return False
        self.model.insert(i, v)
        return True

    def _model_remove(self, v):
        i = bisect.bisect_left(self.model, v)
        if i < len(self.model) and self.model[i] == v:
            del self.model[i]
            return True
        return False

    @rule(v=KEYS)
    def insert(self, v):
        assert self.s.insert(v) is self._model_insert(v)

    @rule(v=KEYS)
    def remove(self, v):
        assert self.s.remove(v) is self._model_remove(v)

    @rule(v=KEYS)
    def contains(self, v):
        assert self.s.contains(v) is (v in self.model)

    @precondition(lambda self: self.model)
    @rule(data=st.data())
    def remove_present(self, data):
        v = data.draw(st.sampled_from(self.model))
        assert self.s.remove(v) is True
        self._model_remove(v)
        assert self.s.contains(v) is False

    @rule(
        start=st.integers(min_value=-3000, max_value=3000),
        count=st.integers(min_value=1, max_value=1500),
        step=st.integers(min_value=1, max_value=4),
        order=st.sampled_from(["up", "down", "shuffled"]),
        seed=st.integers(0, 2**16),
    )
    def insert_range(self, start, count, step, order, seed):
        keys = list(range(start, start + count * step, step))
        if order == "down":
            keys.reverse()
        elif order == "shuffled":
            random.Random(seed).shuffle(keys)
        for v in keys:
            assert self.s.insert(v) is self._model_insert(v)

    @precondition(lambda self: len(self.model) > 10)
    @rule(
        lo=st.floats(min_value=0, max_value=1),
        width=st.floats(min_value=0, max_value=1),
        order=st.sampled_from(["up", "down", "shuffled", "every-other"]),
        seed=st.integers(0, 2**16),
    )
    def remove_slice(self, lo, width, order, seed):
        n = len(self.model)
        i = int(lo * n)
        j = min(n, i + int(width * n) + 1)
        keys = self.model[i:j]
        if order == "down":
            keys.reverse()
        elif order == "shuffled":
            random.Random(seed).shuffle(keys)
        elif order == "every-other":
            keys = keys[::2]
        for v in keys:
            assert self.s.remove(v) is True
            self._model_remove(v)

    @invariant()
    def same_elements(self):
        assert self.s.to_list() == self.model


TestAgainstModel = BTreeMachine.TestCase
TestAgainstModel.settings = settings(max_examples=100, stateful_step_count=40, deadline=None)
