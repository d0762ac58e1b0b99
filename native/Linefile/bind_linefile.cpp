// The Linefile module: JSONLTraceSink, the JSON Lines backend.
//
//   sink.hpp        the class: __init__, _serialize_event, _write_lines, append_events
//   lines.hpp       the lines: JSON text of events (sanitised on the way) and of plain values
//   completion.hpp  the hand-off of a batch to its file's writer thread, and its completion
//   linewriter.hpp  the writer threads: one per file, whole batches under the file's lock
#include <nanobind/nanobind.h>

#include "completion.hpp"
#include "lines.hpp"
#include "orvane/sanitize.hpp"
#include "orvane/support.hpp"
#include "sink.hpp"

namespace nb = nanobind;

NB_MODULE(Linefile, m) {
    orvane::init_support(m);
    m.doc() = "The JSON Lines backend: JSONLTraceSink appends one JSON line per event to a file.";

    // Outside names, read at call time (a host or a test may replace them).
    orvane::outside::expose(m, "asyncio", "asyncio");
    orvane::outside::expose(m, "json", "json");
    orvane::outside::expose(m, "Path", "pathlib", "Path");
    orvane::outside::expose(m, "DataFormatter", "orvane.utils", "DataFormatter");
    orvane::outside::expose(m, "RuntimeTraceSink", "orvane_devtools.observation.TraceSink",
                            "RuntimeTraceSink");
    orvane::sanitize::init();

    orvane::linefile::init_completion(m);  // _resolve_batch, _shutdown_writers, _forget_writers_after_fork
    orvane::linefile::init_lines(m);       // _encode_line, _encode_event, _sanitize
    orvane::linefile::init_sink(m);        // JSONLTraceSink

    m.attr("__all__") = nb::make_tuple("JSONLTraceSink");
}
