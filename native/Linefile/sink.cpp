#include "sink.hpp"

#include <cerrno>
#include <memory>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

#include "completion.hpp"
#include "lines.hpp"
#include "linewriter.hpp"
#include "orvane/exit_gate.hpp"
#include "orvane/support.hpp"
#include "orvane/pyutil.hpp"

namespace orvane::linefile {

namespace {

using orvane::coro::Task;
using orvane::outside::Name;
using orvane::py::attr;

constexpr const char *kModule = "orvane_devtools.observation.backends.Linefile";

Name a_path{"path"};
Name o_asyncio{"asyncio"};
Name o_path{"Path"};
Name o_runtime_trace_sink{"RuntimeTraceSink"};
Name m_to_thread{"to_thread"};
Name m_write_lines{"_write_lines"};
Name m_serialize_event{"_serialize_event"};

// Our methods, to tell them from replacements (kept for the process).
PyObject *serialize_fn = nullptr;
PyObject *write_lines_fn = nullptr;

// ---------------------------------------------------------------- the file of a sink

// The absolute file-system path of `path` (a path object), as bytes for the OS.
std::string absolute_path(nb::handle path) {
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
    if (!p.empty() && p[0] == '/')
        return p;
    std::vector<char> buf(4096);
    while (::getcwd(buf.data(), buf.size()) == nullptr) {
        if (errno != ERANGE) {
            PyErr_SetFromErrno(PyExc_OSError);
            throw nb::python_error();
        }
        buf.resize(buf.size() * 2);
    }
    std::string cwd = buf.data();
    if (cwd.empty() || cwd.back() != '/')
        cwd.push_back('/');
    return cwd + p;
}

// The writer of the last absolute path object seen: sinks keep their path object, so a sink
// appending again finds its writer without converting the path and searching the registry.
// Relative paths are resolved each time (they follow the working directory).
struct LastWriter {
    PyObject *path = nullptr;  // strong: the object cannot be replaced by another at its address
    std::shared_ptr<FileWriter> writer;
};
LastWriter *last_writer = new LastWriter();  // kept for the process

std::shared_ptr<FileWriter> writer_of(nb::handle self) {
    nb::object path = attr(self, a_path);
    if (path.ptr() == last_writer->path)
        return last_writer->writer;
    std::string abs = absolute_path(path);
    auto writer = writer_for(abs, &writer_hooks());
    nb::object fs = nb::steal(PyOS_FSPath(path.ptr()));
    bool absolute = fs.is_valid() && PyUnicode_Check(fs.ptr()) && PyUnicode_GET_LENGTH(fs.ptr()) > 0 &&
                    PyUnicode_READ_CHAR(fs.ptr(), 0) == '/';
    PyErr_Clear();
    if (absolute) {
        Py_XSETREF(last_writer->path, path.release().ptr());
        last_writer->writer = writer;
    }
    return writer;
}

// ---------------------------------------------------------------- methods

void init(nb::handle self, nb::handle path) {
    orvane::args::require_str(path, "path");
    nb::object p = orvane::outside::get(o_path)(path);
    orvane::py::set_attr(self, a_path, p);
}

// The lines of a batch through replaced hooks, as str objects for `_write_lines`.
nb::list python_lines(nb::handle self, nb::handle seq, bool own_serialize) {
    nb::list lines;
    std::string text;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.ptr()); ++i) {
        nb::handle event = PySequence_Fast_GET_ITEM(seq.ptr(), i);
        text.clear();
        append_json(own_serialize ? serialize_event(event) : orvane::py::call1(self, m_serialize_event, event),
                    text);
        text.push_back('\n');
        lines.append(orvane::py::text_from_utf8(text));
    }
    return lines;
}

// The bytes of a batch: its lines, one after the other.
std::string batch_bytes(nb::handle self, nb::handle seq, bool own_serialize) {
    Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.ptr());
    std::string data;
    data.reserve(static_cast<size_t>(n) * 1024);
    std::optional<sanitize::Rules> rules;
    if (own_serialize)
        rules = native_rules();
    for (Py_ssize_t i = 0; i < n; ++i) {
        nb::handle event = PySequence_Fast_GET_ITEM(seq.ptr(), i);
        if (own_serialize)
            append_event_json(event, rules ? &*rules : nullptr, data);
        else
            append_json(orvane::py::call1(self, m_serialize_event, event), data);
        data.push_back('\n');
    }
    return data;
}

Task append_events_task(nb::object self, nb::object events) {
    nb::object seq = nb::steal(PySequence_Fast(events.ptr(), "events must be a sequence"));
    if (!seq.is_valid())
        throw nb::python_error();
    if (PySequence_Fast_GET_SIZE(seq.ptr()) == 0)
        co_return nb::none();
    bool own_serialize = orvane::py::is_own_method(self, m_serialize_event, serialize_fn);

    // A replaced _write_lines gets the lines as str objects, in a worker thread of the host.
    if (!orvane::py::is_own_method(self, m_write_lines, write_lines_fn)) {
        nb::list lines = python_lines(self, seq, own_serialize);
        nb::object method = attr(self, m_write_lines);
        nb::object pending = orvane::py::call_kw(attr(orvane::outside::get(o_asyncio), m_to_thread),
                                                 {method, lines}, {});
        co_await orvane::coro::await(pending);
        co_return nb::none();
    }

    // Encode everything first: a serialisation error raises before anything is written.
    std::string data = batch_bytes(self, seq, own_serialize);
    PendingWrite write(writer_of(self), std::move(data));
    while (!write.done()) {
        nb::object waiting = write.wait();
        co_await orvane::coro::await(waiting);
    }
    write.raise_if_failed();
    co_return nb::none();
}

