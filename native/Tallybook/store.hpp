// The in-memory run store: held events (compact encoding, bounded rings), one live RunRecord per
// run, parent -> children links and an append-only search text per run.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <array>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "codec.hpp"
#include "memo.hpp"
#include "ring.hpp"
#include "textsearch.hpp"

namespace tally {

namespace nb = nanobind;

// Module-level objects made at import (leaked on purpose: they must outlive every store).
struct Globals {
    PyObject *run_record = nullptr;  // the RunRecord class
    PyObject *status[5] = {};        // "unknown", "running", "waiting", "completed", "failed"
};
Globals &globals();
void init_globals(PyObject *run_record_cls);

// What a run remembers of its record's set of set fields (pydantic's __pydantic_fields_set__):
// the set object, its size after the last event, and names known to be in it. When the set is
// another object or its size changed, the memory is dropped.
struct FieldsSetCache {
    static constexpr int kMax = 24;
    nb::object set;
    Py_ssize_t size = -1;
    PyObject *names[kMax];  // interned field names (immortal for the module's life)
    int count = 0;
};

struct RunState {
    nb::object run_id;
    Ring<HeldRef> ring;
    std::string search;  // accumulated normalised search text (UTF-8), always stripped
    TrigramFilter grams;  // every byte trigram of `search` (a superset test before scanning)
    // The text each of the 22 search values had in the last event, by the objects it was made of.
    std::array<TextMemo, 22> memo;
    // The slot of the piece before each slot's piece in the last event (-1: first, -2: none).
    std::array<int8_t, 22> pred_slot;
    FieldsSetCache fields_set_known;
    SharedPartMemo run_part;
    // The record as the last event left it: its __dict__ and meta dict and their versions. While
    // both are unchanged, each of the record's searched fields still has the remembered text.
    nb::object seen_dict, seen_meta;
    uint64_t seen_dict_version = 0, seen_meta_version = 0;
    explicit RunState(nb::object id, size_t cap) : run_id(std::move(id)), ring(cap) { pred_slot.fill(-2); }

    struct Piece {
        unsigned slot;
        size_t begin, end;
        bool repeated;  // the same text as the slot's last one
        bool copy;      // the same text as an earlier piece of this event
    };
    // Indexes the text appended at `start` (after stripping; `lead` bytes were stripped in front).
    void index_appended(size_t start, const Piece *pieces, size_t count, size_t lead);
};

// `_matches_regex`: `pattern` searched in `value` with the module's `re` (compiled once per pattern).
bool matches_regex(nb::handle value, nb::handle pattern);
// A search argument as a needle: stripped (str.strip) and case-folded.
std::string normalize_needle(nb::handle search);

// Python's `status` of an event (`_infer_run_status`): a borrowed status string or nullptr.
PyObject *infer_run_status(PyObject *event);
PyObject *status_of_event_type(nb::handle event_type);

class Store {
public:
    explicit Store(int64_t max_events);

    int64_t max_events() const { return max_events_; }
    void set_max_events(int64_t v);

    void reset();
    void append_event(PyObject *event);
    // Inserts (or replaces) the record of a run as if this store had derived it: a copy of
    // `record` becomes the run's live record, linked under its parent; `search_text` (the run's
    // accumulated search text as `_search_cache_by_run` gave it, or None) becomes the run's text.
    void adopt_run(nb::handle record, nb::handle search_text);

    nb::list list_runs(nb::handle run_id, nb::handle root_run_id, nb::handle parent_run_id, nb::handle run_kind,
                       nb::handle status, nb::handle agent_id, nb::handle session_id, nb::handle app_id,
                       nb::handle app_id_pattern, nb::handle group_id, nb::handle flow_name, nb::handle search,
                       std::optional<int64_t> since, std::optional<int64_t> until, std::optional<int64_t> limit);
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
    nb::dict runs() const { return runs_; }
    nb::dict children_by_parent() const { return children_; }
    nb::dict events_by_run_view() const;
    nb::object recent_events_view() const;
    nb::dict search_cache_view() const;


    RunState *state_for(nb::handle run_id) const;

    // For the facade's event queries (see fast_api.hpp): the recent events, a decoded copy of
    // one, and the store's generation (changed whenever run states are dropped).
    std::vector<HeldRef> recent_refs() const;
    nb::object decode_held(const Held &h) const;
    uint64_t generation() const { return generation_; }
    // 1/0: whether the needle occurs in one of the event's own field texts; -1: not known here.
    int event_fields_contain(const Held &h, std::string_view needle) const;

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
    uint64_t generation_ = 1;
    int64_t max_events_;
    nb::dict runs_;      // run id -> RunRecord (live)
    nb::dict children_;  // parent run id -> set of child run ids
    nb::dict index_;     // run id -> int, position in states_
    std::vector<std::unique_ptr<RunState>> states_;
    Ring<HeldRef> recent_;
    Codec codec_;

    nb::object deque_of(const Ring<HeldRef> &ring) const;
};

// Publishes the module's `_fast_api` capsule (fast_api.hpp) for the store class `store_type`.
void publish_fast_api(nb::module_ &m, nb::handle store_type);

}  // namespace tally
