// Argument parsing shared by the Otlp bindings: the span options, protocols, counters as dicts.
#pragma once

#include <nanobind/nanobind.h>

#include "builder.hpp"

namespace orvane::otlp {

namespace nb = nanobind;

// gzip level of request bodies: zlib's fastest. Span batches repeat their keys and names so
// much that it compresses them within about a tenth of level 6, at less than half the time.
constexpr int kGzipLevel = 1;

// A count argument: an int >= 0 (bool and float are refused); ValueError below 0.
size_t count_arg(nb::handle value, const char *name);

// Seconds (int or float, finite) as milliseconds; a negative value counts as 0 (rule off).
int64_t seconds_to_ms_arg(nb::handle value, const char *name);

// "http/protobuf" or "http/json"; anything else is a ValueError naming both.
Protocol protocol_arg(nb::handle value);
const char *protocol_name(Protocol p);

TrackerOptions tracker_options(nb::handle service_name, nb::handle environment, nb::handle group_id,
                               nb::handle stream_deltas, nb::handle max_events_per_span,
                               nb::handle max_open_runs, nb::handle max_attribute_length,
                               nb::handle stale_after_seconds, nb::handle orphan_after_seconds);

// The builder's and the tracker's counters under their statistics keys.
nb::dict counts_dict(const SpanBuilder &b);

}  // namespace orvane::otlp
