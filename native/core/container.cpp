#include "container.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace kestrix::container {

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

// Files are read in pieces of this size: each is checksummed (or checked for
// zeros) while it is still in the cache, and no buffer grows with a file.
constexpr std::size_t PIECE = std::size_t{256} << 10;
// The scratch room of a check that reads bytes only to look at them.
constexpr std::size_t SCRATCH = std::size_t{16} << 10;

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

bool is_refused(std::uint32_t kind, std::uint32_t flags, std::size_t index) noexcept {
    if (!is_known_kind(kind)) return flags != FLAG_SKIPPABLE;
    return (flags & ~FLAG_SKIPPABLE) != 0 || (kind == static_cast<std::uint32_t>(SectionKind::Store) && index != 0);
}

// Calls `use` on the bytes [from, to) of the file, a piece at a time (in place
// when the file is in memory). Stops early when `use` returns false.
template <class Use>
bool each_piece(Source& file, std::uint64_t from, std::uint64_t to, Use use) {
    if (const auto memory = file.in_memory(); !memory.empty()) return use(memory.subspan(from, to - from));
    std::array<std::byte, SCRATCH> scratch;
    for (std::uint64_t at = from; at < to;) {
        const auto piece =
            std::span(scratch).first(static_cast<std::size_t>(std::min<std::uint64_t>(SCRATCH, to - at)));
        file.read(at, piece);
        if (!use(std::span<const std::byte>(piece))) return false;
        at += piece.size();
    }
    return true;
}

bool all_zero(Source& file, std::uint64_t from, std::uint64_t to) {
    return each_piece(file, from, to, [](std::span<const std::byte> bytes) {
        return std::all_of(bytes.begin(), bytes.end(), [](std::byte b) { return b == std::byte{0}; });
    });
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

std::string describe(const ContainerError& error) {
    using K = ContainerError::Kind;
    // The footer's and the table's checks concern no one entry.
    const bool names_entry = error.kind != K::UnsupportedVersion && error.kind != K::FooterNotZero &&
                             error.kind != K::TableOutOfBounds && error.kind != K::TableMisaligned &&
                             error.kind != K::TableChecksum;
    std::string message = "container error: ";
    message += error_name(error.kind);
    if (names_entry) message += " (section " + std::to_string(error.entry) + ")";
    return message;
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

// ---------------------------------------------------------------- writing

void Writer::pad_to(std::uint64_t offset) {
    static constexpr std::array<std::byte, SECTION_ALIGNMENT> ZEROS{};
    while (at_ < offset) {
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(ZEROS.size(), offset - at_));
        out_.write(std::span(ZEROS).first(n));
        at_ += n;
    }
}

void Writer::begin(std::uint32_t kind, std::uint32_t flags) {
    if (open_ || is_refused(kind, flags, entries_.size())) {
        throw std::invalid_argument("container: a section its reader would refuse");
    }
    if (entries_.size() >= std::numeric_limits<std::uint32_t>::max()) throw std::length_error("container: too many");
    const std::uint64_t offset = align_up(at_, SECTION_ALIGNMENT);
    if (offset < at_) throw std::length_error("container: too large");
    entries_.push_back(Entry{kind, flags, offset, 0, 0});
    pad_to(offset);
    open_ = true;
}

void Writer::write(std::span<const std::byte> bytes) {
    if (bytes.size() > std::numeric_limits<std::uint64_t>::max() - at_) throw std::length_error("container: too large");
    Entry& entry = entries_.back();
    out_.write(bytes);
    entry.crc = crc32(bytes, entry.crc);
    entry.length += bytes.size();
    at_ += bytes.size();
}

void Writer::end() { open_ = false; }

void Writer::finish() {
    pad_to(align_up(at_, TABLE_ALIGNMENT));
    const std::uint64_t table_at = at_;
    std::vector<std::byte> table(ENTRY_BYTES * entries_.size());  // zeroed: the reserved words
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        std::byte* e = table.data() + ENTRY_BYTES * i;
        store(e + E_KIND, entries_[i].kind);
        store(e + E_FLAGS, entries_[i].flags);
        store(e + E_OFFSET, entries_[i].offset);
        store(e + E_LENGTH, entries_[i].length);
        store(e + E_CRC, entries_[i].crc);
    }
    std::array<std::byte, FOOTER_BYTES> footer{};
    store(footer.data() + F_TABLE_OFFSET, table_at);
    store(footer.data() + F_COUNT, static_cast<std::uint32_t>(entries_.size()));
    store(footer.data() + F_VERSION, CONTAINER_VERSION);
    store(footer.data() + F_TABLE_CRC, crc32(table));
    std::memcpy(footer.data() + F_MAGIC, MAGIC, sizeof MAGIC);
    out_.write(table);
    out_.write(footer);
    at_ += table.size() + footer.size();
}

std::uint64_t file_size(std::span<const std::uint64_t> section_lengths) {
    std::uint64_t end = 0;
    for (const std::uint64_t length : section_lengths) end = align_up(end, SECTION_ALIGNMENT) + length;
    return align_up(end, TABLE_ALIGNMENT) + ENTRY_BYTES * section_lengths.size() + FOOTER_BYTES;
}

std::vector<std::byte> write(std::span<const Section> sections) {
    std::vector<std::uint64_t> lengths;
    lengths.reserve(sections.size());
    for (const Section& s : sections) lengths.push_back(s.bytes.size());
    const std::uint64_t total = file_size(lengths);
    if (total > std::numeric_limits<std::size_t>::max()) throw std::length_error("container: too large");
    std::vector<std::byte> out;
    out.reserve(static_cast<std::size_t>(total));
    VectorSink sink(out);
    Writer writer(sink);
    for (const Section& s : sections) {
        writer.begin(s.kind, s.flags);
        writer.write(s.bytes);
        writer.end();
    }
    writer.finish();
    return out;
}

