// RuntimeTraceDesk: the facade the host talks to.
//
// The class is a plain Python class (no base) made at module init from a namespace of C++
// functions; its state lives in the instance __dict__ under the attribute names the host and the
// tests use (`settings`, `_run_store`, `_backends`, ...), so Python code can read and replace
// them, and the C++ methods read them back on every call.
//
// The namespace is filled by two halves:
//   intake.cpp  -- configuration, reload/reset, event intake, subscriptions, channel buffer, flows;
//   queries.cpp -- run resolution (stale/orphan), run queries and trees, event queries and search.
#pragma once

#include <nanobind/nanobind.h>

namespace orvane::desk {

namespace nb = nanobind;

constexpr const char *kModule = "orvane_devtools.observation.TraceDesk";

// Adds the module-level functions and the intake-side methods of RuntimeTraceDesk.
void add_intake(nb::module_ &m, nb::dict &ns);

// Adds the query-side methods of RuntimeTraceDesk.
void add_queries(nb::module_ &m, nb::dict &ns);

}  // namespace orvane::desk
