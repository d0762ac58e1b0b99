#include "store.hpp"

#include <algorithm>
#include <cstdlib>
#include <numeric>

#include "derive.hpp"
#include "fields.hpp"
#include "names.hpp"
#include "orvane/outside.hpp"
#include "orvane/searchtext.hpp"
#include "util.hpp"
#include "orvane/dictscan.hpp"

namespace tally {

namespace {

using namespace names;

// Stable order of `keys` (Python objects) through Python's own sort; returns positions.
std::vector<size_t> python_order(const std::vector<nb::object> &keys, bool reverse) {
    nb::list kl;
    for (auto &k : keys)
        kl.append(k);
    nb::object builtins = nb::module_::import_("builtins");
    nb::object order = builtins.attr("sorted")(builtins.attr("range")(keys.size()),
                                               nb::arg("key") = kl.attr("__getitem__"), nb::arg("reverse") = reverse);
    std::vector<size_t> out;
    for (nb::handle i : order)
        out.push_back(nb::cast<size_t>(i));
    return out;
}

// Orders `keys` stably (ascending, or descending keeping ties in order when `reverse`): natively
// when every key is an int that fits 64 bits, else through Python's sort.
std::vector<size_t> stable_order(const std::vector<nb::object> &keys, bool reverse) {
    std::vector<int64_t> native(keys.size());
    for (size_t i = 0; i < keys.size(); ++i) {
        PyObject *k = keys[i].ptr();
        int overflow = 0;
        if (!PyLong_CheckExact(k) || ((native[i] = PyLong_AsLongLongAndOverflow(k, &overflow)), overflow != 0))
            return python_order(keys, reverse);
    }
    std::vector<size_t> order(keys.size());
    std::iota(order.begin(), order.end(), size_t{0});
    if (reverse)
        std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return native[a] > native[b]; });
    else
        std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return native[a] < native[b]; });
    return order;
}

// Python slice bounds of seq[start:] / seq[:stop] for a length n.
size_t clamp_index(int64_t i, size_t n) {
    auto sn = static_cast<int64_t>(n);
    if (i < 0)
        i = i < -sn ? 0 : i + sn;
    if (i > sn)
        i = sn;
    return static_cast<size_t>(i);
}

// Adds `run_id` to the set of children of `parent` (made empty when missing); nothing for None.
void link_child(nb::dict &children, nb::handle parent, nb::handle run_id) {
    if (parent.is_none())
        return;
    PyObject *kids = PyDict_GetItemWithError(children.ptr(), parent.ptr());
    if (kids == nullptr) {
        if (PyErr_Occurred())
            throw nb::python_error();
        nb::object fresh = checked(PySet_New(nullptr));
        if (PyDict_SetItem(children.ptr(), parent.ptr(), fresh.ptr()) < 0)
            throw nb::python_error();
        kids = fresh.ptr();
    }
    if (!PySet_Check(kids))
        orvane::py::call1(kids, m_add, run_id);
    else if (PySet_Add(kids, run_id.ptr()) < 0)
        throw nb::python_error();
}

// Removes `run_id` from the children of `parent`; a set left empty goes too. Absent links are no
// error. The removed set is released through `dead`.
void unlink_child(nb::dict &children, nb::handle parent, nb::handle run_id, Graveyard &dead) {
    if (parent.is_none())
        return;
    PyObject *kids = PyDict_GetItemWithError(children.ptr(), parent.ptr());
    if (kids == nullptr) {
        PyErr_Clear();
        return;
    }
    if (!PySet_CheckExact(kids))
        return;  // replaced from outside: left as it is
    if (PySet_Discard(kids, run_id.ptr()) < 0) {
        PyErr_Clear();
        return;
    }
    if (PySet_GET_SIZE(kids) == 0) {
        dead.add(Py_NewRef(kids));
        if (PyDict_DelItem(children.ptr(), parent.ptr()) < 0)
            PyErr_Clear();
    }
}

// Writes plan values into a RunRecord instance held by Python code. A plain RunRecord with a
// plain __dict__ is written as pydantic's assignment writes it (the value, and the name into the
// set fields); the replaced values are released through `dead`. Anything else goes through
// setattr.
void write_model(PyObject *model, const RecordPlan &plan, Graveyard &dead) {
    Fields f(model);
    PyObject *fs = model_fields_set(model);
    bool plain = Py_TYPE(model) == reinterpret_cast<PyTypeObject *>(globals().run_record) && f.dict() != nullptr &&
                 fs != nullptr && PySet_CheckExact(fs);
    for (size_t i = 0; i < kFieldCount; ++i) {
        if (!((plan.assigned >> i) & 1u))
            continue;
        PyObject *name = field_name(static_cast<Field>(i));
        nb::object v = plan.value[i];
        if (plain) {
            if (v.is_valid()) {
                PyObject *old = PyDict_GetItemWithError(f.dict(), name);
                if (old != nullptr)
                    dead.add(Py_NewRef(old));
                if (PyDict_SetItem(f.dict(), name, v.ptr()) < 0)
                    throw nb::python_error();
            }
            if (PySet_Add(fs, name) < 0)
                throw nb::python_error();
        } else {
            nb::object value = v.is_valid() ? v : f.get(name);
            if (PyObject_SetAttr(model, name, value.ptr()) < 0)
                throw nb::python_error();
        }
    }
    if (plan.meta_writes.empty())
        return;
    nb::object meta = f.get(field_name(F_meta));
    for (auto &[k, v] : plan.meta_writes) {
        if (PyDict_CheckExact(meta.ptr())) {
            PyObject *old = PyDict_GetItemWithError(meta.ptr(), k.ptr());
            if (old != nullptr)
                dead.add(Py_NewRef(old));
            if (PyDict_SetItem(meta.ptr(), k.ptr(), v.ptr()) < 0)
                throw nb::python_error();
        } else if (PyObject_SetItem(meta.ptr(), k.ptr(), v.ptr()) < 0) {
            throw nb::python_error();
        }
    }
}

}  // namespace

// ---- Busy, the graveyard, the run table ----

Store::Busy::Busy(const Store &s, bool mutating) : s_(s) {
    if (mutating && s.busy_ > 0) {
        PyErr_SetString(PyExc_RuntimeError,
                        "RuntimeTallybook cannot be changed from code that runs inside one of its own calls");
        throw nb::python_error();
    }
    ++s.busy_;
}

void Graveyard::release() {
    // Each list is taken whole first: releasing runs Python code, which may end up here again.
    std::vector<std::unique_ptr<RunState>> states;
    states.swap(states_);
    std::vector<HeldRef> held;
    held.swap(held_);
    std::vector<PyObject *> objs;
    objs.swap(objs_);
    PyObject *first[kInline];
    size_t n = n_;
    std::copy(inline_, inline_ + n, first);
    n_ = 0;
    states.clear();
    held.clear();
    for (size_t i = 0; i < n; ++i)
        Py_DECREF(first[i]);
    for (PyObject *o : objs)
        Py_DECREF(o);
}

