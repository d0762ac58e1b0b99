// Binding of the Otlp module: OtlpTraceSink, the OpenTelemetry (OTLP/HTTP) trace exporter, and
// the pieces it is made of.
#include <nanobind/nanobind.h>

#include "bind.hpp"
#include "orvane/export_queue.hpp"
#if __has_include("orvane/sanitize.hpp")
#include "orvane/sanitize.hpp"
#endif
#include "orvane/support.hpp"
#include "sink.hpp"

namespace nb = nanobind;

NB_MODULE(Otlp, m) {
    orvane::init_support(m);
    // Sinks whose worker started live until the process ends (their daemon thread holds them).
    nb::set_leak_warnings(false);
    m.doc() = "OpenTelemetry trace export: OtlpTraceSink sends runs as spans over OTLP/HTTP.";

    using orvane::outside::expose;
    expose(m, "time", "time");
    expose(m, "json", "json");
    expose(m, "asyncio", "asyncio");
    expose(m, "threading", "threading");
    expose(m, "warnings", "warnings");
    expose(m, "logging", "logging");
    expose(m, "LazyImport", "orvane.utils", "LazyImport");
    expose(m, "DataFormatter", "orvane.utils", "DataFormatter");
    expose(m, "RuntimeTraceSink", "orvane_devtools.observation.TraceSink", "RuntimeTraceSink");
#if __has_include("orvane/sanitize.hpp")
    orvane::sanitize::init();  // after DataFormatter is exposed: the native masking of payloads
#endif
    try {
        expose(m, "httpx", "httpx");
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ImportError))
            throw;
        m.attr("httpx") = nb::none();  // LazyImport reports the missing package at first use
    }

    // atexit runs its hooks last registered first: spans of open runs are made before the
    // shared exit flush sends, and what it left unsent is counted after it.
    nb::object atexit = nb::module_::import_("atexit");
    m.def("_after_exit_flush", &orvane::otlp::after_exit_flush, "Exit hook: counts the spans left unsent.");
    atexit.attr("register")(m.attr("_after_exit_flush"));
    orvane::exporting::init(m, "_live_sinks");
    m.def("_before_exit_flush", &orvane::otlp::before_exit_flush,
          "Exit hook: every live sink folds its queue and ends its open runs as incomplete.");
    atexit.attr("register")(m.attr("_before_exit_flush"));

    orvane::otlp::init_ids(m);
    orvane::otlp::init_builder(m);
    orvane::otlp::init_sink(m);
}
