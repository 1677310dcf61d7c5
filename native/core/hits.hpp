// What a query hands back, and the score of a distance: shared by the exact
// scan, the graph search and every caller of either.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrix {

struct SearchHit {
    std::uint32_t doc_id;  // the slot's id word; never tombstoned here
    std::uint32_t slot;
    std::uint32_t distance;  // 0..dim
    float score;
};

// 1 - d/dim in single precision, in two rounded steps (divide, then add). Every
// road to a score goes through here so that equal distances score identically.
inline float distance_to_score(std::uint32_t distance, std::size_t dim) noexcept {
    const float quotient = static_cast<float>(distance) / -static_cast<float>(dim);
    return 1.0f + quotient;
}

}  // namespace kestrix
