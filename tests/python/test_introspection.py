"""Traced reads, labels and the graph snapshot."""
import pytest


def actions(trace):
    return [(t["id"], t["action"]) for t in trace["node_traces"]]


def test_traced_read_of_an_input_reports_nothing(rt):
    x = rt.create_input("v")
    value, trace = rt.get_traced(x)
    assert value == "v"
    assert list(trace) == ["target", "total_nodes", "nodes_recomputed", "nodes_cutoff",
                           "elapsed_ns", "node_traces"]
    assert (trace["target"], trace["nodes_recomputed"], trace["nodes_cutoff"]) == (x.id, 0, 0)
    assert trace["node_traces"] == []


def test_traced_read_shows_recompute_cutoff_and_verification(rt):
    x = rt.create_input(3)
    parity = rt.create_query(lambda r: r.get(x) % 2)
    label = rt.create_query(lambda r: "odd" if r.get(parity) else "even")
    value, trace = rt.get_traced(label)
    assert value == "odd"
    assert actions(trace) == [(parity.id, "recomputed_changed"), (label.id, "recomputed_changed")]
    rt.set(x, 5)
    value, trace = rt.get_traced(label)
    assert actions(trace) == [(parity.id, "recomputed_cutoff"), (label.id, "verified_clean")]
    assert (trace["nodes_recomputed"], trace["nodes_cutoff"]) == (1, 1)
    assert trace["total_nodes"] == rt.node_count()
    assert list(trace["node_traces"][0]) == ["id", "action"]


def test_explained_read_names_the_change_behind_each_recompute(rt):
    x, y = rt.create_input(3), rt.create_input(1)
    parity = rt.create_query(lambda r: r.get(y) + r.get(x) % 2)
    label = rt.create_query(lambda r: "odd" if r.get(parity) % 2 else "even")
    rt.set_label(x, "x")
    rt.set_label(parity, "parity")
    value, report = rt.get_explained(label)
    assert value == "even" and list(report) == ["target", "label", "elapsed_ns", "nodes"]
    first = report["nodes"][0]  # a first compute has no cause
    assert list(first) == ["id", "label", "action", "cause", "cause_label", "compute_ns"]
    assert (first["id"], first["label"], first["cause"]) == (parity.id, "parity", None)
    rt.set(x, 4)  # y is read first but did not change: x is the cause
    value, report = rt.get_explained(label)
    assert value == "odd" and (report["target"], report["label"]) == (label.id, None)
    assert [(n["id"], n["action"], n["cause"], n["cause_label"]) for n in report["nodes"]] == [
        (parity.id, "recomputed_changed", x.id, "x"),
        (label.id, "recomputed_changed", parity.id, "parity")]
    rt.set(x, 6)
    _, report = rt.get_explained(label)
    assert [(n["action"], n["cause"]) for n in report["nodes"]] == [
        ("recomputed_cutoff", x.id), ("verified_clean", None)]
    assert report["nodes"][1]["compute_ns"] == 0


def test_failed_traced_read_leaves_tracing_off(rt):
    x = rt.create_input(1)
    bad = rt.create_query(lambda r: 1 / 0)
    with pytest.raises(ZeroDivisionError):
        rt.get_traced(bad)
    q = rt.create_query(lambda r: r.get(x))
    rt.get(q)
    value, trace = rt.get_traced(x)
    assert trace["node_traces"] == []


def test_graph_snapshot_lists_live_nodes_with_edges_and_labels(rt):
    assert rt.graph_snapshot() == []
    x = rt.create_input(1)
    q = rt.create_query(lambda r: r.get(x) + r.get(x))
    rt.get(q)
    rt.set_label(x, "first")
    rt.set_label(x, "price")
    rt.set_label_by_id(q.id, "total")
    assert rt.graph_snapshot() == [
        {"id": x.id, "kind": "input", "label": "price", "dependencies": [], "dependents": [q.id, q.id]},
        {"id": q.id, "kind": "compute", "label": "total", "dependencies": [x.id, x.id], "dependents": []},
    ]
    assert list(rt.graph_snapshot()[0]) == ["id", "kind", "label", "dependencies", "dependents"]
    rt.delete_node(q)
    assert [n["id"] for n in rt.graph_snapshot()] == [x.id]
    reused = rt.create_query(lambda r: 0)
    assert rt.graph_snapshot()[1] == {"id": reused.id, "kind": "compute", "label": None,
                                      "dependencies": [], "dependents": []}


def test_label_arguments_are_checked(rt):
    x = rt.create_input(1)
    with pytest.raises(TypeError, match="'label'"):
        rt.set_label(x, 5)
    with pytest.raises(OverflowError, match="'id'"):
        rt.set_label_by_id(4294967296, "x")
    with pytest.raises(OverflowError, match="'id'"):
        rt.set_label_by_id(-1, "x")
    with pytest.raises(TypeError, match="'id'"):
        rt.set_label_by_id("0", "x")
    assert rt.graph_snapshot()[0]["label"] is None
