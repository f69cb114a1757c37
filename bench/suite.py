"""velk_concurrent benchmark suite: Python workloads next to peers measured in the same run.

Every figure is the median of several repeats of a timed batch (time.perf_counter_ns), and
every ratio compares two figures taken in this run. Prints one table and writes JSON.

    python bench/suite.py [--quick] [--engine-json FILE] [--out bench/results.json]

Peers (optional; a missing one is reported as n/a): reaktiv (signals and computeds),
observ (refs and computeds).
"""
import argparse
import bisect
import datetime
import gc
import json
import os
import platform
import statistics
import subprocess
import sys
import threading
import time
from collections import Counter

import velk_concurrent as velk

try:
    import reaktiv
except ImportError:  # reported in the table
    reaktiv = None
try:
    import observ
except ImportError:
    observ = None

from report import NS, ROWS, TARGETS, median_ns, row, target  # noqa: F401 (the sections use them)
from element_memory_bench import bench_element_memory
from pathway_bench import bench_pathway
from set_many_bench import bench_set_many
from recompute_bench import bench_recompute
from bulk_bench import bench_bulk
from signals_bench import bench_signals
from parallel_bench import bench_parallel

RESULTS = {"rows": [], "targets": []}


def in_big_stack(fn):
    """Runs fn in a thread with a large stack and recursion limit, so peers whose reads
    recurse through a 100,000-node chain can finish; returns its result or the exception."""
    out = {}

    def run():
        try:
            out["v"] = fn()
        except BaseException as e:  # noqa: BLE001 - reported, not swallowed
            out["e"] = e

    old = sys.getrecursionlimit()
    sys.setrecursionlimit(1_000_000)
    threading.stack_size(1 << 30)
    t = threading.Thread(target=run)
    t.start()
    t.join()
    threading.stack_size(0)
    sys.setrecursionlimit(old)
    if "e" in out:
        raise out["e"]
    return out["v"]


# ---------------------------------------------------------------------------------------------
# 1. clean read

def bench_clean_read(q):
    n = 200_000 if not q else 50_000
    reps = 7
    rt = velk.Runtime()
    x = rt.create_input(1)
    qq = rt.create_query(lambda ref: ref.get(x) + 1)
    rt.get(qq)
    get = rt.get
    r = range(n)

    def ours():
        for _ in r:
            get(qq)

    d = {i: i for i in range(100)}
    key = 42

    def dictread():
        for _ in r:
            d[key]

    def empty():
        for _ in r:
            pass

    res = {"velk": median_ns(ours, n, reps), "dict": median_ns(dictread, n, reps),
           "loop": median_ns(empty, n, reps)}
    if reaktiv:
        s = reaktiv.Signal(1)
        c = reaktiv.Computed(lambda: s() + 1)
        c()

        def rk():
            for _ in r:
                c()
        res["reaktiv"] = median_ns(rk, n, reps)
    if observ:
        o = observ.ref(1)
        oc = observ.computed(lambda: o["value"] + 1)
        oc()

        def ob():
            for _ in r:
                oc()
        res["observ"] = median_ns(ob, n, reps)
    sec = "1 clean read"
    row(sec, "rt.get(query), clean", res["velk"], "ns/op", "loop included")
    row(sec, "dict[key]", res["dict"], "ns/op", "loop included")
    row(sec, "empty loop", res["loop"], "ns/op", "subtract for net figures")
    for peer in ("reaktiv", "observ"):
        if peer in res:
            row(sec, f"{peer} computed read", res[peer], "ns/op")
    r_dict = res["velk"] / res["dict"]
    row(sec, "ratio velk / dict", r_dict, "x")
    target("clean rt.get within 3x of dict[key]", f"{r_dict:.2f}x", r_dict <= 3)
    if "reaktiv" in res:
        sp = res["reaktiv"] / res["velk"]
        row(sec, "speedup vs reaktiv", sp, "x")
        target("clean rt.get >=5x faster than reaktiv computed read", f"{sp:.2f}x", sp >= 5)
    else:
        target("clean rt.get >=5x faster than reaktiv computed read", "n/a (reaktiv missing)", False)
    return res


# ---------------------------------------------------------------------------------------------
# 2. chain and diamond graphs; 3. cutoff

