// AVX-512 with VNNI: the int8 products by VPDPWSSD on widened bytes, the float
// sums in one 16-lane register, exactly the reference's lanes.
#if defined(__x86_64__)

#include "../kernels/avx512.hpp"
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

#undef KESTRIX_SIDE_AVX512

}  // namespace

__attribute__((target(KESTRIX_SIDE_AVX512_TARGET))) void int8_dots_avx512(const std::int16_t* query,
                                                                         const std::byte* rows, std::size_t stride,
                                                                         const std::uint32_t* slots,
                                                                         std::size_t count,
                                                                         std::int32_t* out) noexcept {
    for (std::size_t i = 0; i < count; ++i) {
        if (i + 1 < count) prefetch_row(rows + std::size_t{slots[i + 1]} * stride, DIMENSION);
        const std::byte* row = rows + std::size_t{slots[i]} * stride;
        __m512i total = _mm512_setzero_si512();
        for (std::size_t c = 0; c < DIMENSION; c += 32) {
            const __m512i values =
                _mm512_cvtepi8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + c)));
            total = _mm512_dpwssd_epi32(total, values, _mm512_loadu_si512(query + c));
        }
        out[i] = _mm512_reduce_add_epi32(total);
    }
}

__attribute__((target(KESTRIX_SIDE_AVX512_TARGET))) void float16_dots_avx512(const float* query,
                                                                            const std::byte* rows,
                                                                            std::size_t stride,
                                                                            const std::uint32_t* slots,
                                                                            std::size_t count,
                                                                            float* out) noexcept {
    for (std::size_t i = 0; i < count; ++i) {
        if (i + 1 < count) prefetch_row(rows + std::size_t{slots[i + 1]} * stride, 2 * DIMENSION);
        const std::byte* row = rows + std::size_t{slots[i]} * stride;
        __m512 lanes = _mm512_setzero_ps();
        for (std::size_t c = 0; c < DIMENSION; c += FLOAT_LANES) {
            const __m512 values = _mm512_cvtph_ps(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + 2 * c)));
            lanes = _mm512_add_ps(lanes, _mm512_mul_ps(_mm512_loadu_ps(query + c), values));
        }
        out[i] = fold_lanes(lanes);
    }
}

__attribute__((target(KESTRIX_SIDE_AVX512_TARGET))) void sign_dots_avx512(const float* query,
                                                                         const QuantizedVector* rows,
                                                                         const std::uint32_t* slots,
                                                                         std::size_t count, float* out) noexcept {
    const __m512i sign = _mm512_set1_epi32(static_cast<int>(0x80000000u));
    for (std::size_t i = 0; i < count; ++i) {
        if (i + 1 < count) __builtin_prefetch(&rows[slots[i + 1]]);
        std::uint16_t chunks[DIMENSION / FLOAT_LANES];
        std::memcpy(chunks, rows[slots[i]].words.data(), sizeof chunks);
        __m512 lanes = _mm512_setzero_ps();
        for (std::size_t c = 0; c < DIMENSION; c += FLOAT_LANES) {
            // Negate the lanes whose bit is clear.
            const __m512i q = _mm512_castps_si512(_mm512_loadu_ps(query + c));
            const __mmask16 clear = static_cast<__mmask16>(~chunks[c / FLOAT_LANES]);
            lanes = _mm512_add_ps(lanes, _mm512_castsi512_ps(_mm512_mask_xor_epi32(q, clear, q, sign)));
        }
        out[i] = fold_lanes(lanes);
    }
}

}  // namespace kestrix::side::detail

#endif
