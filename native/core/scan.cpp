#include "scan.hpp"

#include <algorithm>
#include <bit>
#include <span>
#include <utility>

#include "heap.hpp"
#include "kernels/kernel_set.hpp"

namespace kestrix {

// Rows are measured a block at a time by the widest kernel the CPU has; the
// kernel also names the rows worth offering to the heap (live, and closer than
// the heap's root when the block began). The root only shrinks while the heap
// is full, so that mask never misses a row the heap would take; each offered
// row still goes through the one comparison below, in slot order, so the heap
// sees exactly the pushes and replacements of a row-by-row scan.
template <class Rank>
TopKSelection<Rank>::TopKSelection(std::size_t limit, std::size_t dim)
    : limit_(limit),
      dim_(dim),
      kernel_(&kernels::code_kernels(kernels::code_words(dim))),
      bound_(kernels::admit_all(dim)) {
    heap_.reserve(limit);
}

template <class Rank>
void TopKSelection<Rank>::offer_block(const std::uint64_t* query, const std::uint64_t* rows, const std::uint32_t* ids,
                                      std::size_t count, std::uint32_t first_slot) noexcept {
    if (limit_ == 0) return;
    std::uint16_t distances[kernels::SCAN_BLOCK];
    std::uint64_t offered = kernel_->scan_block(query, rows, ids, count, bound_, distances);
    while (offered != 0) {
        const std::size_t i = static_cast<std::size_t>(std::countr_zero(offered));
        offered &= offered - 1;
        const std::uint32_t d = distances[i];
        const SearchHit hit{ids[i], first_slot + static_cast<std::uint32_t>(i), d, distance_to_score(d, dim_)};
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
void TopKSelection<Rank>::offer_rows(const std::uint64_t* query, CodeRows vectors, std::span<const std::uint32_t> ids,
                                     std::size_t begin, std::size_t end) noexcept {
    for (std::size_t base = begin; base < end; base += kernels::SCAN_BLOCK) {
        const std::size_t count = std::min(kernels::SCAN_BLOCK, end - base);
        offer_block(query, vectors[base], ids.data() + base, count, static_cast<std::uint32_t>(base));
    }
}

template class TopKSelection<FarthestFirst>;

FirstRowsSelection::FirstRowsSelection(std::size_t limit, std::size_t rows, std::size_t dim)
    : per_distance_(dim + 1, 0u),
      limit_(limit),
      dim_(dim),
      kernel_(&kernels::code_kernels(kernels::code_words(dim))),
      max_distance_(static_cast<std::uint32_t>(dim)),
      bound_(max_distance_ + 1),
      top_(max_distance_) {
    kept_.reserve(std::min(2 * limit, rows));
}

FirstRowsSelection::FirstRowsSelection(std::size_t limit, std::size_t rows, const kernels::AsymmetricQuery& query)
    : per_distance_(std::size_t{query.max_distance} + 1, 0u),
      limit_(limit),
      dim_(query.dim),
      kernel_(&kernels::code_kernels(query.words)),
      asymmetric_(&query),
      max_distance_(query.max_distance),
      bound_(max_distance_ + 1),
      top_(max_distance_) {
    kept_.reserve(std::min(2 * limit, rows));
}

void FirstRowsSelection::offer(std::uint32_t id_word, std::uint32_t slot, std::uint32_t distance) noexcept {
    // A cut earlier in this block may have lowered the bound.
    if (distance >= bound_) return;
    // The room reserved holds 2 x limit, or every row offered: the list is
    // cut when it reaches 2 x limit, so it never reallocates.
    kept_.push_back({id_word, slot, distance, distance_to_score(distance, dim_)});
    ++per_distance_[distance];
    if (kept_.size() == 2 * limit_) cut();
}

void FirstRowsSelection::offer_rows(const std::uint64_t* query, CodeRows vectors, std::span<const std::uint32_t> ids,
                                    std::size_t begin, std::size_t end, const AllowedSlots* allowed) noexcept {
    if (asymmetric_ != nullptr) {
        const kernels::AsymmetricFns& fns = kernel_->asymmetric(*asymmetric_);
        offer_blocks<std::uint32_t>(vectors, ids, begin, end, allowed,
                                    [&](const std::uint32_t* block_ids, const std::uint64_t* rows, std::size_t count,
                                        std::uint32_t bound, std::uint32_t* distances) noexcept {
                                        return fns.scan_block(*asymmetric_, rows, block_ids, count, bound, distances);
                                    });
    } else {
        offer_blocks<std::uint16_t>(vectors, ids, begin, end, allowed,
                                    [&](const std::uint32_t* block_ids, const std::uint64_t* rows, std::size_t count,
                                        std::uint32_t bound, std::uint16_t* distances) noexcept {
                                        return kernel_->scan_block(query, rows, block_ids, count, bound, distances);
                                    });
    }
}

template <class Distance, class MeasureBlock>
void FirstRowsSelection::offer_blocks(CodeRows vectors, std::span<const std::uint32_t> ids, std::size_t begin,
                                      std::size_t end, const AllowedSlots* allowed,
                                      MeasureBlock measure_block) noexcept {
    if (limit_ == 0) return;
    Distance distances[kernels::SCAN_BLOCK];
    static_assert(kernels::SCAN_BLOCK == 64, "a block's allowed rows are one word of the bitmap");
    for (std::size_t base = begin; base < end; base += kernels::SCAN_BLOCK) {
        const std::size_t count = std::min(kernels::SCAN_BLOCK, end - base);
        const std::uint64_t admitted = allowed ? allowed->bits_from(base) : ~std::uint64_t{0};
        if (admitted == 0) continue;
        std::uint64_t offered = admitted & measure_block(ids.data() + base, vectors[base], count, bound_, distances);
        while (offered != 0) {
            const std::size_t i = static_cast<std::size_t>(std::countr_zero(offered));
            offered &= offered - 1;
            offer(ids[base + i], static_cast<std::uint32_t>(base + i), distances[i]);
        }
    }
}

void FirstRowsSelection::offer_slots(const std::uint64_t* query, CodeRows vectors, std::span<const std::uint32_t> ids,
                                     std::span<const std::uint32_t> slots) noexcept {
    if (limit_ == 0) return;
    constexpr std::size_t CHUNK = 64;
    std::uint32_t distances[kernels::gather_room(CHUNK)];
    for (std::size_t from = 0; from < slots.size(); from += CHUNK) {
        const std::size_t count = std::min(CHUNK, slots.size() - from);
        if (asymmetric_ != nullptr) {
            kernel_->asymmetric_gather(*asymmetric_, vectors.data, slots.data() + from, count, distances);
        } else {
            kernel_->gather(query, vectors.data, slots.data() + from, count, distances);
        }
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint32_t slot = slots[from + i];
            offer(ids[slot], slot, distances[i]);
        }
    }
}

void FirstRowsSelection::cut() noexcept {
    // The cut-off: the smallest distance with at least limit_ hits at or
    // below it (walked down from the last cut-off, which only falls).
    std::size_t at_or_below = kept_.size();
    std::uint32_t cutoff = top_;
    while (at_or_below - per_distance_[cutoff] >= limit_) at_or_below -= per_distance_[cutoff--];
    // Every hit below the cut-off stays; of those at it, the earliest ones
    // (the list is in slot order) up to the limit.
    const std::size_t at_cutoff = limit_ - (at_or_below - per_distance_[cutoff]);
    std::size_t room = at_cutoff;
    std::size_t out = 0;
    for (const SearchHit& hit : kept_) {
        if (hit.distance < cutoff || (hit.distance == cutoff && room > 0)) {
            room -= hit.distance == cutoff ? 1 : 0;
            kept_[out++] = hit;
        }
    }
    kept_.resize(out);
    for (std::uint32_t d = cutoff + 1; d <= top_; ++d) per_distance_[d] = 0;
    per_distance_[cutoff] = static_cast<std::uint32_t>(at_cutoff);
    top_ = cutoff;
    bound_ = cutoff;
}

std::vector<SearchHit> FirstRowsSelection::take() {
    if (kept_.size() > limit_) cut();
    // A stable counting sort by distance of a list in slot order: (distance,
    // slot) order. The counts become the start of each distance's run.
    std::uint32_t position = 0;
    for (std::uint32_t d = 0; d <= top_; ++d) position += std::exchange(per_distance_[d], position);
    std::vector<SearchHit> sorted(kept_.size());
    for (const SearchHit& hit : kept_) sorted[per_distance_[hit.distance]++] = hit;
    kept_.clear();
    std::fill(per_distance_.begin(), per_distance_.end(), 0u);
    top_ = max_distance_;
    bound_ = max_distance_ + 1;
    return sorted;
}

std::vector<SearchHit> scan_top_k(const VectorStore& store, const std::uint64_t* query, std::uint64_t k) {
    const auto ids = store.ids();
    if (k == 0 || ids.empty()) return {};
    // Room for the hits the scan can actually retain: bounded by the slots,
    // whatever k the caller asked for.
    TopKSelection<FarthestFirst> selection(k < ids.size() ? static_cast<std::size_t>(k) : ids.size(),
                                           store.dimension());
    selection.offer_rows(query, store.codes(), ids, 0, ids.size());
    sort_by_distance(selection.hits());
    return selection.take();
}

}  // namespace kestrix
