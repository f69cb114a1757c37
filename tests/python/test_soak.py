"""Soak: several threads use one runtime at random for a bounded time, then everything must
equal a from-scratch recomputation from the final inputs and collection contents.

VELK_SOAK_SECONDS sets the duration (default 15). Without the GIL the workers run Python at
once, so eight of them press harder than four. A thread that does not finish in time is a
deadlock: the stacks of all threads are dumped and the test fails.
"""
import collections
import faulthandler
import os
import random
import sys
import threading
import time

from conftest import panic_type

PanicException = panic_type()
SECONDS = float(os.environ.get("VELK_SOAK_SECONDS", "15"))
THREADS = 4 if getattr(sys, "_is_gil_enabled", lambda: True)() else 8
WIDTH = 8
ELEMENTS = range(24)
JOIN_GRACE = 60


def join_key(x):
    return x % 5


class Graph:
    """The permanent nodes and operators. Each query is a function of a reader, so the same
    function runs in the engine (reader = ref.get) and in the from-scratch check."""

    def __init__(self, rt):
        self.rt = rt
        self.inputs = [rt.create_input(i) for i in range(WIDTH)]
        self.left, self.right = rt.create_collection(), rt.create_collection()
        self.count = self.left.count()
        ins, count = self.inputs, self.count
        pairs = [(lambda i: lambda get: get(ins[i]) + get(ins[(i + 1) % WIDTH]))(i)
                 for i in range(WIDTH)]
        self.rules = {}
        self.pairs = [self.query(rule) for rule in pairs]
        total = self.query(lambda get: sum(get(p) for p in self.pairs))
        top = self.query(lambda get: max(get(p) for p in self.pairs))
        # The dependencies change with the inputs: the branch not taken is not read.
        branch = self.query(lambda get: get(self.pairs[0]) if get(ins[7]) % 2 else get(self.pairs[3]))
        self.query(lambda get: (get(total) // 10, get(branch) > 5))  # cut off often
        self.query(lambda get: get(count) + get(top))
        self.views = self.operators(self.left, self.right)

    def query(self, rule):
        node = self.rt.create_query(lambda ref: rule(ref.get))
        self.rules[node] = rule
        return node

    def operators(self, left, right):
        """Operator outputs, each read through a reduce so that its contents can be compared."""
        by_key = left.sort_by_key(lambda x: -x)
        grouped = left.group_by(lambda x: x % 3)
        return {
            "map": left.map(lambda x: x * 2).reduce(sorted),
            "filter": left.filter(lambda x: x % 3 == 0).reduce(sorted),
            "sum": left.reduce(sum),
            "aggregate": left.aggregate(0, lambda x: x, lambda a, b: a + b),
            "join": left.join(right, join_key, join_key).reduce(sorted),
            "window": by_key.window(3).reduce(lambda ws: sorted(map(tuple, ws))),
            "pairwise": by_key.pairwise().reduce(sorted),
            "sorted": by_key,
            "grouped": grouped,
        }

    def expected(self, node, left):
        """A from-scratch value: inputs as they are now, queries recomputed from them, the
        count from the final contents `left`."""
        memo = {self.count: len(left)}

        def get(n):
            if n not in memo:
                if n in self.rules:
                    memo[n] = self.rules[n](get)
                else:
                    memo[n] = self.rt.get(n)
            return memo[n]

        return get(node)


def expected_views(left, right):
    ordered = sorted(left, reverse=True)
    return {
        "map": sorted(x * 2 for x in left),
        "filter": sorted(x for x in left if x % 3 == 0),
        "sum": sum(left),
        "aggregate": sum(left),
        "join": sorted((l, r) for l in left for r in right if join_key(l) == join_key(r)),
        "window": sorted(tuple(ordered[i:i + 3]) for i in range(len(ordered) - 2)),
        "pairwise": sorted(zip(ordered, ordered[1:])),
    }


class Worker:
    def __init__(self, graph, seed, deadline):
        self.g, self.rt = graph, graph.rt
        self.rng = random.Random(seed)
        self.deadline = deadline
        self.ops = 0
        self.changes = {"left": collections.Counter(), "right": collections.Counter()}
        self.observers = []
        self.made_operators = 0

    def run(self):
        steps = [self.set_input, self.read, self.read, self.observe, self.stabilize,
                 self.temporary_nodes, self.change_collection, self.change_collection,
                 self.read_view, self.temporary_operator]
        while time.monotonic() < self.deadline:
            self.rng.choice(steps)()
            self.ops += 1

    def set_input(self):
        self.rt.set(self.rng.choice(self.g.inputs), self.rng.randrange(20))

    def read(self):
        self.rt.get(self.rng.choice(list(self.g.rules)))

    def observe(self):
        if self.observers and self.rng.random() < 0.5:
            self.rt.unobserve(self.observers.pop())
        else:
            self.observers.append(self.rt.observe(self.rng.choice(list(self.g.rules)), lambda v: None))

    def stabilize(self):
        self.rt.stabilize()

    def temporary_nodes(self):
        """Nodes made, read, observed and deleted while the others run."""
        t = self.rt.create_input(self.rng.randrange(5))
        base = self.rng.choice(self.g.pairs)
        q = self.rt.create_query(lambda ref: ref.get(t) + ref.get(base))
        top = self.rt.create_query(lambda ref: ref.get(q) * 2)
        self.rt.observe(top, lambda v: None)
        assert self.rt.get(top) % 2 == 0
        if self.rng.random() < 0.5:
            assert self.rt.delete_with_dependents(t) == 3
        else:
            for node in (top, q, t):
                self.rt.delete_node(node)
        assert not any(self.rt.is_alive(n) for n in (t, q, top))

    def change_collection(self):
        side = self.rng.choice(["left", "right"])
        coll = self.g.left if side == "left" else self.g.right
        x = self.rng.choice(ELEMENTS)
        if self.rng.random() < 0.5 and coll.snapshot_len() < 150:  # bounded: the join is n^2
            coll.insert(x)
            self.changes[side][x] += 1
        elif coll.delete(x):
            self.changes[side][x] -= 1

    def read_view(self):
        view = self.g.views[self.rng.choice(list(self.g.views))]
        self.rt.get(view if not hasattr(view, "version_node") else view.version_node)

    def temporary_operator(self):
        """An operator built on the live collection, read once and dropped. Its nodes stay in
        the graph (only deleting the source would remove them), so a worker makes a few only."""
        if self.made_operators < 25:
            self.made_operators += 1
            self.rt.get(self.g.left.filter(lambda x: x > 10).count())
        else:
            self.read()


def run_workers(workers):
    errors = []

    def guarded(worker):
        try:
            worker.run()
        except BaseException as exc:  # PanicException included
            errors.append(exc)

    threads = [threading.Thread(target=guarded, args=(w,), daemon=True) for w in workers]
    for t in threads:
        t.start()
    end = time.monotonic() + SECONDS + JOIN_GRACE
    for t in threads:
        t.join(timeout=max(0.0, end - time.monotonic()))
    if any(t.is_alive() for t in threads):
        faulthandler.dump_traceback(file=sys.stderr, all_threads=True)
        raise AssertionError("soak threads did not finish: deadlock")
    if errors:
        raise errors[0]


def contents(workers, side):
    total = collections.Counter()
    for w in workers:
        total.update(w.changes[side])
    return sorted(total.elements())


def test_soak_ends_equal_to_a_from_scratch_recomputation(rt, capsys):
    g = Graph(rt)
    fired = {}
    for node in g.rules:
        rt.observe(node, lambda v, node=node: fired.__setitem__(node, v))
    deadline = time.monotonic() + SECONDS
    workers = [Worker(g, seed, deadline) for seed in range(THREADS)]
    run_workers(workers)

    left, right = contents(workers, "left"), contents(workers, "right")
    assert (g.left.snapshot_len(), g.right.snapshot_len()) == (len(left), len(right))
    for node in g.rules:
        assert rt.get(node) == g.expected(node, left)
    views = {name: rt.get(node) for name, node in g.views.items() if name not in ("sorted", "grouped")}
    assert views == expected_views(left, right)
    rt.get(g.views["sorted"].version_node)
    assert g.views["sorted"].snapshot() == sorted(left, reverse=True)
    grouped = g.views["grouped"]
    rt.get(grouped.version_node)
    groups = {k: rt.get(grouped.get_group(k).reduce(sorted)) for k in grouped.keys()}
    assert {k: v for k, v in groups.items() if v} == {
        k: [x for x in left if x % 3 == k] for k in {x % 3 for x in left}}

    # Raising every input changes every query, so one more pass fires every observer that
    # was there all along, with the recomputed value.
    for node in g.inputs:
        rt.set(node, rt.get(node) + 100)
    fired.clear()
    rt.stabilize()
    assert fired == {node: g.expected(node, left) for node in g.rules}

    ops = sum(w.ops for w in workers)
    with capsys.disabled():
        print(f"\nsoak: {ops} operations by {THREADS} threads in {SECONDS:g} s, "
              f"{len(left)} + {len(right)} elements at the end")
