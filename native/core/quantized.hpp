// One bit per dimension: the only representation of a vector the store keeps.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ranges>
#include <span>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "kernels/code_kernels.hpp"

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
// NaN, -0.0 and +0.0 all give 0. The code of `dim` values is
// kernels::code_words(dim) words: bit c % 64 of word c / 64 for component c,
// the bits past dim zero (code_kernels.hpp). On x86-64 (where SSE2 is part of
// the baseline) four components are compared at once: CMPPS "greater than" is
// an ordered comparison, false for NaN, exactly like the scalar `>`.

// The signs of values[0 .. n), n <= 64, as one word of a code.
inline std::uint64_t sign_word(const float* values, std::size_t n) noexcept {
    std::uint64_t word = 0;
    std::size_t scalar_from = 0;
#if defined(__SSE2__)
    const __m128 zero = _mm_setzero_ps();
    scalar_from = n / 4 * 4;
#pragma GCC unroll 16
    for (std::size_t j = 0; j < scalar_from; j += 4) {
        const __m128 four = _mm_loadu_ps(values + j);
        word |= static_cast<std::uint64_t>(_mm_movemask_ps(_mm_cmpgt_ps(four, zero))) << j;
    }
#endif
    for (std::size_t j = scalar_from; j < n; ++j) word |= static_cast<std::uint64_t>(values[j] > 0.0f) << j;
    return word;
}

// The code of values[0 .. dim).
inline void quantize_into(const float* values, std::size_t dim, std::uint64_t* code) noexcept {
    const std::size_t whole = dim / kernels::WORD_BITS;
    // Whole words with their length known, so that their loops unroll.
    for (std::size_t w = 0; w < whole; ++w) code[w] = sign_word(values + w * kernels::WORD_BITS, kernels::WORD_BITS);
    if (whole * kernels::WORD_BITS < dim) {
        code[whole] = sign_word(values + whole * kernels::WORD_BITS, dim - whole * kernels::WORD_BITS);
    }
}

// A 384-dimensional vector's code: its six words are the twelve of a
// QuantizedVector, in the same bytes.
inline QuantizedVector quantize(std::span<const float, DIMENSION> values) noexcept {
    std::uint64_t code[DIMENSION / kernels::WORD_BITS];
    quantize_into(values.data(), DIMENSION, code);
    QuantizedVector q;
    std::memcpy(q.words.data(), code, sizeof code);
    return q;
}

// A QuantizedVector's bytes as the code the kernels read (they load words as
// bytes, so the 32-bit storage does not matter).
inline const std::uint64_t* code_of(const QuantizedVector& v) noexcept {
    return reinterpret_cast<const std::uint64_t*>(v.words.data());
}

// Codes where they lie: `count` codes of `dim`-dimensional vectors, each
// kernels::code_words(dim) words, one after another. A store's rows, a batch
// of queries: what every reader of codes (scan, graph, rescoring) takes.
struct CodeRows {
    const std::uint64_t* data = nullptr;
    std::size_t dim = DIMENSION;
    std::size_t words = kernels::code_words(DIMENSION);
    std::size_t count = 0;

    constexpr CodeRows() noexcept = default;
    constexpr CodeRows(const std::uint64_t* rows, std::size_t dimension, std::size_t n) noexcept
        : data(rows), dim(dimension), words(kernels::code_words(dimension)), count(n) {}
    // 384-dimensional codes kept as QuantizedVectors.
    template <std::ranges::contiguous_range R>
    requires std::same_as<std::ranges::range_value_t<R>, QuantizedVector> CodeRows(const R& rows)
    noexcept
        : CodeRows(std::ranges::empty(rows) ? nullptr : code_of(*std::ranges::data(rows)), DIMENSION,
                   std::ranges::size(rows)) {}

    std::size_t size() const noexcept { return count; }
    bool empty() const noexcept { return count == 0; }
    const std::uint64_t* operator[](std::size_t slot) const noexcept { return data + slot * words; }
};

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
