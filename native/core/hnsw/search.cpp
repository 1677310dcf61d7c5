#include "search.hpp"

#include <algorithm>

#include "../heap.hpp"

namespace kestrix {

namespace {

// Down the upper layers to layer 0, then one layer-0 search of width
// max(ef, k) whose results are left sorted in context.found; `keep` and `see`
// as search_layer takes them. Kept out of line: folded into its callers it
// makes their own loops slower.
template <class Keep, class See, class Target, class Measure>
[[gnu::noinline]] void walk_to_layer0(const HnswGraph& graph, CodeRows vectors, const Target* query,
                                      const Measure& measure, std::uint32_t entry, std::uint64_t k, std::uint64_t ef,
                                      SearchContext& context, Keep keep, See see) {
    Candidate position{measure.distance(query, vectors[entry]), entry};
    for (std::uint64_t layer = graph.top_level(); layer >= 1; --layer) {
        position = greedy_descend(graph, vectors, query, position.slot, position.distance, layer, measure);
    }
    search_layer(graph, vectors, query, position.slot, 0, std::max(ef, k), context.visited, context.candidates,
                 context.found, measure, keep, see);
    sort_by_distance(std::span(context.found));
}

// The first k of the sorted results that pass `ids`' tombstone test, as hits.
// Cut first, then drop: a dropped slot is not replaced by the next one.
std::vector<SearchHit> first_hits(std::span<const Candidate> found, std::span<const std::uint32_t> ids, std::uint64_t k,
                                  std::size_t dim) {
    const std::size_t keep = static_cast<std::size_t>(std::min<std::uint64_t>(k, found.size()));
    std::vector<SearchHit> hits;
    hits.reserve(keep);
    for (std::size_t i = 0; i < keep; ++i) {
        const Candidate& c = found[i];
        if (c.slot >= ids.size() || is_tombstoned(ids[c.slot])) continue;
        hits.push_back({ids[c.slot], c.slot, c.distance, distance_to_score(c.distance, dim)});
    }
    return hits;
}

template <class Keep>
std::vector<SearchHit> search_graph(const HnswGraph& graph, CodeRows vectors, std::span<const std::uint32_t> ids,
                                    const std::uint64_t* query, std::uint64_t k, std::uint64_t ef, Keep keep,
                                    SearchContext& context) {
    if (k == 0) return {};
    const auto entry = graph.entry_point();
    if (!entry || *entry >= vectors.size()) return {};
    walk_to_layer0(graph, vectors, query, kernels::code_kernels(vectors.words), *entry, k, ef, context, keep,
                   SeeNothing{});
    return first_hits(context.found, ids, k, vectors.dim);
}

}  // namespace

std::vector<SearchHit> search_hnsw(const HnswGraph& graph, CodeRows vectors, std::span<const std::uint32_t> ids,
                                   const std::uint64_t* query, std::uint64_t k, std::uint64_t ef,
                                   SearchContext& context) {
    return search_graph(graph, vectors, ids, query, k, ef, KeepEvery{}, context);
}

std::vector<SearchHit> search_hnsw_live(const HnswGraph& graph, CodeRows vectors, std::span<const std::uint32_t> ids,
                                        const std::uint64_t* query, std::uint64_t k, std::uint64_t ef,
                                        SearchContext& context) {
    // Everything kept is live, so the cut to k drops nothing.
    return search_graph(graph, vectors, ids, query, k, ef, KeepLive{ids}, context);
}

namespace {

// The first `width` kept nodes of every one a layer-0 walk measured, by either
// measure (`max_distance` bounds every distance it gives); what is kept, live
// or allowed slots, is the walk's `keep`.
template <class Target, class Measure, class Keep>
std::vector<SearchHit> pool_hits(const HnswGraph& graph, CodeRows vectors, std::span<const std::uint32_t> ids,
                                 const Target* query, const Measure& measure, std::uint32_t max_distance,
                                 std::uint64_t k, std::uint64_t ef, std::size_t width, SearchContext& context,
                                 Keep keep) {
    const auto entry = graph.entry_point();
    if (width == 0 || !entry || *entry >= vectors.size()) return {};
    context.seen.clear();
    walk_to_layer0(graph, vectors, query, measure, *entry, k, ef, context, keep,
                   CollectKept<Keep>{keep, &context.seen});
    // The first `width` of the pool by (distance, slot): the cut-off distance
    // from a count per distance, then every node below it and the lowest
    // slots at it. The pool holds each measured slot once. Rescoring ranks
    // them anew, so they are left in the order the walk met them.
    const std::span<const Candidate> seen = context.seen;
    const std::size_t dim = vectors.dim;
    std::vector<std::size_t>& per_distance = context.per_distance;
    per_distance.assign(std::size_t{max_distance} + 1, 0);
    for (const Candidate& c : seen) ++per_distance[c.distance];
    std::uint32_t cutoff = 0;
    std::size_t below = 0;
    while (cutoff < max_distance && below + per_distance[cutoff] < width) below += per_distance[cutoff++];
    std::vector<SearchHit> hits;
    hits.reserve(std::min(width, seen.size()));
    std::vector<std::uint32_t> at_cutoff;
    for (const Candidate& c : seen) {
        if (c.distance < cutoff) {
            hits.push_back({ids[c.slot], c.slot, c.distance, distance_to_score(c.distance, dim)});
        } else if (c.distance == cutoff) {
            at_cutoff.push_back(c.slot);
        }
    }
    const std::size_t wanted = std::min(at_cutoff.size(), width > below ? width - below : 0);
    std::partial_sort(at_cutoff.begin(), at_cutoff.begin() + static_cast<std::ptrdiff_t>(wanted), at_cutoff.end());
    for (std::size_t i = 0; i < wanted; ++i) {
        hits.push_back({ids[at_cutoff[i]], at_cutoff[i], cutoff, distance_to_score(cutoff, dim)});
    }
    return hits;
}

}  // namespace

std::vector<SearchHit> search_hnsw_pool(const HnswGraph& graph, CodeRows vectors, std::span<const std::uint32_t> ids,
                                        const std::uint64_t* query, std::uint64_t k, std::uint64_t ef,
                                        std::size_t width, SearchContext& context) {
    return pool_hits(graph, vectors, ids, query, kernels::code_kernels(vectors.words),
                     static_cast<std::uint32_t>(vectors.dim), k, ef, width, context, KeepLive{ids});
}

std::vector<SearchHit> search_hnsw_pool(const HnswGraph& graph, CodeRows vectors, std::span<const std::uint32_t> ids,
                                        const kernels::AsymmetricQuery& query, std::uint64_t k, std::uint64_t ef,
                                        std::size_t width, SearchContext& context) {
    return pool_hits(graph, vectors, ids, &query, asymmetric_measure(query), query.max_distance, k, ef, width, context,
                     KeepLive{ids});
}

namespace {

// A filtered walk: `walk(keep)` with the allowed slots kept and the budget of
// the scan of them; nothing when it gave up.
template <class Walk>
std::optional<std::vector<SearchHit>> walk_allowed(const AllowedSlots& allowed, Walk walk) {
    bool gave_up = false;
    auto hits = walk(KeepAllowed{&allowed, allowed.count() / SCAN_ROWS_PER_WALK_NODE, &gave_up});
    if (gave_up) return std::nullopt;
    return hits;
}

}  // namespace

std::optional<std::vector<SearchHit>> search_hnsw_allowed(const HnswGraph& graph, CodeRows vectors,
                                                          std::span<const std::uint32_t> ids,
                                                          const std::uint64_t* query, std::uint64_t k, std::uint64_t ef,
                                                          std::size_t width, const AllowedSlots& allowed,
                                                          SearchContext& context) {
    return walk_allowed(allowed, [&](const KeepAllowed& keep) {
        return width > k ? pool_hits(graph, vectors, ids, query, kernels::code_kernels(vectors.words),
                                     static_cast<std::uint32_t>(vectors.dim), k, ef, width, context, keep)
                         : search_graph(graph, vectors, ids, query, k, ef, keep, context);
    });
}

std::optional<std::vector<SearchHit>> search_hnsw_allowed(const HnswGraph& graph, CodeRows vectors,
                                                          std::span<const std::uint32_t> ids,
                                                          const kernels::AsymmetricQuery& query, std::uint64_t k,
                                                          std::uint64_t ef, std::size_t width,
                                                          const AllowedSlots& allowed, SearchContext& context) {
    return walk_allowed(allowed, [&](const KeepAllowed& keep) {
        return pool_hits(graph, vectors, ids, &query, asymmetric_measure(query), query.max_distance, k, ef, width,
                         context, keep);
    });
}

}  // namespace kestrix
