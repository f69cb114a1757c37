"""A pure-Python reference model of the engine's observable behaviour.

The scalar part (inputs, queries, observers, deletion) follows the engine's revision rules
step by step, so that it predicts not only values and errors but also which query functions
run on each read. The collection part predicts every operator's output from the current
contents of the root collections, as a from-scratch recomputation would.

Query bodies are `Program`s: the same deterministic code runs against the real runtime (reading
through `ref.get`) and against the model (reading through `Model.read`).
"""
import math

NEW, DIRTY, CLEAN, FAILED, DELETED = "new", "dirty", "clean", "failed", "deleted"
EMPTY = object()  # the value cell of a query that never completed a compute


class Boom(Exception):
    """What raising query programs raise."""


class ModelFailure(Exception):
    """A failure the model predicts; `matches` tells whether a real exception agrees."""


class PyFailure(ModelFailure):
    def __init__(self, exc):
        super().__init__(exc)
        self.exc = exc

    def matches(self, actual):
        return type(actual) is type(self.exc) and actual.args == self.exc.args


class EngineFailure(ModelFailure):
    """An engine message; `pattern` is a regular expression for what generations print."""

    def __init__(self, pattern):
        super().__init__(pattern)
        self.pattern = pattern

    def matches(self, actual):
        import re
        return type(actual) is RuntimeError and re.fullmatch(self.pattern, str(actual))


class ReadFailure(EngineFailure):
    """A read that met a deleted node: the computes it passes back through are left new."""


def stale_pattern(slot):
    return (rf"velk-core: stale Velk<velk_concurrent::PyValue> handle: the node at slot {slot} "
            r"was deleted \(handle generation \d+, slot generation \d+\)")


def failed_pattern(slot):
    return (rf"velk-core: node {slot} read but its last compute panicked; it stays Failed until "
            r"a dependency changes \(set an upstream input to retry\)")


def kind(value):
    """A classification that equal values share (1, 1.0 and True are all numbers)."""
    if isinstance(value, (bool, int, float)):
        return "num"
    return {str: "str", tuple: "tup", list: "list"}.get(type(value), "other")


def same(a, b):
    """Equality for comparing results: NaN objects are only equal to themselves."""
    return a is b or bool(a == b)


def same_multiset(left, right):
    rest = list(right)
    for x in left:
        for i, y in enumerate(rest):
            if same(x, y):
                del rest[i]
                break
        else:
            return False
    return not rest


class Program:
    """The body of a query: `mode` over the nodes named by `reads` (model keys)."""
    MODES = ("tuple", "kind", "branch", "raise")

    def __init__(self, mode, reads):
        self.mode, self.reads = mode, list(reads)

    def may_raise(self):
        return self.mode == "raise"

    def run(self, read):
        first = read(self.reads[0])
        if self.mode == "tuple":
            return (first,) + tuple(read(k) for k in self.reads[1:])
        if self.mode == "kind":
            return ("kind", kind(first))
        if self.mode == "branch":
            other = self.reads[min(1, len(self.reads) - 1)] if bool(first) else self.reads[-1]
            return ("branch", read(other))
        if kind(first) == "str":
            raise Boom("string input", first)
        return ("ok", kind(first))

    def __repr__(self):
        return f"Program({self.mode!r}, {self.reads!r})"


class Node:
    def __init__(self, slot, value=EMPTY, program=None, revision=0):
        self.slot, self.program = slot, program
        self.state = CLEAN if program is None else NEW
        self.value, self.version = value, 0  # version counts stored changes
        self.verified_at = self.changed_at = revision
        self.deps = []


class Frame:
    def __init__(self):
        self.deps, self.tainted = [], False


