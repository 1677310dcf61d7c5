// AVX-512 with VNNI: the int8 products by VPDPWSSD on widened bytes, the float
// sums in one 16-lane register per row, exactly the reference's lanes. The
// last, partial group of components of a row is a masked load (nothing past
// the row is read) added only to the lanes it reaches.
#if defined(__x86_64__)

#include "../kernels/intrinsics.hpp"
#include "kernels.hpp"

#define KESTRIX_SIDE_AVX512_TARGET "avx512f,avx512bw,avx512vl,avx512vnni,avx2,f16c"
#define KESTRIX_SIDE_AVX512 __attribute__((target(KESTRIX_SIDE_AVX512_TARGET), always_inline)) static inline
#define KESTRIX_SIDE_AVX512_ENTRY __attribute__((target(KESTRIX_SIDE_AVX512_TARGET), flatten)) static
#define KESTRIX_SIDE_AVX512_ROWS __attribute__((target(KESTRIX_SIDE_AVX512_TARGET))) static

namespace kestrix::side {

namespace {

constexpr std::size_t INT8_STEP = 32;

// Folds the sixteen lanes in the reference's order.
KESTRIX_SIDE_AVX512 float fold_lanes(__m512 lanes) noexcept {
    const __m256 eight = _mm256_add_ps(_mm512_castps512_ps256(lanes),
                                       _mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(lanes), 1)));
    const __m128 four = _mm_add_ps(_mm256_castps256_ps128(eight), _mm256_extractf128_ps(eight, 1));
    const __m128 two = _mm_add_ps(four, _mm_movehl_ps(four, four));
    return _mm_cvtss_f32(_mm_add_ss(two, _mm_shuffle_ps(two, two, 1)));
}

// The first `count` of `width` lanes (count may exceed width).
template <class Mask>
KESTRIX_SIDE_AVX512 Mask first_lanes(std::size_t count, std::size_t width) noexcept {
    return count >= width ? static_cast<Mask>(~Mask{0}) : static_cast<Mask>((Mask{1} << count) - 1);
}

// The int16 query as it is.
struct WideQuery {
    const std::int16_t* values;

    WideQuery(const std::int16_t* query, std::size_t) noexcept : values(query) {}
};

struct Rows {
    using Int8Query = WideQuery;

    // R int8 rows at once, one exact sum each.
    template <std::size_t R, std::size_t D>
    KESTRIX_SIDE_AVX512_ROWS void int8_rows(const WideQuery& wide, std::size_t n, const std::byte* rows,
                                            std::size_t stride, const std::uint32_t* slots,
                                            std::int32_t* out) noexcept {
        const std::int16_t* query = wide.values;
        __m512i totals[R];
        for (auto& t : totals) t = _mm512_setzero_si512();
        for (std::size_t c = 0; c < n; c += INT8_STEP) {
            const auto reach =
                (D % INT8_STEP == 0 && D != 0) ? ~__mmask32{0} : first_lanes<__mmask32>(n - c, INT8_STEP);
            const __m512i q = _mm512_maskz_loadu_epi16(reach, query + c);
            for (std::size_t r = 0; r < R; ++r) {
                const std::byte* row = rows + std::size_t{slots[r]} * stride;
                const __m512i values = _mm512_cvtepi8_epi16(_mm256_maskz_loadu_epi8(reach, row + c));
                totals[r] = _mm512_dpwssd_epi32(totals[r], values, q);
            }
        }
        for (std::size_t r = 0; r < R; ++r) out[r] = _mm512_reduce_add_epi32(totals[r]);
    }

    template <std::size_t R, std::size_t D>
    KESTRIX_SIDE_AVX512_ROWS void float16_rows(const float* query, std::size_t n, const std::byte* rows,
                                               std::size_t stride, const std::uint32_t* slots, float* out) noexcept {
        __m512 lanes[R];
        for (auto& l : lanes) l = _mm512_setzero_ps();
        for (std::size_t c = 0; c < n; c += FLOAT_LANES) {
            const auto reach =
                (D % FLOAT_LANES == 0 && D != 0) ? __mmask16{0xFFFF} : first_lanes<__mmask16>(n - c, FLOAT_LANES);
            const __m512 q = _mm512_maskz_loadu_ps(reach, query + c);
            for (std::size_t r = 0; r < R; ++r) {
                const std::byte* row = rows + std::size_t{slots[r]} * stride;
                const __m512 values = _mm512_cvtph_ps(_mm256_maskz_loadu_epi16(reach, row + 2 * c));
                lanes[r] = _mm512_mask_add_ps(lanes[r], reach, lanes[r], _mm512_mul_ps(q, values));
            }
        }
        for (std::size_t r = 0; r < R; ++r) out[r] = fold_lanes(lanes[r]);
    }

    template <std::size_t R, std::size_t D>
    KESTRIX_SIDE_AVX512_ROWS void sign_rows(const float* query, std::size_t n, const std::uint64_t* codes,
                                            const std::uint32_t* slots, float* out) noexcept {
        const std::size_t words = kernels::code_words(n);
        const __m512i sign = _mm512_set1_epi32(static_cast<int>(0x80000000u));
        __m512 lanes[R];
        for (auto& l : lanes) l = _mm512_setzero_ps();
        for (std::size_t c = 0; c < n; c += FLOAT_LANES) {
            const auto reach =
                (D % FLOAT_LANES == 0 && D != 0) ? __mmask16{0xFFFF} : first_lanes<__mmask16>(n - c, FLOAT_LANES);
            const __m512i q = _mm512_castps_si512(_mm512_maskz_loadu_ps(reach, query + c));
            for (std::size_t r = 0; r < R; ++r) {
                // Negate the lanes whose bit is clear.
                const auto clear = static_cast<__mmask16>(~sign_chunk(codes + std::size_t{slots[r]} * words, c));
                const __m512 terms = _mm512_castsi512_ps(_mm512_mask_xor_epi32(q, clear, q, sign));
                lanes[r] = _mm512_mask_add_ps(lanes[r], reach, lanes[r], terms);
            }
        }
        for (std::size_t r = 0; r < R; ++r) out[r] = fold_lanes(lanes[r]);
    }
};

struct Avx512 {
    KESTRIX_GROUPED_SIDE_ENTRIES(KESTRIX_SIDE_AVX512_ENTRY, Rows)
};

}  // namespace

constinit const SideKernels AVX512_SIDE_KERNELS = side_kernels_of<Avx512>("avx512-vnni");

}  // namespace kestrix::side

#undef KESTRIX_SIDE_AVX512_ROWS
#undef KESTRIX_SIDE_AVX512_ENTRY
#undef KESTRIX_SIDE_AVX512
#undef KESTRIX_SIDE_AVX512_TARGET

#endif
