#include "linewriter.hpp"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <sys/stat.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <unordered_map>

namespace orvane::linefile {

namespace {

struct Registry {
    std::mutex mu;
    std::unordered_map<std::string, std::shared_ptr<FileWriter>> writers;
    bool closing = false;  // guarded by mu
};

// Never destroyed: worker threads may still look at it while the process exits.
Registry *g_registry = new Registry();

Registry *registry() { return g_registry; }

std::string parent_of(const std::string &path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return std::string();
    if (slash == 0)
        return std::string("/");
    return path.substr(0, slash);
}

bool is_dir(const std::string &path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

int make_dirs(const std::string &dir) {
    if (dir.empty() || is_dir(dir))
        return 0;
    int err = make_dirs(parent_of(dir));
    if (err != 0)
        return err;
    if (::mkdir(dir.c_str(), 0777) == 0)
        return 0;
    if (errno == EEXIST && is_dir(dir))
        return 0;  // made by someone else meanwhile
    return errno;
}

// Locks `mu` for a caller thread, which may hold the GIL. The threads that hold these locks never
// wait for the GIL and keep them for a few instructions only, so the caller spins (yielding its
// CPU) instead of blocking: it never sleeps on a C++ lock while holding the GIL, and it never has
// to give the GIL up and take it back (which ends a daemon thread with a forced unwind at
// interpreter exit).
std::unique_lock<std::mutex> lock_for_caller(std::mutex &mu) {
    std::unique_lock<std::mutex> lock(mu, std::try_to_lock);
    while (!lock.owns_lock()) {
        std::this_thread::yield();
        lock.try_lock();
    }
    return lock;
}

bool FileWriter::submit(std::string &&data, void *token) {
    std::unique_lock<std::mutex> lock = lock_for_caller(mu_);
    if (closed_)
        return false;
    queue_.push_back(Job{std::move(data), token});
    queued_.store(queue_.size(), std::memory_order_release);
    if (!running_) {
        try {
            std::thread([this] { run(); }).detach();
        } catch (const std::system_error &) {
            // No thread to be had: the caller writes on its own thread instead.
            data = std::move(queue_.back().data);
            queue_.pop_back();
            queued_.store(queue_.size(), std::memory_order_release);
            return false;
        }
        running_ = true;
        stop_ = false;
        ++alive_;
        return true;
    }
    lock.unlock();
    cv_.notify_one();
    return true;
}

int FileWriter::write_now(const char *data, size_t size) {
    std::lock_guard<std::mutex> io(io_mu_);
    int err = ensure_open_locked();
    if (err != 0)
        return err;
    return write_all_locked(data, size);
}

void FileWriter::close_for_exit() {
    std::lock_guard<std::mutex> lock(mu_);
    closed_ = true;
    stop_ = true;
    cv_.notify_all();
}

bool FileWriter::wait_ended(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_until(lock, deadline, [this] { return alive_ == 0; });
}

int FileWriter::ensure_open_locked() {
    if (fd_ >= 0) {
        // Still the file at the path? (deleted, rotated or replaced files are left behind)
        struct stat st;
        if (::stat(path_.c_str(), &st) == 0 && st.st_dev == dev_ && st.st_ino == ino_)
            return 0;
        close_locked();
    }
    int err = make_dirs(parent_of(path_));
    if (err != 0)
        return err;
    int fd;
    do {
        fd = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return errno;
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        int e = errno;
        ::close(fd);
        return e;
    }
    fd_ = fd;
    dev_ = st.st_dev;
    ino_ = st.st_ino;
    return 0;
}

int FileWriter::write_all_locked(const char *data, size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd_, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            int e = errno;
            // A descriptor that failed is not trusted for the next batch.
            close_locked();
            return e;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return 0;
}

void FileWriter::close_locked() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

void FileWriter::run() {
    hooks_->thread_start();
    std::vector<Job> jobs;
    std::vector<Outcome> outcomes;
    std::unique_lock<std::mutex> lock(mu_);
    for (;;) {
        if (queue_.empty() && !stop_) {
            // Watch the queue for a moment before sleeping (see kWorkerSpin).
            lock.unlock();
            auto until = std::chrono::steady_clock::now() + kWorkerSpin;
            while (queued_.load(std::memory_order_acquire) == 0 &&
                   std::chrono::steady_clock::now() < until)
                std::this_thread::yield();
            lock.lock();
        }
        if (queue_.empty() && !stop_) {
            cv_.wait_for(lock, std::chrono::duration<double>(kIdleSeconds),
                         [this] { return !queue_.empty() || stop_; });
        }
        if (queue_.empty()) {
            // Idle (or stopping with nothing left): end this thread. A batch queued from now on
            // starts a new one (which reopens the file if we closed it meanwhile).
            running_ = false;
            lock.unlock();
            {
                std::lock_guard<std::mutex> io(io_mu_);
                close_locked();
            }
            hooks_->thread_exit();
            // The last touch of `this` (kept alive by the registry).
            std::lock_guard<std::mutex> relock(mu_);
            --alive_;
            cv_.notify_all();
            return;
        }
        jobs.swap(queue_);
        queued_.store(0, std::memory_order_release);
        lock.unlock();
        outcomes.clear();
        {
            std::lock_guard<std::mutex> io(io_mu_);
            int open_err = ensure_open_locked();
            for (Job &job : jobs) {
                // After a failed write the descriptor is closed: a fresh one for the next batch,
                // opened only when there is one (opening may block, on a pipe for instance).
                if (open_err == 0 && fd_ < 0)
                    open_err = ensure_open_locked();
                int err = open_err != 0 ? open_err : write_all_locked(job.data.data(), job.data.size());
                outcomes.push_back(Outcome{job.token, err});
            }
        }
        jobs.clear();
        hooks_->done(outcomes, path_);
        lock.lock();
    }
}

std::shared_ptr<FileWriter> writer_for(const std::string &abs_path, const Hooks *hooks) {
    Registry *r = registry();
    std::unique_lock<std::mutex> lock = lock_for_caller(r->mu);
    auto it = r->writers.find(abs_path);
    if (it != r->writers.end())
        return it->second;
    auto w = std::make_shared<FileWriter>(abs_path, hooks);
    if (r->closing)
        w->close_for_exit();  // (nobody else knows it yet: the lock is free)
    r->writers.emplace(abs_path, w);
    return w;
}

bool shutdown_all(std::chrono::steady_clock::time_point deadline) {
    std::vector<std::shared_ptr<FileWriter>> all;
    {
        Registry *r = registry();
        std::lock_guard<std::mutex> lock(r->mu);
        r->closing = true;
        for (auto &kv : r->writers)
            all.push_back(kv.second);
    }
    for (auto &w : all)
        w->close_for_exit();
    bool ended = true;
    for (auto &w : all)
        ended = w->wait_ended(deadline) && ended;
    return ended;
}

void forget_all_after_fork() {
    // The old registry's mutexes may be held by threads that do not exist in the child: leave it
    // (and its writers) behind untouched.
    g_registry = new Registry();
}

}  // namespace orvane::linefile
