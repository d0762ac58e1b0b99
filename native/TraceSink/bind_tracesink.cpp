// RuntimeTraceSink: the abstract base of every storage backend.
//
// It is made as an abc class (abc.ABCMeta) whose methods are C++ functions, so Python subclasses
// (`async def append_events`) and the C++ backends derive from it alike, and a class that does
// not override append_events cannot be instantiated.
#include <nanobind/nanobind.h>

#include "orvane/support.hpp"

namespace nb = nanobind;
using orvane::coro::Task;

namespace {

constexpr const char *kModule = "orvane_devtools.observation.TraceSink";

Task append_event(nb::object self, nb::object event) {
    nb::list batch;
    batch.append(event);
    nb::object pending = self.attr("append_events")(batch);
    co_await orvane::coro::await(pending);
    co_return nb::none();
}

Task append_events_not_implemented() {
    PyErr_SetNone(PyExc_NotImplementedError);
    throw nb::python_error();
    co_return nb::none();
}

// Awaits each awaitable in order and returns the list of their results; an exception that is an
// instance of `catch_type` becomes that list item instead of ending the call. A diagnostic for
// the native coroutine bridge, used by the test-suite.
Task await_each(nb::list awaitables, nb::object catch_type) {
    nb::list results;
    for (nb::handle item : awaitables) {
        try {
            results.append(co_await orvane::coro::await(item));
        } catch (nb::python_error &e) {
            if (catch_type.is_none() || !e.matches(catch_type))
                throw;
            results.append(e.value());
        }
    }
    co_return results;
}

}  // namespace

NB_MODULE(TraceSink, m) {
    orvane::init_support(m);
    m.doc() = "The backend contract: RuntimeTraceSink, the abstract base of storage backends.";

    nb::dict ns;
    ns["__doc__"] =
        "Abstract base of every storage backend.\n\n"
        "A backend implements the asynchronous ``append_events(events)``; ``append_event(event)``"
        "\nawaits ``append_events([event])`` once.";
    ns["name"] = "runtime_observation_backend";
    ns["append_event"] = nb::cpp_function(
        [](nb::handle self, nb::handle event) {
            return orvane::coro::wrap(append_event(nb::borrow(self), nb::borrow(event)),
                                      "RuntimeTraceSink.append_event");
        },
        nb::is_method(), nb::name("append_event"), nb::arg("event"),
        "Append one event: awaits ``self.append_events([event])``.");
    ns["append_events"] = orvane::abc::abstract_method(nb::cpp_function(
        [](nb::handle, nb::handle) {
            return orvane::coro::wrap(append_events_not_implemented(),
                                      "RuntimeTraceSink.append_events");
        },
        nb::is_method(), nb::name("append_events"), nb::arg("events"),
        "Append a batch of events. Backends must override it."));
    m.attr("RuntimeTraceSink") =
        orvane::abc::make_class(
        kModule, "RuntimeTraceSink",
        nb::steal<nb::tuple>(PyTuple_Pack(1, reinterpret_cast<PyObject *>(&PyBaseObject_Type))), ns);

    m.def(
        "_await_each",
        [](nb::list awaitables, nb::object catch_type) {
            return orvane::coro::wrap(await_each(std::move(awaitables), std::move(catch_type)),
                                      "_await_each");
        },
        nb::arg("awaitables"), nb::arg("catch_type") = nb::none(),
        "Await each awaitable in order; exceptions of ``catch_type`` become results.");

    m.def(
        "_deep_copy", [](nb::handle obj) { return orvane::models::deep_copy(obj); }, nb::arg("obj"),
        "The native deep copy used for every event and record copy (same result as copy.deepcopy).");
}
