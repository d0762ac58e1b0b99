"""Random mutations of valid OTLP bodies: the readers never crash and never give anything but a
list of items or ValueError.

Protobuf: thousands of mutants (bit flips, bytes set to edge values, insertions, deletions,
duplicated and spliced ranges) of random requests, each decoded natively and by the protobuf
runtime. Where both read a mutant, the items are exactly the reference conversion of what the
runtime read; where only one does, the reason must be one of the decoder's documented
differences (it refuses groups and known fields of another wire type, which the runtime keeps as
unknown fields; the runtime refuses text that is not UTF-8, which the decoder replaces).

JSON: mutants of the text of JSON bodies, and of their parsed documents (any node replaced by a
value of another JSON type), read by the JSON road.

A longer coverage-guided run of the native reader alone is in tests/fuzz/ (libFuzzer).
"""

from __future__ import annotations

import json
import random
from typing import Any

import pytest
from google.protobuf.message import DecodeError
from opentelemetry.proto.collector.logs.v1.logs_service_pb2 import ExportLogsServiceRequest
from opentelemetry.proto.collector.trace.v1.trace_service_pb2 import ExportTraceServiceRequest
from otlp_decode_helpers import assert_same, random_logs, random_traces, ref_logs, ref_traces, to_json_doc

from orvane_devtools.listener.Ingest import _decode_otlp_logs, _decode_otlp_traces
from orvane_devtools.listener.otlp.json_body import decode_json_logs, decode_json_traces

ROOTS = {
    "traces": (ExportTraceServiceRequest, _decode_otlp_traces, ref_traces, random_traces, decode_json_traces),
    "logs": (ExportLogsServiceRequest, _decode_otlp_logs, ref_logs, random_logs, decode_json_logs),
}
EDGE_BYTES = (0x00, 0x01, 0x07, 0x08, 0x0A, 0x12, 0x7F, 0x80, 0xFF, 0xC0, 0xED, 0xF4)


def mutate(data: bytes, rng: random.Random, other: bytes) -> bytes:
    b = bytearray(data)
    for _ in range(rng.choice((1, 1, 1, 2, 3))):
        op = rng.randrange(7)
        n = len(b)
        if n == 0:
            b += rng.randbytes(rng.randint(1, 8))
            continue
        i = rng.randrange(n)
        if op == 0:
            b[i] ^= 1 << rng.randrange(8)
        elif op == 1:
            b[i] = rng.choice(EDGE_BYTES)
        elif op == 2:
            b[i:i] = rng.randbytes(rng.randint(1, 6))
        elif op == 3:
            del b[i:i + rng.randint(1, 8)]
        elif op == 4:
            j = rng.randrange(i, min(n, i + 40) + 1)
            b[j:j] = b[i:j]
        elif op == 5 and other:
            k = rng.randrange(len(other))
            b[i:] = other[k:k + rng.randint(1, 64)] + b[i:]
        else:
            b[i] = rng.randrange(256)
    return bytes(b)


@pytest.mark.parametrize("root", ROOTS)
def test_protobuf_mutants(root):
    cls, decode, ref, make, _ = ROOTS[root]
    rng = random.Random(90210)
    bodies = [make(rng).SerializeToString() for _ in range(60)]
    bodies = [b for b in bodies if b] or [b"\x0a\x00"]
    outcomes = {"both": 0, "neither": 0, "decoder refused": 0, "runtime refused": 0}
    for k in range(3000):
        mutant = mutate(bodies[k % len(bodies)], rng, bodies[(k * 7 + 3) % len(bodies)])
        try:
            got = decode(mutant)
            refusal = None
        except ValueError as e:
            got, refusal = None, str(e)
        assert got is None or type(got) is list
        try:
            parsed = cls.FromString(mutant)
            runtime_error = None
        except DecodeError as e:
            parsed, runtime_error = None, str(e)
        if got is not None and parsed is not None:
            assert_same(got, ref(parsed))
            outcomes["both"] += 1
        elif got is None and parsed is None:
            outcomes["neither"] += 1
        elif got is None:
            assert refusal is not None and ("wire type" in refusal or "group" in refusal), refusal
            outcomes["decoder refused"] += 1
        else:
            assert runtime_error is not None and "UTF-8" in runtime_error, runtime_error
            outcomes["runtime refused"] += 1
    # The mutants reach every outcome that the decoder's contract allows.
    assert outcomes["both"] > 300 and outcomes["neither"] > 300, outcomes
    assert outcomes["decoder refused"] > 0, outcomes


def _json_values(rng: random.Random) -> Any:
    return rng.choice([None, True, 0, -1, 1.5, 1e300, "", "x", "SPAN_KIND_SERVER", "NaN", "ab" * 16, "00" * 8,
                       [], [{}], {}, {"values": 3}, {"stringValue": 1}, {"intValue": "1"}, [None, "z"]])


def _paths(node: Any, path: tuple = ()) -> list[tuple]:
    out = [path]
    if isinstance(node, dict):
        for k, v in node.items():
            out += _paths(v, path + (k,))
    elif isinstance(node, list):
        for i, v in enumerate(node):
            out += _paths(v, path + (i,))
    return out


def _replace(doc: Any, path: tuple, value: Any) -> Any:
    if not path:
        return value
    node = doc
    for step in path[:-1]:
        node = node[step]
    node[path[-1]] = value
    return doc


@pytest.mark.parametrize("root", ROOTS)
def test_json_mutants(root):
    """Text mutants and document mutants of JSON bodies: a list of items or ValueError."""
    _, _, _, make, read_json = ROOTS[root]
    rng = random.Random(4242)
    docs = [to_json_doc(make(rng, odd_ids=False), snake=rng.random() < 0.3) for _ in range(40)]
    texts = [json.dumps(d).encode() for d in docs]
    accepted = refused = 0
    for k in range(3000):
        if k % 2:
            body = mutate(texts[k % len(texts)], rng, texts[(k + 1) % len(texts)])
        else:
            doc = json.loads(texts[k % len(texts)])
            paths = _paths(doc)
            for _ in range(rng.randint(1, 3)):
                doc = _replace(doc, rng.choice(paths), _json_values(rng))
                paths = _paths(doc)
            body = json.dumps(doc).encode()
        try:
            got = read_json(body)
        except ValueError:
            refused += 1
            continue
        assert type(got) is list and all(type(item) is dict for item in got)
        accepted += 1
    assert accepted > 100 and refused > 300, (accepted, refused)
