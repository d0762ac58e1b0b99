// Runs into spans, free of Python: the per-run state built event by event, and the spans that
// leave it when a run ends, is judged stale or orphaned, is pushed out by the open-run limit, or
// is still open at exit.
//
// One run is one span. Its start is the run's first event, its end the event that ends it (a
// ".completed"/".failed" event that is not a tool action), the detection time when it is judged
// stale or orphaned, or the exit time when it is still open then ("incomplete"). Tool actions
// inside a run (action events that name a tool) become child spans `execute_tool {tool}`.
// A run that receives events after its span left is continued in a new span, a child of the
// first, so no event is lost and no span id is sent twice.
//
// Threading: not thread-safe; the owner serialises every call (the sink does so under its own
// mutex).
#pragma once

#include <cstdint>
#include <deque>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "model.hpp"

namespace orvane::otlp {

using Text = std::optional<std::string>;

// A run's status as the run store derives it from an event type (the suffix rule); nullopt
// when the event leaves the status as it is.
enum class RunStatus : uint8_t { unknown, running, waiting, completed, failed };
std::optional<RunStatus> run_status_of(std::string_view event_type);

// True for the event types whose events are counted on their span rather than exported.
bool is_stream_delta(std::string_view event_type);

// True when the event type marks a tool action (a segment "action", "tool" or "tool_call"
// before its last one, e.g. "agent_task.action.started").
bool is_action_type(std::string_view event_type);

// Kinds of run, from the run kind and the agent name.
enum class RunRole : uint8_t { agent, tool, other };
RunRole role_of(std::string_view run_kind, bool has_agent_name);

// The run context of an event, as text.
struct RunFacts {
    std::string run_id;
    Text root_run_id, parent_run_id;
    std::string run_kind;
    Text agent_id, agent_name, session_id, response_id, execution_id;
    // From the run's meta.
    Text flow_name, tool_name, provider, model;
};

// One event, as text: everything the spans need, gathered by the caller of `absorb`.
struct EventFacts {
    std::string event_id;
    std::string event_type;
    int64_t timestamp_ms = 0;
    Text source, level, message;
    Text payload_json, error_json;  // masked JSON text, none when the field is None
    Text error_type, error_message;  // of a failure: low-cardinality type and its text
    Text tool_name, tool_call_id;    // named by the payload of an action event
    Text app_id, group_id, environment;  // the event's meta, else the run's
    bool has_run = false;
    RunFacts run;
};

struct TrackerOptions {
    bool export_stream_deltas = false;
    size_t max_events_per_span = 128;
    size_t max_open_runs = 10000;
    size_t max_ended_runs = 65536;       // remembered after export (parents, continuations)
    size_t max_attribute_length = 32768; // bytes of one string attribute; 0: unlimited
    size_t dedup_window = 4096;          // event ids remembered to drop repeats; 0: off
    std::string service_name = "unknown_service";  // when the run names no application
    std::string environment;                        // when the run names none
    Text group_id;
    int64_t stale_ms = 900000;  // 0: rule off
    int64_t orphan_ms = 30000;  // 0: rule off
};

struct TrackerCounts {
    int64_t runs_started = 0;
    int64_t spans_finished = 0;
    int64_t unattached_events = 0;  // events that belong to no run
    int64_t stale_runs = 0;
    int64_t orphaned_runs = 0;
    int64_t incomplete_runs = 0;   // still open at exit
    int64_t evicted_runs = 0;      // pushed out by max_open_runs
    int64_t continued_runs = 0;    // events after the run's span left
    int64_t duplicate_events = 0;  // an event id seen within the de-duplication window
    int64_t dropped_span_events = 0;
    int64_t truncated_attributes = 0;
};

// The ids (as 64-bit hashes) of the last `capacity` events: an open-addressing table with
// linear probing and backward-shift deletion, and a ring of the ids in arrival order.
class IdWindow {
public:
    explicit IdWindow(size_t capacity);
    // False when `h` is in the window; otherwise adds it (the oldest leaves a full window).
    bool insert(uint64_t h);
    void clear();
    template <class F> void for_each(F &&f) const {
        for (uint64_t h : order_)
            f(h);
    }

private:
    size_t home(uint64_t h) const { return static_cast<size_t>(h ^ (h >> 29)) & mask_; }
    void erase(uint64_t h);

    size_t capacity_;
    std::vector<uint64_t> table_;  // 0: empty slot (an id hashing to 0 is kept as 1)
    size_t mask_ = 0;
    std::deque<uint64_t> order_;
};

class RunSpans {
public:
    explicit RunSpans(TrackerOptions options);
    ~RunSpans();
    RunSpans(const RunSpans &) = delete;
    RunSpans &operator=(const RunSpans &) = delete;

    const TrackerOptions &options() const { return options_; }
    const TrackerCounts &counts() const { return counts_; }
    size_t open_runs() const { return open_.size(); }

    // Whether `absorb` will use the masked payload and error of an event of this type (a
    // counted stream delta does not, so the caller can skip serialising them).
    bool wants_details(std::string_view event_type) const;

    // Folds one event in; spans that end because of it are appended to `finished`.
    void absorb(EventFacts &&event, std::vector<Span> &finished);

    // Judges every open run by the stale and orphan rules at `now_ms` and finishes those that
    // fire, with status error and the rule's reason.
    void judge(int64_t now_ms, std::vector<Span> &finished);

    // Finishes every open run at `now_ms` with status error "incomplete" (process exit).
    void finish_all(int64_t now_ms, std::vector<Span> &finished);

    // Forgets everything (a forked child starts afresh).
    void clear();

    // Takes over the runs of `other` (open runs, the runs remembered after their end, the
    // de-duplication window), which is left empty; the options stay this tracker's. For a
    // sink that replaces another, so that no run is sent twice under one span id.
    void adopt(RunSpans &other);

private:
    struct Tool;
    struct Open;
    struct Ended;

    Open &open_for(EventFacts &event, std::vector<Span> &finished);
    void add_event(std::deque<SpanEvent> &events, uint32_t &dropped, SpanEvent &&ev);
    SpanEvent span_event(EventFacts &event);
    void absorb_action(Open &run, EventFacts &event, std::optional<RunStatus> status,
                       std::vector<Span> &finished);
    Span tool_span(Open &run, Tool &tool, uint64_t end_ns, StatusCode code, std::string message,
                   Text error_type);
    // Finishes `run` (which is then removed): `reason` is empty for an ending event, else
    // "stale_timeout", "orphaned_after_ancestor_terminal" or "incomplete".
    void finish(Open &run, int64_t end_ms, std::string_view reason, std::vector<Span> &finished);
    void remember_ended(const Open &run, int64_t terminal_ms);
    void forget(Open &run);
    void clip(std::string &text);
    struct Verdict;
    Verdict resolve(const std::string &run_id, int64_t now_ms,
                    std::unordered_map<std::string, Verdict> &cache,
                    std::unordered_set<std::string> &resolving);

    TrackerOptions options_;
    TrackerCounts counts_;
    std::unordered_map<std::string, std::unique_ptr<Open>> open_;
    std::list<Open *> by_activity_;  // least recently active first
    std::unordered_map<std::string, Ended> ended_;
    std::deque<std::string> ended_order_;
    // Hashes of the event ids of the de-duplication window (64 bits: a false repeat within a
    // window of a few thousand ids has a chance near 1e-16).
    IdWindow seen_;
};

}  // namespace orvane::otlp
