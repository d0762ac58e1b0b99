"""The interface of the store that holds a log service's events and run records.

``RuntimeLogService`` and ``LogBatch`` reach their store only through the members declared here;
the service checks the arguments first, so a store takes them as given. Two stores implement it:
``MemoryLogStore`` (``_memory.py``: no ``logs.path``) and ``SQLiteLogStore`` (``_sqlite.py``).

The file store has a second road for appends, which the memory store has no use for: a batch
checks and encodes each event as it comes (``prepare``, so that a refused event raises in the
caller's ``append_event``) and hands the writer chunks of encoded events (``submit``), so that
writing overlaps the batch's block. ``LogStore`` declares what every store has; ``DirectLogStore``
and ``FileLogStore`` extend it with ``persistent`` fixed to False and True, and ``FileLogStore``
with that road. The service's store is their union, tagged by ``persistent``: the service reads
that attribute anyway before it takes the batch road, so a type checker knows ``prepare`` and
``submit`` are there, with no cast or ``isinstance`` on the path of each event.
"""

from __future__ import annotations

import asyncio
from concurrent.futures import Future
from typing import Any, Callable, ClassVar, Literal, Protocol

__all__ = ["DirectLogStore", "FileLogStore", "LogStore"]


class LogStore(Protocol):
    """What every store of the log service has."""

    @property
    def persistent(self) -> bool:
        """Whether the events are kept in a file."""
        ...

    @property
    def path(self) -> str | None:
        """The absolute path of the file, or None (in memory)."""
        ...

    # -- appends -----------------------------------------------------------------------------

    def append(self, events: list, loop: Any = None, calls: list | None = None) -> Future | asyncio.Future:
        """Keep ``events`` (RuntimeEvents) in one go. The future (one of ``loop`` when the store
        settles futures on the caller's loop) gives (stored, duplicates) once they are kept (with
        a file: committed). An event the store cannot hold raises ``ValueError`` here, before
        anything is kept. ``calls``: the LLM call pieces of these events (``_llm.CallPiece``),
        folded into their runs' calls with them, each only when its event is new."""
        ...

    def barrier(self) -> Future:
        """A future done once every append queued before it is kept."""
        ...

    def reset(self) -> None:
        """Forget every event and run."""
        ...

    def take_moved_runs(self) -> list[str]:
        """The ids of the runs whose parent or root committed appends changed since the last
        call (span links settled late), oldest first, each once; [] in memory."""
        ...

    def close(self, timeout: float | None = None) -> None:
        """Keep what is queued (waiting up to ``timeout``) and release the file; a file store
        then refuses every later call with ``RuntimeError``. Nothing to do in memory."""
        ...

    def stats(self) -> dict[str, Any]:
        """Counts and sizes (see ``RuntimeLogService.stats``)."""
        ...

    # -- runs --------------------------------------------------------------------------------

    def query_runs(self, values: dict[str, Any]) -> list:
        """Copies of the run records that pass the filters ``values`` (every filter of
        ``RuntimeLogService.query_runs`` by name, None when not given), newest update first."""
        ...

    def root_run_rows(self, root_run_id: str) -> list[tuple]:
        """The runs of a root as rows with their record's JSON (see
        ``RuntimeLogService.root_run_rows``)."""
        ...

    def run_record(self, run_id: str) -> list:
        """[a copy of the record of ``run_id``] or []."""
        ...

    def child_records(self, parent: str) -> list:
        """Copies of the records whose parent is ``parent``, newest update first."""
        ...

    def collect_descendant_run_ids(self, run_id: str) -> list[str]:
        """``run_id`` and its descendants' ids, breadth first, children by ascending id."""
        ...

    def span_runs(self, keys: list[tuple[str, str]]) -> dict[tuple[str, str], tuple[str, str]]:
        """(trace id, span id) -> (run id, root run id) of the stored runs those spans are (see
        ``RuntimeLogService.span_runs``)."""
        ...

    # -- LLM calls ---------------------------------------------------------------------------

    def llm_call_texts(self, run_ids: list[str]) -> dict[str, str]:
        """run id -> the JSON text of its LLM call (``LlmCall.as_json``), for the runs of
        ``run_ids`` that have one."""
        ...

    def llm_numbers(self, run_ids: list[str]) -> dict[str, tuple]:
        """run id -> (calls, input tokens, output tokens, total tokens, cost_usd, unpriced
        calls) of its LLM calls, for the runs of ``run_ids`` that have one (tokens summed over the
        run's calls, unknown counts as 0; cost the sum of the priced ones, None when none is)."""
        ...

    def llm_tree_numbers(self, run_ids: list[str]) -> dict[str, list[tuple]]:
        """run id -> the ``llm_numbers`` of each run with LLM calls among the run and all its
        descendants (as ``collect_descendant_run_ids`` finds them); runs with none may be left
        out."""
        ...

    def llm_model_runs(self, model: str) -> set[str]:
        """The ids of the runs whose LLM call's ``model`` is ``model``."""
        ...

    # -- sessions and usage ------------------------------------------------------------------

    def keep_while_unchanged(self, key: Any, work: Any) -> Any:
        """``work()``'s answer, or the one kept for ``key`` (see
        ``RuntimeLogService.keep_while_unchanged``)."""
        ...

    def session_summaries(self, *, session_id: str | None, app_id: str | None, since: int | None,
                          until: int | None, search: str | None, limit: int, offset: int) -> list[dict[str, Any]]:
        """The summaries of the sessions that pass the filters, newest last activity first (see
        ``RuntimeLogService.session_summaries``)."""
        ...

    def session_heads(self, session_id: str) -> list[str]:
        """The ids of the heads of the session's run trees (see
        ``RuntimeLogService.session_heads``)."""
        ...

    def llm_usage(self, since: int, until: int | None) -> list[dict[str, Any]]:
        """Per model, the LLM calls whose time is in the window (see
        ``RuntimeLogService.llm_usage``)."""
        ...

    # -- events ------------------------------------------------------------------------------

    def get_event(self, event_id: str) -> Any:
        """A copy of the kept event with this id, or None."""
        ...

    def query_events(
        self,
        *,
        run_ids: list[str] | None,
        run_id: str | None,
        event_types: Any,
        source: Any,
        level: Any,
        app_id: Any,
        app_id_pattern: str | None,
        group_id: Any,
        search: str | None,
        since: int | None,
        until: int | None,
        limit: int | None,
        texts: bool = False,
    ) -> list:
        """Copies of the kept events that pass every filter (see
        ``RuntimeLogService.query_events``); with ``texts``, each one's ``model_dump_json()``
        instead."""
        ...


class DirectLogStore(LogStore, Protocol):
    """A store that keeps each append at once (in memory): no prepared events."""

    @property
    def persistent(self) -> Literal[False]: ...


class FileLogStore(LogStore, Protocol):
    """A store in a file, whose appends a writer thread commits, with the batch road."""

    @property
    def persistent(self) -> Literal[True]: ...

    # The class's own ``prepare`` and ``append``: while they are the ones in use, an append
    # reads its events only in ``prepare`` (see ``RuntimeLogService._reads_event_at_once``).
    _own_prepare: ClassVar[Callable[..., tuple]]
    _own_append: ClassVar[Callable[..., Any]]

    def prepare(self, event: Any) -> tuple:
        """Check and encode one event for the writer; raises ``ValueError`` for an event the
        file cannot hold."""
        ...

    def submit(self, prepared: list, loop: Any = None, links: Any = None,
               calls: list | None = None) -> Future | asyncio.Future:
        """Queue prepared events as one transaction; the future gives (stored, duplicates)
        once they are committed (``append`` is ``prepare`` then ``submit``). ``links``: the
        span links of their runs (a ``SpanLinks``), settled in that transaction; ``calls``: the
        LLM call pieces of the events, folded in that transaction."""
        ...
