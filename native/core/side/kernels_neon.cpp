// NEON (every AArch64 CPU): the int8 products widened to 16 bits and
// multiplied into 32-bit sums (SMLAL), the float sums in four 4-lane registers
// per row that hold the reference's lanes 0-3, 4-7, 8-11 and 12-15; several
// candidates side by side (grouped_*_dots). The last,
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

// The first `count` elements of `buffer` from `at`, the rest zero.
template <class T, std::size_t N>
inline void copy_part(T (&buffer)[N], const void* at, std::size_t count) noexcept {
    std::memset(buffer, 0, sizeof buffer);
    std::memcpy(buffer, at, count * sizeof(T));
}

// The int16 query as it is.
struct WideQuery {
    const std::int16_t* values;

    WideQuery(const std::int16_t* query, std::size_t) noexcept : values(query) {}
};

// The query's components c .. c + N - 1, zero past the last one (n).
template <class T, std::size_t N>
struct QueryPart {
    T part[N];
    const T* values;

    QueryPart(const T* query, std::size_t c, std::size_t n) noexcept : values(query + c) {
        if (n - c < N) {
            copy_part(part, values, n - c);
            values = part;
        }
    }
};

struct Rows {
    using Int8Query = WideQuery;

    template <std::size_t R, std::size_t D>
    static void int8_rows(const WideQuery& query, std::size_t n, const std::byte* rows, std::size_t stride,
                          const std::uint32_t* slots, std::int32_t* out) noexcept {
        int32x4_t totals[R];
        for (auto& t : totals) t = vdupq_n_s32(0);
        for (std::size_t c = 0; c < n; c += 16) {
            const QueryPart<std::int16_t, 16> q(query.values, c, n);
            const int16x8_t qa = vld1q_s16(q.values), qb = vld1q_s16(q.values + 8);
            for (std::size_t r = 0; r < R; ++r) {
                std::int8_t row_part[16];
                const auto* values = reinterpret_cast<const std::int8_t*>(rows + std::size_t{slots[r]} * stride) + c;
                if (n - c < 16) {
                    copy_part(row_part, values, n - c);
                    values = row_part;
                }
                const int8x16_t v = vld1q_s8(values);
                const int16x8_t low = vmovl_s8(vget_low_s8(v)), high = vmovl_s8(vget_high_s8(v));
                totals[r] = vmlal_s16(totals[r], vget_low_s16(qa), vget_low_s16(low));
                totals[r] = vmlal_high_s16(totals[r], qa, low);
                totals[r] = vmlal_s16(totals[r], vget_low_s16(qb), vget_low_s16(high));
                totals[r] = vmlal_high_s16(totals[r], qb, high);
            }
        }
        for (std::size_t r = 0; r < R; ++r) out[r] = vaddvq_s32(totals[r]);
    }

    template <std::size_t R, std::size_t D>
    static void float16_rows(const float* query, std::size_t n, const std::byte* rows, std::size_t stride,
                             const std::uint32_t* slots, float* out) noexcept {
        Lanes sums[R];
        for (auto& s : sums) s = {{vdupq_n_f32(0), vdupq_n_f32(0), vdupq_n_f32(0), vdupq_n_f32(0)}};
        for (std::size_t c = 0; c < n; c += FLOAT_LANES) {
            const QueryPart<float, FLOAT_LANES> q(query, c, n);
            for (std::size_t r = 0; r < R; ++r) {
                std::uint16_t half_part[FLOAT_LANES];
                const auto* h = reinterpret_cast<const std::uint16_t*>(rows + std::size_t{slots[r]} * stride) + c;
                if (n - c < FLOAT_LANES) {
                    copy_part(half_part, h, n - c);
                    h = half_part;
                }
                const uint16x8_t ha = vld1q_u16(h), hb = vld1q_u16(h + 8);
                const float32x4_t values[QUARTERS] = {vcvt_f32_f16(vreinterpret_f16_u16(vget_low_u16(ha))),
                                                      vcvt_f32_f16(vreinterpret_f16_u16(vget_high_u16(ha))),
                                                      vcvt_f32_f16(vreinterpret_f16_u16(vget_low_u16(hb))),
                                                      vcvt_f32_f16(vreinterpret_f16_u16(vget_high_u16(hb)))};
                for (std::size_t k = 0; k < QUARTERS; ++k) {
                    add_group(sums[r], k, vmulq_f32(vld1q_f32(q.values + 4 * k), values[k]), n - c);
                }
            }
        }
        for (std::size_t r = 0; r < R; ++r) out[r] = fold_lanes(sums[r]);
    }

    template <std::size_t R, std::size_t D>
    static void sign_rows(const float* query, std::size_t n, const std::uint64_t* codes, const std::uint32_t* slots,
                          float* out) noexcept {
        const std::size_t words = kernels::code_words(n);
        const uint32x4_t lane_bits = {1, 2, 4, 8};
        const uint32x4_t sign = vdupq_n_u32(0x80000000u);
        Lanes sums[R];
        for (auto& s : sums) s = {{vdupq_n_f32(0), vdupq_n_f32(0), vdupq_n_f32(0), vdupq_n_f32(0)}};
        for (std::size_t c = 0; c < n; c += FLOAT_LANES) {
            const QueryPart<float, FLOAT_LANES> q(query, c, n);
            for (std::size_t r = 0; r < R; ++r) {
                const std::uint32_t bits = sign_chunk(codes + std::size_t{slots[r]} * words, c);
                for (std::size_t k = 0; k < QUARTERS; ++k) {
                    // Negate the lanes whose bit is clear.
                    const uint32x4_t set = vtstq_u32(vdupq_n_u32(bits >> (4 * k)), lane_bits);
                    const uint32x4_t flip = vbicq_u32(sign, set);
                    const float32x4_t terms =
                        vreinterpretq_f32_u32(veorq_u32(vreinterpretq_u32_f32(vld1q_f32(q.values + 4 * k)), flip));
                    add_group(sums[r], k, terms, n - c);
                }
            }
        }
        for (std::size_t r = 0; r < R; ++r) out[r] = fold_lanes(sums[r]);
    }
};

// NEON is the baseline: the entry points need no target of their own.
struct Neon {
    KESTRIX_GROUPED_SIDE_ENTRIES(static, Rows)
};

}  // namespace

constinit const SideKernels NEON_SIDE_KERNELS = side_kernels_of<Neon>("neon");

}  // namespace kestrix::side

#endif
