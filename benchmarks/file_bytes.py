"""Where a stored file's bytes go, per stored event: a diagnostic, not a benchmark row.

Run: PYTHONPATH=src:benchmarks python benchmarks/file_bytes.py [FILE]
     (default: the 500,000-event set bench_scale.py keeps in its cache folder)

Reads the file (read only) through SQLite's ``dbstat`` table: the pages of each table and index,
summed by what they hold, divided by the events stored; then the mean sizes of the columns of an
event row that carry text (its JSON ``body``, its search text ``t``, ``event_id``, ``lens``) and of
an LLM call's stored record. A kept set is built by ``bench_scale.py`` (``bench_scale.py build N``).
"""

from __future__ import annotations

import sqlite3
import sys
from pathlib import Path

from bench_scale import CACHE, LAYOUT

# What each table or index holds, by name (the rest: "other").
GROUPS = (
    ("event rows (JSON, search text, columns)", ("events",)),
    ("event indexes", ("sqlite_autoindex_events_1", "events_run", "events_ts", "events_level", "events_pay",
                       "events_meta")),
    ("event trigram index", ("event_text_data", "event_text_idx", "event_text_config", "event_text_docsize")),
    ("LLM calls (numbers, record, state) and their indexes", ("llm_calls", "llm_calls_at", "llm_calls_model",
                                                             "llm_calls_usage")),
    ("runs and their indexes", ("runs", "sqlite_autoindex_runs_1", "runs_order", "runs_parent", "runs_root",
                                "runs_kind", "runs_status", "runs_agent", "runs_session", "runs_app",
                                "runs_group", "runs_flow", "runs_gen", "runs_session_order")),
    ("run heads and their trigram index", ("heads", "heads_run", "head_text_data", "head_text_content",
                                           "head_text_idx", "head_text_config", "head_text_docsize")),
    ("run contexts and their trigram index", ("contexts", "contexts_run", "context_text_data",
                                              "context_text_content", "context_text_idx", "context_text_config",
                                              "context_text_docsize")),
    ("repeated payload/meta texts and their index", ("vals", "vals_run", "val_text_data", "val_text_content",
                                                     "val_text_idx", "val_text_config", "val_text_docsize")),
)


def main() -> None:
    if len(sys.argv) > 1:
        path = Path(sys.argv[1])
    else:  # the kept set of the newest schema version
        kept = sorted(CACHE.glob(f"scale-500000-l{LAYOUT}-v*.sqlite3"), key=lambda p: int(p.stem.rsplit("-v", 1)[1]))
        path = kept[-1] if kept else CACHE / f"scale-500000-l{LAYOUT}.sqlite3"
    if not path.exists():
        sys.exit(f"{path} does not exist: build it with `benchmarks/bench_scale.py build 500000`")
    conn = sqlite3.connect(f"file:{path}?mode=ro", uri=True)
    try:
        events = conn.execute("SELECT count(*) FROM events").fetchone()[0]
        if not events:
            sys.exit(f"{path} holds no events")
        sizes = dict(conn.execute("SELECT name, sum(pgsize) FROM dbstat GROUP BY name"))
        total = sum(sizes.values())
        print(f"{path}: {events:,} events, {total / events:,.0f} B per event "
              f"(file {path.stat().st_size / events:,.0f} B)")
        seen: set[str] = set()
        for label, names in GROUPS:
            got = sum(sizes.get(n, 0) for n in names)
            seen.update(names)
            print(f"  {got / events:8.1f} B  {label}")
        rest = {n: s for n, s in sizes.items() if n not in seen}
        print(f"  {sum(rest.values()) / events:8.1f} B  other ({', '.join(sorted(rest))})")
        cols = conn.execute("SELECT avg(length(body)), avg(length(t)), avg(length(event_id)), avg(length(lens))"
                            " FROM events").fetchone()
        print("  an event row's texts, mean characters: body {:.0f}, search text {:.0f}, event_id {:.0f}, "
              "lens {:.0f}".format(*cols))
        calls, record = conn.execute("SELECT count(*), avg(length(record)) FROM llm_calls").fetchone()
        if calls:
            print(f"  LLM calls: {calls:,} ({calls / events:.3f} per event), record {record:.0f} characters"
                  " (bytes where compressed) each as stored")
    finally:
        conn.close()


if __name__ == "__main__":
    main()
