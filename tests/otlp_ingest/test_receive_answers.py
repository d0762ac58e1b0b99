"""The receiver's hand-written answers read back by the protocol's own generated messages, and
the bounded gzip inflation at its boundaries."""

from __future__ import annotations

import gzip
import json
import zlib

import pytest
from google.rpc.status_pb2 import Status
from opentelemetry.proto.collector.logs.v1.logs_service_pb2 import ExportLogsServiceResponse
from opentelemetry.proto.collector.metrics.v1.metrics_service_pb2 import ExportMetricsServiceResponse
from opentelemetry.proto.collector.trace.v1.trace_service_pb2 import ExportTraceServiceResponse

from orvane_devtools.listener.otlp import answers, body

COUNTS = [0, 1, 127, 128, 300, 16_383, 16_384, 2**31, 2**40, 2**63 - 1]
MESSAGES = ["", "x", "a" * 127, "b" * 128, "ünïcødé ✓ " * 40, "c" * 20_000]


@pytest.mark.parametrize("rejected", COUNTS)
@pytest.mark.parametrize("message", MESSAGES)
def test_export_responses_read_back_by_the_generated_messages(rejected, message):
    for cls, key, field in ((ExportTraceServiceResponse, "rejectedSpans", "rejected_spans"),
                            (ExportLogsServiceResponse, "rejectedLogRecords", "rejected_log_records"),
                            (ExportMetricsServiceResponse, "rejectedDataPoints", "rejected_data_points")):
        raw = answers.export_response(answers.PROTOBUF, key, rejected, message)
        parsed = cls.FromString(raw)
        assert getattr(parsed.partial_success, field) == rejected
        assert parsed.partial_success.error_message == message
        assert parsed.HasField("partial_success") == bool(rejected or message)
        assert raw == parsed.SerializeToString()  # the canonical encoding, byte for byte
        doc = json.loads(answers.export_response(answers.JSON, key, rejected, message))
        expected = {}
        if rejected:
            expected[key] = str(rejected)
        if message:
            expected["errorMessage"] = message
        assert doc == ({"partialSuccess": expected} if expected else {})


@pytest.mark.parametrize("code", [0, 3, 8, 14, 127, 128])
@pytest.mark.parametrize("message", MESSAGES[:5])
def test_status_bodies_read_back(code, message):
    raw = answers.status_body(answers.PROTOBUF, code, message)
    parsed = Status.FromString(raw)
    assert (parsed.code, parsed.message) == (code, message) and raw == parsed.SerializeToString()
    assert json.loads(answers.status_body(answers.JSON, code, message)) == {"code": code, "message": message}


def test_a_negative_varint_is_ten_bytes_of_twos_complement():
    assert answers.varint(-1) == b"\xff" * 9 + b"\x01"


# -- gzip ----------------------------------------------------------------------------------------

SIZES = [0, 1, body.STEP - 1, body.STEP, body.STEP + 1, 3 * body.STEP + 5]


@pytest.mark.parametrize("size", SIZES)
def test_gunzip_takes_exactly_the_limit_and_refuses_one_byte_more(size):
    data = bytes(range(256)) * (size // 256) + b"z" * (size % 256)
    packed = gzip.compress(data)
    assert body.gunzip(packed, size) == data
    if size:
        with pytest.raises(body.TooLarge):
            body.gunzip(packed, size - 1)


def test_gunzip_members_truncation_and_garbage():
    assert body.gunzip(gzip.compress(b"ab") + gzip.compress(b"cd"), 4) == b"abcd"
    with pytest.raises(body.TooLarge):
        body.gunzip(gzip.compress(b"ab") + gzip.compress(b"cde"), 4)  # the limit counts every member
    packed = gzip.compress(b"hello world" * 100)
    for cut in (1, 5, 10, len(packed) - 8, len(packed) - 1):
        with pytest.raises(body.BadBody):
            body.gunzip(packed[:cut], 10**6)
    with pytest.raises(body.BadBody):
        body.gunzip(b"", 10)
    with pytest.raises(body.BadBody):
        body.gunzip(packed + b"trailing junk", 10**6)
    raw_deflate = zlib.compress(b"abc")
    with pytest.raises(body.BadBody):
        body.gunzip(raw_deflate, 10**6)


def test_a_bomb_is_refused_after_at_most_a_step_more_than_the_limit(monkeypatch):
    handed: list[int] = []
    real = zlib.decompressobj

    class Counting:
        def __init__(self, *args):
            self._inner = real(*args)

        def decompress(self, data, max_length=0):
            assert 0 < max_length <= body.STEP  # never unbounded
            out = self._inner.decompress(data, max_length)
            handed.append(len(out))
            return out

        def __getattr__(self, name):
            return getattr(self._inner, name)

    monkeypatch.setattr(body.zlib, "decompressobj", Counting)
    packer = zlib.compressobj(9, zlib.DEFLATED, 16 + zlib.MAX_WBITS)
    bomb = b"".join(packer.compress(b"\0" * (1 << 20)) for _ in range(64)) + packer.flush()
    with pytest.raises(body.TooLarge):
        body.gunzip(bomb, 2 * body.STEP)
    assert sum(handed) == 2 * body.STEP + 1


@pytest.mark.parametrize("header, expected", [
    (None, []), ("", []), ("identity", []), ("gzip", ["gzip"]), ("GZip", ["gzip"]), ("x-gzip", ["gzip"]),
    ("gzip, identity", ["gzip"]), ("gzip,gzip", ["gzip", "gzip"]),
])
def test_content_codings(header, expected):
    assert body.codings(header) == expected


@pytest.mark.parametrize("header", ["br", "deflate", "gzip, br", "zstd"])
def test_other_codings_are_unsupported(header):
    with pytest.raises(body.Unsupported):
        body.codings(header)


@pytest.mark.parametrize("header, expected", [
    ("application/x-protobuf", answers.PROTOBUF), ("application/json", answers.JSON),
    ("application/json; charset=utf-8", answers.JSON), (" APPLICATION/X-PROTOBUF ;q=1", answers.PROTOBUF),
])
def test_media_types(header, expected):
    assert body.media_type(header) == expected


@pytest.mark.parametrize("header", [None, "", "text/plain", "application/protobuf", "application/x-protobufs",
                                    "application/json-seq", "json"])
def test_other_media_types_are_unsupported(header):
    with pytest.raises(body.Unsupported):
        body.media_type(header)
