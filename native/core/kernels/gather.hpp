// Distances from one vector to a list of stored rows picked by slot number:
// the neighbours of a graph node, or the links already chosen for one. The
// index walks rows in link order, not store order, so the scan's block kernels
// do not fit; these take a slot list instead. Every kernel gives exactly the
// numbers of hamming_distance, only several rows at a time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "../quantized.hpp"

namespace kestrix::kernels {

// Output arrays of gather_distances must have room for the count rounded up to
// a multiple of this: the wide kernels write whole groups.
inline constexpr std::size_t GATHER_GROUP = 8;

constexpr std::size_t gather_room(std::size_t count) noexcept {
    return (count + GATHER_GROUP - 1) / GATHER_GROUP * GATHER_GROUP;
}

// out[i] = hamming_distance(query, rows[slots[i]]) for every i < count. Entries
// of `out` from count up to gather_room(count) are scratch.
using GatherDistancesFn = void (*)(const QuantizedVector& query, const QuantizedVector* rows,
                                   const std::uint32_t* slots, std::size_t count, std::uint32_t* out) noexcept;
// Whether hamming_distance(query, rows[slots[i]]) <= bound for some i < count.
using AnyWithinFn = bool (*)(const QuantizedVector& query, const QuantizedVector* rows, const std::uint32_t* slots,
                             std::size_t count, std::uint32_t bound) noexcept;

struct GatherKernel {
    const char* name;
    GatherDistancesFn distances;
    AnyWithinFn any_within;
};

// Every gather kernel this CPU can run, portable first, fastest last.
std::size_t available_gather_kernels(GatherKernel* out, std::size_t capacity) noexcept;

// The fastest one, chosen on first use.
const GatherKernel& gather_kernel() noexcept;

void gather_distances_generic(const QuantizedVector& query, const QuantizedVector* rows, const std::uint32_t* slots,
                              std::size_t count, std::uint32_t* out) noexcept;
bool any_within_generic(const QuantizedVector& query, const QuantizedVector* rows, const std::uint32_t* slots,
                        std::size_t count, std::uint32_t bound) noexcept;
#if defined(__x86_64__)
void gather_distances_popcnt(const QuantizedVector& query, const QuantizedVector* rows, const std::uint32_t* slots,
                             std::size_t count, std::uint32_t* out) noexcept;
bool any_within_popcnt(const QuantizedVector& query, const QuantizedVector* rows, const std::uint32_t* slots,
                       std::size_t count, std::uint32_t bound) noexcept;
void gather_distances_avx512(const QuantizedVector& query, const QuantizedVector* rows, const std::uint32_t* slots,
                             std::size_t count, std::uint32_t* out) noexcept;
bool any_within_avx512(const QuantizedVector& query, const QuantizedVector* rows, const std::uint32_t* slots,
                       std::size_t count, std::uint32_t bound) noexcept;
#endif

}  // namespace kestrix::kernels
