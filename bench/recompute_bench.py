"""Section 12: the cost of recomputing a node.

A writer sets the base input of a chain of 300 queries `lambda ref, p=p: ref.get(p) + 1` and
reads the top, so every update recomputes all 300; next to the same 300 functions called in
order in plain Python (`ref.get` reading a dict of the values computed so far) and to 300 bare
calls of `lambda v: v + 1`. Then, where `perf` can sample this process, one recompute broken
into its steps: samples of the update loop, each given to the first step its call stack (leaf
first) passes through.

    PYTHONPATH=build/py/python:python python bench/recompute_bench.py [--quick] [--no-perf]

Build with -DCMAKE_CXX_FLAGS=-fno-omit-frame-pointer for whole stacks in the breakdown.
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

import velk_concurrent as velk

from report import median_ns, row, target

SECTION = "12 recompute"
DEPTH = 300

# The steps of one recompute, each the functions that belong to it; a sample counts for the
# first step met walking its stack from the leaf, so a shared helper (a node lookup, malloc)
# counts for the step that called it.
STEPS = [
    ("GIL / thread state", r"PyEval_SaveThread|PyEval_RestoreThread|PyGILState_|take_gil|drop_gil"
     r"|ReleasedRegion|LockedRegion|LockGivenUp|GilEnsure|restore_thread_or_park|"
     r"ensure_gil_or_park|"
     r"PyThread_tss|pthread_getspecific"),
    ("tracing", r"TraceScope|Runtime::report"),
    ("nested ref.get", r"runtime_ref_get|read_node|read_out_of_date|try_get_clean|"
     r"Runtime::check|record_read|read_cell|HazardHolder|EngineScope|Argument<|arena_of|"
     r"check_ref_thread|method<|read_hazard|ClearedHazard|ref_read"),
    ("the function's own Python", r"_PyEval_EvalFrame|initialize_locals|_PyEvalFramePushAndInit|"
     r"_PyThreadState_PushFrame|_PyThreadState_PopFrame|_PyFrame_|long_add|binary_op|"
     r"PyNumber_Add|_PyLong_|frame_dealloc|clear_thread_frame"),
    ("dependency frame", r"SharedDepStack|FrameGuard|DepFrame|DeferredFailures"),
    ("dependency commit", r"commit_deps|DependencyGraph::commit|commit_changed|NodeRecord::deps|"
     r"same_slots"),
    ("cutoff compare", r"write_if_changed|PyValue::equal|equal_general|equals_claimed|"
     r"compare_true|PyObject_RichCompare|long_richcompare|PyObject_IsTrue"),
    ("value store, publication", r"QueryFunction|GenericArena<.*>::write|ValueSlot|cell_pool|"
     r"CellPool|owned_slot|HazardDomain::retire|HazardDomain::reclaim|raise_verified_at|"
     r"raise_changed_at|"
     r"finish_claim|release_reference|reclaim_if_pending|drain_pending_releases"),
    ("callback call", r"PythonQuery|RefScope|SpareRef|invoke_callback|native_stack_nearly|"
     r"runtime_ref_dealloc|_PyObject_Vectorcall|PyObject_Vectorcall|_PyFunction_Vectorcall|"
     r"_PyObject_New|PyObject_Malloc|PyObject_Free"),
    ("claim / walk", r"claim_and_settle|Runtime::settle|Runtime::expand|ensure_clean|"
     r"deps_unchanged|cas_state|wait_graph|compute_function|Runtime::recompute|ParkingLot|"
     r"read_torn|wait_for_claim"),
    ("writer set, top read", r"runtime_set|runtime_get|Runtime::set|publish_change|"
     r"invalidate_dependents|mark_downstream|WalkRing|InputClaim"),
]


def make_chain(rt, depth=DEPTH):
    base = rt.create_input(0)
    node = base
    for _ in range(depth):
        node = rt.create_query(lambda ref, p=node: ref.get(p) + 1)
    return base, node


class PlainRef:
    """What a plain evaluation hands the same functions: `get` reads a dict of values."""
    __slots__ = ("get",)

    def __init__(self, values):
        self.get = values.__getitem__


def plain_chain(depth=DEPTH):
    """The same functions called in order, each result stored for the next; returns run(i)."""
    values = {0: 0}
    fns = [(k + 1, lambda ref, p=k: ref.get(p) + 1) for k in range(depth)]
    ref = PlainRef(values)

    def run(i):
        values[0] = i
        for key, fn in fns:
            values[key] = fn(ref)
        return values[depth]

    return run


def bare_chain(depth=DEPTH):
    """300 calls of a one-argument function, each fed the last result: the bare call cost."""
    fns = [lambda v: v + 1 for _ in range(depth)]

    def run(i):
        for fn in fns:
            i = fn(i)
        return i

    return run


def update_loop(rt, base, top, n, start=1):
    set_, get = rt.set, rt.get
    for i in range(start, start + n):
        set_(base, i)
        get(top)


def rates(q):
    """(engine, plain, bare) updates/s."""
    n = 200 if q else 1000
    reps = 5 if q else 7
    rt = velk.Runtime()
    base, top = make_chain(rt)
    rt.get(top)
    counter = [1]

    def ours():
        update_loop(rt, base, top, n, counter[0])
        counter[0] += n

    run = plain_chain()

    def plain():
        for i in range(n):
            run(i)

    bare_run = bare_chain()

    def bare():
        for i in range(n):
            bare_run(i)

    ours()  # warm
    return tuple(1e9 / median_ns(fn, n, reps) for fn in (ours, plain, bare))


def classify(stack):
    for frame in stack:
        for step, pattern in STEPS:
            if re.search(pattern, frame):
                return step
    return "other"


def breakdown(seconds):
    """{step: share of samples} of the update loop under perf, or None without perf."""
    perf = shutil.which("perf")
    if perf is None:
        return None
    with tempfile.TemporaryDirectory() as tmp:
        data = os.path.join(tmp, "perf.data")
        child = [sys.executable, os.path.abspath(__file__), "--child", str(seconds)]
        rec = subprocess.run([perf, "record", "-q", "-F", "999", "--call-graph", "dwarf,16384",
                              "-o", data, "--"] + child,
                             capture_output=True, text=True)
        if rec.returncode != 0:
            return None
        script = subprocess.run([perf, "script", "-i", data, "-F", "ip,sym"],
                                capture_output=True, text=True)
    counts, stack = {}, []
    for line in script.stdout.splitlines() + [""]:
        if line.strip():
            stack.append(line.strip().partition(" ")[2])
            continue
        if stack:
            step = classify(stack)
            counts[step] = counts.get(step, 0) + 1
            stack = []
    total = sum(counts.values()) or 1
    return {step: c / total for step, c in sorted(counts.items(), key=lambda kv: -kv[1])}


def child(seconds):
    rt = velk.Runtime()
    base, top = make_chain(rt)
    rt.get(top)
    end = time.time() + seconds
    i = 1
    while time.time() < end:
        update_loop(rt, base, top, 100, i)
        i += 100


def bench_recompute(q, use_perf=True):
    ours, plain, bare = rates(q)
    ratio = bare / ours
    row(SECTION, f"chain of {DEPTH}: set base, read top", ours, "updates/s")
    row(SECTION, f"same {DEPTH} functions in plain Python", plain, "updates/s",
        "ref.get reads a dict")
    row(SECTION, f"{DEPTH} plain calls v = f(v)", bare, "updates/s", "lambda v: v + 1")
    row(SECTION, "recompute / plain function with dict", plain / ours, "x")
    row(SECTION, "recompute / plain call", ratio, "x")
    target("a recomputed node costs <=3x a plain call of its function", f"{ratio:.1f}x",
           ratio <= 3.0)
    shares = breakdown(1.0 if q else 3.0) if use_perf else None
    if shares is None:
        row(SECTION, "per-step breakdown", "n/a", "", "perf not available")
        return {"engine": ours, "plain": plain, "bare": bare}
    ns_per_node = 1e9 / ours / DEPTH
    for step, share in shares.items():
        row(SECTION, f"  {step}", share * ns_per_node, "ns/recompute", f"{share:.0%} of samples")
    return {"engine": ours, "plain": plain, "bare": bare, "breakdown": shares}


def main():
    if len(sys.argv) > 2 and sys.argv[1] == "--child":
        child(float(sys.argv[2]))
        return
    from report import ROWS, TARGETS
    bench_recompute("--quick" in sys.argv, "--no-perf" not in sys.argv)
    for _, name, v, unit, note in ROWS:
        fig = f"{v:,.1f}" if isinstance(v, float) else str(v)
        print(f"{name:<40} {fig:>12} {unit:<14} {note}")
    for text, fig, ok in TARGETS:
        print(f"{ok:<4}  {text}  {fig}")


if __name__ == "__main__":
    main()
