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

#include <array>
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
// read once per process. Every kernel table (this one, the code kernels of any
// width, the rescoring side's) is chosen from it by usable_here, so the CPU is
// looked at in one place and one rule picks among the sets.
struct CpuFeatures {
    bool popcnt = false;
    bool avx2 = false;
    bool f16c = false;
    bool avx512 = false;  // F, BW and VL
    bool avx512vbmi = false;
    bool avx512vpopcntdq = false;
    bool avx512vnni = false;
    bool neon = false;

    // Whether this CPU has everything `needs` asks for.
    constexpr bool covers(const CpuFeatures& needs) const noexcept {
        return (popcnt || !needs.popcnt) && (avx2 || !needs.avx2) && (f16c || !needs.f16c) &&
               (avx512 || !needs.avx512) && (avx512vbmi || !needs.avx512vbmi) &&
               (avx512vpopcntdq || !needs.avx512vpopcntdq) && (avx512vnni || !needs.avx512vnni) &&
               (neon || !needs.neon);
    }
};
const CpuFeatures& cpu_features() noexcept;

// A kernel set of any kind offered for selection, with what it needs.
template <class Set>
struct Offered {
    Set set;
    CpuFeatures needs;
};

template <class Set, std::size_t N>
struct UsableSets {
    std::array<Set, N> sets{};
    std::size_t count = 0;

    std::span<const Set> all() const noexcept { return {sets.data(), count}; }
    const Set& widest() const noexcept { return sets[count - 1]; }
};

// The one selection rule: every offered set this CPU can run, in the order
// offered (the portable one first, needing nothing; the widest last).
template <class Set, std::size_t N>
UsableSets<Set, N> usable_here(const std::array<Offered<Set>, N>& offered) noexcept {
    UsableSets<Set, N> found;
    for (const Offered<Set>& o : offered) {
        if (cpu_features().covers(o.needs)) found.sets[found.count++] = o.set;
    }
    return found;
}

// The widest set this CPU can run, chosen on first use.
const KernelSet& active_kernels() noexcept;

// Every set this CPU can run, the portable one first, the widest last.
std::span<const KernelSet> available_kernel_sets() noexcept;

// The sets themselves, one per file: each is the 384-bit view of its
// instruction set's kernels (code_kernels.hpp). The x86 ones exist only in
// x86-64 builds, the NEON one only in aarch64 builds, and must only be used
// when the CPU has their instructions.
extern const KernelSet GENERIC_KERNELS;
#if defined(__x86_64__)
extern const KernelSet POPCNT_KERNELS;
extern const KernelSet AVX2_KERNELS;
extern const KernelSet AVX512_KERNELS;
#endif
#if defined(__aarch64__)
extern const KernelSet NEON_KERNELS;
#endif

}  // namespace kestrix::kernels
