import collections
import gc
import sys
import weakref

import pytest
from hypothesis import settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, precondition, rule
from support import FailingItem, Item
from velkorin import PyQueue

METHODS = {
    "push": "($self, v)",
    "pop": "($self)",
    "peek": "($self)",
    "len": "($self)",
    "to_list": "($self)",
}


class TestTypeObject:
    def test_names(self):
        assert PyQueue.__module__ == "builtins"
        assert PyQueue.__name__ == "PyQueue"
        assert PyQueue.__qualname__ == "PyQueue"

    def test_signature_and_doc(self):
        assert PyQueue.__text_signature__ == "()"
        assert PyQueue.__doc__ == ""

    @pytest.mark.parametrize("name", METHODS)
    def test_method_signature_and_doc(self, name):
        method = getattr(PyQueue, name)
        assert method.__text_signature__ == METHODS[name]
        assert method.__doc__ is None
        assert method.__name__ == name
        assert method.__qualname__ == f"PyQueue.{name}"

    def test_method_table_order(self):
        own = [name for name in vars(PyQueue) if not name.startswith("__")]
        assert own == list(METHODS)

    def test_base_and_layout(self):
        assert PyQueue.__bases__ == (object,)
        assert PyQueue.__itemsize__ == 0
        assert PyQueue.__dictoffset__ == 0
        assert PyQueue.__weakrefoffset__ == 0

    def test_flags(self):
        basetype, heaptype, have_gc, immutable = 1 << 10, 1 << 9, 1 << 14, 1 << 8
        assert PyQueue.__flags__ & heaptype
        assert not PyQueue.__flags__ & basetype
        assert not PyQueue.__flags__ & have_gc
        assert not PyQueue.__flags__ & immutable

    def test_not_subclassable(self):
        with pytest.raises(TypeError, match="not an acceptable base type"):
            type("Sub", (PyQueue,), {})

    def test_class_attributes_can_be_set(self):
        PyQueue.extra_attribute = 17
        try:
            assert PyQueue().extra_attribute == 17
        finally:
            del PyQueue.extra_attribute
        assert not hasattr(PyQueue, "extra_attribute")

    @pytest.mark.parametrize("slot", ["__len__", "__iter__", "__getitem__", "__contains__", "__bool__"])
    def test_no_protocol_slots(self, slot):
        assert not hasattr(PyQueue, slot)

    def test_object_identity_semantics(self):
        q = PyQueue()
        assert PyQueue.__hash__ is object.__hash__
        assert PyQueue.__eq__ is object.__eq__
        assert q != PyQueue()
        assert q == q
        assert repr(q) == f"<builtins.PyQueue object at {id(q):#x}>"

    def test_construction(self):
        a, b = PyQueue(), PyQueue.__new__(PyQueue)
        assert type(a) is PyQueue and type(b) is PyQueue
        a.push(1)
        assert b.len() == 0


class TestInstanceRestrictions:
    def test_set_attribute(self):
        q = PyQueue()
        assert not hasattr(q, "__dict__")
        with pytest.raises(AttributeError):
            q.x = 1
        with pytest.raises(AttributeError):
            q.len = 1

    def test_weakref(self):
        with pytest.raises(TypeError, match="cannot create weak reference"):
            weakref.ref(PyQueue())

    def test_builtin_len(self):
        with pytest.raises(TypeError, match="has no len"):
            len(PyQueue())

    def test_truthiness(self):
        assert bool(PyQueue()) is True

    def test_no_iteration_membership_or_subscription(self):
        q = PyQueue()
        q.push(1)
        with pytest.raises(TypeError):
            iter(q)
        with pytest.raises(TypeError):
            1 in q  # noqa: B015
        with pytest.raises(TypeError):
            q[0]

    @pytest.mark.parametrize("name", ["len", "pop", "peek", "to_list"])
    def test_noargs_methods_refuse_arguments(self, name):
        q = PyQueue()
        q.push("kept")
        with pytest.raises(TypeError) as info:
            getattr(q, name)(1)
        assert str(info.value) == f"PyQueue.{name}() takes no arguments (1 given)"
        with pytest.raises(TypeError):
            getattr(q, name)(x=1)
        assert q.to_list() == ["kept"]

    @pytest.mark.parametrize("name", list(METHODS))
    def test_wrong_receiver_through_class(self, name):
        args = (1,) if name == "push" else ()
        with pytest.raises(TypeError) as info:
            getattr(PyQueue, name)(5, *args)
        assert "'int'" in str(info.value)


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


TestQueueAgainstDeque = QueueAgainstDeque.TestCase
TestQueueAgainstDeque.settings = settings(max_examples=60, stateful_step_count=40, deadline=None)
