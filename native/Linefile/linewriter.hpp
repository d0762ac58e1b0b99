// Appending whole lines to files, off the caller's thread.
//
// One FileWriter per file path (absolute, as given) for the whole process: every write to that
// path goes through it, under its I/O lock, as one write(2) loop per batch on a descriptor opened
// with O_APPEND, so concurrent batches never interleave or tear lines (other processes appending
// with O_APPEND see whole batches too, except for batches the kernel splits).
//
// The descriptor stays open between batches. Before each round of writes the writer compares the
// path's current inode with the open descriptor's: when the file was deleted, renamed (rotated)
// or replaced, it is opened again at the path (created, with its missing parent directories), so
// lines always go to the file that is at the path now. A writer whose queue stays empty for
// kIdleSeconds closes its descriptor and its thread ends; the next batch starts a new one.
//
// Asynchronous batches are queued with an opaque token; the worker thread writes every queued
// batch of a round, then reports all outcomes of the round at once through Hooks::done (called
// on the worker thread, with no lock held).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <vector>

namespace orvane::linefile {

struct Outcome {
    void *token;
    int error;  // 0, or the errno of the failed step
};

struct Hooks {
    void (*thread_start)();                                      // first thing on a worker
    void (*done)(std::vector<Outcome> &outcomes, const std::string &path);
    void (*thread_exit)();                                       // last thing on a worker
};

constexpr double kIdleSeconds = 2.0;

// After a round, a worker keeps watching its queue this long (yielding its CPU between looks)
// before it goes to sleep on its condition: appends that follow each other closely then reach a
// thread that is already running, instead of paying for a wake-up each time.
constexpr std::chrono::microseconds kWorkerSpin{100};

class FileWriter {
public:
    FileWriter(std::string path, const Hooks *hooks) : path_(std::move(path)), hooks_(hooks) {}
    FileWriter(const FileWriter &) = delete;
    FileWriter &operator=(const FileWriter &) = delete;

    const std::string &path() const { return path_; }

    // Queues `data` (whole lines) for the worker thread. Returns false, taking nothing, when
    // writers are shutting down or no thread can be started; the caller then writes with
    // write_now.
    bool submit(std::string &&data, void *token);

    // Writes `data` on the calling thread, under the I/O lock. Returns 0 or an errno.
    int write_now(const char *data, size_t size);

    // For the process's exit: refuses new batches from now on (submit returns false) and lets
    // the worker end once it has written what is queued.
    void close_for_exit();
    // Waits until no worker thread of this writer is left, at most until `deadline`; false when
    // one is still running then (blocked in open() or write()).
    bool wait_ended(std::chrono::steady_clock::time_point deadline);

private:
    struct Job {
        std::string data;
        void *token;
    };

    void run();
    int ensure_open_locked();
    int write_all_locked(const char *data, size_t size);
    void close_locked();

    const std::string path_;
    const Hooks *hooks_;

    std::mutex mu_;  // queue and thread state
    std::condition_variable cv_;
    std::vector<Job> queue_;
    std::atomic<size_t> queued_{0};  // queue_.size(), readable without mu_ (the worker's spin)
    bool running_ = false;
    bool stop_ = false;
    bool closed_ = false;  // closed for the exit: no new batch, no new thread
    int alive_ = 0;  // worker threads not yet past their exit hook

    std::mutex io_mu_;  // descriptor and writes
    int fd_ = -1;
    dev_t dev_ = 0;
    ino_t ino_ = 0;
};

// The writer of `abs_path` (created on first use; kept for the life of the process).
std::shared_ptr<FileWriter> writer_for(const std::string &abs_path, const Hooks *hooks);

// For the interpreter's exit: refuses new asynchronous batches (the callers write on their own
// threads from then on) and lets every worker write what is queued and end, waiting at most
// until `deadline`. Returns false when a worker is still running then; it goes on writing, and
// ends, on its own.
bool shutdown_all(std::chrono::steady_clock::time_point deadline);

// In a forked child: the parent's worker threads do not exist here; start afresh.
void forget_all_after_fork();

// Creates the missing directories of `dir` (like mkdir -p). Returns 0 or an errno.
int make_dirs(const std::string &dir);

}  // namespace orvane::linefile
