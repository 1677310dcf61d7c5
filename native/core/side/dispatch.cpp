// Picks the rescoring kernels once per process, from what the kernel table's
// one look at the CPU found. Built for the baseline target, so it runs
// anywhere; it hands out a set only when the CPU reports every instruction set
// that set was compiled for.
#include <array>

#include "../kernels/kernel_set.hpp"
#include "kernels.hpp"

namespace kestrix::side {

namespace {

constexpr SideKernels PORTABLE{"portable", detail::int8_dots_portable, detail::float16_dots_portable,
                               detail::sign_dots_portable};
#if defined(__x86_64__)
constexpr SideKernels AVX2{"avx2", detail::int8_dots_avx2, detail::float16_dots_avx2, detail::sign_dots_avx2};
constexpr SideKernels AVX512{"avx512-vnni", detail::int8_dots_avx512, detail::float16_dots_avx512,
                             detail::sign_dots_avx512};
#endif

struct Found {
    std::array<SideKernels, 3> sets{};
    std::size_t count = 0;
};

Found find_kernels() noexcept {
    Found found;
    found.sets[found.count++] = PORTABLE;
#if defined(__x86_64__)
    const kernels::CpuFeatures& cpu = kernels::cpu_features();
    const bool avx2 = cpu.avx2 && cpu.f16c;
    if (avx2) found.sets[found.count++] = AVX2;
    if (avx2 && cpu.avx512 && cpu.avx512vnni) found.sets[found.count++] = AVX512;
#endif
    return found;
}

const Found& kernels_here() noexcept {
    static const Found found = find_kernels();
    return found;
}

}  // namespace

std::span<const SideKernels> available_side_kernels() noexcept {
    const Found& found = kernels_here();
    return {found.sets.data(), found.count};
}

const SideKernels& side_kernels() noexcept {
    const Found& found = kernels_here();
    return found.sets[found.count - 1];
}

}  // namespace kestrix::side
