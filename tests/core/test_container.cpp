#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

#include "container.hpp"
#include "file_io.hpp"
#include "support.hpp"

namespace kestrix::container {
namespace {

using K = ContainerError::Kind;

std::vector<std::byte> bytes_of(std::string_view text) {
    std::vector<std::byte> out(text.size());
    std::memcpy(out.data(), text.data(), text.size());
    return out;
}

// A store section of 5000 bytes (so the next one lands on the second page), an
// empty one, and a short one: every region the reader checks is present.
struct Sample {
    std::vector<std::byte> store = bytes_of(std::string(5000, 's'));
    std::vector<std::byte> ids = bytes_of("0123456789abcdef");
    std::vector<std::byte> file = write(std::vector<Section>{{1, store}, {3, {}}, {2, ids}});
};

std::uint64_t table_offset(const std::vector<std::byte>& file) {
    std::uint64_t at;
    std::memcpy(&at, file.data() + file.size() - FOOTER_BYTES, 8);
    return at;
}

// Changes a field of table entry `entry` and seals the table again, so only
// the entry checks can catch the change.
template <class T>
std::vector<std::byte> with_entry_field(std::vector<std::byte> file, std::size_t entry, std::size_t field, T value) {
    const std::uint64_t at = table_offset(file);
    std::memcpy(file.data() + at + ENTRY_BYTES * entry + field, &value, sizeof value);
    const std::uint32_t count = static_cast<std::uint32_t>((file.size() - FOOTER_BYTES - at) / ENTRY_BYTES);
    const std::uint32_t sealed = crc32(std::span(file).subspan(at, ENTRY_BYTES * count));
    std::memcpy(file.data() + file.size() - FOOTER_BYTES + 16, &sealed, 4);
    return file;
}

TEST(Container, ChecksumIsZlibCrc32) {
    EXPECT_EQ(crc32(bytes_of("123456789")), 0xCBF43926u);
    EXPECT_EQ(crc32({}), 0u);
    // Continuing a checksum gives the checksum of the concatenation, across the 8-byte steps.
    const auto text = bytes_of("the quick brown fox jumps over the lazy dog");
    EXPECT_EQ(crc32(std::span(text).subspan(13), crc32(std::span(text).first(13))), crc32(text));
}

TEST(Container, RoundTripKeepsStoreBytesFirstAndSectionsOnPages) {
    const Sample s;
    ASSERT_TRUE(has_footer(s.file));
    EXPECT_EQ(0, std::memcmp(s.file.data(), s.store.data(), s.store.size()));
    const auto sections = read(s.file);
    ASSERT_TRUE(sections.has_value());
    ASSERT_EQ(sections->size(), 3u);
    const std::uint32_t kinds[] = {1, 3, 2};
    const std::vector<std::byte>* contents[] = {&s.store, nullptr, &s.ids};
    for (std::size_t i = 0; i < 3; ++i) {
        const Section& section = (*sections)[i];
        EXPECT_EQ(section.kind, kinds[i]);
        EXPECT_EQ(static_cast<std::size_t>(section.bytes.data() - s.file.data()) % SECTION_ALIGNMENT, 0u);
        if (contents[i] == nullptr) {
            EXPECT_TRUE(section.bytes.empty());
        } else {
            EXPECT_TRUE(
                std::equal(section.bytes.begin(), section.bytes.end(), contents[i]->begin(), contents[i]->end()));
        }
    }
    EXPECT_EQ((*sections)[2].bytes.data() - s.file.data(), 8192);
}

TEST(Container, BytesWithoutFooterAreOnePlainStore) {
    const auto plain = bytes_of("KSTX plain store bytes");
    const auto sections = read(plain);
    ASSERT_TRUE(sections.has_value());
    ASSERT_EQ(sections->size(), 1u);
    EXPECT_EQ((*sections)[0].kind, 1u);
    EXPECT_EQ((*sections)[0].bytes.data(), plain.data());
    EXPECT_EQ((*sections)[0].bytes.size(), plain.size());
}

// Every proper prefix has lost the footer or is refused; none reads as a container.
TEST(Container, EveryTruncationIsPlainOrRefused) {
    const Sample s;
    for (std::size_t n = 0; n < s.file.size(); ++n) {
        const std::span<const std::byte> prefix(s.file.data(), n);
        const auto sections = read(prefix);
        if (has_footer(prefix)) {
            EXPECT_FALSE(sections.has_value()) << n;
        } else {
            ASSERT_TRUE(sections.has_value()) << n;
            ASSERT_EQ(sections->size(), 1u);
            EXPECT_EQ((*sections)[0].bytes.size(), n);
        }
    }
}

// A flipped bit anywhere is caught, except in the magic, where it makes the
// file plain store bytes with trailing bytes (which the store's loader refuses).
TEST(Container, EveryFlippedByteIsCaught) {
    const Sample s;
    for (std::size_t at = 0; at < s.file.size(); ++at) {
        for (const std::byte mask : {std::byte{0x01}, std::byte{0x80}}) {
            auto damaged = s.file;
            damaged[at] ^= mask;
            const auto sections = read(damaged);
            if (at >= s.file.size() - 8) {
                EXPECT_FALSE(has_footer(damaged)) << at;
            } else {
                EXPECT_FALSE(sections.has_value()) << at;
            }
        }
    }
}

struct EntryCase {
    const char* name;
    std::size_t entry;
    std::size_t field;
    std::uint64_t value;
    bool wide;  // an offset or a length (u64); otherwise a u32 field
    ContainerError expected;
};

class DamagedEntry : public ::testing::TestWithParam<EntryCase> {};

TEST_P(DamagedEntry, NamesTheCheckAndTheEntry) {
    const Sample s;
    const EntryCase& c = GetParam();
    const auto file =
        c.wide ? with_entry_field<std::uint64_t>(s.file, c.entry, c.field, c.value)
               : with_entry_field<std::uint32_t>(s.file, c.entry, c.field, static_cast<std::uint32_t>(c.value));
    const auto sections = read(file);
    ASSERT_FALSE(sections.has_value());
    EXPECT_EQ(sections.error(), c.expected) << error_name(sections.error().kind);
}

constexpr std::uint64_t U64_MAX = test_support::U64_MAX;

INSTANTIATE_TEST_SUITE_P(Container, DamagedEntry,
                         ::testing::Values(EntryCase{"UnknownKind", 1, 0, 99, false, {K::UnknownKind, 1}},
                                           EntryCase{"UnknownFlag", 2, 4, 2, false, {K::UnknownFlags, 2}},
                                           EntryCase{"ReservedWord", 0, 28, 1, false, {K::EntryNotZero, 0}},
                                           EntryCase{"HugeLength", 2, 16, U64_MAX, true, {K::SectionOutOfBounds, 2}},
                                           EntryCase{
                                               "HugeOffset", 2, 8, U64_MAX - 4095, true, {K::SectionOutOfBounds, 2}},
                                           EntryCase{"LengthIntoTable", 2, 16, 4096, true, {K::SectionOutOfBounds, 2}},
                                           EntryCase{"Misaligned", 2, 8, 8192 - 8, true, {K::SectionMisaligned, 2}},
                                           EntryCase{"Overlap", 2, 8, 4096, true, {K::SectionOverlap, 2}},
                                           EntryCase{"StoreLater", 2, 0, 1, false, {K::StoreNotFirst, 2}},
                                           EntryCase{"SecondStore", 1, 0, 1, false, {K::StoreNotFirst, 1}},
                                           EntryCase{"StoreLength", 0, 16, 4999, true, {K::SectionChecksum, 0}},
                                           EntryCase{"Checksum", 2, 24, 0, false, {K::SectionChecksum, 2}}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Container, FooterChecks) {
    const Sample s;
    const auto with_footer_u32 = [&](std::size_t field, std::uint32_t value) {
        auto file = s.file;
        std::memcpy(file.data() + file.size() - FOOTER_BYTES + field, &value, 4);
        return read(file);
    };
    EXPECT_EQ(with_footer_u32(12, 2).error().kind, K::UnsupportedVersion);
    EXPECT_EQ(with_footer_u32(20, 1).error().kind, K::FooterNotZero);
    EXPECT_EQ(with_footer_u32(8, 0xFFFFFFFFu).error().kind, K::TableOutOfBounds);  // a huge count
    EXPECT_EQ(with_footer_u32(16, 0).error().kind, K::TableChecksum);

    // A table that starts on a misaligned offset, with the count to match.
    auto file = s.file;
    const std::uint64_t at = table_offset(file) - 4;
    file.insert(file.begin() + static_cast<std::ptrdiff_t>(at), 4, std::byte{0});
    std::memcpy(file.data() + file.size() - FOOTER_BYTES, &at, 8);
    EXPECT_EQ(read(file).error().kind, K::TableOutOfBounds);
}

TEST(Container, UnknownSkippableSectionsAndNonZeroPadding) {
    const Sample s;
    const auto ids = bytes_of("x");
    const auto skippable = write(std::vector<Section>{{1, s.store}, {77, ids, FLAG_SKIPPABLE}});
    const auto sections = read(skippable);
    ASSERT_TRUE(sections.has_value());
    EXPECT_EQ((*sections)[1].kind, 77u);
    EXPECT_THROW(write(std::vector<Section>{{77, ids}}), std::invalid_argument);
    EXPECT_THROW(write(std::vector<Section>{{2, ids}, {1, ids}}), std::invalid_argument);

    auto padded = s.file;
    padded[5000] = std::byte{1};  // the padding after the store
    EXPECT_EQ(read(padded).error(), (ContainerError{K::PaddingNotZero, 1}));
}

TEST(Container, NoSections) {
    const auto empty = write({});
    EXPECT_EQ(empty.size(), FOOTER_BYTES);
    const auto sections = read(empty);
    ASSERT_TRUE(sections.has_value());
    EXPECT_TRUE(sections->empty());
}

// A saved file is read in pieces and where it lies: the same bytes on every
// system, and the failures a caller turns into OSError by their errno.
TEST(ReadFile, ReadsAndMapsWholeFilesAndRefusesWhatIsNone) {
    namespace fs = std::filesystem;
    // A name of its own: other runs of the suite may share the temporary folder.
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    const fs::path folder = fs::temp_directory_path() / ("kestrix-read-file-" + std::to_string(stamp));
    fs::create_directories(folder);
    const auto write_file = [&](const char* name, const std::vector<std::byte>& data) {
        std::ofstream(folder / name, std::ios::binary)
            .write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
        return (folder / name).string();
    };
    {
        // Released before the folder goes: Windows deletes no mapped file.
        const Sample s;
        auto whole = ReadFile::open(write_file("whole.kxc", s.file).c_str());
        ASSERT_TRUE(whole.has_value());
        ASSERT_EQ(whole->size(), s.file.size());
        std::vector<std::byte> read(s.file.size() - 100);
        whole->read(100, read);
        EXPECT_TRUE(std::equal(read.begin(), read.end(), s.file.begin() + 100, s.file.end()));
        EXPECT_TRUE(whole->in_memory().empty());
        const auto mapped = whole->map();
        ASSERT_TRUE(mapped.has_value());
        const auto seen = (*mapped)->bytes();
        EXPECT_TRUE(std::equal(seen.begin(), seen.end(), s.file.begin(), s.file.end()));
        EXPECT_EQ(whole->in_memory().data(), seen.data());
        auto empty = ReadFile::open(write_file("empty.kxc", {}).c_str());
        ASSERT_TRUE(empty.has_value());
        EXPECT_EQ(empty->size(), 0u);
        ASSERT_TRUE(empty->map().has_value());
        EXPECT_TRUE((*empty->map())->bytes().empty());
        std::byte past[1];
        EXPECT_THROW(empty->read(0, past), IoError);
    }
    EXPECT_EQ(ReadFile::open((folder / "missing.kxc").string().c_str()).error(), ENOENT);
    EXPECT_EQ(ReadFile::open(folder.string().c_str()).error(), EISDIR);
#if !defined(_WIN32)
    // Refused at once: opening a FIFO to read would wait for a writer.
    const auto fifo = (folder / "fifo.kxc").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(ReadFile::open(fifo.c_str()).error(), NOT_A_REGULAR_FILE);
    EXPECT_EQ(ReadFile::open("/dev/zero").error(), NOT_A_REGULAR_FILE);
#endif
    fs::remove_all(folder);
}

}  // namespace
}  // namespace kestrix::container
