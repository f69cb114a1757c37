"""Cold read of a deep chain of queries (each reads the one below it) next to a warm recompute
of the same chain, per node. The cold read nests one computation per level and continues on
helper threads where one thread's stack or recursion budget runs low; the warm recompute walks
the recorded dependencies without nesting.

Run after `pip install .`:  python bench/bench_deep.py [depth]
"""
import sys
import time

import velk_concurrent as velk


def build(rt, depth):
    base = rt.create_input(0)
    node = base
    for _ in range(depth):
        node = rt.create_query(lambda ref, p=node: ref.get(p) + 1)
    return base, node


def timed(read):
    """The value read, wall-clock seconds, and processor seconds of all threads (the figure to
    trust on a busy machine)."""
    wall, cpu = time.perf_counter(), time.process_time()
    value = read()
    return value, time.perf_counter() - wall, time.process_time() - cpu


def main():
    depth = int(sys.argv[1]) if len(sys.argv) > 1 else 100_000
    rt = velk.Runtime()
    print(f"chain of {depth} queries, recursion limit {sys.getrecursionlimit()}")
    for label in ("first chain (helpers started)", "second chain (helpers reused)"):
        base, top = build(rt, depth)
        value, *cold = timed(lambda: rt.get(top))
        assert value == depth
        rt.set(base, 1)
        value, *warm = timed(lambda: rt.get(top))
        assert value == depth + 1
        print(label)
        for kind, c, w in zip(("wall", "cpu"), cold, warm):
            print(f"  {kind:4}: cold read {c / depth * 1e6:6.2f} us/node, "
                  f"warm recompute {w / depth * 1e6:6.2f} us/node, ratio {c / w:4.1f}")


if __name__ == "__main__":
    main()
