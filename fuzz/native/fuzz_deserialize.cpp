// libFuzzer target: the store's byte reader. Beyond surviving every input
// under the sanitizers, what it accepts must write back as the same bytes
// (version 2) or the same slots (version 1), and the written form must read
// again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>

#include "codec.hpp"

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::byte> input(reinterpret_cast<const std::byte*>(data), size);
    const auto store = kestrix::deserialize(input);
    if (!store) return 0;
    const auto bytes = kestrix::serialize(*store);
    std::uint32_t version;
    std::memcpy(&version, data + 4, sizeof version);
    if (version == 2) require(bytes.size() <= size && std::memcmp(bytes.data(), data, bytes.size()) == 0);
    const auto again = kestrix::deserialize(bytes);
    require(again.has_value() && again->size() == store->size());
    require(kestrix::serialize(*again) == bytes);
    return 0;
}
