#include "codec.hpp"

#include <array>
#include <cstring>
#include <limits>

namespace kestrix {

namespace {

constexpr char MAGIC[4] = {'K', 'S', 'T', 'X'};
constexpr char CODES_MAGIC[8] = {'K', 'X', 'C', 'O', 'D', 'E', 'S', '\0'};
constexpr std::uint32_t CODES_VERSION = 1;

template <class T>
bool read_array(ByteInput& in, PageArray<T>& array, std::size_t count) {
    array.resize(count);
    return in.read(std::as_writable_bytes(std::span(array.data(), count)));
}

// The arrays of a store whose header has been read. Only once every array is
// known to be present is memory taken.
std::expected<StoreSlots, StoreError> read_slots(ByteInput& in, const StoreHeader& header) {
    const auto corrupted = std::unexpected(StoreError{StoreError::Kind::CorruptedData});
    const StoreLayout layout = store_layout(header.version, header.slots);
    if (in.left() < layout.end - STORE_HEADER_BYTES) return corrupted;
    const std::size_t count = header.slots;
    StoreSlots slots;
    slots.version = header.version;
    if (!read_array(in, slots.ids, count)) return corrupted;
    if (header.version >= 2) {
        if (!read_array(in, slots.timestamps, count)) return corrupted;
    } else {
        slots.timestamps.resize(count);
    }
    if (header.version != SLOTS_FORMAT_VERSION) {
        if (!read_array(in, slots.codes, count * (DIMENSION / kernels::WORD_BITS))) return corrupted;
    }
    return slots;
}

std::expected<StoreHeader, StoreError> read_header(ByteInput& in) {
    std::byte raw[STORE_HEADER_BYTES];
    if (!in.read(raw)) return std::unexpected(StoreError{StoreError::Kind::CorruptedData});
    return read_store_header(raw);
}

}  // namespace

std::expected<StoreHeader, StoreError> read_store_header(std::span<const std::byte> bytes) noexcept {
    const auto corrupted = std::unexpected(StoreError{StoreError::Kind::CorruptedData});
    if (bytes.size() < STORE_HEADER_BYTES || std::memcmp(bytes.data(), MAGIC, sizeof MAGIC) != 0) return corrupted;
    const StoreHeader header{load<std::uint32_t>(bytes.data() + 4), load<std::uint32_t>(bytes.data() + 8)};
    if (header.version < 1 || header.version > SLOTS_FORMAT_VERSION) return corrupted;
    return header;
}

void serialize(const VectorStore& store, ByteSink& out) {
    const bool codes_within = store.dimension() == DIMENSION;
    std::byte header[STORE_HEADER_BYTES];
    std::memcpy(header, MAGIC, sizeof MAGIC);
    kestrix::store(header + 4, codes_within ? FORMAT_VERSION : SLOTS_FORMAT_VERSION);
    kestrix::store(header + 8, static_cast<std::uint32_t>(store.size()));
    out.write(header);
    out.values(store.ids());
    out.values(store.timestamps());
    if (codes_within) out.values(std::span(store.codes().data, store.size() * store.words()));
}

std::vector<std::byte> serialize(const VectorStore& store) {
    std::vector<std::byte> out;
    out.reserve(serialized_length(FORMAT_VERSION, store.size()));
    VectorSink sink(out);
    serialize(store, sink);
    return out;
}

std::expected<VectorStore, StoreError> deserialize(ByteInput& in) {
    const auto header = read_header(in);
    if (!header || header->version == SLOTS_FORMAT_VERSION) {
        return std::unexpected(StoreError{StoreError::Kind::CorruptedData});
    }
    auto slots = read_slots(in, *header);
    if (!slots) return std::unexpected(slots.error());
    return VectorStore::from_slots(DIMENSION, std::move(slots->codes), std::move(slots->ids),
                                   std::move(slots->timestamps));
}

std::expected<VectorStore, StoreError> deserialize(std::span<const std::byte> data) {
    SpanInput in(data);
    return deserialize(in);
}

std::expected<StoreSlots, StoreError> read_store_slots(ByteInput& in) {
    const auto header = read_header(in);
    if (!header) return std::unexpected(header.error());
    return read_slots(in, *header);
}

// ---------------------------------------------------------------- codes section

void write_codes(const VectorStore& store, ByteSink& out) {
    std::byte header[CODES_HEADER_BYTES] = {};
    std::memcpy(header, CODES_MAGIC, sizeof CODES_MAGIC);
    kestrix::store(header + 8, CODES_VERSION);
    kestrix::store(header + 12, static_cast<std::uint32_t>(store.dimension()));
    kestrix::store(header + 16, static_cast<std::uint32_t>(store.words()));
    kestrix::store(header + 24, static_cast<std::uint64_t>(store.size()));
    out.write(header);
    out.values(std::span(store.codes().data, store.size() * store.words()));
}

std::string_view codes_error_name(CodesError error) noexcept {
    switch (error) {
        case CodesError::Truncated: return "truncated header";
        case CodesError::BadMagic: return "bad magic";
        case CodesError::BadVersion: return "unsupported version";
        case CodesError::BadDimension: return "dimension out of range";
        case CodesError::BadLength: return "length does not match the code count";
        case CodesError::BadPadding: return "a code has bits past the dimension";
    }
    return "unknown";
}

std::expected<CodesHeader, CodesError> read_codes_header(std::span<const std::byte, CODES_HEADER_BYTES> header,
                                                         std::uint64_t body) noexcept {
    if (std::memcmp(header.data(), CODES_MAGIC, sizeof CODES_MAGIC) != 0) return std::unexpected(CodesError::BadMagic);
    if (load<std::uint32_t>(header.data() + 8) != CODES_VERSION || load<std::uint32_t>(header.data() + 20) != 0) {
        return std::unexpected(CodesError::BadVersion);
    }
    const auto dim = load<std::uint32_t>(header.data() + 12);
    const auto words = load<std::uint32_t>(header.data() + 16);
    const auto count = load<std::uint64_t>(header.data() + 24);
    if (dim < 1 || dim > kernels::MAX_CODE_DIMENSION || words != kernels::code_words(dim)) {
        return std::unexpected(CodesError::BadDimension);
    }
    // count * words * 8 == body, without the product overflowing.
    const std::uint64_t row = std::uint64_t{words} * sizeof(std::uint64_t);
    if (body % row != 0 || body / row != count || count > std::numeric_limits<std::uint32_t>::max()) {
        return std::unexpected(CodesError::BadLength);
    }
    return CodesHeader{dim, static_cast<std::size_t>(count)};
}

std::expected<Codes, CodesError> read_codes(ByteInput& in) {
    std::array<std::byte, CODES_HEADER_BYTES> raw;
    if (!in.read(raw)) return std::unexpected(CodesError::Truncated);
    const auto header = read_codes_header(raw, in.left());
    if (!header) return std::unexpected(header.error());
    Codes codes{header->dim, header->count, {}};
    const std::size_t words = kernels::code_words(codes.dim);
    if (!read_array(in, codes.words, codes.count * words)) return std::unexpected(CodesError::BadLength);
    // The bits past the dimension never count, in codes and queries alike:
    // a code with one set would measure farther than the dimension allows.
    if (const std::size_t used = codes.dim % kernels::WORD_BITS; used != 0) {
        const std::uint64_t padding = ~std::uint64_t{0} << used;
        for (std::size_t i = 0; i < codes.count; ++i) {
            if ((codes.words[i * words + words - 1] & padding) != 0) return std::unexpected(CodesError::BadPadding);
        }
    }
    return codes;
}

}  // namespace kestrix
