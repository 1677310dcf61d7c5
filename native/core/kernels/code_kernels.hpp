// The measuring kernels for codes of any width, and the one choice among them.
//
// A code of a `dim`-dimensional vector (1 <= dim <= MAX_CODE_DIMENSION) is its
// signs packed into code_words(dim) little-endian 64-bit words: bit c of the
// code is bit c % 64 of word c / 64, and the bits of the last word beyond dim
// are zero in codes and queries alike, so they never count. Rows of a store
// lie `words` words apart. For 384 dimensions these are exactly the bytes of a
// QuantizedVector.
//
// Two measures:
// - Hamming: the number of differing bits (0..dim).
// - Asymmetric: a query kept at a few bits per component (AsymmetricQuery)
//   against the codes' sign vectors (+1 where a bit is set, -1 where clear).
//   With integer query components q_c, the distance to a code x is
//
//       d(q, x) = sum of |q_c| over the components whose sign the code gets
//                 wrong (q_c > 0 and bit clear, or q_c < 0 and bit set)
//               = (sum_c |q_c| - sum_c q_c * s_c) / 2,   s_c = +1 / -1,
//
//   an exact non-negative integer, smaller where the inner product of the
//   query with the sign vector is larger; with every q_c = +-1 it is the
//   Hamming distance. The kernels compute it from b bit-planes of the
//   query's levels u_c (q_c = 2 u_c + offset, u_c < 2^b) as
//
//       d = positive + (-offset) * popcount(x) - 2 * sum_p 2^p popcount(plane_p & x)
//
//   where `positive` is the sum of the positive q_c: about b + 1 times the
//   arithmetic of a Hamming distance on the same bytes.
//
// Each instruction set has one file with its kernels, written once for any
// width and compiled again for the common widths (SPECIALISED_WIDTHS), where
// loops unroll and masks become constants. Every kernel gives exactly the
// numbers of the portable one, which the tests hold the others to. The CPU is
// looked at once per process (kernel_set.cpp) and code_kernels(words) hands
// out the widest set this CPU runs at that width.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <expected>
#include <span>

namespace kestrix::kernels {

inline constexpr std::size_t WORD_BITS = 64;
inline constexpr std::size_t MAX_CODE_DIMENSION = 4096;
inline constexpr std::size_t MAX_CODE_WORDS = MAX_CODE_DIMENSION / WORD_BITS;  // 64

constexpr std::size_t code_words(std::size_t dim) noexcept { return (dim + WORD_BITS - 1) / WORD_BITS; }

// A Hamming bound that admits every distance of a `dim`-dimensional code
// (they are 0..dim; u16 holds them all).
constexpr std::uint32_t admit_all(std::size_t dim) noexcept { return static_cast<std::uint32_t>(dim) + 1; }

// The widths compiled on their own, in words: 384, 512, 768, 1024, 1536 and
// 3072 dimensions. Every other width runs the generic loop.
inline constexpr std::array<std::size_t, 6> SPECIALISED_WIDTHS{6, 8, 12, 16, 24, 48};

// A word of a code. Rows may live in storage of another word type (the
// 32-bit words of a QuantizedVector), so words are read as bytes.
inline std::uint64_t load_word(const std::uint64_t* p) noexcept {
    std::uint64_t w;
    std::memcpy(&w, p, sizeof w);
    return w;
}

// ---------------------------------------------------------------- the query

inline constexpr unsigned MAX_QUERY_BITS = 8;
// The width the kernels are compiled for on their own; any other runs the
// generic loop over the planes.
inline constexpr unsigned SPECIALISED_QUERY_BITS = 4;

// A query for asymmetric distances: its integer components q_c = 2 u_c +
// offset, the levels u_c (0 <= u_c < 2^bits) as `bits` planes of `words`
// words (plane p, word w holds bit p of the levels of components 64w..64w+63
// at planes[p * words + w]; bits of components >= dim are zero).
struct AsymmetricQuery {
    std::size_t dim = 0;
    std::size_t words = 0;
    unsigned bits = 0;
    std::int32_t offset = 0;
    std::uint32_t positive = 0;      // sum of the positive q_c
    std::uint32_t max_distance = 0;  // sum of |q_c|: no distance exceeds it
    float scale = 0.0f;              // component c is about scale * q_c
    alignas(64) std::array<std::uint64_t, MAX_QUERY_BITS * MAX_CODE_WORDS> planes{};