RunState *RunTable::find(PyObject *key, Py_hash_t hash) const {
    size_t mask = slots_.size() - 1;
    for (size_t i = static_cast<size_t>(hash) & mask; slots_[i] != nullptr; i = (i + 1) & mask) {
        RunState *st = slots_[i];
        if (st->hash != hash)
            continue;
        if (st->run_id == key || same_value(st->run_id, key))
            return st;
        if (PyUnicode_CheckExact(st->run_id) && PyUnicode_CheckExact(key))
            continue;  // two str of other texts
        int eq = PyObject_RichCompareBool(st->run_id, key, Py_EQ);
        if (eq < 0)
            throw nb::python_error();
        if (eq)
            return st;
    }
    return nullptr;
}

void RunTable::reserve(size_t n) {
    if (n * 2 <= slots_.size())
        return;
    size_t cap = slots_.size();
    while (n * 2 > cap)
        cap *= 2;
    std::vector<RunState *> old(cap, nullptr);
    old.swap(slots_);
    size_t mask = slots_.size() - 1;
    for (RunState *st : old)
        if (st != nullptr)
            for (size_t i = static_cast<size_t>(st->hash) & mask;; i = (i + 1) & mask)
                if (slots_[i] == nullptr) {
                    slots_[i] = st;
                    break;
                }
}

void RunTable::insert(RunState *st) {
    size_t mask = slots_.size() - 1;
    for (size_t i = static_cast<size_t>(st->hash) & mask;; i = (i + 1) & mask)
        if (slots_[i] == nullptr) {
            slots_[i] = st;
            ++size_;
            return;
        }
}

void RunTable::erase(RunState *st) {
    size_t mask = slots_.size() - 1;
    size_t i = static_cast<size_t>(st->hash) & mask;
    while (slots_[i] != st)
        i = (i + 1) & mask;
    // Backward-shift deletion: entries after the hole that may move closer to home do.
    size_t hole = i;
    for (size_t j = (i + 1) & mask; slots_[j] != nullptr; j = (j + 1) & mask) {
        size_t home = static_cast<size_t>(slots_[j]->hash) & mask;
        bool movable = hole <= j ? (home <= hole || home > j) : (home <= hole && home > j);
        if (movable) {
            slots_[hole] = slots_[j];
            hole = j;
        }
    }
    slots_[hole] = nullptr;
    --size_;
}

// ---- shared meta mappings ----

nb::object MetaPool::share(nb::object meta) {
    PyObject *d = meta.ptr();
    if (!PyDict_CheckExact(d) || PyDict_GET_SIZE(d) > 32)
        return meta;
    uint64_t h = static_cast<uint64_t>(PyDict_GET_SIZE(d)) * 0x9E3779B97F4A7C15ull;
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (orvane::dictscan::dict_next(d, &pos, &k, &v)) {
        if (!PyUnicode_CheckExact(k) || !immutable_scalar(v) || PyFloat_CheckExact(v))
            return meta;  // floats: 0.0 and -0.0 are equal but not the same value
        Py_hash_t hk = PyObject_Hash(k), hv = PyObject_Hash(v);  // str, int, bool, None: no Python code
        if (hk == -1 || hv == -1) {
            PyErr_Clear();
            return meta;
        }
        h = (h ^ static_cast<uint64_t>(hk)) * 0x100000001B3ull;
        h = (h ^ static_cast<uint64_t>(hv) ^ reinterpret_cast<uintptr_t>(Py_TYPE(v))) * 0x100000001B3ull;
    }
    PyObject *&slot = slots_[(h ^ (h >> 31)) & (kSlots - 1)];
    if (slot != nullptr && PyDict_GET_SIZE(slot) == PyDict_GET_SIZE(d)) {
        Py_ssize_t p1 = 0, p2 = 0;
        PyObject *k1, *v1, *k2, *v2;
        bool same = true;
        while (same && orvane::dictscan::dict_next(slot, &p1, &k1, &v1) && orvane::dictscan::dict_next(d, &p2, &k2, &v2))
            same = same_value(k1, k2) && Py_TYPE(v1) == Py_TYPE(v2) &&
                   (v1 == v2 || same_value(v1, v2));
        if (same)
            return nb::borrow(slot);
    }
    Py_XSETREF(slot, Py_NewRef(d));
    return meta;
}

// ---- construction, limits, runs ----

Store::Store(int64_t max_events, int64_t max_runs)
    : max_events_(max_events), max_runs_(max_runs), recent_(static_cast<size_t>(max_events)) {}

Store::~Store() { clear(); }

void Store::set_max_events(int64_t v) {
    Busy busy(*this, true);
    if (v < 0)
        throw nb::value_error("max_events must be non-negative");
    max_events_ = v;  // rings made from now on; existing rings keep their capacity
}

void Store::set_max_runs(int64_t v) {
    Graveyard dead;
    {
        Busy busy(*this, true);
        if (v < 1)
            throw nb::value_error("max_runs must be at least 1");
        max_runs_ = v;
        evict_beyond_max_runs(nullptr, dead);
    }
}

RunState *Store::state_for(nb::handle run_id) const {
    Py_hash_t h = PyObject_Hash(run_id.ptr());
    if (h == -1)
        throw nb::python_error();
    return table_.find(run_id.ptr(), h);
}

RunState *Store::make_state(PyObject *run_id, Py_hash_t hash) {
    return new RunState(run_id, hash, ++created_, static_cast<size_t>(max_events_));
}

// Links a new state into the table and the creation order (space reserved beforehand).
void Store::link_state(RunState *st) {
    table_.insert(st);
    st->prev = newest_;
    if (newest_ != nullptr)
        newest_->next = st;
    else
        oldest_ = st;
    newest_ = st;
    ++run_count_;
}

void Store::note_status(RunState *st, RunStatus status) {
    st->status = status;
    bool finished = is_terminal(status);
    if (finished == st->listed_finished)
        return;
    if (finished)
        finished_.emplace(st->created, st);
    else
        finished_.erase({st->created, st});
    st->listed_finished = finished;
}

// Drops a run: its record, its held events, its text, its link under its parent. No Python code
// runs here; what is released goes through `dead`.
void Store::drop_state(RunState *st, Graveyard &dead) {
    nb::object parent;
    if (records_in_python()) {
        PyObject *rec = PyDict_GetItemWithError(live_.ptr(), st->run_id);
        if (rec != nullptr) {
            Fields f(rec);
            PyObject *p = f.dict() ? PyDict_GetItemWithError(f.dict(), field_name(F_parent_run_id)) : nullptr;
            if (p != nullptr)
                parent = nb::borrow(p);
            dead.add(Py_NewRef(rec));
            if (PyDict_DelItem(live_.ptr(), st->run_id) < 0)
                PyErr_Clear();
        }
        PyErr_Clear();
    } else if (st->rec.present()) {
        parent = nb::borrow(st->rec.v[F_parent_run_id]);
    }
    if (parent.is_valid())
        unlink_child(children_, parent, st->run_id, dead);
    // Its own children keep their link while they live; an empty set goes.
    if (PyObject *kids = PyDict_GetItemWithError(children_.ptr(), st->run_id);
        kids != nullptr && PySet_CheckExact(kids) && PySet_GET_SIZE(kids) == 0) {
        dead.add(Py_NewRef(kids));
        if (PyDict_DelItem(children_.ptr(), st->run_id) < 0)
            PyErr_Clear();
    }
    PyErr_Clear();
    for (size_t i = 0; i < st->ring.size(); ++i)
        st->ring[i]->run = nullptr;
    table_.erase(st);
    if (st->listed_finished)
        finished_.erase({st->created, st});
    (st->prev ? st->prev->next : oldest_) = st->next;
    (st->next ? st->next->prev : newest_) = st->prev;
    --run_count_;
    dead.add(std::unique_ptr<RunState>(st));
}

