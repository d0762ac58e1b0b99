// Binding of the Tallybook module: RunStatus, RunRecord, _infer_run_status and RuntimeTallybook.
#include <nanobind/nanobind.h>
#include <nanobind/stl/optional.h>

#include "names.hpp"
#include "orvane/models.hpp"
#include "orvane/pyutil.hpp"
#include "orvane/run_filters.hpp"
#include "orvane/searchtext.hpp"
#include "orvane/support.hpp"
#include "store.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using orvane::args::int_or_none;
using tally::Store;

namespace {

constexpr const char *kModule = "orvane_devtools.observation.Tallybook";

// RunStatus (a Literal of the status names) and the pydantic RunRecord model, both from the
// tables in record.hpp.
nb::object make_run_record(nb::module_ &m) {
    nb::module_ typing = nb::module_::import_("typing");
    nb::module_ pydantic = nb::module_::import_("pydantic");
    nb::object str_t = nb::borrow(reinterpret_cast<PyObject *>(&PyUnicode_Type));
    nb::object int_t = nb::borrow(reinterpret_cast<PyObject *>(&PyLong_Type));
    nb::object dict_t = nb::borrow(reinterpret_cast<PyObject *>(&PyDict_Type));
    nb::object optional = typing.attr("Optional");
    nb::list names;
    for (const char *name : tally::kStatusNames)
        names.append(nb::str(name));
    nb::object run_status = typing.attr("Literal")[nb::tuple(names)];
    m.attr("RunStatus") = run_status;
    nb::object required = nb::borrow(Py_Ellipsis);
    nb::dict fields;
    fields["__module__"] = kModule;
    fields["__doc__"] = "The record of one run, derived from its events by RuntimeTallybook.";
    for (const tally::FieldDef &fd : tally::kFields) {
        nb::object definition;
        switch (fd.kind) {
        case tally::FieldKind::Str:
            definition = nb::make_tuple(str_t, required);
            break;
        case tally::FieldKind::OptStr:
            definition = nb::make_tuple(optional[str_t], nb::none());
            break;
        case tally::FieldKind::Status:
            definition = nb::make_tuple(run_status, tally::kStatusNames[0]);
            break;
        case tally::FieldKind::OptInt:
            definition = nb::make_tuple(optional[int_t], nb::none());
            break;
        case tally::FieldKind::Int:
            definition = nb::make_tuple(int_t, 0);
            break;
        case tally::FieldKind::Meta:
            definition = nb::make_tuple(dict_t[nb::make_tuple(str_t, typing.attr("Any"))],
                                        pydantic.attr("Field")("default_factory"_a = dict_t));
            break;
        }
        // Field names are interned, as Python identifiers are: the store matches them by identity.
        nb::object key = nb::steal(PyUnicode_InternFromString(fd.name));
        if (!key.is_valid() || PyDict_SetItem(fields.ptr(), key.ptr(), definition.ptr()) < 0)
            throw nb::python_error();
    }
    nb::object cls = pydantic.attr("create_model")("RunRecord", **fields);
    m.attr("RunRecord") = cls;
    return cls;
}

void require_record(nb::handle record) {
    orvane::args::require(record, reinterpret_cast<PyTypeObject *>(tally::globals().run_record), "record");
}

int64_t checked_max_events(nb::handle v) {
    int64_t n = orvane::args::to_int64(v, "max_events");
    if (n < 0)
        throw nb::value_error("max_events must be non-negative");
    return n;
}

int64_t checked_max_runs(nb::handle v) {
    int64_t n = orvane::args::to_int64(v, "max_runs");
    if (n < 1)
        throw nb::value_error("max_runs must be at least 1");
    return n;
}

int store_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self))
        return 0;
    return nb::inst_ptr<Store>(self)->traverse(visit, arg);
}

int store_clear(PyObject *self) {
    if (nb::inst_ready(self))
        nb::inst_ptr<Store>(self)->clear();
    return 0;
}

PyType_Slot store_slots[] = {
    {Py_tp_traverse, reinterpret_cast<void *>(store_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(store_clear)},
    {0, nullptr},
};

}  // namespace

