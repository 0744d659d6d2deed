"""Binding of arguments to parameters and its errors."""

import sys

import pytest
from velkorin import PyQueue, binary_search, linear_search


def message(call):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError
    return str(info.value)


class TestTooManyPositional:
    @pytest.mark.parametrize(
        "call, text",
        [
            (lambda: binary_search([1], 1, 2), "binary_search() takes 2 positional arguments but 3 were given"),
            (lambda: linear_search(1, 2, 3, 4), "linear_search() takes 2 positional arguments but 4 were given"),
            (lambda: PyQueue().push(1, 2), "PyQueue.push() takes 1 positional arguments but 2 were given"),
            (lambda: PyQueue(1), "PyQueue.__new__() takes 0 positional arguments but 1 was given"),
            (lambda: PyQueue(1, 2), "PyQueue.__new__() takes 0 positional arguments but 2 were given"),
        ],
    )
    def test_message(self, call, text):
        assert message(call) == text

    def test_checked_before_keywords(self):
        assert message(lambda: binary_search([1], 1, 2, x=3)) == (
            "binary_search() takes 2 positional arguments but 3 were given"
        )
        assert message(lambda: PyQueue(1, x=2)) == "PyQueue.__new__() takes 0 positional arguments but 1 was given"

    def test_unbound_method_call_counts_only_arguments(self):
        assert message(lambda: PyQueue.push(PyQueue(), 1, 2)) == (
            "PyQueue.push() takes 1 positional arguments but 2 were given"
        )


class TestUnexpectedKeyword:
    @pytest.mark.parametrize(
        "call, text",
        [
            (lambda: linear_search([1], 1, x=1), "linear_search() got an unexpected keyword argument 'x'"),
            (lambda: binary_search(V=[1], target=1), "binary_search() got an unexpected keyword argument 'V'"),
            (lambda: binary_search([1], Target=1), "binary_search() got an unexpected keyword argument 'Target'"),
            (lambda: PyQueue().push(V=5), "PyQueue.push() got an unexpected keyword argument 'V'"),
            (lambda: PyQueue(x=1), "PyQueue.__new__() got an unexpected keyword argument 'x'"),
            (lambda: PyQueue(v=1), "PyQueue.__new__() got an unexpected keyword argument 'v'"),
        ],
    )
    def test_message(self, call, text):
        assert message(call) == text

    @pytest.mark.parametrize("name", ["vé", "v\x00", "v ", "vv", "", "\u0076\u0301"])
    def test_name_matches_only_by_exact_text(self, name):
        assert message(lambda: PyQueue().push(**{name: 1})) == (
            f"PyQueue.push() got an unexpected keyword argument '{name}'"
        )

    def test_lone_surrogate_name_fastcall(self):
        text = message(lambda: binary_search([1], 1, **{"\udc80": 1}))
        assert ascii(text) == ascii("binary_search() got an unexpected keyword argument '\udc80'")

    def test_lone_surrogate_name_constructor(self):
        text = message(lambda: PyQueue(**{"\udc80": 1}))
        assert ascii(text) == ascii("PyQueue.__new__() got an unexpected keyword argument '\udc80'")

    def test_lone_surrogate_name_method(self):
        text = message(lambda: PyQueue().push(1, **{"v\ud800": 1}))
        assert ascii(text) == ascii("PyQueue.push() got an unexpected keyword argument 'v\ud800'")

    def test_first_failing_keyword_wins(self):
        assert message(lambda: binary_search(v=[1], x=1, y=2)) == (
            "binary_search() got an unexpected keyword argument 'x'"
        )
        assert message(lambda: binary_search([1], x=1, v=[2])) == (
            "binary_search() got an unexpected keyword argument 'x'"
        )
        assert message(lambda: PyQueue(b=1, a=2)) == "PyQueue.__new__() got an unexpected keyword argument 'b'"

    def test_str_subclass_name_is_shown_with_its_str(self):
        class Name(str):
            def __str__(self):
                return "shown"

        assert message(lambda: linear_search([1], 1, **{Name("x"): 1})) == (
            "linear_search() got an unexpected keyword argument 'shown'"
        )

    def test_str_subclass_name_matches_by_text(self):
        class Name(str):
            pass

        assert linear_search([4, 5], **{Name("target"): 5}) == 1

    def test_unprintable_name(self, monkeypatch):
        class Name(str):
            def __str__(self):
                raise LookupError("no text")

        reports = []
        monkeypatch.setattr(sys, "unraisablehook", reports.append)
        text = message(lambda: linear_search([1], 1, **{Name("x"): 1}))
        assert text == "linear_search() got an unexpected keyword argument '<unprintable Name object>'"
        assert len(reports) == 1
        assert reports[0].exc_type is LookupError


class TestMultipleValues:
    @pytest.mark.parametrize(
        "call, text",
        [
            (lambda: binary_search([1, 2, 3], v=[1]), "binary_search() got multiple values for argument 'v'"),
            (lambda: linear_search([1], 1, target=1), "linear_search() got multiple values for argument 'target'"),
            (lambda: PyQueue().push(5, v=6), "PyQueue.push() got multiple values for argument 'v'"),
            (lambda: binary_search([1], v=[2], x=1), "binary_search() got multiple values for argument 'v'"),
        ],
    )
    def test_message(self, call, text):
        assert message(call) == text


class TestMissing:
    @pytest.mark.parametrize(
        "call, text",
        [
            (lambda: binary_search(), "binary_search() missing 2 required positional arguments: 'v' and 'target'"),
            (lambda: linear_search(), "linear_search() missing 2 required positional arguments: 'v' and 'target'"),
            (lambda: binary_search(target=3), "binary_search() missing 1 required positional argument: 'v'"),
            (lambda: binary_search([1]), "binary_search() missing 1 required positional argument: 'target'"),
            (lambda: linear_search(v=[1]), "linear_search() missing 1 required positional argument: 'target'"),
            (lambda: PyQueue().push(), "PyQueue.push() missing 1 required positional argument: 'v'"),
        ],
    )
    def test_message(self, call, text):
        assert message(call) == text


class TestBindingPrecedesConversion:
    def test_bad_values_not_converted_when_binding_fails(self):
        calls = []

        class Spy:
            def __index__(self):
                calls.append(1)
                return 0

        assert message(lambda: binary_search("abc")) == (
            "binary_search() missing 1 required positional argument: 'target'"
        )
        assert message(lambda: linear_search([Spy()], Spy(), Spy())) == (
            "linear_search() takes 2 positional arguments but 3 were given"
        )
        assert calls == []

    def test_keywords_bind(self):
        assert binary_search(v=[1, 2, 3], target=2) == 1
        assert linear_search(target=3, v=(1, 2, 3)) == 2
        q = PyQueue()
        q.push(v=5)
        assert q.to_list() == [5]
        assert type(PyQueue(**{})) is PyQueue
