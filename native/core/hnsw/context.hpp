// The working room of a graph walk, kept apart from the graph: a built graph is
// only ever read, so any number of threads can walk it at once, each with room
// of its own.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
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
    std::vector<Candidate> seen;  // the nodes a pool search measured
};

}  // namespace kestrix
