// Query side of RuntimeTraceDesk: run resolution (stale and orphan runs), run queries and the run
// tree, event queries and search.
//
// Every run record that leaves the facade is a resolved copy. One public call is one resolution
// batch: one clock reading, one cache (run id -> resolved record) and one in-progress set, both
// plain Python containers so that the private methods can be driven from Python with the same
// meaning. Resolution walks parent chains without recursion: a record whose terminal ancestor is
// not resolved yet pushes a frame, so a chain of any depth costs heap, not stack. Within a batch
// the nearest-terminal-ancestor answer of every parent id walked is remembered, so a deep chain or
// a large tree costs time linear in its size.
#include <nanobind/nanobind.h>

#include <cmath>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "../Tallybook/fast_api.hpp"
#include "desk.hpp"
#include "orvane/pyutil.hpp"
#include "orvane/searchtext.hpp"
#include "orvane/support.hpp"
#include "resolution.hpp"

namespace orvane::desk {

namespace {

using outside::Name;
namespace res = resolution;

// ---------------------------------------------------------------------------------------------
// Names

Name n_run_store{"_run_store"};
Name n_log_service{"_log_service"};
Name n_stale_ms{"_run_stale_after_ms"};
Name n_orphan_ms{"_run_orphan_after_ms"};

Name n_run_id{"run_id"};
Name n_root_run_id{"root_run_id"};
Name n_parent_run_id{"parent_run_id"};
Name n_run_kind{"run_kind"};
Name n_status{"status"};
Name n_agent_id{"agent_id"};
Name n_session_id{"session_id"};
Name n_app_id{"app_id"};
Name n_app_id_pattern{"app_id_pattern"};
Name n_group_id{"group_id"};
Name n_flow_name{"flow_name"};
Name n_search{"search"};
Name n_since{"since"};
Name n_until{"until"};
Name n_limit{"limit"};
Name n_run_ids{"run_ids"};
Name n_include_descendants{"include_descendants"};
Name n_event_types{"event_types"};
Name n_source{"source"};
Name n_level{"level"};

Name n_started_at{"started_at"};
Name n_updated_at{"updated_at"};
Name n_completed_at{"completed_at"};
Name n_failed_at{"failed_at"};
Name n_meta{"meta"};
Name n_children{"children"};
Name n_run{"run"};

Name n_event_id{"event_id"};
Name n_event_type{"event_type"};
Name n_message{"message"};
Name n_payload{"payload"};
Name n_error{"error"};
Name n_timestamp{"timestamp"};

Name n_completed{"completed"};
Name n_failed{"failed"};
Name n_waiting{"waiting"};

Name k_stale_reason{"devtools_stale_reason"};
Name k_stale_detected_at{"devtools_stale_detected_at"};
Name k_stale_anchor_at{"devtools_stale_anchor_at"};

Name n_get_run{"get_run"};
Name n_get_run_children{"get_run_children"};
Name n_list_runs{"list_runs"};
Name n_query_runs{"query_runs"};
Name n_query_events{"query_events"};
Name n_get_run_events{"get_run_events"};
Name n_get_recent_events{"get_recent_events"};
Name n_get_event{"get_event"};
Name n_collect_descendants{"collect_descendant_run_ids"};
Name n_model_dump{"model_dump"};
Name n_mode{"mode"};
Name n_json{"json"};
Name n_strip{"strip"};
Name n_compile{"compile"};
Name n_error_attr{"error"};

// Outside names of the module.
Name o_run_query{"ObservationRunQuery"};
Name o_event_query{"ObservationEventQuery"};
Name o_tree_node{"RunTreeNode"};
Name o_matches_event_type{"matches_wavelane_event_type"};
Name o_re{"re"};

// ---------------------------------------------------------------------------------------------
// Small helpers

using orvane::py::attr;
using orvane::py::truthy;


bool equals(nb::handle a, nb::handle b) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    if (r < 0)
        throw nb::python_error();
    return r != 0;
}

bool equals(nb::handle a, Name &b) { return equals(a, nb::handle(b.get())); }

bool is_terminal_status(nb::handle status) {
    return equals(status, n_completed) || equals(status, n_failed);
}

// An integer time as int64, saturating (a time beyond the int64 range cannot be meant).
int64_t time_value(nb::handle v, const char *what) {
    if (PyLong_Check(v.ptr())) {
        int overflow = 0;
        long long r = PyLong_AsLongLongAndOverflow(v.ptr(), &overflow);
        if (overflow > 0)
            return INT64_MAX;
        if (overflow < 0)
            return INT64_MIN;
        if (r == -1 && PyErr_Occurred())
            throw nb::python_error();
        return r;
    }
    return args::to_int64(v, what);
}

// dict.get for dicts; for other mappings `mapping[key]` with KeyError meaning absent.
// Returns an invalid handle when the key is absent.
nb::object mapping_get(nb::handle mapping, nb::handle key) {
    if (PyDict_Check(mapping.ptr())) {
        PyObject *v = nullptr;
        if (PyDict_GetItemRef(mapping.ptr(), key.ptr(), &v) < 0)
            throw nb::python_error();
        return nb::steal(v);
    }
    PyObject *v = PyObject_GetItem(mapping.ptr(), key.ptr());
    if (v == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_KeyError) || PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            return nb::object();
        }
        throw nb::python_error();
    }
    return nb::steal(v);
}

bool is_mapping(nb::handle o) {
    if (PyDict_Check(o.ptr()))
        return true;
    static PyObject *mapping_abc = nb::object(nb::module_::import_("collections.abc").attr("Mapping")).release().ptr();
    int r = PyObject_IsInstance(o.ptr(), mapping_abc);
    if (r < 0)
        throw nb::python_error();
    return r != 0;
}

nb::object dict_get(nb::handle d, nb::handle key) {  // d is a dict; invalid handle when absent
    PyObject *v = nullptr;
    if (PyDict_GetItemRef(d.ptr(), key.ptr(), &v) < 0)
        throw nb::python_error();
    return nb::steal(v);
}

bool set_contains(nb::handle s, nb::handle key) {
    int r = PySet_Contains(s.ptr(), key.ptr());
    if (r < 0)
        throw nb::python_error();
    return r != 0;
}

void set_add(nb::handle s, nb::handle key) {
    if (PySet_Add(s.ptr(), key.ptr()) < 0)
        throw nb::python_error();
}

void set_discard(nb::handle s, nb::handle key) {
    if (PySet_Discard(s.ptr(), key.ptr()) < 0)
        throw nb::python_error();
}

void dict_set(nb::handle d, nb::handle key, nb::handle value) {
    if (PyDict_SetItem(d.ptr(), key.ptr(), value.ptr()) < 0)
        throw nb::python_error();
}

nb::object first_of(nb::handle seq) {  // first item of a list or other iterable; None if empty
    if (PyList_Check(seq.ptr()))
        return PyList_GET_SIZE(seq.ptr()) > 0 ? nb::borrow(PyList_GET_ITEM(seq.ptr(), 0)) : nb::none();
    nb::object it = nb::steal(PyObject_GetIter(seq.ptr()));
    if (!it.is_valid())
        throw nb::python_error();
    PyObject *v = PyIter_Next(it.ptr());
    if (v == nullptr) {
        if (PyErr_Occurred())
            throw nb::python_error();
        return nb::none();
    }
    return nb::steal(v);
}

