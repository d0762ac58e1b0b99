// Event intake of RuntimeTraceDesk: the de-duplication window, the road of one event through the
// facade, and the fan-out to the backends.
//
// The road of an accepted event, in this order: one private deep copy; the flow registry; the
// channel buffer; the run store; the subscriptions; then the backends (concurrently, each with
// its own copy, failures counted and never raised) and the log service. Up to the publication
// nothing suspends, so no other coroutine runs between the duplicate check and the publication.
//
// An append that fails before the publication is over leaves no trace in the facade: the id
// leaves the de-duplication window again (an id it pushed out comes back), the channel buffer is
// as before, the flow registry and the subscriptions of the package never saw the event
// (fastpaths.hpp), and the error goes on to the caller. A run store cannot take an event back, so
// the store is the last step that may refuse one; after it only a replaced `publish` can still
// raise, and then the store keeps what it accepted.
#include "intake.hpp"

#include <vector>

#include "fastpaths.hpp"
#include "keywords.hpp"
#include "config.hpp"
#include "names.hpp"
#include "orvane/args.hpp"
#include "orvane/coro.hpp"
#include "orvane/models.hpp"
#include "shared_helpers.hpp"

namespace orvane::desk {

using namespace names;
using orvane::coro::Task;

namespace {

// The functions the class namespace holds (kept for the process).
PyObject *own_is_enabled = nullptr;
PyObject *own_remember = nullptr;

// ---------------------------------------------------------------- de-duplication window

// What remembering one id changed, so that a failed append can take it back. Lives on the
// coroutine frame of one append, on the event-loop thread; the containers are those the facade
// held when the id was remembered (a replaced attribute does not redirect the taking back).
struct WindowEntry {
    nb::object seen, buffer;  // the window's containers as they were used
    nb::object id;            // the id remembered; unset when nothing was remembered here
    nb::object evicted;       // the id pushed out to make room, if any

    void forget();
};

void set_remove(nb::handle seen, nb::handle id) {
    if (PyAnySet_Check(seen.ptr()))
        set_discard(seen, id);
    else
        call1(seen, m_discard, id);
}

void set_insert(nb::handle seen, nb::handle id) {
    if (PyAnySet_Check(seen.ptr()))
        set_add(seen, id);
    else
        call1(seen, m_add, id);
}

// A bounded deque's capacity (its maxlen) and its length now; `capped` false when it has no
// maxlen.
struct Bound {
    bool capped = false;
    Py_ssize_t cap = 0, size = 0;
};

Bound bound_of(nb::handle queue) {
    Bound b;
    nb::object maxlen = attr(queue, a_maxlen);
    if (maxlen.is_none())
        return b;
    b.capped = true;
    b.cap = PyLong_AsSsize_t(maxlen.ptr());
    if (b.cap == -1 && PyErr_Occurred())
        throw nb::python_error();
    b.size = PyObject_Size(queue.ptr());
    if (b.size < 0)
        throw nb::python_error();
    return b;
}

bool remember(nb::handle self, nb::handle event_id, WindowEntry *entry) {
    orvane::args::require_str(event_id, "event_id");
    nb::object seen = field(self, a_seen);
    int present = PySequence_Contains(seen.ptr(), event_id.ptr());
    if (present < 0)
        throw nb::python_error();
    if (present)
        return false;
    nb::object buffer = field(self, a_seen_buffer);
    nb::object evicted;
    if (Bound b = bound_of(buffer); b.capped && b.size > 0 && b.size >= b.cap) {
        evicted = deque_popleft(buffer);
        set_remove(seen, evicted);
    }
    deque_append(buffer, event_id);
    set_insert(seen, event_id);
    if (entry != nullptr) {
        entry->seen = std::move(seen);
        entry->buffer = std::move(buffer);
        entry->id = nb::borrow(event_id);
        entry->evicted = std::move(evicted);
    }
    return true;
}

// Takes the id out of the window again and puts back the id it pushed out.
void WindowEntry::forget() {
    if (!id.is_valid())
        return;
    set_remove(seen, id);
    // The id is the newest entry unless Python code run meanwhile appended others.
    Py_ssize_t size = PyObject_Size(buffer.ptr());
    if (size < 0)
        throw nb::python_error();
    bool last = false;
    if (size > 0) {
        nb::object newest = checked(PySequence_GetItem(buffer.ptr(), size - 1));
        last = newest.ptr() == id.ptr() || equals(newest, id);
    }
    if (last) {
        call0(buffer, m_pop);
    } else {
        PyObject *r = PyObject_CallMethodOneArg(buffer.ptr(), m_remove.get(), id.ptr());
        if (r == nullptr) {
            if (!PyErr_ExceptionMatches(PyExc_ValueError))
                throw nb::python_error();
            PyErr_Clear();
        }
        Py_XDECREF(r);
    }
    if (evicted.is_valid()) {
        int back = PySequence_Contains(seen.ptr(), evicted.ptr());
        if (back < 0)
            throw nb::python_error();
        if (!back) {
            call1(buffer, m_appendleft, evicted);
            set_insert(seen, evicted);
        }
    }
    id = nb::object();
}

// ---------------------------------------------------------------- channel buffer

// Appends the facade's copy to the channel buffer, keeping what the append pushed out so that a
// failed append can take it back.
struct ChannelEntry {
    nb::object channel, copy;
    nb::object dropped;  // the oldest entry the append pushed out, if any
    bool appended = false;

