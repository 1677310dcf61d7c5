// The byte form of a store: little-endian "KSTX", version, slot count, then the
// id words, the timestamps (version 2 only) and the vectors, each in slot order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "store.hpp"

namespace kestrix {

inline constexpr std::uint32_t FORMAT_VERSION = 2;

// Always version 2, exactly 12 + 60n bytes. The index and the capacity setting
// do not travel.
std::vector<std::byte> serialize(const VectorStore& store);

// Reads versions 1 and 2. Every length is checked, in 64-bit arithmetic, before
// anything is allocated; any malformed input gives CorruptedData. The result is
// a growable store without an index.
std::expected<VectorStore, StoreError> deserialize(std::span<const std::byte> data);

}  // namespace kestrix
