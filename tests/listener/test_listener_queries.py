"""Every read route of the API against a listener holding a known set of runs (the application in
this process; the reads-during-ingest test runs a real listener process)."""

from __future__ import annotations

import asyncio
import time

import httpx
import pytest
from listener_helpers import InProcessListener, body, event

NOW = int(time.time() * 1000)
BASE = NOW - 100_000  # the tree lives 100 s ago: its open child is orphaned, not stale


def tree_events() -> list[dict]:
    evs = [
        event(0, "root", ts=BASE, event_type="agent_task.started", message="plan the trip"),
        event(1, "c1", parent="root", ts=BASE + 1, event_type="agent_task.started"),
        event(2, "g1", parent="c1", root="root", ts=BASE + 2, event_type="agent_task.started"),
        event(3, "g1", parent="c1", root="root", ts=BASE + 3, event_type="agent_task.completed"),
        event(4, "c1", parent="root", ts=BASE + 4, event_type="agent_task.completed"),
        event(5, "c2", parent="root", ts=BASE + 5, event_type="agent_task.started"),
        event(6, "c2", parent="root", ts=BASE + 6, event_type="agent_task.failed",
              level="error", message="model call TIMED OUT", error={"type": "TimeoutError"}),
        event(7, "c3", parent="root", ts=BASE + 7, event_type="agent_task.started"),
        event(8, "detached", parent="not-arrived", root="root", ts=BASE + 8,
              event_type="agent_task.started"),
        event(9, "root", ts=BASE + 9_000, event_type="agent_task.completed"),
    ]
    for ev in evs[8:9]:
        ev["meta"] = {"app_id": "app-b", "group_id": "team-b", "environment": "prod"}
    return evs


def other_events() -> list[dict]:
    evs = []
    for i in range(25):
        ev = event(i, f"page-{i:02d}", ts=NOW - 50_000 + i * 10, event_type="tool_call.started",
                   message=f"paging run {i}")
        ev["run"]["run_kind"] = "tool_call"
        ev["run"]["agent_id"] = f"agent-{i % 3}"
        ev["run"]["session_id"] = "sess-pages"
        ev["meta"] = {"app_id": "pager-app", "group_id": "pagers", "environment": "staging"}
        evs.append(ev)
    return evs


@pytest.fixture(scope="module")
def loaded(tmp_path_factory):
    proc = InProcessListener(tmp_path_factory.mktemp("q") / "db.sqlite3")
    try:
        with proc.client() as c:
            for part in (tree_events(), other_events()):
                r = c.post("/observation/ingest", json=body(part))
                assert r.status_code == 200 and not r.json()["rejected"], r.text
        yield proc
    finally:
        proc.kill()


def get(proc, path: str, **params):
    return proc.client().get(f"{proc.api}{path}", params=params)


