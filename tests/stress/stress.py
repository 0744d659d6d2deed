"""Exercise every callable of velkorin, error paths included, N times.

    python tests/stress/stress.py N [--warmup W] [--report-rss]

Used by scripts/leak-check.sh: under valgrind memcheck (leaks through the
module), and twice without it (N and 2N rounds) to compare the growth of the
resident size after a warm-up.
"""

import argparse
import gc
import os
import sys

import velkorin as v

INT_CLASSES = (v.PyPriorityQueue, v.PyHashSet, v.PyBTreeSet)
ALL_CLASSES = (v.PyLinkedList, v.PyQueue, v.PyPriorityQueue, v.PyHashMap, v.PyHashSet, v.PyBTreeSet)
SORTS = (v.merge_sort, v.quick_sort, v.bubble_sort, v.selection_sort)
SEARCHES = (v.binary_search, v.linear_search)
PanicException = None


class Tag:
    def __init__(self, n):
        self.n = n


class Index:
    def __init__(self, n):
        self.n = n

    def __index__(self):
        return self.n


class BadIndex:
    def __index__(self):
        raise ValueError("bad index")


class TypeErrorIndex:
    def __index__(self):
        raise TypeError("index refuses")


class PanicIndex:
    def __index__(self):
        raise PanicException("from python")


class Reenter:
    """__index__ that calls back into the container being changed."""

    def __init__(self, target, call, n):
        self.target = target
        self.call = call
        self.n = n
        self.seen = None

    def __index__(self):
        try:
            self.call(self.target)
        except RuntimeError as e:
            self.seen = str(e)
        return self.n


class Seq:
    def __init__(self, n):
        self.n = n

    def __len__(self):
        return self.n

    def __getitem__(self, i):
        if i >= self.n:
            raise IndexError(i)
        return (i * 7919) % 1000 + 10**6


class BadLen(Seq):
    def __len__(self):
        raise ValueError("no len")


class LyingLen(Seq):
    def __len__(self):
        return 10**9


class BadIter(Seq):
    def __iter__(self):
        raise ValueError("no iter")


class BadNext(Seq):
    def __getitem__(self, i):
        if i == 5:
            raise KeyError("no item")
        return super().__getitem__(i)


class ReentrantDel:
    """Finalizer run while the map holding it is exclusively borrowed."""

    def __init__(self, m):
        self.m = m

    def __del__(self):
        try:
            self.m.get("k")
        except RuntimeError:
            pass


def expect(exc, fn, *args, **kwargs):
    try:
        fn(*args, **kwargs)
    except exc:
        return
    raise AssertionError(f"{fn!r} did not raise {exc.__name__}")


class QuietStderr:
    """Panics print tracebacks to fd 2; keep the stress output readable."""

    def __enter__(self):
        sys.stderr.flush()
        self.saved = os.dup(2)
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, 2)
        os.close(null)

    def __exit__(self, *exc):
        os.dup2(self.saved, 2)
        os.close(self.saved)


def setup():
    """The one-time paths: the failed import of collections.abc (a panic)."""
    global PanicException
    import collections.abc  # noqa: F401

    saved = sys.modules["collections.abc"]
    sys.modules["collections.abc"] = None
    try:
        v.merge_sort(5)
    except BaseException as e:  # noqa: BLE001
        PanicException = type(e)
    finally:
        sys.modules["collections.abc"] = saved
    assert PanicException.__name__ == "PanicException"


def binding_errors(fn, nparams, params):
    expect(TypeError, fn, *range(nparams + 1))
    expect(TypeError, fn, bogus=1)
    expect(TypeError, fn, **{"\udcff": 1})
    if nparams:
        expect(TypeError, fn)
        expect(TypeError, fn, *range(nparams), **{params[0]: 1})


