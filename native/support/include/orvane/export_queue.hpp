// The HTTP export queue shared by the exporters of this package (the upload backend
// RemoteTraceSink, the OTLP exporter): a bounded pending queue with its drop policy and
// counters, one batching daemon worker per exporter, flush runs that encode each queued item on
// its own (an item that cannot be encoded is set aside, the rest goes on), send batches, read
// the answer (delivered / retry with back-off honouring Retry-After / split a refused batch down
// to the item it refuses / drop) and keep the availability state; plus the exit flush and the
// fork handling of every exporter of a module. The Python-free parts (queue, back-off,
// Retry-After, verdicts, URLs) are in export_core.hpp.
//
// == How an exporter plugs in ==
//
// 1. Derive from `Exporter` and implement its pure hooks: capture (a caller's event -> a queue
//    item, any Python object, with its drop flags: preferred / terminal, and `compact` when the
//    item is an exporter-specific compact form), flags_of (the same flags for an item Python
//    code pushes itself), item_id, encoder (made per batch; encodes item by item and returns
//    the error of an item it cannot encode, which is then set aside), frame (the request body
//    for a range of encoded items; a refused batch is framed again in halves), send (an
//    awaitable of the response), classify (the response -> a Verdict, with Retry-After and the
//    failure as an exception for texts), and the texts: public_endpoint, secrets,
//    outage_category / outage_message (the warning once per outage), set_aside_category. The
//    other hooks have defaults that work on the native state; override them to route through
//    Python-visible methods, as RemoteTraceSink does (native/Uplink/sink.hpp).
// 2. In NB_MODULE, after orvane::init_support(m): `orvane::exporting::init(m, "_live_sinks")`
//    (the module's state and wake-event types, its exit and fork hooks, the registry of live
//    exporters under that name). Before it, expose "threading", "time", "asyncio", "httpx",
//    "LazyImport" (orvane.utils), "warnings" and "logging" as outside names of the module
//    (orvane::outside::expose); they are read at each use, so tests can replace them.
// 3. Make the Python class (orvane::abc::make_class) with a namespace that holds
//    add_state_properties(ns) (locks, worker event and thread, counters, back-off fields) and
//    methods that forward to this header: enqueue_one / enqueue_many (+ ensure_worker) for the
//    intake, flush_coroutine for the flush run, run_flush_sync, worker_main as the thread target
//    (the method named by Exporter::worker_method), exit_flush.
// 4. In __init__: `nb::object holder = new_state(hooks)`, configure `state(holder)`, store the
//    holder as the instance attribute "_export_state", then `register_exporter(self)`.
//
// Sketch for the OTLP exporter:
//     struct SpanExporter final : orvane::exporting::Exporter {
//         const char *worker_name() const override { return "OtlpExportWorker"; }
//         const char *kind() const override { return "OtlpTraceSink"; }
//         Captured capture(nb::handle self, ExportState &st, nb::handle event) const override;
//         ItemFlags flags_of(nb::handle item) const override;
//         nb::object item_id(nb::handle item, bool compact) const override;
//         std::unique_ptr<ItemEncoder> encoder(nb::handle self, ExportState &st,
//                                              const Batch &batch) const override;  // span bytes
//         nb::object frame(nb::handle self, ExportState &st, const Batch &batch,
//                          const Encoded &enc, size_t begin, size_t end) const override;  // gzip
//         nb::object send(nb::handle self, ExportState &st, nb::handle client,
//                         nb::handle body) const override;  // client.post(url, content=..., headers=...)
//         Answer classify(nb::handle self, ExportState &st, nb::handle response) const override;
//             // 2xx Delivered; 429/502/503/504 Retry (Answer::retry_after from the header);
//             // 400 Drop; a partial-success body is read here
//     };
//     static const SpanExporter hooks;
// The worker, the back-off, the exit flush and the fork reset then behave exactly as for the
// upload backend.
//
// == Threads, the GIL and locks ==
//
// - Every function here and every hook is called with the GIL held, and the native state is
//   only read or changed with the GIL held; it is never left half-changed across a call that may
//   release the GIL (a Python call, a lock acquire). The exceptions are the worker phase and the
//   module's shutdown flag, which are atomics changed under the module's exit mutex.
// - Three threading.Lock objects guard the state exactly as Python code would take them
//   (`with sink._pending_lock:` excludes the native operations): the flush lock serialises
//   flush runs; the pending lock guards the queue; the stats lock the counters and the last
//   upload / failure fields. Order where nested: flush lock, pending lock, stats lock. None is
//   held across network I/O or across a hook call, except the flush lock, which a flush run
//   holds for its whole length (so run hooks are serialised per exporter).
// - capture() runs on the caller's thread before the pending lock is taken; it may raise, and
//   the error reaches the caller of the intake.
// - A worker waits (for a wake-up, a batching delay, a back-off deadline) natively, with the
//   GIL released. Each worker runs one flush run at a time (run_pass); runs create their own
//   event loop and HTTP client.
//
// == Interpreter exit ==
//
// Once finalisation has begun, a daemon thread that takes the GIL again is ended by the
// interpreter with a forced unwind, which would run destructors of C++ frames (Python
// references) without the GIL. So no worker may be inside C++ code that calls Python when
// finalisation begins. The module's atexit hook (which runs before finalisation):
//   1. sets the module's shutdown flag and wakes every worker: a worker that waits, or that
//      reaches its next check, parks: it marks itself parked, releases the GIL and blocks for
//      good without ever taking the GIL again;
//   2. gives each exporter one forced flush bounded by its `timeout` (exit_flush), waiting for a
//      worker's run in progress up to that bound and then cancelling it on its event loop;
//      what stays queued is counted as unsent;
//   3. waits (GIL released, at most kExitGraceSeconds) until no worker is running Python code.
// A run started by the worker stops between requests once the flag is set. While the hook runs
// the GIL switch interval is kExitSwitchInterval: with many busy threads, a thread that blocks
// and wakes often (imports, sockets, locks) would otherwise wait a whole round of 5 ms turns
// each time it takes the GIL back, and the hook's bounds would not hold. A worker still running
// Python code after the grace period (only a hook of the exporter's own that blocks can keep it
// there) is left to the interpreter.
//
// == Fork ==
//
// In the child, every exporter of the module starts afresh: an empty queue, zeroed counters,
// available (no back-off), new locks and wake event, no worker (one starts at the next intake),
// the shutdown flag cleared. The parent's queue and counters stay the parent's.
//
// == Per-module copies ==
//
// Each extension carries its own copy of this library (hidden symbols); the state and
// wake-event types, the registry, the shutdown flag and the exit/fork hooks are per module.
#pragma once

