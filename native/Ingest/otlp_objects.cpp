// The listener's decoding of OTLP protobuf bodies into plain dicts: the request read by the
// Python-free reader (otlp_read.hpp), then its spans or log records built as Python objects
// with the C API. The contract is in ingest.hpp.
//
// The fixed keys are interned names; each span, event, link, status and log record starts as a
// copy of a template dict holding its keys (a copy clones the key table: no resize, no hashing
// of keys) whose values are then replaced. The resource and scope dicts are built once per
// ResourceSpans / ScopeSpans (ResourceLogs / ScopeLogs) and shared by their items.
#include <nanobind/nanobind.h>

#include <cstring>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ingest.hpp"
#include "orvane/args.hpp"
#include "orvane/outside.hpp"
#include "orvane/pyutil.hpp"
#include "otlp_read.hpp"

namespace orvane::ingest {

namespace {

namespace nb = nanobind;
namespace otlp = orvane::ingest::otlp;
using orvane::outside::Name;

// Keys of the dicts built here (interned, kept for the process).
Name d_trace_id{"trace_id"}, d_span_id{"span_id"}, d_parent_span_id{"parent_span_id"},
    d_trace_state{"trace_state"}, d_flags{"flags"}, d_name{"name"}, d_kind{"kind"},
    d_start_time_unix_nano{"start_time_unix_nano"}, d_end_time_unix_nano{"end_time_unix_nano"},
    d_attributes{"attributes"}, d_dropped_attributes_count{"dropped_attributes_count"}, d_events{"events"},
    d_dropped_events_count{"dropped_events_count"}, d_links{"links"}, d_dropped_links_count{"dropped_links_count"},
    d_status{"status"}, d_resource{"resource"}, d_resource_schema_url{"resource_schema_url"}, d_scope{"scope"},
    d_time_unix_nano{"time_unix_nano"}, d_code{"code"}, d_message{"message"}, d_version{"version"},
    d_observed_time_unix_nano{"observed_time_unix_nano"}, d_severity_number{"severity_number"},
    d_severity_text{"severity_text"}, d_body{"body"}, d_event_name{"event_name"};

// A dict of `keys` (in that order) to None, made on first use and kept for the process; items
// are copies of it.
class Template {
public:
    Template(std::initializer_list<Name *> keys) : keys_(keys) {}

