// One bit per dimension: the only representation of a vector the store keeps.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// Each row carries a 32-bit id word beside its vector. The top bit marks a
// deleted (tombstoned) row: its vector stays in place until compaction, so every
// reader of the rows, from the store to the kernels, asks this one question.
inline constexpr std::uint32_t TOMBSTONE_BIT = 0x80000000u;

inline constexpr bool is_tombstoned(std::uint32_t id_word) noexcept { return (id_word & TOMBSTONE_BIT) != 0; }

// Sign rule: a bit is set exactly when the component compares greater than +0.0.
// NaN, -0.0 and +0.0 all give 0. On x86-64 (where SSE2 is part of the baseline)
// four components are compared at once: CMPPS "greater than" is an ordered
// comparison, false for NaN, exactly like the scalar `>`.
inline QuantizedVector quantize(std::span<const float, DIMENSION> values) noexcept {
    QuantizedVector q;
#if defined(__SSE2__)
    const __m128 zero = _mm_setzero_ps();
    for (std::size_t i = 0; i < QUANTIZED_WORDS; ++i) {
        std::uint32_t word = 0;
        for (std::size_t j = 0; j < 32; j += 4) {
            const __m128 four = _mm_loadu_ps(values.data() + 32 * i + j);
            word |= static_cast<std::uint32_t>(_mm_movemask_ps(_mm_cmpgt_ps(four, zero))) << j;
        }
        q.words[i] = word;
    }
#else
    for (std::size_t i = 0; i < QUANTIZED_WORDS; ++i) {
        std::uint32_t word = 0;
        for (std::size_t j = 0; j < 32; ++j) {
            word |= static_cast<std::uint32_t>(values[32 * i + j] > 0.0f) << j;
        }
        q.words[i] = word;
    }
#endif
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
