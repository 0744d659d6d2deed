"""Interpreter allocation failures injected into every callable of the module.

A child process (this file run as a script) calls each case with
_testcapi.set_nomemory active, for start = 0, 1, 2, ... until the call keeps
succeeding. Each call must succeed with the right result, raise its own
expected error, or raise MemoryError or PanicException("Python API call
failed"); afterwards the container must hold exactly what it held (or the
post-state of a successful mutation). The child must never crash.

Two regimes: "persistent" (every allocation from the start-th on fails) and
"single" (only the start-th allocation fails).
"""

import gc
import json
import os
import subprocess
import sys

N = 300
MAX_START = 1000
SETTLE = 30  # consecutive clean outcomes that end a case


class Tag:
    __slots__ = ("n",)

    def __init__(self, n):
        self.n = n

    def __repr__(self):
        return f"Tag({self.n})"


class BigIndex:
    """__index__ builds a fresh int, so the conversion itself allocates."""

    def __init__(self, base):
        self.base = base

    def __index__(self):
        return self.base * 1000 + 7


class Seq:
    """Sequence protocol only (iteration through __getitem__)."""

    def __init__(self, n):
        self.n = n

    def __len__(self):
        return self.n

    def __getitem__(self, i):
        if i >= self.n:
            raise IndexError(i)
        return 10**7 - i * 13


class BadLen(Seq):
    def __len__(self):
        raise ValueError("no length")


class BadIter(Seq):
    def __iter__(self):
        raise ValueError("no iteration")


def _values(n, seed):
    # Distinct large ints (not cached), in a scrambled order.
    return [10**9 + (i * 7919 + seed) % 100_003 for i in range(n)]


