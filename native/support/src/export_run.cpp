// The shared export queue in motion: the flush run (a native coroutine run in a private event
// loop), the worker thread, the exit flush and the exit and fork hooks. See export_queue.hpp.
#include <algorithm>
#include <chrono>
#include <cstdlib>

#include "export_internal.hpp"

namespace orvane::exporting {

using namespace detail;
using orvane::coro::Task;
using orvane::py::attr;
using orvane::py::truthy;

namespace {

Name o_asyncio{"asyncio"};
Name o_threading{"threading"};

// The flush runs of a worker stop between requests once the module shuts down; other runs (the
// exit flush itself, a flush the host awaits) go on.
bool stop_requested() { return t_worker != nullptr && shutting_down(); }

}  // namespace

// --- HTTP client ---------------------------------------------------------------------------------

namespace {

// The SSL context a client of `httpx` would build for itself (verify=True, trust_env=True),
// built once and shared: building it loads the CA bundle (tens of milliseconds with the GIL
// held), and every flush run creates a client. Rebuilt when the module or the SSL_CERT_FILE /
// SSL_CERT_DIR variables it reads change. Invalid when `httpx` offers no create_ssl_context
// (the client then builds its own).
nb::object shared_ssl_context(nb::handle httpx) {
    static PyObject *owner = nullptr;  // the httpx module the context was built with
    static std::string *key = new std::string();
    static PyObject *context = nullptr;
    PyObject *factory = nullptr;
    if (PyObject_GetOptionalAttrString(httpx.ptr(), "create_ssl_context", &factory) < 0)
        throw nb::python_error();
    if (factory == nullptr)
        return nb::object();
    nb::object factory_ref = nb::steal(factory);
    const char *file = std::getenv("SSL_CERT_FILE");
    const char *dir = std::getenv("SSL_CERT_DIR");
    std::string now = std::string(file ? file : "") + '\0' + (dir ? dir : "");
    if (context == nullptr || owner != httpx.ptr() || *key != now) {
        nb::object fresh = factory_ref();
        Py_XDECREF(owner);
        Py_XDECREF(context);
        owner = Py_NewRef(httpx.ptr());
        context = fresh.release().ptr();
        *key = now;
    }
    return nb::borrow(context);
}

// client.__aexit__(type, value, traceback) for `failure`, or with three Nones.
nb::object exit_with(const nb::object &aexit, const nb::object &client, const nb::object &failure) {
    if (!failure.is_valid())
        return aexit(client, nb::none(), nb::none(), nb::none());
    nb::object tb = nb::steal(PyException_GetTraceback(failure.ptr()));
    if (!tb.is_valid())
        tb = nb::none();
    return aexit(client, nb::handle(reinterpret_cast<PyObject *>(Py_TYPE(failure.ptr()))), failure, tb);
}

}  // namespace

namespace {

// The filter of mask_http_client_logs: URL arguments of a record shown as exporters show their
// endpoints (without user-info, secret query values masked, and none of the live exporters'
// secrets). Always keeps the record.
bool mask_record(nb::handle record) {
    PyObject *args = nullptr;
    if (PyObject_GetOptionalAttrString(record.ptr(), "args", &args) < 0)
        throw nb::python_error();
    if (args == nullptr)
        return true;
    nb::object holder = nb::steal(args);
    if (!PyTuple_Check(args))
        return true;
    Py_ssize_t n = PyTuple_GET_SIZE(args);
    nb::object masked;
    std::optional<std::vector<std::string>> secrets;  // read once, at the first URL
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *arg = PyTuple_GET_ITEM(args, i);
        PyTypeObject *type = Py_TYPE(arg);
        bool url_like = PyUnicode_Check(arg) || std::string_view(type->tp_name) == "URL";
        if (!url_like)
            continue;
        std::string text = text_of(nb::handle(arg));
        if (text.find("://") == std::string::npos)
            continue;
        if (!secrets)
            secrets = live_secrets();
        std::string shown = shown_endpoint(text, *secrets);
        if (shown == text)
            continue;
        if (!masked.is_valid()) {
            masked = nb::steal(PyTuple_GetSlice(args, 0, n));
            if (!masked.is_valid())
                throw nb::python_error();
        }
        PyObject *str = PyUnicode_FromStringAndSize(shown.data(), static_cast<Py_ssize_t>(shown.size()));
        if (str == nullptr)
            throw nb::python_error();
        PyObject *old = PyTuple_GET_ITEM(masked.ptr(), i);
        PyTuple_SET_ITEM(masked.ptr(), i, str);
        Py_DECREF(old);
    }
    if (masked.is_valid() && PyObject_SetAttrString(record.ptr(), "args", masked.ptr()) < 0)
        throw nb::python_error();
    return true;
}

}  // namespace

