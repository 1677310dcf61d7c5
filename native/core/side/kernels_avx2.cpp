// AVX2 (with F16C): the int8 products by VPMADDUBSW on the bytes, the float
// sums in two 8-lane registers per row that hold the reference's lanes 0-7 and
// 8-15.
#if defined(__x86_64__)

#include <immintrin.h>

#include "kernels.hpp"

namespace kestrix::side::detail {

#define KESTRIX_SIDE_AVX2_TARGET "avx2,f16c"

namespace {

#define KESTRIX_SIDE_AVX2 __attribute__((target(KESTRIX_SIDE_AVX2_TARGET), always_inline)) static inline

// low holds lanes 0-7, high lanes 8-15; folds them in the reference's order.
KESTRIX_SIDE_AVX2 float fold_lanes(__m256 low, __m256 high) noexcept {
    const __m256 eight = _mm256_add_ps(low, high);
    const __m128 four = _mm_add_ps(_mm256_castps256_ps128(eight), _mm256_extractf128_ps(eight, 1));
    const __m128 two = _mm_add_ps(four, _mm_movehl_ps(four, four));
    return _mm_cvtss_f32(_mm_add_ss(two, _mm_shuffle_ps(two, two, 1)));
}

// Flips the sign of lane j of `q` where bit j of `bits` is clear.
KESTRIX_SIDE_AVX2 __m256 signed_by(__m256 q, unsigned bits) noexcept {
    const __m256i moved =
        _mm256_sllv_epi32(_mm256_set1_epi32(static_cast<int>(bits)), _mm256_setr_epi32(31, 30, 29, 28, 27, 26, 25, 24));
    const __m256i flip = _mm256_andnot_si256(moved, _mm256_set1_epi32(static_cast<int>(0x80000000u)));
    return _mm256_xor_ps(q, _mm256_castsi256_ps(flip));
}

// The query as 32-byte lines of int8 (its values lie in -127..127, so the
// saturating pack is exact), in component order.
KESTRIX_SIDE_AVX2 void narrow_query(const std::int16_t* query, std::int8_t* out) noexcept {
    for (std::size_t c = 0; c < DIMENSION; c += 32) {
        const __m256i low = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(query + c));
        const __m256i high = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(query + c + 16));
        // packs works within 128-bit lanes: put the quarters back in order.
        const __m256i packed = _mm256_permute4x64_epi64(_mm256_packs_epi16(low, high), 0xD8);
        _mm256_store_si256(reinterpret_cast<__m256i*>(out + c), packed);
    }
}

// Thirty-two products a step by VPMADDUBSW: |q| (unsigned) times the row's
// value with q's sign moved onto it (VPSIGNB), summed in pairs into int16.
// A pair is at most 2 x 127 x 127 = 32258, so the saturating sum is exact;
// VPMADDWD then widens the pairs into the int32 totals.
template <std::size_t R>
KESTRIX_SIDE_AVX2 void int8_rows(const std::int8_t* query, const std::byte* rows, std::size_t stride,
                                 const std::uint32_t* slots, std::int32_t* out) noexcept {
    const __m256i ones = _mm256_set1_epi16(1);
    __m256i totals[R];
    for (auto& t : totals) t = _mm256_setzero_si256();
    for (std::size_t c = 0; c < DIMENSION; c += 32) {
        const __m256i q = _mm256_load_si256(reinterpret_cast<const __m256i*>(query + c));
        const __m256i magnitude = _mm256_abs_epi8(q);
        for (std::size_t r = 0; r < R; ++r) {
            const std::byte* row = rows + std::size_t{slots[r]} * stride;
            const __m256i values = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + c));
            const __m256i pairs = _mm256_maddubs_epi16(magnitude, _mm256_sign_epi8(values, q));
            totals[r] = _mm256_add_epi32(totals[r], _mm256_madd_epi16(pairs, ones));
        }
    }
    for (std::size_t r = 0; r < R; ++r) {
        const __m128i four = _mm_add_epi32(_mm256_castsi256_si128(totals[r]), _mm256_extracti128_si256(totals[r], 1));
        const __m128i two = _mm_add_epi32(four, _mm_unpackhi_epi64(four, four));
        out[r] = _mm_cvtsi128_si32(_mm_add_epi32(two, _mm_shuffle_epi32(two, 1)));
    }
}

