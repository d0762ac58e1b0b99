// What RuntimeTraceDesk forwards to its collaborators: subscriptions (to the subscription
// registry), the channel buffer, and flow definitions (to the flow registry).
#pragma once

#include <nanobind/nanobind.h>

namespace orvane::desk {

namespace nb = nanobind;

nb::object subscribe(nb::handle self, nb::args args, nb::kwargs kwargs);
void unsubscribe(nb::handle self, nb::handle subscription_or_id);

nb::list read_channel_buffer(nb::handle self);
nb::list drain_channel_buffer(nb::handle self);

nb::object register_flow_definition(nb::handle self, nb::args args, nb::kwargs kwargs);
nb::object resolve_flow_definition(nb::handle self, nb::args args, nb::kwargs kwargs);

}  // namespace orvane::desk