void mask_http_client_logs() {
    static bool installed = false;
    if (installed)
        return;
    nb::object logger = orvane::outside::get("logging").attr("getLogger")("httpx");
    // A filter kept for the life of the process, like the logger that holds it.
    // A record it cannot mask is left out rather than shown as it is (and a filter that raised
    // would fail the HTTP request that logs).
    nb::object filter = nb::cpp_function(
        [](nb::handle record) {
            try {
                return mask_record(record);
            } catch (nb::python_error &e) {
                if (!e.matches(PyExc_Exception))
                    throw;
                return false;
            }
        },
        nb::arg("record"), nb::name("_mask_secrets_in_urls"));
    logger.attr("addFilter")(filter);
    installed = true;
}

nb::object http_client(nb::handle httpx, double timeout) {
    mask_http_client_logs();
    nb::object ssl = shared_ssl_context(httpx);
    if (!ssl.is_valid())
        return httpx.attr("AsyncClient")(nb::arg("timeout") = timeout);
    return httpx.attr("AsyncClient")(nb::arg("timeout") = timeout, nb::arg("verify") = ssl);
}

// Awaitables are built into named locals before each co_await: GCC mis-handles the lifetime of
// temporaries (conditional expressions in particular) inside a co_await operand.
Task leave_client(nb::object aexit, nb::object client, nb::object failure) {
    try {
        nb::object exit_call = exit_with(aexit, client, failure);
        nb::object suppress = co_await orvane::coro::await(exit_call);
        if (failure.is_valid() && truthy(suppress))
            failure = nb::object();
    } ORVANE_CATCH_ALL_BUT_FORCED_UNWIND {
        failure = caught_exception();
    }
    if (!failure.is_valid())
        co_return nb::none();
    co_return failure;
}

// --- the flush run -------------------------------------------------------------------------------

