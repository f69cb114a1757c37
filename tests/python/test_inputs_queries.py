"""Inputs, lazy queries, dependency tracking, cutoff and the Runtime call surface."""
import inspect

import pytest
import velk_concurrent as vc
from conftest import Calls, runtime_id


def test_get_returns_the_stored_object_and_set_replaces_it(rt):
    value, replacement = object(), ["new"]
    a = rt.create_input(value=value)
    q = rt.create_query(py_func=lambda ref: ref.get(node=a))
    assert (a.id, q.id, rt.node_count()) == (0, 1, 2)
    assert rt.get(a) is value and rt.get(node=q) is value
    assert rt.set(value=replacement, node=a) is None
    assert rt.get(a) is replacement and rt.get(q) is replacement


def test_queries_are_lazy_cached_and_recomputed_only_downstream_of_a_set(rt):
    calls = Calls()
    a, b = rt.create_input(1), rt.create_input(2)
    qa = rt.create_query(calls.wrap("qa", lambda ref: ref.get(a) + 100))
    qb = rt.create_query(calls.wrap("qb", lambda ref: ref.get(b) + 200))
    top = rt.create_query(calls.wrap("top", lambda ref: ref.get(qa) + ref.get(qb)))
    assert calls.take() == {}
    assert rt.get(top) == 303 and rt.get(top) == 303
    assert calls.take() == {"qa": 1, "qb": 1, "top": 1}
    rt.set(a, 5)
    assert calls.take() == {}
    assert rt.get(top) == 307 and rt.get(qb) == 202
    assert calls.take() == {"qa": 1, "top": 1}


def test_dependencies_follow_the_latest_compute(rt):
    calls = Calls()
    flag, x, y = rt.create_input(True), rt.create_input("x"), rt.create_input("y")
    q = rt.create_query(calls.wrap("q", lambda ref: ref.get(x) if ref.get(flag) else ref.get(y)))
    assert rt.get(q) == "x"
    rt.set(flag, False)
    assert rt.get(q) == "y"
    calls.take()
    rt.set(x, "x2")  # no longer read by q
    assert rt.get(q) == "y" and calls.take() == {}
    rt.set(y, "y2")
    assert rt.get(q) == "y2" and calls.take() == {"q": 1}


def test_equal_result_keeps_identity_and_skips_dependents(rt):
    calls = Calls()
    a = rt.create_input(1)
    parity = rt.create_query(calls.wrap("parity", lambda ref: [ref.get(a) % 2]))
    child = rt.create_query(calls.wrap("child", lambda ref: ref.get(parity) + ["seen"]))
    first, first_child = rt.get(parity), rt.get(child)
    calls.take()
    rt.set(a, 3)
    assert rt.get(child) is first_child and rt.get(parity) is first
    assert calls.take() == {"parity": 1}
    rt.set(a, 4)
    assert rt.get(child) == [0, "seen"]
    assert calls.take() == {"parity": 1, "child": 1}


def test_equal_set_keeps_identity(rt):
    calls = Calls()
    a = rt.create_input(1)
    q = rt.create_query(calls.wrap("q", lambda ref: ref.get(a)))
    rt.get(q)
    rt.set(a, 1.0)
    assert type(rt.get(a)) is int and type(rt.get(q)) is int
    assert calls.take() == {"q": 1}
    # Plain scalars compare exactly as ==: an equal str built anew is no change; a NaN, even
    # the very same object, is one, and so is each NaN a recompute makes from it.
    nan, word = float("nan"), "".join(["wo", "rd"])
    s, n = rt.create_input(word), rt.create_input(nan)
    doubled = rt.create_query(calls.wrap("doubled", lambda ref: ref.get(n) * 2))
    top = rt.create_query(calls.wrap("top", lambda ref: ref.get(doubled)))
    rt.get(top), calls.take()
    rt.set(s, "".join(["wo", "rd"]))
    rt.set(n, nan)
    assert rt.get(s) is word and rt.get(top) != rt.get(top)
    assert calls.take() == {"doubled": 1, "top": 1}
    # Ints compare by value whatever their size and sign: an equal one built anew is no change.
    for value in (1000, -1000, 2**40, -(2**62), 2**100):
        rt.set(s, value)
        rt.set(s, int(str(value)))
        assert rt.get(s) is value
    for old, new in ((5, -5), (5, 5 + 2**30), (0, 2**40), (2**30, 2**31), (-7, -7 - 2**60)):
        rt.set(s, old)
        rt.set(s, new)
        assert rt.get(s) is new


class RaisingEq:
    def __eq__(self, other):
        raise ZeroDivisionError("eq")

    def __hash__(self):
        raise ZeroDivisionError("hash")


def test_raising_eq_counts_as_a_change_and_is_not_reported(rt):
    calls = Calls()
    value = RaisingEq()
    a = rt.create_input(value)
    q = rt.create_query(calls.wrap("q", lambda ref: ref.get(a)))
    assert rt.get(q) is value
    rt.set(a, value)
    assert rt.get(q) is value
    assert calls.take() == {"q": 2}


def test_set_on_a_query_is_refused(rt):
    q = rt.create_query(lambda ref: 1)
    with pytest.raises(RuntimeError) as info:
        rt.set(q, 2)
    assert str(info.value) == (
        f"Runtime::set called on a query (compute) node at slot {q.id}; only input nodes can be set")


def test_foreign_handle_is_not_alive_and_is_refused(rt):
    other = vc.Runtime()
    node = other.create_input(0)
    assert rt.is_alive(rt.create_input(0)) is True and rt.is_alive(node) is False
    message = ("velk-core: Velk<velk_concurrent::PyValue> handle from a foreign runtime "
               f"(handle was minted by runtime {runtime_id(other)}, used on runtime {runtime_id(rt)})")
    for call in (lambda: rt.get(node), lambda: rt.set(node, 1)):
        with pytest.raises(RuntimeError) as info:
            call()
        assert str(info.value) == message


def test_text_signatures(rt):
    methods = (vc.Runtime, rt.get, rt.set, rt.set_many, rt.create_query, rt.create_input,
               rt.is_alive)
    assert [str(inspect.signature(m)) for m in methods] == [
        "()", "(node)", "(node, value)", "(pairs, /)", "(py_func)", "(value)", "(node)"]


BAD_CALLS = {
    "get_int": (lambda rt, a: rt.get(5), "'node'"),
    "set_str_node": (lambda rt, a: rt.set("a", 1), "'node'"),
    "get_missing": (lambda rt, a: rt.get(), "'node'"),
    "set_missing_value": (lambda rt, a: rt.set(a), "'value'"),
    "get_extra": (lambda rt, a: rt.get(a, a), "positional"),
    "duplicate_keyword": (lambda rt, a: rt.create_input(1, value=2), "'value'"),
    "unknown_keyword": (lambda rt, a: rt.create_query(py_func=None, extra=1), "'extra'"),
    "runtime_arg": (lambda rt, a: vc.Runtime(1), None),
}


@pytest.mark.parametrize("case", BAD_CALLS)
def test_bad_arguments_raise_type_error(rt, case):
    call, parameter = BAD_CALLS[case]
    a = rt.create_input(0)
    with pytest.raises(TypeError, match=parameter):
        call(rt, a)
    assert rt.get(a) == 0 and rt.node_count() == 1