class TestRuns:
    def test_list_newest_update_first_with_resolution(self, loaded):
        runs = get(loaded, "/runs", limit=1000).json()["runs"]
        ids = [r["run_id"] for r in runs]
        assert set(ids) >= {"root", "c1", "c2", "c3", "g1", "detached", "page-00", "page-24"}
        updated = [r["updated_at"] for r in runs]
        assert updated == sorted(updated, reverse=True)
        c3 = next(r for r in runs if r["run_id"] == "c3")
        assert c3["status"] == "failed"
        assert c3["meta"]["devtools_stale_reason"] == "orphaned_after_ancestor_terminal"
        assert c3["meta"]["devtools_stale_anchor_at"] == BASE + 9_000

    @pytest.mark.parametrize("params, expected", [
        ({"status": "completed"}, {"root", "c1", "g1"}),
        ({"parent_run_id": "root"}, {"c1", "c2", "c3"}),
        ({"root_run_id": "root", "status": "running"}, {"detached"}),
        ({"app_id": "app-b"}, {"detached"}),
        ({"group_id": "team-b"}, {"detached"}),
        ({"app_id_pattern": "^pag", "agent_id": "agent-1"}, {f"page-{i:02d}" for i in range(1, 25, 3)}),
        ({"run_kind": "tool_call", "since": NOW - 50_000 + 230}, {"page-23", "page-24"}),
        ({"search": "timed out"}, {"c2"}),
        ({"session_id": "sess-pages", "until": NOW - 50_000 + 10}, {"page-00", "page-01"}),
        ({"environment": "prod"}, {"detached"}),
        ({"run_id": "g1"}, {"g1"}),
    ])
    def test_filters(self, loaded, params, expected):
        r = get(loaded, "/runs", **params)
        assert r.status_code == 200, r.text
        assert {x["run_id"] for x in r.json()["runs"]} == expected

    def test_order_by_start(self, loaded):
        runs = get(loaded, "/runs", order="started", limit=1000).json()["runs"]
        keys = [(-(r["started_at"] or 0), r["run_id"]) for r in runs]
        assert keys == sorted(keys) and len(runs) == 31
        first = get(loaded, "/runs", order="started", run_kind="tool_call", limit=10).json()
        second = get(loaded, "/runs", order="started", run_kind="tool_call", limit=10,
                     cursor=first["next_cursor"]).json()
        assert [r["run_id"] for r in first["runs"] + second["runs"]] == [f"page-{i:02d}" for i in range(24, 4, -1)]
        assert get(loaded, "/runs", order="sideways").json()["parameter"] == "order"

    def test_paging_with_cursor_covers_everything_once(self, loaded):
        seen, cursor, pages = [], None, 0
        while True:
            params = {"run_kind": "tool_call", "limit": 10}
            if cursor:
                params["cursor"] = cursor
            doc = get(loaded, "/runs", **params).json()
            seen += [r["run_id"] for r in doc["runs"]]
            pages += 1
            cursor = doc["next_cursor"]
            if cursor is None:
                break
        assert pages == 3 and len(seen) == 25 and len(set(seen)) == 25

    @pytest.mark.parametrize("params, name", [
        ({"limit": "ten"}, "limit"), ({"limit": 0}, "limit"), ({"limit": 5000}, "limit"),
        ({"status": "sleeping"}, "status"), ({"since": "2024-01-01"}, "since"),
        ({"until": "1.5"}, "until"), ({"app_id_pattern": "(unclosed"}, "app_id_pattern"),
        ({"cursor": "bm90LWEtY3Vyc29y"}, "cursor"), ({"colour": "red"}, "colour"),
        ({"search": "x" * 1001}, "search"),
    ])
    def test_bad_parameter_is_400_naming_it(self, loaded, params, name):
        r = get(loaded, "/runs", **params)
        assert r.status_code == 400
        assert r.json()["parameter"] == name and name in r.json()["error"]

    def test_parameter_twice_is_refused(self, loaded):
        r = loaded.client().get(f"{loaded.api}/runs?status=failed&status=completed")
        assert r.status_code == 400 and r.json()["parameter"] == "status"

    def test_one_run_and_unknown_run(self, loaded):
        assert get(loaded, "/runs/c2").json()["status"] == "failed"
        for path in ("/runs/nope", "/runs/nope/children", "/runs/nope/tree", "/runs/nope/events"):
            r = get(loaded, path)
            assert r.status_code == 404 and r.json() == {"error": "run not found"}

    def test_children(self, loaded):
        kids = get(loaded, "/runs/root/children").json()["runs"]
        assert {k["run_id"] for k in kids} == {"c1", "c2", "c3"}

    def test_tree_nested_and_flat(self, loaded):
        tree = get(loaded, "/runs/root/tree").json()
        assert tree["run"]["run_id"] == "root"
        kids = {n["run"]["run_id"]: n for n in tree["children"]}
        assert set(kids) == {"c1", "c2", "c3"}
        assert [g["run"]["run_id"] for g in kids["c1"]["children"]] == ["g1"]
        flat = get(loaded, "/runs/root/tree", format="flat").json()
        assert flat["root_run_id"] == "root"
        depth = {n["run"]["run_id"]: n["depth"] for n in flat["nodes"]}
        assert depth == {"root": 0, "c1": 1, "c2": 1, "c3": 1, "g1": 2}
        order = [n["run"]["run_id"] for n in flat["nodes"]]
        assert order.index("g1") == order.index("c1") + 1  # depth first
        assert [d["run_id"] for d in flat["detached"]] == ["detached"]
        assert get(loaded, "/runs/root/tree", format="wide").json()["parameter"] == "format"


