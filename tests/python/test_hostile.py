"""Hostile Python objects and callbacks: raising, lying, graph-mutating and slow dunder methods,
and computations nested deeper than the stacks allow. Each risky scenario runs in a fresh
interpreter, so a crash or a hang fails one test instead of the whole run."""
import pytest
from conftest import run_python


def run_ok(code, timeout=60):
    """Runs `code` in a subprocess; it must exit cleanly and print 'done' last."""
    import subprocess
    try:
        result = run_python(code)
    except subprocess.TimeoutExpired:
        pytest.fail("timed out (deadlock or endless spin)")
    assert result.returncode == 0, result.stderr[-3000:]
    assert result.stdout.splitlines()[-1] == "done", result.stdout[-2000:]
    return result


PRELUDE = """
import sys, threading, time
import velk_concurrent as vc
rt = vc.Runtime()

class Hostile:
    '''Every dunder the engine calls misbehaves as `mode` says.'''
    def __init__(self, mode, tag=0):
        self.mode, self.tag = mode, tag
    def act(self, fallback):
        if self.mode == "raise":
            raise ValueError("hostile")
        if self.mode == "nonbool":
            return Lying()
        return fallback
    def __eq__(self, other):
        return self.act(isinstance(other, Hostile) and other.tag == self.tag)
    def __hash__(self):
        return self.act(self.tag) if self.mode != "nonbool" else 7
    def __lt__(self, other):
        return self.act(self.tag < getattr(other, "tag", 0))
    def __bool__(self):
        return self.act(True)

class Lying:
    '''A comparison result whose truth test raises.'''
    def __bool__(self):
        raise TypeError("no truth")
"""


@pytest.mark.parametrize("mode", ["raise", "nonbool"])
def test_misbehaving_dunders_everywhere_are_contained(mode):
    run_ok(PRELUDE + f"""
mode = {mode!r}
values = [Hostile(mode, i % 3) for i in range(12)]
a = rt.create_input(values[0])
for v in values:
    rt.set(a, v)  # equality raises or lies: each set counts as a change
q = rt.create_query(lambda ref: ref.get(a))
oid = rt.observe(q, lambda v: None)
for v in values:
    rt.set(a, v)
    assert rt.get(q) is v
    rt.stabilize()
c = rt.create_collection()
views = [c.map(lambda x: x), c.filter(lambda x: x), c.join(c, lambda x: x, lambda x: x)]
grouped, ordered = c.group_by(lambda x: x), c.sort_by_key(lambda x: x)
views += [ordered.window(2), ordered.pairwise()]
nodes = [c.count(), c.reduce(len), c.aggregate(0, lambda x: 1, lambda p, q: p + q)]
for v in values:
    c.insert(v)
for v in values[::2]:
    c.delete(v)
for view in views:
    rt.get(view.version_node)
rt.get(grouped.version_node), rt.get(ordered.version_node)
grouped.keys(), ordered.snapshot()
print([rt.get(n) for n in nodes])
print("done")
""")


@pytest.mark.parametrize("interrupt", [KeyboardInterrupt, SystemExit, MemoryError])
def test_interrupts_in_hash_and_eq_reach_the_caller_and_file_nothing(rt, interrupt):
    class Trap:
        armed = None  # the dunder that raises while set; all Traps share a hash

        def __init__(self, tag):
            self.tag = tag

        def __hash__(self):
            if Trap.armed == "hash":
                raise interrupt
            return 1

        def __eq__(self, other):
            if Trap.armed == "eq":
                raise interrupt
            return isinstance(other, Trap) and other.tag == self.tag

    c = rt.create_collection()
    zero = lambda x: 0  # noqa: E731
    outputs = [c.map(lambda x: x), c.sort_by_key(zero), c.join(c, zero, zero)]
    grouped = c.group_by(zero)
    total = c.aggregate(0, lambda x: 1, lambda p, q: p + q)
    nodes = [o.version_node for o in outputs] + [grouped.version_node, total]
    for dunder, tag in (("hash", 1), ("eq", 2)):
        c.insert(Trap(tag))
        for node in nodes:
            Trap.armed = dunder
            with pytest.raises(interrupt):
                rt.get(node)
            Trap.armed = None
            rt.get(node)  # the retry files each element once
    assert [o.snapshot_len() for o in outputs] == [2, 2, 4]
    assert grouped.get_group(0).snapshot_len() == 2 and rt.get(total) == 2


    first = Trap(0)
    a = rt.create_input(first)
    for dunder, change in (("eq", lambda: rt.set(a, Trap(0))), ("eq", lambda: c.delete(Trap(9))),
                           ("hash", lambda: c.insert(Trap(3)))):
        Trap.armed = dunder
        with pytest.raises(interrupt):
            change()
        Trap.armed = None
    assert rt.get(a) is first and c.snapshot_len() == 2 and rt.get(c.version_node) == 2

    class Late:  # interrupts in its group, once its router has filed it under its key
        hashes = 0

        def __hash__(self):
            Late.hashes += 1
            if Late.hashes == 3:  # the source's, the router's tables', then the group's
                raise interrupt
            return 2

    late, group = Late(), grouped.get_group(0)
    c.insert(late)
    with pytest.raises(interrupt):
        rt.get(grouped.version_node)
    assert group.snapshot_len() == 2
    rt.get(grouped.version_node)  # the filed change goes in at the retry
    assert group.snapshot_len() == 3
    c.delete(late)
    rt.get(grouped.version_node)
    assert group.snapshot_len() == 2


