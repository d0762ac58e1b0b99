// The trace export request on the wire, free of Python: binary protobuf and the protocol's JSON
// mapping of ExportTraceServiceRequest, gzip, and the few answers the exporter reads.
//
// One request holds one ResourceSpans per (service name, environment) pair, in the order the
// pairs first occur among the spans, each with one ScopeSpans naming this exporter.
//
// JSON follows the protocol's deviations from the proto3 JSON mapping: trace and span ids as
// lower-case hex, enumerations as integers, field names in lowerCamelCase; 64-bit integers
// (times, int attribute values) are decimal strings as proto3 JSON requires. Fields at their
// default value are left out in both encodings, except oneof members of AnyValue, which are
// always written (an empty string value is still a value).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model.hpp"

namespace orvane::otlp {

enum class Protocol : uint8_t { protobuf, json };

// Appends the binary protobuf encoding of the request to `out`.
void encode_protobuf(const std::vector<const Span *> &spans, const Scope &scope, std::string &out);

// Appends the JSON encoding of the request to `out`.
void encode_json(const std::vector<const Span *> &spans, const Scope &scope, std::string &out);

// The same request in two steps, for senders that encode spans one by one and may send any
// subset of them: a piece is one span as it stands inside ScopeSpans (protobuf: the whole
// `spans` field, tag and length included; JSON: the span object), and `frame` wraps pieces
// into a request, grouping them by the resource of the span each came from.
void append_span_piece(const Span &span, Protocol protocol, std::string &out);

struct Piece {
    const Span *span;       // names the resource
    std::string_view bytes;  // from append_span_piece
};
void frame_request(const std::vector<Piece> &pieces, Protocol protocol, const Scope &scope, std::string &out);

// The gzip member (RFC 1952) of `data` at zlib `level` (0-9). Throws std::runtime_error when
// zlib fails (it only does on memory exhaustion).
std::string gzip(std::string_view data, int level);

// The inverse, for tests and for answers sent gzip-encoded; nullopt for data that is not one
// well-formed gzip member or that inflates beyond `limit` bytes.
std::optional<std::string> gunzip(std::string_view data, size_t limit);

// The partial-success part of an ExportTraceServiceResponse.
struct PartialSuccess {
    bool present = false;
    int64_t rejected_spans = 0;
    std::string error_message;
};

// Decodes a binary ExportTraceServiceResponse; nullopt when the bytes are not one.
std::optional<PartialSuccess> decode_response(std::string_view body);

// The `message` of a binary google.rpc.Status (the body of a failure answer), or empty.
std::string decode_status_message(std::string_view body);

// Lower-case hex of a byte string.
std::string hex(const uint8_t *data, size_t n);

// Appends `text` as a JSON string literal (quotes included). `text` must be valid UTF-8.
void append_json_string(std::string &out, std::string_view text);

}  // namespace orvane::otlp
