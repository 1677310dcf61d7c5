// The single heap discipline and the single distance ordering of the system.
//
// Hamming distances are small integers, so ties are everywhere; which of several
// equal candidates is kept, expanded or evicted follows from these exact moves
// and nothing else (never a slot number or an id). Every element type used here
// carries a `distance` member.
#pragma once

#include <algorithm>
#include <cstddef>
#include <span>
#include <utility>

namespace kestrix {

// Ranking of the two heap kinds: the candidate heap is a min-heap on distance
// (nearest on top), the result heaps are max-heaps (farthest on top). A tie
// never ranks above, so equal elements are never swapped.
struct NearestFirst {
    template <class T>
    bool operator()(const T& a, const T& b) const noexcept {
        return a.distance < b.distance;
    }
};
struct FarthestFirst {
    template <class T>
    bool operator()(const T& a, const T& b) const noexcept {
        return a.distance > b.distance;
    }
};

// Moves element i up while it ranks strictly above its parent.
template <class T, class Rank>
void sift_up(std::span<T> heap, std::size_t i, Rank ranks_above) noexcept {
    while (i > 0) {
        const std::size_t parent = (i - 1) / 2;
        if (!ranks_above(heap[i], heap[parent])) break;
        std::swap(heap[i], heap[parent]);
        i = parent;
    }
}

// Moves element i down: the left child is taken if it ranks above i, the right
// one only if it ranks above the choice so far (so the left wins between equals).
template <class T, class Rank>
void sift_down(std::span<T> heap, std::size_t i, Rank ranks_above) noexcept {
    const std::size_t n = heap.size();
    for (;;) {
        std::size_t pick = i;
        const std::size_t left = 2 * i + 1;
        const std::size_t right = left + 1;
        if (left < n && ranks_above(heap[left], heap[pick])) pick = left;
        if (right < n && ranks_above(heap[right], heap[pick])) pick = right;
        if (pick == i) return;
        std::swap(heap[i], heap[pick]);
        i = pick;
    }
}

// Replace the top in place and sift down (the bounded scan heap's eviction).
template <class T, class Rank>
void heap_replace_top(std::span<T> heap, const T& value, Rank ranks_above) noexcept {
    heap[0] = value;
    sift_down(heap, 0, ranks_above);
}

// Ascending by distance alone. Short lists (the usual top-k) are sorted by an
// insertion sort that keeps equal distances in the order they arrived in, which
// makes small results fully reproducible; longer lists take an unstable sort.
inline constexpr std::size_t INSERTION_SORT_LIMIT = 21;

template <class T>
void sort_by_distance(std::span<T> items) noexcept {
    if (items.size() < INSERTION_SORT_LIMIT) {
        for (std::size_t i = 1; i < items.size(); ++i) {
            T moving = items[i];
            std::size_t j = i;
            while (j > 0 && items[j - 1].distance > moving.distance) {
                items[j] = items[j - 1];
                --j;
            }
            items[j] = moving;
        }
        return;
    }
    std::sort(items.begin(), items.end(), [](const T& a, const T& b) { return a.distance < b.distance; });
}

}  // namespace kestrix