#include <nanobind/nanobind.h>

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "orvane/coro.hpp"
#include "orvane/exit_gate.hpp"
#include "orvane/export_core.hpp"
#include "orvane/outside.hpp"

namespace orvane::exporting {

namespace nb = nanobind;

// How long the exit hook waits at most for running workers to park after the exit flushes.
constexpr double kExitGraceSeconds = 30.0;
// The GIL switch interval while the exit hook runs (seconds; restored afterwards), the same as
// for every module's exit gate.
constexpr double kExitSwitchInterval = orvane::exit_gate::kExitSwitchInterval;

// A threading.Lock as native code takes it. Python code may hold the same lock (`with
// sink._pending_lock:`), so it is always the lock object itself that is taken: through its
// acquire()/release() methods (a blocked acquire releases the GIL, as in Python), or, when the
// object has the layout of this interpreter's _thread.lock (checked once, at first use, by
// taking a probe lock both ways), by trying its native lock without waiting first and releasing
// it directly, which is what those methods do.
struct PyLock {
    nb::object lock, acquire, release;
    void *raw = nullptr;  // the lock as a _thread.lock, when its layout is known
    void set(nb::object lock_object);
};

// Holds a PyLock (or any lock's acquire/release pair) for a scope.
class LockGuard {
public:
    explicit LockGuard(const PyLock &lock);
    LockGuard(const nb::object &acquire, const nb::object &release);
    ~LockGuard();
    LockGuard(const LockGuard &) = delete;
    LockGuard &operator=(const LockGuard &) = delete;

private:
    nb::object keep_, release_;
    void *raw_ = nullptr;
};

struct Counters {
    int64_t enqueued = 0;                // events accepted into the queue
    int64_t dropped = 0;                 // events dropped on overflow
    int64_t dropped_high_frequency = 0;  // ... that were preferred drop events
    int64_t dropped_terminal = 0;        // ... that were terminal events
    int64_t coalesced_events = 0;        // accepted events flagged as coalesced
    int64_t coalesced_items = 0;         // items those coalesced events stand for
    int64_t batches = 0;                 // successful requests
    int64_t delivered = 0;               // events in successful requests
    int64_t failures = 0;                // failed attempts (flush runs that ended in a failure)
    int64_t exit_unsent = 0;             // events still queued after the exit flush
    int64_t unencodable = 0;             // events set aside because they could not be encoded
    int64_t refused = 0;                 // events set aside because the receiver refused them
    int64_t final_drops = 0;             // events in requests answered with a final refusal
};

// Availability: consecutive failures, the deadline before which no unforced attempt is made,
// and whether the outage warning was issued.
struct Backoff {
    double base = 1.0;
    double cap = 30.0;
    double next_retry_at = 0.0;  // monotonic-clock seconds
    int64_t failures = 0;
    bool warned = false;
};

// What a worker is doing, as the exit hook needs to know it.
enum class WorkerPhase : int {
    Idle,     // no worker, or one that has not entered native code yet
    Running,  // may call Python
    Waiting,  // waits natively with the GIL released; parks when woken during shutdown
    Parked,   // never takes the GIL again
};

// Why an item left the queue without being delivered.
enum class SetAside : unsigned char { Unencodable, Refused };

class Exporter;

// The native half of one exporter object, held by an instance of the module's `_ExportState`
// type stored in the exporter's instance dict under "_export_state".
struct ExportState {
    const Exporter *hooks = nullptr;

