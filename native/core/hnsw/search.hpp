// Walking one layer of the graph, and the graph road of a query.
//
// Every walk takes its working room from the caller (a SearchContext, or the
// builder's own scratch) and only reads the graph, so one graph serves any
// number of concurrent walks.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "../allowed.hpp"
#include "../heap.hpp"
#include "../hits.hpp"
#include "../kernels/code_kernels.hpp"
#include "../kernels/kernel_set.hpp"
#include "../quantized.hpp"
#include "context.hpp"
#include "graph.hpp"

namespace kestrix {

namespace detail {

// Links are taken from a row this many at a time: enough for a whole layer-0
// row at the usual m, and a bound on the stack room whatever m is.
inline constexpr std::size_t LINK_CHUNK = 64;
static_assert(LINK_CHUNK % kernels::GATHER_GROUP == 0);

// The links of a row as a walk reads them: layer-0 rows are handed over with
// their whole counted part, so the reader must stop at the first EMPTY_LINK
// itself (which saves a separate pass over the row to find it).
inline std::span<const std::uint32_t> row_links(const HnswGraph& graph, std::uint32_t slot,
                                                std::uint64_t layer) noexcept {
    return layer == 0 ? graph.layer0_counted(slot) : graph.neighbours(slot, layer);
}

}  // namespace detail

// A walk measures by the Hamming distance of the query's code (a CodeKernels
// row, the target a code), or, for a query whose candidates are rescored, by
// the asymmetric distance of its prepared form (this, the target an
// AsymmetricQuery): the same moves with other numbers. Built once a query,
// so the choice of kernels is made once, not per row.
struct AsymmetricMeasure {
    const kernels::AsymmetricFns* fns;

