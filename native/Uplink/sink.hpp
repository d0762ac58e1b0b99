// RemoteTraceSink internals shared by the binding files.
//
// RemoteTraceSink is an exporter of the shared export queue (orvane/export_queue.hpp): its queue,
// counters, locks, back-off state, worker and exit/fork handling are the shared ones, held in an
// `_ExportState` object under the instance attribute "_export_state" and shown through the
// properties of exporting::add_state_properties. What is the upload backend's own lives here:
// the capture of events (snapshots and compact captures), the drop classification, the upload
// body, the answers of the listener, the local listener probe, and the hooks that route the
// shared flush run through the Python-visible methods (`_peek_pending_batch`,
// `_drop_uploaded_batch`, `_mark_unavailable`, ...) whenever a subclass or the instance replaced
// one of them.
//
// Instance layout: the Python object is an instance of an abc class (its methods are C++
// functions); `endpoint`, `api_key`, `app_id`, `group_id`, `environment`,
// `_local_listener_target` and `_needs_local_probe` are ordinary attributes in the instance
// __dict__, everything else is native state.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <string>
#include <vector>

#include "core.hpp"
#include "orvane/export_queue.hpp"
#include "orvane/pyutil.hpp"
#include "orvane/support.hpp"

namespace orvane::uplink {

namespace nb = nanobind;
using orvane::exporting::ExportState;
using orvane::exporting::QueueEntry;
using orvane::exporting::StateRef;
using orvane::exporting::state_of;
using orvane::outside::Name;
using orvane::py::is_own_method;  // a replaced method (subclass, instance, custom attribute access) is called
using orvane::py::text_of;        // str(value) as UTF-8 for texts (URLs, messages)

// The hooks of RemoteTraceSink (sink_queue.cpp, sink_upload.cpp).
struct UplinkExporter final : orvane::exporting::Exporter {
    const char *worker_name() const override { return "ObservationBridgeFlushWorker"; }
    const char *kind() const override { return "RemoteTraceSink"; }

    orvane::exporting::Captured capture(nb::handle self, ExportState &st, nb::handle event) const override;
    orvane::exporting::ItemFlags flags_of(nb::handle item) const override;
    nb::object item_id(nb::handle item, bool compact) const override;

    bool has_pending(nb::handle self, ExportState &st) const override;
    orvane::exporting::Batch take_batch(nb::handle self, ExportState &st) const override;
    nb::object before_send(nb::handle self, ExportState &st) const override;
    std::unique_ptr<orvane::exporting::ItemEncoder> encoder(nb::handle self, ExportState &st,
                                                            const orvane::exporting::Batch &batch) const override;
    nb::object frame(nb::handle self, ExportState &st, const orvane::exporting::Batch &batch,
                     const orvane::exporting::Encoded &enc, size_t begin, size_t end) const override;
    nb::object send(nb::handle self, ExportState &st, nb::handle client, nb::handle body) const override;
    orvane::exporting::Answer classify(nb::handle self, ExportState &st, nb::handle response) const override;
    void delivered(nb::handle self, ExportState &st, const orvane::exporting::Batch &batch,
                   const std::vector<size_t> &items) const override;
    void mark_available(nb::handle self, ExportState &st) const override;
    void mark_unavailable(nb::handle self, ExportState &st, nb::handle error,
                          std::optional<double> retry_after) const override;
    std::string public_endpoint(nb::handle self) const override;
    std::vector<std::string> secrets(nb::handle self) const override;
    PyObject *outage_category() const override;
    std::string outage_message(nb::handle self, nb::handle error) const override;
    PyObject *set_aside_category() const override;

