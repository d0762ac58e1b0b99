// The Logbook module (orvane_devtools.logs.Logbook): the persistent log service's native half.
//
// What it holds, and who calls it (all from orvane_devtools/logs, each function standing in for
// a Python body there that stays as the reference and keeps every case it does not take):
//   _log_prepare   prepare.cpp  SQLiteLogStore.prepare (logs/_sqlite.py): one event encoded for
//                               the writer, on the thread that appends;
//   _private_copy  prepare.cpp  the same module: a dict the writer may keep as its own;
//   _log_rows      rows.cpp     the writer's loop over one ticket (logs/_writer.py), on the
//                               writer thread; derives run records through the writer's own
//                               RuntimeTallybook, reached through the run store's C interface
//                               (Tallybook/fast_api.hpp, imported with the module), never
//                               through a copy of the store's code;
//   _model_from_json  bind_logbook.cpp  the reader (logs/_reader.py): a model built from the JSON
//                               this service wrote, without validation, where the JSON fits.
//
// GIL and threads: every function runs with the GIL held, on the thread that calls it (the
// appending thread for _log_prepare and _private_copy, the writer thread for _log_rows, a
// reader's thread for _model_from_json). None keeps native state between calls: only static
// Python objects kept for the process (interned names, a kept separator and exclusion set) and
// the store's C interface, set once at import. What they change is Python objects the caller
// hands in and holds (the caches of prepare, the writer's sets, dicts and row list); the writer
// thread only ever reads a prepared tuple. Any of them may run Python code (a str subclass's
// __eq__, a value's str(), the serialiser), which may let other threads run: nothing native is
// left half-changed across such a call.
//
// Outside names (read at call time from this module's globals, so a host or a test may replace
// them): RuntimeEvent, the event class _log_prepare takes natively.
#pragma once

#include <nanobind/nanobind.h>

namespace orvane::logbook {

namespace nb = nanobind;

// Positions in a prepared event (the writer's P_* constants in logs/_writer.py) and in its tuple
// of searched texts (event id, type, source, level, message, payload, error, meta).
enum Prepared : Py_ssize_t {
    P_ID, P_TS, P_TYPE, P_SOURCE, P_LEVEL, P_APP, P_GROUP, P_RUN, P_BODY, P_PARTS, P_RUN_JSON,
    P_CTX_TEXT, P_MESSAGE, P_META, P_CONTEXT, P_COUNT
};
constexpr Py_ssize_t kParts = 8;
constexpr Py_ssize_t kPayloadPart = 5;
constexpr Py_ssize_t kMetaPart = 7;

// ---- the encoding of one event (prepare.cpp)
//
// The prepared tuple of `event` (the writer's P_* layout), or None when the event is one the
// Python body must handle: a timestamp that is not an int within 64 bits, an event JSON that is
// not bytes, a meta that is not an exact dict.
//
//   event_json  the event's JSON serialiser, called as event_json(event, fallback=str)
//   contexts    run id -> (how the event's JSON ends with the run context, the context's JSON,
//               its search text): the store's cache. An entry an event's JSON was seen to end
//               with gets a fourth item here (the context's class and a copy of its fields, when
//               they are plain data): a later event whose context has the same data is then
//               serialised without its context
//   context_of  called with the run context when the cache has no matching entry; returns such
//               an entry (and caches it)
//   texts       run id -> what this function remembers of the run's payload and meta texts (a
//               dict it fills; the caller only keeps it), so that a value the run repeats is not
//               normalised again
//
// Errors of the serialiser, of a value's normalised text or of `context_of` propagate (the caller
// refuses the event with them).
nb::object log_prepare(nb::handle event, nb::handle event_json, nb::handle contexts, nb::handle context_of,
                       nb::handle texts);

// A copy of the dict `d` that shares only immutable scalars with it (str, int, float, bool and
// None, exact types): every other value is deep-copied (a value whose deep copy fails is shared,
// as a shallow copy would). What the writer later reads of an event's meta or run context is then
// its own, whoever else holds the event.
nb::object private_copy(nb::handle d);

// ---- the writer's rows (rows.cpp)
//
// The log database writer's loop over one ticket's prepared events (logs/_writer.py), from
// `items[start]` on, for the events that need no more than what the writer remembers: a
// duplicate is counted; an event of a known run whose head and context rows stay and whose
// repeated payload and meta texts have their keys is derived (by `store`, the writer's own
// RuntimeTallybook, as its _derive_record derives) and its row appended to `rows`, the run put in
// `touched`. Stops at the first other event and returns (its index, seq, tick, stored, dups,
// status): status None when nothing of that event was done, else the run's status after its
// derivation (its id is then in `seen_ids`), from which the writer goes on with it. A `store`
// that is not an initialised RuntimeTallybook is refused with TypeError before anything is done.
// `cut_texts`: a row's search text leaves out the values its columns give again, as the
// writer's _cut_texts does.
nb::tuple log_rows(nb::handle store, nb::handle items, Py_ssize_t start, nb::handle seen_ids, nb::handle working,
                   nb::handle touched, nb::handle rows, long long seq, long long tick, nb::handle types,
                   nb::handle apps, Py_ssize_t val_min_chars, long long sample_every, bool cut_texts);

// Imports the run store's C interface (the Tallybook module's `_fast_api` capsule) for log_rows;
// ImportError when that module cannot give the version log_rows needs. Called at module init.
void init_store_api();

}  // namespace orvane::logbook
