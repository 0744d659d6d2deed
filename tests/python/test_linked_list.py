import collections
import gc
import sys

import pytest
from hypothesis import settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, rule
from support import INT64_MAX, INT64_MIN, FailingItem, Item, same_objects
from velkorin import PyLinkedList


class TestBehaviour:
    def test_new_list_is_empty(self):
        lst = PyLinkedList()
        assert lst.len() == 0
        assert type(lst.len()) is int
        assert lst.pop_front() is None
        assert lst.pop_back() is None
        assert lst.to_list() == []
        assert lst.len() == 0

    def test_both_ends(self):
        lst = PyLinkedList()
        for v in (1, 2, 3):
            assert lst.push_back(v) is None
        assert lst.push_front(0) is None
        assert lst.to_list() == [0, 1, 2, 3]
        assert lst.len() == 4
        assert lst.pop_back() == 3
        assert lst.pop_front() == 0
        assert lst.to_list() == [1, 2]
        assert lst.len() == 2

    @pytest.mark.parametrize(
        "push, pop, other_push, other_pop",
        [
            ("push_back", "pop_back", "push_front", "pop_back"),
            ("push_front", "pop_front", "push_back", "pop_front"),
            ("push_back", "pop_front", "push_front", "pop_back"),
            ("push_front", "pop_back", "push_back", "pop_front"),
        ],
    )
    def test_single_element_leaves_list_fully_empty(self, push, pop, other_push, other_pop):
        lst = PyLinkedList()
        x, y = Item("x"), Item("y")
        getattr(lst, push)(x)
        assert getattr(lst, pop)() is x
        assert lst.len() == 0
        assert lst.to_list() == []
        getattr(lst, other_push)(y)
        out = lst.to_list()
        assert len(out) == 1 and out[0] is y
        assert getattr(lst, other_pop)() is y
        assert lst.len() == 0
        assert lst.pop_front() is None
        assert lst.pop_back() is None

    def test_emptied_from_many_then_reused(self):
        lst = PyLinkedList()
        for v in range(3):
            lst.push_back(v)
        assert [lst.pop_back(), lst.pop_front(), lst.pop_back()] == [2, 0, 1]
        lst.push_back("a")
        lst.push_front("b")
        assert lst.to_list() == ["b", "a"]
        assert lst.pop_front() == "b"
        assert lst.pop_front() == "a"
        assert lst.pop_back() is None

    def test_stack_orders(self):
        lst = PyLinkedList()
        for v in (1, 2, 3):
            lst.push_front(v)
        assert [lst.pop_front() for _ in range(4)] == [3, 2, 1, None]
        for v in (1, 2, 3):
            lst.push_back(v)
        assert [lst.pop_back() for _ in range(4)] == [3, 2, 1, None]

    def test_queue_orders(self):
        lst = PyLinkedList()
        for v in (1, 2, 3):
            lst.push_back(v)
        assert [lst.pop_front() for _ in range(4)] == [1, 2, 3, None]
        for v in (1, 2, 3):
            lst.push_front(v)
        assert [lst.pop_back() for _ in range(4)] == [1, 2, 3, None]

    def test_identity_and_unconverted_objects(self):
        lst = PyLinkedList()
        items = [object(), 2**200, "s", 1.5, [1], lst, int, None]
        for x in items:
            lst.push_back(x)
        assert same_objects(lst.to_list(), items)
        assert lst.pop_front() is items[0]
        assert lst.pop_back() is None
        assert lst.pop_back() is int
        assert lst.pop_back() is lst
        assert same_objects(lst.to_list(), items[1:5])

    def test_none_element(self):
        lst = PyLinkedList()
        lst.push_back(None)
        lst.push_front(None)
        assert lst.len() == 2
        assert lst.to_list() == [None, None]
        assert lst.pop_back() is None
        assert lst.len() == 1
        assert lst.pop_front() is None
        assert lst.len() == 0

    def test_to_list_is_a_new_independent_list(self):
        lst = PyLinkedList()
        items = [Item(i) for i in range(3)]
        for x in items:
            lst.push_back(x)
        first, second = lst.to_list(), lst.to_list()
        assert type(first) is list and first is not second
        first.clear()
        second[0] = None
        assert same_objects(lst.to_list(), items)
        assert lst.len() == 3

    def test_long_mixed_sequence(self):
        lst = PyLinkedList()
        model = collections.deque()
        for i in range(1, 2000):
            if i % 3 == 0:
                lst.push_front(i)
                model.appendleft(i)
            else:
                lst.push_back(i)
                model.append(i)
            if i % 7 == 0:
                assert lst.pop_back() == model.pop()
            if i % 11 == 0:
                assert lst.pop_front() == model.popleft()
        assert lst.len() == len(model)
        assert lst.to_list() == list(model)


