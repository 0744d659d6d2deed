"""Several Python threads sharing one instance of each class.

No call re-enters an instance here (the interpreter lock serialises calls and
no method releases it), so no borrow error may appear; nothing may be lost
or duplicated. One test makes calls really re-enter, from every thread.
"""

import gc
import os
import subprocess
import sys
import textwrap
import threading

import pytest
import velkorin

THREADS = 4
OPS = 1500 if os.environ.get("VELKORIN_SANITIZED") else 3000


class Tag:
    __slots__ = ("tid", "n")

    def __init__(self, tid, n):
        self.tid = tid
        self.n = n

    def __repr__(self):
        return f"Tag({self.tid}, {self.n})"


@pytest.fixture
def fast_switching():
    old = sys.getswitchinterval()
    gc.collect()
    sys.setswitchinterval(1e-6)
    try:
        yield
    finally:
        sys.setswitchinterval(old)


def run_threads(worker):
    """Runs worker(tid) on THREADS threads at once; returns their results and errors."""
    barrier = threading.Barrier(THREADS)
    results = [None] * THREADS
    errors = []

    def body(tid):
        barrier.wait()
        try:
            results[tid] = worker(tid)
        except BaseException as e:  # noqa: BLE001
            errors.append((tid, e))

    threads = [threading.Thread(target=body, args=(t,)) for t in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(120)
    assert not any(t.is_alive() for t in threads), "a worker thread hung"
    return results, errors


def no_errors(errors):
    runtime = [e for _, e in errors if isinstance(e, RuntimeError)]
    assert not runtime, f"borrow errors without re-entry: {runtime[:3]}"
    assert not errors, f"worker errors: {errors[:3]}"


def increasing_per_producer(popped):
    """FIFO: a consumer sees each producer's items in the order they were pushed."""
    last = {}
    for tag in popped:
        if tag.n <= last.get(tag.tid, -1):
            return False
        last[tag.tid] = tag.n
    return True


def test_queue_shared_by_threads(fast_switching):
    q = velkorin.PyQueue()
    pushed = [[Tag(t, i) for i in range(OPS)] for t in range(THREADS)]

    def worker(tid):
        popped = []
        for i, tag in enumerate(pushed[tid]):
            q.push(tag)
            if i % 3 == 0:
                popped.append(q.pop())
            if i % 50 == 0:
                assert increasing_per_producer(q.to_list())
                q.peek()
        return [x for x in popped if x is not None]

    results, errors = run_threads(worker)
    no_errors(errors)
    remaining = q.to_list()
    assert q.len() == len(remaining)
    out = [x for r in results for x in r] + remaining
    assert len(out) == THREADS * OPS
    assert {id(x) for x in out} == {id(x) for ps in pushed for x in ps}
    for r in results:
        assert increasing_per_producer(r)
    assert increasing_per_producer(remaining)
    crossed = sum(x.tid != tid for tid, r in enumerate(results) for x in r)
    assert crossed > 0, "the threads never interleaved"


def test_linked_list_shared_by_threads(fast_switching):
    ll = velkorin.PyLinkedList()
    pushed = [[Tag(t, i) for i in range(OPS)] for t in range(THREADS)]

    def worker(tid):
        popped = []
        for i, tag in enumerate(pushed[tid]):
            (ll.push_back if i % 2 else ll.push_front)(tag)
            if i % 4 == 1:
                popped.append(ll.pop_front())
            elif i % 4 == 3:
                popped.append(ll.pop_back())
            if i % 50 == 0:
                snap = ll.to_list()
                assert len({id(x) for x in snap}) == len(snap)
        return [x for x in popped if x is not None]

    results, errors = run_threads(worker)
    no_errors(errors)
    remaining = ll.to_list()
    assert ll.len() == len(remaining)
    out = [x for r in results for x in r] + remaining
    assert len(out) == THREADS * OPS
    assert len({id(x) for x in out}) == THREADS * OPS
    assert {id(x) for x in out} == {id(x) for ps in pushed for x in ps}


def test_priority_queue_shared_by_threads(fast_switching):
    pq = velkorin.PyPriorityQueue()

    def worker(tid):
        popped = []
        for i in range(OPS):
            pq.push(tid * 10**9 + i * 7919 % OPS)
            if i % 3 == 0:
                popped.append(pq.pop())
            if i % 50 == 0:
                pq.peek()
        return popped

    results, errors = run_threads(worker)
    no_errors(errors)
    rest = []
    while (v := pq.pop()) is not None:
        rest.append(v)
    assert rest == sorted(rest, reverse=True)
    out = sorted([x for r in results for x in r] + rest)
    assert out == sorted(t * 10**9 + i * 7919 % OPS for t in range(THREADS) for i in range(OPS))


def test_hash_map_shared_by_threads(fast_switching):
    m = velkorin.PyHashMap()

    def worker(tid):
        mine = {}
        for i in range(OPS):
            key = f"t{tid}-{i % 700}"
            if i % 5 == 4:
                expected = mine.pop(key, None)
                assert m.remove(key) is expected
            else:
                value = Tag(tid, i)
                m.insert(key, value)
                mine[key] = value
            probe = f"t{tid}-{(i * 31) % 700}"
            assert m.get(probe) is mine.get(probe)
            assert m.contains(probe) == (probe in mine)
            if i % 100 == 0:
                d = m.to_dict()
                assert all(d[k] is v for k, v in mine.items())
        return mine

    results, errors = run_threads(worker)
    no_errors(errors)
    union = {k: v for r in results for k, v in r.items()}
    d = m.to_dict()
    assert d.keys() == union.keys()
    assert all(d[k] is v for k, v in union.items())


@pytest.mark.parametrize("cls", [velkorin.PyHashSet, velkorin.PyBTreeSet])
def test_sets_shared_by_threads(fast_switching, cls):
    s = cls()

    def worker(tid):
        mine = set()
        base = tid * 10**12
        for i in range(OPS):
            v = base + (i * 37) % 900
            if i % 3 == 2:
                assert s.remove(v) == (v in mine)
                mine.discard(v)
            else:
                assert s.insert(v) == (v not in mine)
                mine.add(v)
            probe = base + (i * 11) % 900
            assert s.contains(probe) == (probe in mine)
            if i % 100 == 0:
                assert mine <= set(s.to_list())
        return mine

    results, errors = run_threads(worker)
    no_errors(errors)
    union = set().union(*results)
    final = s.to_list()
    assert len(final) == len(union)
    assert set(final) == union
    if cls is velkorin.PyBTreeSet:
        assert final == sorted(union)


def test_functions_from_threads(fast_switching):
    def worker(tid):
        data = [(i * 7919 + tid) % 1000 for i in range(500)]
        for _ in range(OPS // 30):
            assert velkorin.merge_sort(data) == sorted(data)
            assert velkorin.quick_sort(data) == sorted(data)
            s = sorted(data)
            assert s[velkorin.binary_search(s, s[123])] == s[123]
            assert velkorin.linear_search(data, data[77]) == data.index(data[77])
        return True

    results, errors = run_threads(worker)
    no_errors(errors)
    assert results == [True] * THREADS


def test_reentry_from_index_fails_in_every_thread(fast_switching):
    s = velkorin.PyHashSet()
    seen = [[] for _ in range(THREADS)]

    class Reentrant:
        def __init__(self, tid, v):
            self.tid = tid
            self.v = v

        def __index__(self):
            try:
                s.contains(self.v)
            except RuntimeError as e:
                seen[self.tid].append(str(e))
            else:
                seen[self.tid].append(None)
            return self.v

    wanted = 200

    def worker(tid):
        inserted, overlapped = [], 0
        for i in range(wanted * 500):
            if len(inserted) == wanted:
                break
            v = tid * 10**6 + i
            try:
                assert s.insert(Reentrant(tid, v)) is True
            except RuntimeError as e:
                # Another thread was inside its own __index__, holding the set.
                assert str(e) == "Already borrowed"
                overlapped += 1
            else:
                inserted.append(v)
        return inserted, overlapped

    results, errors = run_threads(worker)
    assert not errors, errors[:3]
    for tid, (inserted, overlapped) in enumerate(results):
        assert len(inserted) == wanted, f"thread {tid} got the set {len(inserted)} times ({overlapped} overlaps)"
        assert len(seen[tid]) == len(inserted)
        assert set(seen[tid]) == {"Already mutably borrowed"}
    assert sorted(s.to_list()) == sorted(v for ins, _ in results for v in ins)
    assert s.insert(-1) is True


def test_first_sequence_error_raced_by_threads():
    # The first non-sequence error imports collections.abc once, releasing
    # the interpreter lock while other threads wait for it.
    code = textwrap.dedent(
        """
        import sys, threading
        sys.setswitchinterval(1e-6)
        import velkorin
        barrier = threading.Barrier(8)
        out = []
        def go():
            barrier.wait()
            for _ in range(50):
                try:
                    velkorin.merge_sort(5)
                except TypeError as e:
                    out.append(str(e))
        ts = [threading.Thread(target=go) for _ in range(8)]
        for t in ts: t.start()
        for t in ts: t.join()
        assert out == ["argument 'v': 'int' object cannot be cast as 'Sequence'"] * 400, set(out)
        print("ok")
        """
    )
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=os.environ, timeout=120)
    assert proc.returncode == 0, proc.stderr[-3000:]
    assert proc.stdout.strip() == "ok"
