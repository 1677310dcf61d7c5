#include "float_rows.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "bytes.hpp"

namespace kestrix {

bool read_row(const FloatRows& rows, std::size_t r, float* out) noexcept {
    const std::byte* row = rows.data + static_cast<std::ptrdiff_t>(r) * rows.row_stride;
    const std::ptrdiff_t step = rows.column_stride;
    const std::size_t columns = rows.columns;
    switch (rows.kind) {
        case FloatKind::Single:
            if (step == static_cast<std::ptrdiff_t>(sizeof(float))) {
                std::memcpy(out, row, columns * sizeof(float));
            } else {
                for (std::size_t c = 0; c < columns; ++c)
                    out[c] = load<float>(row + static_cast<std::ptrdiff_t>(c) * step);
            }
            break;
        case FloatKind::Double:
            for (std::size_t c = 0; c < columns; ++c) {
                out[c] = narrow_to_float(load<double>(row + static_cast<std::ptrdiff_t>(c) * step));
            }
            break;
        case FloatKind::Half:
            for (std::size_t c = 0; c < columns; ++c) {
                out[c] = half_to_float(load<std::uint16_t>(row + static_cast<std::ptrdiff_t>(c) * step));
            }
            break;
    }
    // NaN and infinity alike have every exponent bit set; an integer test
    // folded over the row, which the compiler vectorises.
    std::uint32_t bad = 0;
    for (std::size_t c = 0; c < columns; ++c) {
        bad |= static_cast<std::uint32_t>((std::bit_cast<std::uint32_t>(out[c]) & 0x7F800000u) == 0x7F800000u);
    }
    return bad == 0;
}

std::optional<std::size_t> quantize_rows(const FloatRows& rows, std::vector<std::uint64_t>& out,
                                         std::vector<float>* floats) {
    const std::size_t columns = rows.columns;
    const std::size_t words = kernels::code_words(columns);
    out.resize(rows.rows * words);
    if (floats != nullptr) floats->resize(rows.rows * columns);
    std::vector<float> row(columns);
    float* const values = row.data();
    for (std::size_t r = 0; r < rows.rows; ++r) {
        if (!read_row(rows, r, values)) {
            out.resize(r * words);
            return r;
        }
        // At 384 columns the count is known to the loops, which unroll.
        if (columns == DIMENSION) {
            quantize_into(values, DIMENSION, out.data() + r * words);
        } else {
            quantize_into(values, columns, out.data() + r * words);
        }
        if (floats != nullptr) std::copy(values, values + columns, floats->data() + r * columns);
    }
    return std::nullopt;
}

}  // namespace kestrix
