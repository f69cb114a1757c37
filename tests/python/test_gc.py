"""Cyclic garbage collection: reference cycles through a runtime's engine are collected, and the
collector's view of the engine counts every reference the engine holds exactly once."""
import gc
import sys
import threading
import weakref

import pytest
import velk_concurrent as vc


class Item:
    """An element with value semantics whose identity the engine keeps."""

    def __init__(self, n, payload=None):
        self.n, self.payload = n, payload

    def __hash__(self):
        return hash(self.n)

    def __eq__(self, other):
        return isinstance(other, Item) and other.n == self.n

    def __lt__(self, other):
        return self.n < other.n


def collect():
    """Two passes: the first may only free what keeps deferred releases queued."""
    gc.collect()
    vc.Runtime().node_count()  # drains references queued by threads without the lock
    gc.collect()


# ---- each path through the engine closes a cycle that is collected ----

def query_function(rt, tail):
    q = rt.create_query(lambda ref: (rt, tail))
    rt.get(q)


def observer_callback(rt, tail):
    x = rt.create_input(1)
    rt.observe(x, lambda value: (rt, tail))
    rt.stabilize()


def input_value(rt, tail):
    rt.create_input([rt, tail])


def collection_element(rt, tail):
    c = rt.create_collection()
    c.insert((c, tail))


def map_and_filter_functions(rt, tail):
    c = rt.create_collection()
    c.insert(1)
    m = c.map(lambda x: (x, rt, tail)).filter(lambda x: c is not None)
    rt.get(m.count())


def key_functions(rt, tail):
    c = rt.create_collection()
    c.insert(Item(1))
    made = []
    g = c.group_by(lambda x: (x.n, c, tail)[0])
    s = c.sort_by_key(lambda x: (x.n, made, tail)[0])
    j = c.join(c, lambda x: (x.n, made)[0], lambda x: x.n)
    made += [g, s, j, s.window(2), s.pairwise()]
    c.insert(Item(2))
    for collection in made:
        rt.get(collection.version_node)


def aggregate_and_reduce_functions(rt, tail):
    c = rt.create_collection()
    c.insert(1)
    rt.get(c.aggregate(0, lambda x: (rt, x)[1], lambda a, b: (tail, a + b)[1]))
    rt.get(c.reduce(lambda xs: (c, len(xs))[1]))


def cutoff_equal(rt, tail):
    x = rt.create_input(1)
    rt.set_cutoff(x, lambda old, new: (rt, tail) is None)


CYCLES = [query_function, observer_callback, input_value, collection_element, cutoff_equal,
          map_and_filter_functions, key_functions, aggregate_and_reduce_functions]


@pytest.mark.parametrize("make_cycle", CYCLES)
def test_cycle_through_the_engine_is_collected(make_cycle):
    class Tail:
        pass

    rt, tail = vc.Runtime(), Tail()
    make_cycle(rt, tail)
    runtime, captured = weakref.ref(rt), weakref.ref(tail)
    del rt, tail
    collect()
    assert runtime() is None and captured() is None


def test_collection_objects_are_collected_with_their_runtime():
    rt = vc.Runtime()
    c = rt.create_collection()
    c.insert(Item(1))
    derived = [c, c.group_by(lambda x: x.n), c.sort_by_key(lambda x: x.n), c.map(lambda x: x)]
    derived.append(derived[1].get_group(1))
    c.insert((rt, derived))  # the engine holds every collection object through this element
    refs = [weakref.ref(obj) for obj in [rt, *derived]]
    del rt, c, derived
    collect()
    assert [r() for r in refs] == [None] * len(refs)


def test_dropping_an_acyclic_runtime_still_frees_its_values_at_once():
    gc.disable()
    try:
        rt = vc.Runtime()
        value = Item(1)
        rt.create_input(value)
        held = weakref.ref(value)
        del value, rt
        vc.Runtime().node_count()
        assert held() is None
    finally:
        gc.enable()


# ---- the collector's view: every reference once ----

