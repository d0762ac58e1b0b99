// Event queries of RuntimeTraceDesk: the events of a run, the most recent events, one event by
// id, and query_events with its filters and free-text search.
//
// Without a log service query_events filters the run store's events itself, one step after the
// other over the whole list (filter_events); for the package's own run store it reads the held
// events in their stored form through the store's private interface and decodes only what a step
// needs. With a log service the whole query goes to the service.
#include <cmath>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "../Tallybook/fast_api.hpp"
#include "names.hpp"
#include "orvane/args.hpp"
#include "orvane/models.hpp"
#include "orvane/searchtext.hpp"
#include "shared_helpers.hpp"
#include "queries.hpp"
#include "resolver.hpp"

namespace orvane::desk {

using namespace names;

namespace {

// Whether the needle occurs in the searched text of `value` (orvane::search::append_searchable,
// as the run store makes it for its own search: no held event can make a search raise, and both
// ways of searching the store's events agree). `buf` is scratch space.
bool haystack_has(nb::handle value, std::string_view needle, std::string &buf) {
    if (value.is_none())
        return false;
    buf.clear();
    search::append_searchable(value, buf);
    return std::string_view(buf).find(needle) != std::string_view::npos;
}

// Whether `v` is made only of values whose JSON-mode dump is the value itself: exact str, int,
// bool, None, finite float, and lists, tuples and str-keyed dicts of those, 17 levels deep at most.
bool json_native(PyObject *v) {
    return orvane::py::all_leaves(v, 17, [](PyObject *x) {
        if (PyFloat_CheckExact(x))
            return std::isfinite(PyFloat_AS_DOUBLE(x)) != 0;
        return x == Py_None || PyUnicode_CheckExact(x) || PyLong_CheckExact(x) || PyBool_Check(x);
    });
}

// The run context's field dict when its `model_dump(mode="json")` would equal it: an exact
// RuntimeRunContext holding exactly its fields, all JSON-native. The search text of a dict does
// not depend on key order, so the dict itself gives the dump's text. Invalid handle otherwise.
nb::handle plain_run_fields(nb::handle run) {
    static PyObject *run_cls = nullptr;
    static Py_ssize_t n_fields = -1;
    if (n_fields < 0) {
        nb::object cls = nb::module_::import_("orvane_devtools._orvane_compat").attr("RuntimeRunContext");
        n_fields = static_cast<Py_ssize_t>(nb::len(nb::object(cls.attr("model_fields"))));
        run_cls = cls.release().ptr();
    }
    if (reinterpret_cast<PyObject *>(Py_TYPE(run.ptr())) != run_cls)
        return nb::handle();
    PyObject **dictptr = _PyObject_GetDictPtr(run.ptr());
    if (dictptr == nullptr || *dictptr == nullptr || PyDict_GET_SIZE(*dictptr) != n_fields)
        return nb::handle();
    if (!json_native(*dictptr))
        return nb::handle();
    return nb::handle(*dictptr);
}

// The search over the event's run context: the text of its JSON dump.
bool run_matches_needle(nb::handle event, std::string_view needle, std::string &buf) {
    nb::object run = field(event, a_run);
    if (run.is_none())
        return false;
    if (nb::handle fields = plain_run_fields(run); fields.is_valid())
        return haystack_has(fields, needle, buf);
    nb::object dumped;
    try {
        dumped = call_kw(attr(run, m_model_dump), {{&k_mode, nb::handle(mode_json.get())}});
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception))
            throw;
        return haystack_has(run, needle, buf);  // a run that cannot be dumped: its repr()
    }
    return haystack_has(dumped, needle, buf);
}

bool event_matches_needle(nb::handle event, std::string_view needle, std::string &buf) {
    if (needle.empty())
        return true;
    static auto fields = outside::names_of(search::kEventFields);
    for (Name &f : fields)
        if (haystack_has(field(event, f), needle, buf))
            return true;
    return run_matches_needle(event, needle, buf);
}