// Beyond max_runs: the oldest finished runs whose events have all left the recent events go
// first, then the oldest runs. `keep` (the run being appended to) is never dropped.
void Store::evict_beyond_max_runs(RunState *keep, Graveyard &dead) {
    while (run_count_ > static_cast<uint64_t>(max_runs_)) {
        RunState *victim = nullptr;
        for (const auto &entry : finished_) {
            RunState *st = entry.second;
            if (st != keep && st->newest_seq + recent_.size() <= seq_) {
                victim = st;
                break;
            }
        }
        if (victim == nullptr)
            victim = oldest_ != keep ? oldest_ : (oldest_ ? oldest_->next : nullptr);
        if (victim == nullptr)
            return;
        drop_state(victim, dead);
        ++evicted_;
    }
}

nb::object Store::record_object(RunState *st) const {
    PyObject *rec = PyDict_GetItemWithError(live_.ptr(), st->run_id);
    if (rec == nullptr && PyErr_Occurred())
        throw nb::python_error();
    return nb::borrow(rec);
}

nb::object Store::record_value(RunState *st, Field f) const {
    if (!records_in_python())
        return nb::borrow(st->rec.v[f]);
    nb::object rec = record_object(st);
    if (!rec.is_valid())
        return nb::none();
    return Fields(rec).get(field_name(f));
}

std::array<nb::object, kSearchedRecordCount> Store::searched_values(RunState *st) const {
    std::array<nb::object, kSearchedRecordCount> out;
    if (!records_in_python()) {
        for (size_t i = 0; i < kSearchedRecordCount; ++i)
            out[i] = nb::borrow(st->rec.v[kSearchedRecordFields[i]]);
        return out;
    }
    nb::object rec = record_object(st);
    std::optional<Fields> f;
    if (rec.is_valid())
        f.emplace(rec);
    for (size_t i = 0; i < kSearchedRecordCount; ++i)
        out[i] = f ? f->get(field_name(kSearchedRecordFields[i])) : nb::none();
    return out;
}

nb::object Store::copy_of_record(RunState *st) const {
    if (!records_in_python())
        return st->rec.to_model(true);
    nb::object rec = record_object(st);
    return rec.is_valid() ? copy_model_record(rec) : nb::none();
}

// ---- reset and garbage collection ----

// Every run (record, links to its parent, ring) and every held event go to `dead`; the store is
// left empty but for the children mapping's other entries and the live mapping itself.
void Store::drop_runs_and_events(Graveyard &dead) {
    for (size_t i = 0; i < recent_.size(); ++i)
        recent_[i]->run = nullptr;
    while (oldest_ != nullptr)
        drop_state(oldest_, dead);  // leaves no error set
    Ring<HeldRef> old_recent(recent_.capacity());
    std::swap(old_recent, recent_);
    std::vector<HeldRef> held;
    old_recent.drain_into(held);
    for (HeldRef &h : held)
        dead.add(std::move(h));
    finished_.clear();
    table_.clear();
}

void Store::reset() {
    Graveyard dead;
    {
        Busy busy(*this, true);
        // Records, then held events, then links; the same mapping objects remain.
        if (records_in_python()) {
            nb::object old = checked(PyDict_Copy(live_.ptr()));
            PyDict_Clear(live_.ptr());
            dead.add(old.release().ptr());
        }
        drop_runs_and_events(dead);
        nb::object old_children = checked(PyDict_Copy(children_.ptr()));
        PyDict_Clear(children_.ptr());
        dead.add(old_children.release().ptr());
        seq_ = 0;
        evicted_ = 0;
    }
}

int Store::traverse(visitproc visit, void *arg) const {
    Py_VISIT(children_.ptr());
    Py_VISIT(live_.ptr());
    // Each held event once, though it may sit in two rings.
    uint32_t epoch = ++gc_epoch_;
    auto visit_held = [&](const HeldRef &ref) -> int {
        Held *h = ref.get();
        if (h->mark == epoch)
            return 0;
        h->mark = epoch;
        for (uint16_t i = 0; i < h->nobjs; ++i)
            Py_VISIT(h->objs()[i]);
        return 0;
    };
    for (size_t i = 0; i < recent_.size(); ++i)
        if (int r = visit_held(recent_[i]))
            return r;
    for (const RunState *st = oldest_; st != nullptr; st = st->next) {
        Py_VISIT(st->run_id);
        for (PyObject *v : st->rec.v)
            Py_VISIT(v);
        if (st->snap)
            for (PyObject *v : st->snap->v)
                Py_VISIT(v);
        for (size_t i = 0; i < st->ring.size(); ++i)
            if (int r = visit_held(st->ring[i]))
                return r;
    }
    return codec_.traverse(visit, arg);
}

void Store::clear() {
    // Runs from deallocation and from the collector, possibly while an exception is on its way:
    // it is kept aside meanwhile.
    PyObject *pending_error = PyErr_GetRaisedException();
    struct Restore {
        PyObject *e;
        ~Restore() { PyErr_SetRaisedException(e); }
    } restore{pending_error};
    Graveyard dead;
    drop_runs_and_events(dead);
    if (live_.is_valid()) {
        dead.add(live_.release().ptr());
    }
    PyDict_Clear(children_.ptr());
}

// ---- append_event ----

// Encode the held event. The store keeps its own copy of the event, in the compact encoding;
// the run context is shared with the run's previous event when it is the same.
HeldRef Store::encode_held_event(const EventParts &ev, RunState *st) {
    SharedPart *previous = st != nullptr && !st->ring.empty() ? st->ring.back()->shared : nullptr;
    HeldRef held(codec_.encode(ev.event.ptr(), ev.run.is_none() ? nullptr : ev.run.ptr(), previous));
    PyObject *ts = ev.timestamp.ptr();
    if (PyLong_CheckExact(ts)) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(ts, &overflow);
        if (overflow == 0 && !(v == -1 && PyErr_Occurred())) {
            held->set_ts(v);
        }
        PyErr_Clear();
    }
    return held;
}