def test_the_runtime_reports_each_engine_reference_exactly_once():
    """Builds every operator over elements whose reference counts the test knows, then checks
    that the runtime reports each object as often as the engine holds it."""
    items = [Item(n) for n in range(6)]
    functions = {
        "query": lambda ref: items[0], "observer": lambda value: None,
        "map": lambda x: x, "filter": lambda x: x.n % 2 == 0, "group": lambda x: items[x.n % 2],
        "sort": lambda x: x, "left": lambda x: x, "right": lambda x: x,
        "lift": lambda x: x, "combine": lambda a, b: a if b < a else b, "fold": lambda xs: xs[0],
        "equal": lambda old, new: old is new,
    }
    start = {id(obj): sys.getrefcount(obj) for obj in [*items, *functions.values()]}
    f = functions
    rt = vc.Runtime()
    a = rt.create_input(items[1])
    q = rt.create_query(f["query"])
    rt.set_cutoff(q, f["equal"])
    rt.observe(a, f["observer"])
    c = rt.create_collection()
    other = rt.create_collection()
    for n in range(4):
        c.insert(items[n])
    other.insert(items[4])
    mapped = c.map(f["map"]).filter(f["filter"])
    grouped = c.group_by(f["group"])
    ranked = c.sort_by_key(f["sort"])
    windows, pairs = ranked.window(2), ranked.pairwise()
    joined = c.join(other, f["left"], f["right"])
    nodes = [q, mapped.count(), c.aggregate(items[5], f["lift"], f["combine"]),
             c.reduce(f["fold"]), grouped.version_node, windows.version_node,
             pairs.version_node, joined.version_node]
    c.insert(items[4])
    c.delete(items[0])
    for node in nodes:
        rt.get(node)
    rt.stabilize()
    rt.set(a, items[2])
    rt.get(q)
    collect()
    referents = gc.get_referents(rt)
    # Not held by the engine: the list of referents itself, and the tuples and lists the
    # engine made (join and pairwise tuples, windows), which hold items too.
    made = {id(r): r for r in referents if type(r) in (tuple, list)}.values()
    for obj in [*items, *functions.values()]:
        reported = referents.count(obj)
        held = sys.getrefcount(obj) - start[id(obj)] - reported - sum(r.count(obj) for r in made)
        assert reported == held, obj
    assert referents.count(rt) == 0


def test_the_runtime_reports_nothing_from_inside_a_computation(rt):
    value = Item(1)
    a = rt.create_input(value)
    seen = []
    q = rt.create_query(lambda ref: seen.append(gc.get_referents(rt).count(value)) or ref.get(a))
    rt.get(q)
    assert seen == [0] and gc.get_referents(rt).count(value) == 2


def test_collection_objects_report_only_their_runtime(rt):
    c = rt.create_collection()
    c.insert(Item(1))
    objects = [c, c.group_by(lambda x: x.n), c.sort_by_key(lambda x: x.n)]
    for obj in objects:
        assert [r for r in gc.get_referents(obj) if not isinstance(r, type)] == [rt]


# ---- collection next to engine work ----

def test_collect_inside_a_query_function_frees_nothing_the_engine_holds(rt):
    def make_garbage():
        garbage = vc.Runtime()
        garbage.create_input([garbage, Item(2)])
        return weakref.ref(garbage)

    garbage = make_garbage()
    value = Item(1)
    a = rt.create_input(value)

    def compute(ref):
        gc.collect()  # engine scopes are open: no runtime reports anything
        return ref.get(a)

    del value
    assert rt.get(rt.create_query(compute)) == Item(1)
    assert garbage() is not None
    collect()
    assert garbage() is None and rt.get(a) == Item(1)


def test_cycle_used_by_another_thread_is_collected_once_the_thread_stops():
    """
    main:    build cycle ── drop refs ── collect ×N (worker runs) ── stop ── join ── collect
    worker:        ╰── set/get on the cycle's runtime and on its own ────────╯  drops refs
    The runtime survives while the worker uses it, its values stay intact, and it is freed once
    the worker is done.
    """
    def build():
        rt = vc.Runtime()
        x = rt.create_input(0)
        double = rt.create_query(lambda ref: (ref.get(x) * 2, rt)[0])
        c = rt.create_collection()
        return [rt, x, double, c, c.aggregate(0, lambda v: v, lambda p, q: p + q)]

    box = build()
    runtime = weakref.ref(box[0])
    stop, errors = threading.Event(), []

    def work(box):
        rt, x, double, c, total = box
        box.clear()
        own = vc.Runtime()
        y = own.create_input(Item(0))
        n = 0
        try:
            while not stop.is_set() or n < 50:
                n += 1
                rt.set(x, n)
                c.insert(n)
                own.set(y, Item(n))
                if rt.get(double) != 2 * n or own.get(y) != Item(n):
                    errors.append(n)
                if rt.get(total) != n * (n + 1) // 2:
                    errors.append(("total", n))
        except BaseException as exc:  # pragma: no cover - reported below
            errors.append(exc)

    worker = threading.Thread(target=work, args=(box,))
    worker.start()
    for _ in range(30):
        gc.collect()
        assert runtime() is not None
    stop.set()
    worker.join()
    assert errors == []
    collect()
    assert runtime() is None


def test_runtime_and_collections_accept_weak_references(rt):
    c = rt.create_collection()
    for obj in (rt, c, c.group_by(lambda x: x), c.sort_by_key(lambda x: x)):
        assert weakref.ref(obj)() is obj
