// Fast copies and construction of pydantic models.
//
// deep_copy(obj) gives the same result as copy.deepcopy(obj) -- and so as
// model.model_copy(deep=True) -- for pydantic models, exact dicts, lists and tuples, and the
// immutable scalars, without the per-object Python dispatch: str/int/float/bool/None/bytes are
// shared, dicts and lists are rebuilt, shared sub-objects stay shared once (identity memo),
// models are rebuilt from a copy of their __dict__ when their class keeps BaseModel.__deepcopy__,
// and anything else is handed to copy.deepcopy with an equivalent memo.
#pragma once

#include <nanobind/nanobind.h>

namespace orvane::models {

namespace nb = nanobind;

nb::object deep_copy(nb::handle obj);

// True when `obj` is an instance of a pydantic model whose class keeps BaseModel.__deepcopy__.
bool is_plain_model(nb::handle obj);

// Builds an instance of the pydantic model class `cls` without validation: `__dict__` becomes
// `fields` (taken over, not copied), `__pydantic_fields_set__` `fields_set` (a set, or None for
// the keys of `fields`), extra and private state None. Like model_construct, faster.
nb::object construct(nb::handle cls, nb::dict fields, nb::handle fields_set = nb::handle());

}  // namespace orvane::models
