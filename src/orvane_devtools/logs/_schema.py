"""The log database file: its schema, how a file is opened and checked, SQLite errors as errors
that name the file, the statements of counters and event rows, and this process's count of
commits to each file (which its readers and writers share)."""

from __future__ import annotations

import itertools
import os
import sqlite3
import threading
import urllib.parse
from typing import Any

from ._common import (
    LogStoreCorruptError,
    LogStoreError,
    LogStoreFullError,
    LogStoreReadOnlyError,
    LogStoreVersionError,
)
from ._links import OTEL_RUN_PREFIX
from ._llm import _PICO, LLM_TABLE, USAGE_COLUMNS, USAGE_INDEX

SCHEMA_VERSION = 8
# Files of these earlier versions are brought up to SCHEMA_VERSION when a writer opens them.
UPGRADABLE = frozenset((2, 3, 4, 5, 6, 7))
# PRAGMA application_id of a log database: "ORVL".
APPLICATION_ID = 0x4F52564C
BUSY_TIMEOUT_MS = 10_000
# The page size of a new file (a file keeps the one it was made with).
PAGE_SIZE = 8192
# Files up to this size are checked page by page (PRAGMA quick_check) when opened; in larger ones
# damage shows when a query or a write reaches it. The check reads the whole file: at 64 MiB it
# keeps a start within about a quarter of a second (a 233 MB file took a second on a loaded
# machine, most of the listener's start).
QUICK_CHECK_MAX_BYTES = 64 * 1024 * 1024
# Extra PRAGMA statements run on the writer's connection after it is set up (a test hook: a
# size limit through max_page_count makes the disk look full).
WRITER_PRAGMAS: list[str] = []

# Name kinds of the `names` table: distinct values the queries filter by in Python.
NAME_EVENT_TYPE = 0
NAME_EVENT_APP_ID = 1
NAME_RUN_APP_ID = 2

_TRIGRAM = "tokenize='trigram case_sensitive 1', detail=none, columnsize=0"

# The trigram indexes. Each merges its segments a bounded amount at a time in the writer's index
# steps (up to MERGE_PAGES leaf pages per index and step, once a level holds MERGE_SEGMENTS
# segments) rather than by FTS5's automatic merging, which works in bursts of 64 pages times the
# number of levels: at a few million texts a step that carried one took 50 to 130 ms, and every
# append queued behind it waited as long. FTS5's own crisis merge (16 segments on a level) stays
# the backstop when a long burst outruns the steps.
FTS_TABLES = ("event_text", "head_text", "context_text", "val_text")
MERGE_PAGES = 64
MERGE_SEGMENTS = 8
_MERGE_SETTINGS = (("automerge", 0), ("usermerge", MERGE_SEGMENTS))


def merge_in_steps(conn: sqlite3.Connection) -> None:
    """Leave the merging of the file's trigram indexes to the index steps (settings kept in the
    file; a file whose indexes merge by themselves, one made before, is set once, by its writer,
    in a transaction of its own unless one is open)."""
    changes = []
    for table in FTS_TABLES:
        have = dict(conn.execute(f"SELECT k, v FROM {table}_config").fetchall())
        changes += [(table, key, value) for key, value in _MERGE_SETTINGS if have.get(key) != value]
    if not changes:
        return
    own = not conn.in_transaction
    if own:
        conn.execute("BEGIN IMMEDIATE")
    try:
        for table, key, value in changes:
            conn.execute(f"INSERT INTO {table}({table}, rank) VALUES (?, ?)", (key, value))
        if own:
            conn.execute("COMMIT")
    except BaseException:
        if own:
            _rollback(conn)
        raise

# Texts of new `heads`, `contexts` and `vals` rows wait here (`id` is the row's key, `kind` one of
# the PENDING_* below) until the writer moves them into their trigram index together with the
# event texts, between batches: one index segment per step instead of one per commit. Searches
# read the waiting texts here. (Added in schema version 3.)
#
# The index entries of texts that left the file (retention) wait here too, until the same step
# removes them from their index (kinds FORGET_*), so that removing the oldest events costs the
# ingest's commit no index work: the keys of a dropped run's heads, contexts and vals (`a` empty:
# those indexes keep their own copy of each text), and the seqs of dropped events that were
# indexed, negated (`id` = -seq: seqs and keys are counted apart), each with the text it was
# indexed with in `a` (the index of the events holds no copy of its texts and forgets one only
# when told that text). A key is never both waiting and to be forgotten: a text dropped before
# its step just stops waiting. Searches join what the indexes find to the rows still stored.
# (Since schema version 7: a file of an earlier version never holds such entries.)
PENDING_TABLE = """CREATE TABLE pending_text(id INTEGER PRIMARY KEY, kind INTEGER NOT NULL, a TEXT NOT NULL, b TEXT);"""
PENDING_HEAD, PENDING_CONTEXT, PENDING_VAL = 0, 1, 2
FORGET_EVENT, FORGET_HEAD, FORGET_CONTEXT, FORGET_VAL = 3, 4, 5, 6

