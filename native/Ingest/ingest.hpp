// The Ingest module (orvane_devtools.listener.Ingest): the listener's native ingest code.
//
// What it holds, and who calls it:
//   _read_upload_body  body_read.cpp  the listener's decoding of an upload body
//                      (orvane_devtools/listener/ingest.py, its native road): the events of a body
//                      as the upload sink sends it, built without validation and masked by the
//                      shared native sanitizer wherever that gives exactly what the Python roads
//                      give; every other event, or the whole body, is left to those roads.
//
// GIL and threads: runs with the GIL held on the thread that calls it (the listener's event
// loop), one body per call; keeps no state between calls but static Python objects kept for the
// process (interned names, the sanitizer's original function and verdicts). What it builds is
// new objects only this call holds until it returns them; the caller's body and layout are only
// read.
//
// Outside names (read at call time from this module's globals, so a host or a test may replace
// them): DataFormatter, whose sanitize must be the original one for the native road to run.
#pragma once

#include <nanobind/nanobind.h>

namespace orvane::ingest {

namespace nb = nanobind;

// (parsed body, [event or None per item], number of None) for an upload body as bytes, the events
// built without validation where that gives exactly what the listener's Python road gives (None:
// that item takes the Python road, its parsed item untouched); None when the whole body takes it.
// `layout` is (event class, event fields, run class, run fields) as the listener derives it
// (ingest._native_layout); TypeError for any other layout.
nb::object read_upload_body(nb::handle body, nb::handle layout);

}  // namespace orvane::ingest
