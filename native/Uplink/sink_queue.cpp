// The queue side of RemoteTraceSink: captures and snapshots of events, their classification for
// the drop policy (the queue itself is the shared export queue's), the batch view and the
// statistics.
#include <algorithm>
#include <unordered_map>

#include <structmember.h>

#include "sink.hpp"

namespace orvane::uplink {

using orvane::exporting::Captured;
using orvane::exporting::ItemFlags;
using orvane::exporting::LockGuard;

const UplinkExporter g_hooks;

PyObject *g_warning_category = nullptr;
PyObject *g_set_aside_category = nullptr;
PyObject *g_mapping_abc = nullptr;
PyObject *g_base_model_copy = nullptr;
PyObject *g_base_model_model_copy = nullptr;
PyObject *g_original_sanitize = nullptr;
PyObject *g_original_is_secret = nullptr;
PyObject *g_fn_serialize = nullptr, *g_fn_peek = nullptr, *g_fn_has_pending = nullptr, *g_fn_drop_uploaded = nullptr,
         *g_fn_mark_available = nullptr, *g_fn_mark_unavailable = nullptr, *g_fn_enqueue = nullptr, *g_fn_ensure = nullptr;

namespace {

Name n_fields_set{"__pydantic_fields_set__"};
Name n_private_attributes{"__private_attributes__"};
Name n_model_config{"model_config"};
Name n_copy{"__copy__"};
Name n_model_copy{"model_copy"};
Name n_update{"update"};
Name n_payload{"payload"};
Name n_run{"run"};
Name n_meta{"meta"};
Name n_event_type{"event_type"};
Name n_message{"message"};
Name n_event_id{"event_id"};
Name n_endpoint{"endpoint"};
Name n_app_id{"app_id"};
Name n_group_id{"group_id"};
Name n_environment{"environment"};
Name n_api_key{"api_key"};
Name n_get{"get"};
Name k_coalesced{"coalesced"};
Name k_coalesced_count{"coalesced_count"};
Name k_high_frequency{"high_frequency"};
Name k_events{"events"};
Name k_path{"path"};
Name k_value{"value"};
Name k_status{"status"};
Name n_lower{"lower"};
Name n_strip{"strip"};

using orvane::py::attr;
using orvane::py::truthy;

bool is_mapping(nb::handle obj) {
    if (PyDict_Check(obj.ptr()))
        return true;
    int r = PyObject_IsInstance(obj.ptr(), g_mapping_abc);
    if (r < 0)
        throw nb::python_error();
    return r != 0;
}

// mapping.get(key) (None when missing).
nb::object mapping_get(nb::handle mapping, const char *key) {
    if (PyDict_Check(mapping.ptr())) {
        PyObject *r = nullptr;
        if (PyDict_GetItemStringRef(mapping.ptr(), key, &r) < 0)
            throw nb::python_error();
        return r ? nb::steal(r) : nb::none();
    }
    PyObject *r = PyObject_CallMethod(mapping.ptr(), "get", "s", key);
    if (r == nullptr)
        throw nb::python_error();
    return nb::steal(r);
}

// mapping.get(key) for an interned key (None when missing).
nb::object mapping_get(nb::handle mapping, Name &key) {
    PyObject *r = nullptr;
    if (PyDict_Check(mapping.ptr())) {
        if (PyDict_GetItemRef(mapping.ptr(), key.get(), &r) < 0)
            throw nb::python_error();
        return r ? nb::steal(r) : nb::none();
    }
    r = PyObject_CallMethodOneArg(mapping.ptr(), n_get.get(), key.get());
    if (r == nullptr)
        throw nb::python_error();
    return nb::steal(r);
}

// A shallow copy of a mapping as a new dict (dict(mapping)).
nb::object dict_copy(nb::handle mapping) {
    if (PyDict_CheckExact(mapping.ptr())) {
        PyObject *r = PyDict_Copy(mapping.ptr());
        if (r == nullptr)
            throw nb::python_error();
        return nb::steal(r);
    }
    PyObject *r = PyObject_CallOneArg(reinterpret_cast<PyObject *>(&PyDict_Type), mapping.ptr());
    if (r == nullptr)
        throw nb::python_error();
    return nb::steal(r);
}

// str(x or "")
nb::object text_or_empty(nb::handle value) {
    if (value.is_none() || !truthy(value))
        return nb::str("");
    if (PyUnicode_CheckExact(value.ptr()))
        return nb::borrow(value);
    PyObject *r = PyObject_Str(value.ptr());
    if (r == nullptr)
        throw nb::python_error();
    return nb::steal(r);
}

std::string_view utf8(nb::handle str) {
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(str.ptr(), &size);
    if (data == nullptr)
        throw nb::python_error();
    return {data, static_cast<size_t>(size)};
}

// Per model class: may a shallow copy be built natively (same result as model_copy)?
bool native_copy_type(nb::handle model) {
    static auto *cache = new std::unordered_map<PyTypeObject *, bool>();
    PyTypeObject *t = Py_TYPE(model.ptr());
    auto it = cache->find(t);
    if (it != cache->end())
        return it->second;
    bool ok = orvane::models::is_plain_model(model);
    if (ok) {
        nb::handle type(reinterpret_cast<PyObject *>(t));
        ok = attr(type, n_copy).ptr() == g_base_model_copy &&
             attr(type, n_model_copy).ptr() == g_base_model_model_copy;
        if (ok) {
            nb::object priv = attr(type, n_private_attributes);
            ok = PyDict_Check(priv.ptr()) && PyDict_GET_SIZE(priv.ptr()) == 0;
        }
        if (ok) {
            nb::object config = attr(type, n_model_config);
            nb::object extra = mapping_get(config, "extra");
            ok = !(PyUnicode_Check(extra.ptr()) && utf8(extra) == "allow");
        }
    }
    Py_INCREF(t);  // keep the type alive so its address is never reused
    cache->emplace(t, ok);
    return ok;
}

// Offsets of BaseModel's slots, read from its member descriptors once.
struct ModelSlots {
    Py_ssize_t fields_set = -1, extra = -1, priv = -1;
};

Py_ssize_t slot_offset(nb::handle base, const char *name) {
    nb::object descr = nb::borrow(PyDict_GetItemString(reinterpret_cast<PyTypeObject *>(base.ptr())->tp_dict, name));
    if (!descr.is_valid() || Py_TYPE(descr.ptr()) != &PyMemberDescr_Type)
        return -1;
    PyMemberDef *def = reinterpret_cast<PyMemberDescrObject *>(descr.ptr())->d_member;
    return def->type == Py_T_OBJECT_EX ? def->offset : -1;
}

const ModelSlots &model_slots() {
    static ModelSlots slots = [] {
        ModelSlots s;
        nb::object base = nb::module_::import_("pydantic").attr("BaseModel");
        s.fields_set = slot_offset(base, "__pydantic_fields_set__");
        s.extra = slot_offset(base, "__pydantic_extra__");
        s.priv = slot_offset(base, "__pydantic_private__");
        return s;
    }();
    return slots;
}

bool slots_known() {
    const ModelSlots &s = model_slots();
    return s.fields_set >= 0 && s.extra >= 0 && s.priv >= 0;
}

PyObject *&slot_at(PyObject *obj, Py_ssize_t offset) {
    return *reinterpret_cast<PyObject **>(reinterpret_cast<char *>(obj) + offset);
}

// The instance dict of a model (new reference).
nb::object instance_dict(nb::handle obj) {
    PyObject *d = PyObject_GenericGetDict(obj.ptr(), nullptr);
    if (d == nullptr)
        throw nb::python_error();
    return nb::steal(d);
}

// model_construct without validation for a class whose copies we build natively: what
// BaseModel.__copy__ leaves behind (dict, fields set, no extra, no private state).
nb::object fast_construct(PyTypeObject *type, nb::handle dict, nb::handle fields_set) {
    if (!slots_known())
        return orvane::models::construct(nb::handle(reinterpret_cast<PyObject *>(type)),
                                         nb::borrow<nb::dict>(dict), fields_set);
    nb::object m = nb::steal(type->tp_alloc(type, 0));
    if (!m.is_valid())
        throw nb::python_error();
    if (PyObject_GenericSetDict(m.ptr(), dict.ptr(), nullptr) < 0)
        throw nb::python_error();
    const ModelSlots &s = model_slots();
    Py_XSETREF(slot_at(m.ptr(), s.fields_set), Py_NewRef(fields_set.ptr()));
    Py_XSETREF(slot_at(m.ptr(), s.extra), Py_NewRef(Py_None));
    Py_XSETREF(slot_at(m.ptr(), s.priv), Py_NewRef(Py_None));
    return m;
}

nb::object fields_set_of(nb::handle model) {
    if (slots_known()) {
        PyObject *fs = slot_at(model.ptr(), model_slots().fields_set);
        if (fs != nullptr)
            return nb::borrow(fs);
    }
    return attr(model, n_fields_set);
}

struct Flags {
    bool preferred = false;
    bool terminal = false;
};

// Classification from the field values (event_type, payload, message, meta).
bool terminal_from(nb::handle event_type, nb::handle payload, nb::handle message) {
    nb::object type_text = text_or_empty(event_type);
    std::string_view t = utf8(type_text);
    if (is_terminal_event_type(t))
        return true;
    if (t != "agent_execution.stream" || !is_mapping(payload))
        return false;
    nb::object path_value = mapping_get(payload, k_path);
    if (path_value.is_none() || !truthy(path_value))
        path_value = nb::borrow(message);
    nb::object path = text_or_empty(path_value);
    nb::object raw_value = mapping_get(payload, k_value);
    nb::object status_value = nb::none();
    if (is_mapping(raw_value))
        status_value = mapping_get(raw_value, k_status);
    if (status_value.is_none() || !truthy(status_value))
        status_value = mapping_get(payload, k_status);
    nb::object status = text_or_empty(status_value);
    status = status.attr(n_strip.get())().attr(n_lower.get())();
    return is_terminal_stream(utf8(path), utf8(status));
}

bool preferred_from(nb::handle event_type, nb::handle message, nb::handle meta) {
    if (!meta.is_none() && (mapping_get(meta, k_coalesced).ptr() == Py_True ||
                            mapping_get(meta, k_high_frequency).ptr() == Py_True))
        return true;
    nb::object type_text = text_or_empty(event_type);
    if (is_high_frequency_type(utf8(type_text)))
        return true;
    nb::object text = text_or_empty(message);
    if (PyUnicode_IS_ASCII(text.ptr()))
        return ascii_mentions_heartbeat(utf8(text));
    nb::object lowered = text.attr(n_lower.get())();
    return utf8(lowered).find("heartbeat") != std::string_view::npos;
}

Flags classify_fields(nb::handle event_type, nb::handle payload, nb::handle message, nb::handle meta) {
    Flags f;
    f.terminal = terminal_from(event_type, payload, message);
    f.preferred = !f.terminal && preferred_from(event_type, message, meta);
    return f;
}

Flags classify_event(nb::handle event) {
    return classify_fields(attr(event, n_event_type), attr(event, n_payload),
                           attr(event, n_message), attr(event, n_meta));
}

nb::object dict_item(nb::handle dict, Name &key) {
    PyObject *r = nullptr;
    if (PyDict_GetItemRef(dict.ptr(), key.get(), &r) < 0)
        throw nb::python_error();
    return r ? nb::steal(r) : nb::none();
}

int64_t saturating_int64(nb::handle value) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred())
        throw nb::python_error();
    if (overflow > 0)
        return INT64_MAX;
    if (overflow < 0)
        return INT64_MIN;
    return v;
}