def build_chain_velk(n, first=None):
    rt = velk.Runtime()
    x = rt.create_input(0)
    nodes = []
    prev = x
    for i in range(n):
        p = prev
        if i == 0 and first is not None:
            q = rt.create_query(lambda ref, p=p: first(ref.get(p)))
        else:
            q = rt.create_query(lambda ref, p=p: ref.get(p) + 1)
        nodes.append(q)
        prev = q
    for q in nodes:  # front to back, so the first reads do not recurse
        rt.get(q)
    return rt, x, nodes[-1]


def build_diamond_velk(n):
    # head -> (n - 2) middle nodes -> sink reading all of them
    rt = velk.Runtime()
    x = rt.create_input(0)
    head = rt.create_query(lambda ref: ref.get(x) + 1)
    mids = [rt.create_query(lambda ref: ref.get(head) + 1) for _ in range(max(1, n - 2))]
    sink = rt.create_query(lambda ref: sum(ref.get(m) for m in mids))
    rt.get(sink)
    return rt, x, sink


def build_chain_reaktiv(n, first=None):
    S, C = reaktiv.Signal, reaktiv.Computed
    x = S(0)
    prev = x
    cs = []
    for i in range(n):
        p = prev
        if i == 0 and first is not None:
            c = C(lambda p=p: first(p()))
        else:
            c = C(lambda p=p: p() + 1)
        cs.append(c)
        prev = c
    for c in cs:
        c()
    return x, cs[-1]


def build_diamond_reaktiv(n):
    S, C = reaktiv.Signal, reaktiv.Computed
    x = S(0)
    head = C(lambda: x() + 1)
    mids = [C(lambda: head() + 1) for _ in range(max(1, n - 2))]
    sink = C(lambda: sum(m() for m in mids))
    sink()
    return x, sink


def build_chain_observ(n, first=None):
    x = observ.ref(0)
    prev = lambda: x["value"]  # noqa: E731
    cs = []
    for i in range(n):
        p = prev
        if i == 0 and first is not None:
            c = observ.computed(lambda p=p: first(p()))
        else:
            c = observ.computed(lambda p=p: p() + 1)
        cs.append(c)
        prev = c
    for c in cs:
        c()
    return x, cs[-1]


def build_diamond_observ(n):
    x = observ.ref(0)
    head = observ.computed(lambda: x["value"] + 1)
    mids = [observ.computed(lambda: head() + 1) for _ in range(max(1, n - 2))]
    sink = observ.computed(lambda: sum(m() for m in mids))
    sink()
    return x, sink


def plain_chain(n):
    fs = [lambda v: v + 1 for _ in range(n)]

    def run(v):
        for f in fs:
            v = f(v)
        return v
    return run


def plain_diamond(n):
    head = lambda v: v + 1  # noqa: E731
    mids = [lambda v: v + 1 for _ in range(max(1, n - 2))]

    def run(v):
        h = head(v)
        return sum(m(h) for m in mids)
    return run


def adaptive_ns(op, reps=5, budget_ms=25, cap=2_000):
    """Median ns per call of op(i) (i never repeats), each repeat a batch sized from a first
    timed call so that one batch takes about budget_ms."""
    counter = [0]

    def run(k):
        b = counter[0]
        t0 = NS()
        for i in range(b, b + k):
            op(i)
        counter[0] = b + k
        return NS() - t0
    run(1)  # warm-up
    one = max(run(1), 1)
    k = int(min(cap, max(1, budget_ms * 1e6 / one)))
    return statistics.median(run(k) / k for _ in range(reps))


def update_cost(set_fn, read_fn, reps=5):
    def op(i):
        set_fn(i + 1)
        read_fn()
    return adaptive_ns(op, reps)


