"""Conversion of arguments: integer sequences and elements, the naming of
failed arguments, and Python code that runs during a conversion."""

import operator
import sys

import pytest
from support import CustomSequence, Index
from velkorin import binary_search, linear_search

def message(call):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError
    return str(info.value)


def converts_to(v, expected):
    """Checks through linear_search that `v` converts to exactly the values in `expected`."""
    probes = set(expected) | {0, -1, 1, 2**63 - 1, -(2**63)}
    if expected:
        probes |= {max(expected) + 1, min(expected) - 1}
    for probe in probes:
        if not -(2**63) <= probe < 2**63:
            continue
        want = expected.index(probe) if probe in expected else None
        got = linear_search(v, probe)
        assert got == want, (probe, got, want)


class TestAcceptedSequences:
    @pytest.mark.parametrize(
        "v, expected",
        [
            ([5, -3, 5, 9], [5, -3, 5, 9]),
            ((5, -3, 9), [5, -3, 9]),
            (range(3, 12, 4), [3, 7, 11]),
            (range(5, 0, -2), [5, 3, 1]),
            (b"\x03\x01\xff", [3, 1, 255]),
            (bytearray(b"\x00\x07"), [0, 7]),
            (memoryview(b"\x02\x04"), [2, 4]),
            (CustomSequence([8, 6, -4]), [8, 6, -4]),
            (type("L", (list,), {})([4, 2]), [4, 2]),
            (type("T", (tuple,), {})((4, 2)), [4, 2]),
            ([], []),
            ((), []),
            (b"", []),
        ],
        ids=lambda x: type(x).__name__,
    )
    def test_converts(self, v, expected):
        converts_to(v, expected)

    def test_getitem_only_class(self):
        class G:
            def __getitem__(self, i):
                if i >= 3:
                    raise IndexError
                return i * 10

        converts_to(G(), [0, 10, 20])

    def test_bytes_like_target_in_range(self):
        assert binary_search(b"\x01\x02\x03", 3) == 2


class TestAcceptedElements:
    @pytest.mark.parametrize("make", [list, tuple, CustomSequence], ids=["list", "tuple", "custom"])
    def test_index_objects_bools_and_int_subclasses(self, make):
        class MyInt(int):
            pass

        class IndexedInt(int):
            def __index__(self):
                return 99

        v = make([Index(7), True, False, MyInt(-5), IndexedInt(3)])
        converts_to(v, [7, 1, 0, -5, 3])

    def test_index_target(self):
        assert linear_search([1, 2, 42], Index(42)) == 2
        assert binary_search([0, 1], True) == 1
        assert linear_search([0, 1], False) == 0

    def test_minus_one_converts_normally(self):
        assert linear_search([1, 2], -1) is None
        assert linear_search([3, -1], -1) == 1
        assert linear_search((Index(-1),), Index(-1)) == 0


class TestRefusedSequences:
    def test_str(self):
        assert message(lambda: linear_search("123", 1)) == "argument 'v': Can't extract `str` to `Vec`"

    def test_str_subclass(self):
        class S(str):
            pass

        assert message(lambda: binary_search(S("12"), 1)) == "argument 'v': Can't extract `str` to `Vec`"

    @pytest.mark.parametrize(
        "v, name",
        [
            ({1: 2}, "dict"),
            ({3, 1}, "set"),
            (frozenset({1}), "frozenset"),
            ((x for x in [1]), "generator"),
            (iter([1, 2]), "list_iterator"),
            (5, "int"),
            (None, "NoneType"),
            (1.5, "float"),
            ({}.keys(), "dict_keys"),
        ],
        ids=lambda x: x if isinstance(x, str) else "",
    )
    def test_not_a_sequence(self, v, name):
        assert message(lambda: binary_search(v, 1)) == f"argument 'v': '{name}' object cannot be cast as 'Sequence'"

    def test_cast_message_uses_qualified_name(self):
        class Outer:
            class Inner:
                pass

        text = message(lambda: linear_search(Outer.Inner(), 1))
        assert text == f"argument 'v': '{Outer.Inner.__qualname__}' object cannot be cast as 'Sequence'"
        assert ".<locals>.Outer.Inner" in text

    def test_dict_subclass_with_len(self):
        class D(dict):
            pass

        assert message(lambda: linear_search(D(), 1)) == (
            f"argument 'v': '{D.__qualname__}' object cannot be cast as 'Sequence'"
        )