class TestReferenceCounts:
    def test_same_object_held_twice(self):
        lst = PyLinkedList()
        x = Item("x")
        base = sys.getrefcount(x)
        lst.push_back(x)
        lst.push_front(x)
        assert lst.len() == 2
        assert sys.getrefcount(x) == base + 2
        out = lst.to_list()
        assert out[0] is x and out[1] is x
        del out
        assert lst.pop_back() is x
        assert sys.getrefcount(x) == base + 1

    def test_push_to_list_pop(self):
        lst = PyLinkedList()
        x = Item("x")
        base = sys.getrefcount(x)
        lst.push_back(x)
        assert sys.getrefcount(x) == base + 1
        lst.to_list()
        assert sys.getrefcount(x) == base + 1
        snapshot = lst.to_list()
        assert sys.getrefcount(x) == base + 2
        del snapshot
        lst.len()
        assert sys.getrefcount(x) == base + 1
        popped = lst.pop_front()
        assert sys.getrefcount(x) == base + 1
        del popped
        assert sys.getrefcount(x) == base
        lst.push_front(x)
        lst.pop_back()
        assert sys.getrefcount(x) == base

    def test_destruction_releases_every_reference(self):
        lst = PyLinkedList()
        x = Item("x")
        base = sys.getrefcount(x)
        for i in range(25):
            (lst.push_back if i % 2 else lst.push_front)(x)
        lst.pop_front()
        lst.pop_back()
        assert sys.getrefcount(x) == base + 23
        del lst
        assert sys.getrefcount(x) == base

    def test_list_itself_not_leaked_by_methods(self):
        lst = PyLinkedList()
        base = sys.getrefcount(lst)
        lst.push_back(1)
        lst.push_front(2)
        lst.len()
        lst.to_list()
        lst.pop_back()
        lst.pop_front()
        lst.pop_front()
        lst.pop_back()
        assert sys.getrefcount(lst) == base


class TestDestruction:
    def test_released_once_front_first(self):
        log = []
        lst = PyLinkedList()
        for i in range(3, 6):
            lst.push_back(Item(i, log))
        for i in range(2, -1, -1):
            lst.push_front(Item(i, log))
        assert log == []
        del lst
        assert log == [0, 1, 2, 3, 4, 5]

    def test_popped_elements_not_released_again(self):
        log = []
        lst = PyLinkedList()
        for i in range(5):
            lst.push_back(Item(i, log))
        lst.pop_front()
        lst.pop_back()
        assert log == [0, 4]
        del lst
        assert log == [0, 4, 1, 2, 3]

    def test_shared_element_survives(self):
        log = []
        kept = Item("kept", log)
        lst = PyLinkedList()
        lst.push_back(Item("a", log))
        lst.push_back(kept)
        lst.push_back(Item("b", log))
        del lst
        assert log == ["a", "b"]
        assert kept.name == "kept"

    def test_failing_finalizer_does_not_stop_destruction(self, monkeypatch):
        reports = []
        monkeypatch.setattr(sys, "unraisablehook", reports.append)
        log = []
        lst = PyLinkedList()
        lst.push_back(Item(0, log))
        lst.push_back(FailingItem(1, log))
        lst.push_back(Item(2, log))
        del lst
        assert log == [0, 1, 2]
        assert [r.exc_type for r in reports] == [ValueError]

    def test_finalizer_uses_another_list_during_destruction(self):
        other = PyLinkedList()

        class Mover:
            def __del__(self):
                other.push_front(other.len())

        lst = PyLinkedList()
        for _ in range(3):
            lst.push_back(Mover())
        del lst
        assert other.to_list() == [2, 1, 0]

    def test_nested_lists_released(self):
        log = []
        outer = PyLinkedList()
        inner = PyLinkedList()
        inner.push_back(Item("deep", log))
        outer.push_back(inner)
        del inner
        assert log == []
        del outer
        assert log == ["deep"]

    @pytest.mark.parametrize("push", ["push_back", "push_front"])
    def test_self_reference_is_never_reclaimed(self, push):
        log = []
        lst = PyLinkedList()
        getattr(lst, push)(lst)
        lst.push_back(Item("marker", log))
        del lst
        gc.collect()
        assert log == []

    def test_indirect_cycle_is_never_reclaimed(self):
        log = []
        lst = PyLinkedList()
        lst.push_back([lst, Item("marker", log)])
        del lst
        gc.collect()
        assert log == []