# How runs that arrived as OpenTelemetry spans find their parents (added in schema version 4;
# see _links.py). `aliases`: the span id our OTLP export gives each of our runs
# (`span_id_for(run_id)`, 16 hex digits), so that a span whose parent span is one of our runs
# becomes that run's child. `span_waits`: the span runs whose parent span has not arrived
# (`span_id` is that parent's span id), and the runs a log record opened before its own span
# arrived (`span_id` is the run's own span id, the end of its run id).
LINK_TABLES = """CREATE TABLE aliases(span_id TEXT PRIMARY KEY, run_id TEXT NOT NULL) WITHOUT ROWID;
CREATE TABLE span_waits(span_id TEXT NOT NULL, run_id TEXT NOT NULL, PRIMARY KEY(span_id, run_id)) WITHOUT ROWID;"""

# An event's search text without the values its columns give again. A row's `t` holds the
# event's eight normalised values (id, type, source, level, message, payload, error, meta),
# non-empty ones joined by single spaces, and `lens` their lengths. Where the first four are the
# row's `event_id`, `event_type`, `source` and `level` as they stand (NULL for ""), the writer of a
# file made since schema version 8 keeps only the last four: `lens` then begins with "+" and
# gives their four lengths. EVENT_TEXT_SQL and EVENT_LENS_SQL (with `{e}` the table's qualifier, ""
# or "e.") give the whole text and lengths back; `event_has_sql` asks whether the whole text holds a
# needle without making it. In a file made earlier the trigram index reads `t` from `events` as
# it stands, so its writer keeps every text whole (`cut_texts`).
EVENT_TEXT_SQL = (
    "CASE WHEN substr({e}lens, 1, 1) = '+' THEN {e}event_id || iif({e}event_type = '', '', ' ' || {e}event_type)"
    " || iif(coalesce({e}source, '') = '', '', ' ' || {e}source)"
    " || iif(coalesce({e}level, '') = '', '', ' ' || {e}level)"
    " || iif({e}t = '', '', ' ' || {e}t) ELSE {e}t END"
)
EVENT_LENS_SQL = (
    "CASE WHEN substr({e}lens, 1, 1) = '+' THEN length({e}event_id) || ',' || length({e}event_type) || ','"
    " || length(coalesce({e}source, '')) || ',' || length(coalesce({e}level, '')) || ',' || substr({e}lens, 2)"
    " ELSE {e}lens END"
)


def event_has_sql(e: str, needle: str) -> tuple[str, list[str]]:
    """(SQL over the events' row ``e`` (a qualifier: "" or "e."), its parameters): whether the
    event's whole search text holds ``needle``. A needle without a space lies within one value,
    so the stored part and the four columns are asked in turn; one with a space may span two."""
    if " " in needle:
        return f"instr({EVENT_TEXT_SQL.format(e=e)}, ?) > 0", [needle]
    return (
        f"(instr({e}t, ?) > 0 OR (substr({e}lens, 1, 1) = '+' AND (instr({e}event_id, ?) > 0"
        f" OR instr({e}event_type, ?) > 0 OR instr(coalesce({e}source, ''), ?) > 0"
        f" OR instr(coalesce({e}level, ''), ?) > 0)))",
        [needle] * 5,
    )


def cut_texts(conn: sqlite3.Connection) -> bool:
    """Whether the file's trigram index of event texts reads them through `event_texts` (a file
    made since schema version 8), so that its writer may keep texts cut (EVENT_TEXT_SQL)."""
    row = conn.execute("SELECT sql FROM sqlite_master WHERE name = 'event_text'").fetchone()
    return row is not None and "content='event_texts'" in row[0]


