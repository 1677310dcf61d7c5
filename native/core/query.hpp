// The one query entry of a store: through its graph when one is built, by the
// exact scan otherwise.
#pragma once

#include <cstdint>
#include <vector>

#include "hits.hpp"
#include "hnsw/context.hpp"
#include "quantized.hpp"
#include "store.hpp"

namespace kestrix {

// With a graph, the layer-0 search runs with width max(ef, k) and `context`
// is its working room; without one, the exact scan answers (ef and context
// unused).
std::vector<SearchHit> search(const VectorStore& store, const std::uint64_t* query, std::uint64_t k, std::uint64_t ef,
                              SearchContext& context);

}  // namespace kestrix
