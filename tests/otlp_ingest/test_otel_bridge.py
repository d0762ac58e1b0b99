"""The agent's runs as OpenTelemetry parents: ``use_run`` and ``RunSpanProcessor`` with the real
SDK, spans captured in memory and read back as a receiver decodes them (otel_capture.py).

The ids are checked against the spans our own OTLP export sends for the same runs; contexts
across nesting, errors, ``await``, asyncio tasks and threads; the samplers that follow a parent;
the stamps and where they must not appear; the arguments; the import without the API.
"""

from __future__ import annotations

import asyncio
import contextvars
import subprocess
import sys
import textwrap
import threading

import pytest
from opentelemetry import context as otel_context
from opentelemetry import trace
from opentelemetry.proto.collector.trace.v1.trace_service_pb2 import ExportTraceServiceRequest
from opentelemetry.sdk.trace.sampling import ALWAYS_OFF, ParentBased, TraceIdRatioBased
from otel_capture import FLAG_HAS_IS_REMOTE, FLAG_IS_REMOTE, Capture, by_name, spans_of

from orvane_devtools._orvane_compat import RuntimeEvent
from orvane_devtools.observation.backends import Otlp
from orvane_devtools.otel import RunSpanProcessor, use_run

ROOT_STAMP = "orvane.run.root_id"
PARENT_STAMP = "orvane.run.parent_id"
WAIT_S = 10.0


@pytest.fixture
def capture():
    c = Capture()
    yield c
    c.shutdown()


def exported_run_spans(events: list[RuntimeEvent]) -> dict[str, dict]:
    """The spans our OTLP export makes of these events, keyed by run id."""
    builder = Otlp._SpanBuilder()
    assert builder.add(events) == 0
    builder.finish_all(events[-1].timestamp + 1)
    spans = []
    while (body := builder.take_request(max_spans=64)) is not None:
        spans += spans_of(ExportTraceServiceRequest.FromString(body))
    return {s["attributes"]["orvane.run.id"]: s for s in spans if "orvane.run.id" in s["attributes"]}


def run_events(ts: int, run_id: str, *, parent: str | None = None, root: str | None = None) -> list[RuntimeEvent]:
    run = {"run_id": run_id, "run_kind": "agent_task"}
    if parent is not None:
        run["parent_run_id"] = parent
    if root is not None:
        run["root_run_id"] = root
    return [
        RuntimeEvent(event_type="agent_task.started", run=run, timestamp=ts),
        RuntimeEvent(event_type="agent_task.completed", run=run, timestamp=ts + 5),
    ]


class TestIdsAreTheExportsIds:
    def test_spans_started_in_a_run_are_children_of_the_span_our_export_sends_for_it(self, capture):
        # A three-level tree as the runtime reports it, exported by our own OTLP export...
        events = (run_events(1_000, "plan-1") + run_events(1_010, "step-1", parent="plan-1", root="plan-1")
                  + run_events(1_020, "tool-1", parent="step-1", root="plan-1"))
        exported = exported_run_spans(events)
        tracer = capture.tracer()
        # ... and the same runs made current in OpenTelemetry while instrumented code runs.
        with use_run("plan-1"):
            tracer.start_span("under plan").end()
            with use_run("step-1", root_run_id="plan-1"):
                tracer.start_span("under step").end()
                with use_run("tool-1", root_run_id="plan-1"):
                    tracer.start_span("under tool").end()
        spans = by_name(capture.spans())
        for name, run_id in (("under plan", "plan-1"), ("under step", "step-1"), ("under tool", "tool-1")):
            assert spans[name]["parent_span_id"] == exported[run_id]["span_id"], name
            assert spans[name]["trace_id"] == exported[run_id]["trace_id"], name
        # One trace for the whole tree, in our export and under the bridge alike.
        assert len({s["trace_id"] for s in exported.values()} | {s["trace_id"] for s in spans.values()}) == 1

    def test_the_ids_are_trace_id_for_the_root_and_span_id_for_the_run(self):
        with use_run("step-9", root_run_id="plan-9") as ctx:
            assert ctx == trace.get_current_span().get_span_context()
        assert format(ctx.trace_id, "032x") == Otlp.trace_id_for("plan-9")
        assert format(ctx.span_id, "016x") == Otlp.span_id_for("step-9")
        assert ctx.is_remote and ctx.trace_flags.sampled and ctx.is_valid
        alone = use_run("plan-9").span_context
        assert format(alone.trace_id, "032x") == Otlp.trace_id_for("plan-9")
        assert alone.span_id != ctx.span_id

    def test_a_child_span_carries_the_remote_parent_flags(self, capture):
        with use_run("flags-run"):
            capture.tracer().start_span("child").end()
        (span,) = capture.spans()
        assert span["flags"] & (FLAG_HAS_IS_REMOTE | FLAG_IS_REMOTE) == FLAG_HAS_IS_REMOTE | FLAG_IS_REMOTE

    def test_the_run_itself_is_neither_recorded_nor_exported(self, capture):
        with use_run("quiet-run"):
            current = trace.get_current_span()
            assert not current.is_recording()
            current.set_attribute("ignored", 1)
            capture.tracer().start_span("child").end()
        assert [s["name"] for s in capture.spans()] == ["child"]

    def test_ids_of_non_ascii_run_ids_match_the_export(self, capture):
        run_id = "étape-ü-✓"
        exported = exported_run_spans(run_events(2_000, run_id))
        with use_run(run_id):
            capture.tracer().start_span("child").end()
        (span,) = capture.spans()
        assert span["parent_span_id"] == exported[run_id]["span_id"]
        assert span["trace_id"] == exported[run_id]["trace_id"]


