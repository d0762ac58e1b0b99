// _SpanBuilder (events in, request bodies out) and the id helpers, as Python sees them.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <cmath>

#include "bind.hpp"
#include "builder.hpp"
#include "options.hpp"
#include "orvane/args.hpp"

namespace orvane::otlp {

namespace {

nb::str hex_str(const uint8_t *data, size_t n) {
    std::string h = hex(data, n);
    return nb::str(h.c_str(), h.size());
}

nb::object body_bytes(const std::string &body) {
    return nb::steal(PyBytes_FromStringAndSize(body.data(), static_cast<Py_ssize_t>(body.size())));
}

}  // namespace

void init_ids(nb::module_ &m) {
    m.def(
        "trace_id_for",
        [](nb::handle root_run_id) {
            orvane::args::require_str(root_run_id, "root_run_id");
            TraceId id = trace_id_for(utf8_of(root_run_id));
            return hex_str(id.data(), id.size());
        },
        nb::arg("root_run_id").none(),
        "The trace id (32 hex digits) of the runs under the root run `root_run_id`:\n"
        "the first 16 bytes of SHA-256 of b\"orvane-trace\\0\" + the id's UTF-8 bytes.");
    m.def(
        "span_id_for",
        [](nb::handle run_id) {
            orvane::args::require_str(run_id, "run_id");
            SpanId id = span_id_for(utf8_of(run_id));
            return hex_str(id.data(), id.size());
        },
        nb::arg("run_id").none(),
        "The span id (16 hex digits) of the run `run_id`:\n"
        "the first 8 bytes of SHA-256 of b\"orvane-span\\0\" + the id's UTF-8 bytes.");
}

void init_builder(nb::module_ &m) {
    nb::class_<SpanBuilder>(m, "_SpanBuilder",
                            "Runs into spans: events in, finished spans out as request bodies.")
        .def(
            "__init__",
            [](SpanBuilder *self, nb::handle service_name, nb::handle environment,
               nb::handle group_id, nb::handle stream_deltas, nb::handle max_events_per_span,
               nb::handle max_open_runs, nb::handle max_attribute_length,
               nb::handle stale_after_seconds, nb::handle orphan_after_seconds,
               nb::handle buffer_limit, nb::handle dedup_window) {
                TrackerOptions o = tracker_options(service_name, environment, group_id, stream_deltas,
                                                   max_events_per_span, max_open_runs,
                                                   max_attribute_length, stale_after_seconds,
                                                   orphan_after_seconds);
                o.dedup_window = count_arg(dedup_window, "dedup_window");
                size_t limit = count_arg(buffer_limit, "buffer_limit");
                new (self) SpanBuilder(std::move(o), limit);
            },
            nb::kw_only(), nb::arg("service_name").none() = nb::none(),
            nb::arg("environment").none() = nb::none(), nb::arg("group_id").none() = nb::none(),
            nb::arg("stream_deltas").none() = false, nb::arg("max_events_per_span").none() = 128,
            nb::arg("max_open_runs").none() = 10000, nb::arg("max_attribute_length").none() = 32768,
            nb::arg("stale_after_seconds").none() = 900, nb::arg("orphan_after_seconds").none() = 30,
            nb::arg("buffer_limit").none() = 2048, nb::arg("dedup_window").none() = 4096)
        .def(
            "add",
            [](SpanBuilder &b, nb::handle events) {
                nb::object list = nb::steal(PySequence_List(events.ptr()));
                if (!list.is_valid()) {
                    PyErr_Clear();
                    orvane::args::raise_incorrect_type("events", "list", events);
                }
                int64_t skipped = 0;
                for (nb::handle e : nb::list(list))
                    skipped += b.add(e) ? 0 : 1;
                return skipped;
            },
            nb::arg("events").none(), "Fold the events in; returns how many could not be read.")
        .def("judge", [](SpanBuilder &b, int64_t now_ms) { b.judge(now_ms); }, nb::arg("now_ms"),
             "Finish the open runs that are stale or orphaned at `now_ms`.")
        .def("finish_all", [](SpanBuilder &b, int64_t now_ms) { b.finish_all(now_ms); },
             nb::arg("now_ms"), "Finish every open run as incomplete at `now_ms`.")
        .def_prop_ro("ready_count", [](SpanBuilder &b) { return b.ready(); })
        .def_prop_ro("open_count", [](SpanBuilder &b) { return b.open_runs(); })
        .def(
            "take_request",
            [](SpanBuilder &b, size_t max_spans, nb::handle protocol, bool compress) -> nb::object {
                Protocol p = protocol_arg(protocol);
                std::vector<Span> spans = b.take(max_spans);
                if (spans.empty())
                    return nb::none();
                std::string body;
                {
                    nb::gil_scoped_release unlocked;
                    body = encode_request(spans, p, compress ? kGzipLevel : -1, exporter_scope());
                }
                return body_bytes(body);
            },
            nb::arg("max_spans") = 512, nb::arg("protocol").none() = "http/protobuf",
            nb::arg("gzip") = false,
            "Remove up to `max_spans` finished spans and return them as one request body, or None.")
        .def("counts", [](SpanBuilder &b) { return counts_dict(b); },
             "Counters of the events folded in and the spans made.");
}

}  // namespace orvane::otlp