class Model:
    def __init__(self):
        self.revision = 1
        self.nodes = {}      # key -> Node
        self.observers = {}  # observer key -> [node key, last_fired]
        self.frames = []
        self.deferred = []   # (key, failure) met by the walks in progress, see ensure_clean
        self.calls = {}      # query key -> predicted function calls since the last take
        self.fired = []      # (observer key, value) predicted since the last take

    # --- creation and sets ---------------------------------------------------------------
    def create_input(self, key, slot, value):
        self.nodes[key] = Node(slot, value, revision=self.revision)

    def create_query(self, key, slot, program):
        self.nodes[key] = Node(slot, program=program)

    def set(self, key, value):
        node = self.live(key)
        if bool(node.value == value):
            return  # an equal value changes nothing, and the old object stays
        node.value, node.version = value, node.version + 1
        self.revision += 1
        node.changed_at = node.verified_at = self.revision
        self.invalidate(key)

    def set_many(self, pairs):
        last = {}
        for key, value in pairs:
            self.live(key)  # every refusal comes before anything is written
            last[key] = value  # a node given twice takes its last value
        changed = [(k, v) for k, v in last.items() if not bool(self.nodes[k].value == v)]
        if not changed:
            return
        self.revision += 1  # one revision for the whole batch
        for key, value in changed:
            node = self.nodes[key]
            node.value, node.version = value, node.version + 1
            node.changed_at = node.verified_at = self.revision
        for key, _ in changed:
            self.invalidate(key)

    def invalidate(self, source):
        work = self.dependents(source)
        while work:
            key = work.pop()
            node = self.nodes[key]
            if node.state in (DIRTY, DELETED):
                continue
            if node.state == CLEAN:
                node.state = DIRTY
            elif node.state == FAILED:
                node.state = NEW  # computed again, never compared with its value from before
            work.extend(self.dependents(key))

    def dependents(self, key):
        return [k for k, n in self.nodes.items() if n.state != DELETED and key in n.deps]

    def live(self, key):
        node = self.nodes[key]
        if node.state == DELETED:
            raise ReadFailure(stale_pattern(node.slot))
        return node

    # --- reads -----------------------------------------------------------------------------
    def get(self, key):
        """Value of a top-level read, or raises the ModelFailure the engine should raise."""
        self.frames.clear()
        return self.read(key)

    def read(self, key):
        node = self.live(key)
        if self.frames:
            self.frames[-1].deps.append(key)
        self.ensure_clean(key)
        return node.value

    def ensure_clean(self, root):
        """The engine's iterative walk: dependencies first, the last recorded one first."""
        if self.nodes[root].state == CLEAN:
            return
        mark = len(self.deferred)
        try:
            self.walk(root)
        finally:
            del self.deferred[mark:]

    def walk(self, root):
        stack = [(root, False)]
        while stack:
            key, expanded = stack.pop()
            node = self.nodes[key]
            if not expanded:
                if node.state == CLEAN:
                    continue
                stack.append((key, True))
                # A Failed dependency is left for the recompute that reads it again.
                stack.extend((d, False) for d in node.deps
                             if self.nodes[d].state not in (CLEAN, FAILED))
            elif node.state == FAILED:
                # The failure a walk met for this node, else the engine's own message.
                met = [f for k, f in self.deferred if k == key]
                raise met[-1] if met else EngineFailure(failed_pattern(node.slot))
            elif node.state in (NEW, DIRTY):
                try:
                    self.settle(key, node)
                except ModelFailure as failure:
                    # A dependency that fails while its reader is verified counts as changed:
                    # the reader runs and meets the failure through its own read.
                    if key == root:
                        raise
                    if isinstance(failure, ReadFailure) and node.state == NEW:
                        # Met by a read outside any compute: the rest of the plan is left to the
                        # root's own reads, which meet it where its function may handle it.
                        if self.frames:
                            raise
                        stack = [(root, True)]
                        continue
                    if node.state != FAILED:
                        raise
                    self.deferred.append((key, failure))

    def settle(self, key, node):
        was_dirty, start = node.state == DIRTY, self.revision
        if was_dirty and not any(self.nodes[d].state != CLEAN or self.nodes[d].changed_at >
                                 node.verified_at for d in node.deps):
            node.verified_at = max(node.verified_at, start)
            node.state = CLEAN
            return
        self.calls[key] = self.calls.get(key, 0) + 1
        self.frames.append(Frame())
        try:
            value = node.program.run(self.read)
        except Exception as exc:
            frame = self.frames.pop()
            stale = self.commit(node, frame.deps, merge=True, start=start)
            node.state = NEW if stale or isinstance(exc, ReadFailure) else FAILED
            self.taint_top()
            if isinstance(exc, ModelFailure):
                raise
            raise PyFailure(exc) from None
        frame = self.frames.pop()
        stale = self.commit(node, frame.deps, merge=False, start=start)
        changed = not was_dirty or node.value is EMPTY or not bool(value == node.value)
        if changed:
            node.value, node.version = value, node.version + 1
            node.changed_at = max(node.changed_at, start)
        node.verified_at = max(node.verified_at, start)
        node.state = DIRTY if stale or frame.tainted else CLEAN
        if node.state == DIRTY:
            self.taint_top()

    def taint_top(self):
        if self.frames:
            self.frames[-1].tainted = True

    def commit(self, node, recorded, merge, start):
        """Stores the new dependency list; returns whether a new dependency was not settled."""
        old = list(node.deps)
        if merge:
            new = list(old)
            for k in recorded:
                if k not in new:
                    new.append(k)
        else:
            new = list(recorded)
        stale = False
        for k in new:
            if k in old:
                continue
            dep = self.nodes[k]
            if merge and dep.state == FAILED:
                continue
            if dep.state != CLEAN or dep.changed_at > start:
                stale = True
                break
        node.deps = new
        return stale

    # --- observers -------------------------------------------------------------------------
    def observe(self, okey, key):
        node = self.live(key)
        last = 0 if node.state == NEW else min(node.changed_at, self.revision)
        self.observers[okey] = [key, last]

    def unobserve(self, okey):
        self.observers.pop(okey, None)

    def may_fail(self, key, seen=None):
        """Whether reading the node could fail, whatever the inputs hold."""
        node = self.nodes[key]
        if node.state == DELETED:
            return True
        if node.program is None:
            return False
        seen = set() if seen is None else seen
        if key in seen:
            return False
        seen.add(key)
        return node.program.may_raise() or any(self.may_fail(k, seen) for k in node.program.reads)

    def stabilize(self):
        """Only called when no observed node may fail, so the pass order does not matter."""
        for okey, entry in list(self.observers.items()):
            key, last = entry
            self.frames.clear()
            self.ensure_clean(key)
            node = self.nodes[key]
            seen = min(node.changed_at, self.revision)
            if last < seen:
                self.fired.append((okey, node.value))
                entry[1] = seen

    # --- deletion --------------------------------------------------------------------------
    def delete_node(self, key):
        node = self.live(key)
        if self.dependents(key):
            raise EngineFailure(rf"velk-core: delete_node on node {node.slot} which still has "
                                r"dependents; delete downstream nodes first")
        self.retire(key)

    def delete_with_dependents(self, key):
        if self.nodes[key].state == DELETED:
            return 0
        doomed, work = [], [key]
        while work:
            k = work.pop()
            if k not in doomed:
                doomed.append(k)
                work.extend(self.dependents(k))
        for k in doomed:
            self.retire(k)
        return len(doomed)

    def retire(self, key):
        node = self.nodes[key]
        node.state, node.deps = DELETED, []
        for okey in [o for o, (k, _) in self.observers.items() if k == key]:
            del self.observers[okey]

    def take_calls(self):
        calls, self.calls = self.calls, {}
        return calls

    def take_fired(self):
        fired, self.fired = self.fired, []
        return fired


