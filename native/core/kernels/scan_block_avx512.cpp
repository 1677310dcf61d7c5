// AVX-512 (F, BW, VBMI, VPOPCNTDQ): eight 48-byte rows are six 64-byte loads.
// VPOPCNTQ counts every 64-bit lane; the six count vectors are packed into the
// bytes of one register, one VPERMB gathers each row's six counts into its own
// 64-bit lane, and VPSADBW adds them. The offer mask is two compares and four
// tombstone tests per block of 64 rows.
#if defined(__x86_64__)

#include "avx512.hpp"

#include "scan_block_x86.hpp"

namespace kestrix::kernels {

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

#undef KESTRIX_AVX512

}  // namespace

__attribute__((target(KESTRIX_AVX512_TARGET))) std::uint64_t scan_block_avx512(
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
    const std::uint64_t below = static_cast<std::uint64_t>(_mm512_cmplt_epu16_mask(_mm512_loadu_si512(distances), limit)) |
                                static_cast<std::uint64_t>(_mm512_cmplt_epu16_mask(_mm512_loadu_si512(distances + 32), limit))
                                    << 32;
    const __m512i tombstone = _mm512_set1_epi32(static_cast<int>(TOMBSTONE_BIT));
    std::uint64_t live = 0;
    for (int g = 0; g < 4; ++g) {
        const __m512i words = _mm512_loadu_si512(ids + 16 * g);
        live |= static_cast<std::uint64_t>(_mm512_testn_epi32_mask(words, tombstone)) << (16 * g);
    }
    return below & live;
}

}  // namespace kestrix::kernels

#endif