    const std::uint64_t* plane(unsigned p) const noexcept { return planes.data() + p * words; }
};

// A bound that admits every asymmetric distance.
inline constexpr std::uint32_t ASYMMETRIC_ADMIT_ALL = 0xFFFFFFFFu;

// A rounding rule: writes the level (0 <= level < 2^bits) of each of the
// values (finite, at least one) and returns the offset and scale that make
// 2 * level + offset the integer component and scale * (2 * level + offset)
// its approximation. |offset| <= 2^(bits + 1) keeps every distance in range.
struct QueryLevels {
    std::int32_t offset = 0;
    float scale = 0.0f;
};
using RoundingRule = QueryLevels (*)(std::span<const float> values, unsigned bits, std::uint8_t* levels) noexcept;

// Round to nearest on the symmetric grid of 2^bits odd integers
// -(2^bits - 1), ..., -1, +1, ..., 2^bits - 1 scaled to the query's largest
// magnitude m: level = round((x / m + 1) * (2^bits - 1) / 2), halves up.
// With bits = 1 the components are the query's signs (0 counts as +), so the
// distance is the Hamming distance to the query's code. The zero query gets
// q = 0 everywhere: every code is at distance 0.
QueryLevels round_to_nearest(std::span<const float> values, unsigned bits, std::uint8_t* levels) noexcept;

enum class QueryError : std::uint8_t { BadDimension, BadBits, NotFinite, BadRounding };

// The asymmetric query of `values` (its length is the dimension, 1..4096):
// refuses a dimension out of range, bits outside 1..8, a non-finite component
// and a rule whose levels or offset leave the ranges above.
std::expected<AsymmetricQuery, QueryError> prepare_asymmetric_query(std::span<const float> values, unsigned bits,
                                                                    RoundingRule rule = round_to_nearest) noexcept;

// The distance above computed from the integer components one by one, for
// tests and for callers that have no table at hand.
std::uint32_t asymmetric_distance_reference(const AsymmetricQuery& query, const std::uint64_t* code) noexcept;

// ---------------------------------------------------------------- the kernels
//
// Over `words`-word rows (kernel_set.hpp says what the scan and the graph
// ask of them):
// - scan block: distances of rows[0..count) (1 <= count <= 64, rows
//   contiguous) into distances[], and the mask whose bit i is set exactly when
//   ids[i] has no tombstone bit and distances[i] < bound;
// - gather: out[i] = distance to the row at slot slots[i], i < count; `out`
//   has room for gather_room(count) entries (the wide kernels write whole
//   groups);
// - any within: whether some gathered distance is <= bound;
// - distance: one pair.
// A specialised row must be called with its own width.

using HammingScanBlockFn = std::uint64_t (*)(const std::uint64_t* query, const std::uint64_t* rows, std::size_t words,
                                             const std::uint32_t* ids, std::size_t count, std::uint32_t bound,
                                             std::uint16_t* distances) noexcept;
using HammingGatherFn = void (*)(const std::uint64_t* query, const std::uint64_t* rows, std::size_t words,
                                 const std::uint32_t* slots, std::size_t count, std::uint32_t* out) noexcept;
using HammingAnyWithinFn = bool (*)(const std::uint64_t* query, const std::uint64_t* rows, std::size_t words,
                                    const std::uint32_t* slots, std::size_t count, std::uint32_t bound) noexcept;
using HammingDistanceFn = std::uint32_t (*)(const std::uint64_t* a, const std::uint64_t* b, std::size_t words) noexcept;

// The asymmetric kernels read the width and the bits from the query.
using AsymmetricScanBlockFn = std::uint64_t (*)(const AsymmetricQuery& query, const std::uint64_t* rows,
                                                const std::uint32_t* ids, std::size_t count, std::uint32_t bound,
                                                std::uint32_t* distances) noexcept;
using AsymmetricGatherFn = void (*)(const AsymmetricQuery& query, const std::uint64_t* rows, const std::uint32_t* slots,
                                    std::size_t count, std::uint32_t* out) noexcept;
using AsymmetricDistanceFn = std::uint32_t (*)(const AsymmetricQuery& query, const std::uint64_t* row) noexcept;

struct HammingFns {
    HammingScanBlockFn scan_block = nullptr;
    HammingGatherFn gather = nullptr;
    HammingAnyWithinFn any_within = nullptr;
    HammingDistanceFn distance = nullptr;
};

struct AsymmetricFns {
    AsymmetricScanBlockFn scan_block = nullptr;
    AsymmetricGatherFn gather = nullptr;
    AsymmetricDistanceFn distance = nullptr;
};

// Everything one instruction set compiled for one width (or for any).
struct WidthFns {
    HammingFns hamming;
    AsymmetricFns asymmetric_4bit;  // queries of SPECIALISED_QUERY_BITS bits
    AsymmetricFns asymmetric;       // queries of any bits
};

// One instruction set's kernels: the generic loop and the specialisations,
// one per entry of SPECIALISED_WIDTHS.
struct InstructionSetKernels {
    const char* name;
    WidthFns generic;
    std::array<WidthFns, SPECIALISED_WIDTHS.size()> specialised;
};

// A row of the table: one instruction set at one width.
struct CodeKernels {
    const char* name = nullptr;  // the instruction set
    std::size_t words = 0;
    bool specialised = false;  // false: the generic loop
    WidthFns fns;

