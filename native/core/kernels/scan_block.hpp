// The block kernels of the exact scan, and the one point that picks among them.
//
// A kernel measures up to SCAN_BLOCK consecutive rows against the query with
// the same arithmetic as hamming_distance (so the numbers are identical, only
// computed several rows at a time) and reports which rows are worth offering
// to the heap: live rows (no tombstone bit in the id word) whose distance is
// below `bound`. The heap itself stays in scan.cpp, fed in slot order.
#pragma once

#include <cstddef>
#include <cstdint>

#include "../quantized.hpp"
#include "../store.hpp"

namespace kestrix::kernels {

inline constexpr std::size_t SCAN_BLOCK = 64;
// A bound that admits every distance (they are 0..384).
inline constexpr std::uint32_t ADMIT_ALL = DIMENSION + 1;

// Writes the distance of rows[i] to distances[i] for every i < count
// (1 <= count <= SCAN_BLOCK) and returns the mask whose bit i is set exactly
// when ids[i] is not tombstoned and distances[i] < bound.
using ScanBlockFn = std::uint64_t (*)(const QuantizedVector& query, const QuantizedVector* rows,
                                      const std::uint32_t* ids, std::size_t count, std::uint32_t bound,
                                      std::uint16_t* distances) noexcept;

struct ScanKernel {
    const char* name;
    ScanBlockFn run;
};

// Every kernel this CPU can run, portable first, fastest last. The portable
// one is the reference the others are tested against.
std::size_t available_scan_kernels(ScanKernel* out, std::size_t capacity) noexcept;

// The fastest kernel this CPU can run, chosen on first use.
ScanBlockFn scan_block_kernel() noexcept;

// The kernels themselves (the x86 ones exist only in x86-64 builds, and must
// only be called when the CPU has the instructions).
std::uint64_t scan_block_generic(const QuantizedVector& query, const QuantizedVector* rows, const std::uint32_t* ids,
                                 std::size_t count, std::uint32_t bound, std::uint16_t* distances) noexcept;
#if defined(__x86_64__)
std::uint64_t scan_block_popcnt(const QuantizedVector& query, const QuantizedVector* rows, const std::uint32_t* ids,
                                std::size_t count, std::uint32_t bound, std::uint16_t* distances) noexcept;
std::uint64_t scan_block_avx2(const QuantizedVector& query, const QuantizedVector* rows, const std::uint32_t* ids,
                              std::size_t count, std::uint32_t bound, std::uint16_t* distances) noexcept;
std::uint64_t scan_block_avx512(const QuantizedVector& query, const QuantizedVector* rows, const std::uint32_t* ids,
                                std::size_t count, std::uint32_t bound, std::uint16_t* distances) noexcept;
#endif

}  // namespace kestrix::kernels
