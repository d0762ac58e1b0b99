"""Search needles holding GLOB's own characters (``[``, ``*``, ``?``) on a file, after the
index step: a needle is a plain substring whatever characters it holds.

The texts live where only the trigram tables can find them once indexed: a run context (its
record and ``context_text``), a payload the run repeats (``val_text``), and, for the planner's
pattern of the event texts, an event message. Both ways the planner asks the trigram index (the
escaped needle while the file has too few sampled texts, the needle's rarest trigrams once it
has enough) and the fallback for needles under three characters are covered; every answer is
also checked against the in-memory service fed the same events.
"""

from __future__ import annotations

import asyncio
import sqlite3

import pytest

from logs_helpers import T0
from orvane.utils import Settings
from orvane_devtools._orvane_compat import RuntimeEvent, RuntimeRunContext
from orvane_devtools.logs import RuntimeLogService, _maintenance, _transaction

CTX_RUN = "ctx-run"
VAL_RUN = "val-run"
MSG_RUN = "msg-run"

# What each run holds (as the index keeps it: case-folded).
AGENT = "Wombat[7]Kiwi"
SESSION = "sess*Ibex?42"
PAYLOAD_NOTE = "okapi[3]narwhal*tapir?yak"
MESSAGE = "gnu[5]hare*lynx?emu"
# Its start is in every filler's text: the rarest trigrams of "item[9" are the ones with the "["
# (only a pattern that leaves those out, or escapes them, still finds it).
MESSAGE_2 = "routine work item[9"

# Needles of three or more characters -> the runs holding them. Each has a glob character
# read literally; several start with one (the trigram the planner would pick first).
FOUND = {
    "bat[7]ki": {CTX_RUN},
    "[7]kiwi": {CTX_RUN},
    "t[7": {CTX_RUN},
    "ss*ibex?4": {CTX_RUN},
    "*ibex": {CTX_RUN},
    "x?42": {CTX_RUN},
    "pi[3]nar": {VAL_RUN},
    "[3]": {VAL_RUN},
    "l*tapir": {VAL_RUN},
    "r?yak": {VAL_RUN},
    "?ya": {VAL_RUN},
    "gnu[5]ha": {MSG_RUN},
    "[5]hare*lynx": {MSG_RUN},
    "x?emu": {MSG_RUN},
    "*lynx?": {MSG_RUN},
    "item[9": {MSG_RUN},
    "work item[": {MSG_RUN},
}
# Needles that do not occur although their GLOB reading matches one of the texts.
NOT_FOUND = [
    "bat?7]",  # ? for the [
    "wom*kiwi",  # * for "bat[7]"
    "bat[78]ki",  # a class that holds the 7
    "bat7ki",  # what [7] matches as a class
    "ss?ibex",  # a ? where the text has a *
    "ibex*42",  # a * where the text has a ?
    "pi[3]*nar",
    "l?tapir",
    "gnu[5]*hare",
    "[4]hare",
    "item[8",
    "item[9]",
]
SHORT_FOUND = {
    "[7": {CTX_RUN},
    "7]": {CTX_RUN},
    "s*": {CTX_RUN},
    "x?": {CTX_RUN, MSG_RUN},
    "[3": {VAL_RUN},
    "?y": {VAL_RUN},
    "*l": {MSG_RUN},
    "[9": {MSG_RUN},
    "[": {CTX_RUN, VAL_RUN, MSG_RUN},
    "]": {CTX_RUN, VAL_RUN, MSG_RUN},
    "?": {CTX_RUN, VAL_RUN, MSG_RUN},
    "*": {CTX_RUN, VAL_RUN, MSG_RUN},
}
SHORT_NOT_FOUND = ["]*", "?[", "*?", "[]", "[?", "][", "[["]

FILLER_EVENTS = 80


def events() -> list[RuntimeEvent]:
    """The events in the order they are appended; the first is pushed out of the file (and of
    the memory service) by the last, and takes the one copy of the repeated payload that an
    event's own text holds."""
    vrun = RuntimeRunContext(run_id=VAL_RUN, run_kind="agent_task", agent_name="Plain")
    repeated = {"note": PAYLOAD_NOTE, "padding": "enough text to be kept once per run"}

    def val_event(i):
        return RuntimeEvent(event_id=f"{VAL_RUN}-{i}", event_type="agent_task.progress", timestamp=T0 + 10 + i,
                            message=f"plain step {i}", payload=repeated, run=vrun)

    out = [val_event(0)]
    ctx = RuntimeRunContext(run_id=CTX_RUN, run_kind="agent_task", agent_name=AGENT, session_id=SESSION)
    out += [RuntimeEvent(event_id=f"{CTX_RUN}-{i}", event_type="agent_task.progress", timestamp=T0 + i,
                         message=f"plain step {i}", payload={"i": i}, run=ctx) for i in range(4)]
    out += [val_event(i) for i in range(1, 4)]
    mrun = RuntimeRunContext(run_id=MSG_RUN, run_kind="tool", agent_name="Plain")
    out += [RuntimeEvent(event_id=f"{MSG_RUN}-{i}", event_type="tool_call_completed", timestamp=T0 + 20 + i,
                         message=[f"plain step {i}", MESSAGE, MESSAGE_2][i], payload={"i": i}, run=mrun)
            for i in range(3)]
    # Other runs whose texts hold none of the characters, so that a needle is rare among them.
    for i in range(FILLER_EVENTS):
        run = RuntimeRunContext(run_id=f"filler-{i % 8}", run_kind="agent_task", agent_name="Filler")
        out.append(RuntimeEvent(event_id=f"filler-{i}", event_type="agent_task.progress",
                                timestamp=T0 + 100 + i, message=f"routine work item {i}",
                                payload={"n": i}, run=run))
    return out


