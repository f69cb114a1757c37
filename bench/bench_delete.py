"""Cost of deleting widely read nodes: the time per deleted node should not grow with N.

Run after `pip install .`:  python bench/bench_delete.py [N ...]
"""
import sys
import time

import velk_concurrent as velk

SIZES = [50_000, 100_000, 200_000, 400_000]


def timed(fn):
    start = time.perf_counter()
    result = fn()
    return time.perf_counter() - start, result


def fan_out(n):
    """An input read by n queries, each read once."""
    rt = velk.Runtime()
    x = rt.create_input(1)
    queries = [rt.create_query(lambda r: r.get(x) + 1) for _ in range(n)]
    for q in queries:
        rt.get(q)
    return rt, x, queries


def delete_with_dependents(n):
    rt, x, _ = fan_out(n)
    seconds, deleted = timed(lambda: rt.delete_with_dependents(x))
    assert deleted == n + 1
    return seconds


def delete_readers_one_by_one(n):
    rt, x, queries = fan_out(n)
    seconds, _ = timed(lambda: [rt.delete_node(q) for q in queries])
    return seconds


def delete_observed(n):
    rt = velk.Runtime()
    nodes = [rt.create_input(i) for i in range(n)]
    for node in nodes:
        rt.observe(node, lambda v: None)
    seconds, _ = timed(lambda: [rt.delete_node(node) for node in nodes])
    return seconds


def unobserve_all(n):
    rt = velk.Runtime()
    x = rt.create_input(1)
    ids = [rt.observe(x, lambda v: None) for _ in range(n)]
    seconds, _ = timed(lambda: [rt.unobserve(i) for i in ids])
    return seconds


CASES = [
    ("delete_with_dependents(input read by N)", delete_with_dependents),
    ("delete_node of N readers, one by one", delete_readers_one_by_one),
    ("delete_node of N observed inputs", delete_observed),
    ("unobserve of N observers", unobserve_all),
]


def main():
    sizes = [int(a) for a in sys.argv[1:]] or SIZES
    for name, case in CASES:
        print(name)
        for n in sizes:
            seconds = case(n)
            print(f"  N={n:>7}  {seconds:8.3f} s  {seconds / n * 1e6:7.2f} us/node")


if __name__ == "__main__":
    main()