    void append(nb::handle self, nb::handle event_copy);
    void take_back();
};

bool is_deque(nb::handle obj) {
    static PyObject *deque_type =  // kept for the process
        nb::object(nb::module_::import_("collections").attr("deque")).release().ptr();
    return is_instance(obj, deque_type);
}

void ChannelEntry::append(nb::handle self, nb::handle event_copy) {
    channel = field(self, a_channel);
    copy = nb::borrow(event_copy);
    if (is_deque(channel)) {
        if (Bound b = bound_of(channel); b.capped && b.cap > 0 && b.size >= b.cap)
            dropped = checked(PySequence_GetItem(channel.ptr(), 0));
    }
    deque_append(channel, copy);
    appended = true;
}

void ChannelEntry::take_back() {
    if (!appended)
        return;
    appended = false;
    Py_ssize_t size = PyObject_Size(channel.ptr());
    if (size < 0)
        throw nb::python_error();
    if (size == 0)
        return;  // a channel of capacity 0 never held it
    nb::object newest = checked(PySequence_GetItem(channel.ptr(), size - 1));
    if (newest.ptr() != copy.ptr())
        return;
    call0(channel, m_pop);
    if (dropped.is_valid())
        call1(channel, m_appendleft, dropped);
}

// ---------------------------------------------------------------- accepting one event

// Takes back what a failed append changed. Runs while the append's error is on its way to the
// caller: an error of the taking back itself is reported as unraisable, so the caller sees the
// error that made the append fail.
void take_back(WindowEntry &window, ChannelEntry &channel) noexcept {
    try {
        channel.take_back();
    } catch (nb::python_error &e) {
        e.discard_as_unraisable("taking back a failed append from the channel buffer");
    } catch (...) {
    }
    try {
        window.forget();
    } catch (nb::python_error &e) {
        e.discard_as_unraisable("taking back a failed append from the de-duplication window");
    } catch (...) {
    }
}

// Steps 3 to 7: one private deep copy of `event` (or `event` itself when the caller handed it
// over), handed to the flow registry, the channel buffer, the run store and the subscriptions.
// Returns the copy.
nb::object accept(nb::handle self, nb::handle event, ChannelEntry &channel, bool handed_over) {
    nb::object copy = handed_over ? nb::borrow(event) : orvane::models::deep_copy(event);
    FlowStep flow;
    flow.begin(self, copy);
    channel.append(self, copy);
    PublishStep publish;
    publish.prepare(self, copy);
    call1(field(self, a_store), m_append_event, copy);
    publish.deliver();
    flow.finish();
    return copy;
}

// ---------------------------------------------------------------- backend failures

// The key a backend is tracked under: the backend itself, or its id() when it is unhashable.
nb::object backend_key(nb::handle backend) {
    if (PyObject_Hash(backend.ptr()) == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return nb::steal(PyLong_FromVoidPtr(backend.ptr()));
    }
    return nb::borrow(backend);
}

void warn_backend_failure(nb::handle backend, nb::handle error) {
    PyObject *name = nullptr;
    if (PyObject_GetOptionalAttr(backend.ptr(), a_name.get(), &name) < 0)
        PyErr_Clear();
    nb::object name_obj = name != nullptr ? nb::steal(name) : nb::none();
    nb::object cls = nb::borrow(reinterpret_cast<PyObject *>(Py_TYPE(backend.ptr())));
    nb::object module = nb::steal(PyObject_GetAttr(cls.ptr(), a_module.get()));
    if (!module.is_valid()) {
        PyErr_Clear();
        module = nb::str("?");
    }
    nb::object qualname = nb::steal(PyType_GetQualName(Py_TYPE(backend.ptr())));
    if (!qualname.is_valid()) {
        PyErr_Clear();
        qualname = nb::str(Py_TYPE(backend.ptr())->tp_name);
    }
    nb::object text = nb::steal(PyObject_Str(error.ptr()));
    if (!text.is_valid()) {
        PyErr_Clear();
        text = nb::str("<unprintable error>");
    }
    nb::object message = nb::steal(PyUnicode_FromFormat(
        "observation backend %R (%S.%S) failed: %s: %S; the event was still accepted, and further "
        "failures of this backend are only counted (RuntimeTraceDesk._backend_failure_counts) "
        "until it succeeds again",
        name_obj.ptr(), module.ptr(), qualname.ptr(), Py_TYPE(error.ptr())->tp_name, text.ptr()));
    if (!message.is_valid())
        throw nb::python_error();
    nb::object warnings = outside::get(o_warnings);
    PyObject *r = PyObject_CallMethodObjArgs(warnings.ptr(), m_warn.get(), message.ptr(),
                                             PyExc_RuntimeWarning, nullptr);
    if (r == nullptr) {
        // Warnings turned into errors must not reach the caller either: report them the way
        // the interpreter reports errors it cannot raise.
        PyErr_WriteUnraisable(backend.ptr());
    } else {
        Py_DECREF(r);
    }
}

// Records the outcome of one backend call: `error` is null on success.
void record_backend_outcome(nb::handle self, nb::handle backend, nb::handle error) {
    nb::object failing = field(self, a_failing);
    if (!error.is_valid()) {
        Py_ssize_t n = PyObject_Size(failing.ptr());
        if (n < 0)
            throw nb::python_error();
        if (n == 0)
            return;
        nb::object key = backend_key(backend);
        if (PyAnySet_Check(failing.ptr())) {
            if (PySet_Discard(failing.ptr(), key.ptr()) < 0)
                throw nb::python_error();
        } else {
            call1(failing, m_discard, key);
        }
        return;
    }
    nb::object key = backend_key(backend);
    nb::object counts = field(self, a_failure_counts);
    nb::object zero = nb::steal(PyLong_FromLong(0));
    nb::object count = call2(counts, m_get, key, zero);
    nb::object next = nb::steal(PyNumber_Add(count.ptr(), nb::int_(1).ptr()));
    if (!next.is_valid() || PyObject_SetItem(counts.ptr(), key.ptr(), next.ptr()) < 0)
        throw nb::python_error();
    int in_streak = PySequence_Contains(failing.ptr(), key.ptr());
    if (in_streak < 0)
        throw nb::python_error();
    if (in_streak)
        return;
    call1(failing, m_add, key);
    warn_backend_failure(backend, error);
}

bool is_awaitable(PyObject *obj) {
    if (PyCoro_CheckExact(obj))
        return true;
    PyTypeObject *t = Py_TYPE(obj);
    return t->tp_as_async != nullptr && t->tp_as_async->am_await != nullptr;
}

// True for a CancelledError raised by a backend on its own, while the caller's task is not being
// cancelled (asyncio.gather reports such a child as a result, too).
bool backend_cancelled_itself(nb::python_error &e) {
    nb::object asyncio = outside::get(o_asyncio);
    nb::object cancelled = attr(asyncio, a_cancelled_error);
    if (!e.matches(cancelled))
        return false;
    nb::object task = call0(asyncio, m_current_task);
    if (task.is_none())
        return true;
    PyObject *r = PyObject_CallMethodNoArgs(task.ptr(), m_cancelling.get());
    if (r == nullptr) {
        PyErr_Clear();  // a task type without cancelling(): keep the cancellation
        return false;
    }
    long n = PyLong_AsLong(r);
    Py_DECREF(r);
    if (n == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return n == 0;
}


// ---------------------------------------------------------------- fan-out

// The package's own JSON Lines backend and the methods an event goes through in it, as its
// classes define them (looked up on first use, kept for the process; null when the module cannot
// be imported).
struct LineSink {
    PyObject *cls = nullptr, *append_event = nullptr, *append_events = nullptr, *serialize = nullptr;
    bool looked_up = false;
};
LineSink line_sink;

void look_up_line_sink() {
    line_sink.looked_up = true;
    try {
        nb::object mod = nb::module_::import_("orvane_devtools.observation.backends.Linefile");
        nb::object cls = mod.attr("JSONLTraceSink");
        if (!PyType_Check(cls.ptr()))
            return;
        auto *t = reinterpret_cast<PyTypeObject *>(cls.ptr());
        PyObject *ae = _PyType_Lookup(t, m_append_event.get());
        PyObject *aes = _PyType_Lookup(t, m_append_events.get());
        PyObject *ser = _PyType_Lookup(t, m_serialize_event.get());
        if (ae == nullptr || aes == nullptr || ser == nullptr)
            return;
        line_sink.append_event = Py_NewRef(ae);
        line_sink.append_events = Py_NewRef(aes);
        line_sink.serialize = Py_NewRef(ser);
        line_sink.cls = cls.release().ptr();
    } catch (nb::python_error &) {
        PyErr_Clear();  // no JSON Lines module: every backend gets its copy
    }
}

// True when `backend` is the package's own JSONLTraceSink with its own way from append_event to
// the line (nothing replaced on the class or the instance). Such a backend reads the event only
// in the first step of its append_event, where it writes the event's line, and keeps no
// reference to it afterwards; awaited directly, that step runs inside the facade's own step,
// before anything else can run. Handing it the facade's copy is then the same as handing it a
// deep copy of that copy: the line is written from the same values, and nobody else can ever
// see the object through the backend.
bool writes_line_at_once(nb::handle backend) {
    if (!line_sink.looked_up)
        look_up_line_sink();
    if (line_sink.cls == nullptr || Py_TYPE(backend.ptr()) != reinterpret_cast<PyTypeObject *>(line_sink.cls))
        return false;
    return is_own_method(backend, m_append_event, line_sink.append_event) &&
           is_own_method(backend, m_append_events, line_sink.append_events) &&
           is_own_method(backend, m_serialize_event, line_sink.serialize);
}

// The calls of one event to the backends present when it was accepted: each backend gets its own
// deep copy; a backend that raises, returns something that cannot be awaited or fails while
// awaited has that error as its outcome, never raised to the caller.
class FanOut {
public:
    // Starts one call per backend; false when there is no backend.
    bool start(nb::handle self, nb::handle copy) {
        nb::object listed = field(self, a_backends);
        if (PyList_Check(listed.ptr()) && PyList_GET_SIZE(listed.ptr()) == 0)
            return false;
        // A snapshot of the list: the fan-out concerns the backends present now.
        backends_ = nb::borrow<nb::list>(checked(PySequence_List(listed.ptr())));
        size_t count = static_cast<size_t>(PyList_GET_SIZE(backends_.ptr()));
        errors_.assign(count, nb::object());
        for (size_t i = 0; i < count; ++i) {
            nb::handle backend = PyList_GET_ITEM(backends_.ptr(), static_cast<Py_ssize_t>(i));
            try {
                // A lone backend is awaited directly (no task): see writes_line_at_once.
                nb::object own = count == 1 && writes_line_at_once(backend)
                                     ? nb::borrow(copy)
                                     : orvane::models::deep_copy(copy);
                nb::object aw = call1(backend, m_append_event, own);
                if (!is_awaitable(aw.ptr())) {
                    PyErr_Format(PyExc_TypeError,
                                 "%.200s.append_event() returned a non-awaitable %.200s",
                                 Py_TYPE(backend.ptr())->tp_name, Py_TYPE(aw.ptr())->tp_name);
                    errors_[i] = fetch_error();
                    continue;
                }
                awaitables_.push_back(std::move(aw));
                owners_.push_back(i);
            } catch (nb::python_error &e) {
                if (!e.matches(PyExc_Exception))
                    throw;
                errors_[i] = nb::borrow(e.value());
            }
        }
        return count > 0;
    }

    size_t pending() const { return awaitables_.size(); }
    nb::object single() const { return awaitables_[0]; }

    // The outcome of the single call awaited directly (no task for one backend): kept like
    // gather keeps it; only a cancellation of the caller itself goes through.
    void single_failed(nb::python_error &e) {
        if (!e.matches(PyExc_Exception) && !backend_cancelled_itself(e))
            throw;
        errors_[owners_[0]] = nb::borrow(e.value());
    }

    // asyncio.gather(*calls, return_exceptions=True)
    nb::object gather() {
        nb::object fn = attr(outside::get(o_asyncio), m_gather);
        std::vector<nb::handle> calls(awaitables_.begin(), awaitables_.end());
        const Kw kws[] = {{&k_return_exceptions, Py_True}};
        return call_kw(fn, calls, kws);
    }

    void gathered(nb::handle results) {
        nb::object seq = checked(PySequence_List(results.ptr()));
        Py_ssize_t n = PyList_GET_SIZE(seq.ptr());
        for (Py_ssize_t j = 0; j < n && j < static_cast<Py_ssize_t>(owners_.size()); ++j) {
            PyObject *item = PyList_GET_ITEM(seq.ptr(), j);
            if (PyExceptionInstance_Check(item))
                errors_[owners_[static_cast<size_t>(j)]] = nb::borrow(item);
        }
    }

    // Counts failures and ends failure streaks, backend by backend in list order.
    void record(nb::handle self) {
        for (size_t i = 0; i < errors_.size(); ++i)
            record_backend_outcome(
                self, PyList_GET_ITEM(backends_.ptr(), static_cast<Py_ssize_t>(i)), errors_[i]);
    }

private:
    nb::list backends_;
    std::vector<nb::object> errors_;      // per backend: its error, unset on success
    std::vector<nb::object> awaitables_;  // the calls still to await
    std::vector<size_t> owners_;          // the backend of each awaitable
};

// ---------------------------------------------------------------- the log service

// True when the log service says (`_reads_event_at_once` is True) that its append_event reads all
// it keeps of the event before it first suspends, keeping only immutable values and copies of its
// own. Step 9 then hands it the facade's copy: nothing can change that copy between the call and
// the service's first suspension (the call starts it at once, on this thread), and afterwards the
// service holds nothing of it that anybody else could change.
bool reads_event_at_once(nb::handle log) { return says_true(log, a_reads_event_at_once); }

// ---------------------------------------------------------------- the coroutines

// `stored`: the event is one the log service holds already, handed over by the caller
// (append_stored_event): no copy of it is made, and step 9 is left out.
Task append_event_task(nb::object self, nb::object event, bool stored) {
    // Steps 1 to 7 run without a suspension point.
    bool enabled = is_own_method(self, m_is_enabled, own_is_enabled)
                       ? is_enabled(self)
                       : truthy(call0(self, m_is_enabled));
    if (!enabled)
        co_return false;
    nb::object event_id = field(event, a_event_id);
    WindowEntry window;
    bool fresh = is_own_method(self, m_remember, own_remember)
                     ? remember(self, event_id, &window)
                     : truthy(call1(self, m_remember, event_id));
    if (!fresh)
        co_return false;
    nb::object copy;
    {
        ChannelEntry channel;
        try {
            copy = accept(self, event, channel, stored);
        } catch (...) {
            take_back(window, channel);
            throw;
        }
    }

    // Step 8: the backends, concurrently.
    FanOut fan;
    if (fan.start(self, copy)) {
        if (fan.pending() == 1) {
            nb::object pending = fan.single();
            try {
                co_await orvane::coro::await(pending);
            } catch (nb::python_error &e) {
                fan.single_failed(e);
            }
        } else if (fan.pending() > 1) {
            nb::object gathered = fan.gather();
            nb::object results = co_await orvane::coro::await(gathered);
            fan.gathered(results);
        }
        fan.record(self);
    }

    // Step 9: the log service; its error reaches the caller.
    if (stored)
        co_return true;
    nb::object log_service = field(self, a_log_service);
    if (!log_service.is_none()) {
        nb::object own = reads_event_at_once(log_service) ? copy : orvane::models::deep_copy(copy);
        nb::object pending = call1(log_service, m_append_event, own);
        co_await orvane::coro::await(pending);
    }
    co_return true;
}

Task append_events_task(nb::object self, nb::object events) {
    long long accepted = 0;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(events.ptr()); ++i) {
        nb::object event = nb::borrow(PyList_GET_ITEM(events.ptr(), i));
        nb::object pending = call1(self, m_append_event, event);
        nb::object result = co_await orvane::coro::await(pending);
        if (truthy(result))
            ++accepted;
    }
    co_return nb::steal(PyLong_FromLongLong(accepted));
}

}  // namespace

bool remember_event_id(nb::handle self, nb::handle event_id) {
    return remember(self, event_id, nullptr);
}

nb::object append_event(nb::handle self, nb::handle event) {
    return orvane::coro::wrap(append_event_task(nb::borrow(self), nb::borrow(event), false),
                              "RuntimeTraceDesk.append_event");
}

nb::object append_stored_event(nb::handle self, nb::handle event) {
    return orvane::coro::wrap(append_event_task(nb::borrow(self), nb::borrow(event), true),
                              "RuntimeTraceDesk.append_stored_event");
}

nb::object append_events(nb::handle self, nb::handle events) {
    orvane::args::require_list(events, "events");
    return orvane::coro::wrap(append_events_task(nb::borrow(self), nb::borrow(events)),
                              "RuntimeTraceDesk.append_events");
}

nb::dict backend_failures(nb::handle self) {
    nb::object counts = field(self, a_failure_counts);
    PyObject *d = PyDict_New();
    if (d == nullptr || PyDict_Update(d, counts.ptr()) < 0) {
        Py_XDECREF(d);
        throw nb::python_error();
    }
    return nb::steal<nb::dict>(d);
}

void set_intake_originals(nb::handle is_enabled_fn, nb::handle remember_fn) {
    own_is_enabled = Py_NewRef(is_enabled_fn.ptr());
    own_remember = Py_NewRef(remember_fn.ptr());
}

}  // namespace orvane::desk
