// A private C interface of the run store for the facade's event queries, published by the
// Tallybook module as the capsule `_fast_api` ("orvane_devtools.observation.Tallybook._fast_api").
// The facade uses it only for a store that is exactly a RuntimeTallybook; every call needs the GIL.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace tally_api {

inline constexpr int kVersion = 1;
inline constexpr const char *kCapsule = "orvane_devtools.observation.Tallybook._fast_api";

struct Api {
    int version;
    PyTypeObject *store_type;  // RuntimeTallybook
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
};

}  // namespace tally_api
