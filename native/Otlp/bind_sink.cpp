// OtlpTraceSink as Python sees it: an abc subclass of RuntimeTraceSink whose methods are C++
// functions forwarding to the shared export queue and to the span builder.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>

#include "bind.hpp"
#include "options.hpp"
#include "orvane/support.hpp"
#include "sink.hpp"

namespace orvane::otlp {

using orvane::coro::Task;
using orvane::outside::Name;

namespace {

constexpr const char *kModule = "orvane_devtools.observation.backends.Otlp";

Name a_export_state{"_export_state"}, a_otlp_state{"_otlp_state"};
Name o_asyncio{"asyncio"};
Name m_flush_sync{"_flush_sync"}, m_to_thread{"to_thread"};

std::string str_of(nb::handle s) { return utf8_of(s); }

bool is_token_char(unsigned char c) {
    return std::isalnum(c) || std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

void check_header(const std::string &name, const std::string &value) {
    if (name.empty() || !std::all_of(name.begin(), name.end(), [](char c) { return is_token_char(static_cast<unsigned char>(c)); }))
        throw nb::value_error(("headers: '" + name + "' is not a valid header name").c_str());
    if (value.find_first_of("\r\n", 0) != std::string::npos || value.find('\0') != std::string::npos)
        throw nb::value_error(("headers: the value of '" + name + "' holds a line break or NUL").c_str());
}

std::string trim(std::string_view s) {
    size_t b = s.find_first_not_of(" \t");
    if (b == std::string_view::npos)
        return {};
    size_t e = s.find_last_not_of(" \t");
    return std::string(s.substr(b, e - b + 1));
}

// Headers given as a mapping of str to str, or as text "name=value,name2=value2" (values
// percent-decoded, the form of OTEL_EXPORTER_OTLP_HEADERS).
std::vector<std::pair<std::string, std::string>> parse_headers(nb::handle headers) {
    std::vector<std::pair<std::string, std::string>> out;
    if (headers.is_none())
        return out;
    if (PyUnicode_Check(headers.ptr())) {
        std::string text = str_of(headers);
        size_t start = 0;
        while (start <= text.size()) {
            size_t comma = text.find(',', start);
            std::string_view part(text.data() + start, (comma == std::string::npos ? text.size() : comma) - start);
            start = comma == std::string::npos ? text.size() + 1 : comma + 1;
            if (trim(part).empty())
                continue;
            size_t eq = part.find('=');
            if (eq == std::string_view::npos)
                throw nb::value_error(("headers: '" + std::string(part) + "' is not name=value").c_str());
            std::string name = trim(part.substr(0, eq));
            std::string value = ex::percent_decode(trim(part.substr(eq + 1)));
            check_header(name, value);
            out.emplace_back(name, value);
        }
        return out;
    }
    PyObject *items_fn = nullptr;
    if (!PyDict_Check(headers.ptr())) {
        if (PyObject_GetOptionalAttrString(headers.ptr(), "items", &items_fn) < 0)
            throw nb::python_error();
        if (items_fn == nullptr)
            orvane::args::raise_incorrect_type("headers", "dict", headers);
        Py_DECREF(items_fn);
    }
    nb::object items = nb::steal(PyDict_Check(headers.ptr()) ? PyDict_Items(headers.ptr())
                                                              : PyObject_CallMethod(headers.ptr(), "items", nullptr));
    if (!items.is_valid())
        throw nb::python_error();
    nb::object list = nb::steal(PySequence_List(items.ptr()));
    if (!list.is_valid())
        throw nb::python_error();
    for (nb::handle kv : nb::list(list)) {
        nb::handle k = kv[0], v = kv[1];
        if (!PyUnicode_Check(k.ptr()) || !PyUnicode_Check(v.ptr()))
            orvane::args::raise_incorrect_type("headers", "dict[str, str]", headers);
        std::string name = str_of(k), value = str_of(v);
        check_header(name, value);
        out.emplace_back(name, value);
    }
    return out;
}

bool same_name(std::string a, std::string b) {
    for (auto *s : {&a, &b})
        for (char &c : *s)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return a == b;
}

double timeout_arg(nb::handle value) {
    double t;
    if (PyFloat_Check(value.ptr()) || (PyLong_Check(value.ptr()) && !PyBool_Check(value.ptr()))) {
        t = PyFloat_AsDouble(value.ptr());
        if (t == -1.0 && PyErr_Occurred())
            throw nb::python_error();
    } else {
        orvane::args::raise_incorrect_type("timeout", "float", value);
    }
    if (!std::isfinite(t) || t <= 0)
        throw nb::value_error("timeout must be a finite number of seconds greater than 0");
    return t;
}

int compression_arg(nb::handle value) {
    if (value.is_none())
        return -1;
    orvane::args::require_str(value, "compression", true);
    std::string c = str_of(value);
    if (c == "gzip")
        return kGzipLevel;
    if (c == "none" || c.empty())
        return -1;
    throw nb::value_error(("compression must be 'gzip' or 'none', not '" + c + "'").c_str());
}

void init_sink_object(nb::handle self, nb::handle endpoint, nb::handle headers, nb::handle protocol,
                      nb::handle compression, nb::handle service_name, nb::handle environment, nb::handle group_id,
                      nb::handle timeout, nb::handle buffer_limit, nb::handle batch_size, nb::handle interval,
                      nb::handle stream_deltas, nb::handle stale_after, nb::handle orphan_after,
                      nb::handle max_events, nb::handle max_open_runs, nb::handle max_attribute_length,
                      nb::handle span_buffer_limit) {
    orvane::args::require_str(endpoint, "endpoint");
    std::string url = str_of(endpoint);
    ex::UrlParts parts = ex::split_url(url);
    std::string scheme(parts.scheme);
    for (char &c : scheme)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (!parts.has_authority || (scheme != "http" && scheme != "https") || parts.host.empty())
        throw nb::value_error(("endpoint must be an http:// or https:// URL with a host, not '" +
                               ex::public_url(url) + "'").c_str());
    if (auto port = ex::url_port(url); port && *port < 0)
        throw nb::value_error(("endpoint: the port of '" + ex::public_url(url) + "' is not a number in 1-65535").c_str());
    Protocol proto = protocol_arg(protocol);
    int level = compression_arg(compression);
    double timeout_s = timeout_arg(timeout);
    int64_t limit = std::max<int64_t>(1, orvane::args::to_int64(buffer_limit, "buffer_limit"));
    int64_t batch = std::max<int64_t>(1, orvane::args::to_int64(batch_size, "batch_size"));
    double interval_s;
    {
        if (!(PyFloat_Check(interval.ptr()) || (PyLong_Check(interval.ptr()) && !PyBool_Check(interval.ptr()))))
            orvane::args::raise_incorrect_type("background_flush_interval", "float", interval);
        interval_s = PyFloat_AsDouble(interval.ptr());
        if (interval_s == -1.0 && PyErr_Occurred())
            throw nb::python_error();
        if (!(interval_s > 0) || !std::isfinite(interval_s))
            interval_s = 0.0;
    }
    TrackerOptions options = tracker_options(service_name, environment, group_id, stream_deltas, max_events,
                                             max_open_runs, max_attribute_length, stale_after, orphan_after);
    size_t ready_limit = count_arg(span_buffer_limit, "span_buffer_limit");
    std::vector<std::pair<std::string, std::string>> given = parse_headers(headers);

    nb::object otlp_holder = new_otlp_state(std::move(options), ready_limit);
    OtlpState &os = *nb::inst_ptr<OtlpState>(otlp_holder);
    os.protocol = proto;
    os.gzip_level = level;
    os.endpoint = nb::borrow(endpoint);
    std::string posted = ex::url_without_userinfo(url);
    os.url = nb::str(posted.c_str(), posted.size());
    os.public_endpoint = ex::public_url(url);
    nb::dict h;
    bool has_authorization = false;
    for (auto &[name, value] : given) {
        if (same_name(name, "content-type") || same_name(name, "content-encoding") || same_name(name, "content-length"))
            continue;  // the sink sets these for the body it sends
        has_authorization = has_authorization || same_name(name, "authorization");
        h[nb::str(name.c_str(), name.size())] = nb::str(value.c_str(), value.size());
        if (!value.empty())
            os.secrets.push_back(value);
    }
    if (parts.has_userinfo) {
        // Credentials written into the URL travel as a header; the URL itself is sent without.
        std::string userinfo(parts.userinfo);
        std::string auth = ex::basic_authorization(userinfo);
        os.secrets.push_back(userinfo);
        os.secrets.push_back(auth);
        for (const std::string &piece : {ex::percent_decode(userinfo.substr(0, userinfo.find(':'))),
                                   userinfo.find(':') == std::string::npos
                                       ? std::string()
                                       : ex::percent_decode(userinfo.substr(userinfo.find(':') + 1))})
            if (piece.size() >= 3)
                os.secrets.push_back(piece);
        if (!has_authorization && !auth.empty())
            h["Authorization"] = nb::str(auth.c_str(), auth.size());
    }
    for (const std::string &v : ex::query_secret_values(url))
        if (!v.empty())
            os.secrets.push_back(v);
    h["Content-Type"] = proto == Protocol::json ? "application/json" : "application/x-protobuf";
    if (level >= 0)
        h["Content-Encoding"] = "gzip";
    os.headers = h;

    nb::object holder = ex::new_state(span_exporter());
    ex::ExportState &st = ex::state(holder);
    st.buffer_limit = limit;
    st.batch_size = batch;
    st.interval = interval_s;
    st.timeout = timeout_s;
    if (PyObject_SetAttr(self.ptr(), a_otlp_state.get(), otlp_holder.ptr()) < 0 ||
        PyObject_SetAttr(self.ptr(), a_export_state.get(), holder.ptr()) < 0)
        throw nb::python_error();
    ex::register_exporter(self);
}

Task append_task(nb::object self, nb::object events, bool single) {
    ex::StateRef st = ex::state_of(self);
    if (single)
        ex::enqueue_one(self, *st, events);
    else
        ex::enqueue_many(self, *st, events);
    ex::ensure_worker(self, *st);
    co_return nb::none();
}

Task flush_task(nb::object self, bool finish_open) {
    ex::StateRef st = ex::state_of(self);
    if (!finish_open && !span_exporter().has_pending(self, *st))
        co_return nb::none();
    nb::object asyncio = orvane::outside::get(o_asyncio);
    nb::object run = asyncio.attr("to_thread")(self.attr("_flush_sync"), finish_open);
    co_await orvane::coro::await(run);
    co_return nb::none();
}

template <typename F, typename... Extra> nb::object def(const char *name, F &&f, const Extra &...extra) {
    return nb::cpp_function(std::forward<F>(f), nb::is_method(), nb::name(name), extra...);
}

nb::object read_only(nb::object fget, const char *doc) {
    return nb::module_::import_("builtins").attr("property")(fget, nb::none(), nb::none(), doc);
}

}  // namespace

void init_sink(nb::module_ &m) {
    g_warning_category = PyErr_NewExceptionWithDoc(
        "orvane_devtools.observation.backends.Otlp.OtlpExportWarning",
        "Issued once per outage of the OTLP receiver, and once when spans are refused or dropped.\n\n"
        "A RuntimeWarning subclass: export failures never raise; they are counted in get_stats().",
        PyExc_RuntimeWarning, nullptr);
    if (g_warning_category == nullptr)
        throw nb::python_error();
    m.attr("OtlpExportWarning") = nb::handle(g_warning_category);

    nb::class_<OtlpState>(m, "_OtlpState", "Native state of an OtlpTraceSink: its span builder and request settings.");
    register_state_type(m.attr("_OtlpState"));

    nb::dict ns;
    ns["__doc__"] =
        "Exports runs as OpenTelemetry spans over OTLP/HTTP (protobuf or JSON, gzip).\n\n"
        "One run is one span (trace and span ids derived from the run ids, so the spans of one run\n"
        "tree share a trace across processes); its events become span events. Events are queued\n"
        "without waiting for I/O; a daemon thread (\"OtlpTraceExportWorker\") turns them into spans\n"
        "and sends each span once its run ended (or was judged stale or orphaned). 429/502/503/504\n"
        "and unreachable receivers are retried with back-off honouring Retry-After; other refusals\n"
        "are final and counted. Runs still open at interpreter exit are sent as incomplete.";
    ns["name"] = "otlp";
    ns["__init__"] = def(
        "__init__",
        [](nb::handle self, nb::handle endpoint, nb::handle headers, nb::handle protocol, nb::handle compression,
           nb::handle service_name, nb::handle environment, nb::handle group_id, nb::handle timeout,
           nb::handle buffer_limit, nb::handle batch_size, nb::handle interval, nb::handle stream_deltas,
           nb::handle stale_after, nb::handle orphan_after, nb::handle max_events, nb::handle max_open_runs,
           nb::handle max_attribute_length, nb::handle span_buffer_limit) {
            init_sink_object(self, endpoint, headers, protocol, compression, service_name, environment, group_id,
                             timeout, buffer_limit, batch_size, interval, stream_deltas, stale_after, orphan_after,
                             max_events, max_open_runs, max_attribute_length, span_buffer_limit);
        },
        nb::kw_only(), nb::arg("endpoint").none() = "http://127.0.0.1:4318/v1/traces",
        nb::arg("headers").none() = nb::none(), nb::arg("protocol").none() = "http/protobuf",
        nb::arg("compression").none() = "gzip", nb::arg("service_name").none() = nb::none(),
        nb::arg("environment").none() = nb::none(), nb::arg("group_id").none() = nb::none(),
        nb::arg("timeout").none() = 10.0, nb::arg("buffer_limit").none() = 2048,
        nb::arg("batch_size").none() = 512, nb::arg("background_flush_interval").none() = 0.25,
        nb::arg("stream_deltas").none() = false, nb::arg("stale_after_seconds").none() = 900,
        nb::arg("orphan_after_seconds").none() = 30, nb::arg("max_events_per_span").none() = 128,
        nb::arg("max_open_runs").none() = 10000, nb::arg("max_attribute_length").none() = 32768,
        nb::arg("span_buffer_limit").none() = 4096);

    ns["append_event"] = def(
        "append_event",
        [](nb::handle self, nb::handle event) {
            return orvane::coro::wrap(append_task(nb::borrow(self), nb::borrow(event), true),
                                      "OtlpTraceSink.append_event");
        },
        nb::arg("event").none(), "Queue one event for export; never waits for the network.");
    ns["append_events"] = def(
        "append_events",
        [](nb::handle self, nb::handle events) {
            return orvane::coro::wrap(append_task(nb::borrow(self), nb::borrow(events), false),
                                      "OtlpTraceSink.append_events");
        },
        nb::arg("events").none(), "Queue the events for export; never waits for the network.");
    ns["append_event_nowait"] = def(
        "append_event_nowait",
        [](nb::handle self, nb::handle event) {
            ex::StateRef st = ex::state_of(self);
            ex::enqueue_one(self, *st, event);
            ex::ensure_worker(self, *st);
        },
        nb::arg("event").none(), "Queue one event and wake the export worker; from any thread.");
    ns["append_events_nowait"] = def(
        "append_events_nowait",
        [](nb::handle self, nb::handle events) {
            ex::StateRef st = ex::state_of(self);
            ex::enqueue_many(self, *st, events);
            if (ex::has_pending(*st))
                ex::ensure_worker(self, *st);
        },
        nb::arg("events").none(), "Queue the events and wake the export worker; from any thread.");
    ns["flush"] = def(
        "flush",
        [](nb::handle self, bool finish_open_runs) {
            return orvane::coro::wrap(flush_task(nb::borrow(self), finish_open_runs), "OtlpTraceSink.flush");
        },
        nb::kw_only(), nb::arg("finish_open_runs") = false,
        "Send every finished span now, ignoring back-off. With finish_open_runs, runs still open\n"
        "are first ended now as incomplete (status error \"incomplete\"), as at exit.");
    ns["_flush_sync"] = def(
        "_flush_sync",
        [](nb::handle self, bool finish_open_runs) {
            if (finish_open_runs)
                fold_queued(self, true, -1.0);
            ex::run_flush_sync(self, true, true);
        },
        nb::arg("finish_open_runs") = false);
    ns["get_stats"] = def("get_stats", [](nb::handle self) { return sink_stats(self); },
                          "Export statistics (a new dict; header values are never reported).");
    ns["_background_flush_worker"] = def("_background_flush_worker",
                                         [](nb::handle self) { ex::worker_main(self); });
    ns["_run_flush_sync"] = def(
        "_run_flush_sync", [](nb::handle self, bool drain, bool force) { ex::run_flush_sync(self, drain, force); },
        nb::kw_only(), nb::arg("drain") = true, nb::arg("force") = false);
    ns["_for_settings"] = nb::module_::import_("builtins").attr("classmethod")(nb::cpp_function(
        [](nb::handle cls, nb::handle settings, nb::handle previous, nb::handle stale, nb::handle orphan) {
            return sink_for_settings(cls, settings, previous, stale, orphan);
        },
        nb::name("_for_settings"), nb::arg("cls"), nb::arg("settings"), nb::arg("previous").none(),
        nb::arg("stale_after_seconds").none(), nb::arg("orphan_after_seconds").none(),
        "The sink the settings' observation.otlp.* keys ask for, or None when export is off;\n"
        "`previous` is reused when nothing changed, else its runs and unsent spans move over."));
    ns["_judge_tick"] = def("_judge_tick", [](nb::handle self) { judge_tick(self); },
                            "Mark a judgement of the open runs due and wake the worker (the timer's call).");
    ns["_exit_flush"] = def("_exit_flush", [](nb::handle self) { ex::exit_flush(self); },
                            "One forced flush bounded by ``timeout``.");
    ns["endpoint"] = read_only(nb::cpp_function([](nb::handle self) { return otlp_of(self)->endpoint; }),
                               "The endpoint as given.");
    ns["protocol"] = read_only(
        nb::cpp_function([](nb::handle self) { return nb::str(protocol_name(otlp_of(self)->protocol)); }),
        "\"http/protobuf\" or \"http/json\".");
    ex::add_state_properties(ns);

    nb::object base = m.attr("RuntimeTraceSink");
    m.attr("OtlpTraceSink") =
        orvane::abc::make_class(kModule, "OtlpTraceSink", nb::steal<nb::tuple>(PyTuple_Pack(1, base.ptr())), ns);
}

}  // namespace orvane::otlp
