"""Races between threads that once corrupted values or deadlocked."""
import threading
import time

import pytest
import velk_concurrent as vc
from conftest import run_python


def test_set_racing_delete_never_writes_into_the_node_reusing_the_slot(rt):
    x = rt.create_input(1)
    entered = threading.Event()

    class Slow:
        def __eq__(self, other):
            entered.set()
            time.sleep(0.2)  # the set waits here, between its handle check and its write
            return False

        __hash__ = object.__hash__

    errors = []

    def setter():
        try:
            rt.set(x, Slow())
        except RuntimeError as exc:
            errors.append(str(exc))

    thread = threading.Thread(target=setter)
    thread.start()
    assert entered.wait(30)
    rt.delete_node(x)
    y = rt.create_input(42)  # reuses x's slot and value cell
    thread.join(60)
    assert not thread.is_alive()
    assert y.id == x.id and rt.get(y) == 42
    assert len(errors) == 1 and "stale" in errors[0]


def test_finaliser_that_reenters_a_collection_during_a_delta_copy_does_not_deadlock():
    proc = run_python("""
        import threading, velk_concurrent as velk
        rt = velk.Runtime()
        c = rt.create_collection()
        c.insert(1)
        class D:
            def __eq__(self, o): return isinstance(o, D)
            __hash__ = object.__hash__
            def __del__(self): c.insert(99)  # runs when the engine drops its reference
        x = rt.create_input(0)
        q = rt.create_query(lambda r: (r.get(x), D())[1])
        mirror = c.map(lambda v: v).version_node
        top = rt.create_query(lambda r: (r.get(mirror), r.get(q)))
        rt.get(top)
        rt.set(x, 1)  # q recomputes to an equal D, dropped while no GIL is held
        c.insert(2)   # the map has a delta to copy under the collection's lock
        t = threading.Thread(target=rt.get, args=(top,), daemon=True)
        t.start(); t.join(30)
        print("alive" if t.is_alive() else "done")
    """)
    assert proc.stdout.strip() == "done", proc.stderr
