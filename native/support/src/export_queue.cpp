// The shared export queue: state and wake-event types, registry, properties, the intake, and
// the default hooks that work on the native state. See export_queue.hpp for the contract.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <new>
#include <string>

#include <nanobind/stl/string.h>

#include "export_internal.hpp"
#include "orvane/args.hpp"

namespace orvane::exporting {

using namespace detail;
using orvane::py::attr;
using orvane::py::truthy;

namespace detail {

std::atomic<unsigned> g_fork_generation{0};
thread_local WorkerSlot *t_worker = nullptr;
PyObject *g_time_module = nullptr;

namespace {
Gate *g_gate = new Gate();  // leaked on purpose: parked workers wait on it until the process ends
}  // namespace

Gate &gate() { return *g_gate; }

void renew_gate() { g_gate = new Gate(); }

void park(std::unique_lock<std::mutex> &lock) {
    if (t_worker != nullptr)
        t_worker->phase.store(WorkerPhase::Parked, std::memory_order_release);
    Gate &g = gate();
    g.cv.notify_all();
    for (;;)
        g.cv.wait(lock);
}

void park_now() {
    PyEval_SaveThread();  // the thread state is never restored
    std::unique_lock<std::mutex> lock(gate().m);
    park(lock);
}

int64_t add_sat(int64_t a, int64_t b) {
    int64_t r;
    if (__builtin_add_overflow(a, b, &r))
        return b > 0 ? INT64_MAX : INT64_MIN;
    return r;
}

nb::object caught_exception() {
    orvane::coro::set_python_error_from_current();
    return nb::steal(PyErr_GetRaisedException());
}

void reraise(nb::object exc) {
    PyErr_SetRaisedException(exc.release().ptr());
    throw nb::python_error();
}

}  // namespace detail

nb::object import_httpx() {
    nb::object module = orvane::outside::get("LazyImport").attr("import_package")("httpx");
    nb::object httpx = orvane::outside::get("httpx");
    return httpx.is_none() ? module : httpx;
}

namespace {

Name a_export_state{"_export_state"};
Name a_acquire{"acquire"};
Name a_release{"release"};
Name m_set{"set"};
Name m_clear{"clear"};
Name m_wait{"wait"};
Name m_is_set{"is_set"};
Name m_is_alive{"is_alive"};
Name m_start{"start"};
Name o_threading{"threading"};
Name o_warnings{"warnings"};

PyTypeObject *g_state_type = nullptr;
PyTypeObject *g_wake_type = nullptr;
PyObject *g_registry = nullptr;  // the module's WeakSet of live exporters (borrowed from the module)

// --- _ExportState ----------------------------------------------------------------------------

struct StateObject {
    PyObject_HEAD
    ExportState st;
};

int state_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    ExportState &st = reinterpret_cast<StateObject *>(self)->st;
    for (const nb::object *o : {&st.last_upload_at, &st.last_failure_at, &st.last_failure, &st.pending_lock.lock,
                                &st.flush_lock, &st.stats_lock.lock, &st.pending_lock.acquire,
                                &st.pending_lock.release, &st.stats_lock.acquire, &st.stats_lock.release,
                                &st.worker_event, &st.worker_thread, &st.run_loop, &st.run_task})
        Py_VISIT(o->ptr());
    int rc = 0;
    st.queue.for_each([&](const QueueEntry &e) {
        rc = visit(static_cast<PyObject *>(e.item), arg);
        return rc == 0;
    });
    return rc;
}

// Breaks cycles: the worker thread (whose target is a method of the exporter), the run in
// progress and the queued items. Locks and the wake event refer to nothing and stay usable.
int state_clear(PyObject *self) {
    ExportState &st = reinterpret_cast<StateObject *>(self)->st;
    nb::object thread = std::move(st.worker_thread), loop = std::move(st.run_loop), task = std::move(st.run_task);
    st.worker_thread = nb::none();
    st.clear_queue();
    return 0;
}

void state_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    reinterpret_cast<StateObject *>(self)->st.~ExportState();
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot state_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(state_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(state_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(state_clear)},
    {Py_tp_doc, const_cast<char *>("Native state of an exporter: queue, counters, locks, worker.")},
    {0, nullptr},
};

PyType_Spec state_spec = {
    "_ExportState",
    static_cast<int>(sizeof(StateObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    state_slots,
};

// --- _WakeEvent ------------------------------------------------------------------------------

struct WakeObject {
    PyObject_HEAD
    WakeState w;
};

// The native parts, renewed in a forked child (the parent's may be locked by a thread that does
// not exist there; they are left alone, not destroyed).
WakeState &fresh(WakeObject *obj) {
    unsigned gen = g_fork_generation.load();
    if (obj->w.generation != gen) {
        obj->w.m = new std::mutex();
        obj->w.cv = new std::condition_variable();
        obj->w.generation = gen;
    }
    return obj->w;
}

PyObject *wake_new(PyTypeObject *type, PyObject *, PyObject *) {
    PyObject *self = type->tp_alloc(type, 0);
    if (self == nullptr)
        return nullptr;
    WakeState &w = reinterpret_cast<WakeObject *>(self)->w;
    w.m = new (std::nothrow) std::mutex();
    w.cv = new (std::nothrow) std::condition_variable();
    w.flag = false;
    w.generation = g_fork_generation.load();
    if (w.m == nullptr || w.cv == nullptr) {
        Py_DECREF(self);
        return PyErr_NoMemory();
    }
    return self;
}

void wake_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    WakeState &w = reinterpret_cast<WakeObject *>(self)->w;
    if (w.generation == g_fork_generation.load()) {
        delete w.cv;
        delete w.m;
    }
    type->tp_free(self);
    Py_DECREF(type);
}

void wake_set(WakeObject *obj) {
    WakeState &w = fresh(obj);
    {
        std::lock_guard<std::mutex> lock(*w.m);
        w.flag = true;
    }
    w.cv->notify_all();
}

PyObject *wake_py_set(PyObject *self, PyObject *) {
    wake_set(reinterpret_cast<WakeObject *>(self));
    Py_RETURN_NONE;
}

PyObject *wake_py_clear(PyObject *self, PyObject *) {
    WakeState &w = fresh(reinterpret_cast<WakeObject *>(self));
    std::lock_guard<std::mutex> lock(*w.m);
    w.flag = false;
    Py_RETURN_NONE;
}

PyObject *wake_py_is_set(PyObject *self, PyObject *) {
    WakeState &w = fresh(reinterpret_cast<WakeObject *>(self));
    std::lock_guard<std::mutex> lock(*w.m);
    return PyBool_FromLong(w.flag);
}

// wait(timeout=None) -> bool, as threading.Event.wait; the GIL is released while waiting.
PyObject *wake_py_wait(PyObject *self, PyObject *args, PyObject *kwargs) {
    static const char *kwlist[] = {"timeout", nullptr};
    PyObject *timeout_obj = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:wait", const_cast<char **>(kwlist), &timeout_obj))
        return nullptr;
    double timeout = -1;
    if (timeout_obj != Py_None) {
        timeout = PyFloat_AsDouble(timeout_obj);
        if (timeout == -1.0 && PyErr_Occurred())
            return nullptr;
        if (std::isnan(timeout))
            timeout = 0;
        timeout = std::max(0.0, timeout);
    }
    WakeState &w = fresh(reinterpret_cast<WakeObject *>(self));
    Py_INCREF(self);  // the native parts must outlive the wait
    bool flag;
    PyThreadState *ts = PyEval_SaveThread();
    {
        // The mutex is let go before the GIL is taken back: a thread that holds the GIL may be
        // waiting for the mutex (set(), clear(), is_set()).
        std::unique_lock<std::mutex> lock(*w.m);
        if (timeout < 0)
            w.cv->wait(lock, [&] { return w.flag; });
        else
            w.cv->wait_for(lock, std::chrono::duration<double>(std::min(timeout, 1e9)), [&] { return w.flag; });
        flag = w.flag;
    }
    orvane::py::restore_thread(ts);
    Py_DECREF(self);
    return PyBool_FromLong(flag);
}

PyObject *wake_repr(PyObject *self) {
    WakeState &w = fresh(reinterpret_cast<WakeObject *>(self));
    bool flag;
    {
        std::lock_guard<std::mutex> lock(*w.m);
        flag = w.flag;
    }
    return PyUnicode_FromFormat("<_WakeEvent: %s>", flag ? "set" : "unset");
}

PyMethodDef wake_methods[] = {
    {"set", wake_py_set, METH_NOARGS, "Set the flag and wake every waiter."},
    {"clear", wake_py_clear, METH_NOARGS, "Clear the flag."},
    {"is_set", wake_py_is_set, METH_NOARGS, "True when the flag is set."},
    {"wait", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(wake_py_wait)), METH_VARARGS | METH_KEYWORDS,
     "wait(timeout=None) -> bool: block until the flag is set or the timeout passes."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot wake_slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(wake_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(wake_dealloc)},
    {Py_tp_methods, wake_methods},
    {Py_tp_repr, reinterpret_cast<void *>(wake_repr)},
    {Py_tp_doc, const_cast<char *>("A settable flag with a timed wait (as threading.Event) that wakes an "
                                   "exporter's worker; waited on natively.")},
    {0, nullptr},
};

PyType_Spec wake_spec = {
    "_WakeEvent",
    static_cast<int>(sizeof(WakeObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    wake_slots,
};

}  // namespace

WakeState *detail::wake_state(nb::handle event) {
    if (g_wake_type == nullptr || Py_TYPE(event.ptr()) != g_wake_type)
        return nullptr;
    return &fresh(reinterpret_cast<WakeObject *>(event.ptr()));
}

nb::object new_wake_event() {
    PyObject *obj = wake_new(g_wake_type, nullptr, nullptr);
    if (obj == nullptr)
        throw nb::python_error();
    return nb::steal(obj);
}

bool is_wake_event(nb::handle obj) { return g_wake_type != nullptr && Py_TYPE(obj.ptr()) == g_wake_type; }

// --- worker waits ------------------------------------------------------------------------------

namespace detail {

namespace {

// Runs `wait` (which blocks natively and returns early once shutdown is signalled) with the GIL
// released; the calling worker parks instead of taking the GIL again when the module shuts down.
template <class F> void wait_released(F &&wait) {
    WorkerSlot *slot = t_worker;
    PyThreadState *ts = PyEval_SaveThread();
    {
        std::unique_lock<std::mutex> lock(gate().m);
        if (slot != nullptr && shutting_down())
            park(lock);
        if (slot != nullptr)
            slot->phase.store(WorkerPhase::Waiting, std::memory_order_release);
        gate().cv.notify_all();
    }
    wait();
    {
        std::unique_lock<std::mutex> lock(gate().m);
        if (slot != nullptr && shutting_down())
            park(lock);
        if (slot != nullptr)
            slot->phase.store(WorkerPhase::Running, std::memory_order_release);
    }
    orvane::py::restore_thread(ts);
}

}  // namespace

void worker_wait(ExportState &st, double timeout) {
    nb::object event = st.worker_event;
    WakeState *w = wake_state(event);
    if (w == nullptr) {
        if (timeout < 0)
            orvane::py::call0(event, m_wait);
        else
            orvane::py::call1(event, m_wait, nb::float_(std::min(timeout, 3600.0)));
        return;
    }
    wait_released([&] {
        std::unique_lock<std::mutex> lock(*w->m);
        auto woken = [&] { return w->flag || shutting_down(); };
        if (timeout < 0)
            w->cv->wait(lock, woken);
        else
            w->cv->wait_for(lock, std::chrono::duration<double>(std::min(timeout, 3600.0)), woken);
    });
}

void worker_clear(ExportState &st) {
    nb::object event = st.worker_event;
    if (WakeState *w = wake_state(event)) {
        std::lock_guard<std::mutex> lock(*w->m);
        w->flag = false;
        return;
    }
    orvane::py::call0(event, m_clear);
}

void worker_sleep(double seconds) {
    nb::object time = orvane::outside::get("time");
    if (time.ptr() != g_time_module) {
        time.attr("sleep")(seconds);
        return;
    }
    if (!(seconds > 0))
        return;
    wait_released([&] {
        std::unique_lock<std::mutex> lock(gate().m);
        gate().cv.wait_for(lock, std::chrono::duration<double>(std::min(seconds, 3600.0)),
                           [] { return shutting_down(); });
    });
}

}  // namespace detail

// --- LockGuard, ExportState ------------------------------------------------------------------

namespace {

// The layout of _thread.lock in CPython 3.13 (Modules/_threadmodule.c): what its acquire() and
// release() methods work on. Only used once lock_layout_known() has checked it on a probe lock.
struct ThreadLockLayout {
    PyObject_HEAD
    PyThread_type_lock lock_lock;
    PyObject *in_weakreflist;
    char locked;
};

PyTypeObject *g_thread_lock_type = nullptr;

// True when `lock` is a _thread.lock with the layout above: the type's size matches, and on a
// probe lock acquire() sets the flag and takes the native lock, release() undoes both.
bool lock_layout_known(nb::handle lock) {
    static int known = -1;
    if (known < 0) {
        known = 0;
        nb::object probe = nb::module_::import_("_thread").attr("allocate_lock")();
        PyTypeObject *type = Py_TYPE(probe.ptr());
        auto *raw = reinterpret_cast<ThreadLockLayout *>(probe.ptr());
        if (type->tp_basicsize == static_cast<Py_ssize_t>(sizeof(ThreadLockLayout)) && raw->lock_lock != nullptr &&
            raw->locked == 0) {
            probe.attr("acquire")();
            bool set = raw->locked == 1;
            bool excluded = PyThread_acquire_lock(raw->lock_lock, NOWAIT_LOCK) == 0;
            if (!excluded)
                PyThread_release_lock(raw->lock_lock);
            probe.attr("release")();
            bool cleared = raw->locked == 0;
            bool free_again = PyThread_acquire_lock(raw->lock_lock, NOWAIT_LOCK) != 0;
            if (free_again)
                PyThread_release_lock(raw->lock_lock);
            if (set && excluded && cleared && free_again) {
                g_thread_lock_type = type;
                known = 1;
            }
        }
    }
    return known == 1 && Py_TYPE(lock.ptr()) == g_thread_lock_type;
}

LockGuard pending_guard(ExportState &st) { return LockGuard(st.pending_lock); }
LockGuard stats_guard(ExportState &st) { return LockGuard(st.stats_lock); }

}  // namespace

void PyLock::set(nb::object lock_object) {
    acquire = attr(lock_object, a_acquire);
    release = attr(lock_object, a_release);
    raw = lock_layout_known(lock_object) ? lock_object.ptr() : nullptr;
    lock = std::move(lock_object);
}

LockGuard::LockGuard(const PyLock &lock) : keep_(lock.lock) {
    if (lock.raw != nullptr) {
        auto *raw = static_cast<ThreadLockLayout *>(lock.raw);
        if (PyThread_acquire_lock(raw->lock_lock, NOWAIT_LOCK)) {
            raw->locked = 1;
            raw_ = raw;
            return;
        }
    }
    PyObject *r = PyObject_CallNoArgs(lock.acquire.ptr());
    if (r == nullptr)
        throw nb::python_error();
    Py_DECREF(r);
    raw_ = lock.raw;
    release_ = lock.release;
}

LockGuard::LockGuard(const nb::object &acquire, const nb::object &release) {
    PyObject *r = PyObject_CallNoArgs(acquire.ptr());
    if (r == nullptr)
        throw nb::python_error();
    Py_DECREF(r);
    release_ = release;
}

LockGuard::~LockGuard() {
    if (raw_ != nullptr) {
        auto *raw = static_cast<ThreadLockLayout *>(raw_);
        raw->locked = 0;
        PyThread_release_lock(raw->lock_lock);
        return;
    }
    PyObject *saved = PyErr_GetRaisedException();
    PyObject *r = PyObject_CallNoArgs(release_.ptr());
    if (r == nullptr)
        PyErr_WriteUnraisable(release_.ptr());
    else
        Py_DECREF(r);
    PyErr_SetRaisedException(saved);
}

ExportState::ExportState()
    : last_upload_at(nb::none()), last_failure_at(nb::none()), last_failure(nb::none()),
      worker_thread(nb::none()) {}

ExportState::~ExportState() { clear_queue(); }

void ExportState::clear_queue() {
    for (QueueEntry &e : queue.take_all())
        Py_XDECREF(static_cast<PyObject *>(e.item));
}

void ExportState::set_pending_lock(nb::object lock) { pending_lock.set(std::move(lock)); }

void ExportState::set_stats_lock(nb::object lock) { stats_lock.set(std::move(lock)); }

void ExportState::new_locks() {
    nb::object lock_type = orvane::outside::get(o_threading).attr("Lock");
    set_pending_lock(lock_type());
    flush_lock = lock_type();
    set_stats_lock(lock_type());
}

void ExportState::reset_after_fork() {
    new_locks();
    worker_event = new_wake_event();
    worker_thread = nb::none();
    worker_starting = worker_alive = worker_backing_off = false;
    run_loop = nb::object();
    run_task = nb::object();
    clear_queue();
    counters = Counters();
    last_upload_at = last_failure_at = last_failure = nb::none();
    backoff.next_retry_at = 0.0;
    backoff.failures = 0;
    backoff.warned = false;
    warned_unencodable = warned_refused = false;
}

// --- module setup ------------------------------------------------------------------------------

void flush_at_exit();          // export_run.cpp
void after_fork_in_child();    // export_run.cpp

void init(nb::module_ &m, const char *registry_name) {
    if (g_state_type == nullptr) {
        // Qualified names ("<module>._ExportState"), kept for the life of the process.
        std::string module_name = nb::cast<std::string>(m.attr("__name__"));
        state_spec.name = (new std::string(module_name + "._ExportState"))->c_str();
        wake_spec.name = (new std::string(module_name + "._WakeEvent"))->c_str();
        PyObject *t = PyType_FromModuleAndSpec(m.ptr(), &state_spec, nullptr);
        if (t == nullptr)
            throw nb::python_error();
        g_state_type = reinterpret_cast<PyTypeObject *>(t);
        t = PyType_FromModuleAndSpec(m.ptr(), &wake_spec, nullptr);
        if (t == nullptr)
            throw nb::python_error();
        g_wake_type = reinterpret_cast<PyTypeObject *>(t);
        g_time_module = nb::module_::import_("time").release().ptr();
    }
    m.attr("_ExportState") = nb::handle(reinterpret_cast<PyObject *>(g_state_type));
    m.attr("_WakeEvent") = nb::handle(reinterpret_cast<PyObject *>(g_wake_type));
    nb::object registry = nb::module_::import_("weakref").attr("WeakSet")();
    m.attr(registry_name) = registry;
    g_registry = registry.ptr();  // the module keeps it (and the module lives for the process)
    m.def("_flush_at_exit", &flush_at_exit,
          "Exit hook: stop the workers, one bounded flush of every live exporter.");
    m.def("_after_fork_in_child", &after_fork_in_child,
          "Fork hook: in the child every exporter starts with an empty queue and fresh counters.");
    nb::module_::import_("atexit").attr("register")(m.attr("_flush_at_exit"));
    nb::module_::import_("os").attr("register_at_fork")(nb::arg("after_in_child") = m.attr("_after_fork_in_child"));
}

nb::object detail::registry_list() {
    PyObject *list = PySequence_List(g_registry);
    if (list == nullptr)
        throw nb::python_error();
    return nb::steal(list);
}

nb::object new_state(const Exporter &hooks) {
    PyObject *obj = g_state_type->tp_alloc(g_state_type, 0);
    if (obj == nullptr)
        throw nb::python_error();
    StateObject *so = reinterpret_cast<StateObject *>(obj);
    new (&so->st) ExportState();
    nb::object holder = nb::steal(obj);
    so->st.hooks = &hooks;
    so->st.new_locks();
    so->st.worker_event = new_wake_event();
    return holder;
}

ExportState &state(nb::handle holder) {
    if (g_state_type == nullptr || Py_TYPE(holder.ptr()) != g_state_type) {
        PyErr_SetString(PyExc_TypeError, "exporter state is missing or was replaced");
        throw nb::python_error();
    }
    return reinterpret_cast<StateObject *>(holder.ptr())->st;
}

ExportState *state_if(nb::handle holder) {
    if (g_state_type == nullptr || Py_TYPE(holder.ptr()) != g_state_type)
        return nullptr;
    return &reinterpret_cast<StateObject *>(holder.ptr())->st;
}

StateRef state_of(nb::handle self) {
    nb::object holder = attr(self, a_export_state);
    ExportState &st = state(holder);
    return StateRef{std::move(holder), &st};
}

void register_exporter(nb::handle self) { nb::handle(g_registry).attr("add")(self); }

// --- properties --------------------------------------------------------------------------------

namespace {

nb::object property(nb::object fget, nb::object fset, const char *doc) {
    return nb::module_::import_("builtins").attr("property")(fget, fset, nb::none(), doc);
}

int64_t saturating_int64(nb::handle value, const char *arg) {
    nb::object i = orvane::args::to_pyint(value, arg);
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(i.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred())
        throw nb::python_error();
    return overflow > 0 ? INT64_MAX : overflow < 0 ? INT64_MIN : v;
}

double float_value(nb::handle value, const char *arg) {
    if (PyFloat_Check(value.ptr()))
        return PyFloat_AS_DOUBLE(value.ptr());
    if (PyLong_Check(value.ptr()) || (Py_TYPE(value.ptr())->tp_as_number && Py_TYPE(value.ptr())->tp_as_number->nb_float)) {
        double d = PyFloat_AsDouble(value.ptr());
        if (d == -1.0 && PyErr_Occurred())
            throw nb::python_error();
        return d;
    }
    orvane::args::raise_incorrect_type(arg, "float", value);
}

template <class T, class Get, class Set> nb::object native_property(Get get, Set set, const char *doc) {
    return property(nb::cpp_function([get](nb::handle self) -> T { return get(*state_of(self)); }),
                    nb::cpp_function([set](nb::handle self, nb::handle value) { set(*state_of(self), value); },
                                     nb::arg("self"), nb::arg("value").none()),
                    doc);
}

nb::object counter(int64_t Counters::*member, const char *doc) {
    return native_property<int64_t>([member](ExportState &st) { return st.counters.*member; },
                                    [member](ExportState &st, nb::handle v) { st.counters.*member = saturating_int64(v, "value"); },
                                    doc);
}

nb::object object_field(nb::object ExportState::*member, const char *doc) {
    return native_property<nb::object>([member](ExportState &st) { return st.*member; },
                                       [member](ExportState &st, nb::handle v) { st.*member = nb::borrow(v); }, doc);
}

}  // namespace

void add_state_properties(nb::dict ns) {
    ns["_pending_lock"] = native_property<nb::object>(
        [](ExportState &st) { return st.pending_lock.lock; },
        [](ExportState &st, nb::handle v) { st.set_pending_lock(nb::borrow(v)); },
        "threading.Lock guarding the pending queue.");
    ns["_stats_lock"] = native_property<nb::object>(
        [](ExportState &st) { return st.stats_lock.lock; },
        [](ExportState &st, nb::handle v) { st.set_stats_lock(nb::borrow(v)); },
        "threading.Lock guarding the counters.");
    ns["_flush_lock"] = object_field(&ExportState::flush_lock, "threading.Lock serialising flush runs.");
    ns["_worker_event"] = object_field(&ExportState::worker_event,
                                       "Flag that wakes the worker (set/clear/is_set/wait as threading.Event).");
    ns["_worker_thread"] = native_property<nb::object>(
        [](ExportState &st) { return st.worker_thread; },
        [](ExportState &st, nb::handle v) {
            st.worker_thread = nb::borrow(v);
            st.worker_alive = false;
        },
        "The background worker thread, once started.");
    ns["_last_upload_at"] = object_field(&ExportState::last_upload_at, "Wall-clock seconds of the last upload.");
    ns["_last_failure_at"] = object_field(&ExportState::last_failure_at, "Wall-clock seconds of the last failure.");
    ns["_last_failure"] = object_field(&ExportState::last_failure, "Text of the last failure, or None.");
    ns["_enqueued_event_count"] = counter(&Counters::enqueued, "Events accepted into the queue.");
    ns["_dropped_event_count"] = counter(&Counters::dropped, "Events dropped on overflow.");
    ns["_dropped_high_frequency_event_count"] = counter(&Counters::dropped_high_frequency, "Dropped preferred-drop events.");
    ns["_dropped_terminal_event_count"] = counter(&Counters::dropped_terminal, "Dropped terminal or result events.");
    ns["_coalesced_event_count"] = counter(&Counters::coalesced_events, "Accepted coalesced events.");
    ns["_coalesced_item_count"] = counter(&Counters::coalesced_items, "Items the coalesced events stand for.");
    ns["_upload_batch_count"] = counter(&Counters::batches, "Successful upload requests.");
    ns["_uploaded_event_count"] = counter(&Counters::delivered, "Events in successful requests.");
    ns["_upload_failure_count"] = counter(&Counters::failures, "Failed flush attempts.");
    ns["_exit_unsent_event_count"] = counter(&Counters::exit_unsent, "Events still queued after the exit flush.");
    ns["_unencodable_event_count"] = counter(&Counters::unencodable, "Events set aside: they could not be encoded.");
    ns["_refused_event_count"] = counter(&Counters::refused, "Events set aside: the receiver refused them one by one.");
    ns["_retry_delay_seconds"] = native_property<double>(
        [](ExportState &st) { return st.backoff.base; },
        [](ExportState &st, nb::handle v) { st.backoff.base = float_value(v, "value"); },
        "Base of the exponential back-off, seconds.");
    ns["_max_retry_delay_seconds"] = native_property<double>(
        [](ExportState &st) { return st.backoff.cap; },
        [](ExportState &st, nb::handle v) { st.backoff.cap = float_value(v, "value"); },
        "Cap of the back-off (and of a Retry-After wait), seconds.");
    ns["_next_retry_at"] = native_property<double>(
        [](ExportState &st) { return st.backoff.next_retry_at; },
        [](ExportState &st, nb::handle v) { st.backoff.next_retry_at = float_value(v, "value"); },
        "Monotonic-clock time before which no unforced upload is attempted.");
    ns["_failure_count"] = native_property<int64_t>(
        [](ExportState &st) { return st.backoff.failures; },
        [](ExportState &st, nb::handle v) { st.backoff.failures = saturating_int64(v, "value"); },
        "Consecutive failures since the last success.");
    ns["_has_warned_unavailable"] = native_property<bool>(
        [](ExportState &st) { return st.backoff.warned; },
        [](ExportState &st, nb::handle v) { st.backoff.warned = truthy(v); },
        "Whether the unavailability warning of this outage was issued.");
    ns["timeout"] = native_property<double>(
        [](ExportState &st) { return st.timeout; },
        [](ExportState &st, nb::handle v) { st.timeout = float_value(v, "value"); },
        "Seconds per request; also bounds the exit flush.");
    ns["_buffer_limit"] = native_property<int64_t>(
        [](ExportState &st) { return st.buffer_limit; },
        [](ExportState &st, nb::handle v) { st.buffer_limit = saturating_int64(v, "value"); },
        "Capacity of the pending queue.");
    ns["_batch_size"] = native_property<int64_t>(
        [](ExportState &st) { return st.batch_size; },
        [](ExportState &st, nb::handle v) { st.batch_size = saturating_int64(v, "value"); },
        "Events per request.");
    ns["_background_flush_interval"] = native_property<double>(
        [](ExportState &st) { return st.interval; },
        [](ExportState &st, nb::handle v) { st.interval = float_value(v, "value"); },
        "Batching delay of the worker, seconds (0: none).");
}

// --- intake ------------------------------------------------------------------------------------

void drop_one_locked(ExportState &st) {
    std::optional<QueueEntry> victim = st.queue.drop_one();
    if (!victim)
        return;
    nb::object item = nb::steal(static_cast<PyObject *>(victim->item));
    LockGuard stats = stats_guard(st);
    st.counters.dropped = add_sat(st.counters.dropped, 1);
    if (victim->preferred)
        st.counters.dropped_high_frequency = add_sat(st.counters.dropped_high_frequency, 1);
    else if (victim->terminal)
        st.counters.dropped_terminal = add_sat(st.counters.dropped_terminal, 1);
}

namespace {

// Appends a capture; the caller holds the pending lock.
void add_locked(ExportState &st, Captured &c) {
    if (static_cast<int64_t>(st.queue.size()) >= std::max<int64_t>(1, st.buffer_limit))
        drop_one_locked(st);
    st.queue.push_back(c.item.release().ptr(), c.flags.preferred, c.flags.terminal, c.compact);
    LockGuard stats = stats_guard(st);
    st.counters.enqueued = add_sat(st.counters.enqueued, 1);
    if (c.coalesced) {
        st.counters.coalesced_events = add_sat(st.counters.coalesced_events, 1);
        st.counters.coalesced_items = add_sat(st.counters.coalesced_items, c.coalesced_items);
    }
}

}  // namespace

void enqueue_one(nb::handle self, ExportState &st, nb::handle event) {
    Captured c = st.hooks->capture(self, st, event);
    LockGuard pending = pending_guard(st);
    add_locked(st, c);
}

void enqueue_many(nb::handle self, ExportState &st, nb::handle events, const char *arg) {
    nb::object seq;
    if (PyList_Check(events.ptr()) || PyTuple_Check(events.ptr())) {
        seq = nb::borrow(events);
    } else {
        if (PyUnicode_Check(events.ptr()) || PyBytes_Check(events.ptr()) || !PySequence_Check(events.ptr()) ||
            orvane::py::is_mapping(events))
            orvane::args::raise_incorrect_type(arg, "list", events);
        PyObject *list = PySequence_List(events.ptr());
        if (list == nullptr)
            throw nb::python_error();
        seq = nb::steal(list);
    }
    Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.ptr());
    if (n == 0)
        return;
    PyObject **items = PySequence_Fast_ITEMS(seq.ptr());
    if (n == 1) {
        enqueue_one(self, st, items[0]);
        return;
    }
    std::vector<Captured> captured;
    captured.reserve(static_cast<size_t>(n));
    std::optional<nb::python_error> failure;
    for (Py_ssize_t i = 0; i < n; ++i) {
        try {
            captured.push_back(st.hooks->capture(self, st, items[i]));
        } catch (nb::python_error &e) {
            failure.emplace(std::move(e));
            break;
        }
    }
    {
        LockGuard pending = pending_guard(st);
        for (Captured &c : captured)
            add_locked(st, c);
    }
    if (failure)
        throw std::move(*failure);
}

void push_item(ExportState &st, nb::handle item, bool front) {
    ItemFlags f = st.hooks->flags_of(item);
    if (front)
        st.queue.push_front(nb::borrow(item).release().ptr(), f.preferred, f.terminal);
    else
        st.queue.push_back(nb::borrow(item).release().ptr(), f.preferred, f.terminal);
}

bool has_pending(ExportState &st) {
    LockGuard pending = pending_guard(st);
    return !st.queue.empty();
}

nb::list peek_raw(ExportState &st, std::vector<char> &compact) {
    nb::list out;
    compact.clear();
    LockGuard pending = pending_guard(st);
    int64_t taken = 0, limit = st.batch_size;
    st.queue.for_each([&](const QueueEntry &e) {
        if (taken >= limit)
            return false;
        if (PyList_Append(out.ptr(), static_cast<PyObject *>(e.item)) < 0)
            throw nb::python_error();
        compact.push_back(e.compact ? 1 : 0);
        ++taken;
        return true;
    });
    return out;
}

// --- the worker thread -------------------------------------------------------------------------

namespace {

// threading.Thread.is_alive() unless the thread is our worker and known to run.
bool worker_running(ExportState &st) {
    nb::object thread = st.worker_thread;
    if (thread.is_none())
        return false;
    return st.worker_alive || truthy(orvane::py::call0(thread, m_is_alive));
}

}  // namespace

void detail::wake(ExportState &st) {
    nb::object event = st.worker_event;
    if (WakeState *w = wake_state(event)) {
        {
            std::lock_guard<std::mutex> lock(*w->m);
            if (w->flag)
                return;
            w->flag = true;
        }
        w->cv->notify_all();
        return;
    }
    if (!truthy(orvane::py::call0(event, m_is_set)))
        orvane::py::call0(event, m_set);
}

bool ensure_worker(nb::handle self, ExportState &st) {
    if (!st.worker_starting && !shutting_down()) {
        nb::object thread = st.worker_thread;
        bool alive = worker_running(st);
        // is_alive() may run Python code and let another thread start a worker meanwhile.
        if (!alive && !st.worker_starting && st.worker_thread.is(thread)) {
            st.worker_starting = true;
            try {
                nb::object worker = orvane::outside::get(o_threading).attr("Thread")(
                    nb::arg("target") = self.attr(st.hooks->worker_method()),
                    nb::arg("name") = st.hooks->worker_name(), nb::arg("daemon") = true);
                st.worker_thread = worker;
                st.worker_alive = false;
                orvane::py::call0(worker, m_start);
            } catch (...) {
                st.worker_starting = false;
                throw;
            }
            st.worker_starting = false;
        }
    }
    // While the worker waits out a back-off deadline a wake-up cannot shorten the wait (it would
    // only go back to sleep), so the event is left alone: a producer that runs during an outage
    // does not pay for a thread wake-up on every call.
    if (!st.worker_backing_off)
        wake(st);
    return true;
}

// --- default hooks -------------------------------------------------------------------------------

bool Exporter::has_pending(nb::handle, ExportState &st) const { return exporting::has_pending(st); }

Batch Exporter::take_batch(nb::handle, ExportState &st) const {
    Batch b;
    b.items = peek_raw(st, b.compact);
    b.raw = true;
    return b;
}

nb::object Exporter::before_send(nb::handle, ExportState &) const { return nb::object(); }

namespace {

// Removes queue entries: by identity for the queue's own items, else (an overridden batch view
// returned other objects) the front entries whose ids are among the given ones.
std::vector<nb::object> remove_items(const Exporter &h, ExportState &st, const Batch &batch,
                                     const std::vector<size_t> &items) {
    std::vector<nb::object> removed;  // released after the lock
    if (batch.raw) {
        LockGuard pending = pending_guard(st);
        for (size_t i : items)
            if (auto e = st.queue.remove(batch.item(i).ptr()))
                removed.push_back(nb::steal(static_cast<PyObject *>(e->item)));
        return removed;
    }
    nb::object ids = nb::steal(PySet_New(nullptr));
    for (size_t i : items) {
        nb::object id = h.item_id(batch.item(i), batch.compact[i] != 0);
        if (PySet_Add(ids.ptr(), id.ptr()) < 0)
            throw nb::python_error();
    }
    for (;;) {
        // The front's id is read without the lock (it may run Python code), then removed only
        // when the front is still the same entry.
        nb::object front_item;
        bool compact = false;
        {
            LockGuard pending = pending_guard(st);
            const QueueEntry *front = st.queue.front();
            if (front == nullptr)
                break;
            front_item = nb::borrow(static_cast<PyObject *>(front->item));
            compact = front->compact;
        }
        nb::object id = h.item_id(front_item, compact);
        int found = PySet_Contains(ids.ptr(), id.ptr());
        if (found < 0)
            throw nb::python_error();
        if (!found)
            break;
        LockGuard pending = pending_guard(st);
        const QueueEntry *front = st.queue.front();
        if (front != nullptr && front->item == front_item.ptr())
            removed.push_back(nb::steal(static_cast<PyObject *>(st.queue.pop_front()->item)));
    }
    return removed;
}

}  // namespace

void record_delivery(ExportState &st, size_t count) {
    double wall = orvane::outside::time_time();
    LockGuard stats = stats_guard(st);
    st.counters.batches = add_sat(st.counters.batches, 1);
    st.counters.delivered = add_sat(st.counters.delivered, static_cast<int64_t>(count));
    st.last_upload_at = nb::float_(wall);
}

void Exporter::delivered(nb::handle, ExportState &st, const Batch &batch, const std::vector<size_t> &items) const {
    remove_items(*this, st, batch, items);
    record_delivery(st, items.size());
}

std::string Exporter::set_aside_message(nb::handle self, ExportState &, SetAside why, nb::handle id,
                                        nb::handle error) const {
    std::string what = id.is_none() ? std::string("an event") : "event " + text_of(id);
    std::string detail;
    if (!error.is_none()) {
        std::string text = redacted_error_text(self, error);
        std::string type = Py_TYPE(error.ptr())->tp_name;
        detail = " (" + type + (text.empty() ? "" : ": " + text) + ")";
    }
    if (why == SetAside::Unencodable)
        return std::string(kind()) + " set aside " + what + " that cannot be encoded" + detail +
               "; it will not be sent. Such events are counted as unencodable_event_count in get_stats(); the "
               "others are sent as usual.";
    return std::string(kind()) + " set aside " + what + " that the receiver refused" + detail +
           "; it will not be sent again. Such events are counted as refused_event_count in get_stats(); the "
           "others are sent as usual.";
}

void Exporter::set_aside(nb::handle self, ExportState &st, const Batch &batch, size_t i, SetAside why,
                         nb::handle error) const {
    nb::object id = item_id(batch.item(i), batch.compact[i] != 0);
    remove_items(*this, st, batch, {i});
    bool first;
    {
        LockGuard stats = stats_guard(st);
        int64_t &count = why == SetAside::Unencodable ? st.counters.unencodable : st.counters.refused;
        count = add_sat(count, 1);
        bool &warned = why == SetAside::Unencodable ? st.warned_unencodable : st.warned_refused;
        first = !warned;
        warned = true;
    }
    if (first) {
        std::string message = set_aside_message(self, st, why, id, error);
        orvane::outside::get(o_warnings).attr("warn")(nb::str(message.c_str(), message.size()),
                                                      nb::handle(set_aside_category()), nb::arg("stacklevel") = 2);
    }
}

void Exporter::dropped_final(nb::handle, ExportState &st, const Batch &batch, const std::vector<size_t> &items,
                             nb::handle) const {
    remove_items(*this, st, batch, items);
    LockGuard stats = stats_guard(st);
    st.counters.final_drops = add_sat(st.counters.final_drops, static_cast<int64_t>(items.size()));
}

void Exporter::mark_available(nb::handle, ExportState &st) const {
    st.backoff.failures = 0;
    st.backoff.next_retry_at = 0.0;
    st.backoff.warned = false;
}

void record_failure(nb::handle self, ExportState &st, nb::handle error, std::optional<double> retry_after) {
    nb::object text = nb::none();
    if (!error.is_none()) {
        std::string t = redacted_error_text(self, error);
        text = nb::str(t.c_str(), t.size());
    }
    double wall = orvane::outside::time_time();
    {
        LockGuard stats = stats_guard(st);
        st.counters.failures = add_sat(st.counters.failures, 1);
        st.last_failure_at = nb::float_(wall);
        st.last_failure = text;
    }
    st.backoff.failures = add_sat(st.backoff.failures, 1);
    double delay = retry_delay(backoff_delay(st.backoff.base, st.backoff.cap, st.backoff.failures), retry_after,
                               st.backoff.cap);
    st.backoff.next_retry_at = orvane::outside::time_monotonic() + delay;
}

void warn_outage_once(nb::handle self, ExportState &st, nb::handle error) {
    if (st.backoff.warned)
        return;
    std::string message = st.hooks->outage_message(self, error);
    orvane::outside::get(o_warnings).attr("warn")(nb::str(message.c_str(), message.size()),
                                                  nb::handle(st.hooks->outage_category()),
                                                  nb::arg("stacklevel") = 4);
    st.backoff.warned = true;
}

void Exporter::mark_unavailable(nb::handle self, ExportState &st, nb::handle error,
                                std::optional<double> retry_after) const {
    record_failure(self, st, error, retry_after);
    warn_outage_once(self, st, error);
}

nb::object Exporter::transport_error(nb::handle) const { return import_httpx().attr("HTTPError"); }

nb::object Exporter::new_client(nb::handle, ExportState &st) const { return http_client(import_httpx(), st.timeout); }

void Exporter::run_pass(nb::handle self, ExportState &, bool drain) const { run_flush_sync(self, drain, false); }

void Exporter::pass_failed(nb::handle self, ExportState &st, nb::handle error) const {
    mark_unavailable(self, st, error, std::nullopt);
}

nb::object Exporter::run_coroutine(nb::handle self, bool drain, bool force) const {
    return flush_coroutine(self, drain, force, "flush_run");
}

void Exporter::after_fork(nb::handle, ExportState &) const {}

// --- texts ---------------------------------------------------------------------------------------

std::string redacted_error_text(nb::handle self, nb::handle error) {
    StateRef ref = state_of(self);
    std::string text = text_of(error);
    return mask_query_secrets_in_text(redact(std::move(text), ref->hooks->secrets(self)));
}

std::optional<double> retry_after_of(nb::handle response) {
    PyObject *headers = nullptr;
    if (PyObject_GetOptionalAttrString(response.ptr(), "headers", &headers) < 0)
        throw nb::python_error();
    if (headers == nullptr)
        return std::nullopt;
    nb::object h = nb::steal(headers);
    nb::object value = h.attr("get")("retry-after");
    if (!PyUnicode_Check(value.ptr()))
        return std::nullopt;
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(value.ptr(), &size);
    if (data == nullptr)
        throw nb::python_error();
    return parse_retry_after(std::string_view(data, static_cast<size_t>(size)), orvane::outside::time_time());
}

}  // namespace orvane::exporting