template <std::size_t R>
KESTRIX_SIDE_AVX2 void float16_rows(const float* query, const std::byte* rows, std::size_t stride,
                                    const std::uint32_t* slots, float* out) noexcept {
    __m256 low[R], high[R];
    for (std::size_t r = 0; r < R; ++r) low[r] = high[r] = _mm256_setzero_ps();
    for (std::size_t c = 0; c < DIMENSION; c += FLOAT_LANES) {
        const __m256 qa = _mm256_loadu_ps(query + c);
        const __m256 qb = _mm256_loadu_ps(query + c + 8);
        for (std::size_t r = 0; r < R; ++r) {
            const std::byte* row = rows + std::size_t{slots[r]} * stride;
            const __m256i halves = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + 2 * c));
            low[r] = _mm256_add_ps(low[r], _mm256_mul_ps(qa, _mm256_cvtph_ps(_mm256_castsi256_si128(halves))));
            high[r] = _mm256_add_ps(high[r], _mm256_mul_ps(qb, _mm256_cvtph_ps(_mm256_extracti128_si256(halves, 1))));
        }
    }
    for (std::size_t r = 0; r < R; ++r) out[r] = fold_lanes(low[r], high[r]);
}

template <std::size_t R>
KESTRIX_SIDE_AVX2 void sign_rows(const float* query, const QuantizedVector* rows, const std::uint32_t* slots,
                                 float* out) noexcept {
    unsigned char bytes[R][DIMENSION / 8];
    for (std::size_t r = 0; r < R; ++r) std::memcpy(bytes[r], rows[slots[r]].words.data(), sizeof bytes[r]);
    __m256 low[R], high[R];
    for (std::size_t r = 0; r < R; ++r) low[r] = high[r] = _mm256_setzero_ps();
    for (std::size_t c = 0; c < DIMENSION; c += FLOAT_LANES) {
        const __m256 qa = _mm256_loadu_ps(query + c);
        const __m256 qb = _mm256_loadu_ps(query + c + 8);
        for (std::size_t r = 0; r < R; ++r) {
            low[r] = _mm256_add_ps(low[r], signed_by(qa, bytes[r][c / 8]));
            high[r] = _mm256_add_ps(high[r], signed_by(qb, bytes[r][c / 8 + 1]));
        }
    }
    for (std::size_t r = 0; r < R; ++r) out[r] = fold_lanes(low[r], high[r]);
}

#undef KESTRIX_SIDE_AVX2

}  // namespace

__attribute__((target(KESTRIX_SIDE_AVX2_TARGET))) void int8_dots_avx2(const std::int16_t* query, const std::byte* rows,
                                                                      std::size_t stride, const std::uint32_t* slots,
                                                                      std::size_t count, std::int32_t* out) noexcept {
    prefetch_rows(rows, stride, stride, slots, 0, PREFETCH_AHEAD, count);
    alignas(32) std::int8_t narrow[DIMENSION];
    narrow_query(query, narrow);
    std::size_t i = 0;
    for (; i + ROW_GROUP <= count; i += ROW_GROUP) {
        prefetch_rows(rows, stride, stride, slots, i + PREFETCH_AHEAD, i + PREFETCH_AHEAD + ROW_GROUP, count);
        int8_rows<ROW_GROUP>(narrow, rows, stride, slots + i, out + i);
    }
    for (; i < count; ++i) int8_rows<1>(narrow, rows, stride, slots + i, out + i);
}

__attribute__((target(KESTRIX_SIDE_AVX2_TARGET))) void float16_dots_avx2(const float* query, const std::byte* rows,
                                                                         std::size_t stride, const std::uint32_t* slots,
                                                                         std::size_t count, float* out) noexcept {
    prefetch_rows(rows, stride, 2 * DIMENSION, slots, 0, PREFETCH_AHEAD, count);
    std::size_t i = 0;
    for (; i + ROW_GROUP <= count; i += ROW_GROUP) {
        prefetch_rows(rows, stride, 2 * DIMENSION, slots, i + PREFETCH_AHEAD, i + PREFETCH_AHEAD + ROW_GROUP, count);
        float16_rows<ROW_GROUP>(query, rows, stride, slots + i, out + i);
    }
    for (; i < count; ++i) float16_rows<1>(query, rows, stride, slots + i, out + i);
}

__attribute__((target(KESTRIX_SIDE_AVX2_TARGET))) void sign_dots_avx2(const float* query, const QuantizedVector* rows,
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
