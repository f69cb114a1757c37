"""Graphviz DOT pictures of a velk_concurrent runtime.

`to_dot(rt.graph_snapshot())` draws every live node and its dependency edges;
`to_dot(rt.graph_snapshot(), trace)` with the trace of `rt.get_traced(node)` also colours what
that read recomputed, cut off or verified. `explain_to_dot(report)` draws the report of
`rt.get_explained(node)`: which change made each node run, with the path from the changed input
to the node read in bold (`causal_path(report)` lists it). `render(dot_text, "graph.png")` runs
the Graphviz `dot` program when it is installed. Pure Python: it only reads the plain lists and dictionaries
the runtime returns, so it works with any runtime and costs nothing when unused.
"""
from __future__ import annotations

import shutil
import subprocess
from collections.abc import Iterable, Mapping, Sequence
from pathlib import Path
from typing import Any

__all__ = ["ACTION_STYLES", "to_dot", "explain_to_dot", "causal_path", "render", "dot_available"]

# Fill colour and legend text for each action of a traced read.
ACTION_STYLES: dict[str, tuple[str, str]] = {
    "recomputed_changed": ("#f4a261", "recomputed, changed"),
    "recomputed_cutoff": ("#e9c46a", "recomputed, cut off"),
    "verified_clean": ("#a8dadc", "verified, not run"),
}


def to_dot(snapshot: Iterable[Mapping[str, Any]], trace: Mapping[str, Any] | None = None, *,
           only_traced: bool = False, values: Mapping[int, object] | None = None,
           title: str | None = None) -> str:
    """DOT text for a graph snapshot, with the nodes of a traced read coloured.

    Edges run from a dependency to the node that read it, the way values flow. With
    `only_traced`, only the nodes the trace names (and the target) are drawn. `values` maps node
    ids to values shown under their names.
    """
    nodes = list(snapshot)
    actions = _trace_actions(trace)
    target = trace["target"] if trace is not None else None
    if only_traced:
        keep = set(actions) | ({target} if target is not None else set())
        nodes = [n for n in nodes if n["id"] in keep]
    drawn = {n["id"] for n in nodes}
    lines = ["digraph velk {", "  rankdir=LR;", '  graph [fontname="Helvetica"];',
             '  node [fontname="Helvetica"];']
    caption = title if title is not None else _summary(trace)
    if caption:
        lines.append(f"  label={_quote(caption)}; labelloc=t;")
    for node in nodes:
        lines.append(f"  {_node_line(node, actions.get(node['id']), node['id'] == target, values)}")
    for node in nodes:
        # Dependencies repeat once per recorded read; one arrow says enough.
        for dep in _unique(node["dependencies"]):
            if dep in drawn:
                lines.append(f"  n{dep} -> n{node['id']};")
    if actions:
        lines.extend(_legend(set(actions.values())))
    lines.append("}")
    return "\n".join(lines) + "\n"


def causal_path(report: Mapping[str, Any]) -> list[int]:
    """Node ids from the change that started it to the node read, following each node's cause.

    Empty when the node read did not run; a node brought up to date before this read (an
    input, usually) starts the path.
    """
    entries = {entry["id"]: entry for entry in report["nodes"]}
    target = entries.get(report["target"])
    if target is None or target["action"] == "verified_clean":
        return []
    path: list[int] = []
    node = report["target"]
    while node is not None and node not in path:
        path.append(node)
        node = entries[node]["cause"] if node in entries else None
    return path[::-1]


def explain_to_dot(report: Mapping[str, Any], *, title: str | None = None) -> str:
    """DOT text for the report of `get_explained`: each node the read settled, coloured by
    its action with its compute time, and an arrow from the changed dependency that made it
    run. The causal path to the node read is drawn bold. A cause the read did not settle (an
    input, or a node brought up to date earlier) is a plain box.
    """
    entries = {entry["id"]: entry for entry in report["nodes"]}
    on_path = set(causal_path(report))
    lines = ["digraph velk_explain {", "  rankdir=LR;", '  graph [fontname="Helvetica"];',
             '  node [fontname="Helvetica"];']
    caption = title if title is not None else _explain_summary(report, len(on_path))
    lines.append(f"  label={_quote(caption)}; labelloc=t;")
    outside = {e["cause"]: e["cause_label"] for e in entries.values()
               if e["cause"] is not None and e["cause"] not in entries}
    for node, label in outside.items():
        attrs = [f"label={_quote(_name(node, label))}", "shape=box"]
        lines.append(f"  n{node} [{', '.join(attrs + _bold(node in on_path))}];")
    for node, entry in entries.items():
        text = _name(node, entry["label"])
        if entry["action"] != "verified_clean":
            text += f"\n{entry['compute_ns'] / 1000:.1f} us"
        attrs = [f"label={_quote(text)}", "shape=ellipse",
                 f'style=filled, fillcolor="{ACTION_STYLES[entry["action"]][0]}"']
        if node == report["target"]:
            attrs.append("peripheries=2")
        lines.append(f"  n{node} [{', '.join(attrs + _bold(node in on_path))}];")
    for node, entry in entries.items():
        if entry["cause"] is not None:
            bold = node in on_path and entry["cause"] in on_path
            lines.append(f"  n{entry['cause']} -> n{node}{' [penwidth=3]' if bold else ''};")
    if entries:
        lines.extend(_legend({e["action"] for e in entries.values()}))
    lines.append("}")
    return "\n".join(lines) + "\n"