class TestContexts:
    def test_nested_runs_nest_and_leaving_restores_the_outer_run(self, capture):
        tracer = capture.tracer()
        outer_span = Otlp.span_id_for("outer")
        with use_run("outer"):
            tracer.start_span("a").end()
            with use_run("inner", root_run_id="outer"):
                tracer.start_span("b").end()
            tracer.start_span("c").end()
        tracer.start_span("d").end()
        spans = by_name(capture.spans())
        assert spans["a"]["parent_span_id"] == outer_span
        assert spans["b"]["parent_span_id"] == Otlp.span_id_for("inner")
        assert spans["c"]["parent_span_id"] == outer_span
        assert spans["d"]["parent_span_id"] == ""
        assert spans["d"]["trace_id"] != Otlp.trace_id_for("outer")
        assert trace.get_current_span() is trace.INVALID_SPAN

    def test_an_error_in_the_block_propagates_and_the_context_is_restored(self, capture):
        tracer = capture.tracer()
        before = otel_context.get_current()
        with use_run("outer"):
            with pytest.raises(KeyError, match="boom"):
                with use_run("inner", root_run_id="outer"):
                    raise KeyError("boom")
            # Back in the outer run, not in the inner one and not outside.
            tracer.start_span("after inner error").end()
            with pytest.raises(ZeroDivisionError):
                with use_run("other"):
                    with tracer.start_as_current_span("failing"):
                        1 / 0
        assert otel_context.get_current() == before
        spans = by_name(capture.spans())
        assert spans["after inner error"]["parent_span_id"] == Otlp.span_id_for("outer")
        assert spans["failing"]["parent_span_id"] == Otlp.span_id_for("other")
        assert spans["failing"]["status"]["code"] == 2  # the SDK records the error on the child

    def test_entering_a_run_changes_the_current_span_and_keeps_the_rest_of_the_context(self):
        from opentelemetry import baggage

        token = otel_context.attach(baggage.set_baggage("tenant", "acme"))
        try:
            with use_run("with-baggage"):
                assert baggage.get_baggage("tenant") == "acme"
            assert baggage.get_baggage("tenant") == "acme"
        finally:
            otel_context.detach(token)

    def test_a_span_current_inside_the_run_parents_its_own_children(self, capture):
        tracer = capture.tracer()
        with use_run("step", root_run_id="plan"):
            with tracer.start_as_current_span("llm call") as llm:
                tracer.start_span("http request").end()
        spans = by_name(capture.spans())
        assert spans["llm call"]["parent_span_id"] == Otlp.span_id_for("step")
        assert spans["http request"]["parent_span_id"] == format(llm.get_span_context().span_id, "016x")
        assert spans["http request"]["trace_id"] == Otlp.trace_id_for("plan")

    def test_async_with_holds_across_awaits_and_passes_to_tasks_created_inside(self, capture):
        tracer = capture.tracer()

        async def child(name: str) -> None:
            await asyncio.sleep(0)
            tracer.start_span(name).end()

        async def main() -> None:
            async with use_run("async-run", root_run_id="async-root"):
                await asyncio.sleep(0.01)
                tracer.start_span("after await").end()
                task = asyncio.create_task(child("in task"))
                await asyncio.wait_for(task, WAIT_S)
                # asyncio.to_thread runs the function in a copy of the caller's context.
                await asyncio.wait_for(asyncio.to_thread(lambda: tracer.start_span("in to_thread").end()), WAIT_S)
            tracer.start_span("after block").end()

        asyncio.run(asyncio.wait_for(main(), WAIT_S))
        spans = by_name(capture.spans())
        for name in ("after await", "in task", "in to_thread"):
            assert spans[name]["parent_span_id"] == Otlp.span_id_for("async-run"), name
            assert spans[name]["trace_id"] == Otlp.trace_id_for("async-root"), name
        assert spans["after block"]["parent_span_id"] == ""

    def test_concurrent_tasks_in_different_runs_do_not_mix(self, capture):
        tracer = capture.tracer()
        step = asyncio.Event()

        async def agent(run_id: str, first: bool) -> None:
            async with use_run(run_id):
                # Interleave: each task enters, waits for the other, then records.
                if first:
                    await asyncio.wait_for(step.wait(), WAIT_S)
                else:
                    step.set()
                for i in range(3):
                    await asyncio.sleep(0)
                    tracer.start_span(f"{run_id}/{i}").end()

        async def main() -> None:
            await asyncio.wait_for(asyncio.gather(agent("run-a", True), agent("run-b", False)), WAIT_S)

        asyncio.run(main())
        spans = capture.spans()
        assert len(spans) == 6
        for s in spans:
            run_id = s["name"].split("/")[0]
            assert s["parent_span_id"] == Otlp.span_id_for(run_id), s["name"]
            assert s["attributes"][PARENT_STAMP] == run_id

    def test_threads_follow_a_copied_context_and_only_that(self, capture):
        tracer = capture.tracer()
        errors: list[BaseException] = []

        def work(name: str) -> None:
            try:
                tracer.start_span(name).end()
            except BaseException as exc:  # pragma: no cover - reported below
                errors.append(exc)

        with use_run("threaded", root_run_id="threads-root"):
            copied = contextvars.copy_context()
            t1 = threading.Thread(target=copied.run, args=(work, "copied"))
            t2 = threading.Thread(target=work, args=("plain",))
            t1.start()
            t2.start()
            t1.join(WAIT_S)
            t2.join(WAIT_S)
        assert not t1.is_alive() and not t2.is_alive() and not errors
        spans = by_name(capture.spans())
        assert spans["copied"]["parent_span_id"] == Otlp.span_id_for("threaded")
        assert spans["copied"]["attributes"][ROOT_STAMP] == "threads-root"
        # A thread does not inherit the context of the thread that started it.
        assert spans["plain"]["parent_span_id"] == ""
        assert ROOT_STAMP not in spans["plain"]["attributes"]

    def test_a_context_taken_inside_the_block_keeps_the_run_after_it_ended(self, capture):
        with use_run("kept"):
            copied = contextvars.copy_context()
        copied.run(lambda: capture.tracer().start_span("later").end())
        (span,) = capture.spans()
        assert span["parent_span_id"] == Otlp.span_id_for("kept")

    def test_one_object_is_entered_again_only_after_it_was_left(self, capture):
        scope = use_run("again")
        with scope:
            with pytest.raises(RuntimeError, match="already entered"):
                scope.__enter__()
            # The failed entry changed nothing.
            assert trace.get_current_span().get_span_context().span_id == int(Otlp.span_id_for("again"), 16)
        assert trace.get_current_span() is trace.INVALID_SPAN
        with scope:
            capture.tracer().start_span("second entry").end()
        assert trace.get_current_span() is trace.INVALID_SPAN
        (span,) = capture.spans()
        assert span["parent_span_id"] == Otlp.span_id_for("again")


