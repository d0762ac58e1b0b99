#include "derive.hpp"

#include "fields.hpp"
#include "names.hpp"
#include "orvane/models.hpp"
#include "util.hpp"
#include "orvane/dictscan.hpp"

namespace tally {

namespace {

using namespace names;

// The event meta entries that a record takes over (the event's own value wins over the run's).
Name *const kEventMetaKeys[] = {&d_app_id, &d_group_id, &d_environment};

nb::object copy_if(bool copy, nb::handle v) { return copy ? deep_copy(v) : nb::borrow(v); }

bool all_str_keys(PyObject *d) {
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (orvane::dictscan::dict_next(d, &pos, &k, &v))
        if (!PyUnicode_CheckExact(k))
            return false;
    return true;
}

// One more than `count` (int + 1 as Python adds them).
nb::object plus_one(PyObject *count) {
    if (PyLong_CheckExact(count)) {
        int overflow = 0;
        long long n = PyLong_AsLongLongAndOverflow(count, &overflow);
        if (overflow == 0 && n < INT64_MAX && !(n == -1 && PyErr_Occurred()))
            return checked(PyLong_FromLongLong(n + 1));
        PyErr_Clear();
    }
    nb::object one = checked(PyLong_FromLong(1));
    return checked(PyNumber_Add(count, one.ptr()));
}

// The key/value pairs of a mapping, as dict.update would take them (a dict's pairs read before
// any Python code runs on them).
std::vector<std::pair<nb::object, nb::object>> items_of(nb::handle mapping) {
    std::vector<std::pair<nb::object, nb::object>> out;
    nb::object d = nb::borrow(mapping);
    if (!PyDict_Check(mapping.ptr())) {
        d = checked(PyDict_New());
        if (PyDict_Merge(d.ptr(), mapping.ptr(), 1) < 0)
            throw nb::python_error();
    }
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (orvane::dictscan::dict_next(d.ptr(), &pos, &k, &v))
        out.emplace_back(nb::borrow(k), nb::borrow(v));
    return out;
}

}  // namespace

EventParts EventParts::read(nb::handle event) {
    EventParts p;
    p.event = nb::borrow(event);
    Fields ev(event);
    p.timestamp = ev.get(a_timestamp.get());
    PyObject *ts = p.timestamp.ptr();
    if (!PyLong_Check(ts) && !PyFloat_Check(ts)) {
        PyErr_Format(PyExc_TypeError, "event timestamp must be an int, not %.200s", Py_TYPE(ts)->tp_name);
        throw nb::python_error();
    }
    p.event_type = ev.get(a_event_type.get());
    p.source = ev.get(a_source.get());
    p.message = ev.get(a_message.get());
    p.meta = ev.get(a_meta.get());
    p.run = ev.get(a_run.get());
    if (p.run.is_none())
        return p;
    Fields run(p.run);
    p.run_id = run.get(a_run_id.get());
    p.root_run_id = run.get(a_root_run_id.get());
    p.parent_run_id = run.get(a_parent_run_id.get());
    p.run_kind = run.get(a_run_kind.get());
    p.run_meta = run.get(a_meta.get());
    for (size_t i = 0; i < std::size(kIdentityFields); ++i)
        p.identity[i] = run.get(field_name(kIdentityFields[i]));
    return p;
}

std::array<nb::object, kSearchedEventCount> EventParts::own_search_values() const {
    static auto fields = orvane::outside::names_of(kSearchedEventFields);
    std::array<nb::object, kSearchedEventCount> out;
    Fields ev(event);
    for (size_t k = 0; k < kSearchedEventCount; ++k)
        out[k] = ev.get(fields[k].get());
    return out;
}

RecordValues new_record_values(const EventParts &ev, uint32_t &set_fields) {
    RecordValues r;
    r.v[F_run_id] = ev.run_id;
    r.v[F_root_run_id] = ev.root_run_id.is_none() ? ev.run_id : deep_copy(ev.root_run_id);
    r.v[F_parent_run_id] = deep_copy(ev.parent_run_id);
    r.v[F_run_kind] = checked(PyObject_Str(ev.run_kind.ptr()));
    for (size_t i = 0; i < std::size(kIdentityFields); ++i)
        r.v[kIdentityFields[i]] = deep_copy(ev.identity[i]);
    nb::object meta = deep_copy(ev.run_meta);
    r.v[F_meta] = PyDict_CheckExact(meta.ptr())
                      ? meta
                      : checked(PyObject_CallOneArg(reinterpret_cast<PyObject *>(&PyDict_Type), meta.ptr()));
    set_fields = 0;
    for (Field f : {F_run_id, F_root_run_id, F_parent_run_id, F_run_kind, F_meta})
        set_fields |= 1u << f;
    for (Field f : kIdentityFields)
        set_fields |= 1u << f;
    // Values already of their declared types are kept as they are (validation would keep them);
    // anything else goes through RunRecord's own validation, which may convert or refuse it.
    auto is_str = [&](Field f, bool none_ok) {
        PyObject *v = r.v[f].ptr();
        return PyUnicode_CheckExact(v) || (none_ok && v == Py_None);
    };
    bool plain = is_str(F_run_id, false) && is_str(F_root_run_id, false) && is_str(F_parent_run_id, true) &&
                 is_str(F_run_kind, false);
    for (Field f : kIdentityFields)
        plain = plain && is_str(f, true);
    if (plain) {
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (plain && orvane::dictscan::dict_next(r.v[F_meta].ptr(), &pos, &k, &v))
            plain = PyUnicode_CheckExact(k);
    }
    r.v[F_status] = nb::borrow(status_object(RunStatus::Unknown));
    for (Field f : {F_latest_event_type, F_latest_source, F_latest_message, F_started_at, F_updated_at,
                    F_completed_at, F_failed_at})
        r.v[f] = nb::none();
    r.v[F_event_count] = checked(PyLong_FromLong(0));
    if (plain)
        return r;
    nb::dict kw;
    for (size_t f = 0; f < kFieldCount; ++f)
        if ((set_fields >> f) & 1u)
            kw[field_name(static_cast<Field>(f))] = r.v[f];
    nb::object model = checked(PyObject_Call(globals().run_record, nb::tuple().ptr(), kw.ptr()));
    NativeRecord validated;
    native_from_model(model, validated);
    for (size_t f = 0; f < kFieldCount; ++f)
        r.v[f] = nb::borrow(validated.v[f]);
    set_fields = validated.set_mask;
    return r;
}

void plan_event(const RecordValues &cur, const EventParts &ev, const PlanOptions &opt, RecordPlan &plan) {
    auto assign = [&](Field f, nb::object v) {
        plan.assigned |= 1u << f;
        PyObject *now = plan.value[f].is_valid() ? plan.value[f].ptr() : cur.get(f);
        if (!same_value(now, v.ptr()))
            plan.value[f] = std::move(v);
    };
    // Identity refresh: a value the run context carries replaces the record's.
    for (size_t i = 0; i < std::size(kIdentityFields); ++i)
        if (!ev.identity[i].is_none())
            assign(kIdentityFields[i], copy_if(opt.copy_values, ev.identity[i]));

    // Meta: the run's entries, then the event's own app/group/environment (which win). A record
    // whose meta Python code holds takes them as writes into its mapping; a record kept natively
    // gets a new mapping when an entry changes (copy on write), else keeps its own.
    PyObject *meta = cur.get(F_meta);
    auto write = [&](PyObject *k, nb::object v) {
        if (opt.meta_in_place) {
            plan.meta_writes.emplace_back(nb::borrow(k), std::move(v));
            return;
        }
        PyObject *target = plan.new_meta.is_valid() ? plan.new_meta.ptr() : meta;
        PyObject *now = PyDict_CheckExact(target) ? PyDict_GetItemWithError(target, k) : nullptr;
        if (now == nullptr && PyErr_Occurred())
            throw nb::python_error();
        if (now != nullptr && same_value(now, v.ptr()))
            return;
        if (!plan.new_meta.is_valid())
            plan.new_meta = PyDict_CheckExact(meta)
                                ? checked(PyDict_Copy(meta))
                                : checked(PyObject_CallOneArg(reinterpret_cast<PyObject *>(&PyDict_Type), meta));
        if (PyDict_SetItem(plan.new_meta.ptr(), k, v.ptr()) < 0)
            throw nb::python_error();
    };
    PyObject *run_meta = ev.run_meta.ptr();
    if (PyDict_CheckExact(run_meta) && flat_scalar_dict(run_meta) && all_str_keys(run_meta)) {
        // Values a copy shares and keys that compare without Python code: read in place.
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (orvane::dictscan::dict_next(run_meta, &pos, &k, &v))
            write(k, nb::borrow(v));
    } else if (truthy(ev.run_meta)) {
        for (auto &[k, v] : items_of(ev.run_meta))
            write(k.ptr(), copy_if(opt.copy_values, v));
    }
    PyObject *event_meta = ev.meta.ptr();
    for (Name *n : kEventMetaKeys) {
        if (PyDict_CheckExact(event_meta)) {
            PyObject *v = PyDict_GetItemWithError(event_meta, n->get());
            if (v == nullptr) {
                if (PyErr_Occurred())
                    throw nb::python_error();
                continue;
            }
            write(n->get(), copy_if(opt.copy_values, nb::borrow(v)));
            continue;
        }
        int has = PySequence_Contains(event_meta, n->get());
        if (has < 0)
            throw nb::python_error();
        if (has)
            write(n->get(), copy_if(opt.copy_values, checked(PyObject_GetItem(event_meta, n->get()))));
    }

    // The latest fields, times, count and status.
    assign(F_latest_event_type, copy_if(opt.copy_values, ev.event_type));
    assign(F_latest_source, copy_if(opt.copy_values, ev.source));
    assign(F_latest_message, copy_if(opt.copy_values, ev.message));
    nb::object ts = copy_if(opt.copy_values, ev.timestamp);
    assign(F_updated_at, ts);
    assign(F_event_count, plus_one(cur.get(F_event_count)));
    if (cur.get(F_started_at) == Py_None)
        assign(F_started_at, ts);
    if (std::optional<RunStatus> s = status_of_event_type(ev.event_type)) {
        plan.status = s;
        assign(F_status, nb::borrow(status_object(*s)));
        if (*s == RunStatus::Completed)
            assign(F_completed_at, ts);
        else if (*s == RunStatus::Failed)
            assign(F_failed_at, ts);
    }
}

}  // namespace tally
