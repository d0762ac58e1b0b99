// The exporter hooks of OtlpTraceSink on the shared export queue (see sink.hpp), and the exit
// steps around the shared exit flush.
#include <algorithm>
#include <cstdint>
#include <string>

#include "options.hpp"
#include "orvane/outside.hpp"
#include "orvane/pyutil.hpp"
#include "sink.hpp"

namespace orvane::otlp {

using orvane::outside::Name;
using orvane::py::attr;
using orvane::py::truthy;

PyObject *g_warning_category = nullptr;

namespace {

Name a_otlp_state{"_otlp_state"};
Name a_status_code{"status_code"}, a_content{"content"}, a_reason_phrase{"reason_phrase"};
Name m_post{"post"}, m_loads{"loads"}, m_get{"get"}, m_acquire{"acquire"}, m_release{"release"};
Name o_json{"json"}, o_live{"_live_sinks"};

PyObject *g_state_type = nullptr;  // _OtlpState

int64_t now_ms() {
    double ms = orvane::outside::time_time() * 1000.0;
    if (!(ms == ms))
        return 0;
    return ms >= 9.2e18 ? INT64_MAX : ms <= -9.2e18 ? INT64_MIN : static_cast<int64_t>(ms);
}

int64_t add_sat(int64_t a, int64_t b) {
    int64_t r;
    if (__builtin_add_overflow(a, b, &r))
        return b > 0 ? INT64_MAX : INT64_MIN;
    return r;
}

ex::LockGuard stats_lock(ex::ExportState &st) { return ex::LockGuard(st.stats_lock); }

uint64_t seq_of(const ex::Batch &batch, size_t i) {
    unsigned long long v = PyLong_AsUnsignedLongLong(batch.item(i).ptr());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred())
        throw nb::python_error();
    return v;
}

std::vector<uint64_t> seqs_of(const ex::Batch &batch, const std::vector<size_t> &items) {
    std::vector<uint64_t> out;
    out.reserve(items.size());
    for (size_t i : items)
        out.push_back(seq_of(batch, i));
    return out;
}

nb::object runtime_error(const std::string &text) {
    nb::object message = nb::str(text.c_str(), text.size());
    PyObject *e = PyObject_CallOneArg(PyExc_RuntimeError, message.ptr());
    if (e == nullptr)
        throw nb::python_error();
    return nb::steal(e);
}

// Every queued event, taken out of the pending queue and folded into the builder.
void fold(ex::ExportState &st, OtlpState &os) {
    std::vector<ex::QueueEntry> entries;
    {
        ex::LockGuard pending(st.pending_lock);
        entries = st.queue.take_all();
    }
    std::vector<nb::object> items;
    items.reserve(entries.size());
    for (const ex::QueueEntry &e : entries)
        items.push_back(nb::steal(static_cast<PyObject *>(e.item)));
    for (const nb::object &item : items)
        os.builder.add(item);
}

// Encodes the spans of a batch, all at once with the GIL released; `encode` hands out the
// pieces one by one.
class SpanEncoder final : public ex::ItemEncoder {
public:
    SpanEncoder(OtlpState &os, const ex::Batch &batch) {
        size_t n = batch.size();
        spans_.reserve(n);
        for (size_t i = 0; i < n; ++i)
            spans_.push_back(os.builder.find(seq_of(batch, i)));
        pieces_.resize(n);
        Protocol protocol = os.protocol;
        nb::gil_scoped_release unlocked;
        for (size_t i = 0; i < n; ++i)
            if (spans_[i] != nullptr)
                append_span_piece(*spans_[i], protocol, pieces_[i]);
    }

