#!/usr/bin/env python3
"""Writes the seed corpus, fuzz/corpus/<target>/seed_<pattern>, in the byte
format of fuzz_input.hpp (the portable builds of the hash targets share their
folders): ascending and descending runs, one key inserted and
removed over and over, growth past each resize, the extreme values."""
import pathlib
import shutil

EXTREMES = [-2**63, -2**63 + 1, 2**63 - 1, 2**63 - 2, -1, 0, 1, 2**32]
MASK = 2**64 - 1


def value(x):
    if -120 <= x <= 119:
        return bytes([x + 0x78])
    if x in EXTREMES[:4] or x == 2**32:
        return bytes([0xF0 | EXTREMES.index(x)])
    return bytes([0xF8]) + (x & MASK).to_bytes(8, "little")


def count(n):
    """The one count byte whose run is closest to n without going past it."""
    return bytes([max(b for b in range(256) if (b if b < 0xC0 else (b - 0xBF) * 32) <= n)])


def op(code, modulus, flag=False):
    """The smallest op byte that selects `code` with bit 3 set to `flag`."""
    return bytes([next(b for b in range(256) if b % modulus == code and bool(b & 8) == flag)])


def run(code, modulus, start, stride, n, flag=False):
    return op(code, modulus, flag) + value(start) + value(stride) + count(n)


RESIZES = [14, 28, 56, 112, 224, 448, 896, 1792]  # max loads of 16 .. 2048 buckets


