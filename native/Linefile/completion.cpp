#include "completion.hpp"

#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "orvane/exit_gate.hpp"
#include "orvane/outside.hpp"
#include "orvane/pyutil.hpp"
#include "sink.hpp"

namespace orvane::linefile {

using orvane::outside::Name;
using orvane::py::call0;
using orvane::py::call1;

// One queued batch, shared by the awaiting coroutine and the writer thread (two references).
struct Ticket {
    std::atomic<int> refs{2};
    std::atomic<bool> done{false};
    int error = 0;               // written before `done` is set
    PyObject *loop = nullptr;    // strong, set under ticket_mu while not done (GIL held)
    PyObject *future = nullptr;  // strong, likewise

    void release() {
        if (refs.fetch_sub(1, std::memory_order_acq_rel) == 1)
            delete this;
    }
};

namespace {

Name o_asyncio{"asyncio"};
Name m_get_running_loop{"get_running_loop"};
Name m_create_future{"create_future"};
Name m_call_soon_threadsafe{"call_soon_threadsafe"};
Name m_sleep{"sleep"};
Name m_set_result{"set_result"};
Name m_set_exception{"set_exception"};
Name m_done{"done"};

// Kept for the process (see support.hpp).
PyObject *resolve_batch_fn = nullptr;  // the module function _resolve_batch
PyObject *zero = nullptr;              // 0, for asyncio.sleep(0)

// Held only for a few instructions, never while waiting for the GIL. Renewed in a forked child
// (the parent's may have been held by a writer thread that does not exist there).
std::mutex *ticket_mu = new std::mutex();

// A writer thread's attachment to the interpreter. It takes the GIL only while the module's exit
// gate admits it (orvane/exit_gate.hpp): once the exit hook has begun, the thread writes and ends
// without touching Python again (its thread state is left to the interpreter, the futures it
// would have resolved are left to their daemon threads, which never run again).
thread_local PyGILState_STATE tl_gil_state;
thread_local PyThreadState *tl_thread_state = nullptr;
thread_local bool tl_python = false;

void hook_thread_start() {
    if (Py_IsFinalizing() || !orvane::exit_gate::admit())
        return;  // too late for Python: write only
    tl_gil_state = PyGILState_Ensure();
    tl_thread_state = PyEval_SaveThread();
    orvane::exit_gate::dismiss();
    tl_python = true;
}

void hook_thread_exit() {
    if (!tl_python)
        return;
    tl_python = false;
    if (!orvane::exit_gate::admit())
        return;
    orvane::py::restore_thread(tl_thread_state);
    PyGILState_Release(tl_gil_state);
    orvane::exit_gate::dismiss();
}

PyObject *os_error(int err, const std::string &path) {
    return PyObject_CallFunction(PyExc_OSError, "isN", err, std::strerror(err),
                                 PyUnicode_DecodeFSDefault(path.c_str()));
}

struct Wake {
    PyObject *loop;
    PyObject *future;
    int error;
};

// Resolves, on their loops, the futures of coroutines that stopped polling (GIL held):
// loop.call_soon_threadsafe(_resolve_batch, [(future, error), ...]) once per loop.
void wake_waiters(std::vector<Wake> &wakes, const std::string &path) {
    size_t i = 0;
    while (i < wakes.size()) {
        PyObject *loop = wakes[i].loop;
        PyObject *batch = PyList_New(0);
        size_t j = i;
        for (; j < wakes.size() && wakes[j].loop == loop; ++j) {
            if (batch == nullptr)
                continue;
            PyObject *error = wakes[j].error == 0 ? Py_NewRef(Py_None) : os_error(wakes[j].error, path);
            if (error == nullptr) {
                PyErr_Clear();
                error = Py_NewRef(PyExc_OSError);
            }
            PyObject *pair = PyTuple_Pack(2, wakes[j].future, error);
            Py_DECREF(error);
            if (pair == nullptr || PyList_Append(batch, pair) < 0)
                PyErr_Clear();
            Py_XDECREF(pair);
        }
        if (batch != nullptr) {
            PyObject *r = PyObject_CallMethodObjArgs(loop, m_call_soon_threadsafe.get(),
                                                     resolve_batch_fn, batch, nullptr);
            if (r == nullptr)
                PyErr_Clear();  // the loop is closed: nobody awaits these futures any more
            Py_XDECREF(r);
            Py_DECREF(batch);
        } else {
            PyErr_Clear();
        }
        for (size_t k = i; k < j; ++k) {
            Py_DECREF(wakes[k].future);
            Py_DECREF(wakes[k].loop);
        }
        i = j;
    }
}

// Marks the tickets of a round done, then wakes the coroutines that registered a future.
void hook_done(std::vector<Outcome> &outcomes, const std::string &path) {
    std::vector<Wake> wakes;
    for (auto &o : outcomes) {
        auto *t = static_cast<Ticket *>(o.token);
        {
            std::lock_guard<std::mutex> lock(*ticket_mu);
            t->error = o.error;
            t->done.store(true, std::memory_order_release);
            if (t->future != nullptr) {
                wakes.push_back(Wake{t->loop, t->future, o.error});
                t->loop = t->future = nullptr;
            }
        }
        t->release();
    }
    if (wakes.empty() || !tl_python || !orvane::exit_gate::admit())
        return;  // (without Python the process is exiting: nobody awaits any more)
    orvane::py::restore_thread(tl_thread_state);
    wake_waiters(wakes, path);
    tl_thread_state = PyEval_SaveThread();
    orvane::exit_gate::dismiss();
}

const Hooks hooks{hook_thread_start, hook_done, hook_thread_exit};

// _resolve_batch(batch): runs on the awaiting coroutines' loop.
void resolve_batch(nb::list batch) {
    orvane::exit_gate::Section section;
    for (nb::handle item : batch) {
        nb::handle future = PyTuple_GET_ITEM(item.ptr(), 0);
        nb::handle error = PyTuple_GET_ITEM(item.ptr(), 1);
        if (orvane::py::truthy(call0(future, m_done)))
            continue;  // cancelled by its awaiter
        if (error.is_none())
            call1(future, m_set_result, Py_None);
        else
            call1(future, m_set_exception, error);
    }
}

}  // namespace

const Hooks &writer_hooks() { return hooks; }

[[noreturn]] void raise_os_error(int err, const std::string &path) {
    PyObject *e = os_error(err, path);
    if (e != nullptr) {
        PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(e)), e);
        Py_DECREF(e);
    }
    throw nb::python_error();
}

