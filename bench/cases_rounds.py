"""Small containers: create one, fill it with 10 elements, empty or probe it.

Most of the time goes to creating the container and to the calls, which is
what a program holding many small containers pays.
"""

from harness import time_case

ROUNDS = 10_000
SETUP = (f"import heapq\nfrom collections import deque\nrounds = range({ROUNDS})\n"
         "ten = objects(10)\nints = rand_ints(10)\nkeys = [f'key{i}' for i in range(10)]")


def rounds_case(name, stmt, peer, peer_stmt, target=None, setup=SETUP):
    time_case(f"10-element rounds: {name}", setup=setup,
              stmt=f"for _ in rounds:\n{stmt}", peer=peer, peer_stmt=f"for _ in rounds:\n{peer_stmt}",
              target=target)


rounds_case("PyQueue push 10, pop 10",
            "    q = PyQueue(); push = q.push; pop = q.pop\n"
            "    for x in ten: push(x)\n    for _ in ten: pop()",
            "deque", "    q = deque(); push = q.append; pop = q.popleft\n"
            "    for x in ten: push(x)\n    for _ in ten: pop()",
            target="1.00")
rounds_case("PyLinkedList push_back 10, pop_front 10",
            "    q = PyLinkedList(); push = q.push_back; pop = q.pop_front\n"
            "    for x in ten: push(x)\n    for _ in ten: pop()",
            "deque", "    q = deque(); push = q.append; pop = q.popleft\n"
            "    for x in ten: push(x)\n    for _ in ten: pop()")
rounds_case("PyPriorityQueue push 10, pop 10",
            "    q = PyPriorityQueue(); push = q.push; pop = q.pop\n"
            "    for x in ints: push(x)\n    for _ in ints: pop()",
            "heapq", "    h = []; push = heapq.heappush; pop = heapq.heappop\n"
            "    for x in ints: push(h, x)\n    for _ in ints: pop(h)")
# Method calls on both sides; the second row gives dict its operator.
rounds_case("PyHashMap insert 10, get 10",
            "    m = PyHashMap(); ins = m.insert; get = m.get\n"
            "    for k in keys: ins(k, k)\n    for k in keys: get(k)",
            "dict __setitem__, get", "    d = {}; put = d.__setitem__; get = d.get\n"
            "    for k in keys: put(k, k)\n    for k in keys: get(k)",
            target="0.90")
rounds_case("PyHashMap insert 10, get 10 vs d[k] = v",
            "    m = PyHashMap(); ins = m.insert; get = m.get\n"
            "    for k in keys: ins(k, k)\n    for k in keys: get(k)",
            "dict d[k] = v, get", "    d = {}; get = d.get\n"
            "    for k in keys: d[k] = k\n    for k in keys: get(k)")
rounds_case("PyHashSet insert 10, contains 10",
            "    s = PyHashSet(); ins = s.insert; has = s.contains\n"
            "    for x in ints: ins(x)\n    for x in ints: has(x)",
            "set", "    s = set(); add = s.add\n"
            "    for x in ints: add(x)\n    for x in ints: x in s",
            target="0.90")
rounds_case("PyBTreeSet insert 10, contains 10",
            "    s = PyBTreeSet(); ins = s.insert; has = s.contains\n"
            "    for x in ints: ins(x)\n    for x in ints: has(x)",
            "SortedSet", "    s = SortedSet(); add = s.add\n"
            "    for x in ints: add(x)\n    for x in ints: x in s",
            setup=SETUP + "\nfrom sortedcontainers import SortedSet")
