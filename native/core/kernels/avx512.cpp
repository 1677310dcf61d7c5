// AVX-512 (F, BW, VL, VBMI, VPOPCNTDQ): VPOPCNTQ counts every 64-bit lane.
//
// Any width: eight rows at a time, each read in chunks of eight words (the
// last one a masked load that stays inside the row), XORed with the query
// (or ANDed with its planes) and counted per lane; one transposing sum turns
// the eight rows' lane counts into their eight distances.
//
// Six words (384 bits), where a row is not a whole number of registers:
// - scan: eight rows are six 64-byte loads. The six count vectors are packed
//   into the bytes of one register, one VPERMB gathers each row's six counts
//   into its own 64-bit lane and VPSADBW adds them. The offer mask is two
//   compares and four tombstone tests per block of 64 rows.
// - gather: eight rows per group, each one masked 48-byte load XORed with the
//   query and counted per lane. Row r's six counts are shifted into byte r of
//   their lanes, one VPERMB brings each row's counts into its own lane and
//   VPSADBW adds them.
// - asymmetric scan (six and twelve words): the rows are read as the Hamming
//   scan reads six-word rows, each load ANDed with the planes as its lanes
//   see them; the lane sums are added in pairs (a pair never straddles two
//   rows) and permuted into one lane per six words.
//
// Everything is compiled per function for these instruction sets, so nothing
// of them leaks into baseline code. Single distances come from the popcnt set.
#if defined(__x86_64__)

#include "intrinsics.hpp"
#include "tables.hpp"
#include "x86.hpp"

#define KESTRIX_AVX512_TARGET "avx512f,avx512bw,avx512vl,avx512vbmi,avx512vpopcntdq,popcnt"
#define KESTRIX_AVX512 __attribute__((target(KESTRIX_AVX512_TARGET), always_inline)) static inline
#define KESTRIX_AVX512_ENTRY __attribute__((target(KESTRIX_AVX512_TARGET), flatten)) static
#define KESTRIX_AVX512_LAMBDA __attribute__((target(KESTRIX_AVX512_TARGET), always_inline))

