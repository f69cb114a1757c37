"""The installed type stubs agree with the module."""
import subprocess
import sys

import pytest

pytest.importorskip("mypy")


def test_stubs_match_the_module():
    proc = subprocess.run([sys.executable, "-m", "mypy.stubtest", "velk_concurrent"],
                          capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0, proc.stdout + proc.stderr