NEW = Tag(-1)
TAGS = [Tag(i) for i in range(N)]
INTS = _values(N, 11)
SORTED = sorted(INTS)
ABSENT = 5 * 10**12
HIT = INTS[N // 2]
SORTED_HIT = SORTED[N // 3]
KEYS = [f"k{i}" for i in range(N)]
BIG_PUSH = 7 * 10**15


# --- containers and their Python models -------------------------------------


def _probe_ok(c, kind):
    """An exclusive borrow is free again: a change and its undo succeed."""
    probe = Tag(-99)
    if kind == "ll":
        c.push_back(probe)
        return c.pop_back() is probe
    if kind == "map":
        c.insert("\x00probe", probe)
        return c.remove("\x00probe") is probe
    if kind in ("hs", "bt"):
        return c.insert(-(2**62)) is True and c.remove(-(2**62)) is True
    return True  # q and pq snapshots pop everything, which is exclusive


def make(kind, V):
    if kind == "ll":
        c = V.PyLinkedList()
        for t in TAGS:
            c.push_back(t)
        return c, list(TAGS)
    if kind == "q":
        c = V.PyQueue()
        for t in TAGS:
            c.push(t)
        return c, list(TAGS)
    if kind == "pq":
        c = V.PyPriorityQueue()
        for v in INTS:
            c.push(v)
        return c, list(INTS)
    if kind == "map":
        c = V.PyHashMap()
        for k, t in zip(KEYS, TAGS):
            c.insert(k, t)
        return c, dict(zip(KEYS, TAGS))
    if kind == "hs":
        c = V.PyHashSet()
        for v in INTS:
            c.insert(v)
        return c, set(INTS)
    if kind == "bt":
        c = V.PyBTreeSet()
        for v in INTS:
            c.insert(v)
        return c, set(INTS)
    raise AssertionError(kind)


def snapshot(kind, c):
    """Contents of the container, in a form comparable with model_view()."""
    if kind == "ll":
        return [id(x) for x in c.to_list()]
    if kind == "q":
        out = []
        while c.len():
            out.append(id(c.pop()))
        return out
    if kind == "pq":
        out = []
        while (v := c.pop()) is not None:
            out.append(v)
        return out
    if kind == "map":
        return {k: id(v) for k, v in c.to_dict().items()}
    if kind == "hs":
        return sorted(c.to_list())
    if kind == "bt":
        return c.to_list()
    raise AssertionError(kind)


def model_view(kind, m):
    if kind in ("ll", "q"):
        return [id(x) for x in m]
    if kind == "pq":
        return sorted(m, reverse=True)
    if kind == "map":
        return {k: id(v) for k, v in m.items()}
    if kind in ("hs", "bt"):
        return sorted(m)
    raise AssertionError(kind)


# --- cases -------------------------------------------------------------------


class Case:
    def __init__(self, name, kind, call, model=None, raises=None, check=None, allocates=False, fresh=None):
        self.name = name
        self.kind = kind  # container kind, or None for functions and constructors
        self.call = call  # call(container, fresh_args) -> result
        self.model = model  # model(copy_of_model) -> expected result; mutates the copy
        self.raises = raises  # (type, message or None for "as without injection")
        self.check = check  # check(result) -> bool, for results without a model
        self.allocates = allocates  # the call must allocate: injection has to hit it
        self.fresh = fresh  # builds per-attempt arguments outside the injection


def _pq_pop(m):
    if not m:
        return None
    top = max(m)
    m.remove(top)
    return top


def _set_insert(m, v):
    if v in m:
        return False
    m.add(v)
    return True


def _set_remove(m, v):
    if v not in m:
        return False
    m.discard(v)
    return True


def _map_insert(m, k, v):
    m[k] = v


def _fresh_key():
    # A non-ASCII str made anew, so reading its UTF-8 text allocates.
    return "".join(["клю", "ч-é"])


def cases(V):
    TE = TypeError
    out = []
    add = out.append

    # constructors
    for cls in (V.PyLinkedList, V.PyQueue, V.PyPriorityQueue, V.PyHashMap, V.PyHashSet, V.PyBTreeSet):
        n = cls.__name__
        add(Case(f"{n}()", None, lambda c, a, cls=cls: cls(), check=lambda r, cls=cls: type(r) is cls, allocates=True))
        add(Case(f"{n}(1)", None, lambda c, a, cls=cls: cls(1),
                 raises=(TE, f"{n}.__new__() takes 0 positional arguments but 1 was given")))
        add(Case(f"{n}(x=1)", None, lambda c, a, cls=cls: cls(x=1),
                 raises=(TE, f"{n}.__new__() got an unexpected keyword argument 'x'")))

    # PyLinkedList
    L = "PyLinkedList"
    add(Case("ll.push_back", "ll", lambda c, a: c.push_back(NEW), lambda m: m.append(NEW)))
    add(Case("ll.push_front", "ll", lambda c, a: c.push_front(v=NEW), lambda m: m.insert(0, NEW)))
    add(Case("ll.pop_front", "ll", lambda c, a: c.pop_front(), lambda m: m.pop(0)))
    add(Case("ll.pop_back", "ll", lambda c, a: c.pop_back(), lambda m: m.pop()))
    add(Case("ll.len", "ll", lambda c, a: c.len(), lambda m: len(m), allocates=True))
    add(Case("ll.to_list", "ll", lambda c, a: c.to_list(), lambda m: list(m), allocates=True))
    add(Case("ll.push_back()", "ll", lambda c, a: c.push_back(),
             raises=(TE, f"{L}.push_back() missing 1 required positional argument: 'v'")))
    add(Case("ll.push_back(1, 2)", "ll", lambda c, a: c.push_back(1, 2),
             raises=(TE, f"{L}.push_back() takes 1 positional arguments but 2 were given")))
    add(Case("ll.push_front(w=1)", "ll", lambda c, a: c.push_front(w=1),
             raises=(TE, f"{L}.push_front() got an unexpected keyword argument 'w'")))
    add(Case("ll.push_back(1, v=2)", "ll", lambda c, a: c.push_back(1, v=2),
             raises=(TE, f"{L}.push_back() got multiple values for argument 'v'")))
    add(Case("PyLinkedList.len(5)", None, lambda c, a: V.PyLinkedList.len(5), raises=(TE, None)))

    # PyQueue
    Q = "PyQueue"
    add(Case("q.push", "q", lambda c, a: c.push(NEW), lambda m: m.append(NEW)))
    add(Case("q.push(v=)", "q", lambda c, a: c.push(v=NEW), lambda m: m.append(NEW)))
    add(Case("q.pop", "q", lambda c, a: c.pop(), lambda m: m.pop(0)))
    add(Case("q.peek", "q", lambda c, a: c.peek(), lambda m: m[0]))
    add(Case("q.len", "q", lambda c, a: c.len(), lambda m: len(m), allocates=True))
    add(Case("q.to_list", "q", lambda c, a: c.to_list(), lambda m: list(m), allocates=True))
    add(Case("q.push()", "q", lambda c, a: c.push(), raises=(TE, f"{Q}.push() missing 1 required positional argument: 'v'")))
    add(Case("q.push(1, v=2)", "q", lambda c, a: c.push(1, v=2),
             raises=(TE, f"{Q}.push() got multiple values for argument 'v'")))
    add(Case("q.push(V=1)", "q", lambda c, a: c.push(V=1), raises=(TE, f"{Q}.push() got an unexpected keyword argument 'V'")))

    # PyPriorityQueue
    P = "PyPriorityQueue"
    add(Case("pq.push", "pq", lambda c, a: c.push(BIG_PUSH), lambda m: m.append(BIG_PUSH)))
    add(Case("pq.push(__index__)", "pq", lambda c, a: c.push(a), lambda m: m.append(BigIndex(10**9).__index__()),
             fresh=lambda: BigIndex(10**9), allocates=True))
    add(Case("pq.pop", "pq", lambda c, a: c.pop(), _pq_pop, allocates=True))
    add(Case("pq.peek", "pq", lambda c, a: c.peek(), lambda m: max(m), allocates=True))
    add(Case("pq.push('x')", "pq", lambda c, a: c.push("x"),
             raises=(TE, "argument 'v': 'str' object cannot be interpreted as an integer")))
    add(Case("pq.push(2**64)", "pq", lambda c, a: c.push(2**64), raises=(OverflowError, None)))
    add(Case("pq.push()", "pq", lambda c, a: c.push(), raises=(TE, f"{P}.push() missing 1 required positional argument: 'v'")))

    # PyHashMap
    M = "PyHashMap"
    add(Case("map.insert(new)", "map", lambda c, a: c.insert("new-key", NEW), lambda m: _map_insert(m, "new-key", NEW)))
    add(Case("map.insert(fresh non-ASCII)", "map", lambda c, a: c.insert(a, NEW),
             lambda m: _map_insert(m, _fresh_key(), NEW), fresh=_fresh_key, allocates=True))
    add(Case("map.insert(replace)", "map", lambda c, a: c.insert(key=KEYS[7], value=NEW),
             lambda m: _map_insert(m, KEYS[7], NEW)))
    add(Case("map.get(hit)", "map", lambda c, a: c.get(KEYS[3]), lambda m: m[KEYS[3]]))
    add(Case("map.get(miss)", "map", lambda c, a: c.get("absent"), lambda m: None))
    add(Case("map.remove(hit)", "map", lambda c, a: c.remove(key=KEYS[5]), lambda m: m.pop(KEYS[5])))
    add(Case("map.remove(miss)", "map", lambda c, a: c.remove("absent"), lambda m: None))
    add(Case("map.contains(hit)", "map", lambda c, a: c.contains(KEYS[9]), lambda m: True))
    add(Case("map.contains(fresh)", "map", lambda c, a: c.contains(a), lambda m: False, fresh=_fresh_key, allocates=True))
    add(Case("map.to_dict", "map", lambda c, a: c.to_dict(), lambda m: dict(m), allocates=True))
    add(Case("map.insert(1, v)", "map", lambda c, a: c.insert(1, NEW),
             raises=(TE, "argument 'key': 'int' object cannot be cast as 'str'")))
    add(Case("map.insert('k')", "map", lambda c, a: c.insert("k"),
             raises=(TE, f"{M}.insert() missing 1 required positional argument: 'value'")))
    add(Case("map.insert()", "map", lambda c, a: c.insert(),
             raises=(TE, f"{M}.insert() missing 2 required positional arguments: 'key' and 'value'")))
    add(Case("map.get(surrogate)", "map", lambda c, a: c.get("\ud800"), raises=(UnicodeEncodeError, None)))

    # PyHashSet and PyBTreeSet
    for kind, S in (("hs", "PyHashSet"), ("bt", "PyBTreeSet")):
        add(Case(f"{kind}.insert(new)", kind, lambda c, a: c.insert(ABSENT), lambda m: _set_insert(m, ABSENT)))
        add(Case(f"{kind}.insert(old)", kind, lambda c, a: c.insert(v=HIT), lambda m: _set_insert(m, HIT)))
        add(Case(f"{kind}.insert(__index__)", kind, lambda c, a: c.insert(a),
                 lambda m: _set_insert(m, BigIndex(3).__index__()), fresh=lambda: BigIndex(3), allocates=True))
        add(Case(f"{kind}.contains(hit)", kind, lambda c, a: c.contains(HIT), lambda m: True))
        add(Case(f"{kind}.contains(miss)", kind, lambda c, a: c.contains(ABSENT), lambda m: False))
        add(Case(f"{kind}.remove(hit)", kind, lambda c, a: c.remove(HIT), lambda m: _set_remove(m, HIT)))
        add(Case(f"{kind}.remove(miss)", kind, lambda c, a: c.remove(v=ABSENT), lambda m: _set_remove(m, ABSENT)))
        add(Case(f"{kind}.to_list", kind, lambda c, a: c.to_list(),
                 (lambda m: sorted(m)) if kind == "bt" else None,
                 check=(lambda r: sorted(r) == sorted(INTS) and len(r) == N) if kind == "hs" else None, allocates=True))
        add(Case(f"{kind}.insert('x')", kind, lambda c, a: c.insert("x"),
                 raises=(TE, "argument 'v': 'str' object cannot be interpreted as an integer")))
        add(Case(f"{kind}.insert(2**70)", kind, lambda c, a: c.insert(2**70), raises=(OverflowError, None)))
        add(Case(f"{kind}.remove()", kind, lambda c, a: c.remove(),
                 raises=(TE, f"{S}.remove() missing 1 required positional argument: 'v'")))

    # functions
    tup = tuple(INTS)
    rng = range(10**6 + N, 10**6, -1)
    sorts = (V.merge_sort, V.quick_sort, V.bubble_sort, V.selection_sort)
    for f in sorts:
        n = f.__name__
        add(Case(f"{n}(list)", None, lambda c, a, f=f: f(INTS), check=lambda r: r == SORTED, allocates=True))
        add(Case(f"{n}()", None, lambda c, a, f=f: f(), raises=(TE, f"{n}() missing 1 required positional argument: 'v'")))
        add(Case(f"{n}(5)", None, lambda c, a, f=f: f(5), raises=(TE, "argument 'v': 'int' object cannot be cast as 'Sequence'")))
    add(Case("merge_sort(tuple)", None, lambda c, a: V.merge_sort(tup), check=lambda r: r == SORTED, allocates=True))
    add(Case("quick_sort(range)", None, lambda c, a: V.quick_sort(rng), check=lambda r: r == sorted(rng), allocates=True))
    add(Case("bubble_sort(bytes)", None, lambda c, a: V.bubble_sort(bytes(range(200, 0, -1))),
             check=lambda r: r == list(range(1, 201)), allocates=True))
    add(Case("selection_sort(Seq)", None, lambda c, a: V.selection_sort(a), fresh=lambda: Seq(N),
             check=lambda r: r == sorted(Seq(N)), allocates=True))
    add(Case("merge_sort(BadLen)", None, lambda c, a: V.merge_sort(a), fresh=lambda: BadLen(50),
             check=lambda r: r == sorted(Seq(50)), allocates=True))
    add(Case("merge_sort(BadIter)", None, lambda c, a: V.merge_sort(a), fresh=lambda: BadIter(5),
             raises=(ValueError, "no iteration")))
    add(Case("quick_sort(a, b)", None, lambda c, a: V.quick_sort(INTS, INTS),
             raises=(TE, "quick_sort() takes 1 positional arguments but 2 were given")))
    add(Case("bubble_sort(x=1)", None, lambda c, a: V.bubble_sort(x=1),
             raises=(TE, "bubble_sort() got an unexpected keyword argument 'x'")))
    add(Case("selection_sort(str)", None, lambda c, a: V.selection_sort("321"),
             raises=(TE, "argument 'v': Can't extract `str` to `Vec`")))
    add(Case("merge_sort([1.0])", None, lambda c, a: V.merge_sort([3, 1.0]),
             raises=(TE, "argument 'v': 'float' object cannot be interpreted as an integer")))
    add(Case("quick_sort([2**63])", None, lambda c, a: V.quick_sort([1, 2**63]), raises=(OverflowError, None)))
    add(Case("merge_sort({})", None, lambda c, a: V.merge_sort({1: 2}),
             raises=(TE, "argument 'v': 'dict' object cannot be cast as 'Sequence'")))
    add(Case("binary_search(hit)", None, lambda c, a: V.binary_search(SORTED, SORTED_HIT),
             check=lambda r: r == N // 3, allocates=False))
    add(Case("binary_search(miss)", None, lambda c, a: V.binary_search(v=SORTED, target=ABSENT), check=lambda r: r is None))
    add(Case("linear_search(hit)", None, lambda c, a: V.linear_search(tup, HIT), check=lambda r: r == N // 2))
    add(Case("linear_search(miss)", None, lambda c, a: V.linear_search(INTS, -1), check=lambda r: r is None))
    add(Case("linear_search(Seq)", None, lambda c, a: V.linear_search(a, 10**7 - 13 * 250), fresh=lambda: Seq(N),
             check=lambda r: r == 250, allocates=True))
    add(Case("binary_search()", None, lambda c, a: V.binary_search(),
             raises=(TE, "binary_search() missing 2 required positional arguments: 'v' and 'target'")))
    add(Case("binary_search(v)", None, lambda c, a: V.binary_search(SORTED),
             raises=(TE, "binary_search() missing 1 required positional argument: 'target'")))
    add(Case("linear_search(v, 'x')", None, lambda c, a: V.linear_search(INTS, "x"),
             raises=(TE, "argument 'target': 'str' object cannot be interpreted as an integer")))
    add(Case("linear_search(v, 2**64)", None, lambda c, a: V.linear_search(INTS, 2**64), raises=(OverflowError, None)))
    return out


# --- the child process -------------------------------------------------------


def _same(a, b):
    return type(a) is type(b) and a == b


class Failed(Exception):
    pass


_EXPECTED = object()
UNNAMED = "'<failed to extract type name>' object cannot be cast as"


def _degraded(error, expected_exc):
    """The cast message with the fallback for a type name that cannot be had."""
    exp_type, exp_msg = expected_exc
    if type(error) is not exp_type or "' object cannot be cast as" not in exp_msg:
        return False
    head, _, tail = exp_msg.partition("' object cannot be cast as")
    return str(error) == head[: head.rindex("'")] + UNNAMED + tail


def _interpreter_lost_error(error):
    """The interpreter's own failure inside one of the Python helpers above."""
    text = str(error)
    return (type(error) is SystemError and "returned NULL without setting an exception" in text
            and any(n in text for n in ("Seq.__getitem__", "BadIter.__iter__", "BigIndex.__index__")))


def run_case(case, V, testcapi, Panic, stop_after):
    """Returns (starts tried, outcome counts); raises Failed on a fault."""
    expected_exc = case.raises
    if expected_exc and expected_exc[1] is None:
        # Interpreter-made message: take it from a run without injection.
        c = make(case.kind, V)[0] if case.kind else None
        try:
            case.call(c, case.fresh() if case.fresh else None)
        except expected_exc[0] as e:
            expected_exc = (expected_exc[0], str(e))
        else:
            raise Failed("no error without injection")
    counts = {"ok": 0, "memory": 0, "panic": 0, "degraded": 0, "interpreter": 0}
    clean = 0
    for start in range(MAX_START):
        print(f"TRY {start}", flush=True)
        if case.kind:
            c, m = make(case.kind, V)
            before = model_view(case.kind, m)
        else:
            c = m = before = None
        arg = case.fresh() if case.fresh else None
        post = expected = None
        if case.model is not None:
            post_m = type(m)(m)
            expected = case.model(post_m)
            post = model_view(case.kind, post_m)
        result = error = None
        testcapi.set_nomemory(start, stop_after(start))
        try:
            result = case.call(c, arg)
        except BaseException as e:  # noqa: BLE001
            testcapi.remove_mem_hooks()
            error = e
        else:
            testcapi.remove_mem_hooks()

        where = f"start={start}"
        changed = False
        if error is not None and expected_exc and type(error) is expected_exc[0] and str(error) == expected_exc[1]:
            error = None
            result = _EXPECTED
        if error is None:
            if result is _EXPECTED:
                changed = False
            elif expected_exc:
                raise Failed(f"{where}: returned {result!r}, expected {expected_exc[0].__name__}")
            else:
                if case.model is not None and not _same(result, expected):
                    raise Failed(f"{where}: returned {result!r}, expected {expected!r}")
                if case.check is not None and not case.check(result):
                    raise Failed(f"{where}: wrong result {result!r}")
                changed = True
            clean += 1
            counts["ok"] += 1
        else:
            clean = 0
            if type(error) is MemoryError:
                counts["memory"] += 1
            elif type(error) is Panic and str(error) == "Python API call failed":
                counts["panic"] += 1
            elif expected_exc and _degraded(error, expected_exc):
                counts["degraded"] += 1
            elif _interpreter_lost_error(error):
                counts["interpreter"] += 1
            else:
                raise Failed(f"{where}: raised {type(error).__qualname__}: {error}")
        if case.kind:
            try:
                got = snapshot(case.kind, c)
                probe = _probe_ok(c, case.kind)
            except BaseException as e:  # noqa: BLE001
                raise Failed(f"{where}: container unusable after the call: {type(e).__name__}: {e}") from None
            want = post if (changed and post is not None) else before
            if got != want:
                after = "success" if changed else "its error" if error is None else type(error).__name__
                raise Failed(f"{where}: contents differ from the model after {after} "
                             f"({len(got)} elements, expected {len(want)})")
            if not probe:
                raise Failed(f"{where}: container misbehaves after the call")
        if clean >= SETTLE:
            return start + 1, counts
    raise Failed(f"no clean success within {MAX_START} starts")


def driver(regime, names):
    import collections.abc  # noqa: F401

    import _testcapi
    import velkorin as V

    gc.disable()
    # Create the PanicException type before injecting (its creation under an
    # allocation failure ends the process by design).
    saved = sys.modules["collections.abc"]
    sys.modules["collections.abc"] = None
    try:
        V.merge_sort(5)
    except BaseException as e:  # noqa: BLE001
        Panic = type(e)
    finally:
        sys.modules["collections.abc"] = saved
    assert Panic.__name__ == "PanicException", Panic
    try:
        V.merge_sort(5)  # fills the cached Sequence class
    except TypeError:
        pass

    stop_after = (lambda s: 0) if regime == "persistent" else (lambda s: s + 1)
    table = {c.name: c for c in cases(V)}
    for name in names:
        case = table[name]
        print(f"BEGIN {name}", flush=True)
        try:
            starts, counts = run_case(case, V, _testcapi, Panic, stop_after)
            if case.allocates and counts["memory"] + counts["panic"] == 0:
                raise Failed("no injected failure ever reached the call")
            res = {"case": name, "status": "pass", "starts": starts, "counts": counts}
        except Failed as e:
            res = {"case": name, "status": "fail", "detail": str(e)}
        print("RESULT " + json.dumps(res), flush=True)
    print("ok", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(driver(sys.argv[1], json.loads(sys.stdin.read())))


# --- pytest side ---------------------------------------------------------------

import pytest  # noqa: E402

REGIMES = ("persistent", "single")
CRASH_MARKERS = ("uncaught panic", "Fatal Python error", "AddressSanitizer", "runtime error:",
                 "memory allocation of", "Segmentation fault", "Aborted")


def _child(args, stdin=""):
    return subprocess.run([sys.executable, __file__, *args], input=stdin, capture_output=True, text=True,
                          env=os.environ, timeout=300)


CASE_NAMES = [c.name for c in cases(__import__("velkorin"))]


def _run_regime(regime):
    """Runs every case; after a crash, records it and restarts with the rest."""
    results = {}
    runs = []
    todo = list(CASE_NAMES)
    while todo:
        proc = _child([regime], json.dumps(todo))
        current = last_try = None
        for line in proc.stdout.splitlines():
            if line.startswith("BEGIN "):
                current, last_try = line[6:], None
            elif line.startswith("TRY "):
                last_try = line[4:]
            elif line.startswith("RESULT "):
                res = json.loads(line[7:])
                results[res["case"]] = res
                current = None
        finished = proc.stdout.splitlines()[-1:] == ["ok"]
        runs.append((proc.returncode, finished))
        if current is None:
            assert finished and proc.returncode == 0, (
                f"child ended with {proc.returncode} outside any case:\n{proc.stderr[-3000:]}")
            break
        markers = [ln for ln in proc.stderr.splitlines() if any(k in ln for k in CRASH_MARKERS)]
        results[current] = {
            "case": current, "status": "crash",
            "detail": f"process died (return code {proc.returncode}) at start={last_try}: "
                      + " | ".join(markers[-3:]),
        }
        todo = todo[todo.index(current) + 1:]
    return results, runs


_cache = {}


def _results(regime):
    if regime not in _cache:
        _cache[regime] = _run_regime(regime)
    return _cache[regime]


@pytest.mark.parametrize("regime", REGIMES)
@pytest.mark.parametrize("name", CASE_NAMES)
def test_call_under_allocation_failures(regime, name):
    results, _ = _results(regime)
    res = results[name]
    assert res["status"] == "pass", f"{name} [{regime}]: {res['status']}: {res['detail']}"


@pytest.mark.parametrize("regime", REGIMES)
def test_child_process_exits_cleanly(regime):
    _, runs = _results(regime)
    crashed = [rc for rc, finished in runs if rc != 0 or not finished]
    assert not crashed, f"{len(crashed)} of {len(runs)} child runs died (return codes {crashed})"


def test_injection_reaches_the_module():
    results, _ = _results("single")
    hit = [r for r in results.values() if r["status"] == "pass" and r["counts"]["panic"] > 0]
    assert hit, "no call ever raised PanicException('Python API call failed')"
