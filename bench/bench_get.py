"""Cost of the hot Python calls, next to dict.__getitem__ measured the same way.

Run after `pip install .`:  python bench/bench_get.py
"""
import timeit

import velk_concurrent as velk

N = 1_000_000


def per_call(stmt, setup_globals):
    best = min(timeit.repeat(stmt, globals=setup_globals, number=N, repeat=5))
    return best / N * 1e9


def main():
    rt = velk.Runtime()
    x = rt.create_input(1)
    q = rt.create_query(lambda r: r.get(x) + 1)
    rt.get(q)
    d = {x: 1}
    get, set_, getitem = rt.get, rt.set, d.__getitem__
    g = {"get": get, "set": set_, "getitem": getitem, "x": x, "q": q}
    print(f"Runtime.get (clean input)   {per_call('get(x)', g):7.1f} ns/call")
    print(f"Runtime.get (clean query)   {per_call('get(q)', g):7.1f} ns/call")
    print(f"dict.__getitem__            {per_call('getitem(x)', g):7.1f} ns/call")
    print(f"Runtime.set (equal value)   {per_call('set(x, 1)', g):7.1f} ns/call")
    n2 = N // 10
    t = min(timeit.repeat("set(x, i[0]); i[0] += 1; get(q)", globals={**g, "i": [2]}, number=n2, repeat=3))
    print(f"set + get (one recompute)   {t / n2 * 1e9:7.1f} ns/call")


if __name__ == "__main__":
    main()
