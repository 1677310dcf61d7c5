// The reference kernels: plain loops in the order every other kernel follows.
#include <cstring>

#include "kernels.hpp"

namespace kestrix::side::detail {

namespace {

// Folds the sixteen lanes: l + (l + 8), then + 4, + 2, + 1.
float fold_lanes(float (&lanes)[FLOAT_LANES]) noexcept {
    for (std::size_t width = FLOAT_LANES / 2; width >= 1; width /= 2) {
        for (std::size_t l = 0; l < width; ++l) lanes[l] = lanes[l] + lanes[l + width];
    }
    return lanes[0];
}

}  // namespace

void int8_dots_portable(const std::int16_t* query, const std::byte* rows, std::size_t stride,
                        const std::uint32_t* slots, std::size_t count, std::int32_t* out) noexcept {
    for (std::size_t i = 0; i < count; ++i) {
        const auto* row = reinterpret_cast<const std::int8_t*>(rows + std::size_t{slots[i]} * stride);
        std::int32_t total = 0;
        for (std::size_t c = 0; c < DIMENSION; ++c) total += std::int32_t{query[c]} * std::int32_t{row[c]};
        out[i] = total;
    }
}

void float16_dots_portable(const float* query, const std::byte* rows, std::size_t stride, const std::uint32_t* slots,
                           std::size_t count, float* out) noexcept {
    for (std::size_t i = 0; i < count; ++i) {
        const std::byte* row = rows + std::size_t{slots[i]} * stride;
        float lanes[FLOAT_LANES] = {};
        for (std::size_t c = 0; c < DIMENSION; ++c) {
            std::uint16_t h;
            std::memcpy(&h, row + 2 * c, sizeof h);
            const float product = query[c] * half_to_float(h);
            lanes[c % FLOAT_LANES] = lanes[c % FLOAT_LANES] + product;
        }
        out[i] = fold_lanes(lanes);
    }
}

void sign_dots_portable(const float* query, const QuantizedVector* rows, const std::uint32_t* slots, std::size_t count,
                        float* out) noexcept {
    for (std::size_t i = 0; i < count; ++i) {
        const QuantizedVector& row = rows[slots[i]];
        float lanes[FLOAT_LANES] = {};
        for (std::size_t c = 0; c < DIMENSION; ++c) {
            const bool set = (row.words[c / 32] >> (c % 32)) & 1u;
            lanes[c % FLOAT_LANES] = lanes[c % FLOAT_LANES] + (set ? query[c] : -query[c]);
        }
        out[i] = fold_lanes(lanes);
    }
}

}  // namespace kestrix::side::detail
