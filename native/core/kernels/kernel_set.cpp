// The one place that looks at the CPU, and the measuring tables chosen from
// it. Built for the baseline of the target, so it runs anywhere; a set is
// offered only when the CPU reports every instruction set its kernels were
// compiled for (usable_here).
#include "kernel_set.hpp"

#include <cassert>

#include "code_kernels.hpp"

#if defined(__x86_64__)
#include <cpuid.h>
#endif

namespace kestrix::kernels {

namespace {

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
#elif defined(__aarch64__)
    // Advanced SIMD is part of every AArch64 CPU.
    cpu.neon = true;
#endif
    return cpu;
}

// A measuring set: its kernels at every width.
using HammingSet = const InstructionSetKernels*;

constexpr std::array HAMMING_SETS {
    Offered<HammingSet>{&PORTABLE_CODE_KERNELS, {}},
#if defined(__x86_64__)
        Offered<HammingSet>{&POPCNT_CODE_KERNELS, {.popcnt = true}},
        Offered<HammingSet>{&AVX2_CODE_KERNELS, {.popcnt = true, .avx2 = true}},
        Offered<HammingSet>{&AVX512_CODE_KERNELS,
                            {.popcnt = true, .avx512 = true, .avx512vbmi = true, .avx512vpopcntdq = true}},
#endif
#if defined(__aarch64__)
        Offered<HammingSet>{&NEON_CODE_KERNELS, {.neon = true}},
#endif
};
constexpr std::size_t SET_COUNT = HAMMING_SETS.size();

const UsableSets<HammingSet, SET_COUNT>& hamming_sets() noexcept {
    static const auto found = usable_here(HAMMING_SETS);
    return found;
}

// The rows of one width: every usable set specialised where it can be, and
// the same sets' generic loops.
struct WidthRows {
    std::array<CodeKernels, SET_COUNT> best{};
    std::array<CodeKernels, SET_COUNT> generic{};
};

CodeKernels row_of(const InstructionSetKernels& set, std::size_t words, bool allow_specialised) noexcept {
    if (allow_specialised) {
        for (std::size_t i = 0; i < SPECIALISED_WIDTHS.size(); ++i) {
            if (SPECIALISED_WIDTHS[i] == words) return {set.name, words, true, set.specialised[i]};
        }
    }
    return {set.name, words, false, set.generic};
}

struct CodeTable {
    std::array<WidthRows, MAX_CODE_WORDS + 1> widths{};  // index: words (0 unused)
};

CodeTable build_code_table() noexcept {
    CodeTable table;
    const auto sets = hamming_sets().all();
    for (std::size_t words = 1; words <= MAX_CODE_WORDS; ++words) {
        for (std::size_t i = 0; i < sets.size(); ++i) {
            table.widths[words].best[i] = row_of(*sets[i], words, true);
            table.widths[words].generic[i] = row_of(*sets[i], words, false);
        }
    }
    return table;
}

const CodeTable& code_table() noexcept {
    static const CodeTable table = build_code_table();
    return table;
}

}  // namespace

const CpuFeatures& cpu_features() noexcept {
    static const CpuFeatures cpu = look_at_cpu();
    return cpu;
}

const CodeKernels& code_kernels(std::size_t words) noexcept {
    assert(words >= 1 && words <= MAX_CODE_WORDS);
    return code_table().widths[words].best[hamming_sets().count - 1];
}

std::span<const CodeKernels> available_code_kernels(std::size_t words) noexcept {
    assert(words >= 1 && words <= MAX_CODE_WORDS);
    return {code_table().widths[words].best.data(), hamming_sets().count};
}

std::span<const CodeKernels> available_generic_code_kernels(std::size_t words) noexcept {
    assert(words >= 1 && words <= MAX_CODE_WORDS);
    return {code_table().widths[words].generic.data(), hamming_sets().count};
}

}  // namespace kestrix::kernels
