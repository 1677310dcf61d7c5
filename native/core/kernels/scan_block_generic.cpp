// The portable kernel: hamming_distance row by row. Built for the baseline of
// the target, it is what every CPU can run and what the others must equal.
#include "scan_block.hpp"

namespace kestrix::kernels {

std::uint64_t scan_block_generic(const QuantizedVector& query, const QuantizedVector* rows, const std::uint32_t* ids,
                                 std::size_t count, std::uint32_t bound, std::uint16_t* distances) noexcept {
    std::uint64_t mask = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint32_t d = hamming_distance(query, rows[i]);
        distances[i] = static_cast<std::uint16_t>(d);
        const bool offered = !is_tombstoned(ids[i]) && d < bound;
        mask |= static_cast<std::uint64_t>(offered) << i;
    }
    return mask;
}

}  // namespace kestrix::kernels
