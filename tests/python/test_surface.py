"""What every class and function shows of itself, and how each binds its arguments, from one table."""

import collections
import sys
import weakref
from itertools import combinations

import pytest
import velkorin
from velkorin import PyQueue, binary_search, linear_search

# Every class in registration order, its methods in table order, each with
# its parameters; a method without parameters takes no arguments at all.
CLASSES = {
    "PyLinkedList": {
        "push_back": ("v",),
        "push_front": ("v",),
        "pop_front": (),
        "pop_back": (),
        "len": (),
        "to_list": (),
    },
    "PyHashMap": {"insert": ("key", "value"), "get": ("key",), "remove": ("key",), "contains": ("key",), "to_dict": ()},
    "PyHashSet": {"insert": ("v",), "contains": ("v",), "remove": ("v",), "to_list": ()},
    "PyBTreeSet": {"insert": ("v",), "contains": ("v",), "remove": ("v",), "to_list": ()},
    "PyQueue": {"push": ("v",), "pop": (), "peek": (), "len": (), "to_list": ()},
    "PyPriorityQueue": {"push": ("v",), "pop": (), "peek": ()},
}
FUNCTIONS = {
    "bubble_sort": ("v",),
    "selection_sort": ("v",),
    "quick_sort": ("v",),
    "merge_sort": ("v",),
    "linear_search": ("v", "target"),
    "binary_search": ("v", "target"),
}

# How filled() fills each class, and what the class then holds (None where it can hold any object).
FILL = {
    "PyLinkedList": ("push_back", (None,), [None]),
    "PyHashMap": ("insert", ("a", None), {"a": None}),
    "PyHashSet": ("insert", (1,), [1]),
    "PyBTreeSet": ("insert", (1,), [1]),
    "PyQueue": ("push", (None,), [None]),
    "PyPriorityQueue": ("push", (4,), [4]),
}

METHODS = [(cls, name) for cls, methods in CLASSES.items() for name in methods]
NOARGS = [(cls, name) for cls, name in METHODS if not CLASSES[cls][name]]
# (class or None, name, parameters) of every callable with parameters.
BINDING = [(cls, name, CLASSES[cls][name]) for cls, name in METHODS if CLASSES[cls][name]]
BINDING += [(None, name, params) for name, params in FUNCTIONS.items()]

classes = pytest.mark.parametrize("cls", CLASSES)
methods = pytest.mark.parametrize("cls, name", METHODS, ids=[f"{c}.{m}" for c, m in METHODS])
binding = pytest.mark.parametrize("cls, name, params", BINDING, ids=[f"{c}.{n}" if c else n for c, n, _ in BINDING])


def filled(cls):
    method, args, _ = FILL[cls]
    obj = getattr(velkorin, cls)()
    getattr(obj, method)(*args)
    return obj


def contents(obj):
    if type(obj) is velkorin.PyPriorityQueue:
        out = []
        while (v := obj.pop()) is not None:
            out.append(v)
        return out
    return obj.to_dict() if type(obj) is velkorin.PyHashMap else obj.to_list()


def type_error(call):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError
    return str(info.value)


class Spy:
    """An argument that records any attempt to convert it."""

    def __init__(self, log):
        self.log = log

    def __index__(self):
        self.log.append("__index__")
        return 0

    def __iter__(self):
        self.log.append("__iter__")
        return iter([])

    def __len__(self):
        self.log.append("__len__")
        return 0

    def __getitem__(self, i):
        self.log.append("__getitem__")
        raise IndexError(i)


def valid_arguments(cls, params):
    sample = {"v": [1, 3, 2] if cls is None else 1, "key": "a", "value": "x", "target": 3}
    return [sample[p] for p in params]


def calls_alike(cls, name, *shapes):
    """Per (args, kwargs) shape: the result of the call and, for a method, its fresh receiver's contents after it."""
    seen = []
    for args, kwargs in shapes:
        if cls is None:
            seen.append((getattr(velkorin, name)(*args, **kwargs), None))
        else:
            obj = filled(cls)
            seen.append((getattr(obj, name)(*args, **kwargs), contents(obj)))
    return seen


