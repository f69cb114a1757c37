"""velk_signals on the engine: what recomputes and when, effects, batches, threads, asyncio."""
import asyncio
import gc
import threading
import weakref

import pytest
import velk_concurrent as vc
import velk_signals as vs
from velk_signals import Computed, Effect, Signal, batch
from velk_signals._core import hub_of
from conftest import run_python


def counted(calls, name, fn):
    def run():
        calls[name] = calls.get(name, 0) + 1
        return fn()
    return run


def test_computeds_recompute_only_on_change_and_equal_cuts_off(rt):
    calls = {}
    a = Signal(1, runtime=rt)
    b = Signal([1, 2], equal=lambda old, new: len(old) == len(new), runtime=rt)
    parity = Computed(counted(calls, "parity", lambda: a() % 2), runtime=rt,
                      equal=lambda old, new: old == new)
    label = Computed(counted(calls, "label", lambda: f"{parity()}:{len(b())}"), runtime=rt)
    assert (label(), label(), calls) == ("1:2", "1:2", {"parity": 1, "label": 1})
    a.set(3)  # parity recomputes to an equal value: label stays
    b.set([7, 8])  # equal by length: no change at all
    assert (label(), calls, b()) == ("1:2", {"parity": 2, "label": 1}, [1, 2])
    a.set(4)
    assert (label(), calls) == ("0:2", {"parity": 3, "label": 2})
    assert isinstance(vs.computed(lambda: 1), Computed)
    assert vs.computed(runtime=rt)(lambda: a() + 1)() == 5
    assert a.runtime is rt and vs.default_runtime() is vs.default_runtime()
    nodes = rt.node_count()
    for make, message in ((lambda: Computed(5, runtime=rt), "Computed() argument 'fn' must be "
                           "callable, not int"),
                          (lambda: vs.effect(runtime=rt)(None), "Effect() argument 'fn' must be "
                           "callable, not NoneType"),
                          (lambda: Signal(1, equal=2, runtime=rt), "Signal() argument 'equal' "
                           "must be callable or None, not int"),
                          (lambda: Computed(a._node, runtime=rt), "Computed() argument 'fn' must "
                           "be callable, not velk_concurrent.NodeId")):
        with pytest.raises(TypeError) as info:
            make()
        assert str(info.value) == message
    assert rt.node_count() == nodes  # refused before any node is made


def test_effects_run_per_change_clean_up_and_go_with_dispose_or_collection(rt):
    log = []
    a = Signal(1, runtime=rt)
    doubled = Signal(0, runtime=rt)

    def watch():
        v = a()
        doubled.set(v * 2)  # a write inside an effect settles in the same set
        log.append(f"run {v}")
        return lambda: log.append(f"clean {v}")

    e = Effect(watch, runtime=rt)
    mirror = []
    keep = Effect(lambda: mirror.append(doubled()), runtime=rt)
    a.set(2)
    a.set(2)
    assert log == ["run 1", "clean 1", "run 2"] and mirror == [2, 4]
    e.dispose()
    e.dispose()
    a.set(3)
    assert log[-1] == "clean 2" and len(log) == 4
    e = Effect(watch, runtime=rt)
    del e
    cycle = []  # an effect reachable only from its own function goes with the collector

    @vs.effect(runtime=rt)
    def in_cycle():
        cycle.append(a())
    cycle.append(in_cycle)
    gone = weakref.ref(in_cycle)
    del in_cycle, cycle
    gc.collect()
    a.set(5)
    assert log[-2:] == ["run 3", "clean 3"] and mirror == [2, 4, 6] and gone() is None
    assert keep is not None and hub_of(rt).active == 1
    loop = Signal(0, runtime=rt)
    with pytest.raises(RuntimeError, match="kept setting signals for 100 passes"):
        Effect(lambda: loop.set(loop() + 1), runtime=rt)
    # Reading again what it set: the run keeps its value, and settling's limit still ends it.
    result = run_python("""
        import velk_concurrent as vc
        from velk_signals import Effect, Signal
        rt = vc.Runtime()
        n = Signal(0, runtime=rt)
        try:
            Effect(lambda: (n.set(n() + 1), n()), runtime=rt)
        except RuntimeError as e:
            print(e)
        """)
    assert "kept setting signals for 100 passes" in result.stdout, result.stderr[-2000:]


def test_effect_errors_raise_from_the_set_after_the_others_ran(rt):
    a = Signal(0, runtime=rt)
    ran = []

    def fails():
        if a() == 1:
            raise ValueError("effect failed")

    keep = [Effect(fails, runtime=rt), Effect(lambda: ran.append(a()), runtime=rt)]
    with pytest.raises(ValueError, match="effect failed"):
        a.set(1)
    assert ran == [0, 1] and keep
    a.set(2)  # the failing effect is still live and quiet again
    with pytest.raises(ZeroDivisionError):
        Effect(lambda: 1 / 0, runtime=rt)