// meta.get(key) of the event's meta when it is a Mapping; None otherwise (an event without the
// entry has None, which no filter value equals).
nb::object event_meta_entry(nb::handle event, Name &key) {
    nb::object meta = field(event, a_meta);
    if (meta.is_none() || !is_mapping(meta))
        return nb::none();
    return get_or_none(meta, key);
}

// Whether `s` is a str of white space only (or empty): not s.strip().
bool blank(nb::handle s) {
    if (!PyUnicode_Check(s.ptr()))
        return false;
    return !truthy(call0(s, m_strip));
}

nb::object store_get_run_events(nb::handle self, nb::handle run_id, nb::handle limit, bool descendants) {
    nb::object store = field(self, a_store);
    return call_kw(attr(store, m_get_run_events), {run_id},
                   {{&k_limit, limit}, {&k_include_descendants, descendants ? Py_True : Py_False}});
}

nb::object store_get_recent_events(nb::handle self, nb::handle limit) {
    nb::object store = field(self, a_store);
    return call_kw(attr(store, m_get_recent_events), {{&k_limit, limit}});
}

// The run store's private interface when `store` is exactly the package's RuntimeTallybook whose
// get_recent_events is still the one it was published with (is_own_method); nullptr otherwise
// (then the store is used through its methods).
const tally_api::Api *fast_store_api(nb::handle store) {
    static const tally_api::Api *api = nullptr;
    static PyObject *own_getter = nullptr;  // RuntimeTallybook.get_recent_events as published
    static bool looked = false;
    if (!looked) {
        looked = true;
        auto *a = static_cast<const tally_api::Api *>(PyCapsule_Import(tally_api::kCapsule, 0));
        if (a == nullptr || a->version < tally_api::kQueriesVersion) {
            PyErr_Clear();
        } else {
            own_getter = _PyType_Lookup(a->store_type, m_get_recent_events.get());
            if (own_getter != nullptr) {
                Py_INCREF(own_getter);  // kept for good
                api = a;
            }
        }
    }
    if (api == nullptr || Py_TYPE(store.ptr()) != api->store_type ||
        !is_own_method(store, m_get_recent_events, own_getter))
        return nullptr;
    return api;
}

struct EventFilters {
    nb::handle event_types, source, level, app_id, group_id, app_id_pattern, search;
    nb::handle since, until;  // ints or None
    std::optional<int64_t> limit;
};

// Events as the store's get_recent_events / get_run_events returned them.
struct ListEvents {
    nb::list base;
    bool fresh;  // copies that only this call holds
    ListEvents(nb::list b, bool f) : base(std::move(b)), fresh(f) {}
    size_t size() const { return static_cast<size_t>(PyList_GET_SIZE(base.ptr())); }
    nb::handle event(size_t i) { return nb::handle(PyList_GET_ITEM(base.ptr(), static_cast<Py_ssize_t>(i))); }
    int fields_contain(size_t, std::string_view) { return -1; }
    const void *run_key(size_t) { return nullptr; }
    bool timestamp(size_t, int64_t &) { return false; }
    nb::object result(size_t i) { return fresh ? nb::borrow(event(i)) : models::deep_copy(event(i)); }
};

// The store's recent events in their stored form, each decoded only when a step needs it.
struct SnapshotEvents {
    const tally_api::Api &api;
    void *snap;
    std::vector<nb::object> decoded;
    SnapshotEvents(const tally_api::Api &a, nb::handle store) : api(a), snap(a.snapshot_recent(store.ptr())) {
        if (snap == nullptr)
            throw nb::python_error();
        decoded.resize(api.size(snap));
    }
    ~SnapshotEvents() { api.release(snap); }
    SnapshotEvents(const SnapshotEvents &) = delete;
    SnapshotEvents &operator=(const SnapshotEvents &) = delete;
    size_t size() const { return decoded.size(); }
    nb::handle event(size_t i) {
        if (!decoded[i].is_valid()) {
            PyObject *o = api.decode(snap, i);
            if (o == nullptr)
                throw nb::python_error();
            decoded[i] = nb::steal(o);
        }
        return decoded[i];
    }
    int fields_contain(size_t i, std::string_view needle) {
        return api.fields_contain(snap, i, needle.data(), needle.size());
    }
    const void *run_key(size_t i) { return api.run_key(snap, i); }
    bool timestamp(size_t i, int64_t &out) { return api.timestamp(snap, i, &out) == 1; }
    nb::object result(size_t i) { return nb::borrow(event(i)); }  // a fresh copy already
};

