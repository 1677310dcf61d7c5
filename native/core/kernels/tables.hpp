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

}  // namespace kestrix::kernels