# The writer's index step as one statement, so that it runs (a transaction of its own) without
# holding the interpreter lock while the appending threads go on: inserting a seq into the
# temporary table `index_step` removes the texts waiting to be forgotten from their trigram
# indexes, then adds the event texts up to that seq and every waiting run text. Each index is
# written in ascending rowid order (the oldest, forgotten ones first): FTS5 writes out what it
# holds in memory as a new segment whenever a rowid comes lower than the one before. Last, each
# index merges up to MERGE_PAGES pages of its segments (see FTS_TABLES). Created on the writer's
# connection only; nothing of it is stored.
_MERGE_STEPS = "\n    ".join(f"INSERT INTO {t}({t}, rank) VALUES ('merge', {MERGE_PAGES});" for t in FTS_TABLES)
INDEX_STEP_SQL = (
    "CREATE TEMP TABLE index_step(upto INTEGER NOT NULL)",
    f"""CREATE TEMP TRIGGER index_step_moves AFTER INSERT ON index_step BEGIN
    INSERT INTO event_text(event_text, rowid, t) SELECT 'delete', -id, a FROM pending_text
        WHERE kind = {FORGET_EVENT} ORDER BY id DESC;
    DELETE FROM head_text WHERE rowid IN (SELECT id FROM pending_text WHERE kind = {FORGET_HEAD});
    DELETE FROM context_text WHERE rowid IN (SELECT id FROM pending_text WHERE kind = {FORGET_CONTEXT});
    DELETE FROM val_text WHERE rowid IN (SELECT id FROM pending_text WHERE kind = {FORGET_VAL});
    INSERT INTO event_text(rowid, t) SELECT seq, {EVENT_TEXT_SQL.format(e="")} FROM events
        WHERE seq > (SELECT value FROM meta WHERE key = 'indexed_upto') AND seq <= new.upto;
    UPDATE meta SET value = max(value, new.upto) WHERE key = 'indexed_upto';
    INSERT INTO head_text(rowid, a, b) SELECT id, a, b FROM pending_text WHERE kind = {PENDING_HEAD};
    INSERT INTO context_text(rowid, t) SELECT id, a FROM pending_text WHERE kind = {PENDING_CONTEXT};
    INSERT INTO val_text(rowid, t) SELECT id, a FROM pending_text WHERE kind = {PENDING_VAL};
    {_MERGE_STEPS}
    DELETE FROM pending_text;
    DELETE FROM index_step;
END""",
)

# An index for reads whose cost must not grow with the file (added in schema version 6): the
# sessions by their newest run (the first page of sessions walks this index from its newest
# entry instead of grouping every run of the file). Version 6 also indexed the LLM calls by time
# (`llm_calls_at`); version 7 replaced that with `USAGE_INDEX` (_llm.py).
ORDER_INDEXES = """CREATE INDEX runs_session_order ON runs(sort_ts DESC, session_id) WHERE session_id IS NOT NULL AND session_id != '';"""

