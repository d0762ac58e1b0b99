// The per-event calls of the intake into the outside layer (flow capture and publication), each
// split in two so that an event the run store refuses reaches neither.
//
// For the package's own RuntimeFlowRegistry and RuntimeObservationSubscriptions -- as long as
// `capture_event` and `publish` are still the functions the package defined, looked up at every
// call -- the reading half runs before the store and the changing half after it:
//   capture_event(e) is  key = self._flow_key(e); self._record_flow_run(*key)
//   publish(e)       is  delivery = self._match(e); self._deliver(e, delivery)
// Any other collaborator (a replaced method, another class) gets its one call at its place in
// the order of the intake, as it always did.
//
// Where a half (and each method it calls: _run_matches, a subscription's _put) is still the
// package's own too, it runs here in C++ with the same effect as the Python function it stands
// for: the same attributes read, the same calls made, the same module globals read at call time
// (MAX_FLOWS, MAX_RUNS_PER_FLOW, MAX_ANCESTRY_DEPTH, matches_wavelane_event_type, ...). A half
// that was replaced is called as Python.
#pragma once

#include <nanobind/nanobind.h>

#include <vector>

namespace orvane::desk {

namespace nb = nanobind;

// Looks up the package's own functions that the steps compare against (module init).
void init_fastpath_originals();

// The flow registry's share of one accepted event.
class FlowStep {
public:
    // At the flow-capture step of the intake: the package's own registry is only read (the flow
    // name and run id of `copy`); any other gets capture_event(copy) now.
    void begin(nb::handle desk, nb::handle copy);
    // Once nothing else can fail: records the run under its flow in the package's own registry.
    void finish();

private:
    nb::object registry_;
    nb::object name_, run_id_;  // what finish() records (set when there is something)
    nb::object key_;            // a replaced _flow_key's result, recorded as *key
    bool own_ = false;
};

// The subscriptions' share of one accepted event.
//
// Between prepare() and deliver() the run store runs, and the store may run Python code (str()
// of a value, a replaced method): a subscription made meanwhile takes events from the next one
// on, and one closed meanwhile is skipped by its _put, as if the publication had happened at
// prepare(). Both run on the event-loop thread with the GIL held; nothing is shared between
// events.
class PublishStep {
public:
    // Before the run store: for the package's own registry, works out which subscriptions take
    // `copy` (may raise; changes nothing). Any other registry is left for deliver().
    void prepare(nb::handle desk, nb::handle copy);
    // At the publication step: delivers to the subscriptions found by prepare(), or calls
    // publish(copy) on any other registry.
    void deliver();

private:
    nb::object registry_, copy_;
    bool own_ = false;
    // The package's own _match, run here: whether there was anything subscribed, who matched,
    // and the run link to track (run id and parent, when links are tracked).
    bool native_ = false, active_ = false;
    std::vector<nb::object> matched_;
    nb::object link_run_id_, link_parent_;
    nb::object delivery_;  // a replaced _match's result
};

}  // namespace orvane::desk