class TestRefusedElements:
    @pytest.mark.parametrize("make", [list, tuple, CustomSequence], ids=["list", "tuple", "custom"])
    @pytest.mark.parametrize(
        "bad, text",
        [
            (1.0, "'float' object cannot be interpreted as an integer"),
            ("1", "'str' object cannot be interpreted as an integer"),
            (None, "'NoneType' object cannot be interpreted as an integer"),
        ],
    )
    def test_non_integer_element(self, make, bad, text):
        assert message(lambda: linear_search(make([1, bad]), 1)) == "argument 'v': " + text

    def test_int_only_element(self):
        class OnlyInt:
            def __int__(self):
                return 3

        assert message(lambda: linear_search([OnlyInt()], 3)) == (
            "argument 'v': 'OnlyInt' object cannot be interpreted as an integer"
        )
        assert message(lambda: linear_search([3], OnlyInt())) == (
            "argument 'target': 'OnlyInt' object cannot be interpreted as an integer"
        )

    @pytest.mark.parametrize(
        "bad, text",
        [
            (2.0, "'float' object cannot be interpreted as an integer"),
            ("2", "'str' object cannot be interpreted as an integer"),
            ([2], "'list' object cannot be interpreted as an integer"),
        ],
    )
    def test_non_integer_target(self, bad, text):
        assert message(lambda: binary_search([1, 2], bad)) == "argument 'target': " + text

    def test_conversion_stops_at_first_bad_item(self):
        pulled = []

        class Seq:
            def __len__(self):
                return 5

            def __getitem__(self, i):
                pulled.append(i)
                return [1, "x", 3, 4, 5][i]

        message(lambda: linear_search(Seq(), 1))
        assert pulled == [0, 1]


class TestConversionOrder:
    def test_v_before_target(self):
        assert message(lambda: binary_search("abc", 1.5)) == "argument 'v': Can't extract `str` to `Vec`"
        assert message(lambda: binary_search([1.5], "x")).startswith("argument 'v': ")
        with pytest.raises(OverflowError):
            binary_search([2**63], "x")

    def test_target_not_converted_when_v_fails(self):
        order = []

        class Tracked:
            def __init__(self, name, value):
                self.name, self.value = name, value

            def __index__(self):
                order.append(self.name)
                return self.value

        message(lambda: linear_search([Tracked("a", 1), 1.0], Tracked("t", 1)))
        assert order == ["a"]
        order.clear()
        assert linear_search([Tracked("a", 1), Tracked("b", 2)], Tracked("t", 2)) == 1
        assert order == ["a", "b", "t"]


class TestExtremeValues:
    @pytest.mark.parametrize("make", [list, tuple, CustomSequence], ids=["list", "tuple", "custom"])
    def test_int64_limits_accepted(self, make):
        converts_to(make([2**63 - 1, -(2**63)]), [2**63 - 1, -(2**63)])
        converts_to(make([Index(2**63 - 1), Index(-(2**63))]), [2**63 - 1, -(2**63)])

    @pytest.mark.parametrize("make", [list, tuple, CustomSequence], ids=["list", "tuple", "custom"])
    @pytest.mark.parametrize("value", [2**63, -(2**63) - 1, 2**64, -(2**100), Index(2**63)], ids=repr)
    def test_element_overflow_is_not_prefixed(self, make, value):
        with pytest.raises(OverflowError) as info:
            linear_search(make([1, value]), 1)
        assert type(info.value) is OverflowError
        assert str(info.value) == "int too big to convert"

    @pytest.mark.parametrize("value", [2**63, -(2**63) - 1, Index(-(2**64))], ids=repr)
    def test_target_overflow_is_not_prefixed(self, value):
        with pytest.raises(OverflowError) as info:
            binary_search([1], value)
        assert type(info.value) is OverflowError
        assert str(info.value) == "int too big to convert"

    def test_int64_limit_targets(self):
        assert linear_search([0, 2**63 - 1], 2**63 - 1) == 1
        assert linear_search([0, -(2**63)], -(2**63)) == 1


