"""Runtime.set_many: several inputs as one change.

test_a_read_racing_a_write_never_sees_it_in_part pins one interleaving:
    reader thread                          main thread
    q's function reads a (old) ----------> set_many([(a, 2), (b, 2)]) lands
    waits <------------------------------- signals
    reads b (new): a mix; the engine runs q again before anyone sees it: both new
The same with reads that do not depend (ref.peek), with a plain set of the one input that both
reads come from (a * 2, then a * 3), and with a mix that raises (a new key in an old table).
"""
import re
import threading

import pytest
import velk_concurrent as vc
from conftest import Calls, run_python

TIMEOUT = 60


def test_one_change_for_the_batch_last_value_wins_equal_values_change_nothing(rt):
    calls = Calls()
    a, b = rt.create_input(1), rt.create_input(2)
    q = rt.create_query(calls.wrap("q", lambda ref: (ref.get(a), ref.get(b))))
    fired = []
    rt.observe(q, fired.append)
    rt.stabilize()
    rt.set_many(iter([(a, 7), [b, 5], (a, 3)]))  # any iterable; tuples or lists
    assert rt.get(q) == (3, 5) and calls.take() == {"q": 2}
    rt.set_many([(a, 3.0), (b, 5)])  # all equal: the stored objects stay
    rt.set_many([(a, 9), (a, 3)])
    rt.set_many(())
    assert type(rt.get(a)) is int and rt.get(q) == (3, 5) and calls.take() == {}
    rt.stabilize()
    assert fired == [(1, 2), (3, 5)]


def test_a_bad_pair_refuses_the_whole_batch(rt):
    a, q, gone = rt.create_input(0), rt.create_query(lambda ref: 1), rt.create_input(0)
    rt.delete_node(gone)
    for node in (q, gone, vc.Runtime().create_input(0)):  # set's message for the same node
        with pytest.raises(RuntimeError) as expected:
            rt.set(node, 1)
        with pytest.raises(RuntimeError, match=f"^{re.escape(str(expected.value))}$"):
            rt.set_many([(a, 9), (node, 1)])
    prefix = "set_many() argument 'pairs' must "
    for pairs, end in ((5, "be an iterable of (NodeId, value) pairs, not int"),
                       ([(a, 9), 5], "hold (NodeId, value) pairs, not int"),
                       ([(a, 9, 1)], "hold (NodeId, value) pairs, not tuple"),
                       ([(a, 9), ("a", 1)], "hold (NodeId, value) pairs, not str")):
        with pytest.raises(TypeError, match=f"^{re.escape(prefix + end)}$"):
            rt.set_many(pairs)
    assert rt.get(a) == 0


@pytest.mark.parametrize("race", ["batch", "batch, peeked", "one input, plain set",
                                  "batch, raising"])
@pytest.mark.parametrize("read", ["get", "get_traced", "stabilize"])
def test_a_read_racing_a_write_never_sees_it_in_part(rt, read, race):
    a, b = rt.create_input(1), rt.create_input(1)
    if race == "batch, raising":  # the old table and the new key: a KeyError, never stored
        rt.set(a, {1: "old"})
        first, second = a, b
        write, both_new = lambda: rt.set_many([(a, {2: "new"}), (b, 2)]), "new"
    elif race == "one input, plain set":
        first, second = (rt.create_query(lambda ref, k=k: ref.get(a) * k) for k in (2, 3))
        write, both_new = lambda: rt.set(a, 2), (4, 6)
    else:
        first, second = a, b
        write, both_new = lambda: rt.set_many([(a, 2), (b, 2)]), (2, 2)
    read_a, landed = threading.Event(), threading.Event()
    calls = Calls()

    def body(ref):
        read_node = ref.peek if race == "batch, peeked" else ref.get
        value = read_node(first)
        if not read_a.is_set():
            read_a.set()
            assert landed.wait(TIMEOUT)
        if race == "batch, raising":
            return value[read_node(second)]
        return (value, read_node(second))

    q = rt.create_query(calls.wrap("q", body))
    seen = []
    rt.observe(q, seen.append)
    reads = {"get": lambda: seen.append(rt.get(q)),
             "get_traced": lambda: seen.append(rt.get_traced(q)[0]),
             "stabilize": rt.stabilize}
    reader = threading.Thread(target=reads[read])
    reader.start()
    assert read_a.wait(TIMEOUT)
    write()
    landed.set()
    reader.join(TIMEOUT)
    assert seen == [both_new] and calls.take() == {"q": 2}
    if race == "batch, peeked":  # checked, never depended on
        rt.set(b, 3)
        assert rt.get(q) == both_new and calls.take() == {}


def test_a_compute_that_sets_what_it_read_keeps_its_value():
    # Its own set moves what it read; running again would set again, for ever.
    result = run_python("""
        import velk_concurrent as vc
        rt = vc.Runtime()
        n = rt.create_input(1)
        m = rt.create_query(lambda ref: ref.get(n) * 2)
        runs = []
        def body(ref):
            runs.append(1)
            rt.set(n, ref.get(n) + 1)
            return ref.get(m)
        print(rt.get(rt.create_query(body)), len(runs))
        """)
    assert result.stdout.split() == ["4", "1"], result.stderr[-2000:]
