#include "wire.hpp"

#include <zlib.h>

#include <charconv>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <unordered_map>

namespace orvane::otlp {

namespace {

// --- grouping ------------------------------------------------------------------------------

struct Group {
    const Span *first = nullptr;  // names the resource
    std::vector<const Span *> spans;
};

std::vector<Group> group_by_resource(const std::vector<const Span *> &spans) {
    std::vector<Group> groups;
    std::unordered_map<std::string, size_t> index;
    std::string key;
    for (const Span *s : spans) {
        key.assign(s->service_name);
        key.push_back('\0');
        key.append(s->environment);
        auto [it, fresh] = index.try_emplace(key, groups.size());
        if (fresh)
            groups.push_back(Group{s, {}});
        groups[it->second].spans.push_back(s);
    }
    return groups;
}

Attributes resource_attributes(const Span &s) {
    Attributes out;
    add_str(out, "service.name", s.service_name);
    if (!s.environment.empty())
        add_str(out, "deployment.environment.name", s.environment);
    return out;
}

// --- protobuf ------------------------------------------------------------------------------

enum WireType : uint32_t { kVarint = 0, kFixed64 = 1, kLen = 2, kFixed32 = 5 };

size_t varint_size(uint64_t v) {
    size_t n = 1;
    while (v >= 0x80) {
        v >>= 7;
        ++n;
    }
    return n;
}

size_t tag_size(uint32_t field) { return varint_size(uint64_t(field) << 3); }

// Size of a length-delimited field whose content is `len` bytes.
size_t len_field(uint32_t field, size_t len) { return tag_size(field) + varint_size(len) + len; }

void put_varint(std::string &out, uint64_t v) {
    while (v >= 0x80) {
        out.push_back(static_cast<char>(v | 0x80));
        v >>= 7;
    }
    out.push_back(static_cast<char>(v));
}

void put_tag(std::string &out, uint32_t field, WireType type) {
    put_varint(out, (uint64_t(field) << 3) | type);
}

void put_fixed64(std::string &out, uint64_t v) {
    char b[8];
    for (int i = 0; i < 8; ++i)
        b[i] = static_cast<char>(v >> (8 * i));
    out.append(b, 8);
}

void put_fixed32(std::string &out, uint32_t v) {
    char b[4];
    for (int i = 0; i < 4; ++i)
        b[i] = static_cast<char>(v >> (8 * i));
    out.append(b, 4);
}

void put_bytes(std::string &out, uint32_t field, const void *data, size_t n) {
    put_tag(out, field, kLen);
    put_varint(out, n);
    out.append(static_cast<const char *>(data), n);
}

void put_string(std::string &out, uint32_t field, std::string_view s) {
    put_bytes(out, field, s.data(), s.size());
}

void put_header(std::string &out, uint32_t field, size_t len) {
    put_tag(out, field, kLen);
    put_varint(out, len);
}

// AnyValue: string_value = 1, bool_value = 2, int_value = 3, double_value = 4.
size_t value_size(const Value &v) {
    switch (v.kind) {
    case Value::Kind::string:
        return len_field(1, v.s.size());
    case Value::Kind::boolean:
        return 2;
    case Value::Kind::integer:
        return 1 + varint_size(static_cast<uint64_t>(v.i));
    case Value::Kind::real:
        return 9;
    }
    return 0;
}

void put_value(std::string &out, const Value &v) {
    switch (v.kind) {
    case Value::Kind::string:
        put_string(out, 1, v.s);
        break;
    case Value::Kind::boolean:
        put_tag(out, 2, kVarint);
        out.push_back(v.b ? 1 : 0);
        break;
    case Value::Kind::integer:
        put_tag(out, 3, kVarint);
        put_varint(out, static_cast<uint64_t>(v.i));  // int64: two's complement, 10 bytes if < 0
        break;
    case Value::Kind::real: {
        put_tag(out, 4, kFixed64);
        uint64_t bits;
        std::memcpy(&bits, &v.d, 8);
        put_fixed64(out, bits);
        break;
    }
    }
}

// KeyValue: key = 1, value = 2.
size_t kv_size(const Attribute &a) { return len_field(1, a.key.size()) + len_field(2, value_size(a.value)); }

void put_kv(std::string &out, uint32_t field, const Attribute &a) {
    put_header(out, field, kv_size(a));
    put_string(out, 1, a.key);
    put_header(out, 2, value_size(a.value));
    put_value(out, a.value);
}

size_t attributes_size(uint32_t field, const Attributes &attrs) {
    size_t n = 0;
    for (const Attribute &a : attrs)
        n += len_field(field, kv_size(a));
    return n;
}

// Span.Event: time_unix_nano = 1 (fixed64), name = 2, attributes = 3.
size_t event_size(const SpanEvent &e) {
    size_t n = 0;
    if (e.time_ns)
        n += 1 + 8;
    if (!e.name.empty())
        n += len_field(2, e.name.size());
    return n + attributes_size(3, e.attributes);
}

void put_event(std::string &out, const SpanEvent &e) {
    put_header(out, 11, event_size(e));
    if (e.time_ns) {
        put_tag(out, 1, kFixed64);
        put_fixed64(out, e.time_ns);
    }
    if (!e.name.empty())
        put_string(out, 2, e.name);
    for (const Attribute &a : e.attributes)
        put_kv(out, 3, a);
}

// Status: message = 2, code = 3.
size_t status_size(const Span &s) {
    size_t n = 0;
    if (!s.status_message.empty())
        n += len_field(2, s.status_message.size());
    if (s.status != StatusCode::unset)
        n += 1 + varint_size(static_cast<uint64_t>(s.status));
    return n;
}

// Span: trace_id = 1, span_id = 2, parent_span_id = 4, name = 5, kind = 6, start = 7, end = 8,
// attributes = 9, events = 11, dropped_events_count = 12, status = 15, flags = 16 (fixed32).
size_t span_size(const Span &s) {
    size_t n = len_field(1, 16) + len_field(2, 8);
    if (s.has_parent)
        n += len_field(4, 8);
    if (!s.name.empty())
        n += len_field(5, s.name.size());
    if (s.kind != SpanKind::unspecified)
        n += 1 + varint_size(static_cast<uint64_t>(s.kind));
    if (s.start_ns)
        n += 1 + 8;
    if (s.end_ns)
        n += 1 + 8;
    n += attributes_size(9, s.attributes);
    for (const SpanEvent &e : s.events)
        n += len_field(11, event_size(e));
    if (s.dropped_events)
        n += 1 + varint_size(s.dropped_events);
    size_t st = status_size(s);
    if (st)
        n += len_field(15, st);
    if (s.flags)
        n += tag_size(16) + 4;
    return n;
}

void put_span(std::string &out, const Span &s, size_t size) {
    put_header(out, 2, size);
    put_bytes(out, 1, s.trace_id.data(), s.trace_id.size());
    put_bytes(out, 2, s.span_id.data(), s.span_id.size());
    if (s.has_parent)
        put_bytes(out, 4, s.parent_span_id.data(), s.parent_span_id.size());
    if (!s.name.empty())
        put_string(out, 5, s.name);
    if (s.kind != SpanKind::unspecified) {
        put_tag(out, 6, kVarint);
        put_varint(out, static_cast<uint64_t>(s.kind));
    }
    if (s.start_ns) {
        put_tag(out, 7, kFixed64);
        put_fixed64(out, s.start_ns);
    }
    if (s.end_ns) {
        put_tag(out, 8, kFixed64);
        put_fixed64(out, s.end_ns);
    }
    for (const Attribute &a : s.attributes)
        put_kv(out, 9, a);
    for (const SpanEvent &e : s.events)
        put_event(out, e);
    if (s.dropped_events) {
        put_tag(out, 12, kVarint);
        put_varint(out, s.dropped_events);
    }
    size_t st = status_size(s);
    if (st) {
        put_header(out, 15, st);
        if (!s.status_message.empty())
            put_string(out, 2, s.status_message);
        if (s.status != StatusCode::unset) {
            put_tag(out, 3, kVarint);
            put_varint(out, static_cast<uint64_t>(s.status));
        }
    }
    if (s.flags) {
        put_tag(out, 16, kFixed32);
        put_fixed32(out, s.flags);
    }
}

// InstrumentationScope: name = 1, version = 2.
size_t scope_size(const Scope &scope) {
    size_t n = 0;
    if (!scope.name.empty())
        n += len_field(1, scope.name.size());
    if (!scope.version.empty())
        n += len_field(2, scope.version.size());
    return n;
}

// --- JSON ------------------------------------------------------------------------------------

void append_uint(std::string &out, uint64_t v) {
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, r.ptr);
}

void append_int(std::string &out, int64_t v) {
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, r.ptr);
}