def binding_cases(params, make):
    """(args, kwargs, message tail) of the binding errors of a callable with these parameters."""
    n = len(params)
    quoted = [f"'{p}'" for p in params]
    cases = []
    for k in range(n):
        for given in combinations(range(n), k):
            missing = [quoted[i] for i in range(n) if i not in given]
            tail = f"missing {len(missing)} required positional argument{'s' * (len(missing) > 1)}: "
            tail += " and ".join(missing)
            cases.append(((), {params[i]: make() for i in given}, tail))
            if k and given == tuple(range(k)):
                cases.append(([make() for _ in given], {}, tail))
    for given in (n + 1, n + 2):
        cases.append(([make() for _ in range(given)], {}, f"takes {n} positional arguments but {given} were given"))
    for i, p in enumerate(params):
        cases.append(([make() for _ in range(i + 1)], {p: make()}, f"got multiple values for argument '{p}'"))
    # Keywords are checked before missing parameters are looked for.
    other = next(p for p in ("value", "v", "key") if p not in params)
    for bad in ("x", *(p.capitalize() for p in params), other):
        tail = f"got an unexpected keyword argument '{bad}'"
        cases += [([make() for _ in params], {bad: make()}, tail), ((), {bad: make()}, tail)]
    cases.append(((), {**{p: make() for p in params}, "x": make()}, "got an unexpected keyword argument 'x'"))
    return cases


class TestClassObject:
    @classes
    def test_names_and_documentation(self, cls):
        c = getattr(velkorin, cls)
        assert (c.__module__, c.__name__, c.__qualname__) == ("builtins", cls, cls)
        assert c.__text_signature__ == "()"
        assert c.__doc__ == ""

    @classes
    def test_method_table(self, cls):
        c = getattr(velkorin, cls)
        assert [name for name in vars(c) if not name.startswith("__")] == list(CLASSES[cls])
        assert sorted(name for name in dir(c) if not name.startswith("_")) == sorted(CLASSES[cls])

    @classes
    def test_no_methods_of_the_other_classes(self, cls):
        obj = filled(cls)
        others = {name for methods in CLASSES.values() for name in methods} - set(CLASSES[cls])
        for name in sorted(others):
            with pytest.raises(AttributeError):
                getattr(obj, name)
            assert not hasattr(getattr(velkorin, cls), name)

    @classes
    def test_base_layout_and_flags(self, cls):
        c = getattr(velkorin, cls)
        assert c.__bases__ == (object,)
        assert (c.__itemsize__, c.__dictoffset__, c.__weakrefoffset__) == (0, 0, 0)
        basetype, heaptype, have_gc, immutable = 1 << 10, 1 << 9, 1 << 14, 1 << 8
        assert c.__flags__ & heaptype
        assert not c.__flags__ & (basetype | have_gc | immutable)

    @classes
    def test_not_subclassable(self, cls):
        with pytest.raises(TypeError, match="not an acceptable base type"):
            type("Sub", (getattr(velkorin, cls),), {})

    @classes
    def test_class_attributes_can_be_set(self, cls):
        c = getattr(velkorin, cls)
        c.extra_attribute = 17
        try:
            assert c().extra_attribute == 17
        finally:
            del c.extra_attribute
        assert not hasattr(c, "extra_attribute")

    @classes
    @pytest.mark.parametrize(
        "slot", ["__len__", "__iter__", "__getitem__", "__setitem__", "__delitem__", "__contains__", "__bool__"]
    )
    def test_no_protocol_slots(self, cls, slot):
        assert not hasattr(getattr(velkorin, cls), slot)
        assert not hasattr(filled(cls), slot)

    @classes
    def test_identity_semantics(self, cls):
        c = getattr(velkorin, cls)
        a = c()
        assert c.__hash__ is object.__hash__
        assert c.__eq__ is object.__eq__
        assert a != c()
        assert a == a
        assert repr(a) == f"<builtins.{cls} object at {id(a):#x}>"

    @classes
    def test_construction(self, cls):
        c = getattr(velkorin, cls)
        a, b, d = c(), c.__new__(c), c(**{})
        assert type(a) is c and type(b) is c and type(d) is c
        method, args, _ = FILL[cls]
        getattr(a, method)(*args)
        assert not contents(b)

    @methods
    def test_method_objects(self, cls, name):
        method = getattr(getattr(velkorin, cls), name)
        assert method.__text_signature__ == "($self" + "".join(f", {p}" for p in CLASSES[cls][name]) + ")"
        assert method.__doc__ is None
        assert method.__name__ == name
        assert method.__qualname__ == f"{cls}.{name}"


