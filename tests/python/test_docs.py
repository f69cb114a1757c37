"""The README's API reference covers the module, the stubs and velk_dot; its code runs as shown."""
import ast
import contextlib
import io
import re
from pathlib import Path

import velk_concurrent as vc
import velk_dot
import velk_signals

ROOT = Path(__file__).resolve().parents[2]
README = (ROOT / "README.md").read_text()
STUB = ROOT / "python" / "stubs" / "velk_concurrent.pyi"


def section(title):
    match = re.search(rf"^## {title}\n(.*?)(?=^## )", README, re.M | re.S)
    assert match, f"README has no '## {title}' section"
    return match.group(1)


API = section("API reference")


def documented(qualified):
    return re.search(rf"`{re.escape(qualified)}\b", API) is not None


def test_every_public_attribute_of_every_class_is_documented():
    classes = [name for name in vars(vc) if not name.startswith("_")]
    missing = [f"{cls}.{attr}" for cls in classes for attr in dir(getattr(vc, cls))
               if not attr.startswith("_") and not documented(f"{cls}.{attr}")]
    missing += [f"### {cls}" for cls in classes if f"\n### {cls}\n" not in API]
    assert missing == []


def test_every_name_in_the_stub_is_documented():
    names = []
    for node in ast.parse(STUB.read_text()).body:
        if isinstance(node, ast.ClassDef) and not node.name.startswith("_"):
            assert f"\n### {node.name}\n" in API
            names += [f"{node.name}.{f.name}" for f in node.body
                      if isinstance(f, ast.FunctionDef) and not f.name.startswith("_")]
    assert len(names) > 35
    assert [n for n in names if not documented(n)] == []


def test_velk_dot_velk_signals_and_panic_exception_are_documented():
    assert [n for n in velk_dot.__all__ if not documented(f"velk_dot.{n}")] == []
    assert [n for n in velk_signals.__all__ if not documented(f"velk_signals.{n}")] == []
    assert "\n### PanicException\n" in API


def test_code_blocks_run_in_order_and_print_what_they_say():
    namespace = {"__name__": "readme"}
    blocks = re.findall(r"^```python\n(.*?)^```", README, re.M | re.S)
    assert len(blocks) >= 8
    for block in blocks:
        expected = [line.split("# -> ", 1)[1].rstrip() for line in block.splitlines()
                    if line.lstrip().startswith("print(") and "# -> " in line]
        out = io.StringIO()
        with contextlib.redirect_stdout(out):
            exec(compile(block, "README.md", "exec"), namespace)
        assert out.getvalue().splitlines() == expected, block


def test_error_messages_in_the_tables_are_the_engines():
    errors = section("Errors")
    sources = "".join(p.read_text() for d in ("core/velk", "python")
                      for p in (ROOT / d).rglob("*.[ch]*"))
    sources = re.sub(r'"\s+"', "", sources)  # join string literals split across lines
    for message in re.findall(r"^\| `([^`]+)` \|", errors, re.M):
        # Numbers, "...", operation names and the example exception are filled in at run time.
        parts = [p for p in re.split(
                 r"\d+|\.\.\.|ValueError: bad|Velk<|> handle|create_\w+|set_cutoff", message)
                 if len(p.strip()) > 3]
        for part in parts:
            assert part.strip(" ()") in sources, (message, part)
