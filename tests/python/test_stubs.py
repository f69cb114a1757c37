"""The installed type information agrees with the module, is precise, and covers the examples."""
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

pytest.importorskip("mypy")

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


def mypy(*args, cwd=None):
    return subprocess.run([sys.executable, "-m", "mypy", "--no-incremental", *args], cwd=cwd,
                          capture_output=True, text=True, timeout=600)


def test_stubs_match_the_module():
    proc = subprocess.run([sys.executable, "-m", "mypy.stubtest", "velk_concurrent"],
                          capture_output=True, text=True, timeout=600)
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
    for expected in [
        'use.py:9: note: Revealed type is "str"',
        'use.py:10: note: Revealed type is "velk_concurrent.Collection[list[float]]"',
        'use.py:11: note: Revealed type is "velk_concurrent.Collection[int] | None"',
        'use.py:12: note: Revealed type is "velk_concurrent.Collection[tuple[int, str]]"',
        'use.py:13: note: Revealed type is "Literal[\'recomputed_changed\'] | '
        'Literal[\'recomputed_cutoff\'] | Literal[\'verified_clean\']"',
        'use.py:14: note: Revealed type is "str"',
    ]:
        assert expected in out, out
    errors = [line.split(":")[1] for line in out.splitlines() if ": error:" in line]
    assert errors == ["15", "16"], out
