// The scan's block kernels against the portable one, and the scan against a
// row-by-row reference that makes the same heap moves.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "heap.hpp"
#include "kernels/code_kernels.hpp"
#include "kernels/kernel_set.hpp"
#include "scan.hpp"
#include "store.hpp"
#include "support.hpp"

namespace kestrix {
namespace {

// Every set this CPU runs at 384 bits, the portable one first.
std::span<const kernels::CodeKernels> kernels_here() { return kernels::available_code_kernels(6); }

QuantizedVector random_vector(std::mt19937_64& rng) {
    QuantizedVector v;
    for (auto& w : v.words) w = static_cast<std::uint32_t>(rng());
    return v;
}

QuantizedVector filled(std::uint32_t word) {
    QuantizedVector v;
    v.words.fill(word);
    return v;
}

// The first `count` components set: distance `count` from the zero vector.
QuantizedVector first_bits(std::size_t count) {
    QuantizedVector v;
    for (std::size_t c = 0; c < count; ++c) v.words[c / 32] |= 1u << (c % 32);
    return v;
}

// Rows that stress the lane bookkeeping: the extremes, single bits in the
// first and last word, and random rows in between.
std::vector<QuantizedVector> awkward_rows(std::mt19937_64& rng, std::size_t n) {
    std::vector<QuantizedVector> rows;
    for (std::size_t i = 0; i < n; ++i) {
        switch (i % 7) {
            case 0: rows.push_back(filled(0)); break;
            case 1: rows.push_back(filled(0xFFFFFFFFu)); break;
            case 2: {
                QuantizedVector v;
                v.words[(i / 7) % QUANTIZED_WORDS] = 1u << ((i / 7) % 32);
                rows.push_back(v);
                break;
            }
            case 3: {
                QuantizedVector v = filled(0xFFFFFFFFu);
                v.words[11] = 0x7FFFFFFFu;
                rows.push_back(v);
                break;
            }
            default: rows.push_back(random_vector(rng));
        }
    }
    return rows;
}

TEST(ScanKernels, PortableKernelIsAlwaysThereAndTheChosenOneIsAvailable) {
    const auto found = kernels_here();
    ASSERT_FALSE(found.empty());
    EXPECT_EQ(std::string(found.front().name), "portable");
    const auto& chosen = kernels::code_kernels(6);
    EXPECT_EQ(&chosen, &found.back());
    EXPECT_EQ(&chosen, &kernels::code_kernels(6));  // chosen once
}

TEST(ScanKernels, EveryKernelMeasuresAndFiltersLikeHammingDistance) {
    std::mt19937_64 rng(7);
    const auto rows = awkward_rows(rng, 64 * 5);
    std::vector<std::uint32_t> ids(rows.size());
    for (std::size_t i = 0; i < ids.size(); ++i) {
        ids[i] = static_cast<std::uint32_t>(i) | (rng() % 4 == 0 ? TOMBSTONE_BIT : 0u);
    }
    const QuantizedVector queries[] = {filled(0), filled(0xFFFFFFFFu), random_vector(rng), random_vector(rng)};
    const std::uint32_t bounds[] = {0, 1, 150, 192, 193, 384, kernels::admit_all(DIMENSION)};

    for (const auto& kernel : kernels_here()) {
        SCOPED_TRACE(kernel.name);
        for (const auto& query : queries) {
            for (const std::uint32_t bound : bounds) {
                // Every block length, at several offsets into the rows.
                for (std::size_t count = 1; count <= kernels::SCAN_BLOCK; ++count) {
                    const std::size_t start = (count * 37) % (rows.size() - count);
                    std::uint16_t got[kernels::SCAN_BLOCK];
                    const std::uint64_t mask =
                        kernel.scan_block(code_of(query), code_of(rows[start]), ids.data() + start, count, bound, got);
                    std::uint64_t expected_mask = 0;
                    for (std::size_t i = 0; i < count; ++i) {
                        const std::uint32_t d = hamming_distance(query, rows[start + i]);
                        ASSERT_EQ(got[i], d) << "count " << count << " row " << i;
                        if (!is_tombstoned(ids[start + i]) && d < bound) expected_mask |= std::uint64_t{1} << i;
                    }
                    ASSERT_EQ(mask, expected_mask) << "count " << count << " bound " << bound;
                }
            }
        }
    }
}

TEST(ScanKernels, ExtremeRowsGiveZeroAndFullDistance) {
    const std::vector<QuantizedVector> rows(kernels::SCAN_BLOCK, filled(0xFFFFFFFFu));
    const std::vector<std::uint32_t> ids(rows.size(), 3);
    for (const auto& kernel : kernels_here()) {
        SCOPED_TRACE(kernel.name);
        std::uint16_t d[kernels::SCAN_BLOCK];
        EXPECT_EQ(kernel.scan_block(code_of(filled(0)), code_of(rows[0]), ids.data(), rows.size(),
                                    kernels::admit_all(DIMENSION), d),
                  ~0ull);
        EXPECT_TRUE(std::all_of(d, d + rows.size(), [](std::uint16_t x) { return x == 384; }));
        EXPECT_EQ(kernel.scan_block(code_of(filled(0xFFFFFFFFu)), code_of(rows[0]), ids.data(), rows.size(), 1, d),
                  ~0ull);
        EXPECT_TRUE(std::all_of(d, d + rows.size(), [](std::uint16_t x) { return x == 0; }));
    }
}

// ---------------------------------------------------------------- codes of any width

// The dimensions that reach the word edges, widths whose last register is
// partly filled (1, 2, 4, 7 words), and every specialised width.
constexpr std::size_t CODE_DIMS[] = {1, 63, 64, 65, 200, 384, 443, 512, 768, 1024, 1536, 3072, 4096};

using Code = std::vector<std::uint64_t>;

// Rows of `dim` bits (the rest zero): the extremes, single bits at the word
// edges, a few bits, and random rows; ids with tombstones sprinkled over them.
struct TestRows {
    std::size_t dim, words;
    Code rows;
    std::vector<std::uint32_t> ids;

