"""The table every benchmark section writes into: rows and targets, shared by bench/suite.py and
the section files beside it (import this module, never suite, which runs as __main__)."""
import statistics
import time

NS = time.perf_counter_ns
ROWS = []      # (section, name, value, unit, note)
TARGETS = []   # (target, figure, PASS/MISS)


def row(section, name, value, unit, note=""):
    ROWS.append((section, name, value, unit, note))


def target(text, figure, ok):
    TARGETS.append((text, figure, "PASS" if ok else "MISS"))


def median_ns(batch_fn, ops, repeats):
    """Median ns per op of batch_fn(), which performs `ops` operations per call."""
    samples = []
    for _ in range(repeats):
        t0 = NS()
        batch_fn()
        samples.append((NS() - t0) / ops)
    return statistics.median(samples)