def test_equality_and_hash_that_mutate_the_graph():
    run_ok(PRELUDE + """
c = rt.create_collection()
other = rt.create_input(0)
victim = rt.create_input(0)

class Meddler:
    def __init__(self, tag):
        self.tag = tag
    def __hash__(self):
        rt.set(other, rt.get(other) + 1)
        return 1
    def __eq__(self, x):
        c.insert(self.tag)  # into the very collection being changed
        try:
            rt.delete_node(victim)
        except RuntimeError:
            pass  # deleted by an earlier comparison
        return False

counted = c.count()
doubled = c.map(lambda x: x if not isinstance(x, Meddler) else x.tag * 2)
for tag in range(5):
    c.insert(Meddler(tag))
c.delete(Meddler(9))
a = rt.create_input(Meddler(0))
rt.set(a, Meddler(1))
n = rt.get(counted)
assert n == c.snapshot_len(), (n, c.snapshot_len())
rt.get(doubled.version_node)
assert doubled.snapshot_len() == n
assert not rt.is_alive(victim)
print("done")
""")


def test_slow_equality_while_another_thread_works():
    run_ok(PRELUDE + """
a = rt.create_input(0)
q = rt.create_query(lambda ref: ref.get(a) + 1)
c = rt.create_collection()
total = c.count()
stop = threading.Event()

class Slow:
    def __eq__(self, other):
        time.sleep(0.01)  # lets the other thread run inside the engine meanwhile
        return False
    __hash__ = object.__hash__

def worker():
    i = 0
    while not stop.is_set():
        i += 1
        rt.set(a, i)
        assert rt.get(q) == i + 1
        rt.get(total)

t = threading.Thread(target=worker)
t.start()
s = rt.create_input(Slow())
for _ in range(20):
    rt.set(s, Slow())
    c.insert(Slow())
stop.set()
t.join()
assert rt.get(total) == 20
print("done")
""")


def test_deep_cold_chain_computes_each_node_once_with_the_default_recursion_limit():
    # Far deeper than one thread's stack or recursion limit: helper threads continue it.
    result = run_ok("""
import sys
import velk_concurrent as vc
assert sys.getrecursionlimit() == 1000
rt = vc.Runtime()
a = rt.create_input(0)
calls = [0]

def link(p):
    def compute(ref):
        calls[0] += 1
        return ref.get(p) + 1
    return compute

chain = [a]
for _ in range(100_000):
    chain.append(rt.create_query(link(chain[-1])))
assert rt.get(chain[-1]) == 100_000 and calls[0] == 100_000
rt.set(a, 1)
assert rt.get(chain[-1]) == 100_001 and calls[0] == 200_000
print("done")
""")
    assert result.stderr == ""


def test_small_stacks_compute_and_observe_and_deep_nesting_fails_cleanly():
    run_ok("""
import sys, threading
import velk_concurrent as vc
sys.setrecursionlimit(1_000_000)  # the native stack, not the interpreter, is what runs out
threading.stack_size(256 * 1024)
out = []

def server_thread():
    rt = vc.Runtime()
    a = rt.create_input(2)
    doubled = rt.create_query(lambda ref: ref.get(a) * 2)
    rt.observe(doubled, out.append)
    rt.stabilize()
    node = a
    for _ in range(20_000):
        node = rt.create_query(lambda ref, p=node: ref.get(p) + 1)
    rt.observe(node, out.append)
    rt.stabilize()
    # Nested stabilize calls never reach a read that could move on: refused before the stack ends.
    def again(v):
        y = rt.create_input(0)
        rt.observe(y, again)
        rt.set(y, 1)
        rt.stabilize()
    x = rt.create_input(0)
    rt.observe(x, again)
    rt.set(x, 1)
    try:
        rt.stabilize()
    except RecursionError as exc:
        out.append("native stack" in str(exc))

t = threading.Thread(target=server_thread)
t.start()
t.join()
assert out == [4, 20_002, True], out
print("done")
""")


def test_recursion_error_deep_in_a_helper_thread_reaches_the_caller_and_stays_transient():
    run_ok("""
import velk_concurrent as vc
rt = vc.Runtime()
depth = [100_000]

def recurse(n):
    return 0 if n == 0 else recurse(n - 1)

bottom = rt.create_query(lambda ref: recurse(depth[0]))
chain = [bottom]
for _ in range(3000):
    chain.append(rt.create_query(lambda ref, p=chain[-1]: ref.get(p) + 1))
try:
    rt.get(chain[-1])
except RecursionError as exc:
    assert any(f.name == "recurse" for f in __import__("traceback").extract_tb(exc.__traceback__))
else:
    raise AssertionError("expected RecursionError")
depth[0] = 10
assert rt.get(chain[-1]) == 3000  # not Failed: computed again
print("done")
""")


