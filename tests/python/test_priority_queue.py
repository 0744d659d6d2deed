import heapq
import random

import pytest
from hypothesis import settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, rule
from support import INT64_MAX, INT64_MIN, Index, Reentrant, interpreter_error
from velkorin import PyPriorityQueue


def drain(q):
    out = []
    while (v := q.pop()) is not None:
        out.append(v)
    return out


def filled(*values):
    q = PyPriorityQueue()
    for v in values:
        q.push(v)
    return q


class TestBehaviour:
    def test_new_queue_is_empty(self):
        q = PyPriorityQueue()
        assert q.peek() is None
        assert q.pop() is None
        assert q.peek() is None

    def test_peek_matches_each_pop(self):
        q = PyPriorityQueue()
        for v in (5, 1, 9, 3, 9):
            assert q.push(v) is None
        seen = []
        for _ in range(6):
            peeked = q.peek()
            popped = q.pop()
            assert peeked == popped
            seen.append(popped)
        assert seen == [9, 9, 5, 3, 1, None]

    def test_peek_does_not_remove(self):
        q = filled(4, 8)
        assert q.peek() == 8
        assert q.peek() == 8
        assert drain(q) == [8, 4]

    def test_negatives_and_extremes(self):
        q = filled(-1, 0, INT64_MIN, INT64_MAX)
        assert q.peek() == INT64_MAX
        assert drain(q) == [INT64_MAX, 0, -1, INT64_MIN]

    def test_all_negative(self):
        assert drain(filled(-7, -3, -100, -3)) == [-3, -3, -7, -100]

    def test_results_are_ints(self):
        q = filled(3, INT64_MIN)
        assert type(q.peek()) is int
        assert type(q.pop()) is int
        assert type(q.pop()) is int

    def test_interleaved_push_pop(self):
        q = filled(10, 20)
        assert q.pop() == 20
        q.push(15)
        q.push(5)
        assert q.pop() == 15
        q.push(30)
        assert drain(q) == [30, 10, 5]

    def test_reuse_after_emptied(self):
        q = filled(1, 2, 3)
        drain(q)
        assert q.pop() is None
        q.push(-4)
        assert q.peek() == -4
        assert drain(q) == [-4]

    @pytest.mark.parametrize("seed", [0, 1, 2])
    def test_many_values_with_duplicates(self, seed):
        rng = random.Random(seed)
        values = [rng.randint(-50, 50) for _ in range(700)]
        values += [INT64_MIN, INT64_MAX] * 3
        q = PyPriorityQueue()
        for v in values:
            q.push(v)
        assert drain(q) == sorted(values, reverse=True)

    def test_sorted_and_reversed_input(self):
        up = list(range(300))
        assert drain(filled(*up)) == up[::-1]
        assert drain(filled(*up[::-1])) == up[::-1]

    def test_queues_are_independent(self):
        a, b = filled(1), filled(2)
        assert a.pop() == 1
        assert b.peek() == 2


class TestConversion:
    @pytest.mark.parametrize("value", [INT64_MAX + 1, INT64_MIN - 1, 2**100, -(2**100)])
    def test_out_of_range_is_interpreter_overflow(self, value):
        q = filled(3, 1)
        with pytest.raises(OverflowError) as info:
            q.push(value)
        assert type(info.value) is OverflowError
        assert str(info.value) == str(interpreter_error(value))
        assert not str(info.value).startswith("argument")
        assert drain(q) == [3, 1]

    @pytest.mark.parametrize("value", [2.0, "x", None, b"1", [1], 1j])
    def test_non_integer_is_prefixed_type_error(self, value):
        q = filled(3, 1)
        with pytest.raises(TypeError) as info:
            q.push(value)
        assert type(info.value) is TypeError
        assert str(info.value) == f"argument 'v': {interpreter_error(value)}"
        assert drain(q) == [3, 1]

    def test_bool_stored_as_int(self):
        q = filled(True, False)
        top = q.peek()
        assert top == 1 and type(top) is int
        top = q.pop()
        assert top == 1 and type(top) is int
        bottom = q.pop()
        assert bottom == 0 and type(bottom) is int

    def test_int_subclass_gives_plain_int(self):
        class MyInt(int):
            pass

        x = MyInt(42)
        q = filled(x)
        assert type(q.peek()) is int
        out = q.pop()
        assert out == 42 and type(out) is int and out is not x

    def test_index_object_gives_plain_int(self):
        q = filled(Index(-12), Index(INT64_MAX))
        out = [q.pop(), q.pop()]
        assert out == [INT64_MAX, -12]
        assert all(type(v) is int for v in out)

    def test_index_out_of_range_is_overflow(self):
        q = filled(0)
        with pytest.raises(OverflowError):
            q.push(Index(2**63))
        assert drain(q) == [0]

    def test_int_only_object_is_refused(self):
        class OnlyInt:
            def __int__(self):
                return 1

        q = PyPriorityQueue()
        with pytest.raises(TypeError, match="^argument 'v': "):
            q.push(OnlyInt())
        assert q.pop() is None

    def test_index_errors(self):
        class Raises:
            def __init__(self, exc):
                self.exc = exc

            def __index__(self):
                raise self.exc

        q = filled(2)
        with pytest.raises(ValueError, match="^inner$"):
            q.push(Raises(ValueError("inner")))
        with pytest.raises(TypeError) as info:
            q.push(Raises(TypeError("inner")))
        assert str(info.value) == "argument 'v': inner"
        assert drain(q) == [2]