    std::uint32_t distance(const kernels::AsymmetricQuery* query, const std::uint64_t* row) const noexcept {
        return fns->distance(*query, row);
    }
    void gather(const kernels::AsymmetricQuery* query, const std::uint64_t* rows, const std::uint32_t* slots,
                std::size_t count, std::uint32_t* out) const noexcept {
        fns->gather(*query, rows, slots, count, out);
    }
};

inline AsymmetricMeasure asymmetric_measure(const kernels::AsymmetricQuery& query) noexcept {
    return {&kernels::code_kernels(query.words).asymmetric(query)};
}

// Follows strictly closer links on one layer from `start` (whose distance to
// the target the caller already knows) and returns where the walk stopped. Each
// pass reads the position's links once and may move several times within them;
// an equal distance never moves the walk, so it cannot cycle. The distances of
// a pass are measured together and then compared in link order, which moves
// the walk exactly as measuring them one by one would.
template <class Target = std::uint64_t, class Measure = kernels::CodeKernels>
inline Candidate greedy_descend(const HnswGraph& graph, CodeRows vectors, const Target* target, std::uint32_t start,
                                std::uint32_t start_distance, std::uint64_t layer, const Measure& measure) noexcept {
    Candidate best{start_distance, start};
    const std::size_t slot_count = vectors.size();
    std::uint32_t slots[detail::LINK_CHUNK];
    std::uint32_t distances[detail::LINK_CHUNK];
    bool moved = true;
    while (moved) {
        moved = false;
        // The links of the position where this pass began; a move within the
        // pass keeps going through them and only the next pass reads the new
        // position's links.
        const auto links = graph.neighbours(best.slot, layer);
        for (std::size_t from = 0; from < links.size(); from += detail::LINK_CHUNK) {
            const std::size_t to = std::min(links.size(), from + detail::LINK_CHUNK);
            std::size_t n = 0;
            for (std::size_t i = from; i < to; ++i) {
                if (links[i] < slot_count) slots[n++] = links[i];
            }
            if (n == 0) continue;
            measure.gather(target, vectors.data, slots, n, distances);
            for (std::size_t j = 0; j < n; ++j) {
                if (distances[j] < best.distance) {
                    best = {distances[j], slots[j]};
                    moved = true;
                }
            }
        }
    }
    return best;
}

// Every node a layer search reaches may be kept among its results. `spent`
// says whether a walk that has measured so many nodes should give up: never.
struct KeepEvery {
    bool operator()(std::uint32_t) const noexcept { return true; }
    static constexpr bool spent(std::size_t) noexcept { return false; }
};

// Only nodes whose slot is live in `ids` may be kept; the others are still
// walked through (a deleted node keeps its links, and the live nodes behind it
// stay reachable that way).
struct KeepLive {
    std::span<const std::uint32_t> ids;
    bool operator()(std::uint32_t slot) const noexcept { return slot < ids.size() && !is_tombstoned(ids[slot]); }
    static constexpr bool spent(std::size_t) noexcept { return false; }
};

// A node the walk measures costs about as much as this many rows the scan
// of a filter's allowed slots gathers (heap moves and visited marks besides
// the distance; on 1,000,000 rows 150-200 ns against about 20).
inline constexpr std::size_t SCAN_ROWS_PER_WALK_NODE = 8;

// Only the slots a filter allows (all live) may be kept; the others are
// waypoints, as deleted nodes are. A walk that has measured more nodes than
// `budget` gives up and sets *gave_up: a filtered walk is given the nodes
// that cost as much as scanning the allowed slots, so a walk that gives up
// and the scan after it cost about twice the scan alone.
struct KeepAllowed {
    const AllowedSlots* allowed;
    std::size_t budget;
    bool* gave_up;
    bool operator()(std::uint32_t slot) const noexcept { return allowed->allows(slot); }
    bool spent(std::size_t measured) const noexcept {
        if (measured <= budget) return false;
        *gave_up = true;
        return true;
    }
};

// What a layer search tells about every node it measures (the entry included):
// nothing, or, for a rescored query, the live ones with their distances, the
// pool its candidates are picked from.
struct SeeNothing {
    void operator()(std::uint32_t, std::uint32_t) const noexcept {}
};
template <class Keep>
struct CollectKept {
    Keep keep;
    std::vector<Candidate>* seen;
    void operator()(std::uint32_t slot, std::uint32_t distance) const {
        if (keep(slot)) seen->push_back({distance, slot});
    }
};
using CollectLive = CollectKept<KeepLive>;

// Best-first search of one layer, keeping the `ef` nearest nodes seen that
// `keep` accepts (one when ef is 0). Leaves them in `results` in the result
// heap's array order, not sorted; empty when the entry is not a slot of
// `vectors`, or when nothing reached is kept. `candidates` is working room.
// Starts a new search on `visited`.
//
// A node that is not kept is a waypoint: it is admitted to the candidates
// under the same bound as any other node (so the walk does not spread over a
// region of deleted nodes) and expanded, but never enters the results. With
// KeepEvery the function makes exactly the moves of the plain algorithm. The
// walk stops early, its results then partial, once `keep.spent` says so of
// the nodes measured so far.
//
// The popped node's links are first marked in link order, collecting the ones
// new to this search; their distances are then measured together and offered
// to the heaps one by one in the same order. Marks do not depend on distances
// and offers do not look at marks, so this makes exactly the moves of
// measuring and offering each link as it is marked. The heaps live in the two
// vectors but are worked on through raw pointers with the moves of heap.hpp.
template <class Keep = KeepEvery, class See = SeeNothing, class Target = std::uint64_t,
          class Measure = kernels::CodeKernels>
inline void search_layer(const HnswGraph& graph, CodeRows vectors, const Target* target, std::uint32_t entry,
                         std::uint64_t layer, std::uint64_t ef, VisitedSet& visited, std::vector<Candidate>& candidates,
                         std::vector<Candidate>& results, const Measure& measure, Keep keep = {}, See see = {}) {
    visited.start_search();
    const std::size_t slot_count = vectors.size();
    // A slot outside the store is never measured or returned, so whether it is
    // marked first makes no difference; not marking it keeps the visited set
    // from growing to an arbitrary slot number.
    if (entry >= slot_count) {
        candidates.clear();
        results.clear();
        return;
    }
    // Room for every slot of the store up front, so that marking is a plain store.
    if (visited.stamps.size() < slot_count) visited.stamps.resize(slot_count, 0u);
    std::uint32_t* const stamps = visited.stamps.data();
    const std::uint32_t stamp = visited.current;
    stamps[entry] = stamp;
    // Any value at or past it ends a row or is not a slot of the store; only
    // EMPTY_LINK ends a row.
    const std::size_t limit = std::min<std::size_t>(slot_count, EMPTY_LINK);

    // The result heap never holds more distinct slots than the store has,
    // whatever ef the caller passed, and at most one more than ef (two when ef
    // is 0) right after a push. The candidate heap may hold more; it grows
    // before each batch of offers.
    const std::size_t width = static_cast<std::size_t>(std::min<std::uint64_t>(ef, slot_count));
    if (results.size() < width + 2) results.resize(width + 2);
    if (candidates.size() < width + 2 + detail::LINK_CHUNK) candidates.resize(width + 2 + detail::LINK_CHUNK);
    Candidate* res = results.data();
    Candidate* cand = candidates.data();
    std::size_t cand_n = 1;

    const std::uint64_t* const base = vectors.data;
    cand[0] = Candidate{measure.distance(target, vectors[entry]), entry};
    res[0] = cand[0];
    see(entry, cand[0].distance);
    std::size_t res_n = keep(entry) ? 1 : 0;

    std::uint32_t fresh[detail::LINK_CHUNK];
    std::uint32_t distances[detail::LINK_CHUNK];
    std::size_t measured = 1;
    while (cand_n > 0 && !keep.spent(measured)) {
        std::swap(cand[0], cand[cand_n - 1]);
        const Candidate nearest = cand[--cand_n];
        sift_down(std::span(cand, cand_n), 0, NearestFirst{});
        // res[0] is read only when the results hold something (always, unless
        // nodes are being passed over).
        if (res_n >= ef && res_n > 0 && nearest.distance > res[0].distance) break;

        // The next node to expand is most likely the new top: start loading
        // its row while this one is worked through.
        if (cand_n > 0 && layer == 0) __builtin_prefetch(graph.layer0_counted(cand[0].slot).data());
        const auto links = detail::row_links(graph, nearest.slot, layer);
        const std::uint32_t* link = links.data();
        std::size_t end = links.size();
        for (std::size_t from = 0; from < end;) {
            const std::size_t to = std::min(end, from + detail::LINK_CHUNK);
            std::size_t fresh_n = 0;
            for (std::size_t i = from; i < to; ++i) {
                const std::uint32_t slot = link[i];
                if (slot >= limit) {
                    if (slot == EMPTY_LINK) {
                        end = i;
                        break;
                    }
                    continue;
                }
                // Whether the slot is new decides only how far the write
                // position moves; writing it (and the mark) either way keeps a
                // hard-to-predict branch out of the busiest loop.
                const bool fresh_slot = stamps[slot] != stamp;
                stamps[slot] = stamp;
                fresh[fresh_n] = slot;
                fresh_n += fresh_slot;
            }
            from = to;
            if (fresh_n == 0) continue;
            measure.gather(target, base, fresh, fresh_n, distances);
            measured += fresh_n;

            if (candidates.size() < cand_n + fresh_n) {
                candidates.resize(std::max(2 * candidates.size(), cand_n + fresh_n));
                cand = candidates.data();
            }
            for (std::size_t j = 0; j < fresh_n; ++j) {
                const std::uint32_t distance = distances[j];
                see(fresh[j], distance);
                // A node at exactly the worst kept distance is refused once the
                // results are full; its mark keeps it from being retried.
                if (res_n < ef || (res_n > 0 && distance < res[0].distance)) {
                    const Candidate found{distance, fresh[j]};
                    cand[cand_n] = found;
                    sift_up(std::span(cand, cand_n + 1), cand_n, NearestFirst{});
                    ++cand_n;
                    if (!keep(found.slot)) continue;
                    res[res_n] = found;
                    sift_up(std::span(res, res_n + 1), res_n, FarthestFirst{});
                    ++res_n;
                    if (res_n > ef) {
                        std::swap(res[0], res[res_n - 1]);
                        --res_n;
                        sift_down(std::span(res, res_n), 0, FarthestFirst{});
                    }
                }
            }
        }
    }
    candidates.resize(cand_n);
    results.resize(res_n);
}

// The k nearest slots the graph reaches, in ascending distance. The layer-0
// search runs with width max(ef, k); the list is cut to k before slots that are
// tombstoned or outside `ids` are dropped, so a dropped slot is not replaced.
std::vector<SearchHit> search_hnsw(const HnswGraph& graph, CodeRows vectors, std::span<const std::uint32_t> ids,
                                   const std::uint64_t* query, std::uint64_t k, std::uint64_t ef,
                                   SearchContext& context);

// The k nearest live slots the graph reaches, in ascending distance, for a
// graph that outlives deletions: tombstoned nodes are walked through but never
// kept, so the layer-0 results (width max(ef, k)) hold live nodes only and up
// to k live hits come back.
std::vector<SearchHit> search_hnsw_live(const HnswGraph& graph, CodeRows vectors, std::span<const std::uint32_t> ids,
                                        const std::uint64_t* query, std::uint64_t k, std::uint64_t ef,
                                        SearchContext& context);

// The first `width` live slots by (distance, slot) among every node a live
// search of width max(ef, k) measures on layer 0, in no particular order: the candidates of
// a rescored query. The walk is that of search_hnsw_live; only the answer is
// wider than its beam. A rescored query wants k x oversample candidates, and
// widening the beam to that many costs far more than rescoring saves: the
// nodes the walk measured on its way, near the query by construction, serve
// instead.
std::vector<SearchHit> search_hnsw_pool(const HnswGraph& graph, CodeRows vectors, std::span<const std::uint32_t> ids,
                                        const std::uint64_t* query, std::uint64_t k, std::uint64_t ef,
                                        std::size_t width, SearchContext& context);

// The same walk and pick with the asymmetric distances of a prepared query
// (of the codes' dimension), entry descent included: the graph was built by
// Hamming distances, and only how this query measures its way changes. The
// hits carry asymmetric distances, which rank them and nothing else.
std::vector<SearchHit> search_hnsw_pool(const HnswGraph& graph, CodeRows vectors, std::span<const std::uint32_t> ids,
                                        const kernels::AsymmetricQuery& query, std::uint64_t k, std::uint64_t ef,
                                        std::size_t width, SearchContext& context);

// The graph road of a filtered query: search_hnsw_live's answer (width <= k)
// or search_hnsw_pool's (width > k) with only `allowed` slots kept, the
// others walked through. Nothing when the walk gave up, having measured more
// nodes on layer 0 than allowed slots / SCAN_ROWS_PER_WALK_NODE.
std::optional<std::vector<SearchHit>> search_hnsw_allowed(const HnswGraph& graph, CodeRows vectors,
                                                          std::span<const std::uint32_t> ids,
                                                          const std::uint64_t* query, std::uint64_t k, std::uint64_t ef,
                                                          std::size_t width, const AllowedSlots& allowed,
                                                          SearchContext& context);
// The same for a rescored query measured by its prepared asymmetric form:
// always search_hnsw_pool's pick (of `width` candidates) with only `allowed`
// slots kept, the hits carrying asymmetric distances.
std::optional<std::vector<SearchHit>> search_hnsw_allowed(const HnswGraph& graph, CodeRows vectors,
                                                          std::span<const std::uint32_t> ids,
                                                          const kernels::AsymmetricQuery& query, std::uint64_t k,
                                                          std::uint64_t ef, std::size_t width,
                                                          const AllowedSlots& allowed, SearchContext& context);

}  // namespace kestrix
