"""Section 10: one change of 100 inputs, as one set_many or as 100 sets, each change followed by
a read of a query over all 100 inputs."""
import velk_concurrent as velk
from report import median_ns, row, target

INPUTS = 100


def bench_set_many(q):
    sec = "10 set_many"
    rt = velk.Runtime()
    inputs = [rt.create_input(0) for _ in range(INPUTS)]
    total = rt.create_query(lambda ref: sum(ref.get(x) for x in inputs))
    rt.get(total)
    changes, repeats = (20, 5) if q else (100, 9)
    value = [0]

    def with_sets():
        for _ in range(changes):
            value[0] += 1
            for x in inputs:
                rt.set(x, value[0])
            rt.get(total)

    def with_set_many():
        for _ in range(changes):
            value[0] += 1
            rt.set_many([(x, value[0]) for x in inputs])
            rt.get(total)

    res = {"sets": median_ns(with_sets, changes, repeats),
           "set_many": median_ns(with_set_many, changes, repeats)}
    assert rt.get(total) == INPUTS * value[0]
    row(sec, f"{INPUTS} sets, then a read", res["sets"] / 1000, "µs/change")
    row(sec, f"set_many of {INPUTS}, then a read", res["set_many"] / 1000, "µs/change")
    res["ratio"] = res["sets"] / res["set_many"]
    row(sec, "set_many speedup", res["ratio"], "x", f"{INPUTS} sets / one set_many")
    target(f"set_many of {INPUTS} no slower than {INPUTS} sets", f"{res['ratio']:.2f}x",
           res["ratio"] >= 1)
    return res
