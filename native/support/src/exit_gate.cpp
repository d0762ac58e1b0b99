// The exit gate of a module. See exit_gate.hpp for the contract.
#include "orvane/exit_gate.hpp"

#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "orvane/pyutil.hpp"

namespace orvane::exit_gate {

namespace {

enum Phase : int { kOpen, kClosing, kClosed };

// `phase` and `inside` are sequentially consistent: a thread counts itself in, then reads the
// phase; close() sets the phase, then reads the count. One of the two always sees the other.
struct Gate {
    std::atomic<int> phase{kOpen};
    std::atomic<long> inside{0};  // threads inside a section or admitted
    std::mutex m;                 // only for the closer's wait
    std::condition_variable cv;
};

// Leaked on purpose: parked threads and late writer threads may look at it until the process ends.
Gate *g_gate = new Gate();

thread_local bool t_closer = false;
thread_local bool t_admitted = false;  // a native thread between admit() and dismiss()

void count_out(Gate &g) {
    if (g.inside.fetch_sub(1) == 1 && g.phase.load() != kOpen) {
        std::lock_guard<std::mutex> lock(g.m);
        g.cv.notify_all();
    }
}

// Blocks until the process ends (GIL not held). Nothing above us on this thread is ever unwound.
[[noreturn]] void block_forever() {
    for (;;)
        ::pause();
}

// Python-level value of sys.<name>(args...), errors dropped: the exit path must not raise.
PyObject *call_sys(const char *name, PyObject *arg) {
    PyObject *sys = PyImport_ImportModule("sys");
    if (sys == nullptr) {
        PyErr_Clear();
        return nullptr;
    }
    PyObject *r = arg != nullptr ? PyObject_CallMethod(sys, name, "O", arg)
                                 : PyObject_CallMethod(sys, name, nullptr);
    Py_DECREF(sys);
    if (r == nullptr)
        PyErr_Clear();
    return r;
}

}  // namespace

namespace detail {

thread_local int t_depth = 0;

void enter_outer() {
    Gate &g = *g_gate;
    g.inside.fetch_add(1);
    if (g.phase.load() == kOpen || t_closer || t_admitted)
        return;  // (an admitted thread is already counted and leaves soon)
    // The module is exiting: this thread (a daemon thread, the closer excepted) goes no further.
    count_out(g);
    PyEval_SaveThread();  // the thread state is never restored
    block_forever();
}

void leave_outer() { count_out(*g_gate); }

}  // namespace detail

void restore(PyThreadState *state) {
    if (g_gate->phase.load() == kClosed && !t_closer)
        block_forever();
    orvane::py::restore_thread(state);
}

bool admit() {
    Gate &g = *g_gate;
    g.inside.fetch_add(1);
    if (g.phase.load() == kOpen) {
        t_admitted = true;
        return true;
    }
    count_out(g);
    return false;
}

void dismiss() {
    t_admitted = false;
    count_out(*g_gate);
}

bool closing() { return g_gate->phase.load() != kOpen; }

void close(Clock::duration bound, const std::function<void(Clock::time_point)> &drain) {
    Gate &g = *g_gate;
    Clock::time_point deadline = Clock::now() + bound;
    t_closer = true;
    g.phase.store(kClosing);
    PyObject *interval = call_sys("getswitchinterval", nullptr);
    PyObject *short_interval = PyFloat_FromDouble(kExitSwitchInterval);
    if (short_interval != nullptr)
        Py_XDECREF(call_sys("setswitchinterval", short_interval));
    Py_XDECREF(short_interval);
    long own = detail::t_depth > 0 ? 1 : 0;  // the closer's own section, when it runs in one
    Py_BEGIN_ALLOW_THREADS
    if (drain)
        drain(deadline);
    {
        std::unique_lock<std::mutex> lock(g.m);
        g.cv.wait_until(lock, deadline, [&] { return g.inside.load() <= own; });
    }
    g.phase.store(kClosed);
    Py_END_ALLOW_THREADS
    if (interval != nullptr) {
        Py_XDECREF(call_sys("setswitchinterval", interval));
        Py_DECREF(interval);
    }
}

void after_fork_in_child() {
    Gate *fresh = new Gate();
    fresh->inside.store(detail::t_depth > 0 ? 1 : 0);
    g_gate = fresh;
    t_closer = false;
}

}  // namespace orvane::exit_gate
