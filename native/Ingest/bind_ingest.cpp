// Binding of the Ingest module: the listener's native ingest code (see ingest.hpp).
#include <nanobind/nanobind.h>

#include "ingest.hpp"
#include "orvane/sanitize.hpp"
#include "orvane/support.hpp"

namespace nb = nanobind;

NB_MODULE(Ingest, m) {
    orvane::init_support(m);
    m.doc() = "Ingest: the listener's native ingest code (the reader of upload bodies).";
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
}
