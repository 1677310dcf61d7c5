// NEON (Advanced SIMD, part of every AArch64 CPU): two words a step, CNT
// counting the bits of each byte. Byte counts add up pairwise into 16-bit
// lanes (UADALP) and each row ends with one horizontal sum. For asymmetric
// distances the planes' counts are weighted (shifted) in 16-bit lanes and
// gathered into 32-bit ones, so no width or query bits can overflow a lane.
#if defined(__aarch64__)

#include <arm_neon.h>

#include "scalar.hpp"
#include "tables.hpp"

namespace kestrix::kernels {

namespace {

using scalar::width;

// Two words of a code from `at`, of which `words` (1 or 2) belong to it.
inline uint64x2_t load_pair(const std::uint64_t* at, std::size_t words) noexcept {
    const uint64x1_t first = vcreate_u64(load_word(at));
    return vcombine_u64(first, vcreate_u64(words > 1 ? load_word(at + 1) : 0));
}

inline uint8x16_t byte_counts(uint64x2_t v) noexcept { return vcntq_u8(vreinterpretq_u8_u64(v)); }

template <std::size_t W>
inline std::uint32_t hamming_row(const std::uint64_t* query, const std::uint64_t* row, std::size_t n) noexcept {
    uint16x8_t sum = vdupq_n_u16(0);
    for (std::size_t w = 0; w < n; w += 2) {
        const std::size_t words = n - w < 2 ? n - w : 2;
        sum = vpadalq_u8(sum, byte_counts(veorq_u64(load_pair(query + w, words), load_pair(row + w, words))));
    }
    return vaddvq_u16(sum);
}

template <std::size_t W, unsigned B>
inline std::uint32_t asymmetric_row(const AsymmetricQuery& q, const std::uint64_t* row) noexcept {
    const std::size_t n = width<W>(q.words);
    const unsigned bits = scalar::query_bits<B>(q.bits);
    uint16x8_t ones = vdupq_n_u16(0);
    uint32x4_t weighted = vdupq_n_u32(0);
    for (std::size_t w = 0; w < n; w += 2) {
        const std::size_t words = n - w < 2 ? n - w : 2;
        const uint64x2_t x = load_pair(row + w, words);
        ones = vpadalq_u8(ones, byte_counts(x));
        uint16x8_t step = vdupq_n_u16(0);
        for (unsigned p = 0; p < bits; ++p) {
            const uint16x8_t counts = vpaddlq_u8(byte_counts(vandq_u64(x, load_pair(q.plane(p) + w, words))));
            step = vaddq_u16(step, vshlq_u16(counts, vdupq_n_s16(static_cast<std::int16_t>(p))));
        }
        // At most 16 x 255 a lane: the 32-bit lanes take any row.
        weighted = vpadalq_u16(weighted, step);
    }
    return scalar::asymmetric_from_sums(q, vaddvq_u16(ones), vaddvq_u32(weighted));
}

struct Neon : scalar::EntryTables<Neon> {
    template <std::size_t W>
    static std::uint64_t scan_block(const std::uint64_t* query, const std::uint64_t* rows, std::size_t words,
                                    const std::uint32_t* ids, std::size_t count, std::uint32_t bound,
                                    std::uint16_t* distances) noexcept {
        const std::size_t n = width<W>(words);
        for (std::size_t i = 0; i < count; ++i) {
            distances[i] = static_cast<std::uint16_t>(hamming_row<W>(query, rows + i * n, n));
        }
        return scalar::offer_bits(ids, distances, 0, count, bound);
    }
    template <std::size_t W>
    static void gather(const std::uint64_t* query, const std::uint64_t* rows, std::size_t words,
                       const std::uint32_t* slots, std::size_t count, std::uint32_t* out) noexcept {
        const std::size_t n = width<W>(words);
        for (std::size_t i = 0; i < count; ++i) out[i] = hamming_row<W>(query, rows + std::size_t{slots[i]} * n, n);
    }
    template <std::size_t W>
    static bool any_within(const std::uint64_t* query, const std::uint64_t* rows, std::size_t words,
                           const std::uint32_t* slots, std::size_t count, std::uint32_t bound) noexcept {
        const std::size_t n = width<W>(words);
        for (std::size_t i = 0; i < count; ++i) {
            if (hamming_row<W>(query, rows + std::size_t{slots[i]} * n, n) <= bound) return true;
        }
        return false;
    }
    template <std::size_t W>
    static std::uint32_t distance(const std::uint64_t* a, const std::uint64_t* b, std::size_t words) noexcept {
        return hamming_row<W>(a, b, width<W>(words));
    }
    template <std::size_t W, unsigned B>
    static std::uint64_t asymmetric_scan_block(const AsymmetricQuery& query, const std::uint64_t* rows,
                                               const std::uint32_t* ids, std::size_t count, std::uint32_t bound,
                                               std::uint32_t* distances) noexcept {
        const std::size_t n = width<W>(query.words);
        for (std::size_t i = 0; i < count; ++i) distances[i] = asymmetric_row<W, B>(query, rows + i * n);
        return scalar::offer_bits(ids, distances, 0, count, bound);
    }
    template <std::size_t W, unsigned B>
    static void asymmetric_gather(const AsymmetricQuery& query, const std::uint64_t* rows, const std::uint32_t* slots,
                                  std::size_t count, std::uint32_t* out) noexcept {
        const std::size_t n = width<W>(query.words);
        for (std::size_t i = 0; i < count; ++i) out[i] = asymmetric_row<W, B>(query, rows + std::size_t{slots[i]} * n);
    }
    template <std::size_t W, unsigned B>
    static std::uint32_t asymmetric_distance(const AsymmetricQuery& query, const std::uint64_t* row) noexcept {
        return asymmetric_row<W, B>(query, row);
    }
};

}  // namespace

constinit const InstructionSetKernels NEON_CODE_KERNELS = instruction_set_kernels<Neon>("neon");

}  // namespace kestrix::kernels

#endif
