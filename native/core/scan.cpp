#include "scan.hpp"

#include <algorithm>
#include <bit>
#include <span>

#include "heap.hpp"
#include "kernels/scan_block.hpp"

namespace kestrix {

// Rows are measured a block at a time by the widest kernel the CPU has; the
// kernel also names the rows worth offering to the heap (live, and closer than
// the heap's root when the block began). The root only shrinks while the heap
// is full, so that mask never misses a row the heap would take; each offered
// row still goes through the one comparison below, in slot order, so the heap
// sees exactly the pushes and replacements of a row-by-row scan.
template <class Rank>
TopKSelection<Rank>::TopKSelection(std::size_t limit) : limit_(limit), bound_(kernels::ADMIT_ALL) {
    heap_.reserve(limit);
}

template <class Rank>
void TopKSelection<Rank>::clear() noexcept {
    heap_.clear();
    bound_ = kernels::ADMIT_ALL;
}

template <class Rank>
void TopKSelection<Rank>::offer_block(const QuantizedVector& query, const QuantizedVector* rows, const std::uint32_t* ids,
                                std::size_t count, std::uint32_t first_slot) noexcept {
    if (limit_ == 0) return;
    std::uint16_t distances[kernels::SCAN_BLOCK];
    std::uint64_t offered = kernels::scan_block_kernel()(query, rows, ids, count, bound_, distances);
    while (offered != 0) {
        const std::size_t i = static_cast<std::size_t>(std::countr_zero(offered));
        offered &= offered - 1;
        const std::uint32_t d = distances[i];
        const SearchHit hit{ids[i], first_slot + static_cast<std::uint32_t>(i), d, distance_to_score(d)};
        // The room was reserved for `limit_` hits, so the push never allocates.
        if (heap_.size() < limit_) {
            heap_.push_back(hit);
            sift_up(std::span(heap_), heap_.size() - 1, Rank{});
            if (heap_.size() == limit_) bound_ = heap_.front().distance;
        } else if (d < heap_.front().distance) {
            heap_replace_top(std::span(heap_), hit, Rank{});
            bound_ = heap_.front().distance;
        }
    }
}

template <class Rank>
void TopKSelection<Rank>::offer_rows(const QuantizedVector& query, std::span<const QuantizedVector> vectors,
                               std::span<const std::uint32_t> ids, std::size_t begin, std::size_t end) noexcept {
    for (std::size_t base = begin; base < end; base += kernels::SCAN_BLOCK) {
        const std::size_t count = std::min(kernels::SCAN_BLOCK, end - base);
        offer_block(query, vectors.data() + base, ids.data() + base, count, static_cast<std::uint32_t>(base));
    }
}

template class TopKSelection<FarthestFirst>;
template class TopKSelection<FarthestThenLaterSlotFirst>;

std::vector<SearchHit> scan_top_k(const VectorStore& store, const QuantizedVector& query, std::uint64_t k) {
    const auto ids = store.ids();
    if (k == 0 || ids.empty()) return {};
    // Room for the hits the scan can actually retain: bounded by the slots,
    // whatever k the caller asked for.
    TopKSelection<FarthestFirst> selection(k < ids.size() ? static_cast<std::size_t>(k) : ids.size());
    selection.offer_rows(query, store.vectors(), ids, 0, ids.size());
    sort_by_distance(selection.hits());
    return selection.take();
}

}  // namespace kestrix
