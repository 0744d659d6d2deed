"""velkorin against its floor: the same work as hand-written C methods.

bench/floor/floor.cpp implements PyQueue.push/pop and PyHashSet.insert/
contains over the same cores as one plain METH_FASTCALL | METH_KEYWORDS (or
METH_NOARGS) function each, with the same receiver check and borrow flag.
`make bench` builds it into build/bench-floor. Each case first checks that
both sides compute the same results.
"""

from harness import time_case

N = 200_000
FLOOR = f"""
import velkorin_floor
objs = objects({N})
data = rand_ints({N})
def same_results(mine, floor, values):
    a = [mine.insert(x) for x in values] + [mine.contains(x) for x in values]
    b = [floor.insert(x) for x in values] + [floor.contains(x) for x in values]
    assert a == b, "floor and velkorin disagree"
same_results(PyHashSet(), velkorin_floor.FloorHashSet(), data[:1000] * 2)
q, f = PyQueue(), velkorin_floor.FloorQueue()
for x in objs[:100]: q.push(x); f.push(x)
assert all(q.pop() is f.pop() for _ in range(101))
empty, empty_floor = PyHashSet(), velkorin_floor.FloorHashSet()
"""

time_case(
    "floor: PyQueue push then pop 200,000 objects",
    setup=FLOOR,
    stmt="q = PyQueue(); push = q.push; pop = q.pop\nfor x in objs: push(x)\nfor _ in objs: pop()",
    peer="hand-written C",
    peer_stmt="q = velkorin_floor.FloorQueue(); push = q.push; pop = q.pop\n"
              "for x in objs: push(x)\nfor _ in objs: pop()",
    target="1.03", number=5,
)
time_case(
    "floor: PyHashSet insert then contains, 200,000 random ints",
    setup=FLOOR,
    stmt="s = PyHashSet(); ins = s.insert; has = s.contains\nfor x in data: ins(x)\nfor x in data: has(x)",
    peer="hand-written C",
    peer_stmt="s = velkorin_floor.FloorHashSet(); ins = s.insert; has = s.contains\n"
              "for x in data: ins(x)\nfor x in data: has(x)",
    target="1.03", number=3,
)
time_case(
    "floor: contains on an empty PyHashSet, 200,000 calls",
    setup=FLOOR,
    stmt="has = empty.contains\nfor x in data: has(x)",
    peer="hand-written C",
    peer_stmt="has = empty_floor.contains\nfor x in data: has(x)",
    target="1.03", number=5,
)
