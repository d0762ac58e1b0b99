// Run queries of RuntimeTraceDesk: list_runs and query_runs with filters, one run, its children
// and its subtree. Raw records come from the run store (or, where said, the log service) and leave
// as resolved copies (resolver.hpp).
#include <array>
#include <vector>

#include "names.hpp"
#include "orvane/args.hpp"
#include "orvane/models.hpp"
#include "shared_helpers.hpp"
#include "queries.hpp"
#include "resolver.hpp"

namespace orvane::desk {

using namespace names;

namespace {

namespace rf = orvane::run_filters;

// The filters given as keywords that the query model would receive: checked before the model
// sees them (a keyword the table does not know is left to the model).
void check_run_filter_keywords(const nb::kwargs &kwargs) {
    for (size_t i = 0; i < rf::kCount; ++i) {
        nb::object value = dict_find(kwargs, rf::kFilters[i].keyword->get());
        if (value.is_valid())
            rf::check(i, value);
    }
}

// The query's attributes of the filters' names.
rf::Values filters_of(nb::handle query) {
    rf::Values f;
    for (size_t i = 0; i < rf::kCount; ++i)
        f[i] = field(query, *rf::kFilters[i].keyword);
    return f;
}

// The resolved children of `run_id` within batch `b`, in the source's order.
nb::list children_in_batch(Batch &b, nb::handle run_id) {
    if (!b.log_service.is_none()) {
        nb::object fn = attr(b.log_service, m_query_runs);
        nb::object rows = call_kw(fn, {{&k_parent_run_id, run_id}});
        args::require_list(rows, "records");
        bool saved = b.own_copies;
        b.own_copies = b.fetched_own;
        try {
            nb::list out = resolve_records(b, rows, nb::none(), std::nullopt);
            b.own_copies = saved;
            return out;
        } catch (...) {
            b.own_copies = saved;
            throw;
        }
    }
    nb::handle store = b.run_store();
    nb::object fn = attr(store, m_get_run_children);
    nb::list rows = to_list(checked(PyObject_CallOneArg(fn.ptr(), run_id.ptr())));
    bool saved = b.own_copies;
    b.own_copies = store_copies(store);
    nb::list out;
    try {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(rows.ptr()); ++i) {
            nb::object rr = resolve_one(b, nb::handle(PyList_GET_ITEM(rows.ptr(), i)));
            if (!rr.is_none())
                out.append(rr);
        }
    } catch (...) {
        b.own_copies = saved;
        throw;
    }
    b.own_copies = saved;
    return out;
}

// A tree node around `run` whose `children` list is `kids` itself (filled afterwards). A pydantic
// class gets what model_construct(run=..., children=...) gives, written straight into the
// instance where the class keeps pydantic's state in plain slots. The set of the two field names
// is left out of the cycle collector's care (names only: it cannot be part of a cycle), so a tree
// of n runs gives the collector fewer new objects to look at while it is built.
nb::object make_node(nb::handle cls, bool pydantic_cls, nb::handle run, nb::list kids) {
    if (pydantic_cls) {
        nb::dict fields;
        dict_set(fields, a_run.get(), run);
        dict_set(fields, a_children.get(), kids);
        nb::object fs = new_set();
        set_add(fs, a_run.get());
        set_add(fs, a_children.get());
        PyObject_GC_UnTrack(fs.ptr());
        auto *t = reinterpret_cast<PyTypeObject *>(cls.ptr());
        const models::Layout &slots = models::layout_of(t);
        if (!slots.slots_known())
            return models::construct(cls, fields, fs);
        static PyObject *no_args = PyTuple_New(0);  // immortal
        nb::object m = checked(t->tp_new(t, no_args, nullptr));
        if (PyObject_GenericSetDict(m.ptr(), fields.ptr(), nullptr) < 0)
            throw nb::python_error();
        Py_XSETREF(models::slot_at(m.ptr(), slots.fields_set), fs.release().ptr());
        Py_XSETREF(models::slot_at(m.ptr(), slots.extra), Py_NewRef(Py_None));
        Py_XSETREF(models::slot_at(m.ptr(), slots.priv), Py_NewRef(Py_None));
        return m;
    }
    return call_kw(cls, {{&k_run, run}, {&k_children, kids}});
}

bool is_pydantic_class(nb::handle cls) {
    static PyObject *base_model =
        nb::object(nb::module_::import_("pydantic").attr("BaseModel")).release().ptr();
    if (!PyType_Check(cls.ptr()))
        return false;
    int r = PyObject_IsSubclass(cls.ptr(), base_model);
    if (r < 0)
        throw nb::python_error();
    return r != 0;
}

}  // namespace