    nb::object encode(size_t i, std::string &out) override {
        if (spans_[i] == nullptr)
            return runtime_error("the span left the outbox before it was sent");
        out.append(pieces_[i]);
        return nb::object();
    }

private:
    std::vector<const Span *> spans_;
    std::vector<std::string> pieces_;
};

// What a receiver reports as partial success: the binary ExportTraceServiceResponse, or its
// JSON form {"partialSuccess": {"rejectedSpans": "3", "errorMessage": "..."}}.
std::optional<PartialSuccess> partial_success_of(const OtlpState &os, nb::handle content) {
    if (!PyBytes_Check(content.ptr()) || PyBytes_GET_SIZE(content.ptr()) == 0)
        return std::nullopt;
    std::string_view body(PyBytes_AS_STRING(content.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(content.ptr())));
    if (os.protocol == Protocol::protobuf) {
        auto r = decode_response(body);
        if (!r || !r->present)
            return std::nullopt;
        return r;
    }
    try {
        nb::object doc = attr(orvane::outside::get(o_json), m_loads)(content);
        if (!PyDict_Check(doc.ptr()))
            return std::nullopt;
        PyObject *ps = PyDict_GetItemString(doc.ptr(), "partialSuccess");
        if (ps == nullptr || !PyDict_Check(ps))
            return std::nullopt;
        PartialSuccess out;
        out.present = true;
        if (PyObject *n = PyDict_GetItemString(ps, "rejectedSpans")) {
            nb::object number = nb::steal(PyNumber_Long(n));
            if (number.is_valid())
                out.rejected_spans = PyLong_AsLongLong(number.ptr());
            if (PyErr_Occurred()) {
                PyErr_Clear();
                out.rejected_spans = 0;
            }
        }
        if (PyObject *m = PyDict_GetItemString(ps, "errorMessage"); m != nullptr && PyUnicode_Check(m))
            out.error_message = utf8_of(m);
        return out;
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception))
            throw;
        return std::nullopt;  // an answer we cannot read is still an acceptance
    }
}

// The receiver's own words on a failure: google.rpc.Status.message (binary), or the "message"
// of its JSON form.
std::string failure_detail(const OtlpState &os, nb::handle content) {
    if (!PyBytes_Check(content.ptr()) || PyBytes_GET_SIZE(content.ptr()) == 0)
        return {};
    std::string_view body(PyBytes_AS_STRING(content.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(content.ptr())));
    if (os.protocol == Protocol::protobuf)
        return decode_status_message(body);
    try {
        nb::object doc = attr(orvane::outside::get(o_json), m_loads)(content);
        if (PyDict_Check(doc.ptr()))
            if (PyObject *m = PyDict_GetItemString(doc.ptr(), "message"); m != nullptr && PyUnicode_Check(m))
                return utf8_of(m);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception))
            throw;
    }
    return {};
}

std::string span_label(const Span *s) {
    if (s == nullptr)
        return "a span";
    std::string out = "span '" + s->name + "'";
    for (const Attribute &a : s->attributes)
        if (a.key == "orvane.run.id" && a.value.kind == Value::Kind::string)
            return out + " of run " + a.value.s;
    return out;
}

// Seconds between judgements while runs are open and no events come: a third of the shorter
// rule, within 1 to 30 seconds.
double judgement_interval(const TrackerOptions &o) {
    int64_t ms = 0;
    for (int64_t t : {o.stale_ms, o.orphan_ms})
        if (t > 0)
            ms = ms == 0 ? t : std::min(ms, t);
    return std::clamp(static_cast<double>(ms) / 3000.0, 1.0, 30.0);
}

Name o_threading{"threading"}, m_judge_tick{"_judge_tick"};

bool g_exiting = false;  // set by the exit hook: no new timers

void schedule_judgement(nb::handle self, OtlpState &os) {
    const TrackerOptions &o = os.builder.options();
    if (g_exiting || os.builder.open_runs() == 0 || (o.stale_ms <= 0 && o.orphan_ms <= 0) || !os.timer.is_none())
        return;
    nb::object timer = orvane::outside::get(o_threading).attr("Timer")(judgement_interval(o), attr(self, m_judge_tick));
    timer.attr("daemon") = true;
    timer.attr("start")();
    os.timer = timer;
}

