"""Reference ownership: stored, replaced, computed and raised objects are released."""
import gc
import sys
import weakref

import pytest
import velk_concurrent as vc


class Payload:
    pass


class Boom(ValueError):
    pass


def settle(read=True):
    """Collects garbage, then enters the module (by default with a read, which also frees the
    replaced values this thread retired) so that deferred references are dropped."""
    gc.collect()
    probe = vc.Runtime()
    probe.get(probe.create_input(None)) if read else probe.node_count()


def test_input_values_are_released_on_replace_and_on_runtime_drop():
    sentinel = object()
    start = sys.getrefcount(sentinel)
    rt = vc.Runtime()
    a, b = rt.create_input(sentinel), rt.create_input(sentinel)
    q = rt.create_query(lambda ref: ref.get(a))
    for _ in range(10):
        assert rt.get(q) is sentinel
    assert sys.getrefcount(sentinel) == start + 3
    rt.set(a, 1)
    rt.get(q)
    assert sys.getrefcount(sentinel) == start + 1
    rt.set(b, sentinel)  # an equal set keeps the stored reference, adds none
    del rt, a, b, q
    settle()
    assert sys.getrefcount(sentinel) == start


def test_recomputed_value_and_query_function_are_released():
    class Function:
        def __call__(self, ref):
            return (Payload(), ref.get(a))[0]

    rt = vc.Runtime()
    a = rt.create_input(1)
    function = Function()
    q = rt.create_query(function)
    first, function = weakref.ref(rt.get(q)), weakref.ref(function)
    rt.set(a, 2)
    second = weakref.ref(rt.get(q))
    settle()
    assert first() is None and second() is not None
    del rt
    settle()
    assert second() is None and function() is None


def test_raised_exceptions_are_released_once_their_node_no_longer_fails(rt):
    raised = []

    def boom(ref):
        raised.append(Boom(ref.get(x)))
        raise raised[-1]

    x = rt.create_input(0)

    escapes, handled = rt.create_query(boom), rt.create_query(boom)

    def outer(ref):
        try:
            ref.get(handled)
        except BaseException:
            return "handled"

    pytest.raises(Boom, rt.get, escapes)
    assert rt.get(rt.create_query(outer)) == "handled"
    exceptions = [weakref.ref(exc) for exc in raised]
    raised.clear()
    gc.collect()
    # Kept while their nodes are failed: a later read names the exception as its cause.
    assert None not in [exc() for exc in exceptions]
    rt.set(x, 1)
    pytest.raises(Boom, rt.get, escapes)
    rt.delete_with_dependents(handled)
    gc.collect()
    assert [exc() for exc in exceptions] == [None, None]
    # One whose traceback leads back to the runtime is collected with it.
    kept = vc.Runtime()

    def fails(ref):
        raise Boom(kept)

    pytest.raises(Boom, kept.get, kept.create_query(fails))
    runtime = weakref.ref(kept)
    del kept
    gc.collect()
    assert runtime() is None


def test_dropped_runtime_values_are_released_by_any_module_call():
    rt = vc.Runtime()
    alive = weakref.ref(rt.get(rt.create_input(Payload())))
    del rt
    settle(read=False)
    assert alive() is None

