// Exact k-nearest search over every live slot, and the score of a distance.
#pragma once

#include <cstdint>
#include <vector>

#include "quantized.hpp"
#include "store.hpp"

namespace kestrix {

struct SearchHit {
    std::uint32_t doc_id;    // the slot's id word; never tombstoned here
    std::uint32_t slot;
    std::uint32_t distance;  // 0..384
    float score;
};

// 1 - d/384 in single precision, in two rounded steps (divide, then add). Every
// road to a score goes through here so that equal distances score identically.
inline float distance_to_score(std::uint32_t distance) noexcept {
    const float quotient = static_cast<float>(distance) / -384.0f;
    return 1.0f + quotient;
}

// The best min(k, live slots) hits in ascending distance. Among equal distances
// at the cut-off, earlier slots win (a full heap only admits strictly closer
// hits). Memory is bounded by the live slots, never by k.
std::vector<SearchHit> scan_top_k(const VectorStore& store, const QuantizedVector& query, std::uint64_t k);

// The query road of the store: through the index when one is present (with a
// layer-0 width of max(ef, k)), by the exact scan otherwise (ef unused).
std::vector<SearchHit> search(const VectorStore& store, const QuantizedVector& query, std::uint64_t k,
                              std::uint64_t ef);

}  // namespace kestrix