struct SpanExporter final : ex::Exporter {
    const char *worker_name() const override { return "OtlpTraceExportWorker"; }
    const char *kind() const override { return "OtlpTraceSink"; }

    ex::Captured capture(nb::handle self, ex::ExportState &, nb::handle event) const override {
        Capture c = capture_event(event, otlp_of(self)->builder.options().export_stream_deltas);
        ex::Captured out;
        out.item = std::move(c.item);
        out.flags = ex::ItemFlags{c.preferred, c.terminal};
        out.coalesced = c.coalesced;
        out.coalesced_items = c.coalesced_items;
        return out;
    }

    ex::ItemFlags flags_of(nb::handle item) const override {
        ex::ItemFlags f;
        item_flags(item, f.preferred, f.terminal);
        return f;
    }

    nb::object item_id(nb::handle item, bool) const override {
        if (PyLong_Check(item.ptr()))
            return nb::none();  // a span of the outbox
        return item_event_id(item);
    }

    bool has_pending(nb::handle self, ex::ExportState &st) const override {
        if (ex::has_pending(st))
            return true;
        OtlpRef os = otlp_of(self);
        return os->builder.ready() > 0 || os->judge_due;
    }

    ex::Batch take_batch(nb::handle self, ex::ExportState &st) const override {
        OtlpRef os = otlp_of(self);
        fold(st, *os);
        os->judge_due = false;
        os->builder.judge(now_ms());
        schedule_judgement(self, *os);
        ex::Batch b;
        b.raw = false;
        for (const Span *s : os->builder.front(static_cast<size_t>(std::max<int64_t>(1, st.batch_size)))) {
            nb::object n = nb::steal(PyLong_FromUnsignedLongLong(s->seq));
            if (!n.is_valid() || PyList_Append(b.items.ptr(), n.ptr()) < 0)
                throw nb::python_error();
            b.compact.push_back(0);
        }
        return b;
    }

    std::unique_ptr<ex::ItemEncoder> encoder(nb::handle self, ex::ExportState &, const ex::Batch &batch) const override {
        return std::make_unique<SpanEncoder>(*otlp_of(self), batch);
    }

    nb::object frame(nb::handle self, ex::ExportState &, const ex::Batch &batch, const ex::Encoded &enc,
                     size_t begin, size_t end) const override {
        OtlpRef os = otlp_of(self);
        std::vector<Piece> pieces;
        pieces.reserve(end - begin);
        for (size_t k = begin; k < end; ++k)
            pieces.push_back(Piece{os->builder.find(seq_of(batch, enc.source[k])), enc.piece(k)});
        std::string body;
        {
            Protocol protocol = os->protocol;
            int level = os->gzip_level;
            nb::gil_scoped_release unlocked;
            frame_request(pieces, protocol, exporter_scope(), body);
            if (level >= 0)
                body = gzip(body, level);
        }
        return nb::steal(PyBytes_FromStringAndSize(body.data(), static_cast<Py_ssize_t>(body.size())));
    }

    nb::object send(nb::handle self, ex::ExportState &, nb::handle client, nb::handle body) const override {
        OtlpRef os = otlp_of(self);
        return attr(client, m_post)(os->url, nb::arg("content") = body, nb::arg("headers") = os->headers);
    }

