// Binding of the Linefile module: JSONLTraceSink, the JSON Lines backend.
//
// The sink is an abc subclass of RuntimeTraceSink made from C++ functions; its one piece of
// instance state is `path` (a pathlib.Path) in the instance __dict__.
//
// append_events turns the batch into UTF-8 JSON lines on the event-loop thread (while
// DataFormatter.sanitize is the original one, the JSON-mode dump is encoded with the sanitiser's
// rules applied on the way, jsonline.hpp), hands them to the path's FileWriter (linewriter.hpp: one
// writer thread per file, kept-open O_APPEND descriptor, one write(2) loop per batch under the
// file's lock) and waits until the writer thread has written the batch (see Ticket). A subclass
// that overrides `_write_lines` gets the documented path instead:
// `await asyncio.to_thread(self._write_lines, lines)`; one that overrides `_serialize_event`
// has its result encoded.
#include <nanobind/nanobind.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <optional>
#include <cstring>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "jsonline.hpp"
#include "linewriter.hpp"
#include "orvane/pyutil.hpp"
#include "orvane/support.hpp"

namespace nb = nanobind;
using orvane::coro::Task;
using orvane::outside::Name;

namespace {

constexpr const char *kModule = "orvane_devtools.observation.backends.Linefile";

Name a_path{"path"};
Name o_data_formatter{"DataFormatter"};
Name o_asyncio{"asyncio"};
Name o_path{"Path"};
Name m_sanitize{"sanitize"};
Name m_model_dump{"model_dump"};
Name m_get_running_loop{"get_running_loop"};
Name m_create_future{"create_future"};
Name m_call_soon_threadsafe{"call_soon_threadsafe"};
Name m_to_thread{"to_thread"};
Name m_set_result{"set_result"};
Name m_set_exception{"set_exception"};
Name m_done{"done"};
Name m_sleep{"sleep"};
Name n_mode{"mode"};
Name n_write_lines{"_write_lines"};
Name n_serialize_event{"_serialize_event"};

// Leaked on purpose (see the note on static Python objects).
PyObject *json_text = nullptr;        // "json"
PyObject *serialize_fn = nullptr;     // our _serialize_event
PyObject *write_lines_fn = nullptr;   // our _write_lines
PyObject *resolve_batch_fn = nullptr; // module function _resolve_batch
PyObject *zero_obj = nullptr;         // 0
PyObject *utils_dict = nullptr;       // orvane.utils.__dict__
PyObject *original_sanitize = nullptr; // orvane.utils.DataFormatter.sanitize at import

// How long a coroutine polls for its batch before it waits for a wake-up from the writer.
constexpr std::chrono::microseconds kPollBudget{500};

// How long a coroutine first watches its batch without yielding to its loop. A write to a file
// whose writer thread is running takes a few microseconds, far less than one round of the event
// loop: finishing the await without suspending at all is then the cheapest completion. The GIL is
// kept (the writer never needs it for this), and the CPU is yielded between looks.
constexpr std::chrono::microseconds kSpinBudget{40};

using orvane::py::attr;
using orvane::py::call1;

// ---------------------------------------------------------------- completions

// One queued batch, shared by the awaiting coroutine and the writer thread (two references).
// The coroutine first watches `done` for up to kSpinBudget without suspending (the writer thread,
// still running from its previous batch, normally writes within a few microseconds), then polls
// it between short yields to its loop (this spares the writer thread the GIL and the loop a
// cross-thread wake-up); when the write takes longer still it registers a future under
// `ticket_mu`, and the writer thread then resolves it through loop.call_soon_threadsafe.
struct Ticket {
    std::atomic<int> refs{2};
    std::atomic<bool> done{false};
    int error = 0;                 // written before `done` is set
    PyObject *loop = nullptr;      // strong, set under ticket_mu while not done (GIL held)
    PyObject *future = nullptr;    // strong, likewise

