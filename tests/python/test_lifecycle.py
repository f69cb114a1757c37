"""Process lifecycle with threads inside the engine: a fork while another thread computes or
holds a collection, and interpreter exit while daemon threads compute, set and stabilize. Each
runs in a fresh interpreter, so a hang or a crash fails one test.

Fork timeline (parent):
    worker:  get(q) -> compute claims q, blocks on `release`   | hash(Gate) blocks in insert
    main:    waits for both to block -> os.fork() -> release both -> join
    child:   get(q) computes q itself; set/get go on; the collection the worker held is refused
"""
import subprocess

import pytest
from conftest import run_python

FORK = """
import os, threading
import velk_concurrent as vc
rt = vc.Runtime()
parent = os.getpid()
computing, hashing, release = threading.Event(), threading.Event(), threading.Event()

class Gate:
    def __hash__(self):
        if os.getpid() == parent:
            hashing.set()
            release.wait()
        return 1

a = rt.create_input(1)
def slow(ref):
    if os.getpid() == parent:
        computing.set()
        release.wait()
    return ref.get(a) * 10
q = rt.create_query(slow)
c, free = rt.create_collection(), rt.create_collection()
workers = [threading.Thread(target=rt.get, args=(q,)), threading.Thread(target=c.insert, args=(Gate(),))]
for w in workers:
    w.start()
computing.wait(); hashing.wait()
pid = os.fork()
if pid == 0:
    import faulthandler; faulthandler.dump_traceback_later(20, exit=True)
    out = [rt.get(q)]
    rt.set(a, 2)
    out.append(rt.get(q))
    free.insert(5)
    try:
        c.insert(6)
    except RuntimeError as e:
        out.append(str(e))
    print("child", out, flush=True)
    os._exit(0)
release.set()
for w in workers:
    w.join()
assert os.waitpid(pid, 0)[1] == 0
rt.set(a, 3)
c.insert(7)
print("parent", rt.get(q), flush=True)
print("done")
"""


def test_fork_while_threads_compute_and_hold_a_collection():
    try:
        result = run_python(FORK)
    except subprocess.TimeoutExpired:
        pytest.fail("timed out: the child waited for a thread it does not have")
    assert result.returncode == 0, result.stderr[-3000:]
    lines = result.stdout.splitlines()
    assert lines[-1] == "done"
    child = next(line for line in lines if line.startswith("child"))
    assert "[10, 20, 'velk-core: a collection was in use by another thread when the process forked" in child
    assert any(line.startswith("parent 30") for line in lines)


EXIT = """
import sys, threading, time
import velk_concurrent as vc
sys.setrecursionlimit(10000)
rt = vc.Runtime()

class Slow:
    def __init__(self, v): self.v = v
    def __eq__(self, other):
        time.sleep(0.001)
        return isinstance(other, Slow) and other.v == self.v
    def __hash__(self): return hash(self.v)

inputs = [rt.create_input(Slow(0)) for _ in range(3)]
chain = [inputs[0]]
for _ in range(300):  # deep enough to hand reads to helper threads
    chain.append(rt.create_query(lambda ref, p=chain[-1]: ref.get(p)))
rt.observe(chain[-1], lambda v: None)
rt.observe(rt.create_query(lambda ref: ref.get(inputs[1]).v), lambda v: None)

def setter(i):
    n = 0
    while True:
        n += 1
        rt.set(inputs[i], Slow(n))

def stabilizer():
    while True:
        rt.stabilize()

for i in range(3):
    threading.Thread(target=setter, args=(i,), daemon=True).start()
    threading.Thread(target=stabilizer, daemon=True).start()
time.sleep(0.03)
print("done")
"""


def test_exit_with_daemon_threads_inside_the_engine():
    for _ in range(10):
        try:
            result = run_python(EXIT)
        except subprocess.TimeoutExpired:
            pytest.fail("exit hung with daemon threads inside the engine")
        assert result.returncode == 0, result.stderr[-3000:]
        assert result.stdout.splitlines()[-1] == "done"
