// Internals of the shared export queue used by export_queue.cpp and export_run.cpp.
#pragma once

#include <condition_variable>
#include <mutex>
#include <vector>

#include "orvane/export_queue.hpp"
#include "orvane/pyutil.hpp"

namespace orvane::exporting::detail {

using orvane::outside::Name;

// A worker thread while it runs worker_main (lives in that frame).
struct WorkerSlot {
    std::atomic<WorkerPhase> phase{WorkerPhase::Running};
};

// The module's exit gate: the shutdown flag, the workers, and the condition both sides wait on.
struct Gate {
    std::mutex m;
    std::condition_variable cv;
    std::atomic<bool> shutting_down{false};
    std::vector<WorkerSlot *> workers;  // guarded by m
};
Gate &gate();
// In a forked child: a new gate (the old one may be locked by a thread that no longer exists).
void renew_gate();
// Bumped in a forked child: wake events made before it renew their native parts at next use.
extern std::atomic<unsigned> g_fork_generation;

inline bool shutting_down() { return gate().shutting_down.load(std::memory_order_acquire); }

// The worker slot of the calling thread (null on other threads).
extern thread_local WorkerSlot *t_worker;

// Called by a worker without the GIL, holding the gate's lock: marks it parked and blocks for
// good (the GIL is never taken again).
[[noreturn]] void park(std::unique_lock<std::mutex> &lock);
// Called by a worker with the GIL held: releases it and parks.
[[noreturn]] void park_now();

// The native side of a _WakeEvent.
struct WakeState {
    std::mutex *m;
    std::condition_variable *cv;
    bool flag;
    unsigned generation;
};
WakeState *wake_state(nb::handle event);  // null when `event` is not a _WakeEvent

// Waits on the worker's event (natively for a _WakeEvent; a worker parks there once the module
// shuts down). timeout < 0: no limit.
void worker_wait(ExportState &st, double timeout);
void worker_clear(ExportState &st);
// The worker's batching delay: natively while the module's `time` is the time module.
void worker_sleep(double seconds);

int64_t add_sat(int64_t a, int64_t b);
using orvane::py::text_of;
// The module's registry of live exporters, as a new list.
nb::object registry_list();
// Wakes the worker of `st` (sets its event).
void wake(ExportState &st);
nb::object caught_exception();
[[noreturn]] void reraise(nb::object exc);

// The time module as imported at init (to tell whether the module's `time` was replaced).
extern PyObject *g_time_module;

}  // namespace orvane::exporting::detail
