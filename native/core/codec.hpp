// The byte form of a store: little-endian "KSTX", version, slot count, then the
// id words, the timestamps (from version 2) and the vectors, each in slot order.
// A store of 384-dimensional codes (every Kestrix) is written in version 2,
// its codes within. A store of any other dimension is written in version 3,
// the slots without their codes, which go in a codes section of their own
// (CODES_MAGIC below) that records the dimension: a reader of 384-dimensional
// stores refuses such a store rather than misreading it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string_view>
#include <vector>

#include "bytes.hpp"
#include "store.hpp"

namespace kestrix {

inline constexpr std::uint32_t FORMAT_VERSION = 2;
// The version of a store whose codes lie in a codes section.
inline constexpr std::uint32_t SLOTS_FORMAT_VERSION = 3;
// Magic, version, slot count.
inline constexpr std::uint64_t STORE_HEADER_BYTES = 12;

// Where the arrays of a store of `slots` slots lie in its bytes, and where
// the store ends: 12 bytes of header, then 4, 8 and 48 bytes a slot (the
// first version keeps no insertion times: 52 a slot; the third no codes: 12).
// The one statement of the layout, for the reader, the writer and whoever
// reads a store's bytes.
struct StoreLayout {
    std::uint64_t ids_at;
    std::uint64_t timestamps_at;  // == vectors_at in the first version
    std::uint64_t vectors_at;     // == end in the third
    std::uint64_t end;
};

// `slots` below 2^32 (the header's field), so nothing here overflows.
constexpr StoreLayout store_layout(std::uint32_t version, std::uint64_t slots) noexcept {
    const std::uint64_t ids_at = STORE_HEADER_BYTES;
    const std::uint64_t timestamps_at = ids_at + sizeof(std::uint32_t) * slots;
    const std::uint64_t vectors_at = version >= 2 ? timestamps_at + sizeof(double) * slots : timestamps_at;
    const std::uint64_t codes = version == SLOTS_FORMAT_VERSION ? 0 : sizeof(QuantizedVector) * slots;
    return {ids_at, timestamps_at, vectors_at, vectors_at + codes};
}

constexpr std::uint64_t serialized_length(std::uint32_t version, std::uint64_t slots) noexcept {
    return store_layout(version, slots).end;
}

// The header of store bytes: version and slot count, when they start with
// the magic and a version this reader knows (1 to 3; the arrays are not
// looked at).
struct StoreHeader {
    std::uint32_t version;
    std::uint32_t slots;
};
std::expected<StoreHeader, StoreError> read_store_header(std::span<const std::byte> bytes) noexcept;

// A 384-dimensional store in version 2, exactly serialized_length(2, n)
// bytes; any other in version 3 (its codes: write_codes). The index and the
// capacity setting do not travel.
void serialize(const VectorStore& store, ByteSink& out);
std::vector<std::byte> serialize(const VectorStore& store);

// Reads versions 1 and 2, exactly the store's bytes from `in` (what follows is
// the caller's): a 384-dimensional store. Every length is checked, in 64-bit
// arithmetic, before anything is allocated; any malformed input, and a
// version 3 store (whose codes are elsewhere), gives CorruptedData. The
// result is a growable store without an index.
std::expected<VectorStore, StoreError> deserialize(ByteInput& in);
std::expected<VectorStore, StoreError> deserialize(std::span<const std::byte> data);

// The slots of store bytes of any version, as deserialize reads them, and
// their codes when the store holds them (versions 1 and 2: 384-dimensional).
struct StoreSlots {
    std::uint32_t version = 0;
    PageArray<std::uint32_t> ids;
    PageArray<double> timestamps;
    PageArray<std::uint64_t> codes;  // empty in version 3
};
std::expected<StoreSlots, StoreError> read_store_slots(ByteInput& in);

// ---------------------------------------------------------------- codes section
//
// The codes of a store that is not 384-dimensional. Little-endian: a 32-byte
// header — "KXCODES\0", version u32 (1), dimension u32 (1..4096), words a
// code u32 (ceil(dimension / 64)), zero u32, code count u64 — then the codes,
// each its words u64 (bit c % 64 of word c / 64 is component c, set when the
// float is > +0.0; the bits past the dimension are zero).
inline constexpr std::uint64_t CODES_HEADER_BYTES = 32;

void write_codes(const VectorStore& store, ByteSink& out);

enum class CodesError : std::uint8_t { Truncated, BadMagic, BadVersion, BadDimension, BadLength, BadPadding };
std::string_view codes_error_name(CodesError error) noexcept;

// The dimension and count a codes section's header announces, checked
// against the bytes that follow it (`body`).
struct CodesHeader {
    std::size_t dim;
    std::size_t count;
};
std::expected<CodesHeader, CodesError> read_codes_header(std::span<const std::byte, CODES_HEADER_BYTES> header,
                                                         std::uint64_t body) noexcept;

struct Codes {
    std::size_t dim = 0;
    std::size_t count = 0;
    PageArray<std::uint64_t> words;
};
// The whole section from `in`, its header first, the codes read straight into
// place and every code's padding bits checked. Throws std::bad_alloc and
// whatever `in` throws.
std::expected<Codes, CodesError> read_codes(ByteInput& in);

}  // namespace kestrix
