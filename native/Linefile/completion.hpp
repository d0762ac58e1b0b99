// Completion of a batch written by a file's writer thread (linewriter.hpp), for the coroutine
// that awaits it.
//
// A PendingWrite is one queued batch, shared by the awaiting coroutine and the writer thread
// through a Ticket (two references). The coroutine first watches the ticket for up to
// kSpinBudget without suspending: the writer thread, still running from its previous batch,
// normally writes within a few microseconds, far less than one round of the event loop, so
// finishing the await without suspending at all is the cheapest completion. It then polls between
// short yields to its loop (asyncio.sleep(0)), which spares the writer thread the GIL and the loop a
// cross-thread wake-up; when the write takes longer still (kPollBudget) it registers a future
// under the ticket lock, and the writer thread resolves it on the coroutine's loop through
// loop.call_soon_threadsafe(_resolve_batch, [(future, error), ...]).
//
//     PendingWrite write(writer, std::move(lines));
//     while (!write.done()) {
//         nb::object waiting = write.wait();
//         co_await orvane::coro::await(waiting);
//     }
//     write.raise_if_failed();
//
// Writer threads attach to the interpreter when they start (to resolve futures) and give the GIL
// up at once; they take it back only while the module's exit gate admits them
// (orvane/exit_gate.hpp). The exit hook `_shutdown_writers` closes the gate, lets every writer
// write what is queued and end (bounded by `_exit_timeout`), and waits for threads to leave the
// module's native code; a writer thread still running afterwards writes without touching Python.
#pragma once

#include <nanobind/nanobind.h>

#include <chrono>
#include <memory>
#include <string>

#include "linewriter.hpp"

namespace orvane::linefile {

namespace nb = nanobind;

// How long a coroutine first watches its batch without yielding to its loop (GIL kept).
constexpr std::chrono::microseconds kSpinBudget{40};
// How long it polls between yields before it waits for a wake-up from the writer thread.
constexpr std::chrono::microseconds kPollBudget{500};

// The default bound of the exit hook (module attribute `_exit_timeout`, seconds): writing what is
// queued and waiting for threads to leave this module's native code. A writer still blocked then
// (a pipe nobody reads, a stalled file system) is left behind; it never touches Python again.
constexpr double kExitTimeout = 10.0;

// The hooks every FileWriter of this module runs on its thread.
const Hooks &writer_hooks();

struct Ticket;

class PendingWrite {
public:
    // Queues `data` (whole lines) for the writer thread. When writers are shutting down (the
    // interpreter's exit), writes it at once on this thread (GIL held) instead.
    PendingWrite(std::shared_ptr<FileWriter> writer, std::string &&data);
    ~PendingWrite();  // gives the ticket back, however the coroutine ends
    PendingWrite(const PendingWrite &) = delete;
    PendingWrite &operator=(const PendingWrite &) = delete;

    // True once the batch is written (or failed). The first call watches for kSpinBudget.
    bool done();
    // What to await before asking done() again: asyncio.sleep(0) while polling, then a future the
    // writer thread resolves (awaiting it raises the write's OSError).
    nb::object wait();
    // Raises the write's OSError, if it failed.
    void raise_if_failed();

private:
    std::shared_ptr<FileWriter> writer_;
    Ticket *ticket_ = nullptr;  // nullptr: written at once, `error_` holds the outcome
    int error_ = 0;
    bool spun_ = false;
    std::chrono::steady_clock::time_point start_;
};

// The OSError of a failed step on `path` (errno `err`), as open() or write() would raise it.
[[noreturn]] void raise_os_error(int err, const std::string &path);

// Registers the module functions of this file (_resolve_batch, _shutdown_writers,
// _forget_writers_after_fork) and the exit and fork hooks that call the last two.
void init_completion(nb::module_ &m);

}  // namespace orvane::linefile
