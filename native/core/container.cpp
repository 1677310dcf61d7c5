#include "container.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace kestrix::container {

static_assert(std::endian::native == std::endian::little, "the container's fields are copied as they lie");

namespace {

constexpr char MAGIC[8] = {'K', 'X', 'S', 'E', 'C', 'T', 'N', 'S'};

// Footer fields, from the footer's first byte.
constexpr std::size_t F_TABLE_OFFSET = 0;
constexpr std::size_t F_COUNT = 8;
constexpr std::size_t F_VERSION = 12;
constexpr std::size_t F_TABLE_CRC = 16;
constexpr std::size_t F_RESERVED = 20;
constexpr std::size_t F_MAGIC = 24;

// Entry fields, from the entry's first byte.
constexpr std::size_t E_KIND = 0;
constexpr std::size_t E_FLAGS = 4;
constexpr std::size_t E_OFFSET = 8;
constexpr std::size_t E_LENGTH = 16;
constexpr std::size_t E_CRC = 24;
constexpr std::size_t E_RESERVED = 28;

template <class T>
T load(const std::byte* at) noexcept {
    T value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

template <class T>
void store(std::byte* at, T value) noexcept {
    std::memcpy(at, &value, sizeof value);
}

// Slicing-by-8: eight bytes per step through eight tables derived from the
// reflected polynomial, several times faster than a byte at a time on a
// store of tens of megabytes, and exactly the same value.
using CrcTables = std::array<std::array<std::uint32_t, 256>, 8>;

constexpr CrcTables make_crc_tables() {
    CrcTables t{};
    for (std::uint32_t b = 0; b < 256; ++b) {
        std::uint32_t c = b;
        for (int i = 0; i < 8; ++i) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
        t[0][b] = c;
    }
    for (std::size_t s = 1; s < 8; ++s)
        for (std::uint32_t b = 0; b < 256; ++b) t[s][b] = (t[s - 1][b] >> 8) ^ t[0][t[s - 1][b] & 0xFF];
    return t;
}

constexpr CrcTables CRC_TABLES = make_crc_tables();

constexpr std::uint64_t align_up(std::uint64_t value, std::uint64_t alignment) noexcept {
    return (value + alignment - 1) / alignment * alignment;
}

bool all_zero(std::span<const std::byte> bytes) noexcept {
    return std::all_of(bytes.begin(), bytes.end(), [](std::byte b) { return b == std::byte{0}; });
}

}  // namespace

std::string_view error_name(ContainerError::Kind kind) noexcept {
    using K = ContainerError::Kind;
    switch (kind) {
        case K::UnsupportedVersion: return "UnsupportedVersion";
        case K::FooterNotZero: return "FooterNotZero";
        case K::TableOutOfBounds: return "TableOutOfBounds";
        case K::TableMisaligned: return "TableMisaligned";
        case K::TableChecksum: return "TableChecksum";
        case K::EntryNotZero: return "EntryNotZero";
        case K::UnknownFlags: return "UnknownFlags";
        case K::UnknownKind: return "UnknownKind";
        case K::SectionOutOfBounds: return "SectionOutOfBounds";
        case K::SectionMisaligned: return "SectionMisaligned";
        case K::SectionOverlap: return "SectionOverlap";
        case K::StoreNotFirst: return "StoreNotFirst";
        case K::PaddingNotZero: return "PaddingNotZero";
        case K::SectionChecksum: return "SectionChecksum";
    }
    return "Unknown";
}

std::uint32_t crc32(std::span<const std::byte> bytes, std::uint32_t crc) noexcept {
    const auto& t = CRC_TABLES;
    std::uint32_t c = ~crc;
    const std::byte* p = bytes.data();
    std::size_t n = bytes.size();
    for (; n >= 8; n -= 8, p += 8) {
        const std::uint32_t lo = load<std::uint32_t>(p) ^ c;
        const std::uint32_t hi = load<std::uint32_t>(p + 4);
        c = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^ t[3][hi & 0xFF] ^
            t[2][(hi >> 8) & 0xFF] ^ t[1][(hi >> 16) & 0xFF] ^ t[0][hi >> 24];
    }
    for (; n > 0; --n, ++p) c = (c >> 8) ^ t[0][(c ^ std::to_integer<std::uint32_t>(*p)) & 0xFF];
    return ~c;
}

bool has_footer(std::span<const std::byte> file) noexcept {
    return file.size() >= FOOTER_BYTES &&
           std::memcmp(file.data() + file.size() - FOOTER_BYTES + F_MAGIC, MAGIC, sizeof MAGIC) == 0;
}

std::vector<std::byte> write(std::span<const Section> sections) {
    if (sections.size() > std::numeric_limits<std::uint32_t>::max())
        throw std::length_error("container: too many sections");
    // Offsets first, in checked arithmetic, so the one allocation is exact.
    std::vector<std::uint64_t> offsets(sections.size());
    std::uint64_t end = 0;
    for (std::size_t i = 0; i < sections.size(); ++i) {
        const Section& s = sections[i];
        const bool refused = !is_known_kind(s.kind)
                                 ? s.flags != FLAG_SKIPPABLE
                                 : (s.flags & ~FLAG_SKIPPABLE) != 0 ||
                                       (s.kind == static_cast<std::uint32_t>(SectionKind::Store) && i != 0);
        if (refused) throw std::invalid_argument("container: a section its reader would refuse");
        offsets[i] = align_up(end, SECTION_ALIGNMENT);
        if (offsets[i] < end || s.bytes.size() > std::numeric_limits<std::uint64_t>::max() - offsets[i])
            throw std::length_error("container: too large");
        end = offsets[i] + s.bytes.size();
    }
    const std::uint64_t table_at = align_up(end, TABLE_ALIGNMENT);
    const std::uint64_t total = table_at + ENTRY_BYTES * sections.size() + FOOTER_BYTES;
    if (table_at < end || total < table_at || total > std::numeric_limits<std::size_t>::max())
        throw std::length_error("container: too large");

    std::vector<std::byte> out(static_cast<std::size_t>(total));  // zeroed: the padding
    std::byte* table = out.data() + table_at;
    for (std::size_t i = 0; i < sections.size(); ++i) {
        const Section& s = sections[i];
        if (!s.bytes.empty()) std::memcpy(out.data() + offsets[i], s.bytes.data(), s.bytes.size());
        std::byte* entry = table + ENTRY_BYTES * i;
        store<std::uint32_t>(entry + E_KIND, s.kind);
        store<std::uint32_t>(entry + E_FLAGS, s.flags);
        store<std::uint64_t>(entry + E_OFFSET, offsets[i]);
        store<std::uint64_t>(entry + E_LENGTH, s.bytes.size());
        store<std::uint32_t>(entry + E_CRC, crc32(s.bytes));
    }
    std::byte* footer = out.data() + out.size() - FOOTER_BYTES;
    store<std::uint64_t>(footer + F_TABLE_OFFSET, table_at);
    store<std::uint32_t>(footer + F_COUNT, static_cast<std::uint32_t>(sections.size()));
    store<std::uint32_t>(footer + F_VERSION, CONTAINER_VERSION);
    store<std::uint32_t>(footer + F_TABLE_CRC, crc32({table, ENTRY_BYTES * sections.size()}));
    std::memcpy(footer + F_MAGIC, MAGIC, sizeof MAGIC);
    return out;
}

std::expected<std::vector<Section>, ContainerError> read(std::span<const std::byte> file) {
    using K = ContainerError::Kind;
    const auto fail = [](K kind, std::uint32_t entry = 0) { return std::unexpected(ContainerError{kind, entry}); };

    if (!has_footer(file)) return std::vector<Section>{Section{static_cast<std::uint32_t>(SectionKind::Store), file}};

    const std::uint64_t footer_at = file.size() - FOOTER_BYTES;
    const std::byte* footer = file.data() + footer_at;
    if (load<std::uint32_t>(footer + F_VERSION) != CONTAINER_VERSION) return fail(K::UnsupportedVersion);
    if (load<std::uint32_t>(footer + F_RESERVED) != 0) return fail(K::FooterNotZero);
    const std::uint64_t table_at = load<std::uint64_t>(footer + F_TABLE_OFFSET);
    const std::uint64_t count = load<std::uint32_t>(footer + F_COUNT);
    // count < 2^32, so the product cannot overflow; the table must end exactly
    // where the footer begins, which bounds count by the bytes present.
    if (table_at > footer_at || footer_at - table_at != ENTRY_BYTES * count) return fail(K::TableOutOfBounds);
    if (table_at % TABLE_ALIGNMENT != 0) return fail(K::TableMisaligned);
    const std::span<const std::byte> table = file.subspan(table_at, ENTRY_BYTES * count);
    if (crc32(table) != load<std::uint32_t>(footer + F_TABLE_CRC)) return fail(K::TableChecksum);

    std::vector<Section> sections;
    sections.reserve(static_cast<std::size_t>(count));
    std::uint64_t previous_end = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::byte* entry = table.data() + ENTRY_BYTES * i;
        const auto kind = load<std::uint32_t>(entry + E_KIND);
        const auto flags = load<std::uint32_t>(entry + E_FLAGS);
        const auto offset = load<std::uint64_t>(entry + E_OFFSET);
        const auto length = load<std::uint64_t>(entry + E_LENGTH);
        if (load<std::uint32_t>(entry + E_RESERVED) != 0) return fail(K::EntryNotZero, i);
        if ((flags & ~FLAG_SKIPPABLE) != 0) return fail(K::UnknownFlags, i);
        if (!is_known_kind(kind) && (flags & FLAG_SKIPPABLE) == 0) return fail(K::UnknownKind, i);
        if (offset > table_at || length > table_at - offset) return fail(K::SectionOutOfBounds, i);
        if (offset % SECTION_ALIGNMENT != 0) return fail(K::SectionMisaligned, i);
        if (offset < previous_end) return fail(K::SectionOverlap, i);
        // The store is the first entry, at offset 0, so that the file's
        // first bytes are the store's, whatever else the table lists.
        if (kind == static_cast<std::uint32_t>(SectionKind::Store) && (i != 0 || offset != 0))
            return fail(K::StoreNotFirst, i);
        if (!all_zero(file.subspan(previous_end, offset - previous_end))) return fail(K::PaddingNotZero, i);
        const auto bytes = file.subspan(offset, length);
        if (crc32(bytes) != load<std::uint32_t>(entry + E_CRC)) return fail(K::SectionChecksum, i);
        sections.push_back(Section{kind, bytes, flags});
        previous_end = offset + length;
    }
    if (!all_zero(file.subspan(previous_end, table_at - previous_end)))
        return fail(K::PaddingNotZero, static_cast<std::uint32_t>(count));
    return sections;
}

}  // namespace kestrix::container
