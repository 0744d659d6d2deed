import importlib
import json
import os
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest
import velkorin

FINAL_NAMES = [
    "bubble_sort",
    "selection_sort",
    "quick_sort",
    "merge_sort",
    "linear_search",
    "binary_search",
    "PyLinkedList",
    "PyHashMap",
    "PyHashSet",
    "PyBTreeSet",
    "PyQueue",
    "PyPriorityQueue",
]

SUBINTERPRETER_MESSAGE = (
    "velkorin does not yet support subinterpreters, see "
    "https://docs.python.org/3/howto/isolating-extensions.html"
)
PANIC_DOC = (
    "\nThe exception raised when native code called from Python panics.\n\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n"
)


def run_python(source):
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(source)],
        env=os.environ,
        capture_output=True,
        text=True,
        timeout=60,
    )


class TestImport:
    def test_reimport_returns_same_module(self):
        assert importlib.import_module("velkorin") is velkorin
        import velkorin as again

        assert again is velkorin

    def test_import_after_removal_from_sys_modules_returns_same_module(self):
        saved = sys.modules.pop("velkorin")
        try:
            fresh = importlib.import_module("velkorin")
            assert fresh is saved
            assert fresh.__all__ is saved.__all__
        finally:
            sys.modules["velkorin"] = saved

    def test_doc_is_empty_string(self):
        assert velkorin.__doc__ == ""

    def test_name(self):
        assert velkorin.__name__ == "velkorin"


class TestRegistration:
    def test_all_is_a_list_in_registration_order(self):
        assert type(velkorin.__all__) is list
        present = [name for name in FINAL_NAMES if hasattr(velkorin, name)]
        assert velkorin.__all__ == present

    def test_current_names_registered(self):
        for name in ("linear_search", "binary_search", "PyQueue"):
            assert name in velkorin.__all__

    def test_every_name_in_all_is_attribute_and_in_dir(self):
        listing = dir(velkorin)
        for name in velkorin.__all__:
            assert hasattr(velkorin, name), name
            assert name in listing, name

    def test_no_duplicates_in_all(self):
        assert len(set(velkorin.__all__)) == len(velkorin.__all__)

    def test_star_import(self):
        namespace = {}
        exec("from velkorin import *", namespace)
        for name in velkorin.__all__:
            assert namespace[name] is getattr(velkorin, name)


def test_second_interpreter_is_refused():
    result = run_python(
        """
        import json, os
        import _testcapi
        import velkorin

        r, w = os.pipe()
        code = chr(10).join([
            "import os",
            "try:",
            "    import velkorin",
            "except ImportError as e:",
            "    out = 'ImportError' + chr(0) + str(e)",
            "except BaseException as e:",
            "    out = type(e).__name__ + chr(0) + str(e)",
            "else:",
            "    out = 'imported' + chr(0)",
            f"os.write({w}, out.encode())",
        ])
        status = _testcapi.run_in_subinterp(code)
        os.close(w)
        kind, message = os.read(r, 65536).decode().split(chr(0), 1)
        velkorin.linear_search([4], 4)
        print(json.dumps({"status": status, "kind": kind, "message": message,
                          "still_works": velkorin.linear_search([3, 4], 4)}))
        """
    )
    assert result.returncode == 0, result.stderr
    seen = json.loads(result.stdout)
    assert seen["status"] == 0
    assert seen["kind"] == "ImportError"
    if "velkorin does not yet support" in seen["message"]:
        assert seen["message"] == SUBINTERPRETER_MESSAGE
    assert seen["still_works"] == 1


@pytest.fixture(scope="module")
def panic_run():
    result = run_python(
        """
        import json, sys
        sys.modules["collections.abc"] = None
        import velkorin

        def call_with_except_exception():
            try:
                velkorin.binary_search(5, 1)
            except Exception:
                return "caught by except Exception"
            return "no exception"

        try:
            outcome = call_with_except_exception()
        except BaseException as e:
            first = e
        else:
            print(json.dumps({"outcome": outcome}))
            sys.exit(0)

        P = type(first)
        seen = {
            "outcome": "escaped",
            "message": str(first),
            "args": list(first.args),
            "name": P.__name__,
            "qualname": P.__qualname__,
            "module": P.__module__,
            "base_is_base_exception": P.__bases__ == (BaseException,),
            "doc": P.__doc__,
            "subclass_of_exception": issubclass(P, Exception),
        }

        class I:
            def __index__(self):
                raise raised

        raised = P("boom")
        print("=== resume ===", file=sys.stderr, flush=True)
        try:
            velkorin.linear_search([I()], 1)
        except BaseException as e:
            second = e
        sys.stderr.flush()
        seen["second_type_same"] = type(second) is P
        seen["second_is_new"] = second is not raised
        seen["second_message"] = str(second)
        seen["second_args"] = list(second.args)
        seen["after"] = velkorin.linear_search([7, 8], 8)
        print(json.dumps(seen))
        """
    )
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout), result.stderr