class TypeErrorSub(TypeError):
    pass


class TestErrorWrapping:
    def raising_index(self, exc):
        class Raiser:
            def __index__(self):
                raise exc

        return Raiser()

    @pytest.mark.parametrize("make", [list, tuple, CustomSequence], ids=["list", "tuple", "custom"])
    def test_exact_type_error_from_element_is_prefixed(self, make):
        original = TypeError("boom")
        with pytest.raises(TypeError) as info:
            linear_search(make([self.raising_index(original)]), 1)
        assert type(info.value) is TypeError
        assert str(info.value) == "argument 'v': boom"
        assert info.value is not original
        assert info.value.args == ("argument 'v': boom",)
        assert info.value.__cause__ is None

    def test_exact_type_error_from_target_is_prefixed(self):
        with pytest.raises(TypeError) as info:
            binary_search([1], self.raising_index(TypeError("bad target")))
        assert type(info.value) is TypeError
        assert str(info.value) == "argument 'target': bad target"

    def test_cause_of_wrapped_error_is_carried_over(self):
        cause = KeyError("root")

        class Raiser:
            def __index__(self):
                raise TypeError("with cause") from cause

        with pytest.raises(TypeError) as info:
            linear_search([Raiser()], 1)
        assert str(info.value) == "argument 'v': with cause"
        assert info.value.__cause__ is cause
        with pytest.raises(TypeError) as info:
            linear_search([1], Raiser())
        assert str(info.value) == "argument 'target': with cause"
        assert info.value.__cause__ is cause

    def test_type_error_with_several_args(self):
        with pytest.raises(TypeError) as info:
            linear_search([self.raising_index(TypeError("a", 2))], 1)
        assert str(info.value) == "argument 'v': ('a', 2)"

    @pytest.mark.parametrize("where", ["element", "target"])
    @pytest.mark.parametrize(
        "exc",
        [TypeErrorSub("sub"), ValueError("value"), OverflowError("mine"), KeyError("k"), UnicodeError("u")],
        ids=lambda e: type(e).__name__,
    )
    def test_other_errors_pass_through_unchanged(self, where, exc):
        raiser = self.raising_index(exc)
        with pytest.raises(BaseException) as info:
            if where == "element":
                linear_search([0, raiser], 0)
            else:
                linear_search([0], raiser)
        assert info.value is exc
        assert str(info.value) == str(exc)

    def test_unprintable_type_error(self, monkeypatch):
        class Bad:
            def __str__(self):
                raise LookupError("cannot print")

        reports = []
        monkeypatch.setattr(sys, "unraisablehook", reports.append)
        with pytest.raises(TypeError) as info:
            linear_search([self.raising_index(TypeError(Bad()))], 1)
        assert type(info.value) is TypeError
        assert str(info.value) == "argument 'v': <unprintable TypeError object>"
        assert len(reports) == 1
        assert reports[0].exc_type is LookupError
        assert str(reports[0].exc_value) == "cannot print"


