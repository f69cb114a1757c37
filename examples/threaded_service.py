"""One runtime shared by the threads of a small portfolio-valuation service.

- feed threads set prices (inputs), each owning some symbols;
- request threads read account valuations and the firm-wide total (queries) at the same time,
  the way request handlers would;
- a monitor thread calls stabilize() now and then, and an observer on the total records an
  alert whenever the total it sees is above a limit.

No lock of our own guards the runtime: the engine releases the GIL around its work, lets many
threads read and write at once, and runs an out-of-date query once however many threads ask.

    python examples/threaded_service.py
"""
from __future__ import annotations

import random
import threading
from typing import Callable

import velk_concurrent as velk

SYMBOLS = ["ACME", "BOLT", "CORE", "DYNA", "ECHO", "FLUX"]
ACCOUNTS = {
    "north": {"ACME": 10, "BOLT": 5, "CORE": 2},
    "south": {"DYNA": 7, "ECHO": 3},
    "east": {"ACME": 1, "FLUX": 20, "ECHO": 4},
}
FEEDS = 2
REQUEST_THREADS = 3
UPDATES_PER_FEED = 2000
READS_PER_REQUEST_THREAD = 3000
ALERT_LIMIT = 6000


class Service:
    def __init__(self) -> None:
        self.rt = velk.Runtime()
        self.prices = {s: self.rt.create_input(100) for s in SYMBOLS}
        self.valuations = {name: self.rt.create_query(self._valuation(name, holdings))
                           for name, holdings in ACCOUNTS.items()}
        self.total = self.rt.create_query(
            lambda ref: sum(ref.get(v) for v in self.valuations.values()))
        self.runs = {name: 0 for name in ACCOUNTS}  # updated with the GIL held: no lock needed
        self.alerts: list[int] = []
        self.rt.observe(self.total, self._on_total)

    def _valuation(self, name: str, holdings: dict[str, int]) -> Callable[[velk.RuntimeRef], int]:
        def value(ref: velk.RuntimeRef) -> int:
            self.runs[name] += 1
            return sum(qty * ref.get(self.prices[s]) for s, qty in holdings.items())
        return value

    def _on_total(self, total: int) -> None:
        if total > ALERT_LIMIT:
            self.alerts.append(total)


def feed(service: Service, symbols: list[str], seed: int, final: dict[str, int],
         start: threading.Barrier) -> None:
    rng = random.Random(seed)
    start.wait()
    for _ in range(UPDATES_PER_FEED):
        symbol = rng.choice(symbols)
        service.rt.set(service.prices[symbol], rng.randrange(50, 200))
    for symbol in symbols:  # end on known prices, so the final figures can be checked
        service.rt.set(service.prices[symbol], final[symbol])


def requests(service: Service, seed: int, bad: list[str], start: threading.Barrier) -> None:
    rng = random.Random(seed)
    start.wait()
    names = list(ACCOUNTS)
    for _ in range(READS_PER_REQUEST_THREAD):
        value = service.rt.get(service.valuations[rng.choice(names)])
        total = service.rt.get(service.total)
        if not (isinstance(value, int) and value > 0 and total > 0):
            bad.append(f"odd reading {value} / {total}")


def monitor(service: Service, done: threading.Event) -> None:
    while not done.wait(0.005):
        service.rt.stabilize()


def main() -> None:
    service = Service()
    final = {s: 100 + 10 * i for i, s in enumerate(SYMBOLS)}
    owned = [SYMBOLS[i::FEEDS] for i in range(FEEDS)]
    bad: list[str] = []
    done = threading.Event()
    start = threading.Barrier(FEEDS + REQUEST_THREADS)
    workers = [threading.Thread(target=feed, args=(service, owned[i], i, final, start))
               for i in range(FEEDS)]
    workers += [threading.Thread(target=requests, args=(service, 100 + i, bad, start))
                for i in range(REQUEST_THREADS)]
    watcher = threading.Thread(target=monitor, args=(service, done))
    watcher.start()
    for t in workers:
        t.start()
    for t in workers:
        t.join()
    done.set()
    watcher.join()
    service.rt.stabilize()

    expected = sum(qty * final[s] for holdings in ACCOUNTS.values() for s, qty in holdings.items())
    total = service.rt.get(service.total)
    reads = REQUEST_THREADS * READS_PER_REQUEST_THREAD
    print(f"{FEEDS} feeds set {FEEDS * UPDATES_PER_FEED} prices while {REQUEST_THREADS} "
          f"request threads made {reads} valuation reads")
    print(f"valuations computed {sum(service.runs.values())} times for {reads} reads")
    print(f"alerts above {ALERT_LIMIT}: {len(service.alerts)}")
    print(f"odd readings: {len(bad)}")
    print(f"final total {total}, expected {expected}: {'ok' if total == expected else 'WRONG'}")


if __name__ == "__main__":
    main()
