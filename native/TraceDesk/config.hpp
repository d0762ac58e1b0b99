// Configuration of RuntimeTraceDesk: settings reads, construction, reload and reset.
#pragma once

#include <nanobind/nanobind.h>

#include "orvane/outside.hpp"

namespace orvane::desk {

namespace nb = nanobind;

// _coerce_int_setting(value, default). A value that is not finite or does not fit in a signed
// 64-bit integer falls back to `default`, like unparsable text does.
nb::object coerce_int_setting(nb::handle value, nb::handle default_value);

// settings.get(key, default), with orvane.utils.Settings read without Python frames while its
// `get` and the module's `_lookup` are still the package's own.
nb::object setting(nb::handle settings, outside::Name &key, nb::handle default_value);

// RuntimeTraceDesk(settings, *, run_store=None, log_service=None, backends=None). What is given
// replaces what the facade would build: `run_store` the store factory's store, `log_service`
// the one `logs.enabled` would build (kept by every reload), `backends` (a list or tuple) are
// appended after the backends the settings ask for, at construction and on every reload.
void init(nb::handle self, nb::handle settings, nb::handle run_store, nb::handle log_service,
          nb::handle backends);
void reload(nb::handle self);
void reset(nb::handle self);
bool is_enabled(nb::handle self);

// Looks up orvane.utils.Settings.get and orvane.utils._lookup as the package defines them.
void init_settings_originals();

}  // namespace orvane::desk
