// A libFuzzer harness for the OTLP request reader (native/Ingest/otlp_read.hpp), Python-free.
//
// The first byte picks the request (even: traces, odd: logs), the rest is the body. Besides the
// sanitizers' own checks (out-of-bounds reads, leaks, undefined behaviour, unbounded recursion
// as a stack overflow), every request read is checked against the reader's contract: each text
// is valid UTF-8 (checked here by a decoder of its own), each byte string lies inside the body,
// the counts of spans and records are what the lists hold, and nesting stays within kMaxDepth.
// Anything else than a request or a DecodeError is a finding.
//
// Build and run (clang with libFuzzer; Debian: clang-14 and libclang-rt-14-dev), from the
// repository root:
//
//   clang++-14 -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
//       -I native/Ingest tests/fuzz/otlp_read_fuzz.cpp native/Ingest/otlp_read.cpp -o /tmp/otlp_read_fuzz
//   PYTHONPATH=src:tests/otlp_ingest python tests/fuzz/make_seeds.py /tmp/otlp_seeds
//   mkdir -p /tmp/otlp_corpus
//   /tmp/otlp_read_fuzz -max_total_time=1800 -max_len=16384 -timeout=5 /tmp/otlp_corpus /tmp/otlp_seeds
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "otlp_read.hpp"

namespace otlp = orvane::ingest::otlp;

namespace {

std::string_view g_body;

[[noreturn]] void finding(const char *what) {
    std::fprintf(stderr, "contract broken: %s\n", what);
    std::abort();
}

// An independent check of UTF-8: decodes each sequence and checks its scalar value.
bool is_utf8(std::string_view s) {
    size_t i = 0;
    while (i < s.size()) {
        auto c = static_cast<unsigned char>(s[i]);
        size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (len == 0 || i + len > s.size())
            return false;
        uint32_t cp = len == 1 ? c : c & (0x7F >> len);
        for (size_t k = 1; k < len; ++k) {
            auto b = static_cast<unsigned char>(s[i + k]);
            if ((b & 0xC0) != 0x80)
                return false;
            cp = cp << 6 | (b & 0x3F);
        }
        static constexpr uint32_t least[5] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < least[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += len;
    }
    return true;
}

void text(otlp::Text t) {
    if (!is_utf8(t))
        finding("a text that is not UTF-8");
}

void bytes(otlp::Bytes b) {
    if (b.empty())
        return;
    if (b.data() < g_body.data() || b.data() + b.size() > g_body.data() + g_body.size())
        finding("a byte string outside the body");
}

void attributes(const otlp::Attributes &list, int depth);

void value(const otlp::AnyValue &v, int depth) {
    if (depth > otlp::kMaxDepth)
        finding("nesting past kMaxDepth");
    using K = otlp::AnyValue::Kind;
    if (v.kind == K::string)
        text(v.s);
    if (v.kind == K::bytes)
        bytes(v.s);
    if (v.kind != K::array && !v.array.empty())
        finding("array elements under another member");
    if (v.kind != K::kvlist && !v.kvlist.empty())
        finding("kvlist entries under another member");
    for (const otlp::AnyValue &x : v.array)
        value(x, depth + 1);
    attributes(v.kvlist, depth + 1);
}

void attributes(const otlp::Attributes &list, int depth) {
    for (const otlp::KeyValue &kv : list) {
        text(kv.key);
        if (kv.value.kind != otlp::AnyValue::Kind::unset || !kv.value.array.empty() || !kv.value.kvlist.empty())
            value(kv.value, depth);
    }
}

void resource(const otlp::Resource &r) {
    attributes(r.attributes, 1);
    for (const otlp::EntityRef &e : r.entity_refs) {
        text(e.schema_url);
        text(e.type);
        for (otlp::Text t : e.id_keys)
            text(t);
        for (otlp::Text t : e.description_keys)
            text(t);
    }
}

void scope(const otlp::Scope &s) {
    text(s.name);
    text(s.version);
    attributes(s.attributes, 1);
}

void check(const otlp::TracesRequest &req) {
    size_t spans = 0;
    for (const otlp::ResourceSpans &rs : req.resource_spans) {
        resource(rs.resource);
        text(rs.schema_url);
        for (const otlp::ScopeSpans &ss : rs.scope_spans) {
            scope(ss.scope);
            text(ss.schema_url);
            for (const otlp::Span &s : ss.spans) {
                ++spans;
                bytes(s.trace_id);
                bytes(s.span_id);
                bytes(s.parent_span_id);
                text(s.trace_state);
                text(s.name);
                attributes(s.attributes, 1);
                for (const otlp::SpanEvent &e : s.events) {
                    text(e.name);
                    attributes(e.attributes, 1);
                }
                for (const otlp::SpanLink &l : s.links) {
                    bytes(l.trace_id);
                    bytes(l.span_id);
                    text(l.trace_state);
                    attributes(l.attributes, 1);
                }
                text(s.status.message);
            }
        }
    }
    if (spans != req.span_count)
        finding("span_count is not the number of spans");
}

void check(const otlp::LogsRequest &req) {
    size_t records = 0;
    for (const otlp::ResourceLogs &rl : req.resource_logs) {
        resource(rl.resource);
        text(rl.schema_url);
        for (const otlp::ScopeLogs &sl : rl.scope_logs) {
            scope(sl.scope);
            text(sl.schema_url);
            for (const otlp::LogRecord &r : sl.log_records) {
                ++records;
                text(r.severity_text);
                if (r.body.kind != otlp::AnyValue::Kind::unset)
                    value(r.body, 1);
                attributes(r.attributes, 1);
                bytes(r.trace_id);
                bytes(r.span_id);
                text(r.event_name);
            }
        }
    }
    if (records != req.record_count)
        finding("record_count is not the number of records");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0)
        return 0;
    g_body = std::string_view(reinterpret_cast<const char *>(data) + 1, size - 1);
    try {
        if (data[0] % 2 == 0)
            check(otlp::read_traces(g_body));
        else
            check(otlp::read_logs(g_body));
    } catch (const otlp::DecodeError &e) {
        if (std::string_view(e.what()).empty())
            finding("a decode error without a message");
    }
    return 0;
}
