// The one place that looks at the CPU. Built for the baseline target, so it
// runs anywhere; it offers a set only when the CPU reports every instruction
// set that set's kernels were compiled for.
#include "kernel_set.hpp"

#include <array>

namespace kestrix::kernels {

namespace {

struct Table {
    std::array<KernelSet, 4> sets{};
    std::size_t count = 0;

    void add(const KernelSet& set) noexcept { sets[count++] = set; }
};

Table look_at_cpu() noexcept {
    Table found;
    found.add(GENERIC_KERNELS);
#if defined(__x86_64__)
    __builtin_cpu_init();
    const bool popcnt = __builtin_cpu_supports("popcnt");
    const bool avx2 = popcnt && __builtin_cpu_supports("avx2");
    const bool avx512 = popcnt && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                        __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512vbmi") &&
                        __builtin_cpu_supports("avx512vpopcntdq");
    if (popcnt) found.add(POPCNT_KERNELS);
    if (avx2) found.add(AVX2_KERNELS);
    if (avx512) found.add(AVX512_KERNELS);
#endif
    return found;
}

const Table& table() noexcept {
    static const Table found = look_at_cpu();
    return found;
}

}  // namespace

std::span<const KernelSet> available_kernel_sets() noexcept {
    const Table& t = table();
    return {t.sets.data(), t.count};
}

const KernelSet& active_kernels() noexcept {
    const Table& t = table();
    return t.sets[t.count - 1];
}

}  // namespace kestrix::kernels
