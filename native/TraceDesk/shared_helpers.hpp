// The support library's Python helpers (orvane/pyutil.hpp, brought in here) named in the desk's
// namespace, so the TraceDesk sources call them unqualified. Nothing is defined here: every
// helper is the shared one, with its contract there (GIL held; nb::python_error with the Python
// error set when a call fails).
#pragma once

#include <nanobind/nanobind.h>

#include "orvane/args.hpp"
#include "orvane/outside.hpp"
#include "orvane/pyutil.hpp"

namespace orvane::desk {

namespace nb = nanobind;
using orvane::outside::Name;

using orvane::py::attr;
using orvane::py::call0;
using orvane::py::call1;
using orvane::py::call2;
using orvane::py::call_kw;
using orvane::py::call_method_kw;
using orvane::py::checked;
using orvane::py::deque_append;
using orvane::py::deque_popleft;
using orvane::py::dict_find;
using orvane::py::dict_set;
using orvane::py::equals;
using orvane::py::fetch_error;
using orvane::py::field;
using orvane::py::first_of;
using orvane::py::get_or_none;
using orvane::py::instance_attr;
using orvane::py::is_instance;
using orvane::py::is_mapping;
using orvane::py::is_own_method;
using orvane::py::Kw;
using orvane::py::new_set;
using orvane::py::optional_attr;
using orvane::py::says_true;
using orvane::py::set_add;
using orvane::py::set_attr;
using orvane::py::set_contains;
using orvane::py::set_discard;
using orvane::py::to_list;
using orvane::py::truthy;

}  // namespace orvane::desk
