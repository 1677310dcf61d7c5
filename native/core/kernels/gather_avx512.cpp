// AVX-512 (F, BW, VL, VBMI, VPOPCNTDQ) gather: eight rows per group. Each row
// is one masked 48-byte load (the mask keeps the load inside the row, so the
// last row of the store is never read past), XORed with the query and counted
// per 64-bit lane. Row r's six counts are shifted into byte r of their lanes,
// one VPERMB brings each row's six counts into its own 64-bit lane and VPSADBW
// adds them: the same sums hamming_distance makes.
#if defined(__x86_64__)

#include "avx512.hpp"

#include "gather.hpp"

namespace kestrix::kernels {

namespace {


// Byte 8p + r of the packed counts is lane p of row r; this index moves it to
// byte 8r + p (bytes 6 and 7 of every row lane are masked off).
struct TransposeIndex {
    alignas(64) unsigned char bytes[64];
};
constexpr TransposeIndex make_transpose_index() noexcept {
    TransposeIndex index{};
    for (int r = 0; r < 8; ++r) {
        for (int p = 0; p < 8; ++p) index.bytes[8 * r + p] = static_cast<unsigned char>(8 * p + r);
    }
    return index;
}
constexpr TransposeIndex TRANSPOSE_INDEX = make_transpose_index();

constexpr __mmask8 ROW_LANES = 0x3F;

// Distances of up to eight rows, slots[0..live), one per 64-bit lane; lanes
// from `live` on hold the distance of the query to itself (0).
KESTRIX_AVX512 __m512i group(__m512i q, const QuantizedVector& query, const QuantizedVector* rows,
                             const std::uint32_t* slots, std::size_t live, __m512i index) noexcept {
    __m512i packed = _mm512_setzero_si512();
    for (std::size_t r = 0; r < 8; ++r) {
        const QuantizedVector* row = r < live ? rows + slots[r] : &query;
        const __m512i v = _mm512_maskz_loadu_epi64(ROW_LANES, row->words.data());
        // Counts are at most 64: each fits the byte it is shifted into.
        const __m512i counts = _mm512_popcnt_epi64(_mm512_xor_si512(v, q));
        packed = _mm512_or_si512(packed, _mm512_slli_epi64(counts, static_cast<unsigned>(8 * r)));
    }
    const __m512i by_row = _mm512_maskz_permutexvar_epi8(0x3F3F3F3F3F3F3F3Full, index, packed);
    return _mm512_sad_epu8(by_row, _mm512_setzero_si512());
}

#undef KESTRIX_AVX512

}  // namespace

__attribute__((target(KESTRIX_AVX512_TARGET))) void gather_distances_avx512(const QuantizedVector& query,
                                                                            const QuantizedVector* rows,
                                                                            const std::uint32_t* slots,
                                                                            std::size_t count,
                                                                            std::uint32_t* out) noexcept {
    const __m512i q = _mm512_maskz_loadu_epi64(ROW_LANES, query.words.data());
    const __m512i index = _mm512_load_si512(TRANSPOSE_INDEX.bytes);
    for (std::size_t i = 0; i < count; i += GATHER_GROUP) {
        const std::size_t live = count - i < GATHER_GROUP ? count - i : GATHER_GROUP;
        const __m512i d = group(q, query, rows, slots + i, live, index);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), _mm512_cvtepi64_epi32(d));
    }
}

__attribute__((target(KESTRIX_AVX512_TARGET))) bool any_within_avx512(const QuantizedVector& query,
                                                                      const QuantizedVector* rows,
                                                                      const std::uint32_t* slots, std::size_t count,
                                                                      std::uint32_t bound) noexcept {
    const __m512i q = _mm512_maskz_loadu_epi64(ROW_LANES, query.words.data());
    const __m512i index = _mm512_load_si512(TRANSPOSE_INDEX.bytes);
    const __m512i limit = _mm512_set1_epi64(static_cast<long long>(bound));
    for (std::size_t i = 0; i < count; i += GATHER_GROUP) {
        const std::size_t live = count - i < GATHER_GROUP ? count - i : GATHER_GROUP;
        const __m512i d = group(q, query, rows, slots + i, live, index);
        const __mmask8 lanes = static_cast<__mmask8>((1u << live) - 1u);
        if (_mm512_mask_cmple_epu64_mask(lanes, d, limit) != 0) return true;
    }
    return false;
}

}  // namespace kestrix::kernels

#endif
