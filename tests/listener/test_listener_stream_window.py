"""GET {prefix}/stream?since=...&until=...: the time window of a stream, bounds included.

Events are posted one millisecond before, on and after each bound (in an order that is not the
time order); exactly those inside the window arrive, in the order they were committed, and a
sentinel posted afterwards shows that nothing else was on its way.
"""

from __future__ import annotations

import httpx
import pytest
from listener_helpers import T0, ListenerProcess, SSEReader, body, event, fresh_id

pytestmark = pytest.mark.timeout(60)


@pytest.fixture(scope="module")
def proc(tmp_path_factory):
    proc = ListenerProcess(tmp_path_factory.mktemp("window") / "db").start()
    yield proc
    proc.kill()


def post(proc, events):
    r = httpx.post(proc.ingest_url, json=body(events), timeout=10)
    assert r.status_code == 200, r.text
    assert r.json()["rejected"] == [], r.text
    return r.json()


def at(run, ts, tag):
    return event(0, run, ts=ts, event_id=f"{run}-{tag}", message=f"at {ts}")


def events_until(reader, sentinel_id, timeout=10.0):
    """The event and run messages up to and including the sentinel event."""
    got = []
    while True:
        try:
            msg = reader.next(timeout)
        except AssertionError as exc:
            ids = [m["json"].get("event_id") for m in got if m["event"] == "event"]
            raise AssertionError(f"the sentinel {sentinel_id} did not arrive ({exc}); got {ids}") from None
        if msg.get("event") not in ("event", "run"):
            assert msg.get("event") != "gap", msg
            continue
        got.append(msg)
        if msg.get("event") == "event" and msg["json"]["event_id"] == sentinel_id:
            return got


def around(run, since, until):
    """Events one millisecond around each bound that is given, in an order that is not the
    order of their timestamps."""
    points = []
    if until is not None:
        points += [("after-until", until + 1), ("on-until", until), ("before-until", until - 1)]
    if since is not None:
        points += [("on-since", since), ("before-since", since - 1), ("after-since", since + 1)]
    points += [("far-before", (since if since is not None else until) - 10**6),
               ("far-after", (until if until is not None else since) + 10**6)]
    return [at(run, ts, tag) for tag, ts in points]


def inner_point(since, until):
    """A time inside the window, away from its bounds where it has room."""
    if since is not None and until is not None:
        return (since + until) // 2
    return since + 500 if since is not None else until - 500


WINDOWS = [
    pytest.param(T0 + 1_000, T0 + 2_000, ["on-until", "before-until", "on-since", "after-since"],
                 id="both-bounds"),
    pytest.param(T0 + 5_000, T0 + 5_000, ["on-until", "on-since"], id="one-millisecond"),
    pytest.param(T0 + 9_000, None, ["on-since", "after-since", "far-after"], id="since-only"),
    pytest.param(None, T0 - 9_000, ["on-until", "before-until", "far-before"], id="until-only"),
]


@pytest.mark.parametrize("since, until, inside", WINDOWS)
def test_live_stream_delivers_exactly_the_window(proc, since, until, inside):
    run = fresh_id("win")
    params = {k: str(v) for k, v in (("since", since), ("until", until)) if v is not None}
    reader = SSEReader(f"{proc.api}/stream", params={**params, "run_id": run})
    try:
        reader.next(kind="hello")
        post(proc, around(run, since, until))
        sentinel = at(run, inner_point(since, until), "sentinel")
        post(proc, [sentinel])
        got = events_until(reader, sentinel["event_id"])
    finally:
        reader.close()
    want = [f"{run}-{tag}" for tag in inside]
    assert [m["json"]["event_id"] for m in got if m["event"] == "event"] == want + [sentinel["event_id"]]
    # The batch's events inside the window, then the run's record once.
    assert [m["event"] for m in got] == ["event"] * len(want) + ["run", "event"]


def test_window_of_a_resumed_stream(proc):
    """What a reconnecting client missed is replayed through the same window."""
    run = fresh_id("resume")
    since, until = T0 + 20_000, T0 + 20_010
    params = {"since": str(since), "until": str(until), "run_id": run}
    first = SSEReader(f"{proc.api}/stream", params=params)
    try:
        last_id = first.next(kind="hello")["id"]
    finally:
        first.close()
    post(proc, around(run, since, until))
    again = SSEReader(f"{proc.api}/stream", params=params, headers={"Last-Event-ID": last_id})
    try:
        again.next(kind="hello")
        sentinel = at(run, inner_point(since, until), "sentinel")
        post(proc, [sentinel])
        got = events_until(again, sentinel["event_id"])
    finally:
        again.close()
    want = [f"{run}-{tag}" for tag in ("on-until", "before-until", "on-since", "after-since")]
    assert [m["json"]["event_id"] for m in got if m["event"] == "event"] == want + [sentinel["event_id"]]


def test_events_outside_reach_no_other_window(proc):
    """Two streams with adjacent windows split the events between them, the shared bound
    reaching both."""
    run = fresh_id("split")
    edge = T0 + 30_000
    low = SSEReader(f"{proc.api}/stream", params={"run_id": run, "since": str(edge - 5), "until": str(edge)})
    high = SSEReader(f"{proc.api}/stream", params={"run_id": run, "since": str(edge), "until": str(edge + 5)})
    try:
        low.next(kind="hello")
        high.next(kind="hello")
        post(proc, [at(run, edge + d, f"d{d}") for d in (-6, -5, -1, 0, 1, 5, 6)])
        post(proc, [at(run, edge, "sentinel")])  # inside both windows
        got_low = [m["json"]["event_id"] for m in events_until(low, f"{run}-sentinel") if m["event"] == "event"]
        got_high = [m["json"]["event_id"] for m in events_until(high, f"{run}-sentinel") if m["event"] == "event"]
    finally:
        low.close()
        high.close()
    assert got_low == [f"{run}-d{d}" for d in (-5, -1, 0)] + [f"{run}-sentinel"]
    assert got_high == [f"{run}-d{d}" for d in (0, 1, 5)] + [f"{run}-sentinel"]