// Find or create the record, and plan what the event does to it. Nothing changes yet: Python code
// may run here (a run kind's str(), deep copies, RunRecord's validation of unusual values).
RecordPlan Store::plan_record(const EventParts &ev, RunState *st) {
    RecordPlan plan;
    RecordValues cur;
    nb::object model = st != nullptr && records_in_python() ? record_object(st) : nb::object();
    bool exists = records_in_python() ? model.is_valid() : st != nullptr && st->rec.present();
    uint32_t created_set = 0;
    if (!exists) {
        cur = new_record_values(ev, created_set);
        // A new record takes every value of its creation; the event's changes come on top.
        for (size_t f = 0; f < kFieldCount; ++f)
            plan.value[f] = cur.v[f];
        plan.assigned = created_set;
    } else if (records_in_python()) {
        Fields f(model);
        for (size_t i = 0; i < kFieldCount; ++i)
            cur.v[i] = f.get(field_name(static_cast<Field>(i)));
    } else {
        for (size_t f = 0; f < kFieldCount; ++f)
            cur.v[f] = nb::borrow(st->rec.v[f]);
    }
    PlanOptions opt;
    opt.meta_in_place = exists && records_in_python();
    RecordPlan change;
    plan_event(cur, ev, opt, change);
    for (size_t f = 0; f < kFieldCount; ++f)
        if (change.value[f].is_valid())
            plan.value[f] = std::move(change.value[f]);
    plan.assigned |= change.assigned;
    plan.status = change.status;
    plan.meta_writes = std::move(change.meta_writes);
    if (change.new_meta.is_valid())
        plan.value[F_meta] = std::move(change.new_meta);
    if (!records_in_python() && plan.value[F_meta].is_valid())
        plan.value[F_meta] = metas_.share(std::move(plan.value[F_meta]));
    if (!exists) {
        // The event's meta changes went into a fresh mapping of the new record.
        plan.meta_writes.clear();
        if (records_in_python()) {
            NativeRecord fresh;
            for (size_t f = 0; f < kFieldCount; ++f)
                fresh.v[f] = Py_NewRef(plan.value[f].ptr());
            fresh.set_mask = plan.assigned;
            plan.model = fresh.to_model(false);
        }
    } else if (records_in_python()) {
        // A Python-held record: the fields the event assigns are written even when unchanged.
        for (size_t i = 0; i < kFieldCount; ++i)
            if (((change.assigned >> i) & 1u) && !plan.value[i].is_valid())
                plan.value[i] = cur.v[i];
    }
    return plan;
}

// Apply the record plan where the record lives (no Python code runs; replaced values go through
// `dead`). Returns the run's state: `made` (prepared beforehand) for a new run.
RunState *Store::commit_record(RecordPlan &plan, RunState *st, std::unique_ptr<RunState> &made, Graveyard &dead) {
    if (st == nullptr) {
        st = made.release();
        link_state(st);
    }
    if (records_in_python()) {
        nb::object model = record_object(st);
        if (!model.is_valid()) {
            if (PyDict_SetItem(live_.ptr(), st->run_id, plan.model.ptr()) < 0)
                throw nb::python_error();
            link_child(children_, plan.value[F_parent_run_id], st->run_id);
        } else {
            write_model(model.ptr(), plan, dead);
        }
    } else {
        NativeRecord &rec = st->rec;
        bool fresh = !rec.present();
        for (size_t f = 0; f < kFieldCount; ++f) {
            if (!plan.value[f].is_valid())
                continue;
            dead.add(rec.v[f]);
            rec.v[f] = plan.value[f].release().ptr();
        }
        rec.set_mask |= plan.assigned;
        if (fresh)
            link_child(children_, nb::handle(rec.v[F_parent_run_id]), st->run_id);
    }
    if (plan.status)
        note_status(st, *plan.status);
    return st;
}

// Extend the search text: write the text of the events the run owes (the newest one from the
// live record and event when given, which saves decoding it).
void Store::extend_search_text(RunState *st, const EventParts *live) { bring_text_up_to_date(st, live); }

void Store::append_event(PyObject *event) {
    Graveyard dead;
    RunState *st = nullptr;
    EventParts ev;
    bool write_now = false;
    {
        Busy busy(*this, true);
        ev = EventParts::read(nb::handle(event));
        bool has_run = !ev.run.is_none();
        st = has_run ? state_for(ev.run_id) : nullptr;  // an unhashable run id fails here
        HeldRef held = encode_held_event(ev, st);
        std::optional<RecordPlan> plan;
        std::unique_ptr<RunState> made;
        if (has_run) {
            plan = plan_record(ev, st);
            // An event whose text is not written yet must not leave the run's ring: write the
            // run's owed texts now, and from then on as events come (the run outgrew its ring).
            if (st != nullptr && st->ring.capacity() != 0 && st->ring.full() && st->pending >= st->ring.size() &&
                !st->eager) {
                if (!st->memos)
                    st->memos = std::make_unique<PieceMemos>();
                bring_text_up_to_date(st);
                st->eager = true;
            }
            if (st == nullptr) {
                table_.reserve(table_.size() + 1);
                made.reset(make_state(ev.run_id.ptr(), PyObject_Hash(ev.run_id.ptr())));  // hashed above
            }
            // The values the run's owed texts will start from (a replay needs them).
            if (st != nullptr && st->pending == 0 && !st->eager && !records_in_python() && st->rec.present() &&
                st->ring.capacity() != 0 && !st->snap) {
                auto snap = std::make_unique<Snapshot>();
                for (size_t i = 0; i < kSearchedRecordCount; ++i)
                    snap->v[i] = Py_NewRef(st->rec.v[kSearchedRecordFields[i]]);
                st->snap = std::move(snap);
            }
        }

        // From here on the store changes, and no Python code runs until it is consistent again.
        ++seq_;
        dead.add(recent_.push_back(held));
        if (has_run) {
            st = commit_record(*plan, st, made, dead);
            held->run = st;
            HeldRef out = st->ring.push_back(held);
            if (out)
                out->run = nullptr;  // its text place is not looked up any more
            dead.add(std::move(out));
            st->newest_seq = seq_;
            ++st->pending;
            write_now = st->eager || records_in_python() || st->ring.capacity() == 0;
            evict_beyond_max_runs(st, dead);
        }
    }
    if (write_now)
        extend_search_text(st, &ev);
}

// ---- _adopt_run ----

