// Run record derivation: what one event does to its run's record, planned without changing
// anything (Python code may run while planning: str() of a run kind, deep copies of values), then
// applied where the record lives.
//
// The same plan serves the live record and the replay that writes a run's search text later
// (the record's searched values as each event left them), so the rules live here only.
#pragma once

#include <nanobind/nanobind.h>

#include <array>
#include <optional>
#include <utility>
#include <vector>

#include "record.hpp"

namespace tally {

namespace nb = nanobind;

// The fields of one event that derivation reads, read once (from the caller's event, or from a
// held event decoded for a replay).
struct EventParts {
    nb::object event;
    nb::object run;  // None for an event without a run
    nb::object run_id, root_run_id, parent_run_id, run_kind, run_meta;
    std::array<nb::object, std::size(kIdentityFields)> identity;
    nb::object event_type, timestamp, source, message, meta;

    // Reads `event` (a RuntimeEvent). A timestamp that is neither an int nor a float is refused
    // with TypeError: the store orders and compares timestamps, and no stored event may make a
    // later query fail.
    static EventParts read(nb::handle event);
    // The values of the event's own searched fields (kSearchedEventFields), for its search text.
    std::array<nb::object, kSearchedEventCount> own_search_values() const;
};

// A record's values before the event (new references; unset entries count as None).
struct RecordValues {
    std::array<nb::object, kFieldCount> v;
    PyObject *get(Field f) const { return v[f].is_valid() ? v[f].ptr() : Py_None; }
};

struct RecordPlan {
    std::array<nb::object, kFieldCount> value;  // the new value of each changed field
    uint32_t assigned = 0;  // fields assigned by the event (they join the record's set fields)
    // Meta: either a replacement mapping (`new_meta`), or writes into the existing one, in order.
    nb::object new_meta;
    std::vector<std::pair<nb::object, nb::object>> meta_writes;
    std::optional<RunStatus> status;
    nb::object model;  // a new record that Python code will hold: made while planning
};

// The values of a new record for the event's run (RunRecord's creation from the run context),
// and the fields its creation sets. The values are validated by RunRecord itself when they are
// not already of the declared types (which may convert or refuse them).
RecordValues new_record_values(const EventParts &ev, uint32_t &set_fields);

struct PlanOptions {
    bool copy_values = true;  // deep-copy what is taken from the event (not for a replay)
    bool meta_in_place = false;  // meta changes as writes into the existing mapping
};

// Adds to `plan` what the event does to a record whose values are `cur` (after creation, for a
// new record): identity refresh, meta merge, the event's own app/group/environment, the latest
// fields, times, count and status.
void plan_event(const RecordValues &cur, const EventParts &ev, const PlanOptions &opt, RecordPlan &plan);

}  // namespace tally
