"""The LLM call of each run, as the log service keeps it: one record per run, folded from the
pieces its events carried.

The listener reads the pieces at ingest (``orvane_devtools.listener.calls``): for each event of
ours that carries a call, each LLM span and each GenAI log event of a span, a ``CallPiece`` names
the event it was read from, the run it counts toward and the partial ``LlmCall``. The pieces go
to the log service with their events and are folded into the run's record in the same commit
(in the file: the writer's transaction; in memory: the append), only for events that are new
there, so a batch sent again adds nothing. Both stores keep, per run: the record
(``LlmCall.as_json()``), what ``merge`` needs to go on folding (the call's time, the fields that
were inferred rather than read, the first stream delta) and the numbers lists, sorts and totals
read (model, tokens, cost).

Pieces are read without a price; the folded record is priced once per run and commit, at the
call's time, unless the producer reported a cost (see ``orvane_devtools.llm.merge``).
"""

from __future__ import annotations

import json
import zlib
from typing import Any, NamedTuple

from ._links import OTEL_RUN_PREFIX

__all__ = [
    "LLM_TABLE",
    "NUMBERS",
    "RECORD",
    "UPDATE_FACTS_SQL",
    "USAGE_COLUMNS",
    "USAGE_INDEX",
    "CallPiece",
    "Totals",
    "fold",
    "new_pieces",
    "pack_record",
    "row_of",
    "run_facts",
    "store_calls",
    "stored_call",
    "unpack_record",
    "usage_columns",
]

# One row per run that has an LLM call (added in schema version 5). `record` is the run's call in
# its stored form (LlmCall.as_json; of a run that made several, the last); `state` what folding
# goes on from: {"at_ns", "inferred", "first_delta_ms", "before"} ("before": the sums of the
# run's earlier calls). The numbers are over all the run's calls, for queries: `calls`, tokens
# (unknown counts as 0), `cost_usd` the sum of the priced calls (NULL when none is priced),
# `unpriced` the calls without a price; `model`, `provider` and `at_ms` (its time) of the last.
# What the usage of a window reads besides (added in schema version 7, see USAGE_COLUMNS): the
# cost in whole units of 10^-12 USD (`cost_pico`, NULL when none is priced), the calls of a failed
# run (`failed_calls`: `calls` when the run failed, else 0) and the duration of a run that is one
# LLM call and ended (`timed_ms`, else NULL). The last two come from the run's record: the writer
# sets them whenever it writes the row or the run's record changes what they say. Since schema
# version 8 a long `record` is kept compressed (see pack_record).
LLM_TABLE = """CREATE TABLE llm_calls(
    run_key INTEGER PRIMARY KEY,
    model TEXT,
    provider TEXT,
    calls INTEGER NOT NULL,
    input_tokens INTEGER NOT NULL,
    output_tokens INTEGER NOT NULL,
    total_tokens INTEGER NOT NULL,
    cost_usd REAL,
    unpriced INTEGER NOT NULL,
    at_ms INTEGER,
    record TEXT NOT NULL,
    state TEXT NOT NULL,
    cost_pico INTEGER,
    failed_calls INTEGER NOT NULL DEFAULT 0,
    timed_ms INTEGER
);
CREATE INDEX llm_calls_model ON llm_calls(model) WHERE model IS NOT NULL;"""
# The columns schema version 7 added to the table (in this order, at its end).
USAGE_COLUMNS = (("cost_pico", "INTEGER"), ("failed_calls", "INTEGER NOT NULL DEFAULT 0"), ("timed_ms", "INTEGER"))
# The usage of a window per model, read from this index alone: each model's calls by time with
# every number the answer sums (added in schema version 7; it replaced `llm_calls_at`).
USAGE_INDEX = """CREATE INDEX llm_calls_usage ON llm_calls(model, at_ms, calls, input_tokens, output_tokens,
    total_tokens, cost_pico, unpriced, failed_calls, timed_ms) WHERE at_ms IS NOT NULL;"""


def run_facts(run_id: str, record: Any) -> tuple[bool, int | None]:
    """What the usage of a window needs of a run besides its calls: (whether the run failed, its
    duration in ms when it is one LLM call by kind (a run of kind ``llm`` or a span) and has
    whole-ms start and end times, else None). ``record`` None (no such run): (False, None)."""
    if record is None:
        return False, None
    span = None
    if record.run_kind == "llm" or run_id.startswith(OTEL_RUN_PREFIX):
        started = record.started_at
        ended = record.completed_at
        if ended is None:
            ended = record.failed_at
        if type(started) is int and type(ended) is int:
            span = max(0, ended - started)
    return record.status == "failed", span


