"""Section 11, a dataflow peer: pathway (PyPI) next to velk_concurrent on map -> filter -> count
and group_by(x % 100) -> per-group count over 10^6 elements (10^5 with --quick). Each side
takes 10^4 single-element changes (an insert of a new element and a delete of an old one,
alternately), the result brought up to date after each (ours: a read; pathway: a commit of
its input, the result observed through pw.io.subscribe), and a single change's latency until
the updated result is seen.

pathway lives in its own environment (bench/.venv-pathway, made by bench/run) and runs in a
child process:  bench/.venv-pathway/bin/python bench/pathway_bench.py <workload> <n> <changes>
When that environment is missing or the child fails, the rows read n/a with the reason.
"""
import json
import os
import statistics
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
PATHWAY_PYTHON = os.path.join(HERE, ".venv-pathway", "bin", "python")
WORKLOADS = ("map-filter-count", "group_by")
LATENCY_SAMPLES = 50
TIMEOUT_S = 150


def square(x):
    return x * x


def even(x):
    return x % 2 == 0


def key100(x):
    return x % 100


def changes(n, count):
    """(insert?, element) pairs, alternately a delete of an old odd element (it moves neither
    result) and an insert of a new one (even, x % 100 == 0: it raises both results by one), so
    the result climbs to a value it never had and its arrival marks the last change applied."""
    return [(False, i + 1) if i % 2 == 0 else (True, 2 * n + 100 * i) for i in range(count)]


def latency_elements(n, count, after):
    """New elements past the `after` changes whose insert moves the result."""
    return [2 * n + 100 * (after + i) for i in range(count)]


# ---------------------------------------------------------------------------------------------
# ours, in the suite's process

def velk_case(workload, n):
    import velk_concurrent as velk
    rt = velk.Runtime()
    src = rt.create_collection()
    for i in range(n):
        src.insert(i)
    if workload == "map-filter-count":
        out = src.map(square).filter(even).count()
    else:
        out = src.group_by(key100).version_node
    rt.get(out)
    return rt, src, out


def velk_figures(workload, n, count):
    rt, src, out = velk_case(workload, n)
    todo = changes(n, count)
    t0 = time.perf_counter()
    for insert, x in todo:
        if insert:
            src.insert(x)
        else:
            src.delete(x)
        rt.get(out)
    throughput = count / (time.perf_counter() - t0)
    samples = []
    for x in latency_elements(n, LATENCY_SAMPLES, count):
        t = time.perf_counter_ns()
        src.insert(x)
        rt.get(out)
        samples.append(time.perf_counter_ns() - t)
    return {"throughput": throughput, "latency_us": statistics.median(samples) / 1e3}


# ---------------------------------------------------------------------------------------------
# pathway, in its own environment