    void release() {
        if (refs.fetch_sub(1, std::memory_order_acq_rel) == 1)
            delete this;
    }
};

// Held only for a few instructions, never while waiting for the GIL.
std::mutex ticket_mu;

// Takes the GIL back after a blocking call. Once the interpreter is finalizing, a thread that
// asks for the GIL is ended by the interpreter with a forced unwind, which C++ frames on its stack
// (noexcept destructors) turn into std::terminate; such a thread (a daemon thread still
// appending at exit) is parked for good instead: the process is about to end.
void restore_thread(PyThreadState *state) {
    if (Py_IsFinalizing()) {
        for (;;)
            ::pause();
    }
    PyEval_RestoreThread(state);
}

thread_local PyGILState_STATE tl_gil_state;
thread_local PyThreadState *tl_thread_state = nullptr;
thread_local bool tl_python = false;

void hook_thread_start() {
    if (Py_IsFinalizing())
        return;  // too late for Python: write only
    tl_gil_state = PyGILState_Ensure();
    tl_thread_state = PyEval_SaveThread();
    tl_python = true;
}

void hook_thread_exit() {
    if (!tl_python)
        return;
    restore_thread(tl_thread_state);
    PyGILState_Release(tl_gil_state);
    tl_python = false;
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

// Marks the tickets of a round done; futures registered by coroutines that stopped polling are
// resolved on their loops: loop.call_soon_threadsafe(_resolve_batch, [(future, error), ...]).
void hook_done(std::vector<orvane::linefile::Outcome> &outcomes, const std::string &path) {
    std::vector<Wake> wakes;
    for (auto &o : outcomes) {
        auto *t = static_cast<Ticket *>(o.token);
        {
            std::lock_guard<std::mutex> lock(ticket_mu);
            t->error = o.error;
            t->done.store(true, std::memory_order_release);
            if (t->future != nullptr) {
                wakes.push_back(Wake{t->loop, t->future, o.error});
                t->loop = t->future = nullptr;
            }
        }
        t->release();
    }
    if (wakes.empty() || !tl_python)
        return;  // (without Python the process is exiting: nobody awaits any more)
    restore_thread(tl_thread_state);
    size_t i = 0;
    while (i < wakes.size()) {
        PyObject *loop = wakes[i].loop;
        PyObject *batch = PyList_New(0);
        size_t j = i;
        for (; j < wakes.size() && wakes[j].loop == loop; ++j) {
            if (batch == nullptr)
                continue;
            PyObject *error =
                wakes[j].error == 0 ? Py_NewRef(Py_None) : os_error(wakes[j].error, path);
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
    tl_thread_state = PyEval_SaveThread();
}

const orvane::linefile::Hooks hooks{hook_thread_start, hook_done, hook_thread_exit};

void resolve_batch(nb::list batch) {
    for (nb::handle item : batch) {
        nb::handle future = PyTuple_GET_ITEM(item.ptr(), 0);
        nb::handle error = PyTuple_GET_ITEM(item.ptr(), 1);
        nb::object done = nb::steal(PyObject_CallMethodNoArgs(future.ptr(), m_done.get()));
        if (!done.is_valid())
            throw nb::python_error();
        if (PyObject_IsTrue(done.ptr()))
            continue;  // cancelled by its awaiter
        PyObject *r = error.is_none()
                          ? PyObject_CallMethodOneArg(future.ptr(), m_set_result.get(), Py_None)
                          : PyObject_CallMethodOneArg(future.ptr(), m_set_exception.get(),
                                                      error.ptr());
        if (r == nullptr)
            throw nb::python_error();
        Py_DECREF(r);
    }
}

// ---------------------------------------------------------------- paths

// The absolute file-system path of `self.path`, as bytes for the OS.
std::string abs_path_of(nb::handle self) {
    nb::object path = attr(self, a_path);
    nb::object fs = nb::steal(PyOS_FSPath(path.ptr()));
    if (!fs.is_valid())
        throw nb::python_error();
    nb::object bytes = PyBytes_Check(fs.ptr()) ? fs : nb::steal(PyUnicode_EncodeFSDefault(fs.ptr()));
    if (!bytes.is_valid())
        throw nb::python_error();
    std::string p(PyBytes_AS_STRING(bytes.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(bytes.ptr())));
    if (p.find('\0') != std::string::npos) {
        PyErr_SetString(PyExc_ValueError, "embedded null byte");
        throw nb::python_error();
    }
    if (p.empty() || p[0] != '/') {
        std::string cwd;
        std::vector<char> buf(4096);
        while (::getcwd(buf.data(), buf.size()) == nullptr) {
            if (errno != ERANGE) {
                PyErr_SetFromErrno(PyExc_OSError);
                throw nb::python_error();
            }
            buf.resize(buf.size() * 2);
        }
        cwd = buf.data();
        if (cwd.empty() || cwd.back() != '/')
            cwd.push_back('/');
        p = cwd + p;
    }
    return p;
}

[[noreturn]] void raise_os_error(int err, const std::string &path) {
    PyObject *e = os_error(err, path);
    if (e != nullptr) {
        PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(e)), e);
        Py_DECREF(e);
    }
    throw nb::python_error();
}

// Writes on this thread with the GIL held: only for the interpreter's exit, when the writer
// threads are gone (and giving the GIL up could end this thread mid-way).
void write_now_holding_gil(nb::handle self, const std::string &data) {
    std::string path = abs_path_of(self);
    auto writer = orvane::linefile::writer_for(path, &hooks);
    int err = writer->write_now(data.data(), data.size());
    if (err != 0)
        raise_os_error(err, path);
}

// ---------------------------------------------------------------- serialisation

nb::object serialize_builtin(nb::handle event) {
    PyObject *args[2] = {event.ptr(), json_text};
    nb::object kwnames = nb::make_tuple(nb::handle(n_mode.get()));
    PyObject *dumped = PyObject_VectorcallMethod(
        m_model_dump.get(), args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.ptr());
    if (dumped == nullptr)
        throw nb::python_error();
    nb::object d = nb::steal(dumped);
    return call1(orvane::outside::get(o_data_formatter), m_sanitize, d);
}

Name n_formatter_class{"DataFormatter"};
Name n_secret_keys{"_SECRET_KEYS"};
Name n_mask{"MASK"};
Name n_recursion_marker{"RECURSION_MARKER"};
Name n_depth_marker{"DEPTH_MARKER"};
Name n_max_depth{"MAX_DEPTH"};

// The rules of the original DataFormatter.sanitize, read now, when the module's DataFormatter
// still has that sanitize (the native walk then gives its exact result); nullopt otherwise.
// `keep` holds the references the rules borrow.
std::optional<orvane::linefile::SanitizeRules> native_rules(std::vector<nb::object> &keep) {
    nb::object formatter = orvane::outside::get(o_data_formatter);
    PyObject *fn = nullptr;
    if (PyObject_GetOptionalAttr(formatter.ptr(), m_sanitize.get(), &fn) < 0)
        throw nb::python_error();
    bool original = fn == original_sanitize;
    Py_XDECREF(fn);
    if (!original)
        return std::nullopt;
    // The walk reads these from its own module, whatever class the caller reached it through.
    PyObject *cls = PyDict_GetItemWithError(utils_dict, n_formatter_class.get());
    PyObject *secret_keys = cls ? PyDict_GetItemWithError(utils_dict, n_secret_keys.get()) : nullptr;
    if (cls == nullptr || secret_keys == nullptr) {
        if (PyErr_Occurred())
            throw nb::python_error();
        return std::nullopt;
    }
    keep.emplace_back(nb::borrow(cls));
    keep.emplace_back(nb::borrow(secret_keys));
    orvane::linefile::SanitizeRules rules{};
    rules.secret_keys = secret_keys;
    PyObject **slots[3] = {&rules.mask, &rules.recursion_marker, &rules.depth_marker};
    Name *names[3] = {&n_mask, &n_recursion_marker, &n_depth_marker};
    for (int i = 0; i < 3; ++i) {
        keep.emplace_back(attr(nb::handle(cls), *names[i]));
        *slots[i] = keep.back().ptr();
    }
    nb::object max_depth = attr(nb::handle(cls), n_max_depth);
    if (!PyLong_CheckExact(max_depth.ptr()))
        return std::nullopt;
    int overflow = 0;
    rules.max_depth = PyLong_AsLongLongAndOverflow(max_depth.ptr(), &overflow);
    if (rules.max_depth == -1 && PyErr_Occurred())
        throw nb::python_error();
    if (overflow != 0)
        return std::nullopt;
    return rules;
}

nb::object dump_json_mode(nb::handle event) {
    PyObject *args[2] = {event.ptr(), json_text};
    nb::object kwnames = nb::make_tuple(nb::handle(n_mode.get()));
    PyObject *dumped = PyObject_VectorcallMethod(
        m_model_dump.get(), args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.ptr());
    if (dumped == nullptr)
        throw nb::python_error();
    return nb::steal(dumped);
}

// Appends the line of one event for the built-in _serialize_event: the dump is encoded with the
// sanitize rules applied on the way when `rules` is given, else sanitised in Python first.
void append_builtin_line(nb::handle event, const orvane::linefile::SanitizeRules *rules,
                         std::string &out) {
    nb::object dumped = dump_json_mode(event);
    if (rules != nullptr && orvane::linefile::append_sanitized_json(dumped, *rules, out))
        return;
    nb::object clean = call1(orvane::outside::get(o_data_formatter), m_sanitize, dumped);
    orvane::linefile::append_json(clean, out);
}

bool overridden(nb::handle self, Name &name, PyObject *ours) {
    PyObject *found = _PyType_Lookup(Py_TYPE(self.ptr()), name.get());
    return found != ours;
}

nb::object serialize(nb::handle self, nb::handle event, bool custom) {
    if (custom) {
        PyObject *r = PyObject_CallMethodOneArg(self.ptr(), n_serialize_event.get(), event.ptr());
        if (r == nullptr)
            throw nb::python_error();
        return nb::steal(r);
    }
    return serialize_builtin(event);
}

// ---------------------------------------------------------------- append_events

Task append_events_task(nb::object self, nb::object events) {
    nb::object seq = nb::steal(PySequence_Fast(events.ptr(), "events must be a sequence"));
    if (!seq.is_valid())
        throw nb::python_error();
    Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.ptr());
    if (n == 0)
        co_return nb::none();
    bool custom_serialize = overridden(self, n_serialize_event, serialize_fn);
    bool custom_write = overridden(self, n_write_lines, write_lines_fn);

    if (custom_write) {
        nb::list lines;
        std::string text;
        for (Py_ssize_t i = 0; i < n; ++i) {
            text.clear();
            orvane::linefile::append_json(
                serialize(self, PySequence_Fast_GET_ITEM(seq.ptr(), i), custom_serialize), text);
            text.push_back('\n');
            lines.append(nb::steal(PyUnicode_DecodeUTF8(text.data(),
                                                        static_cast<Py_ssize_t>(text.size()),
                                                        "strict")));
        }
        nb::object method = attr(self, n_write_lines);
        nb::object to_thread = attr(orvane::outside::get(o_asyncio), m_to_thread);
        nb::object pending = to_thread(method, lines);
        co_await orvane::coro::await(pending);
        co_return nb::none();
    }

    std::string path = abs_path_of(self);
    auto writer = orvane::linefile::writer_for(path, &hooks);
    std::string data;
    data.reserve(static_cast<size_t>(n) * 1024);
    std::vector<nb::object> keep;
    std::optional<orvane::linefile::SanitizeRules> rules;
    if (!custom_serialize)
        rules = native_rules(keep);
    for (Py_ssize_t i = 0; i < n; ++i) {
        nb::handle event = PySequence_Fast_GET_ITEM(seq.ptr(), i);
        if (custom_serialize)
            orvane::linefile::append_json(serialize(self, event, true), data);
        else
            append_builtin_line(event, rules ? &*rules : nullptr, data);
        data.push_back('\n');
    }
    auto *ticket = new Ticket();
    if (!writer->submit(std::move(data), ticket)) {
        delete ticket;
        write_now_holding_gil(self, data);  // writers are shutting down: write on this thread
        co_return nb::none();
    }
    // Our reference to the ticket, given back however this coroutine ends (also when closed).
    struct Hold {
        Ticket *t;
        ~Hold() { t->release(); }
    } hold{ticket};

    auto start = std::chrono::steady_clock::now();
    if (!ticket->done.load(std::memory_order_acquire)) {
        auto until = start + kSpinBudget;
        do {
            std::this_thread::yield();
        } while (!ticket->done.load(std::memory_order_acquire) &&
                 std::chrono::steady_clock::now() < until);
    }
    nb::object asyncio = orvane::outside::get(o_asyncio);
    while (!ticket->done.load(std::memory_order_acquire)) {
        if (std::chrono::steady_clock::now() - start > kPollBudget) {
            nb::object loop = attr(asyncio, m_get_running_loop)();
            nb::object future =
                nb::steal(PyObject_CallMethodNoArgs(loop.ptr(), m_create_future.get()));
            if (!future.is_valid())
                throw nb::python_error();
            bool wait = false;
            {
                std::lock_guard<std::mutex> lock(ticket_mu);
                if (!ticket->done.load(std::memory_order_acquire)) {
                    ticket->loop = loop.inc_ref().ptr();
                    ticket->future = future.inc_ref().ptr();
                    wait = true;
                }
            }
            if (wait)
                co_await orvane::coro::await(future);  // raises the write's OSError
            co_return nb::none();
        }
        nb::object pending = call1(asyncio, m_sleep, zero_obj);
        co_await orvane::coro::await(pending);
    }
    if (ticket->error != 0)
        raise_os_error(ticket->error, path);
    co_return nb::none();
}

// _write_lines(self, lines): a plain CPython function rather than a nanobind one, because it
// gives the GIL up while it writes. When the interpreter is finalizing, a thread taking the GIL
// back is ended with a forced unwind; it passes harmlessly through C frames, so the frame that
// takes the GIL back (write_lines_entry) holds nothing that needs unwinding, and everything that
// may throw or own resources is done in the noexcept helpers around it.
struct LinesJob {
    std::shared_ptr<orvane::linefile::FileWriter> writer;
    std::string path;
    std::string data;
};

LinesJob *prepare_lines(PyObject *self, PyObject *lines) noexcept {
    try {
        orvane::args::require_list(lines, "lines");
        std::string data;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(lines); ++i) {
            PyObject *line = PyList_GET_ITEM(lines, i);
            if (!PyUnicode_Check(line))
                orvane::args::raise_incorrect_type("lines", "list of str", line);
            Py_ssize_t size = 0;
            const char *utf8 = PyUnicode_AsUTF8AndSize(line, &size);
            if (utf8 == nullptr)
                throw nb::python_error();
            data.append(utf8, static_cast<size_t>(size));
        }
        std::string path = abs_path_of(self);
        auto writer = orvane::linefile::writer_for(path, &hooks);
        return new LinesJob{std::move(writer), std::move(path), std::move(data)};
    } catch (nb::python_error &e) {
        e.restore();
    } catch (...) {
        orvane::coro::set_python_error_from_current();
    }
    return nullptr;
}

