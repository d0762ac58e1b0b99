"""A fake OpenAI-compatible server on 127.0.0.1, for tests that drive the real ``openai`` SDK.

``POST /v1/chat/completions`` answers as the chat completions API does, with the shapes the
instrumentations read:

* a chat: one choice with the assistant's text (``reply``), ``finish_reason`` "stop";
* a request with ``tools`` whose last message is not a tool result: a tool call of the first
  tool (``tool_arguments`` as its arguments), ``finish_reason`` "tool_calls"; once the last
  message is the tool's result, the text answer;
* ``"stream": true``: the same answer as server-sent events (``chat.completion.chunk``s, the
  text in a few deltas, tool call arguments in pieces, then ``data: [DONE]``), with a last
  chunk of no choices that carries the usage when ``stream_options.include_usage`` is set;
* a request with the header ``x-fake-status: CODE`` (for example 500): that status with an
  OpenAI error body.

Every answer names its model: ``response_models`` maps a request model to the dated model a
provider answers with (else the request's model). ``usage`` holds the counts of every answer,
cached prompt tokens (``prompt_tokens_details.cached_tokens``, inside ``prompt_tokens``) and
reasoning tokens (``completion_tokens_details.reasoning_tokens``, inside
``completion_tokens``) included. ``requests`` keeps each request's path, headers and JSON body.

A real ``ThreadingHTTPServer`` in a daemon thread; use it as a context manager (``with
FakeOpenAI() as server:``, ``server.base_url`` is the SDK's ``base_url``).
"""

from __future__ import annotations

import json
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any

DEFAULT_USAGE: dict[str, int] = {
    "prompt_tokens": 1_250,
    "cached_tokens": 1_024,
    "completion_tokens": 310,
    "reasoning_tokens": 128,
}
DEFAULT_REPLY = "The capital of France is Paris."
# A request for gpt-4o-mini is answered by a dated snapshot, as the provider does.
DEFAULT_RESPONSE_MODELS = {"gpt-4o-mini": "gpt-4o-mini-2024-07-18"}
CREATED = 1_765_000_000
FINGERPRINT = "fp_fake0001"

# A client that stops reading cannot hold a handler thread for longer than this.
SOCKET_TIMEOUT_S = 10.0


class FakeOpenAI:
    def __init__(
        self,
        *,
        reply: str = DEFAULT_REPLY,
        usage: dict[str, int] | None = None,
        response_models: dict[str, str] | None = None,
        tool_arguments: dict[str, Any] | None = None,
    ) -> None:
        self.reply = reply
        self.usage = dict(DEFAULT_USAGE if usage is None else usage)
        self.response_models = dict(DEFAULT_RESPONSE_MODELS if response_models is None else response_models)
        self.tool_arguments = {"city": "Paris"} if tool_arguments is None else dict(tool_arguments)
        self.requests: list[dict[str, Any]] = []
        self._lock = threading.Lock()
        self._counter = 0
        self._httpd: ThreadingHTTPServer | None = None
        self._thread: threading.Thread | None = None

    # -- life -------------------------------------------------------------------------------------

    def start(self) -> FakeOpenAI:
        server = self

        class Handler(_Handler):
            fake = server

        httpd = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        httpd.daemon_threads = True
        self._httpd = httpd
        self._thread = threading.Thread(target=httpd.serve_forever, kwargs={"poll_interval": 0.05},
                                        name="FakeOpenAI", daemon=True)
        self._thread.start()
        return self

    def stop(self) -> None:
        if self._httpd is not None:
            self._httpd.shutdown()
            self._httpd.server_close()
            self._httpd = None
        if self._thread is not None:
            self._thread.join(timeout=5)
            self._thread = None

    def __enter__(self) -> FakeOpenAI:
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.stop()

    @property
    def port(self) -> int:
        assert self._httpd is not None, "the server is not started"
        return self._httpd.server_address[1]

    @property
    def base_url(self) -> str:
        return f"http://127.0.0.1:{self.port}/v1"

    # -- answers ----------------------------------------------------------------------------------

    def _next_id(self, prefix: str) -> str:
        with self._lock:
            self._counter += 1
            return f"{prefix}{self._counter:06d}"

    def usage_body(self) -> dict[str, Any]:
        u = self.usage
        return {
            "prompt_tokens": u["prompt_tokens"],
            "completion_tokens": u["completion_tokens"],
            "total_tokens": u["prompt_tokens"] + u["completion_tokens"],
            "prompt_tokens_details": {"cached_tokens": u["cached_tokens"], "audio_tokens": 0},
            "completion_tokens_details": {
                "reasoning_tokens": u["reasoning_tokens"],
                "audio_tokens": 0,
                "accepted_prediction_tokens": 0,
                "rejected_prediction_tokens": 0,
            },
        }

    def response_model(self, request: dict[str, Any]) -> str:
        model = request.get("model")
        model = model if isinstance(model, str) else "unknown"
        return self.response_models.get(model, model)

    def wants_tool_call(self, request: dict[str, Any]) -> dict[str, Any] | None:
        """The tool to call: the first one offered, unless the last message is a tool's result."""
        tools = request.get("tools")
        messages = request.get("messages") or []
        if not tools or (messages and isinstance(messages[-1], dict) and messages[-1].get("role") == "tool"):
            return None
        function = tools[0].get("function", {}) if isinstance(tools[0], dict) else {}
        return {"id": self._next_id("call_"), "name": function.get("name", "tool")}

    def completion(self, request: dict[str, Any]) -> dict[str, Any]:
        tool = self.wants_tool_call(request)
        if tool is None:
            message: dict[str, Any] = {"role": "assistant", "content": self.reply, "refusal": None}
            finish = "stop"
        else:
            message = {
                "role": "assistant",
                "content": None,
                "refusal": None,
                "tool_calls": [{
                    "id": tool["id"],
                    "type": "function",
                    "function": {"name": tool["name"], "arguments": json.dumps(self.tool_arguments)},
                }],
            }
            finish = "tool_calls"
        return {
            "id": self._next_id("chatcmpl-"),
            "object": "chat.completion",
            "created": CREATED,
            "model": self.response_model(request),
            "system_fingerprint": FINGERPRINT,
            "service_tier": "default",
            "choices": [{"index": 0, "message": message, "logprobs": None, "finish_reason": finish}],
            "usage": self.usage_body(),
        }

    def chunks(self, request: dict[str, Any]) -> list[dict[str, Any]]:
        """The streamed answer, chunk by chunk (without the closing ``[DONE]``)."""
        include_usage = bool((request.get("stream_options") or {}).get("include_usage"))
        tool = self.wants_tool_call(request)
        base = {
            "id": self._next_id("chatcmpl-"),
            "object": "chat.completion.chunk",
            "created": CREATED,
            "model": self.response_model(request),
            "system_fingerprint": FINGERPRINT,
        }

        def chunk(delta: dict[str, Any], finish: str | None = None) -> dict[str, Any]:
            out = dict(base, choices=[{"index": 0, "delta": delta, "logprobs": None, "finish_reason": finish}])
            if include_usage:
                out["usage"] = None
            return out

        out = [chunk({"role": "assistant", "content": "", "refusal": None})]
        if tool is None:
            words = self.reply.split(" ")
            for i, word in enumerate(words):
                out.append(chunk({"content": word if i == 0 else " " + word}))
            out.append(chunk({}, "stop"))
        else:
            arguments = json.dumps(self.tool_arguments)
            half = len(arguments) // 2
            out.append(chunk({"tool_calls": [{
                "index": 0, "id": tool["id"], "type": "function",
                "function": {"name": tool["name"], "arguments": ""},
            }]}))
            for piece in (arguments[:half], arguments[half:]):
                out.append(chunk({"tool_calls": [{"index": 0, "function": {"arguments": piece}}]}))
            out.append(chunk({}, "tool_calls"))
        if include_usage:
            out.append(dict(base, choices=[], usage=self.usage_body()))
        return out


