"""Benchmark case declarations and measurement.

A case is one declaration: `time_case(...)` times a velkorin statement against
a peer statement in the same process; `memory_case(...)` compares resident
growth in fresh subprocesses. Case modules (`cases_*.py`) only declare.
"""

import functools
import random
import re
import statistics
import timeit
from dataclasses import dataclass
from fractions import Fraction

from memory import SnippetError, rss_growth

VELKORIN_API = (
    "bubble_sort", "selection_sort", "quick_sort", "merge_sort", "linear_search", "binary_search",
    "PyLinkedList", "PyHashMap", "PyHashSet", "PyBTreeSet", "PyQueue", "PyPriorityQueue",
)

CASES = []

# Setup snippet for memory cases: 1,000,000 random 62-bit ints held compactly,
# so each side pays for the int objects it keeps, not for the input.
RANDOM_INTS_ARRAY = (
    "import random\nfrom array import array\n"
    "_r = random.Random(1)\n"
    "data = array('q', (_r.getrandbits(62) for _ in range(1_000_000)))\n"
)


@functools.cache
def rand_ints(n, seed=1, bits=62):
    r = random.Random(seed)
    return [r.getrandbits(bits) for _ in range(n)]


@functools.cache
def objects(n):
    return [object() for _ in range(n)]


def parse_target(target):
    """'1.20' or '1/3' or 0.8 -> (limit as float, label)."""
    if target is None:
        return None, "-"
    limit = float(Fraction(str(target)))
    return limit, f"<= {target}"


class Skip(Exception):
    """The case cannot run here (API or peer package missing)."""


def skip_reason(exc):
    """A note when `exc` means 'not available here', else None."""
    text = f"{type(exc).__name__}: {exc}"
    if m := re.search(r"No module named '([\w.]+)'", text):
        return f"not installed: {m.group(1)}"
    if m := re.search(r"name '(\w+)' is not defined", text):
        if m.group(1) in VELKORIN_API:
            return f"velkorin has no {m.group(1)}"
    if m := re.search(r"'(?:\w+\.)?(Py\w+)' object has no attribute '(\w+)'", text):
        return f"velkorin has no {m.group(1)}.{m.group(2)}"
    if m := re.search(r"module 'velkorin' has no attribute '(\w+)'", text):
        return f"velkorin has no {m.group(1)}"
    return None


def velkorin_names():
    try:
        import velkorin
    except ImportError:
        return {}
    names = {n: getattr(velkorin, n) for n in dir(velkorin) if not n.startswith("_")}
    names["velkorin"] = velkorin
    return names


@dataclass
class Result:
    velkorin: float | None = None   # seconds, bytes or ns per step
    peer: float | None = None
    ratio: float | None = None
    note: str = ""


@dataclass
class TimeCase:
    name: str
    setup: str                  # run once, shared by both sides
    stmt: str                   # the velkorin side
    peer: str | None            # display name; None: report only
    peer_stmt: str | None
    target: object = None       # goal for velkorin / peer, e.g. "1.20" or "1/3"
    number: int = 1             # executions per timing
    prep: str = ""              # run before every timing, untimed
    peer_prep: str | None = None
    steps: int | None = None    # report ns per step (per execution) instead of time
    unit = "s"

    def measure(self, repeats):
        ns = {"rand_ints": rand_ints, "objects": objects, **velkorin_names()}
        exec(self.setup, ns)
        timers = [timeit.Timer(self.stmt, self.prep, globals=ns)]
        if self.peer_stmt is not None:
            prep = self.prep if self.peer_prep is None else self.peer_prep
            timers.append(timeit.Timer(self.peer_stmt, prep, globals=ns))
        samples = [[] for _ in timers]
        for r in range(repeats):
            order = range(len(timers)) if r % 2 == 0 else reversed(range(len(timers)))
            for i in order:
                samples[i].append(timers[i].timeit(self.number) / self.number)
        medians = [statistics.median(s) for s in samples]
        if self.steps:
            return Result(velkorin=medians[0] * 1e9 / self.steps)
        if len(medians) == 1:
            return Result(velkorin=medians[0])
        return Result(medians[0], medians[1], medians[0] / medians[1])


@dataclass
class MemoryCase:
    name: str
    setup: str                  # run in each fresh process before measuring
    build: str                  # the velkorin side; its objects stay alive
    peer: str
    peer_build: str
    target: object = None
    unit = "B"

    def measure(self, repeats):
        samples = ([], [])
        try:
            for r in range(repeats):
                order = (0, 1) if r % 2 == 0 else (1, 0)
                for i in order:
                    samples[i].append(rss_growth((self.build, self.peer_build)[i], self.setup))
        except SnippetError as exc:
            raise Skip(skip_reason(exc) or f"error: {exc}") from exc
        v, p = (statistics.median(s) for s in samples)
        return Result(v, p, v / p if p > 0 else None)


def time_case(name, setup, stmt, peer, peer_stmt, target=None, **options):
    CASES.append(TimeCase(name, setup, stmt, peer, peer_stmt, target, **options))


def memory_case(name, setup, build, peer, peer_build, target=None):
    CASES.append(MemoryCase(name, setup, build, peer, peer_build, target))
