// The queue side of RemoteTraceSink: captures and snapshots of events, their classification for
// the drop policy (the queue itself is the shared export queue's), the batch view and the
// statistics.
#include <algorithm>
#include <unordered_map>

#include <structmember.h>

#include "orvane/dictscan.hpp"
#include "orvane/sanitize.hpp"
#include "sink.hpp"

namespace orvane::uplink {

using orvane::exporting::Captured;
using orvane::exporting::ItemFlags;
using orvane::exporting::LockGuard;

const UplinkExporter g_hooks;

PyObject *g_warning_category = nullptr;
PyObject *g_set_aside_category = nullptr;
PyObject *g_base_model_copy = nullptr;
PyObject *g_base_model_model_copy = nullptr;
PyObject *g_fn_serialize = nullptr, *g_fn_peek = nullptr, *g_fn_has_pending = nullptr, *g_fn_drop_uploaded = nullptr,
         *g_fn_mark_available = nullptr, *g_fn_mark_unavailable = nullptr, *g_fn_enqueue = nullptr, *g_fn_ensure = nullptr;

namespace {

Name a_fields_set{"__pydantic_fields_set__"};
Name a_private_attributes{"__private_attributes__"};
Name a_model_config{"model_config"};
Name a_copy{"__copy__"};
Name a_model_copy{"model_copy"};
Name a_payload{"payload"};
Name a_run{"run"};
Name a_meta{"meta"};
Name a_event_type{"event_type"};
Name a_message{"message"};
Name a_event_id{"event_id"};
Name a_endpoint{"endpoint"};
Name a_app_id{"app_id"};
Name a_group_id{"group_id"};
Name a_environment{"environment"};
Name a_api_key{"api_key"};
Name m_model_copy{"model_copy"};
Name m_lower{"lower"};
Name m_strip{"strip"};
Name k_update{"update"};
// Keys of a model's instance __dict__ (its field names)
Name d_payload{"payload"};
Name d_run{"run"};
Name d_meta{"meta"};
Name d_event_type{"event_type"};
Name d_message{"message"};
// Keys of the model_config mapping, and of the caller's payload and meta
Name d_extra{"extra"};
Name d_coalesced{"coalesced"};
Name d_coalesced_count{"coalesced_count"};
Name d_high_frequency{"high_frequency"};
Name d_events{"events"};
Name d_path{"path"};
Name d_value{"value"};
Name d_status{"status"};

using orvane::py::attr;
using orvane::py::get_or_none;
using orvane::py::is_mapping;
using orvane::py::truthy;
using orvane::py::utf8_of;

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

// Per model class: may a shallow copy be built natively (same result as model_copy)?
bool native_copy_type(nb::handle model) {
    static auto *cache = new std::unordered_map<PyTypeObject *, bool>();
    static PyTypeObject *last_type = nullptr;  // the last two classes asked about (event, run)
    static bool last_ok = false;
    static PyTypeObject *before_type = nullptr;
    static bool before_ok = false;
    PyTypeObject *t = Py_TYPE(model.ptr());
    if (t == last_type)
        return last_ok;
    if (t == before_type) {
        std::swap(last_type, before_type);
        std::swap(last_ok, before_ok);
        return last_ok;
    }
    auto remember = [&](bool ok) {
        before_type = last_type;
        before_ok = last_ok;
        last_type = t;
        last_ok = ok;
        return ok;
    };
    auto it = cache->find(t);
    if (it != cache->end())
        return remember(it->second);
    if (it != cache->end())
        return it->second;
    bool ok = orvane::models::is_plain_model(model);
    if (ok) {
        nb::handle type(reinterpret_cast<PyObject *>(t));
        ok = attr(type, a_copy).ptr() == g_base_model_copy &&
             attr(type, a_model_copy).ptr() == g_base_model_model_copy;
        if (ok) {
            nb::object priv = attr(type, a_private_attributes);
            ok = PyDict_Check(priv.ptr()) && PyDict_GET_SIZE(priv.ptr()) == 0;
        }
        if (ok) {
            nb::object config = attr(type, a_model_config);
            nb::object extra = get_or_none(config, d_extra);
            nb::object holder;
            ok = !(PyUnicode_Check(extra.ptr()) && utf8_of(extra, holder) == "allow");
        }
    }
    Py_INCREF(t);  // keep the type alive so its address is never reused
    cache->emplace(t, ok);
    return remember(ok);
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
    return attr(model, a_fields_set);
}

struct Flags {
    bool preferred = false;
    bool terminal = false;
};

// Classification from the field values (event_type, payload, message, meta).
// What an event type says by itself.
struct TypeVerdict {
    bool terminal = false;        // a terminal or result type
    bool high_frequency = false;  // deltas, streaming, heartbeats
    bool stream = false;          // "agent_execution.stream": the payload decides
};

TypeVerdict compute_type_verdict(nb::handle event_type) {
    nb::object type_text = text_or_empty(event_type);
    nb::object holder;
    std::string_view t = utf8_of(type_text, holder);
    TypeVerdict v;
    v.terminal = is_terminal_event_type(t);
    v.high_frequency = is_high_frequency_type(t);
    v.stream = t == "agent_execution.stream";
    return v;
}

// The verdict per event type, kept for the exact str objects seen last (events of one kind
// share their event_type string): a direct-mapped table by address, each listed string held
// so that its address cannot be reused by another string meanwhile.
TypeVerdict type_verdict(nb::handle event_type) {
    PyObject *key = event_type.ptr();
    if (!PyUnicode_CheckExact(key))
        return compute_type_verdict(event_type);
    struct Slot {
        PyObject *key = nullptr;
        TypeVerdict verdict;
    };
    static Slot slots[64];
    Slot &slot = slots[(reinterpret_cast<uintptr_t>(key) >> 4) & 63];
    if (slot.key == key)
        return slot.verdict;
    TypeVerdict v = compute_type_verdict(event_type);
    Py_XSETREF(slot.key, Py_NewRef(key));
    slot.verdict = v;
    return v;
}

bool terminal_from(const TypeVerdict &type, nb::handle payload, nb::handle message) {
    if (type.terminal)
        return true;
    if (!type.stream || !is_mapping(payload))
        return false;
    nb::object path_value = get_or_none(payload, d_path);
    if (path_value.is_none() || !truthy(path_value))
        path_value = nb::borrow(message);
    nb::object path = text_or_empty(path_value);
    nb::object raw_value = get_or_none(payload, d_value);
    nb::object status_value = nb::none();
    if (is_mapping(raw_value))
        status_value = get_or_none(raw_value, d_status);
    if (status_value.is_none() || !truthy(status_value))
        status_value = get_or_none(payload, d_status);
    nb::object status = text_or_empty(status_value);
    status = orvane::py::call0(orvane::py::call0(status, m_strip), m_lower);
    nb::object path_holder, status_holder;
    return is_terminal_stream(utf8_of(path, path_holder), utf8_of(status, status_holder));
}

bool terminal_from(nb::handle event_type, nb::handle payload, nb::handle message) {
    return terminal_from(type_verdict(event_type), payload, message);
}

// `coalesced`: whether the meta entry "coalesced" is True (the caller has read it already).
// With a plain dict as meta the checks have no side effects, so the cheap one goes first.
bool preferred_from(const TypeVerdict &type, nb::handle message, nb::handle meta, bool coalesced) {
    if (coalesced || (type.high_frequency && (meta.is_none() || PyDict_CheckExact(meta.ptr()))))
        return true;
    if (!meta.is_none() && get_or_none(meta, d_high_frequency).ptr() == Py_True)
        return true;
    if (type.high_frequency)
        return true;
    nb::object text = text_or_empty(message);
    nb::object holder;
    if (PyUnicode_IS_ASCII(text.ptr()))
        return ascii_mentions_heartbeat(utf8_of(text, holder));
    nb::object lowered = orvane::py::call0(text, m_lower);
    return utf8_of(lowered, holder).find("heartbeat") != std::string_view::npos;
}

bool coalesced_in(nb::handle meta) { return !meta.is_none() && get_or_none(meta, d_coalesced).ptr() == Py_True; }

Flags classify_fields(nb::handle event_type, nb::handle payload, nb::handle message, nb::handle meta,
                      bool coalesced) {
    TypeVerdict type = type_verdict(event_type);
    Flags f;
    f.terminal = terminal_from(type, payload, message);
    f.preferred = !f.terminal && preferred_from(type, message, meta, coalesced);
    return f;
}

Flags classify_fields(nb::handle event_type, nb::handle payload, nb::handle message, nb::handle meta) {
    TypeVerdict type = type_verdict(event_type);
    Flags f;
    f.terminal = terminal_from(type, payload, message);
    f.preferred = !f.terminal && preferred_from(type, message, meta, coalesced_in(meta));
    return f;
}

Flags classify_event(nb::handle event) {
    return classify_fields(attr(event, a_event_type), attr(event, a_payload),
                           attr(event, a_message), attr(event, a_meta));
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

// The caller's values a capture was made from, for its classification.
struct Originals {
    nb::object event_type, message, payload, meta;
};

nb::object capture_of(nb::handle event, Originals *originals = nullptr);

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
    return orvane::py::call_method_kw(model, m_model_copy, {}, {{&k_update, update}});
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
    nb::object meta = dict_copy(attr(run, a_meta));
    untrack(meta);
    return snapshot_copy(run, {{&d_meta, meta}});
}

nb::object snapshot_event(nb::handle event) {
    nb::object payload, run, meta;
    if (native_copy_type(event)) {
        nb::object d = instance_dict(event);
        payload = get_or_none(d, d_payload);
        run = get_or_none(d, d_run);
        meta = get_or_none(d, d_meta);
    } else {
        payload = attr(event, a_payload);
        run = attr(event, a_run);
        meta = attr(event, a_meta);
    }
    if (is_mapping(payload)) {
        payload = dict_copy(payload);
        untrack(payload);  // our own copy (a caller's non-mapping payload is left alone)
    }
    nb::object run_copy = snapshot_run_context(run);
    nb::object meta_copy = dict_copy(meta);
    untrack(meta_copy);
    return snapshot_copy(event, {{&d_payload, payload}, {&d_run, run_copy}, {&d_meta, meta_copy}});
}

bool is_terminal_or_result_event(nb::handle event) {
    return terminal_from(attr(event, a_event_type), attr(event, a_payload),
                         attr(event, a_message));
}

bool is_preferred_drop_event(nb::handle event) { return classify_event(event).preferred; }

// --- captures --------------------------------------------------------------------------------

namespace {

// The values of a model's instance dict in declared field order (new references), with the mask
// of its fields set; false when the model does not have the plain shape a capture can stand for.
// The mask of a fields set, found with pointer comparisons only (pydantic keeps the interned
// field names, which `names` are too): each name is looked for along the probe sequence the set
// uses for its hash (CPython's set_lookkey: linear runs of 9 slots, then a perturbed jump) up to
// an empty slot. False, and the caller asks the set by value, unless every member of the set was
// found that way; so a set laid out otherwise is still read right, only slower.
bool fields_set_mask(PyObject *set, PyObject *const *names, const Py_hash_t *hashes, uint32_t &mask) {
    constexpr size_t kLinearProbes = 9, kPerturbShift = 5;
    PySetObject *so = reinterpret_cast<PySetObject *>(set);
    const size_t table_mask = static_cast<size_t>(so->mask);
    Py_ssize_t found = 0;
    for (Py_ssize_t j = 0; j < kCaptureFields; ++j) {
        size_t perturb = static_cast<size_t>(hashes[j]);
        size_t i = perturb & table_mask;
        // Most names sit in the first slot they hash to (most slots of a set are empty).
        if (const setentry &first = so->table[i]; first.key == names[j]) {
            mask |= 1u << j;
            ++found;
            continue;
        } else if (first.key == nullptr && first.hash == 0) {
            continue;  // not in the set
        }
        bool done = false;
        for (int jumps = 0; jumps < 64 && !done; ++jumps) {
            size_t probes = i + kLinearProbes <= table_mask ? kLinearProbes : 0;
            for (size_t k = 0; k <= probes; ++k) {
                const setentry &e = so->table[i + k];
                if (e.key == nullptr && e.hash == 0) {
                    done = true;  // an empty slot ends the search
                    break;
                }
                if (e.key == names[j]) {
                    mask |= 1u << j;
                    ++found;
                    done = true;
                    break;
                }
            }
            perturb >>= kPerturbShift;
            i = (i * 5 + 1 + perturb) & table_mask;
        }
    }
    return found == so->used;
}

bool read_fields(nb::handle model, PyObject *const *names, const Py_hash_t *hashes, PyObject **values,
                 uint32_t &mask) {
    nb::object d = instance_dict(model);
    if (!PyDict_CheckExact(d.ptr()) || PyDict_GET_SIZE(d.ptr()) != kCaptureFields)
        return false;
    nb::object fs = fields_set_of(model);
    if (!PySet_CheckExact(fs.ptr()) || PySet_GET_SIZE(fs.ptr()) > kCaptureFields)
        return false;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    for (Py_ssize_t i = 0; i < kCaptureFields; ++i) {
        if (!orvane::dictscan::dict_next(d.ptr(), &pos, &key, &value) ||
            (key != names[i] && !(PyUnicode_CheckExact(key) && PyUnicode_Compare(key, names[i]) == 0))) {
            if (PyErr_Occurred())
                throw nb::python_error();
            for (Py_ssize_t j = 0; j < i; ++j)
                Py_CLEAR(values[j]);
            return false;
        }
        values[i] = Py_NewRef(value);
    }
    mask = 0;
    if (fields_set_mask(fs.ptr(), names, hashes, mask))
        return true;
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

// A capture of `values` (new references, taken over) and the fields-set mask.
nb::object new_capture(PyObject **values, uint32_t mask) {
    Capture *cap = PyObject_New(Capture, g_capture_type);
    if (cap == nullptr) {
        for (Py_ssize_t j = 0; j < kCaptureFields; ++j)
            Py_CLEAR(values[j]);
        throw nb::python_error();
    }
    for (Py_ssize_t j = 0; j < kCaptureFields; ++j)
        cap->values[j] = values[j];
    cap->snapshot = nullptr;
    cap->mask = mask;
    return nb::steal(reinterpret_cast<PyObject *>(cap));
}

constexpr Py_ssize_t kEventType = 1, kMessage = 5, kPayload = 6, kMeta = 8, kRun = 9, kRunMeta = 9;

nb::object capture_run(nb::handle run, bool &ok) {
    const EventClasses &c = event_classes();
    ok = false;
    if (Py_TYPE(run.ptr()) != c.run || !native_copy_type(run))
        return nb::object();
    PyObject *values[kCaptureFields] = {};
    uint32_t mask = 0;
    if (!read_fields(run, c.run_names, c.run_hashes, values, mask))
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
    return new_capture(values, mask | (1u << kRunMeta));
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

nb::object capture_of(nb::handle event, Originals *originals) {
    const EventClasses &c = event_classes();
    if (c.event == nullptr || Py_TYPE(event.ptr()) != c.event || !slots_known() || !native_copy_type(event))
        return nb::object();
    PyObject *values[kCaptureFields] = {};
    uint32_t mask = 0;
    if (!read_fields(event, c.event_names, c.event_hashes, values, mask))
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
        if (originals != nullptr) {
            originals->event_type = nb::borrow(values[kEventType]);
            originals->message = nb::borrow(values[kMessage]);
            originals->payload = nb::borrow(values[kPayload]);
            originals->meta = nb::borrow(values[kMeta]);
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
    return new_capture(values, mask);
}

}  // namespace

nb::object capture_snapshot(nb::handle capture) {
    Capture *cap = as_capture(capture.ptr());
    if (cap->snapshot != nullptr)
        return nb::borrow(cap->snapshot);
    nb::object keep = nb::borrow(capture);  // building runs other code (a collection)
    const EventClasses &c = event_classes();
    PyObject *values[kCaptureFields];
    for (Py_ssize_t i = 0; i < kCaptureFields; ++i)
        values[i] = cap->values[i];
    nb::object run_model = nb::none();
    if (values[kRun] != Py_None) {
        Capture *rc = as_capture(values[kRun]);
        run_model = build_model(c.run, c.run_names, rc->values, rc->mask);
    }
    values[kRun] = run_model.ptr();
    nb::object model = build_model(c.event, c.event_names, values, cap->mask);
    // The first snapshot stored wins.
    if (cap->snapshot != nullptr)
        return nb::borrow(cap->snapshot);
    cap->snapshot = nb::object(model).release().ptr();
    return model;
}

nb::object entry_snapshot(const QueueEntry &e) {
    nb::handle item(static_cast<PyObject *>(e.item));
    return e.compact ? capture_snapshot(item) : nb::borrow(item);
}

nb::object item_snapshot(nb::handle item, bool compact) {
    return compact ? capture_snapshot(item) : nb::borrow(item);
}

// --- the capture type ---------------------------------------------------------------------------

PyTypeObject *g_capture_type = nullptr;

namespace {

void capture_dealloc(PyObject *self) {
    Capture *cap = as_capture(self);
    for (PyObject *&v : cap->values)
        Py_CLEAR(v);
    Py_CLEAR(cap->snapshot);
    PyTypeObject *type = Py_TYPE(self);
    PyObject_Free(self);
    Py_DECREF(type);
}

PyType_Slot capture_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(capture_dealloc)},
    {Py_tp_doc, const_cast<char *>("A queued event kept compactly (field values, fields set, snapshot).")},
    {0, nullptr},
};

PyType_Spec capture_spec = {
    "orvane_devtools.observation.backends.Uplink._Capture",
    static_cast<int>(sizeof(Capture)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    capture_slots,
};

}  // namespace

void init_capture_type(nb::module_ &m) {
    PyObject *t = PyType_FromModuleAndSpec(m.ptr(), &capture_spec, nullptr);
    if (t == nullptr)
        throw nb::python_error();
    g_capture_type = reinterpret_cast<PyTypeObject *>(t);
    m.attr("_Capture") = nb::handle(t);
}

// --- hooks: intake -----------------------------------------------------------------------------

Captured UplinkExporter::capture(nb::handle, ExportState &, nb::handle event) const {
    Captured p;
    Originals originals;
    p.item = capture_of(event, &originals);
    p.compact = p.item.is_valid();
    if (!p.compact)
        p.item = snapshot_event(event);
    // Classification and coalescing read the caller's values, which the snapshot holds at the
    // first level.
    nb::object meta, payload;
    Flags f;
    if (p.compact) {
        meta = originals.meta;
        payload = originals.payload;
        p.coalesced = coalesced_in(meta);
        f = classify_fields(originals.event_type, payload, originals.message, meta, p.coalesced);
    } else if (native_copy_type(event)) {
        nb::object d = instance_dict(event);
        meta = get_or_none(d, d_meta);
        payload = get_or_none(d, d_payload);
        p.coalesced = coalesced_in(meta);
        f = classify_fields(get_or_none(d, d_event_type), payload, get_or_none(d, d_message), meta, p.coalesced);
    } else {
        meta = attr(event, a_meta);
        payload = attr(event, a_payload);
        p.coalesced = coalesced_in(meta);
        f = classify_fields(attr(event, a_event_type), payload, attr(event, a_message), meta, p.coalesced);
    }
    p.flags = {f.preferred, f.terminal};
    if (p.coalesced && is_mapping(payload)) {
        nb::object count = get_or_none(meta, d_coalesced_count);
        if (PyLong_Check(count.ptr())) {
            p.coalesced_items = saturating_int64(count);
        } else {
            nb::object events = get_or_none(payload, d_events);
            if (PyList_Check(events.ptr()))
                p.coalesced_items = PyList_GET_SIZE(events.ptr());
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
        Capture *cap = as_capture(obj);
        if (cap->snapshot == nullptr)
            return nb::borrow(cap->values[0]);
        obj = cap->snapshot;
    }
    return attr(nb::handle(obj), a_event_id);
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
    LockGuard pending(st.pending_lock);
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

// The API key, the endpoint's credentials (as written and percent-decoded) and the values of its
// secret-looking query parameters.
std::vector<std::string> UplinkExporter::secrets(nb::handle self) const {
    std::vector<std::string> out;
    nb::object key = attr(self, a_api_key);
    if (PyUnicode_Check(key.ptr()) && PyUnicode_GET_LENGTH(key.ptr()) > 0)
        out.push_back(text_of(key));
    nb::object endpoint = attr(self, a_endpoint);
    if (PyUnicode_Check(endpoint.ptr())) {
        std::string url = text_of(endpoint);
        std::string_view info = orvane::exporting::url_userinfo(url);
        if (!info.empty()) {
            out.emplace_back(info);
            size_t colon = info.find(':');
            if (colon != std::string_view::npos && colon + 1 < info.size()) {
                std::string_view password = info.substr(colon + 1);
                out.emplace_back(password);
                out.push_back(orvane::exporting::percent_decode(password));
            }
        }
        for (std::string &value : orvane::exporting::query_secret_values(url))
            out.push_back(std::move(value));
    }
    return out;
}

// The endpoint without credentials, secret query values masked, and the API key removed should
// it appear in the URL anyway.
std::string UplinkExporter::public_endpoint(nb::handle self) const {
    std::vector<std::string> key;
    nb::object api_key = attr(self, a_api_key);
    if (PyUnicode_Check(api_key.ptr()) && PyUnicode_GET_LENGTH(api_key.ptr()) > 0)
        key.push_back(text_of(api_key));
    return orvane::exporting::shown_endpoint(text_of(attr(self, a_endpoint)), std::move(key));
}

nb::dict get_stats(nb::handle self) {
    StateRef ref = state_of(self);
    ExportState &st = *ref.st;
    size_t pending_count;
    {
        LockGuard pending(st.pending_lock);
        pending_count = st.queue.size();
    }
    std::string public_url = g_hooks.public_endpoint(self);
    nb::str endpoint(public_url.c_str(), public_url.size());
    nb::object app_id = attr(self, a_app_id), group_id = attr(self, a_group_id),
               environment = attr(self, a_environment);
    LockGuard stats(st.stats_lock);
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
    out["unencodable_event_count"] = c.unencodable;
    out["refused_event_count"] = c.refused;
    return out;
}

void init_globals() {
    nb::object base = nb::module_::import_("pydantic").attr("BaseModel");
    g_base_model_copy = attr(base, a_copy).release().ptr();
    g_base_model_model_copy = attr(base, a_model_copy).release().ptr();
    orvane::sanitize::init();
}

}  // namespace orvane::uplink
