#include "codec.hpp"

#include <cstring>

namespace kestrix {

namespace {

constexpr char MAGIC[4] = {'K', 'S', 'T', 'X'};

template <class T>
bool read_array(ByteInput& in, PageArray<T>& array, std::size_t count) {
    array.resize(count);
    return in.read(std::as_writable_bytes(std::span(array.data(), count)));
}

}  // namespace

std::expected<StoreHeader, StoreError> read_store_header(std::span<const std::byte> bytes) noexcept {
    const auto corrupted = std::unexpected(StoreError{StoreError::Kind::CorruptedData});
    if (bytes.size() < STORE_HEADER_BYTES || std::memcmp(bytes.data(), MAGIC, sizeof MAGIC) != 0) return corrupted;
    const StoreHeader header{load<std::uint32_t>(bytes.data() + 4), load<std::uint32_t>(bytes.data() + 8)};
    if (header.version != 1 && header.version != 2) return corrupted;
    return header;
}

void serialize(const VectorStore& store, ByteSink& out) {
    std::byte header[STORE_HEADER_BYTES];
    std::memcpy(header, MAGIC, sizeof MAGIC);
    kestrix::store(header + 4, FORMAT_VERSION);
    kestrix::store(header + 8, static_cast<std::uint32_t>(store.size()));
    out.write(header);
    out.values(store.ids());
    out.values(store.timestamps());
    out.values(store.vectors());
}

std::vector<std::byte> serialize(const VectorStore& store) {
    std::vector<std::byte> out;
    out.reserve(serialized_length(FORMAT_VERSION, store.size()));
    VectorSink sink(out);
    serialize(store, sink);
    return out;
}

std::expected<VectorStore, StoreError> deserialize(ByteInput& in) {
    const auto corrupted = std::unexpected(StoreError{StoreError::Kind::CorruptedData});
    std::byte raw[STORE_HEADER_BYTES];
    if (!in.read(raw)) return corrupted;
    const auto header = read_store_header(raw);
    if (!header) return corrupted;
    // Only once every array is known to be present is memory taken.
    const StoreLayout layout = store_layout(header->version, header->slots);
    if (in.left() < layout.end - STORE_HEADER_BYTES) return corrupted;
    const std::size_t count = header->slots;
    PageArray<std::uint32_t> ids;
    PageArray<double> timestamps;
    PageArray<QuantizedVector> vectors;
    if (!read_array(in, ids, count)) return corrupted;
    if (header->version >= 2) {
        if (!read_array(in, timestamps, count)) return corrupted;
    } else {
        timestamps.resize(count);
    }
    if (!read_array(in, vectors, count)) return corrupted;
    return VectorStore::from_slots(std::move(vectors), std::move(ids), std::move(timestamps));
}

std::expected<VectorStore, StoreError> deserialize(std::span<const std::byte> data) {
    SpanInput in(data);
    return deserialize(in);
}

}  // namespace kestrix