nb::object capture_of(nb::handle event);

}  // namespace

// --- snapshots -----------------------------------------------------------------------------------

namespace {

void untrack(nb::handle obj) {
    if (PyObject_IS_GC(obj.ptr()) && PyObject_GC_IsTracked(obj.ptr()))
        PyObject_GC_UnTrack(obj.ptr());
}

// Snapshot containers are new objects that only the queue refers to, so they cannot be part of
// a reference cycle unless a caller builds one through an object it took out of the queue; they
// are kept away from the cycle collector, whose passes would otherwise visit every queued event
// again and again (the dominant cost of a long queue). Dicts re-track themselves if a container
// is inserted later.
nb::object snapshot_copy(nb::handle model, std::initializer_list<std::pair<Name *, nb::handle>> updates);

}  // namespace

nb::object copy_with_update(nb::handle model, std::initializer_list<std::pair<Name *, nb::handle>> updates) {
    if (native_copy_type(model)) {
        nb::object d = instance_dict(model);
        nb::object fs = fields_set_of(model);
        if (PyDict_Check(d.ptr()) && PySet_Check(fs.ptr())) {
            nb::object nd = nb::steal(PyDict_Copy(d.ptr()));
            nb::object nfs = nb::steal(PySet_New(fs.ptr()));
            if (!nd.is_valid() || !nfs.is_valid())
                throw nb::python_error();
            for (auto &[name, value] : updates) {
                if (PyDict_SetItem(nd.ptr(), name->get(), value.ptr()) < 0 ||
                    PySet_Add(nfs.ptr(), name->get()) < 0)
                    throw nb::python_error();
            }
            // A set of field names cannot take part in a reference cycle; keeping it away from
            // the cycle collector saves every collection a visit per queued event.
            if (PyObject_GC_IsTracked(nfs.ptr()))
                PyObject_GC_UnTrack(nfs.ptr());
            return fast_construct(Py_TYPE(model.ptr()), nd, nfs);
        }
    }
    nb::dict update;
    for (auto &[name, value] : updates)
        update[nb::handle(name->get())] = value;
    nb::object method = attr(model, n_model_copy);
    PyObject *args[] = {update.ptr()};
    nb::object kwnames = nb::steal(PyTuple_Pack(1, n_update.get()));
    PyObject *r = PyObject_Vectorcall(method.ptr(), args, 0, kwnames.ptr());
    if (r == nullptr)
        throw nb::python_error();
    return nb::steal(r);
}