class TestIterationErrors:
    def test_iter_raising_ends_call_with_that_error(self):
        err = RuntimeError("no iteration")

        class Seq(CustomSequence):
            def __iter__(self):
                raise err

        with pytest.raises(RuntimeError) as info:
            linear_search(Seq([1]), 1)
        assert info.value is err

    def test_iter_raising_type_error_subclass_passes_unchanged(self):
        err = TypeErrorSub("sub from iter")

        class Seq(CustomSequence):
            def __iter__(self):
                raise err

        with pytest.raises(TypeErrorSub) as info:
            binary_search(Seq([1]), 1)
        assert info.value is err

    def test_iter_raising_type_error_is_prefixed(self):
        class Seq(CustomSequence):
            def __iter__(self):
                raise TypeError("iter says no")

        assert message(lambda: binary_search(Seq([1]), 1)) == "argument 'v': iter says no"

    def test_iter_returning_non_iterator(self):
        class Seq(CustomSequence):
            def __iter__(self):
                return 5

        assert message(lambda: binary_search(Seq([1]), 1)) == (
            "argument 'v': iter() returned non-iterator of type 'int'"
        )

    def test_next_raising_value_error_unchanged(self):
        err = ValueError("from next")

        class It:
            def __init__(self):
                self.n = 0

            def __iter__(self):
                return self

            def __next__(self):
                self.n += 1
                if self.n == 3:
                    raise err
                return self.n

        class Seq(CustomSequence):
            def __iter__(self):
                return It()

        with pytest.raises(ValueError) as info:
            linear_search(Seq([]), 1)
        assert info.value is err

    def test_next_raising_type_error_is_prefixed(self):
        class Seq(CustomSequence):
            def __iter__(self):
                return self

            def __next__(self):
                raise TypeError("next says no")

        assert message(lambda: linear_search(Seq([]), 1)) == "argument 'v': next says no"

    def test_iteration_order_wins_over_getitem(self):
        class Seq(CustomSequence):
            def __iter__(self):
                return iter([30, 20, 10])

        converts_to(Seq([1, 2, 3]), [30, 20, 10])


class TestLengthHint:
    @pytest.mark.parametrize(
        "length",
        [
            lambda: operator.truediv(1, 0),
            lambda: 2**60,
            lambda: 2**63,
            lambda: -1,
            lambda: 0,
            lambda: "x",
        ],
        ids=["raises", "huge", "overflow", "negative", "zero", "not-int"],
    )
    def test_reported_length_is_only_a_hint(self, length):
        class Lying:
            def __len__(self):
                return length()

            def __getitem__(self, i):
                if i >= 3:
                    raise IndexError(i)
                return [4, 8, 15][i]

        converts_to(Lying(), [4, 8, 15])

    def test_many_more_elements_than_reported(self):
        class Short:
            def __len__(self):
                return 1

            def __getitem__(self, i):
                return 0

            def __iter__(self):
                return iter(range(10_000))

        assert linear_search(Short(), 9_999) == 9_999
        assert binary_search(Short(), 5_000) == 5_000

    def test_no_memory_error_for_huge_empty_sequence(self):
        class Huge:
            def __len__(self):
                return sys.maxsize

            def __getitem__(self, i):
                raise IndexError(i)

        assert linear_search(Huge(), 0) is None
        assert binary_search(Huge(), 0) is None


class TestMutationDuringConversion:
    @staticmethod
    def model(build):
        out = []
        for item in build():
            out.append(operator.index(item))
        return out

    def check(self, build):
        expected = self.model(build)
        probes = set(expected) | {0, 1, 2, 3, 5, 7, 9}
        for probe in probes:
            want = expected.index(probe) if probe in expected else None
            assert linear_search(build(), probe) == want, probe

    def test_append_during_conversion_is_seen(self):
        def build():
            lst = []

            class Grow:
                def __index__(self):
                    lst.append(7)
                    return 5

            lst.extend([Grow(), 1, 2])
            return lst

        assert self.model(build) == [5, 1, 2, 7]
        self.check(build)

    def test_clear_during_conversion_stops_it(self):
        def build():
            lst = []

            class Clear:
                def __index__(self):
                    lst.clear()
                    return 5

            lst.extend([1, Clear(), 2, 3])
            return lst

        assert self.model(build) == [1, 5]
        self.check(build)

    def test_replace_later_element(self):
        def build():
            lst = []

            class Swap:
                def __index__(self):
                    lst[2] = 9
                    return 3

            lst.extend([Swap(), 1, 2])
            return lst

        assert self.model(build) == [3, 1, 9]
        self.check(build)

    def test_removing_current_element_keeps_it_alive(self):
        def build():
            lst = []

            class Self:
                def __init__(self):
                    self.payload = [0] * 10

                def __index__(self):
                    del lst[:]
                    lst.append(1)
                    lst.append(2)
                    return len(self.payload)

            lst.append(Self())
            return lst

        assert self.model(build) == [10, 2]
        self.check(build)
