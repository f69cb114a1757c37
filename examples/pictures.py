"""Pictures of a runtime: the whole graph, what one read recomputed, cut off or verified, and
why a later read ran what it ran.

Writes graph.dot, trace.dot and explain.dot (Graphviz DOT text, made by the velk_dot package
installed with the module) into the directory given, or the current one; renders trace.png as
well when the Graphviz `dot` program is installed.

    python examples/pictures.py [OUTPUT_DIR]
"""
from __future__ import annotations

import sys
from pathlib import Path
from typing import Any

import velk_concurrent as velk
import velk_dot


def build(rt: velk.Runtime) -> dict[str, velk.NodeId[Any]]:
    nodes: dict[str, velk.NodeId[Any]] = {}
    nodes["price"] = rt.create_input(120)
    nodes["quantity"] = rt.create_input(3)
    nodes["coupon"] = rt.create_input("NONE")
    nodes["subtotal"] = rt.create_query(
        lambda r: r.get(nodes["price"]) * r.get(nodes["quantity"]))
    nodes["discount"] = rt.create_query(lambda r: 0.1 if r.get(nodes["coupon"]) == "TEN" else 0)
    nodes["total"] = rt.create_query(
        lambda r: r.get(nodes["subtotal"]) * (1 - r.get(nodes["discount"])))
    nodes["shipping"] = rt.create_query(lambda r: 0 if r.get(nodes["total"]) > 300 else 15)
    nodes["banner"] = rt.create_query(
        lambda r: "free shipping!" if r.get(nodes["shipping"]) == 0 else "")
    nodes["invoice"] = rt.create_query(
        lambda r: f"{r.get(nodes['total']):.2f} + {r.get(nodes['shipping'])} shipping "
                  f"{r.get(nodes['banner'])}")
    for name, node in nodes.items():
        rt.set_label(node, name)
    return nodes


def main() -> None:
    out = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(".")
    out.mkdir(parents=True, exist_ok=True)
    rt = velk.Runtime()
    nodes = build(rt)
    print("invoice:", rt.get(nodes["invoice"]))

    # 120 x 3 and 180 x 2 are both 360: the subtotal runs again and is cut off. The coupon
    # changes the discount and the total; shipping stays free (cut off), so the banner that
    # reads only shipping is verified without running.
    rt.set(nodes["price"], 180)
    rt.set(nodes["quantity"], 2)
    rt.set(nodes["coupon"], "TEN")
    invoice, trace = rt.get_traced(nodes["invoice"])
    values = {node.id: rt.get(node) for node in nodes.values()}
    print("invoice:", invoice)
    print(f"traced read: {trace['nodes_recomputed']} recomputed, {trace['nodes_cutoff']} cut off, "
          f"{len(trace['node_traces'])} nodes visited")

    (out / "graph.dot").write_text(velk_dot.to_dot(rt.graph_snapshot(), values=values))
    trace_dot = velk_dot.to_dot(rt.graph_snapshot(), trace, values=values)
    (out / "trace.dot").write_text(trace_dot)
    print("wrote graph.dot and trace.dot")
    if velk_dot.render(trace_dot, out / "trace.png"):
        print("wrote trace.png")
    else:
        print("Graphviz `dot` is not installed: no trace.png (the .dot files still open in any "
              "Graphviz viewer)")

    # Totals within half a cent are the same total: a price change below it stops there.
    rt.set_cutoff(nodes["total"], lambda old, new: abs(old - new) < 0.005)
    rt.set(nodes["price"], 180.001)
    invoice, explained = rt.get_explained(nodes["invoice"])
    print("invoice:", invoice)
    for entry in explained["nodes"]:
        if entry["action"] != "verified_clean":
            print(f"  {entry['label']}: {entry['action']} because {entry['cause_label']} changed"
                  f" ({entry['compute_ns']} ns)")
    (out / "explain.dot").write_text(velk_dot.explain_to_dot(explained))
    print("wrote explain.dot")


if __name__ == "__main__":
    main()