nb::list to_list(nb::handle seq) {  // the list itself, or a new list of an iterable's items
    if (PyList_Check(seq.ptr()))
        return nb::borrow<nb::list>(seq);
    PyObject *l = PySequence_List(seq.ptr());
    if (l == nullptr)
        throw nb::python_error();
    return nb::steal<nb::list>(l);
}

// Calls `fn` with keyword arguments given as (name, value) pairs, in that order.
nb::object call_kw(nb::handle fn, std::initializer_list<std::pair<Name *, nb::handle>> kws) {
    nb::object names = nb::steal(PyTuple_New(static_cast<Py_ssize_t>(kws.size())));
    if (!names.is_valid())
        throw nb::python_error();
    std::vector<PyObject *> argv;
    argv.reserve(kws.size() + 1);
    argv.push_back(nullptr);
    Py_ssize_t i = 0;
    for (auto &kv : kws) {
        PyTuple_SET_ITEM(names.ptr(), i++, Py_NewRef(kv.first->get()));
        argv.push_back(kv.second.ptr());
    }
    PyObject *r = PyObject_Vectorcall(fn.ptr(), argv.data() + 1,
                                      0 | PY_VECTORCALL_ARGUMENTS_OFFSET, names.ptr());
    if (r == nullptr)
        throw nb::python_error();
    return nb::steal(r);
}

// ---------------------------------------------------------------------------------------------
// Record field writes. A pydantic model whose assignment is the plain field assignment (no
// validation, not frozen, no custom __setattr__) gets the same effect as `record.f = v` without
// the Python-level __setattr__: the value goes into __dict__ and the name into the fields set.

bool plain_assignment_type(PyTypeObject *t) {
    static auto *cache = new std::unordered_map<PyTypeObject *, bool>();
    auto it = cache->find(t);
    if (it != cache->end())
        return it->second;
    bool direct = false;
    nb::handle obj_type(reinterpret_cast<PyObject *>(t));
    static PyObject *base_setattr = nullptr;
    if (base_setattr == nullptr) {
        nb::object bm = nb::module_::import_("pydantic").attr("BaseModel");
        base_setattr = PyDict_GetItemString(reinterpret_cast<PyTypeObject *>(bm.ptr())->tp_dict,
                                            "__setattr__");
        Py_XINCREF(base_setattr);
    }
    PyObject *setattr_fn = _PyType_Lookup(t, nb::str("__setattr__").ptr());
    if (setattr_fn != nullptr && setattr_fn == base_setattr) {
        nb::object config = nb::steal(PyObject_GetAttrString(obj_type.ptr(), "model_config"));
        if (!config.is_valid()) {
            PyErr_Clear();
        } else if (PyDict_Check(config.ptr())) {
            nb::object va = dict_get(config, nb::str("validate_assignment"));
            nb::object fr = dict_get(config, nb::str("frozen"));
            direct = !(va.is_valid() && truthy(va)) && !(fr.is_valid() && truthy(fr));
        }
    }
    Py_INCREF(t);  // keep the type alive while its address is a key
    cache->emplace(t, direct);
    return direct;
}

void set_field(nb::handle record, Name &name, nb::handle value) {
    PyObject *o = record.ptr();
    if (models::is_plain_model(record) && plain_assignment_type(Py_TYPE(o))) {
        PyObject **dictptr = _PyObject_GetDictPtr(o);
        if (dictptr != nullptr && *dictptr != nullptr) {
            int has = PyDict_Contains(*dictptr, name.get());
            if (has < 0)
                throw nb::python_error();
            if (has) {
                static Name fields_set{"__pydantic_fields_set__"};
                nb::object fs = nb::steal(PyObject_GenericGetAttr(o, fields_set.get()));
                if (fs.is_valid() && PySet_Check(fs.ptr())) {
                    dict_set(*dictptr, name.get(), value);
                    set_add(fs, name.get());
                    return;
                }
                PyErr_Clear();
            }
        }
    }
    if (PyObject_SetAttr(o, name.get(), value.ptr()) < 0)
        throw nb::python_error();
}

// ---------------------------------------------------------------------------------------------
// Terminal timestamp

// The moment `record` ended for its descendants, as the Python value the record holds (None
// when unknown).
nb::object terminal_timestamp(nb::handle record) {
    nb::object meta = attr(record, n_meta);
    if (!meta.is_none() && is_mapping(meta)) {
        nb::object anchor = mapping_get(meta, k_stale_anchor_at.get());
        if (anchor.is_valid() && PyLong_Check(anchor.ptr()))
            return anchor;
    }
    nb::object failed_at = attr(record, n_failed_at);
    nb::object completed_at = attr(record, n_completed_at);
    nb::object updated_at = attr(record, n_updated_at);
    res::Times t{truthy(failed_at), truthy(completed_at), truthy(updated_at)};
    switch (res::end_field(t)) {
    case res::EndField::failed_at:
        return failed_at;
    case res::EndField::completed_at:
        return completed_at;
    case res::EndField::updated_at:
        return updated_at;
    case res::EndField::started_at:
        break;
    }
    return attr(record, n_started_at);
}

nb::handle reason_name(res::Reason r) {
    static Name stale{res::reason_text(res::Reason::stale_timeout)};
    static Name orphaned{res::reason_text(res::Reason::orphaned_after_ancestor_terminal)};
    return r == res::Reason::stale_timeout ? stale.get() : orphaned.get();
}

// ---------------------------------------------------------------------------------------------
// Resolution batch

struct Batch {
    nb::handle desk;
    int64_t now = 0;
    nb::object now_obj;       // the batch's clock as a Python int (written into meta)
    nb::handle cache;         // dict: run id -> resolved record or None
    nb::handle resolving;     // set of run ids under resolution
    res::Thresholds limits;
    nb::object log_service;   // None or the service
    nb::object store;         // read on first use
    nb::dict memo;            // parent id -> nearest terminal ancestor (or None) from that id up
    bool own_copies = false;  // records handed in are fresh copies nobody else holds
    bool fetched_own = false; // records fetched by run id are such copies too

    nb::handle run_store() {
        if (!store.is_valid())
            store = attr(desk, n_run_store);
        return store;
    }
};

int64_t read_threshold(nb::handle desk, Name &n) {
    nb::object v = attr(desk, n);
    return args::to_int64(v, n.text());
}

void init_limits(Batch &b, nb::handle desk) {
    b.desk = desk;
    b.limits.stale_ms = read_threshold(desk, n_stale_ms);
    b.limits.orphan_ms = read_threshold(desk, n_orphan_ms);
    b.log_service = attr(desk, n_log_service);
}

bool store_copies(nb::handle store);

int64_t current_ms() { return res::clock_ms(outside::time_time()); }