def dot_available() -> bool:
    """Whether the Graphviz `dot` program is on the PATH."""
    return shutil.which("dot") is not None


def render(dot_text: str, path: str | Path, fmt: str | None = None) -> bool:
    """Writes the picture with Graphviz `dot`; False (and nothing written) without it.

    The format defaults to the file's suffix (png, svg, pdf, ...).
    """
    exe = shutil.which("dot")
    if exe is None:
        return False
    path = Path(path)
    fmt = fmt or path.suffix.lstrip(".") or "png"
    subprocess.run([exe, f"-T{fmt}", "-o", str(path)], input=dot_text, text=True, check=True,
                   timeout=60)
    return True


def _trace_actions(trace: Mapping[str, Any] | None) -> dict[int, str]:
    if trace is None:
        return {}
    # A node appears once per read; a later entry for the same node would supersede it.
    return {entry["id"]: entry["action"] for entry in trace["node_traces"]}


def _summary(trace: Mapping[str, Any] | None) -> str:
    if trace is None:
        return ""
    verified = sum(1 for e in trace["node_traces"] if e["action"] == "verified_clean")
    changed = trace["nodes_recomputed"] - trace["nodes_cutoff"]
    return (f"read of node {trace['target']}: {changed} recomputed and changed, "
            f"{trace['nodes_cutoff']} cut off, {verified} verified "
            f"({trace['elapsed_ns'] / 1000:.1f} us)")


def _explain_summary(report: Mapping[str, Any], path_length: int) -> str:
    name = _name(report["target"], report["label"])
    elapsed = f"{report['elapsed_ns'] / 1000:.1f} us"
    if path_length == 0:
        return f"read of {name}: not recomputed ({elapsed})"
    return f"read of {name}: {path_length} nodes on the causal path ({elapsed})"


def _name(node: int, label: str | None) -> str:
    return f"#{node}" if label is None else f"{label} (#{node})"


def _bold(bold: bool) -> list[str]:
    return ["penwidth=3"] if bold else []


def _node_line(node: Mapping[str, Any], action: str | None, is_target: bool,
               values: Mapping[int, object] | None) -> str:
    name = node["label"] if node["label"] is not None else f"#{node['id']}"
    text = name if node["label"] is None else f"{name} (#{node['id']})"
    if values is not None and node["id"] in values:
        text += "\n= " + _short(values[node["id"]])
    attrs = [f"label={_quote(text)}",
             "shape=box" if node["kind"] == "input" else "shape=ellipse"]
    if action is not None:
        attrs.append(f'style=filled, fillcolor="{ACTION_STYLES[action][0]}"')
    if is_target:
        attrs.append("penwidth=3")
    return f"n{node['id']} [{', '.join(attrs)}];"


def _legend(present: set[str]) -> list[str]:
    lines = ["  subgraph cluster_legend {", '    label="this read"; fontname="Helvetica";']
    for i, (action, (colour, text)) in enumerate(ACTION_STYLES.items()):
        if action in present:
            lines.append(f'    legend{i} [label={_quote(text)}, shape=note, style=filled, '
                         f'fillcolor="{colour}"];')
    lines.append("  }")
    return lines


def _unique(ids: Sequence[int]) -> list[int]:
    return list(dict.fromkeys(ids))


def _short(value: object, limit: int = 40) -> str:
    text = repr(value)
    return text if len(text) <= limit else text[:limit - 3] + "..."


def _quote(text: str) -> str:
    escaped = text.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n")
    return f'"{escaped}"'