SCHEMA = f"""
CREATE TABLE meta(key TEXT PRIMARY KEY, value) WITHOUT ROWID;

-- Keys of runs, heads, contexts and vals come from the counter 'last_key' and are never used
-- twice in a file, so readers may keep what they decoded by key. `gen` is the 'run_gen' of the
-- transaction that last wrote the row.
CREATE TABLE runs(
    run_key INTEGER PRIMARY KEY,
    run_id TEXT NOT NULL UNIQUE,
    root_run_id TEXT,
    parent_run_id TEXT,
    run_kind TEXT,
    status TEXT,
    agent_id TEXT,
    session_id TEXT,
    app_id TEXT,
    group_id TEXT,
    flow_name TEXT,
    sort_ts INTEGER NOT NULL DEFAULT 0,
    window_ts INTEGER,
    gen INTEGER NOT NULL DEFAULT 0,
    record TEXT NOT NULL
);
CREATE INDEX runs_order ON runs(sort_ts DESC, run_key);
CREATE INDEX runs_parent ON runs(parent_run_id, sort_ts DESC, run_key, run_id, gen) WHERE parent_run_id IS NOT NULL;
CREATE INDEX runs_root ON runs(root_run_id);
CREATE INDEX runs_kind ON runs(run_kind);
CREATE INDEX runs_status ON runs(status);
CREATE INDEX runs_agent ON runs(agent_id) WHERE agent_id IS NOT NULL;
CREATE INDEX runs_session ON runs(session_id) WHERE session_id IS NOT NULL;
CREATE INDEX runs_app ON runs(app_id) WHERE app_id IS NOT NULL;
CREATE INDEX runs_group ON runs(group_id) WHERE group_id IS NOT NULL;
CREATE INDEX runs_flow ON runs(flow_name) WHERE flow_name IS NOT NULL;
CREATE INDEX runs_gen ON runs(gen);

-- An event: its columns, its searched values and its JSON. `t` holds the event's searched values
-- (normalised, non-empty ones joined by single spaces) except a payload or meta text its run
-- repeats, which is kept once in `vals` (`pay_val`, `meta_val`); `lens` gives the lengths of the
-- eight values in `t` (0 for a value kept in `vals`). Both leave out the first four values where
-- the columns give them again (EVENT_TEXT_SQL). `body` is the event's JSON without its run
-- context when the context is kept in `contexts` (`ctx_id`), else the whole JSON, and without
-- its first members where the columns give them again (EVENT_BODY_SQL).
CREATE TABLE events(
    seq INTEGER PRIMARY KEY,
    event_id TEXT NOT NULL UNIQUE,
    run_key INTEGER,
    ts INTEGER NOT NULL,
    event_type TEXT NOT NULL,
    source TEXT,
    level TEXT,
    app_id TEXT,
    group_id TEXT,
    head_id INTEGER,
    ctx_id INTEGER,
    pay_val INTEGER,
    meta_val INTEGER,
    lens TEXT NOT NULL,
    t TEXT NOT NULL,
    body TEXT NOT NULL
);
CREATE INDEX events_run ON events(run_key, ts) WHERE run_key IS NOT NULL;
CREATE INDEX events_ts ON events(ts);
CREATE INDEX events_level ON events(level) WHERE level IS NOT NULL;
CREATE INDEX events_pay ON events(pay_val) WHERE pay_val IS NOT NULL;
CREATE INDEX events_meta ON events(meta_val) WHERE meta_val IS NOT NULL;
-- An event's whole search text (see EVENT_TEXT_SQL): what the trigram index holds.
CREATE VIEW event_texts(seq, t) AS SELECT seq, {EVENT_TEXT_SQL.format(e="")} FROM events;
-- The trigram index over the texts is brought up to date in bulk, a little behind the commits (up
-- to meta 'indexed_upto'), and queries scan the texts not yet indexed.
CREATE VIRTUAL TABLE event_text USING fts5(t, content='event_texts', content_rowid='seq', {_TRIGRAM});

-- A run's record texts as they were after its events (each distinct state once).
CREATE TABLE heads(
    head_id INTEGER PRIMARY KEY,
    run_key INTEGER NOT NULL,
    hash INTEGER NOT NULL,
    vals TEXT NOT NULL
);
CREATE INDEX heads_run ON heads(run_key, hash);
CREATE VIRTUAL TABLE head_text USING fts5(a, b, {_TRIGRAM});

-- A run's contexts as its events carried them: the JSON (`body`) and its search text.
CREATE TABLE contexts(
    ctx_id INTEGER PRIMARY KEY,
    run_key INTEGER NOT NULL,
    hash INTEGER NOT NULL,
    body TEXT NOT NULL
);
CREATE INDEX contexts_run ON contexts(run_key, hash);
CREATE VIRTUAL TABLE context_text USING fts5(t, {_TRIGRAM});

-- Payload and meta texts that a run's events repeat, each kept (and indexed) once per run.
CREATE TABLE vals(val_id INTEGER PRIMARY KEY, run_key INTEGER NOT NULL);
CREATE INDEX vals_run ON vals(run_key);
CREATE VIRTUAL TABLE val_text USING fts5(t, {_TRIGRAM});

CREATE TABLE names(kind INTEGER NOT NULL, value TEXT NOT NULL, PRIMARY KEY(kind, value)) WITHOUT ROWID;
CREATE TABLE trigrams(tri TEXT PRIMARY KEY, n INTEGER NOT NULL) WITHOUT ROWID;
{PENDING_TABLE}
{LINK_TABLES}
{LLM_TABLE}
{ORDER_INDEXES}
{USAGE_INDEX}
"""


# Counters kept in `meta`, all integers.
COUNTERS = (
    "events",  # events stored now
    "runs",  # runs stored now
    "dropped_events",  # events removed because of logs.max_events
    "expired_events",  # events removed because of logs.retention_days
    "dropped_runs",  # runs removed because none of their events was left
    "sampled_texts",  # event texts counted into `trigrams`
    "indexed_upto",  # every event text with seq <= this is in the trigram index `event_text`
    "last_seq",  # the highest seq ever given: new events get higher ones, never a reused one
    "last_key",  # the highest key of runs, heads, contexts and vals ever given
    "run_gen",  # the number of transactions that wrote runs (a run row's `gen` is one of them)
    "drop_gen",  # the run_gen of the last transaction that removed runs
)
# Counters that only grow, also across a reset: what readers keep by key or seq stays valid.
MONOTONIC = frozenset(("last_seq", "last_key", "run_gen", "drop_gen"))


def wrap_error(exc: BaseException, path: str, doing: str) -> Exception:
    """An SQLite (or OS) error as a log store error naming the file; other errors unchanged."""
    if isinstance(exc, LogStoreError) or not isinstance(exc, (sqlite3.Error, OSError)):
        return exc  # type: ignore[return-value]
    text = str(exc)
    low = text.lower()
    code = getattr(exc, "sqlite_errorcode", None)
    primary = None if code is None else code & 0xFF
    if primary == 13 or "disk is full" in low:  # SQLITE_FULL
        return LogStoreFullError(
            f"log database {path}: the disk or the database's size limit is full while {doing}; "
            f"nothing of this batch was written ({text})",
            path,
        )
    if primary in (3, 8) or "readonly" in low or "read-only" in low:  # SQLITE_PERM, SQLITE_READONLY
        return LogStoreReadOnlyError(f"log database {path} cannot be written while {doing}: {text}", path)
    if primary in (11, 26) or "not a database" in low or "malformed" in low:  # SQLITE_CORRUPT, SQLITE_NOTADB
        return LogStoreCorruptError(
            f"log database {path} is damaged or not a log database ({text}); the file was left as it is",
            path,
        )
    if isinstance(exc, OSError):
        return LogStoreError(f"log database {path}: {doing} failed: {exc.strerror or exc}", path)
    return LogStoreError(f"log database {path}: {doing} failed: {text}", path)


