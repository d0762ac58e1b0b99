"""RemoteTraceSink benchmark: caller-side cost of append_event_nowait and end-to-end delivery.

Run: PYTHONPATH=src:benchmarks python benchmarks/bench_uplink.py

* append_event_nowait on the caller's thread, as a ratio to U (thread CPU time, so time spent
  waiting for the GIL while the worker runs is not counted; wall time is shown beside it):
  - with room in the queue, default settings, the listener accepting and the worker draining
    between bursts of 1,000 events (target <= 0.1 U);
  - with the queue full of 1,200 non-preferred events and the listener down, so that the drop
    policy runs on every call (target <= 0.2 U).
* End-to-end: 100,000 events queued with append_event_nowait reach a local listener (another
  process) with the default batch size and flush interval (target >= 40,000 events/s).
"""

from __future__ import annotations

import multiprocessing as mp
import socket
import statistics
import sys
import time
import warnings

from common import report, typical_event, unit_seconds

from orvane_devtools._orvane_compat import RuntimeEvent
from orvane_devtools.observation.backends.Uplink import (
    ObservationBridgeUnavailableWarning,
    RemoteTraceSink,
)

warnings.simplefilter("ignore", ObservationBridgeUnavailableWarning)


def listener_main(port_out, counter):
    """A minimal HTTP/1.1 listener (keep-alive, Content-Length bodies) that counts the events it
    receives without decoding them, so that the sink, not the listener, is what is measured."""
    import asyncio

    ok = b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 2\r\n\r\n{}"

    async def handle(reader, writer):
        try:
            while True:
                head = await reader.readuntil(b"\r\n\r\n")
                length = 0
                for line in head.split(b"\r\n"):
                    if line[:15].lower() == b"content-length:":
                        length = int(line[15:])
                body = await reader.readexactly(length) if length else b""
                if head.startswith(b"POST"):
                    n = body.count(b'"event_id"')
                    with counter.get_lock():
                        counter.value += n
                writer.write(ok)
                await writer.drain()
        except (asyncio.IncompleteReadError, ConnectionError):
            pass
        finally:
            writer.close()

    async def main():
        server = await asyncio.start_server(handle, "127.0.0.1", 0)
        port_out.send(server.sockets[0].getsockname()[1])
        await server.serve_forever()

    asyncio.run(main())


def closed_port_url() -> str:
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return f"http://127.0.0.1:{port}/observation/ingest"


def caller_cost(sink, events, chunk, before_chunk, rounds=5):
    """Median (thread CPU, wall) seconds per append_event_nowait over `rounds` passes; each pass
    appends `events` in chunks, calling `before_chunk` (untimed) before each chunk."""
    cpu, wall = [], []
    for _ in range(rounds):
        c = w = 0.0
        for start in range(0, len(events), chunk):
            before_chunk()
            part = events[start:start + chunk]
            c0, w0 = time.thread_time(), time.perf_counter()
            for e in part:
                sink.append_event_nowait(e)
            c += time.thread_time() - c0
            w += time.perf_counter() - w0
        cpu.append(c / len(events))
        wall.append(w / len(events))
    return statistics.median(cpu), statistics.median(wall)


def main() -> None:
    u = unit_seconds()
    events = [typical_event(i) for i in range(20_000)]
    rows = []

    # The listener (another process) serves parts 1 and 3.
    ctx = mp.get_context("spawn")
    counter = ctx.Value("q", 0)
    recv, send = ctx.Pipe(duplex=False)
    proc = ctx.Process(target=listener_main, args=(send, counter), daemon=True)
    proc.start()
    port = recv.recv()
    url = f"http://127.0.0.1:{port}/observation/ingest"

    # 1. Room in the queue: default settings, the listener accepts; 1,000 appends (below the limit
    # of 1,200) at a time, then (untimed) the worker drains them.
    sink = RemoteTraceSink(endpoint=url, api_key="k")

    def drained():
        deadline = time.perf_counter() + 30
        while sink.get_stats()["pending_event_count"] and time.perf_counter() < deadline:
            time.sleep(0.005)

    cpu, wall = caller_cost(sink, events, 1000, drained)
    assert sink.get_stats()["dropped_event_count"] == 0
    rows.append(("append_event_nowait, room in queue, draining (thread CPU)", cpu, cpu / u, "<= 0.1 U"))
    rows.append(("append_event_nowait, room in queue, draining (wall)", wall, wall / u, ""))
    # 1b. Room in the queue with the listener down: the worker backs off and stays quiet; the
    # queue is emptied (untimed) before every 1,000 appends.
    sink = RemoteTraceSink(endpoint=closed_port_url(), api_key="k")
    sink.append_event_nowait(events[0])
    time.sleep(0.5)  # first failed attempt done, now backing off
    cpu, wall = caller_cost(sink, events, 1000, lambda: sink._pending_events.clear())
    rows.append(("append_event_nowait, room in queue, listener down (thread CPU)", cpu, cpu / u, "<= 0.1 U"))

    # 2. Full queue of non-preferred events, listener down: the drop policy runs every call.
    sink = RemoteTraceSink(endpoint=closed_port_url(), api_key="k")
    filler = [RuntimeEvent(event_type="agent_task.progress", message=f"step {i}") for i in range(1200)]

    def refill():
        sink._pending_events.clear()
        sink.append_events_nowait(filler)

    refill()
    time.sleep(0.5)
    cpu, wall = caller_cost(sink, events[:5000], 5000, refill)
    assert sink.get_stats()["dropped_event_count"] > 0
    rows.append(("append_event_nowait, full queue + drop policy (thread CPU)", cpu, cpu / u, "<= 0.2 U"))
    rows.append(("append_event_nowait, full queue + drop policy (wall)", wall, wall / u, ""))

    # 3. End-to-end delivery to the listener in another process.
    with counter.get_lock():
        counter.value = 0
    total = 100_000
    stream = [typical_event(i) for i in range(total)]
    sink = RemoteTraceSink(endpoint=url, api_key="k", buffer_limit=total)
    t0 = time.perf_counter()
    for e in stream:
        sink.append_event_nowait(e)
    queued = time.perf_counter() - t0
    while counter.value < total:
        time.sleep(0.002)
        if time.perf_counter() - t0 > 120:
            break
    elapsed = time.perf_counter() - t0
    stats = sink.get_stats()
    proc.terminate()
    rate = counter.value / elapsed
    rows.append((f"append_event_nowait -> local listener, {total:,} events, events per second",
                 None, None, f"{rate:,.0f}/s (>= 40,000/s)"))
    print(f"U = {u * 1e6:.2f} us")
    report(rows)
    print(f"\nend-to-end: {counter.value} events delivered in {elapsed:.2f} s "
          f"(queued in {queued:.2f} s) = {rate:,.0f} events/s (target >= 40,000); "
          f"requests {stats['upload_batch_count']}, dropped {stats['dropped_event_count']}")
    if counter.value < total:
        sys.exit("not every event was delivered")


if __name__ == "__main__":
    main()
