"""The agent's own runs as parents of the spans OpenTelemetry instrumentations record.

Inside ``with use_run(run_id, root_run_id=root):`` the run is the current span of
OpenTelemetry's context: every span an instrumentation starts there (an LLM call, an HTTP
request, a database query) is a child of the run, with the trace id and parent span id our OTLP
export gives the run (:func:`~orvane_devtools.observation.backends.Otlp.trace_id_for` of the
root run, :func:`~orvane_devtools.observation.backends.Otlp.span_id_for` of the run). The
listener, and any OpenTelemetry backend that also receives our export, puts those spans under
the run. :class:`RunSpanProcessor`, added to the SDK's ``TracerProvider``, also stamps the run
ids on those spans (``orvane.run.root_id``, ``orvane.run.parent_id``), so a receiver can link
a span before the run's own span arrived.

The run's span is a non-recording span context (sampled, remote): nothing is recorded or sent
for it here; our own export sends the run. Samplers that follow the parent (the SDK's default,
``ParentBased``) keep its children.

Needs ``opentelemetry-api`` (the package's ``otel`` extra); :class:`RunSpanProcessor` is used
with ``opentelemetry-sdk``.
"""

from __future__ import annotations

from contextvars import Token
from types import TracebackType
from typing import TYPE_CHECKING, Any, Final

try:
    from opentelemetry import context as _context
    from opentelemetry import trace as _trace
except ImportError:  # the original error stays attached as the context
    raise ImportError(
        "orvane_devtools.otel needs the OpenTelemetry API (opentelemetry-api): install the "
        "'otel' extra, pip install 'orvane-devtools[otel]'",
        name=__name__,
    )

from orvane_devtools.observation.backends import Otlp as _Otlp

if TYPE_CHECKING:
    from opentelemetry.sdk.trace import ReadableSpan, Span
    from opentelemetry.sdk.trace import SpanProcessor as _SpanProcessorBase
else:
    try:
        from opentelemetry.sdk.trace import SpanProcessor as _SpanProcessorBase
    except ImportError:  # without the SDK nothing calls a span processor; the class still exists

        class _SpanProcessorBase:
            pass


__all__ = ["use_run", "RunSpanProcessor", "ROOT_ID_ATTRIBUTE", "PARENT_ID_ATTRIBUTE"]

ROOT_ID_ATTRIBUTE: Final = "orvane.run.root_id"
PARENT_ID_ATTRIBUTE: Final = "orvane.run.parent_id"

# The run a context is under, beside the run's span: RunSpanProcessor reads it from the context a
# span is started in (create_key makes the key unique to this module).
_RUN_KEY: Final = _context.create_key("orvane.run")

_SAMPLED: Final = _trace.TraceFlags(_trace.TraceFlags.SAMPLED)


def _type_error(name: str, expected: str, value: object) -> TypeError:
    return TypeError(
        "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)"
        % (name, expected, type(value).__name__)
    )


class _Run:
    """The ids of one run, computed once: its span, its context and the stamps of its spans."""

    __slots__ = ("run_id", "root_run_id", "trace_id", "span_id", "span", "root_stamp", "child_stamps")

    def __init__(self, run_id: str, root_run_id: str) -> None:
        self.run_id = run_id
        self.root_run_id = root_run_id
        self.trace_id = int(_Otlp.trace_id_for(root_run_id), 16)
        self.span_id = int(_Otlp.span_id_for(run_id), 16)
        self.span = _trace.NonRecordingSpan(
            _trace.SpanContext(self.trace_id, self.span_id, is_remote=True, trace_flags=_SAMPLED)
        )
        # Stamps for a span somewhere under the run, and for a direct child of it.
        self.root_stamp: dict[str, Any] = {ROOT_ID_ATTRIBUTE: root_run_id}
        self.child_stamps: dict[str, Any] = {ROOT_ID_ATTRIBUTE: root_run_id, PARENT_ID_ATTRIBUTE: run_id}


# A run is often entered many times (once per step or call): its SHA-256 ids are computed once.
# Cleared when full; a lost entry only costs computing it again.
_RUNS: dict[tuple[str, str], _Run] = {}
_RUNS_LIMIT: Final = 4096


