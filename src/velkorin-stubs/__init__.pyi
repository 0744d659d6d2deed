"""Native containers and algorithms over 64-bit integers and Python objects.

"int64" below means an ``int`` (or ``bool``, or any object with ``__index__``)
in -2**63 .. 2**63-1. Every parameter is required and may be passed by
position or by keyword. A value outside the int64 range raises the
interpreter's ``OverflowError``; a non-integer where an int64 is expected
raises ``TypeError`` "argument 'v': ..." (the parameter's name, then the
interpreter's text). A failed call changes nothing.

The classes have no container protocols (``len()``, ``in``, iteration,
indexing): use their ``len``, ``contains`` and ``to_list`` methods. Python
code that runs during a call (an argument's ``__index__``, a finalizer) and
calls back into the same container gets ``RuntimeError`` "Already borrowed"
(for a change) or "Already mutably borrowed" (for a read). Instances
cannot be pickled or copied: ``pickle`` and ``copy`` raise ``TypeError``
"cannot pickle 'builtins.PyQueue' object" (with the class's name).
"""

from collections.abc import Sequence
from typing import Any, SupportsIndex, final

__all__ = [
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

def bubble_sort(v: Sequence[SupportsIndex]) -> list[int]:
    """Return a new ascending list of the int64 values of ``v``; ``v`` is unchanged.

    Bubble sort: one pass over already sorted input, quadratic otherwise.
    Returns ``[]`` for an empty sequence.

    Raises:
        TypeError: ``v`` is a ``str`` ("argument 'v': Can't extract `str` to
            `Vec`"), is not a sequence ("argument 'v': 'set' object cannot be
            cast as 'Sequence'"), or holds a non-integer ("argument 'v': ...").
        OverflowError: an element is outside the int64 range.
    """

def selection_sort(v: Sequence[SupportsIndex]) -> list[int]:
    """Return a new ascending list of the int64 values of ``v``; ``v`` is unchanged.

    Selection sort: always quadratic, at most ``len(v) - 1`` swaps.
    Returns ``[]`` for an empty sequence.

    Raises:
        TypeError: ``v`` is a ``str``, is not a sequence, or holds a
            non-integer (as for ``bubble_sort``).
        OverflowError: an element is outside the int64 range.
    """

def quick_sort(v: Sequence[SupportsIndex]) -> list[int]:
    """Return a new ascending list of the int64 values of ``v``; ``v`` is unchanged.

    Quick sort with the last element as pivot: n log n on shuffled input, but
    quadratic on input that is already sorted, reversed, all equal or has few
    distinct values (its stack depth stays bounded all the same).
    Returns ``[]`` for an empty sequence.

    Raises:
        TypeError: ``v`` is a ``str``, is not a sequence, or holds a
            non-integer (as for ``bubble_sort``).
        OverflowError: an element is outside the int64 range.
    """

def merge_sort(v: Sequence[SupportsIndex]) -> list[int]:
    """Return a new ascending list of the int64 values of ``v``; ``v`` is unchanged.

    Merge sort: n log n comparisons on any input. Returns ``[]`` for an empty
    sequence.

    Raises:
        TypeError: ``v`` is a ``str``, is not a sequence, or holds a
            non-integer (as for ``bubble_sort``).
        OverflowError: an element is outside the int64 range.
    """

def linear_search(v: Sequence[SupportsIndex], target: SupportsIndex) -> int | None:
    """Return the index of the first element of ``v`` equal to ``target``.

    Returns ``None`` when no element equals ``target`` (``v`` empty included).
    The whole of ``v`` is copied and converted on every call, before
    ``target``, so its errors come first.

    Raises:
        TypeError: ``v`` is a ``str``, is not a sequence, or holds a
            non-integer ("argument 'v': ..."); ``target`` is not an integer
            ("argument 'target': ...").
        OverflowError: an element or ``target`` is outside the int64 range.
    """

def binary_search(v: Sequence[SupportsIndex], target: SupportsIndex) -> int | None:
    """Return the index at which a halving search of ascending ``v`` finds ``target``.

    Returns ``None`` when the probes do not find ``target`` (``v`` empty
    included). ``v`` is not checked to be sorted: on unsorted input the result
    is ``None`` or the index of an element that really equals ``target``,
    but an occurrence may be missed. With duplicates the index is that of the
    first probe that hits, not necessarily the first occurrence (use
    ``linear_search`` for that). The whole of ``v`` is copied and converted
    on every call, so for repeated lookups in one list use ``bisect``.

    Raises:
        TypeError: ``v`` is a ``str``, is not a sequence, or holds a
            non-integer ("argument 'v': ..."); ``target`` is not an integer
            ("argument 'target': ...").
        OverflowError: an element or ``target`` is outside the int64 range.
    """

@final
class PyLinkedList:
    """A double-ended list of any Python objects (``None`` included).

    Stores the objects themselves, not copies. ``PyLinkedList()`` takes no
    arguments (any argument is a ``TypeError``). Cannot be subclassed,
    pickled or copied; not tracked by the cycle collector, so a list that
    holds itself is never freed.
    """

    def __init__(self) -> None: ...
    def push_back(self, v: object) -> None:
        """Add ``v`` at the back. Returns ``None``."""

    def push_front(self, v: object) -> None:
        """Add ``v`` at the front. Returns ``None``."""

    def pop_front(self) -> Any:
        """Remove and return the front object; ``None`` when the list is empty.

        A stored ``None`` comes back as ``None`` too: ask ``len()`` to tell
        the two apart.
        """

    def pop_back(self) -> Any:
        """Remove and return the back object; ``None`` when the list is empty.

        A stored ``None`` comes back as ``None`` too: ask ``len()`` to tell
        the two apart.
        """

    def len(self) -> int:
        """Return the number of objects; ``0`` when empty."""

    def to_list(self) -> list[Any]:
        """Return a new list of the objects, front to back; ``[]`` when empty."""

@final
class PyHashMap:
    """A hash map from ``str`` keys to any Python objects.

    Keys are stored as their UTF-8 text; values are the objects themselves.
    Has no order. ``PyHashMap()`` takes no arguments (any argument is a
    ``TypeError``). Cannot be subclassed, pickled or copied; not tracked by
    the cycle collector.

    Every ``key`` parameter raises ``TypeError`` "argument 'key': 'int' object
    cannot be cast as 'str'" (with the given type's name) for a non-``str``,
    and ``UnicodeEncodeError`` for a ``str`` holding a lone surrogate.
    """

    def __init__(self) -> None: ...
    def insert(self, key: str, value: object) -> None:
        """Store ``value`` under ``key``, replacing any value already there. Returns ``None``."""

    def get(self, key: str) -> Any:
        """Return the object stored under ``key``; ``None`` when the key is absent.

        A stored ``None`` comes back as ``None`` too: use ``contains`` to
        tell the two apart.
        """

    def remove(self, key: str) -> Any:
        """Remove ``key`` and return its object; ``None`` when the key is absent."""

    def contains(self, key: str) -> bool:
        """Return whether ``key`` is present; ``False`` when absent."""

    def to_dict(self) -> dict[str, Any]:
        """Return a new dict of the entries, in no particular order; ``{}`` when empty."""

@final
class PyHashSet:
    """An unordered set of int64 values, stored unboxed (8 bytes each).

    ``PyHashSet()`` takes no arguments (any argument is a ``TypeError``).
    Cannot be subclassed, pickled or copied. Every ``v`` parameter raises
    ``TypeError`` "argument 'v': ..." for a non-integer and ``OverflowError``
    outside the int64 range.
    """

    def __init__(self) -> None: ...
    def insert(self, v: SupportsIndex) -> bool:
        """Add ``v``. Returns ``True`` if it was added, ``False`` if it was already present."""

    def contains(self, v: SupportsIndex) -> bool:
        """Return whether ``v`` is present; ``False`` when absent."""

    def remove(self, v: SupportsIndex) -> bool:
        """Remove ``v``. Returns ``True`` if it was removed, ``False`` if it was absent."""

    def to_list(self) -> list[int]:
        """Return a new list of the values as plain ``int``, in no particular order; ``[]`` when empty."""

@final
class PyBTreeSet:
    """An ordered set of int64 values in a B-tree, stored unboxed.

    ``PyBTreeSet()`` takes no arguments (any argument is a ``TypeError``).
    Cannot be subclassed, pickled or copied. Every ``v`` parameter raises
    ``TypeError`` "argument 'v': ..." for a non-integer and ``OverflowError``
    outside the int64 range.
    """

    def __init__(self) -> None: ...
    def insert(self, v: SupportsIndex) -> bool:
        """Add ``v``. Returns ``True`` if it was added, ``False`` if it was already present."""

    def contains(self, v: SupportsIndex) -> bool:
        """Return whether ``v`` is present; ``False`` when absent."""

    def remove(self, v: SupportsIndex) -> bool:
        """Remove ``v``. Returns ``True`` if it was removed, ``False`` if it was absent."""

    def to_list(self) -> list[int]:
        """Return a new list of the values as plain ``int``, ascending; ``[]`` when empty."""

@final
class PyQueue:
    """A first-in, first-out queue of any Python objects (``None`` included).

    Stores the objects themselves, not copies. ``PyQueue()`` takes no
    arguments (any argument is a ``TypeError``). Cannot be subclassed,
    pickled or copied; not tracked by the cycle collector, so a queue that
    holds itself is never freed.
    """

    def __init__(self) -> None: ...
    def push(self, v: object) -> None:
        """Add ``v`` at the back. Returns ``None``."""

    def pop(self) -> Any:
        """Remove and return the front object; ``None`` when the queue is empty.

        A stored ``None`` comes back as ``None`` too: ask ``len()`` to tell
        the two apart.
        """

    def peek(self) -> Any:
        """Return the front object without removing it; ``None`` when the queue is empty."""

    def len(self) -> int:
        """Return the number of objects; ``0`` when empty."""

    def to_list(self) -> list[Any]:
        """Return a new list of the objects, front to back; ``[]`` when empty."""

@final
class PyPriorityQueue:
    """A max-priority queue of int64 values, stored unboxed: the greatest comes out first.

    Has no ``len`` or ``to_list``: values come out only through ``pop``.
    ``PyPriorityQueue()`` takes no arguments (any argument is a
    ``TypeError``). Cannot be subclassed, pickled or copied.
    """

    def __init__(self) -> None: ...
    def push(self, v: SupportsIndex) -> None:
        """Add the int64 value ``v``. Returns ``None``.

        Raises:
            TypeError: ``v`` is not an integer ("argument 'v': ...").
            OverflowError: ``v`` is outside the int64 range.
        """

    def pop(self) -> int | None:
        """Remove and return the greatest value as a plain ``int``; ``None`` when empty."""

    def peek(self) -> int | None:
        """Return the greatest value without removing it; ``None`` when empty."""
