// The per-event calls of the intake into the outside layer (flow capture and publication), each
// split in two so that an event the run store refuses reaches neither.
//
// For the package's own RuntimeFlowRegistry and RuntimeObservationSubscriptions -- as long as
// `capture_event` and `publish` are still the functions the package defined, looked up at every
// call -- the reading half runs before the store and the changing half after it. Any other
// collaborator (a replaced method, another class) gets its one call at its place in the order of
// the intake, as it always did. Where the halves are still the package's own too, they run here
// in C++ with the same effect as the Python functions they stand for.
#pragma once

#include <nanobind/nanobind.h>

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
    nb::object key_args_;  // the arguments of _record_flow_run; unset when there is nothing
    bool own_ = false;
};

// The subscriptions' share of one accepted event.
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
    nb::object delivery_;  // the own registry's _match result (None: nothing subscribed)
    bool own_ = false;
};

}  // namespace orvane::desk
