"""One insert into a sorted collection of 10^5 elements, then reading window(3) and a sum
aggregate over it.

Run after `pip install .`:  python bench/bench_sorted.py
"""
import random
import time

import velk_concurrent as velk

SIZE = 100_000
CHANGES = 500


def identity(x):
    return x


def add(a, b):
    return a + b


def main():
    rng = random.Random(7)
    rt = velk.Runtime()
    source = rt.create_collection()
    for _ in range(SIZE):
        source.insert(rng.random())
    windows = source.sort_by_key(identity).window(3)
    total = source.aggregate(0.0, identity, add)
    rt.get(windows.version_node)
    rt.get(total)
    begin = time.perf_counter_ns()
    for _ in range(CHANGES):
        source.insert(rng.random())
        rt.get(windows.version_node)
        rt.get(total)
    elapsed = time.perf_counter_ns() - begin
    print(f"sorted collection of {SIZE} elements: insert + read window(3) and sum aggregate "
          f"{elapsed / CHANGES / 1000:.1f} us per change")


if __name__ == "__main__":
    main()