def bench_graphs(q):
    sizes = (10, 1_000, 10_000) if q else (10, 1_000, 100_000)
    res = {}
    for shape in ("chain", "diamond"):
        for n in sizes:
            reps = 5 if n < 100_000 else 3
            key = f"{shape}/{n}"
            sec = f"2 {shape} graph"
            r = {}
            rt, x, sink = (build_chain_velk if shape == "chain" else build_diamond_velk)(n)
            r["velk"] = update_cost(lambda v: rt.set(x, v), lambda: rt.get(sink), reps)
            del rt
            run = (plain_chain if shape == "chain" else plain_diamond)(n)
            r["plain"] = adaptive_ns(run, reps)
            if reaktiv:
                try:
                    def rk():
                        px, ps = (build_chain_reaktiv if shape == "chain" else build_diamond_reaktiv)(n)
                        return update_cost(px.set, ps, reps)
                    r["reaktiv"] = in_big_stack(rk)
                except Exception as e:  # noqa: BLE001
                    r["reaktiv_err"] = type(e).__name__
            if observ:
                try:
                    def ob():
                        px, ps = (build_chain_observ if shape == "chain" else build_diamond_observ)(n)
                        return update_cost(lambda v: px.__setitem__("value", v), ps, reps)
                    r["observ"] = in_big_stack(ob)
                except Exception as e:  # noqa: BLE001
                    r["observ_err"] = type(e).__name__
            gc.collect()
            per = {k: v / n for k, v in r.items() if not k.endswith("_err")}
            row(sec, f"{n:>7} nodes velk", per["velk"], "ns/recomputed node",
                f"{r['velk'] / 1e3:.1f} us/update")
            row(sec, f"{n:>7} nodes plain Python", per["plain"], "ns/node")
            row(sec, f"{n:>7} nodes velk overhead", per["velk"] - per["plain"], "ns/node",
                "beyond the Python call")
            for peer in ("reaktiv", "observ"):
                if peer in per:
                    row(sec, f"{n:>7} nodes {peer}", per[peer], "ns/recomputed node",
                        f"velk is {per[peer] / per['velk']:.2f}x faster")
                elif f"{peer}_err" in r:
                    row(sec, f"{n:>7} nodes {peer}", float("nan"), "", r[f"{peer}_err"])
            res[key] = per
            if n >= 1_000 and "reaktiv" in per:
                sp = per["reaktiv"] / per["velk"]
                target(f"{shape} update >=3x faster than reaktiv per node at {n}", f"{sp:.2f}x", sp >= 3)
    return res


def bench_cutoff(q):
    sizes = (1_000, 10_000) if q else (1_000, 100_000)
    sec = "3 cutoff"
    res = {}
    reps = 5
    for n in sizes:
        rt, x, sink = build_chain_velk(n, first=lambda v: v * 0)  # first node cuts off
        res[f"velk/{n}"] = update_cost(lambda v: rt.set(x, v), lambda: rt.get(sink), reps)
        row(sec, f"{n:>7}-node chain, cut after node 1: velk", res[f"velk/{n}"], "ns/update")
        del rt
        if reaktiv:
            try:
                def rk():
                    px, ps = build_chain_reaktiv(n, first=lambda v: v * 0)
                    return update_cost(px.set, ps, reps)
                res[f"reaktiv/{n}"] = in_big_stack(rk)
                row(sec, f"{n:>7}-node chain, cut after node 1: reaktiv", res[f"reaktiv/{n}"], "ns/update")
            except Exception as e:  # noqa: BLE001
                row(sec, f"{n:>7}-node chain: reaktiv", float("nan"), "", type(e).__name__)
        gc.collect()
    growth = res[f"velk/{sizes[1]}"] / res[f"velk/{sizes[0]}"]
    row(sec, f"velk growth {sizes[0]} -> {sizes[1]}", growth, "x")
    target(f"cutoff cost flat (within 2x) {sizes[0]} -> {sizes[1]} nodes", f"{growth:.2f}x", growth <= 2)
    return res


# ---------------------------------------------------------------------------------------------
# 4. stabilize with observers

