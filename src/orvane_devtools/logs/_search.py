"""Text search in the log database: which events and runs hold a needle, through the trigram
indexes or by scanning, and the plans that choose between the two.

An event's own searched values are kept, normalised as the run store normalises them and joined
by single spaces, in ``events.t``, indexed by the FTS5 table ``event_text`` (trigram tokenizer;
the newest texts are indexed in bulk a little later and scanned meanwhile); a payload or meta text
the run repeats in ``vals`` / ``val_text`` (one value each); its run context's text in
``context_text``. A run's accumulated search text is the sequence, over its events, of the run's
record values after each event followed by that event's values; the distinct record values of a
run live in ``heads`` / ``head_text``. The texts of new heads, contexts and vals wait in
``pending_text`` until the writer's next index step, and are scanned there meanwhile; the
indexes keep the entries of dropped events and runs until that step forgets them, so what an
index finds is always joined to the rows still stored. A needle without a space cannot span two
values, so the indexes answer it directly; a needle with spaces is also looked for across value
boundaries, by rebuilding the text of the runs that hold its rarest word. Needles shorter than
three characters (which the trigram index cannot serve) are found by scanning the texts.

Threads and state: called by the ``Reader`` on the calling thread, inside its read transaction
(``conn``). A ``Search`` owns one cache shared by the reader's threads: the record values of heads
decoded to rebuild run texts, by head key (keys are never reused).
"""

from __future__ import annotations

import json
import sqlite3
from typing import Iterator

from ._common import trim_cache
from ._schema import EVENT_LENS_SQL, EVENT_TEXT_SQL, PENDING_CONTEXT, PENDING_HEAD, PENDING_VAL, event_has_sql

__all__ = ["Search", "fields_of"]

# A needle whose best trigrams are estimated to occur in more than this share of the events is
# matched by scanning the texts (in order, stopping at the limit) rather than through the index.
_SCAN_SHARE = 0.15
# Decoded record values of heads kept (by key).
_HEADS_MAX = 16_384


def _glob_escape(text: str) -> str:
    return "".join("[" + c + "]" if c in "*?[" else c for c in text)


def _scanned_runs(conn: sqlite3.Connection, needle: str) -> set[int]:
    """Runs with an event whose search text holds the needle, every event's text scanned."""
    has, args = event_has_sql("", needle)
    sql = f"SELECT DISTINCT run_key FROM events WHERE run_key IS NOT NULL AND {has}"
    return {r[0] for r in conn.execute(sql, args)}


def fields_of(text: str, lens: str) -> Iterator[str]:
    """The separate values of an event text (its non-empty values joined by single spaces)."""
    pos = 0
    for part in lens.split(","):
        n = int(part)
        if n:
            yield text[pos:pos + n]
            pos += n + 1


def _values_of(text: str, lens: str) -> list[str]:
    """All eight values of an event text, empty ones (and those kept in ``vals``) as ""."""
    out = []
    pos = 0
    for part in lens.split(","):
        n = int(part)
        if n:
            out.append(text[pos:pos + n])
            pos += n + 1
        else:
            out.append("")
    return out


def _counter(conn: sqlite3.Connection, key: str) -> int:
    row = conn.execute("SELECT value FROM meta WHERE key = ?", (key,)).fetchone()
    return int(row[0] or 0) if row else 0


