import itertools
import sys

import pytest
from hypothesis import settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, precondition, rule
from support import Item
from velkorin import PyHashMap

SURROGATE_KEYS = ["\ud800", "a\ud800b", "\udfff"]


def colliding_keys(count, bits):
    """Distinct keys whose interpreter hashes share their low `bits` bits."""
    mask = (1 << bits) - 1
    candidates = map("c{}".format, itertools.count())
    return list(itertools.islice((k for k in candidates if hash(k) & mask == hash("c") & mask), count))


class Odd(str):
    """A str whose own equality, hashing and str() must never be consulted."""

    def __eq__(self, other):
        return True

    def __hash__(self):
        raise AssertionError("__hash__ consulted")

    def __str__(self):
        return "other"


def filled(entries):
    m = PyHashMap()
    for k, v in entries.items():
        m.insert(k, v)
    return m


def fresh_str(text):
    """A str object equal to text but not the same object as any literal."""
    s = "".join([text, "!"])[:-1]
    assert s == text
    return s


def utf8_error(text):
    with pytest.raises(UnicodeEncodeError) as info:
        text.encode("utf-8")
    return str(info.value)


class TestBehaviour:
    @pytest.mark.parametrize("key", ["a", "", "\x00", "é"])
    def test_new_map_is_empty(self, key):
        m = PyHashMap()
        assert m.to_dict() == {}
        assert m.get(key) is None
        assert m.contains(key) is False
        assert m.remove(key) is None
        assert m.to_dict() == {}

    def test_insert_get_replace(self):
        m = PyHashMap()
        assert m.insert("a", 1) is None
        assert m.get("a") == 1
        assert m.contains("a") is True
        assert m.insert("a", 2) is None
        assert m.get("a") == 2
        d = m.to_dict()
        assert d == {"a": 2}
        assert type(d) is dict

    def test_none_value_versus_missing_key(self):
        m = PyHashMap()
        m.insert("k", None)
        assert m.get("k") is None
        assert m.get("missing") is None
        assert m.contains("k") is True
        assert m.contains("missing") is False
        assert m.to_dict() == {"k": None}
        assert m.remove("missing") is None
        assert m.contains("k") is True
        assert m.remove("k") is None
        assert m.contains("k") is False
        assert m.to_dict() == {}

    def test_identity_through_get_to_dict_remove(self):
        m = PyHashMap()
        v = Item("v")
        m.insert("x", v)
        assert m.get("x") is v
        assert m.to_dict()["x"] is v
        assert m.remove("x") is v
        assert m.contains("x") is False
        assert m.get("x") is None
        assert m.remove("x") is None
        assert m.to_dict() == {}

    def test_remove_leaves_other_keys(self):
        m = filled({"a": 1, "b": 2, "c": 3})
        assert m.remove("b") == 2
        assert m.to_dict() == {"a": 1, "c": 3}
        m.insert("b", 20)
        assert m.to_dict() == {"a": 1, "b": 20, "c": 3}

    def test_instances_are_independent(self):
        a = filled({"k": 1})
        b = filled({"k": 2})
        a.remove("k")
        assert b.get("k") == 2
        assert a.to_dict() == {}

    def test_any_value_including_the_map_itself(self):
        m = PyHashMap()
        values = {"int": 2**200, "float": 1.5, "list": [1], "type": int, "ni": NotImplemented, "self": m}
        for k, v in values.items():
            m.insert(k, v)
        d = m.to_dict()
        assert d.keys() == values.keys()
        assert all(d[k] is v for k, v in values.items())
        m.remove("self")


