// The one place that looks at the CPU. Built for the baseline target, so it
// runs anywhere; it offers a set only when the CPU reports every instruction
// set that set's kernels were compiled for.
#include "kernel_set.hpp"

#include <array>

#if defined(__x86_64__)
#include <cpuid.h>
#endif

namespace kestrix::kernels {

namespace {

struct Table {
    std::array<KernelSet, 4> sets{};
    std::size_t count = 0;

    void add(const KernelSet& set) noexcept { sets[count++] = set; }
};

CpuFeatures look_at_cpu() noexcept {
    CpuFeatures cpu;
#if defined(__x86_64__)
    __builtin_cpu_init();
    cpu.popcnt = __builtin_cpu_supports("popcnt");
    cpu.avx2 = __builtin_cpu_supports("avx2");
    // Not every compiler's __builtin_cpu_supports knows F16C; CPUID leaf 1
    // does (it is only used together with AVX2, whose check covers the
    // operating system's support for the wide registers).
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    cpu.f16c = __get_cpuid(1, &eax, &ebx, &ecx, &edx) != 0 && (ecx & bit_F16C) != 0;
    cpu.avx512 =
        __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl");
    cpu.avx512vbmi = __builtin_cpu_supports("avx512vbmi");
    cpu.avx512vpopcntdq = __builtin_cpu_supports("avx512vpopcntdq");
    cpu.avx512vnni = __builtin_cpu_supports("avx512vnni");
#endif
    return cpu;
}

Table kernels_for_cpu() noexcept {
    Table found;
    found.add(GENERIC_KERNELS);
#if defined(__x86_64__)
    const CpuFeatures& cpu = cpu_features();
    if (cpu.popcnt) found.add(POPCNT_KERNELS);
    if (cpu.popcnt && cpu.avx2) found.add(AVX2_KERNELS);
    if (cpu.popcnt && cpu.avx512 && cpu.avx512vbmi && cpu.avx512vpopcntdq) found.add(AVX512_KERNELS);
#endif
    return found;
}

const Table& table() noexcept {
    static const Table found = kernels_for_cpu();
    return found;
}

}  // namespace

const CpuFeatures& cpu_features() noexcept {
    static const CpuFeatures cpu = look_at_cpu();
    return cpu;
}

std::span<const KernelSet> available_kernel_sets() noexcept {
    const Table& t = table();
    return {t.sets.data(), t.count};
}

const KernelSet& active_kernels() noexcept {
    const Table& t = table();
    return t.sets[t.count - 1];
}

}  // namespace kestrix::kernels