// ---------------------------------------------------------------- PendingWrite

PendingWrite::PendingWrite(std::shared_ptr<FileWriter> writer, std::string &&data)
    : writer_(std::move(writer)), start_(std::chrono::steady_clock::now()) {
    auto *ticket = new Ticket();
    if (writer_->submit(std::move(data), ticket)) {
        ticket_ = ticket;
        return;
    }
    // Writers are shutting down (or no thread could be started): write on this thread. Giving
    // the GIL up now could end this thread mid-way at exit, so it is kept.
    delete ticket;
    error_ = writer_->write_now(data.data(), data.size());
}

PendingWrite::~PendingWrite() {
    if (ticket_ != nullptr)
        ticket_->release();
}

bool PendingWrite::done() {
    if (ticket_ == nullptr || ticket_->done.load(std::memory_order_acquire))
        return true;
    if (!spun_) {
        spun_ = true;
        auto until = start_ + kSpinBudget;
        do {
            std::this_thread::yield();
            if (ticket_->done.load(std::memory_order_acquire))
                return true;
        } while (std::chrono::steady_clock::now() < until);
    }
    return false;
}

nb::object PendingWrite::wait() {
    nb::object asyncio = orvane::outside::get(o_asyncio);
    if (std::chrono::steady_clock::now() - start_ <= kPollBudget)
        return call1(asyncio, m_sleep, zero);
    nb::object loop = call0(asyncio, m_get_running_loop);
    nb::object future = call0(loop, m_create_future);
    std::lock_guard<std::mutex> lock(*ticket_mu);
    if (ticket_->done.load(std::memory_order_acquire))
        return call1(asyncio, m_sleep, zero);  // done meanwhile: one more look
    if (ticket_->future == nullptr) {
        ticket_->loop = loop.release().ptr();
        ticket_->future = future.inc_ref().ptr();
    }
    return future;
}

void PendingWrite::raise_if_failed() {
    int err = ticket_ != nullptr ? ticket_->error : error_;
    if (err != 0)
        raise_os_error(err, writer_->path());
}

// ---------------------------------------------------------------- registration

void init_completion(nb::module_ &m) {
    zero = PyLong_FromLong(0);
    m.def("_resolve_batch", &resolve_batch, nb::arg("batch"),
          "Resolve the futures of finished batches (run on their loop).");
    resolve_batch_fn = nb::object(m.attr("_resolve_batch")).release().ptr();
    m.attr("_exit_timeout") = kExitTimeout;
    m.def(
        "_shutdown_writers",
        [](nb::handle module) {
            double bound = kExitTimeout;
            PyObject *value = PyObject_GetAttrString(module.ptr(), "_exit_timeout");
            if (value != nullptr) {
                double v = PyFloat_AsDouble(value);
                if (!(v == -1.0 && PyErr_Occurred()) && v >= 0 && v <= 3600)
                    bound = v;
                Py_DECREF(value);
            }
            PyErr_Clear();  // exiting: a bad value falls back to the default
            orvane::exit_gate::close(
                std::chrono::duration_cast<orvane::exit_gate::Clock::duration>(std::chrono::duration<double>(bound)),
                [](orvane::exit_gate::Clock::time_point deadline) { shutdown_all(deadline); });
        },
        nb::arg("module"),
        "The exit hook (registered with atexit; only for the interpreter's exit): write what is\n"
        "queued and stop the writer threads, and wait for threads to leave this module's native\n"
        "code, within ``module._exit_timeout`` seconds; from then on a thread other than the\n"
        "caller that enters the module's native code stops there for good.");
    m.def(
        "_forget_writers_after_fork",
        [] {
            orvane::exit_gate::after_fork_in_child();
            ticket_mu = new std::mutex();  // (the old one is left behind, untouched)
            forget_all_after_fork();
            forget_sink_state_after_fork();
        },
        "Drop the parent's writers in a forked child.");
    nb::module_::import_("atexit").attr("register")(m.attr("_shutdown_writers"), m);
    nb::module_::import_("os").attr("register_at_fork")(
        nb::arg("after_in_child") = m.attr("_forget_writers_after_fork"));
}

}  // namespace orvane::linefile