class TestKeys:
    def test_empty_string_is_its_own_key(self):
        m = PyHashMap()
        m.insert("", "empty")
        assert m.contains("") is True
        assert m.get("") == "empty"
        assert m.contains("\x00") is False
        assert m.contains(" ") is False
        m.insert("\x00", "nul")
        assert m.to_dict() == {"": "empty", "\x00": "nul"}
        assert m.remove("") == "empty"
        assert m.get("\x00") == "nul"

    def test_embedded_nul_is_part_of_the_key(self):
        m = PyHashMap()
        m.insert("a\x00b", 1)
        assert m.contains("a") is False
        assert m.contains("a\x00") is False
        assert m.contains("a\x00b\x00") is False
        m.insert("a", 2)
        m.insert("a\x00", 3)
        m.insert("\x00\x00", 4)
        assert m.get("a\x00b") == 1
        assert m.get("a") == 2
        assert m.to_dict() == {"a\x00b": 1, "a": 2, "a\x00": 3, "\x00\x00": 4}
        assert m.remove("a") == 2
        assert m.get("a\x00b") == 1
        assert m.get("a\x00") == 3

    def test_prefixes_and_lengths_are_distinct(self):
        m = PyHashMap()
        keys = ["a" * n for n in range(40)] + ["ab" * n for n in range(1, 20)]
        for i, k in enumerate(keys):
            m.insert(k, i)
        assert m.to_dict() == {k: i for i, k in enumerate(keys)}
        for i, k in enumerate(keys):
            assert m.get(k) == i

    def test_utf8_lengths_around_fifteen_bytes(self):
        # Keys of up to 15 UTF-8 bytes are stored in their entry, longer ones apart.
        keys = [p + t for p in ("é" * 7, "x" * 13, "𝄞" * 3) for t in ("", "a", "é", "ab", "\x00", "𝄞")]
        assert len(set(keys)) == len(keys)
        m = PyHashMap()
        for i, k in enumerate(keys):
            m.insert(k, i)
        assert m.to_dict() == {k: i for i, k in enumerate(keys)}
        for i, k in enumerate(keys):
            assert m.get(k) == i
            assert m.contains(k[:-1]) is (k[:-1] in keys)
        for k in keys[::2]:
            m.remove(k)
        assert m.to_dict() == {k: i for i, k in enumerate(keys) if i % 2}

    def test_long_key(self):
        m = PyHashMap()
        long_key = "x" * 100_000 + "é"
        m.insert(long_key, 1)
        assert m.contains(long_key) is True
        assert m.contains(long_key[:-1]) is False
        assert m.contains(long_key[:-1] + "e") is False
        assert list(m.to_dict()) == [long_key]

    def test_non_ascii_keys(self):
        keys = ["é", "e\u0301", "𝄞", "中文", "日本語", "\u00ff", "\U0010ffff", "\u0100"]
        m = PyHashMap()
        for i, k in enumerate(keys):
            m.insert(k, i)
        assert m.to_dict() == {k: i for i, k in enumerate(keys)}
        # No normalisation: precomposed and decomposed forms stay apart.
        assert m.get("é") == 0
        assert m.get("e\u0301") == 1
        assert m.contains("e") is False
        assert m.remove("𝄞") == 2
        assert m.contains("𝄞") is False
        assert m.get("中文") == 3

    def test_str_subclass_stored_by_text(self):
        m = PyHashMap()
        m.insert(Odd("a"), 1)
        assert m.contains("a") is True
        assert m.contains("b") is False
        assert m.contains("other") is False
        assert m.contains(Odd("b")) is False
        assert m.get(Odd("a")) == 1
        m.insert("b", 2)
        m.insert(Odd("a"), 3)
        d = m.to_dict()
        assert sorted(d.items()) == [("a", 3), ("b", 2)]
        assert all(type(k) is str for k in d)
        assert m.remove(Odd("a")) == 3
        assert m.contains("a") is False

    def test_colliding_interpreter_hashes_found_and_distinct(self):
        keys = colliding_keys(9, bits=14)
        absent = keys.pop()
        m = filled({k: i for i, k in enumerate(keys)})
        assert [m.get(k) for k in keys] == list(range(len(keys)))
        assert m.contains(absent) is False
        assert m.remove(keys[3]) == 3
        assert m.contains(keys[3]) is False
        assert m.to_dict() == {k: i for i, k in enumerate(keys) if i != 3}

    def test_equal_distinct_str_objects_are_one_key(self):
        k1, k2 = fresh_str("key"), fresh_str("key")
        assert k1 is not k2
        m = PyHashMap()
        m.insert(k1, 1)
        m.insert(k2, 2)
        assert m.to_dict() == {"key": 2}
        assert m.get(fresh_str("key")) == 2
        assert m.remove(k1) == 2
        assert m.contains(k2) is False

    def test_to_dict_keys_are_new_plain_str(self):
        k = fresh_str("ключ")
        m = PyHashMap()
        m.insert(k, 1)
        (out,) = m.to_dict()
        assert out == k
        assert type(out) is str
        assert out is not k


