// Plain C++ parts of the remote upload backend: event classification on texts. The queue, the
// back-off and the endpoint URL helpers are the shared export queue's (orvane/export_core.hpp).
#pragma once

#include <string_view>

namespace orvane::uplink {

// True for an event type that marks a terminal or result event by itself: a ".completed",
// ".failed" or ".error" suffix, or one of the blocked / action types.
bool is_terminal_event_type(std::string_view event_type);

// The stream rule: a path naming a completed/blocked task or result, or a final status.
// `status` must already be trimmed and lower-cased.
bool is_terminal_stream(std::string_view path, std::string_view status);

// True when the event type names a high-frequency kind (deltas, streaming, heartbeats).
bool is_high_frequency_type(std::string_view event_type);

// Case-insensitive (ASCII) search for "heartbeat"; only valid for ASCII text.
bool ascii_mentions_heartbeat(std::string_view text);

}  // namespace orvane::uplink
