// The one place that looks at the CPU. Built for the baseline target, so it
// runs anywhere; it hands out a kernel only when the CPU reports every
// instruction set that kernel was compiled for.
#include "scan_block.hpp"

namespace kestrix::kernels {

namespace {

#if defined(__x86_64__)
bool has_popcnt() noexcept { return __builtin_cpu_supports("popcnt"); }
bool has_avx2() noexcept { return has_popcnt() && __builtin_cpu_supports("avx2"); }
bool has_avx512() noexcept {
    return has_popcnt() && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
           __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512vbmi") &&
           __builtin_cpu_supports("avx512vpopcntdq");
}
#endif

}  // namespace

std::size_t available_scan_kernels(ScanKernel* out, std::size_t capacity) noexcept {
    std::size_t n = 0;
    auto add = [&](const char* name, ScanBlockFn run) {
        if (n < capacity) out[n] = {name, run};
        ++n;
    };
    add("generic", scan_block_generic);
#if defined(__x86_64__)
    __builtin_cpu_init();
    if (has_popcnt()) add("popcnt", scan_block_popcnt);
    if (has_avx2()) add("avx2", scan_block_avx2);
    if (has_avx512()) add("avx512", scan_block_avx512);
#endif
    return n;
}

ScanBlockFn scan_block_kernel() noexcept {
    static const ScanBlockFn chosen = [] {
        ScanKernel kernels[4];
        const std::size_t n = available_scan_kernels(kernels, 4);
        return kernels[(n < 4 ? n : 4) - 1].run;
    }();
    return chosen;
}

}  // namespace kestrix::kernels
