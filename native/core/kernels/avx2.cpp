// AVX2 scan: byte-wise population count by nibble lookup (VPSHUFB), summed per
// row with VPSADBW; eight rows are reduced together so the final horizontal
// sums are shared.
// - Six words: two 48-byte rows span three 32-byte loads.
// - Any other width: a row is read in 32-byte chunks (the last one a masked
//   load that stays inside the row) whose byte counts add up in bytes (at most
//   8 a chunk, 16 chunks at the most) before one VPSADBW.
// The graph's kernels and the asymmetric ones come from the popcnt set: row by
// row, AVX2's byte counts gain nothing over POPCNT.
#if defined(__x86_64__)

#include "intrinsics.hpp"
#include "tables.hpp"
#include "x86.hpp"

#define KESTRIX_AVX2_TARGET "avx2,popcnt"
#define KESTRIX_AVX2 __attribute__((target(KESTRIX_AVX2_TARGET), always_inline)) static inline
#define KESTRIX_AVX2_ENTRY __attribute__((target(KESTRIX_AVX2_TARGET), flatten)) static

namespace kestrix::kernels {

namespace {

using scalar::width;

constexpr std::size_t LANES = 4;  // 64-bit lanes of a register
constexpr std::size_t GROUP = 8;  // rows measured together
constexpr std::size_t SIX = 6;

constexpr std::size_t chunks(std::size_t words) noexcept { return (words + LANES - 1) / LANES; }

KESTRIX_AVX2 __m256i byte_counts(__m256i v) noexcept {
    const __m256i lookup = _mm256_setr_epi8(0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4,  //
                                            0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4);
    const __m256i low_nibbles = _mm256_set1_epi8(0x0f);
    const __m256i low = _mm256_and_si256(v, low_nibbles);
    const __m256i high = _mm256_and_si256(_mm256_srli_epi16(v, 4), low_nibbles);
    return _mm256_add_epi8(_mm256_shuffle_epi8(lookup, low), _mm256_shuffle_epi8(lookup, high));
}

// Four 64-bit partial sums for each of two rows.
struct PairSums {
    __m256i first;
    __m256i second;
};

// Eight rows' distances as eight 32-bit lanes in row order, from four pairs
// of partial sums (each at most 2^31 - 1, so two rows share a 64-bit lane).
KESTRIX_AVX2 __m256i eight_distances(const PairSums (&pairs)[4]) noexcept {
    __m256i two_rows[4];
    for (int i = 0; i < 4; ++i) two_rows[i] = _mm256_or_si256(pairs[i].first, _mm256_slli_epi64(pairs[i].second, 32));
    const __m256i ab = _mm256_add_epi64(_mm256_unpacklo_epi64(two_rows[0], two_rows[1]),
                                        _mm256_unpackhi_epi64(two_rows[0], two_rows[1]));
    const __m256i cd = _mm256_add_epi64(_mm256_unpacklo_epi64(two_rows[2], two_rows[3]),
                                        _mm256_unpackhi_epi64(two_rows[2], two_rows[3]));
    return _mm256_add_epi64(_mm256_permute2x128_si256(ab, cd, 0x20), _mm256_permute2x128_si256(ab, cd, 0x31));
}

KESTRIX_AVX2 void store_distances(__m256i d, std::uint16_t* out) noexcept {
    const __m256i packed = _mm256_permute4x64_epi64(_mm256_packus_epi32(d, d), 0x08);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm256_castsi256_si128(packed));
}

// ---------------------------------------------------------------- six words

struct SixWordQuery {
    __m256i a, b, c;  // the query as the three loads of a pair of rows see it
};

KESTRIX_AVX2 SixWordQuery six_word_query(const std::uint64_t* query) noexcept {
    const auto* q = reinterpret_cast<const unsigned char*>(query);
    return {_mm256_loadu_si256(reinterpret_cast<const __m256i*>(q)),
            _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(q), reinterpret_cast<const __m128i*>(q + 32)),
            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + 16))};
}

KESTRIX_AVX2 PairSums six_word_pair(const std::uint64_t* rows, const SixWordQuery& q) noexcept {
    const auto* p = reinterpret_cast<const __m256i*>(rows);
    const __m256i a = byte_counts(_mm256_xor_si256(_mm256_loadu_si256(p), q.a));
    const __m256i b = byte_counts(_mm256_xor_si256(_mm256_loadu_si256(p + 1), q.b));
    const __m256i c = byte_counts(_mm256_xor_si256(_mm256_loadu_si256(p + 2), q.c));
    // The middle load holds the tail of the first row (low half) and the head
    // of the second (high half). Byte counts are at most 8, so sums fit a byte.
    const __m256i low_half = _mm256_setr_epi64x(-1, -1, 0, 0);
    const __m256i first = _mm256_add_epi8(a, _mm256_and_si256(b, low_half));
    const __m256i second = _mm256_add_epi8(c, _mm256_andnot_si256(low_half, b));
    const __m256i zero = _mm256_setzero_si256();
    return {_mm256_sad_epu8(first, zero), _mm256_sad_epu8(second, zero)};
}