KEPT = len(events()) - 1  # logs.max_events: the first event goes


def ids_of_events_with(needle: str) -> list[str]:
    """The events each needle must find: those of the runs holding it (every event of a run
    carries its context or its repeated payload; of the message run, the one with the message)."""
    text = {CTX_RUN: (AGENT + " " + SESSION).casefold(), VAL_RUN: PAYLOAD_NOTE.casefold()}
    out = []
    for ev in events()[1:]:
        run = ev.run.run_id
        if run in text:
            hit = needle in text[run]
        elif run == MSG_RUN:
            hit = ev.message in (MESSAGE, MESSAGE_2) and needle in ev.message.casefold()
        else:
            hit = False
        if hit:
            out.append(ev.event_id)
    return out


def file_rows(path: str, sql: str, *args) -> list:
    conn = sqlite3.connect(path)
    try:
        return conn.execute(sql, args).fetchall()
    finally:
        conn.close()


@pytest.fixture(scope="module")
def memory():
    service = RuntimeLogService(Settings({"logs.max_events": KEPT}))
    for ev in events():
        asyncio.run(service.append_event(ev))
    assert service.get_event(f"{VAL_RUN}-0") is None
    return service


@pytest.fixture(scope="module", params=["escaped-needle", "rarest-trigrams"])
def indexed(request, tmp_path_factory):
    """A file holding the events, every text indexed. With "rarest-trigrams" every event text
    is sampled into the trigram counts, so the planner picks trigrams of the needle (it uses
    the whole escaped needle until 32 texts are sampled)."""
    path = str(tmp_path_factory.mktemp(request.param) / "events.db")
    with pytest.MonkeyPatch.context() as mp:
        if request.param == "rarest-trigrams":
            mp.setattr(_transaction, "SAMPLE_EVERY", 1)
            mp.setattr(_maintenance, "SAMPLE_FLUSH", 1)
        service = RuntimeLogService(Settings({"logs.path": path, "logs.max_events": KEPT}))
        for ev in events():
            asyncio.run(service.append_event(ev))
        service._store.index_now()
    try:
        assert service.get_event(f"{VAL_RUN}-0") is None and service.stats()["events"] == KEPT
        counters = dict(file_rows(path, "SELECT key, value FROM meta"))
        assert (counters["sampled_texts"] >= 32) is (request.param == "rarest-trigrams"), counters
        # Nothing waits for the index: what is found below is found through the trigram tables.
        assert file_rows(path, "SELECT count(*) FROM pending_text") == [(0,)]
        assert counters["indexed_upto"] == counters["last_seq"]
        # The context and the repeated payload are in no event's own text (only in context_text,
        # the run's record texts and val_text).
        for word in ("wombat", "ibex", "okapi", "narwhal"):
            assert file_rows(path, "SELECT count(*) FROM events WHERE instr(t, ?) > 0", word) == [(0,)]
        assert file_rows(path, "SELECT count(*) FROM events WHERE pay_val IS NOT NULL") == [(3,)]
        assert file_rows(path, "SELECT count(*) FROM events WHERE instr(t, 'lynx') > 0") == [(1,)]
        yield service
    finally:
        service.close(10)


def runs_found(service, needle):
    return {r.run_id for r in service.query_runs(search=needle)}


def events_found(service, needle, **kw):
    return [e.event_id for e in service.query_events(search=needle, limit=10_000, **kw)]


class TestNeedlesOfThreeOrMore:
    @pytest.mark.parametrize("needle", sorted(FOUND))
    def test_found(self, indexed, memory, needle):
        assert runs_found(indexed, needle) == FOUND[needle]
        want = ids_of_events_with(needle)
        assert want, "the needle is in no event"
        assert events_found(indexed, needle) == want
        assert runs_found(memory, needle) == FOUND[needle]
        assert events_found(memory, needle) == want

    @pytest.mark.parametrize("needle", NOT_FOUND)
    def test_not_found(self, indexed, memory, needle):
        assert runs_found(indexed, needle) == set() == runs_found(memory, needle)
        assert events_found(indexed, needle) == [] == events_found(memory, needle)

    def test_upper_case_needle_is_folded(self, indexed):
        assert runs_found(indexed, "BAT[7]KI") == {CTX_RUN}
        assert events_found(indexed, "  GNU[5]HA ") == [f"{MSG_RUN}-1"]

    @pytest.mark.parametrize("run", [CTX_RUN, VAL_RUN, MSG_RUN])
    def test_within_one_run(self, indexed, run):
        needle = {CTX_RUN: "bat[7]ki", VAL_RUN: "l*tapir", MSG_RUN: "x?emu"}[run]
        assert events_found(indexed, needle, run_id=run) == ids_of_events_with(needle)
        assert events_found(indexed, "bat?7]", run_id=run) == []


class TestShortNeedles:
    @pytest.mark.parametrize("needle", sorted(SHORT_FOUND))
    def test_found(self, indexed, memory, needle):
        assert runs_found(indexed, needle) == SHORT_FOUND[needle]
        want = ids_of_events_with(needle)
        assert want
        assert events_found(indexed, needle) == want
        assert runs_found(memory, needle) == SHORT_FOUND[needle]
        assert events_found(memory, needle) == want

    @pytest.mark.parametrize("needle", SHORT_NOT_FOUND)
    def test_not_found(self, indexed, memory, needle):
        assert runs_found(indexed, needle) == set() == runs_found(memory, needle)
        assert events_found(indexed, needle) == [] == events_found(memory, needle)
