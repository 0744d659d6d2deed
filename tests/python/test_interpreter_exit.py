"""Interpreter exit with containers still alive is clean."""

import os
import subprocess
import sys
import textwrap
import weakref

import pytest

import velkorin

SANITIZED = bool(os.environ.get("VELKORIN_SANITIZED"))
BAD_OUTPUT = (
    "Fatal Python error",
    "AddressSanitizer",
    "LeakSanitizer",
    "runtime error:",
    "Segmentation fault",
    "uncaught panic",
    "Traceback",
    "Exception ignored",
    "PanicException",
)


def run_script(source, timeout=120):
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(source)],
        capture_output=True,
        text=True,
        env=os.environ,
        timeout=timeout,
    )
    bad = [line for line in proc.stderr.splitlines() if any(b in line for b in BAD_OUTPUT)]
    assert proc.returncode == 0, f"exit code {proc.returncode}:\n{proc.stderr[-4000:]}"
    assert not bad, proc.stderr[-4000:]
    return proc


# Elements whose class lives outside __main__: a class defined there would tie
# __main__'s globals into a cycle through a container (which the cyclic
# collector cannot see), and then nothing in __main__ would be freed at exit.
NOISY = """
import os
ns = {"write": os.write}
exec("class Noisy:\\n"
     "    def __init__(self, tag): self.tag = tag\\n"
     "    def __del__(self): write(1, self.tag)\\n", ns)
Noisy = ns.pop("Noisy")
del ns
"""


def test_module_globals_hold_large_containers():
    proc = run_script(
        NOISY
        + """
import velkorin as v
N = 100_000
LL = v.PyLinkedList(); Q = v.PyQueue(); PQ = v.PyPriorityQueue()
M = v.PyHashMap(); HS = v.PyHashSet(); BT = v.PyBTreeSet()
for i in range(N):
    LL.push_back(("item", i)); Q.push(str(i)); PQ.push(i * 7919 % N)
    M.insert(f"key{i}", [i]); HS.insert(i * 3); BT.insert(-i)
LL.push_front(Noisy(b"L")); Q.push(Noisy(b"Q")); M.insert("noisy", Noisy(b"M"))
assert LL.len() == N + 1 and Q.len() == N + 1
assert PQ.peek() == N - 1 and BT.to_list()[0] == -(N - 1)
assert len(M.to_dict()) == N + 1 and len(HS.to_list()) == N
print("ok", flush=True)
"""
    )
    first, _, rest = proc.stdout.partition("\n")
    assert first == "ok"
    # The containers were really destroyed at exit, with their contents.
    assert sorted(rest) == ["L", "M", "Q"]


def test_containers_holding_each_other():
    proc = run_script(
        """
        import velkorin as v
        q = v.PyQueue(); ll = v.PyLinkedList()
        q.push(ll); ll.push_back(q); ll.push_front(ll)
        m = v.PyHashMap(); m.insert("self", m); m.insert("q", q)
        assert m.get("self") is m and m.to_dict()["self"] is m
        assert q.peek() is ll and ll.to_list()[1] is q
        # Unreachable cycles: never reclaimed, and the exit must not care.
        a = v.PyQueue(); b = v.PyLinkedList(); a.push(b); b.push_back(a)
        c = v.PyHashMap(); c.insert("c", c)
        del a, b, c
        import gc; gc.collect()
        print("ok")
        """
    )
    assert proc.stdout.splitlines()[-1] == "ok"


def test_finalizers_of_elements_run_at_exit():
    proc = run_script(
        NOISY
        + """
import velkorin as v
N = 2000
LL = v.PyLinkedList(); Q = v.PyQueue(); M = v.PyHashMap()
for i in range(N):
    LL.push_back(Noisy(b"L")); Q.push(Noisy(b"Q")); M.insert(str(i), Noisy(b"M"))
M.insert("0", Noisy(b"R"))  # replaces: the old value's finalizer runs now
print("ok", flush=True)
"""
    )
    first, _, rest = proc.stdout.partition("\n")
    assert first.startswith("M") and first[1:] == "ok"
    assert sorted(rest) == sorted("L" * 2000 + "Q" * 2000 + "M" * 1999 + "R")


