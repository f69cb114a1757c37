"""Building and dropping runtimes, collections and every operator leaves no reference behind:
sentinel values, functions and keys return to their starting reference counts and Python's
traced memory returns to where it started."""
import gc
import operator
import sys
import tracemalloc

import velk_concurrent as vc
from conftest import run_python


class Sentinel:
    """A value that hashes and orders, so every operator accepts it."""

    def __init__(self, n):
        self.n = n

    def __eq__(self, other):
        return isinstance(other, Sentinel) and other.n == self.n

    def __hash__(self):
        return hash(self.n)

    def __lt__(self, other):
        return self.n < other.n


VALUES = [Sentinel(n) for n in range(6)]
KEY = Sentinel(100)


def key_fn(x):
    return KEY


def identity(x):
    return x


def workload():
    """One runtime exercising every node kind, operator, observer and failure path."""
    rt = vc.Runtime()
    a = rt.create_input(VALUES[0])
    q = rt.create_query(lambda ref: (ref.get(a), KEY))
    failing = rt.create_query(lambda ref: 1 // 0 if ref.get(a) is VALUES[1] else ref.get(a))
    rt.observe(q, identity)
    for v in VALUES:
        rt.set(a, v)
        rt.get(q)
        rt.stabilize()
        try:
            rt.get(failing)
        except ZeroDivisionError:
            pass
    rt.get_traced(q)
    rt.set_label(a, "a")
    rt.graph_snapshot()
    left, right = rt.create_collection(), rt.create_collection()
    ordered = left.sort_by_key(identity)
    grouped = left.group_by(key_fn)
    views = [left.map(identity), left.filter(identity), left.join(right, key_fn, key_fn),
             ordered.window(2), ordered.pairwise()]
    nodes = [left.count(), left.reduce(len), left.aggregate(VALUES[0], identity, max)]
    for v in VALUES:
        left.insert(v)
        right.insert(v)
    for view in views:
        rt.get(view.version_node)
    rt.get(ordered.version_node), rt.get(grouped.version_node)
    rt.get(grouped.get_group(KEY).version_node)
    for node in nodes:
        rt.get(node)
    for v in VALUES[::2]:
        left.delete(v)
    rt.get(views[2].version_node), rt.get(grouped.version_node)
    rt.delete_with_dependents(a)


def settle():
    gc.collect()
    probe = vc.Runtime()  # entering the module drops references queued by other threads
    probe.get(probe.create_input(None))


def test_repeated_workloads_release_every_reference_and_allocation():
    tracked = VALUES + [KEY, identity, key_fn, max, len]
    workload()  # first run: caches, interned strings and the like
    settle()
    counts = [sys.getrefcount(x) for x in tracked]
    tracemalloc.start()
    try:
        workload()
        settle()
        start = tracemalloc.get_traced_memory()[0]
        for _ in range(30):
            workload()
        settle()
        grown = tracemalloc.get_traced_memory()[0] - start
    finally:
        tracemalloc.stop()
    assert [sys.getrefcount(x) for x in tracked] == counts
    assert grown < 64 * 1024, f"{grown} bytes still traced after 30 runs"


def test_operator_built_and_dropped_alone_releases_its_functions():
    for build in (lambda c: c.map(identity), lambda c: c.filter(identity),
                  lambda c: c.join(c, key_fn, key_fn), lambda c: c.group_by(key_fn),
                  lambda c: c.sort_by_key(identity).window(1), lambda c: c.reduce(len),
                  lambda c: c.aggregate(KEY, identity, operator.add)):
        tracked = (identity, key_fn, KEY, VALUES[0])
        before = [sys.getrefcount(x) for x in tracked]
        rt = vc.Runtime()
        c = rt.create_collection()
        c.insert(VALUES[0])
        built = build(c)
        del built, c, rt
        settle()
        assert [sys.getrefcount(x) for x in tracked] == before


def test_workload_is_clean_under_development_mode_with_warnings_as_errors():
    result = run_python("""
        import threading
        import test_leaks
        for _ in range(3):
            test_leaks.workload()
        # Threads that drop values without the interpreter lock, then exit.
        threads = [threading.Thread(target=test_leaks.workload) for _ in range(2)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        test_leaks.settle()
        print("done")
    """, PYTHONDEVMODE="1", PYTHONWARNINGS="error")
    assert result.returncode == 0, result.stderr[-3000:]
    assert result.stdout.strip() == "done"
    assert result.stderr == ""
