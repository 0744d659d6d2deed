"""Helpers shared by several test modules."""

import ctypes

import pytest

INT64_MIN = -(2**63)
INT64_MAX = 2**63 - 1


def interpreter_error(obj):
    """The exception the interpreter's own 64-bit conversion raises for obj."""
    as_long_long = ctypes.pythonapi.PyLong_AsLongLong
    as_long_long.argtypes = [ctypes.py_object]
    as_long_long.restype = ctypes.c_longlong
    with pytest.raises(Exception) as info:
        as_long_long(obj)
    return info.value


def same_objects(a, b):
    return len(a) == len(b) and all(x is y for x, y in zip(a, b))


class Item:
    """A weak-referenceable element that records its own destruction."""

    def __init__(self, name, log=None):
        self.name = name
        self.log = log

    def __del__(self):
        if self.log is not None:
            self.log.append(self.name)

    def __repr__(self):
        return f"Item({self.name!r})"


class FailingItem(Item):
    """An Item whose finalizer records it, then raises ValueError."""

    def __del__(self):
        self.log.append(self.name)
        raise ValueError("finalizer failed")


class Index:
    """Not an int, but converts to `value` through __index__."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class CustomSequence:
    """A plain sequence: only __len__ and __getitem__."""

    def __init__(self, items):
        self.items = list(items)

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


class Reentrant:
    """An integer whose conversion runs `action`, e.g. a call back into the container converting it.

    With catch=True a RuntimeError from `action` is kept (`caught`, `caught_messages`) instead of raised.
    """

    def __init__(self, value, action, catch=False):
        self.value = value
        self.action = action
        self.catch = catch
        self.caught = None
        self.caught_messages = []
        self.inner_result = None

    def __index__(self):
        if self.catch:
            try:
                self.inner_result = self.action()
            except RuntimeError as e:
                self.caught = e
                self.caught_messages.append(str(e))
        else:
            self.inner_result = self.action()
        return self.value
