// Picks the rescoring kernels once per process. Built for the baseline target,
// so it runs anywhere; it hands out a set only when the CPU reports every
// instruction set that set was compiled for.
#include <array>

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
    __builtin_cpu_init();
    const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("f16c");
    if (avx2) found.sets[found.count++] = AVX2;
    if (avx2 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512vnni")) {
        found.sets[found.count++] = AVX512;
    }
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
