#include "fastpaths.hpp"

#include "config.hpp"
#include "desk.hpp"

#include "names.hpp"
#include "pyutil.hpp"

namespace orvane::desk {

using namespace names;

namespace {

Name m_flow_key{"_flow_key"};
Name m_record_flow_run{"_record_flow_run"};
Name m_match{"_match"};
Name m_deliver{"_deliver"};

// The package's own functions, as their classes define them (kept for the process).
PyObject *own_capture_event = nullptr;  // RuntimeFlowRegistry.capture_event
PyObject *own_publish = nullptr;        // RuntimeObservationSubscriptions.publish

PyObject *class_function(const char *module, const char *cls, const char *name) {
    nb::object c = nb::module_::import_(module).attr(cls);
    return nb::object(c.attr("__dict__")[name]).release().ptr();
}

}  // namespace

void init_fastpath_originals() {
    if (own_capture_event != nullptr)
        return;
    own_capture_event = class_function("orvane_devtools.observation.flow_registry",
                                       "RuntimeFlowRegistry", "capture_event");
    own_publish = class_function("orvane_devtools.observation.subscriptions",
                                 "RuntimeObservationSubscriptions", "publish");
}

void init_originals() {
    init_settings_originals();
    init_fastpath_originals();
}

// ---------------------------------------------------------------- flow capture

void FlowStep::begin(nb::handle desk, nb::handle copy) {
    registry_ = attr(desk, a_flow_registry);
    own_ = still_own(registry_, m_capture_event, own_capture_event);
    if (!own_) {
        call1(registry_, m_capture_event, copy);
        return;
    }
    // capture_event is `key = self._flow_key(event)`, then `self._record_flow_run(*key)`.
    nb::object key = call1(registry_, m_flow_key, copy);
    if (key.is_none())
        return;
    key_args_ = checked(PySequence_Tuple(key.ptr()));
}

void FlowStep::finish() {
    if (!own_ || !key_args_.is_valid())
        return;
    nb::object method = attr(registry_, m_record_flow_run);
    checked(PyObject_Call(method.ptr(), key_args_.ptr(), nullptr));
}

// ---------------------------------------------------------------- publication

void PublishStep::prepare(nb::handle desk, nb::handle copy) {
    registry_ = attr(desk, a_subscriptions);
    copy_ = nb::borrow(copy);
    own_ = still_own(registry_, m_publish, own_publish);
    if (own_)  // publish is `delivery = self._match(event)`, then `self._deliver(event, delivery)`
        delivery_ = call1(registry_, m_match, copy);
}

void PublishStep::deliver() {
    if (!own_) {
        call1(registry_, m_publish, copy_);
        return;
    }
    if (!delivery_.is_none())
        call2(registry_, m_deliver, copy_, delivery_);
}

}  // namespace orvane::desk