def pathway_child(workload, n, count):
    import tempfile

    import pathway as pw

    class Schema(pw.Schema):
        x: int = pw.column_definition(primary_key=True)

    seen = {"result": None}
    cond = threading.Condition()
    # The elements the changes delete come through the connector, which can retract only its
    # own rows; the rest of the starting 10^6 is read from a file, as a connector's Python
    # calls would take most of the run.
    deleted = [x for insert, x in changes(n, count) if not insert]
    from_file = sorted(set(range(n)) - set(deleted))
    data = tempfile.NamedTemporaryFile("w", suffix=".csv", delete=False)
    data.write("x\n" + "\n".join(map(str, from_file)) + "\n")
    data.close()

    def wait_for(expected, timeout=TIMEOUT_S):
        with cond:
            if not cond.wait_for(lambda: seen["result"] == expected, timeout):
                raise TimeoutError(f"pathway result {seen['result']!r}, expected {expected!r}")

    class Subject(pw.io.python.ConnectorSubject):
        def run(self):
            out = {}
            t0 = time.perf_counter()
            for x in deleted:
                self.next(x=x)
            self.commit()
            expected = expect(range(n))
            wait_for(expected)
            out["load_s"] = time.perf_counter() - t0
            t0 = time.perf_counter()
            for insert, x in changes(n, count):
                if insert:
                    self.next(x=x)
                    expected += 1
                else:
                    self.delete(x=x)
                self.commit()
            wait_for(expected)
            out["throughput"] = count / (time.perf_counter() - t0)
            samples = []
            for x in latency_elements(n, LATENCY_SAMPLES, count):
                expected += 1
                t = time.perf_counter_ns()
                self.next(x=x)
                self.commit()
                wait_for(expected)
                samples.append(time.perf_counter_ns() - t)
            out["latency_us"] = statistics.median(samples) / 1e3
            print(json.dumps(out), flush=True)

    streamed = pw.io.python.read(Subject(), schema=Schema, autocommit_duration_ms=None)
    table = pw.io.csv.read(data.name, schema=Schema, mode="static").concat_reindex(streamed)
    # The same work as ours, in pathway's own expressions (evaluated without Python calls).
    if workload == "map-filter-count":
        def expect(xs):
            return sum(1 for x in xs if even(square(x)))
        squares = table.select(y=pw.this.x * pw.this.x)
        result = squares.filter(pw.this.y % 2 == 0).reduce(c=pw.reducers.count())
    else:
        def expect(xs):
            return sum(1 for x in xs if key100(x) == 0)
        keyed = table.select(k=pw.this.x % 100)
        result = keyed.groupby(pw.this.k).reduce(pw.this.k, c=pw.reducers.count())
        result = result.filter(pw.this.k == 0)  # the group every measured change moves

    def on_change(key, row, time, is_addition):
        if is_addition:
            with cond:
                seen["result"] = row["c"]
                cond.notify_all()
    pw.io.subscribe(result, on_change=on_change)
    try:
        pw.run(monitoring_level=pw.MonitoringLevel.NONE)
    finally:
        os.unlink(data.name)


def pathway_figures(workload, n, count):
    """The child's figures, or {"error": why}."""
    if not os.path.exists(PATHWAY_PYTHON):
        return {"error": "pathway not installed (bench/.venv-pathway missing)"}
    try:
        out = subprocess.run([PATHWAY_PYTHON, os.path.abspath(__file__), workload, str(n),
                              str(count)], capture_output=True, text=True, timeout=TIMEOUT_S)
    except subprocess.TimeoutExpired:
        return {"error": f"pathway child timed out after {TIMEOUT_S}s"}
    lines = [line for line in out.stdout.splitlines() if line.startswith("{")]
    if out.returncode != 0 or not lines:
        return {"error": f"pathway child failed: {(out.stderr or '').strip()[-120:]!r}"}
    return json.loads(lines[-1])


def bench_pathway(q):
    from report import row, target
    n = 10 ** 5 if q else 10 ** 6
    count = 10 ** 4
    sec = "11 pathway"
    res = {}
    for workload in WORKLOADS:
        ours = velk_figures(workload, n, count)
        peer = pathway_figures(workload, n, count)
        res[workload] = {"velk": ours, "pathway": peer}
        name = f"{workload} {n:>8}"
        row(sec, f"{name}: velk throughput", ours["throughput"], "changes/s",
            f"{count:,} single changes, each read")
        row(sec, f"{name}: velk latency", ours["latency_us"], "us", "one change until the result")
        if "error" in peer:
            row(sec, f"{name}: pathway", float("nan"), "", peer["error"])
            continue
        row(sec, f"{name}: pathway throughput", peer["throughput"], "changes/s",
            f"a commit per change; load of {n:,} took {peer['load_s']:.1f}s; "
            f"velk {ours['throughput'] / peer['throughput']:,.0f}x")
        row(sec, f"{name}: pathway latency", peer["latency_us"], "us",
            f"velk {peer['latency_us'] / ours['latency_us']:,.0f}x lower")
        target(f"{workload}: single-change latency below pathway's",
               f"{ours['latency_us']:.1f} vs {peer['latency_us']:.1f} us",
               ours["latency_us"] < peer["latency_us"])
    return res


if __name__ == "__main__":
    pathway_child(sys.argv[1], int(sys.argv[2]), int(sys.argv[3]))
