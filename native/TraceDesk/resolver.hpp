// Run resolution of RuntimeTraceDesk: every run record that leaves the facade is a resolved copy,
// with an open run that is stale or orphaned reported as "failed" (the rules themselves, free of
// Python, are in orvane/resolution.hpp).
//
// One public call is one resolution batch: one clock reading, one cache (run id -> resolved
// record) and one in-progress set, both plain Python containers so that the private methods can
// be driven from Python with the same meaning. Resolution walks parent chains without recursion:
// a record whose terminal ancestor is not resolved yet pushes a frame, so a chain of any depth
// costs heap, not stack. Within a batch the nearest-terminal-ancestor answer of every parent id
// walked is remembered, so a deep chain or a large tree costs time linear in its size.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <optional>

#include "orvane/resolution.hpp"

namespace orvane::desk {

namespace nb = nanobind;

// The working state of one resolution batch.
struct Batch {
    nb::handle desk;
    int64_t now = 0;
    nb::object now_obj;       // the batch's clock as a Python int (written into meta)
    nb::handle cache;         // dict: run id -> resolved record or None
    nb::handle resolving;     // set of run ids under resolution
    resolution::Thresholds limits;
    nb::object log_service;   // None or the service
    nb::object store;         // read on first use
    nb::dict memo;            // parent id -> nearest terminal ancestor (or None) from that id up
    bool own_copies = false;  // records handed in are fresh copies nobody else holds
    bool fetched_own = false; // records fetched by run id are such copies too

    nb::handle run_store();
};

// Reads the thresholds and the log service of `desk` into `b`.
void init_limits(Batch &b, nb::handle desk);

// A batch for one public call: the clock read once, a new cache and in-progress set.
struct OwnedBatch {
    nb::dict cache;
    nb::object resolving;
    Batch b;

    explicit OwnedBatch(nb::handle desk);
};

// The stored, unresolved record of one run: from the log service when one is configured.
nb::object get_raw(Batch &b, nb::handle run_id);

// A resolved copy of `record` within batch `b` (None for None, or for a record whose resolution
// is already under way in the batch).
nb::object resolve_one(Batch &b, nb::handle record);

// The nearest ancestor of `record` whose resolved status is terminal, or None.
nb::object find_terminal_ancestor(Batch &b, nb::handle record);

// Resolves `records` in order, keeps those whose resolved status equals `status` (when not None),
// stops once `limit` are kept. A limit of 0 or below keeps nothing.
nb::list resolve_records(Batch &b, nb::handle records, nb::handle status,
                         std::optional<int64_t> limit);

// Whether records from `store` are fresh copies that only the caller holds: true for the
// package's own run store, whose queries always copy.
bool store_copies(nb::handle store);

// Whether records from the log service are fresh copies that only this call holds: true when the
// service's `_record_copies` is True (the package's RuntimeLogService on a file, whose query_runs
// has not been replaced); anything else is copied before it is resolved.
bool log_copies(nb::handle log);

// _terminal_timestamp(record): the moment `record` ended for its descendants (None if unknown).
nb::object terminal_timestamp(nb::handle record);

// An integer time as int64, saturating (a time beyond the int64 range cannot be meant).
int64_t time_value(nb::handle v, const char *what);

}  // namespace orvane::desk
