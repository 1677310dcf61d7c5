// Small builders shared by the core tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>

#include "quantized.hpp"

namespace kestrix::test_support {

inline constexpr std::uint64_t U64_MAX = std::numeric_limits<std::uint64_t>::max();

// A vector whose components first .. first + count - 1 are set, so distances
// between such vectors can be worked out by counting.
inline QuantizedVector bits(std::size_t first, std::size_t count) {
    QuantizedVector v;
    for (std::size_t c = first; c < first + count; ++c) v.words[c / 32] |= 1u << (c % 32);
    return v;
}

}  // namespace kestrix::test_support