namespace {

nb::object snapshot_copy(nb::handle model, std::initializer_list<std::pair<Name *, nb::handle>> updates) {
    nb::object copy = copy_with_update(model, updates);
    if (native_copy_type(copy)) {
        PyObject *dict = PyObject_GenericGetDict(copy.ptr(), nullptr);
        if (dict == nullptr)
            throw nb::python_error();
        untrack(dict);
        Py_DECREF(dict);
        untrack(copy);
    }
    return copy;
}

}  // namespace

nb::object snapshot_run_context(nb::handle run) {
    if (run.is_none())
        return nb::none();
    nb::object meta = dict_copy(attr(run, n_meta));
    untrack(meta);
    return snapshot_copy(run, {{&n_meta, meta}});
}

nb::object snapshot_event(nb::handle event) {
    nb::object payload, run, meta;
    if (native_copy_type(event)) {
        nb::object d = instance_dict(event);
        payload = dict_item(d, n_payload);
        run = dict_item(d, n_run);
        meta = dict_item(d, n_meta);
    } else {
        payload = attr(event, n_payload);
        run = attr(event, n_run);
        meta = attr(event, n_meta);
    }
    if (is_mapping(payload)) {
        payload = dict_copy(payload);
        untrack(payload);  // our own copy (a caller's non-mapping payload is left alone)
    }
    nb::object run_copy = snapshot_run_context(run);
    nb::object meta_copy = dict_copy(meta);
    untrack(meta_copy);
    return snapshot_copy(event, {{&n_payload, payload}, {&n_run, run_copy}, {&n_meta, meta_copy}});
}