class TestEvents:
    def test_run_events_newest_page_first_then_older(self, loaded):
        doc = get(loaded, "/runs/root/events", limit=1).json()
        assert [e["event_id"] for e in doc["events"]] == ["root-e9"]
        assert doc["total"] == 2
        older = get(loaded, "/runs/root/events", limit=1, cursor=doc["next_cursor"]).json()
        assert [e["event_id"] for e in older["events"]] == ["root-e0"]
        assert older["next_cursor"] is None

    def test_run_events_with_descendants(self, loaded):
        doc = get(loaded, "/runs/c1/events", include_descendants="true").json()
        assert [e["event_id"] for e in doc["events"]] == ["c1-e1", "g1-e2", "g1-e3", "c1-e4"]
        assert doc["total"] == 4
        whole = get(loaded, "/runs/root/events", include_descendants="true").json()
        # The detached run names root as its root but hangs under a parent not arrived yet.
        assert whole["total"] == len(whole["events"]) == 9
        assert get(loaded, "/runs/c1/events", include_descendants="maybe").status_code == 400

    @pytest.mark.parametrize("params, expected", [
        ({"run_id": "c2"}, ["c2-e5", "c2-e6"]),
        ({"run_id": "root", "include_descendants": "1", "event_types": "agent_task.failed,agent_task.completed"},
         ["g1-e3", "c1-e4", "c2-e6", "root-e9"]),
        ({"level": "error"}, ["c2-e6"]),
        ({"search": "PLAN THE TRIP"}, ["root-e0"]),
        ({"app_id": "app-b"}, ["detached-e8"]),
        ({"since": BASE + 3, "until": BASE + 5}, ["g1-e3", "c1-e4", "c2-e5"]),
        ({"app_id_pattern": "^pager", "limit": 2}, ["page-23-e23", "page-24-e24"]),
    ])
    def test_event_filters(self, loaded, params, expected):
        r = get(loaded, "/events", **params)
        assert r.status_code == 200, r.text
        assert [e["event_id"] for e in r.json()["events"]] == expected

    def test_event_types_repeated(self, loaded):
        r = loaded.client().get(f"{loaded.api}/events?run_id=c2&event_types=agent_task.failed&event_types=x.y",
                      timeout=10)
        assert [e["event_id"] for e in r.json()["events"]] == ["c2-e6"]

    def test_one_event_and_unknown_event(self, loaded):
        ev = get(loaded, "/events/c2-e6").json()
        assert ev["error"] == {"type": "TimeoutError"} and ev["run"]["run_id"] == "c2"
        r = get(loaded, "/events/missing")
        assert r.status_code == 404 and r.json() == {"error": "event not found"}

    def test_bad_event_parameters(self, loaded):
        for params, name in (({"limit": -1}, "limit"), ({"include_descendants": "2"}, "include_descendants"),
                             ({"run": "c2"}, "run")):
            r = get(loaded, "/events", **params)
            assert r.status_code == 400 and r.json()["parameter"] == name


class TestLargeTree:
    def test_pages_of_a_ten_thousand_event_tree(self, start_in_process):
        proc = start_in_process()
        evs = [event(0, "TOP")]
        for c in range(99):
            evs.append(event(len(evs), f"k{c}", parent="TOP"))
            evs += [event(len(evs) + g, f"k{c}-{g}", parent=f"k{c}", root="TOP") for g in range(100)]
        with proc.client() as c:
            for start in range(0, len(evs), 2000):
                assert c.post("/observation/ingest", json=body(evs[start:start + 2000])).json()["accepted"] == len(evs[start:start + 2000])
            seen, cursor = [], None
            while True:
                params = {"limit": 1000, "include_descendants": "true"}
                if cursor:
                    params["cursor"] = cursor
                doc = c.get("/observation/runs/TOP/events", params=params).json()
                assert doc["total"] == len(evs)
                seen = doc["events"] + seen
                cursor = doc["next_cursor"]
                if cursor is None:
                    break
        assert len(seen) == len(evs) and len({e["event_id"] for e in seen}) == len(evs)
        assert [e["timestamp"] for e in seen] == sorted(e["timestamp"] for e in seen)