def usage_columns(calls: int, cost_usd: float | None, facts: tuple[bool, int | None]) -> tuple:
    """(cost_pico, failed_calls, timed_ms) of a row with ``calls`` calls costing ``cost_usd``,
    of a run whose ``run_facts`` are ``facts``."""
    failed, span = facts
    return (None if cost_usd is None else round(cost_usd * _PICO), calls if failed else 0,
            span if calls == 1 else None)


# The usage columns of a run's row after its record changed (its calls stay what the row holds).
UPDATE_FACTS_SQL = ("UPDATE llm_calls SET failed_calls = CASE WHEN ? THEN calls ELSE 0 END,"
                    " timed_ms = CASE WHEN calls = 1 THEN ? END WHERE run_key = ?")


class CallPiece(NamedTuple):
    """What one stored event says of its run's LLM call.

    ``event_id``: the event it was read from (the piece counts only when that event is new in the
    store). ``run_id``: the run it counts toward. ``call``: the partial record (read without a
    price), or None for a piece that only brings ``delta_ms``. ``one_call``: the run is one LLM
    call (a run of kind ``llm``, a span), so every piece is a part of that call; otherwise (an
    agent's run, say, whose events report the calls it made) a piece whose token counts the
    run's call already has starts the run's next call. ``appends``: its messages and finish
    reasons follow those already kept instead of replacing them (GenAI per-message log events,
    one message each). ``delta_ms``: the time of a stream delta of the run (epoch ms): the first
    one gives ``time_to_first_token_ms`` where the call has no figure of its own."""

    event_id: str
    run_id: str
    call: Any
    one_call: bool = True
    appends: bool = False
    delta_ms: int | None = None


_dumps = json.JSONEncoder(ensure_ascii=False, separators=(",", ":"), allow_nan=False).encode


# A call's JSON of at least this many bytes is kept compressed when that is smaller: the
# conversation it holds (the messages, the system instructions, the tool definitions) is most of a
# file's LLM bytes, and its text and keys repeat.
PACK_MIN_BYTES = 512
PACK_LEVEL = 6
# A record of at most 2**PACK_SMALL_WBITS bytes (8 KiB) is packed with a window of that size and a
# smaller hash table: every match a full window could find lies inside it, so the stream is about
# as small, and setting up the compressor no longer dominates (zlib's default state is about
# 256 KiB to allocate and clear for each record: 68 us against 12 us for a record of 650 bytes).
# The stream's header names its window; any zlib reader takes it.
PACK_SMALL_WBITS = 13
PACK_SMALL_MEMLEVEL = 4


def pack_record(record: str) -> str | bytes:
    """A call's JSON as the file keeps it: the text, or a zlib stream of its UTF-8 (a BLOB)."""
    if len(record) < PACK_MIN_BYTES // 4:
        return record
    data = record.encode()
    if len(data) < PACK_MIN_BYTES:
        return record
    if len(data) <= 1 << PACK_SMALL_WBITS:
        packer = zlib.compressobj(PACK_LEVEL, zlib.DEFLATED, PACK_SMALL_WBITS, PACK_SMALL_MEMLEVEL)
        packed = packer.compress(data) + packer.flush()
    else:
        packed = zlib.compress(data, PACK_LEVEL)
    return packed if len(packed) < len(data) else record


def unpack_record(stored: str | bytes) -> str:
    """A call's JSON from its stored form (pack_record)."""
    return zlib.decompress(stored).decode() if type(stored) is bytes else stored


def stored_call(record: str | bytes, state: str) -> tuple[Any, dict[str, Any]]:
    """(the LlmCall, its folding state) of a stored row."""
    from ..llm import LlmCall

    record = unpack_record(record)

    try:
        facts = json.loads(state)
    except ValueError:
        facts = {}
    if not isinstance(facts, dict):
        facts = {}
    at_ns = facts.get("at_ns")
    try:
        data = json.loads(record)
    except ValueError:
        data = None
    call = LlmCall.from_json(data, at_ns=at_ns if type(at_ns) is int else None) or LlmCall()
    inferred = facts.get("inferred")
    if isinstance(inferred, list):
        call.inferred = {name for name in inferred if isinstance(name, str)}
    return call, facts


