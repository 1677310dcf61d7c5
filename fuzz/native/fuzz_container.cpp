// libFuzzer target: the file container's reader. What it accepts must lie
// inside the input on page boundaries, in order, and lay out again into a file
// that reads back as the same sections; a store section is handed on to the
// store's reader, as loading a file does.
//
// Checksums would stop the fuzzer at the table: almost every mutation of an
// entry fails the table's checksum. So each input is read twice: as it is, and
// "sealed", with every checksum it can reach recomputed, so that mutations of
// offsets, lengths, kinds and flags reach the checks behind the checksums.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include "codec.hpp"
#include "container.hpp"

namespace {

namespace kc = kestrix::container;

void require(bool condition) {
    if (!condition) std::abort();
}

template <class T>
T field(const std::vector<std::byte>& file, std::uint64_t at) {
    T value;
    std::memcpy(&value, file.data() + at, sizeof value);
    return value;
}

void set_crc(std::vector<std::byte>& file, std::uint64_t at, std::uint64_t from, std::uint64_t length) {
    const std::uint32_t crc = kc::crc32(std::span(file).subspan(from, length));
    std::memcpy(file.data() + at, &crc, sizeof crc);
}

// The documented layout: table offset u64, count u32 at the footer's start,
// the table's checksum at +16; entries of offset u64 at +8, length u64 at +16,
// checksum at +24.
bool seal(std::vector<std::byte>& file) {
    if (!kc::has_footer(file)) return false;
    const std::uint64_t footer_at = file.size() - kc::FOOTER_BYTES;
    const auto table_at = field<std::uint64_t>(file, footer_at);
    const std::uint64_t count = field<std::uint32_t>(file, footer_at + 8);
    if (table_at > footer_at || footer_at - table_at != kc::ENTRY_BYTES * count) return false;
    for (std::uint64_t i = 0; i < count; ++i) {
        const std::uint64_t entry = table_at + kc::ENTRY_BYTES * i;
        const auto offset = field<std::uint64_t>(file, entry + 8);
        const auto length = field<std::uint64_t>(file, entry + 16);
        if (offset <= table_at && length <= table_at - offset) set_crc(file, entry + 24, offset, length);
    }
    set_crc(file, footer_at + 16, table_at, kc::ENTRY_BYTES * count);
    return true;
}

bool same_bytes(std::span<const std::byte> a, std::span<const std::byte> b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
}

void check(std::span<const std::byte> file) {
    const auto sections = kc::read(file);
    if (!sections) return;
    const std::byte* previous_end = file.data();
    for (const kc::Section& s : *sections) {
        require(s.bytes.data() >= previous_end && s.bytes.data() + s.bytes.size() <= file.data() + file.size());
        require(static_cast<std::size_t>(s.bytes.data() - file.data()) % kc::SECTION_ALIGNMENT == 0);
        previous_end = s.bytes.data() + s.bytes.size();
        if (s.kind == static_cast<std::uint32_t>(kc::SectionKind::Store)) (void)kestrix::deserialize(s.bytes);
    }
    if (!kc::has_footer(file)) return;  // plain store bytes: the store reader's target covers them
    const auto rewritten = kc::write(*sections);
    const auto again = kc::read(rewritten);
    require(again.has_value() && again->size() == sections->size());
    for (std::size_t i = 0; i < sections->size(); ++i) {
        require((*again)[i].kind == (*sections)[i].kind && (*again)[i].flags == (*sections)[i].flags);
        require(same_bytes((*again)[i].bytes, (*sections)[i].bytes));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::byte> file(reinterpret_cast<const std::byte*>(data), size);
    check(file);
    std::vector<std::byte> sealed(file.begin(), file.end());
    if (seal(sealed)) check(sealed);
    return 0;
}
