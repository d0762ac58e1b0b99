"""The facade builds the OTLP exporter from its settings on reload, like the JSON Lines backend:
events accepted by the desk reach a real receiver as spans, judged by the desk's own stale and
orphan thresholds, and a reload never sends one run twice."""

from __future__ import annotations

import asyncio
import subprocess
import sys
import warnings

import pytest
from otlp_helpers import Receiver, by_run, event, run_ctx

from orvane.utils import Settings
from orvane_devtools.observation.backends.Otlp import OtlpExportWarning, OtlpTraceSink
from orvane_devtools.observation.TraceDesk import RuntimeTraceDesk


@pytest.fixture
def receiver():
    r = Receiver()
    yield r
    r.close()


def desk_for(receiver, **more):
    settings = {"observation.otlp.enabled": True, "observation.otlp.endpoint": receiver.url()}
    settings.update(more)
    return RuntimeTraceDesk(Settings(settings))


def otlp_of(desk) -> OtlpTraceSink:
    (sink,) = [b for b in desk._backends if isinstance(b, OtlpTraceSink)]
    sink._background_flush_interval = 0.01
    return sink


def test_events_accepted_by_the_desk_arrive_as_spans(receiver):
    desk = desk_for(receiver, **{"observation.otlp.service_name": "svc", "observation.otlp.headers": {"x-tenant": "t9"},
                                 "observation.otlp.protocol": "http/json"})
    sink = otlp_of(desk)
    root, child = run_ctx("root", agent="Lead"), run_ctx("child", parent="root", agent="Helper")

    async def play():
        for e in [event("agent_task.started", root, 1), event("agent_task.started", child, 2),
                  event("stream.delta", child, 3), event("agent_task.completed", child, 4),
                  event("agent_task.completed", root, 5)]:
            assert await desk.append_event(e)
        await sink.flush()

    asyncio.run(play())
    runs = by_run(receiver.spans())
    assert set(runs) == {"root", "child"}
    assert runs["child"]["parent_span_id"] == runs["root"]["span_id"]
    assert runs["child"]["attributes"]["orvane.run.stream_delta_count"] == 1
    assert runs["root"]["resource"]["service.name"] == "svc"  # no app id on the events
    request = receiver.requests[0]
    assert request["headers"]["x-tenant"] == "t9" and request["headers"]["content-type"] == "application/json"


def test_stream_deltas_setting_exports_them_one_by_one(receiver):
    desk = desk_for(receiver, **{"observation.otlp.stream_deltas": True})
    sink = otlp_of(desk)
    run = run_ctx("r")

    async def play():
        for e in [event("task.started", run, 1), event("stream.delta", run, 2), event("task.completed", run, 3)]:
            await desk.append_event(e)
        await sink.flush()

    asyncio.run(play())
    assert [e["name"] for e in by_run(receiver.spans())["r"]["events"]] == [
        "task.started", "stream.delta", "task.completed"]


def test_orphans_are_judged_by_the_desks_threshold_without_new_events(receiver):
    desk = desk_for(receiver, **{"observation.run_orphan_after_seconds": 1})
    otlp_of(desk)
    root, child = run_ctx("root"), run_ctx("child", parent="root")

    async def play():
        await desk.append_event(event("agent_task.started", root, _now()))
        await desk.append_event(event("agent_task.started", child, _now()))
        await desk.append_event(event("agent_task.completed", root, _now()))

    asyncio.run(play())
    # Nothing else happens: the sink's own timer judges the open child and sends it.
    assert receiver.wait_for(lambda r: r.span_count() >= 2, timeout=15)
    runs = by_run(receiver.spans())
    assert runs["child"]["status_message"] == "orphaned_after_ancestor_terminal"
    assert desk.get_run("child").meta.get("devtools_stale_reason") == "orphaned_after_ancestor_terminal"


def _now() -> int:
    import time

    return int(time.time() * 1000)


def test_reload_keeps_the_sink_or_hands_its_runs_over(receiver):
    desk = desk_for(receiver)
    first = otlp_of(desk)
    desk.reload()
    assert otlp_of(desk) is first  # same settings: the same sink
    run = run_ctx("r", agent="A")

    async def play():
        await desk.append_event(event("agent_task.started", run, 1))
        desk.settings.set("observation.otlp.protocol", "http/json")
        desk.reload()
        second = otlp_of(desk)
        assert second is not first and second.protocol == "http/json"
        await desk.append_event(event("agent_task.completed", run, 9))
        await second.flush()
        await first.flush()

    asyncio.run(play())
    (span,) = receiver.spans()  # once, whole, not once incomplete and once again
    assert span["start"] == 1_000_000 and span["end"] == 9_000_000
    assert span["status_code"] == 0


def test_switching_export_off_sends_what_the_sink_held(receiver):
    desk = desk_for(receiver)
    sink = otlp_of(desk)
    run = run_ctx("r")

    async def play():
        await desk.append_event(event("agent_task.started", run, 1))

    asyncio.run(play())
    desk.settings.set("observation.otlp.enabled", False)
    desk.reload()
    assert not any(isinstance(b, OtlpTraceSink) for b in desk._backends)
    assert receiver.wait_for(lambda r: r.span_count() >= 1)
    assert receiver.spans()[0]["status_message"] == "incomplete"
    assert sink.get_stats()["open_run_count"] == 0


def test_bad_otlp_settings_fail_the_reload_like_other_backends(receiver):
    desk = desk_for(receiver)
    desk.settings.set("observation.otlp.protocol", "grpc")
    with pytest.raises(ValueError, match="http/protobuf"):
        desk.reload()


def test_a_desk_without_otlp_settings_does_not_load_the_exporter():
    code = ("import sys\n"
            "from orvane.utils import Settings\n"
            "from orvane_devtools.observation.TraceDesk import RuntimeTraceDesk\n"
            "RuntimeTraceDesk(Settings({'observation.jsonl.enabled': False})).reload()\n"
            "assert 'orvane_devtools.observation.backends.Otlp' not in sys.modules\n")
    subprocess.run([sys.executable, "-c", code], check=True, timeout=60)


def test_an_unreachable_receiver_never_reaches_the_desks_caller():
    desk = RuntimeTraceDesk(Settings({"observation.otlp.enabled": True,
                                      "observation.otlp.endpoint": "http://127.0.0.1:9/v1/traces"}))
    sink = otlp_of(desk)
    sink.timeout = 0.5
    run = run_ctx("r")

    async def play():
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", OtlpExportWarning)
            assert await desk.append_event(event("task.started", run, 1))
            assert await desk.append_event(event("task.completed", run, 2))
            await sink.flush()

    asyncio.run(play())
    stats = sink.get_stats()
    # The span stays for a later attempt; the caller saw no error.
    assert stats["export_failure_count"] >= 1 and stats["ready_span_count"] == 1
