"""Signals and computeds on a velk_concurrent runtime, the per-context scope, batches and settling.

A signal is an input node and a computed a query node; reading either is `rt.get(node)`, which
records a dependency when it runs inside a query function, so no tracking of our own is needed.
What the engine does not know lives in context variables (per thread and per asyncio task):
the pending writes of a batch and an untracked read (`_Scope`, which a signal read checks), and
whether an effect is running (where writes leave settling to the running pass). Outside those
scopes, reading a signal or a computed is one context-variable look-up and `rt.get(node)`.
"""
from __future__ import annotations

import functools
import sys
import threading
import weakref
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from contextvars import ContextVar
from typing import Any, Generic, TypeVar

import velk_concurrent as velk

T = TypeVar("T")

MAX_PASSES = 100  # stabilize passes one write may cause before effects count as a loop


def type_name(value: object) -> str:
    """`value`'s type as the engine's messages name it: `int`, `velk_concurrent.NodeId`."""
    cls = type(value)
    module = cls.__module__
    return cls.__qualname__ if module == "builtins" else f"{module}.{cls.__qualname__}"


def check_function(where: str, name: str, value: object, *, or_none: bool = False) -> None:
    """Refuses a non-callable before anything is made, as the engine's methods do."""
    if not callable(value) and not (or_none and value is None):
        expected = "callable or None" if or_none else "callable"
        raise TypeError(f"{where}() argument '{name}' must be {expected}, not {type_name(value)}")


class _Scope:
    """A batch or an untracked call the current context is inside of; replaced whole, only
    `batch` grows (it belongs to this context alone)."""
    __slots__ = ("batch", "ref")

    def __init__(self, batch: dict[Signal[Any], Any] | None, ref: Any = None) -> None:
        self.batch = batch  # pending writes of the outermost batch, by signal
        self.ref = ref  # the RuntimeRef to peek through inside untracked()


_scope: ContextVar[_Scope | None] = ContextVar("velk_signals_scope", default=None)
_current = _scope.get
_in_effect: ContextVar[bool] = ContextVar("velk_signals_in_effect", default=False)
# The RuntimeRef of the innermost computation, for untracked().
_frame: ContextVar[Any] = ContextVar("velk_signals_frame", default=None)


class Hub:
    """Per-runtime state the engine does not keep: how many effects and change streams need
    stabilize() after a write, errors raised by effects, effect nodes to delete. Holds no
    reference to the runtime, so a runtime is freed with its last user."""
    __slots__ = ("lock", "active", "more", "errors", "graveyard", "__weakref__")

    def __init__(self) -> None:
        self.lock = threading.Lock()  # guards active, errors and graveyard
        self.active = 0
        self.more = False  # a write happened inside an effect: the settling loop runs again
        self.errors: list[BaseException] = []
        self.graveyard: list[velk.NodeId[Any]] = []

    def adjust(self, delta: int) -> None:
        with self.lock:
            self.active += delta

    def fail(self, exc: BaseException) -> None:
        with self.lock:
            self.errors.append(exc)

    def bury(self, node: velk.NodeId[Any]) -> None:
        with self.lock:
            self.graveyard.append(node)

    def take(self) -> tuple[list[BaseException], list[velk.NodeId[Any]]]:
        with self.lock:
            errors, self.errors = self.errors, []
            graves, self.graveyard = self.graveyard, []
        return errors, graves


_registry_lock = threading.Lock()
_hubs: weakref.WeakKeyDictionary[velk.Runtime, Hub] = weakref.WeakKeyDictionary()
_default: list[velk.Runtime] = []


def default_runtime() -> velk.Runtime:
    """The runtime signals, computeds and effects use when given none, made on first use."""
    if not _default:
        with _registry_lock:
            if not _default:
                _default.append(velk.Runtime())
    return _default[0]


def hub_of(rt: velk.Runtime) -> Hub:
    with _registry_lock:
        hub = _hubs.get(rt)
        if hub is None:
            hub = _hubs[rt] = Hub()
        return hub