// The filters of query_events over `events`, one step after the other over all of them.
template <class Events>
nb::object filter_events(Events &events, const EventFilters &f) {
    std::vector<size_t> work(events.size());
    for (size_t i = 0; i < work.size(); ++i)
        work[i] = i;

    auto keep_if = [&work](auto &&pred) {
        size_t j = 0;
        for (size_t i = 0; i < work.size(); ++i)
            if (pred(work[i]))
                work[j++] = work[i];
        work.resize(j);
    };

    if (!f.event_types.is_none()) {
        nb::object fn = outside::get(o_matches_event_type);
        keep_if([&](size_t i) {
            nb::object et = field(events.event(i), a_event_type);
            PyObject *r = PyObject_CallFunctionObjArgs(fn.ptr(), et.ptr(), f.event_types.ptr(), nullptr);
            if (r == nullptr)
                throw nb::python_error();
            return truthy(nb::steal(r));
        });
    }
    if (!f.source.is_none())
        keep_if([&](size_t i) { return equals(field(events.event(i), a_source), f.source); });
    if (!f.level.is_none())
        keep_if([&](size_t i) { return equals(field(events.event(i), a_level), f.level); });
    if (!f.app_id.is_none())
        keep_if([&](size_t i) {
            nb::object v = event_meta_entry(events.event(i), d_app_id);
            return v.is_valid() && equals(v, f.app_id);
        });
    if (!f.group_id.is_none())
        keep_if([&](size_t i) {
            nb::object v = event_meta_entry(events.event(i), d_group_id);
            return v.is_valid() && equals(v, f.group_id);
        });
    if (!f.app_id_pattern.is_none() && !blank(f.app_id_pattern)) {
        nb::object re = outside::get(o_re);
        nb::object compiled =
            nb::steal(PyObject_CallMethodOneArg(re.ptr(), m_compile.get(), f.app_id_pattern.ptr()));
        if (!compiled.is_valid()) {
            nb::object re_error = attr(re, a_error);
            if (!PyErr_ExceptionMatches(re_error.ptr()))
                throw nb::python_error();
            PyErr_Clear();
            work.clear();
        } else {
            nb::object search_fn = attr(compiled, m_search);
            keep_if([&](size_t i) {
                nb::object v = event_meta_entry(events.event(i), d_app_id);
                if (!v.is_valid() || !PyUnicode_Check(v.ptr()))
                    return false;
                nb::object m = nb::steal(PyObject_CallOneArg(search_fn.ptr(), v.ptr()));
                if (!m.is_valid())
                    throw nb::python_error();
                return !m.is_none();
            });
        }
    }
    std::string needle = f.search.is_none() ? std::string() : search::needle(f.search);
    if (!needle.empty()) {
        std::string buf;
        // Events with equal run contexts have the same run text: its verdict is kept per context.
        std::unordered_map<const void *, bool> run_verdict;
        keep_if([&](size_t i) {
            int own = events.fields_contain(i, needle);
            if (own == 1)
                return true;
            if (own < 0)
                return event_matches_needle(events.event(i), needle, buf);
            const void *key = events.run_key(i);
            if (key != nullptr)
                if (auto it = run_verdict.find(key); it != run_verdict.end())
                    return it->second;
            bool hit = run_matches_needle(events.event(i), needle, buf);
            if (key != nullptr)
                run_verdict.emplace(key, hit);
            return hit;
        });
    }
    auto ts_of = [&](size_t i) {
        int64_t ts;
        if (events.timestamp(i, ts))
            return ts;
        return time_value(field(events.event(i), a_timestamp), "timestamp");
    };
    // A bound strictly inside the 64-bit range is compared natively (a timestamp beyond the range
    // saturates to its end, which keeps the answer); any other bound against the event's own
    // timestamp value.
    auto bounded = [&](nb::handle bound, int op) {
        int overflow = 0;
        long long b = PyLong_AsLongLongAndOverflow(bound.ptr(), &overflow);
        if (b == -1 && PyErr_Occurred())
            throw nb::python_error();
        if (overflow == 0 && b != INT64_MAX && b != INT64_MIN) {
            keep_if([&](size_t i) { return op == Py_GE ? ts_of(i) >= b : ts_of(i) <= b; });
            return;
        }
        keep_if([&](size_t i) {
            nb::object ts = field(events.event(i), a_timestamp);
            int r = PyObject_RichCompareBool(ts.ptr(), bound.ptr(), op);
            if (r < 0)
                throw nb::python_error();
            return r != 0;
        });
    };
    if (!f.since.is_none())
        bounded(f.since, Py_GE);
    if (!f.until.is_none())
        bounded(f.until, Py_LE);
    size_t start = 0;
    if (f.limit) {
        // work[-limit:]
        __int128 n = static_cast<__int128>(work.size());
        __int128 s = -static_cast<__int128>(*f.limit);
        if (s < 0)
            s += n;
        if (s < 0)
            s = 0;
        if (s > n)
            s = n;
        start = static_cast<size_t>(s);
    }
    nb::list out;
    for (size_t k = start; k < work.size(); ++k)
        out.append(events.result(work[k]));
    return out;
}

