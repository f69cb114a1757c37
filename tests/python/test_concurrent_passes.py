"""Stabilize passes, traced reads and waits on several threads at once.

Deliveries of one observer, two passes:

    A: stabilize ── callback(1) ── in_callback.set ── go.wait ─────────────── returns
    main:                 in_callback.wait ── set(x, 2) ── start B ── go.set
    B:                                                  stabilize ── (waits for A) ── callback(2)

Traced reads, two threads:

    A: get_traced(top_a) ── a computes ── a_in.set ── b_in.wait ── returns
    B:                      get_traced(top_b) ── b computes ── b_in.set ── a_in.wait ── returns

Ctrl-C during a wait for another thread (a compute, then a collection lock):

    T:    computes q (or hashes an element under the lock) ── started.set ── release.wait ── done
    main: started.wait ── rt.get(q) sleeps ── SIGINT ── KeyboardInterrupt ── release.set
"""
import os
import signal
import threading
import time

from test_threads import JOIN_TIMEOUT, run_threads


def test_one_observer_delivers_in_order_on_one_thread_at_a_time(rt):
    x = rt.create_input(0)
    delivered, active = [], []
    in_callback, go = threading.Event(), threading.Event()

    def callback(value):
        active.append(value)
        assert len(active) == 1, "callback running on two threads"
        if value == 1:
            in_callback.set()
            go.wait(JOIN_TIMEOUT)
        delivered.append(value)
        active.pop()

    rt.observe(x, callback)
    rt.set(x, 1)
    a = threading.Thread(target=rt.stabilize, daemon=True)
    a.start()
    assert in_callback.wait(JOIN_TIMEOUT)
    rt.set(x, 2)
    b = threading.Thread(target=rt.stabilize, daemon=True)
    b.start()
    go.set()
    a.join(JOIN_TIMEOUT)
    b.join(JOIN_TIMEOUT)
    assert delivered == [1, 2]

    # Many passes against a writer: deliveries never go back, and a quiet pass ends on the
    # node's value.
    delivered.clear()
    stop = threading.Event()

    def writer():
        for value in range(3, 3000):
            rt.set(x, value)
        stop.set()

    def stabilizer():
        while not stop.is_set():
            rt.stabilize()

    run_threads([writer] + [stabilizer] * 3)
    rt.stabilize()
    assert delivered == sorted(delivered) and delivered[-1] == rt.get(x) == 2999


def test_traced_reads_on_two_threads_report_only_their_own_nodes(rt):
    x = rt.create_input(1)
    a_in, b_in = threading.Event(), threading.Event()

    def staged(mine, theirs):
        def body(ref):
            mine.set()
            assert theirs.wait(JOIN_TIMEOUT)
            return ref.get(x)
        return body

    a = rt.create_query(staged(a_in, b_in))
    b = rt.create_query(staged(b_in, a_in))
    top_a = rt.create_query(lambda ref: ref.get(a) + 1)
    top_b = rt.create_query(lambda ref: ref.get(b) + 2)
    traces = {}

    def read(name, node):
        traces[name] = {entry["id"] for entry in rt.get_traced(node)[1]["node_traces"]}

    run_threads([lambda: read("a", top_a), lambda: read("b", top_b)])
    assert traces == {"a": {a.id, top_a.id}, "b": {b.id, top_b.id}}


def test_waits_for_another_thread_sleep_and_answer_ctrl_c(rt):
    started, release = threading.Event(), threading.Event()

    def slow(ref):
        started.set()
        release.wait(JOIN_TIMEOUT)
        return 42

    q = rt.create_query(slow)
    blocker = Blocker(started, release)
    c = rt.create_collection()
    waits = [lambda: rt.get(q), lambda: c.insert(1)]
    for holder, wait in zip([lambda: rt.get(q), lambda: c.insert(blocker)], waits):
        started.clear()
        release.clear()
        t = threading.Thread(target=holder, daemon=True)
        t.start()
        assert started.wait(JOIN_TIMEOUT)
        cpu = time.process_time()
        interrupt = threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT))
        interrupt.start()
        try:
            wait()
            raise AssertionError("the wait was not interrupted")
        except KeyboardInterrupt:
            pass
        finally:
            interrupt.cancel()
        assert time.process_time() - cpu < 0.25  # slept, did not spin
        release.set()
        t.join(JOIN_TIMEOUT)
    assert rt.get(q) == 42 and c.snapshot_len() == 1


class Blocker:
    """An element whose hash holds its collection's lock until released."""

    def __init__(self, started, release):
        self.started, self.release = started, release

    def __hash__(self):
        self.started.set()
        self.release.wait(JOIN_TIMEOUT)
        return 7
