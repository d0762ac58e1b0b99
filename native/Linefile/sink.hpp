// JSONLTraceSink: the class of the JSON Lines backend, an abc subclass of RuntimeTraceSink made
// from C++ functions. Its one piece of instance state is `path` (a pathlib.Path) in the instance
// __dict__.
//
// append_events turns the batch into UTF-8 JSON lines on the event-loop thread (lines.hpp), hands
// them to the path's FileWriter (linewriter.hpp: one writer thread per file, kept-open O_APPEND
// descriptor, one write(2) loop per batch under the file's lock) and completes once the writer
// thread has written the batch (completion.hpp). A subclass or instance that replaces
// `_write_lines` gets the documented route instead, `await asyncio.to_thread(self._write_lines,
// lines)`; one that replaces `_serialize_event` has its result encoded.
#pragma once

#include <nanobind/nanobind.h>

namespace orvane::linefile {

namespace nb = nanobind;

// Makes JSONLTraceSink (from the module's RuntimeTraceSink) and stores it in the module.
void init_sink(nb::module_ &m);

// In a forked child: forgets what the parent's sinks had looked up (their writers).
void forget_sink_state_after_fork();

}  // namespace orvane::linefile
