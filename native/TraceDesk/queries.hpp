// The query side of RuntimeTraceDesk as the binding registers it: run resolution (resolver.cpp),
// run queries and the run tree (run_queries.cpp), event queries and search (event_queries.cpp).
#pragma once

#include <nanobind/nanobind.h>

#include <array>
#include <cstddef>

#include "names.hpp"

namespace orvane::desk {

namespace nb = nanobind;

// ---- the fifteen run filters, declared once

enum class FilterKind { text, integer };

struct RunFilterSpec {
    const char *name;
    outside::Name *keyword;
    FilterKind kind;
};

enum RunFilter : size_t {
    rf_run_id, rf_root_run_id, rf_parent_run_id, rf_run_kind, rf_status, rf_agent_id,
    rf_session_id, rf_app_id, rf_app_id_pattern, rf_group_id, rf_flow_name, rf_search, rf_since,
    rf_until, rf_limit,
};

// In the order of the keyword arguments of list_runs and of the calls made with them.
inline const RunFilterSpec kRunFilters[] = {
    {"run_id", &names::k_run_id, FilterKind::text},
    {"root_run_id", &names::k_root_run_id, FilterKind::text},
    {"parent_run_id", &names::k_parent_run_id, FilterKind::text},
    {"run_kind", &names::k_run_kind, FilterKind::text},
    {"status", &names::k_status, FilterKind::text},
    {"agent_id", &names::k_agent_id, FilterKind::text},
    {"session_id", &names::k_session_id, FilterKind::text},
    {"app_id", &names::k_app_id, FilterKind::text},
    {"app_id_pattern", &names::k_app_id_pattern, FilterKind::text},
    {"group_id", &names::k_group_id, FilterKind::text},
    {"flow_name", &names::k_flow_name, FilterKind::text},
    {"search", &names::k_search, FilterKind::text},
    {"since", &names::k_since, FilterKind::integer},
    {"until", &names::k_until, FilterKind::integer},
    {"limit", &names::k_limit, FilterKind::integer},
};
constexpr size_t kRunFilterCount = sizeof(kRunFilters) / sizeof(kRunFilters[0]);
static_assert(kRunFilterCount == rf_limit + 1, "one entry per RunFilter");

// One value per filter (None when not given).
using RunFilters = std::array<nb::object, kRunFilterCount>;

// ---- resolution (private methods)
nb::object terminal_timestamp(nb::handle record);
nb::object get_raw_run_record(nb::handle self, nb::handle run_id);
nb::object find_terminal_ancestor(nb::handle self, nb::handle record, nb::handle now_ms,
                                  nb::handle cache, nb::handle resolving);
nb::object resolve_run_record(nb::handle self, nb::handle record, nb::handle now_ms,
                              nb::handle cache, nb::handle resolving);
nb::list resolve_run_records(nb::handle self, nb::handle records, nb::handle status,
                             nb::handle limit);

// ---- run queries
nb::list list_runs(nb::handle self, RunFilters f);
nb::list query_runs(nb::handle self, nb::handle query, nb::kwargs kwargs);
nb::object get_run(nb::handle self, nb::handle run_id);
nb::list get_run_children(nb::handle self, nb::handle run_id);
nb::object get_run_tree(nb::handle self, nb::handle run_id);

// ---- event queries
nb::object get_run_events(nb::handle self, nb::handle run_id, nb::handle limit,
                          nb::handle include_descendants);
nb::object get_recent_events(nb::handle self, nb::handle limit);
nb::object get_event(nb::handle self, nb::handle event_id);
nb::object query_events(nb::handle self, nb::handle query, nb::kwargs kwargs);
nb::str normalize_search_text(nb::handle value);
bool event_matches_search(nb::handle event, nb::handle search);

// ---- shared by both query halves
// A query object as given (checked to be an instance of the module's `cls_name`), or one built
// from the keywords when `query` is None.
nb::object build_query(outside::Name &cls_name, nb::handle query, nb::kwargs kwargs);

}  // namespace orvane::desk
