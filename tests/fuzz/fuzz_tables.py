"""Values and callables the API fuzzer feeds to velk_concurrent, each picked by the input bytes.

Every table entry is chosen to reach an unusual path: values whose comparison or hashing
raises, NaN (never equal to itself), unhashable and huge objects, and callables that raise,
re-enter the runtime or return such values.
"""
import math


class RaisingEq:
    """Equality raises: the engine must treat it as unequal, not propagate or crash."""

    def __eq__(self, other):
        raise ValueError("eq")

    __hash__ = object.__hash__


class RaisingHash:
    def __hash__(self):
        raise ValueError("hash")

    def __eq__(self, other):
        return isinstance(other, RaisingHash)


class RaisingOrder:
    """Sort keys whose ordering raises."""

    def __lt__(self, other):
        raise ValueError("lt")

    __gt__ = __le__ = __ge__ = __lt__
    __hash__ = object.__hash__


class RaisingBool:
    def __bool__(self):
        raise ValueError("bool")


class Reentrant:
    """Equality, hashing and ordering call back into the runtime, the first few times only:
    a stored element is hashed again at every rehash, and a hash that inserts would make each
    insert cost exponentially many."""

    def __init__(self, call, expected):
        self.call, self.expected, self.budget = call, expected, 3

    def _reenter(self):
        if self.budget == 0:
            return
        self.budget -= 1
        try:
            self.call()
        except self.expected:  # only the re-entry itself matters
            pass

    def __eq__(self, other):
        self._reenter()
        return self is other

    def __lt__(self, other):
        self._reenter()
        return id(self) < id(other)

    def __hash__(self):
        self._reenter()
        return id(self) >> 4


def make_value(fdp, objects):
    """One Python value; `objects` holds engine objects (handles, collections) to mix in."""
    kind = fdp.ConsumeIntInRange(0, 15)
    if kind == 0:
        return fdp.ConsumeIntInRange(-3, 3)
    if kind == 1:
        return fdp.ConsumeInt(fdp.ConsumeIntInRange(1, 40))  # up to 320-bit, either sign
    if kind == 2:
        return fdp.PickValueInList([math.nan, math.inf, -0.0, 1e308, 0.5])
    if kind == 3:
        return fdp.ConsumeUnicodeNoSurrogates(fdp.ConsumeIntInRange(0, 6))
    if kind == 4:
        return fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 4))
    if kind == 5:
        return None
    if kind == 6:
        return fdp.ConsumeBool()
    if kind == 7:
        return (fdp.ConsumeIntInRange(0, 3), fdp.ConsumeUnicodeNoSurrogates(1))
    if kind == 8:
        return [fdp.ConsumeIntInRange(0, 3)]  # unhashable
    if kind == 9:
        return {fdp.ConsumeIntInRange(0, 3): None}
    if kind == 10:
        return RaisingEq()
    if kind == 11:
        return RaisingHash()
    if kind == 12:
        return RaisingOrder()
    if kind == 13 and objects:
        return objects[fdp.ConsumeIntInRange(0, len(objects) - 1)]
    if kind == 14:
        return 10 ** fdp.ConsumeIntInRange(0, 400) * (-1) ** fdp.ConsumeIntInRange(0, 1)
    return fdp.ConsumeIntInRange(0, 1000)


def _raise(*_):
    raise ValueError("callback raised")


# Functions of one element: map functions, filter predicates, key functions, aggregate lifts.
UNARY = [
    lambda x: x,
    lambda x: x * 2,
    lambda x: repr(x)[:8],
    _raise,
    lambda x: [x],
    lambda x: math.nan,
    lambda x: None,
    lambda x: RaisingEq(),
    lambda x: RaisingOrder(),
    lambda x: RaisingBool(),
    lambda x: hash(x) % 3,
    lambda x: (x, x),
    lambda x: 10 ** 50,
    lambda x: type(x).__name__,
]

# Binary combine functions for aggregate.
BINARY = [
    lambda a, b: a + b,
    lambda a, b: a,
    _raise,
    lambda a, b: [a, b],
    lambda a, b: max(a, b),
    lambda a, b: math.nan,
]

# Fold functions for reduce: they receive the whole collection as a list.
FOLD = [len, sum, _raise, sorted, lambda xs: list(xs), lambda xs: {"n": len(xs)}]