class TestSamplers:
    @pytest.mark.parametrize("sampler", [ParentBased(ALWAYS_OFF), ParentBased(TraceIdRatioBased(0.0))],
                             ids=["parent-based-off", "parent-based-ratio-0"])
    def test_a_sampler_that_follows_the_parent_keeps_the_children_of_a_run(self, sampler):
        capture = Capture(sampler=sampler)
        try:
            tracer = capture.tracer()
            tracer.start_span("outside a run").end()  # its root sampler says no
            with use_run("sampled-run"):
                with tracer.start_as_current_span("inside a run"):
                    tracer.start_span("grandchild").end()
            assert sorted(s["name"] for s in capture.spans()) == ["grandchild", "inside a run"]
        finally:
            capture.shutdown()


class TestStamps:
    def test_direct_children_carry_both_ids_deeper_spans_the_root_only(self, capture):
        tracer = capture.tracer()
        with use_run("step-2", root_run_id="plan-2"):
            with tracer.start_as_current_span("child"):
                tracer.start_span("grandchild").end()
        spans = by_name(capture.spans())
        assert spans["child"]["attributes"][ROOT_STAMP] == "plan-2"
        assert spans["child"]["attributes"][PARENT_STAMP] == "step-2"
        assert spans["grandchild"]["attributes"][ROOT_STAMP] == "plan-2"
        assert PARENT_STAMP not in spans["grandchild"]["attributes"]

    def test_a_root_run_is_its_own_root(self, capture):
        with use_run("solo"):
            capture.tracer().start_span("child").end()
        (span,) = capture.spans()
        assert span["attributes"][ROOT_STAMP] == "solo"
        assert span["attributes"][PARENT_STAMP] == "solo"

    def test_no_stamps_outside_a_run_or_in_another_trace(self, capture):
        tracer = capture.tracer()
        tracer.start_span("outside").end()
        foreign = trace.NonRecordingSpan(trace.SpanContext(
            trace_id=0x1234, span_id=0x5678, is_remote=True, trace_flags=trace.TraceFlags(1)))
        with use_run("stamped"):
            # A parent of another trace given explicitly, in a context that still holds the run.
            tracer.start_span("other trace", context=trace.set_span_in_context(foreign)).end()
            # An empty context: a new root, whatever is current.
            tracer.start_span("fresh root", context=otel_context.Context()).end()
            tracer.start_span("in run").end()
        spans = by_name(capture.spans())
        for name in ("outside", "other trace", "fresh root"):
            assert ROOT_STAMP not in spans[name]["attributes"], name
            assert PARENT_STAMP not in spans[name]["attributes"], name
        assert spans["other trace"]["parent_span_id"] == format(0x5678, "016x")
        assert spans["in run"]["attributes"][PARENT_STAMP] == "stamped"

    def test_an_explicit_context_taken_in_a_run_is_stamped_wherever_it_is_used(self, capture):
        with use_run("explicit", root_run_id="explicit-root"):
            ctx = otel_context.get_current()
        capture.tracer().start_span("later", context=ctx).end()
        (span,) = capture.spans()
        assert span["attributes"][PARENT_STAMP] == "explicit"
        assert span["attributes"][ROOT_STAMP] == "explicit-root"

    def test_without_the_processor_spans_are_children_but_unstamped(self):
        capture = Capture(stamps=False)
        try:
            with use_run("bare"):
                capture.tracer().start_span("child").end()
            (span,) = capture.spans()
            assert span["parent_span_id"] == Otlp.span_id_for("bare")
            assert ROOT_STAMP not in span["attributes"]
        finally:
            capture.shutdown()

    def test_the_ids_of_a_run_are_hashed_once_not_per_span(self, capture, monkeypatch):
        calls: list[str] = []
        real_trace, real_span = Otlp.trace_id_for, Otlp.span_id_for
        monkeypatch.setattr(Otlp, "trace_id_for", lambda r: calls.append("trace") or real_trace(r))
        monkeypatch.setattr(Otlp, "span_id_for", lambda r: calls.append("span") or real_span(r))
        tracer = capture.tracer()
        for _ in range(3):
            with use_run("hashed-once-run", root_run_id="hashed-once-root"):
                for _ in range(5):
                    tracer.start_span("child").end()
        assert sorted(calls) == ["span", "trace"]
        spans = capture.spans()
        assert len(spans) == 15
        assert {s["parent_span_id"] for s in spans} == {real_span("hashed-once-run")}

    def test_the_processor_is_a_span_processor_of_the_sdk(self):
        from opentelemetry.sdk.trace import SpanProcessor

        processor = RunSpanProcessor()
        assert isinstance(processor, SpanProcessor)
        assert processor.force_flush() is True
        processor.shutdown()