bool is_terminal_or_result_event(nb::handle event) {
    return terminal_from(attr(event, n_event_type), attr(event, n_payload),
                         attr(event, n_message));
}

bool is_preferred_drop_event(nb::handle event) { return classify_event(event).preferred; }

// --- captures --------------------------------------------------------------------------------

namespace {

// The values of a model's instance dict in declared field order (new references), with the mask
// of its fields set; false when the model does not have the plain shape a capture can stand for.
bool read_fields(nb::handle model, PyObject *const *names, PyObject **values, uint32_t &mask) {
    nb::object d = instance_dict(model);
    if (!PyDict_CheckExact(d.ptr()) || PyDict_GET_SIZE(d.ptr()) != kCaptureFields)
        return false;
    nb::object fs = fields_set_of(model);
    if (!PySet_CheckExact(fs.ptr()) || PySet_GET_SIZE(fs.ptr()) > kCaptureFields)
        return false;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    for (Py_ssize_t i = 0; i < kCaptureFields; ++i) {
        if (!PyDict_Next(d.ptr(), &pos, &key, &value) ||
            (key != names[i] && !(PyUnicode_CheckExact(key) && PyUnicode_Compare(key, names[i]) == 0))) {
            if (PyErr_Occurred())
                throw nb::python_error();
            for (Py_ssize_t j = 0; j < i; ++j)
                Py_CLEAR(values[j]);
            return false;
        }
        values[i] = Py_NewRef(value);
    }
    // The set holds field names only when every element is one of the names: then the count
    // of names it contains equals its size (no iteration, no iterator object).
    mask = 0;
    bool ok = true;
    int contained = 0;
    for (Py_ssize_t i = 0; i < kCaptureFields; ++i) {
        int has = PySet_Contains(fs.ptr(), names[i]);
        if (has < 0)
            break;
        if (has) {
            mask |= 1u << i;
            ++contained;
        }
    }
    if (!PyErr_Occurred() && contained != PySet_GET_SIZE(fs.ptr()))
        ok = false;
    if (!ok || PyErr_Occurred()) {
        for (Py_ssize_t j = 0; j < kCaptureFields; ++j)
            Py_CLEAR(values[j]);
        if (PyErr_Occurred())
            throw nb::python_error();
        return false;
    }
    return true;
}

// A list of `n` new references (stolen from `values`) followed by the mask.
nb::object capture_list(PyObject **values, uint32_t mask, bool with_snapshot_slot) {
    Py_ssize_t n = kCaptureFields + 1 + (with_snapshot_slot ? 1 : 0);
    PyObject *list = PyList_New(n);
    if (list == nullptr) {
        for (Py_ssize_t j = 0; j < kCaptureFields; ++j)
            Py_CLEAR(values[j]);
        throw nb::python_error();
    }
    for (Py_ssize_t j = 0; j < kCaptureFields; ++j)
        PyList_SET_ITEM(list, j, values[j]);
    // The few mask values are kept as int objects (leaked on purpose), not made per event.
    static PyObject *masks[1u << kCaptureFields] = {};
    PyObject *&cached = masks[mask & ((1u << kCaptureFields) - 1)];
    if (cached == nullptr) {
        cached = PyLong_FromUnsignedLong(mask);
        if (cached == nullptr) {
            Py_DECREF(list);
            throw nb::python_error();
        }
    }
    PyList_SET_ITEM(list, kCaptureMask, Py_NewRef(cached));
    if (with_snapshot_slot)
        PyList_SET_ITEM(list, kCaptureSnapshot, Py_NewRef(Py_None));
    untrack(nb::handle(list));
    return nb::steal(list);
}

constexpr Py_ssize_t kPayload = 6, kMeta = 8, kRun = 9, kRunMeta = 9;

nb::object capture_run(nb::handle run, bool &ok) {
    const EventClasses &c = event_classes();
    ok = false;
    if (Py_TYPE(run.ptr()) != c.run || !native_copy_type(run))
        return nb::object();
    PyObject *values[kCaptureFields] = {};
    uint32_t mask = 0;
    if (!read_fields(run, c.run_names, values, mask))
        return nb::object();
    PyObject *meta = values[kRunMeta];
    PyObject *copy = PyDict_CheckExact(meta) ? PyDict_Copy(meta) : nullptr;
    if (copy == nullptr) {
        bool failed = PyErr_Occurred() != nullptr;
        for (PyObject *&v : values)
            Py_CLEAR(v);
        if (failed)
            throw nb::python_error();
        return nb::object();  // a meta that is no dict: the snapshot path copies it
    }
    untrack(nb::handle(copy));
    Py_SETREF(values[kRunMeta], copy);
    ok = true;
    return capture_list(values, mask | (1u << kRunMeta), false);
}

// The snapshot model for a list of field values (borrowed) and a fields-set mask: what
// copy_with_update builds for the source model.
nb::object build_model(PyTypeObject *type, PyObject *const *names, PyObject *const *values, uint32_t mask) {
    nb::object d = nb::steal(PyDict_New());
    nb::object fs = nb::steal(PySet_New(nullptr));
    if (!d.is_valid() || !fs.is_valid())
        throw nb::python_error();
    for (Py_ssize_t i = 0; i < kCaptureFields; ++i) {
        if (PyDict_SetItem(d.ptr(), names[i], values[i]) < 0)
            throw nb::python_error();
        if ((mask >> i) & 1u)
            if (PySet_Add(fs.ptr(), names[i]) < 0)
                throw nb::python_error();
    }
    untrack(fs);
    nb::object m = fast_construct(type, d, fs);
    untrack(d);
    untrack(m);
    return m;
}

}  // namespace

