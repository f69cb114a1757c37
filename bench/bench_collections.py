"""One insert plus the read of a map -> filter -> count pipeline, at two collection sizes,
next to recomputing the same count from a Python list.

Run after `pip install .`:  python bench/bench_collections.py
"""
import time

import velk_concurrent as velk


def square(x):
    return x * x


def even(x):
    return x % 2 == 0


def pipeline(size):
    rt = velk.Runtime()
    source = rt.create_collection()
    for i in range(size):
        source.insert(i)
    count = source.map(square).filter(even).count()
    rt.get(count)
    return rt, source, count


def per_change_ns(rt, source, count, start, changes):
    begin = time.perf_counter_ns()
    for i in range(start, start + changes):
        source.insert(i)
        rt.get(count)
    return (time.perf_counter_ns() - begin) / changes


def from_scratch_ns(size, changes):
    data = list(range(size))
    begin = time.perf_counter_ns()
    for i in range(changes):
        data.append(size + i)
        sum(1 for x in map(square, data) if even(x))
    return (time.perf_counter_ns() - begin) / changes


def main():
    for size in (10**3, 10**6):
        rt, source, count = pipeline(size)
        incremental = per_change_ns(rt, source, count, size, 2000)
        scratch = from_scratch_ns(size, 20 if size > 10**4 else 2000)
        print(f"{size:>8} elements: insert + read {incremental / 1000:8.2f} us/change, "
              f"from a Python list {scratch / 1000:10.2f} us/change")


if __name__ == "__main__":
    main()
