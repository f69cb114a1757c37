"""Coverage-guided fuzzing of the velk_concurrent API with atheris.

Each input is turned into a sequence of calls on one runtime (plus a foreign one): inputs,
queries from a table of hostile query functions, set/get, observers, deletion, labels,
tracing, snapshots, collections and every operator, and arbitrary methods called with
arbitrary arguments. Python exceptions are the expected answer to bad calls; a crash, a hang
(libFuzzer's -timeout) or a failed invariant check is a finding.

The module itself is not instrumented (that would need a clang/libFuzzer build of the
extension); coverage comes from this harness's own Python code, which atheris instruments.

Run longer, keeping a corpus (findings land as crash-*/timeout-* in the current directory;
copy them to tests/fuzz/regressions/ once fixed):

    mkdir -p corpus && .venv/bin/python tests/fuzz/fuzz_api.py -max_total_time=3600 \
        -timeout=60 -max_len=4096 -rss_limit_mb=8192 corpus/ tests/fuzz/regressions/

Memory grows over a long run: query functions refer to their runtime, and until the module's
objects take part in garbage collection each such cycle keeps its runtime alive.

Replay saved inputs (what tests/python/test_fuzz.py does):

    .venv/bin/python tests/fuzz/fuzz_api.py tests/fuzz/regressions/*
"""
import gc
import os
import sys
import threading

import atheris

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

with atheris.instrument_imports():
    import fuzz_tables as tables

import velk_concurrent as vc

MAX_STEPS = 120
# Elements unequal to themselves (NaN, a raising __eq__) never match a stored copy, so each
# insert of one adds a key to the same hash bucket: collections stay small to stay fast.
MAX_ELEMENTS = 48
THREAD_JOIN_SECONDS = 20


def _panic_type():
    """PanicException is not exported: catch one to get the class."""
    runtime = vc.Runtime()

    def creates(ref):
        try:
            runtime.create_input(0)
        except BaseException as exc:
            return type(exc)

    return runtime.get(runtime.create_query(creates))


PANIC = _panic_type()
EXPECTED = (Exception, PANIC)


def small(coll):
    return coll.snapshot_len() < MAX_ELEMENTS


