"""Effects: a query node that runs the effect's function and returns None, kept up to date by
an observer, so every stabilize() re-runs the effects whose reads changed.

The engine holds the query function, which reaches its Effect only through a weak reference:
an effect nobody keeps is disposed when it is collected. Its node is deleted at the next settle
(a delete from inside the collector could land in the middle of a computation).
"""
from __future__ import annotations

import asyncio
import functools
import inspect
import weakref
from collections.abc import Awaitable, Callable, Generator
from typing import Any, Union

import velk_concurrent as velk

from ._core import _frame, _in_effect, _scope, check_function, default_runtime, hub_of, \
    raise_effect_errors, settle

Cleanup = Callable[[], object]
EffectFn = Union[Callable[[], Union[Cleanup, None, object]],
                 Callable[[], Awaitable[Union[Cleanup, None, object]]]]


def _ignore(value: object) -> None:
    pass


class Effect:
    """Runs `fn()` now and again after every change that reaches what it read, before the
    `set` or outermost `batch` that caused it returns. A callable fn returns is a cleanup,
    called before the next run and on dispose. A coroutine function runs as a task on the
    event loop running at creation (see the README)."""
    __slots__ = ("_rt", "_hub", "_fn", "_cleanup", "_live", "_node", "_observer", "_loop",
                 "_task", "_kick", "__weakref__")

    def __init__(self, fn: EffectFn, *, runtime: velk.Runtime | None = None) -> None:
        self._live = False
        check_function("Effect", "fn", fn)
        rt = default_runtime() if runtime is None else runtime
        self._rt, self._hub, self._fn = rt, hub_of(rt), fn
        self._cleanup: Cleanup | None = None
        self._loop: asyncio.AbstractEventLoop | None = None
        self._task: asyncio.Task[None] | None = None
        if inspect.iscoroutinefunction(fn):
            self._loop = asyncio.get_running_loop()
            self._kick = rt.create_input(0)  # set to re-run the effect on the loop's thread
        me = weakref.ref(self)

        def run(ref: velk.RuntimeRef) -> None:
            effect = me()
            if effect is None or not effect._live:
                return
            if effect._cleanup is not None or effect._loop is not None:
                effect._run(ref)
                return
            token = _frame.set(ref)  # the common run, inlined: nothing to clean up
            try:
                result = effect._fn()
            except Exception as exc:
                effect._hub.fail(exc)
                return
            finally:
                _frame.reset(token)
            if result is not None:
                effect._keep(result)

        self._node = rt.create_query(run)
        self._observer: velk.ObserverId | None = None
        self._live = True
        token, outside = _in_effect.set(True), _scope.set(None)  # no batch's pending values
        try:
            rt.get(self._node)  # the first run
        finally:
            _scope.reset(outside)
            _in_effect.reset(token)
        self._observer = rt.observe(self._node, _ignore)
        self._hub.adjust(1)
        if self._hub.more:
            settle(rt, self._hub)
        elif self._hub.errors or self._hub.graveyard:
            raise_effect_errors(rt, self._hub)

    def dispose(self) -> None:
        """Stops the effect and calls its cleanup; later calls do nothing."""
        with self._hub.lock:
            if not self._live:
                return
            self._live = False
            if self._observer is not None:
                self._hub.active -= 1
        if self._observer is not None:
            self._rt.unobserve(self._observer)
        self._hub.bury(self._node)
        if self._loop is not None:
            self._hub.bury(self._kick)
            self._call_on_loop(self._cancel_task)
        self._call_cleanup()

    def __del__(self) -> None:
        if self._live:
            self.dispose()

    def _run(self, ref: velk.RuntimeRef) -> None:
        frame = _frame.set(ref)
        try:
            if self._loop is not None:
                self._run_coroutine()
                return
            if self._cleanup is not None:
                self._call_cleanup()
            result = self._fn()
            if result is not None:
                self._keep(result)
        except Exception as exc:  # raised by the set or batch that settles this pass
            self._hub.fail(exc)
        finally:
            if frame is not None:
                _frame.reset(frame)

    def _keep(self, result: object) -> None:
        self._cleanup = result if callable(result) else None

    def _call_cleanup(self) -> None:
        cleanup, self._cleanup = self._cleanup, None
        if cleanup is not None:
            cleanup()

    # Coroutine effects. The run advances the coroutine to its first suspension inside the
    # effect's query function, so the reads before its first await are the dependencies, and
    # hands the rest to a task. That first step must run on the loop's thread (it may make
    # futures of the loop): from any other thread the run only sets the effect's private
    # input from the loop, whose settle then runs the effect there.

    def _run_coroutine(self) -> None:
        assert self._loop is not None
        self._rt.get(self._kick)
        if not _on_loop(self._loop):
            self._call_on_loop(self._kick_on_loop)
            return
        self._cancel_task()
        self._call_cleanup()
        coro = self._fn()
        try:
            first = coro.send(None)  # type: ignore[attr-defined]
        except StopIteration as done:
            self._keep(done.value)
            return
        self._task = self._loop.create_task(self._finish(_Resumed(coro, first)))

    def _kick_on_loop(self) -> None:
        if self._live:
            self._rt.set(self._kick, self._rt.get(self._kick) + 1)
            settle(self._rt, self._hub)

    async def _finish(self, rest: _Resumed) -> None:
        _in_effect.set(False)  # the task's own context, copied inside the effect's run
        _frame.set(None)
        try:
            self._keep(await rest)
        except Exception as exc:
            assert self._loop is not None
            self._loop.call_exception_handler(
                {"message": "velk_signals coroutine effect failed", "exception": exc})

    def _call_on_loop(self, fn: Callable[[], None]) -> None:
        assert self._loop is not None
        try:
            self._loop.call_soon_threadsafe(fn)
        except RuntimeError:  # the loop is closed: nothing runs there any more
            pass

    def _cancel_task(self) -> None:
        if self._task is not None and not self._task.done():
            self._task.cancel()


def _on_loop(loop: asyncio.AbstractEventLoop) -> bool:
    try:
        return asyncio.get_running_loop() is loop
    except RuntimeError:
        return False


class _Resumed:
    """Awaiting it continues a coroutine already advanced to its first suspension: it passes
    what the coroutine yields to the task and what the task sends or throws back, as
    `await coro` would have."""
    __slots__ = ("_coro", "_yielded")

    def __init__(self, coro: Any, yielded: object) -> None:
        self._coro, self._yielded = coro, yielded

    def __await__(self) -> Generator[Any, Any, Any]:
        coro, yielded = self._coro, self._yielded
        while True:
            try:
                sent = yield yielded
            except GeneratorExit:
                coro.close()
                raise
            except BaseException as exc:  # noqa: B036 - thrown in by the task, passed on
                step = functools.partial(coro.throw, exc)
            else:
                step = functools.partial(coro.send, sent)
            try:
                yielded = step()
            except StopIteration as done:
                return done.value


def effect(fn: EffectFn | None = None, *, runtime: velk.Runtime | None = None) -> Any:
    """Decorator: `@effect` or `@effect(runtime=rt)` replaces the function with its Effect."""
    if fn is None:
        return lambda f: Effect(f, runtime=runtime)
    return Effect(fn, runtime=runtime)