def settle(rt: velk.Runtime, hub: Hub) -> None:
    """Runs stabilize() until no effect wrote during the pass, then raises the first error an
    effect or a watched node raised (the others go to sys.unraisablehook) and deletes disposed
    effects' nodes."""
    token = _in_effect.set(True)  # effects run inside stabilize() on this thread
    try:
        for _ in range(MAX_PASSES):
            hub.more = False
            try:
                rt.stabilize()
            except (KeyboardInterrupt, SystemExit):
                raise
            except BaseException as exc:  # noqa: B036 - a watched node failed; the writes
                hub.fail(exc)  # effects made in the pass still get theirs
            if not hub.more:
                break
        else:
            raise RuntimeError(f"effects kept setting signals for {MAX_PASSES} passes")
    finally:
        _in_effect.reset(token)
    if hub.errors or hub.graveyard:
        raise_effect_errors(rt, hub)


def raise_effect_errors(rt: velk.Runtime, hub: Hub) -> None:
    errors, graves = hub.take()
    for node in graves:
        try:
            rt.delete_node(node)
        except (RuntimeError, ValueError):  # gone already, or busy: try again next time
            if rt.is_alive(node):
                hub.bury(node)
    if errors:
        for extra in errors[1:]:
            _report(extra)
        raise errors[0]


def _report(exc: BaseException) -> None:
    sys.unraisablehook(_Unraisable(exc))  # type: ignore[arg-type]


class _Unraisable:
    def __init__(self, exc: BaseException) -> None:
        self.exc_type, self.exc_value, self.exc_traceback = type(exc), exc, exc.__traceback__
        self.err_msg, self.object = "Exception in a velk_signals effect", None


def _peek(ref: Any, node: velk.NodeId[T]) -> T:
    """`ref.peek(node)`, failing as `rt.get(node)` does: inside a computation the engine raises
    a failure as PanicException, which `except Exception` would not catch; out comes the
    exception it carries, or for a failure of the engine's own RuntimeError with its message,
    chained to the exception a failed node's compute raised."""
    try:
        return ref.peek(node)  # type: ignore[no-any-return]
    except BaseException as exc:  # noqa: B036 - only PanicException is replaced
        kind = type(exc)
        if (kind.__module__, kind.__qualname__) != ("velk_concurrent", "PanicException"):
            raise
        message, cause = str(exc), exc.__cause__
    if cause is not None and not message.startswith("velk-core:"):
        raise cause  # outside the handler: the shared exception takes no PanicException context
    raise RuntimeError(message) from cause


class _Readable(Generic[T]):
    """What signals and computeds share: their node, its runtime, and an untracked read."""
    __slots__ = ()
    _rt: velk.Runtime
    _node: velk.NodeId[T]

    def __call__(self) -> T:
        raise NotImplementedError

    def peek(self) -> T:
        """The value, read without becoming a dependency of the running computation."""
        return untracked(self)

    @property
    def runtime(self) -> velk.Runtime:
        return self._rt

    @property
    def node(self) -> velk.NodeId[T]:
        return self._node


class Signal(_Readable[T]):
    """A value that can be set; computeds and effects that read it follow its changes."""
    __slots__ = ("_rt", "_hub", "_node", "_get", "_lock", "__weakref__")

    def __init__(self, value: T, *, equal: Callable[[T, T], bool] | None = None,
                 runtime: velk.Runtime | None = None) -> None:
        check_function("Signal", "equal", equal, or_none=True)
        rt = default_runtime() if runtime is None else runtime
        node = rt.create_input(value)
        self._rt, self._hub, self._node = rt, hub_of(rt), node
        self._get: Callable[[], T] = functools.partial(rt.get, node)
        self._lock = threading.Lock()  # makes update() a read-modify-write
        if equal is not None:
            rt.set_cutoff(node, equal)  # the engine's set and set_many then ask it, not ==

    def __call__(self) -> T:
        if _current() is None:
            return self._get()
        return self._read_in_scope()

    def _read_in_scope(self) -> T:
        scope = _current()
        assert scope is not None
        if scope.batch is not None and self in scope.batch:
            return scope.batch[self]  # type: ignore[no-any-return]
        if scope.ref is not None:
            return _peek(scope.ref, self._node)
        return self._get()

    def set(self, value: T) -> None:
        """Sets the value; effects it reaches have run when this returns (at the end of the
        outermost batch inside one)."""
        scope = _current()
        if scope is not None and scope.batch is not None:
            self._stage(scope.batch, value)
        elif self._store(value):
            self._written()

    def update(self, fn: Callable[[T], T]) -> None:
        """Sets `fn(current value)`; concurrent updates of one signal each see the last."""
        scope = _current()
        if scope is not None and scope.batch is not None:
            self._stage(scope.batch, fn(self()))
            return
        with self._lock:
            changed = self._store(fn(self._get()))
        if changed:
            self._written()

    def _stage(self, batch: dict[Signal[Any], Any], value: T) -> None:
        batch[self] = value  # set_many compares it at the exit, with the signal's own equal

    def _store(self, value: T) -> bool:
        self._rt.set(self._node, value)
        return True

    def _written(self) -> None:
        if _in_effect.get():
            self._hub.more = True
        elif self._hub.active:
            settle(self._rt, self._hub)

    def __repr__(self) -> str:
        return f"Signal({self._get()!r})"