class TestReentry:
    @pytest.mark.parametrize("pop", ["pop_front", "pop_back"])
    def test_finalizer_of_dropped_pop_result_calls_back(self, pop):
        lst = PyLinkedList()
        seen = []

        class CallsBack:
            def __del__(self):
                seen.append(lst.len())
                lst.push_back("back")
                lst.push_front("front")
                seen.append(lst.to_list())
                seen.append(lst.pop_back())

        lst.push_back("mid")
        (lst.push_front if pop == "pop_front" else lst.push_back)(CallsBack())
        getattr(lst, pop)()
        assert seen == [1, ["front", "mid", "back"], "back"]
        assert lst.to_list() == ["front", "mid"]

    def test_finalizer_pops_same_list(self):
        lst = PyLinkedList()
        seen = []

        class PopsNext:
            def __del__(self):
                seen.append(lst.pop_front())

        lst.push_back(PopsNext())
        lst.push_back("second")
        lst.push_back("third")
        lst.pop_front()
        assert seen == ["second"]
        assert lst.to_list() == ["third"]

    def test_finalizer_runs_when_snapshot_dropped(self):
        lst = PyLinkedList()
        seen = []

        class CallsBack:
            def __del__(self):
                lst.push_back("late")
                seen.append(lst.len())

        lst.push_back(CallsBack())
        snapshot = lst.to_list()
        lst.pop_back()
        assert seen == []
        del snapshot
        assert seen == [1]
        assert lst.to_list() == ["late"]


ELEMENTS = st.one_of(
    st.none(),
    st.sampled_from([INT64_MIN, INT64_MAX, 0, -1]),
    st.integers(),
    st.text(max_size=3),
    st.builds(object),
)


class LinkedListAgainstDeque(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.list = PyLinkedList()
        self.model = collections.deque()

    @rule(value=ELEMENTS)
    def push_back(self, value):
        assert self.list.push_back(value) is None
        self.model.append(value)

    @rule(value=ELEMENTS)
    def push_front(self, value):
        assert self.list.push_front(v=value) is None
        self.model.appendleft(value)

    @rule(count=st.integers(min_value=1, max_value=10), front=st.booleans())
    def push_many(self, count, front):
        for _ in range(count):
            x = object()
            if front:
                self.list.push_front(x)
                self.model.appendleft(x)
            else:
                self.list.push_back(x)
                self.model.append(x)

    @rule()
    def pop_front(self):
        expected = self.model.popleft() if self.model else None
        assert self.list.pop_front() is expected

    @rule()
    def pop_back(self):
        expected = self.model.pop() if self.model else None
        assert self.list.pop_back() is expected

    @rule(count=st.integers(min_value=1, max_value=10), front=st.booleans())
    def pop_many(self, count, front):
        for _ in range(count):
            if front:
                expected = self.model.popleft() if self.model else None
                assert self.list.pop_front() is expected
            else:
                expected = self.model.pop() if self.model else None
                assert self.list.pop_back() is expected

    @invariant()
    def same_length(self):
        assert self.list.len() == len(self.model)

    @invariant()
    def same_contents(self):
        assert same_objects(self.list.to_list(), self.model)


TestAgainstModel = LinkedListAgainstDeque.TestCase
TestAgainstModel.settings = settings(max_examples=80, stateful_step_count=50, deadline=None)
