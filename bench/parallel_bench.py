"""Section 8: the speed-up 2 threads give over 1, on the free-threaded build and on the GIL build.

The same total work on 1 and 2 threads: cold CPU-bound queries, each thread reading its own;
the same work as plain Python calls (what the machine and the interpreter give any Python code);
clean reads of up-to-date queries; and a shared cold diamond, a sink over 1,000 independent
CPU-bound queries that 2 threads read at once. On the GIL build the query functions take turns,
so only clean reads gain; on a free-threaded build query functions of different nodes run at once.

The suite runs this section in its own process for the GIL build and, in a child process, on
the free-threaded interpreter named by VELK_BENCH_FT_PYTHON (bench/run builds the module for it
and sets it). Alone, on whatever interpreter runs it:

    python bench/parallel_bench.py [--quick]
"""
import json
import os
import statistics
import subprocess
import sys
import threading
import time

import velk_concurrent as velk
from report import row, target

SECTION = "8 parallel"
WORKLOADS = {
    "plain": "plain Python calls",
    "cold": "cold queries, own per thread",
    "clean": "clean reads",
    "diamond": "shared cold diamond of 1,000",
}
STEPS = 10_000  # loop steps of one CPU-bound call: about half a millisecond of pure Python


def work(seed):
    total = seed
    for i in range(STEPS):
        total = (total * 31 + i) % 1_000_003
    return total


def run_threads(n, job):
    """Seconds for n threads each running job(index), started together."""
    barrier = threading.Barrier(n + 1)
    threads = [threading.Thread(target=lambda k=k: (barrier.wait(), job(k))) for k in range(n)]
    for t in threads:
        t.start()
    barrier.wait()
    start = time.perf_counter()
    for t in threads:
        t.join()
    return time.perf_counter() - start


def plain(n, calls):
    per = calls // n
    return run_threads(n, lambda k: [work(k * per + i) for i in range(per)])


def cold_queries(n, calls):
    rt = velk.Runtime()
    per = calls // n
    nodes = [[rt.create_query(lambda ref, s=k * per + i: work(s)) for i in range(per)]
             for k in range(n)]
    return run_threads(n, lambda k: [rt.get(q) for q in nodes[k]])


def clean_reads(n, reads):
    rt = velk.Runtime()
    nodes = [rt.create_query(lambda ref, k=k: k) for k in range(n)]
    for q in nodes:
        rt.get(q)
    per = reads // n

    def reader(k):
        # A bound method of its own: on free-threaded 3.13 every thread that looks up `rt.get`
        # changes the shared reference count of `rt`, which then dominates a read this short.
        get, node = rt.get, nodes[k]
        for _ in range(per):
            get(node)

    return run_threads(n, reader)


def shared_diamond(n, width=1_000):
    """A sink over `width` independent CPU-bound queries, read by n threads at once; each
    thread first reads the branches in its own order, so that all of them compute."""
    rt = velk.Runtime()
    branches = [rt.create_query(lambda ref, s=s: work(s)) for s in range(width)]
    sink = rt.create_query(lambda ref: sum(ref.get(b) for b in branches) % 1_000_003)

    def reader(k):
        for b in branches[k::n] + [b for i, b in enumerate(branches) if i % n != k]:
            rt.get(b)
        rt.get(sink)

    return run_threads(n, reader)


def measure(quick):
    """Median seconds per workload and thread count, on this interpreter."""
    calls, reads, repeats = (100, 200_000, 3) if quick else (200, 400_000, 5)
    jobs = {
        "plain": lambda n: plain(n, calls),
        "cold": lambda n: cold_queries(n, calls),
        "clean": lambda n: clean_reads(n, reads),
        "diamond": shared_diamond,
    }
    result = {}
    for key, job in jobs.items():
        # 1 and 2 threads alternate, so that a change in the machine's load meets both alike.
        runs = [(job(1), job(2)) for _ in range(repeats)]
        result[key] = {str(n): statistics.median(r[n - 1] for r in runs) for n in (1, 2)}
    return result


def gil_enabled():
    return getattr(sys, "_is_gil_enabled", lambda: True)()


def free_threaded(quick):
    """The figures of the free-threaded build from a child process, or the reason there are
    none."""
    python = os.environ.get("VELK_BENCH_FT_PYTHON")
    if not python:
        return None, os.environ.get("VELK_BENCH_FT_UNAVAILABLE", "VELK_BENCH_FT_PYTHON not set")
    command = [python, os.path.abspath(__file__), "--child"] + (["--quick"] if quick else [])
    try:
        out = subprocess.run(command, capture_output=True, text=True,
                             env={**os.environ, "PYTHON_GIL": "0"})
    except OSError as e:
        return None, f"{python} did not start: {e.strerror}"
    if out.returncode != 0:
        last = out.stderr.strip().splitlines()[-1:] or [f"exit status {out.returncode}"]
        return None, f"{python} failed: {last[0]}"
    child = json.loads(out.stdout.strip().splitlines()[-1])
    if child["gil"]:
        return None, f"{python} runs with the GIL enabled"
    return child, ""


def record(build, figures, why=""):
    nan = float("nan")
    for key, name in WORKLOADS.items():
        one, two = (figures[key]["1"], figures[key]["2"]) if figures else (nan, nan)
        note = f"1 thread {one * 1e3:.0f} ms, 2 threads {two * 1e3:.0f} ms" if figures else why
        row(SECTION, f"{name} [{build}]", one / two, "x (2 threads / 1)", note)


def bench_parallel(q):
    gil = measure(q)
    ft, why = free_threaded(q)
    figures = ft["results"] if ft else None
    record(f"free-threaded {ft['python']}" if ft else "free-threaded", figures, why)
    record(f"{'GIL' if gil_enabled() else 'no GIL'} {sys.version.split()[0]}", gil)

    def speedup(key):
        return figures[key]["1"] / figures[key]["2"] if figures else float("nan")

    ours, machine = speedup("cold"), speedup("plain")
    checks = [
        ("free-threaded: cold queries on 2 threads >=0.9x plain Python's speed-up",
         ours / machine, 0.9, f"{ours:.2f}x / {machine:.2f}x = "),
        ("free-threaded: clean reads from 2 threads >=1.8x one thread", speedup("clean"), 1.8, ""),
        ("free-threaded: shared cold diamond, 2 threads >=1.6x faster than one",
         speedup("diamond"), 1.6, ""),
    ]
    for text, value, bound, prefix in checks:
        if figures:
            # The machine's own speed-up beside each figure: while another process holds a
            # core, plain Python calls gain nothing either.
            context = "" if prefix else f" (plain Python calls {machine:.2f}x)"
            target(text, f"{prefix}{value:.2f}x{context}", value >= bound)
        else:
            target(text, f"n/a ({why})", False)
    return {"gil": gil, "free_threaded": ft, "free_threaded_missing": why}


def main():
    quick = "--quick" in sys.argv
    if "--child" in sys.argv:
        print(json.dumps({"python": sys.version.split()[0], "gil": gil_enabled(),
                          "results": measure(quick)}))
        return
    print(f"Python {sys.version.split()[0]}, GIL {'enabled' if gil_enabled() else 'disabled'}")
    print(f"{'workload':32} {'1 thread':>10} {'2 threads':>10} {'speed-up':>9}")
    for key, f in measure(quick).items():
        one, two = f["1"], f["2"]
        print(f"{WORKLOADS[key]:32} {one * 1e3:8.1f}ms {two * 1e3:8.1f}ms {one / two:8.2f}x")


if __name__ == "__main__":
    main()