// A batch for one public call: the clock read once, a new cache and in-progress set.
struct OwnedBatch {
    nb::dict cache;
    nb::object resolving = nb::steal(PySet_New(nullptr));
    Batch b;

    explicit OwnedBatch(nb::handle desk) {
        if (!resolving.is_valid())
            throw nb::python_error();
        init_limits(b, desk);
        b.now = current_ms();
        b.now_obj = nb::steal(PyLong_FromLongLong(b.now));
        b.cache = cache;
        b.resolving = resolving;
        if (b.log_service.is_none())
            b.fetched_own = store_copies(b.run_store());
    }
};

// The stored, unresolved record of one run: from the log service when one is configured.
nb::object get_raw(Batch &b, nb::handle run_id) {
    if (!b.log_service.is_none()) {
        nb::object fn = attr(b.log_service, n_query_runs);
        nb::object one = nb::int_(1);
        nb::object rows = call_kw(fn, {{&n_run_id, run_id}, {&n_limit, one}});
        return first_of(rows);
    }
    nb::object fn = attr(b.run_store(), n_get_run);
    PyObject *r = PyObject_CallOneArg(fn.ptr(), run_id.ptr());
    if (r == nullptr)
        throw nb::python_error();
    return nb::steal(r);
}

// One frame of the explicit resolution stack.
struct Frame {
    bool walk_only = false;   // a bare ancestor walk (no record being resolved)
    nb::object input_id;      // run id marked in `resolving` by this frame
    nb::object resolved;      // the copy being judged
    int64_t anchor = 0;
    nb::object pid;           // the walk's current parent id
    std::vector<nb::object> visited;  // parent ids visited by this walk, in order
    nb::object seen;                  // the same ids as a set, made once the walk is long
    bool memo_ok = true;      // whether the walk's answer may be remembered for its ids
};

class Resolver {
public:
    explicit Resolver(Batch &b) : b_(b) {}
    ~Resolver() {
        // Leaving through an error: every frame still open takes its mark out of `resolving`.
        if (!frames_.empty()) {
            PyObject *type, *value, *tb;
            PyErr_Fetch(&type, &value, &tb);
            for (auto it = frames_.rbegin(); it != frames_.rend(); ++it)
                if (it->input_id.is_valid() && PySet_Discard(b_.resolving.ptr(), it->input_id.ptr()) < 0)
                    PyErr_Clear();
            PyErr_Restore(type, value, tb);
        }
    }

    nb::object resolve(nb::handle record) {
        nb::object out;
        if (begin_resolve(record, out))
            return out;
        return drive();
    }

    nb::object find_terminal_ancestor(nb::handle record) {
        Frame f;
        f.walk_only = true;
        f.pid = attr(record, n_parent_run_id);
        frames_.push_back(std::move(f));
        return drive();
    }

private:
    Batch &b_;
    std::vector<Frame> frames_;

    // Steps 1-10 of resolving one record. Returns true with `out` set when the answer is known
    // at once; otherwise pushes a frame whose ancestor walk must run.
    bool begin_resolve(nb::handle record, nb::object &out) {
        if (record.is_none()) {
            out = nb::none();
            return true;
        }
        nb::object rid = attr(record, n_run_id);
        nb::object cached = dict_get(b_.cache, rid);
        if (cached.is_valid()) {
            out = cached;
            return true;
        }
        if (set_contains(b_.resolving, rid)) {
            out = nb::none();
            return true;
        }
        set_add(b_.resolving, rid);
        Frame f;
        f.input_id = rid;
        frames_.push_back(std::move(f));
        Frame &fr = frames_.back();
        fr.resolved = b_.own_copies ? nb::borrow(record) : models::deep_copy(record);
        nb::handle resolved = fr.resolved;
        nb::object status = attr(resolved, n_status);
        if (is_terminal_status(status) || equals(status, n_waiting))
            return finish_unjudged(out);
        nb::object updated_at = attr(resolved, n_updated_at);
        nb::object anchor = truthy(updated_at) ? updated_at : attr(resolved, n_started_at);
        if (anchor.is_none())
            return finish_unjudged(out);
        fr.anchor = time_value(anchor, "updated_at");
        if (res::stale_fires(b_.now, fr.anchor, b_.limits)) {
            mark_failed(resolved, res::Reason::stale_timeout, nb::handle());
            return finish_unjudged(out);
        }
        if (!res::orphan_rule_on(b_.limits))
            return finish_unjudged(out);
        fr.pid = attr(resolved, n_parent_run_id);
        return false;
    }

    // Caches the top frame's copy, clears its mark and pops it.
    bool finish_unjudged(nb::object &out) {
        Frame &f = frames_.back();
        out = f.resolved;
        nb::object rid = attr(f.resolved, n_run_id);
        dict_set(b_.cache, rid, f.resolved);
        nb::object input_id = std::move(f.input_id);
        frames_.pop_back();
        set_discard(b_.resolving, input_id);
        return true;
    }

    void mark_failed(nb::handle resolved, res::Reason reason, nb::handle anchor_at) {
        set_field(resolved, n_status, n_failed.get());
        nb::object failed_at = attr(resolved, n_failed_at);
        set_field(resolved, n_failed_at, truthy(failed_at) ? nb::handle(failed_at) : nb::handle(b_.now_obj));
        // The copy's meta is its own (a fresh copy), so the entries are written into it; a meta
        // of another kind is replaced by a new dict holding its entries.
        nb::object meta = attr(resolved, n_meta);
        bool replace = !PyDict_CheckExact(meta.ptr());
        if (replace) {
            PyObject *m = PyObject_CallOneArg(reinterpret_cast<PyObject *>(&PyDict_Type), meta.ptr());
            if (m == nullptr)
                throw nb::python_error();
            meta = nb::steal(m);
        }
        dict_set(meta, k_stale_reason.get(), reason_name(reason));
        dict_set(meta, k_stale_detected_at.get(), b_.now_obj);
        if (anchor_at.is_valid() && !anchor_at.is_none())
            dict_set(meta, k_stale_anchor_at.get(), anchor_at);
        if (replace)
            set_field(resolved, n_meta, meta);
    }

    // The walk of the top frame ended with `ancestor`: every parent id it visited has that answer.
    void remember(Frame &f, nb::handle ancestor) {
        if (!f.memo_ok)
            return;
        for (nb::object &id : f.visited)
            dict_set(b_.memo, id, ancestor);
    }

    static bool visited_before(Frame &f, nb::handle pid) {
        if (f.seen.is_valid())
            return set_contains(f.seen, pid);
        for (nb::object &id : f.visited)
            if (equals(id, pid))
                return true;
        return false;
    }

    static void visit(Frame &f, nb::handle pid) {
        f.visited.push_back(nb::borrow(pid));
        if (f.seen.is_valid()) {
            set_add(f.seen, pid);
        } else if (f.visited.size() > 8) {
            f.seen = nb::steal(PySet_New(nullptr));
            if (!f.seen.is_valid())
                throw nb::python_error();
            for (nb::object &id : f.visited)
                set_add(f.seen, id);
        }
    }

