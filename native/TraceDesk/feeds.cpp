// Subscriptions, the channel buffer and flow definitions: argument checks in front of one call to
// the collaborator that owns each.
#include "feeds.hpp"

#include <vector>

#include "keywords.hpp"
#include "names.hpp"
#include "orvane/args.hpp"
#include "orvane/models.hpp"
#include "shared_helpers.hpp"

namespace orvane::desk {

using namespace names;

namespace {

void require_optional_str(PyObject *value, const char *name) {
    orvane::args::require_str(value, name, /*none_ok=*/true);
}

nb::object checked_flow_result(nb::object result, const char *what) {
    if (result.is_none() || is_mapping(result))
        return result;
    PyErr_Format(PyExc_TypeError,
                 "RuntimeFlowRegistry.%s() returned an incorrect type (expected Mapping or None, "
                 "got %.200s)",
                 what, Py_TYPE(result.ptr())->tp_name);
    throw nb::python_error();
}

}  // namespace

// ---------------------------------------------------------------- subscriptions

nb::object subscribe(nb::handle self, nb::args args, nb::kwargs kwargs) {
    std::vector<PyObject *> v;
    parse_keyword_only("RuntimeTraceDesk.subscribe", args, kwargs,
                       {"filter", "event_types", "run_id", "include_descendants", "source",
                        "level", "app_id", "app_id_pattern", "group_id", "maxsize"},
                       0, v);
    bool descendants_given = v[3] != nullptr;
    bool maxsize_given = v[9] != nullptr;
    for (auto &p : v)
        if (p == nullptr)
            p = Py_None;
    require_optional_str(v[2], "run_id");
    require_optional_str(v[4], "source");
    require_optional_str(v[5], "level");
    require_optional_str(v[6], "app_id");
    require_optional_str(v[7], "app_id_pattern");
    require_optional_str(v[8], "group_id");
    PyObject *descendants = Py_True;
    if (descendants_given)
        descendants = truthy(v[3]) ? Py_True : Py_False;
    nb::object maxsize = maxsize_given ? orvane::args::to_pyint(v[9], "maxsize")
                                       : checked(PyLong_FromLong(100));
    nb::object method = attr(attr(self, a_subscriptions), m_subscribe);
    return call_kw(method, {{&k_filter, v[0]},
                            {&k_event_types, v[1]},
                            {&k_run_id, v[2]},
                            {&k_include_descendants, descendants},
                            {&k_source, v[4]},
                            {&k_level, v[5]},
                            {&k_app_id, v[6]},
                            {&k_app_id_pattern, v[7]},
                            {&k_group_id, v[8]},
                            {&k_maxsize, maxsize}});
}

void unsubscribe(nb::handle self, nb::handle subscription_or_id) {
    call1(attr(self, a_subscriptions), m_unsubscribe, subscription_or_id);
}

// ---------------------------------------------------------------- channel buffer

nb::list read_channel_buffer(nb::handle self) {
    nb::object buffer = attr(self, a_channel);
    nb::list out;
    nb::object it = checked(PyObject_GetIter(buffer.ptr()));
    while (PyObject *item = PyIter_Next(it.ptr())) {
        nb::object held = nb::steal(item);
        out.append(orvane::models::deep_copy(held));
    }
    if (PyErr_Occurred())
        throw nb::python_error();
    return out;
}

nb::list drain_channel_buffer(nb::handle self) {
    // Copies first: if one fails, the buffer is left as it is.
    nb::list buffered = read_channel_buffer(self);
    call0(attr(self, a_channel), m_clear);
    return buffered;
}

// ---------------------------------------------------------------- flows

nb::object register_flow_definition(nb::handle self, nb::args args, nb::kwargs kwargs) {
    std::vector<PyObject *> v;
    parse_keyword_only("RuntimeTraceDesk.register_flow_definition", args, kwargs,
                       {"app_id", "group_id", "flow_name", "definition", "mermaid"}, 4, v);
    if (v[4] == nullptr)
        v[4] = Py_None;
    require_optional_str(v[0], "app_id");
    require_optional_str(v[1], "group_id");
    orvane::args::require_str(v[2], "flow_name");
    if (!is_mapping(v[3]))
        orvane::args::raise_incorrect_type("definition", "Mapping", v[3]);
    if (v[4] != Py_None && !is_mapping(v[4]))
        orvane::args::raise_incorrect_type("mermaid", "Mapping", v[4]);
    nb::object method = attr(attr(self, a_flow_registry), m_register);
    nb::object result = call_kw(method, {{&k_app_id, v[0]},
                                         {&k_group_id, v[1]},
                                         {&k_flow_name, v[2]},
                                         {&k_definition, v[3]},
                                         {&k_mermaid, v[4]}});
    return checked_flow_result(std::move(result), "register");
}

nb::object resolve_flow_definition(nb::handle self, nb::args args, nb::kwargs kwargs) {
    std::vector<PyObject *> v;
    parse_keyword_only("RuntimeTraceDesk.resolve_flow_definition", args, kwargs,
                       {"app_id", "group_id", "flow_name"}, 3, v);
    require_optional_str(v[0], "app_id");
    require_optional_str(v[1], "group_id");
    orvane::args::require_str(v[2], "flow_name");
    nb::object method = attr(attr(self, a_flow_registry), m_resolve);
    nb::object result =
        call_kw(method, {{&k_app_id, v[0]}, {&k_group_id, v[1]}, {&k_flow_name, v[2]}});
    return checked_flow_result(std::move(result), "resolve");
}

}  // namespace orvane::desk
