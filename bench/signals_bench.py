"""Section 13: velk_signals next to reaktiv on the same three workloads: a clean read of a
computed, one change through a chain of computeds then a read of its end, and one change
fanned out to many effects."""
import statistics
import sys

import velk_concurrent as velk
from report import median_ns, row, target
from velk_signals import Computed, Effect, Signal

try:
    import reaktiv
except ImportError:  # reported in the table
    reaktiv = None

SEC = "13 signals"


def side_by_side(ours, theirs, ops, repeats):
    """Median ns per op of each side, timed alternately so a burst of load on this shared
    machine falls on both."""
    res = {"velk": [], "reaktiv": []}
    for _ in range(repeats):
        res["velk"].append(median_ns(ours, ops, 1))
        if theirs is not None:
            res["reaktiv"].append(median_ns(theirs, ops, 1))
    return {k: statistics.median(v) for k, v in res.items() if v}


def clean_read(n):
    s = Signal(1, runtime=velk.Runtime())
    c = Computed(lambda: s() + 1, runtime=s.runtime)
    c()
    r = range(n)

    def ours():
        for _ in r:
            c()
    theirs = None
    if reaktiv:
        rs = reaktiv.Signal(1)
        rc = reaktiv.Computed(lambda: rs() + 1)
        rc()

        def theirs():
            for _ in r:
                rc()
    return side_by_side(ours, theirs, n, 7)


def chain(signal_cls, computed_cls, length, **kw):
    head = signal_cls(0, **kw)
    node = head
    for _ in range(length):
        node = computed_cls(lambda up=node: up() + 1, **kw)
    node()
    return head, node


def chain_update(length, updates):
    head, tail = chain(Signal, Computed, length, runtime=velk.Runtime())
    value = [0, 0]  # the last value set on each side

    def ours():
        for _ in range(updates):
            value[0] += 1
            head.set(value[0])
            tail()
    theirs = None
    if reaktiv:
        rhead, rtail = chain(reaktiv.Signal, reaktiv.Computed, length)

        def theirs():
            for _ in range(updates):
                value[1] += 1
                rhead.set(value[1])
                rtail()
    res = side_by_side(ours, theirs, updates * length, 5)
    assert tail() == value[0] + length
    return res


def fan_out(effects, updates):
    seen = [0]

    def bump(x):
        seen[0] += 1
    s = Signal(0, runtime=velk.Runtime())
    keep = [Effect(lambda: bump(s()), runtime=s.runtime) for _ in range(effects)]

    def ours():
        for _ in range(updates):
            s.update(lambda v: v + 1)
    theirs = None
    if reaktiv:
        rs = reaktiv.Signal(0)
        rkeep = [reaktiv.Effect(lambda: bump(rs())) for _ in range(effects)]

        def theirs():
            for _ in range(updates):
                rs.update(lambda v: v + 1)
    seen[0] = 0
    ours()
    assert seen[0] == effects * updates, seen  # every effect ran once per update
    res = side_by_side(ours, theirs, updates * effects, 5)
    del keep
    return res


def bench_signals(q):
    old = sys.getrecursionlimit()
    sys.setrecursionlimit(max(old, 10_000))  # reaktiv reads a chain recursively
    try:
        res = {"clean read": clean_read(50_000 if q else 200_000),
               "chain update": chain_update(1_000, 5 if q else 20),
               "effect fan-out": fan_out(1_000, 5 if q else 20)}
    finally:
        sys.setrecursionlimit(old)
    units = {"clean read": ("Computed read", "ns/read"),
             "chain update": ("1,000-computed chain, set + read of the end", "ns/node"),
             "effect fan-out": ("one signal, 1,000 effects, update", "ns/effect run")}
    for name, figures in res.items():
        label, unit = units[name]
        row(SEC, f"{label}: velk_signals", figures["velk"], unit)
        if "reaktiv" in figures:
            ratio = figures["reaktiv"] / figures["velk"]
            row(SEC, f"{label}: reaktiv", figures["reaktiv"], unit,
                f"velk_signals {ratio:.1f}x faster")
            target(f"velk_signals {name} >=5x faster than reaktiv", f"{ratio:.2f}x", ratio >= 5)
        else:
            target(f"velk_signals {name} >=5x faster than reaktiv", "n/a (reaktiv missing)", False)
    return res