@pytest.mark.parametrize("name", FUNCTIONS)
class TestFunctionObject:
    def test_attributes(self, name):
        fn = getattr(velkorin, name)
        assert type(fn) is type(len)
        assert fn.__name__ == fn.__qualname__ == name
        assert fn.__module__ == "velkorin"
        assert fn.__self__ is velkorin

    def test_documentation(self, name):
        fn = getattr(velkorin, name)
        assert fn.__text_signature__ == f"({', '.join(FUNCTIONS[name])})"
        assert fn.__doc__ is None


class TestInstance:
    @classes
    def test_no_instance_attributes(self, cls):
        obj = filled(cls)
        assert not hasattr(obj, "__dict__")
        with pytest.raises(AttributeError):
            obj.x = 1
        for name in CLASSES[cls]:
            with pytest.raises(AttributeError):
                setattr(obj, name, 1)

    @classes
    def test_no_weak_references(self, cls):
        with pytest.raises(TypeError, match="cannot create weak reference"):
            weakref.ref(getattr(velkorin, cls)())

    @classes
    def test_container_protocols_refused(self, cls):
        obj = filled(cls)
        assert bool(getattr(velkorin, cls)()) is True
        assert bool(obj) is True
        with pytest.raises(TypeError, match="has no len"):
            len(obj)
        with pytest.raises(TypeError):
            iter(obj)
        with pytest.raises(TypeError):
            1 in obj  # noqa: B015
        with pytest.raises(TypeError):
            obj[0]
        with pytest.raises(TypeError):
            obj[0] = 1
        assert contents(obj) == FILL[cls][2]

    @pytest.mark.parametrize("cls, name", NOARGS, ids=[f"{c}.{m}" for c, m in NOARGS])
    def test_method_without_parameters_refuses_arguments(self, cls, name):
        obj = filled(cls)
        assert type_error(lambda: getattr(obj, name)(1)) == f"{cls}.{name}() takes no arguments (1 given)"
        type_error(lambda: getattr(obj, name)(x=1))
        assert contents(obj) == FILL[cls][2]

    @methods
    def test_receiver_of_another_type_through_the_class(self, cls, name):
        args = [1] * len(CLASSES[cls][name])
        for receiver in [5, object(), [1], collections.deque()]:
            message = type_error(lambda: getattr(getattr(velkorin, cls), name)(receiver, *args))
            assert f"{type(receiver).__name__}' object" in message and cls in message


