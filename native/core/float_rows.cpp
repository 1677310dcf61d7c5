#include "float_rows.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "bytes.hpp"

namespace kestrix {

bool read_row(const FloatRows& rows, std::size_t r, std::span<float, DIMENSION> out) noexcept {
    const std::byte* row = rows.data + static_cast<std::ptrdiff_t>(r) * rows.row_stride;
    const std::ptrdiff_t step = rows.column_stride;
    switch (rows.kind) {
        case FloatKind::Single:
            if (step == static_cast<std::ptrdiff_t>(sizeof(float))) {
                std::memcpy(out.data(), row, DIMENSION * sizeof(float));
            } else {
                for (std::size_t c = 0; c < DIMENSION; ++c)
                    out[c] = load<float>(row + static_cast<std::ptrdiff_t>(c) * step);
            }
            break;
        case FloatKind::Double:
            for (std::size_t c = 0; c < DIMENSION; ++c) {
                out[c] = narrow_to_float(load<double>(row + static_cast<std::ptrdiff_t>(c) * step));
            }
            break;
        case FloatKind::Half:
            for (std::size_t c = 0; c < DIMENSION; ++c) {
                out[c] = half_to_float(load<std::uint16_t>(row + static_cast<std::ptrdiff_t>(c) * step));
            }
            break;
    }
    // NaN and infinity alike have every exponent bit set; an integer test
    // folded over the row, which the compiler vectorises.
    std::uint32_t bad = 0;
    for (std::size_t c = 0; c < DIMENSION; ++c) {
        bad |= static_cast<std::uint32_t>((std::bit_cast<std::uint32_t>(out[c]) & 0x7F800000u) == 0x7F800000u);
    }
    return bad == 0;
}

std::optional<std::size_t> quantize_rows(const FloatRows& rows, std::vector<QuantizedVector>& out,
                                         std::vector<float>* floats) {
    out.resize(rows.rows);
    if (floats != nullptr) floats->resize(rows.rows * DIMENSION);
    alignas(64) float values[DIMENSION];
    for (std::size_t r = 0; r < rows.rows; ++r) {
        if (!read_row(rows, r, std::span<float, DIMENSION>(values, DIMENSION))) {
            out.resize(r);
            return r;
        }
        out[r] = quantize(std::span<const float, DIMENSION>(values, DIMENSION));
        if (floats != nullptr) std::copy(values, values + DIMENSION, floats->data() + r * DIMENSION);
    }
    return std::nullopt;
}

}  // namespace kestrix
