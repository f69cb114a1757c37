"""DOT pictures of graph snapshots and traced reads (structure, not exact text)."""
import re
import shutil
import subprocess

import pytest
import velk_dot

NODE = re.compile(r"^  n(\d+) \[(.*)\];$", re.M)
EDGE = re.compile(r"^  n(\d+) -> n(\d+);$", re.M)


def parse(dot):
    nodes = {int(i): attrs for i, attrs in NODE.findall(dot)}
    edges = [(int(a), int(b)) for a, b in EDGE.findall(dot)]
    return nodes, edges


def fill(attrs):
    found = re.search(r'fillcolor="([^"]+)"', attrs)
    return found and found.group(1)


@pytest.fixture
def diamond(rt):
    x = rt.create_input(3)
    parity = rt.create_query(lambda r: r.get(x) % 2)
    double = rt.create_query(lambda r: r.get(x) + r.get(x))
    other = rt.create_query(lambda r: "never read")
    top = rt.create_query(lambda r: (r.get(parity), r.get(double)))
    rt.get(top)
    rt.set_label(x, 'say "hi"\\\nthere')
    return x, parity, double, other, top


def assert_valid_dot(dot):
    if shutil.which("dot"):
        subprocess.run(["dot", "-Tsvg"], input=dot, text=True, capture_output=True, check=True)


def test_snapshot_draws_every_node_once_with_unique_edges(rt, diamond):
    x, parity, double, other, top = diamond
    dot = velk_dot.to_dot(rt.graph_snapshot())
    nodes, edges = parse(dot)
    assert sorted(nodes) == sorted(n.id for n in diamond)
    assert "shape=box" in nodes[x.id] and "shape=ellipse" in nodes[top.id]
    assert sorted(edges) == sorted([(x.id, parity.id), (x.id, double.id), (parity.id, top.id),
                                    (double.id, top.id)])  # x read twice by double: one arrow
    assert not any(fill(a) for a in nodes.values()) and "legend" not in dot
    assert r'label="say \"hi\"\\\nthere (#0)"' in nodes[x.id]
    assert dot.startswith("digraph velk {") and dot.endswith("}\n")
    assert_valid_dot(dot)


def test_trace_colours_each_action_and_marks_the_target(rt, diamond):
    x, parity, double, other, top = diamond
    rt.set(x, 5)  # parity is cut off, double changes, top recomputes
    _, trace = rt.get_traced(top)
    dot = velk_dot.to_dot(rt.graph_snapshot(), trace, values={top.id: "a" * 100})
    nodes, _ = parse(dot)
    styles = velk_dot.ACTION_STYLES
    assert fill(nodes[parity.id]) == styles["recomputed_cutoff"][0]
    assert fill(nodes[double.id]) == styles["recomputed_changed"][0]
    assert fill(nodes[top.id]) == styles["recomputed_changed"][0]
    assert fill(nodes[x.id]) is None and fill(nodes[other.id]) is None
    assert "penwidth=3" in nodes[top.id] and "penwidth" not in nodes[double.id]
    assert "\\n= 'aaaa" in nodes[top.id] and "...\"" in nodes[top.id]  # long values shortened
    assert "2 recomputed and changed, 1 cut off, 0 verified" in dot
    assert "recomputed, cut off" in dot and "verified, not run" not in dot  # legend: present only
    assert_valid_dot(dot)

    _, trace = rt.get_traced(top)  # nothing changed: nothing listed, nothing coloured
    assert not any(fill(a) for a in parse(velk_dot.to_dot(rt.graph_snapshot(), trace))[0].values())


def test_only_traced_keeps_the_nodes_of_the_read(rt, diamond):
    x, parity, double, other, top = diamond
    odd = rt.create_query(lambda r: "odd" if r.get(parity) else "even")
    rt.get(odd)
    rt.set(x, 5)  # parity is cut off, so odd is verified without running
    _, trace = rt.get_traced(odd)
    dot = velk_dot.to_dot(rt.graph_snapshot(), trace, only_traced=True, title="custom")
    nodes, edges = parse(dot)
    assert sorted(nodes) == sorted([parity.id, odd.id])
    assert fill(nodes[odd.id]) == velk_dot.ACTION_STYLES["verified_clean"][0]
    assert edges == [(parity.id, odd.id)]
    assert 'label="custom"' in dot


def test_explained_read_draws_the_causal_path_in_bold(rt, diamond):
    x, parity, double, other, top = diamond
    rt.set(x, 5)  # parity is cut off, double changes, top recomputes because of double
    _, report = rt.get_explained(top)
    assert velk_dot.causal_path(report) == [x.id, double.id, top.id]
    dot = velk_dot.explain_to_dot(report)
    nodes, edges = parse(dot.replace(" [penwidth=3];", ";"))
    assert sorted(nodes) == sorted([x.id, parity.id, double.id, top.id])
    assert sorted(edges) == sorted([(x.id, parity.id), (x.id, double.id), (double.id, top.id)])
    assert f"n{x.id} -> n{double.id} [penwidth=3];" in dot and f"n{x.id} -> n{parity.id};" in dot
    assert "penwidth=3" in nodes[x.id] and "penwidth" not in nodes[parity.id]
    assert fill(nodes[parity.id]) == velk_dot.ACTION_STYLES["recomputed_cutoff"][0]
    assert "peripheries=2" in nodes[top.id] and "3 nodes on the causal path" in dot
    assert_valid_dot(dot)
    _, report = rt.get_explained(top)  # nothing changed: no path
    assert velk_dot.causal_path(report) == [] and "not recomputed" in velk_dot.explain_to_dot(report)


def test_render_without_graphviz_writes_nothing(tmp_path, monkeypatch):
    monkeypatch.setattr(velk_dot.shutil, "which", lambda name: None)
    assert not velk_dot.dot_available()
    assert velk_dot.render("digraph velk {}\n", tmp_path / "g.png") is False
    assert list(tmp_path.iterdir()) == []


@pytest.mark.skipif(shutil.which("dot") is None, reason="Graphviz is not installed")
def test_render_writes_the_format_of_the_suffix(tmp_path):
    assert velk_dot.render("digraph velk { a -> b; }\n", tmp_path / "g.svg")
    assert "<svg" in (tmp_path / "g.svg").read_text()
