"""PyHashMap, PyHashSet, PyBTreeSet."""

from harness import RANDOM_INTS_ARRAY, memory_case, time_case

N = 200_000
# Keys made in order, then shuffled: each lookup reaches a str object far from the last.
KEYS = f"import random\nkeys = [f'k{{i}}' for i in range({N})]\nrandom.Random(2).shuffle(keys)"
RANDOM_KEYS = (
    "import random\n_r = random.Random(5)\n"
    "keys = list(dict.fromkeys(''.join(_r.choices('abcdefghijklmnopqrstuvwxyz', k=_r.randint(4, 14))) "
    f"for _ in range({N + 1000})))[:{N}]"
)
MAP_STMT = "m = PyHashMap(); ins = m.insert; get = m.get\nfor k in keys: ins(k, k)\nfor k in keys: get(k)"
DICT_STMT = "d = {}; get = d.get\nfor k in keys: d[k] = k\nfor k in keys: get(k)"

time_case(
    "PyHashMap insert then get, 200,000 keys k0...k199999 made in order, then shuffled",
    setup=KEYS, stmt=MAP_STMT, peer="dict d[k]=v, d.get", peer_stmt=DICT_STMT,
    target="0.90", number=3,
)
time_case(
    "PyHashMap insert then get, 200,000 random str keys of 4 to 14 letters",
    setup=RANDOM_KEYS, stmt=MAP_STMT, peer="dict d[k]=v, d.get", peer_stmt=DICT_STMT,
    target="0.70", number=3,
)
# A word count: Zipf-distributed words from a vocabulary of 50,000; the
# tokens are the vocabulary's own str objects, reused as a tokenizer's
# interned words would be.
WORDS = (
    "import random\n_r = random.Random(3)\n"
    "vocab = [''.join(_r.choice('abcdefghijklmnopqrstuvwxyz') for _ in range(_r.randint(2, 12))) "
    "for _ in range(50_000)]\n"
    "_w = [1 / (i + 1) for i in range(len(vocab))]\n"
    "tokens = _r.choices(vocab, _w, k=3_400_000)"
)
time_case(
    "PyHashMap word count of 3,400,000 Zipf tokens reusing 50,000 str objects (get, then insert)",
    setup=WORDS,
    stmt="m = PyHashMap(); get = m.get; ins = m.insert\n"
         "for w in tokens:\n    c = get(w)\n    ins(w, 1 if c is None else c + 1)",
    peer="dict",
    peer_stmt="d = {}; get = d.get\n"
              "for w in tokens:\n    c = get(w)\n    d[w] = 1 if c is None else c + 1",
    target="1.00",
)
# A hash flood: keys whose interpreter hashes share their low 10 bits, found
# with the running interpreter's own hash as an attacker who knows the seed
# (PYTHONHASHSEED=0) would find them, against keys of the same form drawn
# from the same range without regard to their hashes.
FLOOD = (
    "import random\n_low = hash('') & 1023\nflood = []\ni = 0\n"
    "while len(flood) < 20_000:\n"
    "    k = f'f{i:x}'\n    if hash(k) & 1023 == _low: flood.append(k)\n    i += 1\n"
    "random_keys = [f'f{j:x}' for j in sorted(random.Random(6).sample(range(i), 20_000))]"
)
time_case(
    "PyHashMap insert then get, 20,000 keys whose interpreter hashes share their low 10 bits",
    setup=FLOOD,
    stmt=MAP_STMT.replace("keys", "flood"),
    peer="PyHashMap, 20,000 random keys",
    peer_stmt=MAP_STMT.replace("keys", "random_keys"),
    target="1.30", number=5,
)
time_case(
    "dict with the same 20,000 keys sharing their low 10 hash bits (for comparison)",
    setup=FLOOD,
    stmt=DICT_STMT.replace("keys", "flood"),
    peer="dict, 20,000 random keys",
    peer_stmt=DICT_STMT.replace("keys", "random_keys"),
    number=5,
)
# Distinct keys of up to 14 characters, made inside the build so that only
# the container holds them: the map keeps their UTF-8 bytes, the dict the str
# objects.
MEMORY_KEYS = "for i in range(1_000_000): {}(f'key{{i * 2654435761 % 10**10}}', None)"
memory_case(
    "PyHashMap memory, 1,000,000 distinct keys of up to 14 characters",
    setup="",
    build="m = PyHashMap()\nins = m.insert\n" + MEMORY_KEYS.format("ins"),
    peer="dict", peer_build="d = {}\nput = d.__setitem__\n" + MEMORY_KEYS.format("put"),
    target="0.50",
)