// _write_lines(self, lines): a plain CPython function rather than a nanobind one, because it
// gives the GIL up while it writes. The call is a section of the module's exit gate; it takes the
// GIL back through exit_gate::restore (a thread still writing when the exit hook has given up
// waiting is parked there), and the frame that does (write_lines_entry) holds nothing else that
// needs unwinding; what may throw or own resources is done in the helpers around it.
struct LinesJob {
    std::shared_ptr<FileWriter> writer;
    std::string data;
};

// Not noexcept: the calls into Python here may end the thread with a forced unwind, which must
// pass (see pyutil.hpp).
LinesJob *prepare_lines(PyObject *self, PyObject *lines) {
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
        return new LinesJob{writer_of(self), std::move(data)};
    } catch (nb::python_error &e) {
        e.restore();
    } ORVANE_CATCH_ALL_BUT_FORCED_UNWIND {
        orvane::coro::set_python_error_from_current();
    }
    return nullptr;
}

int run_lines(LinesJob *job) noexcept { return job->writer->write_now(job->data.data(), job->data.size()); }

PyObject *finish_lines(LinesJob *job, int err) noexcept {
    std::unique_ptr<LinesJob> owned(job);
    if (err == 0)
        return Py_NewRef(Py_None);
    try {
        raise_os_error(err, job->writer->path());
    } catch (nb::python_error &e) {
        e.restore();
    }
    return nullptr;
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
    orvane::exit_gate::Section section;
    LinesJob *job = prepare_lines(self, lines);
    if (job == nullptr)
        return nullptr;
    PyThreadState *state = PyEval_SaveThread();
    int err = run_lines(job);
    orvane::exit_gate::restore(state);
    return finish_lines(job, err);
}

PyMethodDef write_lines_def = {
    "_write_lines", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(write_lines_entry)),
    METH_FASTCALL | METH_KEYWORDS,
    // "$self": inspect drops it from the bound method (sink._write_lines(lines)) and keeps it,
    // positional-only, on the function the class holds.
    "_write_lines($self, lines)\n--\n\nAppend the given text lines to the file now (blocking; creates "
    "directories)."};

}  // namespace

void forget_sink_state_after_fork() {
    // The parent's writers belong to the registry the child leaves behind.
    last_writer = new LastWriter();
}

void init_sink(nb::module_ &m) {
    nb::dict ns;
    ns["__doc__"] =
        "Backend that appends every event to a UTF-8 JSON Lines file, one line per event.\n\n"
        "The parent directories and the file are created on the first write. Writes run on a\n"
        "writer thread per file; each batch reaches the file as one append, so lines of\n"
        "concurrent batches never interleave. A file deleted or rotated underneath is created\n"
        "again at ``path`` by the next batch.";
    ns["name"] = "jsonl";
    // Every entry point that calls Python is a section of the module's exit gate.
    ns["__init__"] = nb::cpp_function(
        [](nb::handle self, nb::handle path) {
            orvane::exit_gate::Section section;
            init(self, path);
        },
                                      nb::is_method(), nb::name("__init__"), nb::arg("path").none(),
                                      "Create the backend for ``path`` (nothing touched yet).");
    nb::object serialize = nb::cpp_function(
        [](nb::handle, nb::handle event) {
            orvane::exit_gate::Section section;
            return serialize_event(event);
        },
        nb::is_method(),
        nb::name("_serialize_event"), nb::arg("event").none(),
        "The sanitised JSON-mode dump of ``event`` (a plain mapping).");
    nb::object write_lines = nb::steal(PyInstanceMethod_New(
        nb::steal(PyCFunction_NewEx(&write_lines_def, nullptr, m.attr("__name__").ptr())).ptr()));
    if (!write_lines.is_valid())
        throw nb::python_error();
    serialize_fn = nb::object(serialize).release().ptr();
    write_lines_fn = nb::object(write_lines).release().ptr();
    ns["_serialize_event"] = serialize;
    ns["_write_lines"] = write_lines;
    ns["append_events"] = nb::cpp_function(
        [](nb::handle self, nb::handle events) {
            return orvane::coro::wrap(append_events_task(nb::borrow(self), nb::borrow(events)),
                                      "JSONLTraceSink.append_events");
        },
        nb::is_method(), nb::name("append_events"), nb::arg("events").none(),
        "Append the events, one line each, in order (coroutine; done once written).");
    nb::object base = orvane::outside::get(o_runtime_trace_sink);
    m.attr("JSONLTraceSink") = orvane::abc::make_class(
        kModule, "JSONLTraceSink", nb::steal<nb::tuple>(PyTuple_Pack(1, base.ptr())), ns);
}

}  // namespace orvane::linefile
