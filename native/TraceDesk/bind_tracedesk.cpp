// Binding of the TraceDesk module: exposes the outside names it calls and builds RuntimeTraceDesk.
#include <nanobind/nanobind.h>

#include "desk.hpp"
#include "orvane/support.hpp"

namespace nb = nanobind;

namespace {

// Exposes `attr` of `module_name` when it can be imported now; a module that is not available
// yet leaves the name to the module's __getattr__, which imports it on first use.
void try_expose(nb::module_ &m, const char *as, const char *module_name, const char *attr) {
    try {
        orvane::outside::expose(m, as, module_name, attr);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ImportError) && !e.matches(PyExc_AttributeError))
            throw;
    }
}

// Module-level __getattr__: imports the lazily exposed names on first use and keeps them.
nb::object lazy_getattr(nb::module_ m, nb::str name) {
    struct Lazy {
        const char *as, *module, *attr;
    };
    static const Lazy lazy[] = {
        {"RunRecord", "orvane_devtools.observation.Tallybook", "RunRecord"},
        {"RunStatus", "orvane_devtools.observation.Tallybook", "RunStatus"},
        {"JSONLTraceSink", "orvane_devtools.observation.backends", "JSONLTraceSink"},
        {"OtlpTraceSink", "orvane_devtools.observation.backends", "OtlpTraceSink"},
    };
    for (const Lazy &l : lazy) {
        if (PyUnicode_CompareWithASCIIString(name.ptr(), l.as) == 0) {
            orvane::outside::expose(m, l.as, l.module, l.attr);
            return m.attr(l.as);
        }
    }
    PyErr_Format(PyExc_AttributeError, "module '%s' has no attribute '%U'",
                 orvane::desk::kModule, name.ptr());
    throw nb::python_error();
}

}  // namespace

NB_MODULE(TraceDesk, m) {
    orvane::init_support(m);
    m.doc() = "The observation facade: RuntimeTraceDesk and _coerce_int_setting.";

    orvane::outside::expose(m, "time", "time");
    orvane::outside::expose(m, "asyncio", "asyncio");
    orvane::outside::expose(m, "warnings", "warnings");
    orvane::outside::expose(m, "create_observation_store",
                            "orvane_devtools.observation.StoreBackend", "create_observation_store");
    orvane::outside::expose(m, "RuntimeObservationSubscriptions",
                            "orvane_devtools.observation.subscriptions",
                            "RuntimeObservationSubscriptions");
    orvane::outside::expose(m, "RuntimeFlowRegistry", "orvane_devtools.observation.flow_registry",
                            "RuntimeFlowRegistry");
    orvane::outside::expose(m, "RuntimeLogService", "orvane_devtools.logs", "RuntimeLogService");
    try_expose(m, "JSONLTraceSink", "orvane_devtools.observation.backends", "JSONLTraceSink");
    try_expose(m, "RunRecord", "orvane_devtools.observation.Tallybook", "RunRecord");
    try_expose(m, "RunStatus", "orvane_devtools.observation.Tallybook", "RunStatus");

    nb::dict ns;
    ns["__doc__"] = "The observation facade: event intake, subscriptions, flows and queries.";
    orvane::desk::add_intake(m, ns);
    orvane::desk::add_queries(m, ns);
    ns["__module__"] = orvane::desk::kModule;
    ns["__qualname__"] = "RuntimeTraceDesk";
    m.attr("RuntimeTraceDesk") = nb::handle(reinterpret_cast<PyObject *>(&PyType_Type))(
        "RuntimeTraceDesk", nb::make_tuple(), ns);
    // Last: nanobind looks names up while defining functions.
    m.def(
        "__getattr__", [m](nb::str name) { return lazy_getattr(m, name); }, nb::arg("name"));
}
