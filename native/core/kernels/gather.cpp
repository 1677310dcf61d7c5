// The row-by-row gather kernels and the choice among all of them.
#include "gather.hpp"

#if defined(__x86_64__)
#include "scan_block_x86.hpp"
#endif

namespace kestrix::kernels {

void gather_distances_generic(const QuantizedVector& query, const QuantizedVector* rows, const std::uint32_t* slots,
                              std::size_t count, std::uint32_t* out) noexcept {
    for (std::size_t i = 0; i < count; ++i) out[i] = hamming_distance(query, rows[slots[i]]);
}

bool any_within_generic(const QuantizedVector& query, const QuantizedVector* rows, const std::uint32_t* slots,
                        std::size_t count, std::uint32_t bound) noexcept {
    for (std::size_t i = 0; i < count; ++i) {
        if (hamming_distance(query, rows[slots[i]]) <= bound) return true;
    }
    return false;
}

#if defined(__x86_64__)

__attribute__((target("popcnt"))) void gather_distances_popcnt(const QuantizedVector& query,
                                                               const QuantizedVector* rows,
                                                               const std::uint32_t* slots, std::size_t count,
                                                               std::uint32_t* out) noexcept {
    std::uint64_t query_lanes[6];
    std::memcpy(query_lanes, query.words.data(), sizeof query_lanes);
    for (std::size_t i = 0; i < count; ++i) out[i] = x86::row_distance(query_lanes, rows[slots[i]]);
}

__attribute__((target("popcnt"))) bool any_within_popcnt(const QuantizedVector& query, const QuantizedVector* rows,
                                                         const std::uint32_t* slots, std::size_t count,
                                                         std::uint32_t bound) noexcept {
    std::uint64_t query_lanes[6];
    std::memcpy(query_lanes, query.words.data(), sizeof query_lanes);
    for (std::size_t i = 0; i < count; ++i) {
        if (x86::row_distance(query_lanes, rows[slots[i]]) <= bound) return true;
    }
    return false;
}

namespace {

bool has_popcnt() noexcept { return __builtin_cpu_supports("popcnt"); }
bool has_avx512() noexcept {
    return has_popcnt() && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
           __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512vbmi") &&
           __builtin_cpu_supports("avx512vpopcntdq");
}

}  // namespace

#endif

std::size_t available_gather_kernels(GatherKernel* out, std::size_t capacity) noexcept {
    std::size_t n = 0;
    auto add = [&](const GatherKernel& kernel) {
        if (n < capacity) out[n] = kernel;
        ++n;
    };
    add({"generic", gather_distances_generic, any_within_generic});
#if defined(__x86_64__)
    __builtin_cpu_init();
    if (has_popcnt()) add({"popcnt", gather_distances_popcnt, any_within_popcnt});
    if (has_avx512()) add({"avx512", gather_distances_avx512, any_within_avx512});
#endif
    return n;
}

const GatherKernel& gather_kernel() noexcept {
    static const GatherKernel chosen = [] {
        GatherKernel kernels[3];
        const std::size_t n = available_gather_kernels(kernels, 3);
        return kernels[(n < 3 ? n : 3) - 1];
    }();
    return chosen;
}

}  // namespace kestrix::kernels
