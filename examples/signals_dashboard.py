"""A small asyncio service on velk_signals: a feed task moves prices, a computed dashboard
follows them, a TCP server answers every connection with the current dashboard, a printer
prints each change of it, and a coroutine effect raises alerts. Runs for about a second.

    python examples/signals_dashboard.py
"""
import asyncio

from velk_signals import Computed, Effect, Signal, batch, changes

HOLDINGS = {"ACME": 10, "GLOBEX": 4, "INITECH": 25}
# Each tick moves some prices at once; the third sets a price it already has.
TICKS = [{"ACME": 120.0}, {"GLOBEX": 90.0, "INITECH": 104.0}, {"GLOBEX": 90.0},
         {"ACME": 280.0, "INITECH": 96.0}]

prices = {name: Signal(100.0) for name in HOLDINGS}


def position(name: str) -> Computed[float]:
    return Computed(lambda: prices[name]() * HOLDINGS[name])


positions = {name: position(name) for name in HOLDINGS}
total = Computed(lambda: sum(p() for p in positions.values()))
largest = Computed(lambda: max(positions, key=lambda name: positions[name]()))
dashboard = Computed(lambda: f"total {total():,.0f}, largest {largest()}")
alerts: list[str] = []


async def feed() -> None:
    for tick in TICKS:
        with batch():  # the dashboard never shows half a tick
            for name, price in tick.items():
                prices[name].set(price)
        await asyncio.sleep(0.05)


async def printer(last: str) -> None:
    async for text in changes(dashboard):
        print("dashboard:", text)
        if text == last:
            return


async def alert() -> None:
    value = total()  # read before the first await: the effect's dependency
    await asyncio.sleep(0)  # e.g. send a message
    if value > 5000:
        alerts.append(f"{value:,.0f}")


async def answer(reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
    writer.write(f"{dashboard()}\n".encode())
    await writer.drain()
    writer.close()


async def ask(port: int) -> str:
    reader, writer = await asyncio.open_connection("127.0.0.1", port)
    line = await reader.readline()
    writer.close()
    await writer.wait_closed()
    return line.decode().strip()


async def main() -> None:
    watcher = Effect(alert)  # runs on this loop, now and after each change of total
    server = await asyncio.start_server(answer, "127.0.0.1", 0)
    port = server.sockets[0].getsockname()[1]
    print("served at start:", await ask(port))
    shown = asyncio.create_task(printer(last="total 5,560, largest ACME"))
    await asyncio.sleep(0)  # the printer subscribes before the feed starts
    await feed()
    await asyncio.wait_for(shown, 5)
    print("served at end:", await ask(port))
    print("alerts above 5,000:", ", ".join(alerts))
    watcher.dispose()
    server.close()
    await server.wait_closed()


if __name__ == "__main__":
    asyncio.run(main())
