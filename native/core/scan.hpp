// Exact k-nearest search over every live slot of a store.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "allowed.hpp"
#include "heap.hpp"
#include "hits.hpp"
#include "kernels/code_kernels.hpp"
#include "quantized.hpp"
#include "store.hpp"

namespace kestrix {

// The bounded top-k selection of Kestrix's exact scan: rows are offered a
// block at a time, in slot order, to a max-heap of at most `limit` hits; a
// full heap only admits strictly closer rows, so which of several equal hits
// at the root an eviction removes follows the heap's moves. `Rank` is the
// heap's ranking (FarthestFirst).
template <class Rank>
class TopKSelection {
public:
    // `limit` hits at most of `dim`-dimensional codes; the heap's room is
    // taken up front (the caller bounds it by the rows it can offer, never by
    // a caller's k alone).
    TopKSelection(std::size_t limit, std::size_t dim);

    // Measures rows[0..count) (slots first_slot..) against `query` with the
    // block kernel of the width and offers the live ones. count <= the
    // kernel's block.
    void offer_block(const std::uint64_t* query, const std::uint64_t* rows, const std::uint32_t* ids, std::size_t count,
                     std::uint32_t first_slot) noexcept;

    // Offers every row of [begin, end) of the given arrays, block by block.
    void offer_rows(const std::uint64_t* query, CodeRows vectors, std::span<const std::uint32_t> ids, std::size_t begin,
                    std::size_t end) noexcept;

    // The heap in its array order (not sorted).
    std::span<SearchHit> hits() noexcept { return heap_; }
    std::vector<SearchHit> take() noexcept { return std::move(heap_); }

private:
    std::vector<SearchHit> heap_;
    std::size_t limit_;
    std::size_t dim_;
    const kernels::CodeKernels* kernel_;
    std::uint32_t bound_;
};

extern template class TopKSelection<FarthestFirst>;

// The collection's exact selection: the first `limit` live rows by (distance,
// slot) of rows offered in ascending slot order (one range, or tiles of it in
// order). Distances are integers 0..dim, so no heap is needed: admitted rows
// are appended in slot order and counted per distance, and whenever the list
// holds twice the limit the cut-off distance is found from the counts (walking
// down from the last one, so at most dim + 1 steps a query in all) and the
// list is cut back to the limit, keeping the earliest rows at the cut-off.
// Later rows then need a strictly smaller distance: at equal distance they
// would rank after every row kept. A wide list (a rescored query keeps 24 x k
// candidates) then costs an append a row where a heap paid a sift of log k
// unpredictable steps.
//
// A selection measures by Hamming distance, or, made with a prepared query,
// by that query's asymmetric distance (integers 0..query.max_distance, which
// rank the rows and nothing else: a hit's score is then meaningless until
// rescoring replaces it).
class FirstRowsSelection {
public:
    // Room for 2 x `limit` hits, or for the `rows` that will be offered when
    // fewer, is taken up front (the list never outgrows either), so memory is
    // bounded by the rows, never by a caller's k. Codes are `dim`-dimensional.
    FirstRowsSelection(std::size_t limit, std::size_t rows, std::size_t dim);
    // By asymmetric distance; the query (of the codes' dimension) must outlive
    // the selection.
    FirstRowsSelection(std::size_t limit, std::size_t rows, const kernels::AsymmetricQuery& query);

    // Offers rows [begin, end): measured against `query` by Hamming distance,
    // or against the selection's own prepared query (`query` unread). With
    // `allowed`, only its slots are offered (a block of rows none of which is
    // allowed is not even measured).
    void offer_rows(const std::uint64_t* query, CodeRows vectors, std::span<const std::uint32_t> ids, std::size_t begin,
                    std::size_t end, const AllowedSlots* allowed = nullptr) noexcept;

    // Offers the rows at `slots` (ascending, all live), gathered a chunk at a
    // time and measured as offer_rows measures: for a few allowed slots among
    // many.
    void offer_slots(const std::uint64_t* query, CodeRows vectors, std::span<const std::uint32_t> ids,
                     std::span<const std::uint32_t> slots) noexcept;

    // The selected hits in (distance, slot) order; the selection is empty again.
    std::vector<SearchHit> take();

private:
    // Keeps a row measured at `distance` if it is still in the running; rows
    // come in ascending slot order.
    void offer(std::uint32_t id_word, std::uint32_t slot, std::uint32_t distance) noexcept;
    // Offers rows [begin, end) (only `allowed` ones, when given), measured a
    // block at a time by `measure_block` (ids, rows, count, bound, distances)
    // -> the mask of rows to offer.
    template <class Distance, class MeasureBlock>
    void offer_blocks(CodeRows vectors, std::span<const std::uint32_t> ids, std::size_t begin, std::size_t end,
                      const AllowedSlots* allowed, MeasureBlock measure_block) noexcept;
    // Cuts the list back to the first `limit_` by (distance, slot).
    void cut() noexcept;

    std::vector<SearchHit> kept_;              // slot order
    std::vector<std::uint32_t> per_distance_;  // max_distance_ + 1 counts
    std::size_t limit_;
    std::size_t dim_;
    const kernels::CodeKernels* kernel_;
    const kernels::AsymmetricQuery* asymmetric_ = nullptr;
    std::uint32_t max_distance_;  // no distance exceeds it
    std::uint32_t bound_;         // admits distances below it
    std::uint32_t top_;           // no kept hit lies above it
};

// The best min(k, live slots) hits in ascending distance. Among equal distances
// at the cut-off, earlier slots win (a full heap only admits strictly closer
// hits). Memory is bounded by the live slots, never by k.
std::vector<SearchHit> scan_top_k(const VectorStore& store, const std::uint64_t* query, std::uint64_t k);

}  // namespace kestrix
