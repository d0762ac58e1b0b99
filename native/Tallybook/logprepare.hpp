// The persistent log service's encoding of one event for its writer, done natively: see
// SQLiteLogStore.prepare (logs/_sqlite.py), whose Python body this does step for step for the
// events it takes and which keeps every other case (and the wording of every refusal).
//
// GIL held. Runs on the thread that appends (the writer thread only ever reads the tuple).
#pragma once

#include <nanobind/nanobind.h>

namespace tally {

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

}  // namespace tally
