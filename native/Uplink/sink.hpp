// RemoteTraceSink internals shared by the binding files.
//
// Instance layout: the Python object is an instance of an abc class (its methods are C++
// functions). Its configuration and back-off fields are ordinary attributes in the instance
// __dict__; the queue, the counters, the locks, the worker event and thread live in a native
// SinkState stored in the __dict__ under "_uplink_state", and the class exposes them through
// properties under the documented attribute names.
//
// Locking: `_pending_lock`, `_flush_lock` and `_stats_lock` are real threading.Lock objects.
// C++ takes them through their acquire/release methods (a blocked acquire releases the GIL),
// so Python code that does `with sink._pending_lock:` excludes the native operations exactly as
// it would exclude Python ones. The native structures themselves are only touched with the GIL
// held and are never left half-changed across a call that could release it.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <vector>

#include "core.hpp"
#include "orvane/pyutil.hpp"
#include "orvane/support.hpp"

namespace orvane::uplink {

namespace nb = nanobind;
using orvane::outside::Name;

struct SinkState {
    PendingQueue queue;  // items are strong references to event snapshots

    int64_t enqueued = 0;
    int64_t dropped = 0;
    int64_t dropped_high_frequency = 0;
    int64_t dropped_terminal = 0;
    int64_t coalesced_events = 0;
    int64_t coalesced_items = 0;
    int64_t upload_batches = 0;
    int64_t uploaded_events = 0;
    int64_t upload_failures = 0;
    int64_t exit_unsent = 0;
    nb::object last_upload_at = nb::none();
    nb::object last_failure_at = nb::none();
    nb::object last_failure = nb::none();

    nb::object pending_lock, flush_lock, stats_lock;
    nb::object pending_acquire, pending_release, stats_acquire, stats_release;

    nb::object worker_event;
    nb::object worker_thread = nb::none();
    bool worker_starting = false;  // a thread is being created and started right now
    bool worker_alive = false;     // the body of worker_thread is running
    bool worker_backing_off = false;  // the worker waits for a back-off deadline (not for events)

    SinkState();
    ~SinkState();
    SinkState(const SinkState &) = delete;
    SinkState &operator=(const SinkState &) = delete;