    ex::Answer classify(nb::handle self, ex::ExportState &st, nb::handle response) const override {
        OtlpRef os = otlp_of(self);
        nb::object code = attr(response, a_status_code);
        long status = PyLong_AsLong(code.ptr());
        if (status == -1 && PyErr_Occurred())
            throw nb::python_error();
        nb::object content = attr(response, a_content);
        ex::Answer answer;
        if (status >= 200 && status < 300) {
            answer.verdict = ex::Verdict::Delivered;
            if (auto ps = partial_success_of(*os, content)) {
                ex::LockGuard stats = stats_lock(st);
                os->counts.partial_successes = add_sat(os->counts.partial_successes, 1);
                os->counts.rejected_spans = add_sat(os->counts.rejected_spans, std::max<int64_t>(0, ps->rejected_spans));
                std::string text = ex::redact(ps->error_message, os->secrets);
                os->last_partial_success = nb::str(text.c_str(), text.size());
            }
            return answer;
        }
        std::string text("HTTP ");
        text += std::to_string(status);
        PyObject *reason = nullptr;
        if (PyObject_GetOptionalAttr(response.ptr(), a_reason_phrase.get(), &reason) < 0)
            throw nb::python_error();
        if (reason != nullptr) {
            nb::object r = nb::steal(reason);
            if (PyUnicode_Check(r.ptr()) && PyUnicode_GET_LENGTH(r.ptr()) > 0) {
                text += ' ';
                text += utf8_of(r);
            }
        }
        std::string detail = failure_detail(*os, content);
        if (!detail.empty()) {
            text += ": ";
            text += detail;
        }
        answer.error = runtime_error(text + " from the OTLP receiver at " + os->public_endpoint);
        if (status == 429 || status == 502 || status == 503 || status == 504) {
            answer.verdict = ex::Verdict::Retry;
            answer.retry_after = ex::retry_after_of(response);
        } else if (status == 413) {
            answer.verdict = ex::Verdict::Split;  // too large: the halves, down to one span
        } else {
            answer.verdict = ex::Verdict::Drop;  // the protocol forbids retrying any other answer
        }
        return answer;
    }

    void delivered(nb::handle self, ex::ExportState &st, const ex::Batch &batch,
                   const std::vector<size_t> &items) const override {
        OtlpRef os = otlp_of(self);
        size_t n = os->builder.remove(seqs_of(batch, items));
        ex::record_delivery(st, n);
        ex::LockGuard stats = stats_lock(st);
        os->counts.exported_spans = add_sat(os->counts.exported_spans, static_cast<int64_t>(n));
        os->warned_dropped = false;
    }

    void set_aside(nb::handle self, ex::ExportState &st, const ex::Batch &batch, size_t i, ex::SetAside why,
                   nb::handle error) const override {
        OtlpRef os = otlp_of(self);
        uint64_t seq = seq_of(batch, i);
        std::string label = span_label(os->builder.find(seq));
        os->builder.remove({seq});
        bool first;
        {
            ex::LockGuard stats = stats_lock(st);
            int64_t &count = why == ex::SetAside::Unencodable ? st.counters.unencodable : st.counters.refused;
            count = add_sat(count, 1);
            bool &warned = why == ex::SetAside::Unencodable ? st.warned_unencodable : st.warned_refused;
            first = !warned;
            warned = true;
        }
        if (first) {
            std::string detail = error.is_none() ? std::string() : " (" + ex::redacted_error_text(self, error) + ")";
            std::string message = why == ex::SetAside::Unencodable
                                      ? "OtlpTraceSink set aside " + label + " that could not be encoded" + detail +
                                            "; it will not be sent. Such spans are counted as unencodable_span_count "
                                            "in get_stats()."
                                      : "OtlpTraceSink set aside " + label + " that the receiver refused even alone" +
                                            detail + "; it will not be sent again. Such spans are counted as "
                                            "refused_span_count in get_stats().";
            warn(message);
        }
    }

    void dropped_final(nb::handle self, ex::ExportState &st, const ex::Batch &batch,
                       const std::vector<size_t> &items, nb::handle error) const override {
        OtlpRef os = otlp_of(self);
        size_t n = os->builder.remove(seqs_of(batch, items));
        std::string text = error.is_none() ? std::string() : ex::redacted_error_text(self, error);
        double wall = orvane::outside::time_time();
        bool first;
        {
            ex::LockGuard stats = stats_lock(st);
            st.counters.final_drops = add_sat(st.counters.final_drops, static_cast<int64_t>(n));
            st.last_failure_at = nb::float_(wall);
            st.last_failure = error.is_none() ? nb::none() : nb::object(nb::str(text.c_str(), text.size()));
            first = !os->warned_dropped;
            os->warned_dropped = true;
        }
        if (first)
            warn("OtlpTraceSink: the OTLP receiver at " + os->public_endpoint + " refused a request for good (" +
                 text + "); its " + std::to_string(n) +
                 " spans were dropped and are counted as dropped_request_span_count in get_stats(). The protocol "
                 "forbids sending such a request again.");
    }

