#include "fastpaths.hpp"

#include "config.hpp"
#include "desk.hpp"
#include "names.hpp"
#include "shared_helpers.hpp"

namespace orvane::desk {

using namespace names;

namespace {

// The package's own functions, as their classes define them, and the globals of their modules
// (kept for the process).
struct Originals {
    PyObject *capture_event, *flow_key, *record_flow_run, *flow_globals;
    PyObject *publish, *match, *deliver, *run_matches, *subs_globals;
    PyObject *put;
    PyObject *mapping_abc;  // collections.abc.Mapping
};
Originals own{};

PyObject *class_function(nb::handle cls, const char *name) {
    return nb::object(cls.attr("__dict__")[name]).release().ptr();
}

// A global of the module the original functions come from, read now (NameError when missing,
// as the Python function would raise).
nb::object global(PyObject *globals, Name &name) {
    nb::object v = dict_find(globals, name.get());
    if (!v.is_valid()) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name.text());
        throw nb::python_error();
    }
    return v;
}

nb::object none_if_missing(nb::object v) { return v.is_valid() ? std::move(v) : nb::none(); }

// getattr(obj, name, None)
nb::object getattr_or_none(nb::handle obj, Name &name) {
    return none_if_missing(instance_attr(obj, name));
}

bool not_equal(nb::handle a, nb::handle b) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_NE);
    if (r < 0)
        throw nb::python_error();
    return r != 0;
}

// len(obj) > limit, with `limit` whatever the module holds.
bool longer_than(nb::handle obj, nb::handle limit) {
    Py_ssize_t n = PyObject_Size(obj.ptr());
    if (n < 0)
        throw nb::python_error();
    if (PyLong_CheckExact(limit.ptr())) {
        int overflow = 0;
        long long l = PyLong_AsLongLongAndOverflow(limit.ptr(), &overflow);
        if (l == -1 && PyErr_Occurred())
            throw nb::python_error();
        if (overflow != 0)
            return overflow < 0;
        return static_cast<long long>(n) > l;
    }
    nb::object size = checked(PyLong_FromSsize_t(n));
    int r = PyObject_RichCompareBool(size.ptr(), limit.ptr(), Py_GT);
    if (r < 0)
        throw nb::python_error();
    return r != 0;
}

// ---------------------------------------------------------------- RuntimeFlowRegistry

// The flow name in a meta value, as `meta.get("flow_name") if type(meta) is dict else
// _meta_flow_name(meta)` finds it.
nb::object meta_flow_name(nb::handle meta) {
    if (PyDict_CheckExact(meta.ptr()))
        return none_if_missing(dict_find(meta, d_flow_name.get()));
    nb::object fn = global(own.flow_globals, d_meta_flow_name);
    return checked(PyObject_CallOneArg(fn.ptr(), meta.ptr()));
}

bool usable_name(nb::handle name) {
    return PyUnicode_Check(name.ptr()) && PyUnicode_GET_LENGTH(name.ptr()) > 0;
}

// _flow_key(event): false when the event names no flow or has no run id.
bool flow_key(nb::handle event, nb::object &name, nb::object &run_id) {
    nb::object run = getattr_or_none(event, a_run);
    if (run.is_none())
        return false;
    nb::object rid = getattr_or_none(run, a_run_id);
    if (!PyUnicode_Check(rid.ptr()))
        return false;
    nb::object found = meta_flow_name(getattr_or_none(event, a_meta));
    if (!usable_name(found)) {
        found = meta_flow_name(getattr_or_none(run, a_meta));
        if (!usable_name(found))
            return false;
    }
    name = std::move(found);
    run_id = std::move(rid);
    return true;
}

// _record_flow_run(name, run_id)
void record_flow_run(nb::handle registry, nb::handle name, nb::handle run_id) {
    nb::object flows = attr(registry, a_flow_runs);
    nb::object runs = get_or_none(flows, name);
    if (runs.is_none()) {
        runs = nb::dict();
        if (PyObject_SetItem(flows.ptr(), name.ptr(), runs.ptr()) < 0)
            throw nb::python_error();
        if (longer_than(flows, global(own.flow_globals, d_max_flows))) {
            call_method_kw(flows, m_popitem, {}, {{&k_last, Py_False}});
        }
    } else {
        Py_ssize_t n = PyObject_Size(flows.ptr());
        if (n < 0)
            throw nb::python_error();
        if (n > 1)
            call1(flows, m_move_to_end, name);
    }
    int present = PySequence_Contains(runs.ptr(), run_id.ptr());
    if (present < 0)
        throw nb::python_error();
    if (present)
        return;
    if (PyObject_SetItem(runs.ptr(), run_id.ptr(), Py_None) < 0)
        throw nb::python_error();
    if (longer_than(runs, global(own.flow_globals, d_max_runs_per_flow))) {
        nb::object it = checked(PyObject_GetIter(runs.ptr()));
        PyObject *oldest = PyIter_Next(it.ptr());
        if (oldest == nullptr) {
            if (!PyErr_Occurred())
                PyErr_SetNone(PyExc_StopIteration);
            throw nb::python_error();
        }
        nb::object held = nb::steal(oldest);
        if (PyObject_DelItem(runs.ptr(), oldest) < 0)
            throw nb::python_error();
    }
}