namespace {

// Sends the encoded items of one batch, splitting refused requests. Returns false when the run
// must end (a retry verdict, or the module shuts down).
Task send_batch(nb::object self, nb::object holder, nb::object client, Batch *batch, Encoded *enc) {
    ExportState &st = state(holder);
    const Exporter &h = *st.hooks;
    SplitPlan plan(enc->count());
    while (!plan.empty()) {
        if (stop_requested())
            co_return false;
        auto [begin, end] = plan.next();
        nb::object body = h.frame(self, st, *batch, *enc, begin, end);
        nb::object sending = h.send(self, st, client, body);
        nb::object response = co_await orvane::coro::await(sending);
        Answer answer = h.classify(self, st, response);
        std::vector<size_t> items(enc->source.begin() + static_cast<ptrdiff_t>(begin),
                                  enc->source.begin() + static_cast<ptrdiff_t>(end));
        nb::object error = answer.error.is_valid() ? answer.error : nb::none();
        switch (answer.verdict) {
        case Verdict::Delivered:
            plan.done();
            h.delivered(self, st, *batch, items);
            h.mark_available(self, st);
            break;
        case Verdict::Split:
            if (!plan.split()) {
                plan.done();
                h.set_aside(self, st, *batch, items.front(), SetAside::Refused, error);
                h.mark_available(self, st);  // the receiver answered: it is reachable
            }
            break;
        case Verdict::Drop:
            plan.done();
            h.dropped_final(self, st, *batch, items, error);
            h.mark_available(self, st);
            break;
        case Verdict::Retry:
            h.mark_unavailable(self, st, error, answer.retry_after);
            co_return false;
        }
    }
    co_return true;
}

Task flush_task(nb::object self, bool drain, bool force) {
    if (stop_requested())
        co_return nb::none();
    StateRef ref = state_of(self);
    ExportState &st = *ref.st;
    const Exporter &h = *st.hooks;
    nb::object transport_error = h.transport_error(self);
    nb::object failure, client, aexit;
    bool entered = false;
    try {
        client = h.new_client(self, st);
        nb::handle ctype(reinterpret_cast<PyObject *>(Py_TYPE(client.ptr())));
        nb::object aenter = ctype.attr("__aenter__");
        aexit = ctype.attr("__aexit__");
        nb::object enter_call = aenter(client);
        co_await orvane::coro::await(enter_call);
        entered = true;
        for (;;) {
            if (stop_requested() || !h.has_pending(self, st))
                break;
            if (!force && orvane::outside::time_monotonic() < st.backoff.next_retry_at)
                break;
            if (!force) {
                nb::object check = h.before_send(self, st);
                if (check.is_valid()) {
                    nb::object up = co_await orvane::coro::await(check);
                    if (!truthy(up)) {
                        h.mark_unavailable(self, st, nb::none(), std::nullopt);
                        break;
                    }
                }
            }
            Batch batch = h.take_batch(self, st);
            if (batch.size() == 0)
                break;
            // Each item is encoded on its own: one that cannot be encoded is set aside and the
            // rest of the batch goes on.
            Encoded enc;
            {
                std::unique_ptr<ItemEncoder> encoder = h.encoder(self, st, batch);
                for (size_t i = 0; i < batch.size(); ++i) {
                    size_t before = enc.bytes.size();
                    nb::object error = encoder->encode(i, enc.bytes);
                    if (error.is_valid()) {
                        enc.bytes.resize(before);
                        h.set_aside(self, st, batch, i, SetAside::Unencodable, error);
                        continue;
                    }
                    enc.ends.push_back(enc.bytes.size());
                    enc.source.push_back(i);
                }
            }
            bool go_on = true;
            if (enc.count() > 0) {
                nb::object sending = orvane::coro::wrap(send_batch(self, ref.holder, client, &batch, &enc),
                                                        "export.send_batch");
                nb::object more = co_await orvane::coro::await(sending);
                go_on = truthy(more);
            }
            if (!go_on || !drain)
                break;
        }
    } ORVANE_CATCH_ALL_BUT_FORCED_UNWIND {
        failure = caught_exception();
    }
    if (entered) {
        nb::object leaving = orvane::coro::wrap(leave_client(aexit, client, failure), "export.leave_client");
        nb::object left = co_await orvane::coro::await(leaving);
        failure = left.is_none() ? nb::object() : left;
    }
    if (failure.is_valid()) {
        int is_transport = PyObject_IsInstance(failure.ptr(), transport_error.ptr());
        if (is_transport < 0)
            throw nb::python_error();
        if (!is_transport)
            reraise(std::move(failure));
        h.mark_unavailable(self, st, failure, std::nullopt);
    }
    co_return nb::none();
}

}  // namespace

nb::object flush_coroutine(nb::handle self, bool drain, bool force, const char *qualname) {
    return orvane::coro::wrap(flush_task(nb::borrow(self), drain, force), qualname);
}

void run_flush_sync(nb::handle self, bool drain, bool force) {
    StateRef ref = state_of(self);
    ExportState &st = *ref.st;
    if (stop_requested())
        return;
    nb::object lock = st.flush_lock;
    LockGuard guard(lock.attr("acquire"), lock.attr("release"));
    if (stop_requested())
        return;
    nb::object asyncio = orvane::outside::get(o_asyncio);
    nb::object loop = asyncio.attr("new_event_loop")();
    try {
        nb::object coro = st.hooks->run_coroutine(self, drain, force);
        nb::object task = asyncio.attr("ensure_future")(coro, nb::arg("loop") = loop);
        // Kept so that the exit hook can cancel the run on its own loop.
        st.run_loop = loop;
        st.run_task = task;
        loop.attr("run_until_complete")(task);
        st.run_loop = nb::object();
        st.run_task = nb::object();
    } ORVANE_CATCH_ALL_BUT_FORCED_UNWIND {
        st.run_loop = nb::object();
        st.run_task = nb::object();
        try {
            loop.attr("close")();
        } catch (nb::python_error &e) {
            e.discard_as_unraisable(self);
        }
        throw;
    }
    loop.attr("close")();
}