    PendingQueue queue;  // items are strong references
    Counters counters;
    Backoff backoff;
    nb::object last_upload_at, last_failure_at, last_failure;  // None or float / str

    // Configuration (read by the queue and the worker at each use).
    int64_t buffer_limit = 1200;
    int64_t batch_size = 200;
    double interval = 0.25;  // batching delay of the worker, seconds (0: none)
    double timeout = 5.0;    // per request, and the bound of the exit flush

    PyLock pending_lock, stats_lock;
    nb::object flush_lock;

    nb::object worker_event;   // a _WakeEvent (or any object with set/clear/wait/is_set)
    nb::object worker_thread;  // None until started
    bool worker_starting = false;     // a thread is being created and started right now
    bool worker_alive = false;        // the body of worker_thread is running
    bool worker_backing_off = false;  // the worker waits for a back-off deadline

    // The flush run in progress, so that the exit hook can cancel it on its own loop.
    nb::object run_loop, run_task;

    bool warned_unencodable = false, warned_refused = false;

    ExportState();
    ~ExportState();
    ExportState(const ExportState &) = delete;
    ExportState &operator=(const ExportState &) = delete;

    void new_locks();
    void set_pending_lock(nb::object lock);
    void set_stats_lock(nb::object lock);
    void clear_queue();  // drops every entry (references released)
    // A fresh start in a forked child: see "Fork" above.
    void reset_after_fork();
};

// --- module setup and state objects ------------------------------------------------------------

// Creates the module's `_ExportState` and `_WakeEvent` types, the registry of live exporters
// (a WeakSet stored in the module as `registry_name`), and registers the exit hook
// (`_flush_at_exit`) with atexit and the fork hook (`_after_fork_in_child`) with
// os.register_at_fork. Call once in NB_MODULE, after init_support.
void init(nb::module_ &m, const char *registry_name);

// A new state object bound to `hooks` (which must outlive the module), with new locks and an
// unset wake event.
nb::object new_state(const Exporter &hooks);
// The state inside a state object (TypeError when it is not one of this module's).
ExportState &state(nb::handle holder);
// The same, or nullptr when `holder` is not a state object of this module.
ExportState *state_if(nb::handle holder);

// The state of an exporter object, read from its "_export_state" attribute at every call (a
// reference that keeps it alive comes along).
struct StateRef {
    nb::object holder;
    ExportState *st;
    ExportState *operator->() const { return st; }
    ExportState &operator*() const { return *st; }
};
StateRef state_of(nb::handle self);

// Adds `self` to the module's registry: the exit and fork hooks then reach it.
void register_exporter(nb::handle self);

// A new `_WakeEvent`: set(), clear(), is_set(), wait(timeout=None) as threading.Event, waited on
// natively.
nb::object new_wake_event();
bool is_wake_event(nb::handle obj);

// Properties over the native state for an exporter class namespace: `_pending_lock`,
// `_flush_lock`, `_stats_lock`, `_worker_event`, `_worker_thread`, the counters
// (`_enqueued_event_count`, ..., `_exit_unsent_event_count`, `_unencodable_event_count`,
// `_refused_event_count`), `_last_upload_at`, `_last_failure_at`, `_last_failure`, the back-off
// fields (`_retry_delay_seconds`, `_max_retry_delay_seconds`, `_next_retry_at`,
// `_failure_count`, `_has_warned_unavailable`) and the configuration (`timeout`,
// `_buffer_limit`, `_batch_size`, `_background_flush_interval`).
void add_state_properties(nb::dict ns);

// --- intake ------------------------------------------------------------------------------------

struct ItemFlags {
    bool preferred = false;
    bool terminal = false;
};

// A caller's event made into a queue item.
struct Captured {
    nb::object item;      // what the queue holds
    bool compact = false;  // see QueueEntry::compact
    ItemFlags flags;
    bool coalesced = false;
    int64_t coalesced_items = 0;
};

// Captures `event` (on the caller's thread), then under the pending lock drops one entry by
// the drop rule when the queue is full, appends, and counts.
void enqueue_one(nb::handle self, ExportState &st, nb::handle event);
// The same for a list or tuple (or any sequence that is not text, bytes or a mapping; else the
// type error names `arg`). Captures are made before the lock is taken; when one fails, the
// events before it are still queued and the error reaches the caller.
void enqueue_many(nb::handle self, ExportState &st, nb::handle events, const char *arg = "events");
// Under the pending lock held by the caller: drops one entry by the drop rule and counts it.
void drop_one_locked(ExportState &st);
// Pushes an item Python code hands over as it is (the deque-like view), at the back or front.
void push_item(ExportState &st, nb::handle item, bool front);
bool has_pending(ExportState &st);
// The first `batch_size` items as stored, oldest first, with their compact flags.
nb::list peek_raw(ExportState &st, std::vector<char> &compact);

// Starts the worker thread when there is none alive, then wakes it (unless it waits out a
// back-off deadline, which a wake-up could not shorten). Returns true.
bool ensure_worker(nb::handle self, ExportState &st);

// --- flush runs ----------------------------------------------------------------------------------

// One batch taken for sending. `items` are the objects the exporter encodes (queued items as
// stored, or what an overridden batch view returned); `compact[i]` says whether item i is a
// compact capture.
struct Batch {
    nb::list items;
    std::vector<char> compact;
    bool raw = true;  // the items are the queue's own objects
    size_t size() const { return compact.size(); }
    nb::handle item(size_t i) const { return PyList_GET_ITEM(items.ptr(), static_cast<Py_ssize_t>(i)); }
};

// The encoded items of a batch: piece k (bytes [ends[k-1], ends[k]) of `bytes`) is item
// source[k] of the batch. Items set aside have no piece.
struct Encoded {
    std::string bytes;
    std::vector<size_t> ends;
    std::vector<size_t> source;
    size_t count() const { return ends.size(); }
    std::string_view piece(size_t k) const {
        size_t begin = k == 0 ? 0 : ends[k - 1];
        return std::string_view(bytes).substr(begin, ends[k] - begin);
    }
};

// Encodes the items of one batch, one at a time (made once per batch, so that per-batch set-up
// is shared).
class ItemEncoder {
public:
    virtual ~ItemEncoder() = default;
    // Appends the encoding of item `i` to `out`. When the item cannot be encoded, leaves `out`
    // as it was and returns the error (an exception object): the item is then set aside. Raises
    // (throws) only for errors that must end the run.
    virtual nb::object encode(size_t i, std::string &out) = 0;
};

// The answer to one request.
struct Answer {
    Verdict verdict = Verdict::Retry;
    std::optional<double> retry_after;  // seconds the receiver asked to wait
    nb::object error;                   // the failure as an exception (for texts), or invalid
};

// The hooks of one exporter kind (one static instance per class). Every hook is called with the
// GIL held and may raise (nb::python_error); `self` is the exporter object.
class Exporter {
public:
    virtual ~Exporter() = default;

