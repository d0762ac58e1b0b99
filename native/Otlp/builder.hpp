// SpanBuilder: runtime events in, encoded export requests out.
//
// It reads each event (a RuntimeEvent) into plain facts, with payload and error masked by the
// module's DataFormatter.sanitize and written as JSON text, folds the facts into the per-run
// span state (runs.hpp), and keeps the spans that finished in an outbox, oldest first, until a
// request takes them.
//
// Threading: every member is touched with the GIL held, which is what serialises the sink's
// worker, its exit flush and its callers. `encode` works on spans the caller has taken out of
// the outbox, so it may run with the GIL released.
#pragma once

#include <nanobind/nanobind.h>

#include <deque>
#include <string>
#include <vector>

#include "runs.hpp"
#include "wire.hpp"

namespace orvane::otlp {

namespace nb = nanobind;

struct BuilderCounts {
    int64_t events_absorbed = 0;
    int64_t events_unreadable = 0;  // an event that could not be read at all (set aside)
    int64_t payloads_unserializable = 0;  // payload or error kept as "<unserializable>"
    int64_t spans_dropped = 0;      // pushed out of a full outbox
};

// A caller's event as a queue item: a tuple of its field values read now, with payload, error,
// meta and the run's meta copied at the first level (later changes to the caller's mappings do
// not reach the item), and the flags of the queue's drop rule.
//   item = (event_id, event_type, timestamp, source, level, message, payload, error, meta, run)
//   run  = None or (run_id, root_run_id, parent_run_id, run_kind, agent_id, agent_name,
//                   session_id, response_id, execution_id, meta)
struct Capture {
    nb::object item;
    bool preferred = false;  // a high-frequency event (dropped first when the queue is full)
    bool terminal = false;   // an event that ends a run's span
    bool coalesced = false;  // meta "coalesced" is True
    int64_t coalesced_items = 0;
};
// `keep_deltas`: whether stream deltas are exported (else their payload and error are not kept).
Capture capture_event(nb::handle event, bool keep_deltas);
// The drop-rule flags of an item (captured here, or anything else Python code queued).
void item_flags(nb::handle item, bool &preferred, bool &terminal);
// The event id of an item, or None.
nb::object item_event_id(nb::handle item);

class SpanBuilder {
public:
    SpanBuilder(TrackerOptions options, size_t max_ready);

    // Folds one captured item (or an event, captured first) in, GIL held. An item whose fields
    // cannot be read (a property that raises, a run id that is no string) is counted and
    // skipped; an error of the sanitizer or JSON step leaves the payload as the text
    // "<unserializable>" instead of losing the event. Returns false when it was skipped.
    bool add(nb::handle item);

    void judge(int64_t now_ms);
    void finish_all(int64_t now_ms);

    // Removes and returns up to `max` finished spans, oldest first.
    std::vector<Span> take(size_t max);
    void clear();
    // Takes over the runs and the unsent spans of `other` (see RunSpans::adopt).
    void adopt(SpanBuilder &other);

    // The outbox in place: the first `n` spans (oldest first), a span by its sequence number
    // (nullptr when it left), and the removal of spans by their numbers.
    std::vector<const Span *> front(size_t n) const;
    const Span *find(uint64_t seq) const;
    size_t remove(const std::vector<uint64_t> &seqs);

    size_t ready() const { return ready_.size(); }
    size_t open_runs() const { return runs_.open_runs(); }
    const TrackerCounts &tracker_counts() const { return runs_.counts(); }
    const BuilderCounts &counts() const { return counts_; }
    const TrackerOptions &options() const { return runs_.options(); }

private:
    void accept(std::vector<Span> &finished);

    RunSpans runs_;
    std::deque<Span> ready_;
    size_t max_ready_;
    uint64_t next_seq_ = 1;
    BuilderCounts counts_;
    std::vector<Span> scratch_;
};

// The request body for `spans` in `protocol`, gzip-compressed at `gzip_level` (-1: none).
std::string encode_request(const std::vector<Span> &spans, Protocol protocol, int gzip_level,
                           const Scope &scope);

// The scope this exporter names in its requests.
const Scope &exporter_scope();

// UTF-8 text of a str, with lone surrogates replaced by U+FFFD (valid UTF-8 always).
std::string utf8_of(nb::handle str);

}  // namespace orvane::otlp
