// Exact k-nearest search over every live slot of a store.
#pragma once

#include <cstdint>
#include <vector>

#include "hits.hpp"
#include "quantized.hpp"
#include "store.hpp"

namespace kestrix {

// The best min(k, live slots) hits in ascending distance. Among equal distances
// at the cut-off, earlier slots win (a full heap only admits strictly closer
// hits). Memory is bounded by the live slots, never by k.
std::vector<SearchHit> scan_top_k(const VectorStore& store, const QuantizedVector& query, std::uint64_t k);

}  // namespace kestrix
