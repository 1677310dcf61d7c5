#include "collection_build.hpp"

#include <shared_mutex>

namespace kestrix {

BackgroundBuild::BackgroundBuild(GuardedCollection& guarded, std::uint64_t m, std::uint64_t ef_construction)
    : guarded_(guarded), thread_([this, m, ef_construction] { run(m, ef_construction); }) {}

BackgroundBuild::~BackgroundBuild() {
    cancel();
    join();
}

void BackgroundBuild::run(std::uint64_t m, std::uint64_t ef_construction) noexcept {
    std::optional<Collection::PendingGraph> built;
    std::vector<std::uint32_t> words;
    std::exception_ptr failure;
    try {
        std::shared_lock lock(guarded_.mutex);
        const Collection& c = guarded_.collection;
        built = c.build_graph(m, ef_construction, [this](std::size_t done, std::size_t total) {
            done_.store(done, std::memory_order_relaxed);
            total_.store(total, std::memory_order_relaxed);
            counted_.store(true, std::memory_order_release);
            return !cancel_.load(std::memory_order_relaxed);
        });
        if (built && guarded_.log.load()) {
            const auto ids = c.store().ids().first(built->slots);
            words.assign(ids.begin(), ids.end());
        }
    } catch (...) {
        failure = std::current_exception();
    }
    std::lock_guard lock(mutex_);
    built_ = std::move(built);
    words_ = std::move(words);
    failure_ = std::move(failure);
    finished_ = true;
    ended_.notify_all();
}

bool BackgroundBuild::wait_for(std::chrono::milliseconds period) {
    std::unique_lock lock(mutex_);
    return ended_.wait_for(lock, period, [this] { return finished_; });
}

std::optional<std::pair<std::size_t, std::size_t>> BackgroundBuild::progress() const noexcept {
    if (!counted_.load(std::memory_order_acquire)) return std::nullopt;
    return std::pair(done_.load(std::memory_order_relaxed), total_.load(std::memory_order_relaxed));
}

void BackgroundBuild::cancel() noexcept { cancel_.store(true, std::memory_order_relaxed); }

void BackgroundBuild::join() {
    if (thread_.joinable()) thread_.join();
}

void BackgroundBuild::finish() {
    join();
    if (failure_) std::rethrow_exception(failure_);
}

durable::Changed<bool> BackgroundBuild::install() {
    if (!built_ || cancel_.load(std::memory_order_relaxed)) return false;
    auto pending = std::move(*built_);
    built_.reset();
    return durable::install(guarded_, std::move(pending), words_);
}

}  // namespace kestrix