class TestSameAnswersAsInProcess:
    """The API answers what a RuntimeTraceDesk with the same events answers in-process."""

    def test_runs_and_events_match_a_local_desk(self, loaded):
        from orvane.utils import Settings
        from orvane_devtools._orvane_compat import RuntimeEvent
        from orvane_devtools.observation.TraceDesk import RuntimeTraceDesk

        desk = RuntimeTraceDesk(Settings({"logs.enabled": True}))

        async def feed():
            for ev in tree_events() + other_events():
                ev = dict(ev)
                ev["meta"] = {"app_id": "app-a", "group_id": "team-a", "environment": "local", **ev["meta"]}
                await desk.append_event(RuntimeEvent(**ev))

        asyncio.run(feed())
        volatile = ("devtools_stale_detected_at",)

        def strip(records):
            out = []
            for r in records:
                r = dict(r)
                if "totals" in r:  # the listener's fields beside the record: no LLM calls here
                    assert r.pop("llm") is None and r.pop("totals")["llm_calls"] == 0
                r["meta"] = {k: v for k, v in r["meta"].items() if k not in volatile}
                if r["meta"].get("devtools_stale_reason"):
                    r.pop("failed_at")  # the moment of judgement
                out.append(r)
            return out

        for query in ({"search": "run"}, {"status": "failed"}, {"parent_run_id": "root"}, {}):
            mine = [r.model_dump(mode="json") for r in desk.query_runs(limit=1000, **query)]
            theirs = get(loaded, "/runs", limit=1000, **query).json()["runs"]
            assert strip(theirs) == strip(mine), query
        for query in ({"search": "step"}, {"run_id": "root", "include_descendants": True}):
            mine = [e.model_dump(mode="json") for e in desk.query_events(limit=5000, **query)]
            theirs = get(loaded, "/events", limit=5000,
                         **{k: str(v).lower() if isinstance(v, bool) else v for k, v in query.items()}).json()
            assert theirs["events"] == mine, query


class TestServiceRoutes:
    def test_stats(self, loaded):
        stats = get(loaded, "/stats").json()
        assert stats["events"] == 35 and stats["runs"] == 31
        assert stats["ingested_total"] == 35 and stats["ingest_requests"] == 2
        assert stats["db_path"].endswith("db.sqlite3")
        for key in ("db_bytes", "ingest_events_per_second", "stream_clients", "started_at",
                    "duplicates_total", "rejected_total"):
            assert key in stats

    def test_healthz_and_unknown_routes(self, loaded):
        c = loaded.client()
        assert c.get(f"{loaded.origin}/healthz").json() == {"ok": True}
        r = c.get(f"{loaded.api}/nothing-here")
        assert r.status_code == 404 and r.json() == {"error": "not found"}
        r = c.delete(f"{loaded.api}/runs")
        assert r.status_code == 405
        assert c.get(f"{loaded.api}/ingest").status_code == 405

    def test_page_carries_prefix_and_auth_mode(self, loaded):
        r = loaded.client().get(f"{loaded.origin}/")
        assert r.status_code == 200 and r.headers["content-type"].startswith("text/html")
        assert r.headers["cache-control"] == "no-cache"
        assert "default-src 'self'" in r.headers["content-security-policy"]
        assert '<meta name="orvane-prefix" content="/observation">' in r.text
        assert '<meta name="orvane-auth" content="none">' in r.text

    def test_custom_prefix(self, start_in_process):
        proc = start_in_process("--prefix", "/api/v1/")
        assert proc.ingest_url.endswith("/api/v1/ingest")
        with proc.client() as c:
            assert c.post("/api/v1/ingest", json=body([event(1, "pfx")])).json()["accepted"] == 1
            assert c.get("/api/v1/runs/pfx").status_code == 200
            assert c.get("/observation/runs").status_code == 404
            assert 'content="/api/v1"' in c.get("/").text


class TestJudgementOptions:
    def test_orphan_and_stale_thresholds_from_the_command_line(self, start_in_process):
        proc = start_in_process("--orphan-after", "1", "--stale-after", "0")
        now = int(time.time() * 1000)
        evs = [event(0, "top", ts=now - 5000, event_type="agent_task.started"),
               event(1, "kid", parent="top", ts=now - 4000, event_type="agent_task.started"),
               event(2, "top", ts=now - 2000, event_type="agent_task.completed"),
               event(3, "idle", ts=now - 10_000_000, event_type="agent_task.started")]
        with proc.client() as c:
            c.post("/observation/ingest", json=body(evs))
            kid = c.get("/observation/runs/kid").json()
            idle = c.get("/observation/runs/idle").json()
        assert kid["status"] == "failed"
        assert kid["meta"]["devtools_stale_reason"] == "orphaned_after_ancestor_terminal"
        assert idle["status"] == "running"  # stale rule off

    def test_negative_threshold_is_refused(self, tmp_path):
        import subprocess
        import sys

        done = subprocess.run([sys.executable, "-m", "orvane_devtools", "start", "--port", "0",
                               "--db", str(tmp_path / "db"), "--orphan-after", "-1"],
                              capture_output=True, text=True, timeout=30)
        assert done.returncode == 2 and "--orphan-after" in done.stderr