class _Handler(BaseHTTPRequestHandler):
    fake: FakeOpenAI
    protocol_version = "HTTP/1.1"
    timeout = SOCKET_TIMEOUT_S

    def log_message(self, format: str, *args: Any) -> None:  # keep test output clean
        pass

    def _send_json(self, status: int, body: Any) -> None:
        data = json.dumps(body).encode()
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.send_header("x-request-id", self.fake._next_id("req_"))
        self.end_headers()
        self.wfile.write(data)

    def _error(self, status: int, message: str, kind: str) -> None:
        self._send_json(status, {"error": {"message": message, "type": kind, "param": None, "code": None}})

    def do_POST(self) -> None:
        length = self.headers.get("Content-Length")
        if length is None or not length.isdigit():
            self._error(411, "a request body with a Content-Length is required", "invalid_request_error")
            return
        raw = self.rfile.read(int(length))
        try:
            request = json.loads(raw or b"{}")
        except ValueError:
            self._error(400, "the body is not JSON", "invalid_request_error")
            return
        with self.fake._lock:
            self.fake.requests.append({"path": self.path, "headers": dict(self.headers.items()), "body": request})
        if self.path.rstrip("/") != "/v1/chat/completions":
            self._error(404, f"no route {self.path}", "invalid_request_error")
            return
        status = self.headers.get("x-fake-status")
        if status is not None:
            code = int(status) if status.isdigit() and 400 <= int(status) <= 599 else 400
            self._error(code, f"the fake server was asked for a {code}", "server_error" if code >= 500 else "invalid_request_error")
            return
        if not isinstance(request, dict) or not isinstance(request.get("messages"), list):
            self._error(400, "'messages' is required", "invalid_request_error")
            return
        if request.get("stream"):
            self._stream(request)
        else:
            self._send_json(200, self.fake.completion(request))

    def _stream(self, request: dict[str, Any]) -> None:
        self.send_response(200)
        self.send_header("Content-Type", "text/event-stream; charset=utf-8")
        self.send_header("Cache-Control", "no-cache")
        self.send_header("Transfer-Encoding", "chunked")
        self.send_header("x-request-id", self.fake._next_id("req_"))
        self.end_headers()
        for event in self.fake.chunks(request):
            self._write_chunk(f"data: {json.dumps(event)}\n\n".encode())
        self._write_chunk(b"data: [DONE]\n\n")
        self.wfile.write(b"0\r\n\r\n")
        self.wfile.flush()

    def _write_chunk(self, data: bytes) -> None:
        self.wfile.write(b"%x\r\n%s\r\n" % (len(data), data))
        self.wfile.flush()