// --- the worker ----------------------------------------------------------------------------------

namespace {

// Registers the calling thread as a worker of the module for the life of worker_main.
struct WorkerScope {
    WorkerSlot slot;
    WorkerScope() {
        std::lock_guard<std::mutex> lock(gate().m);
        gate().workers.push_back(&slot);
        t_worker = &slot;
    }
    ~WorkerScope() {
        t_worker = nullptr;
        std::lock_guard<std::mutex> lock(gate().m);
        auto &w = gate().workers;
        w.erase(std::remove(w.begin(), w.end(), &slot), w.end());
        gate().cv.notify_all();
    }
};

// Keeps `worker_alive` true while the body of the stored worker thread runs.
struct AliveMark {
    nb::object holder, me;
    AliveMark(nb::object h, nb::object current) : holder(std::move(h)), me(std::move(current)) {
        ExportState &st = state(holder);
        if (st.worker_thread.is(me))
            st.worker_alive = true;
    }
    ~AliveMark() {
        ExportState &st = state(holder);
        if (st.worker_thread.is(me))
            st.worker_alive = false;
    }
};

bool below_one_batch(ExportState &st) {
    return static_cast<int64_t>(st.queue.size()) < st.batch_size;
}

}  // namespace

void worker_main(nb::handle self) {
    WorkerScope scope;
    if (shutting_down())
        park_now();
    StateRef ref = state_of(self);  // the holder stays referenced for the thread's life
    ExportState &st = *ref.st;
    const Exporter &h = *st.hooks;
    AliveMark mark(ref.holder, orvane::outside::get(o_threading).attr("current_thread")());
    for (;;) {
        worker_wait(st, -1);
        worker_clear(st);
        double interval = st.interval;
        if (interval > 0 && below_one_batch(st)) {
            worker_sleep(interval);
            worker_clear(st);
        }
        while (!shutting_down() && h.has_pending(self, st)) {
            double now = orvane::outside::time_monotonic();
            double retry_at = st.backoff.next_retry_at;
            if (now < retry_at) {
                // An early wake-up by new events does not shorten the back-off.
                st.worker_backing_off = true;
                try {
                    worker_wait(st, retry_at - now);
                } catch (...) {
                    st.worker_backing_off = false;
                    throw;
                }
                st.worker_backing_off = false;
                worker_clear(st);
                continue;
            }
            try {
                // A backlog of at least one full batch drains in one run (one client, batch
                // after batch); otherwise one batch per pass.
                h.run_pass(self, st, !below_one_batch(st));
            } catch (nb::python_error &e) {
                if (shutting_down())
                    break;  // a run cancelled at exit
                if (!e.matches(PyExc_Exception))
                    throw;
                nb::object error = nb::borrow(e.value());
                try {
                    h.pass_failed(self, st, error);
                } catch (nb::python_error &e2) {
                    if (!e2.matches(PyExc_Exception))
                        throw;
                    e2.discard_as_unraisable(self);
                }
                break;
            }
            if (!h.has_pending(self, st))
                break;
            if (orvane::outside::time_monotonic() < st.backoff.next_retry_at)
                continue;
            if (interval > 0 && below_one_batch(st)) {
                worker_sleep(interval);
                worker_clear(st);
            }
        }
        if (shutting_down())
            park_now();
    }
}

// --- process exit --------------------------------------------------------------------------------

namespace {

void cancel_run(ExportState &st) {
    nb::object loop = st.run_loop, task = st.run_task;
    if (!loop.is_valid() || !task.is_valid())
        return;
    try {
        loop.attr("call_soon_threadsafe")(task.attr("cancel"));
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_RuntimeError))  // the loop closed meanwhile
            throw;
    }
}

}  // namespace

