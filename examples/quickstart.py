"""A first tour: inputs, queries, cutoff, and threads reading one runtime."""
from __future__ import annotations

import threading

import velk_concurrent as velk

rt = velk.Runtime()
price: velk.NodeId[float] = rt.create_input(120)
quantity = rt.create_input(3)
runs = {"total": 0, "label": 0}


def total(ref: velk.RuntimeRef) -> float:
    runs["total"] += 1
    return ref.get(price) * ref.get(quantity)


def label(ref: velk.RuntimeRef) -> str:
    runs["label"] += 1
    return "expensive" if ref.get(total_node) > 300 else "cheap"


total_node = rt.create_query(total)
label_node = rt.create_query(label)

print("queries run only when read:", runs)
print("total =", rt.get(total_node), "label =", rt.get(label_node), runs)

# 360 -> 400: total changes, label recomputes but stays "expensive".
rt.set(price, 100)
rt.set(quantity, 4)
print("after the change:", rt.get(label_node), runs)

# 400 -> 400: total recomputes to an equal value, so label is not recomputed (cutoff).
rt.set(price, 200)
rt.set(quantity, 2)
print("cutoff keeps label:", rt.get(label_node), runs)

# Setting an equal value changes nothing at all.
rt.set(price, 200.0)
print("equal set is a no-op:", rt.get(price), runs)

# Many threads may read and write one runtime at once; the engine releases the GIL.
results: list[str] = []


def reader() -> None:
    for _ in range(1000):
        results.append(rt.get(label_node))


def writer() -> None:
    for q in range(1, 200):
        rt.set(quantity, q)


threads = [threading.Thread(target=reader) for _ in range(4)] + [threading.Thread(target=writer)]
for t in threads:
    t.start()
for t in threads:
    t.join()
print("after the threads:", rt.get(total_node), rt.get(label_node), len(results), "reads")