    // Runs frames until the bottom one is done; returns its answer.
    nb::object drive() {
        nb::object delivered;
        bool have = false;
        for (;;) {
            Frame *f = &frames_.back();
            nb::object parent;
            bool done = false;
            nb::object ancestor;
            if (have) {
                have = false;
                parent = std::move(delivered);
                if (parent.is_none()) {
                    f->memo_ok = false;  // the answer may depend on what is under way
                    done = true;
                    ancestor = nb::none();
                } else if (is_terminal_status(attr(parent, n_status))) {
                    done = true;
                    ancestor = parent;
                } else {
                    f->pid = attr(parent, n_parent_run_id);
                }
            }
            while (!done) {
                nb::handle pid = f->pid;
                if (pid.is_none()) {
                    done = true;
                    ancestor = nb::none();
                    break;
                }
                if (visited_before(*f, pid)) {  // a parent loop: no terminal ancestor
                    done = true;
                    ancestor = nb::none();
                    break;
                }
                nb::object known = dict_get(b_.memo, pid);
                if (known.is_valid()) {
                    done = true;
                    ancestor = known;
                    break;
                }
                visit(*f, pid);
                nb::object p = dict_get(b_.cache, pid);
                if (!p.is_valid() || p.is_none()) {
                    if (set_contains(b_.resolving, pid)) {
                        f->memo_ok = false;
                        done = true;
                        ancestor = nb::none();
                        break;
                    }
                    nb::object raw = get_raw(b_, pid);
                    if (raw.is_none()) {  // the chain is broken: the ancestor is not stored
                        done = true;
                        ancestor = nb::none();
                        break;
                    }
                    nb::object out;
                    bool saved_own = b_.own_copies;
                    b_.own_copies = b_.fetched_own;
                    bool immediate = begin_resolve(raw, out);
                    b_.own_copies = saved_own;
                    if (!immediate)
                        break;  // a new frame on top: run it first
                    f = &frames_.back();
                    if (out.is_none()) {
                        f->memo_ok = false;
                        done = true;
                        ancestor = nb::none();
                        break;
                    }
                    p = out;
                }
                if (is_terminal_status(attr(p, n_status))) {
                    done = true;
                    ancestor = p;
                    break;
                }
                f->pid = attr(p, n_parent_run_id);
            }
            if (!done)
                continue;  // the top frame changed
            f = &frames_.back();
            remember(*f, ancestor);
            if (f->walk_only) {
                frames_.pop_back();
                return ancestor;
            }
            // Orphan rule for the frame's record.
            if (!ancestor.is_none()) {
                nb::object end = terminal_timestamp(ancestor);
                if (!end.is_none()) {
                    int64_t end_ms = time_value(end, "devtools_stale_anchor_at");
                    if (res::orphan_fires(b_.now, f->anchor, end_ms, b_.limits))
                        mark_failed(f->resolved, res::Reason::orphaned_after_ancestor_terminal, end);
                }
            }
            nb::object out;
            finish_unjudged(out);
            if (frames_.empty())
                return out;
            delivered = std::move(out);
            have = true;
        }
    }
};

nb::object resolve_one(Batch &b, nb::handle record) {
    Resolver r(b);
    return r.resolve(record);
}

// Resolves `records` in order, keeps those whose resolved status equals `status` (when given),
// stops once `limit` are kept. A limit of 0 or below keeps nothing.
nb::list resolve_records(Batch &b, nb::handle records, nb::handle status, std::optional<int64_t> limit) {
    nb::list out;
    if (limit && *limit <= 0)
        return out;
    nb::list items = to_list(records);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i) {
        nb::object rec = nb::borrow(PyList_GET_ITEM(items.ptr(), i));
        nb::object r = resolve_one(b, rec);
        if (r.is_none())
            continue;
        if (!status.is_none() && !equals(attr(r, n_status), status))
            continue;
        out.append(r);
        if (limit && static_cast<int64_t>(PyList_GET_SIZE(out.ptr())) >= *limit)
            break;
    }
    return out;
}

// Whether records from the run store are fresh copies that only this call holds: true for the
// package's own store, whose queries always copy.
bool store_copies(nb::handle store) {
    static PyObject *tally_type = nullptr;
    static bool looked = false;
    if (!looked) {
        looked = true;
        PyObject *mod = PyImport_ImportModule("orvane_devtools.observation.Tallybook");
        if (mod != nullptr) {
            tally_type = PyObject_GetAttrString(mod, "RuntimeTallybook");  // kept (leaked)
            Py_DECREF(mod);
        }
        if (tally_type == nullptr)
            PyErr_Clear();
    }
    return tally_type != nullptr && reinterpret_cast<PyObject *>(Py_TYPE(store.ptr())) == tally_type;
}

// ---------------------------------------------------------------------------------------------
// Argument checks

std::optional<int64_t> opt_int(nb::handle v, const char *arg) { return args::to_int64_or_none(v, arg); }

nb::object opt_pyint(nb::handle v, const char *arg) {
    return v.is_none() ? nb::none() : args::to_pyint(v, arg);
}

void require_dict(nb::handle v, const char *arg) {
    if (!PyDict_Check(v.ptr()))
        args::raise_incorrect_type(arg, "dict", v);
}

void require_set(nb::handle v, const char *arg) {
    if (!PySet_Check(v.ptr()))
        args::raise_incorrect_type(arg, "set", v);
}

void require_instance(nb::handle v, Name &cls_name, const char *arg) {
    if (v.is_none())
        return;
    nb::object cls = outside::get(cls_name);
    int r = PyObject_IsInstance(v.ptr(), cls.ptr());
    if (r < 0)
        throw nb::python_error();
    if (!r)
        args::raise_incorrect_type(arg, cls_name.text(), v);
}

// ---------------------------------------------------------------------------------------------
// Run queries

struct RunFilters {
    nb::object run_id, root_run_id, parent_run_id, run_kind, status, agent_id, session_id, app_id,
        app_id_pattern, group_id, flow_name, search, since, until, limit;
};

nb::list list_runs_impl(nb::handle self, RunFilters f) {
    const std::pair<nb::handle, const char *> texts[] = {
        {f.run_id, "run_id"}, {f.root_run_id, "root_run_id"}, {f.parent_run_id, "parent_run_id"},
        {f.run_kind, "run_kind"}, {f.status, "status"}, {f.agent_id, "agent_id"},
        {f.session_id, "session_id"}, {f.app_id, "app_id"}, {f.app_id_pattern, "app_id_pattern"},
        {f.group_id, "group_id"}, {f.flow_name, "flow_name"}, {f.search, "search"}};
    for (auto &t : texts)
        args::require_str(t.first, t.second, true);
    nb::object since = opt_pyint(f.since, "since");
    nb::object until = opt_pyint(f.until, "until");
    std::optional<int64_t> limit = opt_int(f.limit, "limit");

    OwnedBatch ob(self);
    nb::handle store = ob.b.run_store();
    nb::object fn = attr(store, n_list_runs);
    nb::object none = nb::none();
    nb::object rows = call_kw(fn, {{&n_run_id, f.run_id},
                                   {&n_root_run_id, f.root_run_id},
                                   {&n_parent_run_id, f.parent_run_id},
                                   {&n_run_kind, f.run_kind},
                                   {&n_agent_id, f.agent_id},
                                   {&n_session_id, f.session_id},
                                   {&n_app_id, f.app_id},
                                   {&n_app_id_pattern, f.app_id_pattern},
                                   {&n_group_id, f.group_id},
                                   {&n_flow_name, f.flow_name},
                                   {&n_search, f.search},
                                   {&n_since, since},
                                   {&n_until, until},
                                   {&n_limit, none}});
    args::require_list(rows, "records");
    ob.b.own_copies = store_copies(store);
    return resolve_records(ob.b, rows, f.status, limit);
}