namespace {

nb::object capture_of(nb::handle event) {
    const EventClasses &c = event_classes();
    if (c.event == nullptr || Py_TYPE(event.ptr()) != c.event || !slots_known() || !native_copy_type(event))
        return nb::object();
    PyObject *values[kCaptureFields] = {};
    uint32_t mask = 0;
    if (!read_fields(event, c.event_names, values, mask))
        return nb::object();
    auto give_up = [&]() {
        for (PyObject *&v : values)
            Py_CLEAR(v);
    };
    try {
        PyObject *run = values[kRun];
        if (run != Py_None) {
            bool ok = false;
            nb::object rc = capture_run(nb::handle(run), ok);
            if (!ok) {
                give_up();
                return nb::object();
            }
            Py_SETREF(values[kRun], rc.release().ptr());
        }
        if (!PyDict_Check(values[kMeta])) {
            give_up();
            return nb::object();
        }
        nb::object meta = dict_copy(nb::handle(values[kMeta]));
        untrack(meta);
        Py_SETREF(values[kMeta], meta.release().ptr());
        nb::handle payload(values[kPayload]);
        if (is_mapping(payload)) {
            nb::object copy = dict_copy(payload);
            untrack(copy);
            Py_SETREF(values[kPayload], copy.release().ptr());
        }
    } catch (...) {
        give_up();
        throw;
    }
    mask |= (1u << kPayload) | (1u << kRun) | (1u << kMeta);
    return capture_list(values, mask, true);
}

}  // namespace

