// The rescoring kernels this CPU runs, chosen once per process by the one
// selection rule of the kernel table (kernels::usable_here) from its one look
// at the CPU.
#include "../kernels/kernel_set.hpp"
#include "kernels.hpp"

namespace kestrix::side {

namespace {

using kernels::Offered;

auto offered_sets() noexcept {
    return std::array {
        Offered<SideKernels>{PORTABLE_SIDE_KERNELS, {}},
#if defined(__x86_64__)
            Offered<SideKernels>{AVX2_SIDE_KERNELS, {.avx2 = true, .f16c = true}},
            Offered<SideKernels>{AVX512_SIDE_KERNELS, {.avx2 = true, .f16c = true, .avx512 = true, .avx512vnni = true}},
#endif
#if defined(__aarch64__)
            Offered<SideKernels>{NEON_SIDE_KERNELS, {.neon = true}},
#endif
    };
}

const auto& kernels_here() noexcept {
    static const auto found = kernels::usable_here(offered_sets());
    return found;
}

}  // namespace

std::span<const SideKernels> available_side_kernels() noexcept { return kernels_here().all(); }

const SideKernels& side_kernels() noexcept { return kernels_here().widest(); }

}  // namespace kestrix::side