void Store::adopt_run(nb::handle record, nb::handle search_text) {
    Graveyard dead;
    Busy busy(*this, true);
    // Everything that can fail (attribute reads, the copy, the text) runs before the store
    // changes, so a failure leaves no trace.
    NativeRecord incoming;
    native_from_model(record, incoming);
    nb::object run_id = nb::borrow(incoming.v[F_run_id]);
    nb::object parent = nb::borrow(incoming.v[F_parent_run_id]);
    Py_hash_t hash = PyObject_Hash(run_id.ptr());
    if (hash == -1)
        throw nb::python_error();
    if (!parent.is_none() && PyObject_Hash(parent.ptr()) == -1)
        throw nb::python_error();
    std::optional<std::string> text;
    if (!search_text.is_none()) {
        nb::object holder;
        text.emplace(orvane::search::strip(orvane::py::utf8_of(search_text, holder)));
    }
    RunState *st = table_.find(run_id.ptr(), hash);
    nb::object model;
    if (records_in_python())
        model = incoming.to_model(false);
    nb::object old_parent;
    bool existed = false;
    if (st != nullptr) {
        // The events this store saw are written into the old text before the record changes.
        bring_text_up_to_date(st);
        existed = records_in_python() ? record_object(st).is_valid() : st->rec.present();
        if (existed)
            old_parent = record_value(st, F_parent_run_id);
    }
    bool relink = !existed || !equals(old_parent, parent);
    table_.reserve(table_.size() + 1);

    // Commit.
    if (st == nullptr) {
        st = make_state(run_id.ptr(), hash);
        link_state(st);
    }
    if (records_in_python()) {
        PyObject *old = PyDict_GetItemWithError(live_.ptr(), run_id.ptr());
        if (old != nullptr)
            dead.add(Py_NewRef(old));
        if (PyDict_SetItem(live_.ptr(), run_id.ptr(), model.ptr()) < 0)
            throw nb::python_error();
    } else {
        for (size_t f = 0; f < kFieldCount; ++f) {
            dead.add(st->rec.v[f]);
            st->rec.v[f] = incoming.v[f];
            incoming.v[f] = nullptr;
        }
        st->rec.set_mask = incoming.set_mask;
    }
    if (relink) {
        if (existed)
            unlink_child(children_, old_parent, run_id, dead);
        link_child(children_, parent, run_id);
    }
    note_status(st, status_of_value(records_in_python() ? Fields(model).get(field_name(F_status)).ptr()
                                                        : st->rec.v[F_status])
                        .value_or(RunStatus::Unknown));
    if (text) {
        // The given text replaces the run's: what was remembered about the old text goes.
        if (!st->text)
            st->text = std::make_unique<RunText>();
        st->text->assign(std::move(*text));
        if (st->memos)
            st->memos->forget();
        for (size_t i = 0; i < st->ring.size(); ++i)
            st->ring[i]->set_text_at(Held::kNotIndexed);
    } else if (!st->text) {
        st->text = std::make_unique<RunText>();
    }
    st->fields_in_text = false;  // the record's fields are searched on their own
    st->snap.reset();
    evict_beyond_max_runs(st, dead);
}

// ---- search texts ----

void Store::bring_text_up_to_date(RunState *st, const EventParts *live) {
    if (st->pending == 0 || st->indexing)
        return;  // nothing owed, or already being written further up this stack
    Busy busy(*this, false);
    st->indexing = true;
    struct Done {
        RunState *st;
        ~Done() { st->indexing = false; }
    } done{st};
    if (!st->text)
        st->text = std::make_unique<RunText>();
    PieceMemos local;
    PieceMemos &memos = st->memos ? *st->memos : local;
    std::array<PyObject *, kPieceCount> values;
    auto note_place = [&](Held *h, const OwnTextPlace &place) {
        if (h == nullptr)
            return;
        if (h->has_own_text())
            return;  // its own texts were made already, and serve
        h->set_text_at(place.known ? place.at : Held::kNotIndexed);
        if (place.known)
            std::copy(std::begin(place.len), std::end(place.len), h->own_len);
    };
    try {
        if (live != nullptr && st->pending == 1) {
            // The event just appended: the live record and the caller's event give its values.
            std::array<nb::object, kSearchedRecordCount> rec = searched_values(st);
            std::array<nb::object, kSearchedEventCount> own = live->own_search_values();
            for (size_t i = 0; i < kSearchedRecordCount; ++i)
                values[i] = rec[i].ptr();
            for (size_t k = 0; k < kSearchedEventCount; ++k)
                values[kSearchedRecordCount + k] = own[k].ptr();
            OwnTextPlace place = st->text->append_event(values.data(), memos);
            Held *h = st->ring.empty() ? nullptr : st->ring.back().get();
            note_place(h, place);
            st->pending = 0;
            st->fields_in_text = !records_in_python();
            return;
        }
        // Replay the owed events from the record values the first of them started from: the
        // same derivation as append_event, on a copy of the searched values.
        RecordValues cur;
        if (st->snap) {
            for (size_t i = 0; i < kSearchedRecordCount; ++i)
                cur.v[kSearchedRecordFields[i]] = nb::borrow(st->snap->v[i]);
        } else {
            // A run created by its first owed event: its fixed fields as created, the rest as a
            // new record has them.
            for (Field f : {F_run_id, F_root_run_id, F_parent_run_id, F_run_kind})
                cur.v[f] = record_value(st, f);
            cur.v[F_status] = nb::borrow(status_object(RunStatus::Unknown));
            cur.v[F_meta] = checked(PyDict_New());
        }
        cur.v[F_event_count] = checked(PyLong_FromLong(0));
        size_t n = st->ring.size();
        size_t owed = std::min<size_t>(st->pending, n);
        PlanOptions opt;
        opt.copy_values = false;
        Codec::FieldReuse reuse;  // fields encoded as in the previous event are not decoded again
        for (size_t i = n - owed; i < n; ++i) {
            Held *h = st->ring[i].get();
            try {
                nb::object e = codec_.decode_fields(*h, &reuse);
                EventParts parts = EventParts::read(e);
                RecordPlan p;
                plan_event(cur, parts, opt, p);
                for (size_t f = 0; f < kFieldCount; ++f)
                    if (p.value[f].is_valid())
                        cur.v[f] = std::move(p.value[f]);
                if (p.new_meta.is_valid())
                    cur.v[F_meta] = std::move(p.new_meta);
                std::array<nb::object, kSearchedEventCount> own = parts.own_search_values();
                for (size_t j = 0; j < kSearchedRecordCount; ++j)
                    values[j] = cur.get(kSearchedRecordFields[j]);
                for (size_t k = 0; k < kSearchedEventCount; ++k)
                    values[kSearchedRecordCount + k] = own[k].ptr();
                note_place(h, st->text->append_event(values.data(), memos));
            } catch (nb::python_error &) {
                // An event that cannot be read back gives no text (the error is dropped).
                memos.forget();
            }
        }
        st->pending = 0;
        st->snap.reset();
        st->fields_in_text = !records_in_python();
    } catch (nb::python_error &) {
        memos.forget();
    } catch (const std::bad_alloc &) {
        memos.forget();
        st->pending = 0;
        st->snap.reset();
        st->fields_in_text = false;
    }
}

bool Store::run_text_contains(RunState *st, const std::string &needle) {
    if (st == nullptr)
        return false;
    bring_text_up_to_date(st);
    return st->text && st->text->contains(needle);
}

// The search test on a record: the needle in one of its searched fields' texts, or in its run's
// text. With `record` null, the run's live record is meant: when its current field texts are all
// in the run's text (written by its last event), the text alone decides.
bool Store::needle_in_record(RunState *st, nb::handle record, const std::string &needle) {
    if (needle.empty())
        return true;
    if (!record.is_valid() && st != nullptr) {
        bring_text_up_to_date(st);
        if (st->fields_in_text && !records_in_python())
            return st->text && st->text->contains(needle);
    }
    std::string text;
    std::optional<Fields> f;
    nb::object model;
    if (record.is_valid()) {
        f.emplace(record);
    } else if (records_in_python()) {
        model = st ? record_object(st) : nb::object();
        if (model.is_valid())
            f.emplace(model);
    }
    for (Field fld : kSearchedRecordFields) {
        nb::object v;
        if (f)
            v = f->get(field_name(fld));
        else if (st != nullptr && st->rec.present())
            v = nb::borrow(st->rec.v[fld]);
        else
            continue;
        text.clear();
        orvane::search::append_searchable(v.ptr(), text);
        if (contains(text, needle))
            return true;
    }
    return run_text_contains(st, needle);
}

