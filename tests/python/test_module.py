"""The module's surface, and the interpreters that may import it."""
import sysconfig
import types

import pytest
import velk_concurrent as vc
from conftest import panic_type, run_python


def test_module_exposes_exactly_the_classes():
    public = sorted(name for name in vars(vc) if not name.startswith("__"))
    assert public == ["Collection", "GroupedCollection", "NodeId", "ObserverId", "Runtime",
                      "RuntimeRef", "SortedCollection"]
    assert all(isinstance(getattr(vc, name), type) for name in public)
    for cls in [getattr(vc, name) for name in public] + [panic_type()]:
        with pytest.raises(TypeError, match="immutable type"):
            cls.extra = 1


def test_wrong_arguments_name_the_method_and_the_parameter():
    rt = vc.Runtime()
    x = rt.create_input(1)
    sorted_ = rt.create_collection().sort_by_key(abs)
    cases = [
        (lambda: rt.get(node=1), TypeError, "get() argument 'node' must be NodeId, not int"),
        (lambda: rt.get(x, node=x), TypeError, "get() got multiple values for argument 'node'"),
        (lambda: rt.set(x), TypeError, "set() missing required argument 'value' (pos 2)"),
        (lambda: rt.unobserve(x), TypeError,
         "unobserve() argument 'id' must be ObserverId, not velk_concurrent.NodeId"),
        (lambda: rt.set_label(x, 1), TypeError, "set_label() argument 'label' must be str, not int"),
        (lambda: rt.set_label_by_id(2**32, ""), OverflowError,
         "set_label_by_id() argument 'id' must be between 0 and 4294967295"),
        (lambda: sorted_.window(-1), OverflowError,
         "window() argument 'size' must be a non-negative int that fits a machine word"),
        # RuntimeRef.get, whose usual call takes a shorter way, raising inside a query function
        (lambda: rt.get(rt.create_query(lambda ref: ref.get(1))), TypeError,
         "get() argument 'node' must be NodeId, not int"),
        (lambda: rt.get(rt.create_query(lambda ref: ref.get(x, x))), TypeError,
         "get() takes 1 positional argument but 2 were given"),
    ]
    assert rt.get(rt.create_query(lambda ref: ref.get(node=x))) == 1
    for call, error, message in cases:
        with pytest.raises(error) as info:
            call()
        assert str(info.value) == message
    # Functions and iterables are refused before anything is made or runs.
    c = rt.create_collection()
    nodes = rt.node_count()
    refused = [
        (lambda: rt.create_query(42), "create_query() argument 'py_func' must be callable, not int"),
        (lambda: rt.observe(x, 3), "observe() argument 'callback' must be callable, not int"),
        (lambda: c.map(None), "map() argument 'func' must be callable, not NoneType"),
        (lambda: c.filter(5), "filter() argument 'predicate' must be callable, not int"),
        (lambda: c.reduce(5), "reduce() argument 'fold_fn' must be callable, not int"),
        (lambda: c.aggregate(0, abs, 5), "aggregate() argument 'combine' must be callable, not int"),
        (lambda: c.join(c, abs, 5), "join() argument 'right_key' must be callable, not int"),
        (lambda: c.group_by(5), "group_by() argument 'key_fn' must be callable, not int"),
        (lambda: c.sort_by_key("k"), "sort_by_key() argument 'key_fn' must be callable, not str"),
        (lambda: c.insert_many(5), "insert_many() argument 'values' must be iterable, not int"),
        (lambda: c.delete_many(None),
         "delete_many() argument 'values' must be iterable, not NoneType"),
    ]
    for call, message in refused:
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == message
    assert rt.node_count() == nodes and c.snapshot_len() == 0


def test_objects_whose_allocation_fails_are_never_half_built():
    # Each allocation in turn fails once; the failure raises, and dropping what was made (the
    # object that failed included) does not crash. The query function is made beforehand: a
    # function whose making fails leaves CPython 3.12.1 to crash on a later call.
    proc = run_python("""
        import _testcapi, velk_concurrent as vc
        read_x = lambda r: r.get(x)
        for n in range(40):
            _testcapi.set_nomemory(n, n + 1)
            try:
                rt = vc.Runtime(); x = rt.create_input(1); c = rt.create_collection()
                c.insert(1); rt.get(rt.create_query(read_x)); c.map(abs).count()
                rt.observe(x, print)
            except BaseException:
                pass
            finally:
                _testcapi.remove_mem_hooks()
            rt = x = c = None
        print("ok")
    """)
    assert proc.returncode == 0 and proc.stdout == "ok\n", proc.stderr


def import_in_subinterpreter(main_first):
    proc = run_python(f"""
        try:
            import _interpreters as si  # 3.13 on
        except ImportError:
            try:
                import _xxsubinterpreters as si
            except ImportError:
                raise SystemExit("unavailable")
        if {main_first}:
            import velk_concurrent
        try:
            # From 3.13 on the failure comes back rather than being raised.
            failure = si.run_string(si.create(), "import velk_concurrent")
            print("sub:", "imported" if failure is None else getattr(failure, "formatted", failure))
        except Exception as exc:
            print("sub:", exc)
        import velk_concurrent
        rt = velk_concurrent.Runtime()
        print("main:", rt.get(rt.create_input(7)))
    """)
    if proc.stderr.strip() == "unavailable":
        pytest.skip("no subinterpreters")
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


@pytest.mark.parametrize("main_first", [True, False])
def test_import_fails_in_a_subinterpreter_only(main_first):
    out = import_in_subinterpreter(main_first)
    assert "ImportError" in out and "sub: imported" not in out and "main: 7" in out


@pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"),
                    reason="needs a free-threaded interpreter")
def test_import_keeps_the_gil_off_on_a_free_threaded_interpreter():
    # An empty PYTHON_GIL counts as unset, so the module's own declaration decides.
    proc = run_python("""
        import sys, velk_concurrent
        rt = velk_concurrent.Runtime()
        print(sys._is_gil_enabled(), rt.get(rt.create_input(7)))
    """, PYTHON_GIL="")
    assert proc.stdout.split() == ["False", "7"], proc.stderr


def test_generic_classes_can_be_subscripted_in_evaluated_annotations():
    alias = vc.Collection[int]
    assert isinstance(alias, types.GenericAlias) and alias.__origin__ is vc.Collection
    assert vc.GroupedCollection[str, int].__args__ == (str, int)
    assert vc.NodeId[float].__origin__ is vc.NodeId and vc.SortedCollection[int] is not None