namespace kestrix::kernels {

namespace {

using scalar::width;

constexpr std::size_t LANES = 8;  // 64-bit lanes of a register
constexpr std::size_t GROUP = 8;  // rows measured together
constexpr std::size_t SIX = 6;    // the 384-bit width with kernels of its own
static_assert(GROUP == GATHER_GROUP);

constexpr std::size_t chunks(std::size_t words) noexcept { return (words + LANES - 1) / LANES; }

// The lanes of the last chunk of a row that belong to it.
constexpr __mmask8 tail_lanes(std::size_t words) noexcept {
    return static_cast<__mmask8>(words % LANES == 0 ? 0xFF : (1u << (words % LANES)) - 1u);
}

// A chunk of a row; only a partial last chunk is a masked load (streaming
// rows from memory through masked loads is several times slower here).
KESTRIX_AVX512 __m512i load_chunk(const std::uint64_t* row, std::size_t c, std::size_t words) noexcept {
    return c + 1 < chunks(words) || words % LANES == 0 ? _mm512_loadu_si512(row + LANES * c)
                                                       : _mm512_maskz_loadu_epi64(tail_lanes(words), row + LANES * c);
}

// Lane r of the result: the sum of the lanes of rows[r].
KESTRIX_AVX512 __m512i sum_lanes_of_eight(const __m512i (&rows)[GROUP]) noexcept {
    __m512i pairs[GROUP / 2];
    for (std::size_t i = 0; i < GROUP / 2; ++i) {
        // 128-bit lane k: the sums of lanes 2k, 2k + 1 of rows 2i and 2i + 1.
        pairs[i] = _mm512_add_epi64(_mm512_unpacklo_epi64(rows[2 * i], rows[2 * i + 1]),
                                    _mm512_unpackhi_epi64(rows[2 * i], rows[2 * i + 1]));
    }
    __m512i quads[2];
    for (std::size_t i = 0; i < 2; ++i) {
        // 128-bit lanes: rows (4i, 4i + 1) twice, then (4i + 2, 4i + 3) twice.
        quads[i] = _mm512_add_epi64(_mm512_shuffle_i64x2(pairs[2 * i], pairs[2 * i + 1], _MM_SHUFFLE(2, 0, 2, 0)),
                                    _mm512_shuffle_i64x2(pairs[2 * i], pairs[2 * i + 1], _MM_SHUFFLE(3, 1, 3, 1)));
    }
    return _mm512_add_epi64(_mm512_shuffle_i64x2(quads[0], quads[1], _MM_SHUFFLE(2, 0, 2, 0)),
                            _mm512_shuffle_i64x2(quads[0], quads[1], _MM_SHUFFLE(3, 1, 3, 1)));
}

// The offer mask of a block: the vector rule for a whole block, the scalar
// one for a shorter one. Distances are u16 (Hamming) or u32 (asymmetric).
template <class Distance>
KESTRIX_AVX512 std::uint64_t offer_mask(const std::uint32_t* ids, const Distance* distances, std::size_t count,
                                        std::uint32_t bound) noexcept {
    if (count != SCAN_BLOCK) return scalar::offer_bits(ids, distances, 0, count, bound);
    std::uint64_t below = 0;
    if constexpr (sizeof(Distance) == 2) {
        // Hamming distances are at most 4096: a bound beyond u16 admits as
        // many as 0xFFFF does.
        const __m512i limit = _mm512_set1_epi16(static_cast<short>(bound < 0xFFFF ? bound : 0xFFFF));
        below = static_cast<std::uint64_t>(_mm512_cmplt_epu16_mask(_mm512_loadu_si512(distances), limit)) |
                static_cast<std::uint64_t>(_mm512_cmplt_epu16_mask(_mm512_loadu_si512(distances + 32), limit)) << 32;
    } else {
        const __m512i limit = _mm512_set1_epi32(static_cast<int>(bound));
        for (int g = 0; g < 4; ++g) {
            below |= static_cast<std::uint64_t>(_mm512_cmplt_epu32_mask(_mm512_loadu_si512(distances + 16 * g), limit))
                     << (16 * g);
        }
    }
    const __m512i tombstone = _mm512_set1_epi32(static_cast<int>(TOMBSTONE_BIT));
    std::uint64_t live = 0;
    for (int g = 0; g < 4; ++g) {
        const __m512i words = _mm512_loadu_si512(ids + 16 * g);
        live |= static_cast<std::uint64_t>(_mm512_testn_epi32_mask(words, tombstone)) << (16 * g);
    }
    return below & live;
}

// ---------------------------------------------------------------- Hamming, any width

template <std::size_t W>
struct HammingQuery {
    std::size_t words;
    __m512i chunk[chunks(W != 0 ? W : MAX_CODE_WORDS)];
};

template <std::size_t W>
KESTRIX_AVX512 HammingQuery<W> hamming_query(const std::uint64_t* query, std::size_t words) noexcept {
    HammingQuery<W> q;
    q.words = width<W>(words);
    for (std::size_t c = 0; c < chunks(q.words); ++c) q.chunk[c] = load_chunk(query, c, q.words);
    return q;
}

// Lane counts of one row against the query.
template <std::size_t W>
KESTRIX_AVX512 __m512i hamming_lanes(const HammingQuery<W>& q, const std::uint64_t* row) noexcept {
    __m512i sum = _mm512_setzero_si512();
    for (std::size_t c = 0; c < chunks(q.words); ++c) {
        sum = _mm512_add_epi64(sum, _mm512_popcnt_epi64(_mm512_xor_si512(load_chunk(row, c, q.words), q.chunk[c])));
    }
    return sum;
}

// Distances of up to eight rows (rows[r] for r < live; the others read as 0).
template <std::size_t W>
KESTRIX_AVX512 __m512i hamming_group(const HammingQuery<W>& q, const std::uint64_t* const (&rows)[GROUP],
                                     std::size_t live) noexcept {
    __m512i lanes[GROUP];
    for (std::size_t r = 0; r < GROUP; ++r) lanes[r] = r < live ? hamming_lanes(q, rows[r]) : _mm512_setzero_si512();
    return sum_lanes_of_eight(lanes);
}

// ---------------------------------------------------------------- Hamming, six words

struct SixWordPattern {
    // 64-bit lane j of load z of a group of eight rows holds lane (8z + j) % 6
    // of its row; the pattern repeats every three loads.
    __m512i lanes[3];
};

KESTRIX_AVX512 SixWordPattern six_word_pattern(const std::uint64_t* query) noexcept {
    const __m512i q = _mm512_maskz_loadu_epi64(0x3F, query);
    return {{_mm512_permutexvar_epi64(_mm512_setr_epi64(0, 1, 2, 3, 4, 5, 0, 1), q),
             _mm512_permutexvar_epi64(_mm512_setr_epi64(2, 3, 4, 5, 0, 1, 2, 3), q),
             _mm512_permutexvar_epi64(_mm512_setr_epi64(4, 5, 0, 1, 2, 3, 4, 5), q)}};
}

struct ByteIndex {
    alignas(64) unsigned char bytes[64];
};

// Byte z of 64-bit lane j of the packed counts is the count of lane 8z + j of
// the group, which is lane (8z + j) % 6 of row (8z + j) / 6. This index moves
// lane p of row r to byte 8r + p.
constexpr ByteIndex make_stream_index() noexcept {
    ByteIndex index{};
    for (int r = 0; r < 8; ++r) {
        for (int p = 0; p < 6; ++p) {
            const int lane = 6 * r + p;
            index.bytes[8 * r + p] = static_cast<unsigned char>(8 * (lane % 8) + lane / 8);
        }
    }
    return index;
}
constexpr ByteIndex STREAM_INDEX = make_stream_index();

// Byte 8p + r of the packed counts is lane p of row r; this index moves it to
// byte 8r + p (bytes 6 and 7 of every row lane are masked off).
constexpr ByteIndex make_transpose_index() noexcept {
    ByteIndex index{};
    for (int r = 0; r < 8; ++r) {
        for (int p = 0; p < 8; ++p) index.bytes[8 * r + p] = static_cast<unsigned char>(8 * p + r);
    }
    return index;
}
constexpr ByteIndex TRANSPOSE_INDEX = make_transpose_index();

constexpr __mmask64 SIX_BYTES_A_LANE = 0x3F3F3F3F3F3F3F3Full;

// Distances of eight consecutive six-word rows starting at `p`, one per lane.
KESTRIX_AVX512 __m512i six_word_stream(const std::uint64_t* p, const SixWordPattern& pattern, __m512i index) noexcept {
    __m512i packed = _mm512_setzero_si512();
    for (int z = 0; z < 6; ++z) {
        const __m512i v = _mm512_xor_si512(_mm512_loadu_si512(p + LANES * z), pattern.lanes[z % 3]);
        // Counts are at most 64: each fits the byte it is shifted into.
        packed = _mm512_or_si512(packed, _mm512_slli_epi64(_mm512_popcnt_epi64(v), 8 * z));
    }
    const __m512i rows = _mm512_maskz_permutexvar_epi8(SIX_BYTES_A_LANE, index, packed);
    return _mm512_sad_epu8(rows, _mm512_setzero_si512());
}

// Distances of up to eight six-word rows picked by slot, one per lane; lanes
// from `live` on hold the distance of the query to itself (0).
KESTRIX_AVX512 __m512i six_word_group(__m512i q, const std::uint64_t* query, const std::uint64_t* rows,
                                      const std::uint32_t* slots, std::size_t live, __m512i index) noexcept {
    __m512i packed = _mm512_setzero_si512();
    for (std::size_t r = 0; r < GROUP; ++r) {
        const std::uint64_t* row = r < live ? rows + SIX * slots[r] : query;
        const __m512i v = _mm512_maskz_loadu_epi64(0x3F, row);
        // Counts are at most 64: each fits the byte it is shifted into.
        const __m512i counts = _mm512_popcnt_epi64(_mm512_xor_si512(v, q));
        packed = _mm512_or_si512(packed, _mm512_slli_epi64(counts, static_cast<unsigned>(8 * r)));
    }
    const __m512i by_row = _mm512_maskz_permutexvar_epi8(SIX_BYTES_A_LANE, index, packed);
    return _mm512_sad_epu8(by_row, _mm512_setzero_si512());
}

// ---------------------------------------------------------------- asymmetric, any width

// Each lane sums, for one word of the code, popcount(code) in bits 0-15 and
// sum_p popcount(plane_p & code) << p from bit 16 on. A row's sums fit (at
// most 4096 ones; the weighted sum below 2^21), so one lane carries both.
constexpr int WEIGHTED_SHIFT = 16;

template <std::size_t W, unsigned B>
KESTRIX_AVX512 __m512i asymmetric_lanes(const AsymmetricQuery& q, const std::uint64_t* row) noexcept {
    const std::size_t n = width<W>(q.words);
    const unsigned bits = scalar::query_bits<B>(q.bits);
    __m512i sum = _mm512_setzero_si512();
    for (std::size_t c = 0; c < chunks(n); ++c) {
        const __m512i x = load_chunk(row, c, n);
        __m512i lanes = _mm512_popcnt_epi64(x);
        for (unsigned p = 0; p < bits; ++p) {
            const __m512i plane = load_chunk(q.planes.data() + p * n, c, n);
            lanes = _mm512_add_epi64(
                lanes, _mm512_slli_epi64(_mm512_popcnt_epi64(_mm512_and_si512(x, plane)), WEIGHTED_SHIFT + p));
        }
        sum = _mm512_add_epi64(sum, lanes);
    }
    return sum;
}

// Distances from the summed lanes, one per 64-bit lane, in the low 32 bits.
KESTRIX_AVX512 __m512i asymmetric_from_lanes(const AsymmetricQuery& q, __m512i sums) noexcept {
    const __m512i ones = _mm512_and_si512(sums, _mm512_set1_epi64(0xFFFF));
    const __m512i weighted = _mm512_srli_epi64(sums, WEIGHTED_SHIFT);
    const __m512i code_weight = _mm512_set1_epi32(static_cast<int>(0u - static_cast<std::uint32_t>(q.offset)));
    const __m512i base = _mm512_set1_epi32(static_cast<int>(q.positive));
    return _mm512_sub_epi32(_mm512_add_epi32(base, _mm512_mullo_epi32(ones, code_weight)),
                            _mm512_slli_epi32(weighted, 1));
}

// ---------------------------------------------------------------- asymmetric, six words

// Eight consecutive six-word rows are six loads, as for Hamming; lane j of
// load z is word (8z + j) % 6 of its row, so each plane has the three query
// patterns of six_word_pattern. Pairs of lanes never straddle two rows (rows
// start at even lanes): the loads' lanes are summed in pairs, and three
// permutes gather the three pairs of each row into lane r of three
// registers.
struct PairIndex {
    alignas(64) std::int64_t first_two[3][8];  // into (pairs of loads 0-1, pairs of loads 2-3)
    alignas(64) std::int64_t last[3][8];       // into pairs of loads 4-5
    __mmask8 from_last[3];
};

// Pair p (of 24: lanes 2p, 2p + 1 of the stream) lies, after the pair sums of
// loads (2s, 2s + 1), in register s at lane 2 (p % 4) + (p / 4) % 2.
constexpr PairIndex make_pair_index() noexcept {
    PairIndex index{};
    for (int t = 0; t < 3; ++t) {
        for (int r = 0; r < 8; ++r) {
            const int pair = 3 * r + t, source = pair / 8, lane = 2 * (pair % 4) + (pair / 4) % 2;
            if (source == 2) {
                index.last[t][r] = lane;
                index.from_last[t] = static_cast<__mmask8>(index.from_last[t] | (1u << r));
            } else {
                index.first_two[t][r] = 8 * source + lane;
            }
        }
    }
    return index;
}
constexpr PairIndex PAIR_INDEX = make_pair_index();

// Lane u: the sums (as asymmetric_lanes makes them) of lanes 6u .. 6u + 5 of
// the 48 lanes from `rows` on: eight six-word rows, or four twelve-word rows'
// halves.
template <unsigned B>
KESTRIX_AVX512 __m512i asymmetric_six_lane_sums(const AsymmetricQuery& q, const std::uint64_t* rows,
                                                const __m512i (&planes)[MAX_QUERY_BITS][3]) noexcept {
    const unsigned bits = scalar::query_bits<B>(q.bits);
    __m512i pairs[3];
    for (int s = 0; s < 3; ++s) {
        __m512i lanes[2];
        for (int h = 0; h < 2; ++h) {
            const int z = 2 * s + h;
            const __m512i x = _mm512_loadu_si512(rows + LANES * z);
            lanes[h] = _mm512_popcnt_epi64(x);
            for (unsigned p = 0; p < bits; ++p) {
                const __m512i counts = _mm512_popcnt_epi64(_mm512_and_si512(x, planes[p][z % 3]));
                lanes[h] = _mm512_add_epi64(lanes[h], _mm512_slli_epi64(counts, WEIGHTED_SHIFT + p));
            }
        }
        pairs[s] =
            _mm512_add_epi64(_mm512_unpacklo_epi64(lanes[0], lanes[1]), _mm512_unpackhi_epi64(lanes[0], lanes[1]));
    }
    __m512i sums = _mm512_setzero_si512();
    for (int t = 0; t < 3; ++t) {
        const __m512i two = _mm512_permutex2var_epi64(pairs[0], _mm512_load_si512(PAIR_INDEX.first_two[t]), pairs[1]);
        sums = _mm512_add_epi64(sums, _mm512_mask_permutexvar_epi64(two, PAIR_INDEX.from_last[t],
                                                                    _mm512_load_si512(PAIR_INDEX.last[t]), pairs[2]));
    }
    return sums;
}

// The planes as the loads of a stream of W-word rows see them (W is 6 or 12):
// lane j of load z is word (8z + j) % W, so three loads make the pattern.
// Made with permutes of the plane's own loads, once per block of rows.
template <std::size_t W>
KESTRIX_AVX512 void stream_planes(const AsymmetricQuery& q, unsigned bits,
                                  __m512i (&planes)[MAX_QUERY_BITS][3]) noexcept {
    for (unsigned p = 0; p < bits; ++p) {
        if constexpr (W == SIX) {
            const SixWordPattern pattern = six_word_pattern(q.plane(p));
            for (int k = 0; k < 3; ++k) planes[p][k] = pattern.lanes[k];
        } else {
            const __m512i head = _mm512_loadu_si512(q.plane(p));                  // words 0-7
            const __m512i tail = _mm512_maskz_loadu_epi64(0x0F, q.plane(p) + 8);  // words 8-11
            planes[p][0] = head;
            planes[p][1] = _mm512_permutex2var_epi64(head, _mm512_setr_epi64(8, 9, 10, 11, 0, 1, 2, 3), tail);
            planes[p][2] = _mm512_loadu_si512(q.plane(p) + 4);  // words 4-11
        }
    }
}

// Distances of eight consecutive rows of six or twelve words.
template <std::size_t W, unsigned B>
KESTRIX_AVX512 __m256i asymmetric_stream(const AsymmetricQuery& q, const std::uint64_t* rows,
                                         const __m512i (&planes)[MAX_QUERY_BITS][3]) noexcept {
    __m512i sums = asymmetric_six_lane_sums<B>(q, rows, planes);
    if constexpr (W == 2 * SIX) {
        // Rows are pairs of halves: four rows' halves a call.
        const __m512i later = asymmetric_six_lane_sums<B>(q, rows + 4 * W, planes);
        const __m512i even = _mm512_setr_epi64(0, 2, 4, 6, 8, 10, 12, 14);
        const __m512i odd = _mm512_setr_epi64(1, 3, 5, 7, 9, 11, 13, 15);
        sums =
            _mm512_add_epi64(_mm512_permutex2var_epi64(sums, even, later), _mm512_permutex2var_epi64(sums, odd, later));
    }
    return _mm512_cvtepi64_epi32(asymmetric_from_lanes(q, sums));
}

template <std::size_t W, unsigned B>
KESTRIX_AVX512 __m256i asymmetric_group(const AsymmetricQuery& q, const std::uint64_t* const (&rows)[GROUP],
                                        std::size_t live) noexcept {
    __m512i lanes[GROUP];
    for (std::size_t r = 0; r < GROUP; ++r) {
        lanes[r] = r < live ? asymmetric_lanes<W, B>(q, rows[r]) : _mm512_setzero_si512();
    }
    return _mm512_cvtepi64_epi32(asymmetric_from_lanes(q, sum_lanes_of_eight(lanes)));
}

// ---------------------------------------------------------------- the set

struct Avx512 {
    template <std::size_t W>
    KESTRIX_AVX512_ENTRY std::uint64_t scan_block(const std::uint64_t* query, const std::uint64_t* rows,
                                                  std::size_t words, const std::uint32_t* ids, std::size_t count,
                                                  std::uint32_t bound, std::uint16_t* distances) noexcept {
        std::size_t i = 0;
        const std::size_t n = width<W>(words);
        if constexpr (W == SIX) {
            const SixWordPattern pattern = six_word_pattern(query);
            const __m512i index = _mm512_load_si512(STREAM_INDEX.bytes);
            for (; i + GROUP <= count; i += GROUP) {
                const __m512i d = six_word_stream(rows + i * SIX, pattern, index);
                _mm_storeu_si128(reinterpret_cast<__m128i*>(distances + i), _mm512_cvtepi64_epi16(d));
            }
        } else {
            const HammingQuery<W> q = hamming_query<W>(query, n);
            for (; i + GROUP <= count; i += GROUP) {
                const std::uint64_t* group[GROUP];
                for (std::size_t r = 0; r < GROUP; ++r) group[r] = rows + (i + r) * n;
                const __m512i d = hamming_group(q, group, GROUP);
                _mm_storeu_si128(reinterpret_cast<__m128i*>(distances + i), _mm512_cvtepi64_epi16(d));
            }
        }
        const scalar::HammingQuery<W> q(query, n);
        for (; i < count; ++i) distances[i] = static_cast<std::uint16_t>(q.distance(rows + i * n));
        return offer_mask(ids, distances, count, bound);
    }

