// The portable set: hamming_distance row by row. Built for the baseline of the
// target, it is what every CPU can run and what the others must equal.
#include "kernel_set.hpp"

namespace kestrix::kernels {

namespace {

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

void gather_generic(const QuantizedVector& query, const QuantizedVector* rows, const std::uint32_t* slots,
                    std::size_t count, std::uint32_t* out) noexcept {
    for (std::size_t i = 0; i < count; ++i) out[i] = hamming_distance(query, rows[slots[i]]);
}

bool any_within_generic(const QuantizedVector& query, const QuantizedVector* rows, const std::uint32_t* slots,
                        std::size_t count, std::uint32_t bound) noexcept {
    for (std::size_t i = 0; i < count; ++i) {
        if (hamming_distance(query, rows[slots[i]]) <= bound) return true;
    }
    return false;
}

std::uint32_t distance_generic(const QuantizedVector& a, const QuantizedVector& b) noexcept {
    return hamming_distance(a, b);
}

}  // namespace

const KernelSet GENERIC_KERNELS{"generic", scan_block_generic, gather_generic, any_within_generic, distance_generic};

}  // namespace kestrix::kernels
