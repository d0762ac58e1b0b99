"""Runtime event models, event-type matching and observation query models."""

import time

import pytest
from pydantic import BaseModel, ValidationError

from orvane_devtools._event_aliases import matches_wavelane_event_type
from orvane_devtools._orvane_compat import RuntimeEvent, RuntimeRunContext
from orvane_devtools.observation.Query import (
    ObservationEventQuery,
    ObservationRunQuery,
    ObservationSubscriptionFilter,
    RunTreeNode,
)


class TestRuntimeModels:
    def test_event_defaults(self):
        before = time.time() * 1000
        a = RuntimeEvent(event_type="run.started")
        b = RuntimeEvent(event_type="run.started")
        after = time.time() * 1000
        assert len(a.event_id) == 32 and int(a.event_id, 16) >= 0
        assert a.event_id != b.event_id
        assert isinstance(a.timestamp, int)
        assert before - 1 <= a.timestamp <= after + 1
        assert a.level == "info"
        assert a.source is a.message is a.payload is a.error is a.run is None
        assert a.meta == {} and a.meta is not b.meta
        a.meta["x"] = 1
        assert b.meta == {}

    def test_field_order(self):
        assert list(RuntimeEvent.model_fields) == [
            "event_id", "event_type", "timestamp", "source", "level",
            "message", "payload", "error", "meta", "run",
        ]
        assert list(RuntimeRunContext.model_fields) == [
            "run_id", "root_run_id", "parent_run_id", "run_kind", "agent_id",
            "agent_name", "session_id", "response_id", "execution_id", "meta",
        ]

    def test_required_fields(self):
        with pytest.raises(ValidationError):
            RuntimeEvent()
        with pytest.raises(ValidationError):
            RuntimeRunContext()

    def test_run_from_mapping_and_permissive_fields(self):
        ev = RuntimeEvent(
            event_type="x",
            run={"run_id": "r1", "parent_run_id": "r0", "run_kind": object, "meta": {"k": 1}},
            payload={"any": [1, 2]},
            level="debug",
        )
        assert isinstance(ev.run, RuntimeRunContext)
        assert ev.run.run_id == "r1" and ev.run.parent_run_id == "r0"
        assert ev.run.run_kind is object
        assert ev.run.root_run_id is None
        ev.level = "error"  # plain assignment stays allowed
        assert ev.level == "error"


class TestEventTypeMatching:
    @pytest.mark.parametrize(
        "event_type, wanted, expected",
        [
            ("run.started", None, True),
            ("run.started", "run.started", True),
            ("run.started", "run.start", False),
            ("run.started", "run.*", True),
            ("run.started", "run*", True),
            ("run", "run.*", False),
            ("anything", "*", True),
            ("", "*", True),
            ("tool.called", ["run.*", "tool.called"], True),
            ("tool.failed", ("run.*", "tool.called"), False),
            ("tool.failed", [], False),
            ("run.*", "run.*", True),
            ("a*b", "a*", True),
            ("xa", "*a", False),
            ("run.started", [None, 3, "run.started"], True),
            (None, "*", False),
            (3, ["*"], False),
        ],
    )
    def test_matching(self, event_type, wanted, expected):
        assert matches_wavelane_event_type(event_type, wanted) is expected


class TestQueryModels:
    def test_event_query_defaults(self):
        q = ObservationEventQuery()
        assert q.include_descendants is False
        dumped = q.model_dump()
        assert dumped.pop("include_descendants") is False
        assert set(dumped.values()) == {None}
        assert set(dumped) == {
            "run_id", "event_types", "source", "level", "app_id", "app_id_pattern",
            "group_id", "search", "since", "until", "limit",
        }
        assert ObservationEventQuery(event_types=["a", "b*"]).event_types == ["a", "b*"]
        assert ObservationEventQuery(event_types="a").event_types == "a"

    def test_run_query_defaults(self):
        dumped = ObservationRunQuery().model_dump()
        assert set(dumped.values()) == {None}
        assert set(dumped) == {
            "run_id", "root_run_id", "parent_run_id", "run_kind", "status", "agent_id",
            "session_id", "app_id", "app_id_pattern", "group_id", "flow_name", "search",
            "since", "until", "limit",
        }

    @pytest.mark.parametrize("model", [ObservationEventQuery, ObservationRunQuery])
    def test_unknown_keyword_rejected(self, model):
        with pytest.raises(ValidationError) as info:
            model(run_idd="x")
        assert "run_idd" in str(info.value)

    def test_subscription_filter_defaults(self):
        f = ObservationSubscriptionFilter()
        assert f.include_descendants is True
        assert f.event_types is None and f.run_id is None and f.app_id_pattern is None


class TestRunTreeNode:
    def test_keeps_given_objects(self):
        class Record(BaseModel):
            run_id: str

        record = Record(run_id="r")
        child_record = {"run_id": "c"}
        child = RunTreeNode(run=child_record)
        node = RunTreeNode(run=record, children=[child])
        assert node.run is record
        assert node.children[0] is child
        assert node.children[0].run is child_record
        assert RunTreeNode(run=record).children == []
        assert RunTreeNode(run=1).children is not RunTreeNode(run=2).children

    def test_children_validated_from_mappings(self):
        node = RunTreeNode(run="root", children=[{"run": "kid", "children": []}])
        assert isinstance(node.children[0], RunTreeNode)
        assert node.children[0].run == "kid"
