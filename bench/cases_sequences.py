"""PyQueue, PyLinkedList, PyPriorityQueue."""

from harness import RANDOM_INTS_ARRAY, memory_case, time_case

time_case(
    "PyQueue push then pop 200,000 objects",
    setup="from collections import deque\nobjs = objects(200_000)",
    stmt="q = PyQueue(); push = q.push; pop = q.pop\n"
         "for x in objs: push(x)\nfor _ in objs: pop()",
    peer="deque append+popleft",
    peer_stmt="q = deque(); push = q.append; pop = q.popleft\n"
              "for x in objs: push(x)\nfor _ in objs: pop()",
    target="1.05", number=5,
)
time_case(
    "PyQueue to_list of 1,000,000 objects",
    setup="from collections import deque\nobjs = objects(1_000_000)\n"
          "q = PyQueue()\nfor x in objs: q.push(x)\nd = deque(objs)",
    stmt="q.to_list()",
    peer="list(deque)", peer_stmt="list(d)",
    target="1.20", number=5,
)
# Freeing a nesting: the chain is built untimed before each timing.
time_case(
    "Free a 200,000-deep PyQueue chain",
    setup="",
    prep="x = None\nfor _ in range(200_000):\n    q = PyQueue(); q.push(x); x = q\ndel q",
    stmt="del x",
    peer="200,000-deep chain of 1-element lists",
    peer_prep="x = None\nfor _ in range(200_000): x = [x]",
    peer_stmt="del x",
    target="1.20",
)
time_case(
    "Free a PyQueue of 1,000,000 objects",
    setup="from collections import deque\nobjs = objects(1_000_000)",
    prep="q = PyQueue()\nfor o in objs: q.push(o)",
    stmt="del q",
    peer="deque of the same objects",
    peer_prep="q = deque(objs)",
    peer_stmt="del q",
    target="1.00",
)
time_case(
    "PyLinkedList push_back then pop_front 200,000 objects",
    setup="from collections import deque\nobjs = objects(200_000)",
    stmt="q = PyLinkedList(); push = q.push_back; pop = q.pop_front\n"
         "for x in objs: push(x)\nfor _ in objs: pop()",
    peer="deque append+popleft",
    peer_stmt="q = deque(); push = q.append; pop = q.popleft\n"
              "for x in objs: push(x)\nfor _ in objs: pop()",
    target="1.15", number=5,
)
time_case(
    "PyLinkedList push_back then pop_front 200,000 objects vs llist",
    setup="from llist import dllist\nobjs = objects(200_000)",
    stmt="q = PyLinkedList(); push = q.push_back; pop = q.pop_front\n"
         "for x in objs: push(x)\nfor _ in objs: pop()",
    peer="llist.dllist append+popleft",
    peer_stmt="q = dllist(); push = q.append; pop = q.popleft\n"
              "for x in objs: push(x)\nfor _ in objs: pop()",
    target="0.50", number=5,
)
time_case(
    "PyPriorityQueue push 200,000 random ints then pop all",
    setup="import heapq\ndata = rand_ints(200_000)",
    stmt="q = PyPriorityQueue(); push = q.push; pop = q.pop\n"
         "for x in data: push(x)\nfor _ in data: pop()",
    peer="heapq heappush/heappop",
    peer_stmt="h = []; push = heapq.heappush; pop = heapq.heappop\n"
              "for x in data: push(h, x)\nfor _ in data: pop(h)",
    target="0.25",
)
memory_case(
    "PyPriorityQueue memory, 1,000,000 random ints",
    setup=RANDOM_INTS_ARRAY,
    build="q = PyPriorityQueue()\npush = q.push\nfor x in data: push(x)",
    peer="heapified list",
    peer_build="import heapq\nh = data.tolist()\nheapq.heapify(h)",
    target="1/4",
)
