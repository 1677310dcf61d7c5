// Pieces shared by the x86 kernels. Everything here is static inline and
// compiled inside functions that carry their own target attribute, so no
// out-of-line copy built for a wider instruction set can leak to other callers.
#pragma once

#if defined(__x86_64__)

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "kernel_set.hpp"

namespace kestrix::kernels::x86 {

// Row distance with the popcount builtin: it becomes POPCNT inside a function
// compiled for a target that has it. Same pairing of words as hamming_distance.
__attribute__((always_inline)) static inline std::uint32_t row_distance(const std::uint64_t* query_lanes,
                                                                        const QuantizedVector& row) noexcept {
    std::uint64_t lanes[6];
    std::memcpy(lanes, row.words.data(), sizeof lanes);
    std::uint32_t total = 0;
    for (int i = 0; i < 6; ++i) total += static_cast<std::uint32_t>(__builtin_popcountll(query_lanes[i] ^ lanes[i]));
    return total;
}

// The scalar rule for the offer mask, used for the rows a kernel's vector loop
// does not cover.
__attribute__((always_inline)) static inline std::uint64_t offer_bits(const std::uint32_t* ids,
                                                                      const std::uint16_t* distances, std::size_t from,
                                                                      std::size_t count, std::uint32_t bound) noexcept {
    std::uint64_t mask = 0;
    for (std::size_t i = from; i < count; ++i) {
        const bool offered = !is_tombstoned(ids[i]) && distances[i] < bound;
        mask |= static_cast<std::uint64_t>(offered) << i;
    }
    return mask;
}

// The popcnt set's routines, which the wider sets reuse where they have
// nothing faster.
std::uint64_t scan_block_popcnt(const QuantizedVector& query, const QuantizedVector* rows, const std::uint32_t* ids,
                                std::size_t count, std::uint32_t bound, std::uint16_t* distances) noexcept;
void gather_popcnt(const QuantizedVector& query, const QuantizedVector* rows, const std::uint32_t* slots,
                   std::size_t count, std::uint32_t* out) noexcept;
bool any_within_popcnt(const QuantizedVector& query, const QuantizedVector* rows, const std::uint32_t* slots,
                       std::size_t count, std::uint32_t bound) noexcept;
std::uint32_t distance_popcnt(const QuantizedVector& a, const QuantizedVector& b) noexcept;

}  // namespace kestrix::kernels::x86

#endif