class TestTreeMeaning:
    def test_tree_routes_mean_what_get_run_tree_means(self, start_in_process):
        """Built from one query of the root's runs plus the descendant links, the tree equals
        the desk's own get_run_tree, a descendant filed under another root included."""
        from orvane.utils import Settings
        from orvane_devtools._orvane_compat import RuntimeEvent
        from orvane_devtools.observation.TraceDesk import RuntimeTraceDesk

        now = int(time.time() * 1000)
        evs = [event(0, "R", ts=now - 9000)]
        for c in range(5):
            evs.append(event(len(evs), f"R.{c}", parent="R", ts=now - 8000 + c * 7 % 5))
            for g in range(3):
                evs.append(event(len(evs), f"R.{c}.{g}", parent=f"R.{c}", root="R", ts=now - 7000 + g))
        evs.append(event(len(evs), "odd", parent="R.2", root="somewhere-else", ts=now - 6000))
        evs.append(event(len(evs), "R.1", parent="R", ts=now - 10))  # R.1 updated last
        evs.append(event(len(evs), "lost", parent="missing", root="R", ts=now - 5000))
        proc = start_in_process()
        with proc.client() as c:
            assert c.post("/observation/ingest", json=body(evs)).json()["accepted"] == len(evs)
            nested = c.get("/observation/runs/R/tree").json()
            flat = c.get("/observation/runs/R/tree", params={"format": "flat"}).json()
            sub = c.get("/observation/runs/R.2/tree", params={"format": "flat"}).json()

        desk = RuntimeTraceDesk(Settings({"logs.enabled": True}))

        async def feed():
            for ev in evs:
                await desk.append_event(RuntimeEvent(**ev))

        asyncio.run(feed())

        def shape(node):
            return (node.run.run_id, node.run.status, [shape(k) for k in node.children])

        def shape_json(node):
            return (node["run"]["run_id"], node["run"]["status"], [shape_json(k) for k in node["children"]])

        assert shape_json(nested) == shape(desk.get_run_tree("R"))
        assert "odd" in [n["run"]["run_id"] for n in flat["nodes"]]
        assert [n["run"]["run_id"] for n in flat["nodes"]][:3] == ["R", "R.1", "R.1.2"]
        assert [d["run_id"] for d in flat["detached"]] == ["lost"]
        assert [(n["run"]["run_id"], n["depth"]) for n in sub["nodes"]][0] == ("R.2", 0)
        assert {n["run"]["run_id"] for n in sub["nodes"]} == {"R.2", "R.2.0", "R.2.1", "R.2.2", "odd"}
        assert sub["detached"] == []  # only a root lists detached runs


class TestReadsDuringIngest:
    @pytest.mark.timeout(90)
    def test_reads_on_their_thread_while_batches_arrive(self, start_listener):
        """Reads run on their own thread beside ingest on the event loop: both go on, the
        answers stay whole and consistent, the listener stays up."""
        import threading

        proc = start_listener()
        stop = threading.Event()
        errors: list = []
        counts: dict[int, list[int]] = {}

        def ingest():
            with proc.client() as c:
                n = 0
                while not stop.is_set() and n < 20_000:
                    evs = [event(n + i, f"busy-{(n + i) // 50}", parent="busy-root" if n else None)
                           for i in range(100)]
                    r = c.post("/observation/ingest", json=body(evs))
                    if r.status_code != 200:
                        errors.append(r.text)
                    n += 100

        def read(k: int):
            seen = counts.setdefault(k, [])
            with proc.client() as c:
                while not stop.is_set():
                    for path, params in (("/observation/runs", {"limit": 200}),
                                         ("/observation/runs/busy-0/tree", {"format": "flat"}),
                                         ("/observation/events", {"search": "step 1", "limit": 50}),
                                         ("/observation/stats", {})):
                        r = c.get(path, params=params)
                        if r.status_code not in (200, 404):
                            errors.append((path, r.status_code, r.text[:200]))
                        elif path.endswith("stats"):
                            seen.append(r.json()["events"])

        threads = [threading.Thread(target=ingest), threading.Thread(target=read, args=(1,)),
                   threading.Thread(target=read, args=(2,))]
        for t in threads:
            t.start()
        time.sleep(3)
        stop.set()
        for t in threads:
            t.join(30)
        assert not errors, errors[:3]
        assert proc.alive()
        # Each reader saw the stored count grow, never shrink; both got answers meanwhile.
        assert all(len(seen) >= 2 and seen == sorted(seen) for seen in counts.values()), counts
        with proc.client() as c:
            assert c.get("/healthz").status_code == 200
            assert c.get("/observation/stats").json()["events"] >= max(max(v) for v in counts.values())
