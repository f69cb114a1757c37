"""RuntimeRef: valid only during the computation that received it, and only on its thread."""
import threading
import warnings

import pytest
import velk_concurrent as vc
from conftest import Calls, panic_type

INVALID = "RuntimeRef is no longer valid (used outside query callback)"


@pytest.mark.parametrize("raises", [False, True])
def test_ref_kept_after_its_compute_is_invalid(rt, raises):
    a = rt.create_input(1)
    kept = []

    def keep(ref):
        kept.append(ref)
        if raises:
            raise ValueError("after keeping")
        return ref.get(a)

    q = rt.create_query(keep)
    if raises:
        pytest.raises(ValueError, rt.get, q)
    else:
        assert rt.get(q) == 1
    for read in (kept[0].get, kept[0].peek):
        with pytest.raises(RuntimeError) as info:
            read(a)
        assert str(info.value) == INVALID
    with pytest.raises(RuntimeError) as info:  # also inside another compute
        rt.get(rt.create_query(lambda ref: kept[0].get(a)))
    assert str(info.value) == INVALID
    # Refs nobody kept are reused by later computes on the thread; a kept one never is.
    fresh = [rt.create_query(lambda ref: (ref is kept[0], ref.get(a))) for _ in range(3)]
    assert [rt.get(q) for q in fresh] == [(False, 1)] * 3
    pytest.raises(RuntimeError, kept[0].get, a)


def test_ref_used_from_another_thread_raises_panic(rt):
    a = rt.create_input(1)
    seen = []

    def body(ref):
        def other_thread():
            try:
                ref.get(a)
            except BaseException as exc:
                seen.append(exc)

        worker = threading.Thread(target=other_thread)
        worker.start()
        worker.join(timeout=60)
        assert not worker.is_alive()
        return ref.get(a) + 1  # still usable on its own thread

    assert rt.get(rt.create_query(body)) == 2
    assert type(seen[0]) is panic_type()
    assert "velk_concurrent::PyRuntimeRef" in str(seen[0])
    # A ref dropped for the last time on another thread (a kept one, or one a traceback carries
    # to the reader) is freed there.
    kept = []
    rt.get(rt.create_query(lambda ref: kept.append(ref)))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        worker = threading.Thread(target=kept.clear)
        worker.start()
        worker.join(timeout=60)
    assert [str(w.message) for w in caught] == []


def test_peek_brings_the_node_up_to_date_without_depending_on_it(rt):
    calls = Calls()
    a, b = rt.create_input(1), rt.create_input(10)
    b_plus = rt.create_query(lambda ref: ref.get(b) + 1)
    q = rt.create_query(calls.wrap("q", lambda ref: ref.get(a) + ref.peek(b_plus)))
    assert rt.get(q) == 12
    rt.set(b, 20)  # not a dependency of q: q keeps its value
    assert rt.get(q) == 12 and calls.take() == {"q": 1}
    rt.set(a, 2)  # q runs again and peeks b_plus, brought up to date
    assert rt.get(q) == 23 and calls.take() == {"q": 1}
    assert [n["dependencies"] for n in rt.graph_snapshot() if n["id"] == q.id] == [[a.id]]
    bad = rt.create_query(lambda ref: 1 / 0)
    with pytest.raises(ZeroDivisionError):
        rt.get(rt.create_query(lambda ref: ref.peek(bad)))