def check_sqlite_features(conn: sqlite3.Connection, path: str) -> None:
    """Fail clearly when the SQLite linked into Python lacks FTS5's trigram tokenizer or JSON."""
    try:
        conn.execute(f"CREATE VIRTUAL TABLE temp.orvane_probe USING fts5(t, {_TRIGRAM})")
        conn.execute("INSERT INTO temp.orvane_probe(t) VALUES ('probe text')")
        hit = conn.execute("SELECT count(*) FROM temp.orvane_probe WHERE t GLOB '*obe t*'").fetchone()[0]
        conn.execute("DROP TABLE temp.orvane_probe")
        conn.execute("SELECT json_extract('{\"a\": 1}', '$.a')").fetchone()
    except sqlite3.Error as exc:
        raise LogStoreError(
            f"the SQLite library linked into Python ({sqlite3.sqlite_version}) lacks what the log "
            f"database {path} needs: FTS5 with the trigram tokenizer (SQLite 3.34 or newer, built "
            f"with FTS5) and the JSON functions ({exc})",
            path,
        ) from None
    if hit != 1:
        raise LogStoreError(
            f"the SQLite library linked into Python ({sqlite3.sqlite_version}) answers trigram "
            f"substring queries wrongly; the log database {path} cannot rely on it",
            path,
        )


def connect(path: str, *, query_only: bool) -> sqlite3.Connection:
    """A connection to an existing or new file (never truncating it), with the busy time-out."""
    uri = "file:" + urllib.parse.quote(path) + "?mode=rwc"
    conn = sqlite3.connect(
        uri,
        uri=True,
        isolation_level=None,
        check_same_thread=False,
        timeout=BUSY_TIMEOUT_MS / 1000,
        cached_statements=256,
    )
    conn.execute(f"PRAGMA busy_timeout = {BUSY_TIMEOUT_MS}")
    if query_only:
        conn.execute("PRAGMA query_only = 1")
    return conn


def prepare_path(path: str) -> str:
    """The absolute path, after checking it is not a folder and creating its missing folders."""
    full = os.path.abspath(os.path.expanduser(path))
    if os.path.isdir(full):
        raise LogStoreError(f"log database {full} is a folder, not a file", full)
    folder = os.path.dirname(full)
    try:
        os.makedirs(folder, exist_ok=True)
    except OSError as exc:
        raise LogStoreReadOnlyError(
            f"cannot create the folder {folder} of the log database {full}: {exc.strerror or exc}", full
        ) from None
    if not os.path.isdir(folder):
        raise LogStoreError(f"log database {full}: {folder} is not a folder", full)
    return full


