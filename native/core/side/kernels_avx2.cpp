// AVX2 (with F16C): the int8 products by VPMADDUBSW on the bytes, the float
// sums in two 8-lane registers per row that hold the reference's lanes 0-7 and
// 8-15. The last, partial group of components of a row is read through a
// zero-padded copy (nothing past the row is read) and added only to the lanes
// it reaches.
#if defined(__x86_64__)

#include "../kernels/intrinsics.hpp"
#include "kernels.hpp"

#define KESTRIX_SIDE_AVX2_TARGET "avx2,f16c"
#define KESTRIX_SIDE_AVX2 __attribute__((target(KESTRIX_SIDE_AVX2_TARGET), always_inline)) static inline
#define KESTRIX_SIDE_AVX2_ENTRY __attribute__((target(KESTRIX_SIDE_AVX2_TARGET), flatten)) static
#define KESTRIX_SIDE_AVX2_ROWS __attribute__((target(KESTRIX_SIDE_AVX2_TARGET))) static
#define KESTRIX_SIDE_AVX2_LAMBDA __attribute__((target(KESTRIX_SIDE_AVX2_TARGET), always_inline))

namespace kestrix::side {

namespace {

constexpr std::size_t INT8_STEP = 32;

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

// Lanes of the 8-lane half starting at component `first` that a group of
// components ending at `end` reaches (all ones where it does).
KESTRIX_SIDE_AVX2 __m256i lanes_below(std::size_t first, std::size_t end) noexcept {
    const auto reach = static_cast<int>(end > first ? end - first : 0);
    return _mm256_cmpgt_epi32(_mm256_set1_epi32(reach), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
}

// Adds `terms` to the lanes of `sum` that `lanes` marks.
KESTRIX_SIDE_AVX2 __m256 add_lanes(__m256 sum, __m256 terms, __m256i lanes) noexcept {
    return _mm256_blendv_ps(sum, _mm256_add_ps(sum, terms), _mm256_castsi256_ps(lanes));
}

// 32 bytes of a row from `at`, of which `bytes` (at most 32) belong to it; the
// rest read as zero.
KESTRIX_SIDE_AVX2 __m256i load_part(const std::byte* at, std::size_t bytes) noexcept {
    alignas(32) std::byte part[32] = {};
    std::memcpy(part, at, bytes);
    return _mm256_load_si256(reinterpret_cast<const __m256i*>(part));
}

// The query as 32-byte lines of int8 (its values lie in -127..127, so the
// saturating pack is exact), in component order, zero past the last one.
struct NarrowQuery {
    alignas(32) std::int8_t values[kernels::MAX_CODE_DIMENSION + INT8_STEP];

    __attribute__((target(KESTRIX_SIDE_AVX2_TARGET))) NarrowQuery(const std::int16_t* query, std::size_t n) noexcept;
};

__attribute__((target(KESTRIX_SIDE_AVX2_TARGET)))
NarrowQuery::NarrowQuery(const std::int16_t* query, std::size_t n) noexcept {
    std::int8_t* out = values;
    for (std::size_t c = 0; c < n; c += INT8_STEP) {
        alignas(32) std::int16_t part[INT8_STEP] = {};
        const std::int16_t* values = query + c;
        if (n - c < INT8_STEP) {
            std::memcpy(part, values, (n - c) * sizeof *values);
            values = part;
        }
        const __m256i low = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(values));
        const __m256i high = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(values + 16));
        // packs works within 128-bit lanes: put the quarters back in order.
        const __m256i packed = _mm256_permute4x64_epi64(_mm256_packs_epi16(low, high), 0xD8);
        _mm256_store_si256(reinterpret_cast<__m256i*>(out + c), packed);
    }
}

// Thirty-two products a step by VPMADDUBSW: |q| (unsigned) times the row's
// value with q's sign moved onto it (VPSIGNB), summed in pairs into int16.
// A pair is at most 2 x 127 x 127 = 32258, so the saturating sum is exact;
// VPMADDWD then widens the pairs into the int32 totals. Zero query bytes past
// the last component make the padding of a partial step count nothing.
// Row r's terms of sixteen components: lanes 0-7 and 8-15.
struct Terms {
    __m256 low, high;
};

// Sums R rows in the reference's lanes: terms(r, c, reach, qa, qb) gives row
// r's terms of components c .. c + 15, of which `reach` exist, from the
// query's halves qa and qb (zero past the last component); the terms of a
// partial group are added only to the lanes it reaches.
template <std::size_t R, std::size_t D, class RowTerms>
KESTRIX_SIDE_AVX2 void float_rows(const float* query, std::size_t n, float* out, RowTerms terms) noexcept {
    __m256 low[R], high[R];
    for (std::size_t r = 0; r < R; ++r) low[r] = high[r] = _mm256_setzero_ps();
    const std::size_t whole = n / FLOAT_LANES * FLOAT_LANES;
    for (std::size_t c = 0; c < whole; c += FLOAT_LANES) {
        const __m256 qa = _mm256_loadu_ps(query + c);
        const __m256 qb = _mm256_loadu_ps(query + c + 8);
        for (std::size_t r = 0; r < R; ++r) {
            const Terms t = terms(r, c, FLOAT_LANES, qa, qb);
            low[r] = _mm256_add_ps(low[r], t.low);
            high[r] = _mm256_add_ps(high[r], t.high);
        }
    }
    if (D % FLOAT_LANES != 0 || (D == 0 && whole < n)) {
        const __m256i reach_a = lanes_below(whole, n), reach_b = lanes_below(whole + 8, n);
        const __m256 qa = _mm256_maskload_ps(query + whole, reach_a);
        const __m256 qb = _mm256_maskload_ps(query + whole + 8, reach_b);
        for (std::size_t r = 0; r < R; ++r) {
            const Terms t = terms(r, whole, n - whole, qa, qb);
            low[r] = add_lanes(low[r], t.low, reach_a);
            high[r] = add_lanes(high[r], t.high, reach_b);
        }
    }
    for (std::size_t r = 0; r < R; ++r) out[r] = fold_lanes(low[r], high[r]);
}

struct Rows {
    using Int8Query = NarrowQuery;

