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

// Where instances of a pydantic model class keep pydantic's per-instance state: the byte offsets
// of their __pydantic_fields_set__, __pydantic_extra__ and __pydantic_private__ slots (-1 where
// the class does not keep one as a plain object slot), and whether the class keeps
// BaseModel.__deepcopy__ (`plain`).
struct Layout {
    bool plain = false;
    Py_ssize_t fields_set = -1;
    Py_ssize_t extra = -1;
    Py_ssize_t priv = -1;
    bool slots_known() const { return fields_set >= 0 && extra >= 0 && priv >= 0; }
};

// The layout of instances of `cls` (nothing known for a class that is not a pydantic model);
// looked up once per class and kept for the process with a reference to the class.
const Layout &layout_of(PyTypeObject *cls);

// pydantic.BaseModel, kept for the process.
PyTypeObject *base_model_type();

// The slot of a model instance at `offset`, an offset a Layout knows (not -1).
inline PyObject *&slot_at(PyObject *model, Py_ssize_t offset) {
    return *reinterpret_cast<PyObject **>(reinterpret_cast<char *>(model) + offset);
}

// True when `obj` is an instance of a pydantic model whose class keeps BaseModel.__deepcopy__.
bool is_plain_model(nb::handle obj);

// Builds an instance of the pydantic model class `cls` without validation: `__dict__` becomes
// `fields` (taken over, not copied), `__pydantic_fields_set__` `fields_set` (a set, or None for
// the keys of `fields`), extra and private state None. Like model_construct, faster.
nb::object construct(nb::handle cls, nb::dict fields, nb::handle fields_set = nb::handle());

}  // namespace orvane::models