// ---------------------------------------------------------------- RuntimeObservationSubscriptions

// self._run_matches(run, run_id, wanted, descendants)
bool run_matches(nb::handle registry, nb::handle run, nb::handle run_id, nb::handle wanted,
                 nb::handle descendants) {
    if (!is_own_method(registry, m_run_matches, own.run_matches)) {
        nb::object method = attr(registry, m_run_matches);
        PyObject *argv[] = {nullptr, run.ptr(), run_id.ptr(), wanted.ptr(), descendants.ptr()};
        return truthy(checked(PyObject_Vectorcall(
            method.ptr(), argv + 1, 4 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr)));
    }
    if (equals(run_id, wanted))
        return true;
    if (!truthy(descendants) || run.is_none())
        return false;
    nb::object parent = getattr_or_none(run, a_parent_run_id);
    if (equals(parent, wanted) || equals(getattr_or_none(run, a_root_run_id), wanted))
        return true;
    nb::object parents = attr(registry, a_parents);
    nb::object current = parent.is_none() ? nb::borrow(run_id) : parent;
    nb::object seen = new_set();
    set_add(seen, run_id);
    nb::object depth_obj = global(own.subs_globals, d_max_ancestry_depth);
    Py_ssize_t depth = PyNumber_AsSsize_t(depth_obj.ptr(), PyExc_OverflowError);
    if (depth == -1 && PyErr_Occurred())
        throw nb::python_error();
    for (Py_ssize_t i = 0; i < depth; ++i) {
        if (current.is_none() || set_contains(seen, current))
            return false;
        if (equals(current, wanted))
            return true;
        set_add(seen, current);
        current = get_or_none(parents, current);
    }
    return false;
}

// sub._put(event)
void put(nb::handle sub, nb::handle event) {
    if (!is_own_method(sub, m_put, own.put)) {
        call1(sub, m_put, event);
        return;
    }
    if (truthy(attr(sub, a_closed)))
        return;
    nb::object queue = attr(sub, a_queue);
    Py_ssize_t n = PyObject_Size(queue.ptr());
    if (n < 0)
        throw nb::python_error();
    nb::object size = checked(PyLong_FromSsize_t(n));
    nb::object maxsize = attr(sub, a_maxsize);
    int full = PyObject_RichCompareBool(size.ptr(), maxsize.ptr(), Py_GE);
    if (full < 0)
        throw nb::python_error();
    if (full) {
        deque_popleft(queue);
        nb::object dropped = attr(sub, a_dropped_count);
        nb::object one = checked(PyLong_FromLong(1));
        set_attr(sub, a_dropped_count, checked(PyNumber_InPlaceAdd(dropped.ptr(), one.ptr())));
    }
    deque_append(queue, event);
    if (truthy(attr(sub, a_waiters)))
        call0(sub, m_wake_one);
}

}  // namespace

void init_fastpath_originals() {
    if (own.capture_event != nullptr)
        return;
    nb::object flows = nb::module_::import_("orvane_devtools.observation.flow_registry");
    nb::object registry = flows.attr("RuntimeFlowRegistry");
    own.capture_event = class_function(registry, "capture_event");
    own.flow_key = class_function(registry, "_flow_key");
    own.record_flow_run = class_function(registry, "_record_flow_run");
    own.flow_globals = Py_NewRef(PyModule_GetDict(flows.ptr()));

    nb::object subs = nb::module_::import_("orvane_devtools.observation.subscriptions");
    nb::object subscriptions = subs.attr("RuntimeObservationSubscriptions");
    own.publish = class_function(subscriptions, "publish");
    own.match = class_function(subscriptions, "_match");
    own.deliver = class_function(subscriptions, "_deliver");
    own.run_matches = class_function(subscriptions, "_run_matches");
    own.subs_globals = Py_NewRef(PyModule_GetDict(subs.ptr()));
    own.put = class_function(subs.attr("RuntimeObservationSubscription"), "_put");
    own.mapping_abc =
        nb::object(nb::module_::import_("collections.abc").attr("Mapping")).release().ptr();
}

void init_originals() {
    init_settings_originals();
    init_fastpath_originals();
}

// ---------------------------------------------------------------- flow capture

void FlowStep::begin(nb::handle desk, nb::handle copy) {
    registry_ = field(desk, a_flow_registry);
    own_ = is_own_method(registry_, m_capture_event, own.capture_event);
    if (!own_) {
        call1(registry_, m_capture_event, copy);
        return;
    }
    if (is_own_method(registry_, m_flow_key, own.flow_key)) {
        flow_key(copy, name_, run_id_);
        return;
    }
    nb::object key = call1(registry_, m_flow_key, copy);
    if (!key.is_none())
        key_ = checked(PySequence_Tuple(key.ptr()));
}