RunFilters filters_of(nb::handle query) {
    RunFilters f;
    f.run_id = attr(query, n_run_id);
    f.root_run_id = attr(query, n_root_run_id);
    f.parent_run_id = attr(query, n_parent_run_id);
    f.run_kind = attr(query, n_run_kind);
    f.status = attr(query, n_status);
    f.agent_id = attr(query, n_agent_id);
    f.session_id = attr(query, n_session_id);
    f.app_id = attr(query, n_app_id);
    f.app_id_pattern = attr(query, n_app_id_pattern);
    f.group_id = attr(query, n_group_id);
    f.flow_name = attr(query, n_flow_name);
    f.search = attr(query, n_search);
    f.since = attr(query, n_since);
    f.until = attr(query, n_until);
    f.limit = attr(query, n_limit);
    return f;
}

nb::object build_query(Name &cls_name, nb::handle query, nb::kwargs kwargs) {
    if (!query.is_none()) {
        require_instance(query, cls_name, "query");
        return nb::borrow(query);
    }
    nb::object cls = outside::get(cls_name);
    PyObject *r = PyObject_Call(cls.ptr(), nb::tuple().ptr(), kwargs.ptr());
    if (r == nullptr)
        throw nb::python_error();
    return nb::steal(r);
}

nb::list query_runs_impl(nb::handle self, nb::handle query_arg, nb::kwargs kwargs) {
    nb::object query = build_query(o_run_query, query_arg, kwargs);
    RunFilters f = filters_of(query);
    nb::object log = attr(self, n_log_service);
    if (log.is_none())
        return list_runs_impl(self, std::move(f));
    nb::object none = nb::none();
    nb::handle down_limit = f.status.is_none() ? nb::handle(f.limit) : nb::handle(none);
    nb::object fn = attr(log, n_query_runs);
    nb::object rows = call_kw(fn, {{&n_run_id, f.run_id},
                                   {&n_root_run_id, f.root_run_id},
                                   {&n_parent_run_id, f.parent_run_id},
                                   {&n_run_kind, f.run_kind},
                                   {&n_status, none},
                                   {&n_agent_id, f.agent_id},
                                   {&n_session_id, f.session_id},
                                   {&n_app_id, f.app_id},
                                   {&n_app_id_pattern, f.app_id_pattern},
                                   {&n_group_id, f.group_id},
                                   {&n_flow_name, f.flow_name},
                                   {&n_search, f.search},
                                   {&n_since, f.since},
                                   {&n_until, f.until},
                                   {&n_limit, down_limit}});
    args::require_list(rows, "records");
    std::optional<int64_t> limit = opt_int(f.limit, "limit");
    OwnedBatch ob(self);
    return resolve_records(ob.b, rows, f.status, limit);
}

// The resolved children of `run_id` within batch `b`, in the source's order.
nb::list children_in_batch(Batch &b, nb::handle run_id) {
    if (!b.log_service.is_none()) {
        nb::object fn = attr(b.log_service, n_query_runs);
        nb::object rows = call_kw(fn, {{&n_parent_run_id, run_id}});
        args::require_list(rows, "records");
        return resolve_records(b, rows, nb::none(), std::nullopt);
    }
    nb::handle store = b.run_store();
    nb::object fn = attr(store, n_get_run_children);
    PyObject *r = PyObject_CallOneArg(fn.ptr(), run_id.ptr());
    if (r == nullptr)
        throw nb::python_error();
    nb::list rows = to_list(nb::steal(r));
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

nb::object get_run_impl(nb::handle self, nb::handle run_id) {
    args::require_str(run_id, "run_id");
    OwnedBatch ob(self);
    nb::object raw = get_raw(ob.b, run_id);
    ob.b.own_copies = ob.b.fetched_own;
    return resolve_one(ob.b, raw);
}

nb::list get_run_children_impl(nb::handle self, nb::handle run_id) {
    args::require_str(run_id, "run_id");
    OwnedBatch ob(self);
    return children_in_batch(ob.b, run_id);
}

// A tree node around `run` whose `children` list is `kids` itself (filled afterwards).
nb::object make_node(nb::handle cls, bool pydantic_cls, nb::handle run, nb::list kids) {
    if (pydantic_cls) {
        nb::dict fields;
        fields[n_run.get()] = run;
        fields[n_children.get()] = kids;
        nb::object fs = nb::steal(PySet_New(nullptr));
        if (!fs.is_valid())
            throw nb::python_error();
        set_add(fs, n_run.get());
        set_add(fs, n_children.get());
        return models::construct(cls, fields, fs);
    }
    return call_kw(cls, {{&n_run, run}, {&n_children, kids}});
}

bool is_pydantic_class(nb::handle cls) {
    static PyObject *base_model = nb::object(nb::module_::import_("pydantic").attr("BaseModel")).release().ptr();
    if (!PyType_Check(cls.ptr()))
        return false;
    int r = PyObject_IsSubclass(cls.ptr(), base_model);
    if (r < 0)
        throw nb::python_error();
    return r != 0;
}

// The whole subtree of `run_id` in one resolution batch, built depth-first without recursion.
// A run already on the path from the root is skipped (a parent loop).
nb::object get_run_tree_impl(nb::handle self, nb::handle run_id) {
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
    nb::object path = nb::steal(PySet_New(nullptr));
    if (!path.is_valid())
        throw nb::python_error();
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
        nb::object cid = attr(child, n_run_id);
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

// ---------------------------------------------------------------------------------------------
// Event queries and search

// The needle of a search: trimmed, case-folded.
std::string needle_of(nb::handle search) {
    nb::object stripped = nb::steal(PyObject_CallMethodNoArgs(search.ptr(), n_strip.get()));
    if (!stripped.is_valid())
        throw nb::python_error();
    Py_ssize_t n = 0;
    const char *p = PyUnicode_AsUTF8AndSize(stripped.ptr(), &n);
    if (p == nullptr)
        throw nb::python_error();
    if (n == 0)
        return std::string();
    return search::casefold(std::string_view(p, static_cast<size_t>(n)));
}

bool haystack_has(nb::handle value, std::string_view needle, std::string &buf) {
    if (value.is_none())
        return false;
    buf.clear();
    search::append_normalized(value, buf);
    return std::string_view(buf).find(needle) != std::string_view::npos;
}

// Whether `v` is made only of values whose JSON-mode dump is the value itself: exact str, int,
// bool, None, finite float, and lists, tuples and str-keyed dicts of those.
bool json_native(PyObject *v, int depth = 0) {
    if (v == Py_None || PyUnicode_CheckExact(v) || PyLong_CheckExact(v) || PyBool_Check(v))
        return true;
    if (PyFloat_CheckExact(v))
        return std::isfinite(PyFloat_AS_DOUBLE(v));
    if (depth > 16)
        return false;
    if (PyList_CheckExact(v)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(v); ++i)
            if (!json_native(PyList_GET_ITEM(v, i), depth + 1))
                return false;
        return true;
    }
    if (PyTuple_CheckExact(v)) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(v); ++i)
            if (!json_native(PyTuple_GET_ITEM(v, i), depth + 1))
                return false;
        return true;
    }
    if (PyDict_CheckExact(v)) {
        Py_ssize_t pos = 0;
        PyObject *k, *val;
        while (PyDict_Next(v, &pos, &k, &val))
            if (!PyUnicode_CheckExact(k) || !json_native(val, depth + 1))
                return false;
        return true;
    }
    return false;
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
    nb::object run = attr(event, n_run);
    if (run.is_none())
        return false;
    if (nb::handle fields = plain_run_fields(run); fields.is_valid())
        return haystack_has(fields, needle, buf);
    nb::object dumped = call_kw(attr(run, n_model_dump), {{&n_mode, nb::handle(n_json.get())}});
    return haystack_has(dumped, needle, buf);
}

