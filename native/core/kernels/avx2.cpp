// AVX2 scan: byte-wise population count by nibble lookup (VPSHUFB), summed per row
// with VPSADBW. Two 48-byte rows span three 32-byte loads; eight rows are
// reduced together so the final horizontal sums are shared. The graph's
// kernels come from the popcnt set: row-by-row gathers gain nothing from AVX2.
#if defined(__x86_64__)

#include <immintrin.h>

#include "x86.hpp"

namespace kestrix::kernels {

namespace {

#define KESTRIX_AVX2 __attribute__((target("avx2,popcnt"), always_inline)) static inline

KESTRIX_AVX2 __m256i byte_counts(__m256i v) noexcept {
    const __m256i lookup = _mm256_setr_epi8(0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4,  //
                                            0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4);
    const __m256i low_nibbles = _mm256_set1_epi8(0x0f);
    const __m256i low = _mm256_and_si256(v, low_nibbles);
    const __m256i high = _mm256_and_si256(_mm256_srli_epi16(v, 4), low_nibbles);
    return _mm256_add_epi8(_mm256_shuffle_epi8(lookup, low), _mm256_shuffle_epi8(lookup, high));
}

// Four 64-bit partial sums for each of two consecutive rows starting at `p`.
struct PairSums {
    __m256i first;
    __m256i second;
};

KESTRIX_AVX2 PairSums pair_sums(const unsigned char* p, __m256i qa, __m256i qb, __m256i qc) noexcept {
    const __m256i a = byte_counts(_mm256_xor_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)), qa));
    const __m256i b = byte_counts(_mm256_xor_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32)), qb));
    const __m256i c = byte_counts(_mm256_xor_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 64)), qc));
    // The middle load holds the tail of the first row (low half) and the head
    // of the second (high half). Byte counts are at most 8, so sums fit a byte.
    const __m256i low_half = _mm256_setr_epi64x(-1, -1, 0, 0);
    const __m256i first = _mm256_add_epi8(a, _mm256_and_si256(b, low_half));
    const __m256i second = _mm256_add_epi8(c, _mm256_andnot_si256(low_half, b));
    const __m256i zero = _mm256_setzero_si256();
    return {_mm256_sad_epu8(first, zero), _mm256_sad_epu8(second, zero)};
}

// Eight rows: returns their distances as eight 32-bit lanes in row order.
KESTRIX_AVX2 __m256i eight_rows(const unsigned char* p, __m256i qa, __m256i qb, __m256i qc) noexcept {
    const PairSums r01 = pair_sums(p, qa, qb, qc);
    const PairSums r23 = pair_sums(p + 96, qa, qb, qc);
    const PairSums r45 = pair_sums(p + 192, qa, qb, qc);
    const PairSums r67 = pair_sums(p + 288, qa, qb, qc);
    // Partial sums are at most 128, so two rows share a 64-bit lane.
    const __m256i a = _mm256_or_si256(r01.first, _mm256_slli_epi64(r01.second, 32));
    const __m256i b = _mm256_or_si256(r23.first, _mm256_slli_epi64(r23.second, 32));
    const __m256i c = _mm256_or_si256(r45.first, _mm256_slli_epi64(r45.second, 32));
    const __m256i d = _mm256_or_si256(r67.first, _mm256_slli_epi64(r67.second, 32));
    const __m256i ab = _mm256_add_epi64(_mm256_unpacklo_epi64(a, b), _mm256_unpackhi_epi64(a, b));
    const __m256i cd = _mm256_add_epi64(_mm256_unpacklo_epi64(c, d), _mm256_unpackhi_epi64(c, d));
    return _mm256_add_epi64(_mm256_permute2x128_si256(ab, cd, 0x20), _mm256_permute2x128_si256(ab, cd, 0x31));
}

#undef KESTRIX_AVX2

}  // namespace

__attribute__((target("avx2,popcnt"))) static std::uint64_t scan_block_avx2(const QuantizedVector& query,
                                                                            const QuantizedVector* rows,
                                                                            const std::uint32_t* ids, std::size_t count,
                                                                            std::uint32_t bound,
                                                                            std::uint16_t* distances) noexcept {
    const auto* q = reinterpret_cast<const unsigned char*>(query.words.data());
    const __m256i qa = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q));
    const __m256i qb =
        _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(q), reinterpret_cast<const __m128i*>(q + 32));
    const __m256i qc = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + 16));
    const auto* base = reinterpret_cast<const unsigned char*>(rows);

    std::size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        const __m256i d = eight_rows(base + i * sizeof(QuantizedVector), qa, qb, qc);
        const __m256i packed = _mm256_permute4x64_epi64(_mm256_packus_epi32(d, d), 0x08);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(distances + i), _mm256_castsi256_si128(packed));
    }
    std::uint64_t query_lanes[6];
    std::memcpy(query_lanes, query.words.data(), sizeof query_lanes);
    for (; i < count; ++i) distances[i] = static_cast<std::uint16_t>(x86::row_distance(query_lanes, rows[i]));
    return x86::offer_bits(ids, distances, 0, count, bound);
}

const KernelSet AVX2_KERNELS{"avx2", scan_block_avx2, x86::gather_popcnt, x86::any_within_popcnt, x86::distance_popcnt};

}  // namespace kestrix::kernels

#endif
