// Exact k-nearest search over every live slot of a store.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "heap.hpp"
#include "hits.hpp"
#include "quantized.hpp"
#include "store.hpp"

namespace kestrix {

// The bounded top-k selection of an exact scan: rows are offered a block at a
// time, in slot order, to a max-heap of at most `limit` hits; a full heap only
// admits strictly closer rows. Every exact scan (one query or a batch of them,
// a whole store or a range of its rows) selects through this one routine.
//
// `Rank` is the result heap's ranking: FarthestFirst (distance alone) for
// Kestrix's own scan, FarthestThenLaterSlotFirst for the collection's, whose
// kept set is the first `limit` by (distance, slot) exactly, so that scans of
// parts of the rows can be merged. (With distance alone, which of several
// equal hits at the root an eviction removes follows the heap's moves.)
template <class Rank>
class TopKSelection {
public:
    // `limit` hits at most; the heap's room is taken up front (the caller bounds
    // it by the rows it can offer, never by a caller's k alone).
    explicit TopKSelection(std::size_t limit);

    // Measures rows[0..count) (slots first_slot..) against `query` with the
    // active block kernel and offers the live ones. count <= the kernel's block.
    void offer_block(const QuantizedVector& query, const QuantizedVector* rows, const std::uint32_t* ids,
                     std::size_t count, std::uint32_t first_slot) noexcept;

    // Offers every row of [begin, end) of the given arrays, block by block.
    void offer_rows(const QuantizedVector& query, std::span<const QuantizedVector> vectors,
                    std::span<const std::uint32_t> ids, std::size_t begin, std::size_t end) noexcept;

    // The heap in its array order (not sorted), and its reset for reuse.
    std::span<SearchHit> hits() noexcept { return heap_; }
    std::vector<SearchHit> take() noexcept { return std::move(heap_); }
    void clear() noexcept;

private:
    std::vector<SearchHit> heap_;
    std::size_t limit_;
    std::uint32_t bound_;
};

extern template class TopKSelection<FarthestFirst>;
extern template class TopKSelection<FarthestThenLaterSlotFirst>;

// The best min(k, live slots) hits in ascending distance. Among equal distances
// at the cut-off, earlier slots win (a full heap only admits strictly closer
// hits). Memory is bounded by the live slots, never by k.
std::vector<SearchHit> scan_top_k(const VectorStore& store, const QuantizedVector& query, std::uint64_t k);

}  // namespace kestrix
