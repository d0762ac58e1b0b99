// The exit gate of a module: keeping native frames off the threads the interpreter ends at exit.
//
// Once finalization has begun, a thread other than the finalizing one that takes the GIL (a
// daemon thread of the host, or a native thread attached to the interpreter) is ended by the
// interpreter with pthread_exit. The forced unwind runs the destructors of every C++ frame on
// that thread's stack without the GIL, while the finalizing thread collects garbage: Python
// references (nb::object) are released and catch handlers call into Python, which corrupts the
// interpreter. It is not only an explicit PyEval_RestoreThread that is at risk: any call into
// Python may run bytecode, and bytecode gives the GIL up at every switch interval and takes it
// back. So a thread is at risk whenever it runs native code that calls Python, and finalization
// must not begin while such a thread is in the middle of it.
//
// The gate of a module keeps those threads out before finalization begins:
//
// - A Section is native code that may call Python, on any thread: one call of a method of the
//   module's classes, one step of a native coroutine (coro.cpp). Sections nest per thread; only
//   the outermost counts.
// - A native thread of the module that attaches to the interpreter (the JSON Lines writer
//   threads) takes the GIL only between admit() and dismiss(); admit() refuses once the gate
//   closes, and the thread then does its work without touching Python.
// - The module's exit hook (registered with atexit, so it runs before finalization on the thread
//   that finalizes) calls close():
//     1. the gate is closing: a thread that starts a section (outside any section it is already
//        in) parks: it gives the GIL up and blocks until the process ends, with no frame of ours
//        below, so it is never unwound; admit() refuses;
//     2. the hook's own drain step (writing what is queued) runs with the GIL released, within
//        the deadline;
//     3. the hook waits, GIL released, until no thread is inside a section or admitted, at most
//        until the deadline; threads inside a section meanwhile take the GIL, finish their
//        section and park at the next one;
//     4. the gate is closed: a section thread that gave the GIL up (a blocking write) and takes
//        it back through restore() parks instead.
//   While the hook runs the GIL switch interval is kExitSwitchInterval: with busy threads a
//   section that waits a full 5 ms turn of every other thread at each GIL hand-off would take
//   far longer to finish.
// The thread that closes the gate is exempt: it runs the finalization itself. A section still
// running at the deadline (a call into Python that blocks: a replaced hook, a stalled file
// system) is left to the interpreter.
//
// Each extension has its own copy (see support.hpp). A module whose exit hook never calls close()
// pays for a section only a thread-local counter and one atomic increment and decrement.
#pragma once

#include <Python.h>

#include <chrono>
#include <functional>

namespace orvane::exit_gate {

using Clock = std::chrono::steady_clock;

// The GIL switch interval while a module's exit hook waits for threads (seconds).
constexpr double kExitSwitchInterval = 0.0002;

namespace detail {
extern thread_local int t_depth;
void enter_outer();  // may park (never returns then)
void leave_outer();
}  // namespace detail

// Native code that may call Python (GIL held). The constructor parks the calling thread for good
// when the gate is closing and the thread is neither inside a section yet nor admitted (a
// section reached from an admitted thread's Python calls runs on).
class Section {
public:
    Section() {
        if (++detail::t_depth == 1)
            detail::enter_outer();
    }
    ~Section() {
        if (--detail::t_depth == 0)
            detail::leave_outer();
    }
    Section(const Section &) = delete;
    Section &operator=(const Section &) = delete;
};

// Takes the GIL back after PyEval_SaveThread() inside a Section: parks for good once the gate is
// closed, otherwise as orvane::py::restore_thread.
void restore(PyThreadState *state);

// For native threads of the module, without the GIL: true when the thread may take the GIL now
// (it is counted until dismiss()); false once the gate is closing: stay away from Python.
bool admit();
// Ends an admission (GIL already given up again).
void dismiss();

// True once close() has begun.
bool closing();

// The module's exit hook (GIL held, on the thread that runs the finalization): see above.
// `drain` runs with the GIL released and is given the deadline.
void close(Clock::duration bound, const std::function<void(Clock::time_point)> &drain);

// In a forked child: a fresh, open gate (the parent's may be locked by a thread that does not
// exist here). The calling thread keeps its sections.
void after_fork_in_child();

}  // namespace orvane::exit_gate
