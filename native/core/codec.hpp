// The byte form of a store: little-endian "KSTX", version, slot count, then the
// id words, the timestamps (version 2 only) and the vectors, each in slot order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "bytes.hpp"
#include "store.hpp"

namespace kestrix {

inline constexpr std::uint32_t FORMAT_VERSION = 2;
// Magic, version, slot count.
inline constexpr std::uint64_t STORE_HEADER_BYTES = 12;

// Where the arrays of a store of `slots` slots lie in its bytes, and where
// the store ends: 12 bytes of header, then 4, 8 and 48 bytes a slot (the
// first version keeps no insertion times: 52 a slot). The one statement of the
// layout, for the reader, the writer and whoever reads a store's bytes.
struct StoreLayout {
    std::uint64_t ids_at;
    std::uint64_t timestamps_at;  // == vectors_at in the first version
    std::uint64_t vectors_at;
    std::uint64_t end;
};

// `slots` below 2^32 (the header's field), so nothing here overflows.
constexpr StoreLayout store_layout(std::uint32_t version, std::uint64_t slots) noexcept {
    const std::uint64_t ids_at = STORE_HEADER_BYTES;
    const std::uint64_t timestamps_at = ids_at + sizeof(std::uint32_t) * slots;
    const std::uint64_t vectors_at = version >= 2 ? timestamps_at + sizeof(double) * slots : timestamps_at;
    return {ids_at, timestamps_at, vectors_at, vectors_at + sizeof(QuantizedVector) * slots};
}

constexpr std::uint64_t serialized_length(std::uint32_t version, std::uint64_t slots) noexcept {
    return store_layout(version, slots).end;
}

// The header of store bytes: version and slot count, when they start with
// the magic and a version this reader knows (the arrays are not looked at).
struct StoreHeader {
    std::uint32_t version;
    std::uint32_t slots;
};
std::expected<StoreHeader, StoreError> read_store_header(std::span<const std::byte> bytes) noexcept;

// Always version 2, exactly serialized_length(2, n) bytes. The index and the
// capacity setting do not travel.
void serialize(const VectorStore& store, ByteSink& out);
std::vector<std::byte> serialize(const VectorStore& store);

// Reads versions 1 and 2, exactly the store's bytes from `in` (what follows is
// the caller's). Every length is checked, in 64-bit arithmetic, before
// anything is allocated; any malformed input gives CorruptedData. The result
// is a growable store without an index.
std::expected<VectorStore, StoreError> deserialize(ByteInput& in);
std::expected<VectorStore, StoreError> deserialize(std::span<const std::byte> data);

}  // namespace kestrix