def open_writer(path: str, synchronous: str) -> tuple[sqlite3.Connection, dict[str, int]]:
    """Open (creating when new) the log database at the absolute ``path`` for writing.

    Checks before anything is written: the SQLite features; that the file is a database, ours,
    and not from a newer version. A new (empty) file gets the schema. Returns the connection and
    the counters stored in the file.
    """
    existed = os.path.exists(path) and os.path.getsize(path) > 0
    try:
        conn = connect(path, query_only=False)
    except sqlite3.Error as exc:
        if not os.access(os.path.dirname(path), os.W_OK) or (os.path.exists(path) and not os.access(path, os.W_OK)):
            raise LogStoreReadOnlyError(
                f"log database {path} cannot be created or opened for writing: {exc}", path
            ) from None
        raise wrap_error(exc, path, "opening the file") from None
    try:
        try:
            tables = {r[0] for r in conn.execute("SELECT name FROM sqlite_master WHERE type = 'table'")}
            app_id = conn.execute("PRAGMA application_id").fetchone()[0]
            version = conn.execute("PRAGMA user_version").fetchone()[0]
        except sqlite3.DatabaseError as exc:
            raise LogStoreCorruptError(
                f"log database {path} is not an SQLite database or is damaged ({exc}); "
                f"the file was left as it is",
                path,
            ) from None
        check_sqlite_features(conn, path)
        upgrade_from = None
        if not tables and app_id == 0 and version == 0:
            if existed and os.path.getsize(path) > 0 and _has_other_content(conn):
                raise LogStoreCorruptError(f"log database {path} holds something else; the file was left as it is", path)
            _create(conn, path)
        elif app_id != APPLICATION_ID:
            raise LogStoreCorruptError(
                f"{path} is an SQLite database of another program, not a log database; "
                f"the file was left as it is",
                path,
            )
        elif version > SCHEMA_VERSION:
            raise LogStoreVersionError(
                f"log database {path} has schema version {version}, newer than this version of "
                f"orvane-devtools understands ({SCHEMA_VERSION}); the file was left as it is",
                path,
            )
        elif version in UPGRADABLE and "events" in tables:
            upgrade_from = version
        elif 1 <= version < SCHEMA_VERSION:
            raise LogStoreVersionError(
                f"log database {path} has schema version {version}, written by an earlier "
                f"development version of orvane-devtools in a layout this version does not read; "
                f"the file was left as it is",
                path,
            )
        elif version < 1 or "events" not in tables:
            raise LogStoreCorruptError(
                f"log database {path} is incomplete (schema version {version}); the file was left as it is",
                path,
            )
        if existed and os.path.getsize(path) <= QUICK_CHECK_MAX_BYTES:
            try:
                problems = [r[0] for r in conn.execute("PRAGMA quick_check(3)")]
            except sqlite3.DatabaseError as exc:
                problems = [str(exc)]
            if problems != ["ok"]:
                raise LogStoreCorruptError(
                    f"log database {path} is damaged ({'; '.join(problems)}); the file was left as it is",
                    path,
                )
        if upgrade_from is not None:
            _upgrade(conn, path, upgrade_from)
        _configure(conn, path, synchronous)
        for statement in WRITER_PRAGMAS:
            conn.execute(statement)
        counters = read_counters(conn)
        # A write at open: a read-only file or folder shows here, not at the first append.
        try:
            conn.execute("BEGIN IMMEDIATE")
            conn.execute("INSERT OR REPLACE INTO meta(key, value) VALUES ('opened_at', strftime('%s','now'))")
            conn.executemany("INSERT OR IGNORE INTO meta(key, value) VALUES (?, 0)", [(c,) for c in COUNTERS])
            conn.execute("COMMIT")
        except sqlite3.Error as exc:
            _rollback(conn)
            raise wrap_error(exc, path, "opening the file for writing") from None
        return conn, counters
    except BaseException:
        conn.close()
        raise


def _has_other_content(conn: sqlite3.Connection) -> bool:
    return conn.execute("SELECT count(*) FROM sqlite_master").fetchone()[0] > 0


def _rollback(conn: sqlite3.Connection) -> None:
    try:
        if conn.in_transaction:
            conn.execute("ROLLBACK")
    except sqlite3.Error:
        pass


def _statements(script: str) -> list[str]:
    out: list[str] = []
    pending = ""
    for line in script.splitlines(keepends=True):
        pending += line
        if sqlite3.complete_statement(pending):
            out.append(pending.strip())
            pending = ""
    if pending.strip():
        out.append(pending.strip())
    return out


def _create(conn: sqlite3.Connection, path: str) -> None:
    try:
        # Before the first page is written. Event rows hold a few hundred bytes each: larger pages
        # leave less unused at each page's end and need fewer interior pages.
        conn.execute(f"PRAGMA page_size = {PAGE_SIZE}")
        conn.execute("BEGIN IMMEDIATE")
        for statement in _statements(SCHEMA):
            conn.execute(statement)
        merge_in_steps(conn)
        conn.executemany("INSERT INTO meta(key, value) VALUES (?, 0)", [(c,) for c in COUNTERS])
        conn.execute("INSERT INTO meta(key, value) VALUES ('schema_version', ?)", (SCHEMA_VERSION,))
        conn.execute("INSERT INTO meta(key, value) VALUES ('created_at', strftime('%s','now'))")
        conn.execute(f"PRAGMA application_id = {APPLICATION_ID}")
        conn.execute(f"PRAGMA user_version = {SCHEMA_VERSION}")
        conn.execute("COMMIT")
    except sqlite3.Error as exc:
        _rollback(conn)
        raise wrap_error(exc, path, "creating the schema") from None


