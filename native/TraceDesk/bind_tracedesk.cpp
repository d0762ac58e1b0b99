// Binding of the TraceDesk module: exposes the outside names it calls and builds RuntimeTraceDesk.
#include <nanobind/nanobind.h>

#include "desk.hpp"
#include "orvane/support.hpp"

namespace nb = nanobind;

NB_MODULE(TraceDesk, m) {
    orvane::init_support(m);
    m.doc() = "The observation facade: RuntimeTraceDesk and _coerce_int_setting.";

    nb::dict ns;
    ns["__doc__"] = "The observation facade: event intake, subscriptions, flows and queries.";
    orvane::desk::add_intake(m, ns);
    orvane::desk::add_queries(m, ns);
    ns["__module__"] = orvane::desk::kModule;
    ns["__qualname__"] = "RuntimeTraceDesk";
    m.attr("RuntimeTraceDesk") = nb::handle(reinterpret_cast<PyObject *>(&PyType_Type))(
        "RuntimeTraceDesk", nb::make_tuple(), ns);
}