// A double as proto3 JSON writes it: shortest round-trip text, non-finite values as the strings
// "NaN", "Infinity" and "-Infinity".
void append_double(std::string &out, double d) {
    if (std::isnan(d)) {
        out.append("\"NaN\"");
        return;
    }
    if (std::isinf(d)) {
        out.append(d > 0 ? "\"Infinity\"" : "\"-Infinity\"");
        return;
    }
    char buf[32];
    auto r = std::to_chars(buf, buf + sizeof buf, d);
    out.append(buf, r.ptr);
}

void append_hex_field(std::string &out, const char *name, const uint8_t *data, size_t n) {
    out.push_back('"');
    out.append(name);
    out.append("\":\"");
    out.append(hex(data, n));
    out.push_back('"');
}

void json_value(std::string &out, const Value &v) {
    switch (v.kind) {
    case Value::Kind::string:
        out.append("{\"stringValue\":");
        append_json_string(out, v.s);
        break;
    case Value::Kind::boolean:
        out.append(v.b ? "{\"boolValue\":true" : "{\"boolValue\":false");
        break;
    case Value::Kind::integer:
        out.append("{\"intValue\":\"");
        append_int(out, v.i);
        out.push_back('"');
        break;
    case Value::Kind::real:
        out.append("{\"doubleValue\":");
        append_double(out, v.d);
        break;
    }
    out.push_back('}');
}

