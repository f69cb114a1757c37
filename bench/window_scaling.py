"""Sorted inserts into a collection with sort_by_key(...).window(3), read after each insert, at
two sizes: the per-insert time should stay flat when the size doubles (window outputs are lists,
which cannot be hashed).

Run:  python bench/window_scaling.py
"""
import time

import velk_concurrent as velk


def run(size, read_each):
    rt = velk.Runtime()
    source = rt.create_collection()
    windows = source.sort_by_key(lambda x: x).window(3)
    begin = time.perf_counter()
    for i in range(size):
        source.insert(i)
        if read_each:
            rt.get(windows.version_node)
    rt.get(windows.version_node)
    elapsed = time.perf_counter() - begin
    assert windows.snapshot_len() == size - 2
    return elapsed


def main():
    for read_each, how in ((True, "read after each"), (False, "read once")):
        for size in (8_000, 16_000):
            elapsed = run(size, read_each)
            print(f"{size} sorted inserts with window(3), {how}: {elapsed * 1000:.0f} ms "
                  f"({elapsed / size * 1e6:.1f} us per insert)")


if __name__ == "__main__":
    main()
