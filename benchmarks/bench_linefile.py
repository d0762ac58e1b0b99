"""The JSON Lines backend's share of ``await desk.append_event(event)``, per event shape.

For every shape of ``SHAPES`` (ratios to U, measured in this run):

- the desk append with the JSON Lines backend, and without any backend, and their difference
  (what the backend adds to the facade's append: the backend's own copy of the event, the
  backend contract's one-element batch, the line and the hand-off to the writer thread);
- ``JSONLTraceSink.append_event`` alone, awaited event after event;
- the line alone (``Linefile._encode_event``: JSON-mode dump, sanitising, JSON text), and its
  part that is pydantic's ``model_dump(mode="json")``;
- the hand-off alone: ``append_events`` of a one-event batch minus the line of that event.

    python benchmarks/bench_linefile.py             # every shape
    python benchmarks/bench_linefile.py typical     # only these shapes
"""

from __future__ import annotations

import asyncio
import os
import shutil
import statistics
import sys
import tempfile
import time

from common import SHAPES, per_call, report, shaped_event, unit_seconds

from orvane.utils import Settings
from orvane_devtools.observation import TraceDesk
from orvane_devtools.observation.backends import JSONLTraceSink, Linefile


def _events(shape: str, n: int, offset: int):
    return [shaped_event(shape, offset + i, run_id=f"run-{(offset + i) // 50}") for i in range(n)]


def _awaited(append, shape: str, n: int, repeat: int, start: int) -> float:
    """Median seconds per ``await append(event)`` over ``repeat`` rounds of ``n`` fresh events."""

    async def main():
        rounds = []
        for k in range(repeat):
            events = _events(shape, n, start + k * n)
            t0 = time.perf_counter()
            for e in events:
                await append(e)
            rounds.append((time.perf_counter() - t0) / n)
        return statistics.median(rounds)

    return asyncio.run(main())


def _desk(path: str | None):
    settings = {"observation.buffer_limit": 1200}
    if path is not None:
        settings.update({"observation.jsonl.enabled": True, "observation.jsonl.path": path})
    return TraceDesk.RuntimeTraceDesk(Settings(settings))


def measure_shape(shape: str, n: int, u: float, tmp: str) -> list:
    rows = []
    with_backend = _awaited(_desk(os.path.join(tmp, shape, "desk.jsonl")).append_event, shape, n, 7, 0)
    without = _awaited(_desk(None).append_event, shape, n, 7, 0)
    rows.append((f"[{shape}] desk append_event, JSON Lines backend", with_backend,
                 with_backend / u, "<= 1.5 U"))
    rows.append((f"[{shape}]   the same without a backend", without, without / u, "-"))
    rows.append((f"[{shape}]   the backend's share (difference)", with_backend - without,
                 (with_backend - without) / u, "-"))

    sink = JSONLTraceSink(os.path.join(tmp, shape, "sink.jsonl"))
    alone = _awaited(sink.append_event, shape, n, 7, 50_000_000)
    rows.append((f"[{shape}]   JSONLTraceSink.append_event alone", alone, alone / u, "-"))

    ev = shaped_event(shape, 1)
    number = max(n, 2000)
    line = per_call(lambda: Linefile._encode_event(ev), number)
    dump = per_call(lambda: ev.model_dump(mode="json"), number)
    rows.append((f"[{shape}]   the line (dump, sanitise, encode)", line, line / u, "-"))
    rows.append((f"[{shape}]     of which model_dump(mode='json')", dump, dump / u, "-"))

    batch_of_one = _awaited(lambda e: sink.append_events([e]), shape, n, 7, 60_000_000)
    rows.append((f"[{shape}]   the hand-off (one-event batch minus its line)", batch_of_one - line,
                 (batch_of_one - line) / u, "-"))
    return rows


def main(argv: list[str]) -> None:
    shapes = argv or list(SHAPES)
    n = int(os.environ.get("BENCH_N", "2000"))
    u = unit_seconds()
    rows = []
    tmp = tempfile.mkdtemp(prefix="bench-linefile-")
    try:
        for shape in shapes:
            rows.extend(measure_shape(shape, n, u, tmp))
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    print(f"U = {u * 1e6:.2f}us  (python {sys.version.split()[0]})")
    report(rows)


if __name__ == "__main__":
    main(sys.argv[1:])
