// Rows of floats handed over by a caller, read where they lie: (n, dim)
// matrices of half, single or double precision with any strides. Each value is
// rounded to single precision first and then quantised by the sign rule, so a
// row gives exactly the bits `quantize_into` gives for the same floats.
#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "quantized.hpp"

namespace kestrix {

// The nearest single-precision value, ties to even, as the hardware rounds.
// A finite double beyond the float range is rounded by the same rule (to the
// largest float, or to infinity from the midpoint up) instead of relying on an
// out-of-range conversion, which the language leaves undefined.
inline float narrow_to_float(double value) noexcept {
    constexpr double to_infinity = 0x1.ffffffp127;  // halfway between FLT_MAX and 2^128
    constexpr double largest = 0x1.fffffep127;      // FLT_MAX
    if (value >= to_infinity) return std::numeric_limits<float>::infinity();
    if (value <= -to_infinity) return -std::numeric_limits<float>::infinity();
    if (value > largest) return static_cast<float>(largest);
    if (value < -largest) return static_cast<float>(-largest);
    return static_cast<float>(value);
}

// IEEE half precision to single: exact (every half is a float).
inline float half_to_float(std::uint16_t bits) noexcept {
    const std::uint32_t sign = static_cast<std::uint32_t>(bits & 0x8000u) << 16;
    const std::uint32_t exponent = (bits >> 10) & 0x1Fu;
    std::uint32_t mantissa = bits & 0x3FFu;
    std::uint32_t out;
    if (exponent == 0x1F) {
        out = sign | 0x7F800000u | (mantissa << 13);  // infinity or NaN (payload kept)
    } else if (exponent != 0) {
        out = sign | ((exponent + 112) << 23) | (mantissa << 13);
    } else if (mantissa == 0) {
        out = sign;  // signed zero
    } else {
        // Subnormal half: normalise; 2^-14 * m/1024 is a normal float.
        std::uint32_t e = 113;
        while ((mantissa & 0x400u) == 0) {
            mantissa <<= 1;
            --e;
        }
        out = sign | (e << 23) | ((mantissa & 0x3FFu) << 13);
    }
    return std::bit_cast<float>(out);
}

enum class FloatKind : std::uint8_t { Half, Single, Double };

// A matrix view: element (r, c) is at data + r * row_stride + c * column_stride
// (strides in bytes, possibly negative), of the given kind, `columns` (1..4096)
// a row. The caller keeps the memory alive and unchanged while it is read.
struct FloatRows {
    const std::byte* data = nullptr;
    std::size_t rows = 0;
    std::size_t columns = DIMENSION;
    std::ptrdiff_t row_stride = 0;
    std::ptrdiff_t column_stride = 0;
    FloatKind kind = FloatKind::Single;
};

// Row r as `columns` single-precision values in `out`. Returns false when one
// of them is a NaN or an infinity after rounding (a NaN has no sign; an
// infinity is most often an overflow of a double or a corrupted row).
bool read_row(const FloatRows& rows, std::size_t r, float* out) noexcept;

// Every row quantised, in order, code_words(columns) words a row; on the
// first row that is not finite, its number instead (and `out` holds the rows
// before it). `out` is resized to the rows' words first, which is the only
// allocation (std::bad_alloc). With `floats`, the rows' single-precision
// values are kept there too (`columns` a row), for whatever needs more than
// the signs (a rescoring side).
std::optional<std::size_t> quantize_rows(const FloatRows& rows, std::vector<std::uint64_t>& out,
                                         std::vector<float>* floats = nullptr);

}  // namespace kestrix
