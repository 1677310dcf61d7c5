// AVX-512 (F, BW, VL, VBMI, VPOPCNTDQ).
//
// Scan: eight 48-byte rows are six 64-byte loads. VPOPCNTQ counts every 64-bit
// lane; the six count vectors are packed into the bytes of one register, one
// VPERMB gathers each row's six counts into its own 64-bit lane, and VPSADBW
// adds them. The offer mask is two compares and four tombstone tests per block
// of 64 rows.
//
// Gather: eight rows per group. Each row is one masked 48-byte load (the mask
// keeps the load inside the row, so the last row of the store is never read
// past), XORed with the query and counted per 64-bit lane. Row r's six counts
// are shifted into byte r of their lanes, one VPERMB brings each row's six
// counts into its own 64-bit lane and VPSADBW adds them: the same sums
// hamming_distance makes.
//
// Everything is compiled per function for these instruction sets, so nothing
// of them leaks into baseline code.
#if defined(__x86_64__)

#include "intrinsics.hpp"
#include "x86.hpp"

#define KESTRIX_AVX512_TARGET "avx512f,avx512bw,avx512vl,avx512vbmi,avx512vpopcntdq,popcnt"
#define KESTRIX_AVX512 __attribute__((target(KESTRIX_AVX512_TARGET), always_inline)) static inline

namespace kestrix::kernels {

// ---------------------------------------------------------------- scan

namespace {

struct QueryPattern {
    // 64-bit lane j of load z of a group of eight rows holds lane (8z + j) % 6
    // of its row; the pattern repeats every three loads.
    __m512i lanes[3];
};

KESTRIX_AVX512 QueryPattern query_pattern(const QuantizedVector& query) noexcept {
    const __m512i q = _mm512_maskz_loadu_epi64(0x3F, query.words.data());
    return {{_mm512_permutexvar_epi64(_mm512_setr_epi64(0, 1, 2, 3, 4, 5, 0, 1), q),
             _mm512_permutexvar_epi64(_mm512_setr_epi64(2, 3, 4, 5, 0, 1, 2, 3), q),
             _mm512_permutexvar_epi64(_mm512_setr_epi64(4, 5, 0, 1, 2, 3, 4, 5), q)}};
}

// Byte z of 64-bit lane j of the packed counts is the count of lane 8z + j of
// the group, which is lane (8z + j) % 6 of row (8z + j) / 6. This index moves
// lane p of row r to byte 8r + p.
struct GatherIndex {
    alignas(64) unsigned char bytes[64];
};
constexpr GatherIndex make_gather_index() noexcept {
    GatherIndex index{};
    for (int r = 0; r < 8; ++r) {
        for (int p = 0; p < 6; ++p) {
            const int lane = 6 * r + p;
            index.bytes[8 * r + p] = static_cast<unsigned char>(8 * (lane % 8) + lane / 8);
        }
    }
    return index;
}
constexpr GatherIndex GATHER_INDEX = make_gather_index();

// Distances of eight rows starting at `p`, one per 64-bit lane.
KESTRIX_AVX512 __m512i eight_rows(const unsigned char* p, const QueryPattern& pattern, __m512i index) noexcept {
    __m512i packed = _mm512_setzero_si512();
    for (int z = 0; z < 6; ++z) {
        const __m512i v = _mm512_xor_si512(_mm512_loadu_si512(p + 64 * z), pattern.lanes[z % 3]);
        // Counts are at most 64: each fits the byte it is shifted into.
        packed = _mm512_or_si512(packed, _mm512_slli_epi64(_mm512_popcnt_epi64(v), 8 * z));
    }
    const __m512i rows = _mm512_maskz_permutexvar_epi8(0x3F3F3F3F3F3F3F3Full, index, packed);
    return _mm512_sad_epu8(rows, _mm512_setzero_si512());
}

}  // namespace

__attribute__((target(KESTRIX_AVX512_TARGET))) static std::uint64_t scan_block_avx512(
    const QuantizedVector& query, const QuantizedVector* rows, const std::uint32_t* ids, std::size_t count,
    std::uint32_t bound, std::uint16_t* distances) noexcept {
    const QueryPattern pattern = query_pattern(query);
    const __m512i index = _mm512_load_si512(GATHER_INDEX.bytes);
    const auto* base = reinterpret_cast<const unsigned char*>(rows);

    std::size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        const __m512i d = eight_rows(base + i * sizeof(QuantizedVector), pattern, index);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(distances + i), _mm512_cvtepi64_epi16(d));
    }
    std::uint64_t query_lanes[6];
    std::memcpy(query_lanes, query.words.data(), sizeof query_lanes);
    for (std::size_t j = i; j < count; ++j) {
        distances[j] = static_cast<std::uint16_t>(x86::row_distance(query_lanes, rows[j]));
    }
    if (count != SCAN_BLOCK) return x86::offer_bits(ids, distances, 0, count, bound);

    const __m512i limit = _mm512_set1_epi16(static_cast<short>(bound));
    const std::uint64_t below =
        static_cast<std::uint64_t>(_mm512_cmplt_epu16_mask(_mm512_loadu_si512(distances), limit)) |
        static_cast<std::uint64_t>(_mm512_cmplt_epu16_mask(_mm512_loadu_si512(distances + 32), limit)) << 32;
    const __m512i tombstone = _mm512_set1_epi32(static_cast<int>(TOMBSTONE_BIT));
    std::uint64_t live = 0;
    for (int g = 0; g < 4; ++g) {
        const __m512i words = _mm512_loadu_si512(ids + 16 * g);
        live |= static_cast<std::uint64_t>(_mm512_testn_epi32_mask(words, tombstone)) << (16 * g);
    }
    return below & live;
}

// ---------------------------------------------------------------- gather

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

}  // namespace

__attribute__((target(KESTRIX_AVX512_TARGET))) static void gather_avx512(const QuantizedVector& query,
                                                                         const QuantizedVector* rows,
                                                                         const std::uint32_t* slots, std::size_t count,
                                                                         std::uint32_t* out) noexcept {
    const __m512i q = _mm512_maskz_loadu_epi64(ROW_LANES, query.words.data());
    const __m512i index = _mm512_load_si512(TRANSPOSE_INDEX.bytes);
    for (std::size_t i = 0; i < count; i += GATHER_GROUP) {
        const std::size_t live = count - i < GATHER_GROUP ? count - i : GATHER_GROUP;
        const __m512i d = group(q, query, rows, slots + i, live, index);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), _mm512_cvtepi64_epi32(d));
    }
}

__attribute__((target(KESTRIX_AVX512_TARGET))) static bool any_within_avx512(const QuantizedVector& query,
                                                                             const QuantizedVector* rows,
                                                                             const std::uint32_t* slots,
                                                                             std::size_t count,
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

const KernelSet AVX512_KERNELS{"avx512", scan_block_avx512, gather_avx512, any_within_avx512, x86::distance_popcnt};

}  // namespace kestrix::kernels

#undef KESTRIX_AVX512
#undef KESTRIX_AVX512_TARGET

#endif
