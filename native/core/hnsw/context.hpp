// The working room of a graph walk, kept apart from the graph: a built graph is
// only ever read, so any number of threads can walk it at once, each with room
// of its own.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace kestrix {

// A (distance, slot) pair. Heaps and sorts compare the distance alone; the slot
// never breaks a tie.
struct Candidate {
    std::uint32_t distance;
    std::uint32_t slot;

    friend bool operator==(const Candidate&, const Candidate&) = default;
};

// Which slots a layer search has already looked at. Instead of clearing the
// array before every search, each search gets a new stamp; a slot counts as
// visited only when it carries the stamp of the search under way. The array is
// cleared only when the stamp wraps, once in 2^32 - 1 searches. A stamp of an
// earlier search (of this graph or of another) is never the current one, which
// is what lets one set serve any number of searches over any graphs.
struct VisitedSet {
    std::vector<std::uint32_t> stamps;
    std::uint32_t current = 1;  // never 0, so a zeroed stamp is never "visited"

    VisitedSet() = default;
    explicit VisitedSet(std::size_t slot_count) : stamps(slot_count, 0) {}

    void start_search() noexcept {
        if (++current == 0) {
            std::fill(stamps.begin(), stamps.end(), 0u);
            current = 1;
        }
    }

    bool is_visited(std::uint32_t slot) const noexcept { return slot < stamps.size() && stamps[slot] == current; }
};

// Everything a query needs besides the graph and the vectors: owned by the
// caller, reused from query to query so that a query allocates and clears
// nothing the size of the store once the room has grown to it. Results never
// depend on what an earlier query left here.
struct SearchContext {
    VisitedSet visited;
    std::vector<Candidate> candidates;
    std::vector<Candidate> found;
    std::vector<Candidate> seen;            // the nodes a pool search measured
    std::vector<std::size_t> per_distance;  // and how many at each distance
};

// Query room for the walks of one owner's graph, from any number of threads:
// a walk borrows a context and gives it back, so there are never more
// contexts than walks that ran at the same time, and they all go with their
// owner (or earlier, when it clears them). A context keeps a visited stamp
// per slot of the graphs it walked and candidate lists as wide as its widest
// walk.
class ContextPool {
public:
    ContextPool() = default;
    // Only while no context is lent out (the owner is being moved, so no one
    // walks its graph).
    ContextPool(ContextPool&& other) noexcept : free_(std::move(other.free_)), made_(std::exchange(other.made_, 0)) {}
    ContextPool& operator=(ContextPool&& other) noexcept {
        free_ = std::move(other.free_);
        made_ = std::exchange(other.made_, 0);
        return *this;
    }

    class Lease {
    public:
        Lease(ContextPool& pool, std::unique_ptr<SearchContext> context) noexcept
            : pool_(pool), context_(std::move(context)) {}
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;
        ~Lease() { pool_.give_back(std::move(context_)); }
        SearchContext& operator*() const noexcept { return *context_; }

    private:
        ContextPool& pool_;
        std::unique_ptr<SearchContext> context_;
    };

    // A context of its own for one walk. Throws std::bad_alloc.
    Lease borrow() {
        std::lock_guard lock(mutex_);
        if (!free_.empty()) {
            auto context = std::move(free_.back());
            free_.pop_back();
            return Lease(*this, std::move(context));
        }
        // Room to take back every context made, so that giving one back
        // never allocates.
        free_.reserve(made_ + 1);
        auto context = std::make_unique<SearchContext>();
        ++made_;
        return Lease(*this, std::move(context));
    }

    // Drops every context, for an owner whose slots changed shape; none may be
    // lent out.
    void clear() noexcept {
        std::lock_guard lock(mutex_);
        std::vector<std::unique_ptr<SearchContext>>().swap(free_);
        made_ = 0;
    }

private:
    void give_back(std::unique_ptr<SearchContext> context) noexcept {
        std::lock_guard lock(mutex_);
        free_.push_back(std::move(context));
    }

    std::mutex mutex_;
    std::vector<std::unique_ptr<SearchContext>> free_;
    std::size_t made_ = 0;
};

}  // namespace kestrix
