// The run record: its fields (one table, in RunRecord's declaration order), its status values,
// and the two places a live record can be kept.
//
// A run's live record is kept natively (one strong reference per field, plus the set of fields
// explicitly set, as pydantic's __pydantic_fields_set__ would hold it) until Python code asks for
// the live records themselves (`_runs`). From then on the store keeps each record as a RunRecord
// instance in that mapping and reads and writes it there, so that changes made to it from Python
// are seen exactly as they would be in a plain Python store.
#pragma once

#include <nanobind/nanobind.h>

#include <array>
#include <cstdint>
#include <iterator>
#include <optional>
#include <string_view>

#include "orvane/searchtext.hpp"

namespace tally {

namespace nb = nanobind;

// RunRecord's fields, in declaration order.
enum Field : uint8_t {
    F_run_id,
    F_root_run_id,
    F_parent_run_id,
    F_run_kind,
    F_agent_id,
    F_agent_name,
    F_session_id,
    F_response_id,
    F_execution_id,
    F_status,
    F_latest_event_type,
    F_latest_source,
    F_latest_message,
    F_started_at,
    F_updated_at,
    F_completed_at,
    F_failed_at,
    F_event_count,
    F_meta,
};

// The type a field is declared with (for the RunRecord model and for building records).
enum class FieldKind : uint8_t { Str, OptStr, Status, OptInt, Int, Meta };

struct FieldDef {
    const char *name;
    FieldKind kind;
};

inline constexpr FieldDef kFields[] = {
    {"run_id", FieldKind::Str},          {"root_run_id", FieldKind::Str},      {"parent_run_id", FieldKind::OptStr},
    {"run_kind", FieldKind::Str},        {"agent_id", FieldKind::OptStr},      {"agent_name", FieldKind::OptStr},
    {"session_id", FieldKind::OptStr},   {"response_id", FieldKind::OptStr},   {"execution_id", FieldKind::OptStr},
    {"status", FieldKind::Status},       {"latest_event_type", FieldKind::OptStr},
    {"latest_source", FieldKind::OptStr}, {"latest_message", FieldKind::OptStr}, {"started_at", FieldKind::OptInt},
    {"updated_at", FieldKind::OptInt},   {"completed_at", FieldKind::OptInt},  {"failed_at", FieldKind::OptInt},
    {"event_count", FieldKind::Int},     {"meta", FieldKind::Meta},
};
inline constexpr size_t kFieldCount = std::size(kFields);
static_assert(kFieldCount == F_meta + 1, "the field table and the Field enum must agree");
static_assert(kFieldCount <= 32, "a record's set of set fields is a 32-bit mask");

// The identity fields a later event of the run refreshes (when its run context has a value).
inline constexpr Field kIdentityFields[] = {F_agent_id, F_agent_name, F_session_id, F_response_id, F_execution_id};

// The record fields whose texts open each event's part of the run's search text, in that order.
inline constexpr Field kSearchedRecordFields[] = {
    F_run_id,       F_root_run_id, F_parent_run_id,       F_run_kind,      F_agent_id,
    F_agent_name,   F_session_id,  F_response_id,         F_execution_id,  F_status,
    F_latest_event_type, F_latest_source, F_latest_message, F_meta,
};
inline constexpr size_t kSearchedRecordCount = std::size(kSearchedRecordFields);

// The event's own fields whose texts follow, in that order.
inline constexpr const auto &kSearchedEventFields = orvane::search::kEventFields;
inline constexpr size_t kSearchedEventCount = std::size(kSearchedEventFields);
inline constexpr size_t kPieceCount = kSearchedRecordCount + kSearchedEventCount;

// RunStatus, in its declared order.
enum class RunStatus : uint8_t { Unknown, Running, Waiting, Completed, Failed };
inline constexpr const char *kStatusNames[] = {"unknown", "running", "waiting", "completed", "failed"};
inline constexpr size_t kStatusCount = std::size(kStatusNames);
static_assert(kStatusCount == static_cast<size_t>(RunStatus::Failed) + 1, "status names and RunStatus agree");

inline bool is_terminal(RunStatus s) { return s == RunStatus::Completed || s == RunStatus::Failed; }

// The status an event type moves its run to (by its suffix), if any; Python's str.endswith on a
// value that is not a str.
std::optional<RunStatus> status_of_event_type(nb::handle event_type);
// The RunStatus a stored status value stands for (its text); nullopt for anything else.
std::optional<RunStatus> status_of_value(PyObject *value);

// Module-level objects made at import (kept for the life of the process).
struct Globals {
    PyObject *run_record = nullptr;                    // the RunRecord class
    std::array<PyObject *, kStatusCount> status = {};  // the interned status strings
    std::array<PyObject *, kFieldCount> field = {};    // the interned field names
};
Globals &globals();
void init_globals(PyObject *run_record_cls);
inline PyObject *status_object(RunStatus s) { return globals().status[static_cast<size_t>(s)]; }
inline PyObject *field_name(Field f) { return globals().field[f]; }

// A record kept natively: one strong reference per field (never null) and the set fields.
struct NativeRecord {
    std::array<PyObject *, kFieldCount> v = {};
    uint32_t set_mask = 0;

    NativeRecord() = default;
    NativeRecord(const NativeRecord &) = delete;
    NativeRecord &operator=(const NativeRecord &) = delete;
    ~NativeRecord() { release(); }
    bool present() const { return v[F_run_id] != nullptr; }
    void release() {
        for (PyObject *&o : v)
            Py_CLEAR(o);
        set_mask = 0;
    }
    // A new RunRecord instance with these values (each value shared; meta and any container
    // deep-copied, so the instance shares nothing mutable with the record).
    nb::object to_model(bool copy_containers) const;
};

// Reads a RunRecord instance's fields into a native record (deep copies of mutable values).
void native_from_model(nb::handle model, NativeRecord &out);

// A deep copy of a RunRecord instance, equal to model_copy(deep=True).
nb::object copy_model_record(nb::handle rec);

}  // namespace tally
