"""An ingest answer names every rejected event by its index in the body, whether validation
refused it or the store did, however the two kinds interleave.

The decoder already refuses what it knows the store cannot hold (a timestamp beyond 64 bits, a
lone surrogate), so no body reaches the store's own refusal today; here an event is made
unstorable after decoding (as a decoder that missed one of the store's rules would hand it on),
and the real store refuses it.
"""

from __future__ import annotations

import asyncio
import json

import httpx
import pytest
from listener_helpers import body, event

from orvane_devtools.listener.app import create_app
from orvane_devtools.listener.config import ListenerConfig
from orvane_devtools.listener.core import ListenerCore
from orvane_devtools.listener.decode import decode_body

pytestmark = pytest.mark.timeout(60)

RUN = "run-mixed"


def unstorable_text(ev):
    ev.message = "half of a pair: \udc80"


def unstorable_timestamp(ev):
    ev.timestamp = 2**64


SPOILERS = {"lone-surrogate": (unstorable_text, "UnicodeEncodeError"),
            "timestamp-beyond-64-bits": (unstorable_timestamp, "64-bit")}


def mixed_body() -> bytes:
    """Seven events: 0 and 3 fail validation; 2 and 5 will be refused by the store."""
    events = [event(i, RUN) for i in range(7)]
    events[0]["timestamp"] = "soon"
    del events[3]["event_id"]
    return json.dumps(body(events)).encode()


def spoiled(raw: bytes, spoil) -> object:
    batch = decode_body(raw)
    assert [r["index"] for r in batch.rejected] == [0, 3]
    assert batch.indexes == [1, 2, 4, 5, 6]
    for ev in batch.events:
        if ev.event_id in (f"{RUN}-e2", f"{RUN}-e5"):
            spoil(ev)
    return batch


@pytest.fixture
def core(tmp_path):
    core = ListenerCore(ListenerConfig(db_path=tmp_path / "db.sqlite3"))
    yield core
    asyncio.run(core.close())


@pytest.mark.parametrize("kind", sorted(SPOILERS))
def test_store_refusals_keep_their_body_index(core, kind):
    spoil, reason = SPOILERS[kind]
    raw = mixed_body()
    for attempt in range(2):  # a resent batch gets the same answer
        result = asyncio.run(core.ingest(spoiled(raw, spoil)))
        assert [r["index"] for r in result.rejected] == [0, 2, 3, 5]
        errors = {r["index"]: r["error"] for r in result.rejected}
        for index in (2, 5):
            assert f"{RUN}-e{index}" in errors[index] and "cannot be stored" in errors[index]
            assert reason in errors[index]
        assert "timestamp" in errors[0] and "event_id" in errors[3]
        assert (result.accepted, result.duplicates) == ((3, 0) if attempt == 0 else (0, 3))
    assert [e.event_id for e in core.desk.query_events(run_id=RUN)] == [f"{RUN}-e{i}" for i in (1, 4, 6)]
    stats = core.stats()
    assert stats["rejected_total"] == 8 and stats["ingested_total"] == 3


def test_the_answer_over_http_names_the_body_indexes(core):
    """The same batch through the listener's application: the sender reads the indexes of
    its own body."""
    core.decode = lambda raw: spoiled(raw, unstorable_text)
    app = create_app(core.config, core)

    async def send():
        transport = httpx.ASGITransport(app=app, client=("127.0.0.1", 50000))
        async with httpx.AsyncClient(transport=transport, base_url="http://127.0.0.1") as client:
            return await client.post("/observation/ingest", content=mixed_body(),
                                     headers={"Content-Type": "application/json"})

    answer = asyncio.run(send())
    assert answer.status_code == 200, answer.text
    got = answer.json()
    assert [r["index"] for r in got["rejected"]] == [0, 2, 3, 5]
    assert got["accepted"] == 3 and got["duplicates"] == 0