# PyHashSet: random ints, and keys that differ only in their high bits.
INTS = f"data = rand_ints({N})\nshifted = [j << 32 for j in range({N})]"
time_case(
    "PyHashSet insert then contains, 200,000 random 62-bit ints",
    setup=INTS,
    stmt="s = PyHashSet(); ins = s.insert; has = s.contains\n"
         "for x in data: ins(x)\nfor x in data: has(x)",
    peer="set.add, x in s",
    peer_stmt="s = set(); add = s.add\nfor x in data: add(x)\nfor x in data: x in s",
    target="0.85", number=3,
)
time_case(
    "PyHashSet insert then contains, 200,000 random 62-bit ints vs cykhash",
    setup=INTS + "\nfrom cykhash import Int64Set",
    stmt="s = PyHashSet(); ins = s.insert; has = s.contains\n"
         "for x in data: ins(x)\nfor x in data: has(x)",
    peer="cykhash.Int64Set add, in",
    peer_stmt="s = Int64Set(); add = s.add\nfor x in data: add(x)\nfor x in data: x in s",
    number=3,
)
time_case(
    "PyHashSet contains on an empty set, 200,000 calls (the call path alone)",
    setup=INTS + "\nv = PyHashSet()\ne = set()",
    stmt="has = v.contains\nfor x in data: has(x)",
    peer="set.__contains__",
    peer_stmt="has = e.__contains__\nfor x in data: has(x)",
    target="0.75", number=5,
)
time_case(
    "PyHashSet insert of 200,000 ints j << 32",
    setup=INTS,
    stmt="s = PyHashSet(); ins = s.insert\nfor x in shifted: ins(x)",
    peer="PyHashSet, random ints",
    peer_stmt="s = PyHashSet(); ins = s.insert\nfor x in data: ins(x)",
    target="1.30", number=3,
)
time_case(
    "set.add of 200,000 ints j << 32 (for comparison)",
    setup=INTS,
    stmt="s = set(); add = s.add\nfor x in shifted: add(x)",
    peer="set, random ints",
    peer_stmt="s = set(); add = s.add\nfor x in data: add(x)",
    number=3,
)
memory_case(
    "PyHashSet memory, 1,000,000 random ints",
    setup=RANDOM_INTS_ARRAY,
    build="s = PyHashSet()\nins = s.insert\nfor x in data: ins(x)",
    peer="set", peer_build="s = set(data)",
    target="1/3",
)

# PyBTreeSet against SortedSet (target 1/3) and BTrees' LLTreeSet (target 1.0).
# Per peer: import, its insert and remove methods, and a lookup loop over `t`.
# Targets: insert/remove, contains.
BTREE_PEERS = [
    ("SortedSet", "from sortedcontainers import SortedSet", "add", "discard",
     "for x in data: x in t", "in", ("1/3", "1.00")),
    ("LLTreeSet", "from BTrees.LLBTree import LLTreeSet", "insert", "remove",
     "has = t.has_key\nfor x in data: has(x)", "has_key", ("1.00", "1.00")),
    ("BitMap64", "from pyroaring import BitMap64", "add", "discard",
     "for x in data: x in t", "in", (None, "1.00")),
]
for peer, imp, add, discard, lookup, lookup_name, (target, contains_target) in BTREE_PEERS:
    data = f"{imp}\ndata = rand_ints({N})\n"
    time_case(
        f"PyBTreeSet insert 200,000 random ints vs {peer}",
        setup=data,
        stmt="s = PyBTreeSet(); ins = s.insert\nfor x in data: ins(x)",
        peer=f"{peer}.{add}",
        peer_stmt=f"s = {peer}(); ins = s.{add}\nfor x in data: ins(x)",
        target=target,
    )
    time_case(
        f"PyBTreeSet contains 200,000 random ints vs {peer}",
        setup=data + f"v = PyBTreeSet()\nfor x in data: v.insert(x)\nt = {peer}(data)",
        stmt="has = v.contains\nfor x in data: has(x)",
        peer=f"{peer} {lookup_name}",
        peer_stmt=lookup,
        target=contains_target,
    )
    time_case(
        f"PyBTreeSet remove 200,000 random ints vs {peer}",
        setup=data,
        prep="s = PyBTreeSet()\nfor x in data: s.insert(x)\nrm = s.remove",
        stmt="for x in data: rm(x)",
        peer=f"{peer}.{discard}",
        peer_prep=f"s = {peer}(data)\nrm = s.{discard}",
        peer_stmt="for x in data: rm(x)",
        target=target,
    )
time_case(
    "PyBTreeSet to_list of 1,000,000 ints",
    setup="from array import array\ndata = rand_ints(1_000_000)\n"
          "s = PyBTreeSet()\nfor x in data: s.insert(x)\narr = array('q', sorted(set(data)))",
    stmt="s.to_list()",
    peer="array('q').tolist()", peer_stmt="arr.tolist()",
    target="1.10", number=3,
)
memory_case(
    "PyBTreeSet memory, 1,000,000 random ints",
    setup=RANDOM_INTS_ARRAY,
    build="s = PyBTreeSet()\nins = s.insert\nfor x in data: ins(x)",
    peer="SortedSet",
    peer_build="from sortedcontainers import SortedSet\ns = SortedSet(data)",
    target="1/3",
)
