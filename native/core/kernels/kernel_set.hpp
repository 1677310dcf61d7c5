// What every kernel table shares: the shapes of the scan's blocks and the
// graph's gathers, the one look at the CPU, and the one rule that picks among
// the instruction sets a table offers. The measuring kernels themselves are
// in code_kernels.hpp, the rescoring ones in side/kernels.hpp.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace kestrix::kernels {

// ---------------------------------------------------------------- the scan
//
// A block kernel (code_kernels.hpp) measures up to SCAN_BLOCK consecutive
// rows against the query and reports which rows are worth offering to the
// selection: live rows (no tombstone bit in the id word) whose distance is
// below a bound. The selection itself stays in scan.cpp, fed in slot order.

inline constexpr std::size_t SCAN_BLOCK = 64;

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

// What the CPU offers of the instruction sets our kernels are compiled for,
// read once per process. Every kernel table (the code kernels of any width,
// the rescoring side's) is chosen from it by usable_here, so the CPU is
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

}  // namespace kestrix::kernels
