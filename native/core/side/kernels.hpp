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
#include "../quantized.hpp"

namespace kestrix::side {

inline constexpr std::size_t FLOAT_LANES = 16;

// Sum of query[c] * row[c] over the 384 int8 components of each of `count`
// rows, row i starting at rows + slots[i] * stride.
using Int8DotsFn = void (*)(const std::int16_t* query, const std::byte* rows, std::size_t stride,
                            const std::uint32_t* slots, std::size_t count, std::int32_t* out) noexcept;
// The same over 384 float16 components, in the fixed order above.
using Float16DotsFn = void (*)(const float* query, const std::byte* rows, std::size_t stride,
                               const std::uint32_t* slots, std::size_t count, float* out) noexcept;
// The same with the row's sign vector: +query[c] where bit c is set, -query[c]
// where it is clear.
using SignDotsFn = void (*)(const float* query, const QuantizedVector* rows, const std::uint32_t* slots,
                            std::size_t count, float* out) noexcept;

struct SideKernels {
    const char* name;
    Int8DotsFn int8_dots;
    Float16DotsFn float16_dots;
    SignDotsFn sign_dots;
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

namespace detail {
void int8_dots_portable(const std::int16_t*, const std::byte*, std::size_t, const std::uint32_t*, std::size_t,
                        std::int32_t*) noexcept;
void float16_dots_portable(const float*, const std::byte*, std::size_t, const std::uint32_t*, std::size_t,
                           float*) noexcept;
void sign_dots_portable(const float*, const QuantizedVector*, const std::uint32_t*, std::size_t, float*) noexcept;
#if defined(__x86_64__)
void int8_dots_avx2(const std::int16_t*, const std::byte*, std::size_t, const std::uint32_t*, std::size_t,
                    std::int32_t*) noexcept;
void float16_dots_avx2(const float*, const std::byte*, std::size_t, const std::uint32_t*, std::size_t, float*) noexcept;
void sign_dots_avx2(const float*, const QuantizedVector*, const std::uint32_t*, std::size_t, float*) noexcept;
void int8_dots_avx512(const std::int16_t*, const std::byte*, std::size_t, const std::uint32_t*, std::size_t,
                      std::int32_t*) noexcept;
void float16_dots_avx512(const float*, const std::byte*, std::size_t, const std::uint32_t*, std::size_t,
                         float*) noexcept;
void sign_dots_avx512(const float*, const QuantizedVector*, const std::uint32_t*, std::size_t, float*) noexcept;
#endif
}  // namespace detail

}  // namespace kestrix::side
