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
//
// Files are written a section at a time (Writer) and read a section at a time
// (read with a Source), so neither side ever holds a second copy of a file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "bytes.hpp"

namespace kestrix::container {

inline constexpr std::uint32_t CONTAINER_VERSION = 1;
inline constexpr std::uint64_t SECTION_ALIGNMENT = 4096;
inline constexpr std::uint64_t TABLE_ALIGNMENT = 8;
inline constexpr std::uint64_t ENTRY_BYTES = 32;
inline constexpr std::uint64_t FOOTER_BYTES = 32;

// The kinds of section this system writes; the one list of them.
enum class SectionKind : std::uint32_t {
    Store = 1,   // the store's serialized bytes; always the section at offset 0
    DocIds = 2,  // a Collection's u64 document id per slot
    Graph = 3,   // the HNSW graph
    Side = 4,    // rescoring vectors
    Codes = 5,   // the codes of a store that is not 384-dimensional, and its dimension
    Metric = 6,  // what rescored scores measure, when it is not the inner product
};

struct KindName {
    SectionKind kind;
    std::string_view name;  // as a description of a file shows it
};
inline constexpr KindName SECTION_NAMES[] = {
    {SectionKind::Store, "store"}, {SectionKind::DocIds, "doc ids"}, {SectionKind::Graph, "graph"},
    {SectionKind::Side, "side"},   {SectionKind::Codes, "codes"},    {SectionKind::Metric, "metric"},
};

// A reader that does not know a section's kind may pass over it only when the
// writer said so; every other flag bit is reserved and refused.
inline constexpr std::uint32_t FLAG_SKIPPABLE = 1;

constexpr bool is_known_kind(std::uint32_t kind) noexcept {
    return kind >= static_cast<std::uint32_t>(SectionKind::Store) &&
           kind <= static_cast<std::uint32_t>(SectionKind::Metric);
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
// "container error: <Check>", and " (section i)" for the checks of an entry.
std::string describe(const ContainerError& error);

// True when the file ends with a container footer (whether or not it is valid).
bool has_footer(std::span<const std::byte> file) noexcept;

// CRC-32, zlib polynomial; `crc` continues an earlier value (0 to start).
std::uint32_t crc32(std::span<const std::byte> bytes, std::uint32_t crc = 0) noexcept;

// ---------------------------------------------------------------- writing

// Lays sections out as they come: the first at offset 0, each next one at the
// next page boundary, then the table and the footer. A section's bytes are
// written through the writer itself (it is the sink), checksummed on the way.
// Sections of unknown kind must carry FLAG_SKIPPABLE and no other flag, and a
// Store section can only be the first: the writer lays out only what the
// reader accepts (std::invalid_argument).
class Writer final : public ByteSink {
public:
    explicit Writer(ByteSink& out) noexcept : out_(out) {}

    void begin(std::uint32_t kind, std::uint32_t flags = 0);
    void write(std::span<const std::byte> bytes) override;
    void end();
    // The table and the footer, after the last section.
    void finish();

private:
    struct Entry {
        std::uint32_t kind;
        std::uint32_t flags;
        std::uint64_t offset;
        std::uint64_t length;
        std::uint32_t crc;
    };
    void pad_to(std::uint64_t offset);

    ByteSink& out_;
    std::uint64_t at_ = 0;  // bytes written so far
    std::vector<Entry> entries_;
    bool open_ = false;
};

// The size of the file that sections of these lengths make.
std::uint64_t file_size(std::span<const std::uint64_t> section_lengths);

// The sections laid out as one file, in one buffer.
std::vector<std::byte> write(std::span<const Section> sections);

// ---------------------------------------------------------------- reading

// A file read a piece at a time, from wherever it lies.
class Source {
public:
    virtual ~Source() = default;
    virtual std::uint64_t size() const noexcept = 0;
    // Copies the bytes at [offset, offset + out.size()), which lie within
    // size(). Throws IoError when the system cannot read them.
    virtual void read(std::uint64_t offset, std::span<std::byte> out) = 0;
    // The whole file where it lies, for a source that holds it in memory (a
    // buffer, a mapping); empty otherwise.
    virtual std::span<const std::byte> in_memory() const noexcept { return {}; }
};

// Bytes already in memory.
class MemorySource final : public Source {
public:
    explicit MemorySource(std::span<const std::byte> bytes) noexcept : bytes_(bytes) {}
    std::uint64_t size() const noexcept override { return bytes_.size(); }
    void read(std::uint64_t offset, std::span<std::byte> out) override;
    std::span<const std::byte> in_memory() const noexcept override { return bytes_; }

private:
    std::span<const std::byte> bytes_;
};

// One section's bytes as its reader takes them: in order, each byte once, its
// checksum computed over them on the way (and so over the very bytes that end
// up where the reader put them).
class SectionInput final : public ByteInput {
public:
    SectionInput(Source& file, std::uint64_t offset, std::uint64_t length) noexcept
        : file_(file), at_(offset), end_(offset + length) {}
    std::uint64_t left() const noexcept override { return end_ - at_; }
    bool read(std::span<std::byte> out) override;
    // The next `n` bytes where they lie, for a source in memory; nothing (and
    // nothing read) for any other source or when fewer are left.
    std::optional<std::span<const std::byte>> in_place(std::uint64_t n) noexcept;
    // Reads whatever the section's reader left, for the checksum.
    void skip_rest();
    std::uint32_t crc() const noexcept { return crc_; }

private:
    Source& file_;
    std::uint64_t at_;
    std::uint64_t end_;
    std::uint32_t crc_ = 0;
};

// Called once for each section, in table order, once its entry and the bytes
// before it passed their checks: `index` is its entry, and the section's bytes
// are read from `bytes` (what the visitor leaves unread is read past). Its
// checksum is checked after the visit: nothing read may be used before read()
// has returned without an error.
using SectionVisitor =
    std::function<void(std::uint32_t index, std::uint32_t kind, std::uint32_t flags, SectionInput& bytes)>;

// Reads a file's sections, every check of the footer, the table, each entry,
// the padding and each checksum made in that order, the first that fails
// reported. A file without a footer is one Store section spanning all of it.
// Nothing beyond one entry is held: memory stays flat whatever the file says.
std::expected<void, ContainerError> read(Source& file, const SectionVisitor& visit);

// The sections of a file in memory, as spans into it, in table order.
std::expected<std::vector<Section>, ContainerError> read(std::span<const std::byte> file);

}  // namespace kestrix::container
