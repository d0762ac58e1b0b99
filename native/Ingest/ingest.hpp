// The Ingest module (orvane_devtools.listener.Ingest): the listener's native ingest code.
//
// What it holds, and who calls it:
//   _read_upload_body  body_read.cpp  the listener's decoding of an upload body
//                      (orvane_devtools/listener/ingest.py, its native road): the events of a body
//                      as the upload sink sends it, built without validation and masked by the
//                      shared native sanitizer wherever that gives exactly what the Python roads
//                      give; every other event, or the whole body, is left to those roads.
//   _decode_otlp_traces, _decode_otlp_logs  otlp_objects.cpp (on otlp_read.hpp)
//                      the listener's decoding of OTLP/HTTP protobuf bodies (its /v1/traces and
//                      /v1/logs routes): every span or log record of the request as a plain dict,
//                      in the shape the listener's JSON road (listener/otlp/json_body.py) gives.
//
// GIL and threads: runs with the GIL held on the thread that calls it (the listener's event
// loop), one body per call -- except that the OTLP readers read a body of 64 KiB or more into
// C++ structures without the GIL (otlp_read.hpp touches no Python object) before building the
// dicts with it. Keeps no state between calls but static Python objects kept for the process
// (interned names, dict templates, the sanitizer's original function and verdicts). What it
// builds is new objects only this call holds until it returns them; the caller's body and
// layout are only read.
//
// Outside names (read at call time from this module's globals, so a host or a test may replace
// them): DataFormatter, whose sanitize must be the original one for the native road to run.
#pragma once

#include <nanobind/nanobind.h>

namespace orvane::ingest {

namespace nb = nanobind;

// (parsed body, [event or None per item], number of None) for an upload body as bytes, the events
// built without validation where that gives exactly what the listener's Python road gives (None:
// that item takes the Python road, its parsed item untouched); None when the whole body takes it.
// `layout` is (event class, event fields, run class, run fields) as the listener derives it
// (ingest._native_layout); TypeError for any other layout.
nb::object read_upload_body(nb::handle body, nb::handle layout);

// The spans of an ExportTraceServiceRequest in `body` (bytes), one dict each, in request order:
//   {"trace_id": str, "span_id": str, "parent_span_id": str, "trace_state": str, "flags": int,
//    "name": str, "kind": int, "start_time_unix_nano": int, "end_time_unix_nano": int,
//    "attributes": dict, "dropped_attributes_count": int,
//    "events": [{"time_unix_nano", "name", "attributes", "dropped_attributes_count"}],
//    "dropped_events_count": int,
//    "links": [{"trace_id", "span_id", "trace_state", "attributes", "flags"}],
//    "dropped_links_count": int, "status": {"code": int, "message": str},
//    "resource": dict, "resource_schema_url": str, "scope": {"name", "version", "attributes"}}
// Ids are the lower-case hex of their bytes as sent ("" when empty or absent); absent fields take
// their zero value. `resource` (the resource's attributes) and `scope` are the same dict objects
// for every span of one ResourceSpans / ScopeSpans: read-only by contract.
// Attribute lists and key-value lists are dicts (a later key's value wins); AnyValue as Python:
// string str, bool bool, int int, double float, array list, kvlist dict, bytes the base64 text
// (standard alphabet, padded), none set None. Texts that were not valid UTF-8 hold U+FFFD
// replacements (otlp_read.hpp). ValueError with the reader's message for a body that is not such
// a request; TypeError when `body` is not bytes.
// `max_items` and `max_parts` (None: no bound; ints of at least 0) bound the request as
// otlp::Limits says; over one, reading stops and orvane_devtools.listener.otlp.body.TooManyItems
// (what, limit) is raised, `what` one of "spans", "span events", "span links", "log records",
// "parts".
nb::list decode_otlp_traces(nb::handle body, nb::handle max_items, nb::handle max_parts);

// The log records of an ExportLogsServiceRequest, one dict each, as decode_otlp_traces builds
// spans:
//   {"time_unix_nano": int, "observed_time_unix_nano": int, "severity_number": int,
//    "severity_text": str, "body": AnyValue as Python (None when absent), "attributes": dict,
//    "dropped_attributes_count": int, "flags": int, "trace_id": str, "span_id": str,
//    "event_name": str, "resource": dict, "scope": dict}
nb::list decode_otlp_logs(nb::handle body, nb::handle max_items, nb::handle max_parts);

}  // namespace orvane::ingest
