"""Flow definitions and the runs seen per flow.

``RuntimeFlowRegistry`` keeps the definitions the host registers (a workflow graph and an
optional diagram description) keyed by application, group and flow name, and records, for every
flow name met in an accepted event, the run ids that belong to it, so that a later query can find
a flow's runs.

Keys: a definition is stored under ``(app_id, group_id, flow_name)`` exactly as given; ``None``
for the application or the group is a key of its own and also serves as the fallback for any
application or group: ``resolve`` tries the exact key first, then the same flow with the group,
then the application, then both replaced by ``None``.

Flow capture: the flow name of an event is its ``meta["flow_name"]``, or else its run's
``meta["flow_name"]``; it must be a non-empty string. Run ids are kept per flow name in first-seen
order, at most ``MAX_RUNS_PER_FLOW`` per flow (the oldest are forgotten first) and for at most
``MAX_FLOWS`` flow names (the least recently seen flow is forgotten first). ``capture_event`` is
``_flow_key`` (read the event) followed by ``_record_flow_run`` (record it); the facade calls the
halves itself, recording only once its run store has accepted the event.
"""

from __future__ import annotations

import copy
import time
from collections import OrderedDict
from collections.abc import Mapping
from typing import Any

__all__ = ["RuntimeFlowRegistry"]

MAX_RUNS_PER_FLOW = 10_000
MAX_FLOWS = 10_000


def _check_optional_str(value: Any, name: str) -> None:
    if value is not None and not isinstance(value, str):
        raise TypeError(
            f"Argument '{name}' has incorrect type (expected str, got {type(value).__name__})"
        )


def _check_str(value: Any, name: str) -> None:
    if not isinstance(value, str):
        raise TypeError(
            f"Argument '{name}' has incorrect type (expected str, got {type(value).__name__})"
        )


def _meta_flow_name(meta: Any) -> Any:
    # Exact dicts (the usual case) skip the slower abstract-class check.
    if type(meta) is dict or isinstance(meta, Mapping):
        return meta.get("flow_name")
    return None


def _flow_name_of(event: Any, run: Any) -> str | None:
    name = _meta_flow_name(getattr(event, "meta", None))
    if isinstance(name, str) and name:
        return name
    name = _meta_flow_name(getattr(run, "meta", None))
    return name if isinstance(name, str) and name else None


class RuntimeFlowRegistry:
    """Registered flow definitions plus the run ids seen per flow name."""

    # Fixed slots: flow capture reads them for every event (the facade natively, at their
    # places); __dict__ keeps instances open to other attributes and to replacing a method.
    __slots__ = ("_definitions", "_flow_runs", "__dict__", "__weakref__")

    def __init__(self) -> None:
        self._definitions: dict[tuple[str | None, str | None, str], dict[str, Any]] = {}
        # flow name -> ordered set (dict with None values) of run ids, oldest first.
        self._flow_runs: OrderedDict[str, dict[str, None]] = OrderedDict()

    # ------------------------------------------------------------ definitions

    def register(
        self,
        *,
        app_id: str | None,
        group_id: str | None,
        flow_name: str,
        definition: Mapping[str, Any],
        mermaid: Mapping[str, str] | None = None,
    ) -> dict[str, Any]:
        """Store (or replace) a flow definition and return a copy of the stored entry.

        The entry is ``{"app_id", "group_id", "flow_name", "definition", "mermaid",
        "registered_at"}`` (``registered_at`` in epoch milliseconds); definition and diagram are
        deep-copied, so later changes by the caller do not leak in.
        """
        _check_optional_str(app_id, "app_id")
        _check_optional_str(group_id, "group_id")
        _check_str(flow_name, "flow_name")
        if not isinstance(definition, Mapping):
            raise TypeError(
                "Argument 'definition' has incorrect type "
                f"(expected Mapping, got {type(definition).__name__})"
            )
        if mermaid is not None and not isinstance(mermaid, Mapping):
            raise TypeError(
                "Argument 'mermaid' has incorrect type "
                f"(expected Mapping, got {type(mermaid).__name__})"
            )
        entry = {
            "app_id": app_id,
            "group_id": group_id,
            "flow_name": flow_name,
            "definition": copy.deepcopy(dict(definition)),
            "mermaid": None if mermaid is None else copy.deepcopy(dict(mermaid)),
            "registered_at": time.time_ns() // 1_000_000,
        }
        self._definitions[(app_id, group_id, flow_name)] = entry
        return copy.deepcopy(entry)

    def resolve(
        self, *, app_id: str | None, group_id: str | None, flow_name: str
    ) -> dict[str, Any] | None:
        """A copy of the best matching definition, or None (see the module text for the order)."""
        _check_optional_str(app_id, "app_id")
        _check_optional_str(group_id, "group_id")
        _check_str(flow_name, "flow_name")
        definitions = self._definitions
        for key in (
            (app_id, group_id, flow_name),
            (app_id, None, flow_name),
            (None, group_id, flow_name),
            (None, None, flow_name),
        ):
            entry = definitions.get(key)
            if entry is not None:
                return copy.deepcopy(entry)
        return None

    @property
    def definitions(self) -> list[dict[str, Any]]:
        """Copies of every registered definition, in registration order."""
        return [copy.deepcopy(entry) for entry in self._definitions.values()]

    # ------------------------------------------------------------ flow capture

    def capture_event(self, event: Any) -> None:
        """Record the event's run id under its flow name (see the module text)."""
        key = self._flow_key(event)
        if key is not None:
            self._record_flow_run(*key)

    # The two halves of capture_event. The facade reads the key while it checks an event and
    # records it only once the event has been accepted, so an event the store refuses leaves no
    # run behind here.

    def _flow_key(self, event: Any) -> tuple[str, str] | None:
        """``(flow name, run id)`` of an event, or None when it names no flow or has no run id.

        Reads the event only; changes nothing.
        """
        run = getattr(event, "run", None)
        if run is None:
            return None
        run_id = getattr(run, "run_id", None)
        if not isinstance(run_id, str):
            return None
        # _flow_name_of, inlined for the usual exact-dict metas (this runs for every event).
        meta = getattr(event, "meta", None)
        name = meta.get("flow_name") if type(meta) is dict else _meta_flow_name(meta)
        if not (isinstance(name, str) and name):
            meta = getattr(run, "meta", None)
            name = meta.get("flow_name") if type(meta) is dict else _meta_flow_name(meta)
            if not (isinstance(name, str) and name):
                return None
        return name, run_id

    def _record_flow_run(self, name: str, run_id: str) -> None:
        """Record ``run_id`` under the flow ``name``, within the bounds of the module text."""
        flows = self._flow_runs
        runs = flows.get(name)
        if runs is None:
            runs = flows[name] = {}
            if len(flows) > MAX_FLOWS:
                flows.popitem(last=False)
        elif len(flows) > 1:
            flows.move_to_end(name)
        if run_id not in runs:
            runs[run_id] = None
            if len(runs) > MAX_RUNS_PER_FLOW:
                del runs[next(iter(runs))]

    def run_ids_for_flow(self, flow_name: str) -> list[str]:
        """Run ids seen with ``flow_name``, oldest first (empty when none)."""
        _check_str(flow_name, "flow_name")
        runs = self._flow_runs.get(flow_name)
        return [] if runs is None else list(runs)

    @property
    def flow_names(self) -> list[str]:
        """Flow names seen in events, least recently seen first."""
        return list(self._flow_runs)

    def reset(self) -> None:
        """Forget every definition and every captured run."""
        self._definitions.clear()
        self._flow_runs.clear()
