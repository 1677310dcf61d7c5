// The reference kernels: plain loops in the order every other kernel follows.
#include <cstring>

#include "kernels.hpp"

namespace kestrix::side {

namespace {

// Folds the sixteen lanes: l + (l + 8), then + 4, + 2, + 1.
float fold_lanes(float (&lanes)[FLOAT_LANES]) noexcept {
    for (std::size_t width = FLOAT_LANES / 2; width >= 1; width /= 2) {
        for (std::size_t l = 0; l < width; ++l) lanes[l] = lanes[l] + lanes[l + width];
    }
    return lanes[0];
}

struct Portable {
    template <std::size_t D>
    static void int8_dots(const std::int16_t* query, std::size_t dim, const std::byte* rows, std::size_t stride,
                          const std::uint32_t* slots, std::size_t count, std::int32_t* out) noexcept {
        const std::size_t n = D != 0 ? D : dim;
        for (std::size_t i = 0; i < count; ++i) {
            const auto* row = reinterpret_cast<const std::int8_t*>(rows + std::size_t{slots[i]} * stride);
            std::int32_t total = 0;
            for (std::size_t c = 0; c < n; ++c) total += std::int32_t{query[c]} * std::int32_t{row[c]};
            out[i] = total;
        }
    }

    template <std::size_t D>
    static void float16_dots(const float* query, std::size_t dim, const std::byte* rows, std::size_t stride,
                             const std::uint32_t* slots, std::size_t count, float* out) noexcept {
        const std::size_t n = D != 0 ? D : dim;
        for (std::size_t i = 0; i < count; ++i) {
            const std::byte* row = rows + std::size_t{slots[i]} * stride;
            float lanes[FLOAT_LANES] = {};
            for (std::size_t c = 0; c < n; ++c) {
                std::uint16_t h;
                std::memcpy(&h, row + 2 * c, sizeof h);
                const float product = query[c] * half_to_float(h);
                lanes[c % FLOAT_LANES] = lanes[c % FLOAT_LANES] + product;
            }
            out[i] = fold_lanes(lanes);
        }
    }

    template <std::size_t D>
    static void sign_dots(const float* query, std::size_t dim, const std::uint64_t* codes, const std::uint32_t* slots,
                          std::size_t count, float* out) noexcept {
        const std::size_t n = D != 0 ? D : dim;
        const std::size_t words = kernels::code_words(n);
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint64_t* code = codes + std::size_t{slots[i]} * words;
            float lanes[FLOAT_LANES] = {};
            for (std::size_t c = 0; c < n; ++c) {
                const bool set = (kernels::load_word(code + c / kernels::WORD_BITS) >> (c % kernels::WORD_BITS)) & 1u;
                lanes[c % FLOAT_LANES] = lanes[c % FLOAT_LANES] + (set ? query[c] : -query[c]);
            }
            out[i] = fold_lanes(lanes);
        }
    }
};

}  // namespace

constinit const SideKernels PORTABLE_SIDE_KERNELS = side_kernels_of<Portable>("portable");

}  // namespace kestrix::side