def round_(i):
    tags = [Tag(k) for k in range(40)]

    for cls in ALL_CLASSES:
        cls()
        binding_errors(cls, 0, ())

    ll = v.PyLinkedList()
    for t in tags:
        ll.push_back(t)
        ll.push_front(v=t)
    assert ll.len() == 80 and len(ll.to_list()) == 80
    for _ in range(30):
        ll.pop_front()
        ll.pop_back()
    binding_errors(ll.push_back, 1, ("v",))
    binding_errors(ll.push_front, 1, ("v",))
    ll.push_back(ll)  # a cycle, broken again below
    ll.pop_back()
    while ll.pop_front() is not None:
        pass
    ll.pop_back()

    q = v.PyQueue()
    for t in tags:
        q.push(t)
    for _ in range(25):
        q.pop()
        q.push(Tag(i))
    q.peek()
    assert q.len() == 40 and len(q.to_list()) == 40
    binding_errors(q.push, 1, ("v",))
    while q.pop() is not None:
        pass
    q.peek()
    for t in tags:
        q.push(t)  # dropped with the queue

    pq = v.PyPriorityQueue()
    for k in range(60):
        pq.push((k * 7919) % 1000 + 10**9)
        pq.push(v=Index(k))
    for _ in range(70):
        pq.pop()
    pq.peek()
    binding_errors(pq.push, 1, ("v",))

    m = v.PyHashMap()
    for k in range(60):
        m.insert(f"key-{k}-ключ", tags[k % 40])
    for k in range(0, 60, 3):
        m.insert(key=f"key-{k}-ключ", value=Tag(k))
        assert m.get(f"key-{k}-ключ") is not None
        assert m.contains(key=f"key-{k}-ключ")
        m.remove(f"key-{k + 1}-ключ")
    m.get("absent")
    m.remove("absent")
    m.contains("absent")
    assert len(m.to_dict()) == 40
    expect(TypeError, m.insert, 1, 2)
    expect(TypeError, m.get, b"bytes")
    expect(UnicodeEncodeError, m.get, "\ud800")
    expect(UnicodeEncodeError, m.insert, "\udc80x", 1)
    binding_errors(m.insert, 2, ("key", "value"))
    for meth in (m.get, m.remove, m.contains):
        binding_errors(meth, 1, ("key",))
    m.insert("k", ReentrantDel(m))
    m.insert("k", 0)  # releases the old value under the exclusive borrow
    m.insert("self", m)
    m.remove("self")
    m.insert("kept", Tag(0))

    for cls in (v.PyHashSet, v.PyBTreeSet):
        s = cls()
        for k in range(200):
            s.insert((k * 7919) % 5000 - 2500)
        for k in range(0, 200, 2):
            s.remove(k - 100)
            s.contains(v=k)
        s.insert(Index(-(2**63)))
        s.insert(2**63 - 1)
        assert len(s.to_list()) > 0
        for meth in (s.insert, s.contains, s.remove):
            binding_errors(meth, 1, ("v",))

    # conversion errors of integer parameters
    for cls in INT_CLASSES:
        c = cls()
        meths = [c.push] if cls is v.PyPriorityQueue else [c.insert, c.contains, c.remove]
        for meth in meths:
            expect(TypeError, meth, "x")
            expect(TypeError, meth, 1.5)
            expect(TypeError, meth, None)
            expect(OverflowError, meth, 2**63)
            expect(OverflowError, meth, -(2**63) - 1)
            expect(ValueError, meth, BadIndex())
            expect(TypeError, meth, TypeErrorIndex())
        # borrow errors through __index__
        if cls is v.PyPriorityQueue:
            for call, text in ((lambda t: t.peek(), "Already mutably borrowed"), (lambda t: t.pop(), "Already borrowed")):
                r = Reenter(c, call, 5)
                c.push(r)
                assert r.seen == text, r.seen
        else:
            for outer in (c.insert, c.remove):
                r = Reenter(c, lambda t: t.contains(1), 5)
                outer(r)
                assert r.seen == "Already mutably borrowed", r.seen
            r = Reenter(c, lambda t: t.insert(1), 6)
            c.contains(r)
            assert r.seen == "Already borrowed", r.seen

    # functions
    data = [(k * 7919) % 1000 - 500 for k in range(150)]
    for f in SORTS:
        f(data)
        f(v=tuple(data))
        f(range(100, 0, -1))
        f(b"\x05\x03\x01")
        f(bytearray(b"\x02\x01"))
        f(Seq(30))
        f(BadLen(30))
        f(LyingLen(10))
        f([Index(3), True, -1])
        f([])
        expect(TypeError, f, "321")
        expect(TypeError, f, 5)
        expect(TypeError, f, {1: 2})
        expect(TypeError, f, {3, 1})
        expect(TypeError, f, (x for x in data))
        expect(TypeError, f, [1, 2.5])
        expect(TypeError, f, [1, "2"])
        expect(OverflowError, f, [2**63])
        expect(ValueError, f, [1, BadIndex()])
        expect(TypeError, f, [TypeErrorIndex()])
        expect(ValueError, f, BadIter(3))
        expect(KeyError, f, BadNext(20))
        binding_errors(f, 1, ("v",))
    ordered = sorted(data)
    for f in SEARCHES:
        f(ordered, ordered[17])
        f(v=ordered, target=10**6)
        f(Seq(20), Index(10**6))
        f([], -1)
        expect(TypeError, f, ordered, "x")
        expect(TypeError, f, "abc", 1)
        expect(TypeError, f, 3, 1)
        expect(OverflowError, f, ordered, 2**64)
        expect(ValueError, f, ordered, BadIndex())
        expect(ValueError, f, BadIter(2), 1)
        binding_errors(f, 2, ("v", "target"))

    # a PanicException raised by Python code that the module runs
    with QuietStderr():
        expect(PanicException, v.merge_sort, [PanicIndex()])
        expect(PanicException, v.PyHashSet().insert, PanicIndex())


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("iterations", type=int)
    parser.add_argument("--warmup", type=int, default=None, help="rounds before the first RSS reading")
    parser.add_argument("--report-rss", action="store_true", help="print the resident-size growth")
    args = parser.parse_args()

    setup()
    warmup = args.warmup if args.warmup is not None else (max(50, args.iterations // 10) if args.report_rss else 0)
    for i in range(warmup):
        round_(i)
    gc.collect()
    start = rss_bytes()
    for i in range(args.iterations):
        round_(i)
    gc.collect()
    end = rss_bytes()
    if args.report_rss:
        print(f"rounds={args.iterations} warmup={warmup} rss_start={start} rss_end={end} growth={end - start}")
    print(f"stress ok: {args.iterations} rounds")


if __name__ == "__main__":
    main()
