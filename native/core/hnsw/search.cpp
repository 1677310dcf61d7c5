#include "search.hpp"

#include <algorithm>

#include "../heap.hpp"
#include "../store.hpp"

namespace kestrix {

namespace {

// A stored vector is 48 bytes and rows are 48 bytes apart, so half of them
// straddle two cache lines; ask for both.
inline void prefetch_vector(const QuantizedVector* vector) noexcept {
    __builtin_prefetch(vector);
    __builtin_prefetch(reinterpret_cast<const char*>(vector) + sizeof(QuantizedVector) - 1);
}

}  // namespace

Candidate greedy_descend(const HnswIndex& index, std::span<const QuantizedVector> vectors,
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

void search_layer(const HnswIndex& index, std::span<const QuantizedVector> vectors, const QuantizedVector& target,
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
                                    std::uint64_t ef, VisitedSet& visited) {
    std::vector<Candidate> candidates;
    std::vector<Candidate> results;
    search_layer(index, vectors, target, entry, layer, ef, visited, candidates, results);
    return results;
}

std::vector<SearchHit> search_hnsw(const HnswIndex& index, std::span<const QuantizedVector> vectors,
                                   std::span<const std::uint32_t> ids, const QuantizedVector& query,
                                   std::uint64_t k, std::uint64_t ef) {
    std::vector<SearchHit> hits;
    if (k == 0) return hits;
    const auto entry = index.entry_point();
    if (!entry || *entry >= vectors.size()) return hits;

    Candidate position{hamming_distance(query, vectors[*entry]), *entry};
    for (std::uint64_t layer = index.top_level(); layer >= 1; --layer) {
        position = greedy_descend(index, vectors, query, position.slot, position.distance, layer);
    }

    std::vector<Candidate> candidates;
    std::vector<Candidate> found;
    search_layer(index, vectors, query, position.slot, 0, std::max(ef, k), index.query_visited(), candidates, found);
    sort_by_distance(std::span(found));

    // Cut first, then drop: a dropped slot is not replaced by the next one.
    const std::size_t keep = static_cast<std::size_t>(std::min<std::uint64_t>(k, found.size()));
    hits.reserve(keep);
    for (std::size_t i = 0; i < keep; ++i) {
        const Candidate& c = found[i];
        if (c.slot >= ids.size() || is_tombstoned(ids[c.slot])) continue;
        hits.push_back({ids[c.slot], c.slot, c.distance, distance_to_score(c.distance)});
    }
    return hits;
}

}  // namespace kestrix
