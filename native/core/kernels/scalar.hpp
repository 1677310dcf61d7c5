// The row-by-row kernels: one code at a time, a word at a time. The portable
// set is exactly these, built for the baseline of the target; the popcnt set
// (and NEON's single distances) compile the same code where the population
// count is one instruction; the wide sets use them for the rows their vector
// loops do not cover. Nothing here carries a target of its own: the code takes
// the instruction set of the function it is inlined into.
//
// W is the width in words when it is known at compile time, 0 when it comes
// at run time (the generic loop); B likewise the bits of an asymmetric query.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "../quantized.hpp"
#include "code_kernels.hpp"
#include "kernel_set.hpp"

namespace kestrix::kernels::scalar {

template <std::size_t W>
constexpr std::size_t width(std::size_t words) noexcept {
    return W != 0 ? W : words;
}

template <unsigned B>
constexpr unsigned query_bits(unsigned bits) noexcept {
    return B != 0 ? B : bits;
}

// Whether the row at `i` is offered: live and below the bound.
inline std::uint64_t offer_bit(const std::uint32_t* ids, std::size_t i, std::uint32_t d, std::uint32_t bound) noexcept {
    return static_cast<std::uint64_t>(!is_tombstoned(ids[i]) && d < bound) << i;
}

// The scalar rule for the offer mask of rows [from, count).
template <class Distance>
std::uint64_t offer_bits(const std::uint32_t* ids, const Distance* distances, std::size_t from, std::size_t count,
                         std::uint32_t bound) noexcept {
    std::uint64_t mask = 0;
    for (std::size_t i = from; i < count; ++i) mask |= offer_bit(ids, i, distances[i], bound);
    return mask;
}

// ---------------------------------------------------------------- Hamming

// The query's words, read once per call.
template <std::size_t W>
struct HammingQuery {
    std::uint64_t words[W != 0 ? W : MAX_CODE_WORDS];
    std::size_t n;

    HammingQuery(const std::uint64_t* query, std::size_t count) noexcept : n(width<W>(count)) {
        for (std::size_t i = 0; i < n; ++i) words[i] = load_word(query + i);
    }

    std::uint32_t distance(const std::uint64_t* row) const noexcept {
        std::uint32_t total = 0;
        for (std::size_t i = 0; i < n; ++i)
            total += static_cast<std::uint32_t>(std::popcount(words[i] ^ load_word(row + i)));
        return total;
    }
};

template <std::size_t W>
std::uint64_t hamming_scan_block(const std::uint64_t* query, const std::uint64_t* rows, std::size_t words,
                                 const std::uint32_t* ids, std::size_t count, std::uint32_t bound,
                                 std::uint16_t* distances) noexcept {
    const HammingQuery<W> q(query, words);
    std::uint64_t mask = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint32_t d = q.distance(rows + i * q.n);
        distances[i] = static_cast<std::uint16_t>(d);
        mask |= offer_bit(ids, i, d, bound);
    }
    return mask;
}

template <std::size_t W>
void hamming_gather(const std::uint64_t* query, const std::uint64_t* rows, std::size_t words,
                    const std::uint32_t* slots, std::size_t count, std::uint32_t* out) noexcept {
    const HammingQuery<W> q(query, words);
    for (std::size_t i = 0; i < count; ++i) out[i] = q.distance(rows + std::size_t{slots[i]} * q.n);
}

template <std::size_t W>
bool hamming_any_within(const std::uint64_t* query, const std::uint64_t* rows, std::size_t words,
                        const std::uint32_t* slots, std::size_t count, std::uint32_t bound) noexcept {
    const HammingQuery<W> q(query, words);
    for (std::size_t i = 0; i < count; ++i) {
        if (q.distance(rows + std::size_t{slots[i]} * q.n) <= bound) return true;
    }
    return false;
}

template <std::size_t W>
std::uint32_t hamming_distance(const std::uint64_t* a, const std::uint64_t* b, std::size_t words) noexcept {
    std::uint32_t total = 0;
    for (std::size_t i = 0; i < width<W>(words); ++i) {
        total += static_cast<std::uint32_t>(std::popcount(load_word(a + i) ^ load_word(b + i)));
    }
    return total;
}

// ---------------------------------------------------------------- asymmetric

