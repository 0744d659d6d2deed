import collections
import gc
import sys
import weakref

from hypothesis import settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, precondition, rule
from support import FailingItem, Item
from velkorin import PyQueue


class TestBehaviour:
    def test_new_queue_is_empty(self):
        q = PyQueue()
        assert q.len() == 0
        assert q.pop() is None
        assert q.peek() is None
        assert q.to_list() == []
        assert q.len() == 0

    def test_fifo_then_none(self):
        q = PyQueue()
        for x in (1, 2, 3):
            assert q.push(x) is None
        assert [q.pop() for _ in range(4)] == [1, 2, 3, None]
        assert q.len() == 0

    def test_len_type(self):
        q = PyQueue()
        q.push(0)
        assert type(q.len()) is int
        assert q.len() == 1

    def test_identity_of_push_peek_pop(self):
        q = PyQueue()
        x = object()
        q.push(x)
        assert q.peek() is x
        assert q.len() == 1
        assert q.pop() is x
        assert q.len() == 0

    def test_any_object_is_accepted_unconverted(self):
        q = PyQueue()
        items = ["s", 2**200, 1.5, [1], q, int, None, NotImplemented]
        for x in items:
            q.push(x)
        out = q.to_list()
        assert len(out) == len(items)
        assert all(a is b for a, b in zip(out, items))
        while q.pop() is not q:
            pass

    def test_none_element(self):
        q = PyQueue()
        q.push(None)
        assert q.len() == 1
        assert q.peek() is None
        assert q.len() == 1
        assert q.pop() is None
        assert q.len() == 0

    def test_wrap_around_then_growth(self):
        q = PyQueue()
        items = [Item(i) for i in range(7)]
        for x in items[:4]:
            q.push(x)
        assert q.pop() is items[0]
        assert q.pop() is items[1]
        for x in items[4:]:
            q.push(x)
        assert q.len() == 5
        out = q.to_list()
        assert len(out) == 5
        assert all(a is b for a, b in zip(out, items[2:]))
        assert [q.pop() for _ in range(6)] == items[2:] + [None]

    def test_wrap_around_without_growth(self):
        q = PyQueue()
        for i in range(4):
            q.push(i)
        q.pop()
        q.pop()
        q.pop()
        q.push(4)
        q.push(5)
        assert q.to_list() == [3, 4, 5]
        assert q.peek() == 3
        q.push(6)
        q.push(7)
        assert q.to_list() == [3, 4, 5, 6, 7]

    def test_many_elements(self):
        q = PyQueue()
        for i in range(1000):
            q.push(i)
        for i in range(500):
            assert q.pop() == i
        for i in range(1000, 1600):
            q.push(i)
        assert q.len() == 1100
        assert q.to_list() == list(range(500, 1600))

    def test_to_list_is_a_new_independent_list(self):
        q = PyQueue()
        items = [Item("a"), Item("b"), Item("c")]
        for x in items:
            q.push(x)
        first = q.to_list()
        second = q.to_list()
        assert type(first) is list
        assert first is not second
        assert first == second
        first.clear()
        second.append(Item("d"))
        second[0] = None
        third = q.to_list()
        assert all(a is b for a, b in zip(third, items)) and len(third) == 3
        assert q.len() == 3
        assert q.peek() is items[0]


class TestReferenceCounts:
    def test_push_peek_to_list_pop(self):
        q = PyQueue()
        x = Item("x")
        base = sys.getrefcount(x)
        q.push(x)
        assert sys.getrefcount(x) == base + 1
        q.peek()
        assert sys.getrefcount(x) == base + 1
        peeked = q.peek()
        assert sys.getrefcount(x) == base + 2
        del peeked
        snapshot = q.to_list()
        assert sys.getrefcount(x) == base + 2
        del snapshot
        assert sys.getrefcount(x) == base + 1
        popped = q.pop()
        assert sys.getrefcount(x) == base + 1
        del popped
        assert sys.getrefcount(x) == base

    def test_pop_result_dropped(self):
        q = PyQueue()
        x = Item("x")
        base = sys.getrefcount(x)
        q.push(x)
        q.pop()
        assert sys.getrefcount(x) == base

    def test_growth_keeps_counts(self):
        q = PyQueue()
        x = Item("x")
        base = sys.getrefcount(x)
        for _ in range(37):
            q.push(x)
        assert sys.getrefcount(x) == base + 37
        for _ in range(10):
            q.pop()
        assert sys.getrefcount(x) == base + 27
        del q
        assert sys.getrefcount(x) == base

    def test_destruction_of_wrapped_queue(self):
        q = PyQueue()
        x = Item("x")
        base = sys.getrefcount(x)
        for _ in range(4):
            q.push(x)
        q.pop()
        q.pop()
        q.push(x)
        q.push(x)
        assert sys.getrefcount(x) == base + 4
        del q
        assert sys.getrefcount(x) == base

    def test_queue_itself_not_leaked_by_methods(self):
        q = PyQueue()
        base = sys.getrefcount(q)
        q.push(1)
        q.peek()
        q.len()
        q.to_list()
        q.pop()
        q.pop()
        assert sys.getrefcount(q) == base


