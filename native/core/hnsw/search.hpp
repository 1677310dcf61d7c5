// Walking one layer of the index, and the index road of a query.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "../quantized.hpp"
#include "../scan.hpp"
#include "graph.hpp"

namespace kestrix {

// Follows strictly closer links on one layer from `start` (whose distance to
// the target the caller already knows) and returns where the walk stopped. Each
// pass reads the position's links once and may move several times within them;
// an equal distance never moves the walk, so it cannot cycle.
Candidate greedy_descend(const HnswIndex& index, std::span<const QuantizedVector> vectors,
                         const QuantizedVector& target, std::uint32_t start, std::uint32_t start_distance,
                         std::uint64_t layer) noexcept;

// Best-first search of one layer, keeping the `ef` nearest nodes seen (one when
// ef is 0). Leaves them in `results` in the result heap's array order, not
// sorted; empty only when the entry is not a slot of `vectors`. `candidates` is
// working room. Starts a new search on `visited`.
void search_layer(const HnswIndex& index, std::span<const QuantizedVector> vectors, const QuantizedVector& target,
                  std::uint32_t entry, std::uint64_t layer, std::uint64_t ef, VisitedSet& visited,
                  std::vector<Candidate>& candidates, std::vector<Candidate>& results);
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