def test_a_failing_watched_node_fails_only_the_write_that_reached_it(rt):
    s, other, relay = Signal(1, runtime=rt), Signal(0, runtime=rt), Signal(0, runtime=rt)
    ratio = Computed(lambda: 1 // s(), runtime=rt)
    peeked, relayed = [], []

    def peeks():
        other()
        try:
            peeked.append(ratio.peek())
        except Exception as exc:  # the failure as a plain read raises it, not PanicException
            peeked.append(type(exc))

    keep = [Effect(peeks, runtime=rt), Effect(lambda: relay.set(s()), runtime=rt),
            Effect(lambda: relayed.append(relay()), runtime=rt)]

    async def main():
        stream = vs.changes(ratio)
        with pytest.raises(ZeroDivisionError):
            s.set(0)
        assert relayed == [1, 0]  # the pass after the failing one still ran
        other.set(1)  # reaches nothing failing: raises nothing
        other.set(2)
        s.set(2)
        return await stream.__anext__()

    assert asyncio.run(main()) == 0 and keep
    assert peeked == [1, RuntimeError, RuntimeError]


def test_batch_lands_whole_nests_and_runs_effects_once(rt):
    a, b = Signal(1, runtime=rt), Signal(2, runtime=rt)
    total = Computed(lambda: a() + b(), runtime=rt)
    seen = []
    keep = Effect(lambda: seen.append(total()), runtime=rt)
    others = []
    with batch():
        a.set(10)
        with batch():
            b.update(lambda v: v + a())  # reads the pending 10
        reader = threading.Thread(target=lambda: others.append((a(), total())))
        reader.start()
        reader.join()
        assert (a(), b(), total(), seen) == (10, 12, 3, [3])  # computeds see the last change
    assert (total(), seen, others, keep is not None) == (22, [3, 22], [(1, 3)], True)
    with pytest.raises(KeyError), batch():
        a.set(0)
        raise KeyError
    assert a() == 10


def test_untracked_reads_record_no_dependency(rt):
    a, b = Signal(1, runtime=rt), Signal(10, runtime=rt)
    calls = {}
    mixed = Computed(counted(calls, "mixed", lambda: a() + vs.untracked(b) + b.peek()),
                     runtime=rt)
    assert mixed() == 21
    b.set(20)
    assert (mixed(), calls) == (21, {"mixed": 1})
    a.set(2)
    assert mixed() == 42


def test_threads_lose_no_update_and_effects_follow_them(rt):
    counter = Signal(0, runtime=rt)
    last = []
    keep = Effect(lambda: last.append(counter()), runtime=rt)

    def work():
        for _ in range(500):
            counter.update(lambda v: v + 1)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert counter() == 2000 and last[-1] == 2000 and keep


def test_changes_deliver_the_latest_value_on_the_loop_and_clean_up(rt):
    s = Signal(0, runtime=rt)
    hub = hub_of(rt)

    async def main():
        stream = vs.changes(s)
        s.set(1)
        s.set(2)  # not read yet: only the latest is kept
        threading.Thread(target=s.set, args=(3,)).start()
        got = [await stream.__anext__()]
        if got != [3]:
            got.append(await stream.__anext__())
        s.set(4)
        got.append(await stream.__anext__())
        await stream.aclose()
        with pytest.raises(StopAsyncIteration):
            await stream.__anext__()
        waiting = asyncio.ensure_future(vs.next_change(s))
        await asyncio.sleep(0)
        assert hub.active == 1
        waiting.cancel()
        await asyncio.sleep(0)
        assert hub.active == 0
        later = asyncio.ensure_future(vs.next_change(s))
        await asyncio.sleep(0)
        s.set(5)
        return got, await later

    got, nxt = asyncio.run(main())
    assert got[-1] == 4 and got[-2] == 3 and nxt == 5


def test_coroutine_effects_track_reads_before_the_first_await(rt):
    s, other = Signal(1, runtime=rt), Signal(0, runtime=rt)
    runs = []

    async def main():
        async def report():
            value = s()
            await asyncio.sleep(0)
            runs.append((value, other(), threading.get_ident()))

        keep = Effect(report, runtime=rt)
        await asyncio.sleep(0.01)
        other.set(1)  # read after the await: not a dependency
        await asyncio.sleep(0.01)
        threading.Thread(target=s.set, args=(2,)).start()
        for _ in range(100):
            if len(runs) == 2:
                break
            await asyncio.sleep(0.01)
        keep.dispose()
        return threading.get_ident()

    loop_thread = asyncio.run(main())
    assert runs == [(1, 0, loop_thread), (2, 1, loop_thread)]
