#include "lines.hpp"

#include <utility>

#include "orvane/eventjson.hpp"
#include "orvane/exit_gate.hpp"
#include "orvane/json.hpp"
#include "orvane/outside.hpp"
#include "orvane/pyutil.hpp"

namespace orvane::linefile {

namespace {

using orvane::outside::Name;
using orvane::py::Kw;

Name o_json{"json"};
Name o_data_formatter{"DataFormatter"};
Name m_dumps{"dumps"};
Name m_sanitize{"sanitize"};
Name m_model_dump{"model_dump"};
Name k_ensure_ascii{"ensure_ascii"};
Name k_mode{"mode"};

// Containers this deep or deeper in an event are written from its dump.
constexpr long long kStrictDepth = 64;

// event.model_dump(mode="json")
nb::object dump_json_mode(nb::handle event) {
    static PyObject *json_text = PyUnicode_InternFromString("json");  // kept for the process
    return orvane::py::call_method_kw(event, m_model_dump, {}, {Kw{&k_mode, json_text}});
}

// The bytes of a line written by `write` into a string.
template <typename Write> nb::bytes line_of(Write &&write) {
    std::string out;
    write(out);
    out.push_back('\n');
    return nb::bytes(out.data(), out.size());
}

nb::object python_sanitize(nb::handle value) {
    return orvane::py::call1(orvane::outside::get(o_data_formatter), m_sanitize, value);
}

// Runs `write` with a writer of the lines' style on `out` (json::write_or_refuse).
template <typename Write> bool written(std::string &out, Write &&write) {
    return json::write_or_refuse(out, json::kLinesStyle, std::forward<Write>(write));
}

}  // namespace

void append_json(nb::handle value, std::string &out) {
    if (written(out, [&](json::Writer &w) { w.value(value.ptr()); }))
        return;
    nb::object dumps = orvane::py::attr(orvane::outside::get(o_json), m_dumps);
    nb::object text = orvane::py::call_kw(dumps, {value}, {Kw{&k_ensure_ascii, Py_False}});
    if (!PyUnicode_Check(text.ptr())) {
        PyErr_SetString(PyExc_TypeError, "json.dumps() did not return a str");
        throw nb::python_error();
    }
    json::append_utf8(out, text.ptr(), json::Surrogates::Escape);
}

std::optional<sanitize::Rules> native_rules() {
    if (!sanitize::is_original())
        return std::nullopt;
    return sanitize::Rules::current();
}

void append_event_json(nb::handle event, const sanitize::Rules *rules, std::string &out) {
    // Events of the common shape: from the model's fields, without building the dump.
    if (rules != nullptr && written(out, [&](json::Writer &w) {
            sanitize::Walk walk(w, *rules, true, kStrictDepth);
            eventjson::write_event(walk, event.ptr());
        }))
        return;
    // Others: the dump, sanitised while written (nesting past the native walk's limit: the
    // Python route).
    nb::object dumped = dump_json_mode(event);
    if (rules != nullptr && written(out, [&](json::Writer &w) { sanitize::write_sanitized(w, dumped, *rules); }))
        return;
    append_json(python_sanitize(dumped), out);
}

nb::object serialize_event(nb::handle event) {
    nb::object dumped = dump_json_mode(event);
    if (std::optional<sanitize::Rules> rules = native_rules()) {
        try {
            return sanitize::sanitize_owned(dumped, *rules);  // the dump is ours alone
        } catch (json::Unsupported &) {
            dumped = dump_json_mode(event);  // (it may be partly sanitised by now)
        }
    }
    return python_sanitize(dumped);
}

void init_lines(nb::module_ &m) {
    m.def(
        "_encode_line",
        [](nb::handle value) {
            orvane::exit_gate::Section section;  // (see exit_gate.hpp)
            return line_of([&](std::string &out) { append_json(value, out); });
        },
        nb::arg("value").none(),
        "The bytes of one line: JSON text of ``value`` (as json.dumps with ensure_ascii=False "
        "writes it, lone surrogates escaped) in UTF-8, plus a line feed.");
    m.def(
        "_encode_event",
        [](nb::handle event) {
            orvane::exit_gate::Section section;
            std::optional<sanitize::Rules> rules = native_rules();
            return line_of([&](std::string &out) { append_event_json(event, rules ? &*rules : nullptr, out); });
        },
        nb::arg("event").none(),
        "The bytes of the line JSONLTraceSink writes for ``event``: the JSON text of "
        "``DataFormatter.sanitize(event.model_dump(mode='json'))`` in UTF-8, plus a line feed.");
    m.def(
        "_sanitize",
        [](nb::handle value) -> nb::object {
            orvane::exit_gate::Section section;
            if (std::optional<sanitize::Rules> rules = native_rules()) {
                try {
                    return sanitize::sanitize(value, *rules);
                } catch (json::Unsupported &) {
                }
            }
            return python_sanitize(value);
        },
        nb::arg("value").none(),
        "``DataFormatter.sanitize(value)``, by the native sanitizer while DataFormatter.sanitize "
        "is the original one (else by the host's sanitize).");
}

}  // namespace orvane::linefile
