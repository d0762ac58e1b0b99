// A reader of OTLP/HTTP protobuf request bodies (ExportTraceServiceRequest and
// ExportLogsServiceRequest), free of Python: the structures below hold every field of the
// messages they stand for, with the field numbers and wire types of opentelemetry-proto
// (tests/otlp_ingest checks them against the descriptors of the installed package).
//
// Contract:
//   - Views. Texts and byte strings are views into the body that was read (or, for a text whose
//     bytes were not valid UTF-8, into the request's own storage): the body must outlive the
//     request read from it, and must not change meanwhile. Nothing else is shared; a request may
//     be moved, and read on any thread (no Python object is touched: callers may release the GIL).
//   - Texts (every `string` field) are valid UTF-8. Bytes that are not are replaced as Python's
//     bytes.decode("utf-8", "replace") replaces them: one U+FFFD for each maximal subpart of an
//     ill-formed sequence (the Unicode standard's recommended practice). Byte strings (`bytes`
//     fields: ids, bytes values) are kept as sent.
//   - Protobuf's rules: absent fields read as their zero value; a scalar given twice keeps the
//     last; a singular message given twice is merged (its repeated fields appended, its scalars
//     overwritten), and an AnyValue whose oneof changes member drops the old member; repeated
//     fields keep wire order. Enumerations keep any value (open enums), as int32; uint32 and
//     int32 fields keep the low 32 bits of their varint, as protobuf does.
//   - Unknown fields (numbers the message does not define) are skipped by their wire type.
//   - Malformed input raises DecodeError, never reads out of bounds and never recurses without a
//     bound: a truncated varint or fixed-width value, a length past the end, a varint over 10
//     bytes, a field number of 0, a tag over 32 bits (a number over 2^29 - 1, or more than 5
//     bytes), a group (wire types 3 and 4, which proto3 messages never hold, known field or
//     not), wire types 6 and 7, a known field of another wire type than its own, AnyValue
//     nesting (arrays and key-value lists) deeper than kMaxDepth.
//     The message is short and names where: "span 3: attribute 2: value: truncated" (spans and
//     log records are counted across the whole request, from 0; resources as resource_spans N /
//     resource_logs N, attributes by their position in their list).
//   - Limits. What one request may hold is bounded while it is read (Limits): the items (spans,
//     span events and span links each counted on their own, or log records) and the parts that
//     take memory besides them (see Limits::parts). Reading stops at the first one over its
//     bound with a LimitError, before the rest of the body is read, so a small body of empty
//     messages (two bytes each on the wire) cannot make millions of structures; space reserved
//     ahead for a repeated field is bounded by what may still come.
//   - The profiles-only string-table references (KeyValue.key_strindex and
//     AnyValue.string_value_strindex) are read and kept; without a profiles dictionary they
//     have no meaning, and readers of traces and logs treat them as absent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace orvane::ingest::otlp {

// Valid UTF-8 (see above).
using Text = std::string_view;
// Bytes as sent.
using Bytes = std::string_view;

// How deep arrays and key-value lists may nest inside one AnyValue (the value itself is level 1).
inline constexpr int kMaxDepth = 64;

class DecodeError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Bounds on one request, counted across the whole request (SIZE_MAX: none).
struct Limits {
    // Spans, and on their own span events and span links (traces); log records (logs).
    size_t items = SIZE_MAX;
    // Key-values (attributes, key-value list entries), array elements, resource and scope
    // groups, entity refs and their keys, and texts repaired into storage of their own: each
    // one structure that a couple of bytes on the wire can ask for.
    size_t parts = SIZE_MAX;
};

// A request over one of its Limits: which one, and the bound it went over.
class LimitError : public std::runtime_error {
public:
    enum class Kind : uint8_t { spans, span_events, span_links, log_records, parts };
    LimitError(Kind kind, size_t limit);
    Kind kind;
    size_t limit;
};

struct KeyValue;

// opentelemetry.proto.common.v1.AnyValue: a oneof; `kind` says which member is set.
struct AnyValue {
    enum class Kind : uint8_t {
        unset,       // no member set
        string,      // string_value = 1   -> s
        boolean,     // bool_value = 2     -> b
        integer,     // int_value = 3      -> i
        real,        // double_value = 4   -> d
        array,       // array_value = 5    -> array (ArrayValue.values)
        kvlist,      // kvlist_value = 6   -> kvlist (KeyValueList.values)
        bytes,       // bytes_value = 7    -> s (bytes as sent)
        string_ref,  // string_value_strindex = 8 -> i (int32; profiles only)
    };
    Kind kind = Kind::unset;
    bool b = false;
    int64_t i = 0;
    double d = 0;
    std::string_view s;
    std::vector<AnyValue> array;
    std::vector<KeyValue> kvlist;
};

// opentelemetry.proto.common.v1.KeyValue.
struct KeyValue {
    Text key;             // 1
    AnyValue value;       // 2 (unset when absent)
    int32_t key_ref = 0;  // 3 key_strindex (profiles only)
};

