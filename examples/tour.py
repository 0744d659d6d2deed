"""A short tour of velkorin: every class and function, with what it returns."""

import velkorin

print("velkorin offers:", ", ".join(velkorin.__all__))

print("\n-- sorting and searching (any sequence of 64-bit ints; a new list back)")
data = [31, -4, 15, 9, 26, 5, -3, 58, 9]
for sort in (velkorin.merge_sort, velkorin.quick_sort, velkorin.bubble_sort, velkorin.selection_sort):
    print(f"{sort.__name__}({data}) = {sort(data)}")
ordered = velkorin.merge_sort(data)
print(f"binary_search(sorted, 26) = {velkorin.binary_search(ordered, 26)}")
print(f"linear_search(data, 9)    = {velkorin.linear_search(data, 9)}  (first occurrence)")
print(f"binary_search(sorted, 7)  = {velkorin.binary_search(ordered, 7)}  (absent)")

print("\n-- PyQueue: first in, first out, any objects")
queue = velkorin.PyQueue()
for job in ("parse", "check", "emit"):
    queue.push(job)
print(f"peek() = {queue.peek()!r}, len() = {queue.len()}, to_list() = {queue.to_list()}")
print(f"pop() x4 = {[queue.pop() for _ in range(4)]}")

print("\n-- PyLinkedList: both ends, any objects")
deck = velkorin.PyLinkedList()
deck.push_back("middle")
deck.push_front("front")
deck.push_back("back")
print(f"to_list() = {deck.to_list()}, len() = {deck.len()}")
print(f"pop_front() = {deck.pop_front()!r}, pop_back() = {deck.pop_back()!r}")

print("\n-- PyPriorityQueue: greatest 64-bit int first")
heap = velkorin.PyPriorityQueue()
for priority in (3, 41, -7, 41, 12):
    heap.push(priority)
print(f"peek() = {heap.peek()}, pops = {[heap.pop() for _ in range(6)]}")

print("\n-- PyHashMap: str keys to any objects")
ages = velkorin.PyHashMap()
ages.insert("ada", 36)
ages.insert("alan", 41)
ages.insert("ada", 37)  # replaces
print(f"get('ada') = {ages.get('ada')}, get('bob') = {ages.get('bob')}, contains('alan') = {ages.contains('alan')}")
print(f"to_dict() = {dict(sorted(ages.to_dict().items()))}  (sorted here: the map has no order)")
print(f"remove('alan') = {ages.remove('alan')}, remove('alan') = {ages.remove('alan')}")

print("\n-- PyHashSet: unordered 64-bit ints")
seen = velkorin.PyHashSet()
print(f"insert(7) = {seen.insert(7)}, insert(7) = {seen.insert(7)}, contains(7) = {seen.contains(7)}")
seen.insert(-2**63)
print(f"sorted(to_list()) = {sorted(seen.to_list())}, remove(7) = {seen.remove(7)}")

print("\n-- PyBTreeSet: ordered 64-bit ints")
tree = velkorin.PyBTreeSet()
for v in (50, -1, 2**63 - 1, 7, 50):
    tree.insert(v)
print(f"to_list() = {tree.to_list()}  (ascending)")
print(f"contains(7) = {tree.contains(7)}, remove(7) = {tree.remove(7)}, remove(7) = {tree.remove(7)}")

print("\n-- errors are ordinary Python exceptions")
# Deliberately wrong calls: a type checker flags the first two as well.
bad_calls = (
    lambda: velkorin.merge_sort("321"),  # type: ignore[arg-type]
    lambda: velkorin.binary_search([1, 2]),  # type: ignore[call-arg]
    lambda: tree.insert(2**63),
)
for call in bad_calls:
    try:
        call()
    except (TypeError, OverflowError) as error:
        print(f"{type(error).__name__}: {error}")