void exit_flush(nb::handle self) {
    StateRef ref = state_of(self);
    ExportState &st = *ref.st;
    if (!st.hooks->has_pending(self, st))
        return;
    double budget = st.timeout;
    if (!(budget > 0))
        budget = 0.0;
    budget = std::min(budget, 3600.0);
    auto started = std::chrono::steady_clock::now();
    nb::object lock = st.flush_lock;
    // A run in progress (the worker's) ends at its next request once the module shuts down, or
    // by its own time-out; past the budget it is cancelled.
    bool acquired = truthy(lock.attr("acquire")(true, budget));
    if (acquired) {
        try {
            double used = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
            double remaining = budget - used;
            if (remaining > 0) {
                nb::object asyncio = orvane::outside::get(o_asyncio);
                nb::object loop = asyncio.attr("new_event_loop")();
                try {
                    nb::object coro = st.hooks->run_coroutine(self, true, true);
                    loop.attr("run_until_complete")(asyncio.attr("wait_for")(coro, remaining));
                } catch (nb::python_error &e) {
                    // A receiver that does not answer in time is the case this bound is for.
                    if (!e.matches(PyExc_TimeoutError))
                        e.discard_as_unraisable(self);
                }
                loop.attr("close")();
            }
        } catch (...) {
            lock.attr("release")();
            throw;
        }
        lock.attr("release")();
    } else {
        cancel_run(st);
    }
    size_t unsent = st.queue.size();
    if (unsent > 0) {
        LockGuard stats(st.stats_lock);
        st.counters.exit_unsent = add_sat(st.counters.exit_unsent, static_cast<int64_t>(unsent));
    }
}

void flush_at_exit() {
    nb::object exporters = registry_list();
    {
        std::lock_guard<std::mutex> lock(gate().m);
        gate().shutting_down.store(true, std::memory_order_release);
    }
    gate().cv.notify_all();
    // Short GIL turns while the exit flushes run and the workers stop: with many busy threads a
    // thread that blocks and wakes often (imports, sockets, locks) waits a whole turn of every
    // other thread each time it wants the GIL back, so the usual 5 ms turns make a few hundred
    // such steps last tens of seconds.
    nb::object sys = nb::module_::import_("sys");
    nb::object switch_interval = sys.attr("getswitchinterval")();
    sys.attr("setswitchinterval")(kExitSwitchInterval);
    for (nb::handle exporter : exporters) {
        try {
            wake(*state_of(exporter));  // a waiting worker wakes and parks
        } catch (nb::python_error &e) {
            e.discard_as_unraisable(exporter);
        }
    }
    for (nb::handle exporter : exporters) {
        try {
            exit_flush(exporter);
        } catch (nb::python_error &e) {
            e.discard_as_unraisable(exporter);
        }
    }
    // No worker may run Python code once finalisation begins: wait until each has parked (or
    // waits natively, where it parks when woken).
    Py_BEGIN_ALLOW_THREADS
    {
        std::unique_lock<std::mutex> lock(gate().m);
        auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(kExitGraceSeconds);
        gate().cv.wait_until(lock, deadline, [] {
            for (WorkerSlot *w : gate().workers)
                if (w->phase.load(std::memory_order_acquire) == WorkerPhase::Running)
                    return false;
            return true;
        });
    }
    Py_END_ALLOW_THREADS
    sys.attr("setswitchinterval")(switch_interval);
}

// --- fork ----------------------------------------------------------------------------------------

void after_fork_in_child() {
    // Only the forking thread exists here; the native parts other threads may have held locked
    // are replaced, not used.
    renew_gate();
    g_fork_generation.fetch_add(1);
    t_worker = nullptr;
    nb::object exporters = registry_list();
    for (nb::handle exporter : exporters) {
        try {
            StateRef ref = state_of(exporter);
            ref->reset_after_fork();
            ref->hooks->after_fork(exporter, *ref.st);
        } catch (nb::python_error &e) {
            e.discard_as_unraisable(exporter);
        }
    }
}

}  // namespace orvane::exporting