    std::uint64_t scan_block(const std::uint64_t* query, const std::uint64_t* rows, const std::uint32_t* ids,
                             std::size_t count, std::uint32_t bound, std::uint16_t* distances) const noexcept {
        return fns.hamming.scan_block(query, rows, words, ids, count, bound, distances);
    }
    void gather(const std::uint64_t* query, const std::uint64_t* rows, const std::uint32_t* slots, std::size_t count,
                std::uint32_t* out) const noexcept {
        fns.hamming.gather(query, rows, words, slots, count, out);
    }
    bool any_within(const std::uint64_t* query, const std::uint64_t* rows, const std::uint32_t* slots,
                    std::size_t count, std::uint32_t bound) const noexcept {
        return fns.hamming.any_within(query, rows, words, slots, count, bound);
    }
    std::uint32_t distance(const std::uint64_t* a, const std::uint64_t* b) const noexcept {
        return fns.hamming.distance(a, b, words);
    }

    // The asymmetric kernels for a query of this width.
    const AsymmetricFns& asymmetric(const AsymmetricQuery& query) const noexcept {
        return query.bits == SPECIALISED_QUERY_BITS ? fns.asymmetric_4bit : fns.asymmetric;
    }
    std::uint64_t asymmetric_scan_block(const AsymmetricQuery& query, const std::uint64_t* rows,
                                        const std::uint32_t* ids, std::size_t count, std::uint32_t bound,
                                        std::uint32_t* distances) const noexcept {
        return asymmetric(query).scan_block(query, rows, ids, count, bound, distances);
    }
    void asymmetric_gather(const AsymmetricQuery& query, const std::uint64_t* rows, const std::uint32_t* slots,
                           std::size_t count, std::uint32_t* out) const noexcept {
        asymmetric(query).gather(query, rows, slots, count, out);
    }
    std::uint32_t asymmetric_distance(const AsymmetricQuery& query, const std::uint64_t* row) const noexcept {
        return asymmetric(query).distance(query, row);
    }
};

// The widest set this CPU runs at `words` (1..MAX_CODE_WORDS), specialised
// where that width is; chosen once per process, read without locks after.
const CodeKernels& code_kernels(std::size_t words) noexcept;

// Every set this CPU runs at `words`, the portable one first, the widest
// last (the specialisations where there are any), and the same sets' generic
// loops at that width: what tests and benchmarks compare.
std::span<const CodeKernels> available_code_kernels(std::size_t words) noexcept;
std::span<const CodeKernels> available_generic_code_kernels(std::size_t words) noexcept;

// The instruction sets, one per file. The x86 ones exist only in x86-64
// builds, the NEON one only in aarch64 builds; each must only run where the
// CPU has its instructions.
extern const InstructionSetKernels PORTABLE_CODE_KERNELS;
#if defined(__x86_64__)
extern const InstructionSetKernels POPCNT_CODE_KERNELS;
extern const InstructionSetKernels AVX2_CODE_KERNELS;
extern const InstructionSetKernels AVX512_CODE_KERNELS;
#endif
#if defined(__aarch64__)
extern const InstructionSetKernels NEON_CODE_KERNELS;
#endif

}  // namespace kestrix::kernels