    void run_pass(nb::handle self, ex::ExportState &, bool) const override {
        // Every pass drains the outbox: spans wait there, not in the pending queue the worker
        // watches.
        ex::run_flush_sync(self, true, false);
    }

    nb::object run_coroutine(nb::handle self, bool drain, bool force) const override {
        return ex::flush_coroutine(self, drain, force, "OtlpTraceSink.flush_run");
    }

    std::string public_endpoint(nb::handle self) const override { return otlp_of(self)->public_endpoint; }
    std::vector<std::string> secrets(nb::handle self) const override { return otlp_of(self)->secrets; }
    PyObject *outage_category() const override { return g_warning_category; }
    PyObject *set_aside_category() const override { return g_warning_category; }

    std::string outage_message(nb::handle self, nb::handle error) const override {
        std::string detail;
        if (!error.is_none()) {
            std::string t = ex::redacted_error_text(self, error);
            if (!t.empty())
                detail = " (" + t + ")";
        }
        return "OtlpTraceSink could not export spans to the OTLP receiver at " + otlp_of(self)->public_endpoint +
               detail + ". Spans stay buffered in memory and export will retry silently with backoff.";
    }

    void after_fork(nb::handle self, ex::ExportState &) const override {
        OtlpRef os = otlp_of(self);
        os->timer = nb::none();  // its thread stayed in the parent
        os->judge_due = false;
        os->builder.clear();
        os->counts = SinkCounts{};
        os->last_partial_success = nb::none();
        os->warned_dropped = false;
    }

    static void warn(const std::string &message) {
        orvane::outside::get("warnings").attr("warn")(nb::str(message.c_str(), message.size()),
                                                      nb::handle(g_warning_category), nb::arg("stacklevel") = 2);
    }
};

const SpanExporter g_hooks;

}  // namespace

const ex::Exporter &span_exporter() { return g_hooks; }

OtlpRef otlp_of(nb::handle self) {
    nb::object holder = attr(self, a_otlp_state);
    if (g_state_type == nullptr || !nb::isinstance<OtlpState>(holder))
        throw nb::type_error("_otlp_state is not the sink's native state");
    return OtlpRef{holder, nb::inst_ptr<OtlpState>(holder)};
}

nb::object new_otlp_state(TrackerOptions options, size_t max_ready) {
    nb::object holder = nb::inst_alloc(nb::handle(g_state_type));
    new (nb::inst_ptr<OtlpState>(holder)) OtlpState(std::move(options), max_ready);
    nb::inst_mark_ready(holder);
    return holder;
}

void register_state_type(nb::handle type) {
    g_state_type = type.ptr();
    Py_INCREF(g_state_type);
}

void fold_queued(nb::handle self, bool finish_open, double lock_timeout) {
    ex::StateRef st = ex::state_of(self);
    nb::object lock = st->flush_lock;
    nb::object acquired = lock_timeout < 0 ? attr(lock, m_acquire)() : attr(lock, m_acquire)(true, lock_timeout);
    if (!truthy(acquired))
        return;
    nb::object release = attr(lock, m_release);
    try {
        OtlpRef os = otlp_of(self);
        fold(*st, *os);
        if (finish_open)
            os->builder.finish_all(now_ms());
    } catch (...) {
        release();
        throw;
    }
    release();
}

namespace {

std::vector<nb::object> live_sinks() {
    nb::object live = orvane::outside::get(o_live);
    nb::object list = nb::steal(PySequence_List(live.ptr()));
    if (!list.is_valid())
        throw nb::python_error();
    std::vector<nb::object> out;
    for (nb::handle s : nb::list(list))
        out.push_back(nb::borrow(s));
    return out;
}

}  // namespace