nb::object capture_snapshot(nb::handle capture) {
    PyObject *cap = capture.ptr();
    PyObject *cached = PyList_GET_ITEM(cap, kCaptureSnapshot);
    if (cached != Py_None)
        return nb::borrow(cached);
    const EventClasses &c = event_classes();
    PyObject *values[kCaptureFields];
    for (Py_ssize_t i = 0; i < kCaptureFields; ++i)
        values[i] = PyList_GET_ITEM(cap, i);
    nb::object run_model = nb::none();
    if (values[kRun] != Py_None) {
        PyObject *rc = values[kRun];
        PyObject *run_values[kCaptureFields];
        for (Py_ssize_t i = 0; i < kCaptureFields; ++i)
            run_values[i] = PyList_GET_ITEM(rc, i);
        uint32_t run_mask = static_cast<uint32_t>(PyLong_AsUnsignedLong(PyList_GET_ITEM(rc, kCaptureMask)));
        run_model = build_model(c.run, c.run_names, run_values, run_mask);
    }
    values[kRun] = run_model.ptr();
    uint32_t mask = static_cast<uint32_t>(PyLong_AsUnsignedLong(PyList_GET_ITEM(cap, kCaptureMask)));
    nb::object model = build_model(c.event, c.event_names, values, mask);
    // Building may have run other code (a collection); the first snapshot stored wins.
    cached = PyList_GET_ITEM(cap, kCaptureSnapshot);
    if (cached != Py_None)
        return nb::borrow(cached);
    PyList_SetItem(cap, kCaptureSnapshot, nb::object(model).release().ptr());
    return model;
}

nb::object entry_snapshot(const QueueEntry &e) {
    nb::handle item(static_cast<PyObject *>(e.item));
    return e.compact ? capture_snapshot(item) : nb::borrow(item);
}