NB_MODULE(Tallybook, m) {
    orvane::init_support(m);
    m.doc() = "Tallybook: the in-memory run store (RuntimeTallybook) and the run record types.";
    orvane::outside::expose(m, "re", "re");
    orvane::outside::expose(m, "deque", "collections", "deque");
    orvane::outside::expose(m, "RuntimeEvent", "orvane_devtools._orvane_compat", "RuntimeEvent");

    nb::object record_cls = make_run_record(m);
    tally::init_globals(record_cls.ptr());

    m.def(
        "_infer_run_status",
        [](nb::handle event) -> nb::object {
            nb::object et = orvane::py::attr(event, tally::names::a_event_type);
            std::optional<tally::RunStatus> s = tally::status_of_event_type(et);
            return s ? nb::borrow(tally::status_object(*s)) : nb::none();
        },
        "event"_a.none(), "The status an event moves its run to (by the suffix of its event_type), or None.");

    nb::class_<Store> cls(m, "RuntimeTallybook", nb::type_slots(store_slots),
                          "In-memory store of runtime events and the run records derived from them.\n\n"
                          "Events are held in bounded rings (the recent ring and one ring per run, each of\n"
                          "capacity max_events) in a compact encoding; every event or record returned is an\n"
                          "independent copy. At most max_runs runs are kept (default 100,000): beyond that,\n"
                          "the oldest finished runs whose events have all left the recent events are dropped\n"
                          "first, then the oldest runs (counted in evicted_run_count).");
    cls.def(
           "__init__",
           [](Store *self, nb::handle max_events, nb::handle max_runs) {
               new (self) Store(checked_max_events(max_events), checked_max_runs(max_runs));
           },
           "max_events"_a.none() = 5000, "max_runs"_a.none() = 100000)
        .def_prop_rw(
            "_max_events", [](const Store &s) { return s.max_events(); },
            [](Store &s, nb::handle v) { s.set_max_events(checked_max_events(v)); },
            "Capacity of each event ring (a new value applies to rings made afterwards).")
        .def_prop_rw(
            "_max_runs", [](const Store &s) { return s.max_runs(); },
            [](Store &s, nb::handle v) { s.set_max_runs(checked_max_runs(v)); },
            "Most runs kept; a lower value drops the runs beyond it at once.")
        .def_prop_ro("evicted_run_count", &Store::evicted_run_count,
                     "Runs dropped so far because the store held max_runs runs (0 again after reset()).")
        .def_prop_ro("_runs", &Store::runs,
                     "run id -> RunRecord: the live records (mutated in place). Records are kept natively\n"
                     "until this is first read; from then on they live in this mapping.")
        .def_prop_ro("_children_by_parent", &Store::children_by_parent,
                     "parent run id -> set of child run ids (the live mapping).")
        .def_prop_ro("_events_by_run", &Store::events_by_run_view,
                     "run id -> deque of the run's held events: a materialised copy (events are held natively).")
        .def_prop_ro("_recent_events", &Store::recent_events_view,
                     "deque of the held recent events, oldest first: a materialised copy.")
        .def_prop_ro("_search_cache_by_run", &Store::search_cache_view,
                     "run id -> accumulated search text: a materialised copy.")
        .def("reset", &Store::reset, "Forget every event, run, link and search text.")
        .def(
            "append_event",
            [](Store &s, nb::handle event) {
                nb::object ev_type = orvane::outside::get(tally::names::o_runtime_event);
                orvane::args::require(event, reinterpret_cast<PyTypeObject *>(ev_type.ptr()), "event");
                s.append_event(event.ptr());
            },
            "event"_a.none(),
            "Keep a copy of the event and update its run's record and links. Either the whole event is\n"
            "taken or, when this raises, nothing of it is.")
        .def(
            "_derive_record",
            [](Store &s, nb::handle event_type, nb::handle timestamp, nb::handle source, nb::handle message,
               nb::handle meta, nb::handle run) {
                return s.derive_record(event_type, timestamp, source, message, meta, run);
            },
            "event_type"_a.none(), "timestamp"_a.none(), "source"_a.none(), "message"_a.none(), "meta"_a.none(),
            "run"_a.none(),
            "Update the record of the run ``run`` (a run context) as ``append_event`` would for an event with\n"
            "these fields, without keeping the event or writing the run's search text; returns the run's\n"
            "status after it. For a store used to derive records only (the persistent log service's writer).")
        .def(
            "_adopt_run",
            [](Store &s, nb::handle record, nb::handle search_text) {
                require_record(record);
                orvane::args::require_str(search_text, "search_text", true);
                s.adopt_run(record, search_text);
            },
            "record"_a.none(), "search_text"_a.none() = nb::none(),
            "Insert (or replace) a run record as if this store had derived it from the run's events.\n\n"
            "For a store that reloads runs kept elsewhere (a persistent log service after a restart).\n"
            "A copy of ``record`` becomes the run's live record; a new run is linked under its\n"
            "``parent_run_id`` as a first event would link it (a replaced record whose parent differs\n"
            "is moved), and a replaced record keeps its place in the order of runs.\n\n"
            "Restored: the record (status, counts, times, meta), the parent link and, when\n"
            "``search_text`` is given, the run's accumulated search text (what ``_search_cache_by_run``\n"
            "held for it), so that later appends extend it and run searches find the old events' values.\n"
            "Not restored: the run's events (its ring stays as it is, empty for a new run, so time windows\n"
            "judge it by its record's times and event queries do not see the old events), and without\n"
            "``search_text`` the old events' text (a new run starts with an empty text and is found by\n"
            "its record's current fields only; a replaced run keeps the text this store built).")
        .def(
            "get_run",
            [](Store &s, nb::handle run_id) {
                orvane::args::require_str(run_id, "run_id");
                return s.get_run(run_id);
            },
            "run_id"_a.none(), "A copy of the run's record, or None.")
        .def(
            "get_run_children",
            [](Store &s, nb::handle run_id) {
                orvane::args::require_str(run_id, "run_id");
                return s.get_run_children(run_id);
            },
            "run_id"_a.none(), "Copies of the records of the run's children, earliest started first.")
        .def(
            "_collect_descendant_run_ids",
            [](Store &s, nb::handle run_id) {
                orvane::args::require_str(run_id, "run_id");
                return s.collect_descendant_run_ids(run_id);
            },
            "run_id"_a.none(), "The run id and its descendants' ids, breadth first (each id once).")
        .def(
            "get_run_events",
            [](Store &s, nb::handle run_id, nb::handle limit, nb::handle include_descendants) {
                orvane::args::require_str(run_id, "run_id");
                auto limit_v = int_or_none(limit, "limit");
                int inc = PyObject_IsTrue(include_descendants.ptr());
                if (inc < 0)
                    throw nb::python_error();
                return s.get_run_events(run_id, limit_v, inc != 0);
            },
            "run_id"_a.none(), nb::kw_only(), "limit"_a.none() = nb::none(), "include_descendants"_a.none() = false,
            "Copies of the run's held events (and its descendants'), oldest timestamp first.")
        .def(
            "get_recent_events",
            [](Store &s, nb::handle limit) { return s.get_recent_events(int_or_none(limit, "limit")); },
            nb::kw_only(), "limit"_a.none() = nb::none(), "Copies of the recent events, oldest first.")
        .def(
            "get_event",
            [](Store &s, nb::handle event_id) {
                orvane::args::require_str(event_id, "event_id");
                return s.get_event(event_id);
            },
            "event_id"_a.none(), "A copy of the newest recent event with this id, or None.")
        .def_static(
            "_normalize_search_text",
            [](nb::handle value) {
                return orvane::py::text_from_utf8(orvane::search::normalized(value));
            },
            "value"_a.none(), "The case-folded search text of a value (JSON text for non-strings).")
        .def(
            "_record_matches_search",
            [](Store &s, nb::handle record, nb::handle search) {
                require_record(record);
                orvane::args::require_str(search, "search");
                return s.record_matches_needle(record, orvane::search::needle(search));
            },
            "record"_a.none(), "search"_a.none(), "Whether the search text occurs in the record's fields or its run's search text.")
        .def(
            "_record_matches_time_window",
            [](Store &s, nb::handle record, nb::handle since, nb::handle until) {
                require_record(record);
                auto since_v = int_or_none(since, "since");
                auto until_v = int_or_none(until, "until");
                return s.record_matches_time_window(record, since_v, until_v);
            },
            "record"_a.none(), "since"_a.none() = nb::none(), "until"_a.none() = nb::none(),
            "Whether the run has a held event (else a record time) inside [since, until].")
        .def_static(
            "_matches_regex",
            [](nb::handle value, nb::handle pattern) {
                orvane::args::require_str(pattern, "pattern");
                return tally::matches_regex(value, pattern);
            },
            "value"_a.none(), "pattern"_a.none(), "re.search(pattern, value) for a str value; False for a malformed pattern.");
    orvane::run_filters::bind<Store &>(
        [](Store &s, const orvane::run_filters::Values &f) {
            orvane::run_filters::check(f);
            return s.list_runs(f);
        },
        [&](auto &&fn, auto &&...filters) {
            cls.def("list_runs", fn, filters...,
                    "Copies of the records that pass every given filter, most recently updated first.");
        });
    cls.attr("backend_name") = "memory";
    tally::publish_fast_api(m, cls);
}