nb::object build_query(Name &cls_name, nb::handle query, nb::kwargs kwargs) {
    nb::object cls = outside::get(cls_name);
    if (!query.is_none()) {
        int r = PyObject_IsInstance(query.ptr(), cls.ptr());
        if (r < 0)
            throw nb::python_error();
        if (!r)
            args::raise_incorrect_type("query", cls_name.text(), query);
        return nb::borrow(query);
    }
    return checked(PyObject_Call(cls.ptr(), nb::tuple().ptr(), kwargs.ptr()));
}

nb::list list_runs(nb::handle self, const rf::Values &f) {
    rf::check(f);
    std::optional<int64_t> limit = rf::integer(f, rf::at_limit);

    OwnedBatch ob(self);
    nb::handle store = ob.b.run_store();
    // Every filter but `status` goes to the store by keyword, `limit` as None: status and limit
    // apply to the resolved records.
    std::array<Kw, rf::kCount - 1> kws;
    size_t n = 0;
    for (size_t i = 0; i < rf::kCount; ++i)
        if (i != rf::at_status)
            kws[n++] = {rf::kFilters[i].keyword, i == rf::at_limit ? nb::handle(Py_None) : nb::handle(f[i])};
    nb::object rows = call_kw(attr(store, m_list_runs), {}, kws);
    args::require_list(rows, "records");
    ob.b.own_copies = store_copies(store);
    return resolve_records(ob.b, rows, f.status, limit);
}

nb::list query_runs(nb::handle self, nb::handle query_arg, nb::kwargs kwargs) {
    if (query_arg.is_none())
        check_run_filter_keywords(kwargs);
    nb::object query = build_query(o_run_query, query_arg, kwargs);
    rf::Values f = filters_of(query);
    nb::object log = field(self, a_log_service);
    if (log.is_none())
        return list_runs(self, f);
    rf::check(f);
    std::optional<int64_t> limit = rf::integer(f, rf::at_limit);
    // The log service gets every filter, `status` as None, and `limit` only when there is no
    // status filter (the status filter must see every resolved record).
    std::array<Kw, rf::kCount> kws;
    for (size_t i = 0; i < rf::kCount; ++i) {
        bool withheld = i == rf::at_status || (i == rf::at_limit && !f.status.is_none());
        kws[i] = {rf::kFilters[i].keyword, withheld ? nb::handle(Py_None) : nb::handle(f[i])};
    }
    nb::object rows = call_kw(attr(log, m_query_runs), {}, kws);
    args::require_list(rows, "records");
    OwnedBatch ob(self);
    ob.b.own_copies = ob.b.fetched_own;
    return resolve_records(ob.b, rows, f.status, limit);
}

nb::object get_run(nb::handle self, nb::handle run_id) {
    args::require_str(run_id, "run_id");
    OwnedBatch ob(self);
    nb::object raw = get_raw(ob.b, run_id);
    ob.b.own_copies = ob.b.fetched_own;
    return resolve_one(ob.b, raw);
}

nb::list get_run_children(nb::handle self, nb::handle run_id) {
    args::require_str(run_id, "run_id");
    OwnedBatch ob(self);
    return children_in_batch(ob.b, run_id);
}

// The whole subtree of `run_id` in one resolution batch, built depth-first without recursion.
// A run already on the path from the root is skipped (a parent loop).
nb::object get_run_tree(nb::handle self, nb::handle run_id) {
    args::require_str(run_id, "run_id");
    OwnedBatch ob(self);
    Batch &b = ob.b;
    nb::object raw = get_raw(b, run_id);
    b.own_copies = b.fetched_own;
    nb::object root = resolve_one(b, raw);
    b.own_copies = false;
    if (root.is_none())
        return nb::none();
    nb::object cls = outside::get(o_tree_node);
    bool pyd = is_pydantic_class(cls);
    struct Level {
        nb::object id;
        nb::list kids;     // the node's children list, filled as its subtrees are built
        nb::list pending;  // the node's resolved children
        Py_ssize_t next = 0;
    };
    nb::object path = new_set();
    nb::list root_kids;
    nb::object root_node = make_node(cls, pyd, root, root_kids);
    std::vector<Level> stack;
    set_add(path, run_id);
    stack.push_back(Level{nb::borrow(run_id), root_kids, children_in_batch(b, run_id), 0});
    while (!stack.empty()) {
        Level &top = stack.back();
        if (top.next >= PyList_GET_SIZE(top.pending.ptr())) {
            set_discard(path, top.id);
            stack.pop_back();
            continue;
        }
        nb::object child = nb::borrow(PyList_GET_ITEM(top.pending.ptr(), top.next++));
        nb::object cid = field(child, a_run_id);
        if (set_contains(path, cid))
            continue;
        nb::list kids;
        top.kids.append(make_node(cls, pyd, child, kids));
        set_add(path, cid);
        nb::list grand = children_in_batch(b, cid);
        stack.push_back(Level{std::move(cid), std::move(kids), std::move(grand), 0});
    }
    return root_node;
}

}  // namespace orvane::desk