nb::object item_snapshot(nb::handle item, bool compact) {
    return compact ? capture_snapshot(item) : nb::borrow(item);
}

// --- hooks: intake -----------------------------------------------------------------------------

Captured UplinkExporter::capture(nb::handle, ExportState &, nb::handle event) const {
    Captured p;
    p.item = capture_of(event);
    p.compact = p.item.is_valid();
    if (!p.compact)
        p.item = snapshot_event(event);
    // Classification reads the snapshot: its first-level values are the caller's own.
    nb::object meta;
    if (native_copy_type(event)) {
        nb::object d = instance_dict(event);
        meta = dict_item(d, n_meta);
        Flags f = classify_fields(dict_item(d, n_event_type), dict_item(d, n_payload), dict_item(d, n_message), meta);
        p.flags = {f.preferred, f.terminal};
    } else {
        meta = attr(event, n_meta);
        Flags f = classify_event(event);
        p.flags = {f.preferred, f.terminal};
    }
    // Coalescing is read from the caller's event (the same values at this point).
    nb::object coalesced = meta.is_none() ? nb::none() : mapping_get(meta, k_coalesced);
    if (coalesced.ptr() == Py_True) {
        p.coalesced = true;
        nb::object payload = attr(event, n_payload);
        if (is_mapping(payload)) {
            nb::object count = mapping_get(meta, k_coalesced_count);
            if (PyLong_Check(count.ptr())) {
                p.coalesced_items = saturating_int64(count);
            } else {
                nb::object events = mapping_get(payload, k_events);
                if (PyList_Check(events.ptr()))
                    p.coalesced_items = PyList_GET_SIZE(events.ptr());
            }
        }
    }
    return p;
}

ItemFlags UplinkExporter::flags_of(nb::handle item) const {
    Flags f = classify_event(item);
    return {f.preferred, f.terminal};
}

nb::object UplinkExporter::item_id(nb::handle item, bool compact) const {
    PyObject *obj = item.ptr();
    if (compact) {
        PyObject *cached = PyList_GET_ITEM(obj, kCaptureSnapshot);
        if (cached == Py_None)
            return nb::borrow(PyList_GET_ITEM(obj, 0));
        obj = cached;
    }
    return attr(nb::handle(obj), n_event_id);
}

// --- the batch view ----------------------------------------------------------------------------

nb::list peek_batch(ExportState &st) {
    std::vector<char> compact;
    nb::list out = orvane::exporting::peek_raw(st, compact);
    // Snapshots are built after the walk, with the pending lock released: building allocates
    // and may let other code run, which must neither meet the walk half-way nor find the lock
    // held. A snapshot is cached on its entry, so every peek returns the same object.
    for (size_t i = 0; i < compact.size(); ++i) {
        if (!compact[i])
            continue;
        nb::object snapshot = capture_snapshot(nb::handle(PyList_GET_ITEM(out.ptr(), static_cast<Py_ssize_t>(i))));
        if (PyList_SetItem(out.ptr(), static_cast<Py_ssize_t>(i), snapshot.release().ptr()) < 0)
            throw nb::python_error();
    }
    return out;
}

void drop_uploaded(ExportState &st, nb::handle ids) {
    if (!PyAnySet_Check(ids.ptr()))
        orvane::args::raise_incorrect_type("batch_event_ids", "set", ids);
    LockGuard pending(st.pending_acquire, st.pending_release);
    while (const QueueEntry *front = st.queue.front()) {
        nb::object id = g_hooks.item_id(nb::handle(static_cast<PyObject *>(front->item)), front->compact);
        int found = PySet_Contains(ids.ptr(), id.ptr());
        if (found < 0)
            throw nb::python_error();
        if (!found)
            break;
        if (st.queue.front() != front)  // changed while the id was read
            continue;
        std::optional<QueueEntry> e = st.queue.pop_front();
        Py_XDECREF(static_cast<PyObject *>(e->item));
    }
}

// --- texts ---------------------------------------------------------------------------------