int run_lines(LinesJob *job) noexcept { return job->writer->write_now(job->data.data(), job->data.size()); }

PyObject *finish_lines(LinesJob *job, int err) noexcept {
    PyObject *result = Py_None;
    if (err != 0) {
        PyObject *e = os_error(err, job->path);
        if (e != nullptr) {
            PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(e)), e);
            Py_DECREF(e);
        }
        result = nullptr;
    }
    delete job;
    return result == nullptr ? nullptr : Py_NewRef(result);
}

PyObject *write_lines_entry(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *self = nargs > 0 ? args[0] : nullptr;
    PyObject *lines = nargs > 1 ? args[1] : nullptr;
    Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    if (nargs + nkw != 2 || nargs < 1) {
        PyErr_Format(PyExc_TypeError, "_write_lines() takes exactly one argument 'lines' (%zd given)",
                     nargs + nkw - (nargs > 0 ? 1 : 0));
        return nullptr;
    }
    if (nkw == 1) {
        if (PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(kwnames, 0), "lines") != 0) {
            PyErr_Format(PyExc_TypeError, "_write_lines() got an unexpected keyword argument '%S'",
                         PyTuple_GET_ITEM(kwnames, 0));
            return nullptr;
        }
        lines = args[nargs];
    }
    LinesJob *job = prepare_lines(self, lines);
    if (job == nullptr)
        return nullptr;
    PyThreadState *state = PyEval_SaveThread();
    int err = run_lines(job);
    if (Py_IsFinalizing()) {
        for (;;)
            ::pause();
    }
    PyEval_RestoreThread(state);
    return finish_lines(job, err);
}

