// A private C interface of the run store for the other extension modules, published by the
// Tallybook module as the capsule `_fast_api` ("orvane_devtools.observation.Tallybook._fast_api").
// Its users: the facade's event queries (TraceDesk, only for a store that is exactly a
// RuntimeTallybook) and the log service's writer rows (Logbook, for the writer's own store). It
// is how another module reaches a store's native half without a second copy of the store's code.
// Every call needs the GIL, on whatever thread holds it.
//
// Versions: `version` is the newest version whose entries the publisher fills. Entries of a later
// version are added after the earlier ones and never moved, so each version's entries stay where
// a consumer built against that version reads them; a consumer checks `version` against the
// version of the entries it uses (kQueriesVersion, kDeriveVersion) at import.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace tally_api {

inline constexpr int kVersion = 2;
inline constexpr int kQueriesVersion = 1;  // snapshot_recent .. timestamp
inline constexpr int kDeriveVersion = 2;   // store_of, derive_record
inline constexpr const char *kCapsule = "orvane_devtools.observation.Tallybook._fast_api";

struct Api {
    int version;
    PyTypeObject *store_type;  // RuntimeTallybook

    // ---- version 1: the recent events of a store, for the facade's event queries

    // The store's recent events as they are now, oldest first (what get_recent_events() would
    // decode); nullptr with a Python error set. The snapshot keeps its events alive.
    void *(*snapshot_recent)(PyObject *store);
    void (*release)(void *snap);
    size_t (*size)(const void *snap);
    // A fresh deep copy of event i (new reference), or nullptr with a Python error set.
    PyObject *(*decode)(void *snap, size_t i);
    // Whether the needle (stripped, case-folded, non-empty UTF-8) occurs in the search text of
    // one of event i's own searched fields, each field separately: 1 yes, 0 no, -1 not known
    // (the caller must look at the decoded event itself). Writes what texts the store owes for
    // the event first (search texts are written lazily); never raises: values whose text cannot
    // be made are searched by their repr(), as in the run search.
    int (*fields_contain)(const void *snap, size_t i, const char *needle, size_t n);
    // Events with the same non-null key have equal run contexts (valid for the snapshot's life).
    const void *(*run_key)(const void *snap, size_t i);
    // 1 with *out set when event i's timestamp is an exact int of 64 bits; 0 otherwise.
    int (*timestamp)(const void *snap, size_t i, int64_t *out);

    // ---- version 2: run records derived for a caller that keeps the events elsewhere (the log
    // service's writer rows)

    // The native half of `store`, an initialised instance of store_type or of a subclass (the
    // caller checks the class first, for its own wording of the error); nullptr with TypeError set
    // otherwise. Valid while the caller holds `store`.
    void *(*store_of)(PyObject *store);
    // What store._derive_record(event_type, timestamp, source, message, meta, run) does, for the
    // native half of a store from store_of (a subclass's own _derive_record is not called): the
    // run's status after it as a new reference, or nullptr with the Python error the method would
    // raise. May run Python code (the methods of the values handed in, a run id's __hash__ and
    // __eq__); lets a forced unwind of the calling thread pass (orvane/pyutil.hpp).
    PyObject *(*derive_record)(void *store, PyObject *event_type, PyObject *timestamp, PyObject *source,
                               PyObject *message, PyObject *meta, PyObject *run);
};

}  // namespace tally_api
