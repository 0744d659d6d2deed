"""PyHashMap values: reference counts, release at destruction, finalizers that re-enter the map."""

import sys
import weakref

import pytest
from support import Item
from velkorin import PyHashMap


def fresh_str(text):
    """A str object equal to text but not the same object as any literal."""
    s = "".join([text, "!"])[:-1]
    assert s == text
    return s


class TestReferenceCounts:
    def test_insert_get_to_dict_remove(self):
        m = PyHashMap()
        x = Item("x")
        base = sys.getrefcount(x)
        m.insert("x", x)
        assert sys.getrefcount(x) == base + 1
        m.get("x")
        assert sys.getrefcount(x) == base + 1
        got = m.get("x")
        assert sys.getrefcount(x) == base + 2
        del got
        d = m.to_dict()
        assert sys.getrefcount(x) == base + 2
        del d
        assert sys.getrefcount(x) == base + 1
        removed = m.remove("x")
        assert sys.getrefcount(x) == base + 1
        del removed
        assert sys.getrefcount(x) == base

    def test_remove_result_dropped(self):
        m = PyHashMap()
        x = Item("x")
        base = sys.getrefcount(x)
        m.insert("x", x)
        m.remove("x")
        assert sys.getrefcount(x) == base

    def test_replace_releases_old_value_once(self):
        m = PyHashMap()
        old, new = Item("old"), Item("new")
        old_base, new_base = sys.getrefcount(old), sys.getrefcount(new)
        m.insert("k", old)
        m.insert("k", new)
        assert sys.getrefcount(old) == old_base
        assert sys.getrefcount(new) == new_base + 1
        m.insert("k", new)
        assert sys.getrefcount(new) == new_base + 1
        del m
        assert sys.getrefcount(new) == new_base

    def test_replace_destroys_last_reference(self):
        log = []
        m = PyHashMap()
        m.insert("k", Item("old", log))
        m.insert("other", Item("kept", log))
        assert log == []
        m.insert("k", 1)
        assert log == ["old"]
        assert m.get("k") == 1
        assert m.get("other").name == "kept"

    def test_keys_are_copied_not_referenced(self):
        k = fresh_str("some key")
        base = sys.getrefcount(k)
        m = PyHashMap()
        m.insert(k, 1)
        m.get(k)
        m.contains(k)
        assert sys.getrefcount(k) == base
        m.remove(k)
        assert sys.getrefcount(k) == base

    def test_many_entries_same_value(self):
        m = PyHashMap()
        x = Item("x")
        base = sys.getrefcount(x)
        for i in range(1000):
            m.insert(str(i), x)
        assert sys.getrefcount(x) == base + 1000
        for i in range(300):
            m.remove(str(i))
        assert sys.getrefcount(x) == base + 700
        d = m.to_dict()
        assert sys.getrefcount(x) == base + 1400
        del d
        del m
        assert sys.getrefcount(x) == base

    def test_map_itself_not_leaked_by_methods(self):
        m = PyHashMap()
        base = sys.getrefcount(m)
        m.insert("a", 1)
        m.get("a")
        m.contains("a")
        m.to_dict()
        m.remove("a")
        m.get("a")
        assert sys.getrefcount(m) == base


class TestDestruction:
    def test_values_released_once_at_destruction(self):
        log = []
        refs = []
        m = PyHashMap()
        for i in range(40):
            x = Item(i, log)
            refs.append(weakref.ref(x))
            m.insert(f"k{i}", x)
        del x
        m.remove("k3")
        assert log == [3]
        del m
        assert all(r() is None for r in refs)
        assert sorted(log) == list(range(40))

    def test_shared_value_survives(self):
        log = []
        kept = Item("kept", log)
        m = PyHashMap()
        m.insert("a", kept)
        m.insert("b", Item("dropped", log))
        m.insert("c", kept)
        del m
        assert log == ["dropped"]
        assert kept.name == "kept"

    def test_finalizer_using_another_map_during_destruction(self):
        other = PyHashMap()

        class Mover:
            def __init__(self, name):
                self.name = name

            def __del__(self):
                other.insert(self.name, other.contains(self.name))

        m = PyHashMap()
        for name in ["x", "y", "z"]:
            m.insert(name, Mover(name))
        del m
        assert other.to_dict() == {"x": False, "y": False, "z": False}


class TestReentry:
    @pytest.mark.parametrize(
        "inner, message",
        [
            (lambda m: m.insert("inner", 1), "Already borrowed"),
            (lambda m: m.remove("other"), "Already borrowed"),
            (lambda m: m.get("other"), "Already mutably borrowed"),
            (lambda m: m.contains("other"), "Already mutably borrowed"),
            (lambda m: m.to_dict(), "Already mutably borrowed"),
        ],
    )
    def test_replace_runs_finalizer_inside_borrow(self, inner, message):
        m = PyHashMap()
        caught = []
        results = []

        class CallsBack:
            def __del__(self):
                try:
                    results.append(inner(m))
                except RuntimeError as e:
                    caught.append(e)

        m.insert("other", "o")
        m.insert("k", CallsBack())
        new = Item("new")
        assert m.insert("k", new) is None
        assert results == []
        assert len(caught) == 1
        assert type(caught[0]) is RuntimeError
        assert str(caught[0]) == message
        d = m.to_dict()
        assert d == {"k": new, "other": "o"}
        assert d["k"] is new
        assert m.insert("after", 1) is None
        assert m.remove("after") == 1

    def test_remove_result_dropped_runs_outside_borrow(self):
        m = PyHashMap()
        seen = []

        class CallsBack:
            def __del__(self):
                m.insert("inner", 1)
                seen.append(m.get("other"))
                seen.append(m.contains("k"))
                seen.append(m.to_dict())

        m.insert("other", "o")
        m.insert("k", CallsBack())
        m.remove("k")
        assert seen == ["o", False, {"other": "o", "inner": 1}]
        assert m.to_dict() == {"other": "o", "inner": 1}

    def test_unhandled_error_in_finalizer_during_replace(self, monkeypatch):
        reports = []
        monkeypatch.setattr(sys, "unraisablehook", reports.append)
        m = PyHashMap()

        class Raises:
            def __del__(self):
                m.get("k")

        m.insert("k", Raises())
        assert m.insert("k", 2) is None
        assert len(reports) == 1
        assert reports[0].exc_type is RuntimeError
        assert str(reports[0].exc_value) == "Already mutably borrowed"
        assert m.get("k") == 2