def sequences():
    # Ring buffer and heap: 0 push, 1 pop, 2 run, 3 pops, 4 walk or peek.
    for target in ("ring_buffer", "binary_heap"):
        yield target, "ascending", run(2, 5, 0, 1, 1040) + op(4, 5) + op(3, 5) + count(1040) + op(4, 5)
        yield target, "descending", run(2, 5, 1000, -1, 1040) + op(4, 5) + op(3, 5) + count(500) + op(4, 5)
        yield target, "one_value", (op(0, 5) + value(7) + op(1, 5)) * 40 + op(4, 5)
        yield target, "growth", b"".join(run(2, 5, n, 1, n) + op(4, 5) + op(1, 5) * 3 for n in (4, 8, 16, 32, 64, 128, 256))
        yield target, "extremes", b"".join(op(0, 5) + value(x) for x in EXTREMES) + (op(1, 5) + op(4, 5)) * 9
    # Linked list: 0 push, 1 pop, 2 run, 3 pops, 4 walk, 5 move or clear; bit 3 the back end.
    ll = lambda code, back=False: op(code, 6, back)
    yield "linked_list", "ascending", ll(2, True) + value(0) + value(1) + count(1040) + ll(4) + ll(3) + count(1040)
    yield "linked_list", "descending", ll(2) + value(0) + value(1) + count(1040) + ll(4) + ll(3, True) + count(500) + ll(5, True) + ll(4)
    yield "linked_list", "one_value", (ll(0, True) + value(7) + ll(1)) * 20 + (ll(0) + value(7) + ll(1, True)) * 20
    yield "linked_list", "both_ends", b"".join(ll(0, i % 2 == 0) + value(i) for i in range(40)) + ll(4) + ll(5, True) + ll(3) + count(30) + ll(5) + ll(4)
    # Sets: 0 insert, 1 remove, 2 contains, 3 run (bit 3: removals), 4 compare.
    for target, modulus in (("hash_set", 5), ("btree_set", 5)):
        seed = b"" if target == "btree_set" else b"\x00"
        ins_run = lambda a, s, n: run(3, modulus, a, s, n)
        rem_run = lambda a, s, n: run(3, modulus, a, s, n, True)
        cmp = op(4, modulus)
        yield target, "ascending", seed + ins_run(0, 1, 2000) + cmp + rem_run(0, 2, 1000) + cmp + rem_run(1, 2, 1000) + cmp
        yield target, "descending", seed + ins_run(2000, -1, 2000) + cmp + rem_run(2000, -1, 1000) + cmp
        yield target, "one_key", seed + (op(0, modulus) + value(7) + op(1, modulus) + value(7)) * 40 + cmp
        yield target, "growth", seed + b"".join(ins_run(0, 1, n) + op(0, modulus) + value(n) + cmp for n in RESIZES)
        yield target, "churn", seed + (ins_run(-100, 1, 100) + rem_run(-100, 1, 100)) * 12 + ins_run(-100, 3, 60) + cmp
        if target == "hash_set":
            # 16 buckets of the identity-hashed table: 30 .. 110 share home 14
            # and wrap to buckets 0 .. 5; removals leave 7 entries and
            # tombstones, so the next insertion rebuilds in place and must
            # untangle the wrapped cluster.
            ins = lambda x: op(0, modulus) + value(x)
            rem = lambda x: op(1, modulus) + value(x)
            yield target, "in_place_wrapped", seed + b"".join(ins(x) for x in (14, 15, 30, 46, 62, 78, 94, 110, 6, 7, 8, 9, 10, 11)) + b"".join(
                rem(x) for x in (6, 7, 8, 9, 10, 46, 62)) + ins(12) + cmp
        yield target, "extremes", seed + b"".join(op(0, modulus) + value(x) for x in EXTREMES) + cmp + b"".join(
            op(2, modulus) + value(x) + op(1, modulus) + value(x) for x in EXTREMES) + cmp
    # Map: 0 insert, 1 remove, 2 find, 3 run of keys (bit 3: removals), 4 compare, 5 drain, 6 snapshot.
    for target in ("hash_map",):
        def fresh(length_index, text):
            return b"\x00" + bytes([length_index]) + text
        pooled = lambda i: b"\x01" + bytes([i])
        key_run = lambda length_index, fill, n, remove=False: op(3, 8, remove) + bytes([length_index, fill]) + count(n)
        # First the text hash mask (0: the whole hash; 5: none, every key collides), then the table key byte.
        yield target, "ascending", b"\x00\x00" + key_run(6, ord("a"), 1000) + op(4, 8) + key_run(6, ord("a"), 1000, True) + op(4, 8)
        yield target, "lengths", b"\x00\x00" + b"".join(key_run(i, 0, 100) + op(6, 8) + key_run(i, 0, 60, True) for i in range(16)) + op(4, 8)
        yield target, "one_key", b"\x00\x00" + op(0, 8) + fresh(6, b"fifteen-bytes!!") + (op(1, 8) + pooled(0) + op(0, 8) + pooled(0)) * 40 + op(4, 8)
        yield target, "growth", b"\x00\x00" + b"".join(key_run(9, ord("k"), n) + op(4, 8) for n in RESIZES) + op(5, 8) + b"\x40" + op(4, 8)
        # The inline limit: a 15-byte key, and its neighbours one byte longer and shorter.
        yield target, "inline_limit", b"\x00\x00" + op(0, 8) + fresh(6, b"\x00" * 15) + b"".join(
            op(0, 8) + bytes([2 | variant, 0]) for variant in (0, 4, 8, 12)) + op(4, 8) + op(1, 8) + pooled(0) + op(5, 8) + b"\x02" + op(4, 8)
        yield target, "colliding", b"\x05\x00" + key_run(6, ord("c"), 200) + op(4, 8) + key_run(6, ord("c"), 100, True) + op(7, 8) + b"\x01"
    # Sorting: elements, or (op 3) a run.
    element = lambda x: b"\x00" + value(x)
    srun = lambda a, s, n: b"\x03" + value(a) + value(s) + count(n)
    yield "sorting", "ascending", srun(-100, 3, 300)
    yield "sorting", "descending", srun(100, -3, 300)
    yield "sorting", "all_equal", srun(7, 0, 64)
    yield "sorting", "organ_pipe", srun(0, 1, 40) + srun(40, -1, 40)
    yield "sorting", "extremes", b"".join(element(x) for x in EXTREMES * 3)
    yield "sorting", "examples", b"".join(element(x) for x in (3, 1, 5, 1, 9, 2, 0, -1, 2, -3))
    # Searching: mode (targets - 1, bit 3 sorted), targets, then elements.
    yield "searching", "sorted_repeats", bytes([8 + 2]) + value(2) + value(4) + value(3) + srun(1, 0, 1) + srun(2, 0, 24) + srun(3, 0, 1)
    yield "searching", "unsorted", bytes([2]) + value(3) + value(1) + value(2) + element(3) + element(2) + element(1)
    yield "searching", "ascending", bytes([8 + 3]) + value(0) + value(599) + value(-1) + value(600) + srun(0, 1, 600)
    yield "searching", "extremes", bytes([8 + 7]) + b"".join(value(x) for x in EXTREMES) + b"".join(element(x) for x in EXTREMES)


def main():
    root = pathlib.Path(__file__).resolve().parent / "corpus"
    written = {}
    for target, name, data in sequences():
        written.setdefault(target, []).append((name, data))
    for target, seeds in written.items():
        folder = root / target
        for old in folder.glob("seed_*"):
            old.unlink()
        folder.mkdir(parents=True, exist_ok=True)
        for name, data in seeds:
            (folder / f"seed_{name}").write_bytes(data)
    print(f"{sum(map(len, written.values()))} seeds for {len(written)} targets in {root}")


if __name__ == "__main__":
    main()