class Session:
    """The objects one input works on. Pools keep stale and foreign objects on purpose."""

    def __init__(self, fdp):
        self.fdp = fdp
        self.rt = vc.Runtime()
        self.foreign = vc.Runtime()
        self.nodes = [self.foreign.create_input(0)]      # every handle ever made, any runtime
        self.deleted = []                                # handles seen deleted
        self.colls = [self.foreign.create_collection()]  # Collection objects
        self.sorted = []
        self.grouped = []
        self.observers = []
        self.refs = []                                   # RuntimeRefs kept past their compute
        self.counts = []                                 # (count node, source collection)
        # ids of join outputs and of everything built on them (an id reused after a free only
        # refuses a join more). A join holds the product of its sides, and its sources may
        # still grow after it is built: a join of joins squares MAX_ELEMENTS twice, a chain of
        # self-joins of equal keys squares at each level, so joins take no such input.
        self.products = set()

    # --- picking ---
    def pick(self, pool):
        return pool[self.fdp.ConsumeIntInRange(0, len(pool) - 1)] if pool else None

    def node(self):
        return self.pick(self.nodes) or self.rt.create_input(0)

    def coll(self):
        return self.pick(self.colls)

    def value(self):
        if self.fdp.ConsumeIntInRange(0, 15) == 0:
            return tables.Reentrant(self.reentrant_call(), EXPECTED)
        return tables.make_value(self.fdp, self.nodes + self.colls + self.sorted)

    def unary(self):
        if self.fdp.ConsumeIntInRange(0, 3):
            return self.pick(tables.UNARY)
        return self.reentrant()

    def reentrant(self):
        """An operator callback that calls back into the runtime while its operator computes."""
        call, swallow = self.reentrant_call(), self.fdp.ConsumeBool()

        def callback(*args):
            try:
                call()
            except EXPECTED:
                if not swallow:
                    raise
            return args[0] if args else 0

        return callback

    def reentrant_call(self):
        rt, node, coll = self.rt, self.node(), self.coll()
        value = tables.make_value(self.fdp, self.nodes)
        s, g = self.pick(self.sorted), self.pick(self.grouped)
        return self.pick([
            lambda: small(coll) and coll.insert(value),  # perhaps into the operator's own source
            lambda: coll.delete(value),
            lambda: rt.get(node),
            lambda: rt.set(node, value),
            lambda: rt.delete_with_dependents(node),
            lambda: rt.stabilize(),
            lambda: coll.map(tables.UNARY[0]),
            lambda: s and (s.snapshot(), s.window(2)),
            lambda: g and [g.get_group(k) for k in g.keys()],
            lambda: gc.collect(),
            lambda: rt.graph_snapshot(),
            lambda: rt.get_traced(node),
        ])

    def owner(self):
        """The runtime most calls go to: usually ours, sometimes the foreign one."""
        return self.foreign if self.fdp.ConsumeIntInRange(0, 9) == 0 else self.rt

    def remember(self, result):
        """Files a returned object into the pool of its kind."""
        if isinstance(result, vc.NodeId):
            self.nodes.append(result)
        elif isinstance(result, vc.Collection):
            self.colls.append(result)
        elif isinstance(result, vc.SortedCollection):
            self.sorted.append(result)
        elif isinstance(result, vc.GroupedCollection):
            self.grouped.append(result)
        elif isinstance(result, vc.ObserverId):
            self.observers.append(result)
        return result

    # --- query functions ---
    def query_function(self):
        kind = self.fdp.ConsumeIntInRange(0, 17)
        swallow = self.fdp.ConsumeBool()  # whether the function catches what its calls raise
        reads = [self.node() for _ in range(self.fdp.ConsumeIntInRange(0, 3))]
        value, target, coll = self.value(), self.node(), self.coll()
        rt, foreign, refs, me = self.rt, self.foreign, self.refs, []
        actions = {
            0: lambda ref: value,
            1: lambda ref: tuple(ref.get(n) for n in reads),
            2: lambda ref: sum(ref.get(n) for n in reads),
            3: tables._raise,
            4: lambda ref: float("nan"),
            5: lambda ref: [ref.get(n) for n in reads],
            6: lambda ref: 10 ** 300,
            7: lambda ref: rt.create_input(value),
            8: lambda ref: rt.create_query(lambda r: 0),
            9: lambda ref: rt.delete_node(target),
            10: lambda ref: ref.get(me[0]),                  # reads itself: a cycle
            11: lambda ref: rt.set(target, value),
            12: lambda ref: (rt.stabilize(), rt.get_traced(target), rt.graph_snapshot()),
            13: lambda ref: refs.append(ref),
            14: lambda ref: coll.insert(value),
            15: lambda ref: rt.get(target),                   # the runtime, not the ref
            16: lambda ref: foreign.get(target),              # a compute of another runtime inside
            17: lambda ref: rt.delete_with_dependents(target),
        }
        action = actions[kind]

        def compute(ref):
            if not swallow:
                return action(ref)
            try:
                return action(ref)
            except EXPECTED as exc:
                return type(exc).__name__

        return compute, me

    def observer_callback(self):
        kind = self.fdp.ConsumeIntInRange(0, 5)
        target, value, rt, observers = self.node(), self.value(), self.rt, self.observers
        return [
            lambda v: None,
            tables._raise,
            lambda v: rt.set(target, value),
            lambda v: rt.delete_node(target),
            lambda v: rt.stabilize(),
            lambda v: [rt.unobserve(o) for o in observers],
        ][kind]

    # --- steps ---
    def step(self):
        fdp, rt = self.fdp, self.rt
        op = fdp.ConsumeIntInRange(0, 27)
        if op == 0:
            self.remember(self.owner().create_input(self.value()))
        elif op == 1:
            compute, me = self.query_function()
            me.append(self.remember(self.owner().create_query(compute)))
        elif op == 2:
            self.owner().set(self.node(), self.value())
        elif op == 3:
            self.owner().get(self.node())
        elif op == 4:
            ref = self.pick(self.refs)
            if ref is not None:
                ref.get(self.node())
        elif op == 5:
            node = self.node()
            if rt.is_alive(node) and node in self.deleted:
                raise AssertionError(f"deleted node {node.id} reported alive")
        elif op == 6:
            self.remember(self.owner().observe(self.node(), self.observer_callback()))
        elif op == 7:
            oid = self.pick(self.observers)
            self.owner().unobserve(oid if oid is not None and fdp.ConsumeBool() else self.value())
        elif op == 8:
            self.owner().stabilize()
        elif op == 9:
            node = self.node()
            self.owner().delete_node(node)
            self.deleted.append(node)
        elif op == 10:
            node = self.node()
            self.owner().delete_with_dependents(node)
            self.deleted.append(node)
        elif op == 11:
            self.owner().set_label(self.node(), self.value() if fdp.ConsumeBool() else "label")
        elif op == 12:
            self.owner().set_label_by_id(self.value(), self.value())
        elif op == 13:
            self.owner().get_traced(self.node())
        elif op == 14:
            self.check_snapshot(self.owner())
        elif op == 15:
            self.remember(self.owner().create_collection())
        elif op == 16:
            coll = self.coll()
            if small(coll):
                coll.insert(self.value())
        elif op == 17:
            self.coll().delete(self.value())
        elif op == 18:
            self.collection_operator(self.coll())
        elif op == 19:
            self.sorted_step(self.pick(self.sorted))
        elif op == 20:
            self.grouped_step(self.pick(self.grouped))
        elif op == 21:
            self.call_anything()
        elif op == 22:
            self.check_counts()
        elif op == 23:
            pool = self.pick([self.colls, self.sorted, self.grouped, self.nodes])
            if pool:
                del pool[fdp.ConsumeIntInRange(0, len(pool) - 1)]
            self.collect()
        elif op == 24:
            # Drop the Runtime object; its collections keep the engine alive, its nodes turn foreign.
            self.foreign, self.rt = self.rt, vc.Runtime()
            self.collect()
        elif op == 25:
            self.in_thread()
        elif op == 26:
            obj = self.pick(self.colls + self.sorted + self.grouped)
            if obj is not None:
                self.owner().get(obj.version_node)
        else:
            self.owner().node_count()

    def derive(self, source, result):
        """Files `result`, built on `source`, as a product when `source` is one."""
        built = (vc.Collection, vc.SortedCollection, vc.GroupedCollection)
        if id(source) in self.products and isinstance(result, built):
            self.products.add(id(result))
        return self.remember(result)

    def collect(self):
        # A full collection costs milliseconds with the fuzzer's heap: mostly the young one.
        gc.collect(2 if self.fdp.ConsumeIntInRange(0, 7) == 0 else 0)

    def collection_operator(self, coll):
        fdp = self.fdp
        op = fdp.ConsumeIntInRange(0, 8)
        if op == 0:
            result = coll.map(self.unary())
        elif op == 1:
            result = coll.filter(self.unary())
        elif op == 2:
            result = coll.count()
            self.counts.append((result, coll))
        elif op == 3:
            result = coll.reduce(self.pick(tables.FOLD) if self.fdp.ConsumeBool() else self.reentrant())
        elif op == 4:
            right, left_key, right_key = self.coll(), self.unary(), self.unary()
            if id(coll) in self.products or id(right) in self.products:
                return
            result = coll.join(right, left_key, right_key)
            self.products.add(id(result))
        elif op == 5:
            result = coll.group_by(self.unary())
        elif op == 6:
            combine = self.pick(tables.BINARY) if self.fdp.ConsumeBool() else self.reentrant()
            result = coll.aggregate(self.value(), self.unary(), combine)
        elif op == 7:
            result = coll.sort_by_key(self.unary())
        else:
            result = coll.snapshot_len()
        self.derive(coll, result)

    def sorted_step(self, s):
        if s is None:
            return
        op = self.fdp.ConsumeIntInRange(0, 3)
        if op == 0:
            s.snapshot()
            s.snapshot_len()
        elif op == 1:
            self.derive(s, s.window(self.value() if self.fdp.ConsumeBool() else
                                    self.fdp.ConsumeIntInRange(-2, 5)))
        elif op == 2:
            self.derive(s, s.pairwise())
        else:
            self.owner().get(s.version_node)

    def grouped_step(self, g):
        if g is None:
            return
        op = self.fdp.ConsumeIntInRange(0, 2)
        if op == 0:
            keys = g.keys()
            g.group_count()
            if keys:
                self.derive(g, g.get_group(self.pick(keys)))
        elif op == 1:
            self.derive(g, g.get_group(self.value()))
        else:
            self.owner().get(g.version_node)

    def call_anything(self):
        """Any public method or the class itself, with arbitrary arguments: wrong types, arity."""
        target = self.pick([self.rt, self.coll(), self.pick(self.sorted), self.pick(self.grouped),
                            self.node(), self.pick(self.observers), self.pick(self.refs)])
        if target is None:
            return
        names = [n for n in dir(target) if not n.startswith("_")] + ["__init__", "__eq__", "__hash__"]
        attr = getattr(target, self.pick(names))
        if self.fdp.ConsumeIntInRange(0, 7) == 0:
            attr = type(target)  # constructing a class that Python code should not construct
        args = [self.value() for _ in range(self.fdp.ConsumeIntInRange(0, 4))]
        if callable(attr):
            self.derive(target, attr(*args))

    def in_thread(self):
        """A read, set or insert on another thread while this one reads; both must finish."""
        node, coll, value, rt = self.node(), self.coll(), self.value(), self.rt
        work = self.pick([lambda: rt.get(node), lambda: rt.set(node, value), lambda: coll.insert(value)])

        def run():
            try:
                work()
            except EXPECTED:
                pass

        thread = threading.Thread(target=run, daemon=True)
        thread.start()
        try:
            rt.get(self.node())
        finally:
            thread.join(THREAD_JOIN_SECONDS)
        if thread.is_alive():
            raise AssertionError("a call on another thread did not finish: deadlock")

    # --- invariants ---
    def check_snapshot(self, rt):
        snapshot = rt.graph_snapshot()
        if len(snapshot) != rt.node_count():
            raise AssertionError(f"graph_snapshot has {len(snapshot)} nodes, node_count says "
                                 f"{rt.node_count()}")

    def check_counts(self):
        for count, coll in self.counts:
            try:
                n = self.rt.get(count)
            except EXPECTED:
                continue
            if n != coll.snapshot_len():
                raise AssertionError(f"count node says {n}, its source holds {coll.snapshot_len()}")


def TestOneInput(data):
    fdp = atheris.FuzzedDataProvider(data)
    session = Session(fdp)
    for _ in range(MAX_STEPS):
        if fdp.remaining_bytes() == 0:
            break
        try:
            session.step()
        except AssertionError:
            raise
        except EXPECTED:
            pass
    for rt in (session.rt, session.foreign):
        try:
            session.check_snapshot(rt)
        except EXPECTED[1]:
            pass


def main():
    atheris.instrument_func(TestOneInput)
    for method in vars(Session).values():
        if callable(method):
            atheris.instrument_func(method)
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
