"""The one JSON writer of the listener's answers, and the trees it writes."""

from __future__ import annotations

import json
import sys

from listener_helpers import body, event

from orvane_devtools._orvane_compat import RuntimeEvent
from orvane_devtools.listener.responses import JSONAnswer, error, render_json


class TestRenderJson:
    def test_same_text_as_json_for_plain_data(self):
        value = {"a": [1, 2.5, None, True, "é\u2028"], "b": {"c": []}, "d": {}, "e": ("x", -1)}
        assert render_json(value) == json.dumps(value, ensure_ascii=False, separators=(",", ":"))

    def test_records_are_written_by_pydantic_inside_plain_data(self):
        ev = RuntimeEvent(event_id="e1", event_type="x.y", timestamp=5, payload={"k": [1]})
        text = render_json({"events": [ev, ev], "next_cursor": None})
        assert json.loads(text) == {"events": [ev.model_dump(mode="json")] * 2, "next_cursor": None}
        assert render_json(ev) == ev.model_dump_json()

    def test_deeper_than_the_interpreters_recursion_limit(self):
        depth = sys.getrecursionlimit() * 3
        value: dict = {"children": []}
        top = value
        for _ in range(depth):
            child: dict = {"children": []}
            value["children"].append(child)
            value = child
        text = render_json(top)
        assert text == '{"children":[' * depth + '{"children":[]}' + "]}" * depth

    def test_values_json_cannot_hold_are_written_as_text(self):
        assert render_json({1: {2}, "n": float("nan")}) == '{"1":"{2}","n":NaN}'

    def test_answer_and_error(self):
        answer = JSONAnswer({"ok": True}, status_code=201)
        assert answer.body == b'{"ok":true}' and answer.status_code == 201
        assert answer.media_type == "application/json"
        bad = error(400, "'limit' must be at least 1", parameter="limit")
        assert json.loads(bad.body) == {"error": "'limit' must be at least 1", "parameter": "limit"}


def test_a_run_chain_deeper_than_the_recursion_limit_as_a_nested_tree(start_in_process):
    depth = 1500
    listener = start_in_process()
    events = [event(0, "chain-0")]
    for i in range(1, depth):
        events.append(event(i, f"chain-{i}", parent=f"chain-{i - 1}", root="chain-0"))
    with listener.client() as c:
        assert c.post("/observation/ingest", json=body(events)).json()["accepted"] == depth
        tree = c.get("/observation/runs/chain-0/tree").json()
        flat = c.get("/observation/runs/chain-0/tree", params={"format": "flat"}).json()
    seen = 0
    node = tree
    while node["children"]:
        assert node["run"]["run_id"] == f"chain-{seen}" and len(node["children"]) == 1
        node = node["children"][0]
        seen += 1
    assert seen == depth - 1 and node["run"]["run_id"] == f"chain-{depth - 1}"
    assert [n["depth"] for n in flat["nodes"]] == list(range(depth))
