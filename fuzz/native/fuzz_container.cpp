// libFuzzer target: the file container's reader. What it accepts must lie
// inside the input on page boundaries, in order, and lay out again into a file
// that reads back as the same sections; a store section is handed on to the
// store's reader, as loading a file does.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "codec.hpp"
#include "container.hpp"

namespace {

namespace kc = kestrix::container;

void require(bool condition) {
    if (!condition) std::abort();
}

bool same_bytes(std::span<const std::byte> a, std::span<const std::byte> b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::byte> file(reinterpret_cast<const std::byte*>(data), size);
    const auto sections = kc::read(file);
    if (!sections) return 0;
    const std::byte* previous_end = file.data();
    for (const kc::Section& s : *sections) {
        require(s.bytes.data() >= previous_end && s.bytes.data() + s.bytes.size() <= file.data() + file.size());
        require(static_cast<std::size_t>(s.bytes.data() - file.data()) % kc::SECTION_ALIGNMENT == 0);
        previous_end = s.bytes.data() + s.bytes.size();
        if (s.kind == static_cast<std::uint32_t>(kc::SectionKind::Store)) (void)kestrix::deserialize(s.bytes);
    }
    if (!kc::has_footer(file)) return 0;  // plain store bytes: the store reader's target covers them
    const auto rewritten = kc::write(*sections);
    const auto again = kc::read(rewritten);
    require(again.has_value() && again->size() == sections->size());
    for (std::size_t i = 0; i < sections->size(); ++i) {
        require((*again)[i].kind == (*sections)[i].kind && (*again)[i].flags == (*sections)[i].flags);
        require(same_bytes((*again)[i].bytes, (*sections)[i].bytes));
    }
    return 0;
}