class Search:
    """The text search of one log database's readers."""

    def __init__(self) -> None:
        self._heads: dict[int, list[str]] = {}

    # -- events ------------------------------------------------------------------------------

    def event_condition(
        self, conn: sqlite3.Connection, needle: str, scoped: bool
    ) -> tuple[str, list, set[int], set[int]] | None:
        """The condition (SQL over the events ``e``, and its parameters) that lets through the
        events with a searched value holding ``needle`` (a needle with a space may also match
        across two values of an event text: ``fields_of`` tells), with the keys of the contexts
        and vals that hold it; None when no event does. ``scoped``: the other filters leave few
        events (one run's or a list of runs'), which are scanned."""
        ctx_ids = self._context_hits(conn, needle)
        val_ids = self._val_hits(conn, needle)
        if scoped or len(needle) < 3 or self.plan(conn, needle)[1] > _SCAN_SHARE:
            # Scan the texts of the rows the other filters leave.
            vals = json.dumps(sorted(val_ids))
            has, args = event_has_sql("e.", needle)
            return (
                f"({has} OR e.ctx_id IN (SELECT value FROM json_each(?))"
                " OR e.pay_val IN (SELECT value FROM json_each(?))"
                " OR e.meta_val IN (SELECT value FROM json_each(?)))",
                [*args, json.dumps(sorted(ctx_ids)), vals, vals],
                ctx_ids,
                val_ids,
            )
        seqs = self._text_hits(conn, needle)
        if ctx_ids:
            seqs.update(self._context_events(conn, ctx_ids))
        if val_ids:
            seqs.update(self._val_events(conn, val_ids))
        if not seqs:
            return None
        return "e.seq IN (SELECT value FROM json_each(?))", [json.dumps(sorted(seqs))], ctx_ids, val_ids

    def plan(self, conn: sqlite3.Connection, needle: str) -> tuple[str, float]:
        """The GLOB pattern of what the trigram index is asked for (the needle's two rarest
        trigrams, by the sampled frequencies) and the estimated share of event texts it lets
        through (above ``_SCAN_SHARE`` a scan is cheaper)."""
        grams, share = self._rarest(conn, needle)
        if not grams:
            return "*" + _glob_escape(needle) + "*", share
        return "*" + "*".join(grams) + "*", share

    def _rarest(self, conn: sqlite3.Connection, needle: str) -> tuple[list[str], float]:
        """The needle's rarest trigram and the rarest one that does not overlap it, in the
        needle's order, and the estimated share of event texts holding the first; no trigram
        when none is free of GLOB's own characters (share 1) or the file has too few sampled
        texts to tell (share 0)."""
        grams: list[tuple[int, str]] = []
        seen: set[str] = set()
        for i in range(len(needle) - 2):
            g = needle[i:i + 3]
            if g not in seen and not any(c in "*?[" for c in g):
                seen.add(g)
                grams.append((i, g))
        if not grams:
            return [], 1.0
        sampled = _counter(conn, "sampled_texts")
        if sampled < 32:
            return [], 0.0
        counts = dict(
            conn.execute(
                "SELECT tri, n FROM trigrams WHERE tri IN (SELECT value FROM json_each(?))",
                (json.dumps([g for _, g in grams]),),
            ).fetchall()
        )
        ranked = sorted(grams, key=lambda ig: (counts.get(ig[1], 0), ig[0]))
        first = ranked[0]
        second = next((ig for ig in ranked[1:] if abs(ig[0] - first[0]) >= 3), None)
        share = counts.get(first[1], 0) / sampled
        if second is None:
            return [first[1]], share
        return [g for _, g in sorted((first, second))], share

    def _text_hits(self, conn: sqlite3.Connection, needle: str) -> set[int]:
        """Seqs of the events whose own text contains the needle: through the trigram index, and
        by scanning the texts that are not indexed yet.

        The index is asked for the texts holding the planned trigrams (every trigram of the
        needle when the plan names none) and its hits are joined to the stored events, whose
        texts are then searched: the index may still hold the texts of events that retention
        removed until the next index step forgets them (and the index of the events keeps no
        text of its own, so nothing may read a text through it: a GLOB on the index would)."""
        grams, _ = self._rarest(conn, needle)
        if not grams:
            grams = list(dict.fromkeys(needle[i:i + 3] for i in range(len(needle) - 2)))
        query = " AND ".join('"' + g.replace('"', '""') + '"' for g in grams)
        upto = _counter(conn, "indexed_upto")
        has, args = event_has_sql("", needle)
        hits = {
            r[0]
            for r in conn.execute(
                "SELECT seq FROM events WHERE seq IN (SELECT rowid FROM event_text WHERE event_text MATCH ?)"
                f" AND {has}",
                (query, *args),
            )
        }
        hits.update(
            r[0]
            for r in conn.execute(f"SELECT seq FROM events WHERE seq > ? AND {has}", (upto, *args))
        )
        return hits

    @staticmethod
    def _text_table_hits(conn: sqlite3.Connection, table: str, kind: int, needle: str) -> set[int]:
        """Keys of the rows of the text table whose text holds the needle: through its trigram
        index, and among the texts still waiting for it."""
        if len(needle) < 3:
            sql, args = f"SELECT rowid FROM {table} WHERE instr(t, ?) > 0", (needle,)
        else:
            sql = f"SELECT rowid FROM {table} WHERE t GLOB ? AND instr(t, ?) > 0"
            args = ("*" + _glob_escape(needle) + "*", needle)
        hits = {r[0] for r in conn.execute(sql, args)}
        hits.update(r[0] for r in conn.execute(
            "SELECT id FROM pending_text WHERE kind = ? AND instr(a, ?) > 0", (kind, needle)))
        return hits

    def _context_hits(self, conn: sqlite3.Connection, needle: str) -> set[int]:
        return self._text_table_hits(conn, "context_text", PENDING_CONTEXT, needle)

    def _val_hits(self, conn: sqlite3.Connection, needle: str) -> set[int]:
        return self._text_table_hits(conn, "val_text", PENDING_VAL, needle)

    @staticmethod
    def _context_events(conn: sqlite3.Connection, ctx_ids: set[int]) -> set[int]:
        ids = json.dumps(sorted(ctx_ids))
        return {
            r[0]
            for r in conn.execute(
                "SELECT e.seq FROM events e WHERE e.run_key IN"
                " (SELECT run_key FROM contexts WHERE ctx_id IN (SELECT value FROM json_each(?)))"
                " AND e.ctx_id IN (SELECT value FROM json_each(?))",
                (ids, ids),
            )
        }

    @staticmethod
    def _val_events(conn: sqlite3.Connection, val_ids: set[int]) -> set[int]:
        ids = json.dumps(sorted(val_ids))
        out = {r[0] for r in conn.execute(
            "SELECT seq FROM events WHERE pay_val IN (SELECT value FROM json_each(?))", (ids,))}
        out.update(r[0] for r in conn.execute(
            "SELECT seq FROM events WHERE meta_val IN (SELECT value FROM json_each(?))", (ids,)))
        return out

    # -- runs --------------------------------------------------------------------------------

    def run_keys(self, conn: sqlite3.Connection, needle: str) -> set[int]:
        """Keys of the runs whose accumulated search text contains the needle."""
        keys = self._runs_with_text(conn, needle)
        if " " not in needle:
            return keys
        words = [w for w in needle.split(" ") if len(w) >= 3]
        if words:
            word = min(words, key=lambda w: (self.plan(conn, w)[1], -len(w)))
            candidates = self._runs_with_text(conn, word)
        else:
            candidates = {r[0] for r in conn.execute("SELECT run_key FROM runs")}
        for key in sorted(candidates - keys):
            if self._run_text_contains(conn, key, needle):
                keys.add(key)
        return keys

    def _runs_with_text(self, conn: sqlite3.Connection, needle: str) -> set[int]:
        """Runs with an event whose text holds the needle, or a record text (``heads``) or a kept
        payload/meta text (``vals``) that does."""
        keys = {
            r[0]
            for r in conn.execute(
                "SELECT run_key FROM vals WHERE val_id IN (SELECT value FROM json_each(?))",
                (json.dumps(sorted(self._val_hits(conn, needle))),),
            )
        }
        # Record texts still waiting for their index.
        keys.update(
            r[0]
            for r in conn.execute(
                "SELECT h.run_key FROM pending_text x JOIN heads h ON h.head_id = x.id"
                f" WHERE x.kind = {PENDING_HEAD} AND (instr(x.a, ?) > 0 OR instr(x.b, ?) > 0)",
                (needle, needle),
            )
        )
        if len(needle) < 3:
            keys.update(
                r[0]
                for r in conn.execute(
                    "SELECT DISTINCT h.run_key FROM heads h JOIN head_text x ON x.rowid = h.head_id"
                    " WHERE instr(x.a, ?) > 0 OR instr(x.b, ?) > 0",
                    (needle, needle),
                )
            )
            keys.update(_scanned_runs(conn, needle))
            return keys
        pattern = "*" + _glob_escape(needle) + "*"
        for column in ("a", "b"):
            keys.update(
                r[0]
                for r in conn.execute(
                    f"SELECT h.run_key FROM head_text x JOIN heads h ON h.head_id = x.rowid"
                    f" WHERE x.{column} GLOB ? AND instr(x.{column}, ?) > 0",
                    (pattern, needle),
                )
            )
        if self.plan(conn, needle)[1] > _SCAN_SHARE:
            keys.update(_scanned_runs(conn, needle))
        else:
            seqs = self._text_hits(conn, needle)
            if seqs:
                keys.update(
                    r[0]
                    for r in conn.execute(
                        "SELECT DISTINCT run_key FROM events WHERE run_key IS NOT NULL AND seq IN"
                        " (SELECT value FROM json_each(?))",
                        (json.dumps(sorted(seqs)),),
                    )
                )
        return keys

    def _head_values(self, conn: sqlite3.Connection, head_id: int) -> list[str]:
        heads = self._heads
        vals = heads.get(head_id)
        if vals is None:
            row = conn.execute("SELECT vals FROM heads WHERE head_id = ?", (head_id,)).fetchone()
            vals = json.loads(row[0]) if row else [""] * 11
            if row:
                trim_cache(heads, _HEADS_MAX)
                heads[head_id] = vals
        return vals

    def _run_text_contains(self, conn: sqlite3.Connection, run_key: int, needle: str) -> bool:
        """Whether the needle occurs in the run's accumulated search text, rebuilt event by event."""
        kept = dict(
            conn.execute(
                "SELECT x.rowid, x.t FROM val_text x WHERE x.rowid IN (SELECT val_id FROM vals WHERE run_key = ?)"
                f" UNION ALL SELECT x.id, x.a FROM pending_text x WHERE x.kind = {PENDING_VAL}"
                " AND x.id IN (SELECT val_id FROM vals WHERE run_key = ?)",
                (run_key, run_key),
            ).fetchall()
        )
        keep = len(needle) - 1
        tail = ""
        first = True
        for head_id, text, lens, pay_val, meta_val in conn.execute(
            f"SELECT head_id, {EVENT_TEXT_SQL.format(e='')}, {EVENT_LENS_SQL.format(e='')}, pay_val, meta_val"
            " FROM events WHERE run_key = ? ORDER BY seq", (run_key,)
        ):
            vals = self._head_values(conn, head_id)
            values = _values_of(text, lens)
            if pay_val is not None:
                values[5] = kept.get(pay_val, "")
            if meta_val is not None:
                values[7] = kept.get(meta_val, "")
            # The record's values after the event: its identity, then latest_event_type,
            # latest_source and latest_message (the event's own), then its meta.
            record_part = " ".join(v for v in (*vals[:10], values[1], values[2], values[4], vals[10]) if v)
            segment = record_part + " " + " ".join(v for v in values if v)
            piece = segment.strip() if first else " " + segment.rstrip()
            first = False
            chunk = tail + piece
            if needle in chunk:
                return True
            tail = chunk[-keep:] if keep else ""
        return False
