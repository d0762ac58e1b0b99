// Binding of the Logbook module: the persistent log service's native half (see logbook.hpp).
#include <nanobind/nanobind.h>

#include <string_view>

#include "logbook.hpp"
#include "orvane/jsonread.hpp"
#include "orvane/models.hpp"
#include "orvane/support.hpp"

namespace nb = nanobind;
using namespace nb::literals;

NB_MODULE(Logbook, m) {
    orvane::init_support(m);
    m.doc() = "Logbook: the persistent log service's native half (event preparation, the writer's rows, "
              "models from stored JSON).";
    orvane::outside::expose(m, "RuntimeEvent", "orvane_devtools._orvane_compat", "RuntimeEvent");
    orvane::logbook::init_store_api();

    m.def(
        "_model_from_json",
        [](nb::handle cls, nb::handle text, nb::handle fields, nb::handle absent) -> nb::object {
            if (!PyType_Check(cls.ptr()) ||
                !PyType_IsSubtype(reinterpret_cast<PyTypeObject *>(cls.ptr()), orvane::models::base_model_type()))
                throw nb::type_error("cls must be a pydantic model class");
            Py_ssize_t size = 0;
            const char *data = PyUnicode_Check(text.ptr()) ? PyUnicode_AsUTF8AndSize(text.ptr(), &size) : nullptr;
            if (data == nullptr) {
                if (PyErr_Occurred())
                    PyErr_Clear();
                return nb::none();
            }
            nb::object got = orvane::jsonread::fields_of(std::string_view(data, static_cast<size_t>(size)), fields, absent);
            if (!got.is_valid())
                return nb::none();
            return orvane::models::construct(cls, nb::borrow<nb::dict>(got[0]), got[1]);
        },
        "cls"_a, "text"_a, "fields"_a, "absent"_a.none() = nb::none(),
        "An instance of the model class `cls` from the JSON text of an object whose members are `fields`\n"
        "((name, kind) pairs in order; see the log service's reader), built without validation; None\n"
        "where the text does not fit them exactly (the caller then validates it). A member the text\n"
        "may leave out (kind 5) takes `absent` when that is not None, and then counts as given.");

    m.def("_log_prepare", &orvane::logbook::log_prepare, "event"_a.none(), "event_json"_a, "contexts"_a,
          "context_of"_a, "texts"_a,
          "The persistent log service's prepared tuple of one event (SQLiteLogStore.prepare, done natively),\n"
          "or None when the event needs the Python body (see logs/_sqlite.py).");
    m.def("_private_copy", &orvane::logbook::private_copy, "d"_a,
          "A copy of the dict `d` sharing only immutable scalars with it (other values deep-copied; one\n"
          "whose deep copy fails is shared).");
    m.def("_log_rows", &orvane::logbook::log_rows, "store"_a.none(), "items"_a, "start"_a, "seen_ids"_a,
          "working"_a, "touched"_a, "rows"_a, "seq"_a, "tick"_a, "types"_a, "apps"_a, "val_min_chars"_a,
          "sample_every"_a, "cut_texts"_a = false,
          "The persistent log service's writer loop over one ticket's prepared events, for the events\n"
          "that need nothing but what the writer remembers (see the writer), their run records derived\n"
          "by `store` (a RuntimeTallybook): returns (index of the first other event, seq, tick, stored,\n"
          "duplicates, its status when it was derived, else None). `cut_texts`: search texts without\n"
          "the values the row's columns give again.");
}
