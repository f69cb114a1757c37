"""Per-node cutoff: Runtime.set_cutoff(node, equal) replaces == where a set or a recompute
decides whether the node's value changed."""
import inspect
import operator
import weakref

import pytest
from conftest import Calls, panic_type


def test_identity_tolerance_and_always_changed_on_inputs_and_queries(rt):
    calls = Calls()
    box = [1]
    a = rt.create_input(box)
    x = rt.create_input(1.0)
    on_a = rt.create_query(calls.wrap("on_a", lambda r: r.get(a)))
    scaled = rt.create_query(lambda r: r.get(x) * 2)
    on_scaled = rt.create_query(calls.wrap("on_scaled", lambda r: r.get(scaled)))
    rt.set_cutoff(a, operator.is_)
    rt.set_cutoff(scaled, lambda old, new: abs(old - new) < 0.5)
    rt.get(on_a), rt.get(on_scaled)
    calls.take()
    rt.set(a, box)  # the same object: no change
    rt.set(x, 1.1)  # scaled recomputes to 2.2, within 0.5 of 2.0: its readers keep theirs
    assert rt.get(on_a) is box and rt.get(on_scaled) == 2.0 and rt.get(scaled) == 2.0
    assert calls.take() == {}
    rt.set_many([(a, [1])])  # equal by ==, but another object: a change (on_a, by ==, is not)
    assert rt.get(a) is not box and rt.get(on_a) is box
    rt.set(x, 2.0)
    assert rt.get(on_scaled) == 4.0
    assert calls.take() == {"on_a": 1, "on_scaled": 1}
    rt.set_cutoff(a, lambda old, new: False)  # every set is a change, even of the same object
    rt.set(a, rt.get(a))
    rt.set_cutoff(scaled, None)  # == again
    rt.set(x, 2.1)
    rt.get(on_a), rt.get(on_scaled)
    assert calls.take() == {"on_a": 1, "on_scaled": 1}


def test_what_equal_reads_is_no_dependency_of_the_node_it_compares_for(rt):
    calls = Calls()
    x, side = rt.create_input(1), rt.create_input(0)
    scaled = rt.create_query(calls.wrap("scaled", lambda r: r.get(x) * 2))
    reader = rt.create_query(lambda r: r.get(scaled) + 1)

    def equal(old, new):
        rt.get(side)
        try:
            rt.get(reader)  # out of date, and it reads the node being compared: a cycle
        except BaseException:
            pass
        return old == new

    rt.set_cutoff(scaled, equal)
    for v in (1, 2, 3):
        rt.set(x, v)
        assert rt.get(reader) == 2 * v + 1
    rt.set(side, 1)
    assert rt.get(reader) == 7 and calls.take() == {"scaled": 3}


def test_raising_equal_counts_as_a_change_and_interruptions_reach_the_caller(rt):
    calls = Calls()
    raised = []

    def broken(old, new):
        raised.append((old, new))
        raise ZeroDivisionError("equal")

    a = rt.create_input(1)
    q = rt.create_query(lambda r: r.get(a) // 10)
    top = rt.create_query(calls.wrap("top", lambda r: r.get(q)))
    rt.set_cutoff(a, broken)
    rt.set_cutoff(q, broken)
    assert rt.get(top) == 0
    rt.set(a, 1)  # equal by ==, yet a change; q's recompute also counts as changed
    assert rt.get(top) == 0
    assert raised == [(1, 1), (0, 0)] and calls.take() == {"top": 2}

    def interrupting(old, new):
        raise KeyboardInterrupt

    rt.set_cutoff(a, interrupting)
    with pytest.raises(KeyboardInterrupt):
        rt.set(a, 2)
    assert rt.get(a) == 1


def test_set_cutoff_refusals_and_the_equal_going_with_its_node(rt):
    class Equal:
        def __call__(self, old, new):
            return old == new

    assert str(inspect.signature(rt.set_cutoff)) == "(node, equal)"
    a = rt.create_input(1)
    with pytest.raises(TypeError, match="'equal' must be callable or None, not int"):
        rt.set_cutoff(a, 3)
    equal = Equal()
    kept = weakref.ref(equal)
    rt.set_cutoff(a, equal)
    del equal
    rt.delete_node(a)
    assert kept() is None
    with pytest.raises(panic_type(), match="stale Velk"):
        rt.set_cutoff(a, None)
    b = rt.create_input(1)
    seen = []

    def body(ref):
        try:
            rt.set_cutoff(b, None)
        except BaseException as exc:
            seen.append(exc)
        return "survived"

    assert rt.get(rt.create_query(body)) == "survived"
    assert type(seen[0]) is panic_type()
    assert str(seen[0]) == "set_cutoff called during compute; not permitted"
