// How an instruction set's file turns its kernels into table rows. A policy P
// offers P::hamming<W>() and P::asymmetric<W, B>(): the function tables of its
// kernels compiled for W words (0: any) and B query bits (0: any).
#pragma once

#include <utility>

#include "code_kernels.hpp"
#include "kernel_set.hpp"

namespace kestrix::kernels {

template <class P, std::size_t W>
constexpr WidthFns width_fns() noexcept {
    return {P::template hamming<W>(), P::template asymmetric<W, SPECIALISED_QUERY_BITS>(),
            P::template asymmetric<W, 0>()};
}

template <class P, std::size_t... I>
constexpr InstructionSetKernels instruction_set_kernels(const char* name, std::index_sequence<I...>) noexcept {
    return {name, width_fns<P, 0>(), {width_fns<P, SPECIALISED_WIDTHS[I]>()...}};
}

template <class P>
constexpr InstructionSetKernels instruction_set_kernels(const char* name) noexcept {
    return instruction_set_kernels<P>(name, std::make_index_sequence<SPECIALISED_WIDTHS.size()>{});
}

// A QuantizedVector's bytes are its code: six little-endian words.
inline const std::uint64_t* code_of(const QuantizedVector* v) noexcept {
    return reinterpret_cast<const std::uint64_t*>(v);
}

// The 384-bit kernels of kernel_set.hpp as a view of a set's 6-word row: each
// forwards to the specialised kernel with a direct call.
template <class P>
struct View384 {
    static constexpr std::size_t WORDS = DIMENSION / WORD_BITS;
    static constexpr HammingFns fns = P::template hamming<WORDS>();

    static std::uint64_t scan_block(const QuantizedVector& query, const QuantizedVector* rows, const std::uint32_t* ids,
                                    std::size_t count, std::uint32_t bound, std::uint16_t* distances) noexcept {
        return fns.scan_block(code_of(&query), code_of(rows), WORDS, ids, count, bound, distances);
    }
    static void gather(const QuantizedVector& query, const QuantizedVector* rows, const std::uint32_t* slots,
                       std::size_t count, std::uint32_t* out) noexcept {
        fns.gather(code_of(&query), code_of(rows), WORDS, slots, count, out);
    }
    static bool any_within(const QuantizedVector& query, const QuantizedVector* rows, const std::uint32_t* slots,
                           std::size_t count, std::uint32_t bound) noexcept {
        return fns.any_within(code_of(&query), code_of(rows), WORDS, slots, count, bound);
    }
    static std::uint32_t distance(const QuantizedVector& a, const QuantizedVector& b) noexcept {
        return fns.distance(code_of(&a), code_of(&b), WORDS);
    }
    static constexpr KernelSet set(const char* name) noexcept {
        return {name, scan_block, gather, any_within, distance};
    }
};

}  // namespace kestrix::kernels