def test_finalizer_calling_into_another_container_at_exit():
    proc = run_script(
        """
import velkorin as v
ns = {}
exec("class Pusher:\\n"
     "    def __init__(self, sink): self.sink = sink\\n"
     "    def __del__(self):\\n"
     "        self.sink.push(1)\\n"
     "        assert self.sink.len() > 0\\n", ns)
SINK = v.PyQueue()
HOLDER = v.PyLinkedList()
for _ in range(1000):
    HOLDER.push_back(ns["Pusher"](SINK))
del ns
print("ok")
"""
    )
    assert proc.stdout.splitlines()[-1] == "ok"


def test_exit_while_daemon_threads_use_containers():
    proc = run_script(
        """
        import sys, threading, time, velkorin as v
        sys.setswitchinterval(1e-5)
        S = v.PyHashSet(); Q = v.PyQueue(); M = v.PyHashMap(); BT = v.PyBTreeSet()
        LL = v.PyLinkedList(); PQ = v.PyPriorityQueue()
        for i in range(20_000):
            S.insert(i); BT.insert(i)
        started = threading.Event()
        def spin():
            i = 0
            while True:
                i += 1
                S.insert(i); S.remove(i - 1); BT.insert(-i); PQ.push(i)
                Q.push(i); M.insert(str(i % 100), i); LL.push_back(i)
                if i % 10 == 0:
                    Q.pop(); PQ.pop(); LL.pop_front()
                    S.to_list(); M.to_dict(); BT.to_list(); LL.to_list()
                    v.merge_sort(range(200))
                started.set()
        for _ in range(3):
            threading.Thread(target=spin, daemon=True).start()
        started.wait(30)
        time.sleep(0.2)
        print("ok", flush=True)
        """
    )
    assert proc.stdout.splitlines()[-1] == "ok"


# A daemon thread that asks for the interpreter lock after shutdown has begun
# is ended by the interpreter (pthread_exit, which unwinds its stack). Here it
# is inside a call of the module when that happens: the unwinding must pass
# through the module untouched. The slow __del__ of a cycle collected during
# shutdown releases the lock long enough for the daemon thread to wake.
EXIT_DURING_CALL = """
import gc, sys, threading, time, velkorin as v
def slow():
    time.sleep(0.1)
class SlowIndex:
    def __index__(self):
        slow()
        return 1
class SlowIter:
    def __len__(self): return 1
    def __getitem__(self, i):
        slow()
        if i: raise IndexError(i)
        return 1
class SlowDel:
    def __index__(self): return 1
    def __del__(self): slow()
class SlowDelItems:
    def __len__(self): return 2
    def __getitem__(self, i):
        if i >= 2: raise IndexError(i)
        return SlowDel()
S = v.PyBTreeSet()
M = v.PyHashMap()
def run():
    while True:
        if WHERE == "method":
            S.insert(SlowIndex())
        elif WHERE == "function":
            v.merge_sort(SlowIter())
        elif WHERE == "replaced value":
            M.insert("k", SlowDel()); M.insert("k", 1)
        elif WHERE == "converted item":
            v.merge_sort(SlowDelItems())
        else:
            q = v.PyQueue(); q.push(SlowDel()); del q
threading.Thread(target=run, daemon=True).start()
time.sleep(0.05)
class Last:
    def __del__(self): time.sleep(0.5)
gc.disable()
last = Last(); last.cycle = last; del last
print("ok", flush=True)
"""