class TestReentry:
    @pytest.mark.parametrize(
        "method, text",
        [("peek", "Already mutably borrowed"), ("pop", "Already borrowed")],
    )
    def test_error_propagates(self, method, text):
        q = filled(5, 8)
        with pytest.raises(RuntimeError) as info:
            q.push(Reentrant(100, getattr(q, method)))
        assert type(info.value) is RuntimeError
        assert str(info.value) == text
        assert q.peek() == 8
        q.push(6)
        assert drain(q) == [8, 6, 5]

    def test_push_from_index_is_refused(self):
        q = filled(1)
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            q.push(Reentrant(9, lambda: q.push(50)))
        assert drain(q) == [1]

    @pytest.mark.parametrize(
        "method, text",
        [("peek", "Already mutably borrowed"), ("pop", "Already borrowed")],
    )
    def test_caught_error_lets_push_store_value(self, method, text):
        q = filled(5, 8)
        arg = Reentrant(7, getattr(q, method), catch=True)
        assert q.push(arg) is None
        assert arg.caught_messages == [text]
        assert drain(q) == [8, 7, 5]

    def test_other_queue_is_free(self):
        q = filled(1)
        other = filled(30, 20)
        seen = []
        assert q.push(Reentrant(4, lambda: seen.append(other.pop()))) is None
        assert seen == [30]
        assert drain(q) == [4, 1]
        assert drain(other) == [20]

    def test_repeated_failures_leave_queue_usable(self):
        q = PyPriorityQueue()
        for i in range(5):
            with pytest.raises(RuntimeError):
                q.push(Reentrant(i, q.pop))
            q.push(i)
        assert drain(q) == [4, 3, 2, 1, 0]


INT64_VALUES = st.one_of(
    st.sampled_from([INT64_MIN, INT64_MIN + 1, -1, 0, 1, INT64_MAX - 1, INT64_MAX]),
    st.integers(min_value=-3, max_value=3),
    st.integers(min_value=INT64_MIN, max_value=INT64_MAX),
)


class PriorityQueueAgainstHeapq(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.queue = PyPriorityQueue()
        self.model = []  # heapq of negated values

    @rule(value=INT64_VALUES)
    def push(self, value):
        assert self.queue.push(value) is None
        heapq.heappush(self.model, -value)

    @rule(values=st.lists(INT64_VALUES, max_size=20))
    def push_many(self, values):
        for v in values:
            self.queue.push(v)
            heapq.heappush(self.model, -v)

    @rule(value=st.one_of(st.integers(min_value=INT64_MAX + 1), st.integers(max_value=INT64_MIN - 1)))
    def push_out_of_range(self, value):
        with pytest.raises(OverflowError):
            self.queue.push(value)

    @rule()
    def pop(self):
        expected = -heapq.heappop(self.model) if self.model else None
        assert self.queue.pop() == expected

    @rule(count=st.integers(min_value=1, max_value=25))
    def pop_many(self, count):
        for _ in range(count):
            expected = -heapq.heappop(self.model) if self.model else None
            assert self.queue.pop() == expected

    @invariant()
    def peek_is_greatest(self):
        expected = -self.model[0] if self.model else None
        assert self.queue.peek() == expected

    def teardown(self):
        assert drain(self.queue) == sorted((-v for v in self.model), reverse=True)


TestAgainstModel = PriorityQueueAgainstHeapq.TestCase
TestAgainstModel.settings = settings(max_examples=80, stateful_step_count=50, deadline=None)
