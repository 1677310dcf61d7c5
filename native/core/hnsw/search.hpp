// Walking one layer of the index, and the index road of a query.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "../quantized.hpp"
#include "../heap.hpp"
#include "../scan.hpp"
#include "graph.hpp"

namespace kestrix {

// A stored vector is 48 bytes and rows are 48 bytes apart, so half of them
// straddle two cache lines; ask for both.
inline void prefetch_vector(const QuantizedVector* vector) noexcept {
    __builtin_prefetch(vector);
    __builtin_prefetch(reinterpret_cast<const char*>(vector) + sizeof(QuantizedVector) - 1);
}

// Follows strictly closer links on one layer from `start` (whose distance to
// the target the caller already knows) and returns where the walk stopped. Each
// pass reads the position's links once and may move several times within them;
// an equal distance never moves the walk, so it cannot cycle.
inline Candidate greedy_descend(const HnswIndex& index, std::span<const QuantizedVector> vectors,
                         const QuantizedVector& target, std::uint32_t start, std::uint32_t start_distance,
                         std::uint64_t layer) noexcept {
    Candidate best{start_distance, start};
    bool moved = true;
    while (moved) {
        moved = false;
        // The links of the position where this pass began; a move within the
        // pass keeps going through them and only the next pass reads the new
        // position's links.
        const auto links = index.neighbours(best.slot, layer);
        for (const std::uint32_t slot : links) {
            if (slot >= vectors.size()) continue;
            const std::uint32_t distance = hamming_distance(target, vectors[slot]);
            if (distance < best.distance) {
                best = {distance, slot};
                moved = true;
            }
        }
    }
    return best;
}


// Best-first search of one layer, keeping the `ef` nearest nodes seen (one when
// ef is 0). Leaves them in `results` in the result heap's array order, not
// sorted; empty only when the entry is not a slot of `vectors`. `candidates` is
// working room. Starts a new search on `visited`.
inline void search_layer(const HnswIndex& index, std::span<const QuantizedVector> vectors, const QuantizedVector& target,
                  std::uint32_t entry, std::uint64_t layer, std::uint64_t ef, VisitedSet& visited,
                  std::vector<Candidate>& candidates, std::vector<Candidate>& results) {
    candidates.clear();
    results.clear();
    visited.start_search();
    const std::size_t slot_count = vectors.size();
    // A slot outside the store is never measured or returned, so whether it is
    // marked first makes no difference; not marking it keeps the visited set
    // from growing to an arbitrary slot number.
    if (entry >= slot_count) return;
    visited.mark(entry);

    // The heaps never hold more distinct slots than the store has, whatever ef
    // the caller passed.
    const std::size_t room = static_cast<std::size_t>(std::min<std::uint64_t>(ef, slot_count)) + 1;
    candidates.reserve(room);
    results.reserve(room);

    const Candidate first{hamming_distance(target, vectors[entry]), entry};
    heap_push(candidates, first, NearestFirst{});
    heap_push(results, first, FarthestFirst{});

    const QuantizedVector* base = vectors.data();
    while (!candidates.empty()) {
        const Candidate nearest = heap_pop(candidates, NearestFirst{});
        if (nearest.distance > results.front().distance && results.size() >= ef) break;

        const auto links = index.neighbours(nearest.slot, layer);
        const std::size_t count = links.size();
        if (count > 0 && links[0] < slot_count) prefetch_vector(base + links[0]);
        for (std::size_t i = 0; i < count; ++i) {
            if (i + 1 < count && links[i + 1] < slot_count) prefetch_vector(base + links[i + 1]);
            const std::uint32_t slot = links[i];
            if (slot >= slot_count) continue;
            if (!visited.visit(slot)) continue;

            const std::uint32_t distance = hamming_distance(target, base[slot]);
            // A node at exactly the worst kept distance is refused once the
            // results are full; the mark above keeps it from being retried.
            if (distance < results.front().distance || results.size() < ef) {
                const Candidate found{distance, slot};
                heap_push(candidates, found, NearestFirst{});
                heap_push(results, found, FarthestFirst{});
                if (results.size() > ef) heap_pop(results, FarthestFirst{});
            }
        }
    }
}

std::vector<Candidate> search_layer(const HnswIndex& index, std::span<const QuantizedVector> vectors,
                                    const QuantizedVector& target, std::uint32_t entry, std::uint64_t layer,
                                    std::uint64_t ef, VisitedSet& visited);

// The k nearest slots the graph reaches, in ascending distance. The layer-0
// search runs with width max(ef, k); the list is cut to k before slots that are
// tombstoned or outside `ids` are dropped, so a dropped slot is not replaced.
std::vector<SearchHit> search_hnsw(const HnswIndex& index, std::span<const QuantizedVector> vectors,
                                   std::span<const std::uint32_t> ids, const QuantizedVector& query,
                                   std::uint64_t k, std::uint64_t ef);

}  // namespace kestrix
