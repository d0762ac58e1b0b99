// RuntimeTraceDesk: the facade the host talks to.
//
// The class is a plain Python class (no base) made at module init from a namespace of C++
// functions (bind_tracedesk.cpp); its state lives in the instance __dict__ under the attribute
// names the host and the tests use, so Python code can read and replace them, and the C++ methods
// read them back on every call.
//
// State (instance attributes) and who touches it:
//   settings                 the host's settings object; read through get(key, default).
//   _run_stale_after_ms,
//   _run_orphan_after_ms     ints set at construction; read by every resolution batch.
//   _run_store               the store given at construction (`run_store=`), else the one from
//                            the store factory: receives every accepted event, answers the
//                            queries.
//   _channel_buffer          deque(maxlen=channel limit) of the facade's private copies.
//   _seen_event_ids,
//   _seen_event_id_buffer    the de-duplication window: a set and a deque(maxlen=max(1, max_events))
//                            holding the same ids; kept in step by intake.cpp and reset().
//   _subscriptions           RuntimeObservationSubscriptions; fed by publish.
//   _backends                list of backends; rebuilt in place by reload(): the ones the
//                            settings ask for, then the ones given at construction.
//   _log_service             RuntimeLogService or None; rebuilt by reload() (the one given at
//                            construction is kept).
//   _given_log_service       the log service given at construction (`log_service=`), or None;
//                            set once.
//   _given_backends          tuple of the backends given at construction (`backends=`); set
//                            once.
//   _flow_registry           RuntimeFlowRegistry; fed by capture_event.
//   _backend_failure_counts,
//   _failing_backends        failed fan-out calls per backend, and the backends inside a failure
//                            streak; reset by reload().
//
// Threading and the GIL: every function here runs with the GIL held, on the host's event-loop
// thread, like the Python methods it stands for; the facade holds no lock and starts no thread.
// Nothing in this module releases the GIL, but a call into Python code (a collaborator, a
// comparison, str() of a value) may let another thread run for a while: a state attribute read
// before such a call is read again after it where it matters (the intake reads each attribute
// once per step and never caches one across events). An append runs without a suspension point
// from the duplicate check to the publication (intake.cpp), so no other coroutine interleaves
// there; the only suspension points are the awaits of the backends and of the log service.
//
// Static Python objects (types and functions looked up at module init, interned names) are kept
// for the life of the process and never released.
#pragma once

#include <nanobind/nanobind.h>

namespace orvane::desk {

namespace nb = nanobind;

constexpr const char *kModule = "orvane_devtools.observation.TraceDesk";

// Looks up, once, the package's own types and functions that the fast paths compare against
// (orvane.utils.Settings, the subscription registry, the flow registry). Called at module init.
void init_originals();

}  // namespace orvane::desk