def fold(call: Any, facts: dict[str, Any], pieces: list[CallPiece]) -> tuple[Any, dict[str, Any]]:
    """The run's call after ``pieces`` (in their order), priced; ``call`` None for a run that has
    none yet. Returns (call or None when the pieces bring none, its folding state)."""
    from ..llm import apply_cost, merge, note_first_delta

    first_delta = facts.get("first_delta_ms")
    if type(first_delta) is not int:
        first_delta = None
    before = Totals.from_json(facts.get("before"))
    for piece in pieces:
        part = piece.call
        if piece.delta_ms is not None and (first_delta is None or piece.delta_ms < first_delta):
            first_delta = piece.delta_ms
        if part is None:
            continue
        if call is not None and not piece.one_call and _counts_again(call, part):
            # The run's next call: the one so far is finished (priced) and counted before.
            if first_delta is not None:
                note_first_delta(call, first_delta)
            call.settle()
            apply_cost(call)
            before.add_call(call)
            call = None
            first_delta = None
        if piece.appends:
            # Finish reasons gathered from choices, one event each, count as inferred: reasons
            # the call's span or details event sent win over them.
            if part.finish_reasons:
                part.inferred.add("finish_reasons")
            if call is not None:
                part.input_messages = [*call.input_messages, *part.input_messages]
                part.output_messages = [*call.output_messages, *part.output_messages]
                if part.finish_reasons and (not call.finish_reasons or "finish_reasons" in call.inferred):
                    part.finish_reasons = [*call.finish_reasons, *part.finish_reasons]
                elif part.finish_reasons:
                    part.finish_reasons = []
                    part.inferred.discard("finish_reasons")
        call = part if call is None else merge(call, part, price=False)
    if call is None:
        return None, {"first_delta_ms": first_delta}
    if first_delta is not None:
        note_first_delta(call, first_delta)
    call.settle()
    apply_cost(call)
    state = {"at_ns": call.at_ns, "inferred": sorted(call.inferred), "first_delta_ms": first_delta}
    if before.llm_calls:
        state["before"] = before.as_json()
    return call, state


def _counts_again(call: Any, part: Any) -> bool:
    """Whether ``part`` is of another call than ``call``: it reports token counts that ``call``
    has already, or it sends messages of a request after ``call`` was answered (has usage)."""
    if (call.input_tokens is not None and part.input_tokens is not None) or (
        call.output_tokens is not None and part.output_tokens is not None
    ):
        return True
    return call.has_usage() and not part.has_usage() and bool(part.input_messages)


def row_of(call: Any, state: dict[str, Any]) -> tuple:
    """(model, provider, calls, input, output, total tokens, cost_usd, unpriced, at_ms, record,
    state) of a run's row."""
    totals = Totals.from_json(state.get("before"))
    totals.add_call(call)
    at_ns = call.at_ns
    return (
        call.model,
        call.provider,
        totals.llm_calls,
        totals.input_tokens,
        totals.output_tokens,
        totals.total_tokens,
        totals.cost_usd,
        totals.unpriced_calls,
        at_ns // 1_000_000 if type(at_ns) is int else None,
        _dumps(call.as_json()),
        _dumps(state),
    )

# Where the numbers of a run are in row_of's tuple (calls .. unpriced: Totals.add_row's order).
NUMBERS = slice(2, 8)
RECORD = 9


# Costs are summed in whole units of 10^-12 USD: integers add up alike in any order, so the totals
# of a tree are the same whichever way its runs are visited.
_PICO = 10**12