class Computed(_Readable[T], functools.partial[T]):
    """A value derived by `fn()` from the signals and computeds it reads, recomputed when read
    after one of them changed; `equal(old, new)` true keeps the old value (and stops the
    change there)."""
    _rt: velk.Runtime
    _hub: Hub
    _node: velk.NodeId[T]

    def __new__(cls, fn: Callable[[], T], *, equal: Callable[[T, T], bool] | None = None,
                runtime: velk.Runtime | None = None) -> Computed[T]:
        check_function("Computed", "fn", fn)
        check_function("Computed", "equal", equal, or_none=True)
        rt = default_runtime() if runtime is None else runtime
        node = rt.create_query(_computation(fn))
        if equal is not None:
            rt.set_cutoff(node, equal)
        self = super().__new__(cls, rt.get, node)
        self._rt, self._hub, self._node = rt, hub_of(rt), node
        return self

    def __call__(self) -> T:  # untracked() must reach computed reads too
        scope = _current()
        if scope is None or scope.ref is None:
            return self._rt.get(self._node)
        return _peek(scope.ref, self._node)

    def __repr__(self) -> str:
        return f"Computed(node={self._node.id})"


def _computation(fn: Callable[[], T]) -> Callable[[velk.RuntimeRef], T]:
    """The query function of a computed: runs fn outside any batch or untracked scope of the
    reading context, so a stored value never depends on a batch's pending writes."""
    def body(ref: velk.RuntimeRef) -> T:
        token = _frame.set(ref)
        try:
            return fn()
        finally:
            _frame.reset(token)

    def compute(ref: velk.RuntimeRef) -> T:
        if _current() is not None:
            token = _scope.set(None)
            try:
                return body(ref)
            finally:
                _scope.reset(token)
        return body(ref)

    return compute


@contextmanager
def batch() -> Iterator[None]:
    """Writes inside land together, through one set_many per runtime, when the outermost batch
    exits; reads of a written signal inside see its pending value; effects run once, at that
    exit. An exception leaving the outermost batch discards its writes."""
    outer = _current()
    if outer is not None and outer.batch is not None:
        yield
        return
    pending: dict[Signal[Any], Any] = {}
    token = _scope.set(_Scope(pending, outer.ref if outer is not None else None))
    try:
        yield
    finally:
        _scope.reset(token)
    by_runtime: dict[velk.Runtime, list[Signal[Any]]] = {}
    for signal in pending:
        by_runtime.setdefault(signal._rt, []).append(signal)
    for rt, signals in by_runtime.items():
        rt.set_many([(s._node, pending[s]) for s in signals])
    for signals in by_runtime.values():
        signals[0]._written()


def untracked(fn: Callable[[], T]) -> T:
    """`fn()` with its reads not recorded as dependencies of the running computation."""
    ref = _frame.get()
    if ref is None:
        return fn()
    outer = _current()
    token = _scope.set(_Scope(outer.batch if outer is not None else None, ref))
    try:
        return fn()
    finally:
        _scope.reset(token)
