#include "runs.hpp"

#include <algorithm>
#include <limits>

#include "orvane/resolution.hpp"

namespace orvane::otlp {

namespace {

bool ends_with(std::string_view s, std::string_view suffix) {
    return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

bool ends_with_any(std::string_view s, std::initializer_list<std::string_view> suffixes) {
    for (std::string_view x : suffixes)
        if (ends_with(s, x))
            return true;
    return false;
}

std::string lower(std::string_view s) {
    std::string out(s);
    for (char &c : out)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return out;
}

// Milliseconds to nanoseconds, clamped to what the unsigned 64-bit field holds.
uint64_t ms_to_ns(int64_t ms) {
    if (ms <= 0)
        return 0;
    constexpr int64_t kMax = static_cast<int64_t>(std::numeric_limits<uint64_t>::max() / 1000000u);
    return static_cast<uint64_t>(std::min(ms, kMax)) * 1000000u;
}

void refresh(Text &field, Text &value) {
    if (value)
        field = std::move(value);
}

// A falsy time (0) counts as absent, as the run store's readers treat it.
std::optional<int64_t> truthy(std::optional<int64_t> t) {
    return t && *t != 0 ? t : std::nullopt;
}

}  // namespace

std::optional<RunStatus> run_status_of(std::string_view t) {
    // The run store's rule, first hit wins: failed, completed, running, waiting.
    if (ends_with_any(t, {".failed", "_failed"}))
        return RunStatus::failed;
    if (ends_with_any(t, {".completed", "_completed"}))
        return RunStatus::completed;
    if (ends_with_any(t, {".started", "_started", ".resumed", "_resumed", ".retrying", "_retrying"}))
        return RunStatus::running;
    if (ends_with_any(t, {".waiting", "_waiting", ".raised", "_raised"}))
        return RunStatus::waiting;
    return std::nullopt;
}

bool is_stream_delta(std::string_view t) { return t.find("stream.delta") != std::string_view::npos; }

bool is_action_type(std::string_view t) {
    size_t last = t.rfind('.');
    if (last == std::string_view::npos)
        return false;
    std::string_view head = t.substr(0, last);
    size_t start = 0;
    while (start <= head.size()) {
        size_t dot = head.find('.', start);
        std::string_view seg = head.substr(start, dot == std::string_view::npos ? head.npos : dot - start);
        if (seg == "action" || seg == "tool" || seg == "tool_call")
            return true;
        if (dot == std::string_view::npos)
            break;
        start = dot + 1;
    }
    return false;
}

RunRole role_of(std::string_view run_kind, bool has_agent_name) {
    std::string k = lower(run_kind);
    if (k.find("tool") != std::string::npos || k == "action" || ends_with(k, ".action") ||
        ends_with(k, "_action"))
        return RunRole::tool;
    if (k.rfind("agent", 0) == 0 || has_agent_name)
        return RunRole::agent;
    return RunRole::other;
}

// --- per-run state ---------------------------------------------------------------------------

struct RunSpans::Tool {
    SpanId span_id{};
    Text name, call_id;
    uint64_t start_ns = 0;
    std::deque<SpanEvent> events;
    uint32_t dropped = 0;
};

struct RunSpans::Open {
    std::string run_id;
    TraceId trace{};
    SpanId span{};
    SpanId parent{};
    bool has_parent = false;
    bool local_parent = false;  // no parent, or one this process holds
    uint32_t segment = 0;  // 0: the run's first span; n: its n-th continuation
    std::string root_text;
    Text parent_run_id;
    std::string run_kind;
    RunRole role = RunRole::other;
    Text agent_id, agent_name, session_id, response_id, execution_id;
    Text flow_name, tool_name, tool_call_id, provider, model;
    Text app_id, group_id, environment;
    int64_t started_at = 0, updated_at = 0;
    std::optional<int64_t> completed_at, failed_at;
    RunStatus status = RunStatus::unknown;
    int64_t event_count = 0, delta_count = 0;
    std::deque<SpanEvent> events;
    uint32_t dropped = 0;
    std::vector<Tool> tools;
    uint64_t tool_seq = 0;
    Text error_type, error_message;
    std::list<Open *>::iterator activity;
};

struct RunSpans::Ended {
    TraceId trace{};
    Text parent_run_id;
    bool terminal = true;     // false for a run pushed out by the open-run limit
    int64_t terminal_ms = 0;  // when it ended, as its descendants' orphan rule reads it
    uint32_t segments = 1;    // spans sent for it so far
};

struct RunSpans::Verdict {
    bool terminal = false;
    std::optional<int64_t> end;  // the end time its descendants see
    resolution::Reason reason = resolution::Reason::none;
    bool fired = false;  // judged stale or orphaned in this pass
};

IdWindow::IdWindow(size_t capacity) : capacity_(capacity) {
    size_t n = 16;
    while (n < 2 * capacity)
        n <<= 1;
    table_.assign(capacity ? n : 0, 0);
    mask_ = capacity ? n - 1 : 0;
}

bool IdWindow::insert(uint64_t h) {
    if (capacity_ == 0)
        return true;
    if (h == 0)
        h = 1;
    size_t i = home(h);
    while (table_[i] != 0) {
        if (table_[i] == h)
            return false;
        i = (i + 1) & mask_;
    }
    table_[i] = h;
    order_.push_back(h);
    if (order_.size() > capacity_) {
        erase(order_.front());
        order_.pop_front();
    }
    return true;
}

void IdWindow::erase(uint64_t h) {
    size_t i = home(h);
    while (table_[i] != h) {
        if (table_[i] == 0)
            return;
        i = (i + 1) & mask_;
    }
    table_[i] = 0;
    // Backward shift: move later entries of the probe run into the hole where their home allows.
    for (size_t j = (i + 1) & mask_; table_[j] != 0; j = (j + 1) & mask_) {
        size_t k = home(table_[j]);
        bool stays = i <= j ? (i < k && k <= j) : (i < k || k <= j);
        if (!stays) {
            table_[i] = table_[j];
            table_[j] = 0;
            i = j;
        }
    }
}

void IdWindow::clear() {
    std::fill(table_.begin(), table_.end(), 0);
    order_.clear();
}

RunSpans::RunSpans(TrackerOptions options) : options_(std::move(options)), seen_(options_.dedup_window) {}
RunSpans::~RunSpans() = default;

bool RunSpans::wants_details(std::string_view event_type) const {
    return options_.export_stream_deltas || !is_stream_delta(event_type);
}

void RunSpans::clip(std::string &text) {
    size_t max = options_.max_attribute_length;
    if (max == 0 || text.size() <= max)
        return;
    size_t cut = max;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
        --cut;  // never split a UTF-8 sequence
    text.resize(cut);
    counts_.truncated_attributes += 1;
}

RunSpans::Open &RunSpans::open_for(EventFacts &event, std::vector<Span> &finished) {
    RunFacts &r = event.run;
    auto found = open_.find(r.run_id);
    if (found != open_.end()) {
        Open &run = *found->second;
        by_activity_.splice(by_activity_.end(), by_activity_, run.activity);
        return run;
    }
    if (options_.max_open_runs > 0 && open_.size() >= options_.max_open_runs && !by_activity_.empty()) {
        Open &oldest = *by_activity_.front();
        counts_.evicted_runs += 1;
        finish(oldest, std::max(oldest.updated_at, oldest.started_at), "incomplete", finished);
    }
    auto fresh = std::make_unique<Open>();
    Open &run = *fresh;
    run.run_id = r.run_id;
    run.root_text = r.root_run_id ? *r.root_run_id : r.run_id;
    run.parent_run_id = r.parent_run_id;
    run.run_kind = r.run_kind;
    run.role = role_of(r.run_kind, r.agent_name.has_value());
    run.started_at = event.timestamp_ms;
    auto ended = ended_.find(r.run_id);
    if (ended != ended_.end()) {
        // Events after the run's span left: a continuation span, child of the first one.
        run.segment = ended->second.segments;
        run.trace = ended->second.trace;
        run.span = part_span_id_for(r.run_id, "segment", std::to_string(run.segment));
        run.parent = span_id_for(r.run_id);
        run.has_parent = true;
        counts_.continued_runs += 1;
    } else {
        run.span = span_id_for(r.run_id);
        if (r.parent_run_id) {
            run.parent = span_id_for(*r.parent_run_id);
            run.has_parent = true;
        }
        if (r.root_run_id) {
            run.trace = trace_id_for(*r.root_run_id);
        } else if (r.parent_run_id) {
            // No root given: the parent's trace when this process knows it, else the parent
            // taken as the root (right for every two-level tree, in any process).
            auto p = open_.find(*r.parent_run_id);
            auto e = ended_.find(*r.parent_run_id);
            if (p != open_.end())
                run.trace = p->second->trace;
            else if (e != ended_.end())
                run.trace = e->second.trace;
            else
                run.trace = trace_id_for(*r.parent_run_id);
        } else {
            run.trace = trace_id_for(r.run_id);
        }
    }
    if (!run.has_parent || run.segment || open_.count(*r.parent_run_id) || ended_.count(*r.parent_run_id))
        run.local_parent = true;
    counts_.runs_started += 1;
    run.activity = by_activity_.insert(by_activity_.end(), &run);
    Open *ptr = fresh.get();
    open_.emplace(r.run_id, std::move(fresh));
    return *ptr;
}

void RunSpans::add_event(std::deque<SpanEvent> &events, uint32_t &dropped, SpanEvent &&ev) {
    size_t max = options_.max_events_per_span;
    if (max == 0) {
        dropped += 1;
        counts_.dropped_span_events += 1;
        return;
    }
    if (events.size() >= max) {
        events.pop_front();  // the oldest goes, as span event limits do
        dropped += 1;
        counts_.dropped_span_events += 1;
    }
    events.push_back(std::move(ev));
}

SpanEvent RunSpans::span_event(EventFacts &e) {
    SpanEvent ev;
    ev.time_ns = ms_to_ns(e.timestamp_ms);
    ev.name = e.event_type;
    auto add = [&](const char *key, Text &value) {
        if (!value)
            return;
        clip(*value);
        add_str(ev.attributes, key, std::move(*value));
    };
    add_str(ev.attributes, "orvane.event.id", std::move(e.event_id));
    add("orvane.event.source", e.source);
    add("orvane.event.level", e.level);
    add("orvane.event.message", e.message);
    add("orvane.event.payload", e.payload_json);
    add("orvane.event.error", e.error_json);
    return ev;
}

void RunSpans::absorb(EventFacts &&event, std::vector<Span> &finished) {
    if (!event.event_id.empty()) {
        // The same event twice (a retrying transport) would add a span event twice, or
        // continue a run that already ended.
        if (!seen_.insert(std::hash<std::string_view>{}(event.event_id))) {
            counts_.duplicate_events += 1;
            return;
        }
    }
    if (!event.has_run) {
        counts_.unattached_events += 1;
        return;
    }
    Open &run = open_for(event, finished);
    RunFacts &r = event.run;
    refresh(run.agent_id, r.agent_id);
    refresh(run.agent_name, r.agent_name);
    refresh(run.session_id, r.session_id);
    refresh(run.response_id, r.response_id);
    refresh(run.execution_id, r.execution_id);
    refresh(run.flow_name, r.flow_name);
    refresh(run.provider, r.provider);
    refresh(run.model, r.model);
    refresh(run.app_id, event.app_id);
    refresh(run.group_id, event.group_id);
    refresh(run.environment, event.environment);
    if (run.role == RunRole::tool) {
        if (!run.tool_name)
            run.tool_name = r.tool_name ? r.tool_name : event.tool_name;
        if (!run.tool_call_id)
            run.tool_call_id = event.tool_call_id;
    }
    run.event_count += 1;
    run.updated_at = event.timestamp_ms;

    std::optional<RunStatus> status = run_status_of(event.event_type);
    if (status) {
        run.status = *status;
        if (*status == RunStatus::completed)
            run.completed_at = event.timestamp_ms;
        else if (*status == RunStatus::failed)
            run.failed_at = event.timestamp_ms;
    }
    if (is_stream_delta(event.event_type) && !options_.export_stream_deltas) {
        run.delta_count += 1;
        return;
    }
    bool action = run.role != RunRole::tool && is_action_type(event.event_type);
    if (action && (event.tool_name || event.tool_call_id)) {
        absorb_action(run, event, status, finished);
        return;
    }
    bool ends = !action && status && (*status == RunStatus::completed || *status == RunStatus::failed);
    if (ends && *status == RunStatus::failed) {
        run.error_type = event.error_type ? event.error_type : Text("_OTHER");
        run.error_message = event.error_message ? event.error_message : event.message;
    }
    int64_t ts = event.timestamp_ms;
    add_event(run.events, run.dropped, span_event(event));
    if (ends)
        finish(run, ts, "", finished);
}

void RunSpans::absorb_action(Open &run, EventFacts &event, std::optional<RunStatus> status,
                             std::vector<Span> &finished) {
    auto match = [&]() -> Tool * {
        for (Tool &t : run.tools)
            if (event.tool_call_id ? t.call_id == event.tool_call_id : t.name == event.tool_name)
                return &t;
        return nullptr;
    };
    uint64_t ts = ms_to_ns(event.timestamp_ms);
    bool ends = status && (*status == RunStatus::completed || *status == RunStatus::failed);
    Tool *tool = nullptr;
    if (status && *status == RunStatus::running) {
        run.tool_seq += 1;
        std::string key = event.tool_call_id ? *event.tool_call_id : "#" + std::to_string(run.tool_seq);
        run.tools.push_back(Tool{part_span_id_for(run.run_id, "tool", key), event.tool_name,
                                 event.tool_call_id, ts, {}, 0});
        tool = &run.tools.back();
    } else {
        tool = match();
        if (tool == nullptr && ends) {
            // An end without its start: a tool span of no length.
            run.tool_seq += 1;
            std::string key = event.tool_call_id ? *event.tool_call_id : "#" + std::to_string(run.tool_seq);
            run.tools.push_back(Tool{part_span_id_for(run.run_id, "tool", key), event.tool_name,
                                     event.tool_call_id, ts, {}, 0});
            tool = &run.tools.back();
        }
        if (tool == nullptr) {
            add_event(run.events, run.dropped, span_event(event));
            return;
        }
        if (!tool->name && event.tool_name)
            tool->name = event.tool_name;
    }
    bool failed = ends && *status == RunStatus::failed;
    Text error_type = failed ? (event.error_type ? event.error_type : Text("_OTHER")) : Text();
    std::string message = failed ? (event.error_message   ? *event.error_message
                                    : event.message ? *event.message
                                                    : std::string())
                                 : std::string();
    add_event(tool->events, tool->dropped, span_event(event));
    if (ends) {
        finished.push_back(tool_span(run, *tool, ts, failed ? StatusCode::error : StatusCode::unset,
                                     std::move(message), std::move(error_type)));
        run.tools.erase(run.tools.begin() + (tool - run.tools.data()));
    }
}

Span RunSpans::tool_span(Open &run, Tool &tool, uint64_t end_ns, StatusCode code,
                         std::string message, Text error_type) {
    Span s;
    s.trace_id = run.trace;
    s.span_id = tool.span_id;
    s.parent_span_id = run.span;
    s.has_parent = true;
    s.flags = kSampledFlag | kHasIsRemoteFlag;
    s.name = tool.name ? "execute_tool " + *tool.name : "execute_tool";
    s.start_ns = tool.start_ns;
    s.end_ns = std::max(end_ns, tool.start_ns);
    add_str(s.attributes, "gen_ai.operation.name", "execute_tool");
    if (tool.name)
        add_str(s.attributes, "gen_ai.tool.name", *tool.name);
    if (tool.call_id)
        add_str(s.attributes, "gen_ai.tool.call.id", *tool.call_id);
    if (run.session_id)
        add_str(s.attributes, "gen_ai.conversation.id", *run.session_id);
    if (error_type)
        add_str(s.attributes, "error.type", *error_type);
    add_str(s.attributes, "orvane.run.id", run.run_id);
    s.events.assign(std::make_move_iterator(tool.events.begin()), std::make_move_iterator(tool.events.end()));
    s.dropped_events = tool.dropped;
    s.status = code;
    s.status_message = std::move(message);
    s.service_name = run.app_id ? *run.app_id : options_.service_name;
    s.environment = run.environment ? *run.environment : options_.environment;
    counts_.spans_finished += 1;
    return s;
}

void RunSpans::finish(Open &run, int64_t end_ms, std::string_view reason, std::vector<Span> &finished) {
    uint64_t end_ns = std::max(ms_to_ns(end_ms), ms_to_ns(run.started_at));
    bool judged = !reason.empty();
    for (Tool &tool : run.tools)
        finished.push_back(tool_span(run, tool, end_ns, StatusCode::error, "incomplete", Text()));
    run.tools.clear();

    Span s;
    s.trace_id = run.trace;
    s.span_id = run.span;
    s.parent_span_id = run.parent;
    s.has_parent = run.has_parent;
    s.flags = kSampledFlag | (run.local_parent ? kHasIsRemoteFlag : 0);
    s.start_ns = ms_to_ns(run.started_at);
    s.end_ns = end_ns;
    Attributes &a = s.attributes;
    switch (run.role) {
    case RunRole::agent:
        s.name = run.agent_name ? "invoke_agent " + *run.agent_name : "invoke_agent";
        add_str(a, "gen_ai.operation.name", "invoke_agent");
        if (run.agent_name)
            add_str(a, "gen_ai.agent.name", *run.agent_name);
        if (run.agent_id)
            add_str(a, "gen_ai.agent.id", *run.agent_id);
        break;
    case RunRole::tool:
        s.name = run.tool_name ? "execute_tool " + *run.tool_name : "execute_tool";
        add_str(a, "gen_ai.operation.name", "execute_tool");
        if (run.tool_name)
            add_str(a, "gen_ai.tool.name", *run.tool_name);
        if (run.tool_call_id)
            add_str(a, "gen_ai.tool.call.id", *run.tool_call_id);
        break;
    case RunRole::other:
        s.name = run.run_kind.empty() ? "run" : run.run_kind;
        break;
    }
    if (run.session_id)
        add_str(a, "gen_ai.conversation.id", *run.session_id);
    if (run.provider)
        add_str(a, "gen_ai.provider.name", *run.provider);
    if (run.model)
        add_str(a, "gen_ai.request.model", *run.model);

    std::string status_text;
    bool stale = reason == resolution::reason_text(resolution::Reason::stale_timeout) ||
                 reason == resolution::reason_text(resolution::Reason::orphaned_after_ancestor_terminal);
    if (judged) {
        s.status = StatusCode::error;
        s.status_message = std::string(reason);
        add_str(a, "error.type", std::string(reason));
        status_text = stale ? "failed" : "incomplete";
    } else if (run.status == RunStatus::failed) {
        s.status = StatusCode::error;
        s.status_message = run.error_message ? *run.error_message : std::string();
        add_str(a, "error.type", run.error_type ? *run.error_type : "_OTHER");
        status_text = "failed";
    } else {
        status_text = "completed";
    }
    clip(s.status_message);

    add_str(a, "orvane.run.id", run.run_id);
    add_str(a, "orvane.run.root_id", run.root_text);
    if (run.parent_run_id)
        add_str(a, "orvane.run.parent_id", *run.parent_run_id);
    add_str(a, "orvane.run.kind", run.run_kind);
    if (run.response_id)
        add_str(a, "orvane.run.response_id", *run.response_id);
    if (run.execution_id)
        add_str(a, "orvane.run.execution_id", *run.execution_id);
    Text group = run.group_id ? run.group_id : options_.group_id;
    if (group)
        add_str(a, "orvane.group.id", *group);
    if (run.flow_name)
        add_str(a, "orvane.flow.name", *run.flow_name);
    add_str(a, "orvane.run.status", status_text);
    if (stale)
        add_str(a, "orvane.run.stale_reason", std::string(reason));
    add_int(a, "orvane.run.event_count", run.event_count);
    if (run.delta_count)
        add_int(a, "orvane.run.stream_delta_count", run.delta_count);
    if (run.segment)
        add_int(a, "orvane.run.segment", run.segment);
    for (Attribute &attr : a)
        if (attr.value.kind == Value::Kind::string)
            clip(attr.value.s);

    s.events.assign(std::make_move_iterator(run.events.begin()), std::make_move_iterator(run.events.end()));
    s.dropped_events = run.dropped;
    s.service_name = run.app_id ? *run.app_id : options_.service_name;
    s.environment = run.environment ? *run.environment : options_.environment;
    counts_.spans_finished += 1;
    finished.push_back(std::move(s));

    // What descendants read as this run's end (the orphan rule).
    int64_t terminal_ms;
    if (reason == "orphaned_after_ancestor_terminal" || reason == "stale_timeout" || reason == "incomplete")
        terminal_ms = end_ms;
    else if (auto t = truthy(run.failed_at))
        terminal_ms = *t;
    else if (auto c = truthy(run.completed_at))
        terminal_ms = *c;
    else if (run.updated_at)
        terminal_ms = run.updated_at;
    else
        terminal_ms = run.started_at;
    remember_ended(run, terminal_ms);
    if (reason == "incomplete") {
        auto e = ended_.find(run.run_id);
        if (e != ended_.end())
            e->second.terminal = false;
    }
    forget(run);
}

void RunSpans::remember_ended(const Open &run, int64_t terminal_ms) {
    auto [it, fresh] = ended_.try_emplace(run.run_id);
    Ended &e = it->second;
    if (fresh) {
        e.trace = run.trace;
        e.segments = run.segment + 1;
        ended_order_.push_back(run.run_id);
    } else {
        e.segments = std::max(e.segments, run.segment + 1);
    }
    e.parent_run_id = run.parent_run_id;
    e.terminal = true;
    e.terminal_ms = terminal_ms;
    while (options_.max_ended_runs > 0 && ended_.size() > options_.max_ended_runs && !ended_order_.empty()) {
        ended_.erase(ended_order_.front());
        ended_order_.pop_front();
    }
}

void RunSpans::forget(Open &run) {
    by_activity_.erase(run.activity);
    open_.erase(run.run_id);  // destroys `run`
}

// The facade's judgement of one run (stale, then orphaned), over the runs this exporter holds:
// open runs are judged, runs already sent count as ended at the time they ended, a run this
// process never saw ends the walk (no verdict), exactly as an ancestor the store lacks does.
RunSpans::Verdict RunSpans::resolve(const std::string &run_id, int64_t now_ms,
                                    std::unordered_map<std::string, Verdict> &cache,
                                    std::unordered_set<std::string> &resolving) {
    auto cached = cache.find(run_id);
    if (cached != cache.end())
        return cached->second;
    Verdict v;
    auto open = open_.find(run_id);
    if (open == open_.end()) {
        auto ended = ended_.find(run_id);
        if (ended != ended_.end()) {
            v.terminal = ended->second.terminal;
            v.end = ended->second.terminal_ms;
        }
        cache.emplace(run_id, v);
        return v;
    }
    if (resolving.count(run_id))
        return v;  // a loop of parent links: no verdict
    resolving.insert(run_id);
    Open &run = *open->second;
    resolution::Thresholds t{options_.stale_ms, options_.orphan_ms};
    int64_t anchor = run.updated_at ? run.updated_at : run.started_at;
    if (run.status == RunStatus::completed || run.status == RunStatus::failed) {
        v.terminal = true;
        if (auto f = truthy(run.failed_at))
            v.end = f;
        else if (auto c = truthy(run.completed_at))
            v.end = c;
        else
            v.end = anchor;
    } else if (run.status != RunStatus::waiting) {
        if (resolution::stale_fires(now_ms, anchor, t)) {
            v = Verdict{true, truthy(run.failed_at) ? run.failed_at : now_ms,
                        resolution::Reason::stale_timeout, true};
        } else if (resolution::orphan_rule_on(t)) {
            std::optional<int64_t> ancestor_end;
            Text parent = run.parent_run_id;
            std::unordered_set<std::string> walked;
            while (parent && walked.insert(*parent).second) {
                if (resolving.count(*parent))
                    break;
                bool known = open_.count(*parent) || ended_.count(*parent);
                if (!known)
                    break;
                Verdict pv = resolve(*parent, now_ms, cache, resolving);
                if (pv.terminal) {
                    ancestor_end = pv.end;
                    break;
                }
                auto po = open_.find(*parent);
                if (po != open_.end()) {
                    parent = po->second->parent_run_id;
                } else {
                    auto pe = ended_.find(*parent);
                    parent = pe != ended_.end() ? pe->second.parent_run_id : Text();
                }
            }
            if (resolution::orphan_fires(now_ms, anchor, ancestor_end, t))
                v = Verdict{true, ancestor_end, resolution::Reason::orphaned_after_ancestor_terminal, true};
        }
    }
    resolving.erase(run_id);
    cache.emplace(run_id, v);
    return v;
}

void RunSpans::judge(int64_t now_ms, std::vector<Span> &finished) {
    if (open_.empty() || (options_.stale_ms <= 0 && options_.orphan_ms <= 0))
        return;
    std::unordered_map<std::string, Verdict> cache;
    std::unordered_set<std::string> resolving;
    std::vector<std::pair<std::string, Verdict>> fired;
    for (auto &[id, run] : open_) {
        Verdict v = resolve(id, now_ms, cache, resolving);
        if (v.fired)
            fired.emplace_back(id, v);
    }
    for (auto &[id, v] : fired) {
        auto it = open_.find(id);
        if (it == open_.end())
            continue;
        Open &run = *it->second;
        if (v.reason == resolution::Reason::stale_timeout)
            counts_.stale_runs += 1;
        else
            counts_.orphaned_runs += 1;
        // The facade reports such a run failed at the detection time; descendants of an
        // orphan read its ancestor's end.
        std::string reason = resolution::reason_text(v.reason);
        finish(run, now_ms, reason, finished);
        auto e = ended_.find(id);
        if (e != ended_.end() && v.end)
            e->second.terminal_ms = *v.end;
    }
}

void RunSpans::finish_all(int64_t now_ms, std::vector<Span> &finished) {
    while (!by_activity_.empty()) {
        counts_.incomplete_runs += 1;
        finish(*by_activity_.front(), now_ms, "incomplete", finished);
    }
}

void RunSpans::adopt(RunSpans &other) {
    for (auto &[id, run] : other.open_) {
        if (open_.count(id))
            continue;  // this tracker already holds the run (it cannot, in practice)
        Open *ptr = run.get();
        ptr->activity = by_activity_.insert(by_activity_.end(), ptr);
        open_.emplace(id, std::move(run));
    }
    for (auto &[id, e] : other.ended_)
        if (ended_.try_emplace(id, e).second)
            ended_order_.push_back(id);
    other.seen_.for_each([this](uint64_t h) { seen_.insert(h); });
    other.clear();
}

void RunSpans::clear() {
    seen_.clear();
    by_activity_.clear();
    open_.clear();
    ended_.clear();
    ended_order_.clear();
}

}  // namespace orvane::otlp
