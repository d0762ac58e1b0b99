"""Child process of the retention tests: writes runs 0..11 of ``test_logs_forgetting.run_events``
into a file holding ``max_events`` events, with the index steps held back except one after the
first six runs, so that dropping those runs leaves their index entries waiting; prints
"dropped", then waits to be killed ("kill") or closes the service and exits ("close"). Run as a
script."""

from __future__ import annotations

import asyncio
import sys
import time

from orvane.utils import Settings
from orvane_devtools.logs import RuntimeLogService, _maintenance
from test_logs_forgetting import run_events


async def main(path: str, max_events: int, how: str) -> None:
    _maintenance.INDEX_BATCH = 10**9
    _maintenance.INDEX_WHEN_IDLE = False
    service = RuntimeLogService(Settings({"logs.path": path, "logs.max_events": max_events}))
    for k in range(6):
        await service.append_events(run_events(k))
    service._store.index_now()
    for k in range(6, 12):
        await service.append_events(run_events(k))
    sys.stdout.write("dropped\n")
    sys.stdout.flush()
    if how == "close":
        service.close()
        return
    time.sleep(600)


if __name__ == "__main__":
    asyncio.run(main(sys.argv[1], int(sys.argv[2]), sys.argv[3]))
