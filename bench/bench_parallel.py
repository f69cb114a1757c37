"""Parallel speed-up of cold CPU-bound queries, next to plain Python calls on the same threads.

Run it on a free-threaded interpreter to see the engine's query functions run on every core
(on the default build the GIL serialises them, so both columns stay near 1x):

    python bench/bench_parallel.py            # ~30 s
"""
import sys
import threading
import time

import velk_concurrent as vc

WORK = 20_000  # loop steps per query: about a millisecond of pure Python
QUERIES = 200  # total per measurement, split over the threads


def work(seed):
    total = seed
    for i in range(WORK):
        total = (total * 31 + i) % 1_000_003
    return total


def run_threads(n, job):
    """Seconds for n threads each running job(index) at once."""
    barrier = threading.Barrier(n + 1)
    threads = [threading.Thread(target=lambda k=k: (barrier.wait(), job(k))) for k in range(n)]
    for t in threads:
        t.start()
    barrier.wait()
    start = time.perf_counter()
    for t in threads:
        t.join()
    return time.perf_counter() - start


def plain(n):
    per = QUERIES // n
    return run_threads(n, lambda k: [work(k * per + i) for i in range(per)])


def cold_queries(n):
    rt = vc.Runtime()
    per = QUERIES // n
    nodes = [[rt.create_query(lambda ref, s=k * per + i: work(s)) for i in range(per)]
             for k in range(n)]
    return run_threads(n, lambda k: [rt.get(q) for q in nodes[k]])


def clean_reads(n, reads=400_000):
    rt = vc.Runtime()
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


def shared_diamond(n, width=QUERIES):
    """A sink over `width` independent CPU-bound queries, read by n threads at once; each
    thread first reads the branches in its own order, so all of them help compute."""
    rt = vc.Runtime()
    branches = [rt.create_query(lambda ref, s=s: work(s)) for s in range(width)]
    sink = rt.create_query(lambda ref: sum(ref.get(b) for b in branches) % 1_000_003)

    def reader(k):
        order = branches[k::n] + [b for i, b in enumerate(branches) if i % n != k]
        for b in order:
            rt.get(b)
        rt.get(sink)

    return run_threads(n, reader)


def best(f, n, repeat=3):
    return min(f(n) for _ in range(repeat))


def main():
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    print(f"Python {sys.version.split()[0]}, GIL {'enabled' if gil else 'disabled'}")
    rows = [
        ("plain Python calls", plain),
        ("cold queries, own per thread", cold_queries),
        ("clean reads", clean_reads),
        ("shared cold diamond", shared_diamond),
    ]
    print(f"{'workload':32} {'1 thread':>10} {'2 threads':>10} {'speed-up':>9}")
    for name, f in rows:
        one, two = best(f, 1), best(f, 2)
        print(f"{name:32} {one * 1e3:8.1f}ms {two * 1e3:8.1f}ms {one / two:8.2f}x")


if __name__ == "__main__":
    main()