// The filters of ObservationEventQuery, in the order the log service receives them.
enum EventFilter : size_t {
    ef_run_id, ef_include_descendants, ef_event_types, ef_source, ef_level, ef_app_id,
    ef_app_id_pattern, ef_group_id, ef_search, ef_since, ef_until, ef_limit,
};
Name *const kEventFilters[] = {
    &k_run_id, &k_include_descendants, &k_event_types, &k_source, &k_level, &k_app_id,
    &k_app_id_pattern, &k_group_id, &k_search, &k_since, &k_until, &k_limit,
};
constexpr size_t kEventFilterCount = sizeof(kEventFilters) / sizeof(kEventFilters[0]);
static_assert(kEventFilterCount == ef_limit + 1, "one name per EventFilter");

// The checked filters: `run_id` and `search` a str or None, `since`, `until` and `limit` an int
// or None (a float is refused, not truncated). The rest is the query model's to validate.
void check_event_filter(size_t i, nb::handle value) {
    const char *name = kEventFilters[i]->text();
    switch (i) {
    case ef_run_id:
    case ef_search:
        args::require_str(value, name, /*none_ok=*/true);
        break;
    case ef_since:
    case ef_until:
    case ef_limit:
        args::require_int(value, name, /*none_ok=*/true);
        break;
    default:
        break;
    }
}

}  // namespace