PyMethodDef write_lines_def = {
    "_write_lines", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(write_lines_entry)),
    METH_FASTCALL | METH_KEYWORDS,
    "_write_lines(lines)\n--\n\nAppend the given text lines to the file now (blocking; creates "
    "directories)."};

void init(nb::handle self, nb::handle path) {
    orvane::args::require_str(path, "path");
    nb::object p = orvane::outside::get(o_path)(path);
    if (PyObject_SetAttr(self.ptr(), a_path.get(), p.ptr()) < 0)
        throw nb::python_error();
}

nb::bytes encode_event(nb::handle event) {
    std::string out;
    std::vector<nb::object> keep;
    std::optional<orvane::linefile::SanitizeRules> rules = native_rules(keep);
    append_builtin_line(event, rules ? &*rules : nullptr, out);
    out.push_back('\n');
    return nb::bytes(out.data(), out.size());
}

nb::bytes encode_line(nb::handle value) {
    std::string out;
    orvane::linefile::append_json(value, out);
    out.push_back('\n');
    return nb::bytes(out.data(), out.size());
}

}  // namespace

NB_MODULE(Linefile, m) {
    orvane::init_support(m);
    m.doc() = "The JSON Lines backend: JSONLTraceSink appends one JSON line per event to a file.";

    orvane::outside::expose(m, "asyncio", "asyncio");
    orvane::outside::expose(m, "json", "json");
    orvane::outside::expose(m, "Path", "pathlib", "Path");
    orvane::outside::expose(m, "DataFormatter", "orvane.utils", "DataFormatter");
    orvane::outside::expose(m, "RuntimeTraceSink", "orvane_devtools.observation.TraceSink",
                            "RuntimeTraceSink");
    json_text = PyUnicode_InternFromString("json");
    zero_obj = PyLong_FromLong(0);
    {
        nb::object utils = nb::module_::import_("orvane.utils");
        utils_dict = Py_NewRef(PyModule_GetDict(utils.ptr()));
        nb::object sanitize = utils.attr("DataFormatter").attr("sanitize");
        original_sanitize = sanitize.release().ptr();
    }

    m.def("_resolve_batch", &resolve_batch, nb::arg("batch"),
          "Resolve the futures of finished batches (run on their loop).");
    resolve_batch_fn = Py_NewRef(m.attr("_resolve_batch").ptr());
    m.def(
        "_shutdown_writers",
        [] {
            PyThreadState *state = PyEval_SaveThread();
            orvane::linefile::shutdown_all();
            restore_thread(state);
        },
        "Write what is queued and stop the writer threads (registered with atexit).");
    m.def(
        "_forget_writers_after_fork", [] { orvane::linefile::forget_all_after_fork(); },
        "Drop the parent's writers in a forked child.");
    m.def("_encode_line", &encode_line, nb::arg("value").none(),
          "The bytes of one line: JSON text of ``value`` (as json.dumps with ensure_ascii=False "
          "writes it, lone surrogates escaped) in UTF-8, plus a line feed.");

    m.def("_encode_event", &encode_event, nb::arg("event").none(),
          "The bytes of the line JSONLTraceSink writes for ``event``: the JSON text of "
          "``DataFormatter.sanitize(event.model_dump(mode='json'))`` in UTF-8, plus a line feed.");

    nb::dict ns;
    ns["__doc__"] =
        "Backend that appends every event to a UTF-8 JSON Lines file, one line per event.\n\n"
        "The parent directories and the file are created on the first write. Writes run on a\n"
        "writer thread per file; each batch reaches the file as one append, so lines of\n"
        "concurrent batches never interleave. A file deleted or rotated underneath is created\n"
        "again at ``path`` by the next batch.";
    ns["name"] = "jsonl";
    ns["__init__"] = nb::cpp_function([](nb::handle self, nb::handle path) { init(self, path); },
                                      nb::is_method(), nb::name("__init__"),
                                      nb::arg("path").none(),
                                      "Create the backend for ``path`` (nothing touched yet).");
    nb::object serialize_obj = nb::cpp_function(
        [](nb::handle, nb::handle event) { return serialize_builtin(event); }, nb::is_method(),
        nb::name("_serialize_event"), nb::arg("event").none(),
        "The sanitised JSON-mode dump of ``event`` (a plain mapping).");
    nb::object write_lines_obj = nb::steal(
        PyInstanceMethod_New(nb::steal(PyCFunction_NewEx(&write_lines_def, nullptr, m.attr("__name__").ptr())).ptr()));
    if (!write_lines_obj.is_valid())
        throw nb::python_error();
    serialize_fn = Py_NewRef(serialize_obj.ptr());
    write_lines_fn = Py_NewRef(write_lines_obj.ptr());
    ns["_serialize_event"] = serialize_obj;
    ns["_write_lines"] = write_lines_obj;
    ns["append_events"] = nb::cpp_function(
        [](nb::handle self, nb::handle events) {
            return orvane::coro::wrap(append_events_task(nb::borrow(self), nb::borrow(events)),
                                      "JSONLTraceSink.append_events");
        },
        nb::is_method(), nb::name("append_events"), nb::arg("events").none(),
        "Append the events, one line each, in order (coroutine; done once written).");
    nb::object base = m.attr("RuntimeTraceSink");
    m.attr("JSONLTraceSink") = orvane::abc::make_class(
        kModule, "JSONLTraceSink", nb::steal<nb::tuple>(PyTuple_Pack(1, base.ptr())), ns);

    nb::module_::import_("atexit").attr("register")(m.attr("_shutdown_writers"));
    nb::module_::import_("os").attr("register_at_fork")(
        nb::arg("after_in_child") = m.attr("_forget_writers_after_fork"));
    m.attr("__all__") = nb::make_tuple("JSONLTraceSink");
}