void FlowStep::finish() {
    if (!own_)
        return;
    if (name_.is_valid() && is_own_method(registry_, m_record_flow_run, own.record_flow_run)) {
        record_flow_run(registry_, name_, run_id_);
        return;
    }
    if (name_.is_valid())
        key_ = nb::make_tuple(name_, run_id_);
    if (!key_.is_valid())
        return;
    nb::object method = attr(registry_, m_record_flow_run);
    checked(PyObject_Call(method.ptr(), key_.ptr(), nullptr));
}

// ---------------------------------------------------------------- publication

void PublishStep::prepare(nb::handle desk, nb::handle copy) {
    registry_ = field(desk, a_subscriptions);
    copy_ = nb::borrow(copy);
    own_ = is_own_method(registry_, m_publish, own.publish);
    if (!own_)
        return;
    if (!is_own_method(registry_, m_match, own.match)) {
        delivery_ = call1(registry_, m_match, copy);
        return;
    }
    native_ = true;
    nb::object active = attr(registry_, a_active);
    active_ = truthy(active);
    if (!active_)
        return;
    nb::handle event = copy;
    nb::object run = getattr_or_none(event, a_run);
    nb::object run_id = run.is_none() ? nb::none() : getattr_or_none(run, a_run_id);
    if (truthy(attr(registry_, a_track_links)) && !run_id.is_none()) {
        link_run_id_ = run_id;
        link_parent_ = getattr_or_none(run, a_parent_run_id);
    }
    nb::object event_type = getattr_or_none(event, a_event_type);
    nb::object meta;  // read on first need
    nb::object it = checked(PyObject_GetIter(active.ptr()));
    while (PyObject *item = PyIter_Next(it.ptr())) {
        nb::object sub = nb::steal(item);
        nb::object event_types = attr(sub, a_event_types);
        if (!event_types.is_none()) {
            nb::object fn = global(own.subs_globals, d_matches_event_type);
            PyObject *argv[] = {nullptr, event_type.ptr(), event_types.ptr()};
            nb::object hit = checked(
                PyObject_Vectorcall(fn.ptr(), argv + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
            if (!truthy(hit))
                continue;
        }
        nb::object source = attr(sub, a_source);
        if (!source.is_none() && not_equal(getattr_or_none(event, a_source), source))
            continue;
        nb::object level = attr(sub, a_level);
        if (!level.is_none() && not_equal(getattr_or_none(event, a_level), level))
            continue;
        if (truthy(attr(sub, a_needs_meta))) {
            if (!meta.is_valid()) {
                meta = getattr_or_none(event, a_meta);
                nb::object mapping = global(own.subs_globals, d_mapping);
                bool known = PyDict_CheckExact(meta.ptr()) && mapping.ptr() == own.mapping_abc;
                if (!known && !is_instance(meta, mapping))
                    meta = nb::dict();
            }
            nb::object event_app_id = get_or_none(meta, d_app_id);
            nb::object app_id = attr(sub, a_app_id);
            if (!app_id.is_none() && not_equal(event_app_id, app_id))
                continue;
            nb::object search = attr(sub, a_app_id_search);
            if (!search.is_none()) {
                if (!PyUnicode_Check(event_app_id.ptr()))
                    continue;
                if (!truthy(checked(PyObject_CallOneArg(search.ptr(), event_app_id.ptr()))))
                    continue;
            }
            nb::object group_id = attr(sub, a_group_id);
            if (!group_id.is_none() && not_equal(get_or_none(meta, d_group_id), group_id))
                continue;
        }
        nb::object wanted = attr(sub, a_run_id);
        if (!wanted.is_none() &&
            !run_matches(registry_, run, run_id, wanted, attr(sub, a_include_descendants)))
            continue;
        matched_.push_back(std::move(sub));
    }
    if (PyErr_Occurred())
        throw nb::python_error();
}

void PublishStep::deliver() {
    if (!own_) {
        call1(registry_, m_publish, copy_);
        return;
    }
    if (native_) {
        if (!active_)
            return;  // _match found nothing subscribed: publish stops there
        if (!is_own_method(registry_, m_deliver, own.deliver)) {
            nb::list subs;
            for (auto &sub : matched_)
                subs.append(sub);
            nb::object link = link_run_id_.is_valid()
                                  ? nb::object(nb::make_tuple(link_run_id_, link_parent_))
                                  : nb::none();
            delivery_ = nb::make_tuple(subs, link);
        } else {
            if (link_run_id_.is_valid())
                call2(registry_, m_remember_link, link_run_id_, link_parent_);
            for (auto &sub : matched_)
                put(sub, copy_);
            return;
        }
    }
    if (!delivery_.is_none())
        call2(registry_, m_deliver, copy_, delivery_);
}

}  // namespace orvane::desk
