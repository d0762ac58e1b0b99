// Event intake of RuntimeTraceDesk: the de-duplication window, append_event / append_events and
// the fan-out to the backends.
#pragma once

#include <nanobind/nanobind.h>

namespace orvane::desk {

namespace nb = nanobind;

// _remember_event_id(event_id): True when the id was new and is now inside the window.
bool remember_event_id(nb::handle self, nb::handle event_id);

// append_event(event) and append_events(events) as coroutine objects (nothing runs until they
// are awaited).
nb::object append_event(nb::handle self, nb::handle event);
nb::object append_events(nb::handle self, nb::handle events);

// append_stored_event(event): append_event for an event the log service already holds, handed
// over by a caller that stored it there itself (the listener): `event` becomes the desk's
// private copy (the caller must not change it afterwards) and the log service is not called.
nb::object append_stored_event(nb::handle self, nb::handle event);

// backend_failures(): a copy of _backend_failure_counts.
nb::dict backend_failures(nb::handle self);

// Remembers the functions the class namespace holds for _is_enabled and _remember_event_id, so
// that append_event can tell whether they were replaced (registration, once).
void set_intake_originals(nb::handle is_enabled_fn, nb::handle remember_fn);

}  // namespace orvane::desk