std::string to_text(nb::handle value) {
    PyObject *s = PyObject_Str(value.ptr());
    if (s == nullptr)
        throw nb::python_error();
    nb::object str = nb::steal(s);
    PyObject *b = PyUnicode_AsEncodedString(s, "utf-8", "backslashreplace");
    if (b == nullptr)
        throw nb::python_error();
    nb::object bytes = nb::steal(b);
    return std::string(PyBytes_AS_STRING(b), static_cast<size_t>(PyBytes_GET_SIZE(b)));
}

std::vector<std::string> UplinkExporter::secrets(nb::handle self) const {
    std::vector<std::string> out;
    nb::object key = attr(self, n_api_key);
    if (PyUnicode_Check(key.ptr()) && PyUnicode_GET_LENGTH(key.ptr()) > 0)
        out.push_back(to_text(key));
    nb::object endpoint = attr(self, n_endpoint);
    if (PyUnicode_Check(endpoint.ptr())) {
        std::string url = to_text(endpoint);
        std::string_view info = orvane::exporting::url_userinfo(url);
        if (!info.empty()) {
            out.emplace_back(info);
            size_t colon = info.find(':');
            if (colon != std::string_view::npos && colon + 1 < info.size())
                out.emplace_back(info.substr(colon + 1));
        }
    }
    return out;
}

std::string UplinkExporter::public_endpoint(nb::handle self) const {
    nb::object endpoint = attr(self, n_endpoint);
    std::string text = orvane::exporting::url_without_userinfo(to_text(endpoint));
    nb::object key = attr(self, n_api_key);
    if (PyUnicode_Check(key.ptr()) && PyUnicode_GET_LENGTH(key.ptr()) > 0)
        text = orvane::exporting::redact(std::move(text), {to_text(key)});
    return text;
}

nb::dict get_stats(nb::handle self) {
    StateRef ref = state_of(self);
    ExportState &st = *ref.st;
    size_t pending_count;
    {
        LockGuard pending(st.pending_acquire, st.pending_release);
        pending_count = st.queue.size();
    }
    std::string public_url = g_hooks.public_endpoint(self);
    nb::str endpoint(public_url.c_str(), public_url.size());
    nb::object app_id = attr(self, n_app_id), group_id = attr(self, n_group_id),
               environment = attr(self, n_environment);
    LockGuard stats(st.stats_acquire, st.stats_release);
    const orvane::exporting::Counters &c = st.counters;
    nb::dict out;
    out["endpoint"] = endpoint;
    out["app_id"] = app_id;
    out["group_id"] = group_id;
    out["environment"] = environment;
    out["buffer_limit"] = st.buffer_limit;
    out["batch_size"] = st.batch_size;
    out["background_flush_interval"] = st.interval;
    out["pending_event_count"] = pending_count;
    out["enqueued_event_count"] = c.enqueued;
    out["dropped_event_count"] = c.dropped;
    out["dropped_high_frequency_event_count"] = c.dropped_high_frequency;
    out["dropped_terminal_event_count"] = c.dropped_terminal;
    out["coalesced_event_count"] = c.coalesced_events;
    out["coalesced_item_count"] = c.coalesced_items;
    out["upload_batch_count"] = c.batches;
    out["uploaded_event_count"] = c.delivered;
    out["upload_failure_count"] = c.failures;
    out["last_upload_at"] = st.last_upload_at;
    out["last_failure_at"] = st.last_failure_at;
    out["last_failure"] = st.last_failure;
    out["exit_unsent_event_count"] = c.exit_unsent;
    return out;
}

void init_globals() {
    g_mapping_abc = nb::module_::import_("collections.abc").attr("Mapping").ptr();
    Py_INCREF(g_mapping_abc);
    nb::object base = nb::module_::import_("pydantic").attr("BaseModel");
    g_base_model_copy = attr(base, n_copy).release().ptr();
    g_base_model_model_copy = attr(base, n_model_copy).release().ptr();
    nb::object sanitize = nb::module_::import_("orvane.utils").attr("DataFormatter").attr("sanitize");
    g_original_sanitize = sanitize.release().ptr();
    nb::object is_secret = nb::module_::import_("orvane.utils").attr("DataFormatter").attr("is_secret_key");
    g_original_is_secret = is_secret.release().ptr();
}

}  // namespace orvane::uplink
