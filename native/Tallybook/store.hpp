// The in-memory run store: held events (compact encoding, bounded rings), one live run record per
// run, parent -> children links, an append-only search text per run, and at most `max_runs` runs.
//
// Threading: every member runs with the GIL held, one call at a time. Python code that runs from
// inside a call (str() of a value, a custom __deepcopy__ or __eq__) may query the store but not
// change it (Busy).
//
// Search texts are built lazily: an append only keeps the event; a run's text is brought up to
// date when a search needs it (or when one of its events not yet in the text is about to leave
// the run's ring), by replaying the run's pending events from the record values they started
// from. Runs whose ring overflowed once, rings of capacity 0, and stores whose records Python code
// holds (see `_runs`) write each event's text as it is appended.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "codec.hpp"
#include "orvane/run_filters.hpp"
#include "record.hpp"
#include "ring.hpp"
#include "runtext.hpp"

namespace tally {

namespace nb = nanobind;

// The searched record values a run's oldest pending event started from.
struct Snapshot {
    std::array<PyObject *, kSearchedRecordCount> v = {};  // strong
    Snapshot() = default;
    Snapshot(const Snapshot &) = delete;
    Snapshot &operator=(const Snapshot &) = delete;
    ~Snapshot() {
        for (PyObject *&o : v)
            Py_CLEAR(o);
    }
};

struct RunState {
    PyObject *run_id;       // strong: the key
    Py_hash_t hash;         // of run_id
    RunState *prev = nullptr, *next = nullptr;  // creation order
    uint64_t created;       // creation number (orders the finished runs)
    uint64_t newest_seq = 0;  // number of the run's newest event (0: none)
    Ring<HeldRef> ring;
    NativeRecord rec;       // the live record while records are kept natively
    RunStatus status = RunStatus::Unknown;  // as the store last set it
    bool listed_finished = false;
    bool eager = false;           // writes each event's text as it is appended
    bool indexing = false;        // its text is being brought up to date
    bool fields_in_text = false;  // the record's current field texts are all in the text
    uint32_t pending = 0;         // newest events of the ring whose text is not written yet
    std::unique_ptr<Snapshot> snap;  // what the oldest pending event started from (null: a new record)
    std::unique_ptr<RunText> text;   // null: nothing written yet
    std::unique_ptr<PieceMemos> memos;  // kept by eager runs

    RunState(PyObject *id, Py_hash_t h, uint64_t n, size_t cap) : run_id(Py_NewRef(id)), hash(h), created(n), ring(cap) {}
    RunState(const RunState &) = delete;
    RunState &operator=(const RunState &) = delete;
    ~RunState() { Py_XDECREF(run_id); }
};

// run id -> RunState (open addressing, the keys compared as a dict compares them).
class RunTable {
public:
    RunState *find(PyObject *key, Py_hash_t hash) const;  // may run Python code (__eq__ of a key)
    void reserve(size_t n);                               // so that inserts up to n do not allocate
    void insert(RunState *st);                            // no Python code
    void erase(RunState *st);                             // no Python code
    void clear() { std::vector<RunState *>(16, nullptr).swap(slots_), size_ = 0; }
    size_t size() const { return size_; }
    size_t bytes() const { return slots_.capacity() * sizeof(RunState *); }

private:
    std::vector<RunState *> slots_ = std::vector<RunState *>(16, nullptr);
    size_t size_ = 0;
};

// `_matches_regex`: `pattern` searched in `value` with the module's `re` (compiled once per pattern).
bool matches_regex(nb::handle value, nb::handle pattern);

// References released once the store is consistent again (releasing one may run Python code).
class Graveyard {
public:
    Graveyard() = default;
    Graveyard(const Graveyard &) = delete;
    Graveyard &operator=(const Graveyard &) = delete;
    ~Graveyard() { release(); }
    void add(PyObject *o) {
        if (o == nullptr)
            return;
        if (n_ < kInline)
            inline_[n_++] = o;
        else
            objs_.push_back(o);
    }
    void add(HeldRef h) {
        if (h)
            held_.push_back(std::move(h));
    }
    void add(std::unique_ptr<RunState> st) { states_.push_back(std::move(st)); }
    void release();

private:
    static constexpr size_t kInline = 32;
    PyObject *inline_[kInline];
    size_t n_ = 0;
    std::vector<PyObject *> objs_;
    std::vector<HeldRef> held_;
    std::vector<std::unique_ptr<RunState>> states_;
};

// Run meta mappings of equal contents, kept once: records kept natively never change a meta
// mapping in place (a change makes a new one), so runs with equal meta can share one. Only
// mappings of str keys and immutable scalar values, compared entry by entry in order.
class MetaPool {
public:
    MetaPool() : slots_(kSlots, nullptr) {}
    MetaPool(const MetaPool &) = delete;
    MetaPool &operator=(const MetaPool &) = delete;
    ~MetaPool() { clear(); }
    // An equal mapping kept before, or `meta` itself (then kept for the next one).
    nb::object share(nb::object meta);
    void clear() {
        for (PyObject *&d : slots_)
            Py_CLEAR(d);
    }

private:
    static constexpr size_t kSlots = 1024;
    std::vector<PyObject *> slots_;  // strong
};

struct EventParts;
struct RecordPlan;

class Store {
public:
    Store(int64_t max_events, int64_t max_runs);
    ~Store();

