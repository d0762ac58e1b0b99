from typing import Any

from orvane_devtools._orvane_compat import RuntimeEvent
from orvane_devtools.observation.Query import ObservationEventQuery, ObservationRunQuery, RunTreeNode
from orvane_devtools.observation.Tallybook import RunRecord, RunStatus

class RuntimeTraceDesk:
    # ---------------------------------------------------------------------------------------
    # Queries: run resolution (stale and orphan runs), run queries and tree, event queries.
    #
    # Every run record returned is a resolved copy: an open run ("running"/"unknown") whose last
    # activity is `_run_stale_after_ms` or more old, or whose nearest terminal ancestor ended
    # `_run_orphan_after_ms` or more ago with no activity of the run since, is reported "failed"
    # with `devtools_stale_reason`, `devtools_stale_detected_at` (and, for an orphan,
    # `devtools_stale_anchor_at`) in its meta. One public call reads the clock once and shares
    # one cache. With a log service configured, run look-ups (other than `list_runs`) and
    # `query_events`/`get_event` go to it.
    # ---------------------------------------------------------------------------------------

    @staticmethod
    def _terminal_timestamp(record: RunRecord) -> int | None: ...
    def _get_raw_run_record(self, run_id: str) -> RunRecord | None: ...
    def _find_terminal_ancestor(
        self, record: RunRecord, *, now_ms: int, cache: dict[str, RunRecord | None], resolving: set[str]
    ) -> RunRecord | None: ...
    def _resolve_run_record(
        self, record: RunRecord | None, *, now_ms: int, cache: dict[str, RunRecord | None], resolving: set[str]
    ) -> RunRecord | None: ...
    def _resolve_run_records(
        self, records: list[RunRecord], *, status: RunStatus | str | None = None, limit: int | None = None
    ) -> list[RunRecord]: ...
    def list_runs(
        self,
        *,
        run_id: str | None = None,
        root_run_id: str | None = None,
        parent_run_id: str | None = None,
        run_kind: str | None = None,
        status: RunStatus | str | None = None,
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
    def query_runs(self, query: ObservationRunQuery | None = None, **kwargs: Any) -> list[RunRecord]: ...
    def get_run(self, run_id: str) -> RunRecord | None: ...
    def get_run_children(self, run_id: str) -> list[RunRecord]: ...
    def get_run_tree(self, run_id: str) -> RunTreeNode | None: ...
    def get_run_events(
        self, run_id: str, *, limit: int | None = None, include_descendants: bool = False
    ) -> list[RuntimeEvent]: ...
    def get_recent_events(self, *, limit: int | None = None) -> list[RuntimeEvent]: ...
    def get_event(self, event_id: str) -> RuntimeEvent | None: ...
    def query_events(self, query: ObservationEventQuery | None = None, **kwargs: Any) -> list[RuntimeEvent]: ...
    @staticmethod
    def _normalize_search_text(value: Any) -> str: ...
    def _event_matches_search(self, event: RuntimeEvent, search: str) -> bool: ...
