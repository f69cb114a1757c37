"""The module's surface, and the interpreters that may import it."""
import types

import pytest
import velk_concurrent as vc
from conftest import run_python


def test_module_exposes_exactly_the_classes():
    public = sorted(name for name in vars(vc) if not name.startswith("__"))
    assert public == ["Collection", "GroupedCollection", "NodeId", "ObserverId", "Runtime",
                      "RuntimeRef", "SortedCollection"]
    assert all(isinstance(getattr(vc, name), type) for name in public)


def import_in_subinterpreter(main_first):
    proc = run_python(f"""
        try:
            import _xxsubinterpreters as si
        except ImportError:
            raise SystemExit("unavailable")
        if {main_first}:
            import velk_concurrent
        try:
            si.run_string(si.create(), "import velk_concurrent")
            print("sub: imported")
        except Exception as exc:
            print("sub:", exc)
        import velk_concurrent
        rt = velk_concurrent.Runtime()
        print("main:", rt.get(rt.create_input(7)))
    """)
    if proc.stderr.strip() == "unavailable":
        pytest.skip("_xxsubinterpreters is not available")
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


@pytest.mark.parametrize("main_first", [True, False])
def test_import_fails_in_a_subinterpreter_only(main_first):
    out = import_in_subinterpreter(main_first)
    assert "ImportError" in out and "sub: imported" not in out and "main: 7" in out


def test_generic_classes_can_be_subscripted_in_evaluated_annotations():
    alias = vc.Collection[int]
    assert isinstance(alias, types.GenericAlias) and alias.__origin__ is vc.Collection
    assert vc.GroupedCollection[str, int].__args__ == (str, int)
    assert vc.NodeId[float].__origin__ is vc.NodeId and vc.SortedCollection[int] is not None
