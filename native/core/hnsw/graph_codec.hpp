// A graph's bytes: what a file keeps of an HNSW graph so that, read back for
// the same store, it searches and extends exactly as the graph written did.
//
// Every field is little-endian; every table entry is a u32.
//
//   header (64 bytes)
//     magic "KXGRAPH\0", format version u32, link rule u32,
//     slot count u64, m u64, ef_construction u64, level generator state u64,
//     entry point u32 (EMPTY_LINK: no node yet), top level u32,
//     layer-0 row stride u32, upper row stride u32
//   layer 0      count[slot count], then slot count rows of layer-0 stride links
//   each upper layer 1..top level
//                member count u32, members[member count] (ascending),
//                count[member count], then member count rows of upper stride links
//
// The link rule is how the builder keeps nodes reachable, which an extension
// of the graph must go on using (see LinkRule): version 1 knows only FillRows
// and has the word reserved and zero; version 2 is a KeepWayIn graph, word 1.
// A graph is written in the lowest version that holds its rule, so a reader
// of version 1 still reads every graph it could extend.
//
// The strides are what the graph lays out for its m and slot count; they are
// written so that a reader can tell a graph laid out for another store at once.
// A row's first `count` entries are links (below the slot count, or
// EMPTY_LINK); the rest of the row is EMPTY_LINK.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string_view>
#include <vector>

#include "../bytes.hpp"
#include "graph.hpp"

namespace kestrix {

inline constexpr std::uint32_t GRAPH_FORMAT_VERSION = 2;
inline constexpr std::size_t GRAPH_HEADER_BYTES = 64;

// Which check a graph's bytes failed. Names appear in messages as spelled by
// error_name().
enum class GraphError : std::uint8_t {
    Truncated,  // fewer bytes than the header or the tables it announces
    BadMagic,
    UnsupportedVersion,
    ReservedNotZero,  // a version-1 link rule word other than zero
    BadLinkRule,
    SlotCountMismatch,  // laid out for a store of another size
    BadM,               // m below 2
    BadEfConstruction,  // ef_construction below 1, which no build takes
    BadStride,          // a stride other than the one m and the slot count give
    BadRngState,        // a level generator state the generator cannot be in
    BadTopLevel,        // above MAX_LEVEL, or levels without a node
    BadEntryPoint,      // outside the store, or not on the top layer
    BadMembers,         // an empty layer, members out of order or outside the store
    LayersNotNested,    // a member of a layer missing from the layer below
    BadCount,           // a row count above the stride
    BadLink,            // a link outside the store, or a filled entry past the count
    TrailingBytes,
};

std::string_view error_name(GraphError error) noexcept;

// The graph's bytes, written to `out` (whatever it throws), or as a buffer
// (std::bad_alloc only).
void encode_graph(const HnswGraph& graph, ByteSink& out);
std::vector<std::byte> encode_graph(const HnswGraph& graph);

// The graph the bytes describe, for a store of `slot_count` slots: all of
// `in`'s bytes. Every field, count, member list and link is checked before the
// graph is handed out, in overflow-checked 64-bit arithmetic; tables are
// allocated only once the bytes they are read from are known to be there, and
// are read straight into place. Throws std::bad_alloc (for tables the bytes
// do hold but memory does not) and whatever `in` throws.
std::expected<HnswGraph, GraphError> decode_graph(ByteInput& in, std::size_t slot_count);
std::expected<HnswGraph, GraphError> decode_graph(std::span<const std::byte> bytes, std::size_t slot_count);

}  // namespace kestrix