bool event_matches_needle(nb::handle event, std::string_view needle, std::string &buf) {
    if (needle.empty())
        return true;
    static Name *fields[] = {&n_event_id, &n_event_type, &n_source, &n_level,
                             &n_message,  &n_payload,    &n_error,  &n_meta};
    for (Name *f : fields)
        if (haystack_has(attr(event, *f), needle, buf))
            return true;
    return run_matches_needle(event, needle, buf);
}

nb::object event_meta_entry(nb::handle event, Name &key) {
    nb::object meta = attr(event, n_meta);
    if (meta.is_none())
        return nb::object();
    return mapping_get(meta, key.get());
}

bool blank(nb::handle s) {  // a string of white space only (or empty)
    if (!PyUnicode_Check(s.ptr()))
        return false;
    nb::object stripped = nb::steal(PyObject_CallMethodNoArgs(s.ptr(), n_strip.get()));
    if (!stripped.is_valid())
        throw nb::python_error();
    return PyUnicode_GET_LENGTH(stripped.ptr()) == 0;
}

nb::object store_get_run_events(nb::handle self, nb::handle run_id, nb::handle limit, bool descendants) {
    nb::object store = attr(self, n_run_store);
    nb::object fn = attr(store, n_get_run_events);
    nb::object names = nb::make_tuple(nb::handle(n_limit.get()), nb::handle(n_include_descendants.get()));
    PyObject *argv[] = {nullptr, run_id.ptr(), limit.ptr(), descendants ? Py_True : Py_False};
    PyObject *r = PyObject_Vectorcall(fn.ptr(), argv + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, names.ptr());
    if (r == nullptr)
        throw nb::python_error();
    return nb::steal(r);
}

nb::object store_get_recent_events(nb::handle self, nb::handle limit) {
    nb::object store = attr(self, n_run_store);
    return call_kw(attr(store, n_get_recent_events), {{&n_limit, limit}});
}

nb::object get_event_impl(nb::handle self, nb::handle event_id) {
    args::require_str(event_id, "event_id");
    nb::object log = attr(self, n_log_service);
    if (!log.is_none()) {
        nb::object r = nb::steal(PyObject_CallMethodOneArg(log.ptr(), n_get_event.get(), event_id.ptr()));
        if (!r.is_valid())
            throw nb::python_error();
        if (!r.is_none())
            return r;
    }
    nb::object store = attr(self, n_run_store);
    PyObject *fn = nullptr;
    if (PyObject_GetOptionalAttr(store.ptr(), n_get_event.get(), &fn) < 0)
        throw nb::python_error();
    nb::object getter = nb::steal(fn);
    if (getter.is_valid() && PyCallable_Check(getter.ptr())) {
        nb::object r = nb::steal(PyObject_CallOneArg(getter.ptr(), event_id.ptr()));
        if (!r.is_valid())
            throw nb::python_error();
        if (!r.is_none())
            return r;
    }
    nb::list all = to_list(store_get_recent_events(self, nb::none()));
    for (Py_ssize_t i = PyList_GET_SIZE(all.ptr()) - 1; i >= 0; --i) {
        nb::handle ev(PyList_GET_ITEM(all.ptr(), i));
        nb::object ev_ref = nb::borrow(ev);
        if (equals(attr(ev_ref, n_event_id), event_id))
            return ev_ref;
    }
    return nb::none();
}

// The run store's private interface when `store` is exactly the package's RuntimeTallybook with
// its own get_recent_events; nullptr otherwise (then the store is used through its methods).
const tally_api::Api *fast_store_api(nb::handle store) {
    static const tally_api::Api *api = nullptr;
    static PyObject *own_getter = nullptr;  // RuntimeTallybook.get_recent_events as published
    static bool looked = false;
    if (!looked) {
        looked = true;
        auto *a = static_cast<const tally_api::Api *>(PyCapsule_Import(tally_api::kCapsule, 0));
        if (a == nullptr || a->version != tally_api::kVersion) {
            PyErr_Clear();
        } else {
            own_getter = _PyType_Lookup(a->store_type, n_get_recent_events.get());
            if (own_getter != nullptr) {
                Py_INCREF(own_getter);  // kept for good
                api = a;
            }
        }
    }
    if (api == nullptr || Py_TYPE(store.ptr()) != api->store_type ||
        _PyType_Lookup(api->store_type, n_get_recent_events.get()) != own_getter)
        return nullptr;
    return api;
}

