"""sort_by_key, window, pairwise and aggregate: order, positional upkeep, fold shape, failures."""
import operator
import random

import pytest
from conftest import Calls, change_at_random, panic_type

PanicException = panic_type()


def contents(rt, collection):
    return rt.get(collection.reduce(sorted))


class Tagged:
    """Equal when the values are equal; the tag tells equal elements apart."""

    def __init__(self, value, tag):
        self.value, self.tag = value, tag

    __eq__ = lambda self, other: self.value == other.value  # noqa: E731
    __hash__ = lambda self: hash(self.value)  # noqa: E731


def test_sort_keeps_key_order_then_arrival_order_and_catches_up_on_read(rt):
    c = rt.create_collection()
    s = c.sort_by_key(key_fn=lambda t: t.value // 10)
    assert (s.snapshot(), s.snapshot_len(), rt.get(s.version_node)) == ([], 0, 0)
    first = Tagged(11, "first")
    for x in (first, Tagged(5, "low"), Tagged(12, "second"), Tagged(30, "high")):
        c.insert(x)
    assert s.snapshot() == [] and s.snapshot_len() == 0  # stale until read
    assert rt.get(s.version_node) == 4
    assert [x.tag for x in s.snapshot()] == ["low", "first", "second", "high"]
    assert s.snapshot()[1] is first  # the element objects themselves

    c.insert(Tagged(11, "twin"))  # equal to `first`, with an equal key
    assert c.delete(Tagged(11, "third"))
    rt.get(s.version_node)
    assert [x.tag for x in s.snapshot()] == ["low", "second", "twin", "high"]  # the front one went


def test_raising_key_fn_keeps_failing_and_raising_comparisons_count_as_false(rt):
    error = ValueError("no key")

    def key(x):
        if x == "bad":
            raise error
        return x

    c = rt.create_collection()
    s = c.sort_by_key(key)
    c.insert(2)
    rt.get(s.version_node)
    c.insert("bad")
    for change, x in ((c.insert, 3), (c.delete, 3), (c.delete, "bad")):
        change(x)  # the insert of "bad" stays unconsumed: even its delete does not help
        with pytest.raises(ValueError) as info:
            rt.get(s.version_node)
        assert info.value is error
    assert s.snapshot() == [2]

    # "x" < 1 raises, so "x" comes after nothing: it goes first; deleting it still finds it.
    mixed = rt.create_collection()
    m = mixed.sort_by_key(lambda x: x)
    for change, x, expected in ((mixed.insert, 1, [1]), (mixed.insert, 3, [1, 3]),
                                (mixed.insert, "x", ["x", 1, 3]), (mixed.insert, 2, ["x", 1, 2, 3]),
                                (mixed.delete, "x", [1, 2, 3])):
        change(x)
        rt.get(m.version_node)
        assert m.snapshot() == expected

    # A batch into an empty sort, or merged into one holding keys, is ordered in one sort only
    # when its keys and the held ones are consistently ordered; raising or NaN keys go in one by
    # one, as above. Either way ties go after the held ones, in arrival order.
    nan = float("nan")
    spread = [(k % 7) / 2 for k in range(40)]  # enough to merge, with ties among themselves
    for held, batch in (([], [1, 3, "x", 2]), ([], [3, nan, 1, nan, 2.0, 2]),
                        ([2, 0.5, 3.0], spread), ([2, nan, 3], spread), ([2, 3], spread + [nan]),
                        ([2, 3], ["a", "b"] * 20), ([2, 3], spread[:20] + ["a"] + spread[20:])):
        one, many = rt.create_collection(), rt.create_collection()
        s1, s2 = one.sort_by_key(lambda x: x[0]), many.sort_by_key(lambda x: x[0])
        windows = s2.window(3).reduce(lambda ws: sorted(map(repr, ws)))  # follows the merges
        for i, x in enumerate(held + batch):  # each read alone goes in one by one
            one.insert((x, i))
            rt.get(s1.version_node)
        many.insert_many([(x, i) for i, x in enumerate(held)])
        rt.get(s2.version_node)
        many.insert_many([(x, i) for i, x in enumerate(batch, len(held))])
        rt.get(s2.version_node)
        ordered = s2.snapshot()
        assert s1.snapshot() == ordered
        assert rt.get(windows) == sorted(repr(ordered[i:i + 3]) for i in range(len(ordered) - 2))


def test_window_arguments_and_derived_outputs(rt):
    s = rt.create_collection().sort_by_key(lambda x: x)
    with pytest.raises(PanicException, match="window size must be positive"):
        s.window(0)
    with pytest.raises(OverflowError, match="'size'"):
        s.window(-1)
    with pytest.raises(TypeError, match="'size'"):
        s.window("2")
    for derived in (s.window(size=2), s.pairwise()):
        with pytest.raises(RuntimeError, match="derived collection"):
            derived.insert([1, 2])


def test_windows_follow_inserts_and_deletes_at_either_end_and_in_between(rt):
    c = rt.create_collection()
    s = c.sort_by_key(lambda x: x)
    w1, w2, w3 = s.window(1), s.window(2), s.window(3)
    c.insert(1)
    c.insert(2)
    assert (contents(rt, w1), contents(rt, w3)) == ([[1], [2]], [])
    c.insert(3)
    assert contents(rt, w3) == [[1, 2, 3]]  # exactly k entries: the single window
    c.insert(4)
    late = s.window(2)  # built over a sort that has not caught up: seeded from [1, 2, 3]
    c.insert(2.5)
    expected = [[1, 2], [2, 2.5], [2.5, 3], [3, 4]]
    assert contents(rt, w2) == contents(rt, late) == expected
    c.delete(1)
    assert contents(rt, w2) == expected[1:]
    c.delete(4)
    assert contents(rt, w2) == expected[1:3]
    assert contents(rt, w3) == [[2, 2.5, 3]]

    fives = rt.create_collection()
    for _ in range(3):
        fives.insert(5)
    w = fives.sort_by_key(lambda x: x).window(2)
    assert rt.get(w.reduce(len)) == 2 and contents(rt, w) == [[5, 5], [5, 5]]
    fives.delete(5)
    assert contents(rt, w) == [[5, 5]]


def test_pairwise_relinks_neighbours(rt):
    c = rt.create_collection()
    p = c.sort_by_key(lambda x: -x).pairwise()
    steps = [(c.insert, 1, []), (c.insert, 3, [(3, 1)]), (c.insert, 2, [(2, 1), (3, 2)]),
             (c.delete, 2, [(3, 1)]), (c.delete, 3, [])]
    for change, x, expected in steps:
        change(x)
        assert contents(rt, p) == expected, (change, x)


def test_windows_pairs_and_joins_holding_nan_are_retracted(rt):
    nan = float("nan")
    c = rt.create_collection()
    s = c.sort_by_key(lambda x: 0 if x != x else x)
    w, p = s.window(2), s.pairwise()
    for x in (nan, 1, 0.5):
        c.insert(x)
    assert (rt.get(w.reduce(len)), rt.get(p.reduce(len))) == (2, 2)  # [nan, 1] must go
    left, right = rt.create_collection(), rt.create_collection()
    joined = left.join(right, lambda x: 0, lambda x: 0)
    left.insert(nan)
    right.insert(1)
    assert rt.get(joined.reduce(len)) == 1
    right.delete(1)
    assert rt.get(joined.reduce(len)) == 0


def test_deletes_go_by_the_key_stored_at_insert(rt):
    nan, calls = float("nan"), []

    def drifting(x):  # NaN for "n", and a different key at every call for the rest
        calls.append(x)
        return nan if x == "n" else len(calls)

    c = rt.create_collection()
    s = c.sort_by_key(drifting)
    w = s.window(2)
    for x in ("a", "n", "b", "n"):
        c.insert(x)
    rt.get(w.version_node)
    for x in ("n", "a", "n"):
        assert c.delete(x)
    rt.get(w.version_node)
    assert s.snapshot() == ["b"] and w.snapshot_len() == 0
    assert calls == ["a", "n", "b", "n"]  # a delete does not ask for the key again


def test_aggregate_fold_shape_reuses_freed_leaves(rt):
    calls = []
    lift = lambda x: calls.append(x) or str(x)  # noqa: E731
    combine = lambda a, b: calls.append("+") or f"({a}+{b})"  # noqa: E731
    c = rt.create_collection()
    assert c.aggregate.__doc__.splitlines()[0].startswith("Monoid fold")
    agg = c.aggregate(identity="e", lift=lift, combine=combine)
    assert rt.get(agg) == "e" and calls == []
    c.insert(0)
    assert rt.get(agg) == "0" and calls == [0]
    c.insert(1)
    assert rt.get(agg) == "(0+1)" and calls == [0, 1, "+"]  # grown and combined once
    c.insert(2)
    assert rt.get(agg) == "((0+1)+(2+e))"
    c.delete(1)
    c.insert(3)
    assert rt.get(agg) == "((0+3)+(2+e))"


def test_aggregate_rebuilds_after_a_failed_lift_and_cuts_off_equal_roots(rt):
    c = rt.create_collection()
    inverse_sum = c.aggregate(0, lambda x: 1 / x, operator.add)
    c.insert(1)
    c.insert(2)
    assert rt.get(inverse_sum) == 1.5
    c.insert(0)
    c.insert(4)
    with pytest.raises(ZeroDivisionError):
        rt.get(inverse_sum)
    c.insert(5)  # the rebuild from the current contents meets 0 again
    with pytest.raises(ZeroDivisionError):
        rt.get(inverse_sum)
    c.delete(5)
    c.delete(0)
    c.insert(8)
    assert rt.get(inverse_sum) == 1.875

    calls = Calls()
    total = c.aggregate(0, lambda x: x, operator.add)
    dependent = rt.create_query(calls.wrap("dependent", lambda ref: ref.get(total)))
    assert rt.get(dependent) == 15 and calls.take() == {"dependent": 1}
    c.insert(5)
    c.delete(5)
    assert rt.get(dependent) == 15 and calls.take() == {}
    c.insert(5)
    assert rt.get(dependent) == 20 and calls.take() == {"dependent": 1}


def test_random_batches_agree_with_recomputation_from_scratch(rt):
    rng = random.Random(8086)
    c, model = rt.create_collection(), []
    s = c.sort_by_key(lambda x: x)
    windows, pairs = s.window(3), s.pairwise()
    window_list, pair_list = windows.reduce(sorted), pairs.reduce(sorted)
    total = c.aggregate(0, lambda x: x, operator.add)
    for batch in range(60):
        for _ in range(rng.randint(1, 12)):
            change_at_random(rng, c, model, rng.randrange(10))
        order = sorted(model)
        assert rt.get(s.version_node) >= len(model)
        assert s.snapshot() == order and s.snapshot_len() == len(order), batch
        assert rt.get(window_list) == sorted(order[i:i + 3] for i in range(len(order) - 2)), batch
        assert rt.get(pair_list) == sorted(zip(order, order[1:])), batch
        assert rt.get(total) == sum(model), batch
