// libFuzzer target: the graph's reader. The input is a slot count (two bytes)
// and a graph's bytes. A graph the reader accepts must write back to the same
// bytes, answer searches over a store of that many slots, and take appended
// slots, all without reading outside its tables.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include "hnsw/graph_codec.hpp"
#include "hnsw/search.hpp"

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::size_t slots = static_cast<std::size_t>(data[0]) | static_cast<std::size_t>(data[1]) << 8;
    const std::span<const std::byte> bytes(reinterpret_cast<const std::byte*>(data + 2), size - 2);
    auto graph = kestrix::decode_graph(bytes, slots);
    if (!graph) return 0;
    const auto again = kestrix::encode_graph(*graph);
    require(again.size() == bytes.size() && std::memcmp(again.data(), bytes.data(), bytes.size()) == 0);

    // Vectors and ids derived from the slot number: every slot live but the
    // ones divisible by 3, which are deleted documents the search walks through.
    std::vector<kestrix::QuantizedVector> vectors(slots + 3);
    std::vector<std::uint32_t> ids(slots + 3);
    for (std::size_t s = 0; s < vectors.size(); ++s) {
        for (std::size_t w = 0; w < kestrix::QUANTIZED_WORDS; ++w)
            vectors[s].words[w] = static_cast<std::uint32_t>(s * 2654435761u + w);
        ids[s] = static_cast<std::uint32_t>(s) | (s % 3 == 0 ? kestrix::TOMBSTONE_BIT : 0);
    }
    const std::span<const kestrix::QuantizedVector> stored = std::span(vectors).first(slots);
    const std::span<const std::uint32_t> stored_ids = std::span(ids).first(slots);
    kestrix::SearchContext context;
    for (const auto& query : {vectors[0], vectors.back()}) {
        const auto live =
            kestrix::search_hnsw_live(*graph, stored, stored_ids, kestrix::code_of(query), 5, 16, context);
        for (const auto& hit : live) require(hit.slot < slots && !kestrix::is_tombstoned(stored_ids[hit.slot]));
        const auto cut = kestrix::search_hnsw(*graph, stored, stored_ids, kestrix::code_of(query), 5, 16, context);
        for (const auto& hit : cut) require(hit.slot < slots);
    }
    // Extension of a loaded graph, with a small ef so a hostile one cannot stall.
    if (graph->ef_construction() > 64) return 0;
    auto builder = kestrix::HnswBuilder::resume(std::move(*graph), vectors.size());
    builder.insert_live(vectors, ids, slots);
    return 0;
}