def _upgrade(conn: sqlite3.Connection, path: str, version: int) -> None:
    """Bring a file of an earlier version up to SCHEMA_VERSION (one transaction)."""
    try:
        conn.execute("BEGIN IMMEDIATE")
        if version == 2:
            # Version 3 added the table of run texts waiting for their index (empty: version 2
            # indexed them at once).
            conn.execute(PENDING_TABLE.replace("CREATE TABLE", "CREATE TABLE IF NOT EXISTS"))
        if version <= 3:
            # Version 4 added the tables of span links: every run of the file gets its alias
            # (no span run waits in a file that could not hold span runs).
            for statement in _statements(LINK_TABLES.replace("CREATE TABLE", "CREATE TABLE IF NOT EXISTS")):
                conn.execute(statement)
            from ._links import alias_rows

            run_ids = [r[0] for r in conn.execute("SELECT run_id FROM runs")]
            conn.executemany("INSERT OR REPLACE INTO aliases(span_id, run_id) VALUES (?, ?)", alias_rows(run_ids))
        if version <= 4:
            # Version 5 added the table of the runs' LLM calls. The runs of the file keep none:
            # their calls were not read when they were stored.
            for statement in _statements(LLM_TABLE.replace("CREATE TABLE", "CREATE TABLE IF NOT EXISTS")
                                         .replace("CREATE INDEX", "CREATE INDEX IF NOT EXISTS")):
                conn.execute(statement)
        if version <= 5:
            # Version 6 added the index of the newest sessions (and one of the LLM calls by time,
            # which version 7 replaced).
            for statement in _statements(ORDER_INDEXES.replace("CREATE INDEX", "CREATE INDEX IF NOT EXISTS")):
                conn.execute(statement)
        if version <= 6:
            _add_usage_columns(conn)
        # Version 8 stores new event bodies without what their columns give again (EVENT_BODY_SQL);
        # the rows already stored are whole bodies, which it reads as they are: nothing to change.
        conn.execute("UPDATE meta SET value = ? WHERE key = 'schema_version'", (SCHEMA_VERSION,))
        conn.execute(f"PRAGMA user_version = {SCHEMA_VERSION}")
        conn.execute("COMMIT")
    except sqlite3.Error as exc:
        _rollback(conn)
        raise wrap_error(exc, path, f"upgrading the file from schema version {version}") from None


def _add_usage_columns(conn: sqlite3.Connection) -> None:
    """Version 7: the usage columns of `llm_calls` (a table that version 5 or later made lacks
    them), filled from each call's row and its run's stored record as the writer sets them
    (_llm.usage_columns and run_facts), and the index the usage of a window reads."""
    have = {row[1] for row in conn.execute("PRAGMA table_info(llm_calls)")}
    for name, decl in USAGE_COLUMNS:
        if name not in have:
            conn.execute(f"ALTER TABLE llm_calls ADD COLUMN {name} {decl}")
    # The cost as Totals rounds it (Python's round, halves to even).
    conn.create_function("orvane_pico", 1, lambda cost: None if cost is None else round(cost * _PICO),
                         deterministic=True)
    try:
        conn.execute("UPDATE llm_calls SET cost_pico = orvane_pico(cost_usd)")
    finally:
        conn.create_function("orvane_pico", 1, None)
    # A run's facts from its record's JSON: the same tests run_facts makes of the record (whole-ms
    # times: JSON integers; the end is `completed_at` unless that is null, then `failed_at`).
    conn.execute(
        "UPDATE llm_calls SET"
        " failed_calls = coalesce((SELECT CASE WHEN r.status = 'failed' THEN llm_calls.calls ELSE 0 END"
        "                          FROM runs r WHERE r.run_key = llm_calls.run_key), 0),"
        " timed_ms = CASE WHEN calls = 1 THEN"
        "  (SELECT max(0, coalesce(json_extract(r.record, '$.completed_at'), json_extract(r.record, '$.failed_at'))"
        "                 - json_extract(r.record, '$.started_at'))"
        "   FROM runs r WHERE r.run_key = llm_calls.run_key"
        "    AND (r.run_kind = 'llm' OR substr(r.run_id, 1, ?) = ?)"
        "    AND json_type(r.record, '$.started_at') = 'integer'"
        "    AND coalesce(nullif(json_type(r.record, '$.completed_at'), 'null'),"
        "                 json_type(r.record, '$.failed_at')) = 'integer') END",
        (len(OTEL_RUN_PREFIX), OTEL_RUN_PREFIX),
    )
    conn.execute("DROP INDEX IF EXISTS llm_calls_at")
    conn.execute(USAGE_INDEX.replace("CREATE INDEX", "CREATE INDEX IF NOT EXISTS"))


def _configure(conn: sqlite3.Connection, path: str, synchronous: str) -> None:
    try:
        mode = conn.execute("PRAGMA journal_mode = WAL").fetchone()[0]
    except sqlite3.Error as exc:
        raise wrap_error(exc, path, "switching to write-ahead logging") from None
    if str(mode).lower() != "wal":
        raise LogStoreReadOnlyError(
            f"log database {path} cannot use write-ahead logging (journal mode stays {mode!r}); "
            f"is the folder writable and on a local file system?",
            path,
        )
    conn.execute(f"PRAGMA synchronous = {'FULL' if synchronous == 'full' else 'NORMAL'}")
    conn.execute("PRAGMA journal_size_limit = 67108864")
    # The writer checkpoints after settling the appends of its batches (_maintenance.CHECKPOINT_EVENTS).
    conn.execute("PRAGMA wal_autocheckpoint = 0")
    conn.execute("PRAGMA cache_size = -16000")
    conn.execute("PRAGMA temp_store = MEMORY")