class TestPanicException:
    def test_import_failure_of_sequence_class_panics(self, panic_run):
        seen, _ = panic_run
        assert seen["outcome"] == "escaped"
        assert seen["message"].startswith("could not import collections.abc.Sequence: ")
        assert len(seen["message"]) > len("could not import collections.abc.Sequence: ")
        assert seen["args"] == [seen["message"]]

    def test_type(self, panic_run):
        seen, _ = panic_run
        assert seen["name"] == "PanicException"
        assert seen["qualname"] == "PanicException"
        assert seen["module"] == "velkorin_runtime"
        assert seen["base_is_base_exception"]
        assert not seen["subclass_of_exception"]
        assert seen["doc"] == PANIC_DOC

    def test_panic_from_python_becomes_new_panic(self, panic_run):
        seen, _ = panic_run
        assert seen["second_type_same"]
        assert seen["second_is_new"]
        assert seen["second_message"] == "boom"
        assert seen["second_args"] == ["boom"]
        assert seen["after"] == 1

    def test_resumed_panic_is_reported_on_stderr(self, panic_run):
        _, stderr = panic_run
        after = stderr.split("=== resume ===\n", 1)[1].splitlines()
        assert after[0] == "--- velkorin is resuming a panic after fetching a PanicException from Python. ---"
        assert after[1] == "Python stack trace below:"
        assert after[2] == "Traceback (most recent call last):"
        assert any("__index__" in line for line in after[3:])
        assert any(line.endswith("PanicException: boom") for line in after[3:])
        assert stderr.count("--- velkorin is resuming a panic") == 1


def test_initialisation_reentered_on_the_same_thread_does_not_wait_for_itself():
    # An import hook that calls back into the module while the module's first
    # "not a sequence" error imports collections.abc.
    result = run_python(
        """
        import json, sys
        import velkorin
        sys.modules.pop("collections.abc", None)
        inner = []
        class Hook:
            busy = False
            def find_spec(self, name, path=None, target=None):
                if name == "collections.abc" and not Hook.busy:
                    Hook.busy = True
                    try:
                        velkorin.merge_sort(5)
                    except BaseException as e:
                        inner.append(f"{type(e).__name__}: {e}")
                return None
        sys.meta_path.insert(0, Hook())
        outcomes = []
        for _ in range(2):
            try:
                velkorin.merge_sort(5)
            except BaseException as e:
                outcomes.append(f"{type(e).__name__}: {e}")
        print(json.dumps({"inner": inner, "outer": outcomes}))
        """
    )
    assert result.returncode == 0, result.stderr
    seen = json.loads(result.stdout)
    expected = "TypeError: argument 'v': 'int' object cannot be cast as 'Sequence'"
    assert seen["inner"] == [expected]
    assert seen["outer"] == [expected, expected]


# Python code that the module runs and that raises a PanicException: the
# panic goes on, even where an ordinary error would be dropped or replaced.
PANIC_THROUGH = """
import json, sys
sys.modules["collections.abc"] = None
import velkorin
try:
    velkorin.merge_sort(5)
except BaseException as e:
    P = type(e)
del sys.modules["collections.abc"]

class LenPanics:
    def __len__(self): raise P("from __len__")
    def __getitem__(self, i): raise IndexError(i)
class StrPanics(str):
    def __str__(self): raise P("from __str__ of a keyword")
class Unprintable:
    def __str__(self): raise P("from __str__ of an error")
class Index:
    def __index__(self): raise TypeError(Unprintable())

calls = {
    "length hint": lambda: velkorin.merge_sort(LenPanics()),
    "keyword name": lambda: velkorin.merge_sort(**{StrPanics("w"): 1}),
    "prefixed error": lambda: velkorin.merge_sort([Index()]),
}
print("=== " + WHERE + " ===", file=sys.stderr, flush=True)
try:
    calls[WHERE]()
except BaseException as e:
    print(json.dumps({"type": type(e) is P, "message": str(e)}))
"""