    void run_pass(nb::handle self, ExportState &st, bool drain) const override;
    void pass_failed(nb::handle self, ExportState &st, nb::handle error) const override;
    nb::object run_coroutine(nb::handle self, bool drain, bool force) const override;
    void after_fork(nb::handle self, ExportState &st) const override;
};

extern const UplinkExporter g_hooks;

// --- module-level objects (set at module init; leaked, never destroyed) ---------------------
extern PyObject *g_warning_category;   // ObservationBridgeUnavailableWarning
extern PyObject *g_set_aside_category;  // ObservationBridgeEventSetAsideWarning
extern PyObject *g_base_model_copy;    // pydantic.BaseModel.__copy__
extern PyObject *g_base_model_model_copy;
// The methods as defined here, to tell whether a subclass or the instance replaced them.
extern PyObject *g_fn_serialize, *g_fn_peek, *g_fn_has_pending, *g_fn_drop_uploaded, *g_fn_mark_available,
    *g_fn_mark_unavailable, *g_fn_enqueue, *g_fn_ensure;

void init_globals();

// --- captures (sink_queue.cpp, body_json.cpp) -------------------------------------------------
//
// Queue entries of the common shape (the exact RuntimeEvent class, run None or the exact
// RuntimeRunContext class, plain instance state) are kept as a capture instead of a snapshot
// model: a small native object (`_Capture`) with the 10 field values in declared order, the mask
// of the fields set, and the snapshot once one was built. It holds the values the snapshot would
// hold (payload and meta as first-level copies, the run as a run capture: the same kind of
// object with the run's 10 field values, its meta copied). The snapshot model is built when
// Python code first asks for the entry, and kept in the capture from then on, so every later
// request sees the same object; the upload body is encoded from the capture directly while no
// snapshot was built. Such entries carry QueueEntry::compact. Captures are not tracked by the
// cycle collector: only the queue refers to them, and what they hold was copied for them.
constexpr Py_ssize_t kCaptureFields = 10;

struct Capture {
    PyObject_HEAD
    PyObject *values[kCaptureFields];  // strong references
    PyObject *snapshot;                // strong reference, or nullptr until built
    uint32_t mask;                     // bit i: field i is in the fields set
};

extern PyTypeObject *g_capture_type;
inline bool is_capture(PyObject *obj) { return Py_TYPE(obj) == g_capture_type; }
inline Capture *as_capture(PyObject *obj) { return reinterpret_cast<Capture *>(obj); }
// Creates the `_Capture` type in the module (once, at module init).
void init_capture_type(nb::module_ &m);

struct EventClasses {
    PyTypeObject *event = nullptr, *run = nullptr;  // nullptr: captures are not used
    PyObject *event_names[kCaptureFields] = {};     // interned field names, declared order
    PyObject *run_names[kCaptureFields] = {};
    Py_hash_t event_hashes[kCaptureFields] = {};    // their hashes
    Py_hash_t run_hashes[kCaptureFields] = {};
};
const EventClasses &event_classes();  // body_json.cpp

// The snapshot of a capture (built on first use, then the same object).
nb::object capture_snapshot(nb::handle capture);
// The queue entry as the snapshot Python code sees.
nb::object entry_snapshot(const QueueEntry &e);
// A queued item as the snapshot Python code sees (`compact`: the item is a capture).
nb::object item_snapshot(nb::handle item, bool compact);

// --- queue, snapshots, statistics (sink_queue.cpp) ------------------------------------------
nb::object snapshot_run_context(nb::handle run);
nb::object snapshot_event(nb::handle event);
// Shallow model copy with some fields replaced (model_copy(update=...)).
nb::object copy_with_update(nb::handle model, std::initializer_list<std::pair<Name *, nb::handle>> updates);
bool is_terminal_or_result_event(nb::handle event);
bool is_preferred_drop_event(nb::handle event);
nb::list peek_batch(ExportState &st);
void drop_uploaded(ExportState &st, nb::handle ids);
nb::dict get_stats(nb::handle self);

// --- intake (sink_intake.cpp) ----------------------------------------------------------------
void init_sink(nb::handle self, nb::object endpoint, nb::object api_key, nb::object app_id, nb::object group_id,
               nb::object environment, nb::object timeout, nb::object buffer_limit, nb::object batch_size,
               nb::object interval);
// append_event_nowait (`single`) / append_events_nowait.
void append_nowait(nb::handle self, nb::handle arg, bool single);

// --- the `_pending_events` view (pending_view.cpp) --------------------------------------------
void init_pending_view(nb::module_ &m);
nb::object pending_events_property();

// --- upload (sink_upload.cpp) ----------------------------------------------------------------
nb::object flush_pending_events(nb::handle self, bool drain, bool force);
nb::object probe_local_listener(nb::handle self);
nb::object append_events_async(nb::handle self, nb::handle events);
nb::object flush_async(nb::handle self);
void mark_available(nb::handle self);
void mark_unavailable(nb::handle self, nb::handle error);
std::string build_warning_message(nb::handle self, nb::handle error);
nb::object serialize_event(nb::handle self, nb::handle event);
nb::object resolve_local_listener_target(nb::handle self);
// The upload body for `batch` (queued snapshots) as the native encoder writes it, or an invalid
// object when one of them needs the Python path.
nb::object encode_batch_natively(nb::handle self, nb::handle batch);

// --- the native writer of one event (body_json.cpp) -------------------------------------------
//
// Writes events as `DataFormatter.sanitize(normalized.model_dump(mode="json"))` would be written
// by json.dumps(ensure_ascii=False, separators=(",", ":"), allow_nan=False), for the shapes
// events normally have; anything else makes write() return false (with `out` unchanged), and
// the caller takes the Python path for that event. Make one only while the module's
// DataFormatter has the original sanitize (orvane::sanitize::is_original()).
class EventWriter {
public:
    // Invalid (usable() false) unless the exact event classes are known, the sanitizer's rules
    // can be read and the sink's app_id, group_id and environment are str or None.
    explicit EventWriter(nb::handle self);
    ~EventWriter();
    EventWriter(const EventWriter &) = delete;
    EventWriter &operator=(const EventWriter &) = delete;
    bool usable() const { return impl_ != nullptr; }
    // `item` is a snapshot model, or a capture when `compact`.
    bool write(nb::handle item, bool compact, std::string &out);

private:
    struct Impl;
    Impl *impl_ = nullptr;
};

}  // namespace orvane::uplink