nb::object query_events(nb::handle self, nb::handle query_arg, nb::kwargs kwargs) {
    if (query_arg.is_none()) {
        for (size_t i = 0; i < kEventFilterCount; ++i) {
            nb::object value = dict_find(kwargs, kEventFilters[i]->get());
            if (value.is_valid())
                check_event_filter(i, value);
        }
    }
    nb::object q = build_query(o_event_query, query_arg, kwargs);
    std::array<nb::object, kEventFilterCount> v;
    for (size_t i = 0; i < kEventFilterCount; ++i) {
        v[i] = field(q, *kEventFilters[i]);
        check_event_filter(i, v[i]);
    }

    nb::object log = field(self, a_log_service);
    if (!log.is_none()) {
        nb::object run_ids = nb::none();
        if (!v[ef_run_id].is_none()) {
            if (truthy(v[ef_include_descendants])) {
                run_ids = call1(log, m_collect_descendants, v[ef_run_id]);
                args::require_list(run_ids, "run_ids", true);
            } else {
                nb::list one;
                one.append(v[ef_run_id]);
                run_ids = one;
            }
        }
        nb::object none = nb::none();
        return call_kw(attr(log, m_query_events),
                       {{&k_run_ids, run_ids},
                        {&k_run_id, run_ids.is_none() ? nb::handle(v[ef_run_id]) : nb::handle(none)},
                        {&k_event_types, v[ef_event_types]},
                        {&k_source, v[ef_source]},
                        {&k_level, v[ef_level]},
                        {&k_app_id, v[ef_app_id]},
                        {&k_app_id_pattern, v[ef_app_id_pattern]},
                        {&k_group_id, v[ef_group_id]},
                        {&k_search, v[ef_search]},
                        {&k_since, v[ef_since]},
                        {&k_until, v[ef_until]},
                        {&k_limit, v[ef_limit]}});
    }

    EventFilters f{v[ef_event_types], v[ef_source],         v[ef_level],
                   v[ef_app_id],      v[ef_group_id],       v[ef_app_id_pattern],
                   v[ef_search],      v[ef_since],
                   v[ef_until],       args::int_or_none(v[ef_limit], "limit")};
    nb::object store = field(self, a_store);
    nb::handle run_id = v[ef_run_id];
    if (run_id.is_none()) {
        if (const tally_api::Api *api = fast_store_api(store)) {
            SnapshotEvents events(*api, store);
            return filter_events(events, f);
        }
    }
    nb::object base = run_id.is_none()
                          ? store_get_recent_events(self, nb::none())
                          : store_get_run_events(self, run_id, nb::none(),
                                                 truthy(v[ef_include_descendants]));
    ListEvents events(to_list(base), store_copies(store));
    return filter_events(events, f);
}

nb::object get_run_events(nb::handle self, nb::handle run_id, nb::handle limit,
                          nb::handle include_descendants) {
    args::require_str(run_id, "run_id");
    args::require_int(limit, "limit", /*none_ok=*/true);
    return store_get_run_events(self, run_id, limit, truthy(include_descendants));
}

nb::object get_recent_events(nb::handle self, nb::handle limit) {
    args::require_int(limit, "limit", /*none_ok=*/true);
    return store_get_recent_events(self, limit);
}

nb::object get_event(nb::handle self, nb::handle event_id) {
    args::require_str(event_id, "event_id");
    nb::object log = field(self, a_log_service);
    if (!log.is_none()) {
        nb::object r = call1(log, m_get_event, event_id);
        if (!r.is_none())
            return r;
    }
    nb::object store = field(self, a_store);
    nb::object getter = optional_attr(store, m_get_event);
    if (getter.is_valid() && PyCallable_Check(getter.ptr())) {
        nb::object r = checked(PyObject_CallOneArg(getter.ptr(), event_id.ptr()));
        if (!r.is_none())
            return r;
    }
    nb::list all = to_list(store_get_recent_events(self, nb::none()));
    for (Py_ssize_t i = PyList_GET_SIZE(all.ptr()) - 1; i >= 0; --i) {
        nb::object ev = nb::borrow(PyList_GET_ITEM(all.ptr(), i));
        if (equals(field(ev, a_event_id), event_id))
            return ev;
    }
    return nb::none();
}

nb::str normalize_search_text(nb::handle value) {
    return orvane::py::text_from_utf8(search::normalized(value));
}

bool event_matches_search(nb::handle event, nb::handle search) {
    args::require_str(search, "search");
    std::string needle = search::needle(search);
    std::string buf;
    return event_matches_needle(event, needle, buf);
}

}  // namespace orvane::desk
