// OtlpTraceSink internals: the exporter hooks on the shared export queue, and the sink's own
// native state.
//
// How the shared queue is used. Callers queue events (captured as field tuples, builder.hpp)
// in the shared pending queue, with its drop rule (high-frequency events first) and counters;
// the shared worker, back-off with Retry-After, exit flush and fork handling run it. What is
// sent, though, is spans, and a span needs every event of its run: so each flush run first
// takes every queued event and folds it into the span builder (take_batch), and the batch it
// then sends is made of finished spans from the builder's outbox, named by sequence number.
// Spans leave the outbox when the receiver accepted them (delivered), refused them one by one
// (a 413 split down to one span: set aside) or refused the request for good (any other 4xx or
// 5xx but 429/502/503/504: dropped, counted); a retryable answer or a transport error keeps
// them for the next run, after the back-off. While backing off no run folds, so events wait in
// the pending queue, bounded by its limit.
//
// Threads: the builder and the counters below are touched with the GIL held and, apart from
// get_stats, only inside flush runs, which the shared flush lock serialises (the exit hook of
// this module takes that lock too). Encoding, framing and gzip run with the GIL released on
// spans that nothing else touches meanwhile.
#pragma once

#include <nanobind/nanobind.h>

#include <optional>
#include <string>
#include <vector>

#include "builder.hpp"
#include "orvane/export_queue.hpp"

namespace orvane::otlp {

namespace nb = nanobind;
namespace ex = orvane::exporting;

struct SinkCounts {
    int64_t exported_spans = 0;      // in requests the receiver accepted
    int64_t rejected_spans = 0;      // ... of which it reported rejected (partial success)
    int64_t partial_successes = 0;   // answers that carried a partial-success report
    int64_t exit_unsent_spans = 0;   // spans still unsent after the exit flush
};

struct OtlpState {
    OtlpState(TrackerOptions options, size_t max_ready) : builder(std::move(options), max_ready) {}

    SpanBuilder builder;
    Protocol protocol = Protocol::protobuf;
    int gzip_level = -1;               // -1: bodies are sent uncompressed
    nb::object endpoint;               // as given (str)
    nb::object url;                    // as posted: without user-info
    nb::object headers;                // dict sent with every request
    std::string public_endpoint;       // as it may be shown
    std::vector<std::string> secrets;  // header values and URL credentials: never in a text
    SinkCounts counts;
    nb::object last_partial_success = nb::none();  // the receiver's message, or None
    bool warned_dropped = false;
    // Open runs are judged stale or orphaned in every flush run; while some are open and no
    // events come, a timer (a daemon threading.Timer) marks a judgement due and wakes the worker.
    bool judge_due = false;
    nb::object timer = nb::none();
    // Sequence numbers of the outbox: span k of the outbox has number first_seq + k.
    uint64_t first_seq = 0;
};

// The OtlpState of a sink (from its "_otlp_state" attribute).
struct OtlpRef {
    nb::object holder;
    OtlpState *st;
    OtlpState *operator->() const { return st; }
    OtlpState &operator*() const { return *st; }
};
OtlpRef otlp_of(nb::handle self);
nb::object new_otlp_state(TrackerOptions options, size_t max_ready);

// The hooks of the OTLP exporter (one static instance).
const ex::Exporter &span_exporter();

// Module objects, made at import.
extern PyObject *g_warning_category;  // OtlpExportWarning

// The flush lock held (waiting at most `lock_timeout` seconds, < 0: no limit; nothing happens
// when it is not had), the queued events folded in and, when `finish_open`, every open run
// finished as incomplete at the module's clock (what the exit flush does first).
void fold_queued(nb::handle self, bool finish_open, double lock_timeout);
// The type of the state objects (set at module init).
void register_state_type(nb::handle type);

// Exit: before the shared exit flush, every live sink folds its queue and finishes its open
// runs; after it, what is still unsent is counted.
void before_exit_flush();
void after_exit_flush();

nb::dict sink_stats(nb::handle self);

// The sink the settings ask for (the keys "observation.otlp.*", see the README), or None when
// "observation.otlp.enabled" is false. `previous` (a sink this function built before, or None)
// is returned as it is when the settings did not change; otherwise the new sink takes over its
// runs and unsent spans, so that a reload never sends one run twice. A previous sink that is not
// not reused because export is switched off sends what it holds, its open runs as incomplete.
nb::object sink_for_settings(nb::handle cls, nb::handle settings, nb::handle previous, nb::handle stale_seconds,
                             nb::handle orphan_seconds);

// The timer's call: a judgement is due; the worker is woken to make it.
void judge_tick(nb::handle self);

}  // namespace orvane::otlp