// ---- records held by Python code ----

void Store::switch_records_to_python() {
    // Owed texts are written first: replays read the natively kept records.
    for (RunState *st = oldest_; st != nullptr; st = st->next)
        bring_text_up_to_date(st);
    nb::dict live;
    for (RunState *st = oldest_; st != nullptr; st = st->next)
        if (st->rec.present())
            live[nb::handle(st->run_id)] = st->rec.to_model(true);
    live_ = live;
    for (RunState *st = oldest_; st != nullptr; st = st->next) {
        st->rec.release();
        st->snap.reset();
        st->fields_in_text = false;
    }
}

nb::object Store::runs() {
    if (!records_in_python()) {
        Busy busy(*this, true);
        switch_records_to_python();
    }
    return live_;
}

// ---- queries ----

nb::object Store::get_run(nb::handle run_id) {
    Busy busy(*this, false);
    if (records_in_python()) {
        PyObject *rec = PyDict_GetItemWithError(live_.ptr(), run_id.ptr());
        if (rec == nullptr) {
            if (PyErr_Occurred())
                throw nb::python_error();
            return nb::none();
        }
        return copy_model_record(nb::handle(rec));
    }
    RunState *st = state_for(run_id);
    return st != nullptr && st->rec.present() ? st->rec.to_model(true) : nb::none();
}

bool Store::record_matches_needle(nb::handle record, const std::string &needle) {
    Busy busy(*this, false);
    Fields f(record);
    RunState *st = state_for(f.get(field_name(F_run_id)));
    return needle_in_record(st, record, needle);
}

namespace {

// A held event's timestamp as a Python object (for comparisons that leave 64 bits).
nb::object held_timestamp(const Codec &codec, const Held &h) {
    if (h.ts_native())
        return checked(PyLong_FromLongLong(h.ts()));
    if (h.ts_at() != Held::kNoOffset)
        return codec.decode_at(h, h.ts_at());
    return Fields(codec.decode(h)).get(a_timestamp.get());
}

// `a op b` that a stored value cannot make fail: an error counts as false.
bool compare_or_false(PyObject *a, PyObject *b, int op) {
    int r = PyObject_RichCompareBool(a, b, op);
    if (r < 0) {
        PyErr_Clear();
        return false;
    }
    return r != 0;
}

}  // namespace

// Whether the run has a held event inside [since, until]; with none held, whether the first of
// its record's updated_at, started_at, completed_at that is set and not zero (else failed_at,
// whatever its value) lies inside. `value(field)` reads the record's time fields.
template <typename Value>
bool Store::window_matches(RunState *st, const Value &value, std::optional<int64_t> since,
                           std::optional<int64_t> until) const {
    if (!since && !until)
        return true;
    nb::object since_o = since ? nb::object(nb::int_(*since)) : nb::object();
    nb::object until_o = until ? nb::object(nb::int_(*until)) : nb::object();
    if (st != nullptr && !st->ring.empty()) {
        for (size_t i = 0; i < st->ring.size(); ++i) {
            const Held &h = *st->ring[i].get();
            if (h.ts_native()) {
                if ((!since || h.ts() >= *since) && (!until || h.ts() <= *until))
                    return true;
                continue;
            }
            nb::object ts = held_timestamp(codec_, h);
            if ((!since || compare_or_false(ts.ptr(), since_o.ptr(), Py_GE)) &&
                (!until || compare_or_false(ts.ptr(), until_o.ptr(), Py_LE)))
                return true;
        }
        return false;
    }
    nb::object chosen = value(F_failed_at);
    for (Field fld : {F_updated_at, F_started_at, F_completed_at}) {
        nb::object v = value(fld);
        int t = PyObject_IsTrue(v.ptr());
        if (t < 0)
            PyErr_Clear();
        if (t > 0) {
            chosen = v;
            break;
        }
    }
    if (chosen.is_none())
        return false;
    if (since && compare_or_false(chosen.ptr(), since_o.ptr(), Py_LT))
        return false;
    if (until && compare_or_false(chosen.ptr(), until_o.ptr(), Py_GT))
        return false;
    return true;
}

bool Store::record_matches_time_window(nb::handle record, std::optional<int64_t> since,
                                       std::optional<int64_t> until) {
    Busy busy(*this, false);
    if (!since && !until)
        return true;
    Fields f(record);
    RunState *st = state_for(f.get(field_name(F_run_id)));
    return window_matches(st, [&](Field fld) { return f.get(field_name(fld)); }, since, until);
}

namespace {

PyObject *regex_cache = nullptr;   // pattern -> compiled pattern, or None when malformed
PyObject *regex_module = nullptr;  // the `re` the cache was filled with

}  // namespace

bool matches_regex(nb::handle value, nb::handle pattern) {
    if (!PyUnicode_Check(value.ptr()))
        return false;
    nb::object re = orvane::outside::get(o_re);
    if (regex_cache == nullptr)
        regex_cache = checked(PyDict_New()).release().ptr();
    if (regex_module != re.ptr() || PyDict_GET_SIZE(regex_cache) >= 512) {
        PyDict_Clear(regex_cache);
        Py_XDECREF(regex_module);
        regex_module = Py_NewRef(re.ptr());
    }
    PyObject *hit = PyDict_GetItemWithError(regex_cache, pattern.ptr());
    nb::object compiled;
    if (hit != nullptr) {
        compiled = nb::borrow(hit);
    } else {
        if (PyErr_Occurred())
            throw nb::python_error();
        PyObject *c = PyObject_CallMethodOneArg(re.ptr(), m_compile.get(), pattern.ptr());
        if (c == nullptr) {
            nb::python_error err;
            nb::object error_type = orvane::py::attr(re, a_error);
            if (!err.matches(error_type))
                throw err;
            compiled = nb::none();
        } else {
            compiled = nb::steal(c);
        }
        if (PyDict_SetItem(regex_cache, pattern.ptr(), compiled.ptr()) < 0)
            throw nb::python_error();
    }
    if (compiled.is_none())
        return false;
    nb::object m = orvane::py::call1(compiled, m_search, value);
    return !m.is_none();
}