class TestArguments:
    @pytest.mark.parametrize(("args", "kwargs", "name", "got"), [
        ((5,), {}, "run_id", "int"),
        ((None,), {}, "run_id", "NoneType"),
        ((b"run",), {}, "run_id", "bytes"),
        (("run",), {"root_run_id": 7}, "root_run_id", "int"),
        (("run",), {"root_run_id": b"root"}, "root_run_id", "bytes"),
    ])
    def test_wrong_types_get_the_house_message(self, args, kwargs, name, got):
        with pytest.raises(TypeError) as err:
            use_run(*args, **kwargs)
        assert str(err.value) == f"Argument '{name}' has incorrect type (expected str, got {got})"

    def test_root_run_id_is_keyword_only(self):
        with pytest.raises(TypeError):
            use_run("run", "root")  # type: ignore[misc]

    @pytest.mark.parametrize("kwargs", [{"run_id": ""}, {"run_id": "run", "root_run_id": ""}])
    def test_empty_ids_are_refused(self, kwargs):
        with pytest.raises(ValueError, match="must not be empty"):
            use_run(**kwargs)

    def test_a_str_subclass_is_read_as_its_text(self, capture):
        class Odd(str):
            def __hash__(self) -> int:
                return 1

            def __eq__(self, other: object) -> bool:
                return True

        scope = use_run(Odd("odd-run"), root_run_id=Odd("odd-root"))
        assert type(scope.run_id) is str and scope.run_id == "odd-run"
        assert scope.root_run_id == "odd-root"
        # Equal-to-everything keys would have taken another run's cached ids.
        assert use_run("plain-run").span_context.span_id != scope.span_context.span_id
        with scope:
            capture.tracer().start_span("child").end()
        (span,) = capture.spans()
        assert span["parent_span_id"] == Otlp.span_id_for("odd-run")
        assert span["attributes"][ROOT_STAMP] == "odd-root"


