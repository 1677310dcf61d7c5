// The measuring kernels of the system and the one choice among them.
//
// A kernel set holds every routine that counts bits between vectors: the scan's
// block kernel, the graph's gather and any-within kernels, and the single
// distance. Each instruction set has one file with its whole set; the CPU is
// looked at once per process (kernel_set.cpp) and the widest set it can run is
// used everywhere. Every kernel gives exactly the numbers of hamming_distance,
// only computed several rows at a time; the portable set is the reference the
// others are tested against.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "../quantized.hpp"

namespace kestrix::kernels {

// ---------------------------------------------------------------- the scan
//
// A block kernel measures up to SCAN_BLOCK consecutive rows against the query
// and reports which rows are worth offering to the heap: live rows (no
// tombstone bit in the id word) whose distance is below `bound`. The heap
// itself stays in scan.cpp, fed in slot order.

inline constexpr std::size_t SCAN_BLOCK = 64;
// A bound that admits every distance (they are 0..384).
inline constexpr std::uint32_t ADMIT_ALL = DIMENSION + 1;

// Writes the distance of rows[i] to distances[i] for every i < count
// (1 <= count <= SCAN_BLOCK) and returns the mask whose bit i is set exactly
// when ids[i] is not tombstoned and distances[i] < bound.
using ScanBlockFn = std::uint64_t (*)(const QuantizedVector& query, const QuantizedVector* rows,
                                      const std::uint32_t* ids, std::size_t count, std::uint32_t bound,
                                      std::uint16_t* distances) noexcept;

// ---------------------------------------------------------------- the graph
//
// Distances from one vector to rows picked by slot number: the neighbours of a
// graph node, or the links already chosen for one. The graph walks rows in
// link order, not store order, so the block kernels do not fit.

// Output arrays of a gather must have room for the count rounded up to a
// multiple of this: the wide kernels write whole groups.
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
// hamming_distance(a, b), for the single measurements of a walk.
using DistanceFn = std::uint32_t (*)(const QuantizedVector& a, const QuantizedVector& b) noexcept;

struct KernelSet {
    const char* name;
    ScanBlockFn scan_block;
    GatherDistancesFn gather;
    AnyWithinFn any_within;
    DistanceFn distance;
};

// What the CPU offers of the instruction sets our kernels are compiled for,
// read once per process. Every kernel table (this one, the rescoring side's)
// is chosen from it, so the CPU is looked at in one place.
struct CpuFeatures {
    bool popcnt = false;
    bool avx2 = false;
    bool f16c = false;
    bool avx512 = false;  // F, BW and VL
    bool avx512vbmi = false;
    bool avx512vpopcntdq = false;
    bool avx512vnni = false;
};
const CpuFeatures& cpu_features() noexcept;

// The widest set this CPU can run, chosen on first use.
const KernelSet& active_kernels() noexcept;

// Every set this CPU can run, the portable one first, the widest last.
std::span<const KernelSet> available_kernel_sets() noexcept;

// The sets themselves, one per file. The x86 ones exist only in x86-64 builds
// and must only be used when the CPU has their instructions.
extern const KernelSet GENERIC_KERNELS;
#if defined(__x86_64__)
extern const KernelSet POPCNT_KERNELS;
extern const KernelSet AVX2_KERNELS;
extern const KernelSet AVX512_KERNELS;
#endif

}  // namespace kestrix::kernels