    // The distances of a gather, group by group: each group's distances (one
    // per lane) go to `take`, which returns true to stop.
    template <std::size_t W, class Take>
    KESTRIX_AVX512 void gather_groups(const std::uint64_t* query, const std::uint64_t* rows, std::size_t words,
                                      const std::uint32_t* slots, std::size_t count, Take take) noexcept {
        if constexpr (W == SIX) {
            const __m512i q = _mm512_maskz_loadu_epi64(0x3F, query);
            const __m512i index = _mm512_load_si512(TRANSPOSE_INDEX.bytes);
            for (std::size_t i = 0; i < count; i += GROUP) {
                const std::size_t live = count - i < GROUP ? count - i : GROUP;
                if (take(i, live, six_word_group(q, query, rows, slots + i, live, index))) return;
            }
        } else {
            const std::size_t n = width<W>(words);
            const HammingQuery<W> q = hamming_query<W>(query, n);
            for (std::size_t i = 0; i < count; i += GROUP) {
                const std::size_t live = count - i < GROUP ? count - i : GROUP;
                const std::uint64_t* group[GROUP];
                for (std::size_t r = 0; r < GROUP; ++r)
                    group[r] = rows + std::size_t{slots[i + (r < live ? r : 0)]} * n;
                if (take(i, live, hamming_group(q, group, live))) return;
            }
        }
    }

