"""Memory of collections that are no longer used: RSS while 2.4 million changes go through a
root collection after a derived collection was built on it and deleted (next to one kept and
never read), and the node count while a group_by sees 200,000 distinct keys come and go.
Each scenario runs in a fresh process.

Run after `pip install .`:  python bench/bench_collection_memory.py [changes]
"""
import subprocess
import sys

import velk_concurrent as velk


def rss_mb():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return float("nan")


def churn(rt, collection, changes):
    for _ in range(changes // 2):
        collection.insert(1)
        collection.delete(1)


def derived_scenario(mode, changes):
    rt = velk.Runtime()
    root = rt.create_collection()
    mapped = root.map(lambda x: x)
    if mode == "deleted":
        rt.delete_with_dependents(mapped.version_node)
    before = rss_mb()
    churn(rt, root, changes)
    after = rss_mb()
    print(f"derived collection {mode:8}: RSS {before:6.1f} -> {after:6.1f} MB after {changes:,} "
          f"changes ({(after - before) * 2**20 / changes:5.1f} B/change), {rt.node_count()} nodes")


def group_scenario(keys):
    rt = velk.Runtime()
    root = rt.create_collection()
    grouped = root.group_by(lambda x: x)
    version = grouped.version_node
    before = rss_mb()
    for key in range(keys):
        root.insert(key)
        rt.get(version)
        root.delete(key)
        rt.get(version)
    print(f"group_by, {keys:,} churning keys: {rt.node_count()} nodes, "
          f"{grouped.group_count()} groups, RSS {before:6.1f} -> {rss_mb():6.1f} MB")


if __name__ == "__main__":
    if len(sys.argv) > 2:
        scenario, size = sys.argv[1], int(sys.argv[2])
        if scenario == "groups":
            group_scenario(size)
        else:
            derived_scenario(scenario, size)
    else:
        changes = int(sys.argv[1]) if len(sys.argv) > 1 else 2_400_000
        for args in (["deleted", changes], ["kept", changes], ["groups", 200_000]):
            subprocess.run([sys.executable, __file__, *map(str, args)], check=True)