nb::list Store::list_runs(const orvane::run_filters::Values &q) {
    Busy busy(*this, false);
    // The candidates in the order runs were first seen: (state, record held by Python code).
    std::vector<std::pair<RunState *, nb::object>> runs;
    if (records_in_python()) {
        nb::object items = checked(PyDict_Items(live_.ptr()));
        for (nb::handle pair : items) {
            nb::object rec = nb::borrow(PyTuple_GET_ITEM(pair.ptr(), 1));
            nb::object rid = Fields(rec).get(field_name(F_run_id));
            runs.emplace_back(state_for(rid), rec);
        }
    } else {
        runs.reserve(run_count_);
        for (RunState *st = oldest_; st != nullptr; st = st->next)
            if (st->rec.present())
                runs.emplace_back(st, nb::object());
    }
    struct FieldFilter {
        Field field;
        nb::handle want;
    };
    const FieldFilter field_filters[] = {{F_run_id, q.run_id},     {F_root_run_id, q.root_run_id},
                                         {F_parent_run_id, q.parent_run_id}, {F_run_kind, q.run_kind},
                                         {F_status, q.status},     {F_agent_id, q.agent_id},
                                         {F_session_id, q.session_id}};
    bool use_pattern = !q.app_id_pattern.is_none() && PyUnicode_GET_LENGTH(q.app_id_pattern.ptr()) != 0;
    bool use_search = !q.search.is_none() && PyUnicode_GET_LENGTH(q.search.ptr()) != 0;
    std::string needle = use_search ? orvane::search::needle(q.search) : std::string();
    const std::optional<int64_t> since = orvane::run_filters::integer(q, orvane::run_filters::at_since);
    const std::optional<int64_t> until = orvane::run_filters::integer(q, orvane::run_filters::at_until);
    const std::optional<int64_t> limit = orvane::run_filters::integer(q, orvane::run_filters::at_limit);
    bool use_window = since.has_value() || until.has_value();

    auto keep = [&](RunState *st, const nb::object &model) -> bool {
        std::optional<Fields> f;
        if (model.is_valid())
            f.emplace(model);
        auto value = [&](Field fld) -> nb::object {
            return f ? f->get(field_name(fld)) : nb::borrow(st->rec.v[fld]);
        };
        for (const FieldFilter &ff : field_filters)
            if (!ff.want.is_none() && !equals_or_false(value(ff.field).ptr(), ff.want.ptr()))
                return false;
        nb::object meta;
        auto meta_value = [&](Name &n) {
            if (!meta.is_valid())
                meta = value(F_meta);
            return orvane::py::get_or_none(meta, n);
        };
        if (!q.app_id.is_none() && !equals_or_false(meta_value(d_app_id).ptr(), q.app_id.ptr()))
            return false;
        if (use_pattern && !matches_regex(meta_value(d_app_id), q.app_id_pattern))
            return false;
        if (!q.group_id.is_none() && !equals_or_false(meta_value(d_group_id).ptr(), q.group_id.ptr()))
            return false;
        if (!q.flow_name.is_none() && !equals_or_false(meta_value(d_flow_name).ptr(), q.flow_name.ptr()))
            return false;
        if (use_search && !needle_in_record(st, model, needle))
            return false;
        if (use_window) {
            RunState *held_by = st;
            if (model.is_valid() && st != nullptr && !same_value(st->run_id, value(F_run_id).ptr()))
                held_by = state_for(value(F_run_id));  // a record whose run id was changed
            if (!window_matches(held_by, value, since, until))
                return false;
        }
        return true;
    };
    std::vector<std::pair<RunState *, nb::object>> kept;
    for (auto &r : runs)
        if (keep(r.first, r.second))
            kept.push_back(r);

    // Most recently updated first; a missing or zero updated_at counts as 0; ties keep their order.
    std::vector<nb::object> keys;
    keys.reserve(kept.size());
    nb::object zero = nb::int_(0);
    for (auto &[st, model] : kept) {
        nb::object u = model.is_valid() ? Fields(model).get(field_name(F_updated_at)) : nb::borrow(st->rec.v[F_updated_at]);
        int t = PyObject_IsTrue(u.ptr());
        if (t < 0)
            throw nb::python_error();
        keys.push_back(t ? u : zero);
    }
    std::vector<size_t> order = stable_order(keys, true);
    size_t end = limit ? clamp_index(*limit, order.size()) : order.size();
    nb::list out;
    for (size_t i = 0; i < end; ++i) {
        auto &[st, model] = kept[order[i]];
        out.append(model.is_valid() ? copy_model_record(model) : st->rec.to_model(true));
    }
    return out;
}

nb::list Store::get_run_children(nb::handle run_id) {
    Busy busy(*this, false);
    nb::list out;
    PyObject *kids = PyDict_GetItemWithError(children_.ptr(), run_id.ptr());
    if (kids == nullptr) {
        if (PyErr_Occurred())
            throw nb::python_error();
        return out;
    }
    std::vector<nb::object> recs, keys;
    nb::object zero = nb::int_(0);
    nb::object it = checked(PyObject_GetIter(kids));
    while (PyObject *k = PyIter_Next(it.ptr())) {
        nb::object kid = nb::steal(k);
        nb::object copy;
        nb::object started, updated;
        if (records_in_python()) {
            PyObject *rec = PyDict_GetItemWithError(live_.ptr(), kid.ptr());
            if (rec == nullptr) {
                if (PyErr_Occurred())
                    throw nb::python_error();
                continue;
            }
            Fields f(rec);
            started = f.get(field_name(F_started_at));
            updated = f.get(field_name(F_updated_at));
            copy = copy_model_record(nb::handle(rec));
        } else {
            RunState *st = state_for(kid);
            if (st == nullptr || !st->rec.present())
                continue;
            started = nb::borrow(st->rec.v[F_started_at]);
            updated = nb::borrow(st->rec.v[F_updated_at]);
            copy = st->rec.to_model(true);
        }
        recs.push_back(copy);
        keys.push_back(truthy(started) ? started : truthy(updated) ? updated : zero);
    }
    if (PyErr_Occurred())
        throw nb::python_error();
    for (size_t i : stable_order(keys, false))
        out.append(recs[i]);
    return out;
}

nb::list Store::collect_descendant_run_ids(nb::handle run_id) {
    Busy busy(*this, false);
    nb::list collected;
    nb::object seen = checked(PySet_New(nullptr));
    std::vector<nb::object> pending{nb::borrow(run_id)};
    size_t head = 0;
    while (head < pending.size()) {
        nb::object current = std::move(pending[head++]);
        int dup = PySet_Contains(seen.ptr(), current.ptr());
        if (dup < 0)
            throw nb::python_error();
        if (dup)
            continue;  // a loop in the parent links: each id is walked once
        if (PySet_Add(seen.ptr(), current.ptr()) < 0)
            throw nb::python_error();
        collected.append(current);
        PyObject *kids = PyDict_GetItemWithError(children_.ptr(), current.ptr());
        if (kids == nullptr) {
            if (PyErr_Occurred())
                throw nb::python_error();
            continue;
        }
        // Children in ascending order of their string form.
        std::vector<std::pair<nb::object, nb::object>> items;  // (text, id)
        nb::object it = checked(PyObject_GetIter(kids));
        while (PyObject *k = PyIter_Next(it.ptr())) {
            nb::object kid = nb::steal(k);
            nb::object text = PyUnicode_CheckExact(kid.ptr()) ? kid : checked(PyObject_Str(kid.ptr()));
            items.emplace_back(text, kid);
        }
        if (PyErr_Occurred())
            throw nb::python_error();
        std::stable_sort(items.begin(), items.end(), [](const auto &a, const auto &b) {
            return PyUnicode_Compare(a.first.ptr(), b.first.ptr()) < 0;
        });
        for (auto &e : items)
            pending.push_back(e.second);
        if (head > 4096 && head * 2 > pending.size()) {
            pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(head));
            head = 0;
        }
    }
    return collected;
}