def bench_stabilize(q):
    n = 2_000 if q else 10_000
    changed = n // 100
    sec = "4 stabilize"
    rt = velk.Runtime()
    xs = [rt.create_input(i) for i in range(n)]
    qs = [rt.create_query(lambda ref, x=x: ref.get(x) + 1) for x in xs]
    fired = [0]

    def cb(_v):
        fired[0] += 1
    for qq in qs:
        rt.observe(qq, cb)
    rt.stabilize()
    step = n // changed
    state = {"v": 10 ** 6}

    def one():
        v = state["v"]
        for i in range(0, n, step):
            rt.set(xs[i], v + i)
        rt.stabilize()
        state["v"] = v + n
    t = median_ns(one, 1, 15)
    fired[0] = 0
    one()
    assert fired[0] == changed, fired[0]
    row(sec, f"{n} observers, {changed} inputs changed: velk", t / 1e3, "us/stabilize",
        f"{t / changed:.0f} ns per changed observer")
    noop = median_ns(rt.stabilize, 1, 15)
    row(sec, f"{n} observers, nothing changed: velk", noop / 1e3, "us/stabilize")
    res = {"velk_ns": t, "velk_noop_ns": noop}
    if reaktiv:
        ss = [reaktiv.Signal(i) for i in range(n)]
        cs = [reaktiv.Computed(lambda s=s: s() + 1) for s in ss]
        def effect_fn(c):  # takes no argument, so reaktiv passes no cleanup hook
            return lambda: cb(c())
        effs = [reaktiv.Effect(effect_fn(c)) for c in cs]

        def rk():
            v = state["v"]
            with reaktiv.batch():
                for i in range(0, n, step):
                    ss[i].set(v + i)
            state["v"] = v + n
        t2 = median_ns(rk, 1, 15)
        row(sec, f"{n} effects, {changed} signals changed: reaktiv batch", t2 / 1e3, "us/batch",
            f"velk is {t2 / t:.2f}x faster")
        res["reaktiv_ns"] = t2
        del effs
    return res


# ---------------------------------------------------------------------------------------------
# 5. collections

def square(x):
    return x * x


def even(x):
    return x % 2 == 0


def ident(x):
    return x


def add(a, b):
    return a + b


