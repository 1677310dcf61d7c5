// The popcnt set's kernels: the row-by-row loops of scalar.hpp compiled where
// POPCNT is one instruction (any x86-64 CPU from about 2008 on). The wider
// sets take from here what their vectors do not speed up. Every entry point
// carries its own target and inlines all it calls (flatten), so nothing built
// for POPCNT leaks into baseline code.
#pragma once

#if defined(__x86_64__)

#include "scalar.hpp"

#define KESTRIX_POPCNT_ENTRY __attribute__((target("popcnt"), flatten)) static

namespace kestrix::kernels::x86 {

struct Popcnt : scalar::EntryTables<Popcnt> {
    template <std::size_t W>
    KESTRIX_POPCNT_ENTRY std::uint64_t scan_block(const std::uint64_t* query, const std::uint64_t* rows,
                                                  std::size_t words, const std::uint32_t* ids, std::size_t count,
                                                  std::uint32_t bound, std::uint16_t* distances) noexcept {
        return scalar::hamming_scan_block<W>(query, rows, words, ids, count, bound, distances);
    }
    template <std::size_t W>
    KESTRIX_POPCNT_ENTRY void gather(const std::uint64_t* query, const std::uint64_t* rows, std::size_t words,
                                     const std::uint32_t* slots, std::size_t count, std::uint32_t* out) noexcept {
        scalar::hamming_gather<W>(query, rows, words, slots, count, out);
    }
    template <std::size_t W>
    KESTRIX_POPCNT_ENTRY bool any_within(const std::uint64_t* query, const std::uint64_t* rows, std::size_t words,
                                         const std::uint32_t* slots, std::size_t count, std::uint32_t bound) noexcept {
        return scalar::hamming_any_within<W>(query, rows, words, slots, count, bound);
    }
    template <std::size_t W>
    KESTRIX_POPCNT_ENTRY std::uint32_t distance(const std::uint64_t* a, const std::uint64_t* b,
                                                std::size_t words) noexcept {
        return scalar::hamming_distance<W>(a, b, words);
    }
    template <std::size_t W, unsigned B>
    KESTRIX_POPCNT_ENTRY std::uint64_t asymmetric_scan_block(const AsymmetricQuery& query, const std::uint64_t* rows,
                                                             const std::uint32_t* ids, std::size_t count,
                                                             std::uint32_t bound, std::uint32_t* distances) noexcept {
        return scalar::asymmetric_scan_block<W, B>(query, rows, ids, count, bound, distances);
    }
    template <std::size_t W, unsigned B>
    KESTRIX_POPCNT_ENTRY void asymmetric_gather(const AsymmetricQuery& query, const std::uint64_t* rows,
                                                const std::uint32_t* slots, std::size_t count,
                                                std::uint32_t* out) noexcept {
        scalar::asymmetric_gather<W, B>(query, rows, slots, count, out);
    }
    template <std::size_t W, unsigned B>
    KESTRIX_POPCNT_ENTRY std::uint32_t asymmetric_distance(const AsymmetricQuery& query,
                                                           const std::uint64_t* row) noexcept {
        return scalar::asymmetric_distance<W, B>(query, row);
    }
};

}  // namespace kestrix::kernels::x86

#undef KESTRIX_POPCNT_ENTRY

#endif