// ---------------------------------------------------------------- reading

void MemorySource::read(std::uint64_t offset, std::span<std::byte> out) {
    if (!out.empty()) std::memcpy(out.data(), bytes_.data() + offset, out.size());
}

bool SectionInput::read(std::span<std::byte> out) {
    if (out.size() > left()) return false;
    for (std::size_t done = 0; done < out.size();) {
        const auto piece = out.subspan(done, std::min(PIECE, out.size() - done));
        file_.read(at_, piece);
        crc_ = crc32(piece, crc_);
        at_ += piece.size();
        done += piece.size();
    }
    return true;
}

std::optional<std::span<const std::byte>> SectionInput::in_place(std::uint64_t n) noexcept {
    const auto memory = file_.in_memory();
    if (memory.size() != file_.size() || n > left()) return std::nullopt;
    const auto bytes = memory.subspan(static_cast<std::size_t>(at_), static_cast<std::size_t>(n));
    crc_ = crc32(bytes, crc_);
    at_ += n;
    return bytes;
}

void SectionInput::skip_rest() {
    each_piece(file_, at_, end_, [this](std::span<const std::byte> bytes) {
        crc_ = crc32(bytes, crc_);
        return true;
    });
    at_ = end_;
}

std::expected<void, ContainerError> read(Source& file, const SectionVisitor& visit) {
    using K = ContainerError::Kind;
    const auto fail = [](K kind, std::uint32_t entry = 0) { return std::unexpected(ContainerError{kind, entry}); };

    const std::uint64_t size = file.size();
    std::array<std::byte, FOOTER_BYTES> footer{};
    if (size >= FOOTER_BYTES) file.read(size - FOOTER_BYTES, footer);
    if (size < FOOTER_BYTES || std::memcmp(footer.data() + F_MAGIC, MAGIC, sizeof MAGIC) != 0) {
        SectionInput whole(file, 0, size);
        visit(0, static_cast<std::uint32_t>(SectionKind::Store), 0, whole);
        return {};
    }

    const std::uint64_t footer_at = size - FOOTER_BYTES;
    if (load<std::uint32_t>(footer.data() + F_VERSION) != CONTAINER_VERSION) return fail(K::UnsupportedVersion);
    if (load<std::uint32_t>(footer.data() + F_RESERVED) != 0) return fail(K::FooterNotZero);
    const auto table_at = load<std::uint64_t>(footer.data() + F_TABLE_OFFSET);
    const std::uint64_t count = load<std::uint32_t>(footer.data() + F_COUNT);
    // count < 2^32, so the product cannot overflow; the table must end exactly
    // where the footer begins, which bounds count by the bytes present.
    if (table_at > footer_at || footer_at - table_at != ENTRY_BYTES * count) return fail(K::TableOutOfBounds);
    if (table_at % TABLE_ALIGNMENT != 0) return fail(K::TableMisaligned);
    std::uint32_t table_crc = 0;
    each_piece(file, table_at, footer_at, [&](std::span<const std::byte> bytes) {
        table_crc = crc32(bytes, table_crc);
        return true;
    });
    if (table_crc != load<std::uint32_t>(footer.data() + F_TABLE_CRC)) return fail(K::TableChecksum);

    std::uint64_t previous_end = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        std::array<std::byte, ENTRY_BYTES> entry;
        file.read(table_at + ENTRY_BYTES * i, entry);
        const auto kind = load<std::uint32_t>(entry.data() + E_KIND);
        const auto flags = load<std::uint32_t>(entry.data() + E_FLAGS);
        const auto offset = load<std::uint64_t>(entry.data() + E_OFFSET);
        const auto length = load<std::uint64_t>(entry.data() + E_LENGTH);
        if (load<std::uint32_t>(entry.data() + E_RESERVED) != 0) return fail(K::EntryNotZero, i);
        if ((flags & ~FLAG_SKIPPABLE) != 0) return fail(K::UnknownFlags, i);
        if (!is_known_kind(kind) && (flags & FLAG_SKIPPABLE) == 0) return fail(K::UnknownKind, i);
        if (offset > table_at || length > table_at - offset) return fail(K::SectionOutOfBounds, i);
        if (offset % SECTION_ALIGNMENT != 0) return fail(K::SectionMisaligned, i);
        if (offset < previous_end) return fail(K::SectionOverlap, i);
        // The store is the first entry, at offset 0, so that the file's
        // first bytes are the store's, whatever else the table lists.
        if (kind == static_cast<std::uint32_t>(SectionKind::Store) && (i != 0 || offset != 0))
            return fail(K::StoreNotFirst, i);
        if (!all_zero(file, previous_end, offset)) return fail(K::PaddingNotZero, i);
        SectionInput bytes(file, offset, length);
        visit(i, kind, flags, bytes);
        bytes.skip_rest();
        if (bytes.crc() != load<std::uint32_t>(entry.data() + E_CRC)) return fail(K::SectionChecksum, i);
        previous_end = offset + length;
    }
    if (!all_zero(file, previous_end, table_at)) return fail(K::PaddingNotZero, static_cast<std::uint32_t>(count));
    return {};
}

std::expected<std::vector<Section>, ContainerError> read(std::span<const std::byte> file) {
    MemorySource source(file);
    std::vector<Section> sections;
    const auto read_all = read(source, [&](std::uint32_t, std::uint32_t kind, std::uint32_t flags, SectionInput& in) {
        sections.push_back(Section{kind, *in.in_place(in.left()), flags});
    });
    if (!read_all) return std::unexpected(read_all.error());
    return sections;
}

}  // namespace kestrix::container