def _run(run_id: str, root_run_id: str) -> _Run:
    key = (run_id, root_run_id)
    run = _RUNS.get(key)
    if run is None:
        if len(_RUNS) >= _RUNS_LIMIT:
            _RUNS.clear()
        run = _RUNS[key] = _Run(run_id, root_run_id)
    return run


class use_run:
    """Makes the run ``run_id`` the current span of OpenTelemetry's context while the block runs.

    ``with use_run(run_id, root_run_id=root):`` or ``async with use_run(...):``. Inside, the
    current span is the run's (trace id ``trace_id_for(root_run_id or run_id)``, span id
    ``span_id_for(run_id)``, sampled, remote), so every span started there is a child of the run
    -- also across ``await``, in asyncio tasks created inside, and in threads that run a
    ``contextvars.copy_context()`` taken inside. Give ``root_run_id`` for a run that is not a
    root (its run record's ``root_run_id``): the trace is the root's, as our export makes it.

    Blocks nest: the innermost run is current, and leaving a block restores the context it
    found, also when the block raises. ``with`` gives the run's ``SpanContext``. One object
    may be entered again after it was left, not while it is entered (make one per block).

    Raises TypeError for a ``run_id`` that is not a str or a ``root_run_id`` that is neither a
    str nor None, ValueError for an empty one.
    """

    __slots__ = ("_run", "_token")

    def __init__(self, run_id: str, *, root_run_id: str | None = None) -> None:
        if not isinstance(run_id, str):
            raise _type_error("run_id", "str", run_id)
        if root_run_id is not None and not isinstance(root_run_id, str):
            raise _type_error("root_run_id", "str", root_run_id)
        # Plain str copies: a str subclass with its own hash or equality stays out of the cache.
        run_id = str.__str__(run_id)
        root = run_id if root_run_id is None else str.__str__(root_run_id)
        if not run_id:
            raise ValueError("run_id must not be empty")
        if not root:
            raise ValueError("root_run_id must not be empty (None: the run is a root)")
        self._run = _run(run_id, root)
        self._token: Token[_context.Context] | None = None

    @property
    def run_id(self) -> str:
        return self._run.run_id

    @property
    def root_run_id(self) -> str:
        """The root run whose trace the run is in (the run itself when none was given)."""
        return self._run.root_run_id

    @property
    def span_context(self) -> _trace.SpanContext:
        return self._run.span.get_span_context()

    def __enter__(self) -> _trace.SpanContext:
        if self._token is not None:
            raise RuntimeError(f"use_run({self._run.run_id!r}) is already entered")
        run = self._run
        ctx = _trace.set_span_in_context(run.span)
        self._token = _context.attach(_context.set_value(_RUN_KEY, run, ctx))
        return run.span.get_span_context()

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        token, self._token = self._token, None
        if token is not None:
            _context.detach(token)

    async def __aenter__(self) -> _trace.SpanContext:
        return self.__enter__()

    async def __aexit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        self.__exit__(exc_type, exc, tb)

    def __repr__(self) -> str:
        return f"use_run({self._run.run_id!r}, root_run_id={self._run.root_run_id!r})"


class RunSpanProcessor(_SpanProcessorBase):
    """An SDK span processor that stamps the run ids on spans started under a :func:`use_run`.

    ``provider.add_span_processor(RunSpanProcessor())`` (before the exporting processors, so
    the stamps are there when they read the span). On a span started while a run is current
    and in its trace: ``orvane.run.root_id`` (the root run's id); on a span whose parent is the
    run itself (parent span id ``span_id_for(run_id)``), also ``orvane.run.parent_id`` (the
    run's id). Spans started outside a run, or in another trace, are left alone.

    ``on_start`` runs on the instrumented call's path: one context look-up and two integer
    comparisons, the ids having been computed when the run was entered.
    """

    def on_start(self, span: Span, parent_context: _context.Context | None = None) -> None:
        run = _context.get_value(_RUN_KEY, parent_context)
        if type(run) is not _Run:
            return
        if span.get_span_context().trace_id != run.trace_id:
            return
        parent = span.parent
        if parent is not None and parent.span_id == run.span_id:
            span.set_attributes(run.child_stamps)
        else:
            span.set_attributes(run.root_stamp)

    def _on_ending(self, span: Span) -> None:
        pass

    def on_end(self, span: ReadableSpan) -> None:
        pass

    def shutdown(self) -> None:
        pass

    def force_flush(self, timeout_millis: int = 30000) -> bool:
        return True