    nb::object copy() {
        if (blank_ == nullptr) [[unlikely]] {
            PyObject *d = PyDict_New();
            if (d == nullptr)
                throw nb::python_error();
            for (Name *k : keys_)
                if (PyDict_SetItem(d, k->get(), Py_None) < 0) {
                    Py_DECREF(d);
                    throw nb::python_error();
                }
            blank_ = d;
        }
        PyObject *d = PyDict_Copy(blank_);
        if (d == nullptr)
            throw nb::python_error();
        return nb::steal(d);
    }

private:
    std::vector<Name *> keys_;
    PyObject *blank_ = nullptr;
};

Template t_span{&d_trace_id, &d_span_id, &d_parent_span_id, &d_trace_state, &d_flags, &d_name, &d_kind,
                &d_start_time_unix_nano, &d_end_time_unix_nano, &d_attributes, &d_dropped_attributes_count,
                &d_events, &d_dropped_events_count, &d_links, &d_dropped_links_count, &d_status, &d_resource,
                &d_resource_schema_url, &d_scope};
Template t_event{&d_time_unix_nano, &d_name, &d_attributes, &d_dropped_attributes_count};
Template t_link{&d_trace_id, &d_span_id, &d_trace_state, &d_attributes, &d_flags};
Template t_status{&d_code, &d_message};
Template t_scope{&d_name, &d_version, &d_attributes};
Template t_record{&d_time_unix_nano, &d_observed_time_unix_nano, &d_severity_number, &d_severity_text, &d_body,
                  &d_attributes, &d_dropped_attributes_count, &d_flags, &d_trace_id, &d_span_id, &d_event_name,
                  &d_resource, &d_scope};

inline nb::object checked(PyObject *o) {
    if (o == nullptr)
        throw nb::python_error();
    return nb::steal(o);
}

// d[key] = value, for a key the dict already holds (a template's) or a new one.
inline void put(PyObject *d, PyObject *key, PyObject *value) {
    if (PyDict_SetItem(d, key, value) < 0)
        throw nb::python_error();
}
inline void put(PyObject *d, Name &key, const nb::object &value) { put(d, key.get(), value.ptr()); }

inline nb::object decode_text(otlp::Text t) {
    // Valid UTF-8 by the reader's contract, so this never meets an error but memory.
    return checked(PyUnicode_DecodeUTF8(t.data(), static_cast<Py_ssize_t>(t.size()), nullptr));
}

inline nb::object u64(uint64_t v) { return checked(PyLong_FromUnsignedLongLong(v)); }
inline nb::object i64(int64_t v) { return checked(PyLong_FromLongLong(v)); }

// Lower-case hex of the bytes as sent ("" for none).
nb::object hex(otlp::Bytes b) {
    static constexpr char digits[] = "0123456789abcdef";
    nb::object s = checked(PyUnicode_New(static_cast<Py_ssize_t>(2 * b.size()), 127));
    Py_UCS1 *out = PyUnicode_1BYTE_DATA(s.ptr());
    for (size_t i = 0; i < b.size(); ++i) {
        auto c = static_cast<uint8_t>(b[i]);
        out[2 * i] = static_cast<Py_UCS1>(digits[c >> 4]);
        out[2 * i + 1] = static_cast<Py_UCS1>(digits[c & 15]);
    }
    return s;
}

// Standard base64 with padding, as the protocol's JSON encoding writes bytes.
nb::object base64(otlp::Bytes b) {
    static constexpr char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    size_t n = b.size();
    nb::object s = checked(PyUnicode_New(static_cast<Py_ssize_t>(4 * ((n + 2) / 3)), 127));
    Py_UCS1 *out = PyUnicode_1BYTE_DATA(s.ptr());
    auto at = [&](size_t i) { return static_cast<uint32_t>(static_cast<uint8_t>(b[i])); };
    size_t i = 0, o = 0;
    for (; i + 3 <= n; i += 3) {
        uint32_t w = at(i) << 16 | at(i + 1) << 8 | at(i + 2);
        out[o++] = digits[w >> 18];
        out[o++] = digits[(w >> 12) & 63];
        out[o++] = digits[(w >> 6) & 63];
        out[o++] = digits[w & 63];
    }
    if (n - i == 1) {
        uint32_t w = at(i) << 16;
        out[o++] = digits[w >> 18];
        out[o++] = digits[(w >> 12) & 63];
        out[o++] = '=';
        out[o++] = '=';
    } else if (n - i == 2) {
        uint32_t w = at(i) << 16 | at(i + 1) << 8;
        out[o++] = digits[w >> 18];
        out[o++] = digits[(w >> 12) & 63];
        out[o++] = digits[(w >> 6) & 63];
        out[o++] = '=';
    }
    return s;
}

// The Python texts of one request by their bytes. Attribute keys, event names, models and other
// short values repeat across the spans of a request, so each distinct one is decoded (and, as a
// dict key, hashed) once and the same str is shared. Bounded: texts over kMaxLength bytes, and
// texts met once the table holds kMaxEntries or after a long probe, are decoded each time.
class Texts {
public:
    Texts() : slots_(kFirstSlots) {}
    Texts(const Texts &) = delete;
    Texts &operator=(const Texts &) = delete;
    ~Texts() {
        for (Slot &s : slots_)
            Py_XDECREF(s.obj);
    }

    nb::object get(otlp::Text t) {
        if (t.size() > kMaxLength)
            return decode_text(t);
        uint64_t h = hash(t);
        size_t mask = slots_.size() - 1;
        for (size_t probe = 0, i = h & mask; probe < kMaxProbe; ++probe, i = (i + 1) & mask) {
            Slot &s = slots_[i];
            if (s.obj == nullptr) {
                nb::object o = decode_text(t);
                if (used_ < kMaxEntries) {
                    s = Slot{h, t, o.inc_ref().ptr()};
                    if (++used_ * 2 > slots_.size())
                        grow();
                }
                return o;
            }
            if (s.hash == h && s.view == t)
                return nb::borrow(s.obj);
        }
        return decode_text(t);
    }

private:
    static constexpr size_t kMaxLength = 64;
    static constexpr size_t kMaxEntries = 4096;
    static constexpr size_t kMaxProbe = 16;
    static constexpr size_t kFirstSlots = 64;

