// The JSON-mode dump of an event, written straight from the model.
//
// The JSON Lines line of an event is the JSON text of
//     DataFormatter.sanitize(event.model_dump(mode="json"))
// For the events the runtime normally sends -- the exact RuntimeEvent class of
// orvane_devtools._orvane_compat, its run None or the exact RuntimeRunContext class, their values
// plain JSON data (dicts with str keys, lists, tuples, str, int, finite float, bool, None) -- the
// dump holds those very values, field by field in declared order, so the sanitizer's walk can write
// the line from the model's fields without the dump being built. Anything else (another class, a
// datetime or an enum in a payload, a NaN, a str subclass, a cycle, deep nesting) throws
// json::Unsupported, and the caller dumps the event and walks the dump.
//
// The field layouts are read once from the classes (`__pydantic_fields__`, in declared order, with
// what each annotation admits: str, int, Any, str | None, dict[str, Any], RuntimeRunContext | None);
// classes with other annotations, serialisers, computed fields, aliases, excluded fields or a
// model_config of their own, and classes that replace BaseModel.model_dump, are not written this
// way.
//
// GIL held.
#pragma once

#include <nanobind/nanobind.h>

#include "orvane/sanitize.hpp"

namespace orvane::eventjson {

namespace nb = nanobind;

// Writes the JSON text of DataFormatter.sanitize(event.model_dump(mode="json")) through `walk`,
// which must be strict (sanitize::Walk). On json::Unsupported the text appended so far is
// incomplete: the caller cuts its string back and takes the dump route.
void write_event(sanitize::Walk &walk, PyObject *event);

}  // namespace orvane::eventjson
