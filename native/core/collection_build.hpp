// A graph build on a thread of its own, for a caller that must stay awake
// while it runs: to report progress, to notice a signal, to stop it. The
// thread builds under the collection's read lock, so searches go on; the new
// graph replaces the earlier one only when the caller installs it, under the
// write lock, once it has made its last report. So a stop at any moment, the
// last report included, keeps the earlier graph.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "collection.hpp"
#include "collection_log.hpp"

namespace kestrix {

class BackgroundBuild {
public:
    // Starts building over the collection's live slots. Throws
    // std::system_error when no thread can be had.
    BackgroundBuild(GuardedCollection& guarded, std::uint64_t m, std::uint64_t ef_construction);
    BackgroundBuild(const BackgroundBuild&) = delete;
    BackgroundBuild& operator=(const BackgroundBuild&) = delete;
    // Stops a build still running and waits for its thread.
    ~BackgroundBuild();

    // Waits up to `period` for the build to end; true once it has.
    bool wait_for(std::chrono::milliseconds period);
    // (live slots inserted, of all) once the build has counted anything:
    // before that both are 0, which a caller would take for a finished build.
    std::optional<std::pair<std::size_t, std::size_t>> progress() const noexcept;
    // Asks the build to stop after its current chunk; nothing will be installed.
    void cancel() noexcept;
    // Waits for the thread.
    void join();
    // Waits for the thread; then rethrows what the build threw (std::bad_alloc).
    void finish();
    // After finish(): installs the graph, under the collection's write lock,
    // unless the build was stopped (a durable collection logs it first).
    // Returns whether it was installed, or why its log refused it; throws
    // std::bad_alloc with the earlier graph in place.
    durable::Changed<bool> install();

private:
    void run(std::uint64_t m, std::uint64_t ef_construction) noexcept;

    GuardedCollection& guarded_;
    std::mutex mutex_;
    std::condition_variable ended_;
    bool finished_ = false;                          // guarded by mutex_
    std::exception_ptr failure_;                     // set before finished_
    std::optional<Collection::PendingGraph> built_;  // set before finished_
    // The id words the graph was built over, for a durable collection's log.
    std::vector<std::uint32_t> words_;  // set before finished_
    std::atomic<std::size_t> done_{0};
    std::atomic<std::size_t> total_{0};
    std::atomic<bool> counted_{false};
    std::atomic<bool> cancel_{false};
    std::thread thread_;  // last: started once everything it uses exists
};

}  // namespace kestrix
