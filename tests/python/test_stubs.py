"""The installed type information agrees with the module, is precise, and covers the examples."""
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

pytest.importorskip("mypy")

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
NO_CACHE = {**os.environ, "MYPY_CACHE_DIR": os.devnull}  # leave no cache in the checkout


def mypy(*args, cwd=None):
    return subprocess.run([sys.executable, "-m", "mypy", *args], cwd=cwd, env=NO_CACHE,
                          capture_output=True, text=True, timeout=600)


def test_stubs_match_the_module(tmp_path):
    # stubtest keeps its cache in the working directory whatever the environment says.
    proc = subprocess.run([sys.executable, "-m", "mypy.stubtest", "velk_concurrent"],
                          cwd=tmp_path, capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_examples_type_check_strictly():
    proc = mypy("--strict", str(EXAMPLES))
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_types_flow_through_nodes_and_operators(tmp_path):
    # Found from the installed wheel alone: the stub package and velk_dot's py.typed marker.
    (tmp_path / "use.py").write_text(textwrap.dedent("""
        import velk_concurrent as velk
        import velk_dot
        rt = velk.Runtime()
        x = rt.create_input(3)
        q = rt.create_query(lambda r: str(r.get(x)))
        c: velk.Collection[int] = rt.create_collection()
        value, trace = rt.get_traced(q)
        reveal_type(rt.get(q))
        reveal_type(c.map(lambda e: e * 0.5).sort_by_key(lambda e: e).window(2))
        reveal_type(c.group_by(lambda e: str(e)).get_group("1"))
        reveal_type(c.join(c.map(str), lambda e: e, lambda s: int(s)))
        reveal_type(trace["node_traces"][0]["action"])
        reveal_type(velk_dot.to_dot(rt.graph_snapshot(), trace))
        rt.set(x, "three")
        c.insert("four")
    """))
    out = mypy("use.py", cwd=tmp_path).stdout.replace("builtins.", "")  # older mypy spells it
    revealed = {line.split(":")[1]: line.split("Revealed type is ")[1]
                for line in out.splitlines() if "Revealed type is" in line}
    # Unions print as "A | B" or, in older releases, "Union[A, B]": compare their parts.
    for line, parts in {"9": ['"str"'], "10": ['"velk_concurrent.Collection[list[float]]"'],
                        "11": ["velk_concurrent.Collection[int]", "None"],
                        "12": ['"velk_concurrent.Collection[tuple[int, str]]"'],
                        "13": ["'recomputed_changed'", "'recomputed_cutoff'", "'verified_clean'"],
                        "14": ['"str"']}.items():
        assert all(part in revealed[line] for part in parts), out
    errors = [line.split(":")[1] for line in out.splitlines() if ": error:" in line]
    assert errors == ["15", "16"], out