def configure_reader(conn: sqlite3.Connection) -> None:
    conn.execute("PRAGMA cache_size = -8000")
    conn.execute("PRAGMA temp_store = MEMORY")


def read_counters(conn: sqlite3.Connection) -> dict[str, int]:
    rows = dict(conn.execute("SELECT key, value FROM meta"))
    return {c: int(rows.get(c) or 0) for c in COUNTERS}


def write_counters(conn: sqlite3.Connection, counters: dict[str, Any], written: dict[str, int] | None = None) -> None:
    """Store the counters; with ``written`` (what the file holds, updated here) only changed ones."""
    if written is None:
        changed = [(int(counters[c]), c) for c in COUNTERS]
    else:
        changed = [(int(counters[c]), c) for c in COUNTERS if written.get(c) != counters[c]]
    if changed:
        conn.executemany("UPDATE meta SET value = ? WHERE key = ?", changed)
        if written is not None:
            written.update((c, v) for v, c in changed)


# path -> [transactions committed to that file by the writers of this process]; readers compare it
# to know whether this process wrote since they last looked (without asking the file).
_commit_counters: dict[str, list[int]] = {}
_commit_counters_lock = threading.Lock()


def commit_counter(path: str) -> list[int]:
    """The shared count of this process's commits to the file at ``path`` (a one-item list)."""
    with _commit_counters_lock:
        counter = _commit_counters.get(path)
        if counter is None:
            counter = _commit_counters[path] = [0]
        return counter


# An event row's `body` without the JSON's first members, which its columns give again:
# `{"event_id":"..","event_type":"..","timestamp":N,"source":..,"level":..` (each text as it
# stands between quotes, null for NULL) is cut off when the dump begins exactly so, and the
# stored rest begins with its comma; a body stored whole begins with "{". `EVENT_BODY_SQL` (with
# `{e}` the table's qualifier, "" or "e.") gives the whole JSON back; `column_prefix` (and its
# native twin in Logbook._log_prepare) says where the cut falls. (Since schema version 8.)
EVENT_BODY_SQL = (
    "CASE WHEN substr({e}body, 1, 1) = ',' THEN printf('{{\"event_id\":\"%s\",\"event_type\":\"%s\","
    "\"timestamp\":%d,\"source\":%s,\"level\":%s%s', {e}event_id, {e}event_type, {e}ts,"
    " iif({e}source IS NULL, 'null', '\"' || {e}source || '\"'),"
    " iif({e}level IS NULL, 'null', '\"' || {e}level || '\"'),"
    " {e}body) ELSE {e}body END"
)


def _json_text(value: Any) -> str | None:
    # "text" for a str as it stands, null for None; None for anything else.
    if value is None:
        return "null"
    return f'"{value}"' if type(value) is str else None


def column_prefix(full: bytes, event_id: Any, event_type: Any, ts: int, source: Any, level: Any) -> int:
    """How many leading bytes of an event's JSON ``full`` (UTF-8) its row's columns give again
    (see EVENT_BODY_SQL); 0 when the JSON begins otherwise and is stored whole."""
    if type(event_id) is not str or type(event_type) is not str:
        return 0
    src, lvl = _json_text(source), _json_text(level)
    if src is None or lvl is None:
        return 0
    try:
        want = (f'{{"event_id":"{event_id}","event_type":"{event_type}","timestamp":{int.__repr__(ts)},'
                f'"source":{src},"level":{lvl}').encode()
    except UnicodeEncodeError:
        return 0
    k = len(want)
    return k if len(full) > k and full[k] == 0x2C and full.startswith(want) else 0


# Event rows go in with statements of many rows each: one pass through SQLite for up to `most`
# rows instead of one per row (the remainder in statements of 2**k rows, so that a handful of
# statement texts serves every batch size).
_EVENTS_INSERT = (
    "INSERT INTO events(seq, event_id, run_key, ts, event_type, source, level, app_id, group_id,"
    " head_id, ctx_id, pay_val, meta_val, lens, t, body) VALUES "
)
ROW_PARAMS = 16  # parameters of one event row
_ROW_MARKS = "(" + ",".join("?" * ROW_PARAMS) + ")"
_insert_sql: dict[int, str] = {}


def insert_events(conn: sqlite3.Connection, rows: list[tuple], most: int) -> None:
    """Insert the event rows, ``most`` rows per statement at most."""
    chain = itertools.chain.from_iterable
    i, n = 0, len(rows)
    size = most
    while i < n:
        while n - i < size:
            size //= 2
        sql = _insert_sql.get(size)
        if sql is None:
            sql = _insert_sql[size] = _EVENTS_INSERT + ",".join([_ROW_MARKS] * size)
        conn.execute(sql, list(chain(rows[i:i + size])))
        i += size
