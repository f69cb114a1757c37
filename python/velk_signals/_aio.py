"""Changes of a signal or computed as an asyncio stream.

An observer on the node hands each new value to the iterating loop with
call_soon_threadsafe (the set that caused it may run on any thread); the stream keeps only the
latest undelivered value, so a slow reader skips values but never goes back.
"""
from __future__ import annotations

import asyncio
import weakref
from collections.abc import AsyncIterator
from typing import Any, TypeVar, Union

from ._core import Computed, Signal

T = TypeVar("T")
_NOTHING: Any = object()
Source = Union[Signal[T], Computed[T]]


class Changes(AsyncIterator[T]):
    """`async for value in changes(x)`: each later change of x once, as its latest value.
    Made inside a running event loop; ends when closed (`aclose`, a cancelled wait, or
    garbage collection), which removes its observer."""

    def __init__(self, source: Source[T]) -> None:
        self._loop = asyncio.get_running_loop()
        self._source, self._latest = source, _NOTHING
        self._waiter: asyncio.Future[None] | None = None
        self._open = True
        rt, node = source.runtime, source.node
        rt.get(node)  # the value now is the baseline, not a change
        me, loop = weakref.ref(self), self._loop

        def changed(value: T) -> None:
            try:
                loop.call_soon_threadsafe(_deliver, me, value)
            except RuntimeError:  # the loop is closed
                pass

        self._observer = rt.observe(node, changed)
        source._hub.adjust(1)

    def __aiter__(self) -> Changes[T]:
        return self

    async def __anext__(self) -> T:
        while self._latest is _NOTHING:
            if not self._open:
                raise StopAsyncIteration
            self._waiter = self._loop.create_future()
            try:
                await self._waiter
            except asyncio.CancelledError:
                self.close()
                raise
            finally:
                self._waiter = None
        value, self._latest = self._latest, _NOTHING
        return value  # type: ignore[no-any-return]

    def _put(self, value: T) -> None:
        if self._open:
            self._latest = value
            self._wake()

    def _wake(self) -> None:
        if self._waiter is not None and not self._waiter.done():
            self._waiter.set_result(None)

    def close(self) -> None:
        """Removes the observer; a waiting `__anext__` then ends the iteration."""
        if self._open:
            self._open = False
            self._source.runtime.unobserve(self._observer)
            self._source._hub.adjust(-1)
            if not self._loop.is_closed():
                self._loop.call_soon_threadsafe(self._wake)

    async def aclose(self) -> None:
        self.close()

    def __del__(self) -> None:
        if getattr(self, "_open", False):
            self.close()


def _deliver(stream: weakref.ref[Changes[Any]], value: object) -> None:
    target = stream()
    if target is not None:
        target._put(value)


def changes(source: Source[T]) -> Changes[T]:
    """The changes of a signal or computed after this call, delivered to the running loop."""
    return Changes(source)


async def next_change(source: Source[T]) -> T:
    """The value of the next change of a signal or computed."""
    stream = Changes(source)
    try:
        return await stream.__anext__()
    finally:
        stream.close()
