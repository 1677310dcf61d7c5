// The inner-product kernels of rescoring, and the one point that picks among
// them.
//
// Every kernel gives bit-identical results to the portable one, so a
// collection answers the same on every machine:
// - int8 rows are multiplied with a query quantised to int8 as well, in exact
//   integer arithmetic (the order of the sum cannot matter);
// - float16 rows and the sign rows of the codes are summed in one fixed order:
//   sixteen float lanes, lane l taking components l, l + 16, l + 32, ... in
//   ascending order (a product is rounded, then added: no fused multiply-add),
//   then folded lane l + lane l + 8, lane l + lane l + 4, + 2, + 1. That is the
//   natural shape of a 16-lane register, and two 8-lane registers reproduce it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "../float_rows.hpp"
#include "../kernels/code_kernels.hpp"
#include "../quantized.hpp"

namespace kestrix::side {

inline constexpr std::size_t FLOAT_LANES = 16;

// Sum of query[c] * row[c] over the `dim` int8 components (1..4096) of each
// of `count` rows, row i starting at rows + slots[i] * stride; the query has
// `dim` int16 values in -127..127.
using Int8DotsFn = void (*)(const std::int16_t* query, std::size_t dim, const std::byte* rows, std::size_t stride,
                            const std::uint32_t* slots, std::size_t count, std::int32_t* out) noexcept;
// The same over `dim` float16 components. The order of the float sums is the
// one above whatever dim is: component c goes to lane c % 16, in ascending
// order, so a lane that no component of the last, partial group reaches keeps
// its sum as it was; then the fixed fold.
using Float16DotsFn = void (*)(const float* query, std::size_t dim, const std::byte* rows, std::size_t stride,
                               const std::uint32_t* slots, std::size_t count, float* out) noexcept;
// The same with the row's sign vector: +query[c] where bit c is set, -query[c]
// where it is clear. Rows are codes of kernels::code_words(dim) words
// (code_kernels.hpp), `codes` the first.
using SignDotsFn = void (*)(const float* query, std::size_t dim, const std::uint64_t* codes, const std::uint32_t* slots,
                            std::size_t count, float* out) noexcept;

// The products of one set at one width.
struct SideDots {
    Int8DotsFn int8_dots;
    Float16DotsFn float16_dots;
    SignDotsFn sign_dots;
};

// One instruction set's products: compiled for 384 components, where loops
// unroll (a Kestrix's width, and the most common), and for any.
struct SideKernels {
    const char* name;
    SideDots at_384;
    SideDots any;

