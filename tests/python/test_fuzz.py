"""The API fuzzer (tests/fuzz/fuzz_api.py) in CI: a short run, and the replay of every saved
input that once crashed or hung. Both run in a subprocess, since a finding kills the process.

VELK_FUZZ_SECONDS sets the length of the short run (default 30).
"""
import importlib.util
import os
import subprocess
import sys
from pathlib import Path

import pytest

FUZZ_DIR = Path(__file__).resolve().parent.parent / "fuzz"
HARNESS = FUZZ_DIR / "fuzz_api.py"
REGRESSIONS = FUZZ_DIR / "regressions"
SECONDS = int(os.environ.get("VELK_FUZZ_SECONDS", "30"))

pytestmark = pytest.mark.skipif(importlib.util.find_spec("atheris") is None,
                                reason="atheris is not installed (no wheel for this platform)")


def run_harness(args, cwd, timeout):
    proc = subprocess.run([sys.executable, str(HARNESS), *args], cwd=cwd, capture_output=True,
                          text=True, timeout=timeout)
    findings = sorted(p.name for p in Path(cwd).glob("*-*") if p.is_file())
    tail = "\n".join(proc.stderr.splitlines()[-40:])
    assert proc.returncode == 0, f"fuzzer finding {findings} in {cwd}:\n{tail}"
    return proc


def test_short_fuzz_run_finds_nothing(tmp_path):
    corpus = tmp_path / "corpus"
    corpus.mkdir()
    # Seeded, so a run is repeatable (up to how far it gets in the time).
    proc = run_harness([f"-max_total_time={SECONDS}", "-seed=1", "-timeout=60", "-max_len=2048",
                        "-rss_limit_mb=4096", f"-artifact_prefix={tmp_path}/", str(corpus),
                        str(REGRESSIONS)], tmp_path, SECONDS + 180)
    assert "Done" in proc.stderr


def test_saved_findings_replay_cleanly(tmp_path):
    inputs = sorted(str(p) for p in REGRESSIONS.iterdir() if p.is_file())
    assert inputs, "tests/fuzz/regressions is empty"
    run_harness(["-timeout=60", f"-artifact_prefix={tmp_path}/", *inputs], tmp_path, 300)
