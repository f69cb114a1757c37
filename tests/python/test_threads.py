"""Concurrent readers and writers. Joins are bounded only to turn a deadlock into a failure."""
import gc
import random
import threading
import time

JOIN_TIMEOUT = 60


def run_threads(targets):
    errors = []

    def guarded(target):
        try:
            target()
        except BaseException as exc:  # PanicException included
            errors.append(exc)

    threads = [threading.Thread(target=guarded, args=(t,), daemon=True) for t in targets]
    for t in threads:
        t.start()
    deadline = time.monotonic() + JOIN_TIMEOUT
    for t in threads:
        t.join(timeout=max(0.0, deadline - time.monotonic()))
    assert not any(t.is_alive() for t in threads), "deadlock"
    assert errors == []


def test_concurrent_readers_of_a_dirty_query_share_one_compute(rt):
    calls = []
    a = rt.create_input(0)
    q = rt.create_query(lambda ref: (calls.append(1), time.sleep(0.05), [ref.get(a)])[-1])
    rt.get(q)
    rt.set(a, 3)
    barrier = threading.Barrier(8)
    results = [None] * 8

    def reader(i):
        barrier.wait(timeout=JOIN_TIMEOUT)
        results[i] = rt.get(q)

    run_threads([lambda i=i: reader(i) for i in range(8)])
    assert len(calls) == 2 and results[0] == [3]
    assert all(r is results[0] for r in results)


def test_writers_and_readers_end_consistent(rt):
    width = 6
    inputs = [rt.create_input(0) for _ in range(width)]
    pairs = [rt.create_query(lambda ref, i=i: ref.get(inputs[i]) + ref.get(inputs[(i + 1) % width]))
             for i in range(width)]
    total = rt.create_query(lambda ref: sum(ref.get(p) for p in pairs))
    slow_max = rt.create_query(lambda ref: (time.sleep(0.001), max(map(ref.get, pairs)))[1])

    def writer(seed):
        rng = random.Random(seed)
        for _ in range(300):
            rt.set(inputs[rng.choice([seed, seed + 3])], rng.randrange(100))

    def reader(seed):
        rng = random.Random(seed)
        for _ in range(200):
            rt.get(rng.choice([total, slow_max, *pairs]))

    run_threads([lambda k=k: writer(k) for k in range(3)] +
                [lambda k=k: reader(k) for k in range(3)])
    values = [rt.get(n) for n in inputs]
    expected = [values[i] + values[(i + 1) % width] for i in range(width)]
    assert [rt.get(p) for p in pairs] == expected
    assert (rt.get(total), rt.get(slow_max)) == (sum(expected), max(expected))


def test_set_while_a_compute_is_reading(rt):
    a, b = rt.create_input(0), rt.create_input(0)
    inside, release = threading.Event(), threading.Event()

    def waits_for_the_setter(ref):
        first = ref.get(a)
        inside.set()
        release.wait(timeout=JOIN_TIMEOUT)  # the setter runs meanwhile
        return (first, ref.get(b))

    q = rt.create_query(waits_for_the_setter)

    def setter():
        assert inside.wait(timeout=JOIN_TIMEOUT)
        rt.set(a, 1)
        rt.set(b, 2)
        release.set()

    run_threads([lambda: rt.get(q), setter])
    assert rt.get(q) == (1, 2)  # the set during the compute was not lost


def test_threads_making_collections_and_version_mirrors_at_once(rt):
    # The binding's own tables (root collections, version mirrors) are shared by every thread
    # of a runtime, and gc.get_referents visits them while other threads run; without the GIL
    # only their locks keep them whole.
    shared = rt.create_collection()
    shared.insert(1)
    mirrors = []

    def worker():
        for _ in range(200):
            rt.create_collection().insert(0)
            mirrors.append(shared.version_node)
            gc.get_referents(rt)
        gc.collect()

    run_threads([worker] * 4)
    assert len(set(mirrors)) == 1 and rt.get(mirrors[0]) == 1


def test_batches_whose_hashes_give_up_the_lock(rt):
    # A batch holds the interpreter lock once for every copy, hash and compare; a hash that gives
    # it up (sleep) lets the other writers run, and the copies after it must take it back.
    class Yielding(int):
        def __hash__(self):
            time.sleep(0)
            return int.__hash__(self)

    c = rt.create_collection()
    groups = c.group_by(lambda x: x % 7)
    total = c.aggregate(0, lambda x: x, lambda a, b: a + b)

    def writer(base):
        return lambda: [c.insert_many(Yielding(base + i) for i in range(50)) for _ in range(20)]

    run_threads([writer(0), writer(1000), writer(2000)])
    expected = sum(20 * (base + i) for base in (0, 1000, 2000) for i in range(50))
    assert c.snapshot_len() == 3000 and rt.get(total) == expected
    rt.get(groups.version_node)
    assert sum(groups.get_group(k).snapshot_len() for k in range(7)) == 3000