struct EventFilters {
    nb::handle event_types, source, level, app_id, group_id, app_id_pattern, search;
    std::optional<int64_t> since, until, limit;
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
            nb::object et = attr(events.event(i), n_event_type);
            PyObject *r = PyObject_CallFunctionObjArgs(fn.ptr(), et.ptr(), f.event_types.ptr(), nullptr);
            if (r == nullptr)
                throw nb::python_error();
            return truthy(nb::steal(r));
        });
    }
    if (!f.source.is_none())
        keep_if([&](size_t i) { return equals(attr(events.event(i), n_source), f.source); });
    if (!f.level.is_none())
        keep_if([&](size_t i) { return equals(attr(events.event(i), n_level), f.level); });
    if (!f.app_id.is_none())
        keep_if([&](size_t i) {
            nb::object v = event_meta_entry(events.event(i), n_app_id);
            return v.is_valid() && equals(v, f.app_id);
        });
    if (!f.group_id.is_none())
        keep_if([&](size_t i) {
            nb::object v = event_meta_entry(events.event(i), n_group_id);
            return v.is_valid() && equals(v, f.group_id);
        });
    if (!f.app_id_pattern.is_none() && !blank(f.app_id_pattern)) {
        nb::object re = outside::get(o_re);
        nb::object compiled =
            nb::steal(PyObject_CallMethodOneArg(re.ptr(), n_compile.get(), f.app_id_pattern.ptr()));
        if (!compiled.is_valid()) {
            nb::object re_error = attr(re, n_error_attr);
            if (!PyErr_ExceptionMatches(re_error.ptr()))
                throw nb::python_error();
            PyErr_Clear();
            work.clear();
        } else {
            nb::object search_fn = attr(compiled, n_search);
            keep_if([&](size_t i) {
                nb::object v = event_meta_entry(events.event(i), n_app_id);
                if (!v.is_valid() || !PyUnicode_Check(v.ptr()))
                    return false;
                nb::object m = nb::steal(PyObject_CallOneArg(search_fn.ptr(), v.ptr()));
                if (!m.is_valid())
                    throw nb::python_error();
                return !m.is_none();
            });
        }
    }
    if (!f.search.is_none() && !blank(f.search)) {
        args::require_str(f.search, "search");
        std::string needle = needle_of(f.search);
        std::string buf;
        // Events with equal run contexts have the same run text: its verdict is kept per context.
        std::unordered_map<const void *, bool> run_verdict;
        keep_if([&](size_t i) {
            if (needle.empty())
                return true;
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
        return time_value(attr(events.event(i), n_timestamp), "timestamp");
    };
    if (f.since)
        keep_if([&](size_t i) { return ts_of(i) >= *f.since; });
    if (f.until)
        keep_if([&](size_t i) { return ts_of(i) <= *f.until; });
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

nb::object query_events_impl(nb::handle self, nb::handle query_arg, nb::kwargs kwargs) {
    nb::object q = build_query(o_event_query, query_arg, kwargs);
    nb::object run_id = attr(q, n_run_id);
    nb::object include_desc = attr(q, n_include_descendants);
    nb::object event_types = attr(q, n_event_types);
    nb::object source = attr(q, n_source);
    nb::object level = attr(q, n_level);
    nb::object app_id = attr(q, n_app_id);
    nb::object app_id_pattern = attr(q, n_app_id_pattern);
    nb::object group_id = attr(q, n_group_id);
    nb::object search_arg = attr(q, n_search);
    nb::object since = attr(q, n_since);
    nb::object until = attr(q, n_until);
    nb::object limit = attr(q, n_limit);

    nb::object log = attr(self, n_log_service);
    if (!log.is_none()) {
        nb::object run_ids = nb::none();
        if (!run_id.is_none()) {
            if (truthy(include_desc)) {
                run_ids = nb::steal(
                    PyObject_CallMethodOneArg(log.ptr(), n_collect_descendants.get(), run_id.ptr()));
                if (!run_ids.is_valid())
                    throw nb::python_error();
                args::require_list(run_ids, "run_ids", true);
            } else {
                nb::list one;
                one.append(run_id);
                run_ids = one;
            }
        }
        nb::object none = nb::none();
        return call_kw(attr(log, n_query_events),
                       {{&n_run_ids, run_ids},
                        {&n_run_id, run_ids.is_none() ? nb::handle(run_id) : nb::handle(none)},
                        {&n_event_types, event_types},
                        {&n_source, source},
                        {&n_level, level},
                        {&n_app_id, app_id},
                        {&n_app_id_pattern, app_id_pattern},
                        {&n_group_id, group_id},
                        {&n_search, search_arg},
                        {&n_since, since},
                        {&n_until, until},
                        {&n_limit, limit}});
    }

    std::optional<int64_t> since_v = opt_int(since, "since");
    std::optional<int64_t> until_v = opt_int(until, "until");
    std::optional<int64_t> limit_v = opt_int(limit, "limit");
    EventFilters f{event_types, source, level, app_id, group_id, app_id_pattern, search_arg, since_v, until_v, limit_v};
    nb::object store = attr(self, n_run_store);
    if (run_id.is_none()) {
        if (const tally_api::Api *api = fast_store_api(store)) {
            SnapshotEvents events(*api, store);
            return filter_events(events, f);
        }
    }
    nb::object base_obj = run_id.is_none()
                              ? store_get_recent_events(self, nb::none())
                              : store_get_run_events(self, run_id, nb::none(), truthy(include_desc));
    ListEvents events(to_list(base_obj), store_copies(store));
    return filter_events(events, f);
}

}  // namespace

void add_queries(nb::module_ &m, nb::dict &ns) {
    outside::expose(m, "ObservationRunQuery", "orvane_devtools.observation.Query", "ObservationRunQuery");
    outside::expose(m, "ObservationEventQuery", "orvane_devtools.observation.Query", "ObservationEventQuery");
    outside::expose(m, "RunTreeNode", "orvane_devtools.observation.Query", "RunTreeNode");
    outside::expose(m, "matches_wavelane_event_type", "orvane_devtools._event_aliases",
                    "matches_wavelane_event_type");
    outside::expose(m, "re", "re");
    outside::expose(m, "time", "time");

    nb::handle staticmethod_type(reinterpret_cast<PyObject *>(&PyStaticMethod_Type));
    nb::none none;

    // -- resolution ------------------------------------------------------------------------
    ns["_terminal_timestamp"] = staticmethod_type(nb::cpp_function(
        [](nb::handle record) { return terminal_timestamp(record); }, nb::name("_terminal_timestamp"),
        nb::arg("record").none(),
        "The moment ``record`` is taken to have ended: its ``devtools_stale_anchor_at`` meta entry "
        "when that is an int, else the first truthy of failed_at, completed_at, updated_at, else "
        "started_at."));

    ns["_get_raw_run_record"] = nb::cpp_function(
        [](nb::handle self, nb::handle run_id) {
            args::require_str(run_id, "run_id");
            Batch b;
            b.desk = self;
            b.log_service = attr(self, n_log_service);
            return get_raw(b, run_id);
        },
        nb::is_method(), nb::name("_get_raw_run_record"), nb::arg("run_id").none(),
        "The stored, unresolved record of ``run_id`` (from the log service when one is configured).");

    auto external_batch = [](nb::handle self, nb::handle now_ms, nb::handle cache, nb::handle resolving,
                             Batch &b) {
        nb::object now = args::to_pyint(now_ms, "now_ms");
        require_dict(cache, "cache");
        require_set(resolving, "resolving");
        init_limits(b, self);
        b.now = time_value(now, "now_ms");
        b.now_obj = now;
        b.cache = cache;
        b.resolving = resolving;
    };

    ns["_find_terminal_ancestor"] = nb::cpp_function(
        [external_batch](nb::handle self, nb::handle record, nb::handle now_ms, nb::handle cache,
                         nb::handle resolving) {
            Batch b;
            external_batch(self, now_ms, cache, resolving, b);
            Resolver r(b);
            return r.find_terminal_ancestor(record);
        },
        nb::is_method(), nb::name("_find_terminal_ancestor"), nb::arg("record").none(), nb::kw_only(),
        nb::arg("now_ms").none(), nb::arg("cache").none(), nb::arg("resolving").none(),
        "The nearest ancestor of ``record`` whose resolved status is terminal, or None.");

    ns["_resolve_run_record"] = nb::cpp_function(
        [external_batch](nb::handle self, nb::handle record, nb::handle now_ms, nb::handle cache,
                         nb::handle resolving) {
            Batch b;
            external_batch(self, now_ms, cache, resolving, b);
            return resolve_one(b, record);
        },
        nb::is_method(), nb::name("_resolve_run_record"), nb::arg("record").none(), nb::kw_only(),
        nb::arg("now_ms").none(), nb::arg("cache").none(), nb::arg("resolving").none(),
        "A resolved copy of ``record`` (stale and orphaned runs reported as failed), or None.");

    ns["_resolve_run_records"] = nb::cpp_function(
        [](nb::handle self, nb::handle records, nb::handle status, nb::handle limit) {
            args::require_list(records, "records");
            std::optional<int64_t> lim = opt_int(limit, "limit");
            if (lim && *lim <= 0)
                return nb::list();
            OwnedBatch ob(self);
            return resolve_records(ob.b, records, status, lim);
        },
        nb::is_method(), nb::name("_resolve_run_records"), nb::arg("records").none(), nb::kw_only(),
        nb::arg("status").none() = none, nb::arg("limit").none() = none,
        "Resolves ``records`` in one batch, keeps those whose resolved status is ``status``, at "
        "most ``limit`` (0 or below: none).");

    // -- run queries -----------------------------------------------------------------------
    ns["list_runs"] = nb::cpp_function(
        [](nb::handle self, nb::handle run_id, nb::handle root_run_id, nb::handle parent_run_id,
           nb::handle run_kind, nb::handle status, nb::handle agent_id, nb::handle session_id,
           nb::handle app_id, nb::handle app_id_pattern, nb::handle group_id, nb::handle flow_name,
           nb::handle search, nb::handle since, nb::handle until, nb::handle limit) {
            RunFilters f{nb::borrow(run_id),     nb::borrow(root_run_id),    nb::borrow(parent_run_id),
                         nb::borrow(run_kind),   nb::borrow(status),         nb::borrow(agent_id),
                         nb::borrow(session_id), nb::borrow(app_id),         nb::borrow(app_id_pattern),
                         nb::borrow(group_id),   nb::borrow(flow_name),      nb::borrow(search),
                         nb::borrow(since),      nb::borrow(until),          nb::borrow(limit)};
            return list_runs_impl(self, std::move(f));
        },
        nb::is_method(), nb::name("list_runs"), nb::kw_only(), nb::arg("run_id").none() = none,
        nb::arg("root_run_id").none() = none, nb::arg("parent_run_id").none() = none,
        nb::arg("run_kind").none() = none, nb::arg("status").none() = none,
        nb::arg("agent_id").none() = none, nb::arg("session_id").none() = none,
        nb::arg("app_id").none() = none, nb::arg("app_id_pattern").none() = none,
        nb::arg("group_id").none() = none, nb::arg("flow_name").none() = none,
        nb::arg("search").none() = none, nb::arg("since").none() = none,
        nb::arg("until").none() = none, nb::arg("limit").none() = none,
        "Resolved run records from the run store; ``status`` and ``limit`` apply after resolution.");

    ns["query_runs"] = nb::cpp_function(
        [](nb::handle self, nb::handle query, nb::kwargs kwargs) { return query_runs_impl(self, query, kwargs); },
        nb::is_method(), nb::name("query_runs"), nb::arg("query").none() = none, nb::arg("kwargs"),
        "Answers an ObservationRunQuery (built from the keywords when ``query`` is None).");

    ns["get_run"] = nb::cpp_function(
        [](nb::handle self, nb::handle run_id) { return get_run_impl(self, run_id); }, nb::is_method(),
        nb::name("get_run"), nb::arg("run_id").none(), "The resolved record of one run, or None.");

    ns["get_run_children"] = nb::cpp_function(
        [](nb::handle self, nb::handle run_id) { return get_run_children_impl(self, run_id); },
        nb::is_method(), nb::name("get_run_children"), nb::arg("run_id").none(),
        "The resolved child records of one run.");

    ns["get_run_tree"] = nb::cpp_function(
        [](nb::handle self, nb::handle run_id) { return get_run_tree_impl(self, run_id); },
        nb::is_method(), nb::name("get_run_tree"), nb::arg("run_id").none(),
        "The run and its whole subtree as RunTreeNode values (resolved in one batch), or None.");

    // -- event queries ---------------------------------------------------------------------
    ns["get_run_events"] = nb::cpp_function(
        [](nb::handle self, nb::handle run_id, nb::handle limit, nb::handle include_descendants) {
            args::require_str(run_id, "run_id");
            nb::object lim = opt_pyint(limit, "limit");
            return store_get_run_events(self, run_id, lim, truthy(include_descendants));
        },
        nb::is_method(), nb::name("get_run_events"), nb::arg("run_id").none(), nb::kw_only(),
        nb::arg("limit").none() = none, nb::arg("include_descendants").none() = false,
        "The run store's events of one run (with its descendants' when asked).");

    ns["get_recent_events"] = nb::cpp_function(
        [](nb::handle self, nb::handle limit) {
            nb::object lim = opt_pyint(limit, "limit");
            return store_get_recent_events(self, lim);
        },
        nb::is_method(), nb::name("get_recent_events"), nb::kw_only(), nb::arg("limit").none() = none,
        "The run store's most recent events, oldest first.");

    ns["get_event"] = nb::cpp_function(
        [](nb::handle self, nb::handle event_id) { return get_event_impl(self, event_id); },
        nb::is_method(), nb::name("get_event"), nb::arg("event_id").none(),
        "One event by id: the log service, then the run store, then the held recent events.");

    ns["query_events"] = nb::cpp_function(
        [](nb::handle self, nb::handle query, nb::kwargs kwargs) { return query_events_impl(self, query, kwargs); },
        nb::is_method(), nb::name("query_events"), nb::arg("query").none() = none, nb::arg("kwargs"),
        "Answers an ObservationEventQuery (built from the keywords when ``query`` is None).");

    ns["_normalize_search_text"] = staticmethod_type(nb::cpp_function(
        [](nb::handle value) {
            std::string out;
            search::append_normalized(value, out);
            return nb::str(out.data(), out.size());
        },
        nb::name("_normalize_search_text"), nb::arg("value").none(),
        "Search text of a value: None -> '', str -> casefold, else sorted-key JSON, casefolded."));

    ns["_event_matches_search"] = nb::cpp_function(
        [](nb::handle, nb::handle event, nb::handle search) {
            args::require_str(search, "search");
            std::string needle = needle_of(search);
            std::string buf;
            return event_matches_needle(event, needle, buf);
        },
        nb::is_method(), nb::name("_event_matches_search"), nb::arg("event").none(),
        nb::arg("search").none(), "Whether the trimmed, case-folded ``search`` occurs in the event's text.");
}

}  // namespace orvane::desk