    int64_t max_events() const { return max_events_; }
    void set_max_events(int64_t v);
    int64_t max_runs() const { return max_runs_; }
    void set_max_runs(int64_t v);
    uint64_t evicted_run_count() const { return evicted_; }
    size_t run_count() const { return run_count_; }

    void reset();
    void append_event(PyObject *event);
    // Inserts (or replaces) the record of a run as if this store had derived it: a copy of
    // `record` becomes the run's live record, linked under its parent; `search_text` (the run's
    // accumulated search text as `_search_cache_by_run` gave it, or None) becomes the run's text.
    void adopt_run(nb::handle record, nb::handle search_text);
    // Derives the event's run record as append_event does, from the fields derivation reads (an
    // event with a run context): the event is not kept and the run's search text is not written,
    // so the store answers record look-ups for such runs, not event or text queries. Returns the
    // run's status after the event. (derive_only.cpp; other modules reach it through the C
    // interface, fast_api.hpp)
    nb::object derive_record(nb::handle event_type, nb::handle timestamp, nb::handle source, nb::handle message,
                             nb::handle meta, nb::handle run);

    // The filters checked (orvane::run_filters::check).
    nb::list list_runs(const orvane::run_filters::Values &f);
    nb::object get_run(nb::handle run_id);
    nb::list get_run_children(nb::handle run_id);
    nb::list collect_descendant_run_ids(nb::handle run_id);
    nb::list get_run_events(nb::handle run_id, std::optional<int64_t> limit, bool include_descendants);
    nb::list get_recent_events(std::optional<int64_t> limit);
    nb::object get_event(nb::handle event_id);

    // needle: already stripped and case-folded.
    bool record_matches_needle(nb::handle record, const std::string &needle);
    bool record_matches_time_window(nb::handle record, std::optional<int64_t> since, std::optional<int64_t> until);

    // Python-visible state.
    nb::object runs();  // the live records: from the first call on, records live in this mapping
    nb::dict children_by_parent() const { return children_; }
    nb::dict events_by_run_view() const;
    nb::object recent_events_view() const;
    nb::dict search_cache_view();

    // For the facade's event queries (see fast_api.hpp).
    std::vector<HeldRef> recent_refs() const;
    nb::object decode_held(const Held &h) const;
    // 1/0: whether the needle occurs in one of the event's own field texts; -1: not known here.
    int event_fields_contain(Held &h, std::string_view needle);

    // Garbage collector support: a held value may refer back to the store.
    int traverse(visitproc visit, void *arg) const;
    void clear();

    // Marks a call in progress. Python code run from inside a call (str() of a value, a custom
    // __deepcopy__ or __eq__) may query the store, but not change it: that would pull the state
    // from under the running call.
    class Busy {
    public:
        Busy(const Store &s, bool mutating);
        ~Busy() { --s_.busy_; }
        Busy(const Busy &) = delete;
        Busy &operator=(const Busy &) = delete;

    private:
        const Store &s_;
    };

private:
    mutable int busy_ = 0;
    mutable uint32_t gc_epoch_ = 0;
    int64_t max_events_;
    int64_t max_runs_;
    uint64_t seq_ = 0;      // events appended so far (each event's number)
    uint64_t created_ = 0;  // runs created so far
    uint64_t evicted_ = 0;
    size_t run_count_ = 0;
    RunTable table_;
    RunState *oldest_ = nullptr, *newest_ = nullptr;  // creation order
    std::set<std::pair<uint64_t, RunState *>> finished_;  // finished runs by creation number
    nb::dict children_;  // parent run id -> set of child run ids
    nb::object live_;    // the RunRecord mapping handed to Python (`_runs`), once asked for
    Ring<HeldRef> recent_;
    Codec codec_;
    MetaPool metas_;

    bool records_in_python() const { return live_.is_valid(); }
    RunState *state_for(nb::handle run_id) const;
    RunState *make_state(PyObject *run_id, Py_hash_t hash);
    void link_state(RunState *st);
    void drop_state(RunState *st, Graveyard &dead);
    void drop_runs_and_events(Graveyard &dead);
    void note_status(RunState *st, RunStatus status);
    void evict_beyond_max_runs(RunState *keep, Graveyard &dead);
    nb::object record_object(RunState *st) const;  // the live record (python mode) or null
    nb::object record_value(RunState *st, Field f) const;
    std::array<nb::object, kSearchedRecordCount> searched_values(RunState *st) const;
    template <typename Value>
    bool window_matches(RunState *st, const Value &value, std::optional<int64_t> since, std::optional<int64_t> until) const;
    nb::object copy_of_record(RunState *st) const;

    // The steps of append_event.
    HeldRef encode_held_event(const EventParts &ev, RunState *st);
    RecordPlan plan_record(const EventParts &ev, RunState *st);
    RunState *commit_record(RecordPlan &plan, RunState *st, std::unique_ptr<RunState> &made, Graveyard &dead);
    void extend_search_text(RunState *st, const EventParts *live);

    // Lazy search texts.
    void bring_text_up_to_date(RunState *st, const EventParts *live = nullptr);
    bool run_text_contains(RunState *st, const std::string &needle);
    bool needle_in_record(RunState *st, nb::handle record, const std::string &needle);
    void switch_records_to_python();

    nb::object deque_of(const Ring<HeldRef> &ring) const;
};

// Publishes the module's `_fast_api` capsule (fast_api.hpp) for the store class `store_type`.
void publish_fast_api(nb::module_ &m, nb::handle store_type);

}  // namespace tally
