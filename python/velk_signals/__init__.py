"""Signals, computeds and effects on a velk_concurrent runtime.

    from velk_signals import Signal, Computed, Effect, batch

    price, qty = Signal(3), Signal(2)
    total = Computed(lambda: price() * qty())
    log = Effect(lambda: print("total", total()))   # prints "total 6"
    with batch():
        price.set(4)
        qty.set(5)                                     # prints "total 20" once, at the exit

Reads are tracked by the engine itself (a read inside a computation is a dependency), writes
are `Runtime.set` / `Runtime.set_many`, and effects run from `Runtime.stabilize`. Everything
is safe to use from many threads. See the README's "Signals" section.
"""
from __future__ import annotations

from collections.abc import Callable
from typing import Any, TypeVar, overload

import velk_concurrent as velk

from ._aio import Changes, changes, next_change
from ._core import Computed, Signal, batch, default_runtime, untracked
from ._effects import Effect, effect

T = TypeVar("T")

__all__ = ["Signal", "Computed", "Effect", "Changes", "batch", "untracked", "computed", "effect",
           "changes", "next_change", "default_runtime"]


@overload
def computed(fn: Callable[[], T], /) -> Computed[T]: ...
@overload
def computed(*, equal: Callable[[Any, Any], bool] | None = None,
             runtime: velk.Runtime | None = None) -> Callable[[Callable[[], T]], Computed[T]]: ...


def computed(fn: Callable[[], T] | None = None, /, *,
             equal: Callable[[Any, Any], bool] | None = None,
             runtime: velk.Runtime | None = None) -> Any:
    """Decorator: `@computed` or `@computed(equal=..., runtime=rt)` makes a Computed."""
    if fn is None:
        return lambda f: Computed(f, equal=equal, runtime=runtime)
    return Computed(fn, equal=equal, runtime=runtime)
