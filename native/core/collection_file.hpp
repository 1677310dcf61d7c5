// The collection's file: which sections it holds, the one routine that writes
// them from one state of the collection, and the one that reads them, section
// by section, straight into the collection's own arrays.
//
// A collection file is a container (container.hpp) whose sections are, in
// this order:
//   Store   the store's bytes (codec.hpp): kestrix.load of the file of a
//           384-dimensional collection gives a Kestrix with ids cut to 31
//           bits; any other dimension's store holds its slots alone;
//   Codes   the codes of a collection of any other dimension, and the
//           dimension (codec.hpp);
//   DocIds  the u64 document id of every slot;
//   Side    the rescoring side (side.hpp), when the collection keeps one;
//   Graph   the graph (graph_codec.hpp), when it has one.
// docs/architecture.md describes every byte.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "bytes.hpp"
#include "collection.hpp"
#include "container.hpp"

namespace kestrix::file {

// The collection's file, written to `out`. The caller holds the collection
// still (its read lock) for the whole of it, so the file is one state.
void write_collection(const Collection& collection, ByteSink& out);
// The bytes write_collection writes.
std::uint64_t collection_file_size(const Collection& collection);

// The file written to a descriptor the caller owns (the errno of a failed
// write), or into one buffer, from one state: each takes the collection's
// read lock for as long as it reads the collection.
std::expected<void, int> write_collection(const GuardedCollection& guarded, int fd);
std::vector<std::byte> collection_file_bytes(const GuardedCollection& guarded);

// Why a file could not be read: an I/O error (`os_error`, an errno), or what
// is wrong with the file (`message`, the text a caller shows).
struct ReadError {
    int os_error = 0;
    std::string message;
};

// How the rescoring side is read: into memory of its own (no owner), or used
// where it lies in a source held in memory, kept alive by `side_owner`.
struct ReadOptions {
    std::shared_ptr<const void> side_owner;
};

// A collection of a file's sections. Every check of the container is made
// first, in its order, and the first that fails reported; then what the
// sections hold (in the order store, codes, document ids, side, the ids
// against the store, graph). Each section is read once, into its place, its checksum
// computed over the bytes as they arrive; memory beyond the collection's own
// stays flat.
std::expected<Collection, ReadError> read_collection(container::Source& file, const ReadOptions& options = {});

// The file at `path`, its side in place in a mapping of the file when
// `map_side` (the mapping lives as long as the side uses it).
std::expected<Collection, ReadError> load_collection(const char* path, bool map_side);

// A collection of sections handed over one by one, without a container: the
// store's and the document ids' bytes, and the codes', a side's, a graph's
// and a metric's if any. Checked as a file's sections are.
struct SectionBytes {
    std::span<const std::byte> store;
    std::optional<std::span<const std::byte>> codes;
    std::span<const std::byte> doc_ids;
    std::optional<std::span<const std::byte>> side;
    std::optional<std::span<const std::byte>> graph;
    std::optional<std::span<const std::byte>> metric;
};
std::expected<Collection, std::string> collection_of_sections(const SectionBytes& sections);

}  // namespace kestrix::file
