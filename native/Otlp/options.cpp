#include "options.hpp"

#include <nanobind/stl/string.h>

#include <cmath>
#include <string>

#include "orvane/args.hpp"
#include "orvane/pyutil.hpp"

namespace orvane::otlp {

size_t count_arg(nb::handle value, const char *name) {
    if (!PyLong_Check(value.ptr()) || PyBool_Check(value.ptr()))
        orvane::args::raise_incorrect_type(name, "int", value);
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred())
        throw nb::python_error();
    if (overflow < 0 || v < 0)
        throw nb::value_error((std::string(name) + " must be 0 or more").c_str());
    if (overflow > 0)
        return SIZE_MAX;
    return static_cast<size_t>(v);
}

int64_t seconds_to_ms_arg(nb::handle value, const char *name) {
    double seconds;
    if (PyLong_Check(value.ptr()) && !PyBool_Check(value.ptr())) {
        seconds = PyLong_AsDouble(value.ptr());
        if (seconds == -1.0 && PyErr_Occurred())
            throw nb::python_error();
    } else if (PyFloat_Check(value.ptr())) {
        seconds = PyFloat_AS_DOUBLE(value.ptr());
    } else {
        orvane::args::raise_incorrect_type(name, "float", value);
    }
    if (std::isnan(seconds))
        throw nb::value_error((std::string(name) + " must be a number of seconds, not NaN").c_str());
    if (!(seconds > 0))
        return 0;
    double ms = seconds * 1000.0;
    return ms >= 9.2e18 ? INT64_MAX : static_cast<int64_t>(ms);
}

Protocol protocol_arg(nb::handle value) {
    orvane::args::require_str(value, "protocol");
    std::string p = nb::cast<std::string>(value);
    if (p == "http/protobuf")
        return Protocol::protobuf;
    if (p == "http/json")
        return Protocol::json;
    throw nb::value_error(("protocol must be 'http/protobuf' or 'http/json', not '" + p + "'").c_str());
}

const char *protocol_name(Protocol p) { return p == Protocol::json ? "http/json" : "http/protobuf"; }

TrackerOptions tracker_options(nb::handle service_name, nb::handle environment, nb::handle group_id,
                               nb::handle stream_deltas, nb::handle max_events_per_span,
                               nb::handle max_open_runs, nb::handle max_attribute_length,
                               nb::handle stale_after_seconds, nb::handle orphan_after_seconds) {
    orvane::args::require_str(service_name, "service_name", true);
    orvane::args::require_str(environment, "environment", true);
    orvane::args::require_str(group_id, "group_id", true);
    TrackerOptions o;
    if (!service_name.is_none() && PyUnicode_GET_LENGTH(service_name.ptr()) > 0)
        o.service_name = utf8_of(service_name);
    if (!environment.is_none())
        o.environment = utf8_of(environment);
    if (!group_id.is_none())
        o.group_id = utf8_of(group_id);
    o.export_stream_deltas = orvane::py::truthy(stream_deltas);
    o.max_events_per_span = count_arg(max_events_per_span, "max_events_per_span");
    o.max_open_runs = count_arg(max_open_runs, "max_open_runs");
    o.max_attribute_length = count_arg(max_attribute_length, "max_attribute_length");
    o.stale_ms = seconds_to_ms_arg(stale_after_seconds, "stale_after_seconds");
    o.orphan_ms = seconds_to_ms_arg(orphan_after_seconds, "orphan_after_seconds");
    return o;
}

nb::dict counts_dict(const SpanBuilder &b) {
    const TrackerCounts &t = b.tracker_counts();
    const BuilderCounts &c = b.counts();
    nb::dict d;
    d["absorbed_event_count"] = c.events_absorbed;
    d["unreadable_event_count"] = c.events_unreadable;
    d["unserializable_payload_count"] = c.payloads_unserializable;
    d["unattached_event_count"] = t.unattached_events;
    d["open_run_count"] = b.open_runs();
    d["ready_span_count"] = b.ready();
    d["started_run_count"] = t.runs_started;
    d["finished_span_count"] = t.spans_finished;
    d["stale_run_count"] = t.stale_runs;
    d["orphaned_run_count"] = t.orphaned_runs;
    d["incomplete_run_count"] = t.incomplete_runs;
    d["evicted_run_count"] = t.evicted_runs;
    d["continued_run_count"] = t.continued_runs;
    d["duplicate_event_count"] = t.duplicate_events;
    d["dropped_span_event_count"] = t.dropped_span_events;
    d["truncated_attribute_count"] = t.truncated_attributes;
    d["dropped_span_count"] = c.spans_dropped;
    return d;
}

}  // namespace orvane::otlp