    // The products for `dim` components: the ones compiled for it where there are.
    const SideDots& dots(std::size_t dim) const noexcept { return dim == DIMENSION ? at_384 : any; }
};

// Every kernel set this CPU can run, portable first, fastest last. The
// portable one is the reference the others are tested against.
std::span<const SideKernels> available_side_kernels() noexcept;

// The fastest set this CPU can run, chosen once per process.
const SideKernels& side_kernels() noexcept;

// The vector kernels sum ROW_GROUP candidates side by side: each row's sum is
// one chain of dependent additions, and several chains in flight hide their
// latency without changing any row's order of summation. The candidates of a
// query are scattered over the side, so rows are asked for PREFETCH_AHEAD
// candidates before they are summed.
inline constexpr std::size_t ROW_GROUP = 4;
inline constexpr std::size_t PREFETCH_AHEAD = 2 * ROW_GROUP;

// Asks for the rows of candidates [from, to) (clipped to count) of a side
// with rows `stride` bytes apart: every cache line of their first `bytes`
// bytes. Rows are not aligned to lines (388 bytes apart), so a row touches
// one line more than its length suggests, and an int8 row's scale, which
// follows its values, often lies on that line.
inline void prefetch_rows(const std::byte* rows, std::size_t stride, std::size_t bytes, const std::uint32_t* slots,
                          std::size_t from, std::size_t to, std::size_t count) noexcept {
    constexpr std::uintptr_t LINE = 64;
    for (std::size_t i = from; i < std::min(to, count); ++i) {
        const auto start = reinterpret_cast<std::uintptr_t>(rows + std::size_t{slots[i]} * stride);
        for (std::uintptr_t line = start & ~(LINE - 1); line < start + bytes; line += LINE) {
            __builtin_prefetch(reinterpret_cast<const void*>(line));
        }
    }
}

// Sums the candidates of a list in groups: `group.template operator()<R>(i)`
// sums candidates i .. i + R - 1 (R is ROW_GROUP, or 1 for the last few),
// their rows asked for PREFETCH_AHEAD candidates early (`bytes` of each row,
// rows `stride` bytes apart from `rows`). Every vector kernel's entry point
// runs this, inlined with everything it calls into the entry point (flatten),
// so it takes the entry point's instruction set.
template <class Group>
inline void in_row_groups(const std::byte* rows, std::size_t stride, std::size_t bytes, const std::uint32_t* slots,
                          std::size_t count, Group&& group) noexcept {
    prefetch_rows(rows, stride, bytes, slots, 0, PREFETCH_AHEAD, count);
    std::size_t i = 0;
    for (; i + ROW_GROUP <= count; i += ROW_GROUP) {
        prefetch_rows(rows, stride, bytes, slots, i + PREFETCH_AHEAD, i + PREFETCH_AHEAD + ROW_GROUP, count);
        group.template operator()<ROW_GROUP>(i);
    }
    for (; i < count; ++i) group.template operator()<1>(i);
}

// A set from a policy P whose P::int8_dots<D>, P::float16_dots<D> and
// P::sign_dots<D> sum over D components (0: over `dim`).
template <class P>
constexpr SideKernels side_kernels_of(const char* name) noexcept {
    return {name,
            {P::template int8_dots<DIMENSION>, P::template float16_dots<DIMENSION>, P::template sign_dots<DIMENSION>},
            {P::template int8_dots<0>, P::template float16_dots<0>, P::template sign_dots<0>}};
}

// The bits of components c .. c + 15 of a code (c a multiple of 16).
inline std::uint16_t sign_chunk(const std::uint64_t* code, std::size_t c) noexcept {
    return static_cast<std::uint16_t>(kernels::load_word(code + c / kernels::WORD_BITS) >> (c % kernels::WORD_BITS));
}

// The products of a set that sums R candidates side by side. `Rows` offers
// Rows::Int8Query (the int8 query as its kernel reads it, made once per call)
// and Rows::int8_rows<R, D>, float16_rows<R, D> and sign_rows<R, D>, which sum
// candidates slots[0 .. R) (R is ROW_GROUP, or 1 for the last few) over D
// components (0: over n). They carry the set's target but are not forced
// inline, so these baseline templates may call them; the set's entry points
// (KESTRIX_GROUPED_SIDE_ENTRIES) inline everything into themselves.
template <class Rows, std::size_t D>
inline void grouped_int8_dots(const std::int16_t* query, std::size_t dim, const std::byte* rows, std::size_t stride,
                              const std::uint32_t* slots, std::size_t count, std::int32_t* out) noexcept {
    const std::size_t n = D != 0 ? D : dim;
    const typename Rows::Int8Query q(query, n);
    in_row_groups(rows, stride, stride, slots, count, [&]<std::size_t R>(std::size_t i) {
        Rows::template int8_rows<R, D>(q, n, rows, stride, slots + i, out + i);
    });
}

template <class Rows, std::size_t D>
inline void grouped_float16_dots(const float* query, std::size_t dim, const std::byte* rows, std::size_t stride,
                                 const std::uint32_t* slots, std::size_t count, float* out) noexcept {
    const std::size_t n = D != 0 ? D : dim;
    in_row_groups(rows, stride, 2 * n, slots, count, [&]<std::size_t R>(std::size_t i) {
        Rows::template float16_rows<R, D>(query, n, rows, stride, slots + i, out + i);
    });
}

template <class Rows, std::size_t D>
inline void grouped_sign_dots(const float* query, std::size_t dim, const std::uint64_t* codes,
                              const std::uint32_t* slots, std::size_t count, float* out) noexcept {
    const std::size_t n = D != 0 ? D : dim;
    const std::size_t bytes = kernels::code_words(n) * sizeof *codes;
    in_row_groups(
        reinterpret_cast<const std::byte*>(codes), bytes, bytes, slots, count,
        [&]<std::size_t R>(std::size_t i) { Rows::template sign_rows<R, D>(query, n, codes, slots + i, out + i); });
}

// The entry points of a grouped set, as members of its policy for
// side_kernels_of: ENTRY gives them the set's target and inlines all they call
// (an attribute cannot be a template argument, hence the macro).
#define KESTRIX_GROUPED_SIDE_ENTRIES(ENTRY, ROWS)                                                                     \
    template <std::size_t D>                                                                                          \
    ENTRY void int8_dots(const std::int16_t* query, std::size_t dim, const std::byte* rows, std::size_t stride,       \
                         const std::uint32_t* slots, std::size_t count, std::int32_t* out) noexcept {                 \
        grouped_int8_dots<ROWS, D>(query, dim, rows, stride, slots, count, out);                                      \
    }                                                                                                                 \
    template <std::size_t D>                                                                                          \
    ENTRY void float16_dots(const float* query, std::size_t dim, const std::byte* rows, std::size_t stride,           \
                            const std::uint32_t* slots, std::size_t count, float* out) noexcept {                     \
        grouped_float16_dots<ROWS, D>(query, dim, rows, stride, slots, count, out);                                   \
    }                                                                                                                 \
    template <std::size_t D>                                                                                          \
    ENTRY void sign_dots(const float* query, std::size_t dim, const std::uint64_t* codes, const std::uint32_t* slots, \
                         std::size_t count, float* out) noexcept {                                                    \
        grouped_sign_dots<ROWS, D>(query, dim, codes, slots, count, out);                                             \
    }

// The sets, one per file: the x86 ones exist only in x86-64 builds, the NEON
// one only in aarch64 builds.
extern const SideKernels PORTABLE_SIDE_KERNELS;
#if defined(__x86_64__)
extern const SideKernels AVX2_SIDE_KERNELS;
extern const SideKernels AVX512_SIDE_KERNELS;
#endif
#if defined(__aarch64__)
extern const SideKernels NEON_SIDE_KERNELS;
#endif

}  // namespace kestrix::side
