// A small pool of worker threads for batch work, shared by the process.
//
// A batch is split into numbered tasks; the caller's own thread works on them
// too, and up to `threads - 1` workers join in. Several callers may run
// batches at once: each batch is a job of its own, and a worker helps the
// oldest job that still wants helpers.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace kestrix {

// Identifies the process, so that what a forked child inherited (a pool, a
// log) is told apart from its own. Windows does not fork.
std::uint64_t current_process() noexcept;

// The cores this process may run on (its affinity mask, on Linux and
// Windows; elsewhere the machine's cores), so that a worker process confined
// to fewer cores than the machine has is not oversubscribed. At least 1.
std::size_t usable_cores() noexcept;

class ThreadPool {
public:
    // Starts no thread yet: workers are started on demand, up to `max_workers`.
    explicit ThreadPool(std::size_t max_workers);
    ~ThreadPool();
    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;

    // Runs task(0) .. task(count - 1), each exactly once, on the calling thread
    // and at most threads - 1 workers, and returns when all are done. A task
    // that throws stops no other task; the first exception is rethrown here
    // once every task has finished. Throws std::bad_alloc (before any task
    // ran) or std::system_error when a worker cannot be started; in that case
    // the calling thread runs every task alone.
    void run(std::size_t count, std::size_t threads, const std::function<void(std::size_t)>& task);

    std::size_t max_workers() const noexcept { return max_workers_; }

private:
    struct Job;
    void work() noexcept;
    void ensure_workers(std::size_t wanted);

    const std::size_t max_workers_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Job*> queue_;
    std::vector<std::thread> workers_;
    bool stopping_ = false;
};

// The process's pool, sized to usable_cores() when first asked for. After a
// fork the child sees no worker of its parent (only the forking thread
// survives), so the child starts a pool of its own on first use; the parent's
// pool object is left untouched in the child, since its locks and threads
// belong to the parent.
ThreadPool& process_pool();

}  // namespace kestrix
