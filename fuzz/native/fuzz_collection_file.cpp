// libFuzzer target: the collection file's reader, over the input as a file in
// memory, its side read into memory and used in place. A collection it
// accepts must search (scan and graph) without reading outside anything, and
// write a file that reads back as a collection writing the very same file.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <vector>

#include "collection_file.hpp"

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

std::vector<std::byte> file_of(const kestrix::Collection& collection) {
    std::vector<std::byte> out;
    kestrix::VectorSink sink(out);
    kestrix::file::write_collection(collection, sink);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::byte> input(reinterpret_cast<const std::byte*>(data), size);
    kestrix::container::MemorySource source(input);
    const auto owner = std::make_shared<int>(0);  // the input outlives every use here
    for (const bool in_place : {false, true}) {
        kestrix::file::ReadOptions options;
        if (in_place) options.side_owner = owner;
        auto read = kestrix::file::read_collection(source, options);
        if (!read) continue;
        const kestrix::Collection& collection = *read;
        kestrix::QuantizedVector query;
        for (std::size_t w = 0; w < kestrix::QUANTIZED_WORDS; ++w) query.words[w] = 0x9E3779B9u * (w + 1);
        const std::vector<float> floats(kestrix::DIMENSION, 0.5f);
        kestrix::SearchOptions options_;
        options_.k = 5;
        options_.rescore = true;
        for (const bool exact : {true, false}) {
            options_.exact = exact;
            for (const auto& hit : collection.search(query, floats, options_)) require(collection.contains(hit.id));
        }
        const auto written = file_of(collection);
        kestrix::container::MemorySource again(written);
        const auto reread = kestrix::file::read_collection(again);
        require(reread.has_value() && file_of(*reread) == written);
    }
    return 0;
}
