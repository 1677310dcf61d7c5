#include "thread_pool.hpp"

#include <atomic>
#include <bit>
#include <cstdint>

#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>
#if defined(__linux__)
#include <sched.h>
#endif
#endif

namespace kestrix {

namespace {

// The cores of the process's affinity mask where the system keeps one the
// process can read; 0 where it keeps none (then every core counts).
std::size_t affinity_cores() noexcept {
#if defined(__linux__)
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) return static_cast<std::size_t>(CPU_COUNT(&set));
#elif defined(_WIN32)
    // The mask of the process's processor group (at most 64 cores); a process
    // spread over several groups reports its own group only.
    DWORD_PTR process = 0, system = 0;
    if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system) != 0) {
        return static_cast<std::size_t>(std::popcount(static_cast<std::uint64_t>(process)));
    }
#endif
    return 0;
}

}  // namespace

std::uint64_t current_process() noexcept {
#if defined(_WIN32)
    return GetCurrentProcessId();
#else
    return static_cast<std::uint64_t>(getpid());
#endif
}

std::size_t usable_cores() noexcept {
    const std::size_t mask = affinity_cores();
    if (mask > 0) return mask;
    const unsigned hardware = std::thread::hardware_concurrency();
    return hardware > 0 ? hardware : 1;
}

// One batch. Tasks are claimed through `next`; `helpers_wanted` counts the
// workers that may still attach; the caller waits until every task is done and
// every attached worker has let go, so the job (on the caller's stack) outlives
// every use of it.
struct ThreadPool::Job {
    const std::function<void(std::size_t)>* task;
    std::size_t count;
    std::size_t helpers_wanted;
    std::atomic<std::size_t> next{0};
    std::size_t done = 0;      // guarded by mutex
    std::size_t attached = 0;  // guarded by the pool's mutex
    std::mutex mutex;
    std::condition_variable finished;
    std::exception_ptr failure;  // guarded by mutex

    // Runs tasks until none is left; returns when this thread claims past the end.
    void drain() noexcept {
        std::size_t ran = 0;
        std::exception_ptr first;
        for (;;) {
            const std::size_t i = next.fetch_add(1, std::memory_order_relaxed);
            if (i >= count) break;
            try {
                (*task)(i);
            } catch (...) {
                if (!first) first = std::current_exception();
            }
            ++ran;
        }
        if (ran == 0 && !first) return;
        std::lock_guard lock(mutex);
        if (first && !failure) failure = first;
        done += ran;
        if (done == count) finished.notify_all();
    }
};

ThreadPool::ThreadPool(std::size_t max_workers) : max_workers_(max_workers) {}

ThreadPool::~ThreadPool() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (auto& worker : workers_) worker.join();
}

void ThreadPool::ensure_workers(std::size_t wanted) {
    // Called with mutex_ held.
    if (wanted > max_workers_) wanted = max_workers_;
    if (workers_.size() >= wanted) return;
    workers_.reserve(wanted);
    while (workers_.size() < wanted) workers_.emplace_back([this] { work(); });
}

void ThreadPool::work() noexcept {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (stopping_) return;
        Job* job = queue_.front();
        if (--job->helpers_wanted == 0) queue_.pop_front();
        ++job->attached;
        lock.unlock();
        job->drain();
        lock.lock();
        // The caller may be waiting for the last worker to let go.
        if (--job->attached == 0) {
            std::lock_guard job_lock(job->mutex);
            job->finished.notify_all();
        }
    }
}

void ThreadPool::run(std::size_t count, std::size_t threads, const std::function<void(std::size_t)>& task) {
    if (count == 0) return;
    std::size_t helpers = threads > 1 ? threads - 1 : 0;
    if (helpers > count - 1) helpers = count - 1;
    if (helpers > max_workers_) helpers = max_workers_;

    Job job;
    job.task = &task;
    job.count = count;
    job.helpers_wanted = helpers;
    bool queued = false;
    if (helpers > 0) {
        std::lock_guard lock(mutex_);
        try {
            ensure_workers(helpers);
            queue_.push_back(&job);
            queued = true;
        } catch (...) {
            job.helpers_wanted = 0;  // run alone below
        }
    }
    if (queued) wake_.notify_all();

    job.drain();

    if (helpers > 0) {
        std::unique_lock lock(mutex_);
        // Workers that never came are not waited for.
        if (job.helpers_wanted > 0) {
            for (auto it = queue_.begin(); it != queue_.end(); ++it) {
                if (*it == &job) {
                    queue_.erase(it);
                    break;
                }
            }
            job.helpers_wanted = 0;
        }
        while (job.attached > 0) {
            // Lock order: the pool's mutex, then the job's. The worker that lets
            // go last takes both the same way before it notifies.
            std::unique_lock job_lock(job.mutex);
            lock.unlock();
            job.finished.wait(job_lock);
            job_lock.unlock();
            lock.lock();
        }
    }
    std::unique_lock job_lock(job.mutex);
    job.finished.wait(job_lock, [&] { return job.done == job.count; });
    if (job.failure) std::rethrow_exception(job.failure);
}

namespace {

// The pool is never destroyed: at process exit a worker may still be inside a
// job of a thread the interpreter does not wait for, and the system reclaims
// the threads anyway.
struct PoolCell {
    std::unique_ptr<ThreadPool> pool;
    std::uint64_t owner = 0;
    ~PoolCell() { static_cast<void>(pool.release()); }
};

std::mutex pool_cell_mutex;
PoolCell pool_cell;

}  // namespace

ThreadPool& process_pool() {
    const std::uint64_t self = current_process();
    std::lock_guard lock(pool_cell_mutex);
    if (pool_cell.pool == nullptr || pool_cell.owner != self) {
        const std::size_t cores = usable_cores();
        auto fresh = std::make_unique<ThreadPool>(cores > 1 ? cores - 1 : 0);
        // A pool inherited through fork is abandoned, never destroyed: its
        // threads do not exist here, so joining them would hang.
        static_cast<void>(pool_cell.pool.release());
        pool_cell.pool = std::move(fresh);
        pool_cell.owner = self;
    }
    return *pool_cell.pool;
}

}  // namespace kestrix