    template <std::size_t W>
    KESTRIX_AVX512_ENTRY void gather(const std::uint64_t* query, const std::uint64_t* rows, std::size_t words,
                                     const std::uint32_t* slots, std::size_t count, std::uint32_t* out) noexcept {
        gather_groups<W>(query, rows, words, slots, count,
                         [out](std::size_t i, std::size_t, __m512i d) KESTRIX_AVX512_LAMBDA {
                             _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), _mm512_cvtepi64_epi32(d));
                             return false;
                         });
    }

    template <std::size_t W>
    KESTRIX_AVX512_ENTRY bool any_within(const std::uint64_t* query, const std::uint64_t* rows, std::size_t words,
                                         const std::uint32_t* slots, std::size_t count, std::uint32_t bound) noexcept {
        const __m512i limit = _mm512_set1_epi64(static_cast<long long>(bound));
        bool found = false;
        gather_groups<W>(query, rows, words, slots, count,
                         [&](std::size_t, std::size_t live, __m512i d) KESTRIX_AVX512_LAMBDA {
                             const auto lanes = static_cast<__mmask8>((1u << live) - 1u);
                             found = _mm512_mask_cmple_epu64_mask(lanes, d, limit) != 0;
                             return found;
                         });
        return found;
    }

    template <std::size_t W, unsigned B>
    KESTRIX_AVX512_ENTRY std::uint64_t asymmetric_scan_block(const AsymmetricQuery& query, const std::uint64_t* rows,
                                                             const std::uint32_t* ids, std::size_t count,
                                                             std::uint32_t bound, std::uint32_t* distances) noexcept {
        const std::size_t n = width<W>(query.words);
        std::size_t i = 0;
        if constexpr (W == SIX || W == 2 * SIX) {
            __m512i planes[MAX_QUERY_BITS][3];
            stream_planes<W>(query, scalar::query_bits<B>(query.bits), planes);
            for (; i + GROUP <= count; i += GROUP) {
                _mm256_storeu_si256(reinterpret_cast<__m256i*>(distances + i),
                                    asymmetric_stream<W, B>(query, rows + i * W, planes));
            }
        } else {
            for (; i + GROUP <= count; i += GROUP) {
                const std::uint64_t* group[GROUP];
                for (std::size_t r = 0; r < GROUP; ++r) group[r] = rows + (i + r) * n;
                _mm256_storeu_si256(reinterpret_cast<__m256i*>(distances + i),
                                    asymmetric_group<W, B>(query, group, GROUP));
            }
        }
        for (; i < count; ++i) distances[i] = scalar::asymmetric_row<W, B>(query, rows + i * n);
        return offer_mask(ids, distances, count, bound);
    }