@pytest.mark.parametrize(
    "where, message",
    [
        ("length hint", "from __len__"),
        ("keyword name", "from __str__ of a keyword"),
        ("prefixed error", "from __str__ of an error"),
    ],
)
def test_panic_exception_from_python_is_never_swallowed(where, message):
    result = run_python(f"WHERE = {where!r}\n" + PANIC_THROUGH)
    assert result.returncode == 0, result.stderr
    assert json.loads(result.stdout) == {"type": True, "message": message}
    after = result.stderr.split(f"=== {where} ===\n", 1)[1].splitlines()
    assert after[0] == "--- velkorin is resuming a panic after fetching a PanicException from Python. ---"
    assert after[1] == "Python stack trace below:"
    assert any(line.endswith(f"PanicException: {message}") for line in after[2:])
    assert "Exception ignored" not in result.stderr


def test_instances_made_without_the_constructor_are_empty_and_work():
    result = run_python(
        """
        import json, velkorin as v
        seen = {}
        for name in v.__all__[6:]:
            cls = getattr(v, name)
            cls.__new__ = lambda c: object.__new__(c)
            a, b = cls(), cls()
            if name == "PyHashMap":
                before = [a.get("k"), a.contains("k"), a.to_dict()]
                a.insert("k", 1); a.insert("k", 2); b.insert("j", [])
                after = [a.get("k"), a.remove("k"), a.to_dict(), b.to_dict()]
            elif name == "PyPriorityQueue":
                before = [a.pop(), a.peek()]
                for x in (3, 9, 1): a.push(x)
                after = [a.pop(), a.pop(), a.peek()]
            elif name in ("PyQueue", "PyLinkedList"):
                push = a.push if name == "PyQueue" else a.push_back
                pop = a.pop if name == "PyQueue" else a.pop_front
                before = [a.len(), pop(), a.to_list()]
                push("x"); push(None); push("y")
                after = [a.len(), pop(), a.to_list()]
            else:
                before = [a.contains(5), a.remove(5), a.to_list()]
                after = [a.insert(5), a.insert(5), a.contains(5), a.remove(5), sorted(b.to_list())]
            seen[name] = [before, after]
            del a, b
        print(json.dumps(seen))
        """
    )
    assert result.returncode == 0, result.stderr
    assert json.loads(result.stdout) == {
        "PyLinkedList": [[0, None, []], [3, "x", [None, "y"]]],
        "PyHashMap": [[None, False, {}], [2, 2, {}, {"j": []}]],
        "PyHashSet": [[False, False, []], [True, False, True, True, []]],
        "PyBTreeSet": [[False, False, []], [True, False, True, True, []]],
        "PyQueue": [[0, None, []], [3, "x", [None, "y"]]],
        "PyPriorityQueue": [[None, None], [9, 3, 1]],
    }


# README.md and examples/ beside tests/python, in the checkout or in a copy of it.
SOURCE_DIR = Path(__file__).resolve().parents[2]


def test_tour_and_readme_tour_run_against_the_installed_module(tmp_path):
    readme = (SOURCE_DIR / "README.md").read_text()
    tour_section = readme.split("\n## A tour\n", 1)[1].split("\n## ", 1)[0]
    blocks = re.findall(r"^```python\n(.*?)^```", tour_section, re.M | re.S)
    assert blocks, "no python block in the README's tour"
    readme_tour = tmp_path / "readme_tour.py"
    readme_tour.write_text("\n".join(blocks))
    # Each script runs in a fresh interpreter, from an empty directory, after
    # checking that it imports the velkorin under test.
    check_and_run = (
        "import runpy, sys, velkorin\n"
        "assert velkorin.__file__ == sys.argv[1], velkorin.__file__\n"
        "runpy.run_path(sys.argv[2], run_name='__main__')\n"
    )
    for script in (SOURCE_DIR / "examples" / "tour.py", readme_tour):
        result = subprocess.run(
            [sys.executable, "-c", check_and_run, velkorin.__file__, str(script)],
            cwd=tmp_path, capture_output=True, text=True, timeout=120,
        )
        assert result.returncode == 0, f"{script}:\n{result.stderr}"