void judge_tick(nb::handle self) {
    OtlpRef os = otlp_of(self);
    os->timer = nb::none();
    os->judge_due = true;
    ex::StateRef st = ex::state_of(self);
    ex::ensure_worker(self, *st);
}

void before_exit_flush() {
    g_exiting = true;
    for (const nb::object &sink : live_sinks()) {
        try {
            OtlpRef os = otlp_of(sink);
            nb::object timer = os->timer;
            os->timer = nb::none();
            if (!timer.is_none())
                timer.attr("cancel")();
            ex::StateRef st = ex::state_of(sink);
            double bound = st->timeout > 0 ? std::min(st->timeout, 3600.0) : 0.0;
            fold_queued(sink, true, bound);
        } catch (nb::python_error &e) {
            e.discard_as_unraisable(sink);
        }
    }
}

void after_exit_flush() {
    for (const nb::object &sink : live_sinks()) {
        try {
            ex::StateRef st = ex::state_of(sink);
            OtlpRef os = otlp_of(sink);
            ex::LockGuard stats = stats_lock(*st);
            os->counts.exit_unsent_spans =
                add_sat(os->counts.exit_unsent_spans, static_cast<int64_t>(os->builder.ready()));
        } catch (nb::python_error &e) {
            e.discard_as_unraisable(sink);
        }
    }
}

namespace {

Name a_settings_key{"_settings_key"}, m_settings_get{"get"};

nb::object setting(nb::handle settings, const char *key, nb::handle fallback) {
    return attr(settings, m_settings_get)(key, fallback);
}

bool is_sink(nb::handle obj) {
    if (obj.is_none())
        return false;
    PyObject *holder = nullptr;
    if (PyObject_GetOptionalAttr(obj.ptr(), a_otlp_state.get(), &holder) < 0)
        throw nb::python_error();
    nb::object h = nb::steal(holder);
    return holder != nullptr && g_state_type != nullptr && nb::isinstance<OtlpState>(h);
}

// The previous sink's runs and spans move to `sink` (the previous sink's flush lock held, its
// queue folded in first).
void take_over(nb::handle sink, nb::handle previous) {
    ex::StateRef prev_st = ex::state_of(previous);
    nb::object lock = prev_st->flush_lock;
    ex::LockGuard guard(attr(lock, m_acquire), attr(lock, m_release));
    OtlpRef prev = otlp_of(previous);
    fold(*prev_st, *prev);
    nb::object timer = prev->timer;
    prev->timer = nb::none();
    if (!timer.is_none())
        timer.attr("cancel")();
    OtlpRef fresh = otlp_of(sink);
    fresh->builder.adopt(prev->builder);
    ex::StateRef st = ex::state_of(sink);
    if (fresh->builder.ready() > 0 || fresh->builder.open_runs() > 0) {
        fresh->judge_due = true;
        ex::ensure_worker(sink, *st);
    }
}

}  // namespace

