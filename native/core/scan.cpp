#include "scan.hpp"

#include <algorithm>
#include <span>

#include "heap.hpp"
#include "hnsw/search.hpp"

namespace kestrix {

std::vector<SearchHit> scan_top_k(const VectorStore& store, const QuantizedVector& query, std::uint64_t k) {
    std::vector<SearchHit> heap;
    const auto ids = store.ids();
    if (k == 0 || ids.empty()) return heap;

    const auto vectors = store.vectors();
    // Room for the hits the scan can actually retain: bounded by the slots,
    // whatever k the caller asked for.
    const std::size_t limit = k < ids.size() ? static_cast<std::size_t>(k) : ids.size();
    heap.reserve(limit);

    for (std::size_t slot = 0; slot < ids.size(); ++slot) {
        const std::uint32_t id_word = ids[slot];
        if (is_tombstoned(id_word)) continue;
        const std::uint32_t d = hamming_distance(query, vectors[slot]);
        if (heap.size() < limit) {
            heap.push_back({id_word, static_cast<std::uint32_t>(slot), d, distance_to_score(d)});
            sift_up(std::span(heap), heap.size() - 1, FarthestFirst{});
        } else if (d < heap.front().distance) {
            heap_replace_top(std::span(heap), {id_word, static_cast<std::uint32_t>(slot), d, distance_to_score(d)},
                             FarthestFirst{});
        }
    }
    sort_by_distance(std::span(heap));
    return heap;
}

std::vector<SearchHit> search(const VectorStore& store, const QuantizedVector& query, std::uint64_t k,
                              std::uint64_t ef) {
    if (const HnswIndex* index = store.index()) {
        return search_hnsw(*index, store.vectors(), store.ids(), query, k, ef);
    }
    return scan_top_k(store, query, k);
}

}  // namespace kestrix