class TestConversion:
    @pytest.mark.parametrize("bad, type_name", [(1, "int"), (b"a", "bytes"), (None, "NoneType"), (["a"], "list")])
    @pytest.mark.parametrize("method", ["insert", "get", "remove", "contains"])
    def test_non_str_key(self, method, bad, type_name):
        m = filled({"a": 1})
        value = Item("v")
        args = (bad, value) if method == "insert" else (bad,)
        base = sys.getrefcount(value)
        with pytest.raises(TypeError) as info:
            getattr(m, method)(*args)
        assert type(info.value) is TypeError
        assert str(info.value) == f"argument 'key': '{type_name}' object cannot be cast as 'str'"
        assert info.value.__cause__ is None
        assert sys.getrefcount(value) == base
        assert m.to_dict() == {"a": 1}
        m.insert("b", 2)
        assert m.to_dict() == {"a": 1, "b": 2}

    @pytest.mark.parametrize("key", SURROGATE_KEYS)
    @pytest.mark.parametrize("method", ["insert", "get", "remove", "contains"])
    def test_lone_surrogate_unprefixed(self, method, key):
        m = filled({"a": 1, "": 2})
        args = (key, "v") if method == "insert" else (key,)
        with pytest.raises(UnicodeEncodeError) as info:
            getattr(m, method)(*args)
        assert type(info.value) is UnicodeEncodeError
        assert str(info.value) == utf8_error(key)
        assert m.to_dict() == {"a": 1, "": 2}
        assert m.insert("c", 3) is None
        assert m.get("a") == 1

    def test_surrogate_on_empty_map(self):
        m = PyHashMap()
        with pytest.raises(UnicodeEncodeError):
            m.get("\ud800")
        with pytest.raises(UnicodeEncodeError):
            m.contains("\ud800")
        assert m.to_dict() == {}


class TestToDict:
    def test_repeated_calls_equal(self):
        entries = {f"k{i}": i for i in range(50)}
        m = filled(entries)
        a = m.to_dict()
        b = m.to_dict()
        assert a == b == entries
        assert a is not b

    def test_new_dict_each_time_and_independent(self):
        items = {"a": Item("a"), "b": Item("b"), "c": Item("c")}
        m = filled(items)
        first = m.to_dict()
        first.clear()
        second = m.to_dict()
        second["d"] = 4
        second["a"] = None
        del second["b"]
        third = m.to_dict()
        assert third.keys() == items.keys()
        assert all(third[k] is v for k, v in items.items())
        assert m.contains("d") is False
        assert m.get("a") is items["a"]

    def test_maps_filled_from_each_others_to_dict(self):
        model = {f"w{i}": i for i in range(3000)}
        a = filled(model)
        b = filled(a.to_dict())
        for k in list(model)[::3]:
            assert b.remove(k) == model.pop(k)
        a = filled(b.to_dict())
        assert a.to_dict() == b.to_dict() == model
        assert all(a.get(k) == v and b.get(k) == v for k, v in model.items())

    def test_equal_content_maps(self):
        keys = [f"key-{i}" for i in range(30)]
        a = filled({k: 1 for k in keys})
        b = filled({k: 1 for k in reversed(keys)})
        assert a.to_dict() == b.to_dict()


