"""Cost per changed element of a join where every key matches 10 elements on the other side.

Run after `pip install .`:  python bench/bench_join.py
"""
import time

import velk_concurrent as velk

KEYS = 1000
PER_KEY = 10
CHANGES = 2000


def key_of(x):
    return x % KEYS


def main():
    rt = velk.Runtime()
    left = rt.create_collection()
    right = rt.create_collection()
    for i in range(KEYS * PER_KEY):
        right.insert(i)
    for i in range(KEYS):
        left.insert(-i - 1)
    joined = left.join(right, lambda x: (-x - 1) % KEYS, key_of)
    size = joined.count()
    before = rt.get(size)
    begin = time.perf_counter_ns()
    for i in range(CHANGES):
        left.insert(-(i % KEYS) - 1)
        rt.get(size)
    elapsed = time.perf_counter_ns() - begin
    added = rt.get(size) - before
    print(f"join, {PER_KEY} matches per key: {elapsed / CHANGES / 1000:.2f} us per changed element "
          f"({added // CHANGES} output tuples each)")


if __name__ == "__main__":
    main()
