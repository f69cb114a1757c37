"""Section 7, per element: RSS growth per element of a root collection and of each operator's
state at 10^6 elements (10^5 with --quick), each in a fresh process, next to the bytes of the
Python objects the structure keeps alive (the ints, tuples and lists themselves). That figure
is taken by tracemalloc in a second fresh process at a tenth of the size (10^5 at least; the
engine allocates with malloc, which tracemalloc does not see), so engine bytes = RSS growth -
Python objects.

One case alone:  python bench/element_memory_bench.py <case> <n> rss|python
"""
import gc
import json
import os
import subprocess
import sys
import tracemalloc

from report import row, target

# (case, what one element of the table stands for)
CASES = [
    ("python list", "a list of the same ints"),
    ("python dict", "a dict from the same ints to counts"),
    ("root", "root collection of distinct ints"),
    ("map", "map(x + 1) output"),
    ("filter", "filter(true) output"),
    ("count", "count() operator"),
    ("reduce", "reduce(len) operator"),
    ("join", "join 1:1 with a second root, output pairs"),
    ("group_by", "group_by(x % 100), 100 groups"),
    ("aggregate", "aggregate(+) tree"),
    ("sort_by_key", "sort_by_key(x) output"),
    ("window", "window(3) of the sorted output"),
    ("pairwise", "pairwise() of the sorted output"),
]


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def ident(x):
    return x


def plus_one(x):
    return x + 1


def always(_x):
    return True


def key100(x):
    return x % 100


def add(a, b):
    return a + b


def root_of(rt, n):
    c = rt.create_collection()
    for i in range(n):
        c.insert(i)
    return c


def prepare(case, n):
    """What exists before the measurement, and build() that makes the measured structure."""
    import velk_concurrent as velk
    if case == "python list":
        return [], lambda: list(range(n))
    if case == "python dict":
        return [], lambda: dict.fromkeys(range(n), 1)
    rt = velk.Runtime()
    if case == "root":
        return [rt], lambda: root_of(rt, n)
    src = root_of(rt, n)
    keep = [rt, src]
    if case in ("map", "filter"):
        make = src.map if case == "map" else src.filter
        fn = plus_one if case == "map" else always

        def build():
            out = make(fn)
            rt.get(out.version_node)
            return out
        return keep, build
    if case == "count":
        return keep, lambda: rt.get(src.count())
    if case == "reduce":
        def build():
            node = src.reduce(len)
            rt.get(node)
            return node
        return keep, build
    if case == "join":
        right = root_of(rt, n)
        keep.append(right)

        def build():
            out = src.join(right, ident, ident)
            rt.get(out.version_node)
            return out
        return keep, build
    if case == "group_by":
        def build():
            g = src.group_by(key100)
            rt.get(g.version_node)
            return g
        return keep, build
    if case == "aggregate":
        def build():
            node = src.aggregate(0, ident, add)
            rt.get(node)
            return node
        return keep, build
    if case == "sort_by_key":
        def build():
            s = src.sort_by_key(ident)
            rt.get(s.version_node)
            return s
        return keep, build
    s = src.sort_by_key(ident)
    rt.get(s.version_node)
    keep.append(s)

    def build():
        out = s.window(3) if case == "window" else s.pairwise()
        rt.get(out.version_node)
        return out
    return keep, build


def child(case, n, mode):
    keep, build = prepare(case, n)
    gc.collect()
    if mode == "python":
        tracemalloc.start()
        before = tracemalloc.get_traced_memory()[0]
    else:
        before = rss_bytes()
    made = build()
    gc.collect()
    after = tracemalloc.get_traced_memory()[0] if mode == "python" else rss_bytes()
    print(json.dumps({"case": case, "mode": mode, "bytes_per_element": (after - before) / n}))
    del made, keep


def run_child(case, n, mode):
    out = subprocess.run([sys.executable, os.path.abspath(__file__), case, str(n), mode],
                         capture_output=True, text=True, check=True)
    return json.loads(out.stdout.strip().splitlines()[-1])["bytes_per_element"]


def bench_element_memory(q):
    n = 100_000 if q else 1_000_000
    sec = "7 memory per element"
    res = {}
    for case, what in CASES:
        try:
            total = run_child(case, n, "rss")
            # Python objects take the same bytes per element at any size: a tenth suffices.
            objects = run_child(case, max(n // 10, 10 ** 5), "python")
        except subprocess.CalledProcessError as e:
            row(sec, f"{case}: failed", float("nan"), "", (e.stderr or "").strip()[-80:])
            continue
        engine = 0.0 if case.startswith("python") else total - objects
        res[case] = {"rss": total, "python_objects": objects, "engine": engine}
        split = f"Python objects {objects:.0f} B" + ("" if case.startswith("python") else
                                                     f", engine {round(engine) + 0} B")
        row(sec, f"{case} (RSS/{n})", total, "B/element", f"{what}; {split}")
    if "root" in res and not q:  # at 10^5, fixed costs still show in a per-element figure
        e = res["root"]["engine"]
        target("<=64 bytes engine overhead per root collection element", f"{e:.0f} B", e <= 64)
    return res


if __name__ == "__main__":
    child(sys.argv[1], int(sys.argv[2]), sys.argv[3])
