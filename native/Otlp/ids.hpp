// Trace and span ids derived from run ids, identical in every process.
//
// A run tree exported from several processes (an agent in one, its tools in another) must land
// in one trace with intact parent links, so ids are not random: each is the leading bytes of a
// SHA-256 digest of a fixed prefix and the run id's UTF-8 bytes.
//
//   trace id (16 bytes) = SHA-256("orvane-trace" NUL root run id)[0:16]
//   span id  (8 bytes)  = SHA-256("orvane-span"  NUL run id)[0:8]
//   parent span id      = the span id of parent_run_id
//
// Spans that are parts of a run (a tool action inside it, a continuation after its end) use
// the run id followed by NUL, a part name, NUL and the part's key. An all-zero id is invalid in
// the protocol; the last byte of such a digest (chance 2^-64 or less) is set to 1.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace orvane::otlp {

using TraceId = std::array<uint8_t, 16>;
using SpanId = std::array<uint8_t, 8>;
using Digest = std::array<uint8_t, 32>;

Digest sha256(std::string_view data);

TraceId trace_id_for(std::string_view root_run_id);
SpanId span_id_for(std::string_view run_id);
// The span id of a part of a run: (run id, part, key) as described above.
SpanId part_span_id_for(std::string_view run_id, std::string_view part, std::string_view key);

}  // namespace orvane::otlp
