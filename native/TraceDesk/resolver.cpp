#include "resolver.hpp"

#include <unordered_map>
#include <vector>

#include "keywords.hpp"
#include "names.hpp"
#include "orvane/args.hpp"
#include "orvane/models.hpp"
#include "shared_helpers.hpp"
#include "queries.hpp"

namespace orvane::desk {

using namespace names;
namespace res = resolution;

namespace {

bool is_terminal_status(nb::handle status) {
    return equals(status, status_completed.get()) || equals(status, status_failed.get());
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
        base_setattr = PyDict_GetItemWithError(reinterpret_cast<PyTypeObject *>(bm.ptr())->tp_dict,
                                               a_setattr.get());
        Py_XINCREF(base_setattr);
    }
    PyObject *setattr_fn = _PyType_Lookup(t, a_setattr.get());
    if (setattr_fn != nullptr && setattr_fn == base_setattr) {
        nb::object config = nb::steal(PyObject_GetAttr(obj_type.ptr(), a_model_config.get()));
        if (!config.is_valid()) {
            PyErr_Clear();
        } else if (PyDict_Check(config.ptr())) {
            nb::object va = dict_find(config, d_validate_assignment.get());
            nb::object fr = dict_find(config, d_frozen.get());
            direct = !(va.is_valid() && truthy(va)) && !(fr.is_valid() && truthy(fr));
        }
    }
    Py_INCREF(t);  // keep the type alive while its address is a key
    cache->emplace(t, direct);
    return direct;
}

// Writes fields of one record: straight into __dict__ and the fields set where that is what
// `record.f = v` does, else through setattr. The choice is made once per record.
class FieldWriter {
public:
    explicit FieldWriter(nb::handle record) : obj_(record.ptr()) {
        if (!models::is_plain_model(record) || !plain_assignment_type(Py_TYPE(obj_)))
            return;
        PyObject **dictptr = _PyObject_GetDictPtr(obj_);
        if (dictptr == nullptr || *dictptr == nullptr)
            return;
        nb::object fs = nb::steal(PyObject_GenericGetAttr(obj_, a_fields_set.get()));
        if (!fs.is_valid() || !PySet_Check(fs.ptr())) {
            PyErr_Clear();
            return;
        }
        dict_ = nb::borrow(*dictptr);
        fields_set_ = std::move(fs);
    }

    void set(Name &name, nb::handle value) {
        if (dict_.is_valid()) {
            int has = PyDict_Contains(dict_.ptr(), name.get());
            if (has < 0)
                throw nb::python_error();
            if (has) {
                dict_set(dict_, name.get(), value);
                set_add(fields_set_, name.get());
                return;
            }
        }
        if (PyObject_SetAttr(obj_, name.get(), value.ptr()) < 0)
            throw nb::python_error();
    }

private:
    PyObject *obj_;
    nb::object dict_, fields_set_;
};

nb::handle reason_name(res::Reason r) {
    static Name stale{res::reason_text(res::Reason::stale_timeout)};
    static Name orphaned{res::reason_text(res::Reason::orphaned_after_ancestor_terminal)};
    return r == res::Reason::stale_timeout ? stale.get() : orphaned.get();
}

int64_t read_threshold(nb::handle desk, Name &n) {
    nb::object v = attr(desk, n);
    return args::to_int64(v, n.text());
}

int64_t current_ms() { return res::clock_ms(outside::time_time()); }

}  // namespace

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

nb::handle Batch::run_store() {
    if (!store.is_valid())
        store = field(desk, a_store);
    return store;
}

void init_limits(Batch &b, nb::handle desk) {
    b.desk = desk;
    b.limits.stale_ms = read_threshold(desk, a_stale_ms);
    b.limits.orphan_ms = read_threshold(desk, a_orphan_ms);
    b.log_service = field(desk, a_log_service);
    if (!b.log_service.is_none())
        b.fetched_own = log_copies(b.log_service);
}

OwnedBatch::OwnedBatch(nb::handle desk) : resolving(new_set()) {
    init_limits(b, desk);
    b.now = current_ms();
    b.now_obj = checked(PyLong_FromLongLong(b.now));
    b.cache = cache;
    b.resolving = resolving;
    if (b.log_service.is_none())
        b.fetched_own = store_copies(b.run_store());
}

// ---------------------------------------------------------------------------------------------
// Terminal timestamp

// The moment `record` ended for its descendants, as the Python value the record holds (None
// when unknown).
nb::object terminal_timestamp(nb::handle record) {
    nb::object meta = field(record, a_meta);
    if (!meta.is_none() && is_mapping(meta)) {
        nb::object anchor = get_or_none(meta, d_stale_anchor_at);
        if (PyLong_Check(anchor.ptr()))
            return anchor;
    }
    nb::object failed_at = field(record, a_failed_at);
    nb::object completed_at = field(record, a_completed_at);
    nb::object updated_at = field(record, a_updated_at);
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
    return field(record, a_started_at);
}


nb::object get_raw(Batch &b, nb::handle run_id) {
    if (!b.log_service.is_none()) {
        nb::object fn = attr(b.log_service, m_query_runs);
        nb::object one = nb::int_(1);
        nb::object rows = call_kw(fn, {{&k_run_id, run_id}, {&k_limit, one}});
        return first_of(rows);
    }
    nb::object fn = attr(b.run_store(), m_get_run);
    PyObject *r = PyObject_CallOneArg(fn.ptr(), run_id.ptr());
    if (r == nullptr)
        throw nb::python_error();
    return nb::steal(r);
}