    // New locks (and their bound methods); used at construction and in a forked child.
    void new_locks();
    void set_pending_lock(nb::object lock);
    void set_stats_lock(nb::object lock);
    void clear_queue();
};

// The native state of `self` (and a reference that keeps it alive).
struct StateRef {
    nb::object holder;
    SinkState *st;
    SinkState *operator->() const { return st; }
};
StateRef state_of(nb::handle self);

// Holds a threading.Lock for a scope: acquire()/release() through the lock's own methods.
class LockGuard {
public:
    LockGuard(const nb::object &acquire, const nb::object &release);
    ~LockGuard();
    LockGuard(const LockGuard &) = delete;
    LockGuard &operator=(const LockGuard &) = delete;

private:
    nb::object release_;
};

inline LockGuard pending_guard(SinkState &st) { return LockGuard(st.pending_acquire, st.pending_release); }
inline LockGuard stats_guard(SinkState &st) { return LockGuard(st.stats_acquire, st.stats_release); }

// --- module-level objects (set at module init; leaked, never destroyed) ---------------------
extern PyObject *g_warning_category;  // ObservationBridgeUnavailableWarning
extern PyObject *g_mapping_abc;       // collections.abc.Mapping
extern PyObject *g_base_model_copy;   // pydantic.BaseModel.__copy__
extern PyObject *g_base_model_model_copy;
extern PyObject *g_fn_serialize;       // RemoteTraceSink._serialize_event as defined here
extern PyObject *g_fn_peek;            // RemoteTraceSink._peek_pending_batch as defined here

void init_globals();

// --- captures (sink_queue.cpp, body_json.cpp) -------------------------------------------------
//
// Queue entries of the common shape (the exact RuntimeEvent class, run None or the exact
// RuntimeRunContext class, plain instance state) are kept as a capture instead of a snapshot
// model: a list [the 10 field values, fields-set mask, snapshot or None]. It holds the values the
// snapshot would hold (payload and meta as first-level copies, the run as a run capture: a list
// [its 10 field values with meta copied, fields-set mask]). The snapshot model is built when
// Python code first asks for the entry, and kept in the capture from then on, so every later
// request sees the same object; the upload body is encoded from the capture directly while no
// snapshot was built.
constexpr Py_ssize_t kCaptureFields = 10;
constexpr Py_ssize_t kCaptureMask = 10;
constexpr Py_ssize_t kCaptureSnapshot = 11;

struct EventClasses {
    PyTypeObject *event = nullptr, *run = nullptr;  // nullptr: captures are not used
    PyObject *event_names[kCaptureFields] = {};     // interned field names, declared order
    PyObject *run_names[kCaptureFields] = {};
};
const EventClasses &event_classes();  // body_json.cpp

// A capture of `event`, or an invalid object when the event does not have the common shape.
nb::object capture_event(nb::handle event);
// The snapshot of a capture (built on first use, then the same object).
nb::object capture_snapshot(nb::handle capture);
// The queue entry as the snapshot Python code sees.
nb::object entry_snapshot(const QueueEntry &e);
// The event id of a queue entry (from the capture while no snapshot was built).
nb::object entry_event_id(const QueueEntry &e);

// --- queue, snapshots, statistics (sink_queue.cpp) ------------------------------------------
nb::object snapshot_run_context(nb::handle run);
nb::object snapshot_event(nb::handle event);
// Shallow model copy with some fields replaced (model_copy(update=...)).
nb::object copy_with_update(nb::handle model, std::initializer_list<std::pair<Name *, nb::handle>> updates);
bool is_terminal_or_result_event(nb::handle event);
bool is_preferred_drop_event(nb::handle event);
void drop_one_locked(SinkState &st);
void enqueue_events(nb::handle self, SinkState &st, nb::handle events);
void enqueue_one(nb::handle self, SinkState &st, nb::handle event);
bool has_pending(SinkState &st);
nb::list peek_batch(nb::handle self, SinkState &st);
void drop_uploaded(SinkState &st, nb::handle ids);
nb::dict get_stats(nb::handle self);
void queue_push_raw(SinkState &st, nb::handle item, bool front);

// --- texts -----------------------------------------------------------------------------------
std::string to_text(nb::handle value);  // str(value) as UTF-8
// Secrets that must never appear in a text we produce: the API key and the endpoint's
// credentials.
std::vector<std::string> secrets_of(nb::handle self);
std::string public_endpoint(nb::handle self);

// --- upload, worker (sink_upload.cpp) --------------------------------------------------------
nb::object flush_pending_events(nb::handle self, bool drain, bool force);
nb::object probe_local_listener(nb::handle self);
nb::object append_events_async(nb::handle self, nb::handle events);
nb::object flush_async(nb::handle self);
void mark_available(nb::handle self);
void mark_unavailable(nb::handle self, nb::handle error);
std::string build_warning_message(nb::handle self, nb::handle error);
nb::object serialize_event(nb::handle self, nb::handle event);
// The upload body as UTF-8 JSON bytes for a list of queued snapshots, encoded natively, or an
// invalid object when the batch needs the Python path (body_json.cpp).
// Items of `batch` whose flag in `captured` is set are captures, the others snapshots.
nb::object encode_body_native(nb::handle self, nb::handle batch, const std::vector<char> *captured = nullptr);
// encode_body_native when this sink serializes events its own way and DataFormatter.sanitize is
// the original one; else an invalid object (sink_upload.cpp).
nb::object native_body(nb::handle self, nb::handle batch, const std::vector<char> *captured = nullptr);
// The first `_batch_size` entries as they are stored (captures not turned into snapshots), with
// their capture flags (sink_queue.cpp).
nb::list peek_raw(nb::handle self, SinkState &st, std::vector<char> &captured);
bool ensure_background_flush(nb::handle self);
bool ensure_background_flush(nb::handle self, SinkState &st);
void run_flush_sync(nb::handle self, bool drain, bool force);
void background_flush_worker(nb::handle self);
nb::object resolve_local_listener_target(nb::handle self);
void exit_flush(nb::handle self);
extern bool g_shutting_down;  // set by the exit hook: workers leave their loop
void reinit_after_fork(nb::handle self);

}  // namespace orvane::uplink