# Each run ends the daemon thread at a moment that varies; several runs
# cover the moments inside the finalizer.
@pytest.mark.parametrize("run", range(3))
@pytest.mark.parametrize("where", ["method", "function", "replaced value", "converted item", "dealloc"])
def test_daemon_thread_ended_inside_a_call(where, run):
    proc = run_script(f"WHERE = {where!r}\n" + EXIT_DURING_CALL)
    assert proc.stdout.splitlines()[-1] == "ok"


def test_deep_chains_of_containers_are_freed():
    depth = 200_000 if SANITIZED else 1_000_000
    proc = run_script(
        f"""
        import velkorin as v
        freed = 0
        class Counted:
            def __del__(self):
                global freed
                freed += 1
        def chain(kinds, n):
            x = None
            for i in range(n):
                c = kinds[i % len(kinds)]()
                if isinstance(c, v.PyHashMap):
                    c.insert("item", Counted()); c.insert("next", x)
                elif isinstance(c, v.PyQueue):
                    c.push(Counted()); c.push(x)
                else:
                    c.push_back(Counted()); c.push_back(x)
                x = c
            return x
        for kinds in ([v.PyQueue], [v.PyLinkedList], [v.PyHashMap], [v.PyQueue, v.PyLinkedList, v.PyHashMap]):
            freed = 0
            x = chain(kinds, {depth})
            del x
            assert freed == {depth}, freed
        print("ok", flush=True)
        """,
        timeout=600,
    )
    assert proc.stdout.splitlines()[-1] == "ok"


# Each level holds the next one and a logging element, the next one first on
# odd levels and last on even ones: the release order is that of a plain
# recursion, also where a nested container is its holder's last element, and
# a container dropped by a finalizer inside the destruction is gone at once.
@pytest.mark.parametrize("kind", ["PyQueue", "PyLinkedList"])
def test_nestings_release_in_recursive_order_at_every_depth(kind):
    cls = getattr(velkorin, kind)
    push = cls.push if kind == "PyQueue" else cls.push_back
    log = []

    class Marker:
        pass

    class Logged:
        def __init__(self, n):
            self.n = n

        def __del__(self):
            log.append(self.n)
            q = velkorin.PyQueue()
            marker = Marker()
            ref = weakref.ref(marker)
            q.push(marker)
            del marker, q
            if ref() is not None:
                log.append(f"{self.n} outlived")

    def recursive_order(level):
        if level < 0:
            return []
        inner = recursive_order(level - 1)
        return inner + [level] if level % 2 else [level] + inner

    for depth in range(201):
        x = None
        for level in range(depth):
            c = cls()
            if level % 2:
                push(c, x)
                push(c, Logged(level))
            else:
                push(c, Logged(level))
                push(c, x)
            x = c
            del c
        log.clear()
        del x
        assert log == recursive_order(depth - 1), depth


# insert() replaces a value that is itself a deep nesting, from a finalizer
# deep inside another destruction: the whole nesting is released before
# insert() returns, under the map's exclusive borrow.
def test_value_replaced_inside_a_deep_destruction_is_released_under_the_borrow():
    m = velkorin.PyHashMap()
    seen = []

    class Probe:
        def __del__(self):
            try:
                m.get("k")
                seen.append("unborrowed")
            except RuntimeError:
                seen.append("borrowed")

    class Replacer:
        def __del__(self):
            m.insert("k", None)
            seen.append("returned")

    nesting = None
    for i in range(150):
        c = velkorin.PyLinkedList() if i % 2 else velkorin.PyHashMap()
        if i % 2:
            c.push_back(nesting)
            c.push_back(Probe())
        else:
            c.insert("next", nesting)
            c.insert("probe", Probe())
        nesting = c
    m.insert("k", nesting)
    del nesting, c
    outer = velkorin.PyQueue()
    outer.push(Replacer())
    for _ in range(120):
        q = velkorin.PyQueue()
        q.push(outer)
        outer = q
    del outer, q
    assert seen == ["borrowed"] * 150 + ["returned"]