    template <std::size_t R, std::size_t D>
    KESTRIX_SIDE_AVX2_ROWS void int8_rows(const NarrowQuery& narrow, std::size_t n, const std::byte* rows,
                                          std::size_t stride, const std::uint32_t* slots, std::int32_t* out) noexcept {
        const std::int8_t* query = narrow.values;
        const __m256i ones = _mm256_set1_epi16(1);
        __m256i totals[R];
        for (auto& t : totals) t = _mm256_setzero_si256();
        for (std::size_t c = 0; c < n; c += INT8_STEP) {
            const __m256i q = _mm256_load_si256(reinterpret_cast<const __m256i*>(query + c));
            const __m256i magnitude = _mm256_abs_epi8(q);
            for (std::size_t r = 0; r < R; ++r) {
                const std::byte* row = rows + std::size_t{slots[r]} * stride + c;
                const __m256i values = (D % INT8_STEP == 0 && D != 0) || n - c >= INT8_STEP
                                           ? _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row))
                                           : load_part(row, n - c);
                const __m256i pairs = _mm256_maddubs_epi16(magnitude, _mm256_sign_epi8(values, q));
                totals[r] = _mm256_add_epi32(totals[r], _mm256_madd_epi16(pairs, ones));
            }
        }
        for (std::size_t r = 0; r < R; ++r) {
            const __m128i four =
                _mm_add_epi32(_mm256_castsi256_si128(totals[r]), _mm256_extracti128_si256(totals[r], 1));
            const __m128i two = _mm_add_epi32(four, _mm_unpackhi_epi64(four, four));
            out[r] = _mm_cvtsi128_si32(_mm_add_epi32(two, _mm_shuffle_epi32(two, 1)));
        }
    }

    template <std::size_t R, std::size_t D>
    KESTRIX_SIDE_AVX2_ROWS void float16_rows(const float* query, std::size_t n, const std::byte* rows,
                                             std::size_t stride, const std::uint32_t* slots, float* out) noexcept {
        float_rows<R, D>(
            query, n, out,
            [&](std::size_t r, std::size_t c, std::size_t reach, __m256 qa, __m256 qb) KESTRIX_SIDE_AVX2_LAMBDA {
                const std::byte* row = rows + std::size_t{slots[r]} * stride + 2 * c;
                const __m256i halves = reach == FLOAT_LANES ? _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row))
                                                            : load_part(row, 2 * reach);
                return Terms{_mm256_mul_ps(qa, _mm256_cvtph_ps(_mm256_castsi256_si128(halves))),
                             _mm256_mul_ps(qb, _mm256_cvtph_ps(_mm256_extracti128_si256(halves, 1)))};
            });
    }

    template <std::size_t R, std::size_t D>
    KESTRIX_SIDE_AVX2_ROWS void sign_rows(const float* query, std::size_t n, const std::uint64_t* codes,
                                          const std::uint32_t* slots, float* out) noexcept {
        const std::size_t words = kernels::code_words(n);
        float_rows<R, D>(query, n, out,
                         [&](std::size_t r, std::size_t c, std::size_t, __m256 qa, __m256 qb) KESTRIX_SIDE_AVX2_LAMBDA {
                             const unsigned bits = sign_chunk(codes + std::size_t{slots[r]} * words, c);
                             return Terms{signed_by(qa, bits & 0xFFu), signed_by(qb, bits >> 8)};
                         });
    }
};

struct Avx2 {
    KESTRIX_GROUPED_SIDE_ENTRIES(KESTRIX_SIDE_AVX2_ENTRY, Rows)
};

}  // namespace

constinit const SideKernels AVX2_SIDE_KERNELS = side_kernels_of<Avx2>("avx2");

}  // namespace kestrix::side

#undef KESTRIX_SIDE_AVX2_LAMBDA
#undef KESTRIX_SIDE_AVX2_ROWS
#undef KESTRIX_SIDE_AVX2_ENTRY
#undef KESTRIX_SIDE_AVX2
#undef KESTRIX_SIDE_AVX2_TARGET

#endif
