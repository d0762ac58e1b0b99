// The spans this exporter sends, as plain C++ values: the subset of the protocol's trace model
// that runs map to (scalar attributes, span events, status), free of Python.
//
// Every string is valid UTF-8: the capture step replaces what cannot be encoded (lone
// surrogates) before a value gets here, because a receiver rejects a whole request whose
// protobuf strings are not valid UTF-8.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ids.hpp"

namespace orvane::otlp {

struct Value {
    enum class Kind : uint8_t { string, boolean, integer, real };
    Kind kind = Kind::string;
    bool b = false;
    int64_t i = 0;
    double d = 0;
    std::string s;

    static Value str(std::string v) {
        Value out;
        out.s = std::move(v);
        return out;
    }
    static Value boolean(bool v) {
        Value out;
        out.kind = Kind::boolean;
        out.b = v;
        return out;
    }
    static Value integer(int64_t v) {
        Value out;
        out.kind = Kind::integer;
        out.i = v;
        return out;
    }
    static Value real(double v) {
        Value out;
        out.kind = Kind::real;
        out.d = v;
        return out;
    }
};

struct Attribute {
    std::string key;
    Value value;
};

using Attributes = std::vector<Attribute>;

inline void add_str(Attributes &to, std::string_view key, std::string value) {
    to.push_back(Attribute{std::string(key), Value::str(std::move(value))});
}
inline void add_int(Attributes &to, std::string_view key, int64_t value) {
    to.push_back(Attribute{std::string(key), Value::integer(value)});
}

struct SpanEvent {
    uint64_t time_ns = 0;
    std::string name;
    Attributes attributes;
};

// The protocol's enumerations, with their wire numbers.
enum class StatusCode : uint8_t { unset = 0, ok = 1, error = 2 };
enum class SpanKind : uint8_t { unspecified = 0, internal = 1, server = 2, client = 3 };

// Span flags: the W3C trace flags in bits 0-7 (sampled: every exported span was recorded), and
// whether the parent is known to be local (bit 8 set, bit 9 clear) or may be remote (both clear:
// a parent this process never saw may live in another one).
constexpr uint32_t kSampledFlag = 0x01;
constexpr uint32_t kHasIsRemoteFlag = 0x100;

struct Span {
    TraceId trace_id{};
    SpanId span_id{};
    SpanId parent_span_id{};
    bool has_parent = false;
    std::string name;
    SpanKind kind = SpanKind::internal;
    uint64_t start_ns = 0;
    uint64_t end_ns = 0;
    Attributes attributes;
    std::vector<SpanEvent> events;
    uint32_t dropped_events = 0;
    StatusCode status = StatusCode::unset;
    std::string status_message;
    uint32_t flags = kSampledFlag;
    // Which resource the span belongs to (the run's application and environment).
    std::string service_name;
    std::string environment;
    // Its number in the outbox of the builder that made it (not sent).
    uint64_t seq = 0;
};

// What names the exporter itself in a request.
struct Scope {
    std::string name;
    std::string version;
};

}  // namespace orvane::otlp
