// libFuzzer target: the collection file's reader, over the input as a file in
// memory, its side read into memory and used in place. A collection it
// accepts, of whatever dimension its file says, must search (scan and graph,
// rescored) without reading outside anything or measuring past its dimension,
// and write a file that reads back as a collection writing the very same file.
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
        const std::size_t dim = collection.dimension();
        std::vector<float> floats(dim);
        for (std::size_t c = 0; c < dim; ++c) floats[c] = c % 3 == 0 ? -0.5f : 0.5f;
        std::vector<std::uint64_t> query(kestrix::kernels::code_words(dim));
        kestrix::quantize_into(floats.data(), dim, query.data());
        kestrix::SearchOptions options_;
        options_.k = 5;
        options_.rescore = true;
        for (const bool exact : {true, false}) {
            options_.exact = exact;
            for (const auto& hit : collection.search(query.data(), floats, options_)) {
                require(collection.contains(hit.id) && hit.distance <= dim);
            }
        }
        const auto written = file_of(collection);
        kestrix::container::MemorySource again(written);
        const auto reread = kestrix::file::read_collection(again);
        require(reread.has_value() && file_of(*reread) == written);
    }
    return 0;
}
