"""Bulk loading and operator builds: insert_many against a loop of insert and list.append, and
the time to build and read each operator over n elements next to the pure-Python computation
of the same result from scratch, in the same run.

Run alone:  python bench/suite.py --only 9  (or python bench/bulk_bench.py [--quick])
"""
import functools
import gc
import operator
import random
import sys
import time

import velk_concurrent as velk
from report import row, target

SEC = "9 bulk"


def seconds(fn):
    """The collector is off while timing, on both sides: its full passes over the millions of
    objects alive would otherwise dominate whichever side happens to trigger them."""
    gc.collect()
    gc.disable()
    try:
        t0 = time.perf_counter()
        kept = fn()  # released after the clock stops: teardown is not part of the figure
        elapsed = time.perf_counter() - t0
        del kept
        return elapsed
    finally:
        gc.enable()


def best(fn, repeats):
    return min(seconds(fn) for _ in range(repeats))


def loaded(values):
    rt = velk.Runtime()
    source = rt.create_collection()
    source.insert_many(values)
    return rt, source


def load_rows(n, repeats):
    """Ints in order (their objects lie in memory in the order they are inserted, as when a
    loop produces them), then the same ints shuffled, where every hash is a cache miss."""
    for order, values in (("in order", list(range(n))), ("shuffled", shuffled(n))):
        def loop():
            c = velk.Runtime().create_collection()
            insert = c.insert
            for v in values:
                insert(v)
            return c

        def bulk():
            c = velk.Runtime().create_collection()
            c.insert_many(values)
            return c

        def append():
            out = []
            for v in values:
                out.append(v)
            return out

        t_loop, t_bulk = best(loop, repeats), best(bulk, repeats)
        t_list = best(append, repeats)
        speedup = t_loop / t_bulk
        row(SEC, f"{n} inserts {order}: insert loop", t_loop, "s")
        row(SEC, f"{n} inserts {order}: insert_many", t_bulk, "s", f"{speedup:.1f}x faster than the loop")
        row(SEC, f"{n} inserts {order}: list.append loop", t_list, "s")
        if order == "in order":
            target(f"insert_many of {n} ints >=5x faster than a loop of insert", f"{speedup:.1f}x",
                   speedup >= 5)


def key_mod(x):
    return x % 1000


def operator_cases(values):
    """name -> (make(c): the operator objects over c and the node whose read brings them up to
    date, the pure-Python computation of the same result)."""
    def map_filter_count(c):
        m = c.map(lambda x: x + 1)
        f = m.filter(lambda x: x & 1)
        n = f.count()
        return (m, f), n

    def py_map_filter_count():
        mapped = list(map(lambda x: x + 1, values))
        kept = [y for y in mapped if (lambda x: x & 1)(y)]
        return mapped, kept, len(kept)

    def sort(c):
        s = c.sort_by_key(lambda x: x)
        return s, s.version_node

    def window(c):
        s = c.sort_by_key(lambda x: x)
        w = s.window(3)
        return (s, w), w.version_node

    def py_window():
        s = sorted(values, key=lambda x: x)
        return s, [s[i:i + 3] for i in range(len(s) - 2)]

    def pairwise(c):
        s = c.sort_by_key(lambda x: x)
        p = s.pairwise()
        return (s, p), p.version_node

    def py_pairwise():
        s = sorted(values, key=lambda x: x)
        return s, list(zip(s, s[1:]))

    def aggregate(c):
        a = c.aggregate(0, lambda x: x, operator.add)
        return a, a

    def py_aggregate():
        return functools.reduce(operator.add, map(lambda x: x, values), 0)

    def group_by(c):
        g = c.group_by(key_mod)
        return g, g.version_node

    def py_group_by():
        groups = {}
        for x in values:
            groups.setdefault(key_mod(x), []).append(x)
        return groups

    return {
        "map-filter-count": (map_filter_count, py_map_filter_count),
        "sort_by_key": (sort, lambda: sorted(values, key=lambda x: x)),
        "sort_by_key-window3": (window, py_window),
        "sort_by_key-pairwise": (pairwise, py_pairwise),
        "aggregate(sum)": (aggregate, py_aggregate),
        "group_by 1000 keys": (group_by, py_group_by),
    }


def build_rows(values, repeats, only=None):
    n = len(values)
    for name, (make, plain) in operator_cases(values).items():
        if only and name not in only:
            continue
        rt, source = loaded(values)

        def from_contents():
            built, node = make(source)
            rt.get(node)
            return built

        def from_batch():
            r = velk.Runtime()
            c = r.create_collection()
            built, node = make(c)  # on the empty collection, then one batch of n inserts
            r.get(node)
            c.insert_many(values)
            r.get(node)
            return r, c, built

        t_seed = best(from_contents, repeats)
        t_batch = best(from_batch, repeats)
        t_plain = best(plain, repeats)
        ratio = t_seed / t_plain
        row(SEC, f"{name} {n}: build from contents", t_seed, "s", f"{ratio:.1f}x pure Python")
        row(SEC, f"{name} {n}: one batch of {n}", t_batch, "s",
            f"{t_batch / t_plain:.1f}x pure Python (load included)")
        row(SEC, f"{name} {n}: pure Python", t_plain, "s")
        target(f"{name}: build over {n} <=3x pure Python", f"{ratio:.1f}x", ratio <= 3)
        del rt, source
        gc.collect()


def batch_rows(values, repeats):
    """A batch of a tenth more into an operator already built over the rest: the engine's
    insert_many and the read that routes or merges it, against the pure-Python from-scratch
    computation over all of them."""
    n = len(values) * 10 // 11
    held, batch = values[:n], values[n:]
    cases = operator_cases(values)
    for name in ("group_by 1000 keys", "sort_by_key"):
        make, plain = cases[name]
        times = []
        for _ in range(repeats):
            rt, source = loaded(held)
            built, node = make(source)
            rt.get(node)

            def add():
                source.insert_many(batch)
                rt.get(node)

            times.append(seconds(add))
            del rt, source, built, node
            gc.collect()
        t_batch, t_plain = min(times), best(plain, repeats)
        row(SEC, f"{name}: insert_many of {len(batch)} into {n}", t_batch, "s",
            f"{t_plain / t_batch:.1f}x faster than pure Python from scratch")
        row(SEC, f"{name}: pure Python over {len(values)}", t_plain, "s")


def shuffled(n):
    values = list(range(n))
    random.Random(7).shuffle(values)
    return values


def bench_bulk(q, only=None):
    values = shuffled(10 ** 5 if q else 10 ** 6)
    repeats = 3 if q else 2
    if not only:
        load_rows(len(values), repeats)
    build_rows(values, repeats, only)
    if not only:
        batch_rows(shuffled(len(values) * 11 // 10), repeats)


if __name__ == "__main__":
    import report

    # operator names given after the options run just those builds
    bench_bulk("--quick" in sys.argv, [a for a in sys.argv[1:] if not a.startswith("--")])
    for _, name, value, unit, note in report.ROWS:
        print(f"{name:<52} {value:8.3f} {unit:<2} {note}")
    for text, figure, verdict in report.TARGETS:
        print(f"{verdict}  {text}: {figure}")
