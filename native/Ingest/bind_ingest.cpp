// Binding of the Ingest module: the listener's native ingest code (see ingest.hpp).
#include <nanobind/nanobind.h>

#include "ingest.hpp"
#include "orvane/sanitize.hpp"
#include "orvane/support.hpp"

namespace nb = nanobind;

NB_MODULE(Ingest, m) {
    orvane::init_support(m);
    m.doc() = "Ingest: the listener's native ingest code (the readers of upload bodies and OTLP bodies).";
    // Outside names, read at call time (a host or a test may replace them).
    orvane::outside::expose(m, "DataFormatter", "orvane.utils", "DataFormatter");
    orvane::sanitize::init();  // after DataFormatter is exposed: the native masking of event values

    m.def("_read_upload_body", &orvane::ingest::read_upload_body, nb::arg("body").none(), nb::arg("layout").none(),
          "(parsed body, [event or None per item], number of None) for an upload body (bytes): the\n"
          "events built without validation where that gives exactly what validation and masking\n"
          "give (None: that item needs them; its parsed item is untouched), or None when the\n"
          "whole body does.\n"
          "`layout`: (event class, event fields, run class, run fields), each field a\n"
          "(name, kind, default) triple as the listener's ingest module derives it.");
    m.def("_decode_otlp_traces", &orvane::ingest::decode_otlp_traces, nb::arg("body").none(),
          nb::arg("max_items").none() = nb::none(), nb::arg("max_parts").none() = nb::none(),
          "The spans of an OTLP ExportTraceServiceRequest (protobuf bytes), one plain dict each\n"
          "(ids as lower-case hex, AnyValues as Python values, attributes as dicts; the resource\n"
          "and scope dicts shared by the spans they hold). ValueError naming where a body is not\n"
          "such a request. At most `max_items` spans, span events and span links (each\n"
          "counted on its own) and `max_parts` attributes and other parts (None: no bound);\n"
          "over one, reading stops with listener.otlp.body.TooManyItems.");
    m.def("_decode_otlp_logs", &orvane::ingest::decode_otlp_logs, nb::arg("body").none(),
          nb::arg("max_items").none() = nb::none(), nb::arg("max_parts").none() = nb::none(),
          "The log records of an OTLP ExportLogsServiceRequest (protobuf bytes), one plain dict\n"
          "each, as _decode_otlp_traces builds spans. ValueError naming where a body is not such\n"
          "a request. At most `max_items` log records and `max_parts` parts (None: no bound).");
}
