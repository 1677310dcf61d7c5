// The file container: how a store and what travels with it (a Collection's
// document ids, its graph, its rescoring vectors) share one file.
//
//   offset 0      the store's serialized bytes, unchanged, so a reader of plain
//                 store bytes (Kestrix.deserialize ignores what follows) still
//                 reads the file, and a file without a footer is a plain store;
//   k * 4096      each further section, zero-padded up to its page boundary so
//                 it can be memory-mapped and used in place;
//   8-aligned     the section table, one 32-byte entry per section:
//                 kind u32, flags u32, offset u64, length u64, crc32 u32, zero u32;
//   end - 32      the footer: table offset u64, entry count u32, container
//                 version u32, crc32 of the table u32, zero u32, magic "KXSECTNS".
//
// Every field is little-endian. Checksums are CRC-32 with the zlib polynomial,
// so zlib.crc32 of a section's bytes agrees with its entry. Every byte of a
// container is covered: sections by their checksums, the table by its own,
// padding by having to be zero, the footer by the checks its fields must pass.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string_view>
#include <vector>

namespace kestrix::container {

inline constexpr std::uint32_t CONTAINER_VERSION = 1;
inline constexpr std::uint64_t SECTION_ALIGNMENT = 4096;
inline constexpr std::uint64_t TABLE_ALIGNMENT = 8;
inline constexpr std::uint64_t ENTRY_BYTES = 32;
inline constexpr std::uint64_t FOOTER_BYTES = 32;

enum class SectionKind : std::uint32_t {
    Store = 1,   // the store's serialized bytes; always the section at offset 0
    DocIds = 2,  // a Collection's u64 document id per slot
    Graph = 3,   // the HNSW graph
    Side = 4,    // rescoring vectors
    Meta = 5,
};

// A reader that does not know a section's kind may pass over it only when the
// writer said so; every other flag bit is reserved and refused.
inline constexpr std::uint32_t FLAG_SKIPPABLE = 1;

inline constexpr bool is_known_kind(std::uint32_t kind) noexcept {
    return kind >= static_cast<std::uint32_t>(SectionKind::Store) &&
           kind <= static_cast<std::uint32_t>(SectionKind::Meta);
}

struct Section {
    std::uint32_t kind;
    std::span<const std::byte> bytes;
    std::uint32_t flags = 0;
};

// Which check a file failed, and for the entry checks, which entry (in table
// order). The names appear in messages as they are spelled here.
struct ContainerError {
    enum class Kind : std::uint8_t {
        UnsupportedVersion,  // footer: a container version this reader does not know
        FooterNotZero,       // footer: the reserved word is not zero
        TableOutOfBounds,    // footer: the table does not end where the footer begins
        TableMisaligned,
        TableChecksum,
        EntryNotZero,  // entry: the reserved word is not zero
        UnknownFlags,
        UnknownKind,         // entry: kind not known and not flagged skippable
        SectionOutOfBounds,  // entry: runs past the table
        SectionMisaligned,
        SectionOverlap,  // entry: starts before the previous one ends
        StoreNotFirst,   // entry: a store section anywhere but first in the table, at offset 0
        PaddingNotZero,  // entry: a byte before this section (or before the table) is not zero
        SectionChecksum,
    };
    Kind kind;
    std::uint32_t entry = 0;

    friend bool operator==(const ContainerError&, const ContainerError&) = default;
};

std::string_view error_name(ContainerError::Kind kind) noexcept;

// True when the file ends with a container footer (whether or not it is valid).
bool has_footer(std::span<const std::byte> file) noexcept;

// CRC-32, zlib polynomial; `crc` continues an earlier value (0 to start).
std::uint32_t crc32(std::span<const std::byte> bytes, std::uint32_t crc = 0) noexcept;

// Lays the sections out in the order given: the first at offset 0, each next
// one at the next page boundary. Sections of unknown kind must carry
// FLAG_SKIPPABLE and no other flag, and a Store section can only be the first:
// the writer lays out only what the reader accepts (std::invalid_argument).
std::vector<std::byte> write(std::span<const Section> sections);

// The sections of a file, as spans into it, in table order (which is offset
// order). A file without a footer is one Store section spanning all of it.
// Nothing is used before the footer, every entry and every checksum pass.
std::expected<std::vector<Section>, ContainerError> read(std::span<const std::byte> file);

}  // namespace kestrix::container