class TestBinding:
    @binding
    def test_keywords_bind_like_positions(self, cls, name, params):
        args = valid_arguments(cls, params)
        kwargs = dict(zip(params, args))
        shapes = [(args, {}), ((), kwargs), ((), dict(reversed(kwargs.items())))]
        shapes += [(args[:i], dict(list(kwargs.items())[i:])) for i in range(1, len(params))]
        first, *others = calls_alike(cls, name, *shapes)
        assert all(seen == first for seen in others)

    @binding
    def test_errors(self, cls, name, params):
        display = f"{cls}.{name}()" if cls else f"{name}()"
        obj = filled(cls) if cls else velkorin
        log = []
        for args, kwargs, tail in binding_cases(params, lambda: Spy(log)):
            spies = [*args, *kwargs.values()]
            counts = [sys.getrefcount(s) for s in spies]
            assert type_error(lambda: getattr(obj, name)(*args, **kwargs)) == f"{display} {tail}"
            assert [sys.getrefcount(s) for s in spies] == counts
            if cls:
                message = type_error(lambda: getattr(getattr(velkorin, cls), name)(obj, *args, **kwargs))
                assert message == f"{display} {tail}", "called through the class"
        assert log == [], "binding failed, yet an argument was converted"
        if cls:
            assert contents(obj) == FILL[cls][2]

    @classes
    def test_constructor_takes_nothing(self, cls):
        c = getattr(velkorin, cls)
        new = f"{cls}.__new__()"
        assert type_error(lambda: c(1)) == f"{new} takes 0 positional arguments but 1 was given"
        assert type_error(lambda: c(1, 2)) == f"{new} takes 0 positional arguments but 2 were given"
        assert type_error(lambda: c(1, x=2)) == f"{new} takes 0 positional arguments but 1 was given"
        for name in ("x", "v", "key"):
            assert type_error(lambda: c(**{name: 1})) == f"{new} got an unexpected keyword argument '{name}'"
        assert type_error(lambda: c(b=1, a=2)) == f"{new} got an unexpected keyword argument 'b'"

    def test_too_many_checked_before_keywords(self):
        assert type_error(lambda: binary_search([1], 1, 2, x=3)) == (
            "binary_search() takes 2 positional arguments but 3 were given"
        )

    def test_first_failing_keyword_wins(self):
        assert type_error(lambda: binary_search(v=[1], x=1, y=2)) == (
            "binary_search() got an unexpected keyword argument 'x'"
        )
        assert type_error(lambda: binary_search([1], x=1, v=[2])) == (
            "binary_search() got an unexpected keyword argument 'x'"
        )
        assert type_error(lambda: binary_search([1], v=[2], x=1)) == (
            "binary_search() got multiple values for argument 'v'"
        )

    @pytest.mark.parametrize("name", ["vé", "v\x00", "v ", "vv", "", "\u0076\u0301"])
    def test_keyword_matches_only_by_exact_text(self, name):
        assert type_error(lambda: PyQueue().push(**{name: 1})) == (
            f"PyQueue.push() got an unexpected keyword argument '{name}'"
        )

    @pytest.mark.parametrize(
        "call, display, name",
        [
            (lambda kw: binary_search([1], 1, **kw), "binary_search()", "\udc80"),
            (lambda kw: PyQueue(**kw), "PyQueue.__new__()", "\udc80"),
            (lambda kw: PyQueue().push(1, **kw), "PyQueue.push()", "v\ud800"),
        ],
        ids=["function", "constructor", "method"],
    )
    def test_lone_surrogate_keyword(self, call, display, name):
        text = type_error(lambda: call({name: 1}))
        assert ascii(text) == ascii(f"{display} got an unexpected keyword argument '{name}'")

    def test_str_subclass_keyword_shown_with_its_str_and_matched_by_text(self):
        class Shown(str):
            def __str__(self):
                return "shown"

        class Name(str):
            pass

        assert type_error(lambda: linear_search([1], 1, **{Shown("x"): 1})) == (
            "linear_search() got an unexpected keyword argument 'shown'"
        )
        assert linear_search([4, 5], **{Name("target"): 5}) == 1

    def test_unprintable_keyword(self, monkeypatch):
        class Name(str):
            def __str__(self):
                raise LookupError("no text")

        reports = []
        monkeypatch.setattr(sys, "unraisablehook", reports.append)
        text = type_error(lambda: linear_search([1], 1, **{Name("x"): 1}))
        assert text == "linear_search() got an unexpected keyword argument '<unprintable Name object>'"
        assert len(reports) == 1
        assert reports[0].exc_type is LookupError