class Totals:
    """The LLM totals of a set of runs: calls, tokens (unknown counts as 0), cost (None while no
    call is priced) and the calls without a price."""

    __slots__ = ("llm_calls", "input_tokens", "output_tokens", "total_tokens", "_cost", "unpriced_calls")

    def __init__(self) -> None:
        self.llm_calls = 0
        self.input_tokens = 0
        self.output_tokens = 0
        self.total_tokens = 0
        self._cost: int | None = None  # in 10^-12 USD
        self.unpriced_calls = 0

    @property
    def cost_usd(self) -> float | None:
        return None if self._cost is None else self._cost / _PICO

    @cost_usd.setter
    def cost_usd(self, value: float | None) -> None:
        self._cost = None if value is None else round(value * _PICO)

    @classmethod
    def from_json(cls, data: Any) -> Totals:
        totals = cls()
        if isinstance(data, dict):
            for name in ("llm_calls", "input_tokens", "output_tokens", "total_tokens", "unpriced_calls"):
                value = data.get(name)
                if type(value) is int and value >= 0:
                    setattr(totals, name, value)
            cost = data.get("cost_usd")
            if isinstance(cost, (int, float)) and not isinstance(cost, bool) and cost >= 0:
                totals.cost_usd = float(cost)
        return totals

    def add_call(self, call: Any) -> None:
        """One call (an LlmCall)."""
        self.add_row(1, call.input_tokens, call.output_tokens, call.total_tokens,
                     call.cost_usd if call.priced else None, 0 if call.priced else 1)

    def add_row(self, calls: int, input_tokens: Any, output_tokens: Any, total_tokens: Any, cost_usd: Any,
                unpriced: int) -> None:
        """The numbers of a run's calls (as the table holds them)."""
        self.add_sums(calls, input_tokens or 0, output_tokens or 0, total_tokens or 0,
                      None if cost_usd is None else round(cost_usd * _PICO), unpriced)

    def add_sums(self, calls: int, input_tokens: int, output_tokens: int, total_tokens: int, cost_pico: int | None,
                 unpriced: int) -> None:
        """Sums of rows' numbers, the cost in whole units of 10^-12 USD (None: none priced)."""
        self.llm_calls += calls
        self.input_tokens += input_tokens
        self.output_tokens += output_tokens
        self.total_tokens += total_tokens
        if cost_pico is not None:
            self._cost = (self._cost or 0) + cost_pico
        self.unpriced_calls += unpriced

    def add(self, other: Totals) -> None:
        self.llm_calls += other.llm_calls
        self.input_tokens += other.input_tokens
        self.output_tokens += other.output_tokens
        self.total_tokens += other.total_tokens
        if other._cost is not None:
            self._cost = (self._cost or 0) + other._cost
        self.unpriced_calls += other.unpriced_calls

    def as_json(self) -> dict[str, Any]:
        return {
            "llm_calls": self.llm_calls,
            "input_tokens": self.input_tokens,
            "output_tokens": self.output_tokens,
            "total_tokens": self.total_tokens,
            "cost_usd": self.cost_usd,
            "unpriced_calls": self.unpriced_calls,
        }


# -- in the writer's transaction --------------------------------------------------------------

def new_pieces(tickets: Any, seen_ids: set[str]) -> list[CallPiece]:
    """The pieces a transaction stores, from ``(pieces, event ids)`` of each of its tickets:
    those of events of their own ticket that the file does not hold yet (``seen_ids``), each
    event's piece once (a second copy of an event in the batch brings nothing)."""
    pieces: list[CallPiece] = []
    for calls, event_ids in tickets:
        own = set(event_ids)
        for piece in calls:
            if piece.event_id in own and piece.event_id not in seen_ids:
                pieces.append(piece)
    if pieces:
        claimed: set[str] = set()
        pieces = [p for p in pieces if not (p.event_id in claimed or claimed.add(p.event_id))]
    return pieces


def store_calls(conn: Any, working: dict[str, Any], created: Any, pieces: list[CallPiece], get_run: Any) -> None:
    """Folds ``pieces`` into their runs' rows of ``llm_calls`` in the open transaction of
    ``conn``: ``working`` maps a run id to its state in the transaction (its ``run_key``),
    ``created`` names the runs the transaction made (they have no row yet), ``get_run`` gives a
    run's record as the transaction leaves it."""
    by_run: dict[int, list] = {}
    run_ids: dict[int, str] = {}
    made = set(created)
    wanted = []
    for piece in pieces:
        state = working.get(piece.run_id)
        if state is None:  # pragma: no cover - every piece's event was written with its run
            continue
        run_pieces = by_run.get(state.run_key)
        if run_pieces is None:
            run_pieces = by_run[state.run_key] = []
            run_ids[state.run_key] = piece.run_id
            if piece.run_id not in made:
                wanted.append(state.run_key)
        run_pieces.append(piece)
    stored: dict[int, tuple[str, str]] = {}
    if wanted:
        for key, record, facts in conn.execute(
            "SELECT run_key, record, state FROM llm_calls WHERE run_key IN (SELECT value FROM json_each(?))",
            (json.dumps(wanted),),
        ):
            stored[key] = (record, facts)
    rows = []
    for key, run_pieces in by_run.items():
        row = stored.get(key)
        if row is None:
            call, facts = None, {}
        else:
            call, facts = stored_call(*row)
        call, facts = fold(call, facts, run_pieces)
        if call is not None:
            row = row_of(call, facts)
            run_id = run_ids[key]
            rows.append((key, *row[:RECORD], pack_record(row[RECORD]), *row[RECORD + 1:],
                         *usage_columns(row[2], row[6], run_facts(run_id, get_run(run_id)))))
    if rows:
        conn.executemany(
            "INSERT OR REPLACE INTO llm_calls(run_key, model, provider, calls, input_tokens, output_tokens,"
            " total_tokens, cost_usd, unpriced, at_ms, record, state, cost_pico, failed_calls, timed_ms)"
            " VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)",
            rows,
        )