    // --- identity
    virtual const char *worker_name() const = 0;  // the worker thread's name
    virtual const char *kind() const = 0;         // the class name, for coroutine names and texts
    // Name of the method the worker thread runs (it must call worker_main(self)).
    virtual const char *worker_method() const { return "_background_flush_worker"; }

    // --- intake (caller's thread, no lock held)
    virtual Captured capture(nb::handle self, ExportState &st, nb::handle event) const = 0;
    virtual ItemFlags flags_of(nb::handle item) const = 0;
    // The id of a queued item (str, or None), for texts and for removing delivered items.
    virtual nb::object item_id(nb::handle item, bool compact) const = 0;

    // --- flush run (the flushing thread holds the flush lock)
    virtual bool has_pending(nb::handle self, ExportState &st) const;
    virtual Batch take_batch(nb::handle self, ExportState &st) const;
    // An awaitable of a bool that must be true before an unforced attempt (e.g. a probe), or
    // an invalid object when none is needed.
    virtual nb::object before_send(nb::handle self, ExportState &st) const;
    virtual std::unique_ptr<ItemEncoder> encoder(nb::handle self, ExportState &st, const Batch &batch) const = 0;
    // The request body for encoded pieces [begin, end).
    virtual nb::object frame(nb::handle self, ExportState &st, const Batch &batch, const Encoded &enc,
                             size_t begin, size_t end) const = 0;
    // An awaitable of the response.
    virtual nb::object send(nb::handle self, ExportState &st, nb::handle client, nb::handle body) const = 0;
    virtual Answer classify(nb::handle self, ExportState &st, nb::handle response) const = 0;
    // The delivered items `items` (indexes into the batch) leave the queue; counters move.
    virtual void delivered(nb::handle self, ExportState &st, const Batch &batch,
                           const std::vector<size_t> &items) const;
    // Item `i` leaves the queue without being delivered: counted, warned about once per reason.
    virtual void set_aside(nb::handle self, ExportState &st, const Batch &batch, size_t i, SetAside why,
                           nb::handle error) const;
    // Items of a request answered with a final refusal leave the queue; counted.
    virtual void dropped_final(nb::handle self, ExportState &st, const Batch &batch,
                               const std::vector<size_t> &items, nb::handle error) const;
    virtual void mark_available(nb::handle self, ExportState &st) const;
    // error: an exception or None. Counts the failure, records its (redacted) text, backs off
    // (retry_delay of the back-off and `retry_after`), warns once per outage.
    virtual void mark_unavailable(nb::handle self, ExportState &st, nb::handle error,
                                  std::optional<double> retry_after) const;
    // The exception class that means "could not reach the receiver" (httpx.HTTPError).
    virtual nb::object transport_error(nb::handle self) const;
    virtual nb::object new_client(nb::handle self, ExportState &st) const;
    // Texts: the endpoint as it may be shown, and the secrets no text may carry.
    virtual std::string public_endpoint(nb::handle self) const = 0;
    virtual std::vector<std::string> secrets(nb::handle self) const = 0;
    // Warning category and texts.
    virtual PyObject *outage_category() const = 0;
    virtual std::string outage_message(nb::handle self, nb::handle error) const = 0;
    virtual PyObject *set_aside_category() const = 0;
    virtual std::string set_aside_message(nb::handle self, ExportState &st, SetAside why, nb::handle id,
                                          nb::handle error) const;

