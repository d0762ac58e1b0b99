// Binding of the Otlp module: OtlpTraceSink, the OpenTelemetry (OTLP/HTTP) trace exporter, and
// the pieces it is made of.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include "bind.hpp"
#include "orvane/support.hpp"

namespace nb = nanobind;

NB_MODULE(Otlp, m) {
    orvane::init_support(m);
    m.doc() = "OpenTelemetry trace export: OtlpTraceSink sends runs as spans over OTLP/HTTP.";

    using orvane::outside::expose;
    expose(m, "time", "time");
    expose(m, "json", "json");
    expose(m, "DataFormatter", "orvane.utils", "DataFormatter");
    expose(m, "RuntimeTraceSink", "orvane_devtools.observation.TraceSink", "RuntimeTraceSink");

    orvane::otlp::init_ids(m);
    orvane::otlp::init_builder(m);
}
