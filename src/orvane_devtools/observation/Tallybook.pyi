"""Type stubs of the Tallybook extension module: the in-memory run store and the run record types."""

from collections import deque
from types import CapsuleType
from typing import Any, ClassVar, Literal, TypeAlias

from pydantic import BaseModel
from typing_extensions import disjoint_base

from orvane_devtools._orvane_compat import RuntimeEvent, RuntimeRunContext

RunStatus: TypeAlias = Literal["unknown", "running", "waiting", "completed", "failed"]

class RunRecord(BaseModel):
    """The record of one run, derived from its events by RuntimeTallybook."""

    run_id: str
    root_run_id: str
    parent_run_id: str | None = None
    run_kind: str
    agent_id: str | None = None
    agent_name: str | None = None
    session_id: str | None = None
    response_id: str | None = None
    execution_id: str | None = None
    status: RunStatus = "unknown"
    latest_event_type: str | None = None
    latest_source: str | None = None
    latest_message: str | None = None
    started_at: int | None = None
    updated_at: int | None = None
    completed_at: int | None = None
    failed_at: int | None = None
    event_count: int = 0
    meta: dict[str, Any] = ...

# The store's private C interface for the other extension modules (the facade's event queries,
# the log service's writer rows); not for Python callers.
_fast_api: CapsuleType

def _infer_run_status(event: RuntimeEvent) -> RunStatus | None:
    """The status an event moves its run to, by the suffix of its event_type; None for no change."""

@disjoint_base
class RuntimeTallybook:
    """In-memory store of runtime events and the run records derived from them.

    Events are held in a compact native encoding, in bounded rings of capacity ``max_events``
    (the recent ring and one ring per run); every event or record a query returns is a new,
    independent copy.

    At most ``max_runs`` runs are kept (default 100,000). Beyond that, the oldest finished runs
    (status "completed" or "failed") whose events have all left the recent events are dropped
    first, then the oldest runs, whatever their status; the run an event is being appended to is
    never the one dropped. A dropped run takes its record, its held events, its search text and
    its link under its parent with it (its own children keep their links); ``evicted_run_count``
    counts them. An event for a dropped run id later starts a new record.

    A run's search text is written when a search first needs it, not at each append: str() of a
    value kept as a Python object therefore runs then (from inside the store's call: it may query
    the store, not change it). A value whose text cannot be made (it contains itself, nests too
    deep, its str() raises, an int too long to convert) is searched by its case-folded repr(), or
    not at all when that fails too.

    Integer query arguments (``since``, ``until``, ``limit``) take an int (bool included) or
    None; anything else, a float too, is refused with the argument type error.
    """

    backend_name: ClassVar[str]  # "memory"

    def __init__(self, max_events: int = 5000, max_runs: int = 100000) -> None:
        """``max_events`` (>= 0) and ``max_runs`` (>= 1) are integers; another real number is
        truncated, anything else is refused with the argument type error."""
    @property
    def _max_events(self) -> int:
        """Capacity of each event ring. Settable; a new value applies to rings made afterwards."""
    @_max_events.setter
    def _max_events(self, value: int) -> None: ...
    @property
    def _max_runs(self) -> int:
        """Most runs kept. Settable; a lower value drops the runs beyond it at once."""
    @_max_runs.setter
    def _max_runs(self, value: int) -> None: ...
    @property
    def evicted_run_count(self) -> int:
        """Runs dropped so far because the store held ``max_runs`` runs (0 again after ``reset``)."""
    @property
    def _runs(self) -> dict[str, RunRecord]:
        """run id -> RunRecord: the live records, updated in place as events arrive.

        Records are kept natively until this is first read; from then on they live in this
        mapping (the same object on every read), where changes made to them are seen by later
        events and searches. Appends are somewhat slower from then on."""
    @property
    def _children_by_parent(self) -> dict[str, set[str]]:
        """parent run id -> set of child run ids: the live mapping."""
    @property
    def _events_by_run(self) -> dict[str, deque[RuntimeEvent]]:
        """run id -> the run's held events, oldest first. A materialised copy: events are held
        natively, so changing the returned deques or events does not change the store."""
    @property
    def _recent_events(self) -> deque[RuntimeEvent]:
        """The held recent events, oldest first (maxlen = the ring's capacity). A materialised copy."""
    @property
    def _search_cache_by_run(self) -> dict[str, str]:
        """run id -> the run's accumulated normalised search text. A materialised copy."""
    def reset(self) -> None: ...
    def append_event(self, event: RuntimeEvent) -> None:
        """Keep a copy of the event and update its run's record and links. Either the whole event
        is taken or, when this raises, nothing of it is. A timestamp that is neither an int nor a
        float is refused with TypeError."""
    def _derive_record(
        self, event_type: str, timestamp: int | float, source: str, message: str, meta: dict[str, Any],
        run: RuntimeRunContext,
    ) -> str:
        """Update the record of the run ``run`` as ``append_event`` would for an event with these
        fields, without keeping the event or writing the run's search text; returns the run's status
        after it. For a store used to derive records only (the persistent log service's writer)."""
    def _adopt_run(self, record: RunRecord, search_text: str | None = None) -> None:
        """Insert (or replace) a run record as if this store had derived it from the run's events.

        For a store that reloads runs kept elsewhere (a persistent log service after a restart).
        A copy of ``record`` becomes the run's live record; a new run is linked under its
        ``parent_run_id`` as a first event would link it (a replaced record whose parent differs is
        moved), and a replaced record keeps its place in the order of runs.

        Restored: the record, the parent link and, when ``search_text`` is given, the run's
        accumulated search text (what ``_search_cache_by_run`` held for it), so that later appends
        extend it and run searches find the old events' values. Not restored: the run's events (a
        new run's ring is empty, so time windows judge it by its record's times and event queries
        do not see the old events), and without ``search_text`` the old events' text (a new run
        starts with an empty text and is found by its record's current fields only; a replaced
        run keeps the text this store built).
        """
    def list_runs(
        self,
        *,
        run_id: str | None = None,
        root_run_id: str | None = None,
        parent_run_id: str | None = None,
        run_kind: str | None = None,
        status: RunStatus | None = None,
        agent_id: str | None = None,
        session_id: str | None = None,
        app_id: str | None = None,
        app_id_pattern: str | None = None,
        group_id: str | None = None,
        flow_name: str | None = None,
        search: str | None = None,
        since: int | None = None,
        until: int | None = None,
        limit: int | None = None,
    ) -> list[RunRecord]: ...
    def get_run(self, run_id: str) -> RunRecord | None: ...
    def get_run_children(self, run_id: str) -> list[RunRecord]: ...
    def _collect_descendant_run_ids(self, run_id: str) -> list[str]: ...
    def get_run_events(
        self, run_id: str, *, limit: int | None = None, include_descendants: bool = False
    ) -> list[RuntimeEvent]: ...
    def get_recent_events(self, *, limit: int | None = None) -> list[RuntimeEvent]: ...
    def get_event(self, event_id: str) -> RuntimeEvent | None: ...
    @staticmethod
    def _normalize_search_text(value: Any) -> str: ...
    def _record_matches_search(self, record: RunRecord, search: str) -> bool: ...
    def _record_matches_time_window(self, record: RunRecord, since: int | None = None, until: int | None = None) -> bool: ...
    @staticmethod
    def _matches_regex(value: Any, pattern: str) -> bool: ...
