"""Trace-file benchmark: ``orvane-devtools import --db`` against the listener's own ingest, and
the memory of importing a 1 GB file.

Run: PYTHONPATH=src:benchmarks python benchmarks/bench_tracefiles.py
     (ORVANE_BENCH_TRACEFILES_SCALE=0.1 for a quick pass with a tenth of the events and a
     100 MB file)

* Rate: a file of 500,000 typical events (1,000 runs of 500 events, the lines ``JSONLTraceSink``
  writes) imported with ``orvane-devtools import FILE --db NEW`` as a process of its own, from
  its start to its exit; and, in the same run, the same events posted to ``orvane-devtools
  start`` (a process of its own with a new database) as upload bodies of 512 events, one after
  another over one connection, the bodies built before the clock starts, from the first request
  to the last answer. The two take turns (import, ingest, import, ingest: half the events each
  time, on the same database each side) so that both see the load of this shared machine.
  Target: the import's rate at least half the ingest's.
* Memory: a 1 GB file of typical events (built once into ``~/.cache/orvane-bench`` and kept)
  imported with ``import --db``; the peak resident memory of the process, sampled from /proc
  every 50 ms (and its own ``ru_maxrss`` at exit). Target: under 200 MB.
"""

from __future__ import annotations

import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

import httpx
from common import report, typical_fields, unit_seconds

SCALE = float(os.environ.get("ORVANE_BENCH_TRACEFILES_SCALE", "1"))
EVENTS = int(500_000 * SCALE)
RUN_EVENTS = 500
BIG_BYTES = int(1_000_000_000 * SCALE)
BODY_EVENTS = 512
CACHE = Path(os.environ.get("ORVANE_BENCH_CACHE", Path.home() / ".cache" / "orvane-bench"))


def _lines(start: int, count: int, tag: str):
    from orvane_devtools._orvane_compat import RuntimeEvent
    from orvane_devtools.observation.backends.Linefile import _encode_event

    for i in range(start, start + count):
        run = f"{tag}-run-{i // RUN_EVENTS:06d}"
        fields = typical_fields(i, run_id=run, parent=None)
        fields["event_id"] = f"{tag}-{i:09d}"
        yield _encode_event(RuntimeEvent(**fields))


def write_file(path: Path, start: int, count: int, tag: str) -> int:
    with open(path, "wb") as f:
        for line in _lines(start, count, tag):
            f.write(line)
    return path.stat().st_size


def big_file() -> Path:
    """The 1 GB file, built once (into a temporary name, renamed when complete)."""
    CACHE.mkdir(parents=True, exist_ok=True)
    path = CACHE / f"trace-{BIG_BYTES // 1_000_000}MB.jsonl"
    if path.exists() and path.stat().st_size >= BIG_BYTES:
        return path
    part = path.with_suffix(".part")
    size = 0
    i = 0
    with open(part, "wb") as f:
        while size < BIG_BYTES:
            for line in _lines(i, 10_000, "big"):
                f.write(line)
                size += len(line)
            i += 10_000
    part.rename(path)
    return path


def env() -> dict[str, str]:
    """This process's environment (the package found as it is found here), without a key."""
    e = dict(os.environ)
    e.pop("ORVANE_DEVTOOLS_API_KEY", None)
    return e


def rss_kb(pid: int) -> int:
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def run_import(path: Path, db: Path) -> tuple[float, int, str]:
    """(seconds from start to exit, peak resident KiB sampled, its output) of ``import --db``."""
    t0 = time.perf_counter()
    proc = subprocess.Popen([sys.executable, "-m", "orvane_devtools", "import", str(path), "--db", str(db)],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=env())
    peak = 0
    out: list[bytes] = []
    reader = threading.Thread(target=lambda: out.append(proc.stdout.read()), daemon=True)
    reader.start()
    while proc.poll() is None:
        peak = max(peak, rss_kb(proc.pid))
        time.sleep(0.05)
    seconds = time.perf_counter() - t0
    reader.join(10)
    text = b"".join(out).decode(errors="replace")
    if proc.returncode != 0:
        raise RuntimeError(f"import failed ({proc.returncode}):\n{text}")
    return seconds, peak, text


class Listener:
    def __init__(self, db: Path) -> None:
        self.proc = subprocess.Popen([sys.executable, "-m", "orvane_devtools", "start", "--port", "0",
                                      "--db", str(db)], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                     env=env(), text=True)
        for line in self.proc.stdout:
            if "ingest URL:" in line:
                self.url = line.split("ingest URL:")[1].strip()
            if line.startswith("Press Ctrl-C"):
                break
        threading.Thread(target=lambda: [None for _ in self.proc.stdout], daemon=True).start()

    def stop(self) -> None:
        self.proc.terminate()
        self.proc.wait(30)


def ingest(listener: Listener, path: Path) -> float:
    """Seconds to post the file's events as upload bodies, one after another."""
    lines = path.read_bytes().splitlines()
    bodies = [b'{"app_id":"demo-app","group_id":"team-a","environment":"local","events":['
              + b",".join(lines[i:i + BODY_EVENTS]) + b"]}" for i in range(0, len(lines), BODY_EVENTS)]
    del lines
    with httpx.Client(timeout=120, headers={"Content-Type": "application/json"}) as client:
        t0 = time.perf_counter()
        for body in bodies:
            r = client.post(listener.url, content=body)
            r.raise_for_status()
            assert not r.json()["rejected"], r.text[:300]
        return time.perf_counter() - t0


def main() -> None:
    u = unit_seconds()
    rows = []
    tmp = Path(tempfile.mkdtemp(prefix="bench-tracefiles-"))
    try:
        half = EVENTS // 2
        files = []
        for turn in range(2):
            path = tmp / f"events-{turn}.jsonl"
            write_file(path, turn * half, half, "rate")
            files.append(path)
        imported = ingested = 0.0
        import_db, ingest_db = tmp / "import.sqlite3", tmp / "ingest.sqlite3"
        for path in files:
            seconds, _, _ = run_import(path, import_db)
            imported += seconds
            listener = Listener(ingest_db)
            try:
                ingested += ingest(listener, path)
            finally:
                listener.stop()
        import_rate = 2 * half / imported
        ingest_rate = 2 * half / ingested
        rows.append((f"import --db of {2 * half:,} events: rate against the listener's ingest over HTTP "
                     f"({import_rate:,.0f} against {ingest_rate:,.0f} events/s)",
                     imported / (2 * half), import_rate / ingest_rate, ">= 0.5"))

        big = big_file()
        seconds, peak, text = run_import(big, tmp / "big.sqlite3")
        stored = next((line for line in text.splitlines() if "events stored" in line), text.strip()[-200:])
        events = int(stored.split(": ", 1)[1].split(" events")[0].replace(",", "")) if ": " in stored else 0
        rows.append((f"import --db of a {big.stat().st_size / 1e9:.2f} GB file ({events:,} events, "
                     f"{events / seconds:,.0f} events/s): peak resident memory {peak / 1024:.0f} MB",
                     seconds / max(events, 1), None, "< 200 MB"))
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    print(f"U = {u * 1e6:.2f}us  (python {sys.version.split()[0]}); per op: seconds per event; "
          f"ratio (first row): the import's rate over the ingest's, not U")
    report(rows)


if __name__ == "__main__":
    main()
