"""The floor of the listener's ingest: the least any listener must do for one upload request.

A listener that keeps nothing but what durable ingest cannot skip, on the listener's own server
stack (uvicorn and Starlette, its socket set up as ``listener.server.bind_socket`` sets it up):

* reads the body and parses it (``json.loads``: every event's values become Python objects once,
  as they must for the desk, its sinks and the streams);
* inserts one row per event into an ``events`` table with the listener's columns and indexes
  (its unique ``event_id``, ``INSERT OR IGNORE``), in one transaction committed before the
  answer, with the listener's settings (pages of 8 KiB, write-ahead log, ``synchronous=NORMAL``,
  checkpoints on a thread of their own);
* answers ``{"accepted", "duplicates", "rejected"}`` as the listener does.

Everything else the listener does is left out: validation and masking, the run records and their
texts, the trigram index, the desk with its de-duplication window, the live streams. The stored
body is a text of the stored body's length (about 560 characters) standing for a slice of the
request: the floor pays no encoding of the event's JSON. ``mode`` leaves out more, to split the
floor: ``"parse"`` (parse, no rows), ``"rows"`` (rows made without parsing, fresh ids), ``"bare"``
(neither: the server stack alone, the body's events counted).

``floor_main`` runs in a child process (``multiprocessing`` spawn), keeps its file in ``folder``
(the caller removes it) and sends its port through ``port_out``.
"""

from __future__ import annotations

import asyncio
import json
import socket
import sqlite3
import threading
import time
from pathlib import Path

__all__ = ["FLOOR_MODES", "floor_main"]

FLOOR_MODES = ("full", "parse", "rows", "bare")

EVENTS_TABLE = """
CREATE TABLE events(
    seq INTEGER PRIMARY KEY, event_id TEXT NOT NULL UNIQUE, run_key INTEGER, ts INTEGER NOT NULL,
    event_type TEXT NOT NULL, source TEXT, level TEXT, app_id TEXT, group_id TEXT, head_id INTEGER,
    ctx_id INTEGER, pay_val INTEGER, meta_val INTEGER, lens TEXT NOT NULL, t TEXT NOT NULL,
    body TEXT NOT NULL);
CREATE INDEX events_run ON events(run_key, ts) WHERE run_key IS NOT NULL;
CREATE INDEX events_ts ON events(ts);
CREATE INDEX events_level ON events(level) WHERE level IS NOT NULL;
CREATE INDEX events_pay ON events(pay_val) WHERE pay_val IS NOT NULL;
CREATE INDEX events_meta ON events(meta_val) WHERE meta_val IS NOT NULL;
"""
INSERT = ("INSERT OR IGNORE INTO events(event_id, run_key, ts, event_type, source, level, app_id, group_id,"
          " lens, t, body) VALUES (?,?,?,?,?,?,?,?,?,?,?)")
BODY_STAND_IN = "x" * 560
CHECKPOINT_SECONDS = 0.25


def _open(path: Path) -> sqlite3.Connection:
    conn = sqlite3.connect(path, isolation_level=None, check_same_thread=False)
    conn.execute("PRAGMA page_size = 8192")
    conn.execute("PRAGMA journal_mode = WAL")
    conn.execute("PRAGMA synchronous = NORMAL")
    conn.execute("PRAGMA wal_autocheckpoint = 0")
    conn.execute("PRAGMA cache_size = -16000")
    conn.execute("PRAGMA temp_store = MEMORY")
    conn.executescript(EVENTS_TABLE)
    return conn


def _checkpoints(path: Path) -> None:
    conn = sqlite3.connect(path, isolation_level=None, check_same_thread=False)
    while True:
        time.sleep(CHECKPOINT_SECONDS)
        conn.execute("PRAGMA wal_checkpoint(PASSIVE)").fetchall()


def _app(conn: sqlite3.Connection, mode: str):
    from starlette.applications import Starlette
    from starlette.responses import JSONResponse
    from starlette.routing import Route

    runs: dict[str, int] = {}
    fresh = [0]

    def rows_of(body: bytes) -> list[tuple]:
        if mode == "rows":
            count = body.count(b'"event_id"')
            base = fresh[0]
            fresh[0] += count
            return [(f"floor-{base + k}", 1, base + k, "stream.delta", "agent.planner", "info", "demo-app",
                     "team-a", "", "step produced a partial answer", BODY_STAND_IN) for k in range(count)]
        rows = []
        for ev in json.loads(body)["events"]:
            run = ev.get("run")
            key = None
            if run:
                key = runs.get(run["run_id"])
                if key is None:
                    key = runs[run["run_id"]] = len(runs) + 1
            meta = ev.get("meta") or {}
            rows.append((ev["event_id"], key, ev["timestamp"], ev["event_type"], ev.get("source"),
                         ev.get("level"), meta.get("app_id"), meta.get("group_id"), "",
                         ev.get("message") or "", BODY_STAND_IN))
        return rows

    async def ingest(request):
        body = await request.body()
        if mode == "bare":
            return JSONResponse({"accepted": body.count(b'"event_id"'), "duplicates": 0, "rejected": []})
        rows = rows_of(body)
        stored = 0
        if mode != "parse":
            conn.execute("BEGIN IMMEDIATE")
            before = conn.total_changes
            conn.executemany(INSERT, rows)
            stored = conn.total_changes - before
            conn.execute("COMMIT")
        return JSONResponse({"accepted": stored, "duplicates": len(rows) - stored, "rejected": []})

    return Starlette(routes=[Route("/observation/ingest", ingest, methods=["POST"])])


def floor_main(port_out, folder: str, mode: str = "full") -> None:
    import uvicorn

    if mode not in FLOOR_MODES:
        raise ValueError(f"mode must be one of {FLOOR_MODES}, not {mode!r}")
    path = Path(folder) / "floor.sqlite3"
    conn = _open(path)
    threading.Thread(target=_checkpoints, args=(path,), daemon=True).start()
    # A TCP socket (its protocol named, as getaddrinfo names it for the listener): asyncio then
    # sets TCP_NODELAY on each connection, without which the answer's second write waits for a
    # delayed acknowledgement (about 40 ms a request).
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM, socket.IPPROTO_TCP)
    sock.bind(("127.0.0.1", 0))
    sock.listen(2048)
    sock.setblocking(False)
    port_out.send(sock.getsockname()[1])
    config = uvicorn.Config(_app(conn, mode), log_level="warning", access_log=False, lifespan="off",
                            server_header=False, date_header=False)
    asyncio.run(uvicorn.Server(config).serve(sockets=[sock]))