    struct Slot {
        uint64_t hash = 0;
        std::string_view view;  // the text's bytes, in the body (or the request's repairs)
        PyObject *obj = nullptr;
    };

    static uint64_t hash(std::string_view t) {
        const char *p = t.data();
        size_t n = t.size();
        uint64_t h = 0x9E3779B97F4A7C15ull ^ n;
        for (; n >= 8; p += 8, n -= 8) {
            uint64_t w;
            std::memcpy(&w, p, 8);
            h = (h ^ w) * 0xFF51AFD7ED558CCDull;
            h ^= h >> 32;
        }
        uint64_t w = 0;
        std::memcpy(&w, p, n);
        h = (h ^ w) * 0xC4CEB9FE1A85EC53ull;
        return h ^ (h >> 29);
    }

    void grow() {
        std::vector<Slot> old(slots_.size() * 2);
        old.swap(slots_);
        size_t mask = slots_.size() - 1;
        for (Slot &s : old) {
            if (s.obj == nullptr)
                continue;
            size_t i = s.hash & mask;
            while (slots_[i].obj != nullptr)
                i = (i + 1) & mask;
            slots_[i] = s;
        }
    }

    std::vector<Slot> slots_;
    size_t used_ = 0;
};

// Builds the dicts of one request (GIL held throughout).
class Builder {
public:
    nb::object text(otlp::Text t) { return texts_.get(t); }

    // Attributes (or a key-value list) as a dict: a later key's value replaces an earlier one's.
    nb::object attributes(const otlp::Attributes &list) {
        nb::object d = checked(PyDict_New());
        for (const otlp::KeyValue &kv : list) {
            nb::object key = text(kv.key);
            nb::object v = value(kv.value);
            put(d.ptr(), key.ptr(), v.ptr());
        }
        return d;
    }

    // An AnyValue as a Python value; None for none set (and for a string-table reference, which
    // has no meaning outside profiles). Recursion is bounded by the reader's nesting limit.
    nb::object value(const otlp::AnyValue &v) {
        using K = otlp::AnyValue::Kind;
        switch (v.kind) {
        case K::string: return text(v.s);
        case K::boolean: return nb::borrow(v.b ? Py_True : Py_False);
        case K::integer: return i64(v.i);
        case K::real: return checked(PyFloat_FromDouble(v.d));
        case K::array: {
            nb::object list = checked(PyList_New(static_cast<Py_ssize_t>(v.array.size())));
            for (size_t i = 0; i < v.array.size(); ++i)
                PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(i), value(v.array[i]).release().ptr());
            return list;
        }
        case K::kvlist: return attributes(v.kvlist);
        case K::bytes: return base64(v.s);
        case K::unset:
        case K::string_ref: break;
        }
        return nb::none();
    }

    nb::object scope(const otlp::Scope &s) {
        nb::object d = t_scope.copy();
        put(d.ptr(), d_name, text(s.name));
        put(d.ptr(), d_version, text(s.version));
        put(d.ptr(), d_attributes, attributes(s.attributes));
        return d;
    }