nb::list Store::get_run_events(nb::handle run_id, std::optional<int64_t> limit, bool include_descendants) {
    Busy busy(*this, false);
    std::vector<const Held *> events;
    auto add_run = [&](nb::handle id) {
        RunState *st = state_for(id);
        if (st == nullptr)
            return;
        for (size_t i = 0; i < st->ring.size(); ++i)
            events.push_back(st->ring[i].get());
    };
    // Held events stay alive meanwhile: no Python code below can change the store.
    if (include_descendants) {
        nb::list ids = collect_descendant_run_ids(run_id);
        for (nb::handle i : ids)
            add_run(i);
    } else {
        add_run(run_id);
    }
    bool all_native = true;
    for (const Held *h : events)
        all_native = all_native && h->ts_native();
    std::vector<size_t> order(events.size());
    if (all_native) {
        std::iota(order.begin(), order.end(), size_t{0});
        std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return events[a]->ts() < events[b]->ts(); });
    } else {
        // Timestamps are ints or floats (append_event refuses others): they always compare.
        std::vector<nb::object> keys;
        keys.reserve(events.size());
        for (const Held *h : events)
            keys.push_back(held_timestamp(codec_, *h));
        order = python_order(keys, false);
    }
    size_t start = !limit ? 0 : *limit == INT64_MIN ? order.size() : clamp_index(-*limit, order.size());
    nb::object out = checked(PyList_New(static_cast<Py_ssize_t>(order.size() - start)));
    for (size_t i = start; i < order.size(); ++i)
        PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(i - start), codec_.decode(*events[order[i]]).release().ptr());
    return nb::borrow<nb::list>(out);
}

nb::list Store::get_recent_events(std::optional<int64_t> limit) {
    Busy busy(*this, false);
    size_t n = recent_.size();
    size_t start = !limit ? 0 : *limit == INT64_MIN ? n : clamp_index(-*limit, n);
    nb::object out = checked(PyList_New(static_cast<Py_ssize_t>(n - start)));
    for (size_t i = start; i < n; ++i)
        PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(i - start), codec_.decode(*recent_[i].get()).release().ptr());
    return nb::borrow<nb::list>(out);
}

std::vector<HeldRef> Store::recent_refs() const {
    std::vector<HeldRef> out;
    out.reserve(recent_.size());
    for (size_t i = 0; i < recent_.size(); ++i)
        out.push_back(recent_[i]);
    return out;
}

nb::object Store::decode_held(const Held &h) const {
    Busy busy(*this, false);
    return codec_.decode(h);
}

namespace {

// Whether `needle` occurs in one of the pieces laid out from `at` in `text` (see Held::own_len);
// -1 when the layout does not fit the text.
int pieces_contain(std::string_view text, size_t at, const uint16_t *lens, std::string_view needle) {
    for (size_t k = 0; k < kSearchedEventCount; ++k) {
        size_t len = lens[k];
        if (len == 0)
            continue;
        if (at + len > text.size())
            return -1;
        if (contains(text.substr(at, len), needle))
            return 1;
        at += len + 1;
    }
    return 0;
}

}  // namespace

int Store::event_fields_contain(Held &h, std::string_view needle) {
    if (RunState *st = h.run) {
        if (h.text_at() == Held::kNotIndexed && !h.has_own_text())
            bring_text_up_to_date(st);  // never raises
        if (h.run != nullptr && h.text_at() != Held::kNotIndexed)
            return pieces_contain(st->text->text, h.text_at(), h.own_len, needle);
    }
    if (!h.has_own_text()) {
        // No run text to look in: the event's own texts, made once from its held values.
        try {
            Busy busy(*this, false);
            nb::object e = codec_.decode_fields(h);
            std::array<nb::object, kSearchedEventCount> own = EventParts::read(e).own_search_values();
            std::string text;
            uint16_t lens[kSearchedEventCount] = {};
            for (size_t k = 0; k < kSearchedEventCount; ++k) {
                size_t mark = text.size();
                if (!text.empty())
                    text.push_back(' ');
                size_t begin = text.size();
                orvane::search::append_searchable(own[k].ptr(), text);
                size_t len = text.size() - begin;
                if (len > UINT16_MAX)
                    return -1;
                if (len == 0)
                    text.resize(mark);
                lens[k] = static_cast<uint16_t>(len);
            }
            char *buf = static_cast<char *>(std::malloc(text.size() + 1));
            if (buf == nullptr)
                return -1;
            std::memcpy(buf, text.data(), text.size());
            buf[text.size()] = '\0';
            h.set_own_text(buf);
            std::copy(std::begin(lens), std::end(lens), h.own_len);
        } catch (nb::python_error &) {
            return -1;
        }
    }
    size_t size = 0;
    for (uint16_t len : h.own_len)
        size += len != 0 ? len + 1u : 0u;
    return pieces_contain(std::string_view(h.own_text(), size ? size - 1 : 0), 0, h.own_len, needle);
}

nb::object Store::get_event(nb::handle event_id) {
    Busy busy(*this, false);
    std::string want = PyUnicode_CheckExact(event_id.ptr()) ? utf8(event_id) : std::string();
    bool want_text = PyUnicode_CheckExact(event_id.ptr());
    for (size_t i = recent_.size(); i-- > 0;) {
        const Held &h = *recent_[i].get();
        int hit = -1;
        if (h.id_at != Held::kNoOffset && want_text)
            hit = codec_.str_equals_at(h, h.id_at, want);
        if (hit < 0) {
            nb::object id = h.id_at != Held::kNoOffset ? codec_.decode_at(h, h.id_at)
                                                       : Fields(codec_.decode(h)).get(a_event_id.get());
            hit = equals_or_false(id.ptr(), event_id.ptr()) ? 1 : 0;
        }
        if (hit == 1)
            return codec_.decode(h);
    }
    return nb::none();
}

nb::object Store::deque_of(const Ring<HeldRef> &ring) const {
    nb::list items;
    for (size_t i = 0; i < ring.size(); ++i)
        items.append(codec_.decode(*ring[i].get()));
    nb::object maxlen = checked(PyLong_FromSize_t(ring.capacity()));
    return orvane::py::call_kw(orvane::outside::get(o_deque), {items}, {{&k_maxlen, maxlen}});
}

nb::dict Store::events_by_run_view() const {
    Busy busy(*this, false);
    nb::dict out;
    for (const RunState *st = oldest_; st != nullptr; st = st->next)
        out[nb::handle(st->run_id)] = deque_of(st->ring);
    return out;
}

nb::object Store::recent_events_view() const {
    Busy busy(*this, false);
    return deque_of(recent_);
}

nb::dict Store::search_cache_view() {
    Busy busy(*this, false);
    nb::dict out;
    for (RunState *st = oldest_; st != nullptr; st = st->next) {
        bring_text_up_to_date(st);
        out[nb::handle(st->run_id)] = orvane::py::text_from_utf8(st->text ? std::string_view(st->text->text) : std::string_view());
    }
    return out;
}

}  // namespace tally