class TestDestruction:
    def test_elements_released_once_at_destruction(self):
        q = PyQueue()
        log = []
        refs = []
        for i in range(6):
            x = Item(i, log)
            refs.append(weakref.ref(x, lambda r, i=i: log.append(("cb", i))))
            q.push(x)
        del x
        assert log == []
        del q
        assert all(r() is None for r in refs)
        assert sorted(e for e in log if not isinstance(e, tuple)) == list(range(6))
        assert sorted(e[1] for e in log if isinstance(e, tuple)) == list(range(6))

    def test_release_order_front_to_back_after_wrap(self):
        q = PyQueue()
        log = []
        for i in range(4):
            q.push(Item(i, log))
        q.pop()
        q.pop()
        assert log == [0, 1]
        for i in range(4, 7):
            q.push(Item(i, log))
        del q
        assert log == [0, 1, 2, 3, 4, 5, 6]

    def test_shared_element_survives(self):
        q = PyQueue()
        log = []
        kept = Item("kept", log)
        q.push(kept)
        q.push(Item("dropped", log))
        del q
        assert log == ["dropped"]
        assert kept.name == "kept"

    def test_finalizer_error_does_not_stop_destruction(self, monkeypatch):
        reports = []
        monkeypatch.setattr(sys, "unraisablehook", reports.append)
        log = []
        q = PyQueue()
        q.push(Item(0, log))
        q.push(FailingItem(1, log))
        q.push(Item(2, log))
        del q
        assert log == [0, 1, 2]
        assert len(reports) == 1
        assert reports[0].exc_type is ValueError

    def test_finalizer_using_other_queue_during_destruction(self):
        other = PyQueue()

        class Mover:
            def __del__(self):
                other.push(other.len())

        q = PyQueue()
        for _ in range(3):
            q.push(Mover())
        del q
        assert other.to_list() == [0, 1, 2]

    def test_self_reference_is_never_reclaimed(self):
        q = PyQueue()
        marker = Item("marker")
        watch = weakref.ref(marker)
        q.push(q)
        q.push(marker)
        del q, marker
        gc.collect()
        assert watch() is not None

    def test_indirect_cycle_is_never_reclaimed(self):
        q = PyQueue()
        marker = Item("marker")
        watch = weakref.ref(marker)
        holder = [q, marker]
        q.push(holder)
        del q, marker, holder
        gc.collect()
        assert watch() is not None


class TestReentry:
    def test_finalizer_calls_back_after_pop(self):
        q = PyQueue()
        seen = []

        class CallsBack:
            def __del__(self):
                seen.append(q.len())
                seen.append(q.peek())
                q.push("from finalizer")
                seen.append(q.to_list())

        q.push(CallsBack())
        q.push("next")
        q.pop()
        assert seen == [1, "next", ["next", "from finalizer"]]
        assert q.to_list() == ["next", "from finalizer"]
        assert q.pop() == "next"

    def test_finalizer_pops_same_queue(self):
        q = PyQueue()
        seen = []

        class PopsNext:
            def __del__(self):
                seen.append(q.pop())

        q.push(PopsNext())
        q.push("second")
        q.push("third")
        q.pop()
        assert seen == ["second"]
        assert q.to_list() == ["third"]


class QueueAgainstDeque(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.queue = PyQueue()
        self.model = collections.deque()

    @rule(value=st.one_of(st.none(), st.integers(), st.text(max_size=3), st.builds(object)))
    def push(self, value):
        assert self.queue.push(value) is None
        self.model.append(value)

    @rule(count=st.integers(min_value=1, max_value=12))
    def push_many(self, count):
        for _ in range(count):
            x = object()
            self.queue.push(x)
            self.model.append(x)

    @rule()
    def pop(self):
        expected = self.model.popleft() if self.model else None
        assert self.queue.pop() is expected

    @precondition(lambda self: len(self.model) > 0)
    @rule(count=st.integers(min_value=1, max_value=12))
    def pop_many(self, count):
        for _ in range(count):
            expected = self.model.popleft() if self.model else None
            assert self.queue.pop() is expected

    @rule()
    def peek(self):
        expected = self.model[0] if self.model else None
        assert self.queue.peek() is expected

    @invariant()
    def same_length(self):
        assert self.queue.len() == len(self.model)

    @invariant()
    def same_contents(self):
        out = self.queue.to_list()
        assert len(out) == len(self.model)
        assert all(a is b for a, b in zip(out, self.model))


TestAgainstModel = QueueAgainstDeque.TestCase
TestAgainstModel.settings = settings(max_examples=60, stateful_step_count=40, deadline=None)