    nb::object span(const otlp::Span &s, const nb::object &resource, const nb::object &schema_url,
                    const nb::object &scope) {
        nb::object d = t_span.copy();
        PyObject *p = d.ptr();
        put(p, d_trace_id, hex(s.trace_id));
        put(p, d_span_id, hex(s.span_id));
        put(p, d_parent_span_id, hex(s.parent_span_id));
        put(p, d_trace_state, text(s.trace_state));
        put(p, d_flags, u64(s.flags));
        put(p, d_name, text(s.name));
        put(p, d_kind, i64(s.kind));
        put(p, d_start_time_unix_nano, u64(s.start_time_unix_nano));
        put(p, d_end_time_unix_nano, u64(s.end_time_unix_nano));
        put(p, d_attributes, attributes(s.attributes));
        put(p, d_dropped_attributes_count, u64(s.dropped_attributes_count));

        nb::object events = checked(PyList_New(static_cast<Py_ssize_t>(s.events.size())));
        for (size_t i = 0; i < s.events.size(); ++i) {
            const otlp::SpanEvent &e = s.events[i];
            nb::object ev = t_event.copy();
            put(ev.ptr(), d_time_unix_nano, u64(e.time_unix_nano));
            put(ev.ptr(), d_name, text(e.name));
            put(ev.ptr(), d_attributes, attributes(e.attributes));
            put(ev.ptr(), d_dropped_attributes_count, u64(e.dropped_attributes_count));
            PyList_SET_ITEM(events.ptr(), static_cast<Py_ssize_t>(i), ev.release().ptr());
        }
        put(p, d_events, events);
        put(p, d_dropped_events_count, u64(s.dropped_events_count));

        nb::object links = checked(PyList_New(static_cast<Py_ssize_t>(s.links.size())));
        for (size_t i = 0; i < s.links.size(); ++i) {
            const otlp::SpanLink &l = s.links[i];
            nb::object link = t_link.copy();
            put(link.ptr(), d_trace_id, hex(l.trace_id));
            put(link.ptr(), d_span_id, hex(l.span_id));
            put(link.ptr(), d_trace_state, text(l.trace_state));
            put(link.ptr(), d_attributes, attributes(l.attributes));
            put(link.ptr(), d_flags, u64(l.flags));
            PyList_SET_ITEM(links.ptr(), static_cast<Py_ssize_t>(i), link.release().ptr());
        }
        put(p, d_links, links);
        put(p, d_dropped_links_count, u64(s.dropped_links_count));

        nb::object status = t_status.copy();
        put(status.ptr(), d_code, i64(s.status.code));
        put(status.ptr(), d_message, text(s.status.message));
        put(p, d_status, status);

        put(p, d_resource, resource);
        put(p, d_resource_schema_url, schema_url);
        put(p, d_scope, scope);
        return d;
    }

    nb::object record(const otlp::LogRecord &r, const nb::object &resource, const nb::object &scope) {
        nb::object d = t_record.copy();
        PyObject *p = d.ptr();
        put(p, d_time_unix_nano, u64(r.time_unix_nano));
        put(p, d_observed_time_unix_nano, u64(r.observed_time_unix_nano));
        put(p, d_severity_number, i64(r.severity_number));
        put(p, d_severity_text, text(r.severity_text));
        put(p, d_body, value(r.body));
        put(p, d_attributes, attributes(r.attributes));
        put(p, d_dropped_attributes_count, u64(r.dropped_attributes_count));
        put(p, d_flags, u64(r.flags));
        put(p, d_trace_id, hex(r.trace_id));
        put(p, d_span_id, hex(r.span_id));
        put(p, d_event_name, text(r.event_name));
        put(p, d_resource, resource);
        put(p, d_scope, scope);
        return d;
    }

private:
    Texts texts_;
};

// The body's bytes (a bytes object, which cannot change while it is read).
std::string_view body_view(nb::handle body) {
    if (!PyBytes_Check(body.ptr()))
        orvane::args::raise_incorrect_type("body", "bytes", body);
    return std::string_view(PyBytes_AS_STRING(body.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(body.ptr())));
}

// Bodies from this size on are read without the GIL. Reading takes about a third of a call (the
// rest builds objects, GIL held); a 512-span request of the GenAI chat shape (about 500 KB) reads
// in about a millisecond, which another thread (the log writer) may then run in. A smaller body
// keeps the GIL: taking it back can wait for the other thread's switch interval (5 ms), against
// a read of some microseconds.
constexpr size_t kReleaseGilFrom = 64 * 1024;

// A limit argument: None for none, else an int of at least 0.
size_t limit_arg(nb::handle value, const char *arg) {
    std::optional<int64_t> n = orvane::args::int_or_none(value, arg);
    if (!n)
        return SIZE_MAX;
    if (*n < 0)
        throw nb::value_error((std::string(arg) + " must be at least 0").c_str());
    return static_cast<size_t>(*n);
}

// The listener's TooManyItems(what, limit) for a request over a limit, looked up when raised.
[[noreturn]] void raise_too_many(const otlp::LimitError &e) {
    static constexpr const char *whats[] = {"spans", "span events", "span links", "log records", "parts"};
    nb::object cls = nb::module_::import_("orvane_devtools.listener.otlp.body").attr("TooManyItems");
    nb::object exc = cls(nb::str(whats[static_cast<int>(e.kind)]), nb::int_(e.limit));
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exc.ptr())), exc.ptr());
    throw nb::python_error();
}