    const std::uint64_t* row(std::size_t i) const { return rows.data() + i * words; }
    std::size_t size() const { return ids.size(); }
};

Code random_code(std::mt19937_64& rng, std::size_t dim, int kind) {
    Code code(kernels::code_words(dim));
    for (std::size_t c = 0; c < dim; ++c) {
        const bool set = kind == 0   ? false
                         : kind == 1 ? true
                         : kind == 2 ? c == (rng() % 2 ? 0 : dim - 1)
                         : kind == 3 ? rng() % 16 == 0
                                     : rng() % 2 == 1;
        code[c / 64] |= std::uint64_t{set} << (c % 64);
    }
    return code;
}

TestRows code_rows(std::size_t dim, std::size_t n, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    TestRows r{dim, kernels::code_words(dim), {}, {}};
    for (std::size_t i = 0; i < n; ++i) {
        const Code code = random_code(rng, dim, static_cast<int>(i % 7));
        r.rows.insert(r.rows.end(), code.begin(), code.end());
        r.ids.push_back(static_cast<std::uint32_t>(i) | (rng() % 4 == 0 ? TOMBSTONE_BIT : 0u));
    }
    return r;
}

std::uint32_t bit_by_bit_hamming(const std::uint64_t* a, const std::uint64_t* b, std::size_t dim) {
    std::uint32_t d = 0;
    for (std::size_t c = 0; c < dim; ++c) d += ((a[c / 64] ^ b[c / 64]) >> (c % 64)) & 1u;
    return d;
}

// Every usable set at the width of `dim`: specialised rows and generic loops.
std::vector<kernels::CodeKernels> code_sets(std::size_t dim) {
    const auto best = kernels::available_code_kernels(kernels::code_words(dim));
    const auto generic = kernels::available_generic_code_kernels(kernels::code_words(dim));
    std::vector<kernels::CodeKernels> sets(best.begin(), best.end());
    sets.insert(sets.end(), generic.begin(), generic.end());
    return sets;
}

std::string set_name(const kernels::CodeKernels& set) {
    return std::string(set.name) + (set.specialised ? " specialised" : " generic") + " at " +
           std::to_string(set.words) + " words";
}

// Slot lists for gathers: every length up to two groups past a chunk, repeats
// and out-of-order slots.
std::vector<std::uint32_t> random_slots(std::mt19937_64& rng, std::size_t count, std::size_t rows) {
    std::vector<std::uint32_t> slots(kernels::gather_room(count));
    for (std::size_t i = 0; i < count; ++i) slots[i] = static_cast<std::uint32_t>(rng() % rows);
    return slots;
}

class CodeKernelWidths : public ::testing::TestWithParam<std::size_t> {};

TEST_P(CodeKernelWidths, EverySetMeasuresAndFiltersLikeCountingBits) {
    const std::size_t dim = GetParam();
    const TestRows rows = code_rows(dim, 64 * 3, dim);
    std::mt19937_64 rng(dim + 1);
    const Code queries[] = {random_code(rng, dim, 0), random_code(rng, dim, 1), random_code(rng, dim, 4)};
    const std::uint32_t bounds[] = {0, 1, static_cast<std::uint32_t>(dim / 2), static_cast<std::uint32_t>(dim),
                                    kernels::admit_all(dim)};
    EXPECT_TRUE(kernels::code_kernels(rows.words).specialised ==
                (std::ranges::find(kernels::SPECIALISED_WIDTHS, rows.words) != kernels::SPECIALISED_WIDTHS.end()));
    for (const auto& set : code_sets(dim)) {
        SCOPED_TRACE(set_name(set));
        ASSERT_EQ(set.words, rows.words);
        for (const Code& query : queries) {
            for (const std::uint32_t bound : bounds) {
                for (std::size_t count = 1; count <= kernels::SCAN_BLOCK; count += count < 10 ? 1 : 7) {
                    const std::size_t start = (count * 37) % (rows.size() - count);
                    std::uint16_t got[kernels::SCAN_BLOCK];
                    const std::uint64_t mask =
                        set.scan_block(query.data(), rows.row(start), rows.ids.data() + start, count, bound, got);
                    std::uint64_t want_mask = 0;
                    for (std::size_t i = 0; i < count; ++i) {
                        const std::uint32_t d = bit_by_bit_hamming(query.data(), rows.row(start + i), dim);
                        ASSERT_EQ(got[i], d) << "count " << count << " row " << i;
                        if (!is_tombstoned(rows.ids[start + i]) && d < bound) want_mask |= std::uint64_t{1} << i;
                    }
                    ASSERT_EQ(mask, want_mask) << "count " << count << " bound " << bound;
                }
            }
            for (const std::size_t count : {0, 1, 7, 8, 9, 16, 63, 64, 65}) {
                const auto slots = random_slots(rng, count, rows.size());
                std::vector<std::uint32_t> got(kernels::gather_room(count));
                set.gather(query.data(), rows.rows.data(), slots.data(), count, got.data());
                std::uint32_t nearest = kernels::admit_all(dim);
                for (std::size_t i = 0; i < count; ++i) {
                    const std::uint32_t d = bit_by_bit_hamming(query.data(), rows.row(slots[i]), dim);
                    ASSERT_EQ(got[i], d) << "gather of " << count << ", entry " << i;
                    ASSERT_EQ(set.distance(query.data(), rows.row(slots[i])), d);
                    nearest = std::min(nearest, d);
                }
                for (const std::uint32_t bound : {nearest - 1, nearest, nearest + 1}) {
                    ASSERT_EQ(set.any_within(query.data(), rows.rows.data(), slots.data(), count, bound),
                              count > 0 && nearest <= bound)
                        << "count " << count << " bound " << bound;
                }
            }
        }
    }
}

std::vector<float> random_floats(std::mt19937_64& rng, std::size_t n) {
    std::normal_distribution<float> normal(0.0f, 1.0f);
    std::vector<float> v(n);
    for (auto& x : v) x = normal(rng);
    return v;
}

TEST_P(CodeKernelWidths, AsymmetricDistancesAreTheWeightedSignMismatchesOnEverySet) {
    const std::size_t dim = GetParam();
    const TestRows rows = code_rows(dim, 64 * 2 + 5, dim + 2);
    std::mt19937_64 rng(dim + 3);
    for (const unsigned bits : {1u, 2u, 3u, 4u, 5u, 8u}) {
        SCOPED_TRACE("bits " + std::to_string(bits));
        std::vector<float> values = random_floats(rng, dim);
        if (dim > 1) values[rng() % dim] = 0.0f;  // a zero component counts as positive
        const auto query = kernels::prepare_asymmetric_query(values, bits);
        ASSERT_TRUE(query.has_value());
        // The reference against the inner product of the integer query with
        // the codes' sign vectors, and the Hamming distance for one bit.
        std::vector<std::uint32_t> want(rows.size());
        for (std::size_t i = 0; i < rows.size(); ++i) {
            want[i] = kernels::asymmetric_distance_reference(*query, rows.row(i));
            std::int64_t magnitude = 0, product = 0;
            for (std::size_t c = 0; c < dim; ++c) {
                std::int64_t level = 0;
                for (unsigned p = 0; p < bits; ++p) level |= ((query->plane(p)[c / 64] >> (c % 64)) & 1) << p;
                const std::int64_t q = 2 * level + query->offset;
                magnitude += std::abs(q);
                product += ((rows.row(i)[c / 64] >> (c % 64)) & 1) ? q : -q;
            }
            ASSERT_EQ(2 * std::int64_t{want[i]}, magnitude - product) << "row " << i;
            ASSERT_LE(want[i], query->max_distance);
            if (bits == 1) {
                Code signs(rows.words);
                for (std::size_t c = 0; c < dim; ++c) signs[c / 64] |= std::uint64_t{values[c] >= 0.0f} << (c % 64);
                ASSERT_EQ(want[i], bit_by_bit_hamming(signs.data(), rows.row(i), dim)) << "row " << i;
            }
        }
        for (const auto& set : code_sets(dim)) {
            SCOPED_TRACE(set_name(set));
            const std::uint32_t cut = want[rows.size() / 2];
            for (const std::uint32_t bound : {0u, cut, cut + 1, kernels::ASYMMETRIC_ADMIT_ALL}) {
                for (const std::size_t count : {1, 7, 8, 9, 33, 64}) {
                    const std::size_t start = (count * 13) % (rows.size() - count);
                    std::uint32_t got[kernels::SCAN_BLOCK];
                    const std::uint64_t mask =
                        set.asymmetric_scan_block(*query, rows.row(start), rows.ids.data() + start, count, bound, got);
                    std::uint64_t want_mask = 0;
                    for (std::size_t i = 0; i < count; ++i) {
                        ASSERT_EQ(got[i], want[start + i]) << "count " << count << " row " << i;
                        if (!is_tombstoned(rows.ids[start + i]) && got[i] < bound) want_mask |= std::uint64_t{1} << i;
                    }
                    ASSERT_EQ(mask, want_mask) << "count " << count << " bound " << bound;
                }
            }
            for (const std::size_t count : {0, 1, 8, 13, 64}) {
                const auto slots = random_slots(rng, count, rows.size());
                std::vector<std::uint32_t> got(kernels::gather_room(count));
                set.asymmetric_gather(*query, rows.rows.data(), slots.data(), count, got.data());
                for (std::size_t i = 0; i < count; ++i) {
                    ASSERT_EQ(got[i], want[slots[i]]) << "gather of " << count << ", entry " << i;
                    ASSERT_EQ(set.asymmetric_distance(*query, rows.row(slots[i])), want[slots[i]]);
                }
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Dims, CodeKernelWidths, ::testing::ValuesIn(CODE_DIMS));

TEST(AsymmetricQuery, RoundsToTheNearestOddLevelOfTheLargestMagnitude) {
    // Four bits: the grid is -15, -13, ..., 15 times 2 / 15 here (largest 2).
    const std::vector<float> values = {2.0f, -2.0f, 0.0f, 1.0f, -0.07f, 0.06f, 1.9f};
    const auto q = kernels::prepare_asymmetric_query(values, 4);
    ASSERT_TRUE(q.has_value());
    EXPECT_EQ(q->offset, -15);
    EXPECT_FLOAT_EQ(q->scale, 2.0f / 15.0f);
    // 1.0 lies between the grid points 7 (0.93) and 9 (1.2) and takes 7; 0
    // lies halfway between -1 and +1 and goes up.
    const std::int32_t want[] = {15, -15, 1, 7, -1, 1, 15};
    std::uint32_t positive = 0;
    for (std::size_t c = 0; c < values.size(); ++c) {
        std::int32_t level = 0;
        for (unsigned p = 0; p < 4; ++p) level |= static_cast<std::int32_t>((q->plane(p)[0] >> c) & 1) << p;
        EXPECT_EQ(2 * level + q->offset, want[c]) << "component " << c;
        positive += want[c] > 0 ? static_cast<std::uint32_t>(want[c]) : 0;
    }
    EXPECT_EQ(q->positive, positive);
    EXPECT_EQ(q->max_distance, 15u + 15 + 1 + 7 + 1 + 1 + 15);

    // The zero query puts every code at distance 0.
    const auto zero = kernels::prepare_asymmetric_query(std::vector<float>(70, 0.0f), 4);
    ASSERT_TRUE(zero.has_value());
    const Code ones(2, ~std::uint64_t{0} >> 58);
    EXPECT_EQ(kernels::code_kernels(2).asymmetric_distance(*zero, ones.data()), 0u);
}

TEST(AsymmetricQuery, RefusesWhatItCannotMeasure) {
    using kernels::QueryError;
    const std::vector<float> ok(10, 1.0f);
    auto refused = [](std::span<const float> v, unsigned bits, kernels::RoundingRule rule) {
        const auto q = kernels::prepare_asymmetric_query(v, bits, rule);
        return q.has_value() ? std::optional<QueryError>() : q.error();
    };
    const auto nearest = kernels::round_to_nearest;
    EXPECT_EQ(refused({}, 4, nearest), QueryError::BadDimension);
    EXPECT_EQ(refused(std::vector<float>(4097, 1.0f), 4, nearest), QueryError::BadDimension);
    EXPECT_EQ(refused(ok, 0, nearest), QueryError::BadBits);
    EXPECT_EQ(refused(ok, 9, nearest), QueryError::BadBits);
    for (const float bad : {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity()}) {
        std::vector<float> v = ok;
        v[9] = bad;
        EXPECT_EQ(refused(v, 4, nearest), QueryError::NotFinite);
    }
    // A rule is held to its ranges: levels below 2^bits, a small offset.
    auto too_high = [](std::span<const float> v, unsigned, std::uint8_t* levels) noexcept {
        for (std::size_t c = 0; c < v.size(); ++c) levels[c] = 16;
        return kernels::QueryLevels{-15, 1.0f};
    };
    auto far_offset = [](std::span<const float> v, unsigned, std::uint8_t* levels) noexcept {
        for (std::size_t c = 0; c < v.size(); ++c) levels[c] = 0;
        return kernels::QueryLevels{-33, 1.0f};
    };
    EXPECT_EQ(refused(ok, 4, too_high), QueryError::BadRounding);
    EXPECT_EQ(refused(ok, 4, far_offset), QueryError::BadRounding);
    EXPECT_EQ(refused(std::vector<float>(4096, -1.0f), 8, nearest), std::nullopt);
}

// The scan as a plain loop: every live slot offered to the heap in slot order.
std::vector<SearchHit> reference_scan(const VectorStore& store, const QuantizedVector& query, std::uint64_t k) {
    std::vector<SearchHit> heap;
    const auto ids = store.ids();
    for (std::size_t slot = 0; slot < ids.size(); ++slot) {
        if (k == 0 || is_tombstoned(ids[slot])) continue;
        const std::uint32_t d = bit_by_bit_hamming(code_of(query), store.code(slot), DIMENSION);
        const SearchHit hit{ids[slot], static_cast<std::uint32_t>(slot), d, distance_to_score(d, DIMENSION)};
        if (heap.size() < k) {
            test_support::heap_push(heap, hit, FarthestFirst{});
        } else if (d < heap.front().distance) {
            heap_replace_top(std::span(heap), hit, FarthestFirst{});
        }
    }
    sort_by_distance(std::span(heap));
    return heap;
}

void expect_same_hits(const std::vector<SearchHit>& got, const std::vector<SearchHit>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].slot, want[i].slot) << "position " << i;
        EXPECT_EQ(got[i].doc_id, want[i].doc_id) << "position " << i;
        EXPECT_EQ(got[i].distance, want[i].distance) << "position " << i;
        EXPECT_EQ(got[i].score, want[i].score) << "position " << i;
    }
}

// Few distinct distances, so ties at the cut-off are everywhere; tombstones
// fall on block edges too.
VectorStore tie_heavy_store(std::size_t n, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::vector<QuantizedVector> vectors;
    std::vector<std::uint32_t> ids;
    for (std::size_t i = 0; i < n; ++i) {
        vectors.push_back(first_bits(rng() % 6 * 3));
        const bool dead = rng() % 5 == 0 || i % 64 == 63 || i % 64 == 0;
        ids.push_back(static_cast<std::uint32_t>(rng() % 50) | (dead ? TOMBSTONE_BIT : 0u));
    }
    return test_support::store_of(vectors, ids, std::vector<double>(n, 0.0));
}

class ScanAgainstReference : public ::testing::TestWithParam<std::size_t> {};

TEST_P(ScanAgainstReference, SameHitsInTheSameOrderAsTheRowByRowScan) {
    const std::size_t n = GetParam();
    const VectorStore store = tie_heavy_store(n, n + 1);
    const std::uint64_t ks[] = {1, 2, 3, 10, 20, 21, 64, 65, n, n + 3, std::numeric_limits<std::uint64_t>::max()};
    for (const QuantizedVector& query : {first_bits(0), first_bits(7), first_bits(384)}) {
        for (const std::uint64_t k : ks) {
            SCOPED_TRACE("k " + std::to_string(k));
            const auto got = scan_top_k(store, code_of(query), k);
            expect_same_hits(got, reference_scan(store, query, k));

            // Independently of the heap: the retained distances are the k
            // smallest distances of the live slots.
            std::vector<std::uint32_t> live;
            for (std::size_t s = 0; s < n; ++s) {
                if (!is_tombstoned(store.ids()[s])) {
                    live.push_back(bit_by_bit_hamming(code_of(query), store.code(s), DIMENSION));
                }
            }
            std::sort(live.begin(), live.end());
            live.resize(std::min<std::uint64_t>(k, live.size()));
            std::vector<std::uint32_t> kept;
            for (const auto& hit : got) kept.push_back(hit.distance);
            EXPECT_EQ(kept, live);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(StoreSizes, ScanAgainstReference, ::testing::Values(1, 2, 63, 64, 65, 200, 1000, 4097));

TEST(Scan, RandomStoresMatchTheReference) {
    std::mt19937_64 rng(11);
    std::vector<QuantizedVector> vectors;
    std::vector<std::uint32_t> ids;
    for (std::uint32_t i = 0; i < 3000; ++i) {
        vectors.push_back(random_vector(rng));
        ids.push_back(i | (i % 9 == 0 ? TOMBSTONE_BIT : 0u));
    }
    const VectorStore store = test_support::store_of(vectors, ids, std::vector<double>(vectors.size(), 0.0));
    for (int q = 0; q < 20; ++q) {
        const QuantizedVector query = q % 2 ? random_vector(rng) : vectors[rng() % vectors.size()];
        expect_same_hits(scan_top_k(store, code_of(query), 10), reference_scan(store, query, 10));
    }
}

// The worked examples of the tie rules: distances per slot, k, expected slots.
struct TieCase {
    std::vector<std::size_t> distances;
    std::uint64_t k;
    std::vector<std::uint32_t> slots;
};

class ScanTieRules : public ::testing::TestWithParam<TieCase> {};

TEST_P(ScanTieRules, RetainedSlotsFollowTheHeap) {
    const TieCase& c = GetParam();
    std::vector<QuantizedVector> vectors;
    std::vector<std::uint32_t> ids;
    for (std::size_t i = 0; i < c.distances.size(); ++i) {
        vectors.push_back(first_bits(c.distances[i]));
        ids.push_back(static_cast<std::uint32_t>(100 + i));
    }
    const VectorStore store = test_support::store_of(vectors, ids, std::vector<double>(vectors.size(), 0.0));
    std::vector<std::uint32_t> slots;
    for (const auto& hit : scan_top_k(store, code_of(first_bits(0)), c.k)) slots.push_back(hit.slot);
    EXPECT_EQ(slots, c.slots);
}

INSTANTIATE_TEST_SUITE_P(Examples, ScanTieRules,
                         ::testing::Values(TieCase{{5, 5, 3}, 2, {2, 1}}, TieCase{{2, 7, 7, 1}, 3, {3, 0, 2}},
                                           TieCase{{4, 4, 4, 4}, 3, {0, 1, 2}}));

}  // namespace
}  // namespace kestrix