void json_attributes(std::string &out, const Attributes &attrs) {
    out.append("\"attributes\":[");
    bool first = true;
    for (const Attribute &a : attrs) {
        if (!first)
            out.push_back(',');
        first = false;
        out.append("{\"key\":");
        append_json_string(out, a.key);
        out.append(",\"value\":");
        json_value(out, a.value);
        out.push_back('}');
    }
    out.push_back(']');
}

void json_span(std::string &out, const Span &s) {
    out.push_back('{');
    append_hex_field(out, "traceId", s.trace_id.data(), s.trace_id.size());
    out.push_back(',');
    append_hex_field(out, "spanId", s.span_id.data(), s.span_id.size());
    if (s.has_parent) {
        out.push_back(',');
        append_hex_field(out, "parentSpanId", s.parent_span_id.data(), s.parent_span_id.size());
    }
    if (s.flags) {
        out.append(",\"flags\":");
        append_uint(out, s.flags);
    }
    out.append(",\"name\":");
    append_json_string(out, s.name);
    if (s.kind != SpanKind::unspecified) {
        out.append(",\"kind\":");
        append_uint(out, static_cast<uint64_t>(s.kind));
    }
    out.append(",\"startTimeUnixNano\":\"");
    append_uint(out, s.start_ns);
    out.append("\",\"endTimeUnixNano\":\"");
    append_uint(out, s.end_ns);
    out.append("\",");
    json_attributes(out, s.attributes);
    if (!s.events.empty()) {
        out.append(",\"events\":[");
        bool first = true;
        for (const SpanEvent &e : s.events) {
            if (!first)
                out.push_back(',');
            first = false;
            out.append("{\"timeUnixNano\":\"");
            append_uint(out, e.time_ns);
            out.append("\",\"name\":");
            append_json_string(out, e.name);
            out.push_back(',');
            json_attributes(out, e.attributes);
            out.push_back('}');
        }
        out.push_back(']');
    }
    if (s.dropped_events) {
        out.append(",\"droppedEventsCount\":");
        append_uint(out, s.dropped_events);
    }
    if (s.status != StatusCode::unset || !s.status_message.empty()) {
        out.append(",\"status\":{");
        bool any = false;
        if (!s.status_message.empty()) {
            out.append("\"message\":");
            append_json_string(out, s.status_message);
            any = true;
        }
        if (s.status != StatusCode::unset) {
            if (any)
                out.push_back(',');
            out.append("\"code\":");
            append_uint(out, static_cast<uint64_t>(s.status));
        }
        out.push_back('}');
    }
    out.push_back('}');
}

// --- decoding ------------------------------------------------------------------------------

// A bounds-checked reader of protobuf fields.
class Reader {
public:
    explicit Reader(std::string_view data) : p_(data.data()), end_(data.data() + data.size()) {}
    bool done() const { return p_ == end_; }