// Reads the request with the reader `read`, without the GIL for a large body (the bytes object
// cannot change meanwhile, and the caller holds it; the reader touches no Python object); the GIL
// is taken back through restore_thread, which parks the thread if the interpreter is finalizing
// meanwhile. ValueError with the reader's message when the body is not a request, the listener's
// TooManyItems when it holds more than `limits` allow.
template <class Request, class Read>
Request read_request(std::string_view body, const otlp::Limits &limits, Read &&read) {
    Request req;
    std::exception_ptr failure;
    PyThreadState *state = body.size() >= kReleaseGilFrom ? PyEval_SaveThread() : nullptr;
    try {
        req = read(body, limits);
    } ORVANE_CATCH_ALL_BUT_FORCED_UNWIND {
        failure = std::current_exception();
    }
    if (state != nullptr)
        orvane::py::restore_thread(state);
    if (failure) {
        try {
            std::rethrow_exception(failure);
        } catch (const otlp::DecodeError &e) {
            throw nb::value_error(e.what());
        } catch (const otlp::LimitError &e) {
            raise_too_many(e);
        }
    }
    return req;
}

}  // namespace

nb::list decode_otlp_traces(nb::handle body, nb::handle max_items, nb::handle max_parts) {
    std::string_view bytes = body_view(body);
    otlp::Limits limits{limit_arg(max_items, "max_items"), limit_arg(max_parts, "max_parts")};
    otlp::TracesRequest req = read_request<otlp::TracesRequest>(bytes, limits, otlp::read_traces);
    Builder build;
    nb::object out = checked(PyList_New(static_cast<Py_ssize_t>(req.span_count)));
    Py_ssize_t at = 0;
    for (const otlp::ResourceSpans &rs : req.resource_spans) {
        nb::object resource = build.attributes(rs.resource.attributes);
        nb::object schema_url = build.text(rs.schema_url);
        for (const otlp::ScopeSpans &ss : rs.scope_spans) {
            if (ss.spans.empty())
                continue;
            nb::object scope = build.scope(ss.scope);
            for (const otlp::Span &s : ss.spans)
                PyList_SET_ITEM(out.ptr(), at++, build.span(s, resource, schema_url, scope).release().ptr());
        }
    }
    return nb::borrow<nb::list>(out);
}

nb::list decode_otlp_logs(nb::handle body, nb::handle max_items, nb::handle max_parts) {
    std::string_view bytes = body_view(body);
    otlp::Limits limits{limit_arg(max_items, "max_items"), limit_arg(max_parts, "max_parts")};
    otlp::LogsRequest req = read_request<otlp::LogsRequest>(bytes, limits, otlp::read_logs);
    Builder build;
    nb::object out = checked(PyList_New(static_cast<Py_ssize_t>(req.record_count)));
    Py_ssize_t at = 0;
    for (const otlp::ResourceLogs &rl : req.resource_logs) {
        nb::object resource = build.attributes(rl.resource.attributes);
        for (const otlp::ScopeLogs &sl : rl.scope_logs) {
            if (sl.log_records.empty())
                continue;
            nb::object scope = build.scope(sl.scope);
            for (const otlp::LogRecord &r : sl.log_records)
                PyList_SET_ITEM(out.ptr(), at++, build.record(r, resource, scope).release().ptr());
        }
    }
    return nb::borrow<nb::list>(out);
}

}  // namespace orvane::ingest