def run_python(code: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=60)


class TestImport:
    def test_without_the_api_the_import_error_names_the_extra(self):
        proc = run_python("""
            import sys
            sys.modules["opentelemetry"] = None  # as if opentelemetry-api were not installed
            try:
                import orvane_devtools.otel
            except ImportError as exc:
                print("ImportError:", exc)
            else:
                print("imported")
        """)
        assert proc.returncode == 0, proc.stderr
        assert "ImportError:" in proc.stdout
        assert "opentelemetry-api" in proc.stdout
        assert "pip install 'orvane-devtools[otel]'" in proc.stdout

    def test_without_the_sdk_the_bridge_still_works(self):
        proc = run_python("""
            import sys
            sys.modules["opentelemetry.sdk"] = None  # only the API installed
            from opentelemetry import trace
            from orvane_devtools.otel import RunSpanProcessor, use_run
            from orvane_devtools.observation.backends import Otlp
            with use_run("api-only", root_run_id="api-root"):
                ctx = trace.get_current_span().get_span_context()
            print(format(ctx.span_id, "016x") == Otlp.span_id_for("api-only"),
                  format(ctx.trace_id, "032x") == Otlp.trace_id_for("api-root"))
            RunSpanProcessor().shutdown()
        """)
        assert proc.returncode == 0, proc.stderr
        assert proc.stdout.split() == ["True", "True"]
