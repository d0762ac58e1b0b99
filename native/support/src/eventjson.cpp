#include "orvane/eventjson.hpp"

#include <string>
#include <vector>

#include "orvane/outside.hpp"
#include "orvane/pyutil.hpp"

namespace orvane::eventjson {

namespace {

using orvane::outside::Name;
using json::Unsupported;

// A field and what its annotation admits, as model_dump(mode="json") passes it through unchanged:
// values of exactly `type` (any plain JSON value when nullptr), and None when `none_ok`; a run
// field holds a model of the run layout.
struct Field {
    PyObject *name;  // interned, kept for the process
    PyTypeObject *type;
    bool none_ok;
    bool run;
};

struct Layout {
    PyTypeObject *cls = nullptr;  // nullptr: this class is not written from its fields
    std::vector<Field> fields;
};

struct Layouts {
    Layout event, run;
    PyObject *model_dump = nullptr;  // pydantic.BaseModel.model_dump, which both classes keep
};

Name a_pydantic_fields{"__pydantic_fields__"};
Name a_computed_fields{"__pydantic_computed_fields__"};
Name a_decorators{"__pydantic_decorators__"};
Name a_field_serializers{"field_serializers"};
Name a_model_serializers{"model_serializers"};
Name a_annotation{"annotation"};
Name a_exclude{"exclude"};
Name a_alias{"alias"};
Name a_serialization_alias{"serialization_alias"};
Name a_model_config{"model_config"};
Name m_model_dump{"model_dump"};

bool empty(nb::handle container) { return PyObject_Length(container.ptr()) == 0; }

// The layout of `cls`, or an empty one when its dump is not its fields' values as they are.
Layout layout_of(nb::handle cls, nb::handle run_cls) {
    Layout out;
    nb::object str = nb::borrow(reinterpret_cast<PyObject *>(&PyUnicode_Type));
    nb::object integer = nb::borrow(reinterpret_cast<PyObject *>(&PyLong_Type));
    nb::object typing_any = nb::module_::import_("typing").attr("Any");
    nb::object none_type = nb::borrow(reinterpret_cast<PyObject *>(Py_TYPE(Py_None)));
    nb::object str_or_none = str | none_type;
    nb::object run_or_none = run_cls | none_type;
    nb::object dict_any = nb::borrow(reinterpret_cast<PyObject *>(&PyDict_Type))[nb::make_tuple(str, typing_any)];
    nb::object decorators = orvane::py::attr(cls, a_decorators);
    nb::object config = orvane::py::attr(cls, a_model_config);
    if (!empty(orvane::py::attr(cls, a_computed_fields)) ||
        !empty(orvane::py::attr(decorators, a_field_serializers)) ||
        !empty(orvane::py::attr(decorators, a_model_serializers)) || !PyDict_Check(config.ptr()) ||
        PyDict_GET_SIZE(config.ptr()) != 0)
        return out;
    nb::object fields = orvane::py::attr(cls, a_pydantic_fields);
    if (!PyDict_Check(fields.ptr()))
        return out;
    Py_ssize_t pos = 0;
    PyObject *name, *info;
    while (PyDict_Next(fields.ptr(), &pos, &name, &info)) {
        if (!PyUnicode_CheckExact(name))
            return Layout{};
        if (!orvane::py::attr(info, a_exclude).is_none() || !orvane::py::attr(info, a_alias).is_none() ||
            !orvane::py::attr(info, a_serialization_alias).is_none())
            return Layout{};
        nb::object annotation = orvane::py::attr(info, a_annotation);
        auto type_of = [](nb::handle cls) { return reinterpret_cast<PyTypeObject *>(cls.ptr()); };
        Field field{nullptr, nullptr, false, false};
        if (annotation.is(str) || annotation.is(integer))   // str, int
            field = Field{nullptr, type_of(annotation), false, false};
        else if (annotation.is(typing_any))                  // Any
            field = Field{nullptr, nullptr, false, false};
        else if (annotation.equal(str_or_none))              // str | None
            field = Field{nullptr, &PyUnicode_Type, true, false};
        else if (annotation.equal(dict_any))                 // dict[str, Any]
            field = Field{nullptr, &PyDict_Type, false, false};
        else if (!run_cls.is_none() && annotation.equal(run_or_none))  // RuntimeRunContext | None
            field = Field{nullptr, type_of(run_cls), true, true};
        else
            return Layout{};
        PyObject *interned = Py_NewRef(name);
        PyUnicode_InternInPlace(&interned);  // kept for the process
        field.name = interned;
        out.fields.push_back(field);
    }
    out.cls = reinterpret_cast<PyTypeObject *>(Py_NewRef(cls.ptr()));
    return out;
}

const Layouts &layouts() {
    static Layouts *l = [] {
        auto *out = new Layouts();  // kept for the process
        try {
            nb::object compat = nb::module_::import_("orvane_devtools._orvane_compat");
            nb::object run = compat.attr("RuntimeRunContext");
            out->run = layout_of(run, nb::none());
            if (out->run.cls != nullptr)
                out->event = layout_of(compat.attr("RuntimeEvent"), run);
            nb::object base = nb::module_::import_("pydantic").attr("BaseModel");
            out->model_dump = _PyType_Lookup(reinterpret_cast<PyTypeObject *>(base.ptr()), m_model_dump.get());
            Py_XINCREF(out->model_dump);
        } catch (nb::python_error &e) {
            e.discard_as_unraisable("while reading the event classes' field layouts");
        }
        return out;
    }();
    return *l;
}

void write_model(sanitize::Walk &walk, PyObject *model, const Layout &layout, long long depth);

void write_field(sanitize::Walk &walk, const Field &f, PyObject *value, long long depth) {
    if (value == Py_None && f.none_ok) {
        walk.writer().null();
    } else if (f.type != nullptr && Py_TYPE(value) != f.type) {
        throw Unsupported{};
    } else if (f.run) {
        write_model(walk, value, layouts().run, depth);
    } else {
        walk.value(value, depth);
    }
}

// The model's dump as an object of its fields; `depth` is the depth sanitize gives the dump.
void write_model(sanitize::Walk &walk, PyObject *model, const Layout &layout, long long depth) {
    // The dump is replaced by a marker at MAX_DEPTH (the dump route writes it), and it is the
    // fields' values only while the class keeps pydantic's model_dump.
    if (Py_TYPE(model) != layout.cls || layout.cls == nullptr || depth >= walk.rules().max_depth() ||
        _PyType_Lookup(layout.cls, m_model_dump.get()) != layouts().model_dump)
        throw Unsupported{};
    nb::object dict = nb::steal(PyObject_GenericGetDict(model, nullptr));
    if (!dict.is_valid())
        throw nb::python_error();
    if (!PyDict_CheckExact(dict.ptr()))
        throw Unsupported{};
    json::Writer &w = walk.writer();
    w.begin_object();
    bool first = true;
    for (const Field &f : layout.fields) {
        PyObject *value = nullptr;
        if (PyDict_GetItemRef(dict.ptr(), f.name, &value) < 0)
            throw nb::python_error();
        if (value == nullptr)
            throw Unsupported{};
        nb::object hold = nb::steal(value);
        if (!first)
            w.item_separator();
        first = false;
        w.string(f.name);
        w.key_separator();
        if (walk.is_secret(f.name))
            walk.mask();
        else
            write_field(walk, f, value, depth + 1);
    }
    w.end_object();
}

}  // namespace

void write_event(sanitize::Walk &walk, PyObject *event) {
    const Layouts &l = layouts();
    if (l.event.cls == nullptr || Py_TYPE(event) != l.event.cls)
        throw Unsupported{};
    write_model(walk, event, l.event, 0);
}

}  // namespace orvane::eventjson
