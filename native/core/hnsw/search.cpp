#include "search.hpp"

#include <algorithm>

#include "../heap.hpp"
#include "../kernels/multiversion.hpp"

namespace kestrix {

namespace {

// Down the upper layers to layer 0, then one layer-0 search of width
// max(ef, k) whose results are left sorted in context.found. The walk is one
// flattened function, cloned for CPUs with a population-count instruction (see
// multiversion.hpp).
KESTRIX_POPCNT_CLONES
void walk_to_layer0(const HnswGraph& graph, std::span<const QuantizedVector> vectors,
                    std::span<const std::uint32_t> ids, const QuantizedVector& query, std::uint32_t entry,
                    std::uint64_t k, std::uint64_t ef, bool live_only, SearchContext& context) {
    const kernels::GatherKernel& gather = kernels::gather_kernel();
    Candidate position{hamming_distance(query, vectors[entry]), entry};
    for (std::uint64_t layer = graph.top_level(); layer >= 1; --layer) {
        position = greedy_descend(graph, vectors, query, position.slot, position.distance, layer, gather);
    }
    const std::uint64_t width = std::max(ef, k);
    if (live_only) {
        search_layer(graph, vectors, query, position.slot, 0, width, context.visited, context.candidates,
                     context.found, gather, KeepLive{ids});
    } else {
        search_layer(graph, vectors, query, position.slot, 0, width, context.visited, context.candidates,
                     context.found, gather);
    }
    sort_by_distance(std::span(context.found));
}

// The first k of the sorted results that pass `ids`' tombstone test, as hits.
// Cut first, then drop: a dropped slot is not replaced by the next one.
std::vector<SearchHit> first_hits(std::span<const Candidate> found, std::span<const std::uint32_t> ids,
                                  std::uint64_t k) {
    const std::size_t keep = static_cast<std::size_t>(std::min<std::uint64_t>(k, found.size()));
    std::vector<SearchHit> hits;
    hits.reserve(keep);
    for (std::size_t i = 0; i < keep; ++i) {
        const Candidate& c = found[i];
        if (c.slot >= ids.size() || is_tombstoned(ids[c.slot])) continue;
        hits.push_back({ids[c.slot], c.slot, c.distance, distance_to_score(c.distance)});
    }
    return hits;
}

std::vector<SearchHit> search_graph(const HnswGraph& graph, std::span<const QuantizedVector> vectors,
                                    std::span<const std::uint32_t> ids, const QuantizedVector& query,
                                    std::uint64_t k, std::uint64_t ef, bool live_only, SearchContext& context) {
    if (k == 0) return {};
    const auto entry = graph.entry_point();
    if (!entry || *entry >= vectors.size()) return {};
    walk_to_layer0(graph, vectors, ids, query, *entry, k, ef, live_only, context);
    return first_hits(context.found, ids, k);
}

}  // namespace

std::vector<SearchHit> search_hnsw(const HnswGraph& graph, std::span<const QuantizedVector> vectors,
                                   std::span<const std::uint32_t> ids, const QuantizedVector& query,
                                   std::uint64_t k, std::uint64_t ef, SearchContext& context) {
    return search_graph(graph, vectors, ids, query, k, ef, false, context);
}

std::vector<SearchHit> search_hnsw_live(const HnswGraph& graph, std::span<const QuantizedVector> vectors,
                                        std::span<const std::uint32_t> ids, const QuantizedVector& query,
                                        std::uint64_t k, std::uint64_t ef, SearchContext& context) {
    // Everything kept is live, so the cut to k drops nothing.
    return search_graph(graph, vectors, ids, query, k, ef, true, context);
}

}  // namespace kestrix