// The distance from the two sums the kernels collect: `ones`, the set bits of
// the code, and `weighted`, sum_p 2^p popcount(plane_p & code). Computed
// modulo 2^32, which is exact because the distance itself lies in 0..2^31.
inline std::uint32_t asymmetric_from_sums(const AsymmetricQuery& query, std::uint32_t ones,
                                          std::uint32_t weighted) noexcept {
    const std::uint32_t code_weight = 0u - static_cast<std::uint32_t>(query.offset);
    return query.positive + code_weight * ones - 2u * weighted;
}

template <std::size_t W, unsigned B>
std::uint32_t asymmetric_row(const AsymmetricQuery& query, const std::uint64_t* row) noexcept {
    const std::size_t n = width<W>(query.words);
    const unsigned bits = query_bits<B>(query.bits);
    std::uint32_t ones = 0, weighted = 0;
    for (std::size_t w = 0; w < n; ++w) {
        const std::uint64_t x = load_word(row + w);
        ones += static_cast<std::uint32_t>(std::popcount(x));
        for (unsigned p = 0; p < bits; ++p) {
            weighted += static_cast<std::uint32_t>(std::popcount(x & query.planes[p * n + w])) << p;
        }
    }
    return asymmetric_from_sums(query, ones, weighted);
}

template <std::size_t W, unsigned B>
std::uint64_t asymmetric_scan_block(const AsymmetricQuery& query, const std::uint64_t* rows, const std::uint32_t* ids,
                                    std::size_t count, std::uint32_t bound, std::uint32_t* distances) noexcept {
    const std::size_t n = width<W>(query.words);
    std::uint64_t mask = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint32_t d = asymmetric_row<W, B>(query, rows + i * n);
        distances[i] = d;
        mask |= offer_bit(ids, i, d, bound);
    }
    return mask;
}

// Asks for the rows at slots[from .. from + GATHER_GROUP) (clipped to count):
// the lines of their first and last bytes. An asymmetric row costs several
// times a Hamming row's work, so fewer row reads are in flight on their own.
inline void ask_for_rows(const std::uint64_t* rows, std::size_t words, const std::uint32_t* slots, std::size_t from,
                         std::size_t count) noexcept {
    for (std::size_t r = from; r < count && r < from + GATHER_GROUP; ++r) {
        const auto* row = reinterpret_cast<const char*>(rows + std::size_t{slots[r]} * words);
        __builtin_prefetch(row);
        __builtin_prefetch(row + words * sizeof *rows - 1);
    }
}

template <std::size_t W, unsigned B>
void asymmetric_gather(const AsymmetricQuery& query, const std::uint64_t* rows, const std::uint32_t* slots,
                       std::size_t count, std::uint32_t* out) noexcept {
    const std::size_t n = width<W>(query.words);
    ask_for_rows(rows, n, slots, 0, count);
    for (std::size_t i = 0; i < count; ++i) {
        if (i % GATHER_GROUP == 0) ask_for_rows(rows, n, slots, i + GATHER_GROUP, count);
        out[i] = asymmetric_row<W, B>(query, rows + std::size_t{slots[i]} * n);
    }
}

template <std::size_t W, unsigned B>
std::uint32_t asymmetric_distance(const AsymmetricQuery& query, const std::uint64_t* row) noexcept {
    return asymmetric_row<W, B>(query, row);
}

// The function tables of a set whose entry points are its static members
// scan_block<W>, gather<W>, any_within<W>, distance<W> and
// asymmetric_scan_block<W, B>, asymmetric_gather<W, B>,
// asymmetric_distance<W, B>, as tables.hpp reads them.
template <class Self>
struct EntryTables {
    template <std::size_t W>
    static constexpr HammingFns hamming() noexcept {
        return {Self::template scan_block<W>, Self::template gather<W>, Self::template any_within<W>,
                Self::template distance<W>};
    }
    template <std::size_t W, unsigned B>
    static constexpr AsymmetricFns asymmetric() noexcept {
        return {Self::template asymmetric_scan_block<W, B>, Self::template asymmetric_gather<W, B>,
                Self::template asymmetric_distance<W, B>};
    }
};

// The portable set: the loops above as they are.
struct Portable {
    template <std::size_t W>
    static constexpr HammingFns hamming() noexcept {
        return {hamming_scan_block<W>, hamming_gather<W>, hamming_any_within<W>, hamming_distance<W>};
    }
    template <std::size_t W, unsigned B>
    static constexpr AsymmetricFns asymmetric() noexcept {
        return {asymmetric_scan_block<W, B>, asymmetric_gather<W, B>, asymmetric_distance<W, B>};
    }
};

}  // namespace kestrix::kernels::scalar
