"""The live stream (``/stream``) of a real listener when spans join the run tree late: a run
whose parent or root changed because its parent arrived afterwards is sent again as a ``run``
message, to every open stream (and to a stream that follows the new tree's descendants), so an
open page moves it under its parent without a reload."""

from __future__ import annotations

import httpx
import pytest
from listener_helpers import SSEReader, body, event
from otlp_ingest_helpers import sid, span, tid, trace_request

from orvane_devtools.observation.backends.Otlp import span_id_for, trace_id_for


def runs_until(reader: SSEReader, want, timeout: float = 15.0) -> dict:
    """Reads ``run`` messages until one satisfies ``want`` (its record); that record."""
    seen = []
    try:
        while True:
            record = reader.next(timeout, kind="run")["json"]
            seen.append((record["run_id"], record.get("parent_run_id"), record.get("root_run_id")))
            if want(record):
                return record
    except AssertionError as exc:
        raise AssertionError(f"{exc}; run messages seen: {seen}") from None


def otel(trace: str, span_id: str) -> str:
    return f"otel-{trace}-{span_id}"


@pytest.mark.timeout(120)
def test_a_span_that_arrived_before_our_run_moves_under_it_on_open_streams(listener):
    reader = SSEReader(f"{listener.api}/stream")
    try:
        reader.next(kind="hello")
        trace = trace_id_for("agent-root")
        child = span(trace, sid(7), span_id_for("agent-step"), name="chat gpt-4o-mini",
                     attributes={"gen_ai.operation.name": "chat"})
        assert listener.post("/v1/traces", trace_request([child]).SerializeToString()).status_code == 200
        child_id = otel(trace, sid(7))
        waiting = runs_until(reader, lambda r: r["run_id"] == child_id)
        assert waiting["parent_run_id"] == otel(trace, span_id_for("agent-step"))

        # Our own runs arrive afterwards, through /ingest.
        events = [event(1, "agent-root", event_type="agent_task.started"),
                  event(2, "agent-step", parent="agent-root", root="agent-root", event_type="agent_task.started")]
        with httpx.Client(timeout=30) as c:
            assert c.post(listener.ingest_url, json=body(events)).status_code == 200
        moved = runs_until(reader, lambda r: r["run_id"] == child_id)
        assert (moved["parent_run_id"], moved["root_run_id"]) == ("agent-step", "agent-root")
        assert listener.run(child_id)["parent_run_id"] == "agent-step"
    finally:
        reader.close()


@pytest.mark.timeout(120)
def test_a_waiting_chain_of_spans_takes_its_root_on_open_streams(listener):
    trace = tid(40)
    root = span(trace, sid(1), name="root")
    assert listener.post("/v1/traces", trace_request([root]).SerializeToString()).status_code == 200
    root_id = otel(trace, sid(1))
    everything = SSEReader(f"{listener.api}/stream")
    tree = SSEReader(f"{listener.api}/stream", params={"run_id": root_id, "include_descendants": "true"})
    try:
        everything.next(kind="hello")
        tree.next(kind="hello")
        # The grandchild, then the child: both wait (the child's parent has not arrived).
        for s in (span(trace, sid(3), sid(2), name="grandchild"), span(trace, sid(2), sid(9), name="child")):
            assert listener.post("/v1/traces", trace_request([s]).SerializeToString()).status_code == 200
        grandchild = runs_until(everything, lambda r: r["run_id"] == otel(trace, sid(3))
                                and r["parent_run_id"] == otel(trace, sid(2)))
        assert grandchild["root_run_id"] != root_id
        # The span between them and the root closes the chain.
        middle = span(trace, sid(9), sid(1), name="middle")
        assert listener.post("/v1/traces", trace_request([middle]).SerializeToString()).status_code == 200
        for reader in (everything, tree):
            got = {}
            for run_id in (otel(trace, sid(2)), otel(trace, sid(3))):
                record = runs_until(reader, lambda r, run_id=run_id: r["run_id"] == run_id and r["root_run_id"] == root_id)
                got[run_id] = record["parent_run_id"]
            assert got == {otel(trace, sid(2)): otel(trace, sid(9)), otel(trace, sid(3)): otel(trace, sid(2))}
    finally:
        everything.close()
        tree.close()