namespace {

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
        f.pid = field(record, a_parent_run_id);
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
        nb::object rid = field(record, a_run_id);
        nb::object cached = dict_find(b_.cache, rid);
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
        nb::object status = field(resolved, a_status);
        if (is_terminal_status(status) || equals(status, status_waiting.get()))
            return finish_unjudged(out);
        nb::object updated_at = field(resolved, a_updated_at);
        nb::object anchor = truthy(updated_at) ? updated_at : field(resolved, a_started_at);
        if (anchor.is_none())
            return finish_unjudged(out);
        fr.anchor = time_value(anchor, "updated_at");
        if (res::stale_fires(b_.now, fr.anchor, b_.limits)) {
            mark_failed(resolved, res::Reason::stale_timeout, nb::handle());
            return finish_unjudged(out);
        }
        if (!res::orphan_rule_on(b_.limits))
            return finish_unjudged(out);
        fr.pid = field(resolved, a_parent_run_id);
        return false;
    }

    // Caches the top frame's copy, clears its mark and pops it.
    bool finish_unjudged(nb::object &out) {
        Frame &f = frames_.back();
        out = f.resolved;
        nb::object rid = field(f.resolved, a_run_id);
        dict_set(b_.cache, rid, f.resolved);
        nb::object input_id = std::move(f.input_id);
        frames_.pop_back();
        set_discard(b_.resolving, input_id);
        return true;
    }

    void mark_failed(nb::handle resolved, res::Reason reason, nb::handle anchor_at) {
        FieldWriter writer(resolved);
        writer.set(a_status, status_failed.get());
        nb::object failed_at = field(resolved, a_failed_at);
        writer.set(a_failed_at, truthy(failed_at) ? nb::handle(failed_at) : nb::handle(b_.now_obj));
        // The copy's meta is its own (a fresh copy), so the entries are written into it; a meta
        // of another kind is replaced by a new dict holding its entries.
        nb::object meta = field(resolved, a_meta);
        bool replace = !PyDict_CheckExact(meta.ptr());
        if (replace) {
            PyObject *m = PyObject_CallOneArg(reinterpret_cast<PyObject *>(&PyDict_Type), meta.ptr());
            if (m == nullptr)
                throw nb::python_error();
            meta = nb::steal(m);
        }
        dict_set(meta, d_stale_reason.get(), reason_name(reason));
        dict_set(meta, d_stale_detected_at.get(), b_.now_obj);
        if (anchor_at.is_valid() && !anchor_at.is_none())
            dict_set(meta, d_stale_anchor_at.get(), anchor_at);
        if (replace)
            writer.set(a_meta, meta);
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
                } else if (is_terminal_status(field(parent, a_status))) {
                    done = true;
                    ancestor = parent;
                } else {
                    f->pid = field(parent, a_parent_run_id);
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
                nb::object known = dict_find(b_.memo, pid);
                if (known.is_valid()) {
                    done = true;
                    ancestor = known;
                    break;
                }
                visit(*f, pid);
                nb::object p = dict_find(b_.cache, pid);
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
                if (is_terminal_status(field(p, a_status))) {
                    done = true;
                    ancestor = p;
                    break;
                }
                f->pid = field(p, a_parent_run_id);
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

}  // namespace

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
        if (!status.is_none() && !equals(field(r, a_status), status))
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

bool log_copies(nb::handle log) { return says_true(log, a_record_copies); }

nb::object find_terminal_ancestor(Batch &b, nb::handle record) {
    Resolver r(b);
    return r.find_terminal_ancestor(record);
}

// ---------------------------------------------------------------------------------------------
// The private methods, callable from Python with a batch of the caller's

namespace {

void require_dict(nb::handle v, const char *arg) {
    if (!PyDict_Check(v.ptr()))
        args::raise_incorrect_type(arg, "dict", v);
}

void require_set(nb::handle v, const char *arg) {
    if (!PySet_Check(v.ptr()))
        args::raise_incorrect_type(arg, "set", v);
}

// A batch over the caller's clock, cache and in-progress set.
void external_batch(Batch &b, nb::handle self, nb::handle now_ms, nb::handle cache,
                    nb::handle resolving) {
    nb::object now = args::to_pyint(now_ms, "now_ms");
    require_dict(cache, "cache");
    require_set(resolving, "resolving");
    init_limits(b, self);
    b.now = time_value(now, "now_ms");
    b.now_obj = now;
    b.cache = cache;
    b.resolving = resolving;
}

}  // namespace

nb::object get_raw_run_record(nb::handle self, nb::handle run_id) {
    args::require_str(run_id, "run_id");
    Batch b;
    b.desk = self;
    b.log_service = attr(self, a_log_service);
    return get_raw(b, run_id);
}

nb::object find_terminal_ancestor(nb::handle self, nb::handle record, nb::handle now_ms,
                                  nb::handle cache, nb::handle resolving) {
    Batch b;
    external_batch(b, self, now_ms, cache, resolving);
    return find_terminal_ancestor(b, record);
}

nb::object resolve_run_record(nb::handle self, nb::handle record, nb::handle now_ms,
                              nb::handle cache, nb::handle resolving) {
    Batch b;
    external_batch(b, self, now_ms, cache, resolving);
    return resolve_one(b, record);
}

nb::list resolve_run_records(nb::handle self, nb::handle records, nb::handle status,
                             nb::handle limit) {
    args::require_list(records, "records");
    std::optional<int64_t> lim = args::int_or_none(limit, "limit");
    if (lim && *lim <= 0)
        return nb::list();
    OwnedBatch ob(self);
    return resolve_records(ob.b, records, status, lim);
}

}  // namespace orvane::desk