nb::object sink_for_settings(nb::handle cls, nb::handle settings, nb::handle previous, nb::handle stale_seconds,
                             nb::handle orphan_seconds) {
    bool have_previous = is_sink(previous);
    if (!truthy(setting(settings, "observation.otlp.enabled", Py_False))) {
        if (have_previous) {
            // Export is switched off: what the previous sink holds still leaves, its open runs
            // as incomplete.
            fold_queued(previous, true, -1.0);
            ex::StateRef st = ex::state_of(previous);
            if (span_exporter().has_pending(previous, *st))
                ex::ensure_worker(previous, *st);
        }
        return nb::none();
    }
    nb::object endpoint = setting(settings, "observation.otlp.endpoint", Py_None);
    if (!PyUnicode_Check(endpoint.ptr()) || PyUnicode_GET_LENGTH(endpoint.ptr()) == 0)
        endpoint = nb::str("http://127.0.0.1:4318/v1/traces");
    nb::object headers = setting(settings, "observation.otlp.headers", Py_None);
    nb::object protocol = setting(settings, "observation.otlp.protocol", Py_None);
    if (protocol.is_none() || (PyUnicode_Check(protocol.ptr()) && PyUnicode_GET_LENGTH(protocol.ptr()) == 0))
        protocol = nb::str("http/protobuf");
    nb::object service_name = setting(settings, "observation.otlp.service_name", Py_None);
    nb::object deltas = nb::bool_(truthy(setting(settings, "observation.otlp.stream_deltas", Py_False)));
    nb::object key = nb::make_tuple(endpoint, headers, protocol, service_name, deltas, stale_seconds, orphan_seconds);
    if (have_previous) {
        PyObject *old_key = nullptr;
        if (PyObject_GetOptionalAttr(previous.ptr(), a_settings_key.get(), &old_key) < 0)
            throw nb::python_error();
        nb::object old = nb::steal(old_key);
        if (old_key != nullptr) {
            int same = PyObject_RichCompareBool(old.ptr(), key.ptr(), Py_EQ);
            if (same < 0)
                throw nb::python_error();
            if (same)
                return nb::borrow(previous);
        }
    }
    nb::object sink = nb::borrow(cls)(nb::arg("endpoint") = endpoint, nb::arg("headers") = headers,
                                       nb::arg("protocol") = protocol, nb::arg("service_name") = service_name,
                                       nb::arg("stream_deltas") = deltas, nb::arg("stale_after_seconds") = stale_seconds,
                                       nb::arg("orphan_after_seconds") = orphan_seconds);
    if (PyObject_SetAttr(sink.ptr(), a_settings_key.get(), key.ptr()) < 0)
        throw nb::python_error();
    if (have_previous)
        take_over(sink, previous);
    return sink;
}

nb::dict sink_stats(nb::handle self) {
    ex::StateRef st = ex::state_of(self);
    OtlpRef os = otlp_of(self);
    size_t pending;
    {
        ex::LockGuard p(st->pending_lock);
        pending = st->queue.size();
    }
    nb::dict d;
    d["endpoint"] = nb::str(os->public_endpoint.c_str(), os->public_endpoint.size());
    d["protocol"] = protocol_name(os->protocol);
    d["compression"] = os->gzip_level >= 0 ? "gzip" : "none";
    d["buffer_limit"] = st->buffer_limit;
    d["batch_size"] = st->batch_size;
    d["background_flush_interval"] = st->interval;
    d["pending_event_count"] = pending;
    nb::dict built = counts_dict(os->builder);
    ex::LockGuard stats = stats_lock(*st);
    const ex::Counters &c = st->counters;
    d["enqueued_event_count"] = c.enqueued;
    d["dropped_event_count"] = c.dropped;
    d["dropped_high_frequency_event_count"] = c.dropped_high_frequency;
    d["dropped_terminal_event_count"] = c.dropped_terminal;
    d["coalesced_event_count"] = c.coalesced_events;
    d["coalesced_item_count"] = c.coalesced_items;
    for (auto [k, v] : built)
        d[k] = v;
    d["export_request_count"] = c.batches;
    d["exported_span_count"] = os->counts.exported_spans;
    d["export_failure_count"] = c.failures;
    d["rejected_span_count"] = os->counts.rejected_spans;
    d["partial_success_count"] = os->counts.partial_successes;
    d["refused_span_count"] = c.refused;
    d["unencodable_span_count"] = c.unencodable;
    d["dropped_request_span_count"] = c.final_drops;
    d["exit_unsent_event_count"] = c.exit_unsent;
    d["exit_unsent_span_count"] = os->counts.exit_unsent_spans;
    d["last_export_at"] = st->last_upload_at;
    d["last_failure_at"] = st->last_failure_at;
    d["last_failure"] = st->last_failure;
    d["last_partial_success"] = os->last_partial_success;
    return d;
}

}  // namespace orvane::otlp