# --- collections ------------------------------------------------------------------------------

def lift(x):
    return x if kind(x) == "num" and not (isinstance(x, float) and math.isnan(x)) else 0


class CollectionModel:
    """Two root multisets and the expected output of every operator built over them."""

    def __init__(self):
        self.left, self.right = [], []
        self.sorted = []  # the left collection in key order, ties in arrival order

    def insert(self, side, value):
        (self.left if side == "left" else self.right).append(value)
        if side == "left":
            self.sorted.insert(self._upper_bound(kind(value)), value)

    def _upper_bound(self, k):
        return sum(1 for x in self.sorted if kind(x) <= k)

    def delete(self, side, value):
        items = self.left if side == "left" else self.right
        for i, x in enumerate(items):
            if same(x, value):  # the very object, or an equal one
                del items[i]
                break
        else:
            return False
        if side == "left":
            for i, x in enumerate(self.sorted):
                if kind(x) == kind(value) and same(x, value):
                    del self.sorted[i]
                    break
        return True

    def expected(self):
        left, ordered = self.left, self.sorted
        return {
            "map": [("m", kind(x), x) for x in left],
            "filter": [x for x in left if kind(x) != "str"],
            "join": [(l, r) for l in left for r in self.right if kind(l) == kind(r)],
            "window": [list(ordered[i:i + 2]) for i in range(len(ordered) - 1)],
            "pairwise": [(ordered[i], ordered[i + 1]) for i in range(len(ordered) - 1)],
        }

    def group_keys(self, held):
        """The keys with a group: those with elements, and the `held` ones, whose groups
        something was built on and which stay when empty."""
        return {kind(x) for x in self.left} | set(held)

    def group(self, key):
        return [x for x in self.left if kind(x) == key]