// ---------------------------------------------------------------- any width

template <std::size_t W>
struct ChunkedQuery {
    std::size_t words;
    __m256i tail_lanes;  // the lanes of the last chunk inside the row
    __m256i chunk[chunks(W != 0 ? W : MAX_CODE_WORDS)];
};

KESTRIX_AVX2 __m256i load_chunk(const std::uint64_t* row, std::size_t c, std::size_t words, __m256i tail) noexcept {
    const auto* p = reinterpret_cast<const long long*>(row + LANES * c);
    return c + 1 < chunks(words) || words % LANES == 0 ? _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p))
                                                       : _mm256_maskload_epi64(p, tail);
}

template <std::size_t W>
KESTRIX_AVX2 ChunkedQuery<W> chunked_query(const std::uint64_t* query, std::size_t words) noexcept {
    ChunkedQuery<W> q;
    q.words = width<W>(words);
    const auto used = static_cast<long long>(q.words % LANES);
    q.tail_lanes = _mm256_cmpgt_epi64(_mm256_set1_epi64x(used), _mm256_setr_epi64x(0, 1, 2, 3));
    for (std::size_t c = 0; c < chunks(q.words); ++c) q.chunk[c] = load_chunk(query, c, q.words, q.tail_lanes);
    return q;
}

template <std::size_t W>
KESTRIX_AVX2 __m256i row_sums(const ChunkedQuery<W>& q, const std::uint64_t* row) noexcept {
    __m256i bytes = _mm256_setzero_si256();
    for (std::size_t c = 0; c < chunks(q.words); ++c) {
        bytes = _mm256_add_epi8(bytes,
                                byte_counts(_mm256_xor_si256(load_chunk(row, c, q.words, q.tail_lanes), q.chunk[c])));
    }
    return _mm256_sad_epu8(bytes, _mm256_setzero_si256());
}

struct Avx2 {
    template <std::size_t W>
    KESTRIX_AVX2_ENTRY std::uint64_t scan_block(const std::uint64_t* query, const std::uint64_t* rows,
                                                std::size_t words, const std::uint32_t* ids, std::size_t count,
                                                std::uint32_t bound, std::uint16_t* distances) noexcept {
        const std::size_t n = width<W>(words);
        std::size_t i = 0;
        if constexpr (W == SIX) {
            const SixWordQuery q = six_word_query(query);
            for (; i + GROUP <= count; i += GROUP) {
                const PairSums pairs[4] = {six_word_pair(rows + i * SIX, q), six_word_pair(rows + (i + 2) * SIX, q),
                                           six_word_pair(rows + (i + 4) * SIX, q),
                                           six_word_pair(rows + (i + 6) * SIX, q)};
                store_distances(eight_distances(pairs), distances + i);
            }
        } else {
            const ChunkedQuery<W> q = chunked_query<W>(query, n);
            for (; i + GROUP <= count; i += GROUP) {
                PairSums pairs[4];
                for (std::size_t r = 0; r < 4; ++r) {
                    pairs[r] = {row_sums(q, rows + (i + 2 * r) * n), row_sums(q, rows + (i + 2 * r + 1) * n)};
                }
                store_distances(eight_distances(pairs), distances + i);
            }
        }
        const scalar::HammingQuery<W> q(query, n);
        for (; i < count; ++i) distances[i] = static_cast<std::uint16_t>(q.distance(rows + i * n));
        return scalar::offer_bits(ids, distances, 0, count, bound);
    }

    template <std::size_t W>
    static constexpr HammingFns hamming() noexcept {
        HammingFns fns = x86::Popcnt::hamming<W>();
        fns.scan_block = scan_block<W>;
        return fns;
    }
    template <std::size_t W, unsigned B>
    static constexpr AsymmetricFns asymmetric() noexcept {
        return x86::Popcnt::asymmetric<W, B>();
    }
};

}  // namespace

constinit const InstructionSetKernels AVX2_CODE_KERNELS = instruction_set_kernels<Avx2>("avx2");

}  // namespace kestrix::kernels

#undef KESTRIX_AVX2_ENTRY
#undef KESTRIX_AVX2
#undef KESTRIX_AVX2_TARGET

#endif