    template <std::size_t W, unsigned B>
    KESTRIX_AVX512_ENTRY void asymmetric_gather(const AsymmetricQuery& query, const std::uint64_t* rows,
                                                const std::uint32_t* slots, std::size_t count,
                                                std::uint32_t* out) noexcept {
        const std::size_t n = width<W>(query.words);
        scalar::ask_for_rows(rows, n, slots, 0, count);
        for (std::size_t i = 0; i < count; i += GROUP) {
            const std::size_t live = count - i < GROUP ? count - i : GROUP;
            scalar::ask_for_rows(rows, n, slots, i + GROUP, count);
            const std::uint64_t* group[GROUP];
            for (std::size_t r = 0; r < GROUP; ++r) group[r] = rows + std::size_t{slots[i + (r < live ? r : 0)]} * n;
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), asymmetric_group<W, B>(query, group, live));
        }
    }

    template <std::size_t W>
    static constexpr HammingFns hamming() noexcept {
        return {scan_block<W>, gather<W>, any_within<W>, x86::Popcnt::hamming<W>().distance};
    }
    template <std::size_t W, unsigned B>
    static constexpr AsymmetricFns asymmetric() noexcept {
        return {asymmetric_scan_block<W, B>, asymmetric_gather<W, B>, x86::Popcnt::asymmetric<W, B>().distance};
    }
};

}  // namespace

constinit const InstructionSetKernels AVX512_CODE_KERNELS = instruction_set_kernels<Avx512>("avx512");

}  // namespace kestrix::kernels

#undef KESTRIX_AVX512_LAMBDA
#undef KESTRIX_AVX512_ENTRY
#undef KESTRIX_AVX512
#undef KESTRIX_AVX512_TARGET

#endif
