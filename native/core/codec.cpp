#include "codec.hpp"

#include <bit>
#include <cstring>

namespace kestrix {

static_assert(std::endian::native == std::endian::little,
              "the byte form is little-endian and is copied array by array");

namespace {

constexpr char MAGIC[4] = {'K', 'S', 'T', 'X'};
constexpr std::uint64_t HEADER_BYTES = 12;
constexpr std::uint64_t ID_BYTES = 4;
constexpr std::uint64_t TIMESTAMP_BYTES = 8;
constexpr std::uint64_t VECTOR_BYTES = sizeof(QuantizedVector);

std::uint32_t read_u32(std::span<const std::byte> data, std::size_t offset) noexcept {
    std::uint32_t value;
    std::memcpy(&value, data.data() + offset, sizeof value);
    return value;
}

template <class T>
std::byte* append(std::byte* out, std::span<const T> values) noexcept {
    if (!values.empty()) std::memcpy(out, values.data(), values.size_bytes());
    return out + values.size_bytes();
}

}  // namespace

std::vector<std::byte> serialize(const VectorStore& store) {
    const std::uint32_t n = static_cast<std::uint32_t>(store.size());
    const std::uint32_t version = FORMAT_VERSION;
    std::vector<std::byte> out(HEADER_BYTES + (ID_BYTES + TIMESTAMP_BYTES + VECTOR_BYTES) * store.size());
    std::byte* p = out.data();
    std::memcpy(p, MAGIC, 4);
    std::memcpy(p + 4, &version, 4);
    std::memcpy(p + 8, &n, 4);
    p += HEADER_BYTES;
    p = append(p, store.ids());
    p = append(p, store.timestamps());
    append(p, store.vectors());
    return out;
}

std::expected<VectorStore, StoreError> deserialize(std::span<const std::byte> data) {
    const auto corrupted = std::unexpected(StoreError{StoreError::Kind::CorruptedData});
    const std::uint64_t length = data.size();
    if (length < HEADER_BYTES) return corrupted;
    if (std::memcmp(data.data(), MAGIC, 4) != 0) return corrupted;
    const std::uint32_t version = read_u32(data, 4);
    if (version != 1 && version != 2) return corrupted;
    const std::uint64_t n = read_u32(data, 8);  // at most 2^32 - 1: no product below can overflow

    const std::uint64_t ids_at = HEADER_BYTES;
    const std::uint64_t timestamps_at = ids_at + ID_BYTES * n;
    const std::uint64_t vectors_at = version == 2 ? timestamps_at + TIMESTAMP_BYTES * n : timestamps_at;
    if (version == 2 && length < vectors_at) return corrupted;
    const std::uint64_t end = vectors_at + VECTOR_BYTES * n;
    if (length < end) return corrupted;

    // Only now, with every section known to be present, is memory taken.
    const auto count = static_cast<std::size_t>(n);
    PageArray<std::uint32_t> ids;
    PageArray<double> timestamps;
    PageArray<QuantizedVector> vectors;
    ids.resize(count);
    timestamps.resize(count);
    vectors.resize(count);
    if (count > 0) {
        std::memcpy(ids.data(), data.data() + ids_at, ID_BYTES * n);
        if (version == 2) std::memcpy(timestamps.data(), data.data() + timestamps_at, TIMESTAMP_BYTES * n);
        std::memcpy(vectors.data(), data.data() + vectors_at, VECTOR_BYTES * n);
    }
    return VectorStore::from_slots(std::move(vectors), std::move(ids), std::move(timestamps));
}

}  // namespace kestrix