    bool varint(uint64_t &v) {
        v = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            if (p_ == end_)
                return false;
            uint8_t b = static_cast<uint8_t>(*p_++);
            v |= uint64_t(b & 0x7f) << shift;
            if (!(b & 0x80))
                return true;
        }
        return false;
    }

    // Reads one field: its number, wire type and, for length-delimited fields, the content.
    bool field(uint32_t &number, uint32_t &type, uint64_t &scalar, std::string_view &content) {
        uint64_t key;
        if (!varint(key))
            return false;
        number = static_cast<uint32_t>(key >> 3);
        type = static_cast<uint32_t>(key & 7);
        if (number == 0)
            return false;
        switch (type) {
        case kVarint:
            return varint(scalar);
        case kFixed64:
            return skip(8);
        case kFixed32:
            return skip(4);
        case kLen: {
            uint64_t n;
            if (!varint(n) || n > static_cast<uint64_t>(end_ - p_))
                return false;
            content = std::string_view(p_, n);
            p_ += n;
            return true;
        }
        default:
            return false;
        }
    }

private:
    bool skip(size_t n) {
        if (static_cast<size_t>(end_ - p_) < n)
            return false;
        p_ += n;
        return true;
    }

    const char *p_;
    const char *end_;
};

}  // namespace

std::string hex(const uint8_t *data, size_t n) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out(2 * n, '0');
    for (size_t i = 0; i < n; ++i) {
        out[2 * i] = digits[data[i] >> 4];
        out[2 * i + 1] = digits[data[i] & 15];
    }
    return out;
}

void append_json_string(std::string &out, std::string_view text) {
    static constexpr char digits[] = "0123456789abcdef";
    out.push_back('"');
    size_t run = 0;  // start of the pending run of characters that need no escape
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c != '"' && c != '\\')
            continue;
        out.append(text.substr(run, i - run));
        run = i + 1;
        switch (c) {
        case '"':
            out.append("\\\"");
            break;
        case '\\':
            out.append("\\\\");
            break;
        case '\n':
            out.append("\\n");
            break;
        case '\r':
            out.append("\\r");
            break;
        case '\t':
            out.append("\\t");
            break;
        case '\b':
            out.append("\\b");
            break;
        case '\f':
            out.append("\\f");
            break;
        default:
            out.append("\\u00");
            out.push_back(digits[c >> 4]);
            out.push_back(digits[c & 15]);
        }
    }
    out.append(text.substr(run));
    out.push_back('"');
}

namespace {

void encode_whole(const std::vector<const Span *> &spans, Protocol protocol, const Scope &scope,
                  std::string &out) {
    std::vector<std::string> bytes(spans.size());
    std::vector<Piece> pieces;
    pieces.reserve(spans.size());
    for (size_t i = 0; i < spans.size(); ++i) {
        append_span_piece(*spans[i], protocol, bytes[i]);
        pieces.push_back(Piece{spans[i], bytes[i]});
    }
    frame_request(pieces, protocol, scope, out);
}

}  // namespace

void encode_protobuf(const std::vector<const Span *> &spans, const Scope &scope, std::string &out) {
    encode_whole(spans, Protocol::protobuf, scope, out);
}

void encode_json(const std::vector<const Span *> &spans, const Scope &scope, std::string &out) {
    encode_whole(spans, Protocol::json, scope, out);
}

void append_span_piece(const Span &span, Protocol protocol, std::string &out) {
    if (protocol == Protocol::json)
        json_span(out, span);
    else
        put_span(out, span, span_size(span));
}

