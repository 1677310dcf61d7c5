// AVX2 (with F16C): the int8 products by VPMADDWD on widened bytes, the float
// sums in two 8-lane registers that hold the reference's lanes 0-7 and 8-15.
#if defined(__x86_64__)

#include <immintrin.h>

#include "kernels.hpp"

namespace kestrix::side::detail {

namespace {

#define KESTRIX_AVX2_F16C __attribute__((target("avx2,f16c"), always_inline)) static inline

// low holds lanes 0-7, high lanes 8-15; folds them in the reference's order.
KESTRIX_AVX2_F16C float fold_lanes(__m256 low, __m256 high) noexcept {
    const __m256 eight = _mm256_add_ps(low, high);
    const __m128 four = _mm_add_ps(_mm256_castps256_ps128(eight), _mm256_extractf128_ps(eight, 1));
    const __m128 two = _mm_add_ps(four, _mm_movehl_ps(four, four));
    return _mm_cvtss_f32(_mm_add_ss(two, _mm_shuffle_ps(two, two, 1)));
}

// Flips the sign of lane j of `q` where bit j of `bits` is clear.
KESTRIX_AVX2_F16C __m256 signed_by(__m256 q, unsigned bits) noexcept {
    const __m256i moved = _mm256_sllv_epi32(_mm256_set1_epi32(static_cast<int>(bits)),
                                            _mm256_setr_epi32(31, 30, 29, 28, 27, 26, 25, 24));
    const __m256i flip = _mm256_andnot_si256(moved, _mm256_set1_epi32(static_cast<int>(0x80000000u)));
    return _mm256_xor_ps(q, _mm256_castsi256_ps(flip));
}

#undef KESTRIX_AVX2_F16C

}  // namespace

__attribute__((target("avx2,f16c"))) void int8_dots_avx2(const std::int16_t* query, const std::byte* rows,
                                                         std::size_t stride, const std::uint32_t* slots,
                                                         std::size_t count, std::int32_t* out) noexcept {
    for (std::size_t i = 0; i < count; ++i) {
        if (i + 1 < count) prefetch_row(rows + std::size_t{slots[i + 1]} * stride, DIMENSION);
        const std::byte* row = rows + std::size_t{slots[i]} * stride;
        __m256i total = _mm256_setzero_si256();
        for (std::size_t c = 0; c < DIMENSION; c += 16) {
            const __m256i values =
                _mm256_cvtepi8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(row + c)));
            const __m256i q = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(query + c));
            total = _mm256_add_epi32(total, _mm256_madd_epi16(values, q));
        }
        const __m128i four = _mm_add_epi32(_mm256_castsi256_si128(total), _mm256_extracti128_si256(total, 1));
        const __m128i two = _mm_add_epi32(four, _mm_unpackhi_epi64(four, four));
        out[i] = _mm_cvtsi128_si32(_mm_add_epi32(two, _mm_shuffle_epi32(two, 1)));
    }
}

__attribute__((target("avx2,f16c"))) void float16_dots_avx2(const float* query, const std::byte* rows,
                                                            std::size_t stride, const std::uint32_t* slots,
                                                            std::size_t count, float* out) noexcept {
    for (std::size_t i = 0; i < count; ++i) {
        if (i + 1 < count) prefetch_row(rows + std::size_t{slots[i + 1]} * stride, 2 * DIMENSION);
        const std::byte* row = rows + std::size_t{slots[i]} * stride;
        __m256 low = _mm256_setzero_ps();
        __m256 high = _mm256_setzero_ps();
        for (std::size_t c = 0; c < DIMENSION; c += FLOAT_LANES) {
            const __m256i halves = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + 2 * c));
            const __m256 a = _mm256_cvtph_ps(_mm256_castsi256_si128(halves));
            const __m256 b = _mm256_cvtph_ps(_mm256_extracti128_si256(halves, 1));
            low = _mm256_add_ps(low, _mm256_mul_ps(_mm256_loadu_ps(query + c), a));
            high = _mm256_add_ps(high, _mm256_mul_ps(_mm256_loadu_ps(query + c + 8), b));
        }
        out[i] = fold_lanes(low, high);
    }
}

__attribute__((target("avx2,f16c"))) void sign_dots_avx2(const float* query, const QuantizedVector* rows,
                                                         const std::uint32_t* slots, std::size_t count,
                                                         float* out) noexcept {
    for (std::size_t i = 0; i < count; ++i) {
        if (i + 1 < count) __builtin_prefetch(&rows[slots[i + 1]]);
        unsigned char bytes[DIMENSION / 8];
        std::memcpy(bytes, rows[slots[i]].words.data(), sizeof bytes);
        __m256 low = _mm256_setzero_ps();
        __m256 high = _mm256_setzero_ps();
        for (std::size_t c = 0; c < DIMENSION; c += FLOAT_LANES) {
            low = _mm256_add_ps(low, signed_by(_mm256_loadu_ps(query + c), bytes[c / 8]));
            high = _mm256_add_ps(high, signed_by(_mm256_loadu_ps(query + c + 8), bytes[c / 8 + 1]));
        }
        out[i] = fold_lanes(low, high);
    }
}

}  // namespace kestrix::side::detail

#endif
