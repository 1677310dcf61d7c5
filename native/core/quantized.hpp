// One bit per dimension: the only representation of a vector the store keeps.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace kestrix {

inline constexpr std::size_t DIMENSION = 384;
inline constexpr std::size_t QUANTIZED_WORDS = DIMENSION / 32;  // 12

// Component c lives in word c / 32 at bit c % 32 (bit 0 least significant).
// The layout is part of the serialized form, so it must never change.
struct QuantizedVector {
    std::array<std::uint32_t, QUANTIZED_WORDS> words{};

    friend bool operator==(const QuantizedVector&, const QuantizedVector&) = default;
};
static_assert(sizeof(QuantizedVector) == 48, "rows are packed 48 bytes apart");

// Sign rule: a bit is set exactly when the component compares greater than +0.0.
// NaN, -0.0 and +0.0 all give 0.
inline QuantizedVector quantize(std::span<const float, DIMENSION> values) noexcept {
    QuantizedVector q;
    for (std::size_t i = 0; i < QUANTIZED_WORDS; ++i) {
        std::uint32_t word = 0;
        for (std::size_t j = 0; j < 32; ++j) {
            word |= static_cast<std::uint32_t>(values[32 * i + j] > 0.0f) << j;
        }
        q.words[i] = word;
    }
    return q;
}

// Population count of the XOR. The 12 words are read as 6 little-endian 64-bit
// lanes: the count of set bits does not depend on how the words are paired, and
// halving the number of popcounts matters on the innermost path of every query.
// Where the caller is compiled for a CPU with a population-count instruction,
// std::popcount becomes that instruction.
inline std::uint32_t hamming_distance(const QuantizedVector& a, const QuantizedVector& b) noexcept {
    std::uint64_t la[6];
    std::uint64_t lb[6];
    std::memcpy(la, a.words.data(), sizeof la);
    std::memcpy(lb, b.words.data(), sizeof lb);
    std::uint32_t total = 0;
    for (int i = 0; i < 6; ++i) {
        total += static_cast<std::uint32_t>(std::popcount(la[i] ^ lb[i]));
    }
    return total;
}

}  // namespace kestrix
