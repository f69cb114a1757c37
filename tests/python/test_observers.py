"""Observers fire on stabilize() for values that changed since their last firing."""
import pytest
import velk_concurrent as vc


def test_never_read_query_fires_once_at_first_stabilize(rt):
    x = rt.create_input(2)
    q = rt.create_query(lambda r: r.get(x) * 10)
    fired = []
    rt.observe(q, fired.append)
    rt.stabilize()
    rt.stabilize()
    assert fired == [20]


def test_input_fires_only_for_effective_changes(rt):
    x = rt.create_input(1)
    fired = []
    rt.observe(x, fired.append)
    rt.stabilize()
    assert fired == []
    rt.set(x, 2)
    rt.set(x, 3)  # two sets between passes: one call with the latest value
    rt.stabilize()
    rt.set(x, 3.0)  # equal: no change at all
    rt.stabilize()
    assert fired == [3]


def test_cutoff_keeps_downstream_observer_quiet(rt):
    x = rt.create_input(3)
    parity = rt.create_query(lambda r: r.get(x) % 2)
    fired = []
    rt.observe(parity, fired.append)
    rt.stabilize()
    rt.set(x, 5)
    rt.stabilize()
    assert fired == [1]


def test_unobserve_stops_firing_and_ignores_unknown_ids(rt):
    x = rt.create_input(1)
    fired = []
    oid = rt.observe(x, fired.append)
    rt.unobserve(oid)
    rt.unobserve(oid)
    rt.set(x, 2)
    rt.stabilize()
    assert fired == []
    with pytest.raises(TypeError, match="'id'"):
        rt.unobserve(1)


def test_observer_ids_are_per_runtime_numbers(rt):
    other = vc.Runtime()
    x, y = rt.create_input(0), other.create_input(0)
    fired = []
    first = rt.observe(x, fired.append)
    other.observe(y, lambda v: fired.append(("other", v)))
    other.unobserve(first)  # same number, made by another runtime: names nothing there
    rt.set(x, 1)
    other.set(y, 1)
    rt.stabilize()
    other.stabilize()
    assert sorted(fired, key=str) == [("other", 1), 1]
    assert first != rt.observe(x, fired.append)  # identity only


def test_raising_callback_is_retried_at_next_pass(rt):
    x = rt.create_input(0)
    error = KeyError("boom")
    calls = []

    def callback(value):
        calls.append(value)
        if len(calls) == 1:
            raise error

    rt.observe(x, callback)
    rt.set(x, 1)
    with pytest.raises(KeyError) as info:
        rt.stabilize()
    assert info.value is error
    rt.set(x, 2)
    rt.stabilize()
    assert calls == [1, 2]


def test_failures_in_a_pass(rt):
    # A callback that deletes its own node and then raises still raises.
    x = rt.create_input(0)

    def delete_then_raise(value):
        rt.delete_node(x)
        raise KeyError("after delete")

    rt.observe(x, delete_then_raise)
    rt.set(x, 1)
    with pytest.raises(KeyError, match="after delete"):
        rt.stabilize()
    assert rt.stabilize() is None
    # A node that stays failed keeps only its own observer quiet; the others fire on every
    # pass, and the first pass raises the failure after them, the later ones do not.
    broken = rt.create_query(lambda ref: 1 // 0)
    y = rt.create_input(0)
    fired = []
    rt.observe(broken, fired.append)
    rt.observe(y, fired.append)
    rt.set(y, 1)
    with pytest.raises(ZeroDivisionError):
        rt.stabilize()
    rt.set(y, 2)
    rt.stabilize()
    assert fired == [1, 2]


def test_callback_may_set_inputs_during_a_pass(rt):
    x = rt.create_input(0)
    y = rt.create_input(0)
    fired = []

    def on_x(value):
        fired.append(("x", value))
        rt.set(y, value * 100)

    rt.observe(x, on_x)
    rt.observe(y, lambda v: fired.append(("y", v)))
    rt.set(x, 1)
    rt.stabilize()
    rt.stabilize()
    assert ("x", 1) in fired and ("y", 100) in fired
    assert len(fired) == 2
    # A callback that changes its own node and stabilizes: the nested pass leaves it alone and
    # the change is delivered at the next pass.
    z = rt.create_input(0)
    seen = []

    def bump(value):
        seen.append(value)
        if value < 3:
            rt.set(z, value + 1)
            rt.stabilize()

    rt.observe(z, bump)
    rt.set(z, 1)
    for _ in range(4):
        rt.stabilize()
    assert seen == [1, 2, 3]


def test_deleted_node_takes_its_observers_along(rt):
    x = rt.create_input(0)
    fired = []
    oid = rt.observe(x, fired.append)
    rt.delete_node(x)
    rt.unobserve(oid)
    rt.stabilize()
    assert fired == []


def test_stabilize_without_observers_returns(rt):
    assert rt.stabilize() is None