    // --- worker
    // One pass of the worker: a flush run with `drain`, force false.
    virtual void run_pass(nb::handle self, ExportState &st, bool drain) const;
    // A pass raised an ordinary exception: record it as a failure.
    virtual void pass_failed(nb::handle self, ExportState &st, nb::handle error) const;
    // The coroutine of one flush run (run_flush_sync runs it); default flush_coroutine.
    virtual nb::object run_coroutine(nb::handle self, bool drain, bool force) const;
    // After a fork, in the child, once the state was reset.
    virtual void after_fork(nb::handle self, ExportState &st) const;
};

// The coroutine of one flush run with the exporter's hooks:
//   while items are pending: stop when backing off (unless `force`); unless `force`, await
//   before_send and fail without error when it says no; take a batch; encode each item (set
//   aside what cannot be encoded); send the encoded items as one request and act on the
//   verdict: delivered, retry (mark_unavailable with Retry-After, end the run), split (the
//   halves are sent in turn; a single item is set aside as refused), drop; end after one batch
//   unless `drain`.
// Errors of the exporter's transport_error class end the run as a failure; others propagate.
nb::object flush_coroutine(nb::handle self, bool drain, bool force, const char *qualname);

// Runs the exporter's run coroutine to completion in a new event loop, holding the flush lock.
void run_flush_sync(nb::handle self, bool drain, bool force);

// The worker thread's body: wait for a wake-up, batching delay, passes until the queue is
// empty or backing off; forever, or until the module shuts down (then it parks).
void worker_main(nb::handle self);

// One forced flush bounded by the exporter's timeout; what stays queued is counted as unsent.
void exit_flush(nb::handle self);

// --- helpers for exporters that override the default hooks ---------------------------------------

// Counts one successful request of `count` items and stamps last_upload_at.
void record_delivery(ExportState &st, size_t count);
// The bookkeeping of a failure without the warning: counted, text recorded (redacted), back-off
// lengthened (Retry-After honoured within the cap).
void record_failure(nb::handle self, ExportState &st, nb::handle error, std::optional<double> retry_after);
// Issues the outage warning unless it was issued in this outage.
void warn_outage_once(nb::handle self, ExportState &st, nb::handle error);
// httpx after LazyImport.import_package("httpx"), read through the module's outside names.
nb::object import_httpx();
// httpx.AsyncClient(timeout=...) with an SSL context built once and shared by every client.
nb::object http_client(nb::handle httpx, double timeout);
// Leaves an HTTP client's async context as `async with` would, with `failure` (an exception, or
// an invalid object) in flight. The coroutine returns the exception still to handle, or None.
orvane::coro::Task leave_client(nb::object aexit, nb::object client, nb::object failure);

// Texts: `error`'s text with the exporter's secrets removed and secret query values masked.
std::string redacted_error_text(nb::handle self, nb::handle error);
// Retry-After of an HTTP response (its "Retry-After" header), in seconds from now.
std::optional<double> retry_after_of(nb::handle response);

// Installs (once per process and module) a filter on the "httpx" logger that shows URLs in its
// records as the module's exporters show their endpoints: without user-info, secret query values
// masked, and none of the secrets of the module's live exporters (shown_endpoint).
void mask_http_client_logs();

}  // namespace orvane::exporting