using Attributes = std::vector<KeyValue>;

// opentelemetry.proto.common.v1.EntityRef.
struct EntityRef {
    Text schema_url;                     // 1
    Text type;                           // 2
    std::vector<Text> id_keys;           // 3
    std::vector<Text> description_keys;  // 4
};

// opentelemetry.proto.resource.v1.Resource.
struct Resource {
    Attributes attributes;                 // 1
    uint32_t dropped_attributes_count = 0;  // 2
    std::vector<EntityRef> entity_refs;     // 3
};

// opentelemetry.proto.common.v1.InstrumentationScope.
struct Scope {
    Text name;                              // 1
    Text version;                           // 2
    Attributes attributes;                  // 3
    uint32_t dropped_attributes_count = 0;  // 4
};

// opentelemetry.proto.trace.v1.Span.Event.
struct SpanEvent {
    uint64_t time_unix_nano = 0;            // 1 fixed64
    Text name;                              // 2
    Attributes attributes;                  // 3
    uint32_t dropped_attributes_count = 0;  // 4
};

// opentelemetry.proto.trace.v1.Span.Link.
struct SpanLink {
    Bytes trace_id;                         // 1
    Bytes span_id;                          // 2
    Text trace_state;                       // 3
    Attributes attributes;                  // 4
    uint32_t dropped_attributes_count = 0;  // 5
    uint32_t flags = 0;                     // 6 fixed32
};

// opentelemetry.proto.trace.v1.Status.
struct Status {
    Text message;      // 2
    int32_t code = 0;  // 3 (StatusCode)
};

// opentelemetry.proto.trace.v1.Span.
struct Span {
    Bytes trace_id;                         // 1
    Bytes span_id;                          // 2
    Text trace_state;                       // 3
    Bytes parent_span_id;                   // 4
    uint32_t flags = 0;                     // 16 fixed32
    Text name;                              // 5
    int32_t kind = 0;                       // 6 (SpanKind)
    uint64_t start_time_unix_nano = 0;      // 7 fixed64
    uint64_t end_time_unix_nano = 0;        // 8 fixed64
    Attributes attributes;                  // 9
    uint32_t dropped_attributes_count = 0;  // 10
    std::vector<SpanEvent> events;          // 11
    uint32_t dropped_events_count = 0;      // 12
    std::vector<SpanLink> links;            // 13
    uint32_t dropped_links_count = 0;       // 14
    Status status;                          // 15 (zero when absent)
};

// opentelemetry.proto.trace.v1.ScopeSpans.
struct ScopeSpans {
    Scope scope;             // 1
    std::vector<Span> spans;  // 2
    Text schema_url;          // 3
};

// opentelemetry.proto.trace.v1.ResourceSpans.
struct ResourceSpans {
    Resource resource;                    // 1
    std::vector<ScopeSpans> scope_spans;  // 2
    Text schema_url;                      // 3
};

// opentelemetry.proto.logs.v1.LogRecord.
struct LogRecord {
    uint64_t time_unix_nano = 0;            // 1 fixed64
    uint64_t observed_time_unix_nano = 0;   // 11 fixed64
    int32_t severity_number = 0;            // 2 (SeverityNumber)
    Text severity_text;                     // 3
    AnyValue body;                          // 5 (unset when absent)
    Attributes attributes;                  // 6
    uint32_t dropped_attributes_count = 0;  // 7
    uint32_t flags = 0;                     // 8 fixed32
    Bytes trace_id;                         // 9
    Bytes span_id;                          // 10
    Text event_name;                        // 12
};

// opentelemetry.proto.logs.v1.ScopeLogs.
struct ScopeLogs {
    Scope scope;                        // 1
    std::vector<LogRecord> log_records;  // 2
    Text schema_url;                     // 3
};

// opentelemetry.proto.logs.v1.ResourceLogs.
struct ResourceLogs {
    Resource resource;                  // 1
    std::vector<ScopeLogs> scope_logs;  // 2
    Text schema_url;                    // 3
};

// Storage of the texts that were repaired (see the contract); views of a request point here.
using Repaired = std::vector<std::unique_ptr<std::string>>;

// opentelemetry.proto.collector.trace.v1.ExportTraceServiceRequest.
struct TracesRequest {
    std::vector<ResourceSpans> resource_spans;  // 1
    size_t span_count = 0;                      // spans in all of them
    Repaired repaired;
};

// opentelemetry.proto.collector.logs.v1.ExportLogsServiceRequest.
struct LogsRequest {
    std::vector<ResourceLogs> resource_logs;  // 1
    size_t record_count = 0;                  // log records in all of them
    Repaired repaired;
};

// The request in `body`; DecodeError when the bytes are not one, LimitError when it holds more
// than `limits` allow (see the contract).
TracesRequest read_traces(std::string_view body, const Limits &limits = {});
LogsRequest read_logs(std::string_view body, const Limits &limits = {});

}  // namespace orvane::ingest::otlp
