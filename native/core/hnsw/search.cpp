#include "search.hpp"

#include <algorithm>

#include "../heap.hpp"
#include "../kernels/multiversion.hpp"
#include "../store.hpp"

namespace kestrix {

std::vector<Candidate> search_layer(const HnswIndex& index, std::span<const QuantizedVector> vectors,
                                    const QuantizedVector& target, std::uint32_t entry, std::uint64_t layer,
                                    std::uint64_t ef, VisitedSet& visited) {
    std::vector<Candidate> candidates;
    std::vector<Candidate> results;
    search_layer(index, vectors, target, entry, layer, ef, visited, candidates, results);
    return results;
}

KESTRIX_POPCNT_CLONES
std::vector<SearchHit> search_hnsw(const HnswIndex& index, std::span<const QuantizedVector> vectors,
                                   std::span<const std::uint32_t> ids, const QuantizedVector& query,
                                   std::uint64_t k, std::uint64_t ef) {
    std::vector<SearchHit> hits;
    if (k == 0) return hits;
    const auto entry = index.entry_point();
    if (!entry || *entry >= vectors.size()) return hits;

    const kernels::GatherKernel& gather = kernels::gather_kernel();
    Candidate position{hamming_distance(query, vectors[*entry]), *entry};
    for (std::uint64_t layer = index.top_level(); layer >= 1; --layer) {
        position = greedy_descend(index, vectors, query, position.slot, position.distance, layer, gather);
    }

    std::vector<Candidate> candidates;
    std::vector<Candidate> found;
    search_layer(index, vectors, query, position.slot, 0, std::max(ef, k), index.query_visited(), candidates, found,
                 gather);
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
