"""Run every benchmark of the project and print one table.

Each ``bench_*.py`` script runs in its own process (so one area's memory and garbage do not
weigh on another) and measures its own unit U -- ``model_copy(deep=True)`` of a plain pydantic
model with the typical event's fields -- in the same run as the operations it scales.

    python benchmarks/run.py            # all areas
    python benchmarks/run.py store desk # only these
"""

from __future__ import annotations

import json
import os
import platform
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
AREAS = ["store", "desk", "linefile", "queries", "uplink", "inprocess", "otlp", "otlp_ingest", "otlp_receive",
         "otlp_peer", "logs", "listener", "agents", "llm", "sessions", "scale", "page", "tracefiles"]


def machine() -> str:
    cpu = platform.processor() or platform.machine()
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    return f"{cpu}, {os.cpu_count()} cores, Python {platform.python_version()}"


def main(argv: list[str]) -> int:
    areas = argv or AREAS
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(HERE), env.get("PYTHONPATH", "")]))
    rows: list[list] = []
    peak = 0
    failed = []
    with tempfile.TemporaryDirectory() as tmp:
        out = Path(tmp) / "rows.jsonl"
        env["ORVANE_BENCH_ROWS"] = str(out)
        for area in areas:
            script = HERE / f"bench_{area}.py"
            print(f"running {script.name} ...", file=sys.stderr, flush=True)
            proc = subprocess.run([sys.executable, str(script)], env=env, stdout=subprocess.DEVNULL)
            if proc.returncode != 0:
                failed.append(area)
        if out.exists():
            for line in out.read_text(encoding="utf-8").splitlines():
                doc = json.loads(line)
                rows.extend(doc["rows"])
                peak = max(peak, doc["peak_rss_kb"])

    print(f"orvane-devtools benchmarks, {time.strftime('%Y-%m-%d')}, {machine()}")
    print("U = model_copy(deep=True) of a plain pydantic model with the typical event's fields\n")
    width = max([len(r[0]) for r in rows] + [20])
    print(f"{'operation':{width}}  {'per op':>11}  {'ratio':>8}  target")
    print("-" * (width + 40))
    for op, sec, ratio, target in rows:
        s = f"{sec * 1e6:9.2f}us" if sec is not None else "-"
        r = f"{ratio:7.3f}U" if ratio is not None else "-"
        print(f"{op:{width}}  {s:>11}  {r:>8}  {target}")
    print(f"\npeak resident memory of the largest benchmark process: {peak / 1024:.1f} MiB")
    if failed:
        print(f"benchmarks that failed: {', '.join(failed)}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
