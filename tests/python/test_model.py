"""Random operations on a runtime and on the reference model in `model.py` must agree.

Every step compares what Python can see: values (and their identity where the engine keeps the
stored object), the exception raised, how many times each query function ran, which observers
fired with which values, which handles are alive, and the output of every collection operator.
VELK_MODEL_EXAMPLES sets how many random programs run (default 500, up to 40 steps each).
"""
import operator
import os

import velk_concurrent as vc
from hypothesis import HealthCheck, settings, strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, rule

from model import (CollectionModel, Model, ModelFailure, Program, kind, lift, same,
                   same_multiset)

NAN = float("nan")
VALUES = st.one_of(
    st.sampled_from([0, 1, 1.0, True, "a", (1, 2), None, NAN]),
    st.builds(lambda: [1, 2]),  # unhashable, and a new object each time
    st.builds(lambda: float("nan")),
)


def outcome(call):
    try:
        return "ok", call()
    except BaseException as exc:  # PanicException derives from BaseException
        return "err", exc


class EngineMachine(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.rt, self.model = vc.Runtime(), Model()
        self.handles, self.calls, self.fired = {}, {}, []
        self.observer_ids = {}
        self.seen = {}  # key -> (object last read, model version at that read)
        self.keys = 0
        self.build_collections()
        self.create_input(0)

    def build_collections(self):
        rt = self.rt
        self.cmodel = CollectionModel()
        self.left, self.right = rt.create_collection(), rt.create_collection()
        self.build_operators()

    def build_operators(self):
        """Over empty collections they follow deltas; built again later they seed from the
        contents."""
        self.sorted = self.left.sort_by_key(kind)
        self.derived = {
            "map": self.left.map(lambda x: ("m", kind(x), x)),
            "filter": self.left.filter(lambda x: kind(x) != "str"),
            "join": self.left.join(self.right, kind, kind),
            "window": self.sorted.window(2),
            "pairwise": self.sorted.pairwise(),
        }
        self.contents = {name: c.reduce(list) for name, c in self.derived.items()}
        self.grouped = self.left.group_by(kind)
        self.group_contents = {}
        self.scalars = {"count": self.left.count(), "len": self.left.reduce(len),
                        "sum": self.left.aggregate(0, lift, operator.add)}

    # --- helpers ---------------------------------------------------------------------------
    def new_key(self):
        self.keys += 1
        return self.keys

    def pick(self, data, keys):
        return data.draw(st.sampled_from(sorted(keys)))

    def agree(self, predicted, actual):
        if predicted[0] == "err":
            assert actual[0] == "err", (predicted, actual)
            assert predicted[1].matches(actual[1]), (predicted[1], actual[1])
        else:
            assert actual[0] == "ok", (predicted, actual)
        assert self.calls == self.model.take_calls()
        self.calls.clear()

    def predict(self, call):
        try:
            return "ok", call()
        except ModelFailure as failure:
            return "err", failure

    # --- inputs and queries ----------------------------------------------------------------
    @rule(value=VALUES)
    def create_input(self, value):
        key = self.new_key()
        self.handles[key] = handle = self.rt.create_input(value)
        self.model.create_input(key, handle.id, value)

    @rule(mode=st.sampled_from(Program.MODES), data=st.data())
    def create_query(self, mode, data):
        reads = data.draw(st.lists(st.sampled_from(sorted(self.handles)), min_size=1, max_size=3))
        key, program = self.new_key(), Program(mode, reads)

        def compute(ref):
            self.calls[key] = self.calls.get(key, 0) + 1
            return program.run(lambda k: ref.get(self.handles[k]))

        self.handles[key] = handle = self.rt.create_query(compute)
        self.model.create_query(key, handle.id, program)

    @rule(data=st.data(), value=VALUES)
    def set_input(self, data, value):
        inputs = [k for k, n in self.model.nodes.items() if n.program is None]
        if not inputs:
            return
        key = self.pick(data, inputs)
        self.agree(self.predict(lambda: self.model.set(key, value)),
                   outcome(lambda: self.rt.set(self.handles[key], value)))

    @rule(data=st.data())
    def set_many(self, data):
        inputs = sorted(k for k, n in self.model.nodes.items() if n.program is None)
        pairs = data.draw(st.lists(st.tuples(st.sampled_from(inputs), VALUES), max_size=4))
        self.agree(self.predict(lambda: self.model.set_many(pairs)),
                   outcome(lambda: self.rt.set_many([(self.handles[k], v) for k, v in pairs])))

    @rule(data=st.data())
    def get(self, data):
        key = self.pick(data, self.handles)
        predicted = self.predict(lambda: self.model.get(key))
        actual = outcome(lambda: self.rt.get(self.handles[key]))
        self.agree(predicted, actual)
        if predicted[0] == "ok":
            self.check_value(key, predicted[1], actual[1])

    def check_value(self, key, expected, got):
        node = self.model.nodes[key]
        assert same(got, expected), (expected, got)
        if node.program is None:
            assert got is expected  # the stored object itself
        previous = self.seen.get(key)
        if previous is not None and previous[1] == node.version:
            assert got is previous[0]  # a cut-off recompute keeps the earlier object
        self.seen[key] = (got, node.version)

    # --- observers -------------------------------------------------------------------------
    @rule(data=st.data())
    def observe(self, data):
        safe = [k for k in self.model.nodes if not self.model.may_fail(k)]
        if not safe:
            return
        key, okey = self.pick(data, safe), self.new_key()
        self.observer_ids[okey] = self.rt.observe(
            self.handles[key], lambda value: self.fired.append((okey, value)))
        self.model.observe(okey, key)

    @rule(data=st.data())
    def unobserve(self, data):
        if not self.observer_ids:
            return
        okey = self.pick(data, self.observer_ids)
        self.rt.unobserve(self.observer_ids[okey])  # twice is harmless
        self.model.unobserve(okey)

    @rule()
    def stabilize(self):
        if any(self.model.may_fail(k) for k, _ in self.model.observers.values()):
            return  # which observers a failing pass reaches depends on the table's order
        self.model.stabilize()
        self.rt.stabilize()
        assert self.calls == self.model.take_calls()
        self.calls.clear()
        expected = self.model.take_fired()
        assert sorted(o for o, _ in self.fired) == sorted(o for o, _ in expected)
        fired = dict(self.fired)
        assert all(same(fired[o], v) for o, v in expected)
        self.fired.clear()

    # --- deletion --------------------------------------------------------------------------
    @rule(data=st.data(), with_dependents=st.booleans())
    def delete(self, data, with_dependents):
        key = self.pick(data, self.handles)
        if with_dependents:
            predicted = self.predict(lambda: self.model.delete_with_dependents(key))
            actual = outcome(lambda: self.rt.delete_with_dependents(self.handles[key]))
            self.agree(predicted, actual)
            assert actual[1] == predicted[1]
        else:
            self.agree(self.predict(lambda: self.model.delete_node(key)),
                       outcome(lambda: self.rt.delete_node(self.handles[key])))

    @invariant()
    def liveness_and_root_sizes(self):
        for key, handle in self.handles.items():
            assert self.rt.is_alive(handle) == (self.model.nodes[key].state != "deleted")
        assert self.left.snapshot_len() == len(self.cmodel.left)
        assert self.right.snapshot_len() == len(self.cmodel.right)

    # --- collections -----------------------------------------------------------------------
    @rule(side=st.sampled_from(["left", "right"]), value=VALUES, insert=st.booleans())
    def change_collection(self, side, value, insert):
        collection = self.left if side == "left" else self.right
        if insert:
            self.cmodel.insert(side, value)
            assert collection.insert(value) is None
        else:
            assert collection.delete(value) is self.cmodel.delete(side, value)

    @rule(side=st.sampled_from(["left", "right"]), values=st.lists(VALUES, max_size=6),
          insert=st.booleans())
    def change_collection_many(self, side, values, insert):
        collection = self.left if side == "left" else self.right
        if insert:
            for value in values:
                self.cmodel.insert(side, value)
            assert collection.insert_many(iter(values)) is None
        else:
            removed = sum(self.cmodel.delete(side, value) for value in values)
            assert collection.delete_many(values) == removed

    @rule()
    def rebuild_operators(self):
        """Seeded from the contents, equal keys take the order the collection lists them in."""
        self.build_operators()
        self.rt.get(self.sorted.version_node)
        ordered = self.sorted.snapshot()
        assert [kind(x) for x in ordered] == sorted(kind(x) for x in self.cmodel.left)
        assert same_multiset(ordered, self.cmodel.left)
        self.cmodel.sorted = ordered

    @rule()
    def check_collections(self):
        rt, expected = self.rt, self.cmodel.expected()
        for name, collection in self.derived.items():
            rt.get(collection.version_node)
            assert same_multiset(rt.get(self.contents[name]), expected[name]), name
            assert collection.snapshot_len() == len(expected[name]), name
        rt.get(self.sorted.version_node)
        ordered = self.sorted.snapshot()
        assert len(ordered) == len(self.cmodel.sorted)
        assert all(same(a, b) for a, b in zip(ordered, self.cmodel.sorted))
        self.check_groups()
        left = self.cmodel.left
        assert rt.get(self.scalars["count"]) == rt.get(self.scalars["len"]) == len(left)
        assert rt.get(self.scalars["sum"]) == sum((lift(x) for x in left), 0)

    def check_groups(self):
        rt = self.rt
        rt.get(self.grouped.version_node)
        keys = self.grouped.keys()
        assert sorted(keys) == sorted(self.cmodel.group_keys(self.group_contents))
        assert self.grouped.group_count() == len(keys)
        for key in keys:
            if key not in self.group_contents:
                self.group_contents[key] = self.grouped.get_group(key).reduce(list)
            assert same_multiset(rt.get(self.group_contents[key]), self.cmodel.group(key)), key


EngineMachine.TestCase.settings = settings(
    max_examples=int(os.environ.get("VELK_MODEL_EXAMPLES", "500")),
    stateful_step_count=40,
    deadline=None,
    database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much],
)
TestEngineAgainstModel = EngineMachine.TestCase