def test_ctrl_c_while_helper_threads_continue_a_read_stops_them_and_leaves_nodes_to_compute():
    # main:   computes the top levels, hands the rest to helpers, waits
    # helper: the first level off the main thread sends SIGINT, then waits for a claim another
    #         thread holds: only the interruption reaching the helpers ends that wait
    # main:   takes the SIGINT; the helpers stop at their next read and unwind
    # main:   only then runs the handler (no helper computing: it may read nodes), which lets
    #         the holder finish; one raising nothing lets the read start over
    run_ok("""
import os, signal, threading
import velk_concurrent as vc
rt = vc.Runtime()
on_helpers, handled, holders = [0], [], []

def handler(signum, frame):
    handled.append((on_helpers[0], rt.get(probes[len(handled)])))
    holders[-1][1].set()
    if len(handled) == 2:
        raise KeyboardInterrupt

def claim_held_elsewhere():
    release, holding = threading.Event(), threading.Event()
    def hold(ref):
        holding.set()
        release.wait(10)
        return 0
    held = rt.create_query(hold)
    holder = threading.Thread(target=rt.get, args=(held,))
    holder.start()
    holding.wait(30)
    holders.append((held, release, holder))
    return held

def chain_of(depth, below):
    held, signalled = claim_held_elsewhere(), []
    def link(p):
        def compute(ref):
            on_helper = threading.current_thread() is not threading.main_thread()
            on_helpers[0] += on_helper
            try:
                if signalled:
                    below[0] += 1
                elif on_helper:
                    signalled.append(True)
                    os.kill(os.getpid(), signal.SIGINT)
                    try:
                        ref.get(held)
                    except BaseException:
                        pass
                return ref.get(p) + 1
            finally:
                on_helpers[0] -= on_helper
        return compute
    chain = [rt.create_input(0)]
    for _ in range(depth):
        chain.append(rt.create_query(link(chain[-1])))
    return chain[-1]

probes = [rt.create_query(lambda ref: 7) for _ in range(2)]
signal.signal(signal.SIGINT, handler)
top = chain_of(2500, [0])
assert rt.get(top) == 2500 and handled == [(0, 7)], handled
below = [0]
top = chain_of(2500, below)
try:
    rt.get(top)
    raise AssertionError("not interrupted")
except KeyboardInterrupt:
    pass
assert handled[1] == (0, 7) and below[0] == 0, (handled, below)  # nothing computed after
assert rt.get(top) == 2500 and below[0] == 2500  # every node left to compute, and once
for _, _, holder in holders:
    holder.join()
print("done")
""")


def test_cycle_through_a_chain_deeper_than_one_thread_is_reported():
    run_ok("""
import velk_concurrent as vc
rt = vc.Runtime()
top = []
chain = [rt.create_query(lambda ref: ref.get(top[0]))]
for _ in range(1500):
    chain.append(rt.create_query(lambda ref, p=chain[-1]: ref.get(p) + 1))
top.append(chain[-1])
try:
    rt.get(chain[-1])
except RuntimeError as exc:
    assert str(exc) == (f"velk-core: dependency cycle detected: node {chain[-1].id} was read "
                        "while its own compute was in progress"), exc
else:
    raise AssertionError("expected the cycle to be reported")
print("done")
""")


def test_recursion_through_ref_get_of_lazily_created_queries():
    run_ok("""
import velk_concurrent as vc
rt = vc.Runtime()
a = rt.create_input(3)
memo = {}

def fib(n):
    # Queries are created outside computes, on demand, then read recursively.
    if n not in memo:
        memo[n] = rt.create_query(
            lambda ref: ref.get(a) if n < 2 else ref.get(fib(n - 1)) + ref.get(fib(n - 2)))
    return memo[n]

for n in range(60):
    fib(n)
assert rt.get(fib(59)) == 3 * 1548008755920
rt.set(a, 1)
assert rt.get(fib(59)) == 1548008755920
print("done")
""")


def test_cross_thread_dependency_cycle_is_reported():
    run_ok("""
import threading
import velk_concurrent as vc
rt = vc.Runtime()
both = threading.Barrier(2)
nodes = {}
first = {"a", "b"}

def reads(other):
    def compute(ref):
        if other in first:  # the first computes: each thread holds its node, then reads the other's
            first.discard(other)
            both.wait()
        return ref.get(nodes[other])
    return compute

nodes["a"] = rt.create_query(reads("b"))
nodes["b"] = rt.create_query(reads("a"))
errors = []

def read(name):
    try:
        rt.get(nodes[name])
    except BaseException as exc:
        errors.append(exc)

threads = [threading.Thread(target=read, args=(n,), daemon=True) for n in "ab"]
for t in threads:
    t.start()
for t in threads:
    t.join(10)
assert errors and not any(t.is_alive() for t in threads), "both readers still spinning"
print("done")
""")
