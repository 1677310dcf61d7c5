// Small builders shared by the core tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <span>
#include <utility>
#include <vector>

#include "heap.hpp"
#include "hnsw/graph.hpp"
#include "hnsw/search.hpp"
#include "kernels/code_kernels.hpp"
#include "kernels/kernel_set.hpp"
#include "page_array.hpp"
#include "quantized.hpp"
#include "store.hpp"

namespace kestrix {

// The store's slot limit, lowered so that its refusal can be reached.
struct VectorStoreTestAccess {
    static void set_slot_limit(VectorStore& store, std::uint64_t limit) noexcept { store.slot_limit_ = limit; }
};

}  // namespace kestrix

namespace kestrix::test_support {

inline constexpr std::uint64_t U64_MAX = std::numeric_limits<std::uint64_t>::max();

// A vector whose components first .. first + count - 1 are set, so distances
// between such vectors can be worked out by counting.
inline QuantizedVector bits(std::size_t first, std::size_t count) {
    QuantizedVector v;
    for (std::size_t c = first; c < first + count; ++c) v.words[c / 32] |= 1u << (c % 32);
    return v;
}

// The container forms of the heap moves, for written-out reference walks.
// Push: append, then sift up.
template <class Vec, class Rank>
void heap_push(Vec& heap, typename Vec::value_type value, Rank ranks_above) {
    heap.push_back(value);
    sift_up(std::span(heap), heap.size() - 1, ranks_above);
}

// Pop: swap the top with the last element, remove it, sift down from the top.
template <class Vec, class Rank>
typename Vec::value_type heap_pop(Vec& heap, Rank ranks_above) noexcept {
    std::swap(heap.front(), heap.back());
    auto top = heap.back();
    heap.pop_back();
    sift_down(std::span(heap), 0, ranks_above);
    return top;
}

// Marks a slot in the current search, growing the set past its end if need be.
inline void mark(VisitedSet& set, std::uint32_t slot) {
    if (slot >= set.stamps.size()) set.stamps.resize(static_cast<std::size_t>(slot) + 1, 0u);
    set.stamps[slot] = set.current;
}

// Marks the slot and reports whether it was new to this search.
inline bool visit(VisitedSet& set, std::uint32_t slot) {
    if (set.is_visited(slot)) return false;
    mark(set, slot);
    return true;
}

// The kernels this CPU runs best for 384-bit codes.
inline const kernels::CodeKernels& kernels_384() { return kernels::code_kernels(DIMENSION / kernels::WORD_BITS); }

// A growable store of these 384-dimensional codes, ids and times (copied).
inline VectorStore store_of(std::span<const QuantizedVector> vectors, std::span<const std::uint32_t> ids,
                            std::span<const double> timestamps) {
    const CodeRows codes(vectors);
    return VectorStore::from_slots(DIMENSION,
                                   PageArray<std::uint64_t>::copy_of(std::span(codes.data, codes.size() * codes.words)),
                                   PageArray<std::uint32_t>::copy_of(ids), PageArray<double>::copy_of(timestamps));
}

// The code of a 384-dimensional store's slot, as a QuantizedVector.
inline QuantizedVector code_at(const VectorStore& store, std::size_t slot) {
    QuantizedVector v;
    std::memcpy(v.words.data(), store.code(slot), sizeof v);
    return v;
}

// One layer search with room of its own and the CPU's own kernel.
inline std::vector<Candidate> search_layer(const HnswGraph& graph, CodeRows vectors, const QuantizedVector& target,
                                           std::uint32_t entry, std::uint64_t layer, std::uint64_t ef,
                                           VisitedSet& visited) {
    std::vector<Candidate> candidates;
    std::vector<Candidate> results;
    kestrix::search_layer(graph, vectors, code_of(target), entry, layer, ef, visited, candidates, results,
                          kernels::code_kernels(vectors.words));
    return results;
}

inline std::vector<std::uint32_t> select_neighbours(std::span<const Candidate> sorted, std::uint64_t capacity,
                                                    CodeRows vectors) {
    std::vector<std::uint32_t> accepted;
    std::vector<std::uint32_t> discarded;
    kestrix::select_neighbours(sorted, capacity, vectors, accepted, discarded, kernels::code_kernels(vectors.words));
    return accepted;
}

// Graph queries, each with a fresh context.
inline std::vector<SearchHit> search_hnsw(const HnswGraph& graph, CodeRows vectors, std::span<const std::uint32_t> ids,
                                          const QuantizedVector& query, std::uint64_t k, std::uint64_t ef) {
    SearchContext context;
    return kestrix::search_hnsw(graph, vectors, ids, code_of(query), k, ef, context);
}

}  // namespace kestrix::test_support
