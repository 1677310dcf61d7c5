// Row by row with the hardware population count (any x86-64 CPU from about
// 2008 on): six POPCNTs per row instead of the bit-parallel count.
#if defined(__x86_64__)

#include "scan_block_x86.hpp"

namespace kestrix::kernels {

__attribute__((target("popcnt"))) std::uint64_t scan_block_popcnt(const QuantizedVector& query,
                                                                  const QuantizedVector* rows,
                                                                  const std::uint32_t* ids, std::size_t count,
                                                                  std::uint32_t bound,
                                                                  std::uint16_t* distances) noexcept {
    std::uint64_t query_lanes[6];
    std::memcpy(query_lanes, query.words.data(), sizeof query_lanes);
    for (std::size_t i = 0; i < count; ++i) {
        distances[i] = static_cast<std::uint16_t>(x86::row_distance(query_lanes, rows[i]));
    }
    return x86::offer_bits(ids, distances, 0, count, bound);
}

}  // namespace kestrix::kernels

#endif
