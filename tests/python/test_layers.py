"""scripts/check-layers: an include of a higher layer, or of the binding from the engine, fails."""
import subprocess
import sys
from pathlib import Path

SCRIPT = Path(__file__).resolve().parents[2] / "scripts" / "check-layers"


def check(root):
    return subprocess.run([sys.executable, str(SCRIPT), str(root)], capture_output=True, text=True)


def test_the_checkout_passes_and_upward_includes_fail(tmp_path):
    assert check(SCRIPT.parents[1]).returncode == 0
    files = {
        "core/velk/graph/node.h": '#include "velk/base/a.h"\n',  # downward: fine
        "core/velk/base/a.h": '#include <vector>\n#include "velk/graph/node.h"\n',
        "core/velk/runtime/r.cpp": '#include "refs.h"\n  #  include <Python.h>\n',
        "python/refs.h": '#include "velk/runtime/r.h"\n',
        "core/velk/runtime/r.h": "",
    }
    for name, text in files.items():
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_text(text)
    result = check(tmp_path)
    assert result.returncode == 1
    assert result.stderr.splitlines()[:-1] == [
        "core/velk/base/a.h:2: includes velk/graph/node.h (core/velk/graph), "
        "a higher layer than core/velk/base",
        "core/velk/runtime/r.cpp:1: includes refs.h (python), a higher layer than core/velk/runtime",
        "core/velk/runtime/r.cpp:2: includes Python.h, which core/ never includes",
    ]
