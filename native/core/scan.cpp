#include "scan.hpp"

#include <algorithm>
#include <bit>
#include <span>

#include "heap.hpp"
#include "kernels/kernel_set.hpp"

namespace kestrix {

// Rows are measured a block at a time by the widest kernel the CPU has; the
// kernel also names the rows worth offering to the heap (live, and closer than
// the heap's root when the block began). The root only shrinks while the heap
// is full, so that mask never misses a row the heap would take; each offered
// row still goes through the one comparison below, in slot order, so the heap
// sees exactly the pushes and replacements of a row-by-row scan.
std::vector<SearchHit> scan_top_k(const VectorStore& store, const QuantizedVector& query, std::uint64_t k) {
    std::vector<SearchHit> heap;
    const auto ids = store.ids();
    if (k == 0 || ids.empty()) return heap;

    const auto vectors = store.vectors();
    // Room for the hits the scan can actually retain: bounded by the slots,
    // whatever k the caller asked for.
    const std::size_t limit = k < ids.size() ? static_cast<std::size_t>(k) : ids.size();
    heap.reserve(limit);

    const kernels::ScanBlockFn measure = kernels::active_kernels().scan_block;
    std::uint16_t distances[kernels::SCAN_BLOCK];
    std::uint32_t bound = kernels::ADMIT_ALL;
    for (std::size_t base = 0; base < ids.size(); base += kernels::SCAN_BLOCK) {
        const std::size_t count = std::min(kernels::SCAN_BLOCK, ids.size() - base);
        std::uint64_t offered = measure(query, vectors.data() + base, ids.data() + base, count, bound, distances);
        while (offered != 0) {
            const std::size_t i = static_cast<std::size_t>(std::countr_zero(offered));
            offered &= offered - 1;
            const std::uint32_t d = distances[i];
            const auto slot = static_cast<std::uint32_t>(base + i);
            if (heap.size() < limit) {
                heap.push_back({ids[base + i], slot, d, distance_to_score(d)});
                sift_up(std::span(heap), heap.size() - 1, FarthestFirst{});
                if (heap.size() == limit) bound = heap.front().distance;
            } else if (d < heap.front().distance) {
                heap_replace_top(std::span(heap), {ids[base + i], slot, d, distance_to_score(d)}, FarthestFirst{});
                bound = heap.front().distance;
            }
        }
    }
    sort_by_distance(std::span(heap));
    return heap;
}

}  // namespace kestrix
