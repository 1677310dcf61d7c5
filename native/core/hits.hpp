// What a query hands back, and the score of a distance: shared by the exact
// scan, the graph search and every caller of either.
#pragma once

#include <cstdint>

namespace kestrix {

struct SearchHit {
    std::uint32_t doc_id;  // the slot's id word; never tombstoned here
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

}  // namespace kestrix
