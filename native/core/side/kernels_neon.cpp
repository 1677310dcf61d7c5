// NEON (every AArch64 CPU): the int8 products widened to 16 bits and
// multiplied into 32-bit sums (SMLAL), the float sums in four 4-lane registers
// per row that hold the reference's lanes 0-3, 4-7, 8-11 and 12-15. The last,
// partial group of components of a row is read through a zero-padded copy
// and added only to the lanes it reaches.
#if defined(__aarch64__)

#include <arm_neon.h>

#include "kernels.hpp"

namespace kestrix::side {

namespace {

constexpr std::size_t QUARTERS = FLOAT_LANES / 4;

struct Lanes {
    float32x4_t q[QUARTERS];  // lanes 4k .. 4k + 3
};

// Folds the sixteen lanes in the reference's order: l + (l + 8), + 4, + 2, + 1.
inline float fold_lanes(const Lanes& l) noexcept {
    const float32x4_t four = vaddq_f32(vaddq_f32(l.q[0], l.q[2]), vaddq_f32(l.q[1], l.q[3]));
    const float32x2_t two = vadd_f32(vget_low_f32(four), vget_high_f32(four));
    return vget_lane_f32(two, 0) + vget_lane_f32(two, 1);
}

// The lanes of quarter k a group of `reach` components covers.
inline uint32x4_t reached(std::size_t k, std::size_t reach) noexcept {
    const uint32x4_t lane = {0, 1, 2, 3};
    return vcltq_u32(vaddq_u32(lane, vdupq_n_u32(static_cast<std::uint32_t>(4 * k))),
                     vdupq_n_u32(static_cast<std::uint32_t>(reach)));
}

// Adds `terms` to the lanes of quarter k a group of `reach` components covers.
inline void add_group(Lanes& sums, std::size_t k, float32x4_t terms, std::size_t reach) noexcept {
    const float32x4_t added = vaddq_f32(sums.q[k], terms);
    sums.q[k] = reach >= FLOAT_LANES ? added : vbslq_f32(reached(k, reach), added, sums.q[k]);
}

// `count` elements of `size` bytes from `at` into a zeroed buffer.
template <class T, std::size_t N>
inline void copy_part(T (&buffer)[N], const void* at, std::size_t count) noexcept {
    std::memset(buffer, 0, sizeof buffer);
    std::memcpy(buffer, at, count * sizeof(T));
}

struct Neon {
    template <std::size_t D>
    static void int8_dots(const std::int16_t* query, std::size_t dim, const std::byte* rows, std::size_t stride,
                          const std::uint32_t* slots, std::size_t count, std::int32_t* out) noexcept {
        const std::size_t n = D != 0 ? D : dim;
        for (std::size_t i = 0; i < count; ++i) {
            const auto* row = reinterpret_cast<const std::int8_t*>(rows + std::size_t{slots[i]} * stride);
            int32x4_t total = vdupq_n_s32(0);
            for (std::size_t c = 0; c < n; c += 16) {
                std::int8_t row_part[16];
                std::int16_t query_part[16];
                const std::int8_t* r = row + c;
                const std::int16_t* q = query + c;
                if (n - c < 16) {
                    copy_part(row_part, r, n - c);
                    copy_part(query_part, q, n - c);
                    r = row_part;
                    q = query_part;
                }
                const int8x16_t values = vld1q_s8(r);
                const int16x8_t low = vmovl_s8(vget_low_s8(values)), high = vmovl_s8(vget_high_s8(values));
                const int16x8_t qa = vld1q_s16(q), qb = vld1q_s16(q + 8);
                total = vmlal_s16(total, vget_low_s16(qa), vget_low_s16(low));
                total = vmlal_high_s16(total, qa, low);
                total = vmlal_s16(total, vget_low_s16(qb), vget_low_s16(high));
                total = vmlal_high_s16(total, qb, high);
            }
            out[i] = vaddvq_s32(total);
        }
    }

    template <std::size_t D>
    static void float16_dots(const float* query, std::size_t dim, const std::byte* rows, std::size_t stride,
                             const std::uint32_t* slots, std::size_t count, float* out) noexcept {
        const std::size_t n = D != 0 ? D : dim;
        for (std::size_t i = 0; i < count; ++i) {
            const std::byte* row = rows + std::size_t{slots[i]} * stride;
            Lanes sums{{vdupq_n_f32(0), vdupq_n_f32(0), vdupq_n_f32(0), vdupq_n_f32(0)}};
            for (std::size_t c = 0; c < n; c += FLOAT_LANES) {
                std::uint16_t half_part[FLOAT_LANES];
                float query_part[FLOAT_LANES];
                const void* h = row + 2 * c;
                const float* q = query + c;
                if (n - c < FLOAT_LANES) {
                    copy_part(half_part, h, n - c);
                    copy_part(query_part, q, n - c);
                    h = half_part;
                    q = query_part;
                }
                const uint16x8_t ha = vld1q_u16(static_cast<const std::uint16_t*>(h));
                const uint16x8_t hb = vld1q_u16(static_cast<const std::uint16_t*>(h) + 8);
                const float32x4_t values[QUARTERS] = {vcvt_f32_f16(vreinterpret_f16_u16(vget_low_u16(ha))),
                                                      vcvt_f32_f16(vreinterpret_f16_u16(vget_high_u16(ha))),
                                                      vcvt_f32_f16(vreinterpret_f16_u16(vget_low_u16(hb))),
                                                      vcvt_f32_f16(vreinterpret_f16_u16(vget_high_u16(hb)))};
                for (std::size_t k = 0; k < QUARTERS; ++k) {
                    add_group(sums, k, vmulq_f32(vld1q_f32(q + 4 * k), values[k]), n - c);
                }
            }
            out[i] = fold_lanes(sums);
        }
    }

    template <std::size_t D>
    static void sign_dots(const float* query, std::size_t dim, const std::uint64_t* codes, const std::uint32_t* slots,
                          std::size_t count, float* out) noexcept {
        const std::size_t n = D != 0 ? D : dim;
        const std::size_t words = kernels::code_words(n);
        const uint32x4_t lane_bits = {1, 2, 4, 8};
        const uint32x4_t sign = vdupq_n_u32(0x80000000u);
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint64_t* code = codes + std::size_t{slots[i]} * words;
            Lanes sums{{vdupq_n_f32(0), vdupq_n_f32(0), vdupq_n_f32(0), vdupq_n_f32(0)}};
            for (std::size_t c = 0; c < n; c += FLOAT_LANES) {
                float query_part[FLOAT_LANES];
                const float* q = query + c;
                if (n - c < FLOAT_LANES) {
                    copy_part(query_part, q, n - c);
                    q = query_part;
                }
                const std::uint32_t bits = sign_chunk(code, c);
                for (std::size_t k = 0; k < QUARTERS; ++k) {
                    // Negate the lanes whose bit is clear.
                    const uint32x4_t set = vtstq_u32(vdupq_n_u32(bits >> (4 * k)), lane_bits);
                    const uint32x4_t flip = vbicq_u32(sign, set);
                    const float32x4_t terms =
                        vreinterpretq_f32_u32(veorq_u32(vreinterpretq_u32_f32(vld1q_f32(q + 4 * k)), flip));
                    add_group(sums, k, terms, n - c);
                }
            }
            out[i] = fold_lanes(sums);
        }
    }
};

}  // namespace

constinit const SideKernels NEON_SIDE_KERNELS = side_kernels_of<Neon>("neon");

}  // namespace kestrix::side

#endif
