// The lines of the JSON Lines backend: JSON text of events and of plain values.
//
// A line is the JSON text json.dumps(value, ensure_ascii=False) gives (default separators, keys
// in mapping order, NaN/Infinity as Python writes them) in UTF-8, plus a line feed. One deliberate
// difference: a lone surrogate code point (which json.dumps keeps as it is, and which then has no
// UTF-8 form) is written as its escape \udXXX, so the file stays valid UTF-8 and a JSON reader gets
// the same code point back.
//
// The line of an event with the built-in _serialize_event is the JSON text of
// DataFormatter.sanitize(event.model_dump(mode="json")). While DataFormatter.sanitize is the
// original, an event of the common shape is written from its fields (orvane/eventjson.hpp), others
// by the sanitizer's fused walk over their dump (orvane/sanitize.hpp), neither building the
// sanitised copy; otherwise the host's sanitize is called and its result written.
#pragma once

#include <nanobind/nanobind.h>

#include <optional>
#include <string>

#include "orvane/sanitize.hpp"

namespace orvane::linefile {

namespace nb = nanobind;

// Appends the JSON text of `value`. Values the writer does not take (a set, an object, a
// non-JSON key, ...) make the whole document go through the module's `json.dumps`, which gives
// the same text or raises its error.
void append_json(nb::handle value, std::string &out);

// The sanitizer's rules when the native walk may stand for DataFormatter.sanitize now; read once
// per batch.
std::optional<sanitize::Rules> native_rules();

// Appends the JSON text of the built-in line of `event` (no line feed), with `rules` from
// native_rules() (nullptr: through the host's DataFormatter.sanitize).
void append_event_json(nb::handle event, const sanitize::Rules *rules, std::string &out);

// The built-in _serialize_event: DataFormatter.sanitize(event.model_dump(mode="json")).
nb::object serialize_event(nb::handle event);

// Registers the module functions of this file: _encode_line, _encode_event, _sanitize.
void init_lines(nb::module_ &m);

}  // namespace orvane::linefile