class TestManyElements:
    def test_growth_through_many_sizes(self):
        m = PyHashMap()
        model = {}
        for n in range(300):
            k = f"k{n}"
            m.insert(k, n)
            model[k] = n
            if n % 7 == 0:
                assert m.to_dict() == model
        for k, v in model.items():
            assert m.get(k) == v
        assert m.contains("k300") is False

    def test_large_then_remove_half(self):
        n = 5000
        m = PyHashMap()
        for i in range(n):
            m.insert(str(i), i)
        for i in range(0, n, 2):
            assert m.remove(str(i)) == i
        for i in range(n):
            assert m.contains(str(i)) is (i % 2 == 1)
        assert m.to_dict() == {str(i): i for i in range(1, n, 2)}
        for i in range(0, n, 2):
            m.insert(str(i), -i)
        assert m.get("0") == 0 and m.get("2") == -2 and m.get("3") == 3

    def test_churn_with_fresh_keys(self):
        m = PyHashMap()
        live = []
        for i in range(4000):
            k = f"c{i}"
            m.insert(k, i)
            live.append(k)
            if len(live) > 10:
                old = live.pop(0)
                assert m.remove(old) == int(old[1:])
                assert m.contains(old) is False
        assert m.to_dict() == {k: int(k[1:]) for k in live}

    def test_insert_remove_same_keys_repeatedly(self):
        m = PyHashMap()
        keys = [f"r{i}" for i in range(20)]
        for round_ in range(200):
            for k in keys:
                m.insert(k, round_)
            for k in keys[::2]:
                assert m.remove(k) == round_
        assert m.to_dict() == {k: 199 for k in keys[1::2]}


TEXT = st.characters(exclude_categories=("Cs",))

KEYS = st.one_of(
    st.sampled_from(["", "\x00", "a\x00", "a", "é", "𝄞", "中", "\U0010ffff", "e\u0301"]),
    st.sampled_from(colliding_keys(8, bits=12)),
    st.text(alphabet=TEXT, max_size=6),
    st.text(alphabet="ab\x00", max_size=4),
    st.text(alphabet="aé\x00𝄞", min_size=3, max_size=12),
    st.text(alphabet="ab", min_size=7, max_size=17),
)

VALUES = st.one_of(st.none(), st.integers(), st.text(max_size=3), st.builds(object), st.builds(list))


class MapMachine(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.m = PyHashMap()
        self.model = {}

    @rule(key=KEYS, value=VALUES)
    def insert(self, key, value):
        assert self.m.insert(key, value) is None
        self.model[key] = value

    @rule(key=KEYS)
    def get(self, key):
        assert self.m.get(key) is self.model.get(key)
        assert self.m.get(Odd(key)) is self.model.get(key)

    @rule(key=KEYS)
    def contains(self, key):
        assert self.m.contains(key) is (key in self.model)

    @rule(key=KEYS)
    def remove(self, key):
        assert self.m.remove(key) is self.model.pop(key, None)

    @precondition(lambda self: self.model)
    @rule(data=st.data())
    def remove_present(self, data):
        key = data.draw(st.sampled_from(sorted(self.model)))
        assert self.m.remove(key) is self.model.pop(key)
        assert self.m.contains(key) is False

    @rule(prefix=st.text(alphabet=TEXT, max_size=2), count=st.integers(min_value=1, max_value=40))
    def insert_many(self, prefix, count):
        for i in range(count):
            key = f"{prefix}#{i}"
            value = object()
            self.m.insert(key, value)
            self.model[key] = value

    @rule(key=KEYS, value=VALUES)
    def insert_subclass(self, key, value):
        assert self.m.insert(Odd(key), value) is None
        self.model[key] = value
        assert self.m.get(Odd(key)) is value

    @rule()
    def refill_from_to_dict(self):
        self.m = filled(self.m.to_dict())

    @rule(key=st.sampled_from(SURROGATE_KEYS), value=VALUES)
    def surrogate_rejected(self, key, value):
        with pytest.raises(UnicodeEncodeError):
            self.m.insert(key, value)

    @invariant()
    def same_contents(self):
        d = self.m.to_dict()
        assert d.keys() == self.model.keys()
        assert all(d[k] is v for k, v in self.model.items())


TestAgainstModel = MapMachine.TestCase
TestAgainstModel.settings = settings(max_examples=200, stateful_step_count=40, deadline=None)