void frame_request(const std::vector<Piece> &pieces, Protocol protocol, const Scope &scope, std::string &out) {
    std::vector<const Span *> spans;
    spans.reserve(pieces.size());
    for (const Piece &p : pieces)
        spans.push_back(p.span);
    // Pieces of each resource, in order of first appearance.
    std::vector<Group> groups = group_by_resource(spans);
    std::unordered_map<const Span *, std::string_view> bytes_of;
    bytes_of.reserve(pieces.size());
    for (const Piece &p : pieces)
        bytes_of.emplace(p.span, p.bytes);
    if (protocol == Protocol::json) {
        out.append("{\"resourceSpans\":[");
        bool first_group = true;
        for (const Group &g : groups) {
            if (!first_group)
                out.push_back(',');
            first_group = false;
            out.append("{\"resource\":{");
            json_attributes(out, resource_attributes(*g.first));
            out.append("},\"scopeSpans\":[{\"scope\":{\"name\":");
            append_json_string(out, scope.name);
            if (!scope.version.empty()) {
                out.append(",\"version\":");
                append_json_string(out, scope.version);
            }
            out.append("},\"spans\":[");
            bool first = true;
            for (const Span *s : g.spans) {
                if (!first)
                    out.push_back(',');
                first = false;
                out.append(bytes_of[s]);
            }
            out.append("]}]}");
        }
        out.append("]}");
        return;
    }
    for (const Group &g : groups) {
        Attributes resource = resource_attributes(*g.first);
        size_t ss = scope_size(scope);
        size_t scope_spans = len_field(1, ss);
        for (const Span *s : g.spans)
            scope_spans += bytes_of[s].size();
        size_t res = attributes_size(1, resource);
        size_t rs = len_field(1, res) + len_field(2, scope_spans);
        out.reserve(out.size() + len_field(1, rs));
        put_header(out, 1, rs);           // ExportTraceServiceRequest.resource_spans
        put_header(out, 1, res);          // ResourceSpans.resource
        for (const Attribute &a : resource)
            put_kv(out, 1, a);            // Resource.attributes
        put_header(out, 2, scope_spans);  // ResourceSpans.scope_spans
        put_header(out, 1, ss);           // ScopeSpans.scope
        if (!scope.name.empty())
            put_string(out, 1, scope.name);
        if (!scope.version.empty())
            put_string(out, 2, scope.version);
        for (const Span *s : g.spans)
            out.append(bytes_of[s]);      // ScopeSpans.spans
    }
}

std::string gzip(std::string_view data, int level) {
    z_stream z{};
    if (deflateInit2(&z, level, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("gzip: deflateInit2 failed");
    std::string out;
    out.resize(deflateBound(&z, static_cast<uLong>(data.size())));
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = reinterpret_cast<Bytef *>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    int rc = deflate(&z, Z_FINISH);
    size_t written = out.size() - z.avail_out;
    deflateEnd(&z);
    if (rc != Z_STREAM_END)
        throw std::runtime_error("gzip: deflate failed");
    out.resize(written);
    return out;
}

std::optional<std::string> gunzip(std::string_view data, size_t limit) {
    z_stream z{};
    if (inflateInit2(&z, 15 + 16) != Z_OK)
        return std::nullopt;
    std::string out;
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    char buf[16384];
    int rc = Z_OK;
    while (rc == Z_OK) {
        z.next_out = reinterpret_cast<Bytef *>(buf);
        z.avail_out = sizeof buf;
        rc = inflate(&z, Z_NO_FLUSH);
        if (rc != Z_OK && rc != Z_STREAM_END)
            break;
        out.append(buf, sizeof buf - z.avail_out);
        if (out.size() > limit) {
            rc = Z_MEM_ERROR;
            break;
        }
        if (rc == Z_OK && z.avail_in == 0 && z.avail_out != 0)
            break;  // truncated input
    }
    bool whole = rc == Z_STREAM_END && z.avail_in == 0;
    inflateEnd(&z);
    if (!whole)
        return std::nullopt;
    return out;
}

std::optional<PartialSuccess> decode_response(std::string_view body) {
    PartialSuccess out;
    Reader top(body);
    while (!top.done()) {
        uint32_t number, type;
        uint64_t scalar = 0;
        std::string_view content;
        if (!top.field(number, type, scalar, content))
            return std::nullopt;
        if (number != 1 || type != kLen)
            continue;
        out.present = true;
        Reader inner(content);
        while (!inner.done()) {
            uint64_t v = 0;
            std::string_view text;
            if (!inner.field(number, type, v, text))
                return std::nullopt;
            if (number == 1 && type == kVarint)
                out.rejected_spans = static_cast<int64_t>(v);
            else if (number == 2 && type == kLen)
                out.error_message.assign(text);
        }
    }
    return out;
}

std::string decode_status_message(std::string_view body) {
    Reader r(body);
    std::string message;
    while (!r.done()) {
        uint32_t number, type;
        uint64_t scalar = 0;
        std::string_view content;
        if (!r.field(number, type, scalar, content))
            return {};
        if (number == 2 && type == kLen)
            message.assign(content);
    }
    return message;
}

}  // namespace orvane::otlp
