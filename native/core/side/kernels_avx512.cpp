// AVX-512 with VNNI: the int8 products by VPDPWSSD on widened bytes, the float
// sums in one 16-lane register per row, exactly the reference's lanes.
#if defined(__x86_64__)

#include "../kernels/intrinsics.hpp"
#include "kernels.hpp"

namespace kestrix::side::detail {

#define KESTRIX_SIDE_AVX512_TARGET "avx512f,avx512bw,avx512vl,avx512vnni,avx2,f16c"

namespace {

#define KESTRIX_SIDE_AVX512 __attribute__((target(KESTRIX_SIDE_AVX512_TARGET), always_inline)) static inline

// Folds the sixteen lanes in the reference's order.
KESTRIX_SIDE_AVX512 float fold_lanes(__m512 lanes) noexcept {
    const __m256 eight = _mm256_add_ps(_mm512_castps512_ps256(lanes),
                                       _mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(lanes), 1)));
    const __m128 four = _mm_add_ps(_mm256_castps256_ps128(eight), _mm256_extractf128_ps(eight, 1));
    const __m128 two = _mm_add_ps(four, _mm_movehl_ps(four, four));
    return _mm_cvtss_f32(_mm_add_ss(two, _mm_shuffle_ps(two, two, 1)));
}

// R int8 rows (candidates first.. of the list) at once, one exact sum each.
template <std::size_t R>
KESTRIX_SIDE_AVX512 void int8_rows(const std::int16_t* query, const std::byte* rows, std::size_t stride,
                                   const std::uint32_t* slots, std::int32_t* out) noexcept {
    __m512i totals[R];
    for (auto& t : totals) t = _mm512_setzero_si512();
    for (std::size_t c = 0; c < DIMENSION; c += 32) {
        const __m512i q = _mm512_loadu_si512(query + c);
        for (std::size_t r = 0; r < R; ++r) {
            const std::byte* row = rows + std::size_t{slots[r]} * stride;
            const __m512i values = _mm512_cvtepi8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + c)));
            totals[r] = _mm512_dpwssd_epi32(totals[r], values, q);
        }
    }
    for (std::size_t r = 0; r < R; ++r) out[r] = _mm512_reduce_add_epi32(totals[r]);
}

template <std::size_t R>
KESTRIX_SIDE_AVX512 void float16_rows(const float* query, const std::byte* rows, std::size_t stride,
                                      const std::uint32_t* slots, float* out) noexcept {
    __m512 lanes[R];
    for (auto& l : lanes) l = _mm512_setzero_ps();
    for (std::size_t c = 0; c < DIMENSION; c += FLOAT_LANES) {
        const __m512 q = _mm512_loadu_ps(query + c);
        for (std::size_t r = 0; r < R; ++r) {
            const std::byte* row = rows + std::size_t{slots[r]} * stride;
            const __m512 values = _mm512_cvtph_ps(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + 2 * c)));
            lanes[r] = _mm512_add_ps(lanes[r], _mm512_mul_ps(q, values));
        }
    }
    for (std::size_t r = 0; r < R; ++r) out[r] = fold_lanes(lanes[r]);
}

template <std::size_t R>
KESTRIX_SIDE_AVX512 void sign_rows(const float* query, const QuantizedVector* rows, const std::uint32_t* slots,
                                   float* out) noexcept {
    const __m512i sign = _mm512_set1_epi32(static_cast<int>(0x80000000u));
    std::uint16_t chunks[R][DIMENSION / FLOAT_LANES];
    for (std::size_t r = 0; r < R; ++r) std::memcpy(chunks[r], rows[slots[r]].words.data(), sizeof chunks[r]);
    __m512 lanes[R];
    for (auto& l : lanes) l = _mm512_setzero_ps();
    for (std::size_t c = 0; c < DIMENSION; c += FLOAT_LANES) {
        const __m512i q = _mm512_castps_si512(_mm512_loadu_ps(query + c));
        for (std::size_t r = 0; r < R; ++r) {
            // Negate the lanes whose bit is clear.
            const auto clear = static_cast<__mmask16>(~chunks[r][c / FLOAT_LANES]);
            lanes[r] = _mm512_add_ps(lanes[r], _mm512_castsi512_ps(_mm512_mask_xor_epi32(q, clear, q, sign)));
        }
    }
    for (std::size_t r = 0; r < R; ++r) out[r] = fold_lanes(lanes[r]);
}

#undef KESTRIX_SIDE_AVX512

}  // namespace

__attribute__((target(KESTRIX_SIDE_AVX512_TARGET))) void int8_dots_avx512(const std::int16_t* query,
                                                                          const std::byte* rows, std::size_t stride,
                                                                          const std::uint32_t* slots, std::size_t count,
                                                                          std::int32_t* out) noexcept {
    prefetch_rows(rows, stride, stride, slots, 0, PREFETCH_AHEAD, count);
    std::size_t i = 0;
    for (; i + ROW_GROUP <= count; i += ROW_GROUP) {
        prefetch_rows(rows, stride, stride, slots, i + PREFETCH_AHEAD, i + PREFETCH_AHEAD + ROW_GROUP, count);
        int8_rows<ROW_GROUP>(query, rows, stride, slots + i, out + i);
    }
    for (; i < count; ++i) int8_rows<1>(query, rows, stride, slots + i, out + i);
}

__attribute__((target(KESTRIX_SIDE_AVX512_TARGET))) void float16_dots_avx512(const float* query, const std::byte* rows,
                                                                             std::size_t stride,
                                                                             const std::uint32_t* slots,
                                                                             std::size_t count, float* out) noexcept {
    prefetch_rows(rows, stride, 2 * DIMENSION, slots, 0, PREFETCH_AHEAD, count);
    std::size_t i = 0;
    for (; i + ROW_GROUP <= count; i += ROW_GROUP) {
        prefetch_rows(rows, stride, 2 * DIMENSION, slots, i + PREFETCH_AHEAD, i + PREFETCH_AHEAD + ROW_GROUP, count);
        float16_rows<ROW_GROUP>(query, rows, stride, slots + i, out + i);
    }
    for (; i < count; ++i) float16_rows<1>(query, rows, stride, slots + i, out + i);
}

__attribute__((target(KESTRIX_SIDE_AVX512_TARGET))) void sign_dots_avx512(const float* query,
                                                                          const QuantizedVector* rows,
                                                                          const std::uint32_t* slots, std::size_t count,
                                                                          float* out) noexcept {
    const auto* bytes = reinterpret_cast<const std::byte*>(rows);
    prefetch_rows(bytes, sizeof(QuantizedVector), sizeof(QuantizedVector), slots, 0, PREFETCH_AHEAD, count);
    std::size_t i = 0;
    for (; i + ROW_GROUP <= count; i += ROW_GROUP) {
        prefetch_rows(bytes, sizeof(QuantizedVector), sizeof(QuantizedVector), slots, i + PREFETCH_AHEAD,
                      i + PREFETCH_AHEAD + ROW_GROUP, count);
        sign_rows<ROW_GROUP>(query, rows, slots + i, out + i);
    }
    for (; i < count; ++i) sign_rows<1>(query, rows, slots + i, out + i);
}

}  // namespace kestrix::side::detail

#endif