def coll_case(name, size):
    """Returns (change(i), scratch(i), hand(i)) closures for one pipeline at `size`; change
    inserts size+i, deletes i and reads the result."""
    rt = velk.Runtime()
    src = rt.create_collection()
    for i in range(size):
        src.insert(i)
    data = list(range(size))
    kmod = max(1, size // 10)
    if name == "map-filter-count":
        out = src.map(square).filter(even).count()
        cnt = [sum(1 for v in data if even(square(v)))]

        def read():
            return rt.get(out)

        def scratch(_):
            return sum(1 for v in map(square, data) if even(v))

        def hand(i):
            new, old = size + i, i
            cnt[0] += even(square(new)) - even(square(old))
            return cnt[0]
    elif name == "join":
        right = rt.create_collection()
        for k in range(kmod):
            right.insert(k)
        j = src.join(right, lambda v: v % kmod, ident)
        out = j.count()
        rindex = Counter(range(kmod))
        jc = [size]

        def read():
            return rt.get(out)

        def scratch(_):
            return len([(v, r) for v in data for r in [v % kmod] if r in rindex])

        def hand(i):
            jc[0] += rindex[(size + i) % kmod] - rindex[i % kmod]
            return jc[0]
    elif name == "group_by":
        g = src.group_by(lambda v: v % 100)
        out = g.version_node
        groups = {}
        for v in data:
            groups.setdefault(v % 100, Counter())[v] += 1

        def read():
            rt.get(out)
            return g.group_count() if hasattr(g, "group_count") else None

        def scratch(_):
            gs = {}
            for v in data:
                gs.setdefault(v % 100, []).append(v)
            return len(gs)

        def hand(i):
            new, old = size + i, i
            groups.setdefault(new % 100, Counter())[new] += 1
            c = groups[old % 100]
            c[old] -= 1
            if not c[old]:
                del c[old]
            return len(groups)
    elif name == "sort_by_key-window3":
        s = src.sort_by_key(ident)
        w = s.window(3)
        out = w.version_node
        srt = sorted(data)

        def read():
            return rt.get(out)

        def scratch(_):
            ss = sorted(data)
            return [tuple(ss[k:k + 3]) for k in range(len(ss) - 2)]

        def hand(i):
            # keeps a sorted list; the three windows touching a change are derived from it
            new, old = size + i, i
            bisect.insort(srt, new)
            del srt[bisect.bisect_left(srt, old)]
            k = bisect.bisect_left(srt, new)
            return srt[max(0, k - 2):k + 3]
    elif name == "aggregate":
        out = src.aggregate(0, ident, add)
        tot = [sum(data)]

        def read():
            return rt.get(out)

        def scratch(_):
            return sum(data)

        def hand(i):
            tot[0] += (size + i) - i
            return tot[0]
    else:
        raise ValueError(name)
    read()

    def change(i):
        src.insert(size + i)
        src.delete(i)
        return read()

    def scratch_change(i):
        data[i % size] = size + i  # the same change to the plain list, then recompute
        return scratch(i)
    return rt, change, scratch_change, hand


def bench_collections(q):
    big = (10 ** 3, 10 ** 4) if q else (10 ** 3, 10 ** 5, 10 ** 6)
    names = ("map-filter-count", "aggregate", "join", "group_by", "sort_by_key-window3")
    # the largest size only when building the one below it was quick enough (keeps a run short)
    must = ("map-filter-count", "aggregate")
    sec = "5 collections"
    res = {}
    for name in names:
        per_size = {}
        last_build = 0.0
        for size in big:
            if size == big[-1] and len(big) > 2 and name not in must and last_build > 3.0:
                row(sec, f"{name} {size:>8}: skipped", float("nan"), "", f"build at the size below took {last_build:.1f}s")
                continue
            t0 = NS()
            rt, change, scratch_change, hand = coll_case(name, size)
            build_s = last_build = (NS() - t0) / 1e9
            velk_ns = adaptive_ns(change, 5)
            hand_ns = adaptive_ns(hand, 5)
            scratch_ns = adaptive_ns(lambda i: scratch_change(i % size), 3, budget_ms=1)
            per_size[size] = {"velk": velk_ns, "hand": hand_ns, "scratch": scratch_ns}
            row(sec, f"{name} {size:>8}: velk", velk_ns / 1e3, "us/change",
                f"build {build_s:.1f}s; {scratch_ns / velk_ns:,.0f}x faster than from scratch")
            row(sec, f"{name} {size:>8}: hand-maintained", hand_ns / 1e3, "us/change",
                f"velk / hand {velk_ns / hand_ns:.1f}x")
            row(sec, f"{name} {size:>8}: from scratch", scratch_ns / 1e3, "us/change")
            del rt, change, scratch_change, hand
            gc.collect()
        res[name] = per_size
        lo, hi = min(per_size), max(per_size)
        growth = per_size[hi]["velk"] / per_size[lo]["velk"]
        row(sec, f"{name}: growth {lo} -> {hi}", growth, "x")
        target(f"{name}: per-change cost flat within 2x {lo} -> {hi}", f"{growth:.2f}x", growth <= 2)
        if hi >= 10 ** 6:
            sp = per_size[hi]["scratch"] / per_size[hi]["velk"]
            target(f"{name}: >=1000x faster than recomputation at {hi}", f"{sp:,.0f}x", sp >= 1000)
    return res


# ---------------------------------------------------------------------------------------------
# 6. threads

def bench_threads(q):
    n = 100_000 if q else 400_000
    sec = "6 threads"
    rt = velk.Runtime()
    x = rt.create_input(1)
    qq = rt.create_query(lambda ref: ref.get(x) + 1)
    rt.get(qq)
    d = {1: 2}

    def velk_reads():
        get = rt.get
        for _ in range(n):
            get(qq)

    def dict_reads():
        for _ in range(n):
            d[1]

    def throughput(fn, threads):
        samples = []
        for _ in range(9):
            ts = [threading.Thread(target=fn) for _ in range(threads)]
            t0 = NS()
            for t in ts:
                t.start()
            for t in ts:
                t.join()
            samples.append(n * threads / ((NS() - t0) / 1e9))
        return statistics.median(samples)
    res = {}
    for label, fn in (("velk rt.get", velk_reads), ("dict[key]", dict_reads)):
        one, two = throughput(fn, 1), throughput(fn, 2)
        res[label] = {"1": one, "2": two, "ratio": two / one}
        row(sec, f"{label}: 1 thread", one / 1e6, "M reads/s")
        row(sec, f"{label}: 2 threads", two / 1e6, "M reads/s", f"ratio {two / one:.2f}x")
    r = res["velk rt.get"]["ratio"]
    target("2 Python threads of clean reads >=0.8x one thread", f"{r:.2f}x", r >= 0.8)
    res["convoy"] = bench_convoy(q)
    return res


def convoy_rate(setup, readers, seconds):
    """Updates per second of a writer that sets the base of a chain and reads its top, while
    `readers` threads read the top in a loop."""
    update, read = setup()
    stop = threading.Event()

    def reader():
        while not stop.is_set():
            read()

    threads = [threading.Thread(target=reader) for _ in range(readers)]
    for t in threads:
        t.start()
    done, t0 = 0, time.perf_counter()
    while time.perf_counter() - t0 < seconds:
        update()
        done += 1
    elapsed = time.perf_counter() - t0
    stop.set()
    for t in threads:
        t.join()
    return done / elapsed


def bench_convoy(q, n=300):
    """The share of its updates a writer keeps with 3 readers, against plain Python doing the
    same work (the chain recomputed in a loop, readers reading a cached top)."""
    sec = "6 threads"

    def velk_setup():
        rt = velk.Runtime()
        base = rt.create_input(0)
        node = base
        for _ in range(n):
            node = rt.create_query(lambda ref, p=node: ref.get(p) + 1)
        rt.get(node)
        count = [0]

        def update():
            count[0] += 1
            rt.set(base, count[0])
            rt.get(node)
        return update, lambda: rt.get(node)

    def plain_setup():
        fns, cache, count = [lambda v: v + 1] * n, {"top": 0}, [0]

        def update():
            count[0] += 1
            v = count[0]
            for f in fns:
                v = f(v)
            cache["top"] = v
        return update, lambda: cache["top"]

    seconds = 0.5 if q else 1.5
    shares = {}
    for label, setup in (("velk", velk_setup), ("plain Python", plain_setup)):
        alone, crowded = convoy_rate(setup, 0, seconds), convoy_rate(setup, 3, seconds)
        shares[label] = crowded / alone
        row(sec, f"{label}: {n}-chain writer alone", alone, "updates/s")
        row(sec, f"{label}: writer with 3 readers", crowded, "updates/s",
            f"share {crowded / alone:.3f}")
    kept = shares["velk"] / shares["plain Python"]
    target("writer with 3 readers keeps >=0.5x the share plain Python keeps", f"{kept:.2f}x",
           kept >= 0.5)
    return shares


# ---------------------------------------------------------------------------------------------
# 7. memory, each measurement in a fresh process

def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def mem_child(kind, n):
    gc.collect()
    keep = []
    if kind.startswith("velk"):
        rt = velk.Runtime()
        x0 = rt.create_input(0)
        rt.create_query(lambda ref: 0)
    before = rss_bytes()
    if kind == "velk-input":  # handles dropped: engine memory only
        for _ in range(n):
            rt.create_input(0)
    elif kind == "velk-input-handles":
        keep = [rt.create_input(0) for _ in range(n)]
    elif kind == "velk-query":  # one shared function, computed once, handles kept
        f = lambda ref: ref.get(x0)  # noqa: E731
        keep = [rt.create_query(f) for _ in range(n)]
        for h in keep:
            rt.get(h)
    elif kind == "reaktiv-signal":
        keep = [reaktiv.Signal(0) for _ in range(n)]
    elif kind == "reaktiv-computed":
        s = reaktiv.Signal(0)
        f = lambda: s()  # noqa: E731
        keep = [reaktiv.Computed(f) for _ in range(n)]
        for c in keep:
            c()
    gc.collect()
    after = rss_bytes()
    per = (after - before) / n
    extra = {}
    if keep:
        extra["python_side"] = sys.getsizeof(keep[0]) + 8
    print(json.dumps({"kind": kind, "bytes_per_node": per, **extra}))


def bench_memory(q):
    n = 100_000 if q else 1_000_000
    sec = "7 memory"
    kinds = ["velk-input", "velk-input-handles", "velk-query"]
    if reaktiv:
        kinds += ["reaktiv-signal", "reaktiv-computed"]
    res = {}
    for kind in kinds:
        out = subprocess.run([sys.executable, __file__, "--mem-child", kind, str(n)],
                             capture_output=True, text=True, check=True)
        res[kind] = json.loads(out.stdout.strip().splitlines()[-1])
    row(sec, f"input node, engine only (RSS/{n})", res["velk-input"]["bytes_per_node"], "bytes")
    r = res["velk-input-handles"]
    row(sec, "input node with Python handle kept", r["bytes_per_node"], "bytes",
        f"handle object + list slot {r.get('python_side', 0)} B")
    r = res["velk-query"]
    row(sec, "query node, computed, handle kept", r["bytes_per_node"], "bytes",
        f"engine ~{r['bytes_per_node'] - r.get('python_side', 0):.0f} B")
    for k in ("reaktiv-signal", "reaktiv-computed"):
        if k in res:
            row(sec, f"{k} kept in a list", res[k]["bytes_per_node"], "bytes")
    b = res["velk-input"]["bytes_per_node"]
    target("<=200 bytes engine overhead per input node", f"{b:.0f} B", b <= 200)
    return res


# ---------------------------------------------------------------------------------------------
# C++ engine figures (Google Benchmark JSON produced by bench/run)

def engine_rows(path):
    with open(path) as f:
        data = json.load(f)
    sec = "14 C++ engine"
    ips = {}
    for b in data["benchmarks"]:
        if b.get("run_type") == "aggregate" and b.get("aggregate_name") != "median":
            continue
        name = b.get("run_name", b["name"])
        unit = b.get("time_unit", "ns")
        row(sec, name, b["real_time"], f"{unit}/iter",
            f"{b.get('items_per_second', 0) / 1e6:.1f} M items/s")
        if "ParallelCleanRead" in name:
            ips[b.get("threads", 1)] = b.get("items_per_second", 0)
    if 1 in ips and 2 in ips:
        r = ips[2] / ips[1]
        row(sec, "parallel clean reads, 2 / 1 threads", r, "x")
        target("C++ parallel clean reads >=1.7x on 2 cores", f"{r:.2f}x", r >= 1.7)
    return data


# ---------------------------------------------------------------------------------------------

def fmt(v):
    if isinstance(v, float):
        if v != v:
            return "n/a"
        if abs(v) >= 100:
            return f"{v:,.0f}"
        return f"{v:.2f}"
    return str(v)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--engine-json")
    ap.add_argument("--out", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "results.json"))
    ap.add_argument("--only", help="comma-separated section numbers, e.g. 1,5")
    ap.add_argument("--mem-child", nargs=2)
    a = ap.parse_args()
    if a.mem_child:
        mem_child(a.mem_child[0], int(a.mem_child[1]))
        return
    env = {
        "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ"),
        "nproc": os.cpu_count(), "machine": platform.machine(),
        "python": platform.python_version(), "quick": a.quick,
        "reaktiv": getattr(reaktiv, "__version__", "installed") if reaktiv else "missing",
        "observ": getattr(observ, "__version__", "installed") if observ else "missing",
    }
    print(f"# {env['date']}  nproc={env['nproc']}  {env['machine']}  Python {env['python']}"
          f"  reaktiv={env['reaktiv']}  observ={env['observ']}{'  (quick)' if a.quick else ''}")
    steps = [("1", bench_clean_read), ("2", bench_graphs), ("3", bench_cutoff), ("4", bench_stabilize),
             ("5", bench_collections), ("6", bench_threads), ("7", bench_memory)]
    steps.append(("7", bench_element_memory))
    steps.append(("8", bench_parallel))
    steps.append(("9", bench_bulk))
    steps.append(("10", bench_set_many))
    steps.append(("11", bench_pathway))
    steps.append(("12", bench_recompute))
    steps.append(("13", bench_signals))
    only = set(a.only.split(",")) if a.only else None
    for num, fn in steps:
        if only and num not in only:
            continue
        t0 = time.time()
        RESULTS[fn.__name__] = fn(a.quick)
        print(f"# {fn.__name__} done in {time.time() - t0:.0f}s", file=sys.stderr, flush=True)
    if a.engine_json and os.path.exists(a.engine_json):
        engine_rows(a.engine_json)
    elif a.engine_json:
        target("C++ parallel clean reads >=1.7x on 2 cores", "n/a (engine benchmark not built)", False)

    w = max(len(r[1]) for r in ROWS)
    cur = None
    for sec, name, v, unit, note in ROWS:
        if sec != cur:
            print(f"\n[{sec}]")
            cur = sec
        print(f"  {name:<{w}}  {fmt(v):>12}  {unit:<20} {note}")
    print("\nTargets")
    tw = max(len(t[0]) for t in TARGETS) if TARGETS else 10
    for t, fig, ok in TARGETS:
        print(f"  {ok:<4}  {t:<{tw}}  {fig}")
    RESULTS["env"] = env
    RESULTS["rows"] = [dict(zip(("section", "name", "value", "unit", "note"), r)) for r in ROWS]
    RESULTS["targets"] = [dict(zip(("target", "figure", "result"), t)) for t in TARGETS]
    with open(a.out, "w") as f:
        json.dump(RESULTS, f, indent=1, default=str)
    print(f"\nwrote {a.out}")


if __name__ == "__main__":
    main()
