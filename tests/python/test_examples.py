"""Every example runs with one command and prints what it promises."""
import re
import subprocess
import sys
from pathlib import Path

import pytest

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


def run_example(name, *args, cwd=None):
    proc = subprocess.run([sys.executable, str(EXAMPLES / name), *map(str, args)], cwd=cwd,
                          capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    assert proc.stderr == ""
    return proc.stdout


def test_every_example_is_covered():
    covered = {"quickstart.py", "spreadsheet.py", "leaderboard.py", "threaded_service.py",
               "pictures.py", "signals_dashboard.py"}
    assert {p.name for p in EXAMPLES.glob("*.py")} == covered


def test_quickstart_shows_laziness_and_cutoff():
    out = run_example("quickstart.py")
    assert "queries run only when read: {'total': 0, 'label': 0}" in out
    assert "cutoff keeps label: expensive {'total': 3, 'label': 2}" in out
    assert "equal set is a no-op: 200 {'total': 3, 'label': 2}" in out


def test_spreadsheet_recomputes_only_the_dependent_cells():
    out = run_example("spreadsheet.py")
    evaluated = dict(re.findall(r"^(.*?)\s+evaluated: (.*)$", out, re.M))
    assert evaluated["first read"].count(",") == 12  # all 13 cells
    assert evaluated["A2: 1 -> 2"] == "A2, A4, C2, C4"
    assert evaluated["B1: 10 -> 12 (B4 stays 25, no D4)"] == "B1, B4, C1, C4"
    assert evaluated["A3: 4 -> 4.0 (equal: nothing runs)"] == "none"
    assert evaluated["C2: new formula =A2*B2+A1"] == "C2, C4"
    assert evaluated["A1: 3 -> 5 (C2 now reads it)"] == "A1, A4, C1, C2, C4"
    assert out.rstrip().endswith("A4=11  B4=25  C1=60  C2=55  C3=0  C4=115  D4=30\n"
                                 "traced read of C4 after B3: 5 -> 6: 2 recomputed, 1 cut off")


def test_leaderboard_follows_every_round():
    out = run_example("leaderboard.py")
    assert out.count("podium now:") == 3  # round 3 leaves the podium alone
    assert "podium now: bo > ed > di" in out
    assert "total 180, teams {'red': 95, 'blue': 85}, closest gap 1" in out
    assert "cy is between ana and -" in out
    assert out.rstrip().endswith(
        "windows holding ana: [['di', 'ana', 'cy'], ['ed', 'di', 'ana']]")


def test_threaded_service_ends_consistent():
    out = run_example("threaded_service.py")
    assert "odd readings: 0" in out
    assert "final total 6780, expected 6780: ok" in out
    computed = int(re.search(r"valuations computed (\d+) times for 9000 reads", out).group(1))
    assert 3 <= computed < 9000
    assert int(re.search(r"alerts above 6000: (\d+)", out).group(1)) >= 1


def test_pictures_writes_dot_files_and_a_png_when_it_can(tmp_path):
    out = run_example("pictures.py", tmp_path / "out")
    assert "traced read: 5 recomputed, 2 cut off, 6 nodes visited" in out
    trace = (tmp_path / "out" / "trace.dot").read_text()
    assert trace.startswith("digraph velk {") and "penwidth=3" in trace
    assert (tmp_path / "out" / "graph.dot").exists()
    assert ("wrote trace.png" in out) == (tmp_path / "out" / "trace.png").exists()
    if "wrote trace.png" in out:
        assert (tmp_path / "out" / "trace.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    else:
        assert "not installed" in out


def test_signals_dashboard_serves_and_prints_each_whole_tick():
    out = run_example("signals_dashboard.py")
    assert out.splitlines() == [
        "served at start: total 3,900, largest INITECH",
        "dashboard: total 4,100, largest INITECH",
        "dashboard: total 4,160, largest INITECH",  # two prices, one change
        "dashboard: total 5,560, largest ACME",
        "served at end: total 5,560, largest ACME",
        "alerts above 5,000: 5,560"]
