// The areas of the Otlp module's binding, one init function each.
#pragma once

#include <nanobind/nanobind.h>

namespace orvane::otlp {

namespace nb = nanobind;

void init_ids(nb::module_ &m);      // trace_id_for, span_id_for (bind_builder.cpp)
void init_builder(nb::module_ &m);  // _SpanBuilder (bind_builder.cpp)
void init_sink(nb::module_ &m);     // OtlpTraceSink, OtlpExportWarning (bind_sink.cpp)

}  // namespace orvane::otlp
