"""RemoteTraceSink benchmark: caller-side cost of append_event_nowait and end-to-end delivery.

Run: PYTHONPATH=src:benchmarks python benchmarks/bench_uplink.py

* append_event_nowait on the caller's thread, as a ratio to U (thread CPU time, so time spent
  waiting for the GIL while the worker runs is not counted; wall time is shown beside it):
  - with room in the queue, default settings, the listener accepting and the worker draining
    between bursts of 1,000 events (target <= 0.1 U);
  - with the queue full of 1,200 non-preferred events and the listener down, so that the drop
    policy runs on every call (target <= 0.2 U).
* append_event_nowait per event shape (benchmarks/common.py SHAPES), the caller's path alone:
  the listener is down and the worker waits out a long back-off. Each round makes 20 new events
  and empties the queue (untimed), then appends them, as an agent appends an event it has just
  made; median thread CPU per event over 401 rounds, as a ratio to U measured with the same
  clock (thread CPU) in the same run (target <= 0.04 U on every shape). Events appended long
  after they were made (thousands of them, out of the processor's caches) cost up to twice as
  much: the intake reads each event's objects, and those reads then miss the caches.
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

from common import SHAPES, plain_event, report, shaped_event, typical_event, unit_seconds

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


def idle_worker_sink(first_event, timeout: float = 10.0, settle: float = 0.05):
    """A sink whose listener is down and whose worker, after one failed upload of ``first_event``,
    waits out a long back-off: from then on only the caller's path of an append runs."""
    sink = RemoteTraceSink(endpoint=closed_port_url(), api_key="k")
    sink.append_event_nowait(first_event)
    deadline = time.perf_counter() + timeout
    while sink.get_stats()["upload_failure_count"] == 0 and time.perf_counter() < deadline:
        time.sleep(0.01)
    sink._next_retry_at = time.monotonic() + 3600  # the worker waits quietly from now on
    sink._worker_event.set()
    time.sleep(settle)
    return sink


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


def unit_thread_seconds(number: int = 2_000, rounds: int = 21) -> float:
    """U on the thread-CPU clock: median seconds per model_copy(deep=True) of the plain typical
    event, for rows that are measured in thread CPU too."""
    ev = plain_event()
    per = []
    for _ in range(rounds):
        t0 = time.thread_time()
        for _ in range(number):
            ev.model_copy(deep=True)
        per.append((time.thread_time() - t0) / number)
    return statistics.median(per)


def caller_cost_per_shape(u_thread: float, rounds: int = 401, per_round: int = 20) -> list:
    """Rows of append_event_nowait on each event shape, caller's path alone (see the docstring)."""
    rows = []
    for shape in SHAPES:
        sink = idle_worker_sink(shaped_event(shape, 0))
        cpu = []
        for r in range(rounds):
            sink._pending_events.clear()
            events = [shaped_event(shape, r * per_round + i) for i in range(per_round)]
            t0 = time.thread_time()
            for e in events:
                sink.append_event_nowait(e)
            cpu.append((time.thread_time() - t0) / per_round)
        per_event = statistics.median(cpu)
        rows.append((f"append_event_nowait, {shape} event (thread CPU)", per_event, per_event / u_thread,
                     "<= 0.04 U"))
    return rows


def main() -> None:
    u = unit_seconds()
    u_thread = unit_thread_seconds()
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

    # 2b. Each event shape, the caller's path alone (ratios to U on the thread-CPU clock).
    rows.extend(caller_cost_per_shape(u_thread))

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
    print(f"U = {u * 1e6:.2f} us (wall); {u_thread * 1e6:.2f} us (thread CPU, for the per-shape rows)")
    report(rows)
    print(f"\nend-to-end: {counter.value} events delivered in {elapsed:.2f} s "
          f"(queued in {queued:.2f} s) = {rate:,.0f} events/s (target >= 40,000); "
          f"requests {stats['upload_batch_count']}, dropped {stats['dropped_event_count']}")
    if counter.value < total:
        sys.exit("not every event was delivered")


if __name__ == "__main__":
    main()
