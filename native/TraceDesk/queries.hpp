// The query side of RuntimeTraceDesk as the binding registers it: run resolution (resolver.cpp),
// run queries and the run tree (run_queries.cpp), event queries and search (event_queries.cpp).
#pragma once

#include <nanobind/nanobind.h>

#include "names.hpp"
#include "orvane/run_filters.hpp"

namespace orvane::desk {

namespace nb = nanobind;

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
// The run filters (orvane/run_filters.hpp) as given, checked here.
nb::list list_runs(nb::handle self, const run_filters::Values &f);
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
